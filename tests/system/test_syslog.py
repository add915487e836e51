"""The remote syslog client seen from a real syslog server: rsyslogd in the client
namespace takes plain TCP on one port and TLS (the "ossl" stream driver, anonymous) on
another, and writes every message as it arrived, one a line (a CR shows as "#015")."""
import os
import re
import signal
import subprocess
import tempfile
import time

import pytest

PLAIN_PORT, TLS_PORT = 5514, 6514
DEVICE = "QMR-0287A1"
PRODUCT = "qmr USB Server 4-port"


class Rsyslog:
    """rsyslogd -n in the client namespace; lines() returns what it received."""

    def __init__(self, net):
        self.net = net
        self.dir = tempfile.mkdtemp(prefix="qmr-rsys-")
        self.out = os.path.join(self.dir, "received.log")
        key, cert = os.path.join(self.dir, "key.pem"), os.path.join(self.dir, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                        "/CN=syslog.test", "-keyout", key, "-out", cert], check=True, capture_output=True)
        self.conf = os.path.join(self.dir, "rsyslog.conf")
        with open(self.conf, "w") as f:
            f.write('global(workDirectory="%s" DefaultNetstreamDriverCAFile="%s"\n'
                    '       DefaultNetstreamDriverCertFile="%s" DefaultNetstreamDriverKeyFile="%s")\n'
                    % (self.dir, cert, cert, key))
            f.write('module(load="imtcp")\n')
            f.write('input(type="imtcp" address="%s" port="%d")\n' % (net.client_addr, PLAIN_PORT))
            f.write('input(type="imtcp" address="%s" port="%d" streamDriver.name="ossl" '
                    'streamDriver.mode="1" streamDriver.authMode="anon")\n' % (net.client_addr, TLS_PORT))
            f.write('template(name="raw" type="string" string="%rawmsg%\\n")\n')
            f.write('*.* action(type="omfile" file="%s" template="raw")\n' % self.out)
        self.proc = None
        self.start()

    def start(self):
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", self.net.client, "rsyslogd", "-n", "-f", self.conf,
             "-i", os.path.join(self.dir, "pid")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        end = time.monotonic() + 20
        while time.monotonic() < end:
            listening = self.net.run_client("ss", "-Hltn").stdout
            if ":%d " % PLAIN_PORT in listening and ":%d " % TLS_PORT in listening:
                return
            time.sleep(0.1)
        raise AssertionError("rsyslogd did not listen")

    def lines(self):
        if not os.path.exists(self.out):
            return []
        with open(self.out, "rb") as f:
            return f.read().decode(errors="replace").splitlines()

    def wait_lines(self, daemon, pred, what, timeout=90):
        if daemon.proc.poll() is None:
            daemon.wait_for(lambda: any(pred(line) for line in self.lines()), timeout, what)
        else:
            # The daemon has ended; the server may still be writing its last lines.
            end = time.monotonic() + timeout
            while not any(pred(line) for line in self.lines()) and time.monotonic() < end:
                time.sleep(0.1)
        got = [line for line in self.lines() if pred(line)]
        assert got, "rsyslogd got no line for %s:\n%s" % (what, "\n".join(self.lines()))
        return got

    def signal(self, sig):
        self.proc.send_signal(sig)

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
            self.proc.kill()
            self.proc.wait()

    def close(self):
        self.kill()
        subprocess.run(["rm", "-rf", self.dir])


@pytest.fixture
def rsyslog(net):
    server = Rsyslog(net)
    yield server
    server.close()


def start(daemon, root, net, port=PLAIN_PORT, ssl="off", ietf="on"):
    with open(root.file("/etc/params.dat"), "a") as f:
        f.write("syslogng = on\nsyslogng_srv = %s\nsyslogng_port = %d\nsyslogng_ssl = %s\n"
                "syslogng_ietf = %s\n" % (net.client_addr, port, ssl, ietf))
    daemon.start()


def state(daemon):
    ok, lines = daemon.simctl("services")
    assert ok, lines
    return [l for l in lines if l.startswith("syslog ")][0]


def banner_patterns(net, ietf):
    if ietf:
        head = r"<45>1 \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ %s %s \d+ ID(\d+) - \d\d    0: " % (
            re.escape(net.device_addr), DEVICE)
    else:
        head = r"<45>[A-Z][a-z][a-z] [ \d]\d \d\d:\d\d:\d\d %s %s: {1,3}\d+: *\d+\.\d\d\| \d\d    0: " % (
            DEVICE, DEVICE)
    alive = head + r"### SysLogNg %s %s alive: *\d+/\d\d/\d\d restarts:\d+/0 \(-1\)#015$" % (
        DEVICE, re.escape(net.device_addr))
    version = head + (r"### %s SN:287202611" r"04711 dbg:20800001 HW:2\.1 Kern:\d+ Sys:20\.1\.22 SW:20\.1\.22#015$"
                      % re.escape(PRODUCT))
    bye = head + r"### %s %s time to go#015$" % (re.escape(PRODUCT), re.escape(net.device_addr))
    return re.compile(alive), re.compile(version), re.compile(bye)


def monitoring_pattern(net, ietf):
    """A monitoring line: the header, then the local log's line with its CR."""
    if ietf:
        return re.compile(r"^<13>1 \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ %s %s (\d+|-) ID\d+ - \d\d +\d+: (.*)#015$"
                          % (re.escape(net.device_addr), DEVICE))
    return re.compile(r"^<13>[A-Z][a-z][a-z] [ \d]\d \d\d:\d\d:\d\d %s %s: {1,3}\d+: *\d+\.\d\d\| \d\d +\d+: "
                      r"(.*)#015$" % (DEVICE, DEVICE))


@pytest.mark.parametrize("transport,ietf", [("plain", "off"), ("plain", "on"), ("tls", "on"), ("tls", "off")])
def test_banners_lines_and_goodbye(daemon, root, net, rsyslog, transport, ietf):
    tls = transport == "tls"
    start(daemon, root, net, port=TLS_PORT if tls else PLAIN_PORT, ssl="on" if tls else "off", ietf=ietf)
    alive, version, bye = banner_patterns(net, ietf == "on")
    rsyslog.wait_lines(daemon, lambda l: alive.match(l) or version.match(l), "the banners")
    daemon.wait_for(lambda: any(version.match(l) for l in rsyslog.lines()), what="the second banner")
    banners = [l for l in rsyslog.lines() if alive.match(l) or version.match(l)]
    assert alive.match(banners[0]) and version.match(banners[1]), banners
    if ietf == "on":
        # The message id counts the lines sent on this connection.
        assert [alive.match(banners[0]).group(1), version.match(banners[1]).group(1)] == ["0", "1"]
    assert state(daemon) == "syslog 8 working"

    # A monitoring line goes out as it is written to the local log.
    assert daemon.simctl("param", "zqn_dscr_1", "syslog-probe-%s" % transport)[0]
    pattern = monitoring_pattern(net, ietf == "on")
    remote = rsyslog.wait_lines(daemon, lambda l: pattern.match(l) and "syslog-probe" in l, "the probe line")
    local = [l for l in root.moni_text().split("\r\n") if "syslog-probe" in l]
    assert [pattern.match(l).group(2 if ietf == "on" else 1) for l in remote] == local

    assert daemon.stop() == 0
    rsyslog.wait_lines(daemon, lambda l: bye.match(l), "the goodbye line", timeout=10)
    assert not [l for l in rsyslog.lines() if not l.startswith(("<13>", "<45>"))]


def wait_state(daemon, control, pred, what, timeout=60):
    """Waits for a syslog state line that pred accepts; returns it."""
    found = []

    def check():
        ok, lines = control.ask("services")
        assert ok, lines
        line = [l for l in lines if l.startswith("syslog ")][0]
        found[:] = [line]
        return pred(line)

    daemon.wait_for(check, timeout, what)
    return found[0]


def test_killed_peer_is_lost_then_greeted_again(daemon, root, net, rsyslog):
    start(daemon, root, net)
    alive, version, _ = banner_patterns(net, True)
    rsyslog.wait_lines(daemon, lambda l: version.match(l), "the banners")
    rsyslog.kill()
    # The reset shows at a line written after the kill (the first may still go into the
    # socket); the client just connected, so its next try is some seconds away.
    written = []
    with daemon.control() as control:

        def lost(line):
            # On a slow machine the retry 20 s after the loss may already have failed
            # when the state is read: that too shows the loss was seen.
            if line in ("syslog 9 Error connection lost", "syslog 5 Error connect to host"):
                return True
            ok, answer = control.ask("moni lines 1 after-kill-%d" % len(written))
            assert ok and answer == ["1"], answer
            written.append("after-kill-%d 0" % (len(written)))
            return False

        wait_state(daemon, control, lost, "the lost connection")
        # The local log went on meanwhile.
        assert written and written[-1] in root.moni_text()
        before = len(rsyslog.lines())
        rsyslog.start()
        # The client tries again within 20 s and greets the new server.
        daemon.wait_for(lambda: any(version.match(l) for l in rsyslog.lines()[before:]), 90,
                        "the banners at the restarted server")
        assert sum(1 for l in rsyslog.lines()[before:] if version.match(l)) == 1
        assert wait_state(daemon, control, lambda l: l.startswith("syslog 8 "), "the working state") == \
            "syslog 8 working"


def test_stopped_peer_leaves_the_local_log_going(daemon, root, net, rsyslog):
    # Small socket buffers on both ends, so a stopped reader fills them after some
    # dozens of lines rather than megabytes.
    net.run_client("sysctl", "-qw", "net.ipv4.tcp_rmem=4096 4096 4096")
    net.run_device("sysctl", "-qw", "net.ipv4.tcp_wmem=4096 4096 4096")
    start(daemon, root, net)
    _, version, _ = banner_patterns(net, True)
    rsyslog.wait_lines(daemon, lambda l: version.match(l), "the banners")
    rsyslog.signal(signal.SIGSTOP)
    try:
        with daemon.control() as control:
            # Far more than the buffers hold, in one command: the logging call returns
            # for every line although the server reads nothing.
            count = 2000
            ok, answer = control.ask("moni lines %d %s" % (count, "v" * 120))
            assert ok and answer == [str(count)], answer
            # The client gave the silent server up (it just connected, so its next try is
            # some seconds away) ...
            ok, lines = control.ask("services")
            assert ok and "syslog 9 Error connection lost" in lines, lines
            # ... and every line reached the local log, in order, as do later ones.
            local = [l for l in root.moni_text().split("\r\n") if "v" * 120 in l]
            assert [l.rsplit(" ", 1)[1] for l in local] == [str(i) for i in range(count)]
            assert control.ask("param zqn_dscr_1 after-stop")[0]
            daemon.wait_for(lambda: "after-stop" in root.moni_text(), what="a line after the stop")
    finally:
        rsyslog.signal(signal.SIGCONT)


SYSLOG_NG = "/var/cache/qmr-peers/syslog-ng"
NG_IETF_PORT, NG_BSD_PORT = 7514, 7515


class SyslogNg:
    """syslog-ng, unpacked from its package (it conflicts with rsyslog), in the client
    namespace: one source parses RFC 5424 frames, one BSD lines; each message is written
    as its parsed fields, so the test sees what a second server made of the lines."""

    def __init__(self, net):
        self.dir = tempfile.mkdtemp(prefix="qmr-sng-")
        self.out = os.path.join(self.dir, "received.log")
        conf = os.path.join(self.dir, "syslog-ng.conf")
        with open(conf, "w") as f:
            f.write("@version: 3.38\noptions { use_dns(no); dns_cache(no); keep_hostname(yes); };\n")
            f.write("source ietf { network(ip(%s) port(%d) transport(tcp) flags(syslog-protocol)); };\n"
                    % (net.client_addr, NG_IETF_PORT))
            f.write("source bsd { network(ip(%s) port(%d) transport(tcp)); };\n" % (net.client_addr, NG_BSD_PORT))
            f.write('destination d { file("%s" template("${PRI}|${HOST}|${PROGRAM}|${PID}|${MSGID}|${MSG}\\n")); };\n'
                    % self.out)
            f.write("log { source(ietf); source(bsd); destination(d); };\n")
        lib = os.path.join(SYSLOG_NG, "usr/lib/syslog-ng")
        env = dict(os.environ, LD_LIBRARY_PATH="%s:%s" % (os.path.join(SYSLOG_NG, "usr/lib"), lib))
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", net.client, os.path.join(SYSLOG_NG, "usr/sbin/syslog-ng"), "-F", "--no-caps",
             "--module-path=" + os.path.join(lib, "3.38"), "-f", conf, "-R", os.path.join(self.dir, "persist"),
             "-p", os.path.join(self.dir, "pid"), "-c", os.path.join(self.dir, "ctl")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        end = time.monotonic() + 20
        while time.monotonic() < end:
            listening = net.run_client("ss", "-Hltn").stdout
            if ":%d " % NG_IETF_PORT in listening and ":%d " % NG_BSD_PORT in listening:
                return
            assert self.proc.poll() is None, "syslog-ng ended with status %s" % self.proc.returncode
            time.sleep(0.1)
        raise AssertionError("syslog-ng did not listen")

    def fields(self):
        if not os.path.exists(self.out):
            return []
        with open(self.out, "rb") as f:
            return [line.split("|", 5) for line in f.read().decode(errors="replace").splitlines()]

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        subprocess.run(["rm", "-rf", self.dir])


@pytest.mark.parametrize("ietf", ["on", "off"])
def test_syslog_ng_parses_the_lines_into_their_fields(daemon, root, net, ietf):
    assert os.access(os.path.join(SYSLOG_NG, "usr/sbin/syslog-ng"), os.X_OK), "run scripts/deps"
    server = SyslogNg(net)
    try:
        start(daemon, root, net, port=NG_IETF_PORT if ietf == "on" else NG_BSD_PORT, ietf=ietf)
        daemon.wait_for(lambda: any("SW:" in f[5] for f in server.fields() if len(f) == 6), 30, "the banners")
        assert daemon.simctl("param", "zqn_dscr_1", "ng-probe")[0]
        daemon.wait_for(lambda: any("ng-probe" in f[5] for f in server.fields() if len(f) == 6), 30,
                        "the probe line")
        assert daemon.stop() == 0
        end = time.monotonic() + 10
        while not any("time to go" in f[5] for f in server.fields() if len(f) == 6) and time.monotonic() < end:
            time.sleep(0.1)
        got = server.fields()
    finally:
        server.close()
    assert got and all(len(f) == 6 for f in got), got
    banners = [f for f in got if "### " in f[5]]
    probe = [f for f in got if "ng-probe" in f[5]]
    assert [f[5].split("### ", 1)[1].split(" ")[0] for f in banners] == ["SysLogNg", PRODUCT.split()[0],
                                                                         PRODUCT.split()[0]], banners
    assert "time to go" in banners[-1][5]
    # Banners go as local5.notice (45), monitoring lines as user.notice (13).
    assert {f[0] for f in banners} == {"45"} and {f[0] for f in probe} == {"13"}, got
    for f in got:
        if ietf == "on":
            assert f[1] == net.device_addr and f[2] == DEVICE and f[4].startswith("ID"), f
        else:
            assert f[1] == DEVICE and f[2] == DEVICE, f
    # The message is the local log's line behind the sequence numbers, its CR gone.
    body = re.compile(r"^\d\d +\d+: (.*)$" if ietf == "on" else r"^ *\d+: *\d+\.\d\d\| \d\d +\d+: (.*)$")
    local = [l for l in root.moni_text().split("\r\n") if "ng-probe" in l]
    assert [body.match(p[5]).group(1) for p in probe] == local, (probe, local)
