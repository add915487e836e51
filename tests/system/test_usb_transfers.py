"""Forwarding through the daemon to simulated devices: open and configuration, control,
bulk, interrupt and isochronous transfers, discard, abort, clear halt and reset."""
import os
import struct

import pytest

import usb_env
from usb_env import usbsrv

LOOPBACK = (0x1D6B, 0x0104)
ETIMEDOUT, EPIPE, EINVAL = 110, 32, 22


def neg(err):
    return (-err) & 0xFFFFFFFF


@pytest.fixture
def loopback(daemon):
    """The daemon with an opened and configured loopback: (client, entry, port, name)."""
    usb_env.start(daemon)
    name = usb_env.plug(daemon, "port:1", "loopback")
    c = usb_env.connect(daemon)
    entry, port = usb_env.listed(c, *LOOPBACK)
    assert c.open(entry, port).status == 0
    assert c.set_config(entry, port, 1).status == 0
    yield c, entry, port, name
    c.close()


def read_exactly(c, entry, port, n, chunk=1 << 20):
    """Reads n bytes back from the loopback (an IN ends early when the device has less)."""
    data = b""
    while len(data) < n:
        r, got = c.bulk_in(entry, port, 0x81, min(chunk, n - len(data)))
        assert r.status == 0, r
        data += got
    return data


def trace(daemon, name):
    return usb_env.sim(daemon, "usb", "trace", name)


def test_configuration_claims_and_alternate_settings(loopback, daemon):
    c, entry, port, name = loopback
    usb_env.sim(daemon, "usb", "trace", name, "clear")
    assert c.set_config(entry, port, 1, [(0, 1)]).status == 0
    lines = trace(daemon, name)
    # The same configuration again: nothing is asked of the device.
    assert not any("SETCONFIGURATION" in l for l in lines)
    assert c.set_config(entry, port, 2).status == 0
    lines = trace(daemon, name)
    assert any(l.startswith("SETCONFIGURATION 2 -> 0") for l in lines), lines
    assert any(l.startswith("CLAIMINTERFACE 0 -> 0") for l in lines), lines
    usb_env.sim(daemon, "usb", "trace", name, "clear")
    assert c.set_config(entry, port, 1, [(0, 1)]).status == 0
    assert any(l.startswith("SETINTERFACE 0/1 -> 0") for l in trace(daemon, name))
    # Only the client that opened the device configures it.
    with usb_env.connect(daemon) as other:
        r = other.set_config(entry, port, 1)
        assert (r.status, r.error) == (5, 12)
    # A configuration the device does not have fails, and the device is reset and closed.
    usb_env.sim(daemon, "usb", "trace", name, "clear")
    assert c.set_config(entry, port, 7).status == 3
    daemon.wait_for(lambda: c.bulk_out(entry, port, 0x01, b"x").status == 5, what="the device closed")
    assert any(l.startswith("RESET -> 0") for l in trace(daemon, name))


def test_control_transfers_from_the_cache_and_to_the_device(daemon):
    usb_env.start(daemon)
    usb_env.plug(daemon, "port:2", "dongle")
    with usb_env.connect(daemon) as c, usb_env.connect(daemon) as other:
        entry, port = usb_env.listed(c, 0x0529, 0x0001)
        # Before any open: descriptors come from the cache, vendor request 1 from the device.
        r = c.get_descriptor(entry, port, 1, length=18)
        assert r.status == 0 and r.payload[:2] == b"\x12\x01" and r.payload[8:12] == b"\x29\x05\x01\x00"
        r = c.get_descriptor(entry, port, 2, length=9)
        assert r.status == 0 and len(r.payload) == 9 and r.payload[1] == 2
        assert c.get_descriptor(entry, port, 2, index=3).error == 53
        r = c.get_descriptor(entry, port, 3, index=2, language=0x0409)
        assert r.payload[2:].decode("utf-16-le") == "Licence dongle"
        r = c.control(entry, port, 0xC0, 1, 0, 0, 8)
        assert (r.status, r.payload) == (0, b"QMRKEY\0\x01")
        r = c.control(entry, port, 0x40, 2, 0, 0, 4, b"abcd")
        assert (r.status, r.error) == (5, 12)

        assert c.open(entry, port).status == 0
        r = c.control(entry, port, 0x40, 2, 0, 0, 4, b"abcd")
        assert (r.status, r.error) == (0, 0)
        r = c.control(entry, port, 0xC0, 1, 0, 0, 8)
        assert (r.status, r.payload) == (0, b"QMRKEY\0\x01")
        # A request the device never answers times out after its second.
        r = c.control(entry, port, 0xC0, 3, 0, 0, 8)
        assert (r.status, r.error) == (3, ETIMEDOUT)
        # wLength beyond the room the client gave is refused before the device sees it.
        r = c.control(entry, port, 0xC0, 1, 0, 0, 64, in_length=8)
        assert r.status == 3 and r.payload == b""
        r = c.control(entry, port, 0x40, 2, 0, 0, 8, b"abcd")
        assert r.status == 3
        # Less than a setup packet: refused, its bytes dropped and the stream kept.
        for out in (b"", b"\x40\x02\0\0\0\0\0"):
            r = c.reply(c.submit(entry, port, 0, usbsrv.CONTROL, out=out))
            assert (r.status, r.error) == (3, EINVAL), out
        assert c.hello().status == 3
        # Another client still gets the cached descriptors, nothing else.
        assert other.get_descriptor(entry, port, 1, length=18).status == 0
        assert other.control(entry, port, 0x40, 2, 0, 0, 0).status == 5


SIZES = [0, 1, 511, 512, 65535, 65536, 65537, 200000]


def test_bulk_data_integrity(loopback):
    c, entry, port, _ = loopback
    for size in SIZES:
        data = os.urandom(size)
        r = c.bulk_out(entry, port, 0x01, data)
        assert (r.status, r.error, r.code) == (0, 0, 0x1008), (size, r)
        assert read_exactly(c, entry, port, size) == data, size


def test_bulk_16_mib_both_ways_at_once(loopback):
    c, entry, port, _ = loopback
    data = os.urandom(16 << 20)
    out = c.submit(entry, port, 0x01, usbsrv.BULK, out=data)
    assert read_exactly(c, entry, port, len(data), chunk=16 << 20) == data
    assert c.reply(out).status == 0


def test_short_in_ends_a_transfer_and_a_second_in_waits(loopback, daemon):
    c, entry, port, name = loopback
    data = os.urandom(65536 + 1000)
    assert c.bulk_out(entry, port, 0x01, data).status == 0
    tag = c.submit(entry, port, 0x81, usbsrv.BULK, in_length=200000)
    first, second = c.reply(tag), c.reply(tag)
    assert (first.code, len(first.payload)) == (usbsrv.PARTIAL, 65536)
    assert (second.code, len(second.payload)) == (0x1008, 1000)
    assert first.payload + second.payload == data
    assert c.no_reply(tag, 0.2)

    # Two INs on an empty device: the second goes out only when the first is done.
    usb_env.sim(daemon, "usb", "trace", name, "clear")
    a = c.submit(entry, port, 0x81, usbsrv.BULK, in_length=512)
    b = c.submit(entry, port, 0x81, usbsrv.BULK, in_length=512)
    assert c.no_reply(a, 0.2) and c.no_reply(b, 0.01)
    assert sum("SUBMITURB type=3 ep=0x81" in l for l in trace(daemon, name)) == 1
    first, second = os.urandom(100), os.urandom(50)
    assert c.bulk_out(entry, port, 0x01, first).status == 0
    assert c.bulk_out(entry, port, 0x01, second).status == 0
    assert c.reply(a).payload == first
    assert c.reply(b).payload == second


def test_discard_and_abort(loopback):
    c, entry, port, _ = loopback
    # Discarding a waiting IN: only the 0x1009 answer, and no data is lost to it.
    tag = c.submit(entry, port, 0x81, usbsrv.BULK, in_length=64)
    r = c.discard(tag)
    assert (r.code, r.status) == (0x1009, 0)
    assert c.no_reply(tag, 0.3)
    assert c.discard(12345).status == 0
    data = os.urandom(64)
    assert c.bulk_out(entry, port, 0x01, data).status == 0
    assert read_exactly(c, entry, port, 64) == data
    # Aborting the endpoint: the waiting IN ends with 2/32, then the abort's answer.
    tag = c.submit(entry, port, 0x81, usbsrv.BULK, in_length=64)
    queued = c.submit(entry, port, 0x81, usbsrv.BULK, in_length=64)
    r = c.abort(entry, port, 0x81)
    assert (r.code, r.status) == (0x100B, 0)
    for t in (tag, queued):
        r = c.reply(t)
        assert (r.code, r.status, r.error) == (0x1008, 2, 32)


def test_clear_halt_reset_and_a_stalled_endpoint(daemon):
    usb_env.start(daemon)
    usb_env.plug(daemon, "port:2", "stall")
    with usb_env.connect(daemon) as c:
        entry, port = usb_env.listed(c, 0x1D6B, 0x0106)
        assert c.open(entry, port).status == 0
        assert c.set_config(entry, port, 1).status == 0
        r, _ = c.bulk_in(entry, port, 0x81, 64)
        assert (r.status, r.error) == (3, neg(EPIPE))
        assert c.clear_halt(entry, port, 0x81).status == 0
        assert c.clear_halt(entry, port, 0x05).status == 3
        assert c.reset(entry, port).status == 0
        # The OUT side still works after the reset.
        assert c.bulk_out(entry, port, 0x01, b"x" * 10).status == 0
        # Closing and closing again.
        assert c.close_device(entry, port).status == 0
        assert c.close_device(entry, port).status == 0
        assert c.bulk_out(entry, port, 0x01, b"x").status == 5


def test_isochronous_in_split_into_urbs_of_32_packets(daemon):
    usb_env.start(daemon)
    usb_env.plug(daemon, "port:2", "iso")
    with usb_env.connect(daemon) as c:
        entry, port = usb_env.listed(c, 0x1D6B, 0x0107)
        assert c.open(entry, port, iso_split=True).status == 0
        assert c.set_config(entry, port, 1, [(0, 1)]).status == 0
        tag = c.submit(entry, port, 0x81, usbsrv.ISO, in_length=40 * 1024, packets=[1024] * 40)
        first, second = c.reply(tag), c.reply(tag)
        assert (first.code, first.word0 >> 8, second.code, second.word0 >> 8) == (usbsrv.PARTIAL, 32, 0x1008, 8)
        packets = usbsrv.iso_packets(first) + usbsrv.iso_packets(second)
        # The model's lengths repeat 1024, 512, 0, 3, 1024, 100; its bytes count on.
        pattern = [1024, 512, 0, 3, 1024, 100]
        assert [p[2] for p in packets] == [pattern[k % 6] for k in range(40)]
        stream = b"".join(p[3] for p in packets)
        assert stream == bytes(k & 0xFF for k in range(len(stream)))
        assert all(p[0] == 0 for p in packets)


def test_interrupt_in_from_a_keyboard(daemon):
    usb_env.start(daemon)
    name = usb_env.plug(daemon, "port:1", "hid")
    with usb_env.connect(daemon) as c:
        entry, port = usb_env.listed(c, 0x046D, 0xC31C)
        assert c.open(entry, port).status == 0
        assert c.set_config(entry, port, 1).status == 0
        tag = c.submit(entry, port, 0x81, usbsrv.INTERRUPT, in_length=8)
        assert c.no_reply(tag, 0.2)
        usb_env.sim(daemon, "usb", "poke", name, "report", "0000040000000000")
        r = c.reply(tag)
        assert (r.code, r.status, r.payload) == (0x1008, 0, bytes.fromhex("0000040000000000"))


def test_a_transfer_type_above_3_and_foreign_devices_are_refused(loopback, daemon):
    c, entry, port, _ = loopback
    r = c.reply(c.submit(entry, port, 0x01, 4, out=b"abc"))
    assert r.status == 3
    # The announced OUT bytes were consumed: the stream goes on.
    assert c.hello().status == 3
    with usb_env.connect(daemon) as other:
        r = other.reply(other.submit(entry, port, 0x01, usbsrv.BULK, out=b"x" * 100))
        assert (r.status, r.error) == (5, 12)
        r = other.reply(other.submit(entry, 9, 0x01, usbsrv.BULK, out=b"x" * 100))
        assert (r.status, r.error) == (3, 19)
        assert other.hello().status == 3
