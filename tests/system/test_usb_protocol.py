"""The USB-server protocol against the running daemon: byte-exact replies, the framing of
the request stream, the client cap and the idle drop."""
import socket
import struct
import time

import pytest

import usb_env
from usb_env import usbsrv


def raw_reply(sock, size):
    data = b""
    while len(data) < size:
        chunk = sock.recv(size - len(data))
        assert chunk, "connection closed after %r" % data
        data += chunk
    return data


def raw_socket(daemon):
    s = usbsrv.socket_in_netns(daemon.net.client)
    s.settimeout(10)
    s.connect((daemon.net.device_addr, usb_env.PLAIN_PORT))
    return s


def closed_by_peer(sock, timeout=10):
    sock.settimeout(timeout)
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True


def test_fixed_replies_are_byte_exact(daemon):
    usb_env.start(daemon, sys_name="lab-hub", zqn_tag_1="left", zqn_dscr_2="the printer", zqn_hide="off")
    s = raw_socket(daemon)
    # Hello: flags byte echoed, fixed status 3/3 and its six bytes.
    s.sendall(usbsrv.request(usbsrv.HELLO, tag=0x11223344, word0=0xABCDEF42))
    assert raw_reply(s, 30) == bytes.fromhex("00000042 00001001 11223344 00000006 00000003 00000003 006C000AFFF3")
    # Server information, plain and with the product's default name.
    s.sendall(usbsrv.request(usbsrv.INFO, tag=7, word0=0x1FF))
    assert raw_reply(s, 32) == bytes.fromhex("000000FF 0000101B 00000007 00000008 00000000 00000000 006C000A0004000A")
    s.sendall(usbsrv.request(usbsrv.INFO_NAME, tag=8))
    assert raw_reply(s, 40) == bytes.fromhex("00000000 0000101F 00000008 00000010 00000000 00000000 006C000A0004000A") + b"QMR-0287"
    # The short device list is a fixed refusal that keeps word 0.
    s.sendall(usbsrv.request(usbsrv.LIST_SHORT, tag=9, word0=0x305))
    assert raw_reply(s, 24) == bytes.fromhex("00000305 00001002 00000009 00000000 00000003 00000003")
    # Name, tags and descriptions, the opened bitmap of an idle table.
    s.sendall(usbsrv.request(usbsrv.NAME, tag=10))
    assert raw_reply(s, 31) == bytes.fromhex("00000000 00001018 0000000A 00000007 00000000 00000000") + b"lab-hub"
    s.sendall(usbsrv.request(usbsrv.PORT_TAGS, tag=11))
    block = b"\x01left\0" + b"\xC2the printer\0" + b"\0"
    assert raw_reply(s, 24 + len(block)) == struct.pack(">6I", 0, 0x1016, 11, len(block), 0, 0) + block
    s.sendall(usbsrv.request(usbsrv.OPENED, tag=12))
    assert raw_reply(s, 28) == struct.pack(">7I", 0, 0x1017, 12, 4, 0, 0, 0)
    s.sendall(usbsrv.request(usbsrv.LIST, tag=13))
    assert raw_reply(s, 27) == struct.pack(">6I", 0, 0x101D, 13, 3, 0, 0) + b"\0\0\0"
    s.close()


def test_device_list_status_and_opened_bitmap(daemon):
    usb_env.start(daemon)
    usb_env.plug(daemon, "port:2", "loopback", "vid=0x1234", "pid=0x5678", "bcd=0x0102")
    with usb_env.connect(daemon) as a, usb_env.connect(daemon) as b:
        entry, port = usb_env.listed(a, 0x1234, 0x5678)
        r, records = a.device_list()
        assert r.length == 3 + 22 and r.status == 0
        rec = records[0]
        assert (rec.entry, rec.port, rec.speed, rec.key) == (entry, 2, 3, 0)
        # The descriptor's 16-bit fields are big-endian on the wire.
        assert rec.descriptor[:4] == bytes([18, 1, 0x02, 0x00]) and rec.descriptor[12:14] == b"\x01\x02"
        # A well-formed key block is taken (no key is needed on this port).
        r, records = a.device_list(b"KVx\x01" + b"\0" * 22)
        assert [x.key for x in records] == [0]

        r = b.status(entry, port)
        assert (r.status, r.payload) == (0, b"\0\0\0\0")
        assert a.open(entry, port, user=b"alice").status == 0
        r = b.status(entry, port)
        assert r.payload[:4] == b"\0\0\0\x01"
        assert r.payload[4:13] == bytes([3, 4, 0, 0, 0]) + socket.inet_aton(daemon.net.client_addr)
        assert b"(" not in r.payload[13:] and r.length == len(r.payload)
        r = b.call(usbsrv.OPENED)
        assert struct.unpack(">I", r.payload)[0] == 1 << entry
        assert b.status(entry, 3).error == 19 and b.status(39, port).error == 19


@pytest.mark.parametrize("block", [b"KVx\x02" + b"\0" * 43, b"KVy\x01" + b"\0" * 22, b"KVX\x00"])
def test_a_malformed_key_block_ends_the_session(daemon, block):
    usb_env.start(daemon)
    with usb_env.connect(daemon) as c:
        c.send(usbsrv.LIST, block)
        assert c.closed.wait(10)


def test_silent_commands_keep_the_session_and_an_unknown_one_ends_it(daemon):
    usb_env.start(daemon)
    with usb_env.connect(daemon) as c:
        tags = [c.send(cmd) for cmd in (3, 7, 18, 20)]
        assert c.hello().status == 3
        assert all(c.no_reply(t, 0.1) for t in tags)
        c.send(10)
        assert c.closed.wait(10)


def test_pipelined_and_trickled_requests(daemon):
    usb_env.start(daemon)
    s = raw_socket(daemon)
    # Five requests in one write come back in order.
    s.sendall(b"".join([usbsrv.request(usbsrv.HELLO, tag=1), usbsrv.request(usbsrv.HEARTBEAT, b"beat", tag=2),
                        usbsrv.request(usbsrv.OPENED, tag=3), usbsrv.request(3, tag=4),
                        usbsrv.request(usbsrv.INFO, tag=5)]))
    data = raw_reply(s, 30 + 28 + 28 + 32)
    assert [struct.unpack(">I", data[o + 8:o + 12])[0] for o in (0, 30, 58, 86)] == [1, 2, 3, 5]
    assert data[30 + 24:58] == b"beat"
    # A header sent byte by byte is read to its end.
    for b in usbsrv.request(usbsrv.HEARTBEAT, b"slow", tag=6):
        s.send(bytes([b]))
        time.sleep(0.02)
    assert raw_reply(s, 28)[24:] == b"slow"
    s.close()


def test_a_payload_cut_short_is_answered_and_ends_nothing_else(daemon):
    usb_env.start(daemon)
    usb_env.plug(daemon, "port:1", "loopback")
    with usb_env.connect(daemon) as c:
        entry, port = usb_env.listed(c, 0x1D6B, 0x0104)
    s = raw_socket(daemon)
    # Close with one of its two bytes: 3/71, and the device stays as it was.
    s.sendall(usbsrv.request(usbsrv.CLOSE, bytes([entry]), tag=5, length=2))
    s.shutdown(socket.SHUT_WR)
    assert raw_reply(s, 24) == struct.pack(">6I", 0, 0x1006, 5, 0, 3, 71)
    assert closed_by_peer(s)
    with usb_env.connect(daemon) as c:
        assert [r.entry for r in c.device_list()[1]] == [entry]


def test_a_request_cut_short_within_the_time_out_ends_the_session(daemon):
    usb_env.start(daemon)
    usb_env.plug(daemon, "port:1", "loopback")
    with usb_env.connect(daemon) as c:
        entry, port = usb_env.listed(c, 0x1D6B, 0x0104)
    head = lambda kind, out_length: struct.pack(">BBBBII", entry, port, 0, kind, 0, out_length)  # noqa: E731
    # (request sent, its announced length, the answer's code, status and error): the
    # bytes stop coming but the connection stays open. Once the payload time-out has
    # passed, whatever comes next could be taken for a header: the session must end.
    cases = [
        (usbsrv.request(usbsrv.SUBMIT, head(usbsrv.BULK, 0)[:5], tag=1, length=12), 0x1008, 3, 71),
        (usbsrv.request(usbsrv.SUBMIT, head(usbsrv.ISO, 0) + b"\0" * 20, tag=2, word0=2 << 8, length=44),
         0x1008, 3, 71),
        (usbsrv.request(usbsrv.SUBMIT, head(usbsrv.CONTROL, 18) + b"\x40\x02\0\0\0\0\x0a\0abc", tag=3,
                        length=30), 0x1008, 3, 12),
        (usbsrv.request(usbsrv.CLOSE, bytes([entry]), tag=4, length=2), 0x1006, 3, 71),
        (usbsrv.request(usbsrv.CLAIM, bytes([entry, port]), tag=5, length=3), 0x1004, 3, 71),
        (usbsrv.request(usbsrv.DISCARD, b"\0\0", tag=6, length=4), 0x1009, 3, 71),
        (usbsrv.request(usbsrv.SET_CONFIG, bytes([entry, port, 1, 2, 0, 0]), tag=7, length=8), 0x1015, 3, 71),
    ]
    socks = []
    for data, *_ in cases:
        s = raw_socket(daemon)
        s.sendall(data)
        socks.append(s)
    for s, (data, code, status, error) in zip(socks, cases):
        s.settimeout(30)
        tag = struct.unpack(">I", data[8:12])[0]
        assert raw_reply(s, 24) == struct.pack(">6I", 0, code, tag, 0, status, error)
        assert closed_by_peer(s, 15), tag
        s.close()
    with usb_env.connect(daemon) as c:
        assert c.open(entry, port).status == 0


def test_client_cap_and_idle_drop(daemon):
    usb_env.start(daemon, zqn_heartbeat="1")
    # A 4-port product serves nine clients; the tenth is let go at once.
    clients = [usb_env.connect(daemon) for _ in range(9)]
    for c in clients:
        assert c.heartbeat(1).status == 0
    extra = raw_socket(daemon)
    assert closed_by_peer(extra)
    extra.close()
    # A client that keeps sending stays; the idle ones are dropped after the limit.
    keeper = clients[0]
    end = time.monotonic() + 3
    while time.monotonic() < end:
        assert keeper.heartbeat(2).payload == b"\0\0\0\x02"
        time.sleep(0.3)
    assert all(c.closed.wait(5) for c in clients[1:])
    assert not keeper.closed.is_set()
    for c in clients:
        c.close()
    # Room again for new clients once the dropped ones are gone.
    with usb_env.connect(daemon) as c:
        assert c.hello().status == 3


def test_listeners_on_an_ip_vlan(daemon):
    probe = daemon.net.run_device("ip", "link", "add", "qmrprobe", "link", "eth0", "type", "macvlan", check=False)
    if probe.returncode != 0:
        pytest.skip("no macvlan sub-interfaces in this kernel: " + probe.stderr)
    daemon.net.run_device("ip", "link", "del", "qmrprobe")
    vlan_net = daemon.net.subnet.replace("198.18.", "198.19.", 1)
    usb_env.start(daemon, ipvlan_on_1="on", ipvlan_id_1="77", ipvlan_addr_1=vlan_net + ".1", ipvlan_pfxlen_1="24")
    daemon.net.run_client("ip", "addr", "add", vlan_net + ".2/24", "dev", "eth0")

    # The sub-interface comes after the server's first listeners; they are opened again.
    def vlan_listening():
        fields = daemon.net.run_device("ss", "-Htln").stdout.split()
        return any(f.startswith(vlan_net + ".1") and f.endswith(":%d" % usb_env.TLS_PORT) for f in fields)

    def answers(port, tls):
        # A connection still waiting in a listener that is being reopened is reset.
        try:
            with usbsrv.Client.connect(vlan_net + ".1", port, netns=daemon.net.client, tls=tls, timeout=3) as c:
                return c.hello().status == 3
        except (OSError, usbsrv.ProtocolError):
            return False

    daemon.wait_for(vlan_listening, what="the VLAN listener")
    usb_env.wait_certificate(daemon)
    for port, tls in ((usb_env.PLAIN_PORT, False), (usb_env.TLS_PORT, True)):
        daemon.wait_for(lambda: answers(port, tls), what="an answer on the VLAN's port %d" % port)
