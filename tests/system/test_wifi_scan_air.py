"""Scanning against nlsim's air, seen from both ends: qmr on the Wi-Fi product with a
monitor on wlan0, and nlsim's trace of every scan request the back end sent. Radio
works queue behind each other and behind another process's scan; an absent network
is searched for by normal scans, then by a scheduled scan that finds it when it
appears; PNO, random addresses, the band, the BSSID filter and probe-request elements
reach the radio; and SCAN_RESULTS and BSS describe a table of unusual APs."""
import os
import socket
import struct
import time

import pytest

from nlclient import ATTR, CMD, Genl, u32
from test_wifi_scan import Radio, add_aps, added

RANDOM_SCANS = (1 << 29) | (1 << 30)  # NL80211_FEATURE_SCAN_RANDOM_MAC_ADDR, _SCHED_SCAN_RANDOM_MAC_ADDR
SCHED_SCAN = "sched-scan 4 4 2 3600 10\n"
LAB = ("lab", "02:00:00:00:aa:01", "lab", 2437, -5000, "", "")


@pytest.fixture
def make_radio(net):
    radios = []

    def make(extra="", settle=True):
        r = Radio(net, extra, settle)
        radios.append(r)
        return r

    yield make
    for r in radios:
        r.close()


def trace(r, kind=None):
    """nlsim's scan trace as dicts: seq, kind, iface and each key=value word."""
    out = []
    for line in r.air("scans"):
        words = line.split()
        d = {"seq": int(words[0]), "kind": words[1], "iface": words[2]}
        d.update(w.split("=", 1) for w in words[3:] if "=" in w)
        if kind is None or d["kind"] == kind:
            out.append(d)
    return out


def last_trigger(r):
    return trace(r, "trigger")[-1]


def event_index(r, text, start=0, timeout=60):
    """The index in the monitor's events of the first event from start on holding text."""
    ev = r.mon.wait_event_after(text, start, timeout)
    return r.mon.events.index(ev, start)


def nlsim_port(r):
    return int(next(l for l in r.air("state") if l.startswith("port ")).split()[1])


def test_radio_works_queue_our_scan_behind_them_and_wait_for_another_programs_scan(make_radio, net):
    r = make_radio()
    add_aps(r, [LAB])
    start = len(r.mon.events)
    first = r.ctrl.request("RADIO_WORK add one freq=2437")
    assert first.isdigit(), first
    event_index(r, "<3>EXT-RADIO-WORK-START %s" % first, start)
    show = r.ctrl.request("RADIO_WORK show").splitlines()
    assert len(show) == 1 and show[0].startswith("ext:one@wlan0:2437:1:"), show
    # A scan queues behind the running work; a second one is busy meanwhile.
    assert r.ctrl.request("SCAN") == "OK\n"
    for _ in range(300):
        show = r.ctrl.request("RADIO_WORK show").splitlines()
        if len(show) == 2:
            break
        time.sleep(0.1)
    assert show[1].startswith("scan@wlan0:0:0:"), show
    assert r.ctrl.request("SCAN") == "FAIL-BUSY\n"
    assert r.ctrl.request("RADIO_WORK done %s" % first) == "OK\n"
    assert r.ctrl.request("RADIO_WORK done %s" % first) == "FAIL\n"
    assert r.ctrl.request("RADIO_WORK done 99999") == "FAIL\n"
    r.mon.wait_event_after("CTRL-EVENT-SCAN-RESULTS ", start, 60)
    assert not any("EXT-RADIO-WORK-TIMEOUT" in e for e in r.events(start)), r.events(start)

    # A work nobody ends times out after 10 s.
    start = len(r.mon.events)
    second = r.ctrl.request("RADIO_WORK add two")
    event_index(r, "<3>EXT-RADIO-WORK-START %s" % second, start)
    event_index(r, "<3>EXT-RADIO-WORK-TIMEOUT %s" % second, start)
    assert r.ctrl.request("RADIO_WORK show") == ""
    assert r.ctrl.request("RADIO_WORK add") == "FAIL\n"

    # Another program's scan: the supplicant hears it start, takes its results into the
    # table, and starts our work only after them.
    r.air("ap", "add", "late", "bssid=02:00:00:00:aa:09", "ssid=late", "freq=2412")
    r.air("set", "phy0", "scan-ms=3000")
    other = Genl(net.device, nlsim_port(r)).resolve()
    try:
        ifindex = int(net.run_device("cat", "/sys/class/net/wlan0/ifindex").stdout)
        start = len(r.mon.events)
        assert other.request(CMD["TRIGGER_SCAN"], u32(ATTR["IFINDEX"], ifindex))[0] == 0
        r.mon.wait_event_after("<3>CTRL-EVENT-SCAN-STARTED ", start, 30)
        third = r.ctrl.request("RADIO_WORK add three")
        assert third.isdigit(), third
        began = event_index(r, "<3>EXT-RADIO-WORK-START %s" % third, start)
        results = event_index(r, "<3>CTRL-EVENT-SCAN-RESULTS ", start)
        assert results < began, r.events(start)
        assert "02:00:00:00:aa:09" in [b for _, b in added(r.events(start))], r.events(start)
        assert last_trigger(r)["port"] == str(other.port)
        assert r.ctrl.request("RADIO_WORK done %s" % third) == "OK\n"
    finally:
        other.close()


def test_an_absent_network_is_reported_after_each_scan(make_radio):
    r = make_radio(settle=False)
    assert r.ctrl.request("SCAN_INTERVAL 1") == "OK\n"
    start = len(r.mon.events)
    for _ in range(3):
        results = event_index(r, "<3>CTRL-EVENT-SCAN-RESULTS ", start)
        start = event_index(r, "<3>CTRL-EVENT-NETWORK-NOT-FOUND ", results) + 1
    # A radio that cannot scan on its own schedule keeps scanning by itself.
    assert trace(r, "sched-start") == []


def test_an_absent_network_is_searched_by_scans_then_a_scheduled_scan_that_finds_it(make_radio):
    r = make_radio(SCHED_SCAN, settle=False)
    # Three normal scans, each ending without the network; after the third the radio
    # scans on its own schedule, for the network's SSID.
    r.daemon.wait_for(lambda: trace(r, "sched-start"), timeout=90, what="a scheduled scan")
    kinds = [t["kind"] for t in trace(r) if t["kind"] in ("trigger", "sched-start")]
    assert kinds == ["trigger"] * 3 + ["sched-start"], kinds
    sched = trace(r, "sched-start")[-1]
    assert sched["ssids"] == b"lab".hex() and sched["match"] == b"lab".hex(), sched

    # The AP comes: a cycle of the scheduled scan brings it into the table.
    seen = len(r.mon.events)
    add_aps(r, [LAB])
    r.mon.wait_event_after("<3>CTRL-EVENT-BSS-ADDED ", seen, 60)
    assert [b for _, b in added(r.events(seen))] == [LAB[1]], r.events(seen)
    assert any(t["matched"] == "1" for t in trace(r, "sched-cycle"))


def test_pno_and_random_addresses_reach_the_radio(make_radio):
    r = make_radio(SCHED_SCAN + "features %d\n" % RANDOM_SCANS)
    cases = [
        "MAC_RAND_SCAN enable=1",
        "MAC_RAND_SCAN scan",
        "MAC_RAND_SCAN scan enable=2",
        "MAC_RAND_SCAN scan enable=1 addr=02:11:22:00:00:00",
        "MAC_RAND_SCAN scan enable=1 addr=03:11:22:00:00:00 mask=ff:ff:ff:00:00:00",
        "MAC_RAND_SCAN scan enable=1 addr=02:11:22:00:00:00 mask=fe:ff:ff:00:00:00",
        "MAC_RAND_SCAN scan enable=1 colour=blue",
    ]
    for c in cases:
        assert r.ctrl.request(c) == "FAIL\n", c
    assert r.ctrl.request("MAC_RAND_SCAN scan pno enable=1 addr=02:11:22:00:00:00 mask=ff:ff:ff:00:00:00") == "OK\n"
    r.scan()
    t = last_trigger(r)
    assert "random-addr" in t["flags"].split(",") and t["mac"] == "02:11:22:00:00:00", t
    assert t["mask"] == "ff:ff:ff:00:00:00", t

    # PNO (a scheduled scan the supplicant's own search may have started before is
    # stopped first).
    mark = trace(r)[-1]["seq"]
    assert r.ctrl.request("SET pno 1") == "OK\n"
    newer = lambda kind: [t for t in trace(r, kind) if t["seq"] > mark]  # noqa: E731
    r.daemon.wait_for(lambda: newer("sched-start"), timeout=30, what="PNO on the radio")
    pno = newer("sched-start")[-1]
    assert pno.get("mac") == "02:11:22:00:00:00" and "random-addr" in pno["flags"], pno
    assert pno["match"] == b"lab".hex() and pno["plans"] == "10", pno
    mark = pno["seq"]
    assert r.ctrl.request("SET pno 0") == "OK\n"
    r.daemon.wait_for(lambda: newer("sched-stop"), timeout=30, what="PNO stopped")

    # Off again: the next scan asks for no random address.
    assert r.ctrl.request("MAC_RAND_SCAN all enable=0") == "OK\n"
    r.scan()
    assert "random-addr" not in last_trigger(r)["flags"].split(",")


def test_a_radio_without_them_refuses_pno_and_random_addresses(make_radio):
    r = make_radio()
    assert r.ctrl.request("MAC_RAND_SCAN scan enable=1") == "FAIL\n"
    assert r.ctrl.request("SET pno 1") == "FAIL\n"


def test_scan_parameters_and_settings_reach_the_radio(make_radio):
    r = make_radio()
    add_aps(r, [LAB, ("five", "02:00:00:00:aa:05", "five", 5180, -5000, "", "")])
    # Manual scan words. Without a network to probe for, a passive scan sends no SSID.
    assert r.ctrl.request("DISABLE_NETWORK all") == "OK\n"
    for cmd, want in (("SCAN passive=1", {"ssids": ""}), ("SCAN freq=2412-2437", {"freqs": ",".join(
            str(2412 + 5 * k) for k in range(6))}), ("SCAN only_new=1", {"flush": True}),
            ("SCAN ssid " + b"five".hex(), {"ssid": b"five".hex()})):
        start = len(r.mon.events)
        assert r.ctrl.request(cmd) == "OK\n", cmd
        r.mon.wait_event_after("CTRL-EVENT-SCAN-RESULTS ", start, 60)
        t = last_trigger(r)
        if "ssids" in want:
            assert t["ssids"] == "" and "passive" in t["flags"].split(","), (cmd, t)
        if "freqs" in want:
            assert t["freqs"] == want["freqs"], (cmd, t)
        if "flush" in want:
            assert "flush" in t["flags"].split(","), (cmd, t)
        if "ssid" in want:
            assert want["ssid"] in t["ssids"].split(","), (cmd, t)
    # A flush of everything marks the next scan as asking only for new results.
    assert r.ctrl.request("BSS_FLUSH 0") == "OK\n"
    r.scan()
    assert "flush" in last_trigger(r)["flags"].split(",")
    r.scan()
    assert "flush" not in last_trigger(r)["flags"].split(",")

    # The SET table: good values take, bad ones FAIL and change nothing.
    bad = ["SET uapsd 1,0,1", "SET setband 6G", "SET bssid_filter 02:00:00:00:aa", "SET pno x",
           "SET no_such_key 1", "SET uapsd", "VENDOR_ELEM_ADD 15 dd0411223344", "VENDOR_ELEM_ADD 14 dd041122334",
           "VENDOR_ELEM_ADD 14 dd0511223344"]
    for cmd in bad:
        assert r.ctrl.request(cmd) == "FAIL\n", cmd
    for cmd in ("SET uapsd 1,0,1,0", "SET uapsd disable", "SET setband 5G",
                "VENDOR_ELEM_ADD 14 dd0411223344"):
        assert r.ctrl.request(cmd) == "OK\n", cmd
    assert r.ctrl.request("VENDOR_ELEM_GET 14") == "dd0411223344"
    r.scan()
    t = last_trigger(r)
    freqs = [int(f) for f in t["freqs"].split(",")]
    assert freqs and all(f > 5000 for f in freqs), t
    assert t["ie"].endswith("dd0411223344"), t
    assert r.ctrl.request("SET setband AUTO") == "OK\n"
    assert r.ctrl.request("VENDOR_ELEM_REMOVE 14 *") == "OK\n"
    r.scan()
    t = last_trigger(r)
    assert t["freqs"] == "all" and "dd0411223344" not in t["ie"], t

    # The BSSID filter: the table keeps only the APs it names.
    assert r.ctrl.request("BSS_FLUSH 0") == "OK\n"
    assert r.ctrl.request("SET bssid_filter 02:00:00:00:aa:05") == "OK\n"
    r.scan()
    rows = r.ctrl.request("SCAN_RESULTS").splitlines()[1:]
    assert [l.split("\t")[0] for l in rows] == ["02:00:00:00:aa:05"], rows
    assert r.ctrl.request("BSS 02:00:00:00:aa:01") == ""


WEP = ("wep", "02:00:00:00:ab:01", "wep-lab", 2412, -5000, "", "capa=0x0011")
WPA = ("wpa", "02:00:00:00:ab:02", "wpa-lab", 2417, -5100, "dd160050f20101000050f20201000050f20201000050f202", "")
# RSN with pre-authentication, and an RSN element too short to parse.
PREAUTH = ("preauth", "02:00:00:00:ab:03", "preauth-lab", 2422, -5200,
           "30140100000fac040100000fac040100000fac010100", "")
BAD_RSN = ("badrsn", "02:00:00:00:ab:04", "bad-rsn", 2427, -5300, "30030100ff", "")
IBSS = ("ibss", "02:00:00:00:ab:05", "ibss-lab", 2432, -5400, "", "capa=0x0002")
P2P = ("p2p", "02:00:00:00:ab:06", "DIRECT-xy", 2437, -5500, "dd04506f9a09", "")
HUGE = ("huge", "02:00:00:00:ab:07", "huge", 2442, -5600, "dd" + "ff" + "00" * 255 + ("dd" + "ff" + "11" * 255) * 7,
        "")

TABLE = [
    # AP, SCAN_RESULTS flags
    (WEP, "[WEP][ESS]"),
    (WPA, "[WPA-PSK-TKIP][ESS]"),
    (PREAUTH, "[WPA2-EAP-CCMP-preauth][ESS]"),
    (BAD_RSN, "[WPA2-?][ESS]"),
    (IBSS, "[IBSS]"),
    (P2P, "[ESS][P2P]"),
    (HUGE, "[ESS]"),
]


def nlsim_line(r, line):
    """One line straight to nlsim's control socket (sim.sock takes shorter lines)."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(20)
        s.connect(r.root.file("/run/nlsim.sock"))
        s.sendall(line.encode() + b"\n")
        data = b""
        while not data.endswith(b"\n"):
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    assert data == b"OK\n", data


def test_scan_results_and_bss_describe_a_table_of_unusual_aps(make_radio):
    r = make_radio("noise -91 1-13\n")
    r.bad_elements = True  # the bad RSN element, which tshark flags in the dump
    add_aps(r, [ap for ap, _ in TABLE if ap is not HUGE])
    name, bssid, ssid, freq, signal, ies, _ = HUGE
    nlsim_line(r, "ap add %s bssid=%s ssid=%s freq=%d signal=%d ies=%s" % (name, bssid, ssid, freq, signal, ies))
    ids = dict((b, i) for i, b in added(r.scan()))
    rows = {l.split("\t")[0]: l.split("\t") for l in r.ctrl.request("SCAN_RESULTS").splitlines()[1:]}
    for (name, bssid, ssid, freq, signal, ies, more), flags in TABLE:
        assert rows[bssid] == [bssid, str(freq), str(signal // 100), flags, ssid], (name, rows.get(bssid))
        reply = r.ctrl.request("BSS " + bssid)
        if name == "huge":
            # An entry that does not fit the reply is left out whole, never cut.
            assert reply == "", reply[:80]
            continue
        fields = dict(l.split("=", 1) for l in reply.splitlines())
        assert fields["id"] == str(ids[bssid]) and fields["flags"] == flags, (name, reply)
        assert fields["noise"] == "-91" and fields["snr"] == str(signal // 100 + 91), (name, reply)
        if more:
            assert fields["capabilities"] == "0x%04x" % int(more.split("=")[1], 16), (name, reply)
        assert fields["ie"].startswith("00%02x" % len(ssid) + ssid.encode().hex()), (name, reply)
    # The SSIDs of the whole table, each entry delimited, the last with the end mark; the
    # huge entry's SSID line fits.
    listing = r.ctrl.request("BSS RANGE=ALL MASK=0x21000")
    order = sorted(ids.values())
    by_id = {i: b for b, i in ids.items()}
    ssid_of = {ap[1]: ap[2] for ap, _ in TABLE}
    want = "".join("ssid=%s\n%s" % (ssid_of[by_id[i]], "####\n" if k == len(order) - 1 else "====\n")
                   for k, i in enumerate(order))
    assert listing == want, listing
    # A range that holds the huge entry with all its fields ends before it.
    full = r.ctrl.request("BSS RANGE=%d-%d" % (order[0], order[-1]))
    listed = [int(l[3:]) for l in full.splitlines() if l.startswith("id=")]
    assert listed == [i for i in order if i < ids[HUGE[1]]], full
