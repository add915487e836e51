"""The Wi-Fi manager against a scripted control socket: a Wi-Fi product with a wireless
adapter (a veth whose device end is wlan0) builds its network block command for command,
attaches as monitor and acts on the supplicant's events."""
import os
import struct
import subprocess

import pytest

from conftest import Daemon, SandboxRoot, sh, start_tcpdump
from wifi_peer import WifiPeer

BASE = " wifi = on\n wifi_mode = %s\n wifi_name = Home\n wifi_encrypt = AES2\n wifi_psk = secret phrase\n"


def add_wlan(net):
    tag = net.device[4:]
    a, b = "qw%sa" % tag, "qw%sb" % tag
    sh("ip", "link", "add", a, "type", "veth", "peer", "name", b)
    sh("ip", "link", "set", a, "netns", net.device)
    sh("ip", "link", "set", b, "netns", net.client)
    net.run_device("ip", "link", "set", a, "name", "wlan0")
    net.run_client("ip", "link", "set", b, "name", "wlan0")
    net.run_client("ip", "link", "set", "wlan0", "up")
    net.run_device("ip", "link", "set", "wlan0", "up")


def wifi_root(net, extra):
    root = SandboxRoot(product="p304_wifi", device_addr=net.device_addr)
    with open(root.file("/etc/params.dat"), "a") as f:
        f.write(extra)
    os.makedirs(root.file("/proc/net"), exist_ok=True)
    with open(root.file("/proc/net/wireless"), "w") as f:
        f.write("Inter-| sta-|   Quality        |   Discarded packets\n"
                " face | tus | link level noise |  nwid  crypt   frag\n"
                " wlan0: 0000   70.  -40.  -256.       0      0      0\n")
    return root


@pytest.fixture
def wifi(net):
    made = []

    def start(mode="infra", extra="", peer_setup=None, link=True):
        add_wlan(net)
        if not link:
            net.set_link(False)
        root = wifi_root(net, BASE % mode + extra)
        peer = WifiPeer(root.file("/var/wifi/wlan0"))
        if peer_setup:
            peer_setup(peer)
        d = Daemon(net, root)
        made.append((d, peer, root))
        d.start()
        return d, peer, root

    yield start
    for d, peer, root in made:
        d.close()
        peer.close()
        root.close()


def block_commands(peer):
    """The commands of the network block, from ADD_NETWORK to AP_SCAN."""
    peer.wait_command(lambda c: c.startswith("AP_SCAN"), timeout=60)
    cmds = peer.commands()
    start = cmds.index("ADD_NETWORK")
    end = max(i for i, c in enumerate(cmds) if c.startswith("AP_SCAN"))
    return cmds[start:end + 1]


def test_infra_builds_the_exact_block_and_runs_on_wlan0(wifi):
    d, peer, root = wifi(link=False)
    d.wait_output("alive on wlan0", timeout=60)
    assert "wifi:1" in d.output()
    assert block_commands(peer) == [
        "ADD_NETWORK", "SET_NETWORK 0 priority 10", "SET_NETWORK 0 key_mgmt WPA-PSK",
        'SET_NETWORK 0 ssid "Home"', "SET_NETWORK 0 scan_ssid 1", "SET_NETWORK 0 mode 0",
        "SET_NETWORK 0 group CCMP", "SET_NETWORK 0 pairwise CCMP", "SET_NETWORK 0 proto RSN",
        'SET_NETWORK 0 psk "secret phrase"', "ENABLE_NETWORK 0", "AP_SCAN 1"]
    assert peer.networks[0]["ssid"] == '"Home"'
    peer.wait_monitor()
    # The block goes over its own connection, not the monitor's.
    assert peer.senders_of("ATTACH") != peer.senders_of("ADD_NETWORK")
    # The wired port has no link, but it is not the one in use.
    assert "network link is down" not in root.moni_text()


def test_soft_ap_sets_up_the_access_point(wifi):
    d, peer, root = wifi(mode="softap")
    cmds = block_commands(peer)
    assert "SET_NETWORK 0 mode 0" not in cmds
    i = cmds.index("SET_NETWORK 0 scan_ssid 1")
    assert cmds[i + 1:i + 5] == ["SET device_name QMR-0304A1", "SET device_type 1-0050F204-1",
                                 "P2P_GROUP_ADD", "SCAN"]


def test_a_late_reply_is_taken_and_a_dropped_one_stops_the_build(wifi):
    d, peer, root = wifi(peer_setup=lambda p: p.delay.update({"SET_NETWORK 0 ssid": 1.5}))
    assert block_commands(peer)[-2:] == ["ENABLE_NETWORK 0", "AP_SCAN 1"]


def test_a_dropped_reply_stops_the_build_and_events_still_act(wifi):
    d, peer, root = wifi(peer_setup=lambda p: p.drop.add("SET_NETWORK 0 mode"))
    peer.wait_command(lambda c: c == "SET_NETWORK 0 mode 0")
    peer.wait_monitor()
    peer.bss["00:11:22:33:44:55"] = "id=5\nbssid=00:11:22:33:44:55\nfreq=2437\nssid=Cafe\n"
    peer.event("CTRL-EVENT-BSS-ADDED 5 00:11:22:33:44:55")
    peer.wait_command(lambda c: c == "BSS 00:11:22:33:44:55", timeout=30)
    assert not any(c.startswith("ENABLE_NETWORK") for c in peer.commands())
    # The query comes on a fresh connection, neither the monitor's nor the block's.
    query = peer.senders_of("BSS ")[0]
    assert query not in peer.senders_of("ATTACH") + peer.senders_of("ADD_NETWORK")


def wlan_led(d):
    """The Wi-Fi LED (line 3 of the LED record): "off", "on" or its blink pattern."""
    ok, lines = d.simctl("board")
    assert ok, lines
    for line in lines:
        if line.startswith("board_led_pattern 0.3 "):
            return line.split()[2]
    return "on" if "board_led 0.3 on" in lines else "off"


def wait_led(d, want):
    d.wait_for(lambda: wlan_led(d) == want, timeout=30, what="Wi-Fi LED %s (now %s)" % (want, wlan_led(d)))


def test_events_set_the_wifi_led_and_association_announces_the_address(wifi, net):
    d, peer, root = wifi()
    block_commands(peer)
    peer.wait_monitor()
    wait_led(d, "0x33333333")  # joining
    arp = start_tcpdump(net.client, "-i", "wlan0", "-c", "1", "arp")
    try:
        peer.event("CTRL-EVENT-CONNECTED - Connection to 00:11:22:33:44:55 completed")
        wait_led(d, "on")
        line, _ = arp.communicate(timeout=60)
        assert net.device_addr in line, line
    finally:
        if arp.poll() is None:
            arp.kill()
            arp.wait()
    for event, led in [("CTRL-EVENT-DISCONNECTED bssid=00:11:22:33:44:55 reason=3", "off"),
                       ("AP-STA-CONNECTED 02:00:00:00:00:09", "0x7f7f7f7f"),
                       ("P2P-GROUP-STARTED wlan0 GO ssid=\"x\"", "0x80808080"),
                       ("CTRL-EVENT-EAP-STARTED EAP authentication started", "0x80808080")]:
        peer.event(event)
        wait_led(d, led)


def test_each_association_starts_a_new_dhcp_discovery(wifi, net, tmp_path):
    """Connect, reconnect and roam each make the DHCP client start over with a DISCOVER
    that dnsmasq on the access point's side sees."""
    d, peer, root = wifi(extra=" ip_dhcp = on\n")
    net.run_client("ip", "addr", "add", "10.99.0.2/24", "dev", "wlan0")
    log = str(tmp_path / "dnsmasq.log")
    with open(log, "w") as out:
        server = subprocess.Popen(
            ["ip", "netns", "exec", net.client, "dnsmasq", "-d", "--port=0", "--interface=wlan0",
             "--bind-interfaces", "--conf-file=/dev/null", "--dhcp-leasefile=" + str(tmp_path / "leases"),
             "--pid-file=", "--dhcp-range=10.99.0.50,10.99.0.59,255.255.255.0,10m"],
            stdout=out, stderr=subprocess.STDOUT)
    count = lambda word: open(log).read().count(word + "(wlan0)")
    try:
        block_commands(peer)
        peer.wait_monitor()
        # The client's first run ends with a lease; from then on it only renews.
        d.wait_for(lambda: count("DHCPACK") >= 1, timeout=90, what="a first lease")
        for event in ["CTRL-EVENT-CONNECTED - Connection to 00:11:22:33:44:55 completed",
                      "CTRL-EVENT-DISCONNECTED bssid=00:11:22:33:44:55 reason=3",
                      "CTRL-EVENT-CONNECTED - Connection to 00:11:22:33:44:55 completed",
                      "CTRL-EVENT-CONNECTED - Connection to 00:11:22:33:44:66 completed"]:
            before, acks = count("DHCPDISCOVER"), count("DHCPACK")
            peer.event(event)
            if "DISCONNECTED" in event:
                continue
            d.wait_for(lambda: count("DHCPDISCOVER") > before, timeout=60, what="a DISCOVER after " + event)
            d.wait_for(lambda: count("DHCPACK") > acks, timeout=60, what="the lease after " + event)
    finally:
        server.terminate()
        server.wait()


def test_button_starts_a_push_button_run_in_soft_ap_mode(wifi):
    d, peer, root = wifi(mode="softap")
    block_commands(peer)
    peer.wait_monitor()
    # The board task opens the buttons in its own time.
    d.wait_for(lambda: d.simctl("button", "bytes", "0", "0")[0], timeout=30, what="button 0 to take the press")
    peer.wait_command(lambda c: c == "WPS_PBC")
    cmds = peer.commands()
    i = cmds.index("WPS_PBC")
    assert cmds[i - 2:i] == ["AP_SCAN 1", "P2P_GROUP_REMOVE wlan0"]
    wait_led(d, "0xaa")
    # A run that times out brings the access point back.
    n = len(cmds)
    peer.event("WPS-TIMEOUT ")
    d.wait_for(lambda: "P2P_GROUP_ADD" in peer.commands()[n:], timeout=30, what="P2P_GROUP_ADD again")
    wait_led(d, "0x80808080")


def credential_hex(ssid, auth, encr, key, idx=0, ssid_len=None):
    record = struct.pack("<32sIHHB64s3sI6s2sII", ssid, len(ssid) if ssid_len is None else ssid_len, auth, encr,
                         idx, key, b"", len(key), b"", b"", 0, 0)
    assert len(record) == 128
    return record.hex()


def test_a_received_credential_is_saved_and_the_appliance_restarts(wifi):
    d, peer, root = wifi(mode="softap")
    block_commands(peer)
    peer.wait_monitor()
    ok, lines = d.simctl("wifi", "cred", credential_hex(b"NewNet", 0x20, 0x08, b"new secret phrase"))
    assert ok, lines
    peer.event("WPS-CRED-RECEIVED 0x1234")
    assert d.proc.wait(60) == 0
    with open(root.file("/etc/params.dat")) as f:
        params = f.read()
    for line in ("wifi_mode = infra", "wifi_name = NewNet", "wifi_encrypt = AESTKIP2"):
        assert line in params, params
    assert "wifi_psk" in params and "new secret phrase" not in d.output()
    # The key is logged as a hidden parameter, its value never.
    assert "Parameter: hidden parameter wifi_psk was changed." in root.moni_text()
    assert "new secret phrase" not in root.moni_text()


def test_a_credential_longer_than_its_field_takes_nothing_over(wifi):
    d, peer, root = wifi(mode="softap")
    block_commands(peer)
    peer.wait_monitor()
    ok, lines = d.simctl("wifi", "cred", credential_hex(b"NewNet", 0x20, 0x08, b"new secret phrase", ssid_len=33))
    assert ok, lines
    peer.event("WPS-CRED-RECEIVED 0x1234")
    # Events after it are still acted on, and the daemon keeps running.
    peer.event("AP-STA-CONNECTED 02:00:00:00:00:09")
    wait_led(d, "0x7f7f7f7f")
    assert d.proc.poll() is None
    with open(root.file("/etc/params.dat")) as f:
        assert "NewNet" not in f.read()


# ---------------------------------------------------------------- web pages over wlan0

def web_over_wlan(d, net):
    """Moves the client's address to its wlan0 and waits until the web server answers there."""
    net.run_client("ip", "addr", "del", net.client_addr + "/24", "dev", "eth0")
    net.run_client("ip", "addr", "add", net.client_addr + "/24", "dev", "wlan0")

    def up():
        r = net.run_client("curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "2",
                           "http://%s/css/qmr.css" % net.device_addr, check=False)
        return r.stdout.strip() == "200"
    d.wait_for(up, timeout=60, what="the web server on wlan0")


def page(net, path):
    r = net.run_client("curl", "-s", "--max-time", "20", "http://%s%s" % (net.device_addr, path), check=False)
    return r.stdout


SCANNED = [
    # BSSID, BSS reply after the BSSID line
    ("00:11:22:33:44:55", "freq=5180\nlevel=-50\nnoise=-95\nflags=[WPA2-PSK-CCMP][ESS]\n"
                          "ssid=<script>alert('x')</script>\n"),
    ("00:11:22:33:44:66", "freq=2412\nlevel=-80\nnoise=-95\nflags=[IBSS]\nssid=Mesh & Co\n"),
    ("00:11:22:33:44:77", "freq=2462\nlevel=-40\nnoise=-95\nflags=[WPA2-PSK-CCMP][ESS][P2P]\n"),
]

LINK = ('<td><a class="btn tab" href="javascript:trans(%d)" onfocus="this.blur();"> '
        '<span class="ic fwd"></span>transfer</a></td></tr>\n')
SCAN_TABLE = (
    "COMPLETED|"
    '<tr><td><span class="wfl l8 tab"></span></td>\n'
    '<td id="WN1">&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;</td><td id="WE1">[WPA2-PSK-CCMP][ESS]</td>'
    '<td id="WB1"> 5GHz </td><td id="WF1">[ 36 / 5180]</td><td id="WI1">Infrastructure</td>\n' + LINK % 1 +
    '<tr><td><span class="wfl l4 tab"></span></td>\n'
    '<td id="WN2">Mesh &amp; Co</td><td id="WE2">[IBSS]</td>'
    '<td id="WB2"> 2.4GHz </td><td id="WF2">[  1 / 2412]</td><td id="WI2">AdHoc </td>\n<td></td></tr>\n'
    '<tr><td><span class="wfl l1 tab"></span></td>\n'
    '<td id="WN3">unknown</td><td id="WE3">[WPA2-PSK-CCMP][ESS][P2P]</td>'
    '<td id="WB3"> 2.4GHz </td><td id="WF3">[ 11 / 2462]</td><td id="WI3">SoftAP </td>\n' + LINK % 3)


def test_scan_page_waits_for_the_results_then_lists_them_and_the_wlan_page_shows_the_status(wifi, net):
    d, peer, root = wifi()
    block_commands(peer)
    peer.wait_monitor()
    peer.replies["STATUS-VERBOSE"] = ("bssid=00:11:22:33:44:55\nfreq=5180\nssid=<Home>\nid=0\nmode=station\n"
                                      "wpa_state=COMPLETED\np2p_device_address=02:00:00:00:00:01\n"
                                      "uuid=1234abcd-0000-0000-0000-000000000000\n")
    web_over_wlan(d, net)
    # A scan request answers at once that it is pending; a second one sends no second SCAN.
    assert page(net, "/network/wifis.html?scan=1") == "SCANNING|"
    assert page(net, "/network/wifis.html?scan=1") == "SCANNING|"
    assert page(net, "/network/wifis.html") == "SCANNING|"
    assert peer.commands().count("SCAN") == 1
    for i, (bssid, rest) in enumerate(SCANNED):
        peer.bss[bssid] = "id=%d\nbssid=%s\n%s" % (i, bssid, rest)
        peer.event("CTRL-EVENT-BSS-ADDED %d %s" % (i, bssid))
    peer.event("CTRL-EVENT-SCAN-RESULTS ")
    try:
        d.wait_for(lambda: page(net, "/network/wifis.html") == SCAN_TABLE, timeout=60, what="the scan table")
    except AssertionError:
        assert page(net, "/network/wifis.html") == SCAN_TABLE
    body = page(net, "/network/wlan.html")
    for shown in ("<td>COMPLETED</td>", "<td>&lt;Home&gt;</td>", "<td>-50 / -95</td>", "<td>5GHz / 36 / 5180</td>",
                  '<span class="wfl l8">'):
        assert shown in body, (shown, body[:3000])
    assert "<Home>" not in body
