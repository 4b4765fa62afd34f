#!/usr/bin/env python3
"""The NTFS volume the window's file-list, Recover, Find and preview scenarios use.

    windowvolume.py OUT.img --manifest OUT.tsv [--serial 0xHEX16]

Built like tools/mkvolume.py (whose functions it uses): mkntfs, then files
written and deleted through an ntfs-3g mount. The deleted files are listed in
record order, which is the order they are created in here, so the rows are:

    0 Apple.txt              resident
    1 banana.txt
    2 Needle one.txt         Find "nEEDLE" matches rows 2 and 5 only
    3 CAFÉ.txt               "café" must not match: only A-Z are folded
    4 "haystack  "           trailing blanks: "stack " does not match
    5 big NEEDLE.bin         3 MiB, grown in turns with a kept file: fragmented
    6 readonly.txt           read-only
    7 café.txt
    8 Lost/Deep/inside.txt   in deleted folders
    9 Ünïcödé 日本 ☃.txt
    then the pictures (PICTURES order), two that do not decode, sunset.jpg,
    slow.bin             6 MiB in one run: a recovery is held at its cluster
                         at 2 MiB (gatedisk.py) to catch it in mid-file
    notes.png            a picture's name over bytes that are no picture

Pictures are made with ImageMagick (the TGAs here): four coloured quadrants (QUADRANTS, top
left, top right, bottom left, bottom right), so a flipped or mirrored drawing
shows. Their sizes and colours are in PICTURES for the tests.
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "tools"))
import mkvolume  # noqa: E402

QUADRANTS = ((255, 0, 0), (0, 160, 0), (0, 0, 255), (255, 255, 0))
SMALL = (120, 80)
LARGE = (1600, 1000)

# name -> (ImageMagick output recipe, size, lossy)
PICTURES = [
    ("photo.jpg", "jpg:", SMALL, True),
    ("shot.png", "png:", SMALL, False),
    ("moving.gif", "gif:", SMALL, False),
    ("scan.tif", "tiff:", SMALL, False),
    ("icon.ico", "ico:", (64, 64), False),
    ("drawing.bmp", "bmp3:", SMALL, False),
    ("texture.tga", "tga-bottom-up", SMALL, False),
    ("texture top.tga", "tga-top-down", SMALL, False),
    ("poster.png", "png:", LARGE, False),
]
JPEG_AS_DAT = "photo copy.dat"
BROKEN = "broken.png"
SUNSET = "sunset.jpg"  # a picture for the documentation
FIND_TEXT = "nEEDLE"
FRAGMENTED = "big NEEDLE.bin"
SLOW = "slow.bin"
SLOW_SIZE = 6 * 1024 * 1024
NOT_PICTURE = "notes.png"


def quadrants(size):
    w, h = size
    hw, hh = w // 2, h // 2
    draws = []
    for (x0, y0, x1, y1), (r, g, b) in zip(((0, 0, hw - 1, hh - 1), (hw, 0, w - 1, hh - 1),
                                            (0, hh, hw - 1, h - 1), (hw, hh, w - 1, h - 1)), QUADRANTS):
        draws += ["-fill", "rgb(%d,%d,%d)" % (r, g, b), "-draw", "rectangle %d,%d %d,%d" % (x0, y0, x1, y1)]
    return ["-size", "%dx%d" % size, "xc:black", *draws]


def tga(size, top_down):
    """24-bit uncompressed TGA written here: ImageMagick 6.9.11 stores the top
    row first while its header says the bottom row comes first."""
    w, h = size
    rows = []
    for y in range(h):
        row = bytearray()
        for x in range(w):
            r, g, b = QUADRANTS[(2 if y >= h // 2 else 0) + (1 if x >= w // 2 else 0)]
            row += bytes((b, g, r))
        rows.append(bytes(row))
    if not top_down:
        rows.reverse()
    header = struct.pack("<BBBHHBHHHHBB", 0, 0, 2, 0, 0, 0, 0, 0, w, h, 24, 0x20 if top_down else 0)
    return header + b"".join(rows)


def picture(recipe, size, work):
    if recipe.startswith("tga-"):
        return tga(size, recipe == "tga-top-down")
    out = os.path.join(work, "picture")
    cmd = ["convert", *quadrants(size)]
    if recipe == "gif:":
        # Animated: the first frame is the quadrants, the second all black.
        cmd = ["convert", "-delay", "50", "(", *quadrants(size), ")",
               "(", "-size", "%dx%d" % size, "xc:black", ")", "-loop", "0"]
    elif recipe == "jpg:":
        cmd += ["-quality", "95"]
    elif recipe == "tiff:":
        cmd += ["-compress", "None"]
    subprocess.run(cmd + [recipe + out], check=True)
    with open(out, "rb") as f:
        return f.read()


def plan(builder, work):
    b = builder
    b.file("Apple.txt", 300)
    b.file("banana.txt", 2000)
    b.file("Needle one.txt", 900)
    b.file("CAF\u00c9.txt", 500)
    b.file("haystack  ", 700)
    big = b.file(FRAGMENTED, 3 * 1024 * 1024 + 5)
    b.file("readonly.txt", 400, attrs=mkvolume.FILE_ATTRIBUTE_READONLY)
    b.file("caf\u00e9.txt", 600)
    b.dir("Lost", state="deleted")
    b.dir("Lost/Deep", state="deleted")
    b.file("Lost/Deep/inside.txt", 5000)
    b.file("\u00dcn\u00efc\u00f6d\u00e9 \u65e5\u672c \u2603.txt", 1234)
    jpeg = None
    for name, recipe, size, _ in PICTURES:
        data = picture(recipe, size, work)
        jpeg = jpeg or data
        b.file(name, len(data), data=data)
    b.file(JPEG_AS_DAT, len(jpeg), data=jpeg)
    png = b.by_path["shot.png"].data
    broken = png[:40] + bytes(len(png) - 40)  # the header survives, the pixels are gone
    b.file(BROKEN, len(broken), data=broken)
    subprocess.run(["convert", "-size", "400x250", "gradient:#fcb045-#833ab4", "-fill", "#fff3b0",
                    "-draw", "circle 200,170 200,120", "-fill", "#1d5c3a",
                    "-draw", "polygon 0,250 0,190 90,160 170,200 260,150 400,195 400,250",
                    "-quality", "90", "jpg:" + os.path.join(work, "sunset")], check=True)
    with open(os.path.join(work, "sunset"), "rb") as f:
        data = f.read()
    b.file(SUNSET, len(data), data=data)
    b.file(SLOW, SLOW_SIZE)
    b.file(NOT_PICTURE, 3000, data=b"Not a picture.\n" * 200)
    return [big]


def grow_between_fillers(mnt, frag, chunk):
    """Grows each file in 128 KiB steps with a small kept file written after
    each step, so the next step cannot continue the same run. (Growing two
    large files in turns gave one run each: ntfs-3g reserves ahead.)"""
    os.mkdir(os.path.join(mnt, "fillers"))
    for e in frag:
        step = 128 * 1024
        with open(os.path.join(mnt, e.path), "ab") as f:
            for n, at in enumerate(range(0, e.size, step)):
                f.write(e.data[at:at + step])
                f.flush()
                os.fsync(f.fileno())
                with open(os.path.join(mnt, "fillers", "%s.%d" % (e.record, n)), "wb") as filler:
                    filler.write(bytes(4096))
                    filler.flush()
                    os.fsync(filler.fileno())


def build(out, manifest, serial):
    b = mkvolume.Builder(1, 4096)
    work = tempfile.mkdtemp(prefix="windowvolume.")
    mnt = os.path.join(work, "mnt")
    os.mkdir(mnt)
    try:
        frag = plan(b, work)
        if os.path.exists(out):
            os.unlink(out)
        with open(out, "wb") as f:
            f.truncate(64 * 1024 * 1024)
        mkvolume.run(["mkntfs", "-F", "-Q", "-c", "4096", "-L", "PELMORA", out])
        proc = mkvolume.mount(out, mnt)
        try:
            mkvolume.grow_in_turns = grow_between_fillers
            mkvolume.populate(mnt, b, frag)
            mkvolume.delete_and_finish(mnt, b)
        finally:
            mkvolume.umount(mnt, proc)
    finally:
        subprocess.run(["rm", "-rf", work])
    mkvolume.set_serial_bytes(out, serial)
    if mkvolume.inspect(out, b, want_runs=True):
        raise RuntimeError("records differ from fls")
    mkvolume.write_manifest(manifest, b)
    big = b.by_path[FRAGMENTED]
    if big.fragments < 2:
        raise RuntimeError("%s is not fragmented (%d runs)" % (FRAGMENTED, big.fragments))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out")
    parser.add_argument("--manifest", required=True)
    parser.add_argument("--serial", type=lambda s: int(s, 0), default=0x77778888AAAA9999)
    args = parser.parse_args()
    build(os.path.abspath(args.out), args.manifest, args.serial)
    return 0


if __name__ == "__main__":
    sys.exit(main())
