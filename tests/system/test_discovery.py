"""Discovery: an SLPv1 client written from the message format, and multicast DNS against
python-zeroconf and dig, all in the client namespace."""
import re
import socket
import struct
import subprocess

import pytest

from conftest import Daemon
from test_dhcp import param, params, peers  # noqa: F401 (fixture)

NAME = "QMR-0287A1"
PRODUCT = "qmr USB Server 4-port"
GROUPS = ("224.0.1.22", "224.0.0.1", "224.0.2.3")

CLIENT = r"""
import socket, struct, sys
src, dst, predicate = sys.argv[1], sys.argv[2], sys.argv[3].encode()
body = struct.pack(">H", 0) + struct.pack(">H", len(predicate)) + predicate
msg = struct.pack(">BBHHHHH", 1, 1, 12 + len(body), 0, 0x656e, 3, 0x4242) + body
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((src, 0))
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(src))
s.settimeout(float(sys.argv[4]))
s.sendto(msg, (dst, 427))
try:
    while True:
        data, peer = s.recvfrom(4096)
        print("%s %s" % (peer[0], data.hex()), flush=True)
except socket.timeout:
    pass
"""


def slp(net, dst, predicate, wait=3):
    out = net.run_client("/usr/bin/python3", "-c", CLIENT, net.client_addr, dst, predicate, str(wait)).stdout
    return [(l.split()[0], bytes.fromhex(l.split()[1])) for l in out.splitlines() if l.strip()]


def url(address, limited=False):
    return ("service:x-kvxps://%s;x-kvx-name=%s;x-kvx-mode=prot;x-kvx-ver=20.1.22;x-kvx-nettype=ETHER;"
            "x-kvx-swid=6;x-kvx-product=%s;x-kvx-up=9200,9443;x-kvx-ids=0000ZOHK00000000l0;"
            "x-kvx-project=%04x:2.1%s" % (address, NAME, PRODUCT, 287, ";x-limited-access" if limited else ""))


def reply(text):
    u = text.encode()
    return struct.pack(">BBHHHHHHHHH", 1, 2, 20 + len(u), 0, 0x656e, 3, 0x4242, 0, 1, 10800, len(u)) + u


def started(d, root):
    d.start()
    d.wait_for(lambda: "is up and running." in root.moni_text(), timeout=60, what="the start")
    return d


def test_slp_reply_bytes_once_per_request_on_every_group(net, root):
    params(root, "ip_addr = %s\nip_dhcp = off\n" % net.device_addr)
    d = started(Daemon(net, root), root)
    try:
        got = slp(net, net.device_addr, "service:x-kvxps://")
        assert got == [(net.device_addr, reply(url(net.device_addr)))]
        for group in GROUPS:
            got = slp(net, group, "service:x-kvxps:///")
            assert got == [(net.device_addr, reply(url(net.device_addr)))], group
        # Another service type, another appliance's name, a cut-off predicate: no reply.
        assert slp(net, net.device_addr, "service:printer://", 1) == []
        assert slp(net, GROUPS[0], "service:x-kvxps://X-KVX-NAME==OTHER-1/", 1) == []
        # Remote configuration of an appliance with a static address is refused.
        got = slp(net, GROUPS[0], "service:x-kvxps://X-KVX-NAME==%s,X-KVX-IP==%s.99/" % (NAME.lower(), net.subnet))
        assert got == [(net.device_addr, reply(url(net.device_addr, limited=True)))]
        assert param(root, "ip_addr") == net.device_addr
    finally:
        d.close()


def test_slp_configures_an_appliance_on_zeroconf_which_restarts(net, root):
    params(root, "ip_dhcp = off\nip_pfxlen = 16\n")
    d = started(Daemon(net, root), root)
    try:
        def zeroconf_address():
            shown = net.run_device("ip", "-o", "-4", "addr", "show", "dev", "eth0").stdout
            m = re.search(r"inet (169\.254\.\d+\.\d+)/24", shown)
            return m.group(1) if m else None

        d.wait_for(zeroconf_address, timeout=30, what="the ZeroConf address")
        zeroconf = zeroconf_address()
        wanted = net.subnet + ".77"
        got = slp(net, GROUPS[0], "service:x-kvxps://X-KVX-NAME==%s,X-KVX-IP==%s,X-KVX-IPMASK==255.255.255.0,"
                  "X-KVX-IPGATE==%s/" % (NAME, wanted, net.client_addr))
        # The URL names the address the request reached; the answer leaves from the new one.
        assert got == [(wanted, reply(url(zeroconf)))]
        assert d.proc.wait(30) == 0
        assert param(root, "ip_addr") == wanted
        assert param(root, "ip_setby") == "slp"
        assert param(root, "ip_pfxlen") == "24"
        assert param(root, "ip_router") == net.client_addr
    finally:
        d.close()


BROWSER = r"""
import sys, time
from zeroconf import Zeroconf, ServiceBrowser, ServiceInfo, IPVersion
addr = sys.argv[1]
zc = Zeroconf(interfaces=[addr], ip_version=IPVersion.V4Only)
if len(sys.argv) > 2:
    # Holds the appliance's instance name first, on another port.
    info = ServiceInfo("_http._tcp.local.", sys.argv[2] + "._http._tcp.local.", port=1234,
                       addresses=[bytes(map(int, addr.split(".")))], server="peer.local.")
    zc.register_service(info)
found = {}
class L:
    def add_service(self, zc, t, n): found[n] = t
    def remove_service(self, zc, t, n): pass
    def update_service(self, zc, t, n): pass
browsers = [ServiceBrowser(zc, t, L()) for t in ("_http._tcp.local.", "_https._tcp.local.")]
end = time.time() + 25
while time.time() < end and len([n for n in found if "QMR" in n and "1234" not in n]) < 2:
    time.sleep(0.2)
for name, t in sorted(found.items()):
    info = zc.get_service_info(t, name, 5000)
    if info is None:
        print("NOINFO", name)
        continue
    print("SERVICE", name, info.server, info.port, ",".join(info.parsed_addresses()), repr(info.text))
zc.close()
"""


def browse(net, *extra):
    return net.run_client("/usr/bin/python3", "-c", BROWSER, net.client_addr, *extra, timeout=90).stdout


def test_zeroconf_finds_both_services_and_dig_resolves_the_host(net, root):
    params(root, "ip_addr = %s\nip_dhcp = off\n" % net.device_addr)
    d = started(Daemon(net, root), root)
    try:
        out = browse(net)
        instance = "%s@%s" % (PRODUCT, NAME)
        for service, port in (("_http", 80), ("_https", 443)):
            # The IPv4 address, and the IPv6 one of the interface beside it; one empty TXT string.
            line = r"SERVICE %s\.%s\._tcp\.local\. %s\.local\. %d %s(,fe80::[0-9a-f:]+)? b'\\x00'$" % (
                re.escape(instance), service, NAME, port, re.escape(net.device_addr))
            assert re.search(line, out, re.M), out
        # A unicast question from another port gets a legacy unicast answer.
        dig = net.run_client("dig", "+time=3", "+tries=2", "-p", "5353", "@" + net.device_addr, NAME + ".local",
                             "A").stdout
        assert "status: NOERROR" in dig, dig
        assert re.search(r"^%s\.local\.\s+60\s+IN\s+A\s+%s$" % (NAME, re.escape(net.device_addr)), dig, re.M), dig
        dig = net.run_client("dig", "+time=3", "+tries=2", "-p", "5353", "@" + net.device_addr, "_https._tcp.local",
                             "PTR").stdout
        ptr = r"^_https\._tcp\.local\.\s+7200\s+IN\s+PTR\s+%s\._https\._tcp\.local\.$"
        assert re.search(ptr % re.escape(instance.replace(" ", "\\032").replace("@", "\\@")), dig, re.M), dig
    finally:
        d.close()


def test_name_conflict_restarts_probing_with_a_new_name(net, root):
    params(root, "ip_addr = %s\nip_dhcp = off\n" % net.device_addr)
    instance = "%s@%s" % (PRODUCT, NAME)
    holder = subprocess.Popen(["ip", "netns", "exec", net.client, "/usr/bin/python3", "-c", BROWSER,
                               net.client_addr, instance], stdout=subprocess.PIPE, text=True)
    try:
        d = started(Daemon(net, root), root)
        try:
            out, _ = holder.communicate(timeout=90)
            assert "SERVICE %s._http._tcp.local. peer.local. 1234" % instance in out, out
            assert "SERVICE %s (2)._http._tcp.local. %s.local. 80 %s" % (instance, NAME, net.device_addr) in out, out
        finally:
            d.close()
    finally:
        if holder.poll() is None:
            holder.kill()
            holder.wait()


# avahi in the client namespace, with a system bus of its own: a private /run (mount
# namespace) holds the bus socket and avahi's run files, so tests side by side and the
# host keep theirs. Prints what avahi-browse resolves for both services and the address
# avahi-resolve finds for the host name.
AVAHI = r"""
set -e
mount -t tmpfs tmpfs /run
mkdir -p /run/dbus /run/avahi-daemon
dbus-daemon --system --nofork --nopidfile &
bus=$!
cat > /run/avahi.conf <<CONF
[server]
host-name=avahi-peer
use-ipv4=yes
use-ipv6=no
allow-interfaces=eth0
enable-dbus=yes
[publish]
disable-publishing=yes
CONF
for i in $(seq 100); do [ -S /run/dbus/system_bus_socket ] && break; sleep 0.1; done
avahi-daemon --no-drop-root --no-chroot --no-rlimits -f /run/avahi.conf &
avahi=$!
trap 'kill $avahi $bus 2>/dev/null; wait' EXIT
for i in $(seq 100); do avahi-daemon -c 2>/dev/null && break; sleep 0.1; done
for i in $(seq 10); do
    out=$(avahi-browse -k -r -t -p _http._tcp; avahi-browse -k -r -t -p _https._tcp)
    [ $(echo "$out" | grep -c '^=') -ge 2 ] && break
    sleep 1
done
echo "$out"
avahi-resolve -4 -n "$1.local"
"""


def test_avahi_browse_resolves_both_services_and_the_host(net, root):
    params(root, "ip_addr = %s\nip_dhcp = off\n" % net.device_addr)
    d = started(Daemon(net, root), root)
    try:
        out = net.run_client("unshare", "-m", "--propagation", "private", "bash", "-c", AVAHI, "avahi", NAME,
                             timeout=120).stdout
        instance = "%s@%s" % (PRODUCT, NAME)
        for service, port in (("_http", 80), ("_https", 443)):
            # Parsable lines: =;interface;protocol;name;type;domain;host;address;port;txt (the
            # one empty TXT string shows as no text). The host name resolves to the IPv4
            # address or to the interface's IPv6 one, whichever answer avahi takes first.
            line = r"^=;eth0;IPv4;%s;%s\._tcp;local;%s\.local;(%s|fe80::[0-9a-f:]+);%d;$" % (
                re.escape(instance.replace(" ", "\\032").replace("@", "\\064")), service, NAME,
                re.escape(net.device_addr), port)
            assert re.search(line, out, re.M), out
        assert re.search(r"^%s\.local\s+%s$" % (NAME, re.escape(net.device_addr)), out, re.M), out
    finally:
        d.close()
