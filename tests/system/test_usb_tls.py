"""The TLS port of the USB server: "zqn_sec" leaves only it listening and keeps plain
sessions away from devices; a generic TLS client (openssl s_client) talks to it too."""
import struct
import subprocess

import pytest

import usb_env
from usb_env import usbsrv

LOOPBACK = (0x1D6B, 0x0104)


def test_secure_only_serves_devices_over_tls(daemon):
    usb_env.start(daemon)
    usb_env.plug(daemon, "port:1", "loopback")
    plain = usb_env.connect(daemon)
    entry, port = usb_env.listed(plain, *LOOPBACK)
    # Switched on while a plain session runs: the plain listener goes, the session may
    # look but not open.
    usb_env.sim(daemon, "param", "zqn_sec", "on")
    daemon.wait_for(lambda: not usb_env.listening(daemon, usb_env.PLAIN_PORT), what="the plain listener gone")
    assert usb_env.listening(daemon, usb_env.TLS_PORT)
    r = plain.open(entry, port)
    assert (r.status, r.error) == (5, 13)
    assert plain.status(entry, port).payload[:4] == b"\0\0\0\x02"
    with usb_env.connect(daemon, tls=True) as c:
        assert c.hello().status == 3
        assert c.open(entry, port).status == 0
        assert c.set_config(entry, port, 1).status == 0
        data = bytes(range(256)) * 1000
        assert c.bulk_out(entry, port, 0x01, data).status == 0
        got = b""
        while len(got) < len(data):
            r, part = c.bulk_in(entry, port, 0x81, len(data) - len(got))
            assert r.status == 0
            got += part
        assert got == data
    plain.close()
    usb_env.clean_exit(daemon)


def test_a_refused_open_leaves_the_holder_alone(daemon):
    usb_env.start(daemon)
    usb_env.plug(daemon, "port:1", "loopback")
    plain = usb_env.connect(daemon)
    with usb_env.connect(daemon, tls=True) as holder:
        entry, port = usb_env.listed(holder, *LOOPBACK)
        assert holder.open(entry, port).status == 0
        assert holder.set_config(entry, port, 1).status == 0
        usb_env.sim(daemon, "param", "zqn_sec", "on")
        daemon.wait_for(lambda: not usb_env.listening(daemon, usb_env.PLAIN_PORT), what="the plain listener gone")
        # The plain session is refused before anything is taken from the holder.
        r = plain.open(entry, port)
        assert (r.status, r.error) == (5, 13)
        assert plain.status(entry, port).payload[:4] == b"\0\0\0\x03"  # secure only, opened
        assert holder.bulk_out(entry, port, 0x01, b"still mine").status == 0
        r, data = holder.bulk_in(entry, port, 0x81, 100)
        assert (r.status, data) == (0, b"still mine")
        with pytest.raises(usbsrv.ProtocolError):
            holder.message(timeout=0.5)
    plain.close()
    usb_env.clean_exit(daemon)


def test_requests_in_one_tls_write_are_all_answered(daemon):
    usb_env.start(daemon)
    with usb_env.connect(daemon, tls=True) as c:
        # Requests in one write, alone or after a refused transfer whose dropped data ends
        # in a second TLS record (16 KiB each): the session has the later requests
        # decrypted, in its own buffer or in the TLS session's, and must answer them
        # without waiting for more input.
        data = 16384 - 28 + 5000
        refused = usbsrv.request(usbsrv.SUBMIT, struct.pack(">BBBBII", 39, 9, 1, usbsrv.BULK, 0, data) +
                                 bytes(data), tag=9, length=12 + data)
        for first in (b"", refused):
            c.send_raw(first + usbsrv.request(usbsrv.HELLO, tag=1) +
                       usbsrv.request(usbsrv.HEARTBEAT, b"beat", tag=2) + usbsrv.request(usbsrv.LIST, tag=3))
            if first:
                assert c.reply(9, timeout=10).error == 19
            assert c.reply(1, timeout=10).status == 3
            assert c.reply(2, timeout=10).payload == b"beat"
            assert c.reply(3, timeout=10).payload == b"\0\0\0"


def test_a_stalled_handshake_does_not_hold_up_other_clients(daemon):
    usb_env.start(daemon)
    usb_env.wait_certificate(daemon)
    stalled = usbsrv.socket_in_netns(daemon.net.client)
    stalled.connect((daemon.net.device_addr, usb_env.TLS_PORT))
    # Half a ClientHello record header, then nothing.
    stalled.sendall(b"\x16\x03")
    try:
        for tls in (True, False):
            with usb_env.connect(daemon, tls=tls) as c:
                assert c.hello().status == 3
    finally:
        stalled.close()


def test_openssl_s_client_gets_the_hello_reply(daemon):
    usb_env.start(daemon)
    usb_env.wait_certificate(daemon)
    proc = subprocess.Popen(["ip", "netns", "exec", daemon.net.client, "openssl", "s_client", "-quiet",
                             "-connect", "%s:%d" % (daemon.net.device_addr, usb_env.TLS_PORT)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        proc.stdin.write(usbsrv.request(usbsrv.HELLO, tag=0x51, word0=7))
        proc.stdin.flush()
        reply = proc.stdout.read(30)
        assert reply == bytes.fromhex("00000007 00001001 00000051 00000006 00000003 00000003 006C000AFFF3")
    finally:
        proc.kill()
        proc.wait()
