"""A mail server for the tests: aiosmtpd on one address, plain, STARTTLS or implicit TLS,
with AUTH LOGIN that asks "Username:" and "Password:". Every accepted mail is appended
to the output file as one JSON line {"from", "to", "data"}; refused logins are counted
in the same file as {"auth": "refused"}.

Usage: smtp_peer.py ADDRESS PORT OUTFILE [--tls CERT KEY] [--implicit] [--login USER PASS]
"""
import argparse
import json
import ssl
import threading
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

lock = threading.Lock()


def record(path, entry):
    with lock, open(path, "a") as f:
        f.write(json.dumps(entry) + "\n")


class AskingSMTP(SMTP):
    AuthLoginUsernameChallenge = "Username:"
    AuthLoginPasswordChallenge = "Password:"


class Handler:
    def __init__(self, path):
        self.path = path

    async def handle_DATA(self, server, session, envelope):
        record(self.path, {"from": envelope.mail_from, "to": envelope.rcpt_tos,
                           "data": envelope.original_content.decode("utf-8", "replace")})
        return "250 OK"


class PeerController(Controller):
    def __init__(self, handler, smtp_kwargs, **kw):
        self.smtp_kwargs = smtp_kwargs
        super().__init__(handler, **kw)

    def factory(self):
        return AskingSMTP(self.handler, **self.smtp_kwargs)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("address")
    p.add_argument("port", type=int)
    p.add_argument("out")
    p.add_argument("--tls", nargs=2)
    p.add_argument("--implicit", action="store_true")
    p.add_argument("--login", nargs=2)
    a = p.parse_args()

    context = None
    if a.tls:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(a.tls[0], a.tls[1])

    def authenticator(server, session, envelope, mechanism, data):
        ok = (a.login and isinstance(data, LoginPassword) and
              data.login.decode() == a.login[0] and data.password.decode() == a.login[1])
        if not ok:
            record(a.out, {"auth": "refused"})
        return AuthResult(success=bool(ok), handled=False)

    smtp_kwargs = {"auth_require_tls": False, "auth_exclude_mechanism": ["PLAIN"]}
    if a.login:
        smtp_kwargs["authenticator"] = authenticator
    if context is not None and not a.implicit:
        smtp_kwargs["tls_context"] = context
    kw = {"hostname": a.address, "port": a.port}
    if a.implicit:
        kw["ssl_context"] = context
    c = PeerController(Handler(a.out), smtp_kwargs, **kw)
    c.start()
    print("ready", flush=True)
    try:
        while True:
            time.sleep(1)
    finally:
        c.stop()


if __name__ == "__main__":
    main()
