#!/usr/bin/env python3
"""Wrap volume images in a partitioned (MBR or GPT) sparse disk image.

  mkdisk.py OUT.img ENTRY... [--logical ENTRY]... [--gpt] [--ebr-loop]
            [--sector-size 512|4096]

ENTRY:
  ntfs:PATH | fat32:PATH | fat16:PATH | fat12:PATH   volume contents from PATH
  type=0xNN:PATH | type=0xNN:SIZE_MIB                 raw partition of type NN
  type=GUID:PATH | type=GUID:SIZE_MIB                 (GPT only)
  empty                                               all-zero table slot
  extended                                            type 0x05 holding --logical drives

Primary entries fill the table slots in the order given (at most 4 for MBR,
128 for GPT).  Partitions start on 1 MiB boundaries.  Every LBA and count
(MBR, EBR links, GPT header and entries) is in logical sectors of
--sector-size bytes (default 512; 4096 puts the GPT header at byte 4096).
Prints one line per partition: index start_sector sector_count type
(MBR: slots 1-4, logical drives 5, 6, ...; GPT: entry slot 1-128).
"""
import argparse
import os
import struct
import sys
import uuid
import zlib

# Logical sector size and the 1 MiB partition alignment in those sectors;
# main() sets both from --sector-size before any entry is parsed.
SECTOR = 512
ALIGN = 2048
GPT_TABLE_BYTES = 128 * 128
TYPES = {"ntfs": 0x07, "fat32": 0x0C, "fat16": 0x06, "fat12": 0x01}
BASIC_DATA = "EBD0A0A2-B9E5-4433-87C0-68B6B9B99AC7"
DISK_SIGNATURE = 0x4D4C4550  # "PELM"


class Part:
    def __init__(self, kind, ptype=None, path=None, sectors=0):
        self.kind = kind          # "data", "empty", "extended"
        self.ptype = ptype        # int for MBR, str GUID for GPT
        self.path = path
        self.sectors = sectors
        self.start = 0


def parse_entry(text, gpt):
    if text == "empty":
        return Part("empty")
    if text == "extended":
        if gpt:
            sys.exit("mkdisk: 'extended' is for MBR disks")
        return Part("extended", 0x05)
    head, sep, rest = text.partition(":")
    if not sep or not rest:
        sys.exit("mkdisk: bad entry %r" % text)
    if head in TYPES:
        ptype = BASIC_DATA if gpt else TYPES[head]
    elif head.startswith("type="):
        t = head[5:]
        if gpt:
            ptype = str(uuid.UUID(t)).upper() if "-" in t else BASIC_DATA
        else:
            if "-" in t:
                sys.exit("mkdisk: GUID types need --gpt")
            ptype = int(t, 16 if t.lower().startswith("0x") else 10)
            if not 0 <= ptype <= 0xFF:
                sys.exit("mkdisk: bad type %r" % t)
    else:
        sys.exit("mkdisk: bad entry %r" % text)
    if head.startswith("type=") and rest.isdigit() and not os.path.exists(rest):
        return Part("data", ptype, None, int(rest) * 1024 * 1024 // SECTOR)
    size = os.path.getsize(rest)
    return Part("data", ptype, rest, (size + SECTOR - 1) // SECTOR)


def align(x):
    return (x + ALIGN - 1) // ALIGN * ALIGN


def mbr_entry(ptype, start, count, boot=0):
    # CHS fields use the "beyond CHS" marker; every reader here uses LBA.
    return struct.pack("<B3sB3sII", boot, b"\xfe\xff\xff", ptype, b"\xfe\xff\xff",
                       start, count)


def copy_volume(dst_fd, src_path, dst_off):
    """Copy src into dst at dst_off, skipping holes of the source."""
    with open(src_path, "rb") as src:
        fd = src.fileno()
        size = os.fstat(fd).st_size
        pos = 0
        while pos < size:
            try:
                data = os.lseek(fd, pos, os.SEEK_DATA)
            except OSError:
                break  # only a hole remains
            end = os.lseek(fd, data, os.SEEK_HOLE)
            off = data
            while off < end:
                n = os.copy_file_range(fd, dst_fd, end - off, off, dst_off + off)
                if n <= 0:
                    # Fallback for filesystems without copy_file_range progress.
                    buf = os.pread(fd, min(1 << 20, end - off), off)
                    n = os.pwrite(dst_fd, buf, dst_off + off)
                off += n
            pos = end


def build_mbr(parts, logicals, ebr_loop):
    """Lay out partitions; returns (table bytes, [(sector, bytes)] EBRs, listing, end)."""
    cur = ALIGN
    listing = []
    entries = []
    ebrs = []
    if len(parts) > 4:
        sys.exit("mkdisk: at most 4 MBR entries")
    if logicals and not any(p.kind == "extended" for p in parts):
        sys.exit("mkdisk: --logical needs an 'extended' entry")
    for slot, p in enumerate(parts, 1):
        if p.kind == "empty":
            entries.append(bytes(16))
        elif p.kind == "data":
            p.start = align(cur)
            cur = p.start + p.sectors
            entries.append(mbr_entry(p.ptype, p.start, p.sectors))
            listing.append((slot, p.start, p.sectors, "0x%02X" % p.ptype))
        else:
            ext_start = align(cur)
            pos = ext_start
            chain = []
            for lp in logicals:
                ebr = pos
                lp.start = align(ebr + 1)
                pos = align(lp.start + lp.sectors)
                chain.append((ebr, lp))
            if not chain:
                pos = ext_start + ALIGN
            ext_size = pos - ext_start
            cur = pos
            entries.append(mbr_entry(0x05, ext_start, ext_size))
            listing.append((slot, ext_start, ext_size, "0x05"))
            for i, (ebr, lp) in enumerate(chain):
                e1 = mbr_entry(lp.ptype, lp.start - ebr, lp.sectors)
                if i + 1 < len(chain):
                    nebr, nlp = chain[i + 1]
                    e2 = mbr_entry(0x05, nebr - ext_start, nlp.start + nlp.sectors - nebr)
                elif ebr_loop:
                    febr, flp = chain[0]
                    e2 = mbr_entry(0x05, febr - ext_start, flp.start + flp.sectors - febr)
                else:
                    e2 = bytes(16)
                sec = bytearray(SECTOR)
                sec[446:478] = e1 + e2
                sec[510:512] = b"\x55\xaa"
                ebrs.append((ebr, bytes(sec)))
                listing.append((5 + i, lp.start, lp.sectors, "0x%02X" % lp.ptype))
    while len(entries) < 4:
        entries.append(bytes(16))
    mbr = bytearray(SECTOR)
    mbr[440:444] = struct.pack("<I", DISK_SIGNATURE)
    mbr[446:510] = b"".join(entries)
    mbr[510:512] = b"\x55\xaa"
    return bytes(mbr), ebrs, listing, cur


def gpt_header(current, backup, first, last, disk_guid, entries_lba, entries_crc):
    h = struct.pack("<8sIIIIQQQQ16sQIII", b"EFI PART", 0x00010000, 92, 0, 0,
                    current, backup, first, last, disk_guid, entries_lba, 128, 128,
                    entries_crc)
    h = h[:16] + struct.pack("<I", zlib.crc32(h) & 0xFFFFFFFF) + h[20:]
    return h + bytes(SECTOR - len(h))


def build_gpt(parts):
    if len(parts) > 128:
        sys.exit("mkdisk: at most 128 GPT entries")
    cur = ALIGN
    listing = []
    table = bytearray(GPT_TABLE_BYTES)
    for slot, p in enumerate(parts, 1):
        if p.kind != "data":
            continue
        p.start = align(cur)
        cur = p.start + p.sectors
        uniq = uuid.uuid5(uuid.NAMESPACE_OID, "pelmora-part-%d" % slot)
        name = ("part%d" % slot).encode("utf-16-le")
        table[(slot - 1) * 128:slot * 128] = struct.pack(
            "<16s16sQQQ72s", uuid.UUID(p.ptype).bytes_le, uniq.bytes_le,
            p.start, p.start + p.sectors - 1, 0, name)
        listing.append((slot, p.start, p.sectors, p.ptype))
    return bytes(table), listing, cur


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("out")
    ap.add_argument("entries", nargs="+")
    ap.add_argument("--logical", action="append", default=[])
    ap.add_argument("--gpt", action="store_true")
    ap.add_argument("--ebr-loop", action="store_true")
    ap.add_argument("--sector-size", type=int, default=512, choices=[512, 4096])
    a = ap.parse_args()
    global SECTOR, ALIGN
    SECTOR = a.sector_size
    ALIGN = (1 << 20) // SECTOR
    parts = [parse_entry(t, a.gpt) for t in a.entries]
    logicals = [parse_entry(t, a.gpt) for t in a.logical]
    if any(p.kind != "data" for p in logicals):
        sys.exit("mkdisk: logical drives must be volumes or raw partitions")
    if a.gpt:
        if logicals:
            sys.exit("mkdisk: --logical is for MBR disks")
        table, listing, end = build_gpt(parts)
        total = align(end) + ALIGN
        last = total - 1
        table_sectors = GPT_TABLE_BYTES // SECTOR  # 32 of 512 bytes, 4 of 4096
        first_usable = 2 + table_sectors
        last_usable = last - 1 - table_sectors
        disk_guid = uuid.uuid5(uuid.NAMESPACE_OID, "pelmora-disk").bytes_le
        tcrc = zlib.crc32(table) & 0xFFFFFFFF
        primary = gpt_header(1, last, first_usable, last_usable, disk_guid, 2, tcrc)
        backup = gpt_header(last, 1, first_usable, last_usable, disk_guid,
                            last - table_sectors, tcrc)
        pmbr = bytearray(SECTOR)
        pmbr[440:444] = struct.pack("<I", DISK_SIGNATURE)
        pmbr[446:462] = mbr_entry(0xEE, 1, min(total - 1, 0xFFFFFFFF))
        pmbr[510:512] = b"\x55\xaa"
        writes = [(0, bytes(pmbr)), (1, primary), (2, table),
                  (last - table_sectors, table), (last, backup)]
    else:
        mbr, ebrs, listing, end = build_mbr(parts, logicals, a.ebr_loop)
        total = align(end) + ALIGN
        writes = [(0, mbr)] + ebrs
    tmp = a.out + ".tmp"
    fd = os.open(tmp, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        os.ftruncate(fd, total * SECTOR)
        for p in parts + logicals:
            if p.kind == "data" and p.path:
                copy_volume(fd, p.path, p.start * SECTOR)
        for sec, blob in writes:
            os.pwrite(fd, blob, sec * SECTOR)
        os.fsync(fd)
    except BaseException:
        os.close(fd)
        os.unlink(tmp)
        raise
    os.close(fd)
    os.replace(tmp, a.out)
    for slot, start, count, ptype in listing:
        print("%d %d %d %s" % (slot, start, count, ptype))
    return 0


if __name__ == "__main__":
    sys.exit(main())
