#!/usr/bin/env python3
"""An IEEE 802.11 authenticator for WPA/WPA2-Personal, the AP side of a scripted nlsim AP.

It speaks EAPOL-Key on the AP's TAP (the Ethernet frames the station sends through its
data path come out there), follows the station news of nlsim (`air news`) to learn of
associations and their request elements, runs the 4-way and group key handshakes as
IEEE 802.11 lays them down for the authenticator, and installs the keys it derives into
nlsim (`air ap key`), which lets data through only when the station's keys equal them.

RSN (descriptor 2, key descriptor version 2: HMAC-SHA1 MICs, AES key wrap) and WPA
(descriptor 254, version 1: HMAC-MD5 MICs, RC4 key encryption) are built in; the
pairwise cipher (CCMP or TKIP) and the group cipher are chosen per network, the
protocol per station from its association request.

Use from a test:

    auth = Authenticator(sock="<root>/run/nlsim.sock", ap="lab", bssid=AP, netns=NS,
                         tap="aptap", ssid="lab", passphrase="secret", protos=("rsn",))
    sim.ok("ap add lab bssid=%s ssid=lab freq=2437 netns=%s tap=aptap ies=%s"
           % (AP, NS, auth.elements().hex()))
    auth.start()
    ...  the station joins
    auth.wait("4way-done")
    auth.rekey()                     # group key handshake to the other index
    auth.wait("group-done", since=n)
    auth.stop()

WPA2-Enterprise: radius_secret= (with radius_netns=, the namespace whose loopback holds
the RADIUS server) makes the AP advertise AKM 1 (IEEE 802.1X) and relay EAP between the
station and the server (eap_radius.py); the PMK is the first 32 bytes of the MSK, the
server's MS-MPPE-Recv-Key. The authenticator keeps a PMKSA per station (PMKID =
HMAC-SHA1-128(PMK, "PMK Name" | AA | SPA)): a station whose association request names it
skips EAP, and message 1/4 carries the PMKID. Results "eap" (each EAP packet from the
station), "eapol-start", "accept" (with the MS-MPPE keys), "reject", "pmksa-hit".
Pre-authentication (ethertype 0x88C7): an associated station's EAPOL frames addressed to
another BSSID are relayed to the server in a conversation of their own and answered from
that BSSID; an accept keeps the PMK in `preauth` (station address, BSSID: PMK). Results
"preauth-start", "preauth-accept" (with the PMKID for that BSSID), "preauth-reject".

Scripting (constructor keywords): pmkid=True puts a PMKID into message 1/4;
msg3_ie=bytes replaces the element of message 3/4 (a beacon mismatch);
msg3_key_index=1 sets key index 1 in message 3/4; repeat_msg3=True sends message 3/4
once more after 4/4; retries/timeout bound the retransmissions (after the last one the
station is deauthenticated with reason 15). A passphrase other than the station's
shows as a bad MIC in 2/4, 1/4 again, then reason 15. Methods: rekey(index),
group_again(), msg3_again().

Every step lands in auth.results as (number, name, fields); wait(name, since=,
pred=) blocks until one is there. station_keys() gives the key fingerprints nlsim's key
trace (`air keys`) must show for the keys the station installs.

CLI: wifi_auth.py --sock PATH --ap NAME --bssid MAC --netns NS --tap TAP --ssid SSID
--passphrase TEXT [--proto rsn,wpa] [--pairwise ccmp,tkip] [--group ccmp|tkip]
[--gtk-index N] [--pmkid] [--print-elements]: prints "ready" once it follows the news,
then each result, until SIGTERM or SIGINT."""
import argparse
import ctypes
import hashlib
import hmac
import os
import select
import signal
import socket
import struct
import sys
import threading
import time

from cryptography.hazmat.primitives.keywrap import aes_key_unwrap, aes_key_wrap

import eap_radius

EAPOL = 0x888E
PREAUTH = 0x88C7
# Key information bits.
KI_PAIRWISE, KI_INSTALL, KI_ACK, KI_MIC = 0x0008, 0x0040, 0x0080, 0x0100
KI_SECURE, KI_ERROR, KI_REQUEST, KI_ENCRYPTED = 0x0200, 0x0400, 0x0800, 0x1000

CIPHERS = {  # name (as nlsim's `ap key` takes it): (RSN selector type, WPA selector type, TK length)
    "tkip": (2, 2, 32),
    "ccmp": (4, 4, 16),
}
RSN_OUI, WPA_OUI = b"\x00\x0f\xac", b"\x00\x50\xf2"


# ---- key derivation and protection (IEEE 802.11) ----

def psk(passphrase, ssid):
    """The PMK of a passphrase: PBKDF2-HMAC-SHA1 over the SSID, 4096 rounds, 32 bytes."""
    if isinstance(passphrase, str):
        passphrase = passphrase.encode()
    if isinstance(ssid, str):
        ssid = ssid.encode()
    return hashlib.pbkdf2_hmac("sha1", passphrase, ssid, 4096, 32)


def prf(key, label, data, nbytes):
    """The IEEE 802.11 SHA-1 pseudo-random function."""
    out = b""
    i = 0
    while len(out) < nbytes:
        out += hmac.new(key, label + b"\0" + data + bytes([i]), hashlib.sha1).digest()
        i += 1
    return out[:nbytes]


def ptk(pmk, aa, spa, anonce, snonce, tk_len):
    """KCK, KEK, TK from the PMK, both addresses and both nonces (lower one first)."""
    data = min(aa, spa) + max(aa, spa) + min(anonce, snonce) + max(anonce, snonce)
    k = prf(pmk, b"Pairwise key expansion", data, 32 + tk_len)
    return k[:16], k[16:32], k[32:]


def pmkid(pmk, aa, spa):
    return hmac.new(pmk, b"PMK Name" + aa + spa, hashlib.sha1).digest()[:16]


def mic(kck, version, frame):
    """The EAPOL-Key MIC over the frame (its MIC field zero): HMAC-MD5 for version 1,
    HMAC-SHA1 cut to 16 bytes for version 2."""
    if version == 1:
        return hmac.new(kck, frame, hashlib.md5).digest()
    if version == 2:
        return hmac.new(kck, frame, hashlib.sha1).digest()[:16]
    raise ValueError("no MIC for descriptor version %d" % version)


def rc4(key, data, skip=256):
    s = list(range(256))
    j = 0
    for i in range(256):
        j = (j + s[i] + key[i % len(key)]) & 0xFF
        s[i], s[j] = s[j], s[i]
    i = j = 0
    out = bytearray()
    for n in range(skip + len(data)):
        i = (i + 1) & 0xFF
        j = (j + s[i]) & 0xFF
        s[i], s[j] = s[j], s[i]
        if n >= skip:
            out.append(data[n - skip] ^ s[(s[i] + s[j]) & 0xFF])
    return bytes(out)


def wrap(kek, data):
    """RSN key data encryption: padded with DD 00.. to a multiple of 8 (16 at least),
    then AES key wrap."""
    if len(data) < 16 or len(data) % 8:
        data += b"\xdd"
        while len(data) < 16 or len(data) % 8:
            data += b"\0"
    return aes_key_wrap(kek, data)


def unwrap(kek, data):
    return aes_key_unwrap(kek, data)


def fnv(data):
    """The fingerprint nlsim's key trace shows: FNV-1a 64 in hex."""
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def station_view(key, cipher):
    """A key as the station installs it: TKIP's two MIC keys swapped."""
    if cipher == "tkip" and len(key) == 32:
        return key[:16] + key[24:32] + key[16:24]
    return key


# ---- elements and frames ----

def rsn_element(pairwise=("ccmp",), group="ccmp", caps=0, akm=2):
    """An RSN element; AKM 1 is IEEE 802.1X (EAP), 2 a pre-shared key."""
    body = struct.pack("<H", 1) + RSN_OUI + bytes([CIPHERS[group][0]])
    body += struct.pack("<H", len(pairwise)) + b"".join(RSN_OUI + bytes([CIPHERS[c][0]]) for c in pairwise)
    body += struct.pack("<H", 1) + RSN_OUI + bytes([akm]) + struct.pack("<H", caps)
    return bytes([48, len(body)]) + body


def element_pmkids(e):
    """The PMKIDs an RSN element lists after its capabilities (none when it stops
    before them or is no RSN element)."""
    if not e or e[0] != 48:
        return []
    body, off = e[2:], 6
    for _ in range(2):  # the pairwise and the AKM suite lists
        if off + 2 > len(body):
            return []
        off += 2 + 4 * struct.unpack_from("<H", body, off)[0]
    off += 2  # capabilities
    if off + 2 > len(body):
        return []
    count = struct.unpack_from("<H", body, off)[0]
    off += 2
    return [body[off + 16 * i:off + 16 * i + 16] for i in range(count) if off + 16 * i + 16 <= len(body)]


def wpa_element(pairwise=("tkip",), group="tkip"):
    body = WPA_OUI + b"\x01" + struct.pack("<H", 1) + WPA_OUI + bytes([CIPHERS[group][1]])
    body += struct.pack("<H", len(pairwise)) + b"".join(WPA_OUI + bytes([CIPHERS[c][1]]) for c in pairwise)
    body += struct.pack("<H", 1) + WPA_OUI + b"\x02"
    return bytes([221, len(body)]) + body


def gtk_kde(gtk, index):
    """The GTK key data encapsulation: key index (bits 0-1), a reserved byte, the key."""
    return b"\xdd" + bytes([6 + len(gtk)]) + RSN_OUI + b"\x01" + bytes([index & 3, 0]) + gtk


def elements(data):
    """[(id, whole element)] of an element list; stops at anything that does not fit."""
    out, off = [], 0
    while off + 2 <= len(data):
        n = data[off + 1]
        if off + 2 + n > len(data):
            break
        out.append((data[off], data[off:off + 2 + n]))
        off += 2 + n
    return out


def security_element(ies):
    """The RSN element of an element list, else its WPA element; (proto, element)."""
    wpa = None
    for eid, e in elements(ies):
        if eid == 48:
            return "rsn", e
        if eid == 221 and e[2:6] == WPA_OUI + b"\x01":
            wpa = e
    return ("wpa", wpa) if wpa else (None, None)


def decode_element(e):
    """(pairwise cipher names, group cipher name) of an RSN or WPA element; what does
    not fit in the element is left out (unknown suites are None)."""
    body = e[2:] if e[0] == 48 else e[6:]
    oui = RSN_OUI if e[0] == 48 else WPA_OUI
    names = {v[0] if e[0] == 48 else v[1]: k for k, v in CIPHERS.items()}
    group = names.get(body[5]) if len(body) >= 6 and body[2:5] == oui else None
    count = struct.unpack_from("<H", body, 6)[0] if len(body) >= 8 else 0
    pairwise = [names.get(body[8 + 4 * i + 3]) for i in range(count) if 8 + 4 * i + 4 <= len(body)]
    return pairwise, group


class KeyFrame:
    """An EAPOL-Key frame (from the EAPOL header on)."""

    def __init__(self, descriptor=2, info=0, key_len=0, replay=0, nonce=bytes(32), iv=bytes(16), rsc=bytes(8),
                 data=b"", version=2):
        self.version, self.descriptor, self.info, self.key_len = version, descriptor, info, key_len
        self.replay, self.nonce, self.iv, self.rsc, self.data = replay, nonce, iv, rsc, data
        self.mic = bytes(16)

    def build(self, kck=None):
        body = struct.pack(">BHHQ", self.descriptor, self.info, self.key_len, self.replay) + self.nonce + \
            self.iv + self.rsc + bytes(8)
        tail = struct.pack(">H", len(self.data)) + self.data
        head = struct.pack(">BBH", self.version, 3, len(body) + 16 + len(tail))
        frame = head + body + bytes(16) + tail
        if kck is not None:
            self.mic = mic(kck, self.info & 7, frame)
            frame = head + body + self.mic + tail
        return frame

    @classmethod
    def parse(cls, raw):
        """None unless raw is a whole EAPOL-Key frame."""
        if len(raw) < 99 or raw[1] != 3:
            return None
        n = struct.unpack_from(">H", raw, 2)[0]
        if n + 4 > len(raw) or n < 95:
            return None
        raw = raw[:n + 4]
        k = cls()
        k.version = raw[0]
        k.descriptor, k.info, k.key_len, k.replay = struct.unpack_from(">BHHQ", raw, 4)
        k.nonce, k.iv, k.rsc, k.mic = raw[17:49], raw[49:65], raw[65:73], raw[81:97]
        dl = struct.unpack_from(">H", raw, 97)[0]
        if 99 + dl > len(raw):
            return None
        k.data = raw[99:99 + dl]
        k.raw = raw
        return k

    def mic_ok(self, kck):
        zeroed = self.raw[:81] + bytes(16) + self.raw[97:]
        try:
            return hmac.compare_digest(mic(kck, self.info & 7, zeroed), self.mic)
        except ValueError:
            return False


# ---- the authenticator ----

def _mac(text):
    return bytes(int(x, 16) for x in text.split(":"))


def _in_netns(ns, fn):
    out = {}

    def run():
        try:
            libc = ctypes.CDLL(None, use_errno=True)
            fd = os.open("/run/netns/" + ns, os.O_RDONLY)
            try:
                if libc.setns(fd, 0x40000000) != 0:
                    raise OSError(ctypes.get_errno(), "setns")
            finally:
                os.close(fd)
            out["v"] = fn()
        except Exception as e:  # handed to the caller's thread
            out["e"] = e

    t = threading.Thread(target=run)
    t.start()
    t.join()
    if "e" in out:
        raise out["e"]
    return out["v"]


def socket_control(path):
    """A control function over nlsim's control socket: one line in, its lines out;
    raises on ERR."""

    def control(line):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(20)
            s.connect(path)
            s.sendall(line.encode() + b"\n")
            data = b""
            while not (data.endswith(b"OK\n") or b"ERR" in data):
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
        lines = data.decode().splitlines()
        if not lines or lines[-1] != "OK":
            raise RuntimeError("%s: %s" % (line, lines))
        return lines[:-1]

    return control


class Station:
    """What the authenticator keeps of one associated station."""

    def __init__(self, addr, proto, element):
        self.addr, self.proto, self.element = addr, proto, element
        self.state = "idle"
        self.anonce = os.urandom(32)
        self.kck = self.kek = self.tk = None
        self.tries = 0
        self.due = 0.0
        self.pmk = None
        self.pending_gtk = None
        self.ptk_set = self.gtk_sent = False
        self.cipher = "ccmp"


class Authenticator:
    def __init__(self, sock=None, control=None, ap="lab", bssid="02:00:00:00:aa:01", netns=None, tap=None,
                 ssid="lab", passphrase="password", protos=("rsn",), pairwise=("ccmp",), group="ccmp",
                 gtk_index=1, pmkid=False, msg3_ie=None, msg3_key_index=0, repeat_msg3=False, retries=5,
                 timeout=1.0, radius_secret=None, radius_netns=None):
        self.control = control or socket_control(sock)
        self.ap, self.bssid, self.netns, self.tap = ap, _mac(bssid), netns, tap
        self.ssid, self.pmk = ssid, psk(passphrase, ssid)
        self.protos, self.pairwise, self.group = tuple(protos), tuple(pairwise), group
        self.gtk_index = gtk_index
        self.gtk = os.urandom(CIPHERS[group][2])
        self.pmkid_in_msg1, self.msg3_ie, self.msg3_key_index = pmkid, msg3_ie, msg3_key_index
        self.repeat_msg3, self.retries, self.timeout = repeat_msg3, retries, timeout
        self.replay = 0
        self.stations = {}
        self.results = []
        self.cond = threading.Condition()
        self.news_from = 1
        self.sock = None
        self.thread = None
        self.running = False
        self.lock = threading.RLock()
        self.radius_secret, self.radius_netns = radius_secret, radius_netns
        self.conv = None
        self.pmksa = {}  # station address: (PMK, PMKID)
        self.preauth_sock = None
        self.preauth_conv = None
        self.preauth = {}  # (station address, target BSSID): PMK

    # -- what the AP advertises --

    def elements(self):
        """The AP's WPA and RSN elements, for its beacon (`ies=`)."""
        out = b""
        if "wpa" in self.protos:
            out += wpa_element(self.pairwise, self.group)
        if "rsn" in self.protos:
            out += rsn_element(self.pairwise, self.group, akm=1 if self.radius_secret else 2)
        return out

    def beacon_element(self, proto):
        for eid, e in elements(self.elements()):
            if (proto == "rsn") == (eid == 48):
                return e
        return None

    # -- results --

    def note(self, name, **fields):
        with self.cond:
            self.results.append((len(self.results) + 1, name, fields))
            self.cond.notify_all()
        if getattr(self, "echo", False):
            print(name, " ".join("%s=%s" % kv for kv in fields.items()), flush=True)

    def mark(self):
        """The number of the latest result: wait(since=mark()+1) waits for a new one."""
        with self.cond:
            return len(self.results)

    def wait(self, name, timeout=60, since=1, pred=None):
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                for n, nm, f in self.results:
                    if n >= since and nm == name and (pred is None or pred(f)):
                        return f
                left = end - time.monotonic()
                if left <= 0:
                    raise AssertionError("no %s within %ss; results %r" % (name, timeout, self.results))
                self.cond.wait(left)

    def found(self, name, since=1):
        with self.cond:
            return [f for n, nm, f in self.results if n >= since and nm == name]

    def station_keys(self, addr=None):
        """{"ptk": hash, "gtk": hash} of the keys the station should install now."""
        with self.lock:
            st = self.stations.get(addr) if addr else next(iter(self.stations.values()), None)
            out = {"gtk": fnv(station_view(self.gtk, self.group))}
            if st and st.tk:
                out["ptk"] = fnv(station_view(st.tk, st.cipher))
            return out

    # -- life --

    def start(self):
        def open_socket():
            s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(EAPOL))
            s.bind((self.tap, EAPOL))
            return s

        self.sock = _in_netns(self.netns, open_socket) if self.netns else open_socket()
        if self.radius_secret:
            def udp():
                return socket.socket(socket.AF_INET, socket.SOCK_DGRAM)

            s = _in_netns(self.radius_netns, udp) if self.radius_netns else udp()
            self.conv = eap_radius.Conversation(self.radius_secret, udp=s)
            s = _in_netns(self.radius_netns, udp) if self.radius_netns else udp()
            self.preauth_conv = eap_radius.Conversation(self.radius_secret, udp=s)

            def open_preauth():
                p = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(PREAUTH))
                p.bind((self.tap, PREAUTH))
                return p

            self.preauth_sock = _in_netns(self.netns, open_preauth) if self.netns else open_preauth()
        # Only news from now on: an association made before start is missed on purpose.
        lines = self.control("news")
        if lines:
            self.news_from = int(lines[-1].split()[0]) + 1
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()
        return self

    def stop(self):
        self.running = False
        if self.thread:
            self.thread.join(10)
        if self.sock:
            self.sock.close()
        if self.conv:
            self.conv.close()
        if self.preauth_sock:
            self.preauth_sock.close()
        if self.preauth_conv:
            self.preauth_conv.close()

    def _run(self):
        next_news = 0.0
        while self.running:
            now = time.monotonic()
            if now >= next_news:
                try:
                    self._news()
                except Exception as e:  # nlsim gone: the test ends
                    self.note("error", text=str(e))
                    return
                next_news = now + 0.05
            socks = [self.sock] + ([self.preauth_sock] if self.preauth_sock else [])
            r, _, _ = select.select(socks, [], [], 0.05)
            for sock in r:
                try:
                    data = sock.recv(4096)
                except OSError:
                    continue
                if len(data) >= 14 and data[12:14] == b"\x88\x8e":
                    with self.lock:
                        self._guarded(self._eapol, data[6:12], data[14:])
                elif len(data) >= 14 and data[12:14] == b"\x88\xc7":
                    with self.lock:
                        self._guarded(self._preauth, data[0:6], data[6:12], data[14:])
            with self.lock:
                self._guarded(self._timers)

    def _guarded(self, fn, *args):
        # A refused control line (the link ended meanwhile, say) is a result, not the end.
        try:
            fn(*args)
        except (RuntimeError, OSError, ValueError) as e:
            self.note("error", text=str(e))

    def _news(self):
        for line in self.control("news since=%d" % self.news_from):
            n, kind, rest = (line.split(" ", 2) + [""])[:3]
            self.news_from = int(n) + 1
            f = dict(w.split("=", 1) for w in rest.split() if "=" in w)
            if f.get("ap") != self.ap:
                continue
            addr = _mac(f["sta"])
            if kind in ("assoc", "reassoc"):
                proto, element = security_element(bytes.fromhex(f["ies"]))
                ids = element_pmkids(element) if proto == "rsn" else []
                self.note("assoc", sta=f["sta"], proto=proto, reassoc=kind == "reassoc", element=element,
                          pmkids=[i.hex() for i in ids])
                with self.lock:
                    if proto not in self.protos:
                        self.stations.pop(addr, None)
                        continue
                    st = Station(addr, proto, element)
                    pw, _ = decode_element(element)
                    st.cipher = pw[0] if pw and pw[0] in self.pairwise else self.pairwise[0]
                    self.stations[addr] = st
                    if not self.radius_secret:
                        st.pmk = self.pmk
                        self._msg1(st)
                        continue
                    cached = self.pmksa.get(addr)
                    if cached and cached[1] in ids:
                        # A PMKSA the station names: no EAP, the 4-way handshake with its PMK.
                        st.pmk = cached[0]
                        self.note("pmksa-hit", sta=f["sta"], pmkid=cached[1].hex())
                        self._msg1(st)
                    else:
                        self._eap_start(st)
            elif kind in ("deauth", "disassoc"):
                self.note("link-down", sta=f["sta"], kind=kind, by=f["from"], reason=int(f["reason"]))
                with self.lock:
                    self.stations.pop(addr, None)

    def _send(self, st, frame):
        """Sends a frame to the station and arms its retransmission."""
        self.sock.send(st.addr + self.bssid + struct.pack(">H", EAPOL) + frame)
        st.due = time.monotonic() + self.timeout

    def _timers(self):
        now = time.monotonic()
        for st in list(self.stations.values()):
            if not st.due or now < st.due:
                continue
            st.tries += 1
            if st.tries >= self.retries:
                st.due = 0
                self.note("timeout", sta=":".join("%02x" % b for b in st.addr), state=st.state)
                self.control("ap deauth %s reason=15" % self.ap)
                continue
            # A retransmission carries a fresh replay counter; message 1/4 keeps its ANonce.
            if st.state == "msg1":
                self._msg1(st, again=True)
            elif st.state == "msg3":
                self._msg3(st, again=True)
            elif st.state == "group":
                self._group1(st, again=True)

    def _descriptor(self, st):
        return 2 if st.proto == "rsn" else 254

    def _version(self, st):
        return 1 if st.cipher == "tkip" else 2

    def _protect(self, st, plain):
        """Key data encryption: RC4 keyed with a fresh key IV and the KEK (version 1),
        else AES key wrap; (key IV, key data)."""
        if self._version(st) == 1:
            iv = os.urandom(16)
            return iv, rc4(iv + st.kek, plain)
        return bytes(16), wrap(st.kek, plain)

    def _next_replay(self):
        self.replay += 1
        return self.replay

    # -- 4-way handshake --

    def _msg1(self, st, again=False):
        if not again:
            # A new 4-way handshake (after a new EAP run too): a fresh ANonce, and the PTK it
            # makes is installed.
            st.tries = 0
            st.anonce = os.urandom(32)
            st.ptk_set = False
        st.state = "msg1"
        data = b""
        if (self.pmkid_in_msg1 or self.radius_secret) and st.proto == "rsn":
            data = b"\xdd\x14" + RSN_OUI + b"\x04" + pmkid(st.pmk, self.bssid, st.addr)
        k = KeyFrame(self._descriptor(st), self._version(st) | KI_PAIRWISE | KI_ACK,
                     CIPHERS[st.cipher][2], self._next_replay(), st.anonce, data=data,
                     version=2 if st.proto == "rsn" else 1)
        st.replay = k.replay
        self._send(st, k.build())
        self.note("msg1", replay=k.replay, again=again, pmkid=data[6:].hex() if data else None)

    def _msg3(self, st, again=False):
        if not again:
            st.tries = 0
        st.state = "msg3"
        ie = self.msg3_ie if self.msg3_ie is not None else self.beacon_element(st.proto)
        info = self._version(st) | KI_PAIRWISE | KI_INSTALL | KI_ACK | KI_MIC | (self.msg3_key_index << 4)
        iv, data = bytes(16), ie
        if st.proto == "rsn":
            info |= KI_SECURE | KI_ENCRYPTED
            iv, data = self._protect(st, ie + gtk_kde(self.gtk, self.gtk_index))
        k = KeyFrame(self._descriptor(st), info, CIPHERS[st.cipher][2], self._next_replay(), st.anonce, iv=iv,
                     data=data, version=2 if st.proto == "rsn" else 1)
        st.replay = k.replay
        self._send(st, k.build(st.kck))
        self.note("msg3", replay=k.replay, again=again, key_index=self.msg3_key_index)

    def msg3_again(self):
        """Message 3/4 once more (fresh replay counter) to a station that completed."""
        with self.lock:
            for st in self.stations.values():
                if st.kck:
                    self._msg3(st)

    def _group1(self, st, again=False):
        if not again:
            st.tries = 0
        st.state = "group"
        gtk, idx = st.pending_gtk
        info = self._version(st) | KI_ACK | KI_MIC | KI_SECURE
        if st.proto == "rsn":
            info |= KI_ENCRYPTED
            iv, data = self._protect(st, gtk_kde(gtk, idx))
            key_len = 0
        else:
            # WPA: the key itself as key data, its index in the key information.
            info |= idx << 4
            key_len = len(gtk)
            iv, data = self._protect(st, gtk)
        k = KeyFrame(self._descriptor(st), info, key_len, self._next_replay(), iv=iv, data=data,
                     version=2 if st.proto == "rsn" else 1)
        st.replay = k.replay
        self._send(st, k.build(st.kck))
        self.note("group1", replay=k.replay, index=idx, again=again)

    def rekey(self, index=None, same=False):
        """A group key handshake: a new GTK at index (default: the other of 1 and 2), or
        the current one again with same=True."""
        with self.lock:
            if not same:
                self.gtk_index = index if index is not None else (2 if self.gtk_index == 1 else 1)
                self.gtk = os.urandom(CIPHERS[self.group][2])
            for st in self.stations.values():
                if st.kck:
                    st.pending_gtk = (self.gtk, self.gtk_index)
                    self._group1(st)

    def group_again(self):
        """Group message 1/2 once more with the same GTK."""
        self.rekey(same=True)

    def _install(self, what, st):
        if what == "ptk":
            self.control("ap key %s pairwise %s %s" % (self.ap, st.cipher, st.tk.hex()))
        else:
            self.control("ap key %s group %s %d %s" % (self.ap, self.group, self.gtk_index, self.gtk.hex()))
        self.note(what + "-installed", sta=":".join("%02x" % b for b in st.addr))

    # -- IEEE 802.1X: EAP relayed to the RADIUS server --

    def _send_eap(self, st, eap):
        """An EAP packet to the station (EAPOL version 2, type 0); EAP is not retransmitted:
        a station that hears nothing sends EAPOL-Start, which starts over."""
        self.sock.send(st.addr + self.bssid + struct.pack(">H", EAPOL) + bytes([2, 0]) +
                       struct.pack(">H", len(eap)) + eap)

    def _eap_start(self, st):
        st.state, st.due = "eap", 0
        self._send_eap(st, self.conv.start())

    def _eap(self, st, sta, raw):
        """An EAPOL frame other than EAPOL-Key from the station."""
        if len(raw) < 4:
            return
        if raw[1] == 1:
            self.note("eapol-start", sta=sta)
            if self.radius_secret:
                self._eap_start(st)
            return
        if raw[1] != 0:
            return
        eap = raw[4:4 + struct.unpack_from(">H", raw, 2)[0]]
        self.note("eap", sta=sta, code=eap[0] if eap else None, type=eap[4] if len(eap) > 4 else None)
        if not self.radius_secret or st.state != "eap" or len(eap) < 5 or eap[0] != 2:
            return
        try:
            answer = self.conv.response(eap)
        except socket.timeout:
            self.note("radius-timeout", sta=sta)
            return
        if answer.challenge:
            self._send_eap(st, answer.eap)
            return
        self.note("accept" if answer.accepted else "reject", sta=sta, **answer.keys)
        if not answer.accepted or "recv" not in answer.keys:
            st.state = "failed"
            self._send_eap(st, answer.eap or bytes([4, eap[1], 0, 4]))
            return
        # The PMK is the first 32 bytes of the MSK, which is MS-MPPE-Recv-Key | -Send-Key.
        st.pmk = bytes.fromhex(answer.keys["recv"])[:32]
        self.pmksa[st.addr] = (st.pmk, pmkid(st.pmk, self.bssid, st.addr))
        self._send_eap(st, answer.eap or bytes([3, eap[1], 0, 4]))
        self._msg1(st)

    def _preauth(self, target, src, raw):
        """A pre-authentication frame of an associated station towards another BSSID."""
        if src not in self.stations or target == self.bssid or len(raw) < 4:
            return
        sta = ":".join("%02x" % b for b in src)
        bssid = ":".join("%02x" % b for b in target)

        def send(eap):
            self.preauth_sock.send(src + target + struct.pack(">H", PREAUTH) + bytes([2, 0]) +
                                   struct.pack(">H", len(eap)) + eap)

        if raw[1] == 1:
            self.note("preauth-start", sta=sta, bssid=bssid)
            send(self.preauth_conv.start())
            return
        eap = raw[4:4 + struct.unpack_from(">H", raw, 2)[0]]
        if raw[1] != 0 or len(eap) < 5 or eap[0] != 2:
            return
        try:
            answer = self.preauth_conv.response(eap)
        except socket.timeout:
            self.note("radius-timeout", sta=sta)
            return
        if answer.challenge:
            send(answer.eap)
            return
        if not answer.accepted or "recv" not in answer.keys:
            self.note("preauth-reject", sta=sta, bssid=bssid)
            send(answer.eap or bytes([4, eap[1], 0, 4]))
            return
        pmk = bytes.fromhex(answer.keys["recv"])[:32]
        self.preauth[(src, target)] = pmk
        self.note("preauth-accept", sta=sta, bssid=bssid, pmkid=pmkid(pmk, target, src).hex())
        send(answer.eap or bytes([3, eap[1], 0, 4]))

    def _eapol(self, src, raw):
        st = self.stations.get(src)
        if st is None:
            return
        sta = ":".join("%02x" % b for b in src)
        if len(raw) >= 2 and raw[1] != 3:
            self._eap(st, sta, raw)
            return
        k = KeyFrame.parse(raw)
        if k is None:
            return
        if k.info & KI_REQUEST:
            ok = st.kck is not None and k.info & KI_MIC and k.mic_ok(st.kck)
            self.note("key-request", sta=sta, error=bool(k.info & KI_ERROR), pairwise=bool(k.info & KI_PAIRWISE),
                      replay=k.replay, mic=bool(ok))
            return
        if k.replay != st.replay:
            self.note("replay-mismatch", sta=sta, got=k.replay, want=st.replay, state=st.state)
            return
        if st.state == "msg1" and k.info & KI_PAIRWISE:
            kck, kek, tk = ptk(st.pmk, self.bssid, src, st.anonce, k.nonce, CIPHERS[st.cipher][2])
            if not k.mic_ok(kck):
                # A wrong passphrase: dropped; the timer sends 1/4 again.
                self.note("msg2", sta=sta, mic=False)
                return
            _, element = security_element(k.data)
            same = element == st.element
            self.note("msg2", sta=sta, mic=True, element_matches=same)
            if not same:
                st.due = 0
                self.note("ie-mismatch", sta=sta)
                self.control("ap deauth %s reason=17" % self.ap)
                return
            st.kck, st.kek, st.tk = kck, kek, tk
            self._msg3(st)
        elif st.state == "msg3" and k.info & KI_PAIRWISE:
            if not k.mic_ok(st.kck):
                self.note("msg4", sta=sta, mic=False)
                return
            st.due = 0
            first = not st.ptk_set
            self.note("msg4", sta=sta, mic=True, secure=bool(k.info & KI_SECURE), again=not first)
            st.state = "done"
            if first:
                st.ptk_set = True
                self._install("ptk", st)
                if st.proto == "rsn":
                    self._install("gtk", st)
                self.note("4way-done", sta=sta, proto=st.proto, cipher=st.cipher)
                if self.repeat_msg3:
                    self.repeat_msg3 = False
                    self._msg3(st)
                    return
            if st.proto == "wpa" and not st.gtk_sent:
                # WPA carries no GTK in 3/4: the group key handshake follows.
                st.gtk_sent = True
                st.pending_gtk = (self.gtk, self.gtk_index)
                self._group1(st)
        elif st.state == "group" and not k.info & KI_PAIRWISE:
            if not k.mic_ok(st.kck):
                self.note("group2", sta=sta, mic=False)
                return
            st.due = 0
            st.state = "done"
            _, idx = st.pending_gtk
            self.note("group2", sta=sta, mic=True, index=(k.info >> 4) & 3)
            self._install("gtk", st)
            self.note("group-done", sta=sta, index=idx)


def main():
    ap = argparse.ArgumentParser(description="An 802.11 authenticator on an nlsim AP's TAP")
    ap.add_argument("--sock", required=True, help="nlsim's control socket, <root>/run/nlsim.sock")
    ap.add_argument("--ap", required=True)
    ap.add_argument("--bssid", required=True)
    ap.add_argument("--netns")
    ap.add_argument("--tap")
    ap.add_argument("--ssid", required=True)
    ap.add_argument("--passphrase", required=True)
    ap.add_argument("--proto", default="rsn")
    ap.add_argument("--pairwise", default="ccmp")
    ap.add_argument("--group", default="ccmp")
    ap.add_argument("--gtk-index", type=int, default=1)
    ap.add_argument("--pmkid", action="store_true")
    ap.add_argument("--print-elements", action="store_true", help="print the beacon elements in hex and end")
    a = ap.parse_args()
    auth = Authenticator(sock=a.sock, ap=a.ap, bssid=a.bssid, netns=a.netns, tap=a.tap, ssid=a.ssid,
                         passphrase=a.passphrase, protos=a.proto.split(","), pairwise=a.pairwise.split(","),
                         group=a.group, gtk_index=a.gtk_index, pmkid=a.pmkid)
    if a.print_elements:
        print(auth.elements().hex())
        return 0
    if not a.tap:
        ap.error("--tap is needed to run")
    auth.echo = True
    # Ends on SIGTERM or SIGINT. Both handlers are set here: a parent started as a
    # background job may hand us SIGINT ignored, and Python then installs none.
    done = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: done.set())
    auth.start()
    print("ready", flush=True)
    while not done.wait(1):
        pass
    auth.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
