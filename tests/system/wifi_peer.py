"""A scripted supplicant control socket for the Wi-Fi manager's tests.

It binds <root>/var/wifi/<if> before the daemon starts, so the manager talks to it
instead of the in-process supplicant. It keeps monitors (ATTACH, DETACH, LEVEL) and
sends them "<3>" lines without a newline, keeps network blocks, answers the commands
the manager sends, and records every datagram with its sender. Scripting: refuse a
field with FAIL, answer a command late or not at all, send events on demand."""
import os
import re
import socket
import threading
import time

FIELD_RE = re.compile(r"^[a-z0-9_]+$")
QUOTED_FIELDS = {"ssid", "identity", "password", "ca_path", "client_cert", "private_key", "ca_path2",
                 "client_cert2", "private_key2", "phase1", "phase2", "anonymous_identity", "pac_file", "bgscan"}


class WifiPeer:
    def __init__(self, path):
        self.path = path
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if os.path.exists(path):
            os.unlink(path)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.settimeout(0.2)
        self.lock = threading.Lock()
        self.received = []          # (sender, command)
        self.monitors = set()
        self.networks = {}          # id -> {field: value}
        self.next_id = 0
        self.fail_fields = set()    # SET_NETWORK fields answered FAIL
        self.delay = {}             # command prefix -> seconds before the reply
        self.drop = set()           # command prefixes left unanswered
        self.replies = {}           # exact command -> reply text
        self.bss = {}               # bssid -> BSS reply
        self.scanning = False
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    # --- scripting -------------------------------------------------------------
    def commands(self):
        with self.lock:
            return [c for _, c in self.received]

    def senders_of(self, prefix):
        with self.lock:
            return [s for s, c in self.received if c.startswith(prefix)]

    def event(self, text):
        """Sends "<3>" + text to every monitor."""
        with self.lock:
            monitors = list(self.monitors)
        for m in monitors:
            try:
                self.sock.sendto(("<3>" + text).encode(), m)
            except OSError:
                pass

    def wait_command(self, pred, timeout=30.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            for c in self.commands():
                if pred(c):
                    return c
            time.sleep(0.05)
        raise AssertionError("no such command; got %r" % self.commands())

    def wait_monitor(self, timeout=30.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            with self.lock:
                if self.monitors:
                    return
            time.sleep(0.05)
        raise AssertionError("no monitor attached; got %r" % self.commands())

    def close(self):
        self.running = False
        self.thread.join(timeout=5)
        self.sock.close()
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass

    # --- serving ---------------------------------------------------------------
    def _serve(self):
        while self.running:
            try:
                data, sender = self.sock.recvfrom(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            cmd = data.decode(errors="replace")
            with self.lock:
                self.received.append((sender, cmd))
            if any(cmd.startswith(p) for p in self.drop):
                continue
            reply = self._answer(cmd, sender)
            delay = next((d for p, d in self.delay.items() if cmd.startswith(p)), 0)
            if delay:
                threading.Timer(delay, self._send, (reply, sender)).start()
            else:
                self._send(reply, sender)

    def _send(self, reply, sender):
        try:
            self.sock.sendto(reply.encode(), sender)
        except OSError:
            pass

    def _set_network(self, rest):
        parts = rest.split(" ", 2)
        if len(parts) != 3:
            return "FAIL\n"
        nid, field, value = parts
        if not nid.isdigit() or int(nid) not in self.networks or not FIELD_RE.match(field):
            return "FAIL\n"
        if field in self.fail_fields:
            return "FAIL\n"
        if field in QUOTED_FIELDS and field != "bgscan" and not (len(value) >= 2 and value[0] == value[-1] == '"'):
            if field != "ssid":
                return "FAIL\n"
        self.networks[int(nid)][field] = value
        return "OK\n"

    def _answer(self, cmd, sender):
        if cmd in self.replies:
            return self.replies[cmd]
        if cmd == "ATTACH" or cmd.startswith("LEVEL "):
            with self.lock:
                self.monitors.add(sender)
            return "OK\n"
        if cmd == "DETACH":
            with self.lock:
                self.monitors.discard(sender)
            return "OK\n"
        if cmd == "ADD_NETWORK":
            nid = self.next_id
            self.next_id += 1
            self.networks[nid] = {}
            return "%d\n" % nid
        if cmd.startswith("SET_NETWORK "):
            return self._set_network(cmd[len("SET_NETWORK "):])
        if cmd.startswith("GET_NETWORK "):
            parts = cmd.split(" ")
            try:
                return self.networks[int(parts[1])][parts[2]]
            except (IndexError, ValueError, KeyError):
                return "FAIL\n"
        if cmd == "LIST_NETWORKS":
            lines = ["network id / ssid / bssid / flags"]
            for nid, f in sorted(self.networks.items()):
                lines.append("%d\t%s\tany\t" % (nid, f.get("ssid", "").strip('"')))
            return "\n".join(lines) + "\n"
        if cmd.startswith("ENABLE_NETWORK ") or cmd in ("AP_SCAN 0", "AP_SCAN 1"):
            return "OK\n"
        if cmd == "SCAN":
            if self.scanning:
                return "FAIL-BUSY\n"
            self.scanning = True
            return "OK\n"
        if cmd.startswith("BSS "):
            return self.bss.get(cmd[4:], "")
        if cmd in ("STATUS", "STATUS-VERBOSE"):
            return "wpa_state=DISCONNECTED\naddress=02:00:00:00:00:01\n"
        if cmd in ("WPS_PBC", "P2P_GROUP_ADD") or cmd.startswith("P2P_GROUP_REMOVE ") or cmd.startswith("SET "):
            return "OK\n"
        return "UNKNOWN COMMAND\n"
