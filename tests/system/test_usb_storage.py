"""A FAT file system written to a simulated USB stick through the daemon, block by block
with SCSI WRITE(10) over the Bulk-Only transport, and read back both ways: by mtools from
the stick's backing image, and through the daemon with READ(10)."""
import os
import struct
import subprocess

import usb_env
from usb_env import usbsrv

BLOCK = 512
BLOCKS_PER_COMMAND = 128  # 64 KiB


class Stick:
    """SCSI over the Bulk-Only transport of an opened storage device (OUT 0x02, IN 0x81)."""

    def __init__(self, client, entry, port):
        self.c, self.entry, self.port = client, entry, port
        self.tag = 0

    def command(self, cdb, data_in=0, data_out=b""):
        self.tag += 1
        length = data_in or len(data_out)
        cbw = struct.pack("<4sIIBBB", b"USBC", self.tag, length, 0x80 if data_in else 0, 0, len(cdb))
        cbw += cdb.ljust(16, b"\0")
        assert self.c.bulk_out(self.entry, self.port, 0x02, cbw).status == 0
        data = b""
        if data_out:
            assert self.c.bulk_out(self.entry, self.port, 0x02, data_out).status == 0
        while len(data) < data_in:
            r, got = self.c.bulk_in(self.entry, self.port, 0x81, data_in - len(data))
            assert r.status == 0, r
            data += got
        r, csw = self.c.bulk_in(self.entry, self.port, 0x81, 13)
        signature, tag, residue, status = struct.unpack("<4sIIB", csw)
        assert (signature, tag, residue, status) == (b"USBS", self.tag, 0, 0)
        return data

    def write(self, lba, data):
        cdb = struct.pack(">BBIBH", 0x2A, 0, lba, 0, len(data) // BLOCK)
        self.command(cdb, data_out=data)

    def read(self, lba, blocks):
        cdb = struct.pack(">BBIBH", 0x28, 0, lba, 0, blocks)
        return self.command(cdb, data_in=blocks * BLOCK)


def run(*cmd, **kw):
    return subprocess.run(list(cmd), check=True, capture_output=True, **kw)


def test_fat_image_written_and_read_back_through_the_daemon(daemon, tmp_path):
    # The file system, made here with the usual tools.
    fat = tmp_path / "fat.img"
    run("mkfs.fat", "-C", "-n", "QMRTEST", str(fat), "2048")
    files = {"HELLO.TXT": b"hello through the daemon\n", "RANDOM.BIN": os.urandom(300 * 1024),
             "SMALL.BIN": os.urandom(1)}
    for name, content in files.items():
        (tmp_path / name).write_bytes(content)
        run("mcopy", "-i", str(fat), str(tmp_path / name), "::/" + name)
    image = fat.read_bytes()
    disk = tmp_path / "disk.img"
    disk.write_bytes(b"\0" * (4 << 20))

    usb_env.start(daemon)
    usb_env.plug(daemon, "port:1", "storage", "image=%s" % disk)
    with usb_env.connect(daemon) as c:
        entry, port = usb_env.listed(c, 0x0781, 0x5567)
        assert c.open(entry, port).status == 0
        assert c.set_config(entry, port, 1).status == 0
        stick = Stick(c, entry, port)
        inquiry = stick.command(bytes([0x12, 0, 0, 0, 36, 0]), data_in=36)
        assert inquiry[8:14] == b"QMRSIM"
        step = BLOCKS_PER_COMMAND * BLOCK
        for offset in range(0, len(image), step):
            stick.write(offset // BLOCK, image[offset:offset + step])
        stick.command(bytes([0x35]) + b"\0" * 9)  # SYNCHRONIZE CACHE

        # mtools finds every file intact on the stick's own image.
        for name, content in files.items():
            out = tmp_path / ("out-" + name)
            run("mcopy", "-n", "-i", str(disk), "::/" + name, str(out))
            assert out.read_bytes() == content, name

        # And the blocks come back through the daemon as written.
        back = b"".join(stick.read(lba, BLOCKS_PER_COMMAND)
                        for lba in range(0, len(image) // BLOCK, BLOCKS_PER_COMMAND))
        assert back == image
    usb_env.clean_exit(daemon)
