"""ap_scan 2 end to end: the driver chooses the BSS. qmr on the Wi-Fi product with an
nlsim radio that does its own station management (connect, no authenticate or
associate): the supplicant asks it to connect to a network by SSID alone, without a
scan, and reads the BSSID and SSID it joined back from it. A roam the driver makes on
its own to another SSID selects the configured network of that SSID; an SSID that no
network has is left."""
import pytest

from test_wifi_scan import Radio, add_aps

CONNECT_ONLY = ("commands new-interface set-interface new-key register-frame frame connect disconnect "
                "set-tx-bitrate-mask\n")
APS = [
    ("lab", "02:00:00:00:ee:01", "lab", 2437, -4000, "", ""),
    ("lab2", "02:00:00:00:ee:02", "lab2", 2462, -4000, "", ""),
    ("other", "02:00:00:00:ee:03", "other", 2412, -4000, "", ""),
]


@pytest.fixture
def radio(net):
    r = Radio(net, CONNECT_ONLY)
    yield r
    r.close()


def status(radio):
    return dict(l.split("=", 1) for l in radio.ctrl.request("STATUS").splitlines() if "=" in l)


def roam(radio, ap):
    """The driver reports a roam it made on its own to the AP (its SSID in the request
    elements); the monitor's events from then on."""
    name, bssid, ssid = ap[:3]
    start = len(radio.mon.events)
    req_ie = "00%02x%s" % (len(ssid), ssid.encode().hex())
    radio.air("event", "mlme", "ROAM", "MAC=" + bssid, "REQ_IE=" + req_ie)
    return start


def test_the_driver_picks_the_bss_and_the_station_reads_it_back(radio):
    add_aps(radio, APS)
    assert radio.mon.request("LEVEL 2") == "OK\n"
    lab2 = radio.ctrl.request("ADD_NETWORK").strip()
    for field, value in (("ssid", '"lab2"'), ("key_mgmt", "NONE")):
        assert radio.ctrl.request("SET_NETWORK %s %s %s" % (lab2, field, value)) == "OK\n"
    assert radio.ctrl.request("AP_SCAN 2") == "OK\n"
    triggers = len([l for l in radio.air("scans") if l.split()[1] == "trigger"])

    # The networks are tried in configuration order, network 0 first, by its SSID alone;
    # nlsim picks the AP, and the BSSID in CONNECTED is the one read back from the driver.
    start = len(radio.mon.events)
    assert radio.ctrl.request("ENABLE_NETWORK %s" % lab2) == "OK\n"
    assert radio.ctrl.request("REASSOCIATE") == "OK\n"
    radio.mon.wait_event_after("<3>CTRL-EVENT-CONNECTED - Connection to %s completed [id=0 " % APS[0][1],
                               start, 90)
    events = radio.events(start)
    assert "<3>Trying to associate with SSID 'lab'" in events, events
    s = status(radio)
    assert s["wpa_state"] == "COMPLETED" and s["bssid"] == APS[0][1] and s["ssid"] == "lab", s
    # Nothing was scanned for it.
    assert len([l for l in radio.air("scans") if l.split()[1] == "trigger"]) == triggers, radio.air("scans")
    assert not any("CTRL-EVENT-SCAN-STARTED" in e for e in events), events

    # The driver moves to another SSID: the network of that SSID becomes current.
    start = roam(radio, APS[1])
    radio.mon.wait_event_after("<3>CTRL-EVENT-CONNECTED - Connection to %s completed [id=%s " % (APS[1][1], lab2),
                               start, 60)
    events = radio.events(start)
    assert "<2>Driver-initiated BSS selection changed the SSID to lab2" in events, events
    s = status(radio)
    assert s["bssid"] == APS[1][1] and s["ssid"] == "lab2" and s["id"] == lab2, s

    # An SSID that no network has: the station leaves rather than stay on it.
    start = roam(radio, APS[2])
    radio.mon.wait_event_after("CTRL-EVENT-DISCONNECTED bssid=%s reason=3 locally_generated=1" % APS[2][1],
                               start, 60)
    events = radio.events(start)
    assert "<3>No network configuration found for the current AP" in events, events
    assert not any("CTRL-EVENT-CONNECTED" in e for e in events), events
