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

from webutil import make_certificate

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
        # No storage slot: the task's start would announce its card as missing, one more
        # mail and trap in every count here (tests/system/test_slot.py has the slot).
        f.write("autoSync = off\n" + params)
    # A ready pair: the first mails go out at once, before a pair generated on a loaded
    # machine would exist.
    if not os.path.exists(root.file("/etc/certs/cert_pkey.pem")):
        make_certificate(root)
    daemon.start()
    # The task waits 10 s of the tick clock before it looks at its settings.
    daemon.wait_for(lambda: daemon.simctl("post", "Notify", "0")[1] == ["1"], what="the Notify task")
    # TLS sessions carry the appliance's certificate, made in the background at start;
    # its key is written last, so the key file means a whole pair.
    daemon.wait_for(lambda: os.path.exists(root.file("/etc/certs/cert_pkey.pem")), timeout=60,
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


class Mailbox:
    """dovecot's POP3 server in the client namespace with one Maildir user."""

    USER, PASSWORD = "box", "tanstaaf"

    def __init__(self, net, tls=False):
        self.net = net
        self.dir = tempfile.mkdtemp(prefix="qmr-pop-")
        os.chmod(self.dir, 0o755)
        self.maildir = os.path.join(self.dir, "mail", self.USER)
        for sub in ("new", "cur", "tmp"):
            os.makedirs(os.path.join(self.maildir, sub))
        subprocess.run(["chown", "-R", "nobody:nogroup", os.path.join(self.dir, "mail")], check=True)
        with open(os.path.join(self.dir, "passwd"), "w") as f:
            f.write("%s:{PLAIN}%s\n" % (self.USER, self.PASSWORD))
        ssl = "no"
        if tls:
            cert, key = self_signed(self.dir)
            ssl = "yes\nssl_cert = <%s\nssl_key = <%s" % (cert, key)
        conf = os.path.join(self.dir, "dovecot.conf")
        with open(conf, "w") as f:
            f.write("""protocols = pop3
listen = {addr}
base_dir = {d}/run
state_dir = {d}/state
log_path = {d}/dovecot.log
ssl = {ssl}
disable_plaintext_auth = no
auth_mechanisms = plain apop
mail_location = maildir:{d}/mail/%u
first_valid_uid = 1
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {d}/passwd
}}
userdb {{
  driver = static
  args = uid=nobody gid=nogroup home={d}/mail/%u
}}
service pop3-login {{
  inet_listener pop3 {{
    port = 110
  }}
  inet_listener pop3s {{
    port = 995
    ssl = yes
  }}
}}
""".format(addr=net.client_addr, d=self.dir, ssl=ssl))
        self.proc = subprocess.Popen(["ip", "netns", "exec", net.client, "dovecot", "-F", "-c", conf],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        end = time.monotonic() + 20
        while time.monotonic() < end:
            r = net.run_client("bash", "-c", "exec 3<>/dev/tcp/%s/110 && head -c 3 <&3" % net.client_addr,
                               check=False)
            if r.stdout.startswith("+OK"):
                return
            time.sleep(0.2)
        raise AssertionError("dovecot did not start: " + open(os.path.join(self.dir, "dovecot.log")).read())

    def put(self, name, text):
        # Written and owned in tmp/, then renamed into new/, as mail is delivered to a
        # maildir: the server may take a file from new/ the moment it appears there.
        staged = os.path.join(self.maildir, "tmp", name)
        os.makedirs(os.path.dirname(staged), exist_ok=True)
        with open(staged, "w", newline="") as f:
            f.write(text)
        subprocess.run(["chown", "nobody:nogroup", staged], check=True)
        os.rename(staged, os.path.join(self.maildir, "new", name))

    def count(self):
        return sum(len(os.listdir(os.path.join(self.maildir, s))) for s in ("new", "cur"))

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        subprocess.run(["rm", "-rf", self.dir])


@pytest.fixture
def mailbox(net):
    boxes = []

    def make(**kw):
        b = Mailbox(net, **kw)
        boxes.append(b)
        return b
    yield make
    for b in boxes:
        b.close()


def pop3_params(net, sec=0, port=110):
    return ("pop3 = on\npop3_srv = %s\npop3_port = %d\npop3_sec = %d\npop3_usr = %s\npop3_pwd = %s\n"
            % (net.client_addr, port, sec, Mailbox.USER, Mailbox.PASSWORD))


def command_mail(subject, sender="admin@example.test", body="hello\r\n", extra=""):
    return ("From: %s\r\nTo: box@example.test\r\nSubject: %s\r\n%sDate: Mon, 7 Dec 2026 10:00:00 +0000\r\n\r\n%s"
            % (sender, subject, extra, body))


@pytest.mark.parametrize("sec,port", [(0, 110), (1, 110), (2, 995)], ids=["user", "apop", "tls"])
def test_commands_answered_only_when_they_are_commands(daemon, root, net, mailserver, mailbox, sec, port):
    server = mailserver()
    box = mailbox(tls=(sec == 2))
    box.put("1.a", command_mail("Cmd: Get Status ack"))
    box.put("2.a", command_mail("RE: cmd: get status"))
    box.put("3.a", command_mail("Cheap watches"))
    box.put("4.a", command_mail("cmd: get status", sender="<>"))
    box.put("5.a", command_mail("cmd: get status", extra="Auto-Submitted: auto-replied\r\n"))
    big = "x" * 1000 + "\r\n"
    box.put("6.a", command_mail("cmd: get status", body=big * (9 * 1024)))
    start(daemon, root, mail_params(net, auth=False) + pop3_params(net, sec, port))
    mails = server.wait_mails(daemon, 3)
    daemon.wait_for(lambda: box.count() == 0, what="the mailbox emptied")
    replies = [m for m in mails if "Re: " in m["data"]]
    assert len(replies) == 2, [m["data"][:300] for m in mails]
    status = next(m["data"] for m in replies if "Event: get status" in m["data"])
    assert "Subject: Re: Cmd: Get Status ack\r\n" in status
    assert "Auto-Submitted: auto-replied\r\n" in status
    assert "TAN: " in status, "the sender is a configured receiver"
    size = next(m["data"] for m in replies if "Error: mail size:" in m["data"])
    assert "current limit:8192kb" in size
    time.sleep(1)
    assert len(server.mails()) == 3


def test_set_parameters_once_with_the_restart_mails_tan(daemon, root, net, mailserver, mailbox):
    server = mailserver()
    box = mailbox()
    start(daemon, root, mail_params(net, auth=False) + pop3_params(net) + "pop3_poll = 60\n")
    restart = server.wait_mails(daemon, 1)[0]["data"]
    tan = [l for l in restart.split("\r\n") if l.startswith("TAN: ")][0][5:]
    setting = command_mail("cmd: set parameters", body="TAN = %s\r\nsys_contact = Hanna Ops\r\n" % tan)
    box.put("1.b", setting)
    assert daemon.simctl("notify", "0x80000", "-1")[0]
    daemon.wait_for(lambda: box.count() == 0, what="the set-parameters mail handled")

    def saved():
        with open(root.file("/etc/params.dat")) as f:
            return "Hanna Ops" in f.read()
    daemon.wait_for(lambda: daemon.simctl("ticks", "advance", "3100") and saved(), what="the saved parameter")
    # The same TAN again changes nothing.
    with open(root.file("/etc/params.dat")) as f:
        before = f.read()
    box.put("2.b", setting.replace("Hanna Ops", "Mallory"))
    assert daemon.simctl("notify", "0x80000", "-1")[0]
    daemon.wait_for(lambda: box.count() == 0, what="the replay handled")
    daemon.simctl("ticks", "advance", "3100")
    time.sleep(1)
    with open(root.file("/etc/params.dat")) as f:
        assert f.read() == before
    assert not [m for m in server.mails() if "Re: " in m["data"]], "set parameters sends no reply"


class TrapReceiver:
    """snmptrapd in the client namespace on one address, logging numerically."""

    def __init__(self, net, address, engine_id=None):
        self.dir = tempfile.mkdtemp(prefix="qmr-trapd-")
        self.log = os.path.join(self.dir, "traps.log")
        conf = os.path.join(self.dir, "snmptrapd.conf")
        with open(conf, "w") as f:
            f.write("disableAuthorization yes\n")
            if engine_id:
                f.write("createUser -e 0x%s Admin SHA adminpass1 AES privpass12\n" % engine_id)
        env = dict(os.environ, MIBS="", SNMP_PERSISTENT_DIR=self.dir, HOME=self.dir)
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", net.client, "snmptrapd", "-f", "-C", "-c", conf, "-Lf", self.log, "-On",
             "udp:%s:162" % address], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        end = time.monotonic() + 10
        while time.monotonic() < end and "NET-SNMP version" not in self.text():
            time.sleep(0.1)

    def text(self):
        if not os.path.exists(self.log):
            return ""
        with open(self.log, errors="replace") as f:
            return f.read()

    def close(self):
        self.proc.kill()
        self.proc.wait()
        subprocess.run(["rm", "-rf", self.dir])


def check_trap_log(text, version, device_addr):
    """One restart trap and one trap of the link's return, in the receiver's version."""
    ent = ".1.3.6.1.4.1.32473.2.51"
    cold = "Cold Start" if version == "v1" else "OID: .1.3.6.1.6.3.1.1.5.1"
    assert text.count(cold) == 1, text
    assert text.count(ent + ".2 = INTEGER: 1\t") == 1, text
    # The link going down may be lost on the way (the trap has to cross that link).
    mark = ent + ".1 = INTEGER: 17" if version == "v1" else "OID: " + ent + ".1"
    assert 1 <= text.count(mark) <= 2, text
    if version == "v1":
        assert "Enterprise Specific Trap (51)" in text and ent + " " in text.replace(ent + ".", "")
        assert "OID: " + ent not in text, "no SNMPv2 form"
    else:
        assert ent + ".1 = INTEGER" not in text
        assert "Timeticks" in text
        assert ".1.3.6.1.6.3.18.1.3.0 = IpAddress: " + device_addr in text


@pytest.mark.parametrize("versions", [("v1",), ("v3",), ("v1", "v3")], ids=["v1", "v3", "v1-and-v3"])
def test_one_trap_per_link_change_in_the_receivers_version(daemon, root, net, versions):
    # The agent's engine ID: the text "KVX" and the last three MAC bytes.
    engine = "80001f8804" + "KVX123456".encode().hex()
    params = "admin_hash = sha\nadmin_pwd = adminpass1\nadmin_cipher = aes\nadmin_passphrase = privpass12\n"
    receivers = []
    try:
        # Receiver n listens on the client's address .n+1 of the test network.
        for n, version in enumerate(versions, 1):
            address = "%s.%d" % (net.subnet, n + 1)
            if address != net.client_addr:
                net.run_client("ip", "addr", "add", address + "/24", "dev", "eth0")
            receivers.append((version, TrapReceiver(net, address, engine if version == "v3" else None)))
            params += "trapversion_%d = %s\ntrapto_%d = %s\ntrapcommu_%d = trapper\n" % (n, version, n, address, n)
        start(daemon, root, params)
        for version, receiver in receivers:
            cold = "Cold Start" if version == "v1" else "OID: .1.3.6.1.6.3.1.1.5.1"
            daemon.wait_for(lambda: cold in receiver.text(), what="the restart trap")
        net.set_link(False)
        daemon.wait_for(lambda: "network link is down" in root.moni_text(), what="the link watch")
        net.set_link(True)
        for _, receiver in receivers:
            daemon.wait_for(lambda: ".1.3.6.1.4.1.32473.2.51.2 = INTEGER: 1\t" in receiver.text(), 60,
                            what="the link trap")
        # Time for a duplicate to arrive.
        time.sleep(1.5)
        for version, receiver in receivers:
            check_trap_log(receiver.text(), version, net.device_addr)
        if len(receivers) > 1:
            # After the agent has read its configuration again, an SNMPv1 trap still
            # reaches the SNMPv1 receiver once and the other one not at all.
            assert daemon.simctl("post", "NET-SNMPD", "0x4000")[0]
            daemon.wait_output("restarted")
            assert daemon.simctl("trap", "6", "52")[0]
            daemon.wait_for(lambda: "Enterprise Specific Trap (52)" in receivers[0][1].text(), what="the trap")
            time.sleep(1.5)
            assert receivers[0][1].text().count("Enterprise Specific Trap (52)") == 1
            assert ".0.52" not in receivers[1][1].text()
    finally:
        for _, receiver in receivers:
            receiver.close()


def relay_line(daemon):
    """Line 29 of the board: switched on while the relay is off."""
    ok, lines = daemon.simctl("board")
    value = int(next(l for l in lines if l.startswith("board_lines")).split()[1], 16)
    return bool(value & (1 << 29))


@pytest.mark.parametrize("product,ctrl,setting,expected", [
    ("p287_4port", "eve", "relay_eve_net = netoff", [False, False]),
    ("p287_4port", "stat", "relay_stat_net = netoff", [False, True]),
    ("p305_2port", "eve", "relay_eve_net = netoff", None),
], ids=["p287-event-latches", "p287-status-toggles", "p305-no-relay"])
def test_link_changes_drive_the_relay(daemon, root, net, product, ctrl, setting, expected):
    import shutil
    from conftest import FIXTURES
    shutil.copy(os.path.join(FIXTURES, "products", product), root.file("/proc/product_params"))
    with open(root.file("/etc/params.dat"), "a") as f:
        f.write("relay_ctrl = %s\n%s\n" % (ctrl, setting))
    daemon.start()
    daemon.wait_output("alive on eth0")
    before = relay_line(daemon)
    seen = []
    for up, text in ((False, "network link is down"), (True, "network link is up")):
        net.set_link(up)
        daemon.wait_for(lambda: text in root.moni_text(), what=text)
        seen.append(relay_line(daemon))
    if expected is None:
        assert seen == [before, before], "a product without relay never touches line 29"
    else:
        assert seen == expected


def test_power_input_failure_switches_the_relay(daemon, root, net):
    with open(root.file("/etc/params.dat"), "a") as f:
        f.write("relay_ctrl = eve\nrelay_eve_1pwr = pwroff\n")
    daemon.start()
    daemon.wait_output("alive on eth0")
    daemon.simctl("power-input", "1", "off")
    daemon.wait_for(lambda: not relay_line(daemon), what="the relay switched on")
