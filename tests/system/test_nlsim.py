"""nlsim alone: the nl80211 stand-in answered by iw and by a Python genl client.

Each test runs build/nlsim in its own namespace (tests/fixtures/radios/) and, at the
end, checks its capture: tshark finds nothing malformed and nl80211_check.py (types,
lengths, nests, one ACK or DONE per request, from the UAPI header) passes."""
import os
import shutil
import struct
import subprocess
import sys
import time

import pytest

from nlclient import ATTR, CMD, NLM_F_ACK, NLM_F_DUMP, NlSim, adict, attr, flag, mac, nest, parse_attrs, u8, u16, \
    u32
import nl80211_uapi as uapi
from nl80211_check import assert_clean

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES_RADIOS = os.path.join(os.path.dirname(HERE), "fixtures", "radios")
AP = "02:00:00:00:aa:01"
BSS = uapi.names("nl80211_bss", "NL80211_BSS_")
BSS_ID = {v: k for k, v in BSS.items()}


def check_capture(sim, events_any=False, requests_any=False):
    assert_clean(sim.path("run/nlsim.pcap"), events_any, requests_any)


@pytest.fixture
def nlsim():
    if os.geteuid() != 0:
        pytest.skip("nlsim tests need root for network namespaces")
    sims = []

    def make(conf="default.conf", extra=""):
        s = NlSim(conf, extra)
        sims.append(s)
        return s

    yield make
    for s in sims:
        try:
            check_capture(s, getattr(s, "events_any", False), getattr(s, "requests_any", False))
        finally:
            s.close()


def ifindex(sim, name="wlan0"):
    return int(sim.plain("cat", "/sys/class/net/%s/ifindex" % name).stdout)


def up(sim, name="wlan0"):
    sim.plain("ip", "link", "set", name, "up")


def scan(g, idx, *extra):
    g.join("scan")
    err, _ = g.request(CMD["TRIGGER_SCAN"], u32(ATTR["IFINDEX"], idx) + b"".join(extra))
    assert err == 0
    return g.wait_event(CMD["NEW_SCAN_RESULTS"])


def scan_results(g, idx):
    err, msgs = g.request(CMD["GET_SCAN"], u32(ATTR["IFINDEX"], idx), NLM_F_DUMP)
    assert err == 0
    out = []
    for m in msgs:
        b = {BSS[t]: p for t, p in parse_attrs(m.get(ATTR["BSS"]))}
        out.append(b)
    return out


def test_iw_sees_phy_regulatory_scan_connection_and_link(nlsim):
    sim = nlsim()
    phy = sim.run("iw", "phy").stdout
    for text in ("Wiphy phy0", "Band 1:", "Band 2:", "* 2412 MHz [1]", "* 5180 MHz [36]", "* 5825 MHz [165]",
                 "* managed", "* authenticate", "* connect", "CCMP-128 (00-0f-ac:4)"):
        assert text in phy, text
    assert "5260 MHz [52]" in phy and "radar detection" in phy.split("5260 MHz [52]")[1].split("\n")[0]

    events = subprocess.Popen(["ip", "netns", "exec", sim.ns, "stdbuf", "-oL", "iw", "event", "-t"],
                              stdout=subprocess.PIPE, text=True,
                              env=dict(os.environ, QMR_NL80211_PORT=str(sim.port), LD_PRELOAD=sim_nlpeer()))
    try:
        # iw event joins the groups after its family lookup: wait until nlsim saw it.
        time.sleep(0.5)
        deadline = time.monotonic() + 20
        seen = ""
        sim.run("iw", "reg", "set", "DE")
        while time.monotonic() < deadline and "set to DE by a user request" not in seen:
            line = events.stdout.readline()
            if not line:
                break
            seen += line
            if "set to DE" not in seen:
                sim.run("iw", "reg", "set", "DE")
        assert "regulatory domain change: set to DE by a user request" in seen
    finally:
        events.terminate()
        events.wait()
    assert "country DE: DFS-ETSI" in sim.run("iw", "reg", "get").stdout

    sim.ok("ap add lab bssid=%s ssid=lab freq=2437 signal=-4500 ies=dd0400112233" % AP)
    up(sim)
    sim.run("iw", "dev", "wlan0", "scan", "trigger")
    sim.wait_for(lambda: AP in sim.run("iw", "dev", "wlan0", "scan", "dump").stdout, what="the AP in the dump")
    dump = sim.run("iw", "dev", "wlan0", "scan", "dump", "-u").stdout
    for text in ("signal: -45.00 dBm", "SSID: lab", "freq: 2437", "DS Parameter set: channel 6", "00:11:22"):
        assert text in dump, text + "\n" + dump

    sim.run("iw", "dev", "wlan0", "connect", "lab")
    sim.wait_for(lambda: "Connected to" in sim.run("iw", "dev", "wlan0", "link").stdout, what="iw link connected")
    link = sim.run("iw", "dev", "wlan0", "link").stdout
    assert "Connected to %s (on wlan0)" % AP in link and "SSID: lab" in link and "signal: -45 dBm" in link
    assert "LOWER_UP" in sim.plain("ip", "link", "show", "wlan0").stdout
    with open(sim.path("proc/net/wireless")) as f:
        assert " wlan0: 0000" in f.read()
    sim.run("iw", "dev", "wlan0", "disconnect")
    assert "Not connected" in sim.run("iw", "dev", "wlan0", "link").stdout


def sim_nlpeer():
    from nlclient import NLPEER
    return NLPEER


def merge_wiphy(msgs):
    """One radio's attributes from its messages: bands and their channel lists joined."""
    out, bands = {}, {}
    for m in msgs:
        for t, p in m.attrs:
            if t == ATTR["WIPHY_BANDS"]:
                for band, body in parse_attrs(p):
                    b = bands.setdefault(band, {})
                    for bt, bp in parse_attrs(body):
                        if bt == uapi.value("NL80211_BAND_ATTR_FREQS"):
                            b.setdefault(bt, []).extend(v for _, v in parse_attrs(bp))
                        else:
                            b[bt] = bp
            else:
                out[t] = p
    out[ATTR["WIPHY_BANDS"]] = bands
    return out


@pytest.mark.parametrize("conf", ["default.conf", "no-split.conf", "vht80.conf", "11b.conf"])
def test_split_and_whole_wiphy_dumps_say_the_same(nlsim, conf):
    sim = nlsim(conf)
    g = sim.genl()
    err, feats = g.request(CMD["GET_PROTOCOL_FEATURES"])
    split = feats[0].u32(ATTR["PROTOCOL_FEATURES"]) & 1
    assert split == (conf != "no-split.conf")
    err, whole = g.request(CMD["GET_WIPHY"], u32(ATTR["WIPHY"], 0))
    assert err == 0 and len(whole) == 1
    err, parts = g.request(CMD["GET_WIPHY"], flag(ATTR["SPLIT_WIPHY_DUMP"]), NLM_F_DUMP | NLM_F_ACK)
    assert err == 0  # the DONE, never an ACK
    if split:
        assert len(parts) >= 3
        for m in parts:  # every part names its radio
            assert m.u32(ATTR["WIPHY"]) == 0 and m.get(ATTR["WIPHY_NAME"]) == b"phy0\0"
            assert m.get(ATTR["GENERATION"]) is not None
        freqs = [m for m in parts if m.get(ATTR["WIPHY_BANDS"])]
        assert len(freqs) == (1 if conf == "11b.conf" else 3)  # 2.4 GHz, then 5 GHz over two messages
    assert merge_wiphy(parts) == merge_wiphy(whole)
    bands = merge_wiphy(whole)[ATTR["WIPHY_BANDS"]]
    if conf == "vht80.conf":
        assert struct.unpack("<H", bands[1][uapi.value("NL80211_BAND_ATTR_HT_CAPA")])[0] == 0x1862
        assert struct.unpack("<I", bands[1][uapi.value("NL80211_BAND_ATTR_VHT_CAPA")])[0] == 0x03807032
    if conf == "11b.conf":
        rates = [adict(p)[uapi.value("NL80211_BITRATE_ATTR_RATE")] for _, p in
                 parse_attrs(bands[0][uapi.value("NL80211_BAND_ATTR_RATES")])]
        assert [struct.unpack("<I", r)[0] for r in rates] == [10, 20, 55, 110] and list(bands) == [0]
    err, legacy = g.request(CMD["GET_WIPHY"], b"", NLM_F_DUMP)
    assert err == 0 and merge_wiphy(legacy) == merge_wiphy(whole)
    # A split dump filtered by interface gives the same radio.
    err, filtered = g.request(CMD["GET_WIPHY"], flag(ATTR["SPLIT_WIPHY_DUMP"]) + u32(ATTR["IFINDEX"], ifindex(sim)),
                              NLM_F_DUMP)
    assert err == 0 and merge_wiphy(filtered) == merge_wiphy(whole)


def test_answers_echo_seq_and_port_ack_follows_reply_and_dumps_end_with_done(nlsim):
    sim = nlsim()
    g = sim.genl()
    seq = g.send(g.family, CMD["GET_INTERFACE"], u32(ATTR["IFINDEX"], ifindex(sim)), NLM_F_ACK)
    ans = g.answer(seq)
    assert [m.type for m in ans] == [g.family, 2]
    assert all(m.seq == seq and m.pid == g.port for m in ans)
    assert ans[1].error == 0 and ans[1].flags & 0x100 and ans[1].len == 36  # capped ACK
    assert ans[0].get(ATTR["IFNAME"]) == b"wlan0\0" and ans[0].u32(ATTR["IFTYPE"]) == 2
    seq = g.send(g.family, CMD["GET_INTERFACE"], b"", NLM_F_DUMP | NLM_F_ACK)
    ans = g.answer(seq)
    assert [m.type for m in ans] == [g.family, 3] and ans[0].flags & 2
    # Without NLM_F_ACK a success has no ACK: the next answer is the next request's.
    g.send(g.family, CMD["GET_INTERFACE"], u32(ATTR["IFINDEX"], ifindex(sim)), 0)
    seq2 = g.send(g.family, CMD["GET_REG"], b"", NLM_F_ACK)
    first = g.read()
    assert first.type == g.family and first.seq == seq2 - 1
    ans = g.answer(seq2)
    assert [m.type for m in ans] == [g.family, 2] and ans[0].get(ATTR["REG_ALPHA2"]) == b"00\0"
    # Group ids no kernel family announces, all naming a bit of a 32-bit mask.
    assert set(g.groups) == {"config", "scan", "regulatory", "mlme", "vendor"}
    assert all(2 <= v <= 32 for v in g.groups.values())


def test_error_table(nlsim):
    sim = nlsim()
    g = sim.genl()
    idx = ifindex(sim)
    ix = u32(ATTR["IFINDEX"], idx)
    sim.ok("ap add lab bssid=%s ssid=lab freq=2412" % AP)
    ap = attr(ATTR["MAC"], mac(AP))
    auth = ap + u32(ATTR["WIPHY_FREQ"], 2412) + attr(ATTR["SSID"], b"lab") + u32(ATTR["AUTH_TYPE"], 0)
    ccmp = attr(ATTR["KEY_DATA"], bytes(16)) + u32(ATTR["KEY_CIPHER"], 0x000FAC04) + u8(ATTR["KEY_IDX"], 1)
    sim.requests_any = True  # this test sends bad requests on purpose
    assert g.request(CMD["TRIGGER_SCAN"], ix)[0] == -100  # down
    assert g.request(CMD["DISCONNECT"], ix + u16(ATTR["REASON_CODE"], 3))[0] == -100
    up(sim)
    cases = [
        ("unknown command", 250, b"", -95),
        ("bad attribute length", CMD["GET_INTERFACE"], u16(ATTR["IFINDEX"], 1), -22),
        ("unknown interface", CMD["GET_INTERFACE"], u32(ATTR["IFINDEX"], 999999), -19),
        ("flag with a payload", CMD["GET_WIPHY"], u32(ATTR["WIPHY"], 0) + u32(ATTR["SPLIT_WIPHY_DUMP"], 1), -22),
        ("address of 5 bytes", CMD["GET_STATION"], ix + attr(ATTR["MAC"], bytes(5)), -22),
        ("SSID of 33 bytes", CMD["CONNECT"], ix + attr(ATTR["SSID"], b"x" * 33), -22),
        ("abort without scan", CMD["ABORT_SCAN"], ix, -2),
        ("authenticate without auth type", CMD["AUTHENTICATE"], ix + ap + u32(ATTR["WIPHY_FREQ"], 2412), -22),
        ("authenticate to an unseen BSS", CMD["AUTHENTICATE"], ix + auth, -2),
        ("associate unauthenticated", CMD["ASSOCIATE"], ix + auth[:-8], -67),
        ("disconnect unconnected", CMD["DISCONNECT"], ix + u16(ATTR["REASON_CODE"], 3), -107),
        ("deauthenticate unconnected", CMD["DEAUTHENTICATE"], ix + ap + u16(ATTR["REASON_CODE"], 3), -107),
        ("local deauthentication unconnected", CMD["DEAUTHENTICATE"], ix + ap + u16(ATTR["REASON_CODE"], 2) +
         flag(ATTR["LOCAL_STATE_CHANGE"]), 0),
        ("group key unconnected", CMD["NEW_KEY"], ix + ccmp, -67),
        ("key of a wrong length", CMD["NEW_KEY"], ix + attr(ATTR["KEY_DATA"], bytes(7)) +
         u32(ATTR["KEY_CIPHER"], 0x000FAC01), -22),
        ("cipher the radio lacks", CMD["NEW_KEY"], ix + attr(ATTR["KEY_DATA"], bytes(16)) +
         u32(ATTR["KEY_CIPHER"], 0x000FAC99), -22),
        ("delete a missing key", CMD["DEL_KEY"], ix + u8(ATTR["KEY_IDX"], 2), -2),
        ("station flags other than authorized", CMD["SET_STATION"], ix + ap +
         attr(ATTR["STA_FLAGS2"], struct.pack("<II", 1 << 4, 0)), -22),
        ("interface name taken", CMD["NEW_INTERFACE"], u32(ATTR["WIPHY"], 0) + attr(ATTR["IFNAME"], "wlan0") +
         u32(ATTR["IFTYPE"], 6), -23),
        ("get scan as a plain request", CMD["GET_SCAN"], ix, -95),
        ("unknown country", CMD["REQ_SET_REG"], attr(ATTR["REG_ALPHA2"], "QQ"), -22),
    ]
    for name, cmd, attrs, want in cases:
        err, _ = g.request(cmd, attrs)
        assert err == want, "%s: %s, wanted %s" % (name, err, want)
    # Static WEP keys need no link.
    err, _ = g.request(CMD["NEW_KEY"], ix + attr(ATTR["KEY_DATA"], bytes(5)) + u32(ATTR["KEY_CIPHER"], 0x000FAC01))
    assert err == 0
    err, _ = g.request(CMD["SET_INTERFACE"], ix + u32(ATTR["IFTYPE"], 3))
    assert err == -16  # type change while up
    scan(g, idx)
    err, _ = g.request(CMD["AUTHENTICATE"], ix + auth)
    assert err == 0
    g.join("mlme")
    g.wait_event(CMD["AUTHENTICATE"])
    err, _ = g.request(CMD["AUTHENTICATE"], ix + auth)
    assert err == -114  # the same BSS again
    sim.ok("set phy0 scan-events=0")
    err, _ = g.request(CMD["TRIGGER_SCAN"], ix)
    assert err == 0
    err, _ = g.request(CMD["TRIGGER_SCAN"], ix)
    assert err == -16  # busy
    # Injected errnos count down.
    sim.ok("errno GET_REG 5 2")
    assert [g.request(CMD["GET_REG"])[0] for _ in range(3)] == [-5, -5, 0]
    # nlctrl knows no other family.
    seq = g.send(0x10, 3, attr(2, "nl80211x"))
    assert g.answer(seq)[-1].error == -2


def test_frame_registrations_die_with_their_socket(nlsim):
    sim = nlsim()
    idx = ifindex(sim)
    a, b = sim.genl(), sim.genl()
    vendor = u32(ATTR["IFINDEX"], idx) + u16(ATTR["FRAME_TYPE"], 0xD0) + attr(ATTR["FRAME_MATCH"], b"\x7f\x00\x11\x22")
    assert a.request(CMD["REGISTER_FRAME"], vendor)[0] == 0
    assert b.request(CMD["REGISTER_FRAME"], vendor)[0] == -114
    overlap = u32(ATTR["IFINDEX"], idx) + attr(ATTR["FRAME_MATCH"], b"\x7f")
    assert b.request(CMD["REGISTER_FRAME"], overlap)[0] == -114
    gas = u32(ATTR["IFINDEX"], idx) + attr(ATTR["FRAME_MATCH"], b"\x04\x0a")
    assert b.request(CMD["REGISTER_FRAME"], gas)[0] == 0
    # A matching frame from the air reaches the registered socket only, as FRAME.
    sim.ok("ap add lab bssid=%s ssid=lab freq=2412" % AP)
    frame = "d000" + "0000" + "020000000100" + AP.replace(":", "") + AP.replace(":", "") + "0000" + "7f0011220102"
    sim.ok("ap frame lab " + frame)
    got = a.wait_event(CMD["FRAME"])
    assert got.get(ATTR["FRAME"]).hex() == frame and got.seq == 0
    assert got.u32(ATTR["WIPHY_FREQ"]) == 2412
    assert not [m for m in b.events if m.cmd == CMD["FRAME"]]
    a.close()
    sim.sockets.remove(a)
    sim.wait_for(lambda: sum("registration wlan0" in line for line in sim.state()) == 1, what="the registration gone")
    assert b.request(CMD["REGISTER_FRAME"], vendor)[0] == 0
    # A socket that closes and is at once replaced: the new one may register the same.
    c = sim.genl()
    ft = u32(ATTR["IFINDEX"], idx) + attr(ATTR["FRAME_MATCH"], b"\x06")
    assert c.request(CMD["REGISTER_FRAME"], ft)[0] == 0
    c.close()
    sim.sockets.remove(c)
    assert b.request(CMD["REGISTER_FRAME"], ft)[0] == 0


def test_authentication_association_keys_station_and_loss(nlsim):
    sim = nlsim()
    idx = ifindex(sim)
    ix = u32(ATTR["IFINDEX"], idx)
    g = sim.genl().join("mlme")
    sim.ok("ap add lab bssid=%s ssid=lab freq=5180 signal=-4550 presp=dd04aabbcc01" % AP)
    up(sim)
    done = scan(g, idx, nest(ATTR["SCAN_SSIDS"], attr(1, b"lab")), nest(ATTR["SCAN_FREQUENCIES"], u32(1, 5180)))
    assert [p for _, p in parse_attrs(done.get(ATTR["SCAN_SSIDS"]))] == [b"lab"]
    res = scan_results(g, idx)
    assert len(res) == 1
    bss = res[0]
    assert bss["NL80211_BSS_BSSID"] == mac(AP)
    assert struct.unpack("<i", bss["NL80211_BSS_SIGNAL_MBM"])[0] == -4550
    assert bss["NL80211_BSS_INFORMATION_ELEMENTS"].endswith(bytes.fromhex("dd04aabbcc01"))  # probe response
    assert not bss["NL80211_BSS_BEACON_IES"].endswith(bytes.fromhex("dd04aabbcc01"))
    for key in ("NL80211_BSS_TSF", "NL80211_BSS_BEACON_TSF", "NL80211_BSS_BEACON_INTERVAL",
                "NL80211_BSS_CAPABILITY", "NL80211_BSS_SEEN_MS_AGO"):
        assert key in bss

    ap = attr(ATTR["MAC"], mac(AP))
    common = ix + ap + u32(ATTR["WIPHY_FREQ"], 5180) + attr(ATTR["SSID"], b"lab")
    assert g.request(CMD["AUTHENTICATE"], common + u32(ATTR["AUTH_TYPE"], 0))[0] == 0
    frame = g.wait_event(CMD["AUTHENTICATE"]).get(ATTR["FRAME"])
    assert frame[0] == 0xB0 and frame[10:16] == mac(AP) and frame[24:30] == bytes([0, 0, 2, 0, 0, 0])
    assert g.request(CMD["ASSOCIATE"], common + attr(ATTR["IE"], b"\x00\x03lab") + flag(ATTR["CONTROL_PORT"]))[0] == 0
    frame = g.wait_event(CMD["ASSOCIATE"]).get(ATTR["FRAME"])
    assert frame[0] == 0x10 and frame[26:28] == b"\0\0"
    conn = g.wait_event(CMD["CONNECT"])
    assert conn.get(ATTR["MAC"]) == mac(AP) and conn.get(ATTR["STATUS_CODE"]) == b"\0\0"
    assert conn.get(ATTR["REQ_IE"]) == b"\x00\x03lab"
    assert "LOWER_UP" in sim.plain("ip", "link", "show", "wlan0").stdout
    assert bss_status(g, idx) == 1

    # Keys: pairwise to the AP, group with the multicast default type.
    ptk = ix + ap + attr(ATTR["KEY_DATA"], bytes(16)) + u32(ATTR["KEY_CIPHER"], 0x000FAC04) + u8(ATTR["KEY_IDX"], 0)
    assert g.request(CMD["NEW_KEY"], ptk)[0] == 0
    gtk = ix + attr(ATTR["KEY_DATA"], bytes(16)) + u32(ATTR["KEY_CIPHER"], 0x000FAC04) + u8(ATTR["KEY_IDX"], 1) + \
        attr(ATTR["KEY_SEQ"], bytes([1, 2, 3, 4, 5, 6]))
    assert g.request(CMD["NEW_KEY"], gtk)[0] == 0
    err, got = g.request(CMD["GET_KEY"], ix + u8(ATTR["KEY_IDX"], 1))
    assert err == 0 and got[0].get(ATTR["KEY_SEQ"]) == bytes([1, 2, 3, 4, 5, 6])
    assert g.request(CMD["NEW_KEY"], ix + attr(ATTR["KEY_DATA"], bytes(16)) + u32(ATTR["KEY_CIPHER"], 0x000FAC04) +
                     attr(ATTR["KEY_SEQ"], bytes(7)))[0] == -22
    # The port opens; the station reports signal and rate.
    auth = ix + ap + attr(ATTR["STA_FLAGS2"], struct.pack("<II", 2, 2))
    assert g.request(CMD["SET_STATION"], auth)[0] == 0
    err, st = g.request(CMD["GET_STATION"], ix + ap)
    info = adict(st[0].get(ATTR["STA_INFO"]))
    sig = uapi.value("NL80211_STA_INFO_SIGNAL")
    assert err == 0 and struct.unpack("b", info[sig])[0] == -45
    assert uapi.value("NL80211_STA_INFO_TX_BITRATE") in info

    # The AP deauthenticates: the frame is the AP's, the disconnect is by the AP.
    sim.ok("ap deauth lab")
    frame = g.wait_event(CMD["DEAUTHENTICATE"]).get(ATTR["FRAME"])
    assert frame[10:16] == mac(AP) and frame[24:26] == b"\x03\x00"
    disc = g.wait_event(CMD["DISCONNECT"])
    assert disc.get(ATTR["DISCONNECTED_BY_AP"]) is not None
    sim.wait_for(lambda: "LOWER_UP" not in sim.plain("ip", "link", "show", "wlan0").stdout, what="carrier off")

    # Connect again; the AP falls silent: a local deauthentication, reason 4.
    assert g.request(CMD["AUTHENTICATE"], common + u32(ATTR["AUTH_TYPE"], 0))[0] == 0
    g.wait_event(CMD["AUTHENTICATE"])
    assert g.request(CMD["ASSOCIATE"], common)[0] == 0
    g.wait_event(CMD["CONNECT"])
    sim.ok("ap set lab silent=1")
    frame = g.wait_event(CMD["DEAUTHENTICATE"], timeout=30).get(ATTR["FRAME"])
    assert frame[10:16] == mac("02:00:00:00:01:00") and frame[24:26] == b"\x04\x00"
    assert g.wait_event(CMD["DISCONNECT"]).get(ATTR["DISCONNECTED_BY_AP"]) is None
    # A silent AP does not answer: authentication times out after its retries.
    assert g.request(CMD["AUTHENTICATE"], common + u32(ATTR["AUTH_TYPE"], 0))[0] == 0
    to = g.wait_event(CMD["AUTHENTICATE"], timeout=30)
    assert to.get(ATTR["TIMED_OUT"]) is not None and to.get(ATTR["MAC"]) == mac(AP)


def bss_status(g, idx):
    for b in scan_results(g, idx):
        if "NL80211_BSS_STATUS" in b:
            return struct.unpack("<I", b["NL80211_BSS_STATUS"])[0]
    return None


def test_connect_only_radio_refuses_authenticate_and_reports_rejection(nlsim):
    sim = nlsim("connect-only.conf")
    idx = ifindex(sim)
    ix = u32(ATTR["IFINDEX"], idx)
    g = sim.genl().join("mlme")
    err, whole = g.request(CMD["GET_WIPHY"], u32(ATTR["WIPHY"], 0))
    cmds = [struct.unpack("<I", p)[0] for _, p in parse_attrs(whole[0].get(ATTR["SUPPORTED_COMMANDS"]))]
    assert CMD["CONNECT"] in cmds and CMD["AUTHENTICATE"] not in cmds
    sim.ok("ap add lab bssid=%s ssid=lab freq=2412 assoc-status=17" % AP)
    up(sim)
    auth = ix + attr(ATTR["MAC"], mac(AP)) + u32(ATTR["WIPHY_FREQ"], 2412) + attr(ATTR["SSID"], b"lab") + \
        u32(ATTR["AUTH_TYPE"], 0)
    assert g.request(CMD["AUTHENTICATE"], auth)[0] == -95
    assert g.request(CMD["CONNECT"], ix + attr(ATTR["SSID"], b"lab"))[0] == 0
    conn = g.wait_event(CMD["CONNECT"])
    assert conn.get(ATTR["STATUS_CODE"]) == b"\x11\x00"
    sim.ok("ap set lab assoc-status=0")
    assert g.request(CMD["CONNECT"], ix + attr(ATTR["SSID"], b"lab"))[0] == 0
    assert g.wait_event(CMD["CONNECT"]).get(ATTR["STATUS_CODE"]) == b"\0\0"
    assert g.request(CMD["CONNECT"], ix + attr(ATTR["SSID"], b"lab"))[0] == -114
    assert g.request(CMD["DISCONNECT"], ix + u16(ATTR["REASON_CODE"], 3))[0] == 0
    assert g.wait_event(CMD["DEAUTHENTICATE"]).get(ATTR["FRAME"])[10:16] == mac("02:00:00:00:01:00")
    assert g.wait_event(CMD["DISCONNECT"]).get(ATTR["REASON_CODE"]) == b"\x03\x00"


def test_ethernet_passes_to_the_ap_tap_only_while_associated(nlsim):
    sim = nlsim()
    peer = sim.ns + "p"
    subprocess.run(["ip", "netns", "add", peer], check=True)
    try:
        sim.ok("ap add lab bssid=%s ssid=lab freq=2412 netns=%s tap=aptap" % (AP, peer))
        subprocess.run(["ip", "-n", peer, "addr", "add", "198.19.77.2/24", "dev", "aptap"], check=True)
        subprocess.run(["ip", "-n", peer, "link", "set", "aptap", "up"], check=True)
        sim.plain("ip", "addr", "add", "198.19.77.1/24", "dev", "wlan0")
        up(sim)

        def ping():
            return sim.plain("ping", "-c", "1", "-W", "1", "198.19.77.2", check=False).returncode == 0

        assert not ping()
        g = sim.genl().join("mlme")
        idx = ifindex(sim)
        assert g.request(CMD["CONNECT"], u32(ATTR["IFINDEX"], idx) + attr(ATTR["SSID"], b"lab"))[0] == 0
        g.wait_event(CMD["CONNECT"])
        sim.wait_for(ping, timeout=30, what="a ping through the TAPs")
        sim.ok("ap deauth lab reason=3")
        g.wait_event(CMD["DISCONNECT"])
        assert not ping()

        # With a control port only EAPOL passes until the port is authorised.
        from nlclient import _in_netns
        import socket as so
        sta = _in_netns(sim.ns, lambda: so.socket(so.AF_PACKET, so.SOCK_RAW, so.htons(0x888E)))
        apside = _in_netns(peer, lambda: so.socket(so.AF_PACKET, so.SOCK_RAW, so.htons(0x888E)))
        try:
            sta.bind(("wlan0", 0x888E))
            apside.bind(("aptap", 0x888E))
            sta.settimeout(20)
            assert g.request(CMD["CONNECT"], u32(ATTR["IFINDEX"], idx) + attr(ATTR["SSID"], b"lab") +
                             flag(ATTR["CONTROL_PORT"]))[0] == 0
            g.wait_event(CMD["CONNECT"])
            assert not ping()
            eapol = mac("02:00:00:00:01:00") + mac(AP) + b"\x88\x8e" + bytes.fromhex("0203005f") + bytes(20)
            apside.send(eapol)
            assert sta.recv(2048)[:len(eapol)] == eapol
            auth = u32(ATTR["IFINDEX"], idx) + attr(ATTR["MAC"], mac(AP)) + \
                attr(ATTR["STA_FLAGS2"], struct.pack("<II", 2, 2))
            assert g.request(CMD["SET_STATION"], auth)[0] == 0
            sim.wait_for(ping, timeout=30, what="a ping once the port is authorised")
        finally:
            sta.close()
            apside.close()
    finally:
        subprocess.run(["ip", "netns", "del", peer], check=False)


def test_injected_events_reach_listeners(nlsim):
    sim = nlsim()
    sim.events_any = True
    g = sim.genl().join("mlme", "regulatory")
    sim.ok("event mlme CONN_FAILED MAC=%s CONN_FAILED_REASON=1" % AP)
    ev = g.wait_event(CMD["CONN_FAILED"])
    assert ev.seq == 0 and ev.get(ATTR["MAC"]) == mac(AP) and ev.u32(ATTR["IFINDEX"]) == ifindex(sim)
    sim.ok("raw regulatory 24010000ff00")  # REG_CHANGE with a truncated attribute
    ev = g.wait_event(CMD["REG_CHANGE"])
    assert ev.malformed and ev.raw[20:22] == bytes.fromhex("ff00")
    good, lines = sim.control("event nowhere CONNECT")
    assert not good and "unknown group" in lines[-1]


def test_sim_platform_runs_nlsim_beside_the_daemon_and_stops_it(net, root):
    from conftest import Daemon
    shutil.copy(os.path.join(FIXTURES_RADIOS, "default.conf"), root.file("/run/nlsim.conf"))
    d = Daemon(net, root).start()
    try:
        ok, lines = d.simctl("air", "state")
        assert ok and any(line.startswith("iface wlan0 ") for line in lines), lines
        ok, lines = d.simctl("air", "ap", "add", "lab", "bssid=" + AP, "ssid=lab", "freq=2412")
        assert ok, lines
        ok, lines = d.simctl("air", "ap", "add", "lab", "bssid=" + AP, "ssid=lab", "freq=2412")
        assert not ok and "exists" in lines[-1]
        # The radio's interface is in the daemon's namespace, down, with the conf address.
        link = net.run_device("ip", "link", "show", "wlan0").stdout
        assert "02:00:00:00:01:00" in link and "UP" not in link.split(">")[0]
        assert os.path.exists(root.file("/proc/net/wireless"))
        pids = lambda: [p for p in sh_out("ip", "netns", "pids", net.device).split() if p]
        assert len(pids()) >= 2  # qmr and nlsim
        assert d.stop() == 0
        d.wait_for(lambda: not pids(), what="nlsim to end with the daemon")
    finally:
        d.close()
    check_capture(SimRoot(root.path))


def test_without_a_radio_conf_air_commands_are_refused(daemon):
    daemon.start()
    ok, lines = daemon.simctl("air", "state")
    assert not ok and "no radio simulated" in lines[-1]
    assert daemon.net.run_device("ip", "link", "show", "wlan0", check=False).returncode != 0


class SimRoot:
    """The capture path of a sandbox root, in the shape check_capture reads."""

    def __init__(self, path):
        self.root = path

    def path(self, rel):
        return os.path.join(self.root, rel)


def sh_out(*cmd):
    return subprocess.run(list(cmd), capture_output=True, text=True).stdout


def test_monitor_interface_carries_radiotap_both_ways(nlsim):
    from nlclient import _in_netns
    import socket as so
    sim = nlsim()
    g = sim.genl().join("config")
    new = u32(ATTR["WIPHY"], 0) + attr(ATTR["IFNAME"], "mon.wlan0") + u32(ATTR["IFTYPE"], 6)
    err, reply = g.request(CMD["NEW_INTERFACE"], new)
    assert err == 0 and reply[0].u32(ATTR["IFTYPE"]) == 6
    assert g.wait_event(CMD["NEW_INTERFACE"]).get(ATTR["IFNAME"]) == b"mon.wlan0\0"
    assert "link/ieee802.11/radiotap" in sim.plain("ip", "link", "show", "mon.wlan0").stdout
    up(sim, "mon.wlan0")
    sock = _in_netns(sim.ns, lambda: so.socket(so.AF_PACKET, so.SOCK_RAW, so.htons(3)))
    try:
        sock.bind(("mon.wlan0", 3))
        sock.settimeout(20)
        sim.ok("ap add lab bssid=%s ssid=lab freq=2412" % AP)
        frame = "d000" + "0000" + "ffffffffffff" + AP.replace(":", "") * 2 + "0000" + "7f0011220102"
        sim.ok("ap frame lab " + frame)
        got = sock.recv(4096)
        rt = got[2] | got[3] << 8
        present = struct.unpack_from("<I", got, 4)[0]
        assert present & (1 << 14) and not present & (1 << 15)  # received: RX flags
        assert got[rt:].hex() == frame and struct.unpack("b", got[10:11])[0] == -45
        # A frame sent on the monitor comes back as a transmit report, acknowledged by
        # the AP it names.
        probe = bytes.fromhex("4000" + "0000" + AP.replace(":", "") + "020000000100" + AP.replace(":", "") + "1000")
        sock.send(bytes.fromhex("00000e000200c0000800000000") + b"\0" + probe)
        while True:
            rep = sock.recv(4096)
            if rep[rep[2]:] == probe:
                break
        present = struct.unpack_from("<I", rep, 4)[0]
        assert present & (1 << 15) and not present & (1 << 14)
        assert rep[10] & 1 == 0  # not failed
    finally:
        sock.close()
    err, _ = g.request(CMD["DEL_INTERFACE"], u32(ATTR["IFINDEX"], ifindex(sim, "mon.wlan0")))
    assert err == 0
    assert sim.plain("ip", "link", "show", "mon.wlan0", check=False).returncode != 0


def test_type_change_ends_the_association_and_registrations_sleep_under_another_type(nlsim):
    sim = nlsim()
    idx = ifindex(sim)
    ix = u32(ATTR["IFINDEX"], idx)
    g = sim.genl().join("mlme", "config")
    assert g.request(CMD["REGISTER_FRAME"], ix + attr(ATTR["FRAME_MATCH"], b"\x7f\x00\x11\x22"))[0] == 0
    sim.ok("ap add lab bssid=%s ssid=lab freq=2412" % AP)
    up(sim)
    assert g.request(CMD["CONNECT"], ix + attr(ATTR["SSID"], b"lab"))[0] == 0
    assert g.wait_event(CMD["CONNECT"]).get(ATTR["STATUS_CODE"]) == b"\0\0"
    sim.plain("ip", "link", "set", "wlan0", "down")
    assert g.request(CMD["SET_INTERFACE"], ix + u32(ATTR["IFTYPE"], 3))[0] == 0
    assert g.wait_event(CMD["DISCONNECT"]).get(ATTR["DISCONNECTED_BY_AP"]) is None
    assert g.wait_event(CMD["SET_INTERFACE"]).u32(ATTR["IFTYPE"]) == 3
    frame = "d000" + "0000" + "020000000100" + AP.replace(":", "") * 2 + "0000" + "7f0011220102"
    sim.ok("ap frame lab " + frame)
    assert g.request(CMD["SET_INTERFACE"], ix + u32(ATTR["IFTYPE"], 2))[0] == 0
    sim.ok("ap frame lab " + frame)
    got = g.wait_event(CMD["FRAME"])
    assert got.get(ATTR["FRAME"]).hex() == frame
    # The frame sent while the interface was an AP was not kept for later: a round trip
    # collects anything queued before its answer.
    assert g.request(CMD["GET_REG"])[0] == 0
    assert not [m for m in g.events if m.cmd == CMD["FRAME"]]


def test_a_bad_radio_conf_stops_the_start_with_its_reason(net, root):
    from conftest import Daemon
    with open(root.file("/run/nlsim.conf"), "w") as f:
        f.write("radio phy0\nband 2g 1-13\nfrobnicate 7\n")
    d = Daemon(net, root).start(wait_socket=False)
    try:
        assert d.proc.wait(60) != 0
        out = d.output()
        assert "line 3: unknown keyword frobnicate" in out and "could not start" in out, out
        assert net.run_device("ip", "link", "show", "wlan0", check=False).returncode != 0
    finally:
        d.close()


# ---- the test bed for joining protected networks: news, keys, the authenticator ----

STA = "02:00:00:00:01:00"
PROBE = 0x88B5  # an ethertype for local experiments: the data frames of these tests


def news(sim, since=1):
    """[(number, kind, {field: value})] of the station news."""
    out = []
    for line in sim.ok("news since=%d" % since):
        n, kind, rest = (line.split(" ", 2) + [""])[:3]
        out.append((int(n), kind, dict(w.split("=", 1) for w in rest.split() if "=" in w)))
    return out


def wait_news(sim, kind, since=1, **want):
    found = []

    def seen():
        found[:] = [f for n, k, f in news(sim, since) if k == kind and all(f.get(a) == str(v) for a, v in
                                                                          want.items())]
        return bool(found)

    sim.wait_for(seen, timeout=30, what="%s news %r" % (kind, want))
    return found[0]


class Taps:
    """Raw sockets on wlan0 and on the AP's TAP, for EAPOL and for probe data frames."""

    def __init__(self, sim, peer, tap="aptap"):
        from nlclient import _in_netns
        import socket as so
        self.so = so

        def open_on(ns, dev):
            s = _in_netns(ns, lambda: so.socket(so.AF_PACKET, so.SOCK_RAW, so.htons(3)))
            s.bind((dev, 3))
            s.settimeout(20)
            return s

        self.sta = open_on(sim.ns, "wlan0")
        self.ap = open_on(peer, tap)

    def close(self):
        self.sta.close()
        self.ap.close()

    def crosses(self, frm, to, dst, src, tag):
        """Sends a probe frame from one side, then an EAPOL marker (which always
        passes); True when the probe arrived before the marker on the other side."""
        probe = mac(dst) + mac(src) + struct.pack(">H", PROBE) + tag + bytes(40)
        marker = mac(dst) + mac(src) + b"\x88\x8e" + b"\x02\x00\x00\x04" + b"mark" + tag + bytes(40)
        frm.send(probe)
        frm.send(marker)
        got = False
        while True:
            f = to.recv(4096)
            if f[12:14] == struct.pack(">H", PROBE) and f[14:14 + len(tag)] == tag:
                got = True
            if f[12:14] == b"\x88\x8e" and f[18:22] == b"mark" and f[22:22 + len(tag)] == tag:
                return got


def connect_protected(sim, g, idx, ie=b"", ssid=b"lab", **extra):
    attrs = u32(ATTR["IFINDEX"], idx) + attr(ATTR["SSID"], ssid) + flag(ATTR["CONTROL_PORT"])
    if ie:
        attrs += attr(ATTR["IE"], ie)
    for k, v in extra.items():
        attrs += attr(ATTR[k], v)
    assert g.request(CMD["CONNECT"], attrs)[0] == 0
    ev = g.wait_event(CMD["CONNECT"])
    assert ev.get(ATTR["STATUS_CODE"]) == b"\0\0"


def new_key(g, idx, data, cipher, index, pairwise_to=None):
    attrs = u32(ATTR["IFINDEX"], idx) + attr(ATTR["KEY_DATA"], data) + u32(ATTR["KEY_CIPHER"], cipher) + \
        u8(ATTR["KEY_IDX"], index)
    if pairwise_to:
        attrs += attr(ATTR["MAC"], mac(pairwise_to))
    return g.request(CMD["NEW_KEY"], attrs)[0]


def authorize(g, idx, on=True):
    flags = struct.pack("<II", 2, 2 if on else 0)
    return g.request(CMD["SET_STATION"], u32(ATTR["IFINDEX"], idx) + attr(ATTR["MAC"], mac(AP)) +
                     attr(ATTR["STA_FLAGS2"], flags))[0]


@pytest.fixture
def peer_ns():
    names = []

    def make(sim):
        n = sim.ns + "p"
        subprocess.run(["ip", "netns", "add", n], check=True)
        names.append(n)
        return n

    yield make
    for n in names:
        subprocess.run(["ip", "netns", "del", n], check=False)


def test_station_news_tells_association_requests_and_who_ended_the_link(nlsim):
    sim = nlsim()
    idx = ifindex(sim)
    ix = u32(ATTR["IFINDEX"], idx)
    g = sim.genl().join("mlme")
    rsn = bytes.fromhex("30140100000fac040100000fac040100000fac020000")
    sim.ok("ap add lab bssid=%s ssid=lab freq=2412 ies=%s auth-status=0:13" % (AP, rsn.hex()))
    sim.ok("ap add two bssid=02:00:00:00:aa:02 ssid=lab freq=2437")
    up(sim)
    scan(g, idx)
    common = ix + attr(ATTR["MAC"], mac(AP)) + u32(ATTR["WIPHY_FREQ"], 2412) + attr(ATTR["SSID"], b"lab")
    # Open authentication is refused with 13 (algorithm not supported); shared key is taken.
    for auth_type, status in ((0, 13), (1, 0)):
        assert g.request(CMD["AUTHENTICATE"], common + u32(ATTR["AUTH_TYPE"], auth_type))[0] == 0
        f = g.wait_event(CMD["AUTHENTICATE"]).get(ATTR["FRAME"])
        assert struct.unpack_from("<HHH", f, 24) == (auth_type, 2, status)
    assert g.request(CMD["ASSOCIATE"], common + attr(ATTR["IE"], rsn) + flag(ATTR["CONTROL_PORT"]))[0] == 0
    g.wait_event(CMD["CONNECT"])
    a = wait_news(sim, "assoc", ap="lab")
    frame, ies = bytes.fromhex(a["frame"]), bytes.fromhex(a["ies"])
    assert frame[0] == 0x00 and frame[4:10] == mac(AP) and frame[10:16] == mac(STA)
    assert frame[24 + 4:] == ies and ies.startswith(b"\x00\x03lab") and ies.endswith(rsn)
    assert a["sta"] == STA and a["bssid"] == AP
    mark = news(sim)[-1][0] + 1

    # A roam: authentication with the second AP ends the first association; the
    # association request naming the current AP is a reassociation.
    two = "02:00:00:00:aa:02"
    common2 = ix + attr(ATTR["MAC"], mac(two)) + u32(ATTR["WIPHY_FREQ"], 2437) + attr(ATTR["SSID"], b"lab")
    assert g.request(CMD["AUTHENTICATE"], common2 + u32(ATTR["AUTH_TYPE"], 0))[0] == 0
    g.wait_event(CMD["AUTHENTICATE"], pred=lambda m: m.get(ATTR["FRAME"])[0] == 0xB0)
    assert g.request(CMD["ASSOCIATE"], common2 + attr(ATTR["PREV_BSSID"], mac(AP)))[0] == 0
    resp = g.wait_event(CMD["ASSOCIATE"], pred=lambda m: m.get(ATTR["FRAME"])[10:16] == mac(two))
    assert resp.get(ATTR["FRAME"])[0] == 0x30  # a reassociation response
    r = wait_news(sim, "reassoc", since=mark, ap="two")
    assert r["current"] == AP and bytes.fromhex(r["frame"])[0] == 0x20
    assert bytes.fromhex(r["frame"])[28:34] == mac(AP)
    assert wait_news(sim, "deauth", since=mark, ap="lab")["from"] == "sta"

    # Who ended a link, and with what reason.
    cases = [
        ("ap deauth two reason=7", "deauth", "ap", 7),
        ("ap disassoc two reason=5", "disassoc", "ap", 5),
        ("station deauthenticates with 17", "deauth", "sta", 17),
        ("ap del two", "deauth", "local", 4),
    ]
    for n, (action, kind, by, reason) in enumerate(cases):
        if n:  # the first case finds the roam's association
            assert g.request(CMD["CONNECT"], ix + attr(ATTR["SSID"], b"lab") + attr(ATTR["MAC"], mac(two)))[0] == 0
            g.wait_event(CMD["CONNECT"], pred=lambda m: m.get(ATTR["MAC"]) == mac(two))
        mark = news(sim)[-1][0] + 1
        if action.startswith("station"):
            assert g.request(CMD["DEAUTHENTICATE"], ix + attr(ATTR["MAC"], mac(two)) +
                             u16(ATTR["REASON_CODE"], 17))[0] == 0
        else:
            sim.ok(action)
        got = wait_news(sim, kind, since=mark)
        assert (got["from"], got["reason"], got["bssid"]) == (by, str(reason), two), action
        if by == "local":
            # The kernel's link-loss deauthentication: our own address as source, reason 4.
            f = g.wait_event(CMD["DEAUTHENTICATE"], timeout=30,
                             pred=lambda m: m.get(ATTR["FRAME"])[24:26] == b"\x04\x00").get(ATTR["FRAME"])
            assert f[10:16] == mac(STA) and f[16:22] == mac(two)
            disc = g.wait_event(CMD["DISCONNECT"], pred=lambda m: m.get(ATTR["REASON_CODE"]) == b"\x04\x00")
            assert disc.get(ATTR["DISCONNECTED_BY_AP"]) is None

    # Bad lines are refused with a reason and change nothing.
    sim.requests_any = True
    for line in ("news since=x", "news 1 2", "keys since=-1", "ap key lab pairwise rot13 00",
                 "ap key lab pairwise ccmp 0011", "ap key lab group ccmp 4 " + "00" * 16,
                 "ap key lab group ccmp 1 zz", "ap key nobody clear", "ap michael lab index=9",
                 "ap michael lab", "ap set lab auth-status=0:13,x", "ap set lab auth-status=1:2:3",
                 "ap set lab auth-status=" + ",".join("%d:1" % i for i in range(9))):
        good, lines = sim.control(line)
        assert not good and lines[-1].startswith("ERR "), line
    good, lines = sim.control("ap key lab pairwise ccmp " + "11" * 16)
    assert good

    # A connect that leaves the algorithm to the kernel goes on to shared key after 13.
    for auth_type, status in ((u32(ATTR["AUTH_TYPE"], 0), b"\x0d\x00"), (b"", b"\0\0")):
        connect = ix + attr(ATTR["SSID"], b"lab") + attr(ATTR["MAC"], mac(AP)) + auth_type
        assert g.request(CMD["CONNECT"], connect)[0] == 0
        conn = g.wait_event(CMD["CONNECT"], pred=lambda m: m.get(ATTR["MAC"]) == mac(AP))
        assert conn.get(ATTR["STATUS_CODE"]) == status


def test_data_needs_an_open_port_and_the_keys_of_both_sides_equal(nlsim, peer_ns):
    sim = nlsim()
    peer = peer_ns(sim)
    sim.ok("ap add lab bssid=%s ssid=lab freq=2412 netns=%s tap=aptap" % (AP, peer))
    subprocess.run(["ip", "-n", peer, "link", "set", "aptap", "up"], check=True)
    up(sim)
    idx = ifindex(sim)
    g = sim.genl().join("mlme")
    taps = Taps(sim, peer)
    try:
        for cipher, suite, n in (("ccmp", 0x000FAC04, 16), ("tkip", 0x000FAC02, 32)):
            connect_protected(sim, g, idx)
            up_to_sta = lambda tag: taps.crosses(taps.ap, taps.sta, STA, AP, tag)
            down_to_ap = lambda tag: taps.crosses(taps.sta, taps.ap, AP, STA, tag)
            bcast = lambda tag: taps.crosses(taps.ap, taps.sta, "ff:ff:ff:ff:ff:ff", AP, tag)
            # Before any key, EAPOL passes (the marker) and data does not.
            assert not up_to_sta(b"a0") and not down_to_ap(b"a1")
            tk = bytes(range(n))
            sim.ok("ap key lab pairwise %s %s" % (cipher, tk.hex()))
            assert new_key(g, idx, tk if cipher == "ccmp" else tk[:16] + tk[24:] + tk[16:24], suite, 0, AP) == 0
            assert not up_to_sta(b"b0")  # keys equal, the port still closed
            assert authorize(g, idx) == 0
            assert up_to_sta(b"c0") and down_to_ap(b"c1")
            if cipher == "tkip":
                # The same bytes on both sides are not equal keys: the MIC halves cross.
                assert new_key(g, idx, tk, suite, 0, AP) == 0
                assert not up_to_sta(b"d0") and not down_to_ap(b"d1")
                assert new_key(g, idx, tk[:16] + tk[24:] + tk[16:24], suite, 0, AP) == 0
            else:
                assert new_key(g, idx, bytes(16), suite, 0, AP) == 0
                assert not up_to_sta(b"d0") and not down_to_ap(b"d1")
                assert new_key(g, idx, tk, suite, 0, AP) == 0
            assert up_to_sta(b"e0")
            # Group frames need the AP's group key at its index.
            gtk = bytes(range(100, 100 + n))
            sta_gtk = gtk if cipher == "ccmp" else gtk[:16] + gtk[24:] + gtk[16:24]
            sim.ok("ap key lab group %s 2 %s" % (cipher, gtk.hex()))
            assert not bcast(b"f0")
            assert new_key(g, idx, sta_gtk, suite, 1) == 0
            assert not bcast(b"f1")  # the right key at the wrong index
            assert new_key(g, idx, sta_gtk, suite, 2) == 0
            assert bcast(b"f2") and up_to_sta(b"f3")
            # Closing the port stops data again.
            assert authorize(g, idx, False) == 0
            assert not up_to_sta(b"g0")
            # A Michael MIC failure event names the AP, the key type and index.
            sim.ok("ap michael lab group")
            ev = g.wait_event(CMD["MICHAEL_MIC_FAILURE"])
            assert ev.get(ATTR["MAC"]) == mac(AP) and ev.u32(ATTR["KEY_TYPE"]) == 0
            assert ev.get(ATTR["KEY_IDX"])[0] == 2
            sim.ok("ap deauth lab")
            g.wait_event(CMD["DISCONNECT"])
    finally:
        taps.close()

    # The key trace: every NEW_KEY, SET_KEY and DEL_KEY with index, cipher, length and
    # a fingerprint of the key (FNV-1a 64), failures with their errno.
    from wifi_auth import fnv
    connect_protected(sim, g, idx)
    mark = int(sim.ok("keys")[-1].split()[0]) + 1
    key = bytes(range(16))
    assert new_key(g, idx, key, 0x000FAC04, 1) == 0
    ix = u32(ATTR["IFINDEX"], idx)
    assert g.request(CMD["SET_KEY"], ix + u8(ATTR["KEY_IDX"], 1) + flag(ATTR["KEY_DEFAULT"]))[0] == 0
    assert g.request(CMD["DEL_KEY"], ix + u8(ATTR["KEY_IDX"], 1))[0] == 0
    assert g.request(CMD["DEL_KEY"], ix + u8(ATTR["KEY_IDX"], 1))[0] == -2
    trace = [line.split(" ", 1)[1] for line in sim.ok("keys since=%d" % mark)]
    assert trace == [
        "NEW_KEY idx=1 pairwise=0 cipher=000fac04 len=16 hash=%s err=0" % fnv(key),
        "SET_KEY idx=1 pairwise=0 default=1 err=0",
        "DEL_KEY idx=1 pairwise=0 err=0",
        "DEL_KEY idx=1 pairwise=0 err=-2",
    ], trace


class KeyStation:
    """The station's side of the 4-way and group key handshakes, just enough to run
    wifi_auth through nlsim: EAPOL on wlan0, keys and the port through nl80211. It
    answers what arrives and keeps every EAPOL-Key frame it got in self.got."""

    def __init__(self, sim, passphrase, element, ssid="lab"):
        import threading
        import wifi_auth as wa
        from nlclient import _in_netns
        import socket as so
        # Its own socket: the test's one is read by the test meanwhile.
        self.wa, self.g, self.sim, self.element = wa, sim.genl(), sim, element
        self.idx = ifindex(sim)
        self.pmk = wa.psk(passphrase, ssid)
        self.sock = _in_netns(sim.ns, lambda: so.socket(so.AF_PACKET, so.SOCK_RAW, so.htons(0x888E)))
        self.sock.bind(("wlan0", 0x888E))
        self.sock.settimeout(0.2)
        self.got, self.sent = [], []
        self.installs = 0
        self.cipher = wa.decode_element(element)[0][0]
        self.group_cipher = wa.decode_element(element)[1]
        self.tptk = self.ptk = None
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def close(self):
        self.running = False
        self.thread.join(10)
        self.sock.close()

    def suite(self, c):
        return {"ccmp": 0x000FAC04, "tkip": 0x000FAC02}[c]

    def send(self, k, kck):
        frame = k.build(kck)
        self.sock.send(mac(AP) + mac(STA) + b"\x88\x8e" + frame)
        self.sent.append(self.wa.KeyFrame.parse(frame))

    def run(self):
        import socket as so
        while self.running:
            try:
                data = self.sock.recv(4096)
            except so.timeout:
                continue
            except OSError:
                return
            k = self.wa.KeyFrame.parse(data[14:])
            if k is None:
                continue
            self.got.append(k)
            self.handle(k)

    def handle(self, k):
        wa = self.wa
        version = k.info & 7
        rsn = k.descriptor == 2
        if k.info & wa.KI_PAIRWISE and not k.info & wa.KI_MIC:  # 1/4
            snonce = os.urandom(32)
            self.tptk = wa.ptk(self.pmk, mac(AP), mac(STA), k.nonce, snonce, {"ccmp": 16, "tkip": 32}[self.cipher])
            self.send(wa.KeyFrame(k.descriptor, version | wa.KI_PAIRWISE | wa.KI_MIC, 0 if rsn else k.key_len,
                                  k.replay, snonce, data=self.element, version=k.version), self.tptk[0])
            return
        kck = self.tptk[0] if self.tptk else None
        if kck is None or not k.mic_ok(kck):
            return
        if k.info & wa.KI_PAIRWISE:  # 3/4
            if (k.info >> 4) & 3:
                return  # a pairwise frame with a key index is dropped
            data = k.data
            if k.info & wa.KI_ENCRYPTED:
                data = wa.rc4(k.iv + self.tptk[1], data) if version == 1 else wa.unwrap(self.tptk[1], data)
            self.send(wa.KeyFrame(k.descriptor, version | wa.KI_PAIRWISE | wa.KI_MIC | (k.info & wa.KI_SECURE),
                                  0 if rsn else k.key_len, k.replay, version=k.version), kck)
            if self.ptk != self.tptk:  # installed once per 1/4
                self.ptk = self.tptk
                tk = wa.station_view(self.ptk[2], self.cipher)
                assert new_key(self.g, self.idx, tk, self.suite(self.cipher), 0, AP) == 0
                for eid, e in wa.elements(data):
                    if eid == 221 and e[2:6] == b"\x00\x0f\xac\x01":
                        self.install_gtk(e[6] & 3, e[8:])
                assert authorize(self.g, self.idx) == 0
            return
        # group 1/2
        data = wa.rc4(k.iv + self.tptk[1], k.data) if version == 1 else wa.unwrap(self.tptk[1], k.data)
        if rsn:
            e = [e for eid, e in wa.elements(data) if eid == 221 and e[2:6] == b"\x00\x0f\xac\x01"][0]
            index, gtk = e[6] & 3, e[8:]
        else:
            index, gtk = (k.info >> 4) & 3, data[:k.key_len]
        self.install_gtk(index, gtk)
        self.send(wa.KeyFrame(k.descriptor, version | wa.KI_MIC | wa.KI_SECURE | (index << 4),
                              0 if rsn else k.key_len, k.replay, version=k.version), kck)

    def install_gtk(self, index, gtk):
        assert new_key(self.g, self.idx, self.wa.station_view(gtk, self.group_cipher),
                       self.suite(self.group_cipher), index) == 0


@pytest.fixture
def protected(nlsim, peer_ns):
    """nlsim with an AP on a TAP, wifi_auth on it, and a KeyStation; make(...) sets
    them up with the authenticator's keywords."""
    made = []

    def make(passphrase="secret passphrase", sta_passphrase=None, proto="rsn", sta_element=None, **kw):
        import wifi_auth as wa
        sim = nlsim()
        peer = peer_ns(sim)
        auth = wa.Authenticator(sock=sim.path("run/nlsim.sock"), ap="lab", bssid=AP, netns=peer, tap="aptap",
                                ssid="lab", passphrase=passphrase, protos=proto.split("+"), **kw)
        sim.ok("ap add lab bssid=%s ssid=lab freq=2412 netns=%s tap=aptap ies=%s" %
               (AP, peer, auth.elements().hex()))
        subprocess.run(["ip", "-n", peer, "link", "set", "aptap", "up"], check=True)
        up(sim)
        auth.start()
        g = sim.genl().join("mlme")
        element = sta_element or auth.beacon_element(proto)
        sta = KeyStation(sim, sta_passphrase or passphrase, element)
        taps = Taps(sim, peer)
        made.append((auth, sta, taps))
        connect_protected(sim, g, ifindex(sim), ie=element)
        return sim, auth, sta, taps

    yield make
    for auth, sta, taps in made:
        auth.stop()
        sta.close()
        taps.close()


def key_trace(sim):
    return [line.split(" ", 1)[1] for line in sim.ok("keys")]


@pytest.mark.parametrize("ap,proto,pairwise,group", [
    ("rsn", "rsn", "ccmp", "ccmp"),
    ("wpa", "wpa", "tkip", "tkip"),
    ("rsn", "rsn", "ccmp", "tkip"),
    ("wpa+rsn", "wpa", "ccmp tkip", "tkip"),  # a WPA station on a mixed AP
])
def test_authenticator_keys_the_station_data_flows_and_rekeys_switch_the_index(protected, ap, proto, pairwise, group):
    import wifi_auth as wa
    sta_element = wa.wpa_element(("tkip",), "tkip") if ap != proto else None
    sim, auth, sta, taps = protected(proto=ap, pairwise=pairwise.split(), group=group, sta_element=sta_element)
    assoc = auth.wait("assoc")
    assert assoc["proto"] == proto and assoc["element"] == (sta_element or auth.beacon_element(proto))
    pairwise = "tkip" if sta_element else pairwise
    auth.wait("msg2", pred=lambda f: f["mic"] and f["element_matches"])
    auth.wait("group-done" if proto == "wpa" else "4way-done")
    # Descriptor and version: RSN 2 with HMAC-SHA1 (version 2) for CCMP, WPA 254 with
    # HMAC-MD5 (version 1) for TKIP.
    assert {k.descriptor for k in sta.got} == {2 if proto == "rsn" else 254}
    assert {k.info & 7 for k in sta.got} == {2 if pairwise == "ccmp" else 1}
    # The replay counter rises with every frame of the authenticator.
    counters = [k.replay for k in sta.got]
    assert counters == sorted(set(counters))
    # The station opens its port once its keys are in: data flows then.
    sim.wait_for(lambda: taps.crosses(taps.ap, taps.sta, STA, AP, b"u"), what="unicast to the station")
    assert taps.crosses(taps.sta, taps.ap, AP, STA, b"v")
    assert taps.crosses(taps.ap, taps.sta, "ff:ff:ff:ff:ff:ff", AP, b"w")
    # The keys the station installed are those the authenticator derived (nlsim's trace).
    keys = auth.station_keys()
    trace = key_trace(sim)
    assert any("pairwise=1" in t and "hash=" + keys["ptk"] in t and "err=0" in t for t in trace), trace
    assert any("pairwise=0" in t and "idx=1" in t and "hash=" + keys["gtk"] in t for t in trace), trace

    # A rekey moves the group key to index 2; broadcasts use it once the station has it.
    mark = auth.mark() + 1
    auth.rekey()
    assert auth.wait("group2", since=mark)["index"] == 2
    assert auth.wait("group-done", since=mark)["index"] == 2
    trace = key_trace(sim)
    assert any("idx=2" in t and "hash=" + auth.station_keys()["gtk"] in t for t in trace), trace
    assert taps.crosses(taps.ap, taps.sta, "ff:ff:ff:ff:ff:ff", AP, b"x")
    assert not auth.found("replay-mismatch") and not auth.found("timeout")


def test_authenticator_scripts(protected):
    import wifi_auth as wa
    # A wrong passphrase: the MIC of 2/4 fails, 1/4 comes again, then reason 15.
    sim, auth, sta, taps = protected(sta_passphrase="not the passphrase", retries=3, timeout=0.5)
    auth.wait("msg2", pred=lambda f: not f["mic"])
    auth.wait("msg1", pred=lambda f: f["again"])
    assert auth.wait("link-down")["reason"] == 15
    got = wait_news(sim, "deauth", ap="lab")
    assert got["from"] == "ap" and got["reason"] == "15"
    assert not [t for t in key_trace(sim) if t.startswith("NEW_KEY")]

    # PMKID in 1/4: the KDE carries HMAC-SHA1-128(PMK, "PMK Name" | AA | SPA); a
    # repeated 3/4 is answered with a second 4/4 and installs nothing new.
    sim, auth, sta, taps = protected(pmkid=True, repeat_msg3=True)
    auth.wait("msg4", pred=lambda f: f["again"])
    kde = [e for eid, e in wa.elements(sta.got[0].data) if eid == 221][0]
    assert kde[2:6] == b"\x00\x0f\xac\x04" and kde[6:] == wa.pmkid(wa.psk("secret passphrase", "lab"), mac(AP),
                                                                      mac(STA))
    assert len([k for k in sta.got if k.info & wa.KI_INSTALL]) == 2
    assert len([t for t in key_trace(sim) if t.startswith("NEW_KEY") and "pairwise=1" in t]) == 1
    # A repeated group 1/2 with the same key is answered.
    mark = auth.mark() + 1
    auth.group_again()
    auth.wait("group-done", since=mark)

    # 3/4 with another element and 3/4 with key index 1: what the station receives.
    other = wa.rsn_element(("ccmp", "tkip"), "ccmp")
    sim, auth, sta, taps = protected(msg3_ie=other, msg3_key_index=1, retries=2, timeout=0.5)
    auth.wait("msg3")
    sim.wait_for(lambda: any(k.info & wa.KI_MIC for k in sta.got), what="3/4 at the station")
    m3 = [k for k in sta.got if k.info & wa.KI_MIC][0]
    assert (m3.info >> 4) & 3 == 1
    plain = wa.unwrap(sta.tptk[1], m3.data)
    assert plain.startswith(other)
    assert auth.wait("timeout")["state"] == "msg3"  # no 4/4 to a frame with a key index


def test_authenticator_cli_runs_the_handshake(nlsim, peer_ns):
    import signal
    sim = nlsim()
    peer = peer_ns(sim)
    cli = [sys.executable, os.path.join(HERE, "wifi_auth.py"), "--sock", sim.path("run/nlsim.sock"), "--ap", "lab",
           "--bssid", AP, "--ssid", "lab", "--passphrase", "secret passphrase", "--proto", "wpa",
           "--pairwise", "tkip", "--group", "tkip"]
    ies = subprocess.run(cli + ["--print-elements"], capture_output=True, text=True, check=True).stdout.strip()
    sim.ok("ap add lab bssid=%s ssid=lab freq=2412 netns=%s tap=aptap ies=%s" % (AP, peer, ies))
    subprocess.run(["ip", "-n", peer, "link", "set", "aptap", "up"], check=True)
    up(sim)
    proc = subprocess.Popen(cli + ["--netns", peer, "--tap", "aptap"], stdout=subprocess.PIPE, text=True)
    sta = None
    try:
        assert proc.stdout.readline().strip() == "ready"
        sta = KeyStation(sim, "secret passphrase", bytes.fromhex(ies))
        g = sim.genl().join("mlme")
        connect_protected(sim, g, ifindex(sim), ie=bytes.fromhex(ies))
        seen = []
        for line in proc.stdout:
            seen.append(line.split()[0])
            if seen[-1] == "group-done":
                break
        assert seen[:5] == ["assoc", "msg1", "msg2", "msg3", "msg4"], seen
        assert "ptk-installed" in seen and "gtk-installed" in seen
    finally:
        proc.send_signal(signal.SIGTERM)
        # Read what it still prints while it ends: with the pipe full, its last lines
        # would block it for good.
        proc.communicate(timeout=60)
        if sta:
            sta.close()
