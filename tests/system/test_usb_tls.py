"""The TLS port of the USB server: "zqn_sec" leaves only it listening and keeps plain
sessions away from devices; a generic TLS client (openssl s_client) talks to it too."""
import subprocess

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


def test_openssl_s_client_gets_the_hello_reply(daemon):
    usb_env.start(daemon)
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
