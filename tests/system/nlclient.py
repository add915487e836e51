"""A small generic-netlink client for nlsim, and nlsim run on its own in a namespace.

NlSim starts build/nlsim in a fresh network namespace with a sandbox root and a radio
configuration, and talks to its control socket. Genl is a netlink socket opened in
that namespace whose requests go to nlsim's port; it encodes and decodes attributes
and collects a request's answer (replies, then ACK, error or DONE)."""
import ctypes
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time

import nl80211_uapi as uapi

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("QMR_BUILD", os.path.join(REPO, "build", "test"))
FIXTURES = os.path.join(REPO, "tests", "fixtures", "radios")
NLPEER = os.path.join(BUILD, "libnlpeer.so")

NLM_F_REQUEST, NLM_F_MULTI, NLM_F_ACK, NLM_F_DUMP = 1, 2, 4, 0x300
NLM_F_CAPPED = 0x100
NLMSG_ERROR, NLMSG_DONE = 2, 3
GENL_ID_CTRL = 0x10
CTRL_CMD_GETFAMILY = 3
CTRL_ATTR_FAMILY_ID, CTRL_ATTR_FAMILY_NAME, CTRL_ATTR_MCAST_GROUPS = 1, 2, 7
CTRL_ATTR_MCAST_GRP_NAME, CTRL_ATTR_MCAST_GRP_ID = 1, 2
SOL_NETLINK, NETLINK_ADD_MEMBERSHIP = 270, 1

CMD, ATTR = uapi.CMD, uapi.ATTR
_serial = [0]


def _in_netns(ns, fn):
    """Runs fn in a thread that entered namespace ns; returns its result."""
    out = {}

    def run():
        libc = ctypes.CDLL(None, use_errno=True)
        fd = os.open("/run/netns/" + ns, os.O_RDONLY)
        try:
            if libc.setns(fd, 0x40000000) != 0:  # CLONE_NEWNET
                raise OSError(ctypes.get_errno(), "setns")
        finally:
            os.close(fd)
        out["v"] = fn()

    t = threading.Thread(target=run)
    t.start()
    t.join()
    return out["v"]


# ---- attributes ----

def attr(t, payload):
    if isinstance(payload, str):
        payload = payload.encode() + b"\0"
    n = 4 + len(payload)
    return struct.pack("<HH", n, t) + payload + b"\0" * ((4 - n % 4) % 4)


def u8(t, v):
    return attr(t, struct.pack("<B", v))


def u16(t, v):
    return attr(t, struct.pack("<H", v))


def u32(t, v):
    return attr(t, struct.pack("<I", v))


def u64(t, v):
    return attr(t, struct.pack("<Q", v))


def flag(t):
    return attr(t, b"")


def nest(t, *parts):
    return attr(t, b"".join(parts))


def mac(text):
    return bytes(int(x, 16) for x in text.split(":"))


def parse_attrs(data):
    """[(type, payload)] of one level; raises ValueError on a bad length."""
    out, off = [], 0
    while len(data) - off >= 4:
        n, t = struct.unpack_from("<HH", data, off)
        if n < 4 or off + n > len(data):
            raise ValueError("attribute length %d at %d of %d" % (n, off, len(data)))
        out.append((t & 0x3FFF, data[off + 4:off + n]))
        off += (n + 3) & ~3
    return out


def adict(data):
    return {t: p for t, p in parse_attrs(data)}


class Msg:
    def __init__(self, raw):
        self.raw = raw
        self.len, self.type, self.flags, self.seq, self.pid = struct.unpack_from("<IHHII", raw)
        self.cmd = raw[16] if len(raw) >= 20 else None
        self.error = None
        if self.type in (NLMSG_ERROR, NLMSG_DONE) and len(raw) >= 20:
            self.error = struct.unpack_from("<i", raw, 16)[0]
        self.attrs = []
        self.malformed = False
        if self.type not in (NLMSG_ERROR, NLMSG_DONE) and len(raw) >= 20:
            try:
                self.attrs = parse_attrs(raw[20:self.len])
            except ValueError:
                self.malformed = True

    def get(self, t):
        for k, v in self.attrs:
            if k == t:
                return v
        return None

    def u32(self, t):
        v = self.get(t)
        return None if v is None else struct.unpack("<I", v[:4])[0]

    def __repr__(self):
        return "Msg(type=%d flags=%#x seq=%d cmd=%s error=%s)" % (self.type, self.flags, self.seq, self.cmd,
                                                                  self.error)


def split_msgs(data):
    out, off = [], 0
    while len(data) - off >= 16:
        n = struct.unpack_from("<I", data, off)[0]
        if n < 16 or off + n > len(data):
            break
        out.append(Msg(data[off:off + n]))
        off += (n + 3) & ~3
    return out


class Genl:
    """A generic-netlink socket in nlsim's namespace, connected to nlsim's port."""

    def __init__(self, ns, peer):
        self.peer = peer
        self.sock = _in_netns(ns, lambda: socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 16))
        self.sock.bind((0, 0))
        self.port = self.sock.getsockname()[0]
        self.sock.settimeout(10)
        self.seq = 100
        self.family = None
        self.groups = {}
        self.pending = []  # messages read while waiting for another

    def close(self):
        self.sock.close()

    def send(self, mtype, cmd, attrs=b"", flags=NLM_F_ACK, version=1):
        self.seq += 1
        body = struct.pack("<BBH", cmd, version, 0) + attrs
        hdr = struct.pack("<IHHII", 16 + len(body), mtype, NLM_F_REQUEST | flags, self.seq, self.port)
        self.sock.sendto(hdr + body, (self.peer, 0))
        return self.seq

    def read(self, timeout=10):
        if self.pending:
            return self.pending.pop(0)
        self.sock.settimeout(timeout)
        data = self.sock.recv(1 << 20)
        msgs = split_msgs(data)
        self.pending.extend(msgs[1:])
        return msgs[0]

    def answer(self, seq, timeout=10):
        """Every message for seq up to and including its ACK, error or DONE; events
        that arrive meanwhile are kept in self.events."""
        out = []
        end = time.monotonic() + timeout
        while True:
            m = self.read(max(0.1, end - time.monotonic()))
            if m.seq != seq:
                self.events.append(m)
                continue
            out.append(m)
            if m.type in (NLMSG_ERROR, NLMSG_DONE):
                return out

    events = None

    def request(self, cmd, attrs=b"", flags=NLM_F_ACK):
        """Sends an nl80211 request; returns (errno, replies)."""
        if self.events is None:
            self.events = []
        seq = self.send(self.family, cmd, attrs, flags)
        ans = self.answer(seq)
        return ans[-1].error, ans[:-1]

    def resolve(self):
        self.events = []
        seq = self.send(GENL_ID_CTRL, CTRL_CMD_GETFAMILY, attr(CTRL_ATTR_FAMILY_NAME, "nl80211"))
        ans = self.answer(seq)
        assert ans[-1].error == 0, ans
        fam = ans[0]
        self.family = struct.unpack("<H", fam.get(CTRL_ATTR_FAMILY_ID)[:2])[0]
        for _, g in parse_attrs(fam.get(CTRL_ATTR_MCAST_GROUPS)):
            d = adict(g)
            self.groups[d[CTRL_ATTR_MCAST_GRP_NAME].rstrip(b"\0").decode()] = struct.unpack(
                "<I", d[CTRL_ATTR_MCAST_GRP_ID])[0]
        return self

    def join(self, *names):
        for n in names:
            self.sock.setsockopt(SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, self.groups[n])
        return self

    def wait_event(self, cmd, timeout=15, pred=None):
        """The next event of that command (kept events first)."""
        end = time.monotonic() + timeout
        while True:
            for i, m in enumerate(self.events):
                if m.cmd == cmd and m.type == self.family and (pred is None or pred(m)):
                    return self.events.pop(i)
            left = end - time.monotonic()
            if left <= 0:
                raise AssertionError("no event %d within %ss; seen %r" % (cmd, timeout, self.events))
            try:
                self.events.append(self.read(left))
            except socket.timeout:
                pass


class NlSim:
    """build/nlsim in its own namespace, with a sandbox root and a radio configuration."""

    def __init__(self, conf="default.conf", extra=""):
        _serial[0] += 1
        self.ns = "nlsim%d%d" % (os.getpid() % 100000, _serial[0])
        self.root = tempfile.mkdtemp(prefix="nls-", dir="/tmp")
        os.makedirs(os.path.join(self.root, "run"))
        text = ""
        if conf:
            with open(os.path.join(FIXTURES, conf)) as f:
                text = f.read()
        with open(os.path.join(self.root, "run", "nlsim.conf"), "w") as f:
            f.write(text + extra)
        subprocess.run(["ip", "netns", "add", self.ns], check=True)
        subprocess.run(["ip", "-n", self.ns, "link", "set", "lo", "up"], check=True)
        self.log = open(os.path.join(self.root, "nlsim.out"), "w+")
        self.proc = subprocess.Popen(["ip", "netns", "exec", self.ns, os.path.join(BUILD, "nlsim"),
                                      "--root", self.root], stdout=subprocess.PIPE, stderr=self.log, text=True)
        line = self.proc.stdout.readline()
        assert line.startswith("ready "), "nlsim did not start: %r %s" % (line, self.output())
        self.port = int(line.split()[1])
        self.sockets = []

    def output(self):
        self.log.flush()
        with open(self.log.name) as f:
            return f.read()

    def path(self, rel):
        return os.path.join(self.root, rel)

    def genl(self):
        g = Genl(self.ns, self.port).resolve()
        self.sockets.append(g)
        return g

    def control(self, line):
        """One control line; returns (ok, answer lines)."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(20)
            s.connect(self.path("run/nlsim.sock"))
            s.sendall(line.encode() + b"\n")
            data = b""
            while not (data.endswith(b"OK\n") or b"ERR" in data):
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
        lines = data.decode().splitlines()
        return (bool(lines) and lines[-1] == "OK"), lines[:-1] if lines and lines[-1] == "OK" else lines

    def ok(self, line):
        good, lines = self.control(line)
        assert good, "%s: %s" % (line, lines)
        return lines

    def state(self):
        return self.ok("state")

    def run(self, *cmd, check=True, timeout=60, env=None):
        e = dict(os.environ, QMR_NL80211_PORT=str(self.port), LD_PRELOAD=NLPEER)
        e.update(env or {})
        return subprocess.run(["ip", "netns", "exec", self.ns, *cmd], capture_output=True, text=True,
                              check=check, timeout=timeout, env=e)

    def plain(self, *cmd, check=True):
        return subprocess.run(["ip", "netns", "exec", self.ns, *cmd], capture_output=True, text=True,
                              check=check, timeout=60)

    def wait_for(self, pred, timeout=20, what="condition"):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if pred():
                return
            time.sleep(0.05)
        raise AssertionError("timed out waiting for " + what)

    def close(self):
        for g in self.sockets:
            g.close()
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.log.close()
        subprocess.run(["ip", "netns", "del", self.ns], check=False)
        shutil.rmtree(self.root, ignore_errors=True)
