"""wifi_auth.py's key derivation and key protection against published vectors: the
IEEE 802.11 annex vectors for the passphrase mapping and the SHA-1 PRF, the classic
RC4 vector, and the standard RSN and WPA elements of a PSK network."""
import pytest

import wifi_auth as wa


@pytest.mark.parametrize("passphrase,ssid,pmk", [
    ("password", "IEEE", "f42c6fc52df0ebef9ebb4b90b38a5f902e83fe1b135a70e23aed762e9710a12e"),
    ("ThisIsAPassword", "ThisIsASSID", "0dc0d6eb90555ed6419756b9a15ec3e3209b63df707dd508d14581f8982721af"),
])
def test_passphrase_to_pmk(passphrase, ssid, pmk):
    assert wa.psk(passphrase, ssid).hex() == pmk


@pytest.mark.parametrize("key,label,data,out", [
    (b"\x0b" * 20, b"prefix", b"Hi There",
     "bcd4c650b30b9684951829e0d75f9d54b862175ed9f00606e17d8da35402ffee75df78c3d31e0f889f012120c0862beb"
     "67753e7439ae242edb8373698356cf5a"),
    (b"Jefe", b"prefix-2", b"what do ya want for nothing?",
     "47c4908e30c947521ad20be9053450ecbea23d3aa604b77326d8b3825ff7475c"),
])
def test_sha1_prf(key, label, data, out):
    assert wa.prf(key, label, data, len(out) // 2).hex() == out


def test_rc4_and_key_data_protection():
    assert wa.rc4(b"Key", b"Plaintext", skip=0).hex() == "bbf316e8d940af0ad3"
    kek = bytes(range(16))
    # RSN key data is padded with DD 00.. to a multiple of 8 before the key wrap.
    for plain in (b"\x30\x14" + bytes(20), bytes(24)):
        padded = wa.unwrap(kek, wa.wrap(kek, plain))
        assert padded.startswith(plain) and len(padded) % 8 == 0 and len(padded) >= 16
        pad = padded[len(plain):]
        assert pad == (b"\xdd" + bytes(len(pad) - 1) if pad else b"")
    assert len(wa.unwrap(kek, wa.wrap(kek, bytes(24)))) == 24  # a multiple of 8 stays as it is


def test_elements_of_psk_networks():
    assert wa.rsn_element().hex() == "30140100000fac040100000fac040100000fac020000"
    assert wa.wpa_element().hex() == "dd160050f20101000050f20201000050f20201000050f202"
    mixed = wa.rsn_element(("ccmp", "tkip"), "tkip")
    assert wa.decode_element(mixed) == (["ccmp", "tkip"], "tkip")
    assert wa.security_element(wa.wpa_element() + mixed) == ("rsn", mixed)


def test_parsers_survive_garbage():
    import random
    rng = random.Random(7)
    good = wa.KeyFrame(2, 0x008a, 16, 1, bytes(32), data=wa.rsn_element()).build()
    assert wa.KeyFrame.parse(good).data == wa.rsn_element()
    samples = [good[:n] for n in range(0, len(good), 7)] + [bytes(rng.randrange(256) for _ in range(rng.randrange(200)))
                                                           for _ in range(300)]
    # A key data length past the body, a body length past the bytes.
    samples += [good[:97] + b"\xff\xff" + good[99:], good[:2] + b"\xff\xff" + good[4:]]
    for raw in samples:
        k = wa.KeyFrame.parse(raw)
        assert k is None or len(k.data) <= len(raw)
        wa.security_element(raw)
        if raw:
            wa.decode_element(bytes([48, len(raw) & 0xFF]) + raw)
            wa.decode_element(bytes([221, len(raw) & 0xFF]) + b"\x00\x50\xf2\x01" + raw)
    assert wa.KeyFrame.parse(good[:97] + b"\xff\xff" + good[99:]) is None
