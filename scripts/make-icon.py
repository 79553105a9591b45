#!/usr/bin/env python3
"""Draws the updater's icon (a 512x512 RGBA PNG) with the standard library only.

Usage: scripts/make-icon.py [OUTPUT]   (default: images/png/512/Tarvino-1.png)
"""
import math
import struct
import sys
import zlib
from pathlib import Path

SIZE = 512
SAMPLES = 4  # per axis, for smooth edges


def rounded_square(x, y, margin=24, radius=96):
    lo, hi = margin + radius, SIZE - margin - radius
    dx = max(lo - x, 0, x - hi)
    dy = max(lo - y, 0, y - hi)
    return dx * dx + dy * dy <= radius * radius and margin <= x <= SIZE - margin and margin <= y <= SIZE - margin


def arrow(x, y):
    # A downward arrow: shaft and head.
    if 214 <= x <= 298 and 110 <= y <= 270:
        return True
    if 270 <= y <= 380:
        half = (380 - y) * 1.05
        return abs(x - 256) <= half
    return False


def tray(x, y):
    if 128 <= x <= 384 and 396 <= y <= 428:
        return True
    return (128 <= x <= 160 or 352 <= x <= 384) and 340 <= y <= 428


def pixel(px, py):
    r = g = b = a = 0.0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = px + (sx + 0.5) / SAMPLES
            y = py + (sy + 0.5) / SAMPLES
            if not rounded_square(x, y):
                continue
            if arrow(x, y) or tray(x, y):
                cr, cg, cb = 255, 255, 255
            else:
                t = (x + y) / (2 * SIZE)
                cr = 20 + 30 * t
                cg = 120 + 60 * (1 - t)
                cb = 200 + 40 * math.sin(math.pi * t)
            r, g, b, a = r + cr, g + cg, b + cb, a + 1
    n = SAMPLES * SAMPLES
    if a == 0:
        return b"\0\0\0\0"
    return bytes((round(r / a), round(g / a), round(b / a), round(255 * a / n)))


def png(width, height, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\0" + row for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def main():
    out = Path(sys.argv[1] if len(sys.argv) > 1 else "images/png/512/Tarvino-1.png")
    rows = [b"".join(pixel(x, y) for x in range(SIZE)) for y in range(SIZE)]
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_bytes(png(SIZE, SIZE, rows))
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
