"""Shared steps of the USB-server system tests: start the daemon with extra parameters,
connect a protocol client from the client namespace, plug simulated devices."""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "client"))

import usbsrv  # noqa: E402
from test_daemon_life import started  # noqa: E402

PLAIN_PORT = 9200
TLS_PORT = 9443


def start(daemon, **params):
    """Starts the daemon with extra parameter lines (name=value) and waits for its listener."""
    if params:
        with open(daemon.root.file("/etc/params.dat"), "a") as f:
            for name, value in params.items():
                f.write(" %s = %s\n" % (name, value))
    started(daemon)
    port = TLS_PORT if params.get("zqn_sec") == "on" else int(params.get("zqn_port", PLAIN_PORT))
    daemon.wait_for(lambda: listening(daemon, port), what="the USB-server listener")
    return daemon


def listening(daemon, port):
    out = daemon.net.run_device("ss", "-Htln", "sport = :%d" % port, check=False).stdout
    return "LISTEN" in out


def connect(daemon, tls=False, port=None):
    port = port or (TLS_PORT if tls else PLAIN_PORT)
    if tls:
        wait_certificate(daemon)
    return usbsrv.Client.connect(daemon.net.device_addr, port, netns=daemon.net.client, tls=tls)


def wait_certificate(daemon):
    """TLS sessions carry the appliance's certificate, made in the background at start; its
    key is written last, so the key file means a whole pair."""
    daemon.wait_for(lambda: os.path.exists(daemon.root.file("/etc/certs/cert_pkey.pem")), timeout=60,
                    what="the default certificate")


def sim(daemon, *words):
    """One command on the daemon's control socket (no simctl process: many tests issue
    hundreds); returns the answer lines without the final OK."""
    answer = daemon.ask(" ".join(words))
    lines = answer.splitlines()
    assert lines and lines[-1] == "OK", answer
    return lines[:-1]


def plug(daemon, *words):
    """Plugs a simulated device; returns its name for unplug."""
    return sim(daemon, "usb", "plug", *words)[-1].split()[0]


def unplug(daemon, name):
    sim(daemon, "usb", "unplug", name)


def listed(client, vid, pid, timeout=20.0):
    """Waits until the device list shows the ids; returns (entry, port)."""
    end = time.monotonic() + timeout
    while True:
        try:
            return client.find(vid, pid)
        except usbsrv.ProtocolError:
            if time.monotonic() > end:
                raise
            time.sleep(0.05)


def clean_exit(daemon):
    """Stops the daemon; the sanitizers report leaks and errors through its status."""
    assert daemon.stop() == 0, daemon.output()
    out = daemon.output()
    assert "ERROR: AddressSanitizer" not in out and "runtime error" not in out, out
