"""Network selection end to end: qmr on the Wi-Fi product (304) with nlsim and scripted
APs. After a scan the supplicant picks the best AP of an enabled network and asks for an
association with it, which a monitor at level 2 hears as "Request association with";
the blacklist steers the choice, and the network words change what is picked. The APs
are open, so each pick is joined."""
import time

import pytest

from test_wifi_scan import Radio, add_aps

# name, BSSID, SSID, frequency, signal (mBm), elements, further settings
APS = [
    ("lab1", "02:00:00:00:bb:01", "lab", 2412, -4000, "", ""),
    ("lab2", "02:00:00:00:bb:02", "lab", 2437, -6000, "", ""),
    ("other", "02:00:00:00:bb:03", "other", 2462, -3000, "", ""),
]

REQUEST = "<2>Request association with "
CONNECTED = "<3>CTRL-EVENT-CONNECTED - Connection to "


@pytest.fixture
def radio(net):
    r = Radio(net)
    yield r
    r.close()


def requests(events):
    return [e[len(REQUEST):] for e in events if e.startswith(REQUEST)]


def wait_request(radio, start, timeout=60):
    return radio.mon.wait_event_after(REQUEST, start, timeout)[len(REQUEST):]


def test_scan_picks_the_best_ap_of_the_enabled_network_and_the_blacklist_steers(radio):
    add_aps(radio, APS)
    assert radio.mon.request("LEVEL 2") == "OK\n"

    first = start = len(radio.mon.events)
    radio.scan()
    assert wait_request(radio, start) == "02:00:00:00:bb:01"
    radio.mon.wait_event_after(CONNECTED + "02:00:00:00:bb:01", start, 60)

    # Blacklisted: with one enabled network the other AP of "lab" is taken on the next
    # search.
    assert radio.ctrl.request("BLACKLIST 02:00:00:00:bb:01") == "OK\n"
    assert radio.ctrl.request("BLACKLIST") == "02:00:00:00:bb:01\n"
    assert reconnect(radio) == "02:00:00:00:bb:02"

    # A completed join empties the list. Both blacklisted: the list is cleared and the
    # best one is taken anyway.
    assert radio.ctrl.request("BLACKLIST") == ""
    assert radio.ctrl.request("BLACKLIST 02:00:00:00:bb:01") == "OK\n"
    assert radio.ctrl.request("BLACKLIST 02:00:00:00:bb:02") == "OK\n"
    assert radio.ctrl.request("BLACKLIST") == "02:00:00:00:bb:02\n02:00:00:00:bb:01\n"
    assert reconnect(radio) == "02:00:00:00:bb:01"
    assert radio.ctrl.request("BLACKLIST") == ""

    assert radio.ctrl.request("BLACKLIST 02:00:00:00:bb:02") == "OK\n"
    assert radio.ctrl.request("BLACKLIST clear") == "OK\n"
    assert radio.ctrl.request("BLACKLIST") == ""
    assert radio.ctrl.request("BLACKLIST 02:00:00:00:bb") == "FAIL\n"

    # Every join succeeded, so nothing was disabled for a while.
    events = radio.events(first)
    assert not any("CTRL-EVENT-SSID-TEMP-DISABLED" in e for e in events), events
    assert not any("CTRL-EVENT-NETWORK-NOT-FOUND" in e for e in events), events


def reconnect(radio):
    """DISCONNECT, then RECONNECT: the AP the new search picks, once joined."""
    start = len(radio.mon.events)
    assert radio.ctrl.request("DISCONNECT") == "OK\n"
    radio.mon.wait_event_after("CTRL-EVENT-DISCONNECTED", start, 60)
    start = len(radio.mon.events)
    assert radio.ctrl.request("RECONNECT") == "OK\n"
    bssid = wait_request(radio, start)
    radio.mon.wait_event_after(CONNECTED + bssid, start, 60)
    return bssid


def test_network_words_change_what_is_picked(radio):
    add_aps(radio, APS)
    assert radio.mon.request("LEVEL 2") == "OK\n"
    c = radio.ctrl
    assert c.request("ADD_NETWORK") == "1\n"
    assert c.request('SET_NETWORK 1 ssid "other"') == "OK\n"
    assert c.request("SET_NETWORK 1 key_mgmt NONE") == "OK\n"
    assert c.request("SELECT_NETWORK 9") == "FAIL\n"

    # Selecting the new network disables the manager's one and connects from a scan.
    start = len(radio.mon.events)
    assert c.request("SELECT_NETWORK 1") == "OK\n"
    assert wait_request(radio, start) == "02:00:00:00:bb:03"
    assert c.request("LIST_NETWORKS") == (
        "network id / ssid / bssid / flags\n0\tlab\tany\t[DISABLED]\n1\tother\tany\t[CURRENT]\n")

    # Removing it leaves nothing enabled; enabling the first network picks its best AP.
    assert c.request("REMOVE_NETWORK 1") == "OK\n"
    assert c.request("REMOVE_NETWORK 1") == "FAIL\n"
    assert c.request("LIST_NETWORKS") == "network id / ssid / bssid / flags\n0\tlab\tany\t[DISABLED]\n"
    start = len(radio.mon.events)
    assert c.request("ENABLE_NETWORK 0") == "OK\n"
    assert wait_request(radio, start) == "02:00:00:00:bb:01"

    # Disconnected by command: a scan picks nothing until RECONNECT.
    assert c.request("DISCONNECT") == "OK\n"
    start = len(radio.mon.events)
    radio.scan()
    time.sleep(1)
    assert requests(radio.events(start)) == [], radio.events(start)
    start = len(radio.mon.events)
    assert c.request("RECONNECT") == "OK\n"
    assert wait_request(radio, start) == "02:00:00:00:bb:01"

    # A network without key material for its key management is never picked.
    assert c.request("ADD_NETWORK") == "1\n"
    assert c.request('SET_NETWORK 1 ssid "other"') == "OK\n"
    assert c.request("SET_NETWORK 1 key_mgmt WPA-PSK") == "OK\n"
    assert c.request("ENABLE_NETWORK 1 no-connect") == "OK\n"
    assert c.request("DISABLE_NETWORK 0") == "OK\n"
    start = len(radio.mon.events)
    radio.scan()
    time.sleep(1)
    assert requests(radio.events(start)) == [], radio.events(start)
