"""The SNTP client against chronyd and a small server of our own, and the ARP-ping
address assignment against ping with a static neighbour entry."""
import os
import re
import subprocess
import time

import pytest

from conftest import Daemon
from test_dhcp import dnsmasq, param, params, peers  # noqa: F401 (fixture)

# 2024-01-01 00:00:00 UTC as SNTP and as Unix seconds.
NTP_2024 = 3913056000
UNIX_2024 = 1704067200

SERVER = r"""
import os, socket, struct, sys
trigger = sys.argv[2]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 123))
n = 0
while True:
    data, peer = s.recvfrom(512)
    n += 1
    print("request %d len %d first %#x" % (n, len(data), data[0]), flush=True)
    reply = bytearray(48)
    reply[0] = 0x1c
    reply[40:44] = struct.pack(">I", NTP_TS)
    if n == 1:
        s.sendto(bytes(reply[:47]), peer)
        s.sendto(bytes(reply) + b"x", peer)
    else:
        while not os.path.exists(trigger):
            pass
        s.sendto(bytes(reply), peer)
""".replace("NTP_TS", str(NTP_2024))


def clock(d):
    ok, lines = d.simctl("clock")
    assert ok, lines
    m = re.match(r"clock (\d+)\.(\d+) sets (\d+)", lines[0])
    return float(m.group(1) + "." + m.group(2)), int(m.group(3))


def test_replies_of_wrong_length_are_ignored_and_a_good_one_sets_the_clock(net, root, peers):  # noqa: F811
    params(root, "ip_addr = %s\nip_dhcp = off\nntp_server = %s\n" % (net.device_addr, net.client_addr))
    trigger = root.file("/tmp/answer")
    server = peers(net, root.file("/tmp/sntp.log"), "/usr/bin/python3", "-c", SERVER, net.client_addr, trigger)
    d = Daemon(net, root).start()
    try:
        d.wait_for(lambda: "request 2 len 48 first 0xb" in server.output(), timeout=40,
                   what="the retry after the bad replies")
        assert "request 1 len 48 first 0xb" in server.output()
        assert clock(d)[1] == 0 and param(root, "ntp_done") in (None, "off")
        open(trigger, "w").close()
        d.wait_for(lambda: clock(d)[1] == 1, timeout=20, what="the clock set")
        ok, state = d.simctl("state")
        assert "clock_last %d" % UNIX_2024 in state
        assert UNIX_2024 <= clock(d)[0] < UNIX_2024 + 60
        d.wait_for(lambda: param(root, "ntp_done") == "on", timeout=10, what="ntp_done")
        # The real-time clock got the local time of the default zone (CET in winter).
        assert "rtc 2024-01-01 01:00:00" in state
    finally:
        d.close()


def test_dhcp_time_server_option_restarts_sync_with_chronyd(net, root, peers):  # noqa: F811
    conf = root.file("/tmp/chrony.conf")
    with open(conf, "w") as f:
        f.write("local stratum 8\nallow all\ncmdport 0\npidfile %s\n" % root.file("/tmp/chronyd.pid"))
    peers(net, root.file("/tmp/chrony.log"), "chronyd", "-d", "-x", "-f", conf)
    params(root, "ntp_server = \n")
    d = Daemon(net, root).start()
    try:
        # An appliance clock far off, until the time server sets it. The DHCP server
        # starts only then, so the time server is not known before.
        ok, _ = d.simctl("clock", "set", "1000000000")
        assert ok
        dnsmasq(peers, net, root, "--dhcp-option=option:ntp-server," + net.client_addr)
        d.wait_for(lambda: param(root, "ntp_server") == net.client_addr, timeout=40, what="option 42")
        d.wait_for(lambda: clock(d)[1] >= 1, timeout=30, what="the clock set from chronyd")
        # Within a second of the server's (the host's) time while simctl read it.
        before = time.time()
        now = clock(d)[0]
        assert before - 1.0 < now < time.time() + 1.0
        d.wait_for(lambda: param(root, "ntp_done") == "on", timeout=10, what="ntp_done")
    finally:
        d.close()


def test_ping_to_the_appliance_mac_gives_it_the_address(net, root):
    params(root, "ip_dhcp = off\n")
    d = Daemon(net, root).start()
    try:
        d.wait_for(lambda: "### ZeroConf IP:169.254." in d.output(), timeout=40, what="ZeroConf")
        mac = net.run_device("cat", "/sys/class/net/eth0/address").stdout.strip()
        wanted = net.subnet + ".77"
        net.run_client("ip", "neigh", "replace", wanted, "lladdr", mac, "dev", "eth0", "nud", "permanent")
        # Pings to a broadcast, multicast or link-local address change nothing.
        net.run_client("ping", "-c", "1", "-W", "1", "198.18.255.255", check=False)
        # Nor does a ping in a frame to the broadcast MAC address (as a broadcast ping of
        # a subnet narrower than /24 travels): it is not addressed to the appliance.
        stray = net.subnet + ".66"
        net.run_client("ip", "neigh", "replace", stray, "lladdr", "ff:ff:ff:ff:ff:ff", "dev", "eth0", "nud",
                       "permanent")

        def pinged():
            net.run_client("ping", "-c", "1", "-W", "1", stray, check=False)
            net.run_client("ping", "-c", "1", "-W", "1", wanted, check=False)
            return param(root, "ip_addr") == wanted

        d.wait_for(pinged, timeout=30, what="the address taken from the ping")
        assert param(root, "ip_setby") == "ping" and param(root, "ip_pfxlen") == "24"
        assert wanted + "/24" in net.run_device("ip", "-o", "-4", "addr", "show", "dev", "eth0").stdout
        d.wait_for(lambda: 'Parameter: ip_addr was changed:"%s"' % wanted in root.moni_text(), timeout=10,
                   what="the log line")
        net.run_client("ping", "-c", "1", "-W", "5", wanted)
    finally:
        d.close()
