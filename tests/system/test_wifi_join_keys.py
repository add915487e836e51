"""The key handshakes of a joined Wi-Fi station: qmr on the Wi-Fi product (304) joins a
protected nlsim AP whose IEEE 802.11 authenticator (wifi_auth.py) is scripted to use a
wrong passphrase, rekey, repeat its messages or send a faulty 3/4; nlsim's key trace
shows which keys the station installed."""
import subprocess
import time

import pytest

from test_wifi import wait_led
from test_wifi_join import (AP, CONNECTED, PASSPHRASE, ApDhcp, Frames, ap_netns, leased_address,  # noqa: F401
                            news, station)

wifi_auth = pytest.importorskip("wifi_auth")

PARAMS = " wifi = on\n wifi_mode = infra\n wifi_name = lab\n wifi_encrypt = %s\n wifi_psk = %s\n"


@pytest.fixture
def protected(station, ap_netns):
    """A station with the given wifi_encrypt (and further parameter lines) beside a
    started authenticator (keywords go to it) on the AP "lab"; (station, authenticator)."""
    made = []

    def make(encrypt="AES2", params="", **kw):
        st = station(PARAMS % (encrypt, PASSPHRASE) + params)
        args = dict(passphrase=PASSPHRASE, protos=("rsn",))
        args.update(kw)
        auth = wifi_auth.Authenticator(sock=st.root.file("/run/nlsim.sock"), ap="lab", bssid=AP, netns=ap_netns,
                                       tap="aptap", ssid="lab", **args)
        made.append(auth)
        st.air("ap", "add", "lab", "bssid=" + AP, "ssid=lab", "freq=2437", "netns=" + ap_netns, "tap=aptap",
               "ies=" + auth.elements().hex())
        subprocess.run(["ip", "-n", ap_netns, "link", "set", "aptap", "up"], check=True)
        auth.start()
        st.ctrl.request("SCAN")  # FAIL-BUSY while an own scan runs is fine
        return st, auth

    yield make
    for auth in made:
        auth.stop()


def key_trace(st):
    return [line.split(" ", 1)[1] for line in wifi_auth.socket_control(st.root.file("/run/nlsim.sock"))("keys")]


def new_keys(st):
    return [t for t in key_trace(st) if t.startswith("NEW_KEY")]


def connects(st):
    """The CONNECTED events so far; a PING on the monitor first takes in every event
    the station sent before it."""
    assert st.mon.request("PING") == "PONG\n"
    return [e for e in st.mon.events if e.startswith("<3>CTRL-EVENT-CONNECTED ")]


TEMP_DISABLED = ('<3>CTRL-EVENT-SSID-TEMP-DISABLED id=0 ssid="lab" auth_failures=%d duration=%d '
                 'reason=WRONG_KEY')
BROADCAST = "ff:ff:ff:ff:ff:ff"
REENABLED = '<3>CTRL-EVENT-SSID-REENABLED id=0 ssid="lab"'


def test_wrong_passphrase_backs_off_twice_until_selected_then_the_right_key_connects(protected):
    st, auth = protected(passphrase="not the passphrase", retries=3, timeout=0.5)
    st.mon.wait_event_after("reason=15", 0, 120)
    first = st.mon.events.index(st.mon.wait_event_after(TEMP_DISABLED % (1, 10), 0, 30))
    assert auth.found("msg2") and not any(f["mic"] for f in auth.found("msg2")), auth.results
    assert not new_keys(st)
    # While the network is disabled the station neither authenticates nor associates:
    # nlsim's news is read before a PING on the monitor, so a (re)association in it
    # must follow a re-enabling line the monitor already holds.
    mark = news(st)[-1][0] + 1
    end = time.monotonic() + 120
    while REENABLED not in st.mon.events[first:]:
        assert time.monotonic() < end, st.mon.events[first:]
        joins = [f for n, kind, f in news(st, mark) if kind in ("assoc", "reassoc")]
        assert st.mon.request("PING") == "PONG\n"
        assert not joins or REENABLED in st.mon.events[first:], (joins, st.mon.events[first:])
        time.sleep(0.2)
    # The next attempt fails the same way and doubles the disable.
    second = st.mon.events.index(st.mon.wait_event_after(TEMP_DISABLED % (2, 20), first + 1, 120))
    between = st.mon.events[first + 1:second]
    tries = [i for i, e in enumerate(between) if "Trying to authenticate" in e]
    assert tries and tries[0] > between.index(REENABLED), between
    # Each attempt was a fresh association. nlsim's news may trail the monitor's events,
    # and a loaded test may read its mark late: count the associations of the whole run.
    st.daemon.wait_for(lambda: sum(1 for n, kind, f in news(st) if kind == "assoc") >= 2, 60,
                       "the second attempt's association in nlsim's news")
    assert not [f for n, kind, f in news(st) if kind == "reassoc"], news(st)
    assert not new_keys(st)
    # The AP takes the station's passphrase; SELECT_NETWORK ends the disable at once.
    auth.pmk = wifi_auth.psk(PASSPHRASE, "lab")
    start = len(st.mon.events)
    assert st.ctrl.request("SELECT_NETWORK 0") == "OK\n"
    st.mon.wait_event_after("CTRL-EVENT-CONNECTED ", start, 120)
    assert connects(st)[-1] == CONNECTED
    auth.wait("4way-done")
    keys = auth.station_keys()
    assert any("pairwise=1" in t and "hash=" + keys["ptk"] in t for t in new_keys(st)), key_trace(st)


@pytest.mark.parametrize("encrypt,protos,pairwise,group,done", [
    ("AES2", ("rsn",), ("ccmp",), "ccmp", "4way-done"),
    ("AESTKIP2", ("rsn",), ("ccmp", "tkip"), "tkip", "4way-done"),
    ("TKIP", ("wpa",), ("tkip",), "tkip", "group-done"),
])
def test_rekey_and_repeated_messages_keep_the_link_and_install_only_new_keys(protected, net, ap_netns, encrypt,
                                                                             protos, pairwise, group, done):
    st, auth = protected(encrypt, protos=protos, pairwise=pairwise, group=group)
    st.mon.wait_event_after("CTRL-EVENT-CONNECTED ", 0, 120)
    auth.wait(done)
    # Data crosses nlsim only with equal keys: unicast both ways under the pairwise key,
    # the AP's broadcasts under the group key at its index (1 now).
    sta = st.status()["address"]
    frames = Frames(ap_netns, "aptap", net.device)
    try:
        assert frames.crosses(True, sta, AP) and frames.crosses(False, AP, sta), key_trace(st)
        assert frames.crosses(True, BROADCAST, AP), key_trace(st)
        # A rekey to index 2: the new group key is installed, no second connection, and
        # the AP's broadcasts under it arrive.
        mark = auth.mark() + 1
        auth.rekey(2)
        assert auth.wait("group-done", since=mark)["index"] == 2
        gtk = auth.station_keys()["gtk"]
        assert any("pairwise=0" in t and "idx=2" in t and "hash=" + gtk in t for t in new_keys(st)), key_trace(st)
        assert frames.crosses(True, BROADCAST, AP), key_trace(st)
        assert connects(st) == [CONNECTED]
        # Repeated 3/4 and repeated group 1/2: both answered, nothing installed again.
        before = len(new_keys(st))
        mark = auth.mark() + 1
        auth.msg3_again()
        assert auth.wait("msg4", since=mark)["mic"]
        mark = auth.mark() + 1
        auth.group_again()
        assert auth.wait("group2", since=mark)["mic"]
        auth.wait("group-done", since=mark)
        assert len(new_keys(st)) == before, key_trace(st)
        assert connects(st) == [CONNECTED]
        assert not auth.found("replay-mismatch") and not auth.found("timeout"), auth.results
        assert frames.crosses(True, BROADCAST, AP) and frames.crosses(True, sta, AP), key_trace(st)
    finally:
        frames.close()


def test_msg3_element_unlike_the_beacon_makes_the_station_leave_with_reason_17(protected):
    other = wifi_auth.rsn_element(("ccmp", "tkip"), "ccmp")
    st, auth = protected(msg3_ie=other)
    down = auth.wait("link-down", timeout=120)
    assert down["by"] == "sta" and down["reason"] == 17, auth.results
    assert not auth.found("msg4"), auth.results
    assert not [t for t in new_keys(st) if "pairwise=1" in t], key_trace(st)


def test_key_index_1_in_msg3_gets_no_msg4(protected):
    st, auth = protected(msg3_key_index=1, retries=3, timeout=0.5)
    assert auth.wait("timeout", timeout=120)["state"] == "msg3", auth.results
    assert not auth.found("msg4"), auth.results
    assert not [t for t in new_keys(st) if "pairwise=1" in t], key_trace(st)


@pytest.mark.parametrize("encrypt,protos,pairwise,group,done", [
    ("AES2", ("rsn",), ("ccmp",), "ccmp", "4way-done"),
    ("TKIP", ("wpa",), ("tkip",), "tkip", "group-done"),
    ("AESTKIP2", ("wpa", "rsn"), ("ccmp", "tkip"), "tkip", "4way-done"),
    ("Auto", ("wpa",), ("tkip",), "tkip", "group-done"),
])
def test_manager_encryption_joins_its_kind_of_ap_and_the_product_road_follows(protected, ap_netns, tmp_path, encrypt,
                                                                               protos, pairwise, group, done):
    """Each join installs the derived keys; then the manager's DHCP client leases wlan0 an
    address from dnsmasq behind the AP, the AP side pings it and reads "/info/wlan" from
    it, and the Wi-Fi LED is on."""
    st, auth = protected(encrypt, params=" ip_dhcp = on\n", protos=protos, pairwise=pairwise, group=group)
    server = ApDhcp(ap_netns, "aptap", str(tmp_path))
    try:
        st.mon.wait_event_after("CTRL-EVENT-CONNECTED ", 0, 120)
        auth.wait(done)
        keys = auth.station_keys()
        assert any("pairwise=1" in t and "hash=" + keys["ptk"] in t and "err=0" in t for t in new_keys(st)), \
            key_trace(st)
        assert any("pairwise=0" in t and "hash=" + keys["gtk"] in t for t in new_keys(st)), key_trace(st)
        st.daemon.wait_for(lambda: leased_address(st.root), timeout=120, what="a lease from the AP side")
        addr = leased_address(st.root)
        st.daemon.wait_for(lambda: server.count("DHCPACK") >= 1, timeout=30, what="dnsmasq's log of the lease")
        in_ap = ["ip", "netns", "exec", ap_netns]
        st.daemon.wait_for(lambda: subprocess.run(in_ap + ["ping", "-c", "1", "-W", "2", addr],
                                                  capture_output=True).returncode == 0,
                           timeout=60, what="an answer to a ping from the AP side")
        wait_led(st.daemon, "on")
        page = subprocess.run(in_ap + ["curl", "-s", "--max-time", "30", "http://%s/info/wlan" % addr],
                              capture_output=True, text=True, timeout=60).stdout
        assert "wpa_state=COMPLETED" in page and "bssid=" + AP in page, page[:3000]
        assert connects(st) == [CONNECTED]
    finally:
        server.stop()
