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


# Seeds of the file and reply targets: tests/fuzz/seeds/<target>/.
seeds = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds")


def put(target, name, data):
    folder = os.path.join(seeds, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# .vdat: whole packets back to back, no header.
put("vdat", "two-packets", packet(7, 26667.0) * 2)
put("vdat", "fs-changes", packet(7, 26667.0) + packet(7, 20000.0) + packet(8, float("nan")))
put("vdat", "tail-cut", packet(9, 27000.0) * 2 + packet(9, 27000.0)[:700])
put("vdat", "zero-fs", packet(9, 0.0) + packet(9, 27000.0))
put("vdat", "not-a-packet", b"PUDT" + bytes(1412) + b"PENX" + packet(1, 26667.0))

# devicepara.dat: 100 records of address, reserved, work mode, rated speed.
def device_records(records):
    image = b"".join(struct.pack("<IIii", *r) for r in records)
    return image + bytes(1600 - len(image))


put("devicepara", "modes", device_records([(5, 0, 1, 1500), (6, 7, 2, 2970), (5, 0, 2, 3000), (9, 0, 0, 0)]))
put("devicepara", "extremes", device_records([(1, 0, 1, -1), (2, 0, 2, 2**31 - 1), (3, 0, 1, -2**31), (4, 0, -1, 60)]))
put("devicepara", "short", struct.pack("<IIi", 5, 0, 1) + b"\x05")
put("devicepara", "long", device_records([(5, 0, 1, 1500)]) + b"\xff" * 100)

# sensorcodes.conf
put("sensorcodes", "both", b"# codes\nunlock=0x12345678\nlock=305419896\n")
put("sensorcodes", "odd", b"unlock = 0X1\r\nlock=0777\n\nlock=-1\nunlock=0x100000000\n=5\nfoo=1\n  # x\nlock")

# station.toml
put("settings", "full", b"""# station
[history]
enabled = true
raw_days = 3
minute_days = 90
hour_years = 10

[access]
garbage_timeout_s = 10
idle_evict_s = 30.5
allow = ["192.168.1.0/24", "10.0.5.17"]
bind = "192.168.1.5"
""")
put("settings", "bad", b"""[access]
allow = ["192.168.1.5/24", 5, "010.0.0.1", "::1"]
bind = 7
garbage_timeout_s = -1
[history]
raw_days = "x"
history = 1
""")
put("settings", "broken", b"[access\nallow = [\"1.2.3.4\"\n")


# Replies: slot, pending register, form, then the body or the frame.
def reply_body(count, values):
    return bytes(range(0x30, 0x3a)) + struct.pack("<H", count) + values


for count, nbytes in ((12, 24), (11, 22), (1, 2), (8, 16), (3, 6), (12, 10), (300, 4)):
    put("reply", "pras-%d-%d" % (count, nbytes), bytes([count % 40, count & 1, 0]) + reply_body(count, bytes(range(nbytes))))
put("reply", "pwas", bytes([3, 0, 1]) + b"PWAS\x0a\x00\x07\x00\x00\x00")
put("reply", "raw-short", bytes([41, 1, 1]) + b"PRAS\x12\x00" + bytes(12))
