#!/usr/bin/env python3
"""Draws the program's pictures: the icon (128) and the seven 32x32 toolbar
pictures (bitmap 137: Open disk image, Scan, Deep scan, Carve free space, Recover, Find, About). Writes pelmora.ico and
toolbar.bmp next to this file. Standard library only; the output is
committed, so building needs no Python."""
import math
import os
import struct

KEY = (255, 0, 255)  # transparent in the toolbar bitmap


class Canvas:
    def __init__(self, w, h, fill=None):
        self.w, self.h = w, h
        self.px = [[fill] * w for _ in range(h)]

    def put(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y][x] = c

    def rect(self, x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.put(x, y, c)

    def disc(self, cx, cy, r, c, inner=-1.0):
        for y in range(self.h):
            for x in range(self.w):
                d = math.hypot(x + 0.5 - cx, y + 0.5 - cy)
                if inner < d <= r:
                    self.put(x, y, c)

    def line(self, x0, y0, x1, y1, c, width=1.0):
        for y in range(self.h):
            for x in range(self.w):
                px, py = x + 0.5, y + 0.5
                dx, dy = x1 - x0, y1 - y0
                t = max(0.0, min(1.0, ((px - x0) * dx + (py - y0) * dy) / float(dx * dx + dy * dy)))
                if math.hypot(px - (x0 + t * dx), py - (y0 + t * dy)) <= width / 2:
                    self.put(x, y, c)

    def blit(self, other, ox, oy):
        for y in range(other.h):
            for x in range(other.w):
                if other.px[y][x] is not None:
                    self.put(ox + x, oy + y, other.px[y][x])


DISK = (70, 90, 120)
PLATTER = (170, 190, 215)
GLASS = (210, 235, 255)
RIM = (40, 40, 40)
GREEN = (40, 160, 60)
BLUE = (40, 90, 200)
WHITE = (255, 255, 255)
PAPER = (250, 245, 225)
FOLDER = (230, 185, 65)
FOLDER_BACK = (175, 130, 35)


def drive(c, x0=3, y0=14):
    c.rect(x0, y0, x0 + 25, y0 + 13, DISK)
    c.rect(x0 + 2, y0 + 2, x0 + 23, y0 + 8, PLATTER)
    c.rect(x0 + 19, y0 + 10, x0 + 22, y0 + 11, GREEN)


def magnifier(c, cx, cy, r):
    c.disc(cx, cy, r, GLASS)
    c.disc(cx, cy, r, RIM, inner=r - 2)
    a = math.radians(45)
    c.line(cx + r * math.cos(a), cy + r * math.sin(a), cx + (r + 9) * math.cos(a), cy + (r + 9) * math.sin(a), RIM, 3.2)


def picture_open_image():
    c = Canvas(32, 32)
    c.rect(2, 5, 12, 7, FOLDER_BACK)
    c.rect(2, 7, 27, 27, FOLDER_BACK)
    drive(c, 4, 9)
    # The folder's front, open towards the viewer, below the disk's light.
    for y in range(22, 28):
        c.rect(2 + (27 - y) // 2, y, 29 - (5 - (27 - y)) // 2, y, FOLDER)
    c.rect(2, 27, 27, 27, RIM)
    return c


def picture_scan():
    c = Canvas(32, 32)
    drive(c, 2, 15)
    magnifier(c, 19, 11, 7)
    return c


def picture_deep_scan():
    # Two disks, one behind the other, under the glass: the whole disk, not one volume.
    c = Canvas(32, 32)
    drive(c, 5, 11)
    drive(c, 1, 17)
    magnifier(c, 20, 10, 6)
    return c


def picture_carve():
    # A disk with a picture lifted out of its free space: files no record remembers.
    c = Canvas(32, 32)
    drive(c, 1, 17)
    c.rect(14, 3, 29, 15, PAPER)
    c.rect(14, 3, 29, 3, RIM)
    c.rect(14, 15, 29, 15, RIM)
    c.rect(14, 3, 14, 15, RIM)
    c.rect(29, 3, 29, 15, RIM)
    c.disc(19, 7, 1.6, FOLDER)
    c.line(16, 14, 21, 9, GREEN, 1.6)
    c.line(21, 9, 28, 14, GREEN, 1.6)
    c.line(9, 16, 13, 11, RIM, 2.0)
    return c


def picture_recover():
    c = Canvas(32, 32)
    c.rect(5, 4, 22, 27, PAPER)
    for y in (9, 13, 17, 21):
        c.rect(8, y, 19, y, (150, 150, 150))
    c.rect(5, 4, 22, 4, RIM)
    c.rect(5, 27, 22, 27, RIM)
    c.rect(5, 4, 5, 27, RIM)
    c.rect(22, 4, 22, 27, RIM)
    c.line(12, 26, 27, 15, GREEN, 4.0)
    c.line(27, 15, 20, 14, GREEN, 3.5)
    c.line(27, 15, 26, 22, GREEN, 3.5)
    return c


def picture_find():
    c = Canvas(32, 32)
    c.rect(4, 5, 20, 26, PAPER)
    for y in (9, 12, 15, 18, 21):
        c.rect(7, y, 17, y, (150, 150, 150))
    magnifier(c, 19, 17, 7)
    return c


def picture_about():
    c = Canvas(32, 32)
    c.disc(16, 16, 14, BLUE)
    c.disc(16, 16, 14, (20, 50, 140), inner=12.6)
    c.rect(14, 7, 17, 10, WHITE)
    c.rect(14, 13, 17, 24, WHITE)
    c.rect(12, 24, 19, 25, WHITE)
    return c


def picture_icon(size):
    c = Canvas(32, 32)
    drive(c, 2, 15)
    c.line(8, 12, 16, 3, GREEN, 3.5)
    c.line(16, 3, 24, 12, GREEN, 3.5)
    c.rect(14, 4, 17, 17, GREEN)
    if size == 32:
        return c
    small = Canvas(size, size)
    step = 32 // size
    for y in range(size):
        for x in range(size):
            small.px[y][x] = c.px[y * step + step // 2][x * step + step // 2]
    return small


def bmp24(canvas):
    stride = (canvas.w * 3 + 3) & ~3
    rows = b""
    for y in reversed(range(canvas.h)):
        row = b"".join(bytes((b, g, r)) for (r, g, b) in ((p or KEY) for p in canvas.px[y]))
        rows += row + bytes(stride - len(row))
    header = b"BM" + struct.pack("<IHHI", 54 + len(rows), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, canvas.w, canvas.h, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    return header + info + rows


def ico(canvases):
    images = []
    for c in canvases:
        xor = b""
        for y in reversed(range(c.h)):
            xor += b"".join(bytes((p[2], p[1], p[0], 255)) if p else b"\0\0\0\0" for p in c.px[y])
        mask_stride = ((c.w + 31) // 32) * 4
        mask = b""
        for y in reversed(range(c.h)):
            row = bytearray(mask_stride)
            for x in range(c.w):
                if c.px[y][x] is None:
                    row[x // 8] |= 0x80 >> (x % 8)
            mask += bytes(row)
        info = struct.pack("<IiiHHIIiiII", 40, c.w, c.h * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
        images.append((c.w, info + xor + mask))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for w, data in images:
        out += struct.pack("<BBBBHHII", w, w, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(d for _, d in images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    pictures = (picture_open_image(), picture_scan(), picture_deep_scan(), picture_carve(), picture_recover(), picture_find(), picture_about())
    strip = Canvas(32 * len(pictures), 32)
    for i, picture in enumerate(pictures):
        strip.blit(picture, 32 * i, 0)
    with open(os.path.join(here, "toolbar.bmp"), "wb") as f:
        f.write(bmp24(strip))
    with open(os.path.join(here, "pelmora.ico"), "wb") as f:
        f.write(ico([picture_icon(32), picture_icon(16)]))


if __name__ == "__main__":
    main()
