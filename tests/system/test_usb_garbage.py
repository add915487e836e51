"""Garbage and truncated requests on the USB-server port never crash the daemon or leak."""
import random
import socket
import struct

import usb_env
from usb_env import usbsrv


def test_garbage_and_truncated_requests(daemon):
    usb_env.start(daemon)
    usb_env.plug(daemon, "port:1", "loopback")
    rng = random.Random(1234)
    with usb_env.connect(daemon) as c:
        entry, port = usb_env.listed(c, 0x1D6B, 0x0104)
    commands = [1, 2, 4, 5, 6, 8, 9, 11, 12, 13, 16, 21, 22, 23, 24, 25, 26, 27, 29, 30, 31]
    for round in range(60):
        s = usbsrv.socket_in_netns(daemon.net.client)
        s.settimeout(5)
        s.connect((daemon.net.device_addr, usb_env.PLAIN_PORT))
        kind = round % 3
        if kind == 0:
            data = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 400)))
        else:
            # A real command with a payload that is random, and cut short half the time.
            cmd = rng.choice(commands)
            payload = bytes([entry, port]) + bytes(rng.randrange(256) for _ in range(rng.randrange(0, 60)))
            word0 = rng.randrange(1 << 32)
            length = rng.choice([len(payload), rng.randrange(1 << 32)])
            data = usbsrv.request(cmd, payload, rng.randrange(1 << 32), word0, length)
            if kind == 2:
                data = data[:rng.randrange(1, len(data))]
        try:
            s.sendall(data)
            s.shutdown(socket.SHUT_WR)
            while s.recv(4096):
                pass
        except OSError:
            pass
        s.close()
    # The daemon still serves, and its devices are free again.
    with usb_env.connect(daemon) as c:
        assert c.hello().status == 3
        assert c.open(entry, port).status == 0
    usb_env.clean_exit(daemon)
