"""The firmware update end to end: images built here, uploaded with curl, written to the
simulated flash; the boot confirmation against status words the test presets as the
boot loader would."""
import base64
import hashlib
import json
import os
import random
import shutil
import struct
import subprocess
import time
import zlib

import pytest

import test_notify as notify
from conftest import BUILD
from test_notify import command_mail, mailbox, mailserver  # noqa: F401 (fixtures)
from webutil import ADMIN_PWD, curl, start_web, wait_exit

HERE = os.path.dirname(os.path.abspath(__file__))

PRODUCT = 287
HARDWARE = 0x21  # hw_major 2, hw_minor 1 of the fixture
PARTITION = 0x400000  # mtd0_part1_size of the fixture
WORDS = {"erased": 0xFFFFFFFF, "BS_UPDATE": 0xA0FFFFF0, "BS_FAIL": 0xA0FFFF00, "BS_OK": 0xA0FFF000,
         "BS_BACKUP": 0xA0FF0000}
UNRECOGNIZABLE = "Unrecognizable update file: the file is wrong or corrupted."


def crc(data):
    """The image's CRC-32: reflected IEEE, started at 0, not inverted at the end."""
    return zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF


def image(data, magic=b"ZOHK", kind=b"RTFS", words=None, checksum=None, length=None):
    head = bytearray(128)
    head[0:4], head[4:8] = magic, kind
    struct.pack_into(">I", head, 8, crc(data) if checksum is None else checksum)
    struct.pack_into(">I", head, 12, len(data) if length is None else length)
    head[32], head[33] = 3, 7
    struct.pack_into(">H", head, 34, 300)
    for i, w in enumerate(words if words is not None else [PRODUCT | HARDWARE << 24]):
        struct.pack_into("<I", head, 68 + 4 * i, w)
    return bytes(head) + data


def payload(n, seed=1):
    return random.Random(seed).randbytes(n)


def write_file(root, name, data):
    path = os.path.join(root.path, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def upload(daemon, path):
    return curl(daemon, "/maintenance/updatecheck.html", "-F", "file=@%s;filename=%s" % (path, os.path.basename(path)))


def state(daemon):
    _, headers, body = curl(daemon, "/maintenance/updatestate.html")
    text, m, value, rest = body.split("|")
    assert rest == "", body
    return text, int(m), int(value)


def wait_state(daemon, pred, timeout=90):
    end = time.monotonic() + timeout
    last = None
    while time.monotonic() < end:
        if daemon.proc.poll() is not None:
            raise AssertionError("qmr ended while waiting, last state %r:\n%s" % (last, daemon.output()))
        last = state(daemon)
        if pred(*last):
            return last
        time.sleep(0.2)
    raise AssertionError("update state stayed %r" % (last,))


def flash(root, n):
    with open(root.file("/sim/mtd%d.img" % n), "rb") as f:
        return f.read()


def counters(daemon, n):
    ok, lines = daemon.simctl("mtd")
    assert ok, lines
    for line in lines:
        words = line.split()
        if words[:2] == ["mtd", str(n)]:
            return int(words[words.index("erases") + 1]), int(words[words.index("writes") + 1])
    raise AssertionError(lines)


def test_a_valid_image_is_written_and_the_device_restarts_cold(daemon, root):
    start_web(daemon)
    assert "mtd1: 00400000 00010000 \"kernel\"" in open(root.file("/proc/mtd")).read()
    text, m, value = state(daemon)
    assert (text, m, value) == ("Idle (ready for update)", 1, 0)
    # Exactly 128 + length bytes, the device named only by the last compatibility word.
    words = [PRODUCT | 0x11 << 24] * 14 + [PRODUCT | HARDWARE << 24]
    data = payload(300000)
    img = image(data, words=words)
    status, _, body = upload(daemon, write_file(root, "fw.img", img))
    assert status == "HTTP/1.1 200 OK"
    assert "Update file is verified. Please wait..." in body
    assert "/maintenance/updater" in body
    assert wait_exit(daemon, timeout=90) == 2
    out = daemon.output()
    assert "ZOPT_TYPE_INITRAMFS written to :/dev/mtdblock1 size:%d" % len(img) in out
    assert "ZOPT_TYPE_INITRAMFS write BootStatus /dev/mtdblock1 = BS_UPDATE" in out
    mtd1 = flash(root, 1)
    assert mtd1[:4] == bytes.fromhex("a0fffff0")
    assert mtd1[4:4 + len(img)] == img
    assert mtd1[4 + len(img):].count(0xFF) == len(mtd1) - 4 - len(img)


def test_bad_images_are_refused_and_leave_the_flash_alone(daemon, root):
    start_web(daemon)
    before = hashlib.sha256(flash(root, 1)).hexdigest()
    data = payload(70000, seed=2)
    good = image(data)
    flipped = bytearray(good)
    flipped[128 + 5000] ^= 0x01
    little = bytearray(good)
    little[8:12] = good[8:12][::-1]
    inverted = bytearray(good)
    struct.pack_into(">I", inverted, 8, crc(data) ^ 0xFFFFFFFF)
    big = payload(PARTITION, seed=3)
    # Refused at the upload: the status stays idle.
    refused = {
        "wrong magic": image(data, magic=b"ZOHX"),
        "one byte short": good[:-1],
        "no header": good[:100],
    }
    # Refused by the update task: the status keeps the error, the flash its contents.
    failing = {
        "flipped data byte": (bytes(flipped), "Error:7 Done:0"),
        "CRC little-endian": (bytes(little), "Error:7 Done:0"),
        "CRC inverted": (bytes(inverted), "Error:7 Done:0"),
        "type KERN": (image(data, kind=b"KERN"), "incompatible type:1262834254: Error:255 Done:0"),
        "other hardware": (image(data, words=[PRODUCT | 0x22 << 24]), "incompatible software: Error:255 Done:0"),
        "other product": (image(data, words=[288 | HARDWARE << 24]), "incompatible software: Error:255 Done:0"),
        "larger than the partition": (image(big), "File too large: Error:102 Done:0"),
    }
    for name, img in refused.items():
        status, _, body = upload(daemon, write_file(root, "bad.img", img))
        assert status == "HTTP/1.1 200 OK" and UNRECOGNIZABLE in body, name
        assert state(daemon)[1:] == (1, 0), name
    for name, (img, expected) in failing.items():
        status, _, body = upload(daemon, write_file(root, "bad.img", img))
        assert "Update file is verified. Please wait..." in body, name
        text, m, value = wait_state(daemon, lambda t, m, v: "Error:" in t)
        assert text.startswith("Update ") and text.endswith(expected), (name, text)
        assert (m, value) == (1, 0), name
    # Over the upload limit: the page gets no file.
    path = write_file(root, "huge.img", image(payload(10240001, seed=4)))
    status, _, body = upload(daemon, path)
    assert UNRECOGNIZABLE in body
    assert hashlib.sha256(flash(root, 1)).hexdigest() == before
    assert counters(daemon, 1) == (0, 0)
    assert daemon.proc.poll() is None
    # A refused file resets the failed update's status: the pages and the status in German.
    assert UNRECOGNIZABLE in upload(daemon, write_file(root, "bad.img", refused["wrong magic"]))[2]
    assert "<h1>Firmware-Update</h1>" in curl(daemon, "/maintenance/update_de.html")[2]
    assert curl(daemon, "/maintenance/updatestate_de.html")[2] == "Bereit (kein Update aktiv)|1|0|"


def test_a_second_upload_while_writing_is_refused(daemon, root):
    start_web(daemon)
    # A paced flash keeps the update busy for some seconds.
    assert daemon.simctl("mtd", "pace", "80", "80")[0]
    img = image(payload(600000, seed=5))
    path = write_file(root, "fw.img", img)
    assert "Update file is verified" in upload(daemon, path)[2]
    wait_state(daemon, lambda t, m, v: "Update in progress" in t)
    status, _, body = upload(daemon, path)
    assert UNRECOGNIZABLE in body
    seen = wait_state(daemon, lambda t, m, v: v >= 99)
    assert seen[2] in (99, 100)
    assert wait_exit(daemon, timeout=90) == 2
    assert flash(root, 1)[4:4 + len(img)] == img


@pytest.mark.parametrize("fault", ["eio", "power-cut"])
def test_a_failed_flash_write_ends_in_error_without_restart(daemon, root, fault):
    start_web(daemon)
    if fault == "eio":
        assert daemon.simctl("mtd", "inject", "1", "write", "EIO", "100000")[0]
    else:
        assert daemon.simctl("mtd", "power-cut", "1", "200000")[0]
    img = image(payload(400000, seed=6))
    assert "Update file is verified" in upload(daemon, write_file(root, "fw|<2>.img", img))[2]
    text, m, value = wait_state(daemon, lambda t, m, v: "Error:" in t)
    assert "Input/output error" in text and "Error:102" in text and m == 1, text
    # The file name from outside is escaped, '|' too, in the status.
    assert "fw&#124;&lt;2&gt;.img" in text, text
    # No restart follows: the state stays an error well past the restart delay.
    time.sleep(5)
    assert daemon.proc.poll() is None
    assert state(daemon)[0] == text
    mtd1 = flash(root, 1)
    assert mtd1[:4] == b"\xff\xff\xff\xff"
    if fault == "power-cut":
        # Byte 200000 of the device lies in block 3: the blocks before it hold the
        # image, block 3 stays erased.
        assert mtd1[4:3 * 65536] == img[:3 * 65536 - 4]
        assert mtd1[3 * 65536:4 * 65536] == b"\xff" * 65536
        assert "unpowered" in "\n".join(daemon.simctl("mtd")[1])
    else:
        assert mtd1[4:100000] == img[:100000 - 4]
    # After the error a new upload is taken again.
    assert daemon.simctl("mtd", "power-on", "1")[0]
    assert daemon.simctl("mtd", "inject", "1", "write", "0")[0]
    assert "Update file is verified" in upload(daemon, write_file(root, "fw2.img", img))[2]
    assert wait_exit(daemon, timeout=90) == 2
    assert flash(root, 1)[:4 + len(img)] == bytes.fromhex("a0fffff0") + img


BOOT_CASES = {
    "fail-ok": (("BS_FAIL", "BS_OK"), ("BS_OK", "BS_BACKUP"),
                ["/dev/mtdblock0 BS_FAIL->BS_OK", "/dev/mtdblock1 BS_OK->BS_BACKUP"]),
    "backup-ok": (("BS_BACKUP", "BS_OK"), ("BS_BACKUP", "BS_OK"), []),
    "erased": (("erased", "erased"), ("erased", "erased"),
               ["ERROR: BOOT STATUS OF /dev/mtdblock0 = ffffffff not as EXPECTED"]),
    "update": (("BS_UPDATE", "BS_UPDATE"), ("BS_UPDATE", "BS_UPDATE"),
               ["ERROR: BOOT STATUS OF /dev/mtdblock0 = a0fffff0 not as EXPECTED"]),
}


@pytest.mark.parametrize("case", sorted(BOOT_CASES))
def test_the_first_accepted_connection_confirms_the_boot(daemon, root, case):
    preset, expected, lines = BOOT_CASES[case]
    daemon.start()
    for n, name in enumerate(preset):
        assert daemon.simctl("mtd", "word", str(n), name)[0]
    assert daemon.simctl("mtd", "reset-counters")[0]
    # Nothing happens before a client got through.
    assert "SYSTEM_BOOT_OK" not in daemon.output()
    url = "http://%s/css/qmr.css" % daemon.net.device_addr
    daemon.wait_for(lambda: daemon.net.run_client("curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                                                  "--max-time", "2", url, check=False).stdout == "200",
                    timeout=60, what="the web server")
    daemon.wait_output("SYSTEM_BOOT_OK")
    for line in lines:
        daemon.wait_output(line)
    out = daemon.output()
    for other in ("BS_FAIL->BS_OK", "BS_OK->BS_BACKUP", "not as EXPECTED"):
        if not any(other in line for line in lines):
            assert other not in out, out
    words = [int(daemon.simctl("mtd", "word", str(n))[1][0].split()[2], 16) for n in (0, 1)]
    assert words == [WORDS[name] for name in expected]
    after_first = (counters(daemon, 0), counters(daemon, 1))
    assert after_first[0][1] == (1 if expected[0] != preset[0] else 0)
    assert after_first[1][1] == (1 if expected[1] != preset[1] else 0)
    # The second connection changes nothing.
    assert curl(daemon, "/css/qmr.css")[0] == "HTTP/1.1 200 OK"
    assert (counters(daemon, 0), counters(daemon, 1)) == after_first
    assert daemon.output().count("SYSTEM_BOOT_OK") == 1


def test_the_browser_shows_the_update_rising_to_the_restart(daemon, root):
    if not (shutil.which("chromium") and shutil.which("chromedriver")):
        pytest.skip("Chromium and its driver are not installed (scripts/deps)")
    start_web(daemon, logins=True)
    # A paced flash: the update takes some seconds, so the page shows it moving on.
    assert daemon.simctl("mtd", "pace", "40", "40")[0]
    img = image(payload(1000000, seed=7))
    path = write_file(root, "firmware.img", img)
    artifacts = os.environ.get("QMR_ARTIFACTS", os.path.join(BUILD, "artifacts", "update"))
    r = subprocess.run(["ip", "netns", "exec", daemon.net.client, "/usr/bin/python3",
                        os.path.join(HERE, "update_browser_check.py"), "http://%s" % daemon.net.device_addr,
                        artifacts, "Admin", ADMIN_PWD, path], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr[-3000:]
    found = json.loads(r.stdout.strip().splitlines()[-1])
    assert found["console"] == [], found
    assert found["steps"][0]["status"] == "Idle (ready for update)", found
    seen = found["seen"]
    assert seen and seen[-1] == ["The device is restarting.", 100], seen
    # How many steps the page catches depends on the machine's load; it must catch the
    # update moving on from its start, and never going back.
    percents = [v for t, v in seen if "Update in progress" in t]
    assert any(0 < v < 99 for v in percents) and len(set(percents)) >= 2, seen
    assert percents == sorted(percents), seen
    for t, v in seen:
        if "Update in progress" in t:
            assert "%d%% done" % v in t, seen
    assert wait_exit(daemon, timeout=60) == 2
    assert flash(root, 1)[:4 + len(img)] == bytes.fromhex("a0fffff0") + img
    for name in ("update.png", "updating.png", "restarting.png"):
        assert os.path.getsize(os.path.join(artifacts, name)) > 1000


def update_mail(tan, img):
    body = base64.encodebytes(img).decode().replace("\n", "\r\n")
    text = ("--b1\r\nContent-Type: text/plain\r\n\r\nTAN = %s\r\n"
            "--b1\r\nContent-Type: application/octet-stream; name=\"fw.bin\"\r\n"
            "Content-Transfer-Encoding: base64\r\n\r\n%s--b1--\r\n" % (tan, body))
    return command_mail("cmd: update zqn", body=text,
                        extra="MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n")


def tan_of(mail):
    return [line for line in mail.split("\r\n") if line.startswith("TAN: ")][0][5:]


def test_an_update_by_mail_uses_the_same_check_and_task(daemon, root, net, mailserver, mailbox):
    server = mailserver()
    box = mailbox()
    notify.start(daemon, root, notify.mail_params(net, auth=False) + notify.pop3_params(net) + "pop3_poll = 60\n")
    tan = tan_of(server.wait_mails(daemon, 1)[0]["data"])
    # A file that is no image: the command is answered, the TAN used up, nothing written.
    box.put("1.u", update_mail(tan, b"not an image" * 20))
    assert daemon.simctl("notify", "0x80000", "-1")[0]
    reply = server.wait_mails(daemon, 2)[1]["data"]
    assert "Error : Update file validation failed!?" in reply
    assert state(daemon)[:2] == ("Idle (ready for update)", 1)
    img = image(payload(200000, seed=8))
    box.put("2.u", update_mail(tan_of(reply), img))
    assert daemon.simctl("notify", "0x80000", "-1")[0]
    assert wait_exit(daemon, timeout=90) == 2
    assert flash(root, 1)[:4 + len(img)] == bytes.fromhex("a0fffff0") + img
    assert "ZOPT_TYPE_INITRAMFS written to :/dev/mtdblock1 size:%d" % len(img) in daemon.output()
