"""System-test harness: the real qmr in its own network namespace.

Each test that asks for `daemon` gets:
  - a device namespace whose veth end is named eth0 and a client namespace that
    holds the peer end (also eth0), with addresses from 198.18.0.0/15;
  - a fresh sandbox root built from tests/fixtures (a product description and a
    parameter file);
  - qmr started there with QMR_PLATFORM=sim, its standard output collected;
and everything is torn down afterwards, whatever the test did.
"""
import itertools
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FIXTURES = os.path.join(REPO, "tests", "fixtures")
BUILD = os.environ.get("QMR_BUILD", os.path.join(REPO, "build", "test"))
SIMCTL = os.path.join(REPO, "sim", "simctl")

_serial = itertools.count(1)


def sh(*args, check=True, **kw):
    return subprocess.run(list(args), check=check, capture_output=True, text=True, **kw)


class Network:
    """A device namespace and a client namespace joined by a veth pair (eth0 on both)."""

    def __init__(self):
        n = next(_serial)
        tag = "%d%d" % (os.getpid() % 100000, n)
        self.device = "qmrd" + tag
        self.client = "qmrc" + tag
        # One /24 of 198.18.0.0/15 per network, so parallel tests never share one.
        self.subnet = "198.18.%d" % (n % 250 + 1)
        self.device_addr = self.subnet + ".1"
        self.client_addr = self.subnet + ".2"
        sh("ip", "netns", "add", self.device)
        sh("ip", "netns", "add", self.client)
        a, b = "qv%sa" % tag, "qv%sb" % tag
        sh("ip", "link", "add", a, "type", "veth", "peer", "name", b)
        sh("ip", "link", "set", a, "netns", self.device)
        sh("ip", "link", "set", b, "netns", self.client)
        self.run_device("ip", "link", "set", a, "name", "eth0")
        self.run_client("ip", "link", "set", b, "name", "eth0")
        for ns in (self.device, self.client):
            sh("ip", "-n", ns, "link", "set", "lo", "up")
        self.run_client("ip", "addr", "add", self.client_addr + "/24", "dev", "eth0")
        self.set_link(True)

    def run_device(self, *cmd, check=True, timeout=60):
        return sh("ip", "netns", "exec", self.device, *cmd, check=check, timeout=timeout)

    def run_client(self, *cmd, check=True, timeout=60):
        return sh("ip", "netns", "exec", self.client, *cmd, check=check, timeout=timeout)

    def set_link(self, up):
        """Raises or drops the client's end, which the device sees as its carrier."""
        self.run_client("ip", "link", "set", "eth0", "up" if up else "down")
        self.run_device("ip", "link", "set", "eth0", "up")

    def close(self):
        for ns in (self.device, self.client):
            sh("ip", "netns", "del", ns, check=False)


class SandboxRoot:
    """A fresh appliance file tree for one run."""

    def __init__(self, product="p287_4port", params="static.dat", device_addr="198.18.0.1"):
        # Short, so that <root>/run/sim.sock stays well under the 108-byte limit.
        self.path = tempfile.mkdtemp(prefix="qmr-", dir="/tmp")
        for d in ("etc", "var", "tmp", "romfs", "dev", "run", "proc/sys/vm", "sys/module/usbcore/parameters"):
            os.makedirs(os.path.join(self.path, d), exist_ok=True)
        shutil.copy(os.path.join(FIXTURES, "products", product), self.file("/proc/product_params"))
        # Debian's usb.ids, copied into the build's romfs tree at configure time.
        ids = os.path.join(BUILD, "romfs", "usb.ids")
        if os.path.exists(ids):
            shutil.copy(ids, self.file("/romfs/usb.ids"))
        # The web templates and message catalogues of the build's romfs tree.
        for part in ("templates", "locale"):
            src = os.path.join(BUILD, "romfs", part)
            if os.path.isdir(src):
                shutil.copytree(src, self.file("/romfs/" + part), dirs_exist_ok=True)
        if params:
            # The fixture names the device's address as @DEVICE_ADDR@.
            with open(os.path.join(FIXTURES, "params", params)) as f:
                text = f.read().replace("@DEVICE_ADDR@", device_addr)
            with open(self.file("/etc/params.dat"), "w") as f:
                f.write(text)

    def file(self, appliance_path):
        return os.path.join(self.path, appliance_path.lstrip("/"))

    def moni_text(self):
        """Every monitoring-log line written so far, oldest file first."""
        base = self.file("/var/moni/monitor")
        text = ""
        if os.path.isdir(base):
            for name in sorted(os.listdir(base)):
                with open(os.path.join(base, name), "rb") as f:
                    text += f.read().decode(errors="replace")
        return text

    def close(self):
        shutil.rmtree(self.path, ignore_errors=True)


class Control:
    """A kept connection to the daemon's control socket: each ask() sends one command
    line and returns (ok, answer lines) without starting a client process, so a test
    that asks often stays quick on a loaded machine."""

    def __init__(self, path, timeout=60):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(path)
        self.pending = b""

    def ask(self, line):
        self.sock.sendall(line.encode() + b"\n")
        lines = []
        while True:
            while b"\n" not in self.pending:
                chunk = self.sock.recv(4096)
                if not chunk:
                    raise AssertionError("the control socket closed during %r" % line)
                self.pending += chunk
            raw, self.pending = self.pending.split(b"\n", 1)
            text = raw.decode(errors="replace")
            if text == "OK":
                return True, lines
            if text.startswith("ERR"):
                return False, lines + [text]
            lines.append(text)

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Daemon:
    """The qmr process under test."""

    def __init__(self, net, root, binary=None, env=None):
        self.net, self.root = net, root
        self.binary = binary or os.path.join(BUILD, "qmr")
        self.log_path = root.file("/qmr.out")
        self.socket = root.file("/run/sim.sock")
        self.env = dict(os.environ, QMR_ROOT=root.path, QMR_PLATFORM="sim")
        self.env.update(env or {})
        self.proc = None

    def start(self, wait_socket=True):
        self.log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", self.net.device, self.binary],
            stdout=self.log, stderr=subprocess.STDOUT, env=self.env, cwd=self.root.path)
        if wait_socket:
            self.wait_for(lambda: os.path.exists(self.socket), what="the sim control socket")
        return self

    def output(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode(errors="replace")

    def wait_for(self, pred, timeout=20.0, what="condition"):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if pred():
                return
            if self.proc and self.proc.poll() is not None:
                raise AssertionError("qmr ended (status %s) while waiting for %s:\n%s"
                                     % (self.proc.returncode, what, self.output()))
            time.sleep(0.05)
        raise AssertionError("timed out waiting for %s:\n%s" % (what, self.output()))

    def wait_output(self, text, timeout=20.0):
        self.wait_for(lambda: text in self.output(), timeout, repr(text))

    def simctl(self, *words):
        """Runs sim/simctl against this daemon; returns (ok, answer lines)."""
        r = subprocess.run(["python3", SIMCTL, "--socket", self.socket, *words],
                           capture_output=True, text=True, timeout=30)
        if r.returncode == 2:
            raise AssertionError("simctl could not reach the daemon: " + r.stderr)
        return r.returncode == 0, r.stdout.splitlines()

    def ask(self, line):
        """Sends one raw line to the control socket; returns the whole answer."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(10)
            s.connect(self.socket)
            s.sendall(line.encode() + b"\n")
            data = b""
            while not (data.endswith(b"OK\n") or b"ERR" in data):
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
            return data.decode(errors="replace")

    def control(self, timeout=60):
        """One connection to the control socket for many commands (see Control)."""
        return Control(self.socket, timeout)

    def stop(self, sig=signal.SIGTERM, timeout=20):
        """Signals the daemon and returns its exit status."""
        if self.proc is None or self.proc.poll() is not None:
            return self.proc.returncode if self.proc else None
        self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("qmr did not stop within %ss:\n%s" % (timeout, self.output()))

    def close(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if getattr(self, "log", None):
            self.log.close()


def start_tcpdump(netns, *args, timeout=30):
    """tcpdump in a namespace, returned once it captures: it says so on standard error,
    and packets sent before that would be missed. Its output goes to a pipe (text)."""
    proc = subprocess.Popen(["ip", "netns", "exec", netns, "tcpdump", "-l", "-n", *args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        line = proc.stderr.readline()
        if "listening on" in line:
            return proc
        if not line:
            break
    proc.kill()
    proc.wait()
    raise AssertionError("tcpdump did not start capturing: %r" % proc.stderr.read())


def _need_root():
    if os.geteuid() != 0:
        pytest.skip("system tests need root for network namespaces")


@pytest.fixture
def net():
    _need_root()
    n = Network()
    yield n
    n.close()


@pytest.fixture
def root(net):
    r = SandboxRoot(device_addr=net.device_addr)
    yield r
    r.close()


@pytest.fixture
def daemon(net, root):
    d = Daemon(net, root)
    yield d
    d.close()
