"""The supplicant's nl80211 back end on nlsim: a Wi-Fi product (304) whose sandbox holds
run/nlsim.conf starts the supplicant on wlan0 through nl80211; the capture shows the
start-up requests in order, the link is dormant, the control socket answers and a stop
ends the daemon cleanly."""
import os
import shutil
import signal
import struct
import subprocess

from conftest import Daemon, SandboxRoot
from nlclient import Msg
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
