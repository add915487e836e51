"""NetInterface against the kernel of a network namespace.

The daemon's start-up drives the interface objects; here tests/tools/netif_driver runs
their operations inside the device namespace of the `net` fixture (with the simulated
platform's VLAN and PHY calls), and `ip` in the same namespace shows what the kernel
made of them.
"""
import os
import re
import shutil
import tempfile

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("QMR_BUILD", os.path.join(REPO, "build", "test"))
DRIVER = os.path.join(BUILD, "tests", "unit", "netif_driver")


@pytest.fixture
def product():
    """Returns a function that makes a sandbox root holding a product description."""
    made = []

    def make(name):
        path = tempfile.mkdtemp(prefix="qmr-", dir="/tmp")
        os.makedirs(os.path.join(path, "proc"))
        shutil.copy(os.path.join(REPO, "tests", "fixtures", "products", name),
                    os.path.join(path, "proc", "product_params"))
        made.append(path)
        return path

    yield make
    for path in made:
        shutil.rmtree(path, ignore_errors=True)


def drive(net, root, *ops):
    """Runs the driver with the operations; returns its output lines."""
    if not os.path.exists(DRIVER):
        pytest.skip("netif_driver is not built in " + BUILD)
    r = net.run_device("env", "QMR_ROOT=" + root, DRIVER, *ops)
    return r.stdout.splitlines()


def device(net, *cmd):
    return net.run_device(*cmd).stdout


def test_address_prefix_gateway_and_multicast_land_on_eth0(net, product):
    root = product("p287_4port")
    out = drive(net, root, "up", "addr", net.device_addr, "mask", "24",
                "gw", net.client_addr, "multi", "224.0.0.251", "getaddr")
    assert out == ["up: ok", "addr: ok", "mask: ok", "gw: ok", "multi: ok",
                   "getaddr: ok " + net.device_addr]
    assert net.device_addr + "/24" in device(net, "ip", "-o", "-4", "addr", "show", "dev", "eth0")
    assert re.search(r"default via %s dev eth0\s" % re.escape(net.client_addr),
                     device(net, "ip", "-4", "route"))
    assert "01:00:5e:00:00:fb" in device(net, "ip", "maddr", "show", "dev", "eth0")
    net.run_client("ping", "-c", "1", "-W", "5", net.device_addr)

    # A host prefix is a prefix like any other; above 32 nothing changes.
    assert drive(net, root, "mask", "32", "mask", "33") == ["mask: ok", "mask: fail"]
    assert net.device_addr + "/32" in device(net, "ip", "-o", "-4", "addr", "show", "dev", "eth0")


def test_vlan_sub_interfaces_appear_with_their_routes_and_go_again(net, product):
    root = product("p287_4port")
    out = drive(net, root, "up",
                "vlan", "0", "10.71.0.1", "24", "10.71.0.254", "7",
                "vlan", "1", "10.71.1.1", "24", "-", "7",
                "vlan", "2", "10.72.0.1", "16", "10.72.0.254", "-1",
                "multi", "224.0.1.22", "7",
                "getaddr", "7",
                "run", "ip -o addr show; ip -4 route; ip -d link show eth0.7; ip maddr show dev eth0.7",
                "unvlan", "1", "unvlan", "2", "unvlan", "0", "unvlan", "0",
                "run", "echo AFTER; ip -o link show; ip -o addr show; ip -4 route")
    text = "\n".join(out)
    during, after = text.split("AFTER")
    assert "vlan: ok\nvlan: ok\nvlan: ok\nmulti: ok\ngetaddr: ok 10.71.0.1" in text
    # The tagged entry owns the VLAN device; the second entry of the id is an alias.
    assert re.search(r"eth0\.7\s+inet 10\.71\.0\.1/24", during)
    assert re.search(r"eth0\.7\s+inet 10\.71\.1\.1/24 .*eth0\.7:0", during)
    assert re.search(r"eth0\s+inet 10\.72\.0\.1/16 .*eth0:0", during)
    assert "macvlan" in during
    # Routes through a sub-interface lose against those of the base interface.
    assert re.search(r"default via 10\.71\.0\.254 dev eth0\.7 metric 5", during)
    assert re.search(r"default via 10\.72\.0\.254 dev eth0 (proto \S+ )?(scope \S+ )?(src \S+ )?metric 5", during)
    assert "default dev eth0.7" not in during
    assert "01:00:5e:00:01:16" in during
    # Removed: the device, its addresses and routes; a second removal has nothing to do.
    assert "unvlan: ok\nunvlan: ok\nunvlan: ok\nunvlan: fail" in text
    assert "eth0.7" not in after
    assert "10.72.0.1" not in after and "10.7" not in after


def test_vlan_device_errors_come_back_as_the_vlan_call_gives_them(net, product):
    root = product("p287_4port")
    net.run_device("ip", "link", "add", "eth0.9", "link", "eth0", "type", "macvlan")
    # The device exists already: refused, and the one there is left alone.
    assert drive(net, root, "vlan", "0", "10.9.0.1", "24", "-", "9") == ["vlan: fail"]
    assert "10.9.0.1" not in device(net, "ip", "-o", "addr", "show")
    # Ids beyond the 802.1Q range are refused without a device being made.
    assert drive(net, root, "vlan", "0", "10.9.0.1", "24", "-", "4095") == ["vlan: fail"]
    assert "eth0.4095" not in device(net, "ip", "-o", "link", "show")
    net.run_device("ip", "link", "del", "eth0.9")


@pytest.mark.parametrize("fixture,flags,via", [("p287_4port", "0x01", "sysfs"), ("p305_2port", "0x10", "PHY")])
def test_carrier_and_link_text_follow_the_peer(net, product, fixture, flags, via):
    root = product(fixture)
    out = drive(net, root, "carrier", "link", "0", "mii", "0")
    assert out[0] == "carrier: ok " + flags, via
    assert re.match(r"link: \d+ \d+Mbit full duplex$", out[1])
    assert out[2] == "mii: ok 1000 full"

    net.set_link(False)
    out = drive(net, root, "carrier", "link", "0", "mii", "0")
    assert out[0] == "carrier: fail 0x00", via
    assert out[1].startswith("link: ") and "Mbit" not in out[1]
    assert out[2] == "mii: ok 10 half"


def test_static_ipv6_address_and_router_without_autoconfiguration(net, product):
    root = product("p287_4port")
    # Only the link-local address yet: it comes with its interface as scope.
    out = drive(net, root, "getaddr6")
    index = device(net, "cat", "/sys/class/net/eth0/ifindex").strip()
    assert re.match(r"getaddr6: ok fe80::\S+ %s$" % index, out[0])

    static = ["set", "ipv6_auto", "off", "set", "ipv6_addr", "2001:db8:71::1",
              "set", "ipv6_pfxlen", "64", "set", "ipv6_router", "2001:db8:71::fe"]
    out = drive(net, root, *static, "ipv6", "on", "getaddr6")
    assert out[-2:] == ["ipv6: ok", "getaddr6: ok 2001:db8:71::1 0"]
    assert "2001:db8:71::1/64" in device(net, "ip", "-o", "-6", "addr", "show", "dev", "eth0")
    routes = device(net, "ip", "-6", "route")
    assert re.search(r"default via 2001:db8:71::fe dev eth0 metric 10", routes)
    assert device(net, "cat", "/proc/sys/net/ipv6/conf/eth0/accept_ra").strip() == "0"

    # Switching IPv6 off takes the address and the routes away first.
    out = drive(net, root, *static, "ipv6", "off")
    assert out[-1] == "ipv6: ok"
    assert "2001:db8:71::1" not in device(net, "ip", "-o", "addr", "show")
    assert device(net, "cat", "/proc/sys/net/ipv6/conf/all/disable_ipv6").strip() == "1"


def test_ipv6_vlan_entries_get_address_and_default_route_on_their_device(net, product):
    root = product("p287_4port")
    out = drive(net, root, "up", "set", "ipv6_auto", "off",
                "vlan", "0", "2001:db8:78::1", "64", "2001:db8:78::fe", "8",
                "vlan", "1", "2001:db8:79::1", "64", "-", "-1",
                "run", "ip -o -6 addr show; ip -6 route; cat /proc/sys/net/ipv6/conf/eth0.8/accept_ra",
                "unvlan", "1", "unvlan", "0",
                "run", "echo AFTER; ip -o link show; ip -o -6 addr show; ip -6 route")
    text = "\n".join(out)
    during, after = text.split("AFTER")
    assert "vlan: ok\nvlan: ok" in text
    assert re.search(r"eth0\.8\s+inet6 2001:db8:78::1/64", during)
    assert re.search(r"eth0\s+inet6 2001:db8:79::1/64", during)
    assert re.search(r"default via 2001:db8:78::fe dev eth0\.8 metric 10", during)
    assert re.search(r"^0$", during, re.M)
    assert "unvlan: ok\nunvlan: ok" in text
    assert "eth0.8" not in after and "2001:db8:79::1" not in after
