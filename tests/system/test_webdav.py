"""The WebDAV backup and monitoring upload seen from real servers: Apache with mod_dav
(its own configuration, plain and TLS) and a small scripted server (webdav_peer.py) for
the Digest variants, conflicts, refusals and odd answer framing."""
import glob
import hashlib
import json
import os
import shutil
import subprocess
import tempfile
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
PEER = os.path.join(HERE, "webdav_peer.py")
DEVICE = "QMR-0287A1"
PORT = 8080
USER, PASSWORD = "dav", "secret word"
# Noon of 5 March 2026 (UTC): the same day in every time zone the daemon may use.
CLOCK = 1772712000


class Peer:
    """webdav_peer.py in the client namespace; requests() returns what it logged."""

    def __init__(self, net, *options):
        self.dir = tempfile.mkdtemp(prefix="qmr-dav-")
        self.files = os.path.join(self.dir, "files")
        os.mkdir(self.files)
        self.log = os.path.join(self.dir, "requests.log")
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", net.client, "python3", PEER, net.client_addr, str(PORT), self.files,
             self.log, "--user", USER, "--password", PASSWORD, *options],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        end = time.monotonic() + 60
        while not os.path.exists(self.log + ".ready"):
            assert self.proc.poll() is None, self.proc.stderr.read().decode()
            assert time.monotonic() < end, "the WebDAV peer did not start"
            time.sleep(0.05)

    def requests(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return [json.loads(line) for line in f if line.strip()]

    def release(self):
        """Lets a held answer go (--hold)."""
        with open(self.log + ".release", "w"):
            pass

    def file(self, path):
        with open(os.path.join(self.files, path.lstrip("/")), "rb") as f:
            return f.read()

    def close(self):
        self.proc.kill()
        self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def configure(root, net, port=PORT, ssl="off", extra=""):
    with open(root.file("/etc/params.dat"), "a") as f:
        f.write("wdav_url = %s:%d/dav\nwdav_usr = %s\nwdav_pwd = %s\nwdav_ssl = %s\n"
                "wdav_monion = on\nwdav_monidir = moni\nwdav_monimdir = off\nwdav_bupdir = backup\n%s"
                % (net.client_addr, port, USER, PASSWORD, ssl, extra))


def services(daemon):
    if daemon.proc.poll() is not None:
        raise AssertionError("qmr ended:\n" + daemon.output())
    ok, lines = daemon.simctl("services")
    assert ok, lines
    return {l.split(" ", 1)[0]: l.split(" ", 1)[1] for l in lines if l.startswith("webdav") and " " in l}


def wait_idle(daemon, timeout=60):
    """Waits until a job ran and ended (the job word back at 0, a state past Init)."""
    daemon.wait_for(lambda: services(daemon)["webdav_jobs"] == "0" and services(daemon)["webdav"] != "0 Init",
                    timeout, "the WebDAV job to end")
    return services(daemon)


def current_moni_file(root):
    files = glob.glob(root.file("/var/moni/monitor/%s_*.log" % DEVICE))
    return max(files, key=lambda p: os.stat(p).st_mtime_ns)


def moni_to_upload(daemon, root):
    """The monitoring file that the next switch leaves (the file the job uploads), and
    the name the upload gets when the server has no log of uploads."""
    daemon.wait_for(lambda: glob.glob(root.file("/var/moni/monitor/*.log")), what="a monitoring file")
    # The notification task hands the file before the current one on 10 s after its
    # start (here: the missing file 10, "Error odd local file"); the switch comes after,
    # or that hand-on would upload the switched file a second time.
    daemon.wait_for(lambda: [services(daemon)[k] for k in ("webdav", "webdav_error", "webdav_jobs")] ==
                    ["1 Error odd local file", "1 Error odd local file", "0"], 60,
                    "the start-up hand-on of the monitoring file")
    assert daemon.simctl("param", "zqn_dscr_1", "before-the-upload")[0]
    finished = current_moni_file(root)
    return finished, "%s_%03d.txt" % (DEVICE, int(finished[-6:-4]))


def switch_moni(daemon):
    ok, lines = daemon.simctl("moni", "newfile")
    assert ok and lines == ["1"], lines


def upload_moni(daemon, root):
    finished, _ = moni_to_upload(daemon, root)
    switch_moni(daemon)
    return finished


def check_banner_and_file(body, local_path):
    with open(local_path, "rb") as f:
        local = f.read()
    assert local and body.endswith(local), "the upload does not end with the local file"
    banner = body[:len(body) - len(local)]
    assert banner.startswith(b"+-" * 48 + b"\r\n+-+\r\n+-+ Monitoring %s " % DEVICE.encode()), banner[:200]
    assert banner.endswith(b"\r\n\r\n")


@pytest.fixture
def peer_factory(net):
    peers = []

    def make(*options):
        p = Peer(net, *options)
        peers.append(p)
        return p

    yield make
    for p in peers:
        p.close()


@pytest.mark.parametrize("algorithm,qop,style", [
    ("MD5", "auth,auth-int", "split"),
    ("MD5-sess", "auth", "chunked"),
    ("SHA-256", "auth-int,auth", "plain"),
    ("SHA-512", "auth", "split"),
    ("MD5", "", "chunked"),
])
def test_monitoring_upload_with_digest(daemon, root, net, peer_factory, algorithm, qop, style):
    peer = peer_factory("--digest", algorithm, "--qop", qop, "--style", style)
    configure(root, net)
    daemon.start()
    finished = upload_moni(daemon, root)
    index = int(finished[-6:-4])
    state = wait_idle(daemon)
    assert state["webdav"] == "16 Files written", (state, peer.requests())
    reqs = peer.requests()
    # Every request after the first challenge authenticated, with "auth" as a bare token.
    assert all(r["auth"] == "ok" for r in reqs if r["auth"] != "none"), reqs
    digests = [r["headers"]["Authorization"] for r in reqs if "Authorization" in r["headers"]]
    assert digests and all(d.startswith("Digest ") for d in digests)
    if qop:
        assert all(", qop=auth," in d for d in digests), digests
        assert all(("algorithm=%s" % algorithm) in d for d in digests)
    else:
        assert not any("nc=" in d or "qop" in d for d in digests), digests
    # The directories were made, then the file, then the server's log of uploads.
    methods = [(r["method"], r["path"], r["status"]) for r in reqs]
    assert ("MKCOL", "/dav", 201) in methods and ("MKCOL", "/dav/moni", 201) in methods, methods
    name = "/dav/moni/%s_%03d.txt" % (DEVICE, index)
    put = [r for r in reqs if r["method"] == "PUT" and r["path"] == name]
    assert [r["status"] for r in put] == [201] and put[0]["headers"]["Overwrite"] == "F"
    # The announced length is what came: the banner and the whole file.
    assert put[0]["length"] == put[0]["body_length"]
    check_banner_and_file(peer.file(name), finished)
    log = peer.file("/dav/moni/%s_moni.log" % DEVICE).decode()
    assert log.endswith("\r\n>> finally written:%s_%03d.txt\r\n" % (DEVICE, index)), methods


def test_only_auth_int_offered_fails_without_guessing(daemon, root, net, peer_factory):
    peer = peer_factory("--qop", "auth-int")
    configure(root, net)
    daemon.start()
    upload_moni(daemon, root)
    state = wait_idle(daemon)
    assert state["webdav_error"] == "13 Error find path", state
    reqs = peer.requests()
    assert reqs and not any("Authorization" in r["headers"] for r in reqs), reqs
    assert not os.listdir(peer.files)


def test_basic_and_the_running_number_from_the_server_log(daemon, root, net, peer_factory):
    peer = peer_factory("--basic")
    os.makedirs(os.path.join(peer.files, "dav", "moni"))
    # An earlier upload numbered 041; a longer device-information part before it.
    with open(os.path.join(peer.files, "dav", "moni", "%s_moni.log" % DEVICE), "wb") as f:
        f.write(b"\r\n  Device: qmr\r\n" + b"  Name  : x\r\n" * 12 +
                b"\r\n>> finally written:%s_041.txt\r\n" % DEVICE.encode())
    configure(root, net)
    daemon.start()
    finished = upload_moni(daemon, root)
    state = wait_idle(daemon)
    assert state["webdav"] == "16 Files written", (state, peer.requests())
    check_banner_and_file(peer.file("/dav/moni/%s_042.txt" % DEVICE), finished)
    assert peer.file("/dav/moni/%s_moni.log" % DEVICE).endswith(b">> finally written:%s_042.txt\r\n"
                                                                % DEVICE.encode())
    # The collection existed: no MKCOL was needed.
    assert not [r for r in peer.requests() if r["method"] == "MKCOL"]


def test_conflicts_are_waited_out_and_a_refusal_is_final(daemon, root, net, peer_factory):
    configure(root, net)
    daemon.start()
    finished, name = moni_to_upload(daemon, root)
    # The file's PUT meets four conflicts, then goes through; the server's log of
    # uploads is refused (412) once, and chunked answers come back throughout.
    peer = peer_factory("--put-status", "%s=409,409,409,409,201" % name,
                        "--put-status", "%s_moni.log=412" % DEVICE, "--style", "chunked")
    switch_moni(daemon)
    state = wait_idle(daemon, 90)
    puts = [r for r in peer.requests() if r["method"] == "PUT"]
    assert [r["status"] for r in puts if r["path"].endswith(name)] == [409, 409, 409, 409, 201], puts
    # The refused log is tried once: a 412 is not waited out.
    assert [r["status"] for r in puts if r["path"].endswith("_moni.log")] == [412]
    assert state["webdav"] == "16 Files written" and state["webdav_error"] == "15 Error write files", state
    check_banner_and_file(peer.file("/dav/moni/" + name), finished)


def test_refused_upload_ends_after_ten_attempts(daemon, root, net, peer_factory):
    configure(root, net)
    daemon.start()
    _, name = moni_to_upload(daemon, root)
    peer = peer_factory("--put-status", "%s=%s" % (name, ",".join(["412"] * 20)))
    switch_moni(daemon)
    state = wait_idle(daemon, 90)
    puts = [r for r in peer.requests() if r["method"] == "PUT"]
    # One PUT per attempt, ten attempts, nothing stored.
    assert [r["status"] for r in puts] == [412] * 10, puts
    assert state["webdav_error"] == "15 Error write files", state
    assert not os.path.exists(os.path.join(peer.files, "dav/moni", name))


def test_backup_after_a_saved_change(daemon, root, net, peer_factory):
    # The answer to the backup's first file is held back until the monitoring file has
    # met the running job.
    peer = peer_factory("--digest", "SHA-256", "--hold", "params.dat")
    configure(root, net, extra="wdav_bupmdir = on\n")
    os.makedirs(root.file("/etc/certs"), exist_ok=True)
    for name, data in (("cert_fsrv.pem", b"server certificate\n"), ("cert_mime.pem", b"mime certificate\n"),
                       ("cert_srv.pem", b"never copied\n"), ("0a1b2c3d.0", b"hash link\n")):
        with open(root.file("/etc/certs/" + name), "wb") as f:
            f.write(data)
    daemon.start()
    assert daemon.simctl("clock", "set", str(CLOCK))[0]
    moni_to_upload(daemon, root)
    # Switching the automatic backup on saves the parameters, which starts a backup.
    assert daemon.simctl("param", "wdav_bupauto", "on")[0]
    daemon.wait_for(lambda: services(daemon)["webdav_jobs"] == "1", 60, "the backup to start")
    # A monitoring file finished meanwhile finds the job word taken: no second job.
    switch_moni(daemon)
    daemon.wait_output("WDavMoni::run immediatly stopped, incas:1 already alive?!", 90)
    peer.release()
    state = wait_idle(daemon, 90)
    assert state["webdav"] == "16 Files written", (state, peer.requests())
    day = "/dav/backup/day_05/"
    with open(root.file("/etc/params.dat"), "rb") as f:
        assert peer.file(day + "params.dat") == f.read()
    assert peer.file(day + "cert_fsrv.pem") == b"server certificate\n"
    assert peer.file(day + "cert_mime.pem") == b"mime certificate\n"
    assert peer.file(day + "0a1b2c3d.0") == b"hash link\n"
    assert not os.path.exists(os.path.join(peer.files, "dav/backup/day_05/cert_srv.pem"))
    info = peer.file(day + "%s_BUp.log" % DEVICE).decode()
    assert "  Name  : %s" % DEVICE in info
    order = [r["path"] for r in peer.requests() if r["method"] == "PUT"]
    assert order == [day + n for n in ("params.dat", "cert_fsrv.pem", "cert_mime.pem", "0a1b2c3d.0",
                                       "%s_BUp.log" % DEVICE)], order
    # Every component was made, the day directory too.
    made = [r["path"] for r in peer.requests() if r["method"] == "MKCOL" and r["status"] == 201]
    assert made == ["/dav", "/dav/backup", "/dav/backup/day_05"], made
    assert not [r for r in peer.requests() if "/moni" in r["path"]]


APACHE_PORT, APACHE_TLS_PORT = 8081, 8443
MODULES = ("mpm_event", "authn_core", "authn_file", "authz_core", "authz_user", "auth_basic",
           "auth_digest", "dav", "dav_fs", "dir", "ssl", "socache_shmcb")


class Apache:
    """apache2 -DFOREGROUND in the client namespace with its own configuration: mod_dav
    over a document root of its own, Digest (MD5) on plain HTTP, Basic on TLS; every
    request goes to the access log as "METHOD URI STATUS"."""

    def __init__(self, net):
        self.net = net
        self.dir = tempfile.mkdtemp(prefix="qmr-apache-")
        os.chmod(self.dir, 0o755)
        self.docs = os.path.join(self.dir, "htdocs")
        self.run_dir = os.path.join(self.dir, "run")
        for d in (self.docs, self.run_dir):
            os.mkdir(d)
        shutil.chown(self.docs, "www-data", "www-data")
        shutil.chown(self.run_dir, "www-data", "www-data")
        realm = "qmr-apache"
        with open(os.path.join(self.dir, "digest.pw"), "w") as f:
            f.write("%s:%s:%s\n" % (USER, realm, hashlib.md5(("%s:%s:%s" % (USER, realm, PASSWORD)).encode())
                                    .hexdigest()))
        crypted = subprocess.run(["openssl", "passwd", "-apr1", PASSWORD], check=True, capture_output=True,
                                 text=True).stdout.strip()
        with open(os.path.join(self.dir, "basic.pw"), "w") as f:
            f.write("%s:%s\n" % (USER, crypted))
        key, cert = os.path.join(self.dir, "key.pem"), os.path.join(self.dir, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                        "/CN=dav.test", "-keyout", key, "-out", cert], check=True, capture_output=True)
        self.access = os.path.join(self.dir, "access.log")
        conf = ["ServerName dav.test", "ServerRoot %s" % self.dir, "PidFile %s/httpd.pid" % self.run_dir,
                "DefaultRuntimeDir %s" % self.run_dir, "ErrorLog %s/error.log" % self.dir,
                "User www-data", "Group www-data",
                'LogFormat "%m %U %>s" short', "CustomLog %s short" % self.access,
                "Listen %s:%d" % (net.client_addr, APACHE_PORT),
                "Listen %s:%d" % (net.client_addr, APACHE_TLS_PORT),
                "DavLockDB %s/DavLock" % self.run_dir, "DocumentRoot %s" % self.docs,
                "<Directory %s>" % self.docs, "  Dav On", "  DirectorySlash On",
                '  AuthType Digest', '  AuthName "%s"' % realm, "  AuthDigestProvider file",
                "  AuthUserFile %s/digest.pw" % self.dir, "  Require valid-user", "</Directory>",
                "<VirtualHost %s:%d>" % (net.client_addr, APACHE_TLS_PORT),
                "  SSLEngine on", "  SSLCertificateFile %s" % cert, "  SSLCertificateKeyFile %s" % key,
                "  <Location />", "    AuthType Basic", '    AuthName "tls"',
                "    AuthBasicProvider file", "    AuthUserFile %s/basic.pw" % self.dir, "    Require valid-user",
                "  </Location>", "</VirtualHost>"]
        conf = ["LoadModule %s_module /usr/lib/apache2/modules/mod_%s.so" % (m, m) for m in MODULES] + conf
        self.conf = os.path.join(self.dir, "httpd.conf")
        with open(self.conf, "w") as f:
            f.write("\n".join(conf) + "\n")
        self.proc = subprocess.Popen(["ip", "netns", "exec", net.client, "apache2", "-DFOREGROUND", "-f", self.conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        end = time.monotonic() + 20
        while True:
            listening = net.run_client("ss", "-Hltn").stdout
            if ":%d " % APACHE_PORT in listening and ":%d " % APACHE_TLS_PORT in listening:
                break
            assert self.proc.poll() is None, self.proc.stderr.read().decode()
            assert time.monotonic() < end, "apache2 did not listen"
            time.sleep(0.1)

    def log(self):
        if not os.path.exists(self.access):
            return []
        with open(self.access) as f:
            return [tuple(line.split()) for line in f if line.strip()]

    def release(self):
        """Lets a held answer go (--hold)."""
        with open(self.log + ".release", "w"):
            pass

    def file(self, path):
        with open(os.path.join(self.docs, path.lstrip("/")), "rb") as f:
            return f.read()

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


@pytest.fixture
def apache(net):
    server = Apache(net)
    yield server
    server.close()


def run_backup(daemon, apache):
    """A saved change with the automatic backup on starts a backup 10 s later. A quick
    backup may be over between two looks at the job word: its requests at the server
    show that it ran as well."""
    before = services(daemon)
    assert before["webdav_jobs"] == "0", before
    seen = len(apache.log())
    assert daemon.simctl("param", "wdav_bupauto", "on")[0]
    daemon.wait_for(lambda: services(daemon)["webdav_jobs"] == "1" or
                    any("/dav/backup" in e[1] for e in apache.log()[seen:] if len(e) > 1), 60,
                    "the backup to start")
    return wait_idle(daemon, 90)


def test_apache_backup_and_monitoring_upload(daemon, root, net, apache):
    configure(root, net, port=APACHE_PORT, extra="wdav_bupmdir = on\nwdav_monimdir = on\n")
    os.makedirs(root.file("/etc/certs"), exist_ok=True)
    with open(root.file("/etc/certs/cert_rcert.pem"), "wb") as f:
        f.write(b"remote certificate\n" * 50)
    daemon.start()
    assert daemon.simctl("clock", "set", str(CLOCK))[0]
    finished, name = moni_to_upload(daemon, root)

    # The backup: the day directory is made below the backup directory.
    state = run_backup(daemon, apache)
    assert state["webdav"] == "16 Files written", (state, apache.log())
    day = "/dav/backup/day_05/"
    with open(root.file("/etc/params.dat"), "rb") as f:
        assert apache.file(day + "params.dat") == f.read()
    assert apache.file(day + "cert_rcert.pem") == b"remote certificate\n" * 50
    assert "  Name  : %s" % DEVICE in apache.file(day + "%s_BUp.log" % DEVICE).decode()
    made = [entry[1] for entry in apache.log() if entry[0] == "MKCOL"]
    assert made == ["/dav", "/dav/backup", "/dav/backup/day_05"], apache.log()

    # A second backup finds the day directory (a collection named without its "/":
    # Apache redirects, which counts as found) and overwrites the files despite
    # "Overwrite: F".
    assert daemon.simctl("param", "wdav_bupauto", "off")[0]
    assert daemon.simctl("param", "zqn_dscr_1", "second-backup")[0]
    seen = len(apache.log())
    state = run_backup(daemon, apache)
    assert state["webdav"] == "16 Files written", (state, apache.log())
    second = apache.log()[seen:]
    assert ("PROPFIND", "/dav/backup/day_05", "301") in second, second
    assert not [e for e in second if e[0] == "MKCOL"], second
    assert ("PUT", day + "params.dat", "204") in second, second
    with open(root.file("/etc/params.dat"), "rb") as f:
        local = f.read()
    assert b"second-backup" in local and apache.file(day + "params.dat") == local

    # The monitoring upload goes below month and day, numbered after the local file.
    switch_moni(daemon)
    daemon.wait_for(lambda: ("PUT", "/dav/moni/month_03/day_05/%s_moni.log" % DEVICE, "201") in apache.log(), 60,
                    "the monitoring upload")
    state = wait_idle(daemon)
    assert state["webdav"] == "16 Files written", state
    check_banner_and_file(apache.file("/dav/moni/month_03/day_05/" + name), finished)
    log = apache.file("/dav/moni/month_03/day_05/%s_moni.log" % DEVICE)
    assert log.endswith(b"\r\n>> finally written:%s\r\n" % name.encode())


def test_apache_over_tls(daemon, root, net, apache):
    configure(root, net, port=APACHE_TLS_PORT, ssl="on")
    daemon.start()
    finished, name = moni_to_upload(daemon, root)
    # The server's log of uploads already names 041: the next upload is 042.
    os.makedirs(os.path.join(apache.docs, "dav", "moni"))
    with open(os.path.join(apache.docs, "dav", "moni", "%s_moni.log" % DEVICE), "wb") as f:
        f.write(b"\r\n" + b"  Name  : x\r\n" * 12 + b"\r\n>> finally written:%s_041.txt\r\n" % DEVICE.encode())
    subprocess.run(["chown", "-R", "www-data:www-data", apache.docs], check=True)
    switch_moni(daemon)
    state = wait_idle(daemon, 60)
    assert state["webdav"] == "16 Files written", (state, apache.log())
    check_banner_and_file(apache.file("/dav/moni/%s_042.txt" % DEVICE), finished)
    # The cipher of the connection is kept for the security page.
    assert state["webdav_tls"].split()[0].startswith(("TLS_", "ECDHE-")), state
