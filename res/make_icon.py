#!/usr/bin/env python3
"""make_icon.py: draws the tool's icon (a clock face with a cut-off run) as a 32x32, 16-colour .ico."""
import math
import struct
import sys

SIZE = 32
# The 16 colours of the palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
    (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
    (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, NAVY, RED, LIME, WHITE = 0, 4, 9, 10, 15


def pixel(x, y):
    """Colour index and opacity of one pixel; y runs downwards."""
    cx, cy = 15.5, 15.5
    dx, dy = x - cx, y - cy
    r = math.hypot(dx, dy)
    if r > 15.5:
        return BLACK, False
    if r > 13.5:
        return NAVY, True
    angle = (math.degrees(math.atan2(dx, -dy)) + 360.0) % 360.0  # 0 at twelve o'clock, clockwise
    # The run: a green sector from twelve to four o'clock; the rest of the cycle is white.
    face = LIME if angle < 120.0 and r < 12.0 else WHITE
    # Hour ticks.
    if r > 11.5 and any(abs(angle - a) < 4.0 for a in range(0, 360, 30)):
        return BLACK, True
    # The hand that ends the run, pointing at four o'clock.
    hand = math.radians(120.0)
    hx, hy = math.sin(hand), -math.cos(hand)
    along = dx * hx + dy * hy
    across = abs(dx * hy - dy * hx)
    if 0.0 <= along <= 11.0 and across < 1.1:
        return RED, True
    if r < 2.0:
        return BLACK, True
    return face, True


def build():
    xor_rows, and_rows = [], []
    for y in range(SIZE - 1, -1, -1):  # bottom-up
        nibbles, mask = [], 0
        for x in range(SIZE):
            colour, opaque = pixel(x, y)
            nibbles.append(colour if opaque else 0)
            if not opaque:
                mask |= 1 << (SIZE - 1 - x)
        xor_rows.append(bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, SIZE, 2)))
        and_rows.append(struct.pack(">I", mask))
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    pixels = b"".join(xor_rows) + b"".join(and_rows)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 4, 0, len(pixels), 0, 0, 16, 0)
    image = header + palette + pixels
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    with open(sys.argv[1] if len(sys.argv) > 1 else "kadron.ico", "wb") as out:
        out.write(build())
