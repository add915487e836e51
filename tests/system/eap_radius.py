"""The RADIUS side of the test authenticators: EAP messages of a station carried to a
RADIUS server in Access-Requests (RFC 3579), and the server's answer taken apart,
MS-MPPE keys decrypted (RFC 2548). Used by the wired relay (eap_relay.py) and by the
Wi-Fi authenticator (wifi_auth.py), which runs the same conversation on an AP's TAP."""
import hashlib
import hmac
import os
import socket
import struct

ACCESS_REQUEST, ACCESS_ACCEPT, ACCESS_REJECT, ACCESS_CHALLENGE = 1, 2, 3, 11
# EAP-Request/Identity with id 1: what an authenticator opens every conversation with.
REQUEST_IDENTITY = bytes([1, 1, 0, 5, 1])


def attrs(data):
    """[(type, value)] of a RADIUS attribute list; stops at anything that does not fit."""
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


class Answer:
    """A RADIUS answer: its code, the EAP message it carries, and for an Access-Accept the
    decrypted MS-MPPE keys ("send", "recv" in hex) and the Class attributes ("class")."""

    def __init__(self, code, eap, keys):
        self.code, self.eap, self.keys = code, eap, keys

    @property
    def accepted(self):
        return self.code == ACCESS_ACCEPT

    @property
    def challenge(self):
        return self.code == ACCESS_CHALLENGE


class Conversation:
    """One station's EAP conversation relayed to a RADIUS server on 127.0.0.1:1812 of the
    namespace the UDP socket lives in (a socket made elsewhere can be handed in)."""

    def __init__(self, secret, udp=None, timeout=20):
        self.secret = secret
        self.udp = udp or socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.settimeout(timeout)
        self.state = None
        self.identity = b""
        self.rad_id = 0

    def start(self):
        """A new conversation: the EAP-Request/Identity to send to the station."""
        self.state = None
        return REQUEST_IDENTITY

    def close(self):
        self.udp.close()

    def _exchange(self, eap):
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
        pkt = bytes([ACCESS_REQUEST, self.rad_id]) + struct.pack("!H", 20 + len(body)) + auth + body
        mac = hmac.new(self.secret, pkt, hashlib.md5).digest()
        pkt = pkt[:20 + ma_at + 2] + mac + pkt[20 + ma_at + 18:]
        self.udp.sendto(pkt, ("127.0.0.1", 1812))
        while True:
            reply, _ = self.udp.recvfrom(8192)
            # A late answer to an earlier request is not this one's.
            if len(reply) >= 20 and reply[1] == self.rad_id:
                return reply, auth

    def response(self, eap):
        """Carries the station's EAP-Response to the server; the server's Answer (raises
        socket.timeout when the server stays silent)."""
        if len(eap) >= 5 and eap[0] == 2 and eap[4] == 1:
            self.identity = eap[5:]
        reply, req_auth = self._exchange(eap)
        got = attrs(reply[20:struct.unpack("!H", reply[2:4])[0]])
        self.state = next((v for t, v in got if t == 24), None)
        keys = {}
        for t, v in got:
            if t == 26 and len(v) > 6 and struct.unpack("!I", v[:4])[0] == 311:
                vt = v[4]
                if vt in (16, 17):
                    keys["send" if vt == 16 else "recv"] = mppe_decrypt(v[6:], self.secret, req_auth).hex()
            if t == 25:
                keys.setdefault("class", []).append(v.decode(errors="replace"))
        return Answer(reply[0], b"".join(v for t, v in got if t == 79), keys)
