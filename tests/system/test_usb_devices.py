"""USB devices plugged into the simulated kernel reach the daemon's device table."""

from test_daemon_life import started


def plug(daemon, *words):
    """Plugs a simulated device; returns its name for unplug."""
    ok, lines = daemon.simctl("usb", "plug", *words)
    assert ok and lines, lines
    return lines[-1].split()[0]


def table(daemon):
    ok, lines = daemon.simctl("devices")
    assert ok, lines
    return lines


def test_plug_and_unplug_change_the_device_table(daemon):
    started(daemon)
    first = plug(daemon, "port:1", "loopback", "vid=0x1234", "pid=0x5678")
    daemon.wait_for(lambda: any(" 0x1234 0x5678 " in l for l in table(daemon)), what="the device in the table")
    plug(daemon, "port:2", "storage")
    daemon.wait_for(lambda: len(table(daemon)) == 2, what="two devices")
    ok, lines = daemon.simctl("usb", "unplug", first)
    assert ok, lines
    daemon.wait_for(lambda: not any(" 0x1234 0x5678 " in l for l in table(daemon)), what="the device gone")
    assert len(table(daemon)) == 1


def test_many_plug_cycles_leave_no_entry_and_no_leak(daemon):
    started(daemon)
    for _ in range(25):
        name = plug(daemon, "port:1", "hid")
        daemon.wait_for(lambda: len(table(daemon)) == 1, what="the device in the table")
        assert daemon.simctl("usb", "unplug", name)[0]
        daemon.wait_for(lambda: len(table(daemon)) == 0, what="an empty table")
    # The sanitizers report leaks and errors at exit through the exit status.
    assert daemon.stop() == 0
    assert "ERROR: AddressSanitizer" not in daemon.output()
    assert "runtime error" not in daemon.output()
