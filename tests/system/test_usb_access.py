"""Port access control: port keys proved over the client's challenge (DES crypt and SHA-1,
computed here independently), the list of devices allowed on a port, and weekly and
expiry key schedules under a set appliance clock."""
import calendar
import ctypes
import ctypes.util
import hashlib
import struct
import time

import pytest

import usb_env

LOOPBACK = (0x1D6B, 0x0104)
ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
NONCE = 0x5EC0DE17

_crypto = ctypes.CDLL(ctypes.util.find_library("crypto"))
_crypto.DES_fcrypt.restype = ctypes.c_char_p
_crypto.DES_fcrypt.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p]


def sha_proof(key, nonce):
    text = bytes(ALPHABET[(nonce >> s) & 63] for s in (24, 16, 8, 0)) + key
    return hashlib.sha1(text).digest()


def des_proof(key, nonce):
    salt = bytes([ALPHABET[(nonce ^ (nonce >> 24)) & 63], ALPHABET[((nonce >> 8) ^ (nonce >> 16)) & 63]])
    out = ctypes.create_string_buffer(14)
    crypted = _crypto.DES_fcrypt(key[:8], salt, out)
    assert crypted and len(crypted) == 13
    return crypted[2:13]


def sha_block(*entries):
    return b"KVx" + bytes([len(entries)]) + b"".join(struct.pack(">H", p) + proof for p, proof in entries)


def des_block(*entries):
    return b"KVX" + bytes([len(entries)]) + b"".join(bytes([p]) + proof for p, proof in entries)


def table(daemon):
    return usb_env.sim(daemon, "devices")


def plug_all(daemon, *devices):
    """Plugs (port, options...) devices and waits until the table holds them all."""
    for port, *options in devices:
        usb_env.plug(daemon, "port:%d" % port, "loopback", *options)
    daemon.wait_for(lambda: len(table(daemon)) == len(devices), what="the devices in the table")


def keyed_client(daemon):
    c = usb_env.connect(daemon)
    c.hello(tag=NONCE)
    return c


def states(client, block=b""):
    """{port: key state} of the listed devices."""
    return {r.port: r.key for r in client.device_list(block)[1]}


def entry_on(client, port, block=b""):
    return next(r.entry for r in client.device_list(block)[1] if r.port == port)


# The appliance's local time is UTC, so the tests set it without knowing the host's zone.
CLOCK = dict(ntp_tzone="GMT")


def set_local_clock(daemon, *when):
    """Sets the appliance's clock to that local time (year, month, day, hour, minute, second)."""
    seconds = calendar.timegm(tuple(when) + (0, 0, 0))
    usb_env.sim(daemon, "clock", "set", str(seconds))


KEYS = dict(zqn_accctrl_2="key", zqn_pkkey_2="alpha", zqn_pkkey_6="bravo-key", zqn_pkkey_3="charlie",
            zqn_pkvalid_2="ever", zqn_pkvalid_6="ever", zqn_pkvalid_3="ever", zqn_pkkey_1="unused")


@pytest.mark.parametrize("hide", ["off", "on"])
def test_port_key_proofs_in_the_device_list(daemon, hide):
    usb_env.start(daemon, zqn_hide=hide, **KEYS)
    plug_all(daemon, (1,), (2,))
    with keyed_client(daemon) as c:
        refused = {1: 0} if hide == "on" else {1: 0, 2: 1}
        cases = [
            (b"", refused),
            (sha_block((2, sha_proof(b"alpha", NONCE))), {1: 0, 2: 2}),
            (des_block((2, des_proof(b"alpha", NONCE))), {1: 0, 2: 2}),
            # Port p also takes key p + number of ports.
            (sha_block((2, sha_proof(b"bravo-key", NONCE))), {1: 0, 2: 2}),
            (des_block((2, des_proof(b"bravo-key", NONCE))), {1: 0, 2: 2}),
            # Key 3 belongs to port 3; an entry for another port does not count.
            (sha_block((2, sha_proof(b"charlie", NONCE))), refused),
            (sha_block((1, sha_proof(b"alpha", NONCE))), refused),
            (sha_block((2, sha_proof(b"alphx", NONCE))), refused),
            (des_block((2, des_proof(b"alphx", NONCE))), refused),
            # A proof for another challenge.
            (sha_block((2, sha_proof(b"alpha", NONCE + 1))), refused),
            (sha_block((3, b"\0" * 20), (2, sha_proof(b"alpha", NONCE))), {1: 0, 2: 2}),
        ]
        for block, expected in cases:
            assert states(c, block) == expected, block
        # A new hello is a new challenge: the old proof no longer holds.
        c.hello(tag=NONCE ^ 0xFFFF)
        assert states(c, sha_block((2, sha_proof(b"alpha", NONCE)))) == refused
        assert states(c, sha_block((2, sha_proof(b"alpha", NONCE ^ 0xFFFF)))) == {1: 0, 2: 2}
    usb_env.clean_exit(daemon)


def test_port_key_opens_the_device(daemon):
    usb_env.start(daemon, **KEYS)
    plug_all(daemon, (2,))
    with keyed_client(daemon) as c:
        entry = entry_on(c, 2)
        for proof in (None, sha_proof(b"alphx", NONCE), sha_proof(b"charlie", NONCE), b""):
            r = c.open(entry, 2, proof=proof)
            assert (r.status, r.error) == (3, 19), proof
        for key in (b"alpha", b"bravo-key"):
            assert c.open(entry, 2, proof=sha_proof(key, NONCE)).status == 0, key
            assert c.close_device(entry, 2).status == 0
    usb_env.clean_exit(daemon)


def test_device_missing_from_the_port_list_is_refused(daemon):
    usb_env.start(daemon, zqn_accctrl_1="ids", zqn_vendprodIDs_1="0529:0001 1d6b:0104",
                  zqn_accctrl_2="keyids", zqn_pkkey_2="alpha", zqn_pkvalid_2="ever")
    # Two devices on port 1 behind a hub, one listed and one not.
    hub = usb_env.plug(daemon, "port:1", "hub")
    usb_env.sim(daemon, "usb", "plug", hub + ".1", "loopback")
    usb_env.sim(daemon, "usb", "plug", hub + ".2", "loopback", "pid=0x0109")
    usb_env.plug(daemon, "port:2", "loopback")
    with keyed_client(daemon) as c:
        daemon.wait_for(lambda: len([r for r in c.device_list()[1] if r.vid == 0x1D6B]) == 3, what="three devices")
        by = {(r.port, r.pid): r.entry for r in c.device_list()[1]}
        proof = sha_proof(b"alpha", NONCE)
        cases = [
            (1, 0x0104, None, 0, 0),
            (1, 0x0109, None, 5, 14),
            # Both checks: a right key does not admit a device missing from the list.
            (2, 0x0104, proof, 5, 14),
        ]
        for port, pid, key, status, error in cases:
            entry = by[(port, pid)]
            r = c.open(entry, port, proof=key)
            assert (r.status, r.error) == (status, error), (port, pid)
            code = struct.unpack(">I", c.status(entry, port).payload[:4])[0]
            assert (code & 5 == 5) == (status == 5), (port, pid, code)
    usb_env.clean_exit(daemon)


def test_weekly_schedule_opens_and_closes_the_key(daemon):
    # Weekdays only, from 8:00 to the end of the 17th hour; off days are written "_".
    usb_env.start(daemon, zqn_accctrl_1="key", zqn_pkkey_1="weekly", zqn_pkvalid_1="week",
                  zqn_pkalive_1="_MtWTF_:08:17:26:12:31:23", **CLOCK)
    plug_all(daemon, (1,))
    with keyed_client(daemon) as c:
        block = sha_block((1, sha_proof(b"weekly", NONCE)))
        # 2026-06-14 is a Sunday.
        for when, state in [
            ((2026, 6, 14, 10, 0, 0), 1),
            ((2026, 6, 15, 7, 59, 0), 1),
            ((2026, 6, 15, 8, 0, 0), 2),
            ((2026, 6, 15, 17, 30, 0), 2),
            ((2026, 6, 15, 18, 0, 0), 1),
            ((2026, 6, 20, 12, 0, 0), 1),
            ((2017, 6, 15, 12, 0, 0), 1),  # a clock that was never set
        ]:
            set_local_clock(daemon, *when)
            assert states(c, block) == {1: state}, when
    usb_env.clean_exit(daemon)


def test_expiring_key_warns_then_releases_the_port(daemon, root):
    usb_env.start(daemon, zqn_accctrl_1="key", zqn_pkkey_1="timed", zqn_pkvalid_1="date",
                  zqn_pkalive_1="sMtWTFS:0:23:26:06:15:12", monitoring="on", moniflags="31", **CLOCK)
    plug_all(daemon, (1,))
    set_local_clock(daemon, 2026, 6, 15, 12, 56, 0)
    with keyed_client(daemon) as c:
        block = sha_block((1, sha_proof(b"timed", NONCE)))
        entry = entry_on(c, 1, block)
        assert c.open(entry, 1, proof=sha_proof(b"timed", NONCE)).status == 0
        # The minute check warns once when 5 minutes or less remain.
        m = c.message(timeout=30)
        assert m.code == 0x13 and m.payload[:4] == bytes([entry, 1, 132, 0x13]), m
        left = struct.unpack(">I", m.payload[4:])[0]
        assert 0 < left <= 300, left
        set_local_clock(daemon, 2026, 6, 15, 13, 0, 5)
        m = c.message(timeout=30)
        assert (m.code, m.payload) == (0x13, bytes([entry, 1, 4, 0x13, 0, 0, 0, 0])), m
        daemon.wait_for(lambda: struct.unpack(">I", c.status(entry, 1).payload[:4])[0] & 1 == 0,
                        what="the device released")
        # The client's own close after the release does not deactivate it a second time.
        c.close_device(entry, 1)
        assert states(c, block) == {1: 1}
        r = c.open(entry, 1, proof=sha_proof(b"timed", NONCE))
        assert (r.status, r.error) == (3, 19)
    daemon.wait_for(lambda: "has been disconnected for user" in root.moni_text(), what="the release's line")
    time.sleep(0.5)
    assert root.moni_text().count("has been disconnected for user") == 1, root.moni_text()
    usb_env.clean_exit(daemon)


def test_port_bound_to_an_ip_vlan_is_seen_only_on_that_vlan(daemon):
    # IP VLAN 1 (id 7) is the stand-in sub-interface eth0.7; port 2 is bound to it.
    usb_env.start(daemon, ipvlan_on_1="on", ipvlan_id_1="7", ipvlan_addr_1="198.19.7.1", ipvlan_pfxlen_1="24",
                  ipvlan_router_1="0.0.0.0", zqn_2vlan_2="1")
    daemon.net.run_client("ip", "addr", "add", "198.19.7.2/24", "dev", "eth0")
    daemon.wait_for(lambda: "198.19.7.1%%eth0.7:%d " % usb_env.PLAIN_PORT in
                    daemon.net.run_device("ss", "-Htln", check=False).stdout, what="the VLAN's listener")
    plug_all(daemon, (1,), (2,))
    with usb_env.connect(daemon) as main:
        assert sorted(r.port for r in main.device_list()[1]) == [1]
    with usb_env.usbsrv.Client.connect("198.19.7.1", usb_env.PLAIN_PORT, netns=daemon.net.client) as tagged:
        assert sorted(r.port for r in tagged.device_list()[1]) == [1, 2]
    usb_env.clean_exit(daemon)
