"""Keeping a Wi-Fi link: qmr on the Wi-Fi product joined to an open AP of nlsim keeps the
network when the AP deauthenticates it, when the AP vanishes and when a stronger AP of the
same SSID appears. What happened is read from the monitor's event order and nlsim's
station news, never from timings."""
import pytest

from test_wifi_join import AP, CONNECTED, station  # noqa: F401 (fixture)

AP2 = "02:00:00:00:aa:02"
OPEN = " wifi = on\n wifi_mode = infra\n wifi_name = lab\n wifi_encrypt = none\n"
CONNECTED2 = CONNECTED.replace(AP, AP2)


def news(st, since=1):
    """[(number, kind, {field: value})] of nlsim's station news."""
    out = []
    for line in st.air("news", "since=%d" % since):
        n, kind, rest = (line.split(" ", 2) + [""])[:3]
        out.append((int(n), kind, dict(w.split("=", 1) for w in rest.split() if "=" in w)))
    return out


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
    st.air("ap", "add", "two", "bssid=" + AP2, "ssid=lab", "freq=2412", "signal=-4500")
    st.ctrl.request("SCAN")
    events = after(st, start, "CTRL-EVENT-CONNECTED ")
    assert events[-1] == CONNECTED2, events
    after(st, start, "CTRL-EVENT-BSS-REMOVED ")
    removed = [e for e in st.mon.events[start:] if "CTRL-EVENT-BSS-REMOVED " in e]
    assert any(e.endswith(" " + AP) for e in removed), removed
    assert st.status()["bssid"] == AP2


def test_a_stronger_ap_of_the_ssid_is_roamed_to_by_reassociation(station):
    st = joined(station)
    mark = news(st)[-1][0] + 1
    start = len(st.mon.events)
    st.air("ap", "add", "two", "bssid=" + AP2, "ssid=lab", "freq=2412", "signal=-2500")
    st.ctrl.request("SCAN")
    events = after(st, start, "CTRL-EVENT-CONNECTED ")
    assert events[-1] == CONNECTED2, events
    got = news(st, mark)
    reassoc = [f for n, k, f in got if k == "reassoc" and f.get("ap") == "two"]
    assert reassoc and reassoc[0]["current"] == AP, got
    assert st.status()["bssid"] == AP2
