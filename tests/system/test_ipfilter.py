"""The input packet filter and the address announcement, seen from the client side.

The daemon installs the filter at start from its parameter file; a listener of our own in
the device namespace stands in for the USB server's port, and nc connects to it from an
allowed and from a refused source address of the client namespace.
"""
import os
import subprocess
import time

import pytest

from conftest import start_tcpdump


def moni_text(root):
    base = root.file("/var/moni/monitor")
    text = ""
    if os.path.isdir(base):
        for name in sorted(os.listdir(base)):
            with open(os.path.join(base, name), "rb") as f:
                text += f.read().decode(errors="replace")
    return text


def start(daemon, root, lines):
    with open(root.file("/etc/params.dat"), "a") as f:
        for name, value in lines:
            f.write(" %s = %s\n" % (name, value))
    daemon.start()
    daemon.wait_for(lambda: "is up and running." in moni_text(root), timeout=60,
                    what="the start line in the monitoring log")


def rules(net, tool):
    out = net.run_device(tool, "-S", "INPUT").stdout
    return [l for l in out.splitlines() if l.startswith("-A ")]


def installed(daemon, tool="iptables-legacy"):
    """The rules once the IP set-up (after the start line) has put them in."""
    daemon.wait_for(lambda: rules(daemon.net, tool), timeout=30, what="filter rules")
    return rules(daemon.net, tool)


def saved_text(root, want):
    """The parameter file once it holds the wanted line."""
    path = root.file("/etc/params.dat")
    end = time.monotonic() + 30
    while time.monotonic() < end:
        text = open(path).read()
        if want in text:
            return text
        time.sleep(0.1)
    return open(path).read()


def listener(net, port):
    """nc listening in the device namespace, taking one connection after another."""
    return subprocess.Popen(["ip", "netns", "exec", net.device, "nc", "-k", "-l", str(port)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def connects(net, source, port):
    r = net.run_client("nc", "-z", "-w", "2", "-s", source, net.device_addr, str(port), check=False, timeout=30)
    return r.returncode == 0


@pytest.fixture
def second_client(net):
    """A second source address of the client namespace, not listed in the filter."""
    addr = net.subnet + ".3"
    net.run_client("ip", "addr", "add", addr + "/24", "dev", "eth0")
    return addr


def test_filter_admits_listed_source_and_refuses_others_on_server_port(net, daemon, root, second_client):
    start(daemon, root, [("protection", "on"), ("protection_test", "off"), ("protection_level", "protec_zqn"),
                         ("ip_filter_on_1", "on"), ("ip_filter_1", net.client_addr)])
    assert installed(daemon) == [
        "-A INPUT -s %s/32 -j ACCEPT" % net.client_addr,
        "-A INPUT -p tcp -m multiport --dports 9200,9443 -j DROP"]
    nc = listener(net, 9200)
    other = listener(net, 8080)
    try:
        time.sleep(0.5)
        assert connects(net, net.client_addr, 9200)
        assert not connects(net, second_client, 9200)
        # Other ports stay open at this level.
        assert connects(net, second_client, 8080)
    finally:
        nc.kill()
        other.kill()
        nc.wait()
        other.wait()
    # The shutdown takes the rules away again.
    assert daemon.stop() == 0
    assert rules(net, "iptables-legacy") == []
    assert rules(net, "ip6tables-legacy") == []


def test_ipv6_entry_with_ipv6_off_never_opens_the_filter(net, daemon, root, second_client):
    start(daemon, root, [("protection", "on"), ("protection_test", "off"), ("protection_level", "protec_tcp"),
                         ("ipv6", "off"), ("ip_filter_on_1", "on"), ("ip_filter_1", "2001:db8::/32"),
                         ("ip_filter_on_2", "on"), ("ip_filter_2", net.client_addr)])
    assert installed(daemon) == ["-A INPUT -s %s/32 -j ACCEPT" % net.client_addr, "-A INPUT -p tcp -j DROP"]
    # Nothing for IPv6, and above all no rule that accepts every source.
    assert rules(net, "ip6tables-legacy") == []
    nc = listener(net, 8080)
    try:
        time.sleep(0.5)
        assert connects(net, net.client_addr, 8080)
        assert not connects(net, second_client, 8080)
    finally:
        nc.kill()
        nc.wait()


def test_test_mode_lasts_until_the_next_start(net, root):
    from conftest import Daemon
    lines = [("protection", "on"), ("protection_test", "on"), ("protection_level", "protec_all"),
             ("ip_filter_on_1", "on"), ("ip_filter_1", net.subnet + ".0/24")]
    first = Daemon(net, root)
    try:
        start(first, root, lines)
        assert installed(first) == ["-A INPUT -s %s.0/24 -j ACCEPT" % net.subnet, "-A INPUT -j DROP"]
        assert first.stop() == 0
    finally:
        first.close()
    assert "protection_test = test" in saved_text(root, "protection_test = test")
    second = Daemon(net, root)
    try:
        second.start()
        second.wait_for(lambda: moni_text(root).count("is up and running.") >= 2, timeout=60,
                        what="the second start line")
        saved = saved_text(root, "protection_test = on")
        assert "protection = off" in saved and "protection_test = on" in saved
        assert rules(net, "iptables-legacy") == []
    finally:
        second.stop()
        second.close()


def test_start_announces_the_address_with_a_gratuitous_arp(net, daemon, root):
    cap = start_tcpdump(net.client, "-e", "-i", "eth0", "-c", "1", "arp and ether broadcast")
    try:
        start(daemon, root, [])
        out, _ = cap.communicate(timeout=30)
    finally:
        if cap.poll() is None:
            cap.kill()
            cap.wait()
    assert "Reply %s is-at" % net.device_addr in out, out
    assert "ff:ff:ff:ff:ff:ff" in out, out
