"""The supplicant's nl80211 back end on nlsim: a Wi-Fi product (304) whose sandbox holds
run/nlsim.conf starts the supplicant on wlan0 through nl80211; the capture shows the
start-up requests in order, the link is dormant, the control socket answers and a stop
ends the daemon cleanly."""
import os
import queue
import shutil
import signal
import subprocess
import threading
import time

import pytest

from conftest import BUILD, Daemon, SandboxRoot
from nlclient import Msg, NlSim
import nl80211_check
import nl80211_uapi as uapi
from test_supplicant import CtrlClient

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "..", "fixtures", "radios")
CMD = {k: v[len("NL80211_CMD_"):] for k, v in uapi.names("nl80211_commands", "NL80211_CMD_").items()}
ATTR = {v[len("NL80211_ATTR_"):]: k for k, v in uapi.names("nl80211_attrs", "NL80211_ATTR_").items()}


def nl80211_requests(pcap):
    """The nl80211 commands (and nlctrl lookups) the daemon sent, in order."""
    out = []
    for outgoing, raw in nl80211_check.records(pcap):
        if raw is None or len(raw) < 20:
            continue
        m = Msg(raw)
        if not (m.flags & 1):  # not a request
            continue
        if m.type == 0x10:
            out.append(("GETFAMILY", m))
        elif m.type >= 0x10:
            out.append((CMD.get(m.cmd, str(m.cmd)), m))
    return out


def check_capture(pcap):
    r = subprocess.run(["tshark", "-r", pcap, "-Y", "_ws.malformed"], capture_output=True, text=True, timeout=120)
    assert r.stdout.strip() == "", "tshark finds malformed messages:\n" + r.stdout
    r = subprocess.run(["/usr/bin/python3", os.path.join(HERE, "nl80211_check.py"), pcap], capture_output=True,
                       text=True, timeout=120)
    assert r.returncode == 0, "nl80211_check.py:\n" + r.stdout + r.stderr


def test_supplicant_runs_on_wlan0_through_nl80211_and_stops_cleanly(net):
    root = SandboxRoot(product="p304_wifi", device_addr=net.device_addr)
    d = None
    try:
        with open(root.file("/etc/params.dat"), "a") as f:
            f.write(" wifi = on\n wifi_mode = infra\n wifi_name = lab\n wifi_encrypt = none\n")
        os.makedirs(root.file("/run"), exist_ok=True)
        shutil.copy(os.path.join(FIXTURES, "default.conf"), root.file("/run/nlsim.conf"))
        d = Daemon(net, root)
        d.start()
        ctrl_path = root.file("/var/wifi/wlan0")
        d.wait_for(lambda: os.path.exists(ctrl_path), timeout=60, what="the supplicant's wlan0 socket")

        client = CtrlClient(root, ctrl_path)
        try:
            assert client.request("PING") == "PONG\n"
        finally:
            client.close()

        link = net.run_device("ip", "-d", "link", "show", "wlan0").stdout
        assert "mode DORMANT" in link, link

        pcap = root.file("/run/nlsim.pcap")
        reqs = nl80211_requests(pcap)
        names = [n for n, _ in reqs]
        # The family and its groups, then the radio, then the interface type and the
        # station's frame subscriptions in order.
        assert names[0] == "GETFAMILY", names[:10]
        first = {n: names.index(n) for n in ("GET_PROTOCOL_FEATURES", "GET_WIPHY", "GET_INTERFACE",
                                             "SET_INTERFACE", "REGISTER_FRAME")}
        assert first["GET_PROTOCOL_FEATURES"] < first["GET_WIPHY"] < first["GET_INTERFACE"] < \
            first["SET_INTERFACE"] < first["REGISTER_FRAME"], names
        wiphy = reqs[first["GET_WIPHY"]][1]
        assert wiphy.flags & 0x300 == 0x300 and wiphy.get(ATTR["SPLIT_WIPHY_DUMP"]) is not None
        matches = [m.get(ATTR["FRAME_MATCH"]) for n, m in reqs if n == "REGISTER_FRAME"]
        assert matches[:4] == [bytes([4, 10]), bytes([4, 11]), bytes([4, 12]), bytes([4, 13])], matches
        assert bytes([0x06]) in matches and bytes([0x7f, 0x50, 0x6f, 0x9a, 0x09]) in matches

        assert d.stop(signal.SIGTERM, timeout=60) == 0, d.output()
        check_capture(pcap)
    finally:
        if d:
            d.close()
        root.close()


# ------------------------------------------------------------ the back end alone on nlsim

DRIVER = os.path.join(BUILD, "tests", "unit", "nl80211_driver")
AP = "02:00:00:00:aa:01"


class DriverTool:
    """tests/tools/nl80211_driver in nlsim's namespace: commands in, events and answers out."""

    def __init__(self, sim):
        self.proc = subprocess.Popen(["ip", "netns", "exec", sim.ns, DRIVER, "wlan0"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True,
                                     env=dict(os.environ, QMR_NL80211_PORT=str(sim.port)))
        self.queue = queue.Queue()
        self.lines = []
        threading.Thread(target=self._read, daemon=True).start()
        self.expect(lambda l: l == "READY", "READY")

    def _read(self):
        for line in self.proc.stdout:
            self.queue.put(line.rstrip("\n"))
        self.queue.put(None)

    def expect(self, pred, what, timeout=30):
        """The first line (kept or new) that satisfies pred; it is consumed."""
        for i, l in enumerate(self.lines):
            if pred(l):
                return self.lines.pop(i)
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                l = self.queue.get(timeout=max(0.05, end - time.monotonic()))
            except queue.Empty:
                continue
            if l is None:
                raise AssertionError("the driver tool ended waiting for %s; had %r" % (what, self.lines))
            if pred(l):
                return l
            self.lines.append(l)
        raise AssertionError("no %s; had %r" % (what, self.lines))

    def event(self, name, timeout=30):
        return self.expect(lambda l: l == "EVENT " + name or l.startswith("EVENT %s " % name), name, timeout)

    def ask(self, line, timeout=30):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self.expect(lambda l: l == "OK" or l.startswith("FAIL"), "the answer to " + line, timeout)

    def line(self, line, prefix, timeout=30):
        """A command answered by one line that starts with prefix (or FAIL)."""
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self.expect(lambda l: l.startswith(prefix) or l.startswith("FAIL"), prefix, timeout)

    def block(self, line, timeout=30):
        """A command whose answer is lines up to END."""
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        out = []
        while True:
            l = self.expect(lambda x: not x.startswith("EVENT "), "the lines of " + line, timeout)
            if l == "END":
                return out
            out.append(l)

    def close(self):
        self.proc.stdin.close()
        try:
            return self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise


@pytest.fixture
def onsim():
    if os.geteuid() != 0:
        pytest.skip("nlsim tests need root for network namespaces")
    if not os.path.exists(DRIVER):
        pytest.skip("nl80211_driver not built")
    made = []

    def make(conf="default.conf", extra=""):
        sim = NlSim(conf, extra)
        made.append(sim)
        return sim

    yield make
    for sim in made:
        try:
            check_capture(sim.path("run/nlsim.pcap"))
        finally:
            sim.close()


def test_back_end_scans_joins_an_open_ap_and_hears_its_deauthentication(onsim):
    sim = onsim()
    sim.ok("ap add lab bssid=%s ssid=lab freq=2437 signal=-4500" % AP)
    t = DriverTool(sim)
    try:
        assert t.ask("scan") == "OK"
        t.event("SCAN_STARTED")
        assert t.event("SCAN_RESULTS") == "EVENT SCAN_RESULTS aborted=0 external=0"
        bss = [l for l in t.block("results") if l.startswith("BSS " + AP)]
        assert len(bss) == 1, bss
        _, _, freq, level, _, ies, _ = bss[0].split()
        assert (freq, level) == ("2437", "-45") and int(ies) > 0

        assert t.ask("auth %s 2437 lab" % AP) == "OK"
        assert t.event("AUTH") == "EVENT AUTH %s status=0" % AP
        assert t.ask("assoc %s 2437 lab" % AP) == "OK"
        assert t.event("ASSOC") == "EVENT ASSOC freq=2437"
        assert "associated=1" in t.block("status")
        assert "Connected to " + AP in sim.run("iw", "dev", "wlan0", "link").stdout
        assert t.ask("port 1") == "OK"
        sig = t.line("signal", "SIGNAL")
        assert sig.split()[1] == "-45" and sig.split()[4] == "2437", sig

        sim.ok("ap deauth lab reason=3")
        assert t.event("DEAUTH") == "EVENT DEAUTH %s reason=3 local=0" % AP
        assert "associated=0" in t.block("status")
    finally:
        assert t.close() == 0


def test_back_end_leaves_and_its_own_deauthentication_is_not_reported(onsim):
    sim = onsim()
    sim.ok("ap add lab bssid=%s ssid=lab freq=2412" % AP)
    t = DriverTool(sim)
    try:
        assert t.ask("scan") == "OK"
        t.event("SCAN_RESULTS")
        assert t.ask("auth %s 2412 lab" % AP) == "OK"
        t.event("AUTH")
        assert t.ask("assoc %s 2412 lab" % AP) == "OK"
        t.event("ASSOC")
        assert t.ask("deauth %s 3" % AP) == "OK"
        # Our own deauthentication comes back from the kernel once; it is no news.
        t.block("status")
        with pytest.raises(AssertionError):
            t.event("DEAUTH", timeout=3)
    finally:
        assert t.close() == 0


def test_back_end_reports_a_silent_ap_a_vanished_ap_and_the_link_going_down_and_up(onsim):
    sim = onsim()
    sim.ok("ap add quiet bssid=02:00:00:00:aa:02 ssid=quiet freq=2412 silent=1")
    sim.ok("ap add lab bssid=%s ssid=lab freq=2437" % AP)
    t = DriverTool(sim)
    try:
        assert t.ask("scan") == "OK"
        t.event("SCAN_RESULTS")
        # No answer to the authentication: the kernel gives up and says so.
        assert t.ask("auth 02:00:00:00:aa:02 2412 quiet") == "OK"
        assert t.event("AUTH_TIMED_OUT", timeout=60) == "EVENT AUTH_TIMED_OUT 02:00:00:00:aa:02"

        assert t.ask("auth %s 2437 lab" % AP) == "OK"
        t.event("AUTH")
        assert t.ask("assoc %s 2437 lab" % AP) == "OK"
        t.event("ASSOC")
        # The AP goes away: after its silence the kernel leaves on its own.
        sim.ok("ap del lab")
        assert t.event("DEAUTH", timeout=60) == "EVENT DEAUTH %s reason=4 local=1" % AP

        sim.plain("ip", "link", "set", "wlan0", "down")
        t.event("INTERFACE_DISABLED")
        sim.plain("ip", "link", "set", "wlan0", "up")
        t.event("INTERFACE_ENABLED")
    finally:
        assert t.close() == 0


def test_data_passes_only_while_associated_and_after_the_port_opens(onsim):
    sim = onsim()
    peer = sim.ns + "p"
    subprocess.run(["ip", "netns", "add", peer], check=True)
    t = None
    try:
        sim.ok("ap add lab bssid=%s ssid=lab freq=2412 netns=%s tap=aptap" % (AP, peer))
        subprocess.run(["ip", "-n", peer, "addr", "add", "198.19.78.2/24", "dev", "aptap"], check=True)
        subprocess.run(["ip", "-n", peer, "link", "set", "aptap", "up"], check=True)
        sim.plain("ip", "addr", "add", "198.19.78.1/24", "dev", "wlan0")
        t = DriverTool(sim)

        def ping():
            return sim.plain("ping", "-c", "1", "-W", "1", "198.19.78.2", check=False).returncode == 0

        assert not ping()
        assert t.ask("scan") == "OK"
        t.event("SCAN_RESULTS")
        assert t.ask("auth %s 2412 lab" % AP) == "OK"
        t.event("AUTH")
        assert t.ask("assoc %s 2412 lab" % AP) == "OK"
        t.event("ASSOC")
        # The association asks for a controlled port: only EAPOL until it opens.
        assert not ping()
        assert t.ask("port 1") == "OK"
        sim.wait_for(ping, timeout=30, what="a ping through the TAPs")
        sim.ok("ap deauth lab reason=3")
        t.event("DEAUTH")
        assert not ping()
    finally:
        if t:
            assert t.close() == 0
        subprocess.run(["ip", "netns", "del", peer], check=False)
