#!/usr/bin/env python3
"""Remake the fuzzers' seed corpora in tests/fuzz/corpus/<target>/.

  mkfuzzseeds.py [--out DIR]        (root: real volumes need an ntfs-3g mount)

Seeds come from real volumes made by mkvolume.py (the "tiny" set: 512-byte
clusters, its $MFT within the first 128 KiB), disks made by mkdisk.py,
small BMP and TGA files of every kind the decoders read, and XPRESS and LZX
chunks and system-compressed streams made by libwim's compressors. They are
kept small: the whole corpus is a few hundred KiB.
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SECTOR = 512


def write(out, target, name, data):
    d = os.path.join(out, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# NTFS bytes

def fixed_record(raw):
    """A FILE record with its update sequence undone (the bytes as parsed)."""
    rec = bytearray(raw)
    usa_offset, usa_count = struct.unpack_from("<HH", rec, 4)
    for i in range(1, usa_count):
        end = i * SECTOR - 2
        if end + 2 <= len(rec) and usa_offset + 2 * i + 2 <= len(rec):
            rec[end:end + 2] = rec[usa_offset + 2 * i:usa_offset + 2 * i + 2]
    return bytes(rec)


def attributes(rec):
    at = struct.unpack_from("<H", rec, 20)[0]
    while at + 8 <= len(rec):
        kind, length = struct.unpack_from("<II", rec, at)
        if kind == 0xFFFFFFFF or length == 0 or at + length > len(rec):
            return
        yield kind, rec[at:at + length]
        at += length


def runs_end(run_list, cluster):
    """Byte just past the highest cluster the runs map."""
    at, lcn, end = 0, 0, 0
    while at < len(run_list) and run_list[at]:
        lb, ob = run_list[at] & 15, run_list[at] >> 4
        length = int.from_bytes(run_list[at + 1:at + 1 + lb], "little")
        if ob:
            lcn += int.from_bytes(run_list[at + 1 + lb:at + 1 + lb + ob], "little", signed=True)
            end = max(end, (lcn + length) * cluster)
        at += 1 + lb + ob
    return end


def volume_seeds(img, out, label):
    data = open(img, "rb").read()
    cluster = struct.unpack_from("<H", data, 11)[0] * data[13]
    mft = struct.unpack_from("<q", data, 48)[0] * cluster
    record0 = fixed_record(data[mft:mft + 1024])
    end = mft + 1024
    for kind, attr in attributes(record0):
        if kind == 0x80 and attr[8]:
            end = runs_end(attr[struct.unpack_from("<H", attr, 32)[0]:], cluster)
    # The volume up to the end of its $MFT: every record the scan reads.
    write(out, "volume", label, data[:end])
    records = []
    for index in range(end // 1024 - mft // 1024):
        raw = data[mft + index * 1024:mft + (index + 1) * 1024]
        if raw[:4] == b"FILE" and (index in (0, 5) or index >= 64):
            records.append((index, raw))
    for index, raw in records:
        write(out, "record", "%s-%d" % (label, index), raw)
        for kind, attr in attributes(fixed_record(raw)):
            if attr[8]:  # non-resident: size header, cluster shift 0 (512), the runs
                real, alloc = struct.unpack_from("<qq", attr, 48)[0], struct.unpack_from("<q", attr, 40)[0]
                runs = attr[struct.unpack_from("<H", attr, 32)[0]:]
                write(out, "runlist", "%s-%d-%x" % (label, index, kind),
                      struct.pack("<QQB", real, alloc, 0) + runs)


def deep_seeds(img, tmp, out):
    """Disks a deep scan reads: the tiny volume up to its root's index block
    with its boot sector zeroed (record 0 places it), and quick-formatted with
    1024-byte clusters (what the new $MFT does not hold is placed by where its
    folders' index runs land); the last byte asks for the known volume."""
    data = bytearray(open(img, "rb").read())
    end = max(p for p in range(0, len(data), SECTOR) if data[p:p + 4] == b"INDX") + 4096
    zeroed = bytearray(data[:end])
    zeroed[:SECTOR] = bytes(SECTOR)
    write(out, "deep", "tiny-boot-zeroed", bytes(zeroed))
    formatted = os.path.join(tmp, "formatted.img")
    shutil.copyfile(img, formatted)
    subprocess.run(["mkntfs", "-f", "-F", "-q", "-c", "1024", formatted], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    quick = bytearray(open(formatted, "rb").read()[:end])
    quick[-1] |= 1
    write(out, "deep", "tiny-quick-format-1024", bytes(quick))


# Disks: sparse format, 32-bit sector number + 512 bytes, for the sectors
# the walks read.

def chain_sectors(disk):
    def sector(n):
        disk.seek(n * SECTOR)
        return disk.read(SECTOR).ljust(SECTOR, b"\0")

    wanted = set(range(0, 34))
    mbr = sector(0)
    ext_base = None
    for i in range(4):
        ptype, start = mbr[446 + 16 * i + 4], struct.unpack_from("<I", mbr, 446 + 16 * i + 8)[0]
        if ptype in (0x05, 0x0F):
            ext_base = start
        elif ptype:
            wanted.add(start)
    ebr, seen = ext_base, set()
    while ebr is not None and ebr not in seen and len(seen) < 50:
        seen.add(ebr)
        wanted.add(ebr)
        rec = sector(ebr)
        nxt = None
        for i in range(4):
            ptype, start = rec[446 + 16 * i + 4], struct.unpack_from("<I", rec, 446 + 16 * i + 8)[0]
            if ptype in (0x05, 0x0F):
                nxt = ext_base + start
            elif ptype:
                wanted.add(ebr + start)
        ebr = nxt
    # GPT entries: 128 bytes each from LBA 2, first LBA at byte 32.
    if mbr[446 + 4] == 0xEE:
        for i in range(128):
            entry = sector(2 + i // 4)[(i % 4) * 128:(i % 4 + 1) * 128]
            if any(entry[:16]):
                wanted.add(struct.unpack_from("<Q", entry, 32)[0])
    blob = b""
    for n in sorted(wanted):
        s = sector(n)
        if any(s):
            blob += struct.pack("<I", n) + s
    return blob


def disk_seeds(vol, tmp, out):
    layouts = {
        "mbr-extended": ["ntfs:" + vol, "type=0x0c:1", "extended",
                         "--logical", "ntfs:" + vol, "--logical", "type=0x83:1", "--logical", "type=0x07:1"],
        "ebr-loop": ["type=0x07:1", "extended", "--logical", "type=0x07:1", "--logical", "type=0x06:1",
                     "--ebr-loop"],
        "gpt": ["--gpt", "ntfs:" + vol, "type=0FC63DAF-8483-4772-8E79-3D69D8477DE4:1"],
    }
    for name, args in layouts.items():
        img = os.path.join(tmp, name + ".img")
        subprocess.run([sys.executable, os.path.join(HERE, "mkdisk.py"), img] + args,
                       check=True, stdout=subprocess.DEVNULL)
        with open(img, "rb") as disk:
            write(out, "partitions", name, chain_sectors(disk))


# Images

def bmp(width, height, bits, palette=b"", pixels=b"", compression=0, top_down=False, masks=b""):
    info = struct.pack("<IiiHHIIiiII", 40, width, -height if top_down else height, 1, bits,
                       compression, len(pixels), 2835, 2835, len(palette) // 4, 0)
    offset = 14 + len(info) + len(masks) + len(palette)
    return b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset) + info + masks + palette + pixels


def rows(width, height, bits):
    stride = (width * bits + 31) // 32 * 4
    return bytes((x * 37 + y * 11) & 0xFF for y in range(height) for x in range(stride))


def tga(kind, width, height, bits, body, palette=b"", descriptor=0):
    cmap = struct.pack("<HHB", 0, len(palette) // 3, 24) if palette else bytes(5)
    return (struct.pack("<BBB", 0, 1 if palette else 0, kind) + cmap +
            struct.pack("<HHHHBB", 0, 0, width, height, bits, descriptor) + palette + body)


def image_seeds(out):
    gray = b"".join(bytes((i, i, i, 0)) for i in range(256))
    write(out, "image", "bmp24", bmp(7, 5, 24, pixels=rows(7, 5, 24)))
    write(out, "image", "bmp32-topdown", bmp(4, 3, 32, pixels=rows(4, 3, 32), top_down=True))
    write(out, "image", "bmp8", bmp(6, 4, 8, palette=gray, pixels=rows(6, 4, 8)))
    write(out, "image", "bmp4", bmp(9, 3, 4, palette=gray[:64], pixels=rows(9, 3, 4)))
    write(out, "image", "bmp1", bmp(17, 2, 1, palette=gray[:8], pixels=rows(17, 2, 1)))
    write(out, "image", "bmp16", bmp(5, 5, 16, pixels=rows(5, 5, 16)))
    write(out, "image", "bmp16-bitfields",
          bmp(3, 2, 16, pixels=rows(3, 2, 16), compression=3, masks=struct.pack("<III", 0xF800, 0x7E0, 0x1F)))
    rle8 = bytes([3, 1, 0, 3, 7, 8, 9, 0, 2, 1, 1, 0, 0, 4, 2, 0, 1])
    write(out, "image", "bmp-rle8", bmp(8, 4, 8, palette=gray, pixels=rle8, compression=1))
    rle4 = bytes([4, 0x12, 0, 3, 0x34, 0x50, 0, 0, 2, 0x77, 0, 1])
    write(out, "image", "bmp-rle4", bmp(8, 2, 4, palette=gray[:64], pixels=rle4, compression=2))
    write(out, "image", "toolbar.bmp", open(os.path.join(ROOT, "src/ui/res/toolbar.bmp"), "rb").read())
    body24 = bytes((i * 13) & 0xFF for i in range(4 * 3 * 3))
    write(out, "image", "tga2-24", tga(2, 4, 3, 24, body24))
    write(out, "image", "tga2-32-top", tga(2, 2, 2, 32, bytes(range(16)), descriptor=0x28))
    write(out, "image", "tga2-16", tga(2, 3, 2, 16, bytes(range(12))))
    write(out, "image", "tga3-gray", tga(3, 4, 2, 8, bytes(range(8))))
    palette = bytes((i * 40) & 0xFF for i in range(3 * 4))
    write(out, "image", "tga1-palette", tga(1, 3, 3, 8, bytes([0, 1, 2, 3, 2, 1, 0, 0, 3]), palette=palette))
    rle = bytes([0x82, 10, 20, 30, 0x01, 1, 2, 3, 4, 5, 6, 0x83, 9, 9, 9])
    write(out, "image", "tga10-rle", tga(10, 3, 3, 24, rle))
    write(out, "image", "tga11-rle-gray", tga(11, 4, 2, 8, bytes([0x83, 50, 0x03, 1, 2, 3, 4])))
    write(out, "image", "tga9-rle-palette",
          tga(9, 2, 2, 8, bytes([0x81, 1, 0x01, 2, 3]), palette=palette))


def path_seeds(out):
    def utf16(path, name):
        return path.encode("utf-16-le") + b"\xff\xff" + name.encode("utf-16-le")

    write(out, "recoverypath", "plain", utf16("C:\\Docs\\Old\\", "minutes.txt"))
    write(out, "recoverypath", "unknown", utf16("?\\..\\.\\a:b\\", "CON.txt"))
    write(out, "recoverypath", "disk-text", utf16("Disk 0 NTFS 1\\\u65e5\u672c\\ spaced. \\", "r\u00e9sum\u00e9 ."))
    write(out, "recoverypath", "long", utf16("D:\\" + "deep\\" * 40, "n" * 300 + ".txt"))
    write(out, "recoverypath", "reserved", utf16("E:\\lpt1\\com\u00b9.log\\nul \\", "aux"))


def wof_seeds(out):
    """System-compressed chunks and streams from libwim's compressors, laid
    out as tests/fuzz/FuzzWof.h reads them: a chunk (0, size - 1 in 16 bits,
    the chunk) or a file (1 | chunk choice << 1, size in 24 bits, the
    stream)."""
    import random
    import wofchunks as w
    rng = random.Random(7)
    words = (b"cluster ", b"record ", b"volume ", b"deleted ", b"the ", b"chunk ", b"\n")

    def text(n):
        return b"".join(rng.choice(words) for _ in range(n // 3))[:n]

    def calls(n):
        b = bytearray(text(n))
        for at in range(0, n - 5, 11):
            b[at:at + 5] = b"\xe8" + struct.pack("<i", rng.randrange(-at - 8, 4096))
        return bytes(b)

    for target, algorithms in (("xpress", (w.XPRESS4K, w.XPRESS8K, w.XPRESS16K)), ("lzx", (w.LZX,))):
        for choice, algorithm in enumerate(algorithms):
            chunk = w.CHUNK[algorithm]
            for name, data in (("text", text(chunk)), ("calls", calls(chunk)), ("zeros", bytes(chunk))):
                write(out, target, "chunk-%s-%d" % (name, chunk),
                      struct.pack("<BH", 0, chunk - 1) + w.compress(algorithm, data))
            data = text(chunk) + rng.randbytes(min(chunk, 8192)) + text(chunk // 3)
            write(out, target, "file-%d" % chunk,
                  bytes([1 | choice << 1]) + struct.pack("<I", len(data))[:3] + w.stream(algorithm, data)[0])
    # An uncompressed LZX block, which libwim never writes: type 3, a 16-bit
    # size, padding to the word, R0-R2, the bytes.
    raw = text(100)
    header = 3 << 29 | len(raw) << 12
    write(out, "lzx", "chunk-uncompressed", struct.pack("<BHHH", 0, len(raw) - 1, header >> 16, header & 0xFFFF) +
          struct.pack("<III", 1, 1, 1) + raw)


# Crafted volumes for the volume target: inputs that once cost far more than
# their size (every folder's path walked to the root again; an attribute
# list's records looked up in a list of those already read).

def crafted_record(number, flags, attributes, size=SECTOR, base=0):
    """A FILE record of `size` bytes holding `attributes`, update sequence 1 applied."""
    rec = bytearray(size)
    usa, count = 0x30, size // SECTOR + 1
    first = (usa + 2 * count + 7) & ~7
    rec[0:4] = b"FILE"
    struct.pack_into("<HHQHHHHIIQHHI", rec, 4, usa, count, 0, 1, 1, first, flags, 0, size, base, 0, 0, number)
    at = first
    for attribute in attributes:
        rec[at:at + len(attribute)] = attribute
        at += len(attribute)
    rec[at:at + 4] = b"\xff\xff\xff\xff"
    struct.pack_into("<I", rec, 0x18, at + 8)
    struct.pack_into("<H", rec, usa, 1)
    for i in range(1, count):
        rec[usa + 2 * i:usa + 2 * i + 2] = rec[i * SECTOR - 2:i * SECTOR]
        rec[i * SECTOR - 2:i * SECTOR] = b"\x01\x00"
    return bytes(rec)


def resident_attribute(kind, value):
    length = (24 + len(value) + 7) & ~7
    return struct.pack("<IIBBHHHIH2x", kind, length, 0, 0, 0, 0, 0, len(value), 24) + value + bytes(length - 24 - len(value))


def nonresident_attribute(kind, runs, size, clusters):
    length = (0x40 + len(runs) + 7) & ~7
    return (struct.pack("<IIBBHHHQQHB5xQQQ", kind, length, 1, 0, 0, 0, 0, 0, clusters - 1, 0x40, 0,
                        clusters * SECTOR, size, size) + runs + bytes(length - 0x40 - len(runs)))


def name_attribute(parent, name):
    value = struct.pack("<Q56xBB", parent | 1 << 48, len(name), 1) + name.encode("utf-16-le")
    return resident_attribute(0x30, value)


def run(clusters, lcn):
    return bytes((0x42,)) + struct.pack("<H", clusters) + struct.pack("<I", lcn)


def crafted_volume(records, tail=b""):
    """A volume of 512-byte sectors, clusters and records: the boot sector,
    the $MFT from cluster 2 (record 0 made here, then `records`, numbered
    from 1), then `tail` in the clusters after it."""
    count = len(records) + 1
    boot = bytearray(SECTOR)
    boot[3:11] = b"NTFS    "
    total = 2 + count + (len(tail) + SECTOR - 1) // SECTOR
    struct.pack_into("<HB", boot, 0x0B, SECTOR, 1)
    struct.pack_into("<QQ", boot, 0x28, total, 2)
    boot[0x40] = 0xF7  # 2^9: 512-byte records
    boot[510:512] = b"\x55\xaa"
    mft = crafted_record(0, 1, [name_attribute(5, "$MFT"),
                                nonresident_attribute(0x80, run(count, 2) + b"\0", count * SECTOR, count)])
    return bytes(boot) + bytes(SECTOR) + mft + b"".join(records) + tail


def crafted_seeds(out):
    def filler(number):
        return crafted_record(number, 1, [])
    system = [filler(n) for n in range(1, 5)] + [crafted_record(5, 3, [name_attribute(5, ".")])]
    system += [filler(n) for n in range(6, 16)]
    # A chain of folders as deep as the target's inputs allow, a deleted
    # file in each.
    chain, parent = [], 5
    while 2 + 16 + len(chain) + 2 < 256 * 1024 // SECTOR - 2:
        folder = 16 + len(chain)
        chain.append(crafted_record(folder, 3, [name_attribute(parent, "d")]))
        chain.append(crafted_record(folder + 1, 0, [name_attribute(folder, "f"), resident_attribute(0x80, b"x")]))
        parent = folder
    write(out, "volume", "crafted-deep-chain", crafted_volume(system + chain))
    # A deleted file whose attribute list, in clusters, names thousands of
    # records, one of them (its extension record) over and over.
    entries = b""
    for i in range(7000):
        record = 17 if i % 2 else 1000 + i
        entries += struct.pack("<IHBBQQH6x", 0x80, 32, 0, 26, 0 if i == 0 else 1, record | 1 << 48, 0)
    records = system + [None, crafted_record(17, 0, [nonresident_attribute(0x80, run(1, 3) + b"\0", 0, 2)
                                                     [:0x10] + struct.pack("<QQ", 1, 1) +
                                                     nonresident_attribute(0x80, run(1, 3) + b"\0", 0, 2)[0x20:]],
                                             base=16 | 1 << 48)]
    list_start = 2 + 18  # the list's first cluster, after the $MFT
    clusters = (len(entries) + SECTOR - 1) // SECTOR
    records[15] = crafted_record(16, 0, [name_attribute(5, "long.bin"),
                                         nonresident_attribute(0x20, run(clusters, list_start) + b"\0",
                                                               len(entries), clusters),
                                         nonresident_attribute(0x80, run(1, 2) + b"\0", 2 * SECTOR, 2)])
    write(out, "volume", "crafted-long-list", crafted_volume(records, entries))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", default=os.path.join(ROOT, "tests/fuzz/corpus"))
    a = ap.parse_args()
    tmp = tempfile.mkdtemp(prefix="mkfuzzseeds.")
    try:
        # Inputs kept from findings ("regression-*") stay; the rest is remade.
        kept = {}
        if os.path.isdir(a.out):
            for d, _, files in os.walk(a.out):
                for f in files:
                    if f.startswith("regression-"):
                        with open(os.path.join(d, f), "rb") as blob:
                            kept[os.path.join(os.path.relpath(d, a.out), f)] = blob.read()
            shutil.rmtree(a.out)
        for path, data in kept.items():
            write(a.out, os.path.dirname(path), os.path.basename(path), data)
        vol = os.path.join(tmp, "tiny.img")
        subprocess.run([sys.executable, os.path.join(HERE, "mkvolume.py"), "ntfs", vol,
                        "--manifest", os.path.join(tmp, "tiny.tsv"), "--set", "tiny",
                        "--size-mib", "2", "--cluster", "512"], check=True)
        volume_seeds(vol, a.out, "tiny")
        disk_seeds(vol, tmp, a.out)
        deep_seeds(vol, tmp, a.out)
        image_seeds(a.out)
        path_seeds(a.out)
        wof_seeds(a.out)
        crafted_seeds(a.out)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    total = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(a.out) for f in fs)
    print("mkfuzzseeds: %d KiB in %s" % (total // 1024, a.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
