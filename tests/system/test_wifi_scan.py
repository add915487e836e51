"""Scanning end to end: qmr on the Wi-Fi product (304) with nlsim and scripted APs, a
monitor attached to the supplicant's wlan0 socket. SCAN runs through the nl80211 back end
to nlsim's air; the monitor sees the scan start, the table fill in ranking order and the
results; SCAN_RESULTS and BSS describe the APs; a refused trigger and a vanished AP are
reported. Every test ends with a check of the netlink capture."""
import os
import shutil
import socket
import struct
import time

import pytest

from conftest import Daemon, SandboxRoot
from nl80211_check import assert_clean
from nlclient import ATTR, parse_attrs
from test_wifi_nl80211 import nl80211_requests
from test_supplicant import CtrlClient

HERE = os.path.dirname(os.path.abspath(__file__))
RADIOS = os.path.join(HERE, "..", "fixtures", "radios")

RSN_CCMP_PSK = "30140100000fac040100000fac040100000fac020000"
WPA_TKIP_PSK = "dd160050f20101000050f20201000050f20201000050f202"
RSN_MIXED_PSK = "30180100000fac020200000fac04000fac020100000fac020000"

# name, BSSID, SSID, frequency, signal (mBm), elements after the SSID, rates and channel,
# further nlsim settings
APS = [
    ("open", "02:00:00:00:aa:01", "open-lab", 2412, -6000, "", ""),
    ("wpa2", "02:00:00:00:aa:02", "wpa2-lab", 2437, -4000, RSN_CCMP_PSK, ""),
    ("mixed", "02:00:00:00:aa:03", "mixed-lab", 2462, -5000, WPA_TKIP_PSK + RSN_MIXED_PSK, ""),
    # Hidden: beacons with an empty SSID, or with as many zero bytes.
    ("hidden", "02:00:00:00:aa:04", "secret", 5180, -7000, "", "hidden=1"),
    ("zeros", "02:00:00:00:aa:05", "nul", 2412, -7500, "", "hidden=2"),
]


class Monitor(CtrlClient):
    def wait_event_after(self, text, start, timeout):
        """The first event from index start on that holds text."""
        end = time.monotonic() + timeout
        while True:
            for e in self.events[start:]:
                if text in e:
                    return e
            if time.monotonic() > end:
                raise AssertionError("no event %r; got %r" % (text, self.events[start:]))
            self.sock.settimeout(max(0.05, end - time.monotonic()))
            try:
                self.events.append(self.sock.recv(8192).decode(errors="replace"))
            except socket.timeout:
                pass


class Radio:
    """qmr on the Wi-Fi product with nlsim beside it and a monitor on wlan0."""

    def __init__(self, net, extra="", settle=True):
        self.root = SandboxRoot(product="p304_wifi", device_addr=net.device_addr)
        self.daemon = None
        self.mon = None
        with open(self.root.file("/etc/params.dat"), "a") as f:
            f.write(" wifi = on\n wifi_mode = infra\n wifi_name = lab\n wifi_encrypt = none\n")
        shutil.copy(os.path.join(RADIOS, "default.conf"), self.root.file("/run/nlsim.conf"))
        with open(self.root.file("/run/nlsim.conf"), "a") as f:
            f.write(extra)
        self.daemon = Daemon(net, self.root)
        self.daemon.start()
        path = self.root.file("/var/wifi/wlan0")
        self.daemon.wait_for(lambda: os.path.exists(path), timeout=60, what="the supplicant's wlan0 socket")
        self.ctrl = CtrlClient(self.root, path)
        self.mon = Monitor(self.root, path)
        assert self.mon.request("ATTACH") == "OK\n"
        # The configured network is absent, so the supplicant scans on its own every few
        # seconds: push its interval out and wait until its last own scan is over.
        if settle:
            assert self.ctrl.request("SCAN_INTERVAL 3600") == "OK\n"
            self.quiet()

    def quiet(self, span=8.0, timeout=90.0):
        """Waits until no scan has started for span seconds."""
        end = time.monotonic() + timeout
        while True:
            seen = len(self.mon.events)
            try:
                self.mon.wait_event_after("CTRL-EVENT-SCAN-STARTED ", seen, span)
            except AssertionError:
                return
            self.mon.wait_event_after("CTRL-EVENT-SCAN-RESULTS ", seen, 60)
            assert time.monotonic() < end, "the supplicant keeps scanning: %r" % self.mon.events

    def air(self, *words):
        ok, lines = self.daemon.simctl("air", *words)
        assert ok, lines
        return lines

    def events(self, after=0):
        return self.mon.events[after:]

    def scan(self, timeout=60):
        """One SCAN from the control socket; the monitor's events of it, up to the end."""
        start = len(self.mon.events)
        assert self.ctrl.request("SCAN") == "OK\n"
        self.mon.wait_event_after("CTRL-EVENT-SCAN-RESULTS ", start, timeout)
        return self.events(start)

    def close(self):
        try:
            for c in (self.mon, getattr(self, "ctrl", None)):
                if c:
                    c.close()
            if self.daemon:
                self.daemon.close()
            assert_clean(self.root.file("/run/nlsim.pcap"), bad_elements=getattr(self, "bad_elements", False))
        finally:
            self.root.close()


@pytest.fixture
def radio(net):
    r = Radio(net)
    yield r
    r.close()


def add_aps(r, aps):
    for name, bssid, ssid, freq, signal, ies, more in aps:
        extra = (["ies=" + ies] if ies else []) + more.split()
        r.air("ap", "add", name, "bssid=" + bssid, "ssid=" + ssid, "freq=%d" % freq, "signal=%d" % signal, *extra)


def added(events):
    """(id, BSSID) of each BSS-ADDED event in order."""
    out = []
    for e in events:
        if "CTRL-EVENT-BSS-ADDED " in e:
            words = e.split("CTRL-EVENT-BSS-ADDED ", 1)[1].split()
            out.append((int(words[0]), words[1]))
    return out


def test_scan_fills_the_table_in_ranking_order_and_refuses_a_second_scan_meanwhile(radio):
    add_aps(radio, APS)
    events = radio.scan()
    assert any(e.startswith("<3>CTRL-EVENT-SCAN-STARTED ") for e in events), events
    ends = [k for k, e in enumerate(events) if e.startswith("<3>CTRL-EVENT-SCAN-RESULTS ")]
    new = added(events)
    # Secured before open; then the stronger first (the secured two are close in SNR, but
    # alike in throughput and band, so signal decides there too).
    assert [b for _, b in new] == ["02:00:00:00:aa:0%d" % k for k in (2, 3, 1, 4, 5)], events
    ids = [i for i, _ in new]
    assert ids == sorted(ids) and len(set(ids)) == 5, new
    assert all(events.index(e) < ends[0] for e in events if "CTRL-EVENT-BSS-ADDED " in e), events

    # A scan on the air for a while: a second SCAN meanwhile is busy.
    radio.air("set", "phy0", "scan-ms=4000")
    start = len(radio.mon.events)
    assert radio.ctrl.request("SCAN") == "OK\n"
    radio.mon.wait_event_after("CTRL-EVENT-SCAN-STARTED ", start, 30)
    assert radio.ctrl.request("SCAN") == "FAIL-BUSY\n"
    radio.mon.wait_event_after("CTRL-EVENT-SCAN-RESULTS ", start, 60)
    # Known APs are no news.
    assert added(radio.events(start)) == [], radio.events(start)

    # Parameters reach the radio; with use_id each scan gets the next id, which its
    # events carry.
    radio.air("set", "phy0", "scan-ms=150")
    for n in (1, 2):
        start = len(radio.mon.events)
        assert radio.ctrl.request("SCAN use_id=1 freq=2437 ssid " + b"wpa2-lab".hex()) == "%d\n" % n
        radio.mon.wait_event_after("<3>CTRL-EVENT-SCAN-RESULTS id=%d" % n, start, 60)
        assert "<3>CTRL-EVENT-SCAN-STARTED id=%d" % n in radio.events(start), radio.events(start)
        trigger = [m for name, m in nl80211_requests(radio.root.file("/run/nlsim.pcap"))
                   if name == "TRIGGER_SCAN"][-1]
        freqs = [struct.unpack("<I", v)[0] for _, v in parse_attrs(trigger.get(ATTR["SCAN_FREQUENCIES"]))]
        ssids = [v for _, v in parse_attrs(trigger.get(ATTR["SCAN_SSIDS"]))]
        assert freqs == [2437] and b"wpa2-lab" in ssids, (freqs, ssids)


# BSSID, flags, signal, SSID
RESULTS = [
    ("02:00:00:00:aa:01", "[ESS]", -60, "open-lab"),
    ("02:00:00:00:aa:02", "[WPA2-PSK-CCMP][ESS]", -40, "wpa2-lab"),
    ("02:00:00:00:aa:03", "[WPA-PSK-TKIP][WPA2-PSK-CCMP+TKIP][ESS]", -50, "mixed-lab"),
    ("02:00:00:00:aa:04", "[ESS]", -70, ""),
    ("02:00:00:00:aa:05", "[ESS]", -75, "\\x00\\x00\\x00"),
]


def without_age(reply):
    """A BSS reply without its age line, which moves with the clock."""
    return [l for l in reply.splitlines() if not l.startswith("age=")]


def test_scan_results_and_bss_describe_each_ap(radio):
    add_aps(radio, APS)
    new = dict((b, i) for i, b in added(radio.scan()))
    lines = radio.ctrl.request("SCAN_RESULTS").split("\n")
    assert lines[0] == "bssid / frequency / signal level / flags / ssid", lines
    assert lines[-1] == "", lines
    rows = {l.split("\t")[0]: l.split("\t") for l in lines[1:-1]}
    freqs = {b: f for _, b, _, f, _, _, _ in APS}
    for bssid, flags, level, ssid in RESULTS:
        assert rows[bssid] == [bssid, str(freqs[bssid]), str(level), flags, ssid], rows
        bss = radio.ctrl.request("BSS " + bssid)
        fields = dict(l.split("=", 1) for l in bss.splitlines())
        assert fields["id"] == str(new[bssid]) and fields["bssid"] == bssid, bss
        assert fields["freq"] == str(freqs[bssid]) and fields["level"] == str(level), bss
        assert fields["flags"] == flags and fields["ssid"] == ssid, bss
        # Seconds since the entry was updated: the scan just ran.
        assert 0 <= int(fields["age"]) < 60, bss
        by_id = radio.ctrl.request("BSS ID-%d" % new[bssid])
        assert without_age(by_id) == without_age(bss), by_id
    # Ids run in the order the table keeps; an unknown one gives nothing.
    ids = sorted(new.values())
    assert radio.ctrl.request("BSS FIRST").startswith("id=%d\n" % ids[0])
    assert radio.ctrl.request("BSS LAST").startswith("id=%d\n" % ids[-1])
    assert radio.ctrl.request("BSS ID-%d" % (ids[-1] + 100)) == ""

    # A probe that names the hidden SSID is answered: a second entry under the same BSSID,
    # which the address form now finds; the beacon's entry stays.
    start = len(radio.mon.events)
    assert radio.ctrl.request("SCAN ssid " + b"secret".hex()) == "OK\n"
    radio.mon.wait_event_after("CTRL-EVENT-SCAN-RESULTS ", start, 60)
    hidden = APS[3][1]
    assert [b for _, b in added(radio.events(start))] == [hidden], radio.events(start)
    rows = [l.split("\t") for l in radio.ctrl.request("SCAN_RESULTS").splitlines()[1:]]
    assert sorted(r[4] for r in rows if r[0] == hidden) == ["", "secret"], rows
    bss = radio.ctrl.request("BSS " + hidden)
    assert "\nssid=secret\n" in bss and not bss.startswith("id=%d\n" % new[hidden]), bss


def test_a_refused_trigger_is_reported_and_not_retried(radio):
    add_aps(radio, APS[:1])
    radio.air("errno", "TRIGGER_SCAN", "16")
    start = len(radio.mon.events)
    assert radio.ctrl.request("SCAN") == "OK\n"
    ev = radio.mon.wait_event_after("CTRL-EVENT-SCAN-FAILED ", start, 30)
    assert ev == "<3>CTRL-EVENT-SCAN-FAILED ret=-16", ev
    assert not any("SCAN-STARTED" in e or "BSS-ADDED" in e for e in radio.events(start)), radio.events(start)
    # The radio is free again: the next SCAN runs, and a monitor of the global socket
    # hears it with the interface named.
    glob = Monitor(radio.root, radio.root.file("/var/wpactrl"))
    try:
        assert glob.request("ATTACH") == "OK\n"
        events = radio.scan()
        assert [b for _, b in added(events)] == [APS[0][1]], events
        ev = glob.wait_event_after("CTRL-EVENT-BSS-ADDED ", 0, 30)
        assert ev == "IFNAME=wlan0 <3>CTRL-EVENT-BSS-ADDED %d %s" % (added(events)[0][0], APS[0][1]), ev
    finally:
        glob.close()


def removed(events):
    """(id, BSSID) of each BSS-REMOVED event in order."""
    out = []
    for e in events:
        if "CTRL-EVENT-BSS-REMOVED " in e:
            words = e.split("CTRL-EVENT-BSS-REMOVED ", 1)[1].split()
            out.append((int(words[0]), words[1]))
    return out


def test_a_vanished_ap_leaves_the_table_after_missed_scans_and_by_age(radio):
    add_aps(radio, APS[:2])
    ids = dict((b, i) for i, b in added(radio.scan()))
    open_ap, wpa2_ap = APS[0][1], APS[1][1]
    # The radio's dump forgets an entry no scan saw for a second.
    radio.air("set", "phy0", "bss-expire-ms=1000")

    # Gone from the air: full scans that miss it remove it; the other AP stays.
    radio.air("ap", "del", "open")
    start = len(radio.mon.events)
    for _ in range(10):
        if removed(radio.events(start)):
            break
        radio.scan()
    assert removed(radio.events(start)) == [(ids[open_ap], open_ap)], radio.events(start)
    listing = radio.ctrl.request("SCAN_RESULTS")
    assert open_ap not in listing and wpa2_ap in listing, listing
    assert radio.ctrl.request("BSS " + open_ap) == ""

    # Without scans, the periodic pass drops what is older than the expiry age.
    assert radio.ctrl.request("BSS_EXPIRE_AGE 9") == "FAIL\n"
    assert radio.ctrl.request("BSS_EXPIRE_AGE 10") == "OK\n"
    radio.air("ap", "del", "wpa2")
    start = len(radio.mon.events)
    radio.mon.wait_event_after("CTRL-EVENT-BSS-REMOVED %d %s" % (ids[wpa2_ap], wpa2_ap), start, 90)
    assert not any("SCAN-STARTED" in e for e in radio.events(start)), radio.events(start)
    assert radio.ctrl.request("SCAN_RESULTS") == "bssid / frequency / signal level / flags / ssid\n"
