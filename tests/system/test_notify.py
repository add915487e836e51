"""The notification task seen from its peers: a real mail server (aiosmtpd) in the
client namespace receives the event mails; the daemon's board is driven with simctl and
its task moved on with the tick clock."""
import json
import os
import subprocess
import sys
import tempfile
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
PEER = os.path.join(HERE, "smtp_peer.py")
SMTP_PORT = 2525


def self_signed(directory):
    key, cert = os.path.join(directory, "key.pem"), os.path.join(directory, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                    "/CN=mail.test", "-keyout", key, "-out", cert], check=True, capture_output=True)
    return cert, key


class MailServer:
    """aiosmtpd in the client namespace; mails() returns what it accepted."""

    def __init__(self, net, mode="plain", login=("notifier", "s3cret")):
        self.dir = tempfile.mkdtemp(prefix="qmr-smtp-")
        self.out = os.path.join(self.dir, "mails.jsonl")
        args = ["ip", "netns", "exec", net.client, sys.executable, PEER, net.client_addr, str(SMTP_PORT),
                self.out]
        if mode != "plain":
            args += ["--tls", *self_signed(self.dir)]
        if mode == "implicit":
            args.append("--implicit")
        if login:
            args += ["--login", *login]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        line = self.proc.stdout.readline()
        assert "ready" in line, line + self.proc.stdout.read()

    def entries(self):
        if not os.path.exists(self.out):
            return []
        with open(self.out) as f:
            return [json.loads(line) for line in f if line.strip()]

    def mails(self):
        return [e for e in self.entries() if "data" in e]

    def wait_mails(self, daemon, count, timeout=30, advance=True):
        """Waits for count mails, moving the task's 30-second loop on meanwhile."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if len(self.mails()) >= count:
                return self.mails()
            if advance:
                daemon.simctl("ticks", "advance", "1000")
            time.sleep(0.3)
        raise AssertionError("got %d mails of %d:\n%s" % (len(self.mails()), count, daemon.output()))

    def close(self):
        self.proc.kill()
        self.proc.wait()
        subprocess.run(["rm", "-rf", self.dir])


def mail_params(net, secure="---", auth=True, extra=""):
    text = ("mailto_1 = admin@example.test\nsmtp_srv = %s\nsmtp_port = %d\nsmtp_secure = %s\n"
            "smtp_sender = qmr@example.test\n" % (net.client_addr, SMTP_PORT, secure))
    if auth:
        text += "smtp_auth = on\nsmtp_usr = notifier\nsmtp_pwd = s3cret\n"
    return text + extra


def start(daemon, root, params, product=None):
    if product:
        import shutil
        from conftest import FIXTURES
        shutil.copy(os.path.join(FIXTURES, "products", product), root.file("/proc/product_params"))
    with open(root.file("/etc/params.dat"), "a") as f:
        f.write(params)
    daemon.start()
    # The task waits 10 s of the tick clock before it looks at its settings.
    daemon.wait_for(lambda: daemon.simctl("post", "Notify", "0")[1] == ["1"], what="the Notify task")
    # TLS sessions carry the appliance's certificate, made in the background at start.
    daemon.wait_for(lambda: os.path.exists(root.file("/etc/certs/cert_srv.pem")), timeout=60,
                    what="the default certificate")
    daemon.simctl("ticks", "advance", "1100")
    return daemon


@pytest.fixture
def mailserver(net, request):
    servers = []

    def make(**kw):
        s = MailServer(net, **kw)
        servers.append(s)
        return s
    yield make
    for s in servers:
        s.close()


@pytest.mark.parametrize("mode,secure", [("plain", "---"), ("starttls", "tls"), ("implicit", "ssl")])
def test_restart_mail_with_header_block_and_tan(daemon, root, net, mailserver, mode, secure):
    server = mailserver(mode=mode)
    start(daemon, root, mail_params(net, secure) + ("smtp_port = %d\n" % SMTP_PORT))
    mail = server.wait_mails(daemon, 1)[0]
    assert mail["from"] == "qmr@example.test"
    assert mail["to"] == ["admin@example.test"]
    data = mail["data"]
    assert "\r\nSubject: qmr QMR-0287A1: Restart\r\n" in data
    for line in ("Device: qmr USB Server 4-port\r\n", "Name: QMR-0287A1\r\n",
                 "Serial number:287202611" "04711\r\n", "IPv4 address: %s\r\n" % net.device_addr,
                 "Event: Restart\r\n\r\n", "\r\n=== USB Devices ==="):
        assert line in data, line
    tan = [l for l in data.split("\r\n") if l.startswith("TAN: ")]
    assert len(tan) == 1 and len(tan[0]) == len("TAN: ") + 16
    assert "\n" not in data.replace("\r\n", "")


def test_refused_login_still_sends_mail_from(daemon, root, net, mailserver):
    server = mailserver(login=("notifier", "other"))
    start(daemon, root, mail_params(net))
    # aiosmtpd takes mail without a login: the refusal leaves the error, the mail goes.
    mail = server.wait_mails(daemon, 1)[0]
    assert {"auth": "refused"} in server.entries()
    assert "Restart" in mail["data"]


def test_link_change_gives_one_network_link_mail(daemon, root, net, mailserver):
    server = mailserver()
    start(daemon, root, mail_params(net))
    server.wait_mails(daemon, 1)
    # Down and up again before the task's next pass: one mail with both changes.
    net.set_link(False)
    daemon.wait_for(lambda: "network link is down" in root.moni_text(), what="the link watch")
    net.set_link(True)
    daemon.wait_for(lambda: root.moni_text().count("network link is up") >= 1, what="the link back")
    link = server.wait_mails(daemon, 2)[1]["data"]
    assert link.count("Subject: ") == 1 and "Subject: qmr QMR-0287A1: Network link\r\n" in link
    assert link.count("=== Network links ===") == 1
    assert "RJ-45 network connector: no link" in link and "RJ-45 network connector: link established" in link, link
    assert link.index("RJ-45 network connector: no link") < link.index("RJ-45 network connector: link established")
    # Nothing is mailed twice.
    for _ in range(3):
        daemon.simctl("ticks", "advance", "3100")
        time.sleep(0.5)
    assert len(server.mails()) == 2


def test_power_input_mail_on_p295(daemon, root, net, mailserver):
    server = mailserver()
    start(daemon, root, mail_params(net), product="p295_display")
    server.wait_mails(daemon, 1)
    daemon.simctl("power-input", "1", "off")
    mail = server.wait_mails(daemon, 2)[1]["data"]
    assert "Subject: qmr QMR-0295C3: Power supply\r\n" in mail
    assert "Power supply 1 is switched off" in mail
    assert "Power supply 2 is switched on" in mail


def test_monitoring_file_arrives_intact(daemon, root, net, mailserver):
    server = mailserver()
    start(daemon, root, mail_params(net, extra="monimail = on\nmonimailto = moni@example.test\n"))
    server.wait_mails(daemon, 1)
    # A monitoring file with lines a mail server would take for its end or strip.
    moni = root.file("/var/moni/monitor")
    path = os.path.join(moni, "QMR-0287A1_05.log")
    with open(path, "w") as f:
        f.write("first line\r\n.\r\n.x dotted\r\nbare\nlast\r\n")
    assert daemon.simctl("notify", "0x10000000", "5")[0]
    mail = server.wait_mails(daemon, 2)[1]
    assert mail["to"] == ["moni@example.test"]
    body = mail["data"]
    assert "\r\nfirst line\r\n.\r\n.x dotted\r\nbare\r\nlast\r\n" in body
