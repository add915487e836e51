"""The storage slot: an SD card (an image file of the slot stand-in) is checked,
labelled, mounted and kept as a copy of the parameters and certificates; a cold start
restores them from it.
"""
import hashlib
import os
import shutil
import socket
import subprocess

import pytest

from conftest import FIXTURES

MT_ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", MTOOLSRC="/dev/null")
PART_OFFSET = 2048 * 512


def run(*cmd, **kw):
    return subprocess.run(list(cmd), check=True, capture_output=True, text=True, env=MT_ENV, **kw)


def make_image(directory, kind, label=None):
    """An SD-card image; returns (path, offset of its FAT)."""
    path = os.path.join(directory, "card-%s.img" % kind)
    name = ["-n", label] if label else []
    if kind == "fat12":
        run("mkfs.fat", "-C", "-F", "12", *name, path, "4096")
    elif kind == "fat16":
        run("mkfs.fat", "-C", "-F", "16", *name, path, "32768")
    elif kind == "fat32":
        run("mkfs.fat", "-C", "-F", "32", "-s", "1", *name, path, "40960")
    elif kind == "camera":
        run("mkfs.fat", "-C", "-F", "32", "-R", "6", "-b", "0", "-s", "1", *name, path, "40960")
    elif kind == "fat16-nosig":
        run("mkfs.fat", "-C", "-F", "16", *name, path, "32768")
        with open(path, "r+b") as f:
            f.seek(38)
            f.write(b"\0")
    elif kind == "partitioned":
        with open(path, "wb") as f:
            f.truncate(40 * 1024 * 1024)
        subprocess.run(["sfdisk", "-q", path], input="2048,,c\n", check=True, capture_output=True, text=True)
        run("mkfs.fat", "-F", "16", "--offset", "2048", *name, path, str((40 * 2048 - 2048) // 2))
        return path, PART_OFFSET
    elif kind == "plain":
        with open(path, "wb") as f:
            f.write(b"\xa5" * (4 * 1024 * 1024))
    return path, 0


def image_spec(path, offset):
    return "%s@@%d" % (path, offset)


def label_of(path, offset):
    return run("mlabel", "-s", "-i", image_spec(path, offset), "::").stdout.strip()


def card_files(path, offset, directory="::"):
    r = run("mdir", "-b", "-i", image_spec(path, offset), directory)
    return sorted(os.path.basename(line.rstrip("/")) for line in r.stdout.split())


def fsck_report(path, offset, tmp):
    """fsck.fat -n over the FAT (copied out first): its status and its findings, without
    the version line and the closing count of files."""
    copy = os.path.join(tmp, "fsck.img")
    with open(path, "rb") as src, open(copy, "wb") as dst:
        src.seek(offset)
        shutil.copyfileobj(src, dst)
    r = subprocess.run(["fsck.fat", "-n", copy], capture_output=True, text=True)
    lines = (r.stdout + r.stderr).splitlines()
    return r.returncode, [line for line in lines[1:] if not line.startswith(copy)]


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def slot_line(daemon):
    ok, lines = daemon.simctl("services")
    assert ok, lines
    for line in lines:
        if line.startswith("slot "):
            return line
    return ""


def slot_state(daemon):
    line = slot_line(daemon)
    return int(line.split()[1]) if line else -1


def wait_slot(daemon, state, what):
    """Waits for the slot task's state; a time-out shows what the task and the stand-in had."""
    try:
        daemon.wait_for(lambda: slot_state(daemon) == state, timeout=90, what=what)
    except AssertionError as e:
        raise AssertionError("%s\nslot line: %r\nstand-in: %r" % (e, slot_line(daemon), sim_state(daemon))) from None


def sim_state(daemon):
    ok, lines = daemon.simctl("slot", "state")
    assert ok, lines
    return dict(line.split(" ", 1) for line in lines)


def prepare(root, product="p287_slot", certs=True, params=""):
    shutil.copy(os.path.join(FIXTURES, "products", product), root.file("/proc/product_params"))
    if certs:
        os.makedirs(root.file("/etc/certs/802.1x"), exist_ok=True)
        with open(root.file("/etc/certs/cert_mime.pem"), "w") as f:
            f.write("mime certificate\n")
        with open(root.file("/etc/certs/802.1x/abcdef01.0"), "w") as f:
            f.write("a CA of the wired network\n")
    if params:
        with open(root.file("/etc/params.dat"), "a") as f:
            f.write(params)


def start(daemon):
    daemon.start()
    daemon.wait_for(lambda: slot_line(daemon) != "", what="the slot task")
    return daemon


def insert(daemon, path, *words):
    ok, lines = daemon.simctl("slot", "insert", path, *words)
    assert ok, lines


@pytest.mark.parametrize("kind", ["fat12", "fat16", "fat32", "camera", "fat16-nosig", "partitioned"])
def test_card_is_labelled_and_holds_the_configuration(daemon, root, tmp_path, kind):
    prepare(root)
    path, offset = make_image(str(tmp_path), kind)
    # A camera's card has no backup boot sector: fsck.fat says so before and after.
    fresh = fsck_report(path, offset, str(tmp_path))
    start(daemon)
    insert(daemon, path)
    wait_slot(daemon, 3, "a ready card")
    assert slot_line(daemon).endswith('"QMR-SLOT_SD"')
    # The copies are synced to the card as they are made.
    daemon.wait_for(lambda: "abcdef01.0" in card_files(path, offset, "::/802.1x"), timeout=90,
                    what="the certificates on the card")
    files = card_files(path, offset)
    assert "params.dat" in files and "cert_mime.pem" in files and "802.1x" in files
    assert sim_state(daemon)["raw_writes"] == "0"
    assert daemon.stop() == 0
    assert label_of(path, offset) == "Volume label is QMR-SLOT_SD"
    assert fsck_report(path, offset, str(tmp_path)) == (fresh if kind == "camera" else (0, []))
    with open(root.file("/etc/params.dat"), "rb") as f:
        local = f.read()
    copied = run("mtype", "-i", image_spec(path, offset), "::/params.dat").stdout.encode()
    assert copied == local


def test_protected_card_is_mounted_read_only_and_left_unchanged(daemon, root, tmp_path):
    prepare(root, product="p295_display")
    path, offset = make_image(str(tmp_path), "fat16", label="OLD")
    before = digest(path)
    start(daemon)
    insert(daemon, path, "ro")
    wait_slot(daemon, 2, "a write-protected card")
    daemon.wait_for(lambda: "E3" in daemon.simctl("param", "disp_erVals")[1][0], what="the code E3")
    assert sim_state(daemon)["mode"] == "ro"
    # The mount point is made for everyone to read, and the daemon's file creation mask
    # (077) is still in force afterwards.
    assert os.stat(root.file("/var/slot1")).st_mode & 0o777 == 0o755
    with open("/proc/%d/status" % daemon.proc.pid) as f:
        assert "Umask:\t0077" in f.read().splitlines()
    assert daemon.stop() == 0
    assert digest(path) == before


def test_card_without_fat_is_unusable_and_removal_reports_it_gone(daemon, root, tmp_path):
    prepare(root, product="p295_display")
    path, _ = make_image(str(tmp_path), "plain")
    before = digest(path)
    start(daemon)
    insert(daemon, path)
    wait_slot(daemon, 1, "an unusable card")
    daemon.wait_for(lambda: "E2" in daemon.simctl("param", "disp_erVals")[1][0], what="the code E2")
    assert sim_state(daemon)["mounted"] == "0"
    ok, lines = daemon.simctl("slot", "remove")
    assert ok, lines
    wait_slot(daemon, 0, "the card gone")
    daemon.wait_for(lambda: "E4" in daemon.simctl("param", "disp_erVals")[1][0], what="the code E4")
    assert digest(path) == before


def test_removed_card_is_unmounted_and_gets_nothing_more(daemon, root, tmp_path):
    prepare(root)
    path, offset = make_image(str(tmp_path), "fat16")
    start(daemon)
    insert(daemon, path)
    wait_slot(daemon, 3, "a ready card")
    daemon.wait_for(lambda: "params.dat" in card_files(path, offset), timeout=90, what="the copy")
    assert daemon.simctl("slot", "remove")[0]
    wait_slot(daemon, 0, "the card gone")
    daemon.wait_for(lambda: sim_state(daemon)["mounted"] == "0", timeout=90, what="the unmount")
    before = digest(path)
    # A parameter saved now has no card to go to.
    assert daemon.simctl("param", "sys_contact", "after-removal")[0]
    assert daemon.stop() == 0
    assert digest(path) == before


@pytest.mark.parametrize("kickoff", ["0", None])
def test_cold_start_restores_from_the_card(net, root, tmp_path, kickoff):
    from conftest import Daemon
    prepare(root)
    path, offset = make_image(str(tmp_path), "fat16")
    src = os.path.join(str(tmp_path), "params.dat")
    with open(src, "w") as f:
        f.write(" sys_contact = from-the-card\n")
    run("mcopy", "-i", image_spec(path, offset), src, "::/params.dat")
    env = {"KickOff": kickoff} if kickoff is not None else {}
    env_daemon = Daemon(net, root, env=env)
    try:
        env_daemon.start()
        # The card is there before the slot task starts (it waits 0.5 s on a cold start):
        # straight through the socket, without starting simctl.
        env_daemon.wait_for(lambda: env_daemon.ask("slot state").endswith("OK\n"), what="the slot stand-in")
        assert env_daemon.ask("slot insert " + path).endswith("OK\n")
        wait_slot(env_daemon, 3, "a ready card")
        env_daemon.wait_for(lambda: "params.dat" in card_files(path, offset), timeout=90, what="the copy")
        with open(root.file("/etc/params.dat")) as f:
            local = f.read()
        copied = run("mtype", "-i", image_spec(path, offset), "::/params.dat").stdout
        if kickoff == "0":
            assert "from-the-card" in local
            assert "from-the-card" in copied
        else:
            assert "from-the-card" not in local
            env_daemon.wait_for(lambda: "from-the-card" not in run(
                "mtype", "-i", image_spec(path, offset), "::/params.dat").stdout, what="the card overwritten")
        assert env_daemon.stop() == 0
    finally:
        env_daemon.close()


def test_long_device_name_keeps_the_old_label(daemon, root, tmp_path):
    prepare(root, product="p287_4port")  # default name QMR-0287A1: 13 characters with "_SD"
    path, offset = make_image(str(tmp_path), "fat16", label="KEEPME")
    start(daemon)
    insert(daemon, path)
    wait_slot(daemon, 3, "a ready card")
    daemon.wait_output("makelabel: labels can be no longer than 11 characters")
    assert slot_line(daemon).endswith('""')
    assert daemon.stop() == 0
    assert label_of(path, offset) == "Volume label is KEEPME"


def test_card_swapped_between_scans_is_mounted_in_its_place(daemon, root, tmp_path):
    prepare(root)
    first, _ = make_image(str(tmp_path), "fat12")
    second, offset = make_image(str(tmp_path), "fat16")
    start(daemon)
    insert(daemon, first, "cid=0000000000000000000000000000000a")
    wait_slot(daemon, 3, "the first card")
    # Out and in at once: the next scan finds another card (its CID) in the slot.
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(10)
        s.connect(daemon.socket)
        s.sendall(("slot remove\nslot insert %s cid=0000000000000000000000000000000b\n" % second).encode())
        data = b""
        while data.count(b"OK\n") < 2 and b"ERR" not in data:
            data += s.recv(4096)
        assert data.count(b"OK\n") == 2, data
    daemon.wait_for(lambda: "params.dat" in card_files(second, offset), timeout=90, what="the second card used")
    assert sim_state(daemon)["mounted"] == "1"
    assert daemon.stop() == 0
    assert label_of(second, offset) == "Volume label is QMR-SLOT_SD"
