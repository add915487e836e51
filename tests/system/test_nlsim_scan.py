"""nlsim's scanning beyond the one-shot trigger, driven by a Python genl client: the
trace of every scan request, the flush that keeps only a scan's own entries, scans
from any port, scheduled scans with plans and match sets within the radio's limits,
the link-quality monitor of an associated station and the survey's noise. Every test
ends with a check of the netlink capture."""
import struct

import pytest

import nl80211_uapi as uapi
from nlclient import ATTR, CMD, NLM_F_DUMP, attr, flag, mac, nest, parse_attrs, u16, u32
from test_nlsim import ifindex, nlsim, scan, scan_results, up  # noqa: F401 (the fixture)

LAB, OTHER = "02:00:00:00:aa:01", "02:00:00:00:aa:02"


def members(enum, prefix):
    """name without prefix -> value of one UAPI enum's members."""
    return {k[len(prefix):]: v for k, v in uapi.enum(enum).items() if k.startswith(prefix)}


SCAN_FLAG = members("nl80211_scan_flags", "NL80211_SCAN_FLAG_")
MATCH = members("nl80211_sched_scan_match_attr", "NL80211_SCHED_SCAN_MATCH_ATTR_")
PLAN = members("nl80211_sched_scan_plan", "NL80211_SCHED_SCAN_PLAN_")
CQM = members("nl80211_attr_cqm", "NL80211_ATTR_CQM_")
CQM_NAME = {v: k[len("NL80211_ATTR_CQM_"):] for v, k in uapi.names("nl80211_attr_cqm", "NL80211_ATTR_CQM_").items()}
WIPHY_RANDOM_SCAN = 1 << 29  # NL80211_FEATURE_SCAN_RANDOM_MAC_ADDR
SCHED_SCAN = "sched-scan 3 2 2 3600 5\n"  # SSIDs, match sets, plans, longest interval, iterations


def trace(sim, kind=None):
    """The scan trace as dicts: seq, kind, iface and each key=value word."""
    out = []
    for line in sim.ok("scans"):
        words = line.split()
        d = {"seq": int(words[0]), "kind": words[1], "iface": words[2]}
        d.update(w.split("=", 1) for w in words[3:])
        if kind is None or d["kind"] == kind:
            out.append(d)
    return out


def bssids(g, idx):
    return sorted(":".join("%02x" % b for b in r["NL80211_BSS_BSSID"]) for r in scan_results(g, idx))


def test_triggers_from_any_port_are_traced_with_their_attributes_and_a_flush_keeps_only_its_own(nlsim):
    sim = nlsim(extra="features %d\n" % WIPHY_RANDOM_SCAN)
    idx = ifindex(sim)
    ix = u32(ATTR["IFINDEX"], idx)
    ours, theirs = sim.genl(), sim.genl()
    sim.ok("ap add lab bssid=%s ssid=lab freq=2412" % LAB)
    sim.ok("ap add other bssid=%s ssid=other freq=5180" % OTHER)
    up(sim)
    ours.join("scan")
    # Another process's scan: everybody hears its start and its end, and the dump is
    # shared.
    scan(theirs, idx)
    ours.wait_event(CMD["TRIGGER_SCAN"])
    ours.wait_event(CMD["NEW_SCAN_RESULTS"])
    assert bssids(ours, idx) == [LAB, OTHER]

    flags = lambda *names: u32(ATTR["SCAN_FLAGS"], sum(SCAN_FLAG[n] for n in names))  # noqa: E731
    cases = [
        # attributes, the trace's words
        (b"", {"freqs": "all", "ssids": "", "flags": "passive", "ie": ""}),
        (nest(ATTR["SCAN_SSIDS"], attr(1, b""), attr(2, b"lab")) + nest(ATTR["SCAN_FREQUENCIES"], u32(1, 2412),
                                                                          u32(2, 5180)) +
         attr(ATTR["IE"], bytes.fromhex("dd0400112233")),
         {"freqs": "2412,5180", "ssids": "*," + b"lab".hex(), "flags": "", "ie": "dd0400112233"}),
        (flags("RANDOM_ADDR") + attr(ATTR["MAC"], mac("02:11:22:00:00:00")) +
         attr(ATTR["MAC_MASK"], mac("ff:ff:ff:00:00:00")),
         {"flags": "passive,random-addr", "mac": "02:11:22:00:00:00", "mask": "ff:ff:ff:00:00:00"}),
    ]
    sim.ok("scans clear")
    for attrs, want in cases:
        scan(ours, idx, attrs)
        got = trace(sim, "trigger")[-1]
        assert got["port"] == str(ours.port) and got["iface"] == "wlan0", got
        assert {k: got.get(k) for k in want} == want, got
    assert [t["seq"] for t in trace(sim)] == sorted(t["seq"] for t in trace(sim))

    # The other AP leaves the air: a plain scan keeps its entry in the dump (until it
    # expires), a flush scan keeps only what it heard itself.
    sim.ok("ap del other")
    scan(ours, idx)
    assert bssids(ours, idx) == [LAB, OTHER]
    scan(ours, idx, flags("FLUSH"))
    assert trace(sim, "trigger")[-1]["flags"] == "passive,flush"
    assert bssids(ours, idx) == [LAB]


def sched_attrs(ix, ssids=(), match=(), plans=None, interval=None):
    out = ix
    if ssids:
        out += nest(ATTR["SCAN_SSIDS"], *[attr(k + 1, s) for k, s in enumerate(ssids)])
    if match:
        sets = []
        for k, (ssid, rssi) in enumerate(match):
            body = (attr(MATCH["SSID"], ssid) if ssid is not None else b"") + \
                (u32(MATCH["RSSI"], rssi & 0xFFFFFFFF) if rssi is not None else b"")
            sets.append(nest(k + 1, body))
        out += nest(ATTR["SCHED_SCAN_MATCH"], *sets)
    if plans is not None:
        out += nest(ATTR["SCHED_SCAN_PLANS"], *[
            nest(k + 1, u32(PLAN["INTERVAL"], iv) + (u32(PLAN["ITERATIONS"], it) if it else b""))
            for k, (iv, it) in enumerate(plans)])
    if interval is not None:
        out += u32(ATTR["SCHED_SCAN_INTERVAL"], interval)
    return out


def test_scheduled_scan_runs_its_plans_reports_only_matches_and_stops(nlsim):
    sim = nlsim(extra=SCHED_SCAN)
    idx = ifindex(sim)
    ix = u32(ATTR["IFINDEX"], idx)
    g = sim.genl().join("scan")
    # The limits reach the wiphy dump, with the commands.
    err, whole = g.request(CMD["GET_WIPHY"], u32(ATTR["WIPHY"], 0))
    w = whole[0]
    assert w.get(ATTR["MAX_NUM_SCHED_SCAN_SSIDS"]) == b"\x03" and w.get(ATTR["MAX_MATCH_SETS"]) == b"\x02"
    assert [w.u32(ATTR[a]) for a in ("MAX_NUM_SCHED_SCAN_PLANS", "MAX_SCAN_PLAN_INTERVAL",
                                     "MAX_SCAN_PLAN_ITERATIONS")] == [2, 3600, 5]
    cmds = [struct.unpack("<I", p)[0] for _, p in parse_attrs(w.get(ATTR["SUPPORTED_COMMANDS"]))]
    assert CMD["START_SCHED_SCAN"] in cmds

    sim.ok("ap add lab bssid=%s ssid=lab freq=2412 signal=-5000" % LAB)
    sim.ok("ap add other bssid=%s ssid=other freq=2437 signal=-4000" % OTHER)
    sim.requests_any = True  # bad requests on purpose
    start = CMD["START_SCHED_SCAN"]
    assert g.request(start, sched_attrs(ix, interval=1000))[0] == -100  # down
    up(sim)
    cases = [
        ("neither interval nor plans", sched_attrs(ix), -22),
        ("interval and plans", sched_attrs(ix, plans=[(1, 0)], interval=1000), -22),
        ("more SSIDs than the radio probes", sched_attrs(ix, ssids=[b"a", b"b", b"c", b"d"], interval=1000), -22),
        ("more match sets than it keeps", sched_attrs(ix, match=[(b"a", None), (b"b", None), (b"c", None)],
                                                      interval=1000), -22),
        ("more plans than it runs", sched_attrs(ix, plans=[(1, 1), (1, 1), (1, 0)]), -22),
        ("a last plan with iterations", sched_attrs(ix, plans=[(1, 2)]), -22),
        ("an earlier plan without", sched_attrs(ix, plans=[(1, 0), (1, 0)]), -22),
        ("more iterations than it counts", sched_attrs(ix, plans=[(1, 6), (1, 0)]), -22),
        ("an interval of 0", sched_attrs(ix, plans=[(0, 0)]), -22),
        ("stop without a scheduled scan", ix, -2),
    ]
    for name, attrs, want in cases:
        cmd = CMD["STOP_SCHED_SCAN"] if name.startswith("stop") else start
        assert g.request(cmd, attrs)[0] == want, name

    # Two quick cycles on the first plan, then the second; only "lab" at -70 dBm or better
    # counts, and only it enters the dump.
    sim.ok("scans clear")
    attrs = sched_attrs(ix, ssids=[b"lab"], match=[(b"lab", -70)], plans=[(1, 2), (7200, 0)])
    assert g.request(start, attrs)[0] == 0
    g.wait_event(start)
    assert g.request(start, attrs)[0] == -115  # one at a time
    g.wait_event(CMD["SCHED_SCAN_RESULTS"], timeout=30)
    assert bssids(g, idx) == [LAB]
    # The second plan's interval is cut to the radio's longest.
    sim.wait_for(lambda: len(trace(sim, "sched-cycle")) >= 2, timeout=30, what="two cycles")
    started = trace(sim, "sched-start")
    assert len(started) == 1 and started[0]["plans"] == "1:2,3600" and started[0]["match"] == b"lab".hex() + "/-70"
    assert [(t["plan"], t["next"]) for t in trace(sim, "sched-cycle")] == [("0", "1"), ("0", "3600")]
    assert g.request(CMD["STOP_SCHED_SCAN"], ix)[0] == 0
    g.wait_event(CMD["SCHED_SCAN_STOPPED"])
    g.events.clear()

    # Too weak: cycles run, nothing is reported.
    sim.ok("ap set lab signal=-8000")
    assert g.request(start, sched_attrs(ix, match=[(b"lab", -70)], plans=[(1, 0)]))[0] == 0
    sim.wait_for(lambda: len(trace(sim, "sched-cycle")) >= 4, timeout=30, what="two more cycles")
    assert [t["matched"] for t in trace(sim, "sched-cycle")][:4] == ["1", "1", "0", "0"]
    # A scheduled scan ends with its interface.
    sim.plain("ip", "link", "set", "wlan0", "down")
    g.wait_event(CMD["SCHED_SCAN_STOPPED"])
    assert not any(m.cmd == CMD["SCHED_SCAN_RESULTS"] for m in g.events)


def test_a_radio_without_scheduled_scans_refuses_them(nlsim):
    sim = nlsim()
    g = sim.genl()
    up(sim)
    sim.requests_any = True
    assert g.request(CMD["START_SCHED_SCAN"], sched_attrs(u32(ATTR["IFINDEX"], ifindex(sim)), interval=1000))[0] \
        == -95


def cqm_event(g):
    m = g.wait_event(CMD["NOTIFY_CQM"])
    c = {CQM_NAME[t]: p for t, p in parse_attrs(m.get(ATTR["CQM"]))}
    return struct.unpack("<I", c["RSSI_THRESHOLD_EVENT"])[0], struct.unpack("<i", c["RSSI_LEVEL"])[0]


def test_link_quality_events_follow_the_associated_aps_level_across_the_threshold(nlsim):
    sim = nlsim()
    idx = ifindex(sim)
    ix = u32(ATTR["IFINDEX"], idx)
    g = sim.genl().join("mlme")
    sim.ok("ap add lab bssid=%s ssid=lab freq=2412 signal=-5000" % LAB)
    up(sim)
    scan(g, idx)
    assert g.request(CMD["CONNECT"], ix + attr(ATTR["SSID"], b"lab"))[0] == 0
    g.wait_event(CMD["CONNECT"])
    low, high = 0, 1  # NL80211_CQM_RSSI_THRESHOLD_EVENT_LOW, _HIGH
    cqm = lambda thold, hyst: nest(ATTR["CQM"], u32(CQM["RSSI_THOLD"], thold & 0xFFFFFFFF),  # noqa: E731
                                   u32(CQM["RSSI_HYST"], hyst))
    assert g.request(CMD["SET_CQM"], ix + cqm(-60, 4))[0] == 0
    # The first beacon after the threshold is set tells on which side the level is.
    assert cqm_event(g) == (high, -50)
    for signal, want in ((-7000, (low, -70)), (-6800, None), (-7500, (low, -75)), (-5500, (high, -55))):
        sim.ok("ap set lab signal=%d" % signal)
        if want:
            assert cqm_event(g) == want
    sim.requests_any = True
    assert g.request(CMD["SET_CQM"], ix)[0] == -22
    assert g.request(CMD["SET_CQM"], ix + nest(ATTR["CQM"], attr(CQM["RSSI_THOLD"], struct.pack(
        "<ii", -60, -70))))[0] == -95


def test_survey_reports_the_configured_noise(nlsim):
    sim = nlsim(extra="noise -90 1-6\nnoise -100 36\n")
    idx = ifindex(sim)

    def noise():
        g = sim.genl()
        err, msgs = g.request(CMD["GET_SURVEY"], u32(ATTR["IFINDEX"], idx), NLM_F_DUMP)
        assert err == 0
        out = {}
        for m in msgs:
            info = dict(parse_attrs(m.get(ATTR["SURVEY_INFO"])))
            out[struct.unpack("<I", info[1])[0]] = struct.unpack("<b", info[2])[0]  # FREQUENCY, NOISE
        return out

    n = noise()
    assert (n[2412], n[2437], n[2462], n[5180], n[5200]) == (-90, -90, -95, -100, -95)
    sim.ok("set phy0 noise=-80")
    assert set(noise().values()) == {-80}
    assert not sim.control("set phy0 noise=5")[0]
