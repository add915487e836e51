"""Keeping a Wi-Fi link: qmr on the Wi-Fi product joined to an open AP of nlsim keeps the
network when the AP deauthenticates it, when the AP vanishes and when a stronger AP of the
same SSID appears. What happened is read from the monitor's event order and nlsim's
station news, never from timings."""
import subprocess

import pytest

from test_wifi import wait_led
from test_wifi_join import (AP, CONNECTED, PASSPHRASE, ApDhcp, ap_netns, leased_address,  # noqa: F401 (fixtures)
                            news, station)

AP2 = "02:00:00:00:aa:02"
OPEN = " wifi = on\n wifi_mode = infra\n wifi_name = lab\n wifi_encrypt = none\n"
CONNECTED2 = CONNECTED.replace(AP, AP2)


def joined(station, signal=-4500):
    st = station(OPEN)
    st.air("ap", "add", "lab", "bssid=" + AP, "ssid=lab", "freq=2437", "signal=%d" % signal)
    events = st.join()
    assert [e for e in events if e.startswith("<3>CTRL-EVENT-CONNECTED ")] == [CONNECTED], events
    return st


def after(st, start, text, timeout=120):
    """The events from index start up to and including the first holding text."""
    hit = st.mon.wait_event_after(text, start, timeout)
    events = st.mon.events[start:]
    return events[:events.index(hit) + 1]


@pytest.mark.parametrize("reason, scans", [(4, False), (3, True)])
def test_ap_deauthentication_is_followed_by_a_rejoin(station, reason, scans):
    """Reason 4 (inactivity): the same BSS is joined again without a scan first;
    reason 3 (the AP leaves): the station scans before it joins again."""
    st = joined(station)
    start = len(st.mon.events)
    st.air("ap", "deauth", "lab", "reason=%d" % reason)
    events = after(st, start, "CTRL-EVENT-CONNECTED ")
    assert any(e.startswith("<3>CTRL-EVENT-DISCONNECTED bssid=%s reason=%d" % (AP, reason))
               and "locally_generated" not in e for e in events), events
    assert events[-1] == CONNECTED, events
    assert any("CTRL-EVENT-SCAN-STARTED" in e for e in events) == scans, events


def test_a_vanished_ap_is_removed_and_another_of_the_ssid_takes_over(station):
    st = joined(station)
    start = len(st.mon.events)
    st.air("ap", "del", "lab")
    after(st, start, "<3>CTRL-EVENT-DISCONNECTED bssid=%s reason=4 locally_generated=1" % AP)
    wait_led(st.daemon, "off")  # no AP of the SSID is left until the second one comes
    st.air("ap", "add", "two", "bssid=" + AP2, "ssid=lab", "freq=2412", "signal=-4500")
    st.ctrl.request("SCAN")
    events = after(st, start, "CTRL-EVENT-CONNECTED ")
    assert events[-1] == CONNECTED2, events
    after(st, start, "CTRL-EVENT-BSS-REMOVED ")
    removed = [e for e in st.mon.events[start:] if "CTRL-EVENT-BSS-REMOVED " in e]
    assert any(e.endswith(" " + AP) for e in removed), removed
    assert st.status()["bssid"] == AP2
    wait_led(st.daemon, "on")


def test_a_stronger_ap_of_the_ssid_is_roamed_to_by_reassociation_and_dhcp_starts_over(station, ap_netns, tmp_path):
    """Both APs bridge into one LAN with dnsmasq on it; after the roam the DHCP client
    discovers again and takes a lease, through the second AP."""
    in_ns = ["ip", "-n", ap_netns]
    subprocess.run(in_ns + ["link", "add", "br0", "type", "bridge"], check=True)
    server = ApDhcp(ap_netns, "br0", str(tmp_path))

    def add_ap(name, bssid, freq, signal):
        st.air("ap", "add", name, "bssid=" + bssid, "ssid=lab", "freq=%d" % freq, "signal=%d" % signal,
               "netns=" + ap_netns, "tap=" + name)
        subprocess.run(in_ns + ["link", "set", name, "master", "br0", "up"], check=True)

    try:
        st = station(OPEN + " ip_dhcp = on\n")
        add_ap("lab", AP, 2437, -4500)
        events = st.join()
        assert [e for e in events if e.startswith("<3>CTRL-EVENT-CONNECTED ")] == [CONNECTED], events
        st.daemon.wait_for(lambda: leased_address(st.root), timeout=120, what="a lease through the first AP")
        st.daemon.wait_for(lambda: server.count("DHCPACK") >= 1, timeout=30, what="dnsmasq's log of the lease")
        discovers, acks = server.count("DHCPDISCOVER"), server.count("DHCPACK")
        mark = news(st)[-1][0] + 1
        start = len(st.mon.events)
        add_ap("two", AP2, 2412, -2500)
        st.ctrl.request("SCAN")
        events = after(st, start, "CTRL-EVENT-CONNECTED ")
        assert events[-1] == CONNECTED2, events
        got = news(st, mark)
        reassoc = [f for n, k, f in got if k == "reassoc" and f.get("ap") == "two"]
        assert reassoc and reassoc[0]["current"] == AP, got
        assert st.status()["bssid"] == AP2
        st.daemon.wait_for(lambda: server.count("DHCPDISCOVER") > discovers, timeout=60,
                           what="a DHCP DISCOVER after the roam")
        st.daemon.wait_for(lambda: server.count("DHCPACK") > acks, timeout=60, what="the lease after the roam")
    finally:
        server.stop()


def test_two_michael_mic_failures_start_tkip_countermeasures(station, ap_netns):
    """Each failure is reported to the AP by a key request with the error bit; the second
    one deauthenticates with reason 14 and no authentication follows before the
    countermeasures stop."""
    wifi_auth = pytest.importorskip("wifi_auth")
    st = station(OPEN.replace("none", "TKIP") + " wifi_psk = %s\n" % PASSPHRASE)
    sock = st.root.file("/run/nlsim.sock")
    auth = wifi_auth.Authenticator(sock=sock, ap="lab", bssid=AP, netns=ap_netns, tap="aptap", ssid="lab",
                                   passphrase=PASSPHRASE, protos=("wpa",), pairwise=("tkip",), group="tkip")
    st.air("ap", "add", "lab", "bssid=" + AP, "ssid=lab", "freq=2437", "netns=" + ap_netns, "tap=aptap",
           "ies=" + auth.elements().hex(), "capa=%d" % 0x0411)  # nlsim sets privacy for RSN elements only
    subprocess.run(["ip", "-n", ap_netns, "link", "set", "aptap", "up"], check=True)
    auth.start()
    try:
        events = st.join()
        assert [e for e in events if e.startswith("<3>CTRL-EVENT-CONNECTED ")] == [CONNECTED], events
        auth.wait("4way-done", pred=lambda f: f["cipher"] == "tkip")
        wait_led(st.daemon, "on")
        start = len(st.mon.events)
        requests = []
        for _ in range(2):
            since = auth.mark() + 1
            st.air("ap", "michael", "lab")
            requests.append(auth.wait("key-request", since=since))
        assert [(r["error"], r["pairwise"], r["mic"]) for r in requests] == [(True, True, True)] * 2, requests
        assert [r["replay"] for r in requests] == [0, 1], requests
        after(st, start, "<3>CTRL-EVENT-DISCONNECTED bssid=%s reason=14" % AP)
        wait_led(st.daemon, "off")  # the countermeasures last 60 s
        events = after(st, start, "<3>WPA: TKIP countermeasures stopped", timeout=180)
        assert not any("Trying to authenticate" in e for e in events), events
        rejoin = after(st, start, "CTRL-EVENT-CONNECTED ", timeout=180)[len(events):]
        assert rejoin[-1] == CONNECTED and any("Trying to authenticate" in e for e in rejoin), rejoin
        wait_led(st.daemon, "on")
    finally:
        auth.stop()
