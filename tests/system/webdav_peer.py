"""A small WebDAV server for the tests, with the behaviours a real server rarely shows on
demand: Digest with MD5, MD5-sess, SHA-256 or SHA-512 and any offered qop list, PUTs
answered with a scripted run of statuses (409 409 409 409 201, 412), and answers sent
in small pieces or in chunked coding.

Collections and files live in memory below DIR on disk (a file PUT to /a/b.txt is
written to DIR/a/b.txt); a file already in DIR is served to GET. Every request is
appended to LOG as one JSON line {"method", "path", "headers", "length", "body_length",
"auth", "status", "connection"}.

Usage: webdav_peer.py ADDRESS PORT DIR LOG [--digest ALGORITHM] [--qop LIST]
       [--basic] [--user U --password P] [--put-status NAME=S,S,...] [--style plain|split|chunked]
       [--hold NAME]

--hold NAME keeps the answer to the first successful PUT of NAME back until the file
LOG.release exists, sending it one byte every 2 s meanwhile: the client's job stays
running (each of its reads gets a byte in time) for as long as a test needs.
"""
import argparse
import base64
import hashlib
import itertools
import json
import os
import socketserver
import threading
import time
from http.server import BaseHTTPRequestHandler

REALM = "qmr-test"
lock = threading.Lock()
connection_ids = itertools.count(1)


def hash_of(algorithm, text):
    name = {"MD5": "md5", "MD5-sess": "md5", "SHA-256": "sha256", "SHA-512": "sha512"}[algorithm]
    return hashlib.new(name, text.encode()).hexdigest()


def parse_auth_params(text):
    """name=value pairs of a Digest authorization, quoted or not."""
    out, i = {}, 0
    while i < len(text):
        while i < len(text) and text[i] in " ,\t":
            i += 1
        j = text.find("=", i)
        if j < 0:
            break
        name = text[i:j].strip()
        i = j + 1
        if i < len(text) and text[i] == '"':
            k = text.find('"', i + 1)
            out[name] = text[i + 1:k]
            i = k + 1
        else:
            k = text.find(",", i)
            k = len(text) if k < 0 else k
            out[name] = text[i:k].strip()
            i = k
    return out


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def setup(self):
        super().setup()
        self.conn_id = next(connection_ids)

    # --- answers -------------------------------------------------------------
    def send_raw(self, data):
        if self.hold:
            self.hold = False
            release = self.server.opts.log + ".release"
            sent, end = 0, time.monotonic() + 300
            while not os.path.exists(release) and sent < len(data) - 1 and time.monotonic() < end:
                self.wfile.write(data[sent:sent + 1])
                self.wfile.flush()
                sent += 1
                for _ in range(20):
                    if os.path.exists(release):
                        break
                    time.sleep(0.1)
            data = data[sent:]
        style = self.server.opts.style
        if style == "split":
            # A few bytes at a time, with pauses: the client must gather the answer.
            for i in range(0, len(data), 7):
                self.wfile.write(data[i:i + 7])
                self.wfile.flush()
                time.sleep(0.002)
        else:
            self.wfile.write(data)
            self.wfile.flush()

    def answer(self, status, body=b"", headers=()):
        head = "HTTP/1.1 %d %s\r\n" % (status, self.responses.get(status, ("X",))[0])
        for name, value in headers:
            head += "%s: %s\r\n" % (name, value)
        chunked = self.server.opts.style == "chunked" and body
        if chunked:
            head += "Transfer-Encoding: chunked\r\n\r\n"
            data = head.encode()
            for i in range(0, len(body), 50):
                piece = body[i:i + 50]
                data += b"%x;x=y\r\n" % len(piece) + piece + b"\r\n"
            data += b"0\r\nX-Trailer: 1\r\n\r\n"
        else:
            head += "Content-Length: %d\r\n\r\n" % len(body)
            data = head.encode() + body
        self.send_raw(data)
        self.status = status

    # --- authorisation ---------------------------------------------------------
    def challenge(self):
        o = self.server.opts
        if o.basic:
            return 'Basic realm="%s"' % REALM
        nonce = base64.b64encode(os.urandom(18)).decode()
        with lock:
            self.server.nonces[nonce] = 0
        text = 'Digest realm="%s", nonce="%s", opaque="0pq"' % (REALM, nonce)
        if o.qop:
            text += ', qop="%s"' % o.qop
        text += ", algorithm=%s" % o.digest
        return text

    def check_auth(self):
        """'ok', 'none' or the reason the credentials were refused."""
        o = self.server.opts
        header = self.headers.get("Authorization")
        if header is None:
            return "none"
        if o.basic:
            want = base64.b64encode(("%s:%s" % (o.user, o.password)).encode()).decode()
            return "ok" if header == "Basic " + want else "bad basic"
        if not header.startswith("Digest "):
            return "not digest"
        p = parse_auth_params(header[7:])
        with lock:
            if p.get("nonce") not in self.server.nonces:
                return "unknown nonce"
        ha1 = hash_of(o.digest, "%s:%s:%s" % (o.user, REALM, o.password))
        if o.digest == "MD5-sess":
            ha1 = hash_of(o.digest, "%s:%s:%s" % (ha1, p["nonce"], p.get("cnonce", "")))
        ha2 = hash_of(o.digest, "%s:%s" % (self.command, p.get("uri")))
        if "qop" in p:
            if p["qop"] != "auth":
                return "qop %r" % p["qop"]
            want = hash_of(o.digest, ":".join([ha1, p["nonce"], p["nc"], p["cnonce"], "auth", ha2]))
        else:
            want = hash_of(o.digest, "%s:%s:%s" % (ha1, p["nonce"], ha2))
        if p.get("response") != want:
            return "bad response"
        if p.get("uri") != self.path:
            return "uri differs"
        if "qop" in p:
            # nc counts the requests made with this nonce.
            nc = int(p["nc"], 16)
            with lock:
                last = self.server.nonces[p["nonce"]]
                self.server.nonces[p["nonce"]] = nc
            if nc != last + 1:
                return "nc %d after %d" % (nc, last)
        return "ok"

    # --- requests --------------------------------------------------------------
    def handle_one(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        self.status = None
        self.hold = False
        auth = self.check_auth()
        o = self.server.opts
        try:
            if self.command == "OPTIONS" and auth == "none":
                self.answer(401, b"<html>login</html>", [("WWW-Authenticate", self.challenge())])
            elif auth != "ok":
                self.answer(401, b"<html>login</html>", [("WWW-Authenticate", self.challenge())])
            else:
                getattr(self, "do_" + self.command + "_ok")(body)
        finally:
            entry = {"method": self.command, "path": self.path, "headers": dict(self.headers.items()),
                     "length": length, "body_length": len(body), "auth": auth, "status": self.status,
                     "connection": self.conn_id}
            with lock, open(o.log, "a") as f:
                f.write(json.dumps(entry) + "\n")
            if self.command == "PUT" and self.status in (201, 204):
                pass

    def local(self, path):
        return os.path.join(self.server.opts.dir, path.strip("/"))

    def do_OPTIONS_ok(self, body):
        self.answer(200, headers=[("DAV", "1,2"), ("Allow", "OPTIONS, GET, PUT, PROPFIND, MKCOL")])

    def do_PROPFIND_ok(self, body):
        target = self.local(self.path)
        if not os.path.exists(target):
            self.answer(404, b"<html>not found</html>")
            return
        xml = ('<?xml version="1.0" encoding="utf-8"?>\n<D:multistatus xmlns:D="DAV:"><D:response>'
               "<D:href>%s</D:href><D:propstat><D:prop><D:resourcetype>%s</D:resourcetype></D:prop>"
               "<D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response></D:multistatus>\n"
               % (self.path, "<D:collection/>" if os.path.isdir(target) else ""))
        self.answer(207, xml.encode() * 3, [("Content-Type", 'application/xml; charset="utf-8"')])

    def do_MKCOL_ok(self, body):
        target = self.local(self.path)
        if os.path.exists(target):
            self.answer(405, b"<html>exists</html>")
        elif not os.path.isdir(os.path.dirname(target.rstrip("/"))):
            self.answer(409, b"<html>no parent</html>")
        else:
            os.mkdir(target)
            self.answer(201, b"<html>created</html>")

    def do_GET_ok(self, body):
        target = self.local(self.path)
        if not os.path.isfile(target):
            self.answer(404, b"<html>not found</html>")
            return
        with open(target, "rb") as f:
            self.answer(200, f.read(), [("Content-Type", "text/plain")])

    def do_PUT_ok(self, body):
        name = os.path.basename(self.path)
        with lock:
            script = self.server.put_scripts.get(name)
            scripted = script.pop(0) if script else None
        target = self.local(self.path)
        if scripted is not None and scripted not in (201, 204):
            self.answer(scripted, b"<html>scripted</html>")
            return
        if not os.path.isdir(os.path.dirname(target)):
            self.answer(409, b"<html>no parent</html>")
            return
        existed = os.path.exists(target)
        with open(target, "wb") as f:
            f.write(body)
        with lock:
            if name in self.server.holds:
                self.server.holds.discard(name)
                self.hold = True
        self.answer(204 if existed else 201, b"" if existed else b"<html>created</html>")

    def __getattr__(self, name):
        if name.startswith("do_") and not name.endswith("_ok"):
            return self.handle_one
        raise AttributeError(name)


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("address")
    ap.add_argument("port", type=int)
    ap.add_argument("dir")
    ap.add_argument("log")
    ap.add_argument("--digest", default="MD5")
    ap.add_argument("--qop", default="auth")
    ap.add_argument("--basic", action="store_true")
    ap.add_argument("--user", default="dav")
    ap.add_argument("--password", default="secret word")
    ap.add_argument("--put-status", action="append", default=[])
    ap.add_argument("--style", default="plain")
    ap.add_argument("--hold", action="append", default=[])
    opts = ap.parse_args()
    server = Server((opts.address, opts.port), Handler)
    server.opts = opts
    server.nonces = {}
    server.put_scripts = {}
    server.holds = set(opts.hold)
    for item in opts.put_status:
        name, statuses = item.split("=")
        server.put_scripts[name] = [int(s) for s in statuses.split(",")]
    with open(opts.log + ".ready", "w"):
        pass
    server.serve_forever()


if __name__ == "__main__":
    main()
