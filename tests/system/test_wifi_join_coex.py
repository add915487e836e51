"""20/40 MHz coexistence end to end: qmr on the Wi-Fi product with a 40 MHz capable
2.4 GHz radio in nlsim joins an AP that announces 40 MHz and asks for overlapping-BSS
scans every 10 s. The station then scans the channels around its own at that interval
(a low-priority scan) and reports to its AP, in a 20/40 BSS Coexistence Management
frame, the channels of the 2.4 GHz networks that are not 40 MHz capable or are
intolerant of it, asking for 20 MHz when one is intolerant. nlsim's station news hold
the frame's bytes as the AP heard them."""
import time

import pytest

from test_wifi_scan import Radio, add_aps
from test_wifi_join_addr import news

LOW_PRIORITY_SCAN = 1 << 6  # NL80211_FEATURE_LOW_PRIORITY_SCAN
BSSID = "02:00:00:00:dd:01"


def ht_capabilities(info):
    """An HT Capabilities element (26 bytes) with the given capability information."""
    return "2d1a" + info.to_bytes(2, "little").hex() + "00" * 24


# Passive/active dwell, trigger scan interval 10 s, per-channel totals, delay factor,
# activity threshold.
OBSS_SCAN_PARAMS = "4a0e" + "14000a000a00c800140005001900"

APS = [
    # name, BSSID, SSID, frequency, signal, elements, further settings
    ("lab", BSSID, "lab", 2412, -4000, ht_capabilities(0x0002) + OBSS_SCAN_PARAMS, ""),
    ("intolerant", "02:00:00:00:dd:02", "n1", 2417, -6000, ht_capabilities(0x4002), ""),
    ("legacy", "02:00:00:00:dd:03", "n2", 2422, -6000, "", ""),
    ("tolerant", "02:00:00:00:dd:04", "n3", 2427, -6000, ht_capabilities(0x0002), ""),
    ("far", "02:00:00:00:dd:05", "n4", 5180, -6000, "", ""),
]


@pytest.fixture
def radio(net):
    r = Radio(net, "ht-capa 2g 0002\nfeatures %d\n" % LOW_PRIORITY_SCAN)
    yield r
    r.close()


def test_coexistence_report_names_the_channels_of_narrow_and_intolerant_networks(radio):
    add_aps(radio, APS)
    start = len(radio.mon.events)
    radio.scan()
    radio.mon.wait_event_after("<3>CTRL-EVENT-CONNECTED - Connection to " + BSSID, start, 90)
    own = dict(l.split("=", 1) for l in radio.ctrl.request("STATUS").splitlines() if "=" in l)["address"]

    end = time.monotonic() + 120
    frames = []
    while not frames:
        assert time.monotonic() < end, radio.air("news")
        time.sleep(1)
        frames = [w for k, w in news(radio, 1) if k == "frame"]
    f = frames[0]
    assert f["ap"] == "lab" and f["sta"] == own and f["freq"] == "2412", f
    frame = bytes.fromhex(f["frame"])
    bssid = bytes.fromhex(BSSID.replace(":", ""))
    # An action frame from the station to its AP.
    assert frame[:2] == b"\xd0\x00", frame.hex()
    assert frame[4:10] == bssid and frame[10:16] == bytes.fromhex(own.replace(":", "")), frame.hex()
    assert frame[16:22] == bssid, frame.hex()
    body = frame[24:]
    # Public action 0; 20/40 BSS Coexistence element asking for 20 MHz; the intolerant
    # channel report (operating class 0) with channels 2 (intolerant) and 3 (no HT).
    assert body[:5] == bytes([4, 0, 72, 1, 0x04]), body.hex()
    assert body[5] == 73 and body[6] == len(body) - 7 and body[7] == 0, body.hex()
    assert sorted(body[8:]) == [2, 3], body.hex()

    # The scan behind it: low priority, over the channels within reach of channel 1 with
    # the secondary channel unknown (2382 to 2422 MHz).
    triggers = [line for line in radio.air("scans") if line.split()[1] == "trigger"]
    obss = [dict(w.split("=", 1) for w in t.split()[3:] if "=" in w) for t in triggers
            if "low-priority" in t]
    assert obss and obss[0]["freqs"] == "2412,2417,2422,2427", triggers
