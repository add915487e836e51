"""The web server end to end: curl, raw HTTP and openssl s_client from the client namespace."""
import json
import os
import re
import subprocess

from webutil import (ADMIN_PWD, USER_PWD, curl, login, parse, raw, session_cookie, start_web, wait_exit)


def test_answers_headers_and_methods(daemon):
    start_web(daemon)
    status, h, body = curl(daemon, "/start.html")
    assert status == "HTTP/1.1 200 OK"
    assert h["server"] == ["KVX HTTP Server"]
    assert h["content-type"] == ["text/html; charset=UTF-8"]
    assert h["connection"] == ["close"]
    assert h["x-frame-options"] == ["deny"]
    assert re.match(r"^\w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d GMT$", h["date"][0])
    assert int(h["content-length"][0]) == len(body.encode())
    assert "<title>Overview" in body

    status, h, body = curl(daemon, "/css/qmr.css")
    assert (status, h["content-type"]) == ("HTTP/1.1 200 OK", ["text/css; charset=UTF-8"])
    assert int(h["content-length"][0]) == len(body.encode()) > 1000

    status, h, body = curl(daemon, "/start.html", "-I")
    assert status == "HTTP/1.1 200 OK" and body == ""

    # Other methods, versions and requests without a version.
    out = raw(daemon, b"PUT /start.html HTTP/1.1\r\nHost: x\r\n\r\n")
    assert out.startswith(b"HTTP/1.1 501 Not Implemented\r\n") and b"POST to non-script" in out
    out = raw(daemon, b"DELETE /x\r\n")
    assert out.startswith(b"<HTML><HEAD><TITLE>501 Not Implemented")
    for version in (b"HTTP/1.2", b"HTTP/2.0", b"HTTP/x.1"):
        out = raw(daemon, b"GET /start.html " + version + b"\r\n\r\n")
        assert out.startswith(b"HTTP/1.1 400 Bad Request\r\n"), (version, out[:80])
    out = raw(daemon, b"GET /start.html HTTQ/1.1\r\n\r\n")
    assert out.startswith(b"<HTML><HEAD><TITLE>400 Bad Request")
    out = raw(daemon, b"GET /css/qmr.css\r\n")
    assert out.startswith(b"/* The appliance's web interface"), out[:80]
    out = raw(daemon, b"GET /nothing.html\r\n")
    assert out.startswith(b"<HTML><HEAD><TITLE>404 Not Found")
    out = raw(daemon, b"HEAD /start.html\r\n")
    assert out.startswith(b"<HTML><HEAD><TITLE>400 Bad Request")
    out = raw(daemon, b"HEAD /nothing.html HTTP/1.0\r\n\r\n")
    assert out.startswith(b"HTTP/1.1 404 Not Found\r\n") and out.endswith(b"\r\n\r\n")
    out = raw(daemon, b"GET /" + b"a" * 2047 + b" HTTP/1.1\r\n\r\n")
    assert out.startswith(b"HTTP/1.1 404 Not Found")
    out = raw(daemon, b"GET /" + b"a" * 2048 + b" HTTP/1.1\r\n\r\n")
    assert out.startswith(b"HTTP/1.1 400 Bad Request")
    # A header that never ends within the input buffer gets no answer.
    out = raw(daemon, b"GET /start.html HTTP/1.1\r\nX: " + b"y" * 9000 + b"\r\n\r\n")
    assert out == b""
    out = raw(daemon, b"GET /start.html HTTP/1.1\r\nno colon here\r\n\r\n")
    assert out.startswith(b"HTTP/1.1 400 Bad Request")


def test_paths_quoting_and_templates(daemon):
    start_web(daemon)
    status, _, body = curl(daemon, "/nothing<script>.html", "--path-as-is")
    assert status == "HTTP/1.1 404 Not Found"
    assert "The requested URL /nothing was not found" in body
    status, _, body = curl(daemon, "/x%3Cb%3E.html?a=<i>")
    assert "The requested URL /x was not found" in body
    assert curl(daemon, "//css/./qmr.css", "--path-as-is")[0] == "HTTP/1.1 200 OK"
    assert curl(daemon, "/../../../etc/params.dat", "--path-as-is")[0] == "HTTP/1.1 404 Not Found"
    assert curl(daemon, "/bad%zz.html")[0] == "HTTP/1.1 400 Bad Request"
    assert curl(daemon, "/start.htm")[0] == "HTTP/1.1 200 OK"
    assert curl(daemon, "/inc/head.html")[0] == "HTTP/1.1 404 Not Found"
    status, h, _ = curl(daemon, "/")
    assert status == "HTTP/1.1 302 Moved Temporarily" and h["location"] == ["/start_en.html"]
    # Untrusted texts reach a page only escaped.
    _, _, body = curl(daemon, "/start.html", "-H", "Host: <b>evil</b>")
    assert "<b>evil" not in body


def test_keep_alive_budget(daemon):
    start_web(daemon)
    url = "http://%s/css/qmr.css" % daemon.net.device_addr
    r = daemon.net.run_client("curl", "-s", "-i", "-H", "Connection: keep-alive",
                              "-w", "##%{num_connects}\n", *[url] * 17)
    answers = r.stdout.split("##")
    connects = [int(a.split("\n", 1)[0]) for a in answers[1:]]
    assert connects == [1] + [0] * 15 + [1], connects
    alive = re.findall(r"Keep-Alive: timeout=5, max=(\d+)", r.stdout)
    assert [int(n) for n in alive] == list(range(15, 0, -1)) + [15]
    sixteenth = answers[15]
    assert "Connection: close" in sixteenth and "Keep-Alive" not in sixteenth

    # An error answer is never kept alive; an idle kept-alive connection is closed.
    out = raw(daemon, b"GET /none.html HTTP/1.1\r\nConnection: keep-alive\r\n\r\nGET /start.html HTTP/1.1\r\n\r\n",
              keep_open=True)
    assert out.count(b"HTTP/1.1") == 1 and b"Connection: close" in out
    out = raw(daemon, b"GET /css/qmr.css HTTP/1.1\r\nConnection: keep-alive\r\n\r\n", keep_open=True)
    assert out.startswith(b"HTTP/1.1 200 OK") and b"max=15" in out
    assert not out.endswith(b"#NO-CLOSE#")


def test_login_sessions_and_access_levels(daemon, root):
    start_web(daemon, logins=True)
    status, h, _ = curl(daemon, "/start.html")
    assert status == "HTTP/1.1 302 Moved Temporarily" and h["location"] == ["/index_en.html"]
    status, _, body = curl(daemon, "/index.html")
    assert status == "HTTP/1.1 200 OK" and 'name="pwd"' in body

    status, _, body = login(daemon, pwd="wrong-password")
    assert status == "HTTP/1.1 200 OK"
    assert "The password is incorrect" in body
    status, _, body = login(daemon, name="Nobody")
    assert "The user name is incorrect" in body
    moni = root.moni_text()
    assert "Failed login: incorrect password for administrator Admin." in moni
    assert "Failed login: user Nobody does not exist." in moni

    status, h, body = login(daemon)
    assert status == "HTTP/1.1 302 Moved Temporarily"
    assert h["location"] == ["/start_en.html"]
    cookie = h["set-cookie"][0]
    assert re.match(r"^SessKey=[0-9A-Za-z]{16}; PATH=/; HttpOnly; SameSite=Strict$", cookie), cookie
    # The answer ends with the redirect: no page follows it.
    assert "<title>" not in body
    key = session_cookie(h)
    status, _, body = curl(daemon, "/start.html", "-b", "SessKey=" + key)
    assert status == "HTTP/1.1 200 OK" and "Signed in as Admin" in body
    # A browser-like client keeps the cookie in its jar and sends it back by itself.
    jar = os.path.join(root.path, "cookies.txt")
    status, h, _ = login(daemon, jar=jar)
    assert status == "HTTP/1.1 302 Moved Temporarily" and "SessKey" in open(jar).read()
    status, _, body = curl(daemon, h["location"][0], "-b", jar)
    assert status == "HTTP/1.1 200 OK" and "Signed in as Admin" in body
    assert curl(daemon, "/maintenance/restart.html", "-b", "SessKey=" + key)[0] == "HTTP/1.1 200 OK"
    # Only the first 16 characters of the cookie count.
    assert curl(daemon, "/start.html", "-b", "SessKey=" + key + "tail")[0] == "HTTP/1.1 200 OK"
    assert curl(daemon, "/start.html", "-b", "SessKey=" + "A" * 16)[0] == "HTTP/1.1 302 Moved Temporarily"
    # The session is the cookie named SessKey, wherever it stands, not one whose name or
    # value merely contains it.
    for jar in ("theme=dark; SessKey=" + key, "OldSessKey=%s; SessKey=%s" % ("A" * 16, key),
                "note=SessKey=%s;SessKey=%s" % ("B" * 16, key)):
        assert curl(daemon, "/start.html", "-b", jar)[0] == "HTTP/1.1 200 OK", jar
    assert curl(daemon, "/start.html", "-b", "OldSessKey=" + key)[0] == "HTTP/1.1 302 Moved Temporarily"

    # A user may see the start page but no administrator page, whose links are disabled.
    status, h, _ = login(daemon, name="User", pwd=USER_PWD)
    user = session_cookie(h)
    status, _, body = curl(daemon, "/start.html", "-b", "SessKey=" + user)
    assert status == "HTTP/1.1 200 OK"
    assert 'class="noref" href=""' in body and "/maintenance/restart_en.html" not in body
    status, h, _ = curl(daemon, "/maintenance/restart.html", "-b", "SessKey=" + user)
    assert status == "HTTP/1.1 302 Moved Temporarily" and h["location"] == ["/index_en.html"]
    assert "Access denied: User is not authorized to view page /maintenance/restart.html." in root.moni_text()
    # A user's language choice is his own; an administrator's is stored.
    assert "Übersicht" in curl(daemon, "/start_de.html", "-b", "SessKey=" + user)[2]
    assert re.search(r"^\s*language = en$", open(root.file("/etc/params.dat")).read(), re.M)
    curl(daemon, "/start_de.html", "-b", "SessKey=" + key)
    assert re.search(r"^\s*language = de$", open(root.file("/etc/params.dat")).read(), re.M)


def test_session_expiry_and_image_across_restart(net, root):
    from conftest import Daemon
    d = Daemon(net, root, env={"KickOff": "1"})
    try:
        start_web(d, logins=True, sessKeyTimer="on", sessKeyTimeout="10")
        old = session_cookie(login(d)[1])
        kept = session_cookie(login(d)[1])
        assert curl(d, "/start.html", "-b", "SessKey=" + old)[0] == "HTTP/1.1 200 OK"
        # Ten minutes and a little more later the idle session has expired...
        ok, _ = d.simctl("ticks", "advance", "60100")
        assert ok
        assert curl(d, "/start.html", "-b", "SessKey=" + kept)[0] == "HTTP/1.1 302 Moved Temporarily"
        kept = session_cookie(login(d)[1])
        assert curl(d, "/start.html", "-b", "SessKey=" + kept)[0] == "HTTP/1.1 200 OK"
        assert d.stop() == 0
    finally:
        d.close()
    image = open(root.file("/var/sessions.raw"), "rb").read()
    assert len(image) == 824 and image[:4] == bytes([0x30, 0x00, 0x01, 0x00])
    assert kept.encode() in image and old.encode() not in image

    # A warm start keeps the sessions; a start with KickOff 0 drops them and the image.
    for kick, expected in (("1", "HTTP/1.1 200 OK"), ("0", "HTTP/1.1 302 Moved Temporarily")):
        d = Daemon(net, root, env={"KickOff": kick})
        try:
            start_web(d)
            assert curl(d, "/start.html", "-b", "SessKey=" + kept)[0] == expected
            if kick == "0":
                assert not os.path.exists(root.file("/var/sessions.raw"))
            assert d.stop() == 0
        finally:
            d.close()


def test_german_pages_and_form_save(daemon, root):
    start_web(daemon)
    status, _, body = curl(daemon, "/start_de.html")
    assert status == "HTTP/1.1 200 OK"
    assert '<html lang="de">' in body and "Übersicht" in body and 'href="/maintenance/restart_de.html"' in body
    status, _, body = curl(daemon, "/device/description_de.html", "-d",
                           "action=set&sys_name=Lab+%C3%9Cbung&sys_contact=ops%40example.org&unknown=1")
    assert status == "HTTP/1.1 200 OK"
    assert "Die Parameter wurden geändert." in body
    assert 'value="Lab Übung"' in body
    params = open(root.file("/etc/params.dat"), encoding="utf-8").read()
    assert re.search(r"^\s*sys_name = Lab Übung$", params, re.M)
    assert re.search(r"^\s*sys_contact = ops@example.org$", params, re.M)
    # The same values again change nothing.
    _, _, body = curl(daemon, "/device/description.html", "-d", "action=set&sys_name=Lab+%C3%9Cbung")
    assert "Parameters have been changed." not in body
    # A value with markup is shown escaped.
    _, _, body = curl(daemon, "/device/description.html", "-d", "action=set&sys_descr=%3Cscript%3Ex")
    assert "<script>x" not in body and "&lt;script&gt;x" in body

    # A chunked form body is read to its end; the request after it on the connection is
    # its own.
    body = b"action=set&sys_contact=chunked"
    req = (b"POST /device/description.html HTTP/1.1\r\nTransfer-Encoding: chunked\r\nConnection: keep-alive\r\n"
           b"Content-Type: application/x-www-form-urlencoded\r\n\r\n" + b"%x\r\n" % len(body) + body +
           b"\r\n0\r\n\r\nGET /css/qmr.css HTTP/1.1\r\n\r\n")
    out = raw(daemon, req)
    assert out.count(b"HTTP/1.1 200 OK") == 2, out[:300]
    assert "sys_contact = chunked" in open(root.file("/etc/params.dat")).read()


def test_parameter_uploads(daemon, root, tmp_path):
    start_web(daemon)
    good = tmp_path / "params.txt"
    good.write_text(" sys_contact = uploaded@example.org\n")
    status, _, body = curl(daemon, "/maintenance/setparams.cgi", "-F", "file=@%s" % good)
    assert status == "HTTP/1.1 200 OK" and "Parameters are changed. Please wait." in body
    assert "uploaded@example.org" in open(root.file("/etc/params.dat")).read()
    assert 'http-equiv="refresh"' in body

    # Exactly at the limit: still taken.
    edge = tmp_path / "edge.txt"
    head = b" sys_contact = edge@example.org\n"
    with open(edge, "wb") as f:
        f.write(head + b"#\n" * ((10240000 - len(head)) // 2) + b"#" * ((10240000 - len(head)) % 2))
    assert os.path.getsize(edge) == 10240000
    status, _, body = curl(daemon, "/maintenance/setparams.cgi", "-F", "file=@%s" % edge)
    assert status == "HTTP/1.1 200 OK" and "Parameters are changed. Please wait." in body
    assert "edge@example.org" in open(root.file("/etc/params.dat")).read()

    # Over the limit: read completely and dropped, and the device keeps running.
    big = tmp_path / "big.txt"
    with open(big, "wb") as f:
        f.write(b" sys_contact = big@example.org\n" + b"#" * 10240001)
    status, _, body = curl(daemon, "/maintenance/setparams.cgi", "-F", "file=@%s" % big)
    assert status == "HTTP/1.1 200 OK"
    assert "Invalid parameter file. No parameters have been changed." in body
    assert "big@example.org" not in open(root.file("/etc/params.dat")).read()
    assert daemon.proc.poll() is None
    assert curl(daemon, "/start.html")[0] == "HTTP/1.1 200 OK"


def test_showparams_lists_parameters(daemon):
    start_web(daemon)
    status, _, body = curl(daemon, "/maintenance/showparams.html")
    assert status == "HTTP/1.1 200 OK"
    rows = re.findall(r"<tr><td>([a-zA-Z0-9_]+)</td><td>", body)
    assert len(rows) > 200 and "sys_name" in rows and "admin_pwd" in rows
    assert not re.search(r"<tr><td>admin_pwd</td><td>[^<*]", body)


def test_restart_and_purge_exit_statuses(net, root):
    from conftest import Daemon
    # The reset comes last: it removes the parameter file the other runs start from.
    for path, form, status in (("/maintenance/restart.cgi", "x=1", 0), ("/maintenance/restart.cgi", "cold=1", 2),
                               ("/maintenance/purge.cgi", "x=1", 9), ("/maintenance/purge.cgi", "cold=1", 2),
                               ("/maintenance/reset.cgi", "x=1", 0)):
        d = Daemon(net, root)
        try:
            start_web(d)
            code, _, body = curl(d, path, "-d", form)
            assert code == "HTTP/1.1 200 OK"
            assert "The device is restarting." in body
            assert 'content="%d; url=http://' % (20 if "cold" in form else 10) in body
            assert wait_exit(d) == status, (path, form)
            if "reset" in path:
                assert not os.path.exists(root.file("/etc/params.dat"))
        finally:
            d.close()


def test_https(daemon, root):
    start_web(daemon, logins=True)
    status, h, _ = login(daemon, https=True)
    assert status == "HTTP/1.1 302 Moved Temporarily"
    assert h["set-cookie"][0].endswith("; HttpOnly; SameSite=Strict; Secure")
    key = session_cookie(h)
    r = subprocess.run(["ip", "netns", "exec", daemon.net.client, "openssl", "s_client", "-connect",
                        "%s:443" % daemon.net.device_addr, "-quiet", "-ign_eof"],
                       input=("GET /start_de.html HTTP/1.1\r\nHost: qmr\r\nCookie: SessKey=%s\r\n\r\n" % key).encode(),
                       capture_output=True, timeout=60)
    status, headers, body = parse(r.stdout)
    assert status == "HTTP/1.1 200 OK", r.stdout[:300]
    assert "Angemeldet als Admin" in body

    # With plain HTTP switched off, a plain request is sent on to HTTPS.
    d = daemon
    code, _, body = curl(d, "/device/description.html", "-b", "SessKey=" + key, "-d",
                         "action=set&http_allowed=off")
    assert code == "HTTP/1.1 200 OK"
    code, _, body = curl(d, "/start.html")
    assert code == "HTTP/1.1 200 OK"
    assert re.search(r'content="3; url=https://%s/start_(en|de).html"' % re.escape(d.net.device_addr), body)


def served_certificate(daemon):
    """The common name of the certificate the HTTPS port shows to a new connection."""
    r = subprocess.run(["ip", "netns", "exec", daemon.net.client, "openssl", "s_client", "-connect",
                        "%s:443" % daemon.net.device_addr], input=b"", capture_output=True, timeout=60)
    m = re.search(rb"^subject=.*CN\s*=\s*([\w-]+)", r.stdout, re.M)
    return m.group(1).decode() if m else r.stdout[-300:]


def test_https_follows_replaced_certificates(daemon, root):
    # Every new connection shows the certificate files as they are now: an installed pair
    # taken up, rewritten in place, broken and removed while the server runs.
    start_web(daemon)
    certs = root.file("/etc/certs")
    assert served_certificate(daemon) == "qmr-test"
    assert served_certificate(daemon) == "qmr-test"

    def install(name):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                        "-subj", "/CN=" + name, "-keyout", os.path.join(certs, "cert_fpkey.pem"),
                        "-out", os.path.join(certs, "cert_fsrv.pem")], check=True, capture_output=True)
    install("installed-one")
    assert served_certificate(daemon) == "installed-one"
    install("installed-two")
    assert served_certificate(daemon) == "installed-two"
    with open(os.path.join(certs, "cert_fsrv.pem"), "w") as f:
        f.write("-----BEGIN CERTIFICATE-----\ngarbage\n-----END CERTIFICATE-----\n")
    assert served_certificate(daemon) == "qmr-test"
    os.remove(os.path.join(certs, "cert_fpkey.pem"))
    os.remove(os.path.join(certs, "cert_fsrv.pem"))
    assert served_certificate(daemon) == "qmr-test"
    install("installed-three")
    assert served_certificate(daemon) == "installed-three"
    assert curl(daemon, "/css/qmr.css", https=True)[0] == "HTTP/1.1 200 OK"


def test_refused_upload_is_not_read(daemon, root):
    # The access check runs when the header is complete: a visitor without a session is
    # sent to the login page before any of his upload is read or stored.
    start_web(daemon, logins=True)
    part = (b"--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"p.dat\"\r\n"
            b"Content-Type: text/plain\r\n\r\n sys_contact = sneaked@example.org\n")
    head = (b"POST /maintenance/setparams.cgi HTTP/1.1\r\nHost: qmr\r\n"
            b"Content-Type: multipart/form-data; boundary=XyZ\r\nContent-Length: 5000000\r\n\r\n")
    out = raw(daemon, head + part, keep_open=True)
    assert out.startswith(b"HTTP/1.1 302 Moved Temporarily\r\n"), out[:200]
    assert b"Location: /index_en.html\r\n" in out and not out.endswith(b"#NO-CLOSE#")
    assert "sneaked" not in open(root.file("/etc/params.dat")).read()
    assert curl(daemon, "/index.html")[0] == "HTTP/1.1 200 OK"


CAP_CLIENT = r"""
import json, socket, sys, time
host, count = sys.argv[1], int(sys.argv[2])
socks = [socket.create_connection((host, 80), timeout=10) for _ in range(count)]
time.sleep(2)
open_ones = []
for s in socks:
    s.setblocking(False)
    try:
        closed = s.recv(1) == b""
    except BlockingIOError:
        closed = False
    except ConnectionResetError:
        closed = True
    if not closed:
        open_ones.append(s)
# A held connection is still served.
first = open_ones[0]
first.setblocking(True)
first.sendall(b"GET /css/qmr.css HTTP/1.0\r\n\r\n")
answer = first.recv(200)
for s in socks:
    s.close()
print(json.dumps({"open": len(open_ones), "answer": answer.decode("latin-1")}))
"""


def test_concurrent_connections_are_capped(daemon):
    # Each connection is a thread: beyond 32 at once the listener closes new ones, and
    # the ones it holds are still served.
    start_web(daemon)
    r = subprocess.run(["ip", "netns", "exec", daemon.net.client, "/usr/bin/python3", "-c", CAP_CLIENT,
                        daemon.net.device_addr, "40"], capture_output=True, text=True, timeout=90)
    assert r.returncode == 0, r.stderr
    found = json.loads(r.stdout)
    assert found["open"] == 32, found
    assert found["answer"].startswith("HTTP/1.1 200 OK"), found
    assert curl(daemon, "/css/qmr.css")[0] == "HTTP/1.1 200 OK"


def test_listeners_follow_the_ip_vlan_settings(daemon):
    # With management IP VLANs the listener set of the VLAN answers on its address; the
    # untagged interface answers only while "ipvlan_mgmt_untag" is on, and a change of
    # it reopens the listeners at once.
    net = daemon.net
    vlan_subnet = "198.19.%s" % net.subnet.rsplit(".", 1)[1]
    start_web(daemon, ipvlan_mgmt="on", ipvlan_mgmt_untag="on", ipvlan_mgmt_idx="0", ipvlan_on_1="on",
              ipvlan_id_1="7", ipvlan_addr_1=vlan_subnet + ".1", ipvlan_pfxlen_1="24")
    net.run_client("ip", "addr", "add", vlan_subnet + ".2/24", "dev", "eth0")

    def status(addr):
        r = net.run_client("curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "3",
                           "http://%s/css/qmr.css" % addr, check=False)
        return r.stdout.strip()

    daemon.wait_for(lambda: status(vlan_subnet + ".1") == "200", timeout=60, what="the VLAN listener")
    assert status(net.device_addr) == "200"

    code, _, body = curl(daemon, "/device/description.html", "-d", "action=set&ipvlan_mgmt_untag=off")
    assert code == "HTTP/1.1 200 OK" and "Parameters have been changed." in body
    daemon.wait_for(lambda: status(net.device_addr) == "000", timeout=30, what="the untagged listener to close")
    assert status(vlan_subnet + ".1") == "200"
