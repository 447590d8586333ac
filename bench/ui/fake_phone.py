#!/usr/bin/env python3
"""A phone on a turning platter for the process benchmark: a hello, then platter frames at 100 Hz to one
deck of a host, for a bounded time; with "raw", also its raw sensor and estimator record ("/orv/raw") at
50 Hz, lying placed and settled on the platter, so the deck's placement tile draws the phone turning.
Usage: fake_phone.py HOST PORT DECK SECONDS [raw] (HOST must be a loopback address)."""
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


def raw_record(deck, wz, yaw, ts, phase):
    """The 57 fields a phone sends after the deck: its gyro at the platter's rate, 2 cm off the spindle, placed
    and its pair settled (flags 3), tilted by its camera bump, over a motor field that makes the glow turn."""
    head = [wz, 0.01, -0.02, yaw, ts, 3.49, 0.8, 1]
    place = [1.2, -1.6, 3, 0.01, -0.02, -0.99, 1.3, phase, 0.9]
    rest = [0.0] * 12 + [8.0, "2024-05-01"] + [0.3, -0.4, 1, 1] + [0.5] * 7 + [0, 0.0, 0.2, 0.0, 12.0, 40.0, 1.0,
                                                                           0.4, "", 0, -1.0, 1, 1.0, 0, 0.0]
    return [deck] + head + place + rest


def main():
    host, port, deck, seconds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), min(float(sys.argv[4]), 120.0)
    with_raw = len(sys.argv) > 5 and sys.argv[5] == "raw"
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
        if with_raw and n % 2 == 0:
            # The phone turns with the platter, and its gyro drives the deck as the frames do.
            record = raw_record(deck, -turn, -turn * (t1 - start), t1, 0.5 * n)
            sock.sendto(osc("/orv/raw", *record), (host, port))
        n += 1
        time.sleep(max(0.0, start + n * 0.01 - time.monotonic()))


if __name__ == "__main__":
    main()
