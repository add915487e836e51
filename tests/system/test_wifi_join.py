"""Joining a Wi-Fi network end to end: qmr on the Wi-Fi product (304), whose manager gives
the supplicant its network block from the parameters, with nlsim's APs on the air and a
monitor on the supplicant's wlan0 socket. An open AP is joined without further ado; a
WPA2-PSK-CCMP AP runs the 4-way and group key handshakes with the IEEE 802.11
authenticator (wifi_auth.py) on its TAP, and nlsim's key trace shows that the station
installed the keys the authenticator derived. Every test ends with a check of the netlink
capture."""
import os
import shutil
import signal
import socket
import subprocess
import time

import pytest

from conftest import Daemon, SandboxRoot
from nl80211_check import assert_clean
from test_supplicant import CtrlClient
from test_wifi_scan import Monitor

HERE = os.path.dirname(os.path.abspath(__file__))
RADIOS = os.path.join(HERE, "..", "fixtures", "radios")
AP = "02:00:00:00:aa:01"
PASSPHRASE = "secret phrase"
CONNECTED = "<3>CTRL-EVENT-CONNECTED - Connection to %s completed [id=0 id_str=]" % AP


class Station:
    """qmr on the Wi-Fi product with the given Wi-Fi parameters, nlsim beside it."""

    def __init__(self, net, params, prepare=None):
        self.root = SandboxRoot(product="p304_wifi", device_addr=net.device_addr)
        self.daemon = self.ctrl = self.mon = None
        with open(self.root.file("/etc/params.dat"), "a") as f:
            f.write(params)
        if prepare:
            prepare(self.root)  # files the daemon should find at its start
        shutil.copy(os.path.join(RADIOS, "default.conf"), self.root.file("/run/nlsim.conf"))
        self.daemon = Daemon(net, self.root)
        self.daemon.start()
        path = self.root.file("/var/wifi/wlan0")
        self.daemon.wait_for(lambda: os.path.exists(path), timeout=60, what="the supplicant's wlan0 socket")
        self.ctrl = CtrlClient(self.root, path)
        self.mon = Monitor(self.root, path)
        assert self.mon.request("ATTACH") == "OK\n"

    def air(self, *words):
        ok, lines = self.daemon.simctl("air", *words)
        assert ok, lines
        return lines

    def status(self):
        return dict(l.split("=", 1) for l in self.ctrl.request("STATUS").splitlines() if "=" in l)

    def join(self, timeout=120):
        """Asks for a scan (the supplicant also scans on its own) and waits for the
        connection; the events from the request on."""
        start = len(self.mon.events)
        self.ctrl.request("SCAN")  # FAIL-BUSY while an own scan runs is fine
        self.mon.wait_event_after("CTRL-EVENT-CONNECTED ", start, timeout)
        return self.mon.events[start:]

    def close(self):
        try:
            for c in (self.mon, self.ctrl):
                if c:
                    c.close()
            if self.daemon:
                self.daemon.close()
            assert_clean(self.root.file("/run/nlsim.pcap"))
        finally:
            self.root.close()


@pytest.fixture
def station(net):
    made = []

    def make(params, prepare=None):
        s = Station(net, params, prepare)
        made.append(s)
        return s

    yield make
    for s in made:
        s.close()


@pytest.fixture
def ap_netns():
    name = "qjoin%d" % os.getpid()
    subprocess.run(["ip", "netns", "add", name], check=True)
    yield name
    subprocess.run(["ip", "netns", "del", name], check=False)


def news(st, since=1):
    """[(number, kind, {field: value})] of nlsim's station news."""
    out = []
    for line in st.air("news", "since=%d" % since):
        n, kind, rest = (line.split(" ", 2) + [""])[:3]
        out.append((int(n), kind, dict(w.split("=", 1) for w in rest.split() if "=" in w)))
    return out


# ---------------------------------------------------------------- the AP's network side

AP_NET = "198.19.7"  # the AP side's /24, inside the test's own namespaces


class ApDhcp:
    """dnsmasq on an interface of the AP's namespace (a TAP, or a bridge of several),
    which gets the address AP_NET.1 and leases from AP_NET.50 on; its log is kept."""

    def __init__(self, netns, iface, log_dir):
        self.log = os.path.join(log_dir, "dnsmasq-%s.log" % iface)
        subprocess.run(["ip", "-n", netns, "addr", "add", AP_NET + ".1/24", "dev", iface], check=True)
        subprocess.run(["ip", "-n", netns, "link", "set", iface, "up"], check=True)
        with open(self.log, "w") as out:
            self.proc = subprocess.Popen(
                ["ip", "netns", "exec", netns, "dnsmasq", "-d", "--port=0", "--interface=" + iface,
                 "--bind-interfaces", "--conf-file=/dev/null", "--pid-file=",
                 "--dhcp-leasefile=" + os.path.join(log_dir, "leases-%s" % iface),
                 "--dhcp-range=%s.50,%s.59,255.255.255.0,10m" % (AP_NET, AP_NET)],
                stdout=out, stderr=subprocess.STDOUT)

    def count(self, word):
        """How often the log names a DHCP message ("DHCPDISCOVER", "DHCPACK", ...)."""
        with open(self.log) as f:
            return f.read().count(word + "(")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def leased_address(root):
    """The address the DHCP client took (ip_setby dhcp in the parameter file), else None."""
    values = {}
    with open(root.file("/etc/params.dat")) as f:
        for line in f:
            key, _, value = line.partition("=")
            values[key.strip()] = value.strip()
    if values.get("ip_setby") == "dhcp" and values.get("ip_addr", "").startswith(AP_NET + "."):
        return values["ip_addr"]
    return None


TEST_TYPE = 0x88B5  # the IEEE 802 local experimental EtherType: frames only the test sends


class Frames:
    """Raw Ethernet frames of TEST_TYPE between an AP's TAP (in the AP's namespace) and the
    station's wlan0 (in the daemon's): what nlsim's data path lets through."""

    def __init__(self, ap_netns, tap, sta_netns, sta_if="wlan0"):
        def opener(ifname):
            def open_socket():
                s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(TEST_TYPE))
                s.bind((ifname, TEST_TYPE))
                return s
            return open_socket

        import wifi_auth
        self.ap = wifi_auth._in_netns(ap_netns, opener(tap))
        self.sta = wifi_auth._in_netns(sta_netns, opener(sta_if))
        self.n = 0

    def crosses(self, to_station, dst, src, timeout=30):
        """Sends a frame dst <- src from one side every half second until the other side
        receives one of them; False when none arrives within the time-out."""
        out, into = (self.ap, self.sta) if to_station else (self.sta, self.ap)
        self.n += 1
        body = b"qmr-test %d %d" % (os.getpid(), self.n)
        frame = bytes.fromhex(dst.replace(":", "")) + bytes.fromhex(src.replace(":", "")) + \
            TEST_TYPE.to_bytes(2, "big") + body
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            out.send(frame)
            step = time.monotonic() + 0.5
            while time.monotonic() < step:
                into.settimeout(max(0.01, step - time.monotonic()))
                try:
                    got = into.recv(2048)
                except socket.timeout:
                    break
                if got[14:].startswith(body):
                    return True
        return False

    def close(self):
        self.ap.close()
        self.sta.close()


def test_open_ap_is_joined_and_status_says_completed(station):
    st = station(" wifi = on\n wifi_mode = infra\n wifi_name = lab\n wifi_encrypt = none\n")
    st.air("ap", "add", "lab", "bssid=" + AP, "ssid=lab", "freq=2437")
    events = st.join()
    assert [e for e in events if e.startswith("<3>CTRL-EVENT-CONNECTED ")] == [CONNECTED], events
    assert any(e.startswith("<3>SME: Trying to authenticate with %s (SSID='lab' freq=2437 MHz)" % AP)
               for e in events), events
    assert any(e.startswith("<3>Trying to associate with %s" % AP) for e in events), events
    status = st.status()
    assert status["wpa_state"] == "COMPLETED", status
    assert status["bssid"] == AP and status["ssid"] == "lab", status


def test_wpa2_psk_ccmp_runs_both_handshakes_and_installs_the_derived_keys(station, ap_netns):
    wifi_auth = pytest.importorskip("wifi_auth")
    st = station(" wifi = on\n wifi_mode = infra\n wifi_name = lab\n wifi_encrypt = AES2\n wifi_psk = %s\n"
                 % PASSPHRASE)
    sock = st.root.file("/run/nlsim.sock")
    auth = wifi_auth.Authenticator(sock=sock, ap="lab", bssid=AP, netns=ap_netns, tap="aptap", ssid="lab",
                                   passphrase=PASSPHRASE, protos=("rsn",))
    st.air("ap", "add", "lab", "bssid=" + AP, "ssid=lab", "freq=2437", "netns=" + ap_netns, "tap=aptap",
           "ies=" + auth.elements().hex())
    subprocess.run(["ip", "-n", ap_netns, "link", "set", "aptap", "up"], check=True)
    auth.start()
    try:
        events = st.join()
        assert [e for e in events if e.startswith("<3>CTRL-EVENT-CONNECTED ")] == [CONNECTED], events
        # The station's element in its association request is the one its 2/4 carries.
        assoc = auth.wait("assoc")
        assert assoc["proto"] == "rsn" and assoc["element"] == auth.beacon_element("rsn"), assoc
        auth.wait("msg2", pred=lambda f: f["mic"] and f["element_matches"])
        auth.wait("4way-done")
        status = st.status()
        assert status["wpa_state"] == "COMPLETED", status
        # The keys the station installed are those the authenticator derived.
        keys = auth.station_keys()
        trace = [line.split(" ", 1)[1] for line in wifi_auth.socket_control(sock)("keys")]
        assert any("pairwise=1" in t and "hash=" + keys["ptk"] in t and "err=0" in t for t in trace), trace
        assert any("pairwise=0" in t and "idx=1" in t and "hash=" + keys["gtk"] in t for t in trace), trace
        assert not auth.found("replay-mismatch") and not auth.found("timeout"), auth.results
    finally:
        auth.stop()
