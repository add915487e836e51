"""Helpers of the web-server system tests: a daemon with web settings, curl and raw
HTTP from the client namespace."""
import os
import re
import subprocess
import time

ADMIN_PWD = "secret-admin-1"
USER_PWD = "secret-user-1"

RAW_CLIENT = r"""
import socket, sys
host, port, wait = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
data = sys.stdin.buffer.read()
s = socket.create_connection((host, port), timeout=30)
s.sendall(data)
if wait <= 0:
    s.shutdown(socket.SHUT_WR)
out = b""
s.settimeout(30)
while True:
    try:
        chunk = s.recv(65536)
    except socket.timeout:
        out += b"#NO-CLOSE#"
        break
    if not chunk:
        break
    out += chunk
sys.stdout.buffer.write(out)
"""


def add_params(root, **values):
    with open(root.file("/etc/params.dat"), "a") as f:
        for k, v in values.items():
            f.write("%s = %s\n" % (k, v))


def make_certificate(root):
    """A ready server certificate, so HTTPS works without waiting for the default one."""
    certs = root.file("/etc/certs")
    os.makedirs(certs, exist_ok=True)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                    "-subj", "/CN=qmr-test", "-keyout", os.path.join(certs, "cert_pkey.pem"),
                    "-out", os.path.join(certs, "cert_srv.pem")],
                   check=True, capture_output=True, timeout=60)


def start_web(daemon, logins=False, **params):
    """Starts the daemon (login sessions on with passwords when asked) and waits for HTTP."""
    root = daemon.root
    if logins:
        params.setdefault("sessKeys", "on")
        params.setdefault("admin_pwd", ADMIN_PWD)
        params.setdefault("any_pwd", USER_PWD)
    add_params(root, **params)
    if not os.path.exists(root.file("/etc/certs/cert_pkey.pem")):
        make_certificate(root)
    daemon.start()
    url = "http://%s/css/qmr.css" % daemon.net.device_addr

    def up():
        r = daemon.net.run_client("curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "2",
                                  url, check=False)
        return r.stdout.strip() == "200"
    daemon.wait_for(up, timeout=60, what="the web server")
    return daemon


def curl(daemon, path, *args, https=False):
    """Runs curl from the client namespace; returns (status line, headers dict, body)."""
    scheme = "https" if https else "http"
    cmd = ["curl", "-s", "-i", "-k", "--max-time", "20"] + list(args) + [
        "%s://%s%s" % (scheme, daemon.net.device_addr, path)]
    r = subprocess.run(["ip", "netns", "exec", daemon.net.client] + cmd, capture_output=True, timeout=60)
    return parse(r.stdout)


def parse(raw):
    text = raw.decode("utf-8", "replace") if isinstance(raw, bytes) else raw
    head, _, body = text.partition("\r\n\r\n")
    lines = head.split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers.setdefault(name.strip().lower(), []).append(value.strip())
    return lines[0], headers, body


def raw(daemon, data, port=80, keep_open=False):
    """Sends bytes on one TCP connection from the client namespace; returns all bytes received."""
    r = subprocess.run(["ip", "netns", "exec", daemon.net.client, "/usr/bin/python3", "-c", RAW_CLIENT,
                        daemon.net.device_addr, str(port), "1" if keep_open else "0"],
                       input=data, capture_output=True, timeout=90)
    return r.stdout


def login(daemon, name="Admin", pwd=ADMIN_PWD, jar=None, https=False):
    args = ["-d", "action=set&name=%s&pwd=%s" % (name, pwd)]
    if jar:
        args += ["-c", jar]
    return curl(daemon, "/index.html", *args, https=https)


def session_cookie(headers):
    for value in headers.get("set-cookie", []):
        m = re.match(r"SessKey=([0-9A-Za-z]{16});", value)
        if m:
            return m.group(1)
    return None


def wait_exit(daemon, timeout=40):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if daemon.proc.poll() is not None:
            return daemon.proc.returncode
        time.sleep(0.1)
    raise AssertionError("qmr did not end:\n" + daemon.output())
