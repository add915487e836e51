"""The station's own address end to end: qmr on the Wi-Fi product with nlsim, whose
station news name the address each authentication and association request came from,
and whose scan trace names the address each scan went out with. A network's mac_addr
setting gives each newly selected network a random locally administered address (1), one
that keeps the permanent OUI (2), or the permanent address back (0); an address of the
same kind younger than rand_addr_lifetime is kept. preassoc_mac_addr gives the interface
a random address before a scan while it is not connected."""
import pytest

from test_wifi_scan import Radio, add_aps

PERMANENT = "00:1b:2c:00:01:00"  # a globally administered radio address
APS = [
    ("lab", "02:00:00:00:cc:01", "lab", 2412, -4000, "", ""),
    ("lab2", "02:00:00:00:cc:02", "lab2", 2437, -4000, "", ""),
    ("lab3", "02:00:00:00:cc:03", "lab3", 2462, -4000, "", ""),
]
CONNECTED = "<3>CTRL-EVENT-CONNECTED - Connection to "


@pytest.fixture
def radio(net):
    r = Radio(net, "address %s\n" % PERMANENT)
    yield r
    r.close()


def octets(addr):
    return [int(x, 16) for x in addr.split(":")]


def is_random(addr):
    """Locally administered, individual, and not the permanent address."""
    first = octets(addr)[0]
    return addr != PERMANENT and first & 0x02 and not first & 0x01


def news(radio, since):
    """Station news from line since on, as (kind, {key: value})."""
    out = []
    for line in radio.air("news", "since=%d" % since):
        words = line.split()
        out.append((words[1], dict(w.split("=", 1) for w in words[2:] if "=" in w)))
    return out


def news_mark(radio):
    lines = radio.air("news")
    return int(lines[-1].split()[0]) + 1 if lines else 1


def join(radio, select, bssid):
    """Selects a network and waits for its connection; the address its authentication
    and association requests came from, and the events of the join."""
    mark = news_mark(radio)
    start = len(radio.mon.events)
    assert radio.ctrl.request(select) == "OK\n", select
    radio.mon.wait_event_after(CONNECTED + bssid, start, 90)
    heard = [(k, w) for k, w in news(radio, mark) if k in ("auth", "assoc") and w["bssid"] == bssid]
    assert [k for k, _ in heard][-2:] == ["auth", "assoc"], heard
    addrs = {w["sta"] for _, w in heard[-2:]}
    assert len(addrs) == 1, heard
    addr = addrs.pop()
    status = dict(l.split("=", 1) for l in radio.ctrl.request("STATUS").splitlines() if "=" in l)
    assert status["address"] == addr, status
    return addr, radio.mon.events[start:]


def add_network(radio, ssid, mac_addr):
    nid = radio.ctrl.request("ADD_NETWORK").strip()
    for field, value in (("ssid", '"%s"' % ssid), ("key_mgmt", "NONE"), ("mac_addr", str(mac_addr))):
        assert radio.ctrl.request("SET_NETWORK %s %s %s" % (nid, field, value)) == "OK\n", field
    return nid  # disabled until selected


def test_each_new_network_gets_the_address_its_setting_asks_for(radio):
    assert radio.mon.request("LEVEL 2") == "OK\n"
    add_aps(radio, APS)
    assert radio.ctrl.request("SET_NETWORK 0 mac_addr 1") == "OK\n"
    lab2 = add_network(radio, "lab2", 1)
    lab3 = add_network(radio, "lab3", 2)

    # Fully random for the first network.
    first, events = join(radio, "SELECT_NETWORK 0", APS[0][1])
    assert is_random(first), first
    assert "<2>Using random MAC address %s" % first in events, events

    # Another network of the same kind within the lifetime keeps that address.
    again, events = join(radio, "SELECT_NETWORK " + lab2, APS[1][1])
    assert again == first, (first, again)
    assert "<2>Previously selected random MAC address has not yet expired" in events, events

    # The other kind: random, with the permanent OUI (the first octet locally administered).
    kept, _ = join(radio, "SELECT_NETWORK " + lab3, APS[2][1])
    assert is_random(kept) and kept != first, kept
    assert kept.split(":")[1:3] == PERMANENT.split(":")[1:3], kept
    assert octets(kept)[0] == octets(PERMANENT)[0] | 0x02, kept

    # A network that asks for none gets the permanent address back.
    assert radio.ctrl.request("SET_NETWORK 0 mac_addr 0") == "OK\n"
    back, events = join(radio, "SELECT_NETWORK 0", APS[0][1])
    assert back == PERMANENT, back
    assert "<2>Using permanent MAC address" in events, events


def trigger_addrs(radio):
    return [dict(w.split("=", 1) for w in line.split()[3:] if "=" in w).get("sta")
            for line in radio.air("scans") if line.split()[1] == "trigger"]


def test_preassoc_random_address_is_taken_before_scans_while_not_connected(radio):
    add_aps(radio, APS[:1])
    assert radio.ctrl.request("SET preassoc_mac_addr 1") == "OK\n"
    assert radio.ctrl.request("SET rand_addr_lifetime 0") == "OK\n"
    assert radio.ctrl.request("DISABLE_NETWORK all") == "OK\n"
    radio.air("scans", "clear")
    radio.scan()
    radio.scan()
    seen = trigger_addrs(radio)
    assert len(seen) == 2 and all(is_random(a) for a in seen), seen
    # A lifetime of 0 lets each scan take a new one.
    assert seen[0] != seen[1], seen

    # Connected (the network asks for the permanent address): scans keep the address of
    # the connection.
    start = len(radio.mon.events)
    assert radio.ctrl.request("SELECT_NETWORK 0") == "OK\n"
    radio.mon.wait_event_after(CONNECTED + APS[0][1], start, 90)
    radio.air("scans", "clear")
    radio.scan()
    assert trigger_addrs(radio) == [PERMANENT], radio.air("scans")
