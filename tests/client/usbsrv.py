"""A client of the appliance's USB-server protocol, for the system tests and the benchmark.

Requests are a 16-byte header of big-endian words {word0, command, tag, length} and a
payload; the server answers with a 24-byte header {word0, code, tag, length, status,
error} and a payload, and sends messages of its own (16-byte header {1, code, 0,
length}: 0x11 device removed, 0x13 notice). A reader thread sorts what arrives: replies
by tag, messages into their own queue, so requests can be pipelined and transfers kept
in flight while others complete.
"""
import collections
import ctypes
import os
import queue
import socket
import ssl
import struct
import threading

# Commands.
HELLO, LIST_SHORT, CLAIM, RELEASE, CLOSE = 1, 2, 4, 5, 6
SUBMIT, DISCARD, ABORT, CLEAR_HALT, RESET = 8, 9, 11, 12, 13
HEARTBEAT, SET_CONFIG, PORT_TAGS, OPENED, NAME = 16, 21, 22, 23, 24
OPEN, STATUS, INFO, LIST, OPEN_KEY, INFO_NAME = 25, 26, 27, 29, 30, 31

PARTIAL = 0x101C
MSG_REMOVED, MSG_NOTICE = 0x11, 0x13

# Transfer types.
ISO, INTERRUPT, CONTROL, BULK = 0, 1, 2, 3

Reply = collections.namedtuple("Reply", "word0 code tag length status error payload")
Message = collections.namedtuple("Message", "code payload")
Record = collections.namedtuple("Record", "entry port speed key descriptor vid pid")


class ProtocolError(Exception):
    pass


def request(command, payload=b"", tag=0, word0=0, length=None):
    """One request in wire form; length defaults to the payload's."""
    if length is None:
        length = len(payload)
    return struct.pack(">IIII", word0 & 0xFFFFFFFF, command, tag & 0xFFFFFFFF, length & 0xFFFFFFFF) + payload


def socket_in_netns(netns, family=socket.AF_INET, kind=socket.SOCK_STREAM):
    """A socket made inside the named network namespace (this thread switches there and back)."""
    libc = ctypes.CDLL(None, use_errno=True)
    CLONE_NEWNET = 0x40000000
    own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    target = os.open("/run/netns/" + netns, os.O_RDONLY)
    try:
        if libc.setns(target, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns")
        try:
            return socket.socket(family, kind)
        finally:
            libc.setns(own, CLONE_NEWNET)
    finally:
        os.close(own)
        os.close(target)


class Client:
    """One connection to the USB-server port."""

    def __init__(self, sock, timeout=20.0):
        self.sock = sock
        self.timeout = timeout
        self._tag = 0
        self._lock = threading.Lock()
        self._send_lock = threading.Lock()
        self._queues = {}
        self.messages = queue.Queue()
        self.closed = threading.Event()
        self._reader = threading.Thread(target=self._read_loop, daemon=True)
        self._reader.start()

    @classmethod
    def connect(cls, host, port, netns=None, tls=False, timeout=20.0):
        sock = socket_in_netns(netns) if netns else socket.socket()
        sock.settimeout(timeout)
        sock.connect((host, port))
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if tls:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            sock = ctx.wrap_socket(sock)
        sock.settimeout(None)
        return cls(sock, timeout)

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self.closed.wait(5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _queue(self, tag):
        # The reader thread and the waiting one both ask: one queue per tag, made once.
        with self._lock:
            q = self._queues.get(tag)
            if q is None:
                q = self._queues[tag] = queue.Queue()
            return q

    # ---- raw stream ---------------------------------------------------------------
    def next_tag(self):
        with self._lock:
            self._tag += 1
            return self._tag

    def send_raw(self, data):
        with self._send_lock:
            self.sock.sendall(data)

    def send(self, command, payload=b"", tag=None, word0=0, length=None):
        """Sends a request; returns its tag."""
        if tag is None:
            tag = self.next_tag()
        self.send_raw(request(command, payload, tag, word0, length))
        return tag

    def _recv_exact(self, n, into=None):
        buf = into if into is not None else bytearray(n)
        view = memoryview(buf)
        got = 0
        while got < n:
            k = self.sock.recv_into(view[got:], n - got)
            if k == 0:
                raise EOFError
            got += k
        return buf

    def _read_loop(self):
        try:
            while True:
                head = self._recv_exact(8)
                word0, code = struct.unpack(">II", head)
                if code in (MSG_REMOVED, MSG_NOTICE) and word0 == 1:
                    tag, length = struct.unpack(">II", self._recv_exact(8))
                    self.messages.put(Message(code, bytes(self._recv_exact(length))))
                    continue
                tag, length, status, error = struct.unpack(">IIII", self._recv_exact(16))
                payload = bytes(self._recv_exact(length)) if length else b""
                self._queue(tag).put(Reply(word0, code, tag, length, status, error, payload))
        except (EOFError, OSError, ValueError):
            pass
        finally:
            self.closed.set()

    def reply(self, tag, timeout=None):
        """The next reply for the tag; ProtocolError when none comes."""
        try:
            return self._queue(tag).get(timeout=timeout or self.timeout)
        except queue.Empty:
            raise ProtocolError("no reply for tag %d" % tag) from None

    def no_reply(self, tag, wait=0.3):
        """True when nothing arrives for the tag within wait seconds."""
        try:
            self._queue(tag).get(timeout=wait)
            return False
        except queue.Empty:
            return True

    def message(self, timeout=None):
        try:
            return self.messages.get(timeout=timeout or self.timeout)
        except queue.Empty:
            raise ProtocolError("no server message") from None

    def call(self, command, payload=b"", word0=0, length=None):
        return self.reply(self.send(command, payload, word0=word0, length=length))

    # ---- commands ---------------------------------------------------------------
    def hello(self, tag=None):
        return self.reply(self.send(HELLO, tag=tag))

    def info(self, with_name=False, tag=None):
        r = self.reply(self.send(INFO_NAME if with_name else INFO, tag=tag))
        fields = struct.unpack(">HHHH", r.payload[:8]) if len(r.payload) >= 8 else None
        return r, fields

    def device_list(self, key_block=b""):
        r = self.call(LIST, key_block)
        count, size = struct.unpack(">BH", r.payload[:3])
        records = []
        for i in range(count):
            b = r.payload[3 + 22 * i: 25 + 22 * i]
            desc = b[4:]
            records.append(Record(b[0], b[1], b[2], b[3], desc, struct.unpack(">H", desc[8:10])[0],
                                  struct.unpack(">H", desc[10:12])[0]))
        return r, records

    def find(self, vid=None, pid=None):
        """(entry, port) of the first listed device with those ids."""
        for rec in self.device_list()[1]:
            if (vid is None or rec.vid == vid) and (pid is None or rec.pid == pid):
                return rec.entry, rec.port
        raise ProtocolError("device %s:%s not listed" % (vid, pid))

    def open(self, entry, port, user=b"", iso_split=False, proof=None):
        payload = bytes([entry, port]) + user.ljust(32, b"\0")[:32]
        command = OPEN
        if proof is not None:
            payload += proof.ljust(20, b"\0")[:20]
            command = OPEN_KEY
        return self.call(command, payload, word0=0x100 if iso_split else 0)

    def close_device(self, entry, port):
        return self.call(CLOSE, bytes([entry, port]))

    def claim(self, entry, port, interface):
        return self.call(CLAIM, bytes([entry, port, interface]))

    def release(self, entry, port, interface):
        return self.call(RELEASE, bytes([entry, port, interface]))

    def set_config(self, entry, port, value, pairs=()):
        payload = bytes([entry, port, value, len(pairs)])
        for interface, alternate in pairs:
            payload += bytes([interface, alternate])
        return self.call(SET_CONFIG, payload)

    def clear_halt(self, entry, port, endpoint):
        return self.call(CLEAR_HALT, bytes([entry, port, endpoint]))

    def reset(self, entry, port):
        return self.call(RESET, bytes([entry, port]))

    def abort(self, entry, port, endpoint):
        return self.call(ABORT, bytes([entry, port, endpoint]))

    def discard(self, tag):
        return self.call(DISCARD, struct.pack(">I", tag))

    def heartbeat(self, value):
        return self.call(HEARTBEAT, struct.pack(">I", value))

    def status(self, entry, port):
        return self.call(STATUS, bytes([entry, port]))

    # ---- transfers --------------------------------------------------------------
    def submit(self, entry, port, endpoint, kind, in_length=0, out=b"", packets=(), word0=0, tag=None):
        """Sends a submit request; returns its tag. packets: isochronous packet lengths."""
        payload = struct.pack(">BBBBII", entry, port, endpoint, kind, in_length, len(out))
        for length in packets:
            payload += struct.pack("<IIII", 0, 0, length, 0x12345678)
        if packets:
            word0 = (word0 & 0xFF) | len(packets) << 8
        tag = tag if tag is not None else self.next_tag()
        self.send_raw(request(SUBMIT, payload, tag, word0, len(payload)) + out)
        return tag

    def collect(self, tag, timeout=None):
        """The replies of a transfer up to its final one: (final reply, data joined)."""
        data = bytearray()
        while True:
            r = self.reply(tag, timeout)
            data += r.payload
            if r.code != PARTIAL:
                return r, bytes(data)

    def bulk_out(self, entry, port, endpoint, data, timeout=None):
        return self.reply(self.submit(entry, port, endpoint, BULK, out=data), timeout)

    def bulk_in(self, entry, port, endpoint, length, timeout=None):
        return self.collect(self.submit(entry, port, endpoint, BULK, in_length=length), timeout)

    def control(self, entry, port, request_type, req, value, index, length=0, data=b"", in_length=None):
        setup = struct.pack(">BBHHH", request_type, req, value, index, length)
        if in_length is None:
            in_length = length if request_type & 0x80 else 0
        r = self.reply(self.submit(entry, port, 0, CONTROL, in_length=in_length, out=setup + data))
        return r

    def get_descriptor(self, entry, port, kind, index=0, length=255, language=0):
        return self.control(entry, port, 0x80, 6, kind << 8 | index, language, length)


def iso_packets(reply):
    """The packets of an isochronous completion: [(status, offset, length, data)]."""
    count = reply.word0 >> 8
    table = reply.payload[:16 * count]
    data = reply.payload[16 * count:]
    out = []
    for k in range(count):
        status, offset, length, marker = struct.unpack("<iIII", table[16 * k: 16 * k + 16])
        if marker != 0x12345678:
            raise ProtocolError("packet %d without its marker" % k)
        out.append((status, offset, length, data[offset: offset + length]))
    return out
