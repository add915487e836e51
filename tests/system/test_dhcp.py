"""The DHCP/BOOTP client against dnsmasq in the client namespace.

The appliance starts without an address (so on ZeroConf) with DHCP on; dnsmasq serves
the client's /24 of the test network. tcpdump in the client namespace shows how each
request travelled (broadcast from 0.0.0.0 or unicast from the leased address).
"""
import os
import re
import signal
import subprocess
import time

import pytest

from conftest import Daemon


def params(root, text):
    with open(root.file("/etc/params.dat"), "w") as f:
        f.write("monitoring = on\nmoniflags = 31\n" + text)


def param(root, name):
    """The value of a parameter in the saved parameter file, None when absent."""
    try:
        with open(root.file("/etc/params.dat")) as f:
            for line in f:
                key, _, value = line.partition("=")
                if key.strip() == name:
                    return value.strip()
    except FileNotFoundError:
        pass
    return None


class Peer:
    """A process in the client namespace, stopped at the end."""

    def __init__(self, net, log, *cmd):
        self.log = log
        with open(log, "a") as out:
            self.proc = subprocess.Popen(["ip", "netns", "exec", net.client, *cmd],
                                         stdout=out, stderr=subprocess.STDOUT)

    def output(self):
        with open(self.log) as f:
            return f.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


@pytest.fixture
def peers():
    started = []

    def start(net, log, *cmd):
        p = Peer(net, log, *cmd)
        started.append(p)
        return p

    yield start
    for p in started:
        p.stop()


def dnsmasq(peers, net, root, *extra):
    leases = root.file("/tmp/dnsmasq.leases")
    return peers(net, root.file("/tmp/dnsmasq.log"), "dnsmasq", "-d", "--port=0", "--interface=eth0", "--bind-interfaces",
                 "--conf-file=/dev/null", "--dhcp-leasefile=" + leases, "--pid-file=",
                 "--dhcp-range=%s.50,%s.59,255.255.255.0,2m" % (net.subnet, net.subnet),
                 "--dhcp-option=option:router," + net.client_addr,
                 "--dhcp-option=option:dns-server,%s,%s.3" % (net.client_addr, net.subnet),
                 "--dhcp-option=option:domain-name,lab.test", *extra)


def leased(root, net):
    addr = param(root, "ip_addr")
    return param(root, "ip_setby") == "dhcp" and addr is not None and addr.startswith(net.subnet + ".5")


def test_lease_sets_address_parameters_and_resolver(net, root, peers):
    params(root, "ip_pfxlen = 16\n")
    dnsmasq(peers, net, root)
    d = Daemon(net, root).start()
    try:
        d.wait_for(lambda: leased(root, net), timeout=40, what="a lease in the parameter file")
        addr = param(root, "ip_addr")
        assert param(root, "ip_dhcp_addr") == addr
        assert param(root, "ip_router") == net.client_addr
        assert param(root, "ip_pfxlen") == "24"
        assert param(root, "dns_primary") == net.client_addr
        assert param(root, "dns_secondary") == net.subnet + ".3"
        assert param(root, "dns_domain") == "lab.test"
        shown = net.run_device("ip", "-o", "-4", "addr", "show", "dev", "eth0").stdout
        assert addr + "/24" in shown
        assert re.search(r"default via %s dev eth0" % re.escape(net.client_addr),
                         net.run_device("ip", "-4", "route").stdout)
        # The supervisor rewrites the resolver file after the change.
        resolv = root.file("/etc/resolv.conf")
        d.wait_for(lambda: os.path.exists(resolv) and "lab.test" in open(resolv).read(), timeout=20,
                   what="the resolver file")
        text = open(resolv).read()
        assert "nameserver %s\n" % net.client_addr in text and "nameserver %s.3\n" % net.subnet in text
        net.run_client("ping", "-c", "1", "-W", "5", addr)
    finally:
        d.close()


class Capture:
    """tcpdump in the client namespace: the requests that reach the server's port."""

    def __init__(self, peers, net, root):
        self.path = root.file("/tmp/requests.txt")
        self.file = open(self.path, "w")
        self.err_path = root.file("/tmp/tcpdump.err")
        self.err = open(self.err_path, "w")
        self.proc = subprocess.Popen(["ip", "netns", "exec", net.client, "tcpdump", "-i", "eth0", "-n", "-l",
                                      "-Q", "in", "udp dst port 67"], stdout=self.file, stderr=self.err)
        # Requests sent before tcpdump listens would be missed.
        end = time.monotonic() + 10
        while time.monotonic() < end and "listening on" not in open(self.err_path).read():
            time.sleep(0.05)

    def lines(self):
        self.file.flush()
        with open(self.path) as f:
            return [l for l in f.read().splitlines() if "BOOTP/DHCP" in l]

    def close(self):
        self.proc.terminate()
        self.proc.wait()
        self.file.close()
        self.err.close()


def test_renewal_by_unicast_at_t1_then_rebinding_by_broadcast_at_t2(net, root, peers):
    params(root, "")
    server = dnsmasq(peers, net, root, "--dhcp-option=option:T1,3", "--dhcp-option=option:T2,6")
    cap = Capture(peers, net, root)
    d = Daemon(net, root).start()
    try:
        d.wait_for(lambda: leased(root, net), timeout=40, what="a lease")
        addr = param(root, "ip_addr")
        unicast = "%s.68 > %s.67" % (addr, net.client_addr)
        d.wait_for(lambda: any(unicast in l for l in cap.lines()), timeout=15, what="a unicast renewal")
        # Without a server the next renewal goes unanswered; at T2 the client broadcasts,
        # and a server back by then keeps the lease: renewals go on by unicast.
        server.stop()
        count = lambda text: len([l for l in cap.lines() if text in l])
        renewals = count(unicast)
        d.wait_for(lambda: count(unicast) > renewals, timeout=15, what="an unanswered renewal")
        broadcasts = count("0.0.0.0.68 > 255.255.255.255.67")
        dnsmasq(peers, net, root, "--dhcp-option=option:T1,3", "--dhcp-option=option:T2,6")
        d.wait_for(lambda: count("0.0.0.0.68 > 255.255.255.255.67") > broadcasts, timeout=15,
                   what="a rebinding broadcast")
        renewals = count(unicast)
        d.wait_for(lambda: count(unicast) > renewals, timeout=15, what="renewals after the rebinding")
        assert param(root, "ip_addr") == addr and param(root, "ip_setby") == "dhcp"
        assert "DHCP RESET ZeroConf" not in d.output()
    finally:
        d.close()
        cap.close()


def test_expired_lease_falls_back_to_zeroconf_and_discovery_goes_on(net, root, peers):
    params(root, "")
    server = dnsmasq(peers, net, root, "--dhcp-option-force=51,12")
    d = Daemon(net, root).start()
    try:
        d.wait_for(lambda: leased(root, net), timeout=40, what="a lease")
        server.stop()
        d.wait_for(lambda: "### DHCP RESET ZeroConf IP:169.254." in d.output(), timeout=30, what="the fall-back")
        d.wait_for(lambda: param(root, "ip_setby") == "zconf", timeout=10, what="ip_setby zconf")
        assert param(root, "ip_addr").startswith("169.254.") and param(root, "ip_dhcp_addr") in (None, "0.0.0.0")
        assert "169.254." in net.run_device("ip", "-o", "-4", "addr", "show", "dev", "eth0").stdout
        # DISCOVER went on: a server that comes back gives a lease again.
        dnsmasq(peers, net, root)
        d.wait_for(lambda: leased(root, net), timeout=40, what="a new lease")
    finally:
        d.close()


def test_nak_to_a_remembered_address_falls_back_to_zeroconf_then_leases(net, root, peers):
    old = net.subnet + ".200"
    params(root, "ip_addr = %s\nip_dhcp_addr = %s\nip_setby = dhcp\n" % (old, old))
    server = dnsmasq(peers, net, root, "--dhcp-authoritative")
    d = Daemon(net, root).start()
    try:
        d.wait_for(lambda: "### DHCP RESET ZeroConf IP:169.254." in d.output(), timeout=30, what="the fall-back")
        log = server.output()
        assert "DHCPNAK(eth0) %s" % old in log, log
        d.wait_for(lambda: leased(root, net), timeout=40, what="a lease after the fall-back")
        assert param(root, "ip_addr") != old
    finally:
        d.close()


# A BOOTP server of a few lines: every request gets a plain BOOTP reply (the cookie and
# a netmask, no DHCP message type) offering the address given, broadcast on eth0.
BOOTP_SERVER = r"""
import socket, struct, sys
offered = socket.inet_aton(sys.argv[1])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, b"eth0")
s.bind(("0.0.0.0", 67))
n = 0
while True:
    data, peer = s.recvfrom(2048)
    if len(data) < 240 or data[0] != 1:
        continue
    n += 1
    reply = bytearray(300)
    reply[0:4] = bytes([2, 1, 6, 0])
    reply[4:8] = data[4:8]
    reply[16:20] = offered
    reply[28:44] = data[28:44]
    reply[236:240] = bytes([99, 130, 83, 99])
    reply[240:247] = bytes([1, 4, 255, 255, 255, 0, 255])
    s.sendto(bytes(reply), ("255.255.255.255", 68))
    print("request %d answered" % n, flush=True)
"""


def test_plain_bootp_answer_is_no_offer_and_discovery_goes_on(net, root, peers):
    params(root, "")
    offered = net.subnet + ".60"
    bootp = peers(net, root.file("/tmp/bootp.log"), "/usr/bin/python3", "-c", BOOTP_SERVER, offered)
    d = Daemon(net, root).start()
    try:
        # The client goes on discovering after each answer without a message type.
        d.wait_for(lambda: "request 3 answered" in bootp.output(), timeout=40, what="three answered DISCOVERs")
        assert param(root, "ip_addr") != offered and param(root, "ip_setby") != "dhcp"
        assert offered not in net.run_device("ip", "-o", "-4", "addr", "show", "dev", "eth0").stdout
        # A DHCP server then gives a lease.
        bootp.stop()
        dnsmasq(peers, net, root)
        d.wait_for(lambda: leased(root, net), timeout=40, what="a lease from the DHCP server")
    finally:
        d.close()
