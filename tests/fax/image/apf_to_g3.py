#!/usr/bin/env python3
"""Writes the code bytes of one page of an APF fax file to standard output,
without the 16-bit record lengths: a raw G3 (MH) stream, least significant
bit first. Usage: apf_to_g3.py FILE PAGE"""
import struct
import sys

data = open(sys.argv[1], "rb").read()
page = int(sys.argv[2])
if data[:6] != b"APF10\x1a":
    sys.exit("not an APF file")
count, offset = struct.unpack_from("<HI", data, 32)
if not 1 <= page <= count:
    sys.exit("no such page")
for _ in range(page - 1):
    length, = struct.unpack_from("<I", data, offset)
    offset += 16 + length
length, flags = struct.unpack_from("<IH", data, offset)
body = data[offset + 16:offset + 16 + length]
out = bytearray()
if flags & 4:
    pos = 0
    while pos < len(body):
        n, = struct.unpack_from("<H", body, pos)
        out += body[pos + 2:pos + 2 + n]
        pos += 2 + n
else:
    out = body
sys.stdout.buffer.write(out)
