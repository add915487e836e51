#!/usr/bin/env python3
"""Checks a netlink capture of nlsim (LINKTYPE_NETLINK) against the nl80211 UAPI.

Usage: nl80211_check.py [--events-any] [--requests-any] CAPTURE

For every nl80211 message: attributes framed exactly (no length past its end), each
attribute of a type the header documents (u8/u16/u32/u64/s*, flag, nested) with
that length, nests parsed the same way. For every request: its answers echo its
sequence number and port; a dump ends with exactly one DONE and is never ACKed; any
other request gets at most one NLMSG_ERROR, after its replies, present when it asked
for an ACK or failed; an ACK is capped (the request's header only). Events carry
sequence number 0. Where python3-pyroute2 is installed its nl80211 decoder reads
every message too and must find the same interface, radio and frequency numbers.
--events-any skips the attribute checks of events (a test that
injects malformed events on purpose), --requests-any those of requests (a test that
sends bad requests on purpose). Prints each fault; exit status 1 when any."""
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nl80211_uapi as uapi  # noqa: E402

NLM_F_REQUEST, NLM_F_MULTI, NLM_F_ACK, NLM_F_DUMP, NLM_F_CAPPED = 1, 2, 4, 0x300, 0x100
NLMSG_ERROR, NLMSG_DONE = 2, 3
GENL_ID_CTRL = 0x10

SIZES = {"u8": 1, "s8": 1, "u16": 2, "s16": 2, "u32": 4, "s32": 4, "u64": 8, "s64": 8, "flag": 0}

# Attributes whose documentation names no type in a form the reader takes.
EXTRA = {
    "NL80211_ATTR_WIPHY": "u32", "NL80211_ATTR_IFINDEX": "u32", "NL80211_ATTR_IFTYPE": "u32",
    "NL80211_ATTR_WIPHY_FREQ": "u32", "NL80211_ATTR_GENERATION": "u32", "NL80211_ATTR_KEY_IDX": "u8",
    "NL80211_ATTR_KEY_CIPHER": "u32", "NL80211_ATTR_AUTH_TYPE": "u32", "NL80211_ATTR_REG_INITIATOR": "u8",
    "NL80211_ATTR_REG_TYPE": "u8", "NL80211_ATTR_MAX_NUM_SCAN_SSIDS": "u8", "NL80211_ATTR_FRAME_TYPE": "u16",
    "NL80211_ATTR_SUPPORTED_IFTYPES": "nested", "NL80211_ATTR_WIPHY_BANDS": "nested",
    "NL80211_ATTR_SUPPORTED_COMMANDS": "nested", "NL80211_ATTR_SCAN_SSIDS": "nested",
    "NL80211_ATTR_SCAN_FREQUENCIES": "nested", "NL80211_ATTR_BSS": "nested", "NL80211_ATTR_STA_INFO": "nested",
    "NL80211_ATTR_REG_RULES": "nested", "NL80211_ATTR_KEY": "nested", "NL80211_ATTR_SURVEY_INFO": "nested",
    "NL80211_ATTR_PROTOCOL_FEATURES": "u32", "NL80211_ATTR_FEATURE_FLAGS": "u32",
    "NL80211_ATTR_MAX_SCAN_IE_LEN": "u16", "NL80211_ATTR_4ADDR": "u8", "NL80211_ATTR_WIPHY_CHANNEL_TYPE": "u32",
    "NL80211_ATTR_CHANNEL_WIDTH": "u32", "NL80211_ATTR_CENTER_FREQ1": "u32",
    "NL80211_ATTR_MAX_REMAIN_ON_CHANNEL_DURATION": "u32", "NL80211_ATTR_DFS_REGION": "u8",
    "NL80211_ATTR_COOKIE": "u64", "NL80211_ATTR_RX_SIGNAL_DBM": "u32", "NL80211_ATTR_STA_FLAGS2": "binary",
    "NL80211_ATTR_MAX_NUM_SCHED_SCAN_SSIDS": "u8", "NL80211_ATTR_CIPHER_SUITES": "binary", "NL80211_ATTR_MAX_MATCH_SETS": "u8",
}
MAC_ATTRS = {"NL80211_ATTR_MAC", "NL80211_BSS_BSSID"}

ATTR_NAMES = uapi.names("nl80211_attrs", "NL80211_ATTR_")
NESTS = {
    "NL80211_ATTR_BSS": uapi.names("nl80211_bss", "NL80211_BSS_"),
    "NL80211_ATTR_STA_INFO": uapi.names("nl80211_sta_info", "NL80211_STA_INFO_"),
    "NL80211_ATTR_KEY": uapi.names("nl80211_key_attributes", "NL80211_KEY_"),
    "NL80211_ATTR_SURVEY_INFO": uapi.names("nl80211_survey_info", "NL80211_SURVEY_INFO_"),
}
# Nests whose members are numbered entries (each a value or a further nest).
LISTS = {"NL80211_ATTR_SUPPORTED_IFTYPES", "NL80211_ATTR_WIPHY_BANDS", "NL80211_ATTR_SUPPORTED_COMMANDS",
         "NL80211_ATTR_SCAN_SSIDS", "NL80211_ATTR_SCAN_FREQUENCIES", "NL80211_ATTR_REG_RULES"}


def type_of(name):
    return EXTRA.get(name) or uapi.DOC_TYPES.get(name)


def parse(data, where, faults):
    out, off = [], 0
    while len(data) - off >= 4:
        n, t = struct.unpack_from("<HH", data, off)
        if n < 4 or off + n > len(data):
            faults.append("%s: attribute length %d at offset %d runs past %d bytes" % (where, n, off, len(data)))
            return out
        out.append((t & 0x3FFF, data[off + 4:off + n]))
        off += (n + 3) & ~3
    if off < len(data) and len(data) - off >= 4:
        faults.append("%s: %d stray bytes" % (where, len(data) - off))
    return out


def check_attrs(data, where, faults, names=ATTR_NAMES):
    for t, p in parse(data, where, faults):
        name = names.get(t)
        if name is None:
            if names is ATTR_NAMES:
                faults.append("%s: attribute %d is not in the header" % (where, t))
            continue
        kind = type_of(name)
        here = "%s/%s" % (where, name)
        if name in MAC_ATTRS and len(p) != 6:
            faults.append("%s: %d bytes, a MAC has 6" % (here, len(p)))
        elif kind in SIZES and len(p) != SIZES[kind]:
            faults.append("%s: %d bytes for a %s" % (here, len(p), kind))
        elif name in NESTS:
            check_attrs(p, here, faults, NESTS[name])
        elif name in LISTS or kind == "nested":
            parse(p, here, faults)


try:
    from pyroute2.netlink.nl80211 import nl80211cmd
except ImportError:  # the strict checks above still run
    nl80211cmd = None

SAME = ("NL80211_ATTR_IFINDEX", "NL80211_ATTR_WIPHY", "NL80211_ATTR_WIPHY_FREQ", "NL80211_ATTR_GENERATION")


def confirm(m, where, faults):
    """pyroute2's decoder reads the message and agrees on its numbers."""
    if nl80211cmd is None:
        return
    try:
        msg = nl80211cmd(m)
        msg.decode()
    except Exception as e:  # any failure of the peer decoder is a finding
        faults.append("%s: pyroute2 cannot decode it: %r" % (where, e))
        return
    ours = {}
    for t, p in parse(m[20:], where, []):
        name = ATTR_NAMES.get(t)
        if name in SAME and len(p) == 4:
            ours[name] = struct.unpack("<I", p)[0]
    for name, v in ours.items():
        theirs = msg.get_attr(name)
        if theirs is not None and theirs != v:
            faults.append("%s: %s is %s to pyroute2, %s to us" % (where, name, theirs, v))


def records(path):
    with open(path, "rb") as f:
        head = f.read(24)
        if len(head) < 24:
            raise SystemExit("%s: no pcap header" % path)
        magic, _, _, _, _, _, linktype = struct.unpack("<IHHiIII", head)
        if magic != 0xA1B2C3D4 or linktype != 253:
            raise SystemExit("%s: not a LINKTYPE_NETLINK capture" % path)
        while True:
            rec = f.read(16)
            if len(rec) < 16:
                return
            _, _, incl, _ = struct.unpack("<IIII", rec)
            data = f.read(incl)
            if len(data) < 16:
                return
            outgoing = struct.unpack(">H", data[:2])[0] == 4
            body = data[16:]
            off = 0
            while len(body) - off >= 16:
                n = struct.unpack_from("<I", body, off)[0]
                if n < 16 or off + n > len(body):
                    yield outgoing, None
                    break
                yield outgoing, body[off:off + n]
                off += (n + 3) & ~3


def check(path, events_any=False, requests_any=False):
    faults = []
    family = None
    requests = {}  # (port, seq) -> state
    for number, (outgoing, m) in enumerate(records(path), 1):
        if m is None:
            faults.append("#%d: a message whose length runs past its datagram" % number)
            continue
        length, mtype, flags, seq, pid = struct.unpack_from("<IHHII", m)
        where = "#%d" % number
        if mtype == GENL_ID_CTRL and outgoing and len(m) > 20:
            attrs = dict(parse(m[20:], where, faults))
            if attrs.get(2, b"").rstrip(b"\0") == b"nl80211" and 1 in attrs:
                family = struct.unpack("<H", attrs[1][:2])[0]
        if not outgoing:
            if flags & NLM_F_REQUEST:
                requests[(pid, seq)] = {"dump": (flags & NLM_F_DUMP) == NLM_F_DUMP, "ack": bool(flags & NLM_F_ACK),
                                        "end": None, "where": where, "header": m[:16]}
                if mtype == family and len(m) > 20 and not requests_any:
                    check_attrs(m[20:], where + " request", faults)
            continue
        if pid == 0:
            if seq != 0:
                faults.append("%s: event with sequence number %d" % (where, seq))
            if mtype == family and not events_any:
                check_attrs(m[20:], where + " event cmd %d" % m[16], faults)
                confirm(m, where, faults)
            continue
        req = requests.get((pid, seq))
        if req is None:
            faults.append("%s: answer for port %d seq %d that no request asked" % (where, pid, seq))
            continue
        if req["end"] is not None:
            faults.append("%s: message after the request's %s (%s)" % (where, req["end"], req["where"]))
            continue
        if mtype == NLMSG_DONE:
            if not req["dump"]:
                faults.append("%s: DONE for a request that was no dump (%s)" % (where, req["where"]))
            req["end"] = "DONE"
        elif mtype == NLMSG_ERROR:
            err = struct.unpack_from("<i", m, 16)[0]
            if req["dump"] and err == 0:
                faults.append("%s: ACK for a dump (%s)" % (where, req["where"]))
            if err == 0:
                if not (flags & NLM_F_CAPPED) or length != 36 or m[20:36] != req["header"]:
                    faults.append("%s: ACK not capped to the request's header" % where)
            elif m[20:36] != req["header"]:
                faults.append("%s: error does not echo the request" % where)
            if err == 0 and not req["ack"]:
                faults.append("%s: ACK nobody asked for (%s)" % (where, req["where"]))
            req["end"] = "ERROR"
        else:
            if req["dump"] and not (flags & NLM_F_MULTI):
                faults.append("%s: dump part without NLM_F_MULTI" % where)
            if mtype == family and len(m) > 20:
                check_attrs(m[20:], where + " reply cmd %d" % m[16], faults)
                confirm(m, where, faults)
    for (pid, seq), req in requests.items():
        if req["dump"] and req["end"] is None:
            faults.append("%s: dump never ended" % req["where"])
        if req["ack"] and req["end"] is None:
            faults.append("%s: asked for an ACK and got none" % req["where"])
    return faults


def assert_clean(pcap, events_any=False, requests_any=False, bad_elements=False):
    """For tests: tshark finds nothing malformed in the capture and check() no fault.
    bad_elements: an AP on the air sends malformed elements on purpose, which tshark
    flags inside the scan dump; then only check() runs."""
    import subprocess
    if not bad_elements:
        r = subprocess.run(["tshark", "-r", pcap, "-Y", "_ws.malformed"], capture_output=True, text=True,
                           timeout=120)
        assert r.returncode == 0 and r.stdout.strip() == "", "tshark on %s:\n%s%s" % (pcap, r.stdout, r.stderr)
    faults = check(pcap, events_any, requests_any)
    assert not faults, "nl80211_check.py %s:\n%s" % (pcap, "\n".join(faults))


def main(argv):
    events_any = "--events-any" in argv
    args = [a for a in argv if not a.startswith("--")]
    if len(args) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    faults = check(args[0], events_any, "--requests-any" in argv)
    for f in faults:
        print(f)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
