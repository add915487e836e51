"""The supplicant on the wired port: qmr with an 802.1X authentication type runs it for
eth0; a client of its control socket drives it as the Wi-Fi manager does, monitors get
event lines, and a stop tears it down in order."""
import os
import socket
import stat
import subprocess
import time

import pytest

from conftest import BUILD, Daemon, SandboxRoot

PAE_GROUP = "01:80:c2:00:00:03"


class CtrlClient:
    """A unix datagram client of a control socket; event lines are kept apart from replies."""

    _n = 0

    def __init__(self, root, path):
        CtrlClient._n += 1
        self.local = root.file("/tmp/c%d-%d" % (os.getpid() % 10000, CtrlClient._n))
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.local)
        self.sock.connect(path)
        self.events = []

    def request(self, cmd, timeout=10.0):
        self.sock.send(cmd.encode())
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            self.sock.settimeout(max(0.05, end - time.monotonic()))
            data = self.sock.recv(8192).decode(errors="replace")
            if data.startswith("<") or data.startswith("IFNAME="):
                self.events.append(data)
                continue
            return data
        raise AssertionError("no reply to %r" % cmd)

    def wait_event(self, text, timeout=10.0):
        end = time.monotonic() + timeout
        while True:
            for e in self.events:
                if text in e:
                    return e
            if time.monotonic() > end:
                raise AssertionError("no event %r; got %r" % (text, self.events))
            self.sock.settimeout(max(0.05, end - time.monotonic()))
            try:
                self.events.append(self.sock.recv(8192).decode(errors="replace"))
            except socket.timeout:
                pass

    def close(self):
        self.sock.close()
        try:
            os.unlink(self.local)
        except FileNotFoundError:
            pass


def maddrs(net):
    return net.run_device("ip", "maddr", "show", "dev", "eth0").stdout


@pytest.fixture
def wired(net, root):
    with open(root.file("/etc/params.dat"), "a") as f:
        f.write(" auth_typ = MD5\n")
    d = Daemon(net, root)
    yield d
    d.close()


def ctrl_path(root):
    return root.file("/var/wifi/eth0")


def start_wired(d, root):
    d.start()
    d.wait_for(lambda: os.path.exists(ctrl_path(root)), timeout=40, what="the control socket")


def test_control_socket_answers_the_managers_commands_and_monitors_get_lines(wired, net, root):
    start_wired(wired, root)
    assert stat.S_IMODE(os.stat(ctrl_path(root)).st_mode) == 0o770
    assert stat.S_IMODE(os.stat(root.file("/var/wpactrl")).st_mode) == 0o700
    c = CtrlClient(root, ctrl_path(root))
    try:
        assert c.request("ATTACH") == "OK\n"
        assert c.request("PING") == "PONG\n"
        assert c.request("ping") == "UNKNOWN COMMAND\n"
        assert c.request("IFNAME") == "eth0"
        assert c.request("GET version") == "2.6-sys-rq9_0.0.1.voskaril_rq9_Force_2.5G-dev"
        assert c.request("LOG_LEVEL") == "Current level: EXCESSIVE\nTimestamp: 0\n"
        assert c.request("LOG_LEVEL DEBUG 1") == "OK\n"
        assert c.request("LOG_LEVEL") == "Current level: DEBUG\nTimestamp: 1\n"
        assert c.request("LOG_LEVEL LOUD") == "FAIL\n"
        assert c.request("RELOGIN") == "OK\n"
        # The wired driver selects itself: nothing is scanned. The start-up's own scan work
        # may still sit in the radio queue on a loaded machine, and SCAN then says FAIL-BUSY.
        wired.wait_for(lambda: c.request("SCAN") == "OK\n", timeout=30, what="SCAN accepted")

        # The Wi-Fi manager builds its block as network 0 and enables it; the network
        # commands below come after it.
        wired.wait_for(lambda: c.request("GET_NETWORK 0 key_mgmt") == "IEEE8021X", timeout=30,
                       what="the manager's network block")
        assert c.request("GET_NETWORK 0 priority") == "10"
        wired.wait_for(lambda: "0\t\tany\t[CURRENT]\n" in c.request("LIST_NETWORKS"), timeout=30,
                       what="the manager's network enabled on the wired port")
        assert c.request("ADD_NETWORK") == "1\n"
        for field, value in [("ssid", '"lab net"'), ("key_mgmt", "IEEE8021X"), ("eap", "MD5"),
                             ("identity", '"user"'), ("password", '"secret"'), ("eapol_flags", "0"),
                             ("priority", "5"), ("scan_ssid", "1"), ("bgscan", '"simple:30:-65:300"')]:
            assert c.request("SET_NETWORK 1 %s %s" % (field, value)) == "OK\n", field
        assert c.request("SET_NETWORK 1 ssid") == "FAIL\n"
        assert c.request("SET_NETWORK 1 scan_ssid 2") == "FAIL\n"
        assert c.request("SET_NETWORK 7 ssid \"x\"") == "FAIL\n"
        assert c.request("GET_NETWORK 1 ssid") == '"lab net"'
        assert c.request("GET_NETWORK 1 password") == "*"
        assert c.request("GET_NETWORK 1 key_mgmt") == "IEEE8021X"
        assert c.request("ADD_NETWORK") == "2\n"
        assert c.request("LIST_NETWORKS") == ("network id / ssid / bssid / flags\n"
                                              "0\t\tany\t[CURRENT]\n"
                                              "1\tlab net\tany\t[DISABLED]\n"
                                              "2\t\tany\t[DISABLED]\n")
        assert c.request("ENABLE_NETWORK 1") == "OK\n"
        assert c.request("LIST_NETWORKS LAST_ID=1") == ("network id / ssid / bssid / flags\n"
                                                        "2\t\tany\t[DISABLED]\n")
        assert c.request("REMOVE_NETWORK 2") == "OK\n"
        assert c.request("REMOVE_NETWORK 2") == "FAIL\n"
        assert c.request("AP_SCAN 0") == "OK\n"
        assert c.request("AP_SCAN 3") == "FAIL\n"
        dump = c.request("DUMP")
        assert "ctrl_interface=/var/wifi\n" in dump and "ap_scan=0\n" in dump

        # Levels: a refused age is an ERROR line, the accepted one a DEBUG line that only
        # reaches a monitor that asked for level 2.
        assert c.request("BSS_EXPIRE_AGE 9") == "FAIL\n"
        assert c.wait_event("Invalid bss expiration age 9") == "<5>Invalid bss expiration age 9"
        assert c.request("BSS_EXPIRE_AGE 10") == "OK\n"
        assert c.request("LEVEL 2") == "OK\n"
        assert c.request("BSS_EXPIRE_AGE 11") == "OK\n"
        assert c.wait_event("Setting bss expiration age: 11") == "<2>Setting bss expiration age: 11 sec"
        assert not any("age: 10" in e for e in c.events)
        assert c.request("DETACH") == "OK\n"
        assert c.request("DETACH") == "FAIL\n"
    finally:
        c.close()


def test_scan_table_status_and_radio_work_words_over_the_socket(wired, net, root):
    start_wired(wired, root)
    c = CtrlClient(root, ctrl_path(root))
    try:
        assert c.request("ATTACH") == "OK\n"
        # The wired port runs with ap_scan 0: a scan request is taken and nothing is scanned
        # (FAIL-BUSY only while the start-up's own scan work still waits in the radio queue).
        wired.wait_for(lambda: c.request("SCAN") == "OK\n", timeout=30, what="SCAN accepted")
        assert c.request("SCAN_RESULTS") == "bssid / frequency / signal level / flags / ssid\n"
        for cmd, reply in [("BSS RANGE=ALL MASK=0x21000", ""), ("BSS FIRST", ""), ("BSS ID-7", ""),
                           ("BSS_FLUSH 0", "OK\n"), ("BSS_FLUSH x", "FAIL\n"), ("BSS_EXPIRE_COUNT 1", "OK\n"),
                           ("DRIVER_FLAGS", "0000000000000010:\nWIRED\n"),
                           ("INTERFACES", "eth0\n"), ("INTERFACES ctrl", "eth0 ctrl_iface=/var/wifi\n"),
                           ("GET_CAPABILITY pairwise junk", "FAIL\n"), ("GET_CAPABILITY eap", "MD5 TLS MSCHAPV2 PEAP TTLS GTC OTP LEAP FAST"),
                           ("SET uapsd 1,0,1,0", "OK\n"), ("SET setband 6G", "FAIL\n"),
                           ("SET sched_scan_plans 10:0 60", "FAIL\n"), ("SET sched_scan_plans 10:3 60", "OK\n"),
                           ("SIGNAL_POLL", "FAIL\n"), ("PKTCNT_POLL", "FAIL\n"),
                           ("VENDOR_ELEM_ADD 14 dd0411223344", "OK\n"), ("VENDOR_ELEM_GET 14", "dd0411223344"),
                           ("VENDOR_ELEM_ADD 15 dd00", "FAIL\n")]:
            assert c.request(cmd) == reply, cmd
        assert c.request("GET sched_scan_plans") == "10:3 60"

        # The address line comes from the kernel's view of the port.
        mac = net.run_device("cat", "/sys/class/net/eth0/address").stdout.strip()
        status = c.request("STATUS")
        assert "wpa_state=" in status and ("address=%s\n" % mac) in status

        # An external radio work starts at once and times out by itself.
        assert c.request("RADIO_WORK add probe timeout=1") == "1"
        assert c.wait_event("EXT-RADIO-WORK-START") == "<3>EXT-RADIO-WORK-START 1"
        assert c.request("RADIO_WORK show").startswith("ext:probe@eth0:0:1:")
        assert c.wait_event("EXT-RADIO-WORK-TIMEOUT") == "<3>EXT-RADIO-WORK-TIMEOUT 1"
        assert c.request("RADIO_WORK done 1") == "FAIL\n"
        assert c.request("RADIO_WORK add second") == "2"
        assert c.wait_event("EXT-RADIO-WORK-START 2") == "<3>EXT-RADIO-WORK-START 2"
        assert c.request("RADIO_WORK done 2") == "OK\n"
        assert c.request("RADIO_WORK show") == ""
    finally:
        c.close()


def test_paused_monitor_gets_its_lines_in_order_and_the_socket_stays(wired, net, root):
    start_wired(wired, root)
    inode = os.stat(ctrl_path(root)).st_ino
    active = CtrlClient(root, ctrl_path(root))
    paused = CtrlClient(root, ctrl_path(root))
    try:
        assert active.request("ATTACH") == "OK\n"
        assert paused.request("ATTACH") == "OK\n"
        # Far more lines than the paused monitor's socket queue holds.
        for i in range(60):
            assert active.request("SCAN_INTERVAL -%d" % (i + 1)) == "FAIL\n"
        lines = []
        end = time.monotonic() + 30
        while len(lines) < 60 and time.monotonic() < end:
            paused.sock.settimeout(5)
            try:
                lines.append(paused.sock.recv(4096).decode())
            except socket.timeout:
                break
        assert lines == ["<5>Invalid scan interval -%d" % (i + 1) for i in range(60)]
        assert os.stat(ctrl_path(root)).st_ino == inode
        assert active.request("PING") == "PONG\n"
    finally:
        active.close()
        paused.close()


@pytest.mark.parametrize("auth", ["MD5", "PEAP"])
def test_the_managers_block_stands_whole_in_the_supplicant(net, root, auth):
    with open(root.file("/etc/params.dat"), "a") as f:
        f.write(" auth_typ = %s\n auth_name = lab user\n auth_pwd = lab secret\n" % auth)
    d = Daemon(net, root)
    try:
        start_wired(d, root)
        c = CtrlClient(root, ctrl_path(root))
        try:
            d.wait_for(lambda: c.request("GET_NETWORK 0 key_mgmt") == "IEEE8021X", timeout=30,
                       what="the manager's network block")
            # The manager's block on the wired port: priority and key management are
            # taken; the EAP method is refused (none is registered yet), so the block
            # stops there, is never enabled and the scan mode stays the default.
            # The manager's block on the wired port, whole: the supplicant takes every
            # field, hides the password, runs the port without scanning (ap_scan 0) and
            # the block is the current one.
            d.wait_for(lambda: "[CURRENT]" in c.request("LIST_NETWORKS"), timeout=30,
                       what="the manager's network enabled")
            for field, value in [("priority", "10"), ("key_mgmt", "IEEE8021X"), ("eap", auth),
                                 ("identity", '"lab user"'), ("password", "*"), ("ssid", "FAIL\n")]:
                assert c.request("GET_NETWORK 0 %s" % field) == value, field
            assert c.request("LIST_NETWORKS") == "network id / ssid / bssid / flags\n0\t\tany\t[CURRENT]\n"
            assert c.request("GET ap_scan") == "0"
        finally:
            c.close()
        assert d.stop() == 0
    finally:
        d.close()


def _long_press(d):
    """A long press of button 0 (factory reset): a ShutDown for a cold restart."""
    d.wait_for(lambda: d.simctl("button", "long", "0")[1][:1] == ["delivered 1"], timeout=60,
               what="button 0 to take the press")
    return d.proc.wait(60)


@pytest.mark.parametrize("stop, status", [(lambda d: d.stop(), 0), (_long_press, 2)], ids=["sigterm", "shutdown"])
def test_stop_sends_terminating_and_removes_sockets_and_membership(wired, net, root, stop, status):
    start_wired(wired, root)
    wired.wait_for(lambda: PAE_GROUP in maddrs(net), what="the PAE group membership")
    mon = CtrlClient(root, ctrl_path(root))
    glob = CtrlClient(root, root.file("/var/wpactrl"))
    try:
        assert mon.request("ATTACH") == "OK\n"
        assert glob.request("ATTACH") == "OK\n"
        assert glob.request("PING") == "UNKNOWN COMMAND\n"
        # The daemon ends with its own exit status, the supplicant torn down in order.
        assert stop(wired) == status, wired.output()
        assert mon.wait_event("TERMINATING") == "<3>CTRL-EVENT-TERMINATING "
        assert glob.wait_event("TERMINATING") == "IFNAME=eth0 <3>CTRL-EVENT-TERMINATING "
        assert not os.path.exists(ctrl_path(root))
        assert not os.path.exists(root.file("/var/wpactrl"))
        assert PAE_GROUP not in maddrs(net)
    finally:
        mon.close()
        glob.close()


def test_stale_socket_file_is_replaced(wired, net, root):
    os.makedirs(root.file("/var/wifi"), exist_ok=True)
    stale = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    stale.bind(ctrl_path(root))
    stale.close()  # the file stays behind, nobody serves it
    wired.start()
    wired.wait_for(lambda: _pings(root), timeout=40, what="an answer on the replaced socket")


def _pings(root):
    try:
        c = CtrlClient(root, ctrl_path(root))
    except OSError:
        return False
    try:
        return c.request("PING", timeout=1) == "PONG\n"
    except (AssertionError, OSError):
        return False
    finally:
        c.close()


def test_live_socket_is_left_alone(wired, net, root):
    os.makedirs(root.file("/var/wifi"), exist_ok=True)
    live = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    live.bind(ctrl_path(root))
    try:
        wired.start()
        wired.wait_output("start supplicant", timeout=40)
        # The supplicant gave up on the path; give it time to have done anything else.
        wired.wait_for(lambda: PAE_GROUP not in maddrs(net) and "start supplicant" in wired.output(),
                       what="the supplicant to give up")
        probe = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        probe.sendto(b"still mine", ctrl_path(root))
        live.settimeout(10)
        # The Wi-Fi manager talks to whoever serves the path; its commands come too.
        got = [live.recv(100)]
        while got[-1] != b"still mine" and len(got) < 50:
            got.append(live.recv(100))
        assert got[-1] == b"still mine"
        probe.close()
        assert wired.stop() == 0
    finally:
        live.close()


# ---------------------------------------------------------------- the wired back end alone

DRIVER = os.path.join(BUILD, "tests", "unit", "wired_driver")


class DriverTool:
    """tests/tools/wired_driver in the device namespace: one back-end side, events on stdout."""

    def __init__(self, net, mode):
        import queue
        import threading
        self.proc = subprocess.Popen(["ip", "netns", "exec", net.device, DRIVER, mode, "eth0"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.queue = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self.expect("READY")

    def _read(self):
        for line in self.proc.stdout:
            self.queue.put(line.strip())

    def expect(self, prefix, timeout=20.0):
        import queue
        try:
            line = self.queue.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("no %r from the driver tool" % prefix)
        assert line.startswith(prefix), line
        return line

    def stop(self):
        self.proc.stdin.close()
        return self.proc.wait(20)


@pytest.fixture
def tool_net(net):
    if not os.path.exists(DRIVER):
        pytest.skip("wired_driver not built")
    yield net


def test_station_side_joins_the_pae_group_only_while_running(tool_net):
    net = tool_net
    assert PAE_GROUP not in maddrs(net)
    t = DriverTool(net, "sta")
    assert PAE_GROUP in maddrs(net)
    assert t.stop() == 0
    assert PAE_GROUP not in maddrs(net)


def test_station_side_brings_a_down_port_up_and_back_down(tool_net):
    net = tool_net
    net.run_device("ip", "link", "set", "eth0", "down")
    t = DriverTool(net, "sta")
    assert ",UP" in net.run_device("ip", "link", "show", "eth0").stdout
    assert t.stop() == 0
    assert ",UP" not in net.run_device("ip", "link", "show", "eth0").stdout


def _peer_send_pae(net, src_mac, body):
    script = (
        "import socket,sys\n"
        "s=socket.socket(socket.AF_PACKET,socket.SOCK_RAW)\n"
        "s.bind(('eth0',0))\n"
        "dst=bytes.fromhex('0180c2000003')\n"
        "src=bytes.fromhex(sys.argv[1].replace(':',''))\n"
        "s.send(dst+src+b'\\x88\\x8e'+bytes.fromhex(sys.argv[2]))\n")
    net.run_client("python3", "-c", script, src_mac, body)


def test_access_point_side_delivers_pae_frames_and_dhcp_stations(tool_net):
    net = tool_net
    net.run_device("ip", "addr", "add", net.subnet + ".1/24", "dev", "eth0")
    t = DriverTool(net, "ap")
    try:
        _peer_send_pae(net, "02:11:22:33:44:55", "0101000500")
        assert t.expect("EVENT NEW_STA") == "EVENT NEW_STA 02:11:22:33:44:55"
        assert t.expect("EVENT EAPOL_RX") == "EVENT EAPOL_RX 02:11:22:33:44:55 0101000500"
        # A BOOTP/DHCP datagram of 43 bytes is too short; one of 44 names its client.
        script = ("import socket,sys\n"
                  "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                  "s.setsockopt(socket.SOL_SOCKET,socket.SO_BROADCAST,1)\n"
                  "s.setsockopt(socket.SOL_SOCKET,socket.SO_BINDTODEVICE,b'eth0')\n"
                  "n=int(sys.argv[1])\n"
                  "d=bytearray(n)\n"
                  "d[28:34]=bytes.fromhex(sys.argv[2])\n"
                  "s.sendto(bytes(d),('255.255.255.255',67))\n")
        net.run_client("python3", "-c", script, "43", "020000000043")
        net.run_client("python3", "-c", script, "44", "02aabbccddee")
        assert t.expect("EVENT NEW_STA") == "EVENT NEW_STA 02:aa:bb:cc:dd:ee"
    finally:
        assert t.stop() == 0


def test_operational_state_follows_the_request(tool_net):
    net = tool_net
    for state, shown in (("dormant", "state DORMANT"), ("up", "state UP")):
        r = net.run_device(DRIVER, "operstate", "eth0", state)
        assert r.stdout.strip() == "READY"
        assert shown in net.run_device("ip", "link", "show", "eth0").stdout


def test_access_point_side_sends_eapol_to_the_station(tool_net):
    net = tool_net
    mac = net.run_device("cat", "/sys/class/net/eth0/address").stdout.strip()
    script = ("import socket\n"
              "s=socket.socket(socket.AF_PACKET,socket.SOCK_RAW,socket.htons(0x888e))\n"
              "s.bind(('eth0',0))\n"
              "s.settimeout(20)\n"
              "print('LISTENING',flush=True)\n"
              "print(s.recv(200)[:19].hex(),flush=True)\n")
    peer = subprocess.Popen(["ip", "netns", "exec", net.client, "python3", "-c", script],
                            stdout=subprocess.PIPE, text=True)
    try:
        assert peer.stdout.readline().strip() == "LISTENING"
        t = DriverTool(net, "ap")
        t.proc.stdin.write("SEND 02:11:22:33:44:55 0100000101\n")
        t.proc.stdin.flush()
        assert t.expect("SENT") == "SENT 19"
        frame = peer.stdout.readline().strip()
        assert frame == "021122334455" + mac.replace(":", "") + "888e" + "0100000101"
        assert t.stop() == 0
    finally:
        peer.kill()
        peer.wait()


def test_bridge_helpers_make_join_name_and_remove_a_bridge(tool_net):
    net = tool_net

    def tool(*args):
        return net.run_device(DRIVER, "bridge", *args, check=False).stdout.strip()

    assert tool("of", "eth0") == "bridge - master -"
    assert tool("add", "br9") == "OK"
    assert "br9" in net.run_device("ip", "link", "show", "br9").stdout
    assert tool("addif", "br9", "eth0") == "OK"
    assert "master br9" in net.run_device("ip", "link", "show", "eth0").stdout
    assert tool("of", "eth0") == "bridge br9 master br9"
    assert tool("delif", "br9", "eth0") == "OK"
    assert "master" not in net.run_device("ip", "link", "show", "eth0").stdout
    assert tool("of", "eth0") == "bridge - master -"
    assert tool("del", "br9") == "OK"
    assert net.run_device("ip", "link", "show", "br9", check=False).returncode != 0
    # A port of no bridge and a bridge that does not exist are refused.
    assert tool("delif", "br9", "eth0") == "FAILED"
    assert tool("del", "br9") == "FAILED"


def test_access_point_side_eapol_bytes_as_tcpdump_shows_them(tool_net):
    net = tool_net
    mac = net.run_device("cat", "/sys/class/net/eth0/address").stdout.strip()
    dump = subprocess.Popen(["ip", "netns", "exec", net.client, "tcpdump", "-i", "eth0", "-n", "-l", "-xx",
                             "-c", "1", "ether", "proto", "0x888e"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        # tcpdump says on standard error when it captures.
        for _ in range(5):
            if "listening on" in dump.stderr.readline():
                break
        else:
            raise AssertionError("tcpdump did not start capturing")
        t = DriverTool(net, "ap")
        t.proc.stdin.write("SEND 02:11:22:33:44:55 0203005f02\n")
        t.proc.stdin.flush()
        assert t.expect("SENT") == "SENT 19"
        out, _ = dump.communicate(timeout=20)
        assert t.stop() == 0
    finally:
        if dump.poll() is None:
            dump.kill()
            dump.wait()
    # "-xx" lines: "\t0x0000:  0211 2233 4455 ..."; the frame starts at the link header.
    hexdump = "".join("".join(line.split(":", 1)[1].split()) for line in out.splitlines()
                      if line.strip().startswith("0x"))
    assert hexdump[:38] == "021122334455" + mac.replace(":", "") + "888e" + "0203005f02"
