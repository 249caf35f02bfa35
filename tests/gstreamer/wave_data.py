#!/usr/bin/env python3
"""Prints the sample bytes of a WAVE file's data chunk; with --to-float FILE.amb, writes a
copy of a 16-bit B-Format file as 32-bit float B-Format (samples / 32768)."""
import struct
import sys


def chunks(data):
    at, found = 12, {}
    while at + 8 <= len(data):
        name, size = data[at:at + 4], struct.unpack("<I", data[at + 4:at + 8])[0]
        found.setdefault(name, data[at + 8:at + 8 + size])
        at += 8 + size + (size & 1)
    return found


def to_float(source, target):
    c = chunks(open(source, "rb").read())
    fmt = bytearray(c[b"fmt "])
    channels, rate = struct.unpack("<HI", fmt[2:8])
    samples = struct.unpack("<%dh" % (len(c[b"data"]) // 2), c[b"data"])
    data = struct.pack("<%df" % len(samples), *(s / 32768.0 for s in samples))
    fmt[8:16] = struct.pack("<IHH", rate * channels * 4, channels * 4, 32)
    fmt[18:20] = struct.pack("<H", 32)
    fmt[24] = 3  # the B-Format float subformat
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + bytes(fmt) + b"data" + struct.pack("<I", len(data)) + data
    open(target, "wb").write(b"RIFF" + struct.pack("<I", len(body)) + body)


if sys.argv[1] == "--to-float":
    to_float(sys.argv[2], sys.argv[3])
else:
    sys.stdout.buffer.write(chunks(open(sys.argv[1], "rb").read())[b"data"])
