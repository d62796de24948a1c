#!/usr/bin/env python3
"""Writes the fuzz target's seed corpus (tests/fuzz/corpus/).

Input layout of the target: 2 bytes ring start (distance from the ring's end,
mod 5000), 1 byte piece-size seed, then the stream, where 0xF0 k inserts a
valid packet (k < 0x80), a reply (k < 0xC0) or a literal 0xF0 (k >= 0xC0).
"""
import os
import struct

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(here, exist_ok=True)


def esc(raw):
    return raw.replace(b"\xf0", b"\xf0\xc0")


def packet(address, fs, temperature=21.5):
    body = struct.pack("<Iff", address, fs, temperature) + bytes(8)
    samples = b"".join(struct.pack("<f", ((address * 31 + i) % 1000) / 1000.0) for i in range(348))
    return b"PUDT" + body + samples + b"PEND"


def reply(marker, length, length_field=None):
    body = bytes((0x30 + i % 10) for i in range(length - 6))
    return marker + struct.pack("<H", length if length_field is None else length_field) + body


def seed(name, start, pieces, stream):
    with open(os.path.join(here, name), "wb") as f:
        f.write(struct.pack("<HB", start, pieces) + stream)


seed("packets-26667", 300, 1, b"\xf0\x00" * 45)
seed("packets-27000-wrap", 1000, 4, b"\xf0\x01" * 47)
seed("fs-changes", 17, 9, b"\xf0\x01" * 10 + b"\xf0\x00" * 35 + b"\xf0\x03" * 90)
seed("fs-implausible", 2, 3, b"".join(b"\xf0" + bytes([k]) * 1 for k in (4, 5, 6, 7) for _ in range(25)))
seed("replies", 150, 2, b"".join(b"\xf0" + bytes([k]) for k in range(0x80, 0xC0)))
seed("mixed-garbage", 4999, 7,
     b"garbage" + b"\xf0\x00" + b"PU" + b"\xf0\x81" + b"PUDT" + bytes(40) + b"\xf0\x02" + b"\xf0\xc0" * 3 +
     b"PRAS\x05\x00" + b"\xf0\x9f" + b"PWAS\xc9\x00" + b"\xf0\x01" + b"PR")
seed("raw-frames", 700, 5,
     esc(packet(7, 27000.0)) + esc(reply(b"PRAS", 26)) + esc(packet(8, 26667.0)) + esc(reply(b"PWAS", 200)) +
     esc(reply(b"PRAS", 26, 201)) + esc(packet(9, 27000.0)[:900]) + esc(packet(10, 27000.0)))
seed("truncated-end", 0, 0, b"\xf0\x00" * 3 + esc(packet(11, 26667.0)[:1419]))
