#!/usr/bin/env python3
"""Writes resources/lumavix.ico, the programs' icon: a camera body with its
lens, at 16, 24, 32, 48 and 256 pixels (32-bit with alpha; PNG for 256).
Run once when the drawing changes; the icon file is kept with the sources so
that the build needs no image tool."""
import struct
import sys
import zlib

BODY = (0x3A, 0x3F, 0x47)
EDGE = (0x22, 0x25, 0x2A)
LENS = (0x6C, 0xB4, 0xF0)
GLINT = (0xF2, 0xF6, 0xFA)
LIGHT = (0x6B, 0xF5, 0x4A)


def shade(x, y):
    """The colour (r, g, b, a) at (x, y) in 0..1 units, y downwards."""
    def in_round_rect(x0, y0, x1, y1, r):
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r and x0 <= x <= x1 and y0 <= y <= y1

    d_lens = ((x - 0.5) ** 2 + (y - 0.58) ** 2) ** 0.5
    if d_lens <= 0.11 and ((x - 0.45) ** 2 + (y - 0.53) ** 2) ** 0.5 <= 0.045:
        return GLINT + (255,)
    if d_lens <= 0.17:
        return LENS + (255,)
    if d_lens <= 0.24:
        return EDGE + (255,)
    if ((x - 0.8) ** 2 + (y - 0.4) ** 2) ** 0.5 <= 0.05:
        return LIGHT + (255,)
    if in_round_rect(0.06, 0.28, 0.94, 0.88, 0.1) or in_round_rect(0.3, 0.16, 0.58, 0.34, 0.04):
        inner = in_round_rect(0.1, 0.32, 0.9, 0.84, 0.07) or in_round_rect(0.34, 0.2, 0.54, 0.34, 0.02)
        return (BODY if inner else EDGE) + (255,)
    return (0, 0, 0, 0)


def render(size):
    """Rows top to bottom of (r, g, b, a), 4x4 supersampled."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(4):
                for sx in range(4):
                    r, g, b, a = shade((px + (sx + 0.5) / 4) / size, (py + (sy + 0.5) / 4) / size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            a = acc[3]
            row.append((acc[0] // a, acc[1] // a, acc[2] // a, a // 16) if a else (0, 0, 0, 0))
        rows.append(row)
    return rows


def bmp_entry(size):
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    return header + pixels + bytes(mask_row * size)


def png_entry(size):
    rows = render(size)
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main(out):
    sizes = [16, 24, 32, 48, 256]
    images = [png_entry(s) if s >= 256 else bmp_entry(s) for s in sizes]
    head = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    entries = b""
    for s, img in zip(sizes, images):
        entries += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    with open(out, "wb") as f:
        f.write(head + entries + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "resources/lumavix.ico")
