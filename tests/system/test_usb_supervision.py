"""The USB server's own periodic work and bookkeeping: the minute power-limit check of
the extended sensor board switches an overloaded port off, and forwarded data feeds the
traffic counters of the load statistics."""
import os
import shutil

import usb_env
from conftest import FIXTURES
from usb_env import usbsrv

LOOPBACK = (0x1D6B, 0x0104)
# Product 295: sensor 0 feeds ports 1 to 5 and switches off at 2000 mA.
SENSOR0 = "/sys/class/hwmon/hwmon4/current_c1"


def set_reading(root, milliamperes):
    path = root.file(SENSOR0)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".new", "w") as f:
        f.write("%d\n" % (milliamperes * 1000))
    os.replace(path + ".new", path)


def loop_pass(daemon):
    """Returns once the server task has run its periodic work after this call: it runs
    between two waits of the listener loop, and each wait accepts one new client."""
    for _ in range(2):
        with usb_env.connect(daemon) as c:
            assert c.hello().status == 3


def advance(daemon, ticks):
    usb_env.sim(daemon, "ticks", "advance", str(ticks))


def board(daemon):
    return usb_env.sim(daemon, "board")


def port_powered(daemon, port):
    lines = int(next(l for l in board(daemon) if l.startswith("board_lines ")).split()[1], 16)
    return bool(lines & 1 << (port - 1))


def test_an_overloaded_port_is_switched_off_after_one_reading_of_grace(daemon, root):
    shutil.copy(os.path.join(FIXTURES, "products", "p295_display"), root.file("/proc/product_params"))
    set_reading(root, 500)
    usb_env.start(daemon)
    # The board powers its ports in groups after the start.
    daemon.wait_for(lambda: all(port_powered(daemon, n) for n in range(1, 9)), what="the ports powered")
    loop_pass(daemon)  # the first reading, below the limit
    # At the limit once: a reading of grace, which spares a device 61 s old.
    usb_env.plug(daemon, "port:3", "loopback", "pid=0x0106")
    holder = usb_env.connect(daemon)
    spared, _ = usb_env.listed(holder, 0x1D6B, 0x0106)  # its age counts from here
    set_reading(root, 2000)
    advance(daemon, 6100)
    loop_pass(daemon)

    # At the limit again: a device plugged 61 s before goes off, one plugged 31 s
    # before stays, and so does the spared one, 122 s old by now.
    usb_env.plug(daemon, "port:1", "loopback")
    entry, port = usb_env.listed(holder, *LOOPBACK)
    assert holder.open(entry, port).status == 0
    advance(daemon, 3000)
    usb_env.plug(daemon, "port:2", "loopback", "pid=0x0105")
    young, _ = usb_env.listed(holder, 0x1D6B, 0x0105)
    advance(daemon, 3100)
    loop_pass(daemon)

    # The holder is told why (notice reason 2), the port's power goes through the
    # parameter and its apply, and the port's LED blinks its second colour.
    m = holder.message()
    assert (m.code, m.payload) == (usbsrv.MSG_NOTICE, bytes([entry, 1, 2, 0x13, 0, 0, 0, 0]))
    assert [port_powered(daemon, n) for n in (1, 2, 3)] == [False, True, True]
    assert "board_led 1.16 blink 250" in board(daemon)
    with open(root.file("/etc/params.dat")) as f:
        assert "zqn_ppwr_1 = fail" in f.read()
    assert "at USB port 1 consumes too much power. USB port has been switched off for protection." \
        in root.moni_text()
    # The device on the switched-off port is gone.
    daemon.wait_for(lambda: sorted(r.entry for r in holder.device_list()[1]) == sorted([spared, young]),
                    what="only the other devices listed")
    holder.close()
    usb_env.clean_exit(daemon)


def test_forwarded_data_feeds_the_traffic_counters(daemon):
    # No load samples: the counters keep what the forwarding added.
    usb_env.start(daemon, deltaload="---")
    usb_env.plug(daemon, "port:1", "loopback")

    def counters():
        return {k: int(v) for k, v in (l.split() for l in usb_env.sim(daemon, "load"))}

    with usb_env.connect(daemon) as c:
        entry, port = usb_env.listed(c, *LOOPBACK)
        assert c.open(entry, port).status == 0
        assert c.set_config(entry, port, 1).status == 0
        assert counters() == {"usb_in_kib": 0, "usb_out_kib": 0}
        data = os.urandom(200000)
        assert c.bulk_out(entry, port, 0x01, data).status == 0
        # Each URB above 512 bytes counts its rounded KiB: 3 x 96 + 3 or 3 x 64 + 3.
        assert counters()["usb_out_kib"] == 195
        got = b""
        while len(got) < len(data):
            r, part = c.bulk_in(entry, port, 0x81, len(data) - len(got))
            assert r.status == 0
            got += part
        assert got == data
        assert 190 <= counters()["usb_in_kib"] <= 200
        # A control transfer moves no bulk counter.
        assert c.get_descriptor(entry, port, 1, length=18).status == 0
        assert counters()["usb_out_kib"] == 195
