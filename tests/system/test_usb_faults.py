"""What real devices do to the forwarding: failed completions, packets that end an IN
early, isochronous packet statuses and OUT streams, and a reset that brings the default
settings back."""
import errno
import os
import struct

import pytest

import usb_env
from usb_env import usbsrv

LOOPBACK = (0x1D6B, 0x0104)


def neg(err):
    return (-err) & 0xFFFFFFFF


@pytest.fixture
def loopback(daemon):
    usb_env.start(daemon)
    name = usb_env.plug(daemon, "port:1", "loopback")
    c = usb_env.connect(daemon)
    entry, port = usb_env.listed(c, *LOOPBACK)
    assert c.open(entry, port).status == 0
    assert c.set_config(entry, port, 1).status == 0
    yield c, entry, port, name
    c.close()


@pytest.mark.parametrize("err", ["EPROTO", "EILSEQ", "ETIME", "EOVERFLOW", "EPIPE"])
def test_a_failed_completion_is_one_final_error_reply(loopback, daemon, err):
    c, entry, port, name = loopback
    usb_env.sim(daemon, "usb", "status", name, "0x01", err, "1")
    # Four URBs; the first fails: one final reply with its status, nothing after it.
    tag = c.submit(entry, port, 0x01, usbsrv.BULK, out=os.urandom(4 * 65536))
    r = c.reply(tag)
    assert (r.code, r.status, r.error) == (0x1008, 3, neg(getattr(errno, err)))
    assert c.no_reply(tag, 0.3)
    # The stream and the device go on (a stall stays until it is cleared); what the
    # device took before the failure comes back first.
    if err == "EPIPE":
        assert c.clear_halt(entry, port, 0x01).status == 0
    data = os.urandom(1000)
    assert c.bulk_out(entry, port, 0x01, data).status == 0
    r, got = c.bulk_in(entry, port, 0x81, 1 << 20)
    assert r.status == 0 and got.endswith(data)


def test_a_failed_interrupt_urb_is_reported(daemon):
    usb_env.start(daemon)
    name = usb_env.plug(daemon, "port:1", "hid")
    with usb_env.connect(daemon) as c:
        entry, port = usb_env.listed(c, 0x046D, 0xC31C)
        assert c.open(entry, port).status == 0
        assert c.set_config(entry, port, 1).status == 0
        usb_env.sim(daemon, "usb", "status", name, "0x81", "EPROTO", "1")
        usb_env.sim(daemon, "usb", "poke", name, "report", "0000050000000000")
        r = c.reply(c.submit(entry, port, 0x81, usbsrv.INTERRUPT, in_length=8))
        assert (r.status, r.error) == (3, neg(errno.EPROTO))


def test_an_in_ends_where_the_device_ends_it(loopback):
    c, entry, port, _ = loopback
    first, second = os.urandom(100), os.urandom(700)
    assert c.bulk_out(entry, port, 0x01, first).status == 0
    assert c.bulk_out(entry, port, 0x01, second).status == 0
    # Each IN stops at the short packet that ended what was sent.
    r, data = c.bulk_in(entry, port, 0x81, 200000)
    assert (r.status, data) == (0, first)
    r, data = c.bulk_in(entry, port, 0x81, 200000)
    assert (r.status, data) == (0, second)


def test_isochronous_packet_statuses_and_out_stream(daemon):
    usb_env.start(daemon)
    name = usb_env.plug(daemon, "port:1", "iso")
    with usb_env.connect(daemon) as c:
        entry, port = usb_env.listed(c, 0x1D6B, 0x0107)
        assert c.open(entry, port).status == 0
        assert c.set_config(entry, port, 1, [(0, 1)]).status == 0
        usb_env.sim(daemon, "usb", "iso-status", name, "0x81", "2", "EXDEV", "1")
        r = c.reply(c.submit(entry, port, 0x81, usbsrv.ISO, in_length=4 * 1024, packets=[1024] * 4))
        assert r.status == 0
        packets = usbsrv.iso_packets(r)
        assert [p[0] for p in packets] == [0, 0, -errno.EXDEV, 0]
        # OUT: every packet's data goes to the device, one final answer.
        r = c.reply(c.submit(entry, port, 0x02, usbsrv.ISO, out=os.urandom(3 * 512), packets=[512] * 3))
        assert (r.code, r.status, r.error) == (0x1008, 0, 0)


def test_reset_brings_back_the_default_settings(loopback):
    c, entry, port, _ = loopback
    # SET_INTERFACE 0/1 through the control path.
    assert c.control(entry, port, 0x01, 11, 1, 0).status == 0
    get_interface = lambda: c.control(entry, port, 0x81, 10, 0, 0, 1)  # noqa: E731
    assert get_interface().payload == b"\x01"
    assert c.reset(entry, port).status == 0
    assert get_interface().payload == b"\x00"



def test_a_reset_that_reenumerates_gives_up_the_old_entry(loopback, daemon):
    c, entry, port, name = loopback
    usb_env.sim(daemon, "usb", "reset-fault", name, "reenumerate")
    # The reset fails; this product then power-cycles the port and answers success.
    r = c.reset(entry, port)
    assert (r.status, r.error) == (0, 0)
    assert "RESET -> ENODEV" in usb_env.sim(daemon, "usb", "trace", name)
    # The device went and came back under a new number: its holder hears that the entry
    # is gone, and the list shows the device once, as an entry nobody holds.
    m = c.message()
    assert (m.code, m.payload) == (usbsrv.MSG_REMOVED, bytes([entry, port]))

    def listed_once():
        records = c.device_list()[1]
        return len(records) == 1 and records[0][5:] == LOOPBACK and c.call(usbsrv.OPENED).payload == bytes(4)

    daemon.wait_for(listed_once, what="the device listed anew")
    rec = c.device_list()[1][0]
    assert c.open(rec.entry, rec.port).status == 0
    assert c.set_config(rec.entry, rec.port, 1).status == 0
    assert c.bulk_out(rec.entry, rec.port, 0x01, b"again").status == 0
    assert c.bulk_in(rec.entry, rec.port, 0x81, 64)[1] == b"again"
    c.close()
    usb_env.clean_exit(daemon)
