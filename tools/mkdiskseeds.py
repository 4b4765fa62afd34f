#!/usr/bin/env python3
"""Remake the disk-image fuzzers' seeds in tests/fuzz/corpus/{vhd,vhdx,ewf,pieces}/.

  mkdiskseeds.py [--out DIR]

A small MBR disk (mkdisk.py, with text and random sectors written into its
partition) is converted by the real tools: qemu-img (VHD fixed and dynamic,
VHDX fixed and dynamic), ewfacquire (E01 stored, fast, best; one set of two
segments) and cut into numbered pieces. VHD and VHDX seeds are kept sparse,
as the fuzzers read them (EWF segments too): a u64 size in bytes, then
(u32 sector, u16 length, bytes) for every sector that is not all zeros.
"""
import argparse
import os
import random
import struct
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SECTOR = 512


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)


def write(out, target, name, data):
    d = os.path.join(out, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def sparse(path):
    data = open(path, "rb").read()
    seed = bytearray(struct.pack("<Q", len(data)))
    for sector in range(0, (len(data) + SECTOR - 1) // SECTOR):
        piece = data[sector * SECTOR:(sector + 1) * SECTOR].rstrip(b"\0")
        if piece:
            seed += struct.pack("<IH", sector, len(piece)) + piece
    return bytes(seed)


def segments(paths, open_second=False):
    datas = [sparse(p) for p in paths]
    head = bytes([(len(datas) - 1) | (0x80 if open_second else 0)])
    for d in datas[:-1]:
        head += struct.pack("<I", len(d))
    return head + b"".join(datas)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", default=os.path.join(ROOT, "tests", "fuzz", "corpus"))
    args = parser.parse_args()
    rng = random.Random(7)
    with tempfile.TemporaryDirectory() as tmp:
        part = os.path.join(tmp, "part.img")
        raw = os.path.join(tmp, "disk.img")
        run("python3", os.path.join(HERE, "mkdisk.py"), raw, "type=0x07:2")
        with open(raw, "r+b") as f:
            f.seek(1 << 20)
            f.write(b"NTFS seed text, sector after sector.\n" * 60)
            f.seek((1 << 20) + 7 * 4096)
            f.write(bytes(rng.getrandbits(8) for _ in range(1536)))
            f.seek((3 << 20) - 512)
            f.write(b"last sector\n" * 8)

        for name, options in [("fixed", "subformat=fixed,force_size=on"), ("dynamic", "subformat=dynamic,force_size=on")]:
            out = os.path.join(tmp, name + ".vhd")
            run("qemu-img", "convert", "-f", "raw", "-O", "vpc", "-o", options, raw, out)
            write(args.out, "vhd", name, sparse(out))
        for name, options in [("fixed", "subformat=fixed"), ("dynamic", "subformat=dynamic,block_size=1M")]:
            out = os.path.join(tmp, name + ".vhdx")
            run("qemu-img", "convert", "-f", "raw", "-O", "vhdx", "-o", options, raw, out)
            write(args.out, "vhdx", name, sparse(out))

        # E01 of 68 KiB of the disk (a last chunk in part), and a set of two
        # segments of stored chunks (1 MiB each at least): zeros, so that
        # they stay small as sparse files.
        for level in ("none", "fast", "best"):
            target = os.path.join(tmp, level)
            run("ewfacquire", "-u", "-q", "-t", target, "-f", "encase6", "-c", level, "-B", str(68 * 1024),
                "-o", str(1 << 20), raw)
            write(args.out, "ewf", level, segments([target + ".E01"]))
        target = os.path.join(tmp, "two")
        run("ewfacquire", "-u", "-q", "-t", target, "-f", "encase6", "-c", "none", "-S", "1MiB", "-B", str(1100 * 1024),
            "-o", str(1 << 20), raw)
        write(args.out, "ewf", "two-segments", segments([target + ".E01", target + ".E02"], open_second=True))

        head = open(raw, "rb").read(4096)
        cuts = [1000, 0, 2000]
        seed = bytes([len(cuts), 2]) + b"".join(struct.pack("<H", c) for c in cuts) + head
        write(args.out, "pieces", "four", seed)
        write(args.out, "pieces", "vhd-in-pieces",
              bytes([1, 0]) + struct.pack("<H", 300) + open(os.path.join(tmp, "fixed.vhd"), "rb").read()[-4096:])


if __name__ == "__main__":
    main()
