"""Port events: plugging, opening, closing and unplugging a device show in the monitoring
log, the device parameters and the port LEDs of the simulated board; a deactivation
power-cycles the port for "zqn_poffdura_", and a port switched off meanwhile stays off."""
import re

import usb_env

MONI = dict(monitoring="on", moniflags="31")


def board(daemon):
    return usb_env.sim(daemon, "board")


def port_leds(daemon, port):
    """(first colour, second colour) of the port's LED on the default board layout."""
    lit = set(board(daemon))
    return ("board_led 0.%d on" % (7 + port) in lit, "board_led 0.%d on" % (15 + port) in lit)


def powered(daemon, port):
    lines = next(l for l in board(daemon) if l.startswith("board_lines "))
    return bool(int(lines.split()[1], 16) & (1 << (port - 1)))


def param(daemon, name):
    return usb_env.sim(daemon, "param", name)[0]


def device_params(daemon, entry):
    names = ["usb_manu_", "usb_prod_", "usb_sern_", "usb_vendid_", "usb_prodid_", "usb_slot_", "usb_owner_"]
    return [param(daemon, "%s%d" % (n, entry + 1)) for n in names]


def moni_has(root, pattern):
    return re.search(pattern, root.moni_text()) is not None


def test_plug_open_close_unplug(daemon, root):
    usb_env.start(daemon, **MONI)
    daemon.wait_for(lambda: powered(daemon, 1), what="port 1 powered")
    name = usb_env.plug(daemon, "port:1", "loopback", "serial=EV1")
    device = r"\(Simulated Devices / Loopback / EV1\)"
    daemon.wait_for(lambda: moni_has(root, r"USB port: USB device %s has been connected to USB port 1\." % device),
                    what="the connected line")
    with usb_env.connect(daemon) as c:
        entry, port = usb_env.listed(c, 0x1D6B, 0x0104)
        assert device_params(daemon, entry) == ["Simulated Devices", "Loopback", "EV1", "1d6b", "0104", "1",
                                                "Available"]
        assert port_leds(daemon, 1) == (True, False)

        assert c.open(entry, port, user=b"alice").status == 0
        # The activation follows the open's reply.
        daemon.wait_for(lambda: param(daemon, "usb_owner_%d" % (entry + 1)) != "Available", what="the owner")
        owner = param(daemon, "usb_owner_%d" % (entry + 1))
        assert re.fullmatch(r"alice \(\d{3}\.\d{3}\.\d{3}\.\d{3}\)", owner), owner
        daemon.wait_for(lambda: moni_has(root, r"%s at USB port 1 has been connected to user %s\." %
                                         (device, re.escape(owner))), what="the activated line")
        assert port_leds(daemon, 1) == (False, True)

        assert c.close_device(entry, port).status == 0
        daemon.wait_for(lambda: moni_has(root, r"%s at USB port 1 has been disconnected for user %s\." %
                                         (device, re.escape(owner))), what="the deactivated line")
        assert param(daemon, "usb_owner_%d" % (entry + 1)) == "Available"
        assert port_leds(daemon, 1) == (True, False)
        # No power cycle without "zqn_poffdura_" or a quirk asking for one.
        assert powered(daemon, 1)

        usb_env.unplug(daemon, name)
        daemon.wait_for(lambda: moni_has(root, r"%s has been disconnected from USB port 1 \(stat:0064\)\." % device),
                        what="the disconnected line")
        assert device_params(daemon, entry) == ["-", "-", "-", "-", "-", "0", "-"]
        assert port_leds(daemon, 1) == (False, False)
    usb_env.clean_exit(daemon)


def test_two_devices_on_a_port_keep_its_led(daemon):
    usb_env.start(daemon)
    hub = usb_env.plug(daemon, "port:1", "hub")
    first = usb_env.sim(daemon, "usb", "plug", hub + ".1", "loopback")[-1].split()[0]
    second = usb_env.sim(daemon, "usb", "plug", hub + ".2", "loopback", "pid=0x0109")[-1].split()[0]
    daemon.wait_for(lambda: len([l for l in usb_env.sim(daemon, "devices") if "0x1d6b" in l.lower()]) == 2,
                    what="two devices")
    assert port_leds(daemon, 1) == (True, False)
    usb_env.unplug(daemon, first)
    daemon.wait_for(lambda: len([l for l in usb_env.sim(daemon, "devices") if "0x1d6b" in l.lower()]) == 1,
                    what="one device")
    assert port_leds(daemon, 1) == (True, False)
    usb_env.unplug(daemon, second)
    daemon.wait_for(lambda: port_leds(daemon, 1) == (False, False), what="the LED off")
    usb_env.clean_exit(daemon)


def test_activated_device_unplugged_turns_the_led_off(daemon):
    usb_env.start(daemon)
    name = usb_env.plug(daemon, "port:1", "loopback")
    with usb_env.connect(daemon) as c:
        entry, port = usb_env.listed(c, 0x1D6B, 0x0104)
        assert c.open(entry, port).status == 0
        usb_env.unplug(daemon, name)
        daemon.wait_for(lambda: port_leds(daemon, 1) == (False, False), what="the LED off")
        # A device plugged afterwards starts from a clean count.
        usb_env.plug(daemon, "port:1", "loopback")
        daemon.wait_for(lambda: port_leds(daemon, 1) == (True, False), what="the LED on")
    usb_env.clean_exit(daemon)


def test_timed_power_cycle_and_protection_keeps_a_port_off(daemon):
    usb_env.start(daemon, zqn_poffdura_1="25", zqn_poffdura_2="25")
    usb_env.plug(daemon, "port:1", "loopback")
    usb_env.plug(daemon, "port:2", "loopback", "pid=0x0109")
    with usb_env.connect(daemon) as c:
        one = usb_env.listed(c, 0x1D6B, 0x0104)
        two = usb_env.listed(c, 0x1D6B, 0x0109)
        for entry, port in (one, two):
            assert c.open(entry, port).status == 0

        # Closing starts a 2.5-s power cycle: the port goes off and comes back with its device.
        assert c.close_device(*one).status == 0
        assert not powered(daemon, 1)
        daemon.wait_for(lambda: powered(daemon, 1), what="port 1 on again")
        usb_env.listed(c, 0x1D6B, 0x0104)

        # A port switched off while its cycle runs stays off when the cycle ends.
        assert c.close_device(*two).status == 0
        assert not powered(daemon, 2)
        usb_env.sim(daemon, "param", "zqn_ppwr_2", "off")
        assert c.open(*one).status == 0
        assert c.close_device(*one).status == 0
        # Port 1's cycle began later and lasts as long: once it is over, so is port 2's.
        daemon.wait_for(lambda: powered(daemon, 1), what="port 1 on again")
        assert not powered(daemon, 2)
    usb_env.clean_exit(daemon)
