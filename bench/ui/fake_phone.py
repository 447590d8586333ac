#!/usr/bin/env python3
"""A phone on a turning platter for the process benchmark: a hello, then platter frames at 100 Hz to one
deck of a host, for a bounded time. Usage: fake_phone.py HOST PORT DECK SECONDS (HOST must be a loopback
address)."""
import ipaddress
import math
import socket
import struct
import sys
import time


def pad(b):
    return b + b"\0" * (4 - len(b) % 4)


def osc(address, *args):
    tags, data = ",", b""
    for a in args:
        if isinstance(a, int):
            tags, data = tags + "i", data + struct.pack(">i", a)
        elif isinstance(a, float):
            tags, data = tags + "d", data + struct.pack(">d", a)
        else:
            tags, data = tags + "s", data + pad(a.encode())
    return pad(address.encode()) + pad(tags.encode()) + data


def main():
    host, port, deck, seconds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), min(float(sys.argv[4]), 120.0)
    if not ipaddress.ip_address(host).is_loopback:
        sys.exit("fake_phone: loopback addresses only")
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.sendto(osc("/orv/hello", deck, "Bench phone", 0, "remote", 1, "1215"), (host, port))
    turn = 2 * math.pi * (100.0 / 3.0) / 60.0  # radians per second at 33 1/3 rpm
    start = time.monotonic()
    n = 0
    while True:
        now = time.monotonic()
        if now - start >= seconds:
            break
        # Two samples per frame, as a phone batches its sensor; the angle falling plays forward.
        t0, t1 = now - 0.005, now
        sock.sendto(osc("/orv/frame", deck, "", 0.0, 1.0, -turn * (t0 - start), t0, -turn * (t1 - start), t1),
                    (host, port))
        n += 1
        time.sleep(max(0.0, start + n * 0.01 - time.monotonic()))


if __name__ == "__main__":
    main()
