"""802.1X on the wired port against FreeRADIUS: qmr with an authentication type ("auth_typ")
runs its supplicant on eth0; a relay in the client namespace carries the EAP messages
between the port and the RADIUS server. Right secrets authorise the port (event lines,
STATUS, the session id equal to the server's), wrong ones leave it unauthorised."""
import json
import os
import queue
import shutil
import subprocess
import threading

import pytest

from conftest import Daemon
from radius_peer import SECRET, FreeRadius
from test_supplicant import CtrlClient, ctrl_path

HERE = os.path.dirname(os.path.abspath(__file__))
CONNECTED = "<3>CTRL-EVENT-CONNECTED - Connection to 01:80:c2:00:00:03 completed [id=0 id_str=]"

pytestmark = pytest.mark.skipif(shutil.which("freeradius") is None, reason="FreeRADIUS is not installed")


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


def make_pki(workdir):
    """A CA, the server's certificate with a DNS name, a client certificate and an
    unrelated CA, all EC P-256."""
    os.makedirs(workdir, exist_ok=True)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=Test CA",
            cwd=workdir)
    openssl("req", "-x509", *ec, "-keyout", "other.key", "-out", "other.pem", "-days", "2", "-subj",
            "/CN=Other CA", cwd=workdir)
    for name, cn, ext in (("server", "radius.example.org", "subjectAltName=DNS:radius.example.org"),
                          ("client", "alice", "basicConstraints=CA:FALSE")):
        openssl("req", *ec, "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + cn, cwd=workdir)
        with open(os.path.join(workdir, name + ".ext"), "w") as f:
            f.write(ext + "\n")
        openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                "-out", name + ".pem", "-days", "2", "-extfile", name + ".ext", cwd=workdir)
    openssl("genpkey", "-genparam", "-algorithm", "DH", "-pkeyopt", "dh_param:ffdhe2048", "-out", "dh.pem",
            cwd=workdir)
    return workdir


def install_certs(root, pki, ca="ca.pem"):
    """The CA under /etc/certs/802.1x with its hash link, the client's pair as the
    appliance keeps them."""
    d = root.file("/etc/certs/802.1x")
    os.makedirs(d, exist_ok=True)
    shutil.copy(os.path.join(pki, ca), os.path.join(d, "radius-ca.pem"))
    subprocess.run(["openssl", "rehash", d], check=True, capture_output=True)
    shutil.copy(os.path.join(pki, "client.pem"), root.file("/etc/certs/cert_fsrv.pem"))
    shutil.copy(os.path.join(pki, "client.key"), root.file("/etc/certs/cert_fpkey.pem"))


class Relay:
    def __init__(self, net, workdir, forge=False):
        self.go = os.path.join(workdir, "go")
        args = ["ip", "netns", "exec", net.client, "/usr/bin/python3", os.path.join(HERE, "eap_relay.py"), "eth0",
                SECRET, self.go]
        if forge:
            args.append("--forge-success")
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, daemon=True).start()
        self.wait("ready")

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(json.loads(line))

    def wait(self, event, timeout=60):
        for e in self.seen:
            if e["event"] == event:
                return e
        while True:
            e = self.lines.get(timeout=timeout)
            self.seen.append(e)
            if e["event"] == event:
                return e

    def start(self):
        self.wait("start")
        open(self.go, "w").close()

    def close(self):
        self.proc.terminate()
        self.proc.wait(10)


@pytest.fixture
def pki(tmp_path):
    return make_pki(str(tmp_path / "pki"))


def run_station(net, root, tmp_path, params, radius_type="md5", user="alice", password="secret", forge=False,
                ca="ca.pem", pki=None, tls_max="1.2"):
    """Starts FreeRADIUS, the relay and qmr; returns them and a monitor attached before the
    authentication begins."""
    if pki is not None:
        install_certs(root, pki, ca)
    with open(root.file("/etc/params.dat"), "a") as f:
        for k, v in params.items():
            f.write(" %s = %s\n" % (k, v))
    rad = FreeRadius(net, str(tmp_path / "radius"), pki or make_pki(str(tmp_path / "pki")), user, password,
                     radius_type, tls_max)
    relay = Relay(net, str(tmp_path), forge)
    d = Daemon(net, root)
    d.start()
    d.wait_for(lambda: os.path.exists(ctrl_path(root)), timeout=40, what="the control socket")
    mon = CtrlClient(root, ctrl_path(root))
    assert mon.request("ATTACH") == "OK\n"
    relay.start()
    return rad, relay, d, mon


def close_all(*things):
    for t in things:
        try:
            t.close()
        except Exception:
            pass


def status(mon):
    return mon.request("STATUS")


def session_id(text):
    for line in text.splitlines():
        if line.startswith("eap_session_id="):
            return line.split("=", 1)[1]
    return None


CASES = [
    ("md5", {"auth_typ": "MD5"}, "md5", 4, "MD5"),
    ("ttls_pap", {"auth_typ": "TTLS", "auth_inner": "PAP"}, "ttls", 21, "TTLS"),
    ("ttls_mschap2", {"auth_typ": "TTLS", "auth_inner": "MSCHAP2"}, "ttls", 21, "TTLS"),
    ("ttls_emd5", {"auth_typ": "TTLS", "auth_inner": "EMD5"}, "ttls", 21, "TTLS"),
    ("ttls_chap", {"auth_typ": "TTLS", "auth_inner": "CHAP"}, "ttls", 21, "TTLS"),
    ("peap_mschap2_v0", {"auth_typ": "PEAP", "auth_inner": "MSCHAP2", "auth_opt": "PVER0"}, "peap", 25, "PEAP"),
    ("tls", {"auth_typ": "TLS"}, "tls", 13, "TLS"),
]


@pytest.mark.parametrize("name,params,radius_type,method,method_name", CASES, ids=[c[0] for c in CASES])
def test_right_secrets_authorise_the_port(net, root, tmp_path, pki, name, params, radius_type, method,
                                          method_name):
    p = {"auth_name": "alice", "auth_pwd": "secret"}
    p.update(params)
    rad, relay, d, mon = run_station(net, root, tmp_path, p, radius_type, pki=pki)
    try:
        mon.wait_event("<3>CTRL-EVENT-EAP-STARTED EAP authentication started", timeout=60)
        mon.wait_event("CTRL-EVENT-EAP-PROPOSED-METHOD vendor=0 method=%d" % method, timeout=60)
        mon.wait_event("CTRL-EVENT-EAP-METHOD EAP vendor 0 method %d (%s) selected" % (method, method_name),
                       timeout=60)
        mon.wait_event("CTRL-EVENT-EAP-SUCCESS EAP authentication completed successfully", timeout=60)
        assert mon.wait_event(CONNECTED, timeout=60) == CONNECTED
        accept = relay.wait("accept")
        text = status(mon)
        assert "suppPortStatus=Authorized" in text
        assert "wpa_state=COMPLETED" in text
        assert "\nip_address=%s\n" % net.device_addr in text, text
        if method != 4:
            mon.wait_event("CTRL-EVENT-EAP-PEER-CERT depth=0 subject='/CN=radius.example.org'")
            mon.wait_event("CTRL-EVENT-EAP-PEER-ALT depth=0 DNS:radius.example.org")
            sid = [c for c in accept.get("class", []) if c.startswith("sid=")]
            assert sid and session_id(text) == sid[0][4:]
            # The keys equal the server's: MSK = MS-MPPE-Recv-Key | MS-MPPE-Send-Key.
            ok, lines = d.simctl("wifi", "eapkeys", "eth0")
            assert ok, lines
            keys = dict(line.split("=", 1) for line in lines)
            assert keys["msk"] == accept["recv"] + accept["send"]
            assert keys["session_id"] == sid[0][4:]
            emsk = [c for c in accept.get("class", []) if c.startswith("emsk=")]
            if emsk and method != 25:  # PEAP hands out no EMSK
                assert keys["emsk"] == emsk[0][5:]
        # A stop tears the port and its TLS state down cleanly.
        assert d.stop() == 0
        assert "Sanitizer" not in d.output()
    finally:
        close_all(mon, d, relay, rad)


def test_gtc_through_the_addon(net, root, tmp_path, pki):
    params = {"auth_typ": "MD5", "auth_name": "alice", "auth_pwd": "secret", "auth_wpa_addon": "eap GTC"}
    rad, relay, d, mon = run_station(net, root, tmp_path, params, "gtc", pki=pki)
    try:
        mon.wait_event("CTRL-EVENT-EAP-METHOD EAP vendor 0 method 6 (GTC) selected", timeout=60)
        assert mon.wait_event(CONNECTED, timeout=60) == CONNECTED
    finally:
        close_all(mon, d, relay, rad)


def test_wrong_password_fails_and_logoff_logon_retries_at_once(net, root, tmp_path, pki):
    params = {"auth_typ": "MD5", "auth_name": "alice", "auth_pwd": "wrong"}
    rad, relay, d, mon = run_station(net, root, tmp_path, params, "md5", pki=pki)
    try:
        mon.wait_event("CTRL-EVENT-EAP-FAILURE EAP authentication failed", timeout=60)
        relay.wait("reject")
        assert "suppPortStatus=Unauthorized" in status(mon)
        assert not any("CTRL-EVENT-CONNECTED" in e for e in mon.events)
        mon.events.clear()
        assert mon.request("LOGOFF") == "OK\n"
        relay.wait("logoff")
        assert mon.request("LOGON") == "OK\n"
        # Back to CONNECTING at once: a new conversation starts without waiting for HELD.
        mon.wait_event("CTRL-EVENT-EAP-STARTED", timeout=30)
        mon.wait_event("CTRL-EVENT-EAP-FAILURE", timeout=60)
    finally:
        close_all(mon, d, relay, rad)


def test_unknown_server_ca_fails_even_after_a_forged_success(net, root, tmp_path, pki):
    params = {"auth_typ": "TTLS", "auth_inner": "PAP", "auth_name": "alice", "auth_pwd": "secret"}
    rad, relay, d, mon = run_station(net, root, tmp_path, params, "ttls", pki=pki, ca="other.pem", forge=True)
    try:
        mon.wait_event("CTRL-EVENT-EAP-TLS-CERT-ERROR reason=1", timeout=60)
        relay.wait("forged")
        mon.wait_event("CTRL-EVENT-EAP-FAILURE EAP authentication failed", timeout=60)
        assert "suppPortStatus=Unauthorized" in status(mon)
    finally:
        close_all(mon, d, relay, rad)


def test_missing_password_is_asked_and_answered_by_another_client(net, root, tmp_path, pki):
    params = {"auth_typ": "PEAP", "auth_inner": "MSCHAP2", "auth_name": "alice"}
    rad, relay, d, mon = run_station(net, root, tmp_path, params, "peap", pki=pki)
    other = late = None
    try:
        assert mon.wait_event("CTRL-REQ-PASSWORD", timeout=60) == \
            "<3>CTRL-REQ-PASSWORD-0:Password needed for SSID "
        late = CtrlClient(root, ctrl_path(root))
        assert late.request("ATTACH") == "OK\n"
        late.wait_event("CTRL-REQ-PASSWORD-0:Password needed for SSID ", timeout=30)
        other = CtrlClient(root, ctrl_path(root))
        assert other.request("CTRL-RSP-PASSWORD-7:secret") == "FAIL\n"
        assert other.request("CTRL-RSP-PASSWORD-0:secret") == "OK\n"
        assert mon.wait_event(CONNECTED, timeout=60) == CONNECTED
        assert "suppPortStatus=Authorized" in status(mon)
    finally:
        close_all(other, late, mon, d, relay, rad)


def test_tls_stays_on_tls_1_2_with_a_server_that_allows_1_3(net, root, tmp_path, pki):
    params = {"auth_typ": "TLS", "auth_name": "alice"}
    rad, relay, d, mon = run_station(net, root, tmp_path, params, "tls", pki=pki, tls_max="1.3")
    try:
        assert mon.wait_event(CONNECTED, timeout=60) == CONNECTED
        text = mon.request("STATUS-VERBOSE")
        assert "eap_tls_version=TLSv1.2" in text
        accept = relay.wait("accept")
        sid = [c for c in accept.get("class", []) if c.startswith("sid=")]
        assert sid and session_id(text) == sid[0][4:]
    finally:
        close_all(mon, d, relay, rad)


def test_encrypted_key_asks_for_its_passphrase(net, root, tmp_path, pki):
    openssl("pkey", "-in", "client.key", "-aes128", "-passout", "pass:keypw", "-out", "client.key.enc", cwd=pki)
    shutil.copy(os.path.join(pki, "client.key.enc"), os.path.join(pki, "client.key"))
    params = {"auth_typ": "TLS", "auth_name": "alice"}
    rad, relay, d, mon = run_station(net, root, tmp_path, params, "tls", pki=pki)
    try:
        assert mon.wait_event("CTRL-REQ-PASSPHRASE", timeout=60) == \
            "<3>CTRL-REQ-PASSPHRASE-0:Private key passphrase needed for SSID "
        assert mon.request("CTRL-RSP-PASSPHRASE-0:keypw") == "OK\n"
        assert mon.wait_event(CONNECTED, timeout=60) == CONNECTED
    finally:
        close_all(mon, d, relay, rad)


@pytest.mark.parametrize("answer", ["good", "bad"])
def test_external_certificate_check(net, root, tmp_path, pki, answer):
    params = {"auth_typ": "TTLS", "auth_inner": "PAP", "auth_name": "alice", "auth_pwd": "secret",
              "auth_wpa_addon": 'phase1 "tls_ext_cert_check=1"'}
    rad, relay, d, mon = run_station(net, root, tmp_path, params, "ttls", pki=pki)
    try:
        assert mon.wait_event("CTRL-REQ-EXT_CERT_CHECK", timeout=60) == \
            "<3>CTRL-REQ-EXT_CERT_CHECK-0:External server certificate validation needed for SSID "
        assert mon.request("CTRL-RSP-EXT_CERT_CHECK-0:" + answer) == "OK\n"
        if answer == "good":
            assert mon.wait_event(CONNECTED, timeout=60) == CONNECTED
            return
        mon.wait_event("CTRL-EVENT-EAP-FAILURE EAP authentication failed", timeout=60)
        assert "suppPortStatus=Unauthorized" in status(mon)
    finally:
        close_all(mon, d, relay, rad)


def test_fast_without_pac_or_provisioning_refuses_the_method(net, root, tmp_path, pki):
    params = {"auth_typ": "FAST", "auth_inner": "MSCHAP2", "auth_name": "alice", "auth_pwd": "secret"}
    rad, relay, d, mon = run_station(net, root, tmp_path, params, "fast", pki=pki)
    try:
        mon.wait_event("CTRL-EVENT-EAP-PROPOSED-METHOD vendor=0 method=43", timeout=60)
        assert mon.wait_event("EAP: Failed to initialize EAP method", timeout=60) == \
            "<3>EAP: Failed to initialize EAP method: vendor 0 method 43 (FAST)"
        # The server is told no through a NAK; the port stays closed and no PAC appears.
        relay.wait("reject")
        assert "suppPortStatus=Unauthorized" in status(mon)
        assert not os.path.exists(root.file("/var/cert_pac"))
    finally:
        close_all(mon, d, relay, rad)



def test_fast_refuses_an_inner_method_other_than_the_configured_one(net, root, tmp_path, pki):
    # The server proposes MSCHAPv2 inside the tunnel; configured for EAP-MD5, the station
    # answers with a NAK asking for MD5 (which FreeRADIUS does not offer while it
    # provisions) and never runs MSCHAPv2.
    params = {"auth_typ": "FAST", "auth_inner": "EMD5", "auth_opt": "FPROV1", "auth_name": "alice",
              "auth_pwd": "secret"}
    rad, relay, d, mon = run_station(net, root, tmp_path, params, "fast", pki=pki)
    try:
        mon.wait_event("CTRL-EVENT-EAP-METHOD EAP vendor 0 method 43 (FAST) selected", timeout=60)
        mon.wait_event("CTRL-EVENT-EAP-FAILURE EAP authentication failed", timeout=90)
        text = status(mon)
        assert "selectedMethod=43" in text and "Phase2 method=" not in text, text
        assert "suppPortStatus=Unauthorized" in text
        log = rad.text()
        assert "Peer sent packet with method EAP NAK (3)" in log
        assert "Peer wants MD5 (4)" in log
        assert "Peer sent packet with method EAP MSCHAPv2 (26)" not in log
    finally:
        close_all(mon, d, relay, rad)
