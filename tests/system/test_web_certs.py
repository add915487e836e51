"""The certificate store through its pages, with the openssl command line as the other
party: CA uploads and their EAP links, PKCS#12 bundles, the appliance's own request
signed by a test CA, generated certificates, and S/MIME bodies checked by openssl."""
import os
import re
import stat
import subprocess
import time

from webutil import curl, start_web

CERTS = "/etc/certs"


def ossl(*args, cwd=None, **kw):
    return subprocess.run(["openssl"] + list(args), check=True, capture_output=True, timeout=120, cwd=cwd,
                          **kw)


def subject_hash(path):
    return ossl("x509", "-noout", "-subject_hash", "-in", str(path)).stdout.decode().strip()


def make_ca(tmp, name, issuer=None, start=None, end=None):
    """A CA certificate (self-signed, or signed by issuer) with its key, through openssl ca
    so that the dates can be chosen freely."""
    d = tmp / ("ca-" + name)
    d.mkdir()
    (d / "index.txt").write_text("")
    (d / "serial").write_text("1000\n")
    (d / "ca.cnf").write_text(
        "[ca]\ndefault_ca=my\n[my]\ndir=%s\ndatabase=$dir/index.txt\nserial=$dir/serial\n"
        "new_certs_dir=$dir\ndefault_md=sha256\npolicy=any\ndefault_days=365\nunique_subject=no\n"
        "copy_extensions=copy\n"
        "[any]\ncommonName=supplied\n[v3ca]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=keyCertSign,cRLSign\n"
        "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid:always\n"
        "[leaf]\nbasicConstraints=CA:FALSE\nsubjectAltName=IP:198.18.0.1\n"
        "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid:always\n" % d)
    ossl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name, "-keyout", str(d / "key.pem"),
         "-out", str(d / "req.pem"))
    args = ["ca", "-batch", "-config", str(d / "ca.cnf"), "-extensions", "v3ca", "-in", str(d / "req.pem"),
            "-out", str(d / "cert.pem"), "-notext"]
    if issuer is None:
        args += ["-selfsign", "-keyfile", str(d / "key.pem")]
    else:
        args += ["-cert", str(issuer / "cert.pem"), "-keyfile", str(issuer / "key.pem")]
    if start:
        args += ["-startdate", start]
    if end:
        args += ["-enddate", end]
    ossl(*args)
    return d


def sign(ca, request, out):
    """Signs a request with the CA as a server certificate."""
    ossl("ca", "-batch", "-config", str(ca / "ca.cnf"), "-extensions", "leaf", "-cert", str(ca / "cert.pem"),
         "-keyfile", str(ca / "key.pem"), "-in", str(request), "-out", str(out), "-notext")


def served(daemon, ca_file=None):
    """openssl s_client against the HTTPS port: (verified, subject line)."""
    args = ["ip", "netns", "exec", daemon.net.client, "openssl", "s_client", "-connect",
            "%s:443" % daemon.net.device_addr]
    if ca_file:
        args += ["-CAfile", str(ca_file), "-verify_return_error"]
    r = subprocess.run(args, input=b"", capture_output=True, timeout=60)
    m = re.search(rb"^subject=(.*)$", r.stdout, re.M)
    return r.returncode == 0, (m.group(1).decode() if m else r.stdout[-300:].decode(errors="replace"))


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def wait_generated(daemon, path, timeout=240):
    """Follows the generation's refresh until it ends; returns the last body."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        status, _, body = curl(daemon, path)
        assert status == "HTTP/1.1 200 OK", status
        if "The certificate is being generated." not in body:
            return body
        assert re.search(r"Key size: \d+ bits\. Time elapsed: \d+ seconds\.", body)
        time.sleep(1)
    raise AssertionError("the generation did not end")


def test_ca_upload_hash_name_eap_link_and_deletion(daemon, root, tmp_path):
    start_web(daemon)
    ca = make_ca(tmp_path, "Test Root CA", start="19990101000000Z", end="20550101000000Z")
    h = subject_hash(ca / "cert.pem")
    status, _, body = curl(daemon, "/security/certcastore.cgi", "-F", "file=@%s" % (ca / "cert.pem"))
    assert status == "HTTP/1.1 200 OK"
    path = root.file("%s/%s.0" % (CERTS, h))
    assert os.path.exists(path) and mode(path) == 0o644
    assert h in body and "Test Root CA" in body
    # The dates as the certificate holds them: a UTCTime 99 is 1999, 2055 is GeneralizedTime.
    assert "1999/01/01" in body and "2055/01/01" in body

    # An upload that is no certificate changes nothing.
    junk = tmp_path / "junk.pem"
    junk.write_text("-----BEGIN CERTIFICATE-----\nnot a certificate\n-----END CERTIFICATE-----\n")
    before = sorted(os.listdir(root.file(CERTS)))
    status, _, body = curl(daemon, "/security/certcastore.cgi", "-F", "file=@%s" % junk)
    assert "The certificate could not be installed." in body
    assert sorted(os.listdir(root.file(CERTS))) == before

    # The EAP choice links the file; unticking removes the link.
    link = root.file("%s/802.1x/%s.0" % (CERTS, h))
    status, _, body = curl(daemon, "/security/certificate.html", "-d", "0EAP_1=%s&1EAP_1=1" % h)
    assert status == "HTTP/1.1 200 OK"
    assert os.readlink(link) == "../%s.0" % h
    assert 'name="1EAP_1" value="1"' in body and "checked" in body
    status, _, body = curl(daemon, "/security/certificate.html", "-d", "0EAP_1=%s" % h)
    assert not os.path.lexists(link)
    # Values that are no hash name neither link nor delete anything.
    for form in ("0EAP_1=../params.dat&1EAP_1=1", "0EAP_1=..%2Fx&1EAP_1=1", "delete_ca=../params.dat",
                 "delete_ca=%s" % h, "delete_ca=%s.0/" % h, "delete_ca=../certs/%s.0" % h):
        curl(daemon, "/security/certificate.html", "-d", form)
    assert os.path.exists(root.file("/etc/params.dat"))
    assert os.path.exists(path)
    assert os.listdir(root.file(CERTS + "/802.1x")) == []

    # showca: the certificate by its hash name; a name that is not one is refused.
    status, _, body = curl(daemon, "/security/showca.html?name=%s&no=1" % h)
    assert "CA certificate 1 (root certificate)" in body and "Test Root CA" in body
    status, _, body = curl(daemon, "/security/showca.html?name=../params&no=1")
    assert "Unable to open certificate" in body

    # A file of the store that does not parse leaves it on the next visit.
    broken = root.file(CERTS + "/0badf00d.0")
    with open(broken, "w") as f:
        f.write("garbage\n" * 20)
    status, _, body = curl(daemon, "/security/certificate.html")
    assert not os.path.exists(broken)
    assert re.search(r'<span class="badge">1</span>', body)

    status, _, body = curl(daemon, "/security/certificate.html", "-d", "delete_ca=%s.0" % h)
    assert status == "HTTP/1.1 200 OK"
    assert not os.path.exists(path)


def test_pkcs12_bundle_is_served_with_its_chain(daemon, root, tmp_path):
    start_web(daemon)
    rootca = make_ca(tmp_path, "P12 Root")
    inter = make_ca(tmp_path, "P12 Intermediate", issuer=rootca)
    leaf = tmp_path / "leaf"
    leaf.mkdir()
    ossl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=p12-leaf", "-keyout",
         str(leaf / "key.pem"), "-out", str(leaf / "req.pem"))
    sign(inter, leaf / "req.pem", leaf / "cert.pem")
    # The CA list in the bundle in the "wrong" order: root before intermediate.
    (tmp_path / "cas.pem").write_bytes((rootca / "cert.pem").read_bytes() + (inter / "cert.pem").read_bytes())
    ossl("pkcs12", "-export", "-in", str(leaf / "cert.pem"), "-inkey", str(leaf / "key.pem"), "-certfile",
         str(tmp_path / "cas.pem"), "-passout", "pass:bundle-pw", "-out", str(tmp_path / "b.p12"))

    status, _, body = curl(daemon, "/security/certpstore.cgi", "-F", "file=@%s" % (tmp_path / "b.p12"), "-F",
                           "pwd=bundle-pw")
    assert status == "HTTP/1.1 200 OK"
    assert "p12-leaf" in body and "P12 Intermediate" in body
    key, chain = root.file(CERTS + "/cert_fpkey.pem"), root.file(CERTS + "/cert_fsrv.pem")
    assert mode(key) == 0o600 and mode(chain) == 0o644
    blocks = re.findall(r"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----\n", open(chain).read(), re.S)
    subjects = [ossl("x509", "-noout", "-subject", input=b.encode()).stdout.decode() for b in blocks]
    assert [s.split("=")[-1].strip() for s in subjects] == ["p12-leaf", "P12 Intermediate", "P12 Root"]
    ok, subject = served(daemon, rootca / "cert.pem")
    assert ok and "p12-leaf" in subject

    # The chain on the page, one entry a line.
    status, _, body = curl(daemon, "/security/certificate.html")
    assert "CN=p12-leaf" in body and "CN=P12 Intermediate" in body
    status, _, body = curl(daemon, "/security/showforg2.html")
    assert re.search(r'id="certClPub_cn">P12 Intermediate<', body) and "P12 Root" in body

    # A wrong password and a file that is no bundle keep the installed pair.
    before = (open(key, "rb").read(), open(chain, "rb").read())
    ossl("pkcs12", "-export", "-in", str(inter / "cert.pem"), "-inkey", str(inter / "key.pem"), "-passout",
         "pass:other", "-out", str(tmp_path / "other.p12"))
    for upload, pwd in ((tmp_path / "other.p12", "wrong"), (tmp_path / "cas.pem", "x")):
        status, _, body = curl(daemon, "/security/certpstore.cgi", "-F", "file=@%s" % upload, "-F", "pwd=" + pwd)
        assert "The certificate could not be installed." in body
        assert (open(key, "rb").read(), open(chain, "rb").read()) == before
    assert served(daemon, rootca / "cert.pem")[0]


def test_request_signed_by_a_test_ca_is_served(daemon, root, tmp_path):
    start_web(daemon)
    status, _, body = curl(daemon, "/security/certreq.cgi", "-d",
                           "self_cn=req-device&self_on=Org&self_ln=Town&self_ctry=DE&self_dc=example/org"
                           "&self_san=DNS:req-device,IP:198.18.0.1&RSAbits=2048&sub_req=1")
    assert "Starting to generate a new certificate." in body
    body = wait_generated(daemon, "/security/certreq.cgi")
    assert "req-device" in body and "BEGIN CERTIFICATE REQUEST" in body
    req = root.file(CERTS + "/cert_req.pem")
    assert mode(req) == 0o644 and mode(root.file(CERTS + "/cert_rpriv.pem")) == 0o600
    r = ossl("req", "-verify", "-noout", "-text", "-in", req)
    assert b"verify OK" in r.stdout + r.stderr
    assert b"DC = example, DC = org" in r.stdout or b"DC=example, DC=org" in r.stdout
    assert b"2048 bit" in r.stdout

    ca = make_ca(tmp_path, "Request CA")
    sign(ca, req, tmp_path / "signed.pem")
    # A certificate for another key is refused and changes nothing.
    other = tmp_path / "other"
    other.mkdir()
    ossl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=other", "-keyout", str(other / "k.pem"),
         "-out", str(other / "r.pem"))
    sign(ca, other / "r.pem", other / "c.pem")
    status, _, body = curl(daemon, "/security/certdstore.cgi", "-F", "file=@%s" % (other / "c.pem"))
    assert "The certificate could not be installed." in body
    assert not os.path.exists(root.file(CERTS + "/cert_fsrv.pem"))

    status, _, body = curl(daemon, "/security/certdstore.cgi", "-F", "file=@%s" % (tmp_path / "signed.pem"))
    assert status == "HTTP/1.1 200 OK" and "req-device" in body
    assert mode(root.file(CERTS + "/cert_fpkey.pem")) == 0o600
    ok, subject = served(daemon, ca / "cert.pem")
    assert ok and "req-device" in subject

    # A request without names carries no extensions; without a key size it has 2048 bits.
    status, _, body = curl(daemon, "/security/certreq.cgi", "-d",
                           "self_cn=plain&self_on=Org&self_ln=Town&self_ctry=DE&sub_req=1")
    assert "Starting to generate a new certificate." in body
    body = wait_generated(daemon, "/security/certreq.cgi")
    text = ossl("req", "-noout", "-text", "-in", req).stdout
    assert b"CN = plain" in text and b"2048 bit" in text
    assert re.search(rb"Attributes:\s+\(none\)\s+Requested Extensions:\s+Signature Algorithm", text), text
    # The installed pair stays what it was.
    assert served(daemon, ca / "cert.pem")[0]


def test_generated_certificates(daemon, root, tmp_path):
    start_web(daemon)
    serials = []
    for end_year in ("2055", "2030"):
        status, _, body = curl(daemon, "/security/certgen.cgi", "-d",
                               "self_cn=gen-device&self_on=Org&self_ln=Town&self_ctry=DE&self_syear=2024"
                               "&self_smon=2&self_sday=29&self_eyear=%s&self_emon=3&self_eday=1&RSAbits=2048"
                               "&sub_cert=1" % end_year)
        assert "Starting to generate a new certificate." in body
        body = wait_generated(daemon, "/security/certgen.cgi")
        assert "gen-device" in body and "%s/03/01" % end_year in body and "2024/02/29" in body
        pem = root.file(CERTS + "/cert_srv.pem")
        text = ossl("x509", "-noout", "-serial", "-enddate", "-in", pem).stdout.decode()
        assert "Mar  1 00:00:00 %s GMT" % end_year in text
        serial = re.search(r"serial=([0-9A-F]+)", text).group(1)
        assert len(serial) >= 16 and int(serial[0], 16) < 8
        serials.append(serial)
        assert mode(root.file(CERTS + "/cert_pkey.pem")) == 0o600 and mode(pem) == 0o644
    assert serials[0] != serials[1]
    assert "gen-device" in served(daemon)[1]

    # A form that validation refuses starts nothing; neither does a key size not offered.
    for form in ("self_cn=x&self_on=O&self_ln=L&self_ctry=DE&self_syear=2023&self_smon=2&self_sday=29"
                 "&self_eyear=2025&self_emon=1&self_eday=1&sub_cert=1",
                 "self_cn=x&self_on=O&self_ln=L&self_ctry=DE&self_syear=2024&self_smon=1&self_sday=2"
                 "&self_eyear=2024&self_emon=1&self_eday=1&sub_cert=1",
                 "self_cn=x&self_on=O&self_ln=L&self_ctry=DE&self_syear=2024&self_smon=1&self_sday=1"
                 "&self_eyear=2025&self_emon=1&self_eday=1&RSAbits=1024&sub_cert=1"):
        status, _, body = curl(daemon, "/security/certgen.cgi", "-d", form)
        assert "One ore more required fields" in body

    # A subject alternative name the library refuses ends as a failed generation.
    status, _, body = curl(daemon, "/security/certgen.cgi", "-d",
                           "self_cn=x&self_on=O&self_ln=L&self_ctry=DE&self_syear=2024&self_smon=1&self_sday=1"
                           "&self_eyear=2025&self_emon=1&self_eday=1&self_san=bogus&RSAbits=2048&sub_cert=1")
    body = wait_generated(daemon, "/security/certgen.cgi")
    assert "The certificate could not be generated." in body
    assert "gen-device" in served(daemon)[1]


def test_delete_own_certificate_over_https_is_a_server_error(daemon, root):
    start_web(daemon)
    status, _, body = curl(daemon, "/security/certificate_de.html")
    assert "Eigenes Zertifikat" in body and "CA-Zertifikate" in body
    status, _, _ = curl(daemon, "/security/certificate.html", "-d", "delCer=1", https=True)
    assert status == "HTTP/1.1 500 Server Error"
    assert not os.path.exists(root.file(CERTS + "/cert_srv.pem"))
    # A show page without its certificate is a server error; over HTTP the deletion
    # answers with the page.
    assert curl(daemon, "/security/showcert.html")[0] == "HTTP/1.1 500 Server Error"
    status, _, body = curl(daemon, "/security/certificate.html", "-d", "delMim=1")
    assert status == "HTTP/1.1 200 OK" and "MISSING" in body


def smime(root, out, encrypt, attach, body=b"Hello by mail.\r\nSecond line.\r\n", room=None):
    """Runs the S/MIME tool on the sandbox store; its exit status."""
    src = os.path.join(root.path, "mail.txt")
    with open(src, "wb") as f:
        f.write(body)
    tool = os.path.join(os.environ["QMR_BUILD"], "tests", "unit", "smime_tool")
    args = [tool, "on" if encrypt else "off", "on" if attach else "off", src, str(out)]
    if room:
        args.append(str(room))
    r = subprocess.run(args,
                       env=dict(os.environ, QMR_ROOT=root.path), capture_output=True, timeout=120)
    return r.returncode


def test_smime_bodies_open_with_openssl(root, tmp_path):
    certs = root.file(CERTS)
    os.makedirs(certs, exist_ok=True)
    ossl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj", "/CN=mail-signer",
         "-addext", "keyUsage=digitalSignature", "-keyout", os.path.join(certs, "cert_pkey.pem"),
         "-out", os.path.join(certs, "cert_srv.pem"))
    srv = os.path.join(certs, "cert_srv.pem")
    for attach in (True, False):
        out = tmp_path / ("signed-%d.eml" % attach)
        assert smime(root, out, False, attach) == 0
        verify = ["smime", "-verify", "-purpose", "any", "-CAfile", srv, "-in", str(out)]
        r = subprocess.run(["openssl"] + verify, capture_output=True)
        assert (r.returncode == 0) == attach, r.stderr
        r = subprocess.run(["openssl"] + verify + ["-certfile", srv], capture_output=True)
        assert r.returncode == 0, r.stderr
        assert b"Hello by mail." in r.stdout

    # Encrypted for the S/MIME certificate with triple DES.
    ossl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj", "/CN=mail-reader",
         "-keyout", str(tmp_path / "reader.key"), "-out", os.path.join(certs, "cert_mime.pem"))
    out = tmp_path / "encrypted.eml"
    assert smime(root, out, True, True) == 0
    r = ossl("smime", "-decrypt", "-in", str(out), "-recip", os.path.join(certs, "cert_mime.pem"), "-inkey",
             str(tmp_path / "reader.key"))
    assert b"Hello by mail." in r.stdout
    r = ossl("cms", "-cmsout", "-print", "-in", str(out), "-inform", "SMIME")
    assert b"des-ede3-cbc" in r.stdout

    # No S/MIME certificate: no encrypted body. A body that does not fit the room fails.
    os.remove(os.path.join(certs, "cert_mime.pem"))
    assert smime(root, tmp_path / "none.eml", True, True) != 0
    assert smime(root, tmp_path / "cut.eml", False, True, room=1000) != 0
    assert not os.path.exists(tmp_path / "cut.eml")


def test_browser_shows_generation_progress_then_certificate(daemon, root):
    import json
    import shutil

    import pytest

    from conftest import BUILD
    from webutil import ADMIN_PWD
    if not (shutil.which("chromium") and shutil.which("chromedriver")):
        pytest.skip("Chromium and its driver are not installed (scripts/deps)")
    artifacts = os.environ.get("QMR_ARTIFACTS", os.path.join(BUILD, "artifacts", "web"))
    start_web(daemon, logins=True)
    here = os.path.dirname(os.path.abspath(__file__))
    r = subprocess.run(["ip", "netns", "exec", daemon.net.client, "/usr/bin/python3",
                        os.path.join(here, "browser_certs.py"), "http://%s" % daemon.net.device_addr, artifacts,
                        "Admin", ADMIN_PWD], capture_output=True, text=True, timeout=560)
    assert r.returncode == 0, r.stderr[-3000:]
    found = json.loads(r.stdout.strip().splitlines()[-1])
    assert found["console"] == []
    steps = {s["step"]: s for s in found["steps"]}
    assert steps["overview"]["own"] == "ISSUED"
    # The first answer names the key size; further ones count the seconds.
    assert found["progress"], found
    assert found["progress"][0].startswith("Starting to generate a new certificate.")
    assert "Key size: 4096 bits." in found["progress"][0]
    assert all("4096 bits" in p for p in found["progress"])
    done = steps["certificate"]
    assert done["cn"] == "browser-cert" and done["bits"] == "4096" and done["san"] == "DNS:browser-cert"
    assert "/security/certgen" in done["url"]
    for name in ("certificates.png", "certgen_form.png", "certgen_progress.png", "certgen_done.png"):
        assert os.path.getsize(os.path.join(artifacts, name)) > 1000


def test_event_mail_is_signed_by_the_store(daemon, root, net, tmp_path):
    # The daemon's mail client takes its S/MIME body from the certificate store.
    from test_notify import MailServer, mail_params, start
    from webutil import make_certificate
    make_certificate(root)
    server = MailServer(net)
    try:
        start(daemon, root, mail_params(net, extra="smtp_sign = on\nsmtp_attpkey = on\n"))
        data = server.wait_mails(daemon, 1)[0]["data"]
        assert "S/MIME failure" not in data
        assert "multipart/signed" in data
        mail = tmp_path / "mail.eml"
        mail.write_bytes(data.encode())
        r = subprocess.run(["openssl", "smime", "-verify", "-purpose", "any", "-CAfile",
                            root.file(CERTS + "/cert_srv.pem"), "-in", str(mail)], capture_output=True)
        assert r.returncode == 0, r.stderr
        assert b"Event: Restart" in r.stdout
    finally:
        server.close()


def test_cleancerts_empties_the_store_files_and_shows_the_information_page(daemon, root, tmp_path):
    start_web(daemon)
    ca = make_ca(tmp_path, "Kept CA")
    h = subject_hash(ca / "cert.pem")
    assert curl(daemon, "/security/certcastore.cgi", "-F", "file=@%s" % (ca / "cert.pem"))[0] == "HTTP/1.1 200 OK"
    curl(daemon, "/security/certificate.html", "-d", "0EAP_1=%s&1EAP_1=1" % h)
    table = ["cert_pkey.pem", "cert_fpkey.pem", "cert_rpriv.pem", "cert_srv.pem", "cert_fsrv.pem",
             "cert_rcert.pem", "cert_req.pem", "cert_mime.pem", "cert.tmp"]
    for name in table:
        path = root.file("%s/%s" % (CERTS, name))
        if not os.path.exists(path):
            with open(path, "w") as f:
                f.write("placeholder\n")
    status, _, body = curl(daemon, "/info/cleancerts")
    assert status == "HTTP/1.1 200 OK"
    assert "<h1>Information</h1>" in body and "Run time, counters and live views of the device." in body
    assert [n for n in table if os.path.exists(root.file("%s/%s" % (CERTS, n)))] == []
    # The CA certificates and their EAP links are not table files: they stay.
    assert os.path.exists(root.file("%s/%s.0" % (CERTS, h)))
    assert os.readlink(root.file("%s/802.1x/%s.0" % (CERTS, h))) == "../%s.0" % h
    status, _, body = curl(daemon, "/info/cleancerts_de")
    assert status == "HTTP/1.1 200 OK" and "<h1>Informationen</h1>" in body
