"""An 802.1X authenticator for the EAP tests: EAPOL frames on eth0 (ethertype 0x888E) to
and from the station, RADIUS Access-Requests to a local server. Run inside the client
namespace; prints one JSON object per line: "ready", each RADIUS result with the
decrypted MS-MPPE keys and the server's Class attribute, and the frames it relayed.

Usage: eap_relay.py <ifname> <secret> <go-file> [--forge-success]
The relay stays silent until the go-file exists; then it starts the authentication
itself (EAP-Request/Identity to the station whose EAPOL-Start it saw), and afterwards
answers every EAPOL-Start."""
import hashlib
import hmac
import json
import os
import socket
import struct
import sys

ETH_P_PAE = 0x888E
PAE_GROUP = bytes.fromhex("0180c2000003")


def say(**kw):
    sys.stdout.write(json.dumps(kw) + "\n")
    sys.stdout.flush()


def attrs(data):
    out = []
    pos = 0
    while pos + 2 <= len(data):
        t, ln = data[pos], data[pos + 1]
        if ln < 2 or pos + ln > len(data):
            break
        out.append((t, data[pos + 2:pos + ln]))
        pos += ln
    return out


def mppe_decrypt(value, secret, req_auth):
    # RFC 2548 section 2.4.2: salt, then the key XOR-ed with MD5 chains.
    salt, enc = value[:2], value[2:]
    plain = b""
    prev = req_auth + salt
    for i in range(0, len(enc), 16):
        b = hashlib.md5(secret + prev).digest()
        block = enc[i:i + 16]
        plain += bytes(x ^ y for x, y in zip(block, b))
        prev = block
    n = plain[0]
    return plain[1:1 + n]


class Relay:
    def __init__(self, ifname, secret, go_file, forge_success):
        self.go_file = go_file
        self.going = False
        self.secret = secret
        self.forge_success = forge_success
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_PAE))
        self.sock.bind((ifname, ETH_P_PAE))
        self.own = self.sock.getsockname()[4]
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.settimeout(20)
        self.state = None
        self.identity = b""
        self.rad_id = 0
        self.peer = None
        self.last_eap_id = 0

    def send_eap(self, eap):
        frame = self.peer + self.own + struct.pack("!H", ETH_P_PAE) + bytes([2, 0]) + struct.pack("!H", len(eap))
        self.sock.send(frame + eap)
        self.last_eap_id = eap[1]

    def radius(self, eap):
        self.rad_id = (self.rad_id + 1) & 0xFF
        auth = os.urandom(16)
        body = bytes([1, len(self.identity) + 2]) + self.identity
        for i in range(0, len(eap), 253):
            piece = eap[i:i + 253]
            body += bytes([79, len(piece) + 2]) + piece
        body += bytes([4, 6]) + socket.inet_aton("127.0.0.1")
        if self.state is not None:
            body += bytes([24, len(self.state) + 2]) + self.state
        ma_at = len(body)
        body += bytes([80, 18]) + bytes(16)
        pkt = bytes([1, self.rad_id]) + struct.pack("!H", 20 + len(body)) + auth + body
        mac = hmac.new(self.secret, pkt, hashlib.md5).digest()
        pkt = pkt[:20 + ma_at + 2] + mac + pkt[20 + ma_at + 18:]
        self.udp.sendto(pkt, ("127.0.0.1", 1812))
        reply, _ = self.udp.recvfrom(8192)
        return reply, auth

    def handle(self, src, body):
        if self.peer is None:
            self.peer = src
        ptype = body[1]
        if ptype == 1:  # EAPOL-Start
            say(event="start")
            if not self.going:
                return
            self.state = None
            self.send_eap(bytes([1, 1, 0, 5, 1]))
            return
        if ptype == 2:
            say(event="logoff")
            return
        if ptype != 0:
            return
        length = struct.unpack("!H", body[2:4])[0]
        eap = body[4:4 + length]
        if len(eap) >= 5 and eap[0] == 2 and eap[4] == 1:
            self.identity = eap[5:]
        if len(eap) >= 6 and eap[0] == 2 and eap[4] == 3:
            say(event="nak", types=list(eap[5:]))
        if self.forge_success and len(eap) >= 6 and eap[0] == 2 and eap[4] in (13, 21, 25):
            off = 6 + (4 if eap[5] & 0x80 else 0)
            if len(eap) > off and eap[off] == 0x15:
                # The station sent a TLS alert: answer with a forged Success.
                say(event="forged")
                self.send_eap(bytes([3, eap[1], 0, 4]))
                return
        reply, req_auth = self.radius(eap)
        code = reply[0]
        got = attrs(reply[20:])
        eap_out = b"".join(v for t, v in got if t == 79)
        self.state = next((v for t, v in got if t == 24), None)
        if code == 11:
            self.send_eap(eap_out)
            return
        keys = {}
        for t, v in got:
            if t == 26 and len(v) > 6 and struct.unpack("!I", v[:4])[0] == 311:
                vt = v[4]
                if vt in (16, 17):
                    keys["send" if vt == 16 else "recv"] = mppe_decrypt(v[6:], self.secret, req_auth).hex()
            if t == 25:
                keys.setdefault("class", []).append(v.decode(errors="replace"))
        say(event="accept" if code == 2 else "reject", **keys)
        if eap_out:
            self.send_eap(eap_out)

    def run(self):
        say(event="ready")
        self.sock.settimeout(0.2)
        while True:
            if not self.going and self.peer is not None and os.path.exists(self.go_file):
                self.going = True
                self.send_eap(bytes([1, 1, 0, 5, 1]))
            try:
                frame, addr = self.sock.recvfrom(4096)
            except socket.timeout:
                continue
            if len(frame) < 18 or frame[6:12] == self.own:
                continue
            if self.peer is None:
                self.peer = frame[6:12]
            try:
                self.handle(frame[6:12], frame[14:])
            except socket.timeout:
                say(event="radius-timeout")


if __name__ == "__main__":
    Relay(sys.argv[1], sys.argv[2].encode(), sys.argv[3], "--forge-success" in sys.argv[4:]).run()
