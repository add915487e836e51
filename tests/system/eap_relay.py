"""An 802.1X authenticator for the EAP tests: EAPOL frames on eth0 (ethertype 0x888E) to
and from the station, RADIUS Access-Requests to a local server. Run inside the client
namespace; prints one JSON object per line: "ready", each RADIUS result with the
decrypted MS-MPPE keys and the server's Class attribute, and the frames it relayed.

Usage: eap_relay.py <ifname> <secret> <go-file> [--forge-success]
The relay stays silent until the go-file exists; then it starts the authentication
itself (EAP-Request/Identity to the station whose EAPOL-Start it saw), and afterwards
answers every EAPOL-Start."""
import json
import os
import socket
import struct
import sys

from eap_radius import ACCESS_CHALLENGE, Conversation

ETH_P_PAE = 0x888E
PAE_GROUP = bytes.fromhex("0180c2000003")


def say(**kw):
    sys.stdout.write(json.dumps(kw) + "\n")
    sys.stdout.flush()


class Relay:
    def __init__(self, ifname, secret, go_file, forge_success):
        self.go_file = go_file
        self.going = False
        self.secret = secret
        self.forge_success = forge_success
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_PAE))
        self.sock.bind((ifname, ETH_P_PAE))
        self.own = self.sock.getsockname()[4]
        self.conv = Conversation(secret)
        self.peer = None
        self.last_eap_id = 0

    def send_eap(self, eap):
        frame = self.peer + self.own + struct.pack("!H", ETH_P_PAE) + bytes([2, 0]) + struct.pack("!H", len(eap))
        self.sock.send(frame + eap)
        self.last_eap_id = eap[1]

    def handle(self, src, body):
        if self.peer is None:
            self.peer = src
        ptype = body[1]
        if ptype == 1:  # EAPOL-Start
            say(event="start")
            if not self.going:
                return
            self.send_eap(self.conv.start())
            return
        if ptype == 2:
            say(event="logoff")
            return
        if ptype != 0:
            return
        length = struct.unpack("!H", body[2:4])[0]
        eap = body[4:4 + length]
        if len(eap) >= 6 and eap[0] == 2 and eap[4] == 3:
            say(event="nak", types=list(eap[5:]))
        if self.forge_success and len(eap) >= 6 and eap[0] == 2 and eap[4] in (13, 21, 25):
            off = 6 + (4 if eap[5] & 0x80 else 0)
            if len(eap) > off and eap[off] == 0x15:
                # The station sent a TLS alert: answer with a forged Success.
                say(event="forged")
                self.send_eap(bytes([3, eap[1], 0, 4]))
                return
        answer = self.conv.response(eap)
        if answer.code == ACCESS_CHALLENGE:
            self.send_eap(answer.eap)
            return
        say(event="accept" if answer.accepted else "reject", **answer.keys)
        if answer.eap:
            self.send_eap(answer.eap)

    def run(self):
        say(event="ready")
        self.sock.settimeout(0.2)
        while True:
            if not self.going and self.peer is not None and os.path.exists(self.go_file):
                self.going = True
                self.send_eap(self.conv.start())
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
