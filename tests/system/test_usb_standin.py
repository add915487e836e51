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
