"""The simulated USB devices, driven through simctl while the daemon runs."""
import os


def test_simctl_plugs_a_device_on_a_port_with_its_sysfs_and_unplugs_it(daemon, root):
    daemon.start()
    # Port 2 of the 287 is the controller of buses 3 and 4.
    ok, lines = daemon.simctl("usb", "plug", "port:2", "loopback", "vid=05ac", "pid=1234")
    assert ok and lines[0] == "3-1"
    ok, lines = daemon.simctl("state")
    assert ok
    line = next(l for l in lines if l.startswith("usb 3-1 "))
    assert "port 2 kind loopback id 05ac:1234" in line
    sysfs = root.file("/sys/bus/usb/devices/3-1")
    with open(os.path.join(sysfs, "idVendor")) as f:
        assert f.read() == "05ac\n"
    devnum = int(open(os.path.join(sysfs, "devnum")).read())
    assert os.path.exists(root.file("/dev/bus/usb/003/%03d" % devnum))

    ok, lines = daemon.simctl("usb", "plug", "3-1", "hid")
    assert not ok and lines[-1] == "ERR occupied"
    ok, lines = daemon.simctl("usb", "unplug", "3-1")
    assert ok
    assert not os.path.exists(sysfs)
    ok, lines = daemon.simctl("usb", "unplug", "3-1")
    assert not ok
    assert daemon.stop() == 0


def test_simctl_drives_the_fault_switches_and_the_daemon_probes_read_write(daemon):
    daemon.start()
    ok, lines = daemon.simctl("help")
    assert ok
    for usage in ("usb status <name> <ep> <errno> [count]", "usb iso-status <name> <ep> <packet> <errno> [count]",
                  "usb control-delay <name> <microseconds>|never", "usb reset-fault <name> reenumerate|none"):
        assert any(l.startswith(usage) for l in lines), lines
    ok, lines = daemon.simctl("usb", "plug", "port:1", "sourcesink", "pace=usb2")
    assert ok, lines
    name = lines[0]
    daemon.wait_for(lambda: any(" 0x1D6B 0x0108 " in l for l in daemon.simctl("devices")[1]),
                    what="the source/sink in the daemon's table")
    # The daemon read the strings through a file opened for reading and writing: usbfs
    # refuses every ioctl on a read-only one.
    ok, trace = daemon.simctl("usb", "trace", name)
    assert ok and "CONTROL 80 06 0300 0000 4 -> 4" in trace, trace
    assert not any(l.endswith("-> EPERM") for l in trace), trace

    for words in (["status", name, "81", "EPROTO", "1"], ["status", name, "0x01", "ETIME"],
                  ["status", name, "81", "0"], ["iso-status", name, "81", "3", "EXDEV", "2"],
                  ["control-delay", name, "2500"], ["control-delay", name, "never"],
                  ["reset-fault", name, "reenumerate"], ["reset-fault", name, "none"]):
        ok, lines = daemon.simctl("usb", *words)
        assert ok, (words, lines)
    for words, reason in ((["status", name, "81", "EBOGUS"], "ERR bad errno"),
                          (["status", name, "181", "EPROTO"], "ERR bad endpoint"),
                          (["iso-status", name, "81", "300", "EXDEV"], "ERR bad packet"),
                          (["control-delay", name, "later"], "ERR bad delay"),
                          (["reset-fault", "9-9", "none"], "ERR no such device")):
        ok, lines = daemon.simctl("usb", *words)
        assert not ok and lines[-1] == reason, (words, lines)
    ok, lines = daemon.simctl("state")
    assert ok
    assert any(l.startswith("usb %s " % name) and l.endswith(" paced") for l in lines), lines
    assert "usb_sink_bytes 0" in lines
    assert daemon.stop() == 0
