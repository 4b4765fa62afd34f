#!/usr/bin/env python3
"""Damage a volume made by mkvolume.py as a user's would be, and say what is left.

  mkdamaged.py IN.img MANIFEST.tsv OUT.img EXPECT.tsv [--quick-format [--cluster B]
               [--new-files N]] [--zero-boot] [--zero-records N] [--zero-mirror]
               [--disk mbr|gpt [--drop-entry | --wipe-table]] [--seed S]

The damage, in this order, on a copy of IN.img:
  --quick-format   mkntfs -f over the volume, the same size (--cluster: another
                   cluster size); then --new-files files written through ntfs-3g
  --zero-boot      the boot sector zeroed (the backup at the volume's end stays)
  --zero-records   the first N records of the $MFT zeroed
  --zero-mirror    the clusters of $MFTMirr zeroed
  --disk           the volume put in an MBR or GPT disk at sector 2048 (mkdisk.py);
                   --drop-entry then removes its table entry (GPT: both arrays, CRCs
                   made anew), --wipe-table zeros the table (MBR sector; GPT headers)

EXPECT.tsv has a line per file of the manifest, kept and deleted:
  record path state size sha256 record_survives bytes_survive shown offset
record_survives: the record's bytes are where they were, as they were; bytes_survive:
so are the file's (its clusters, or the record for a resident file); shown: the path
a reader shows, '\\'-separated, from the root when every folder up to it survives
(and then without a prefix), else from '?\\' and the innermost folders that do;
offset: the volume's first byte in OUT.img.
The judge is the volume before the damage: its records and runs are read through
its own $MFT (mkvolume.RawVolume), which mkvolume checked against The Sleuth Kit.
"""
import argparse
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

sys.dont_write_bytecode = True  # keep tools/ free of __pycache__
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mkvolume  # noqa: E402

ROOT_RECORD = 5
DISK_START = 2048 * 512  # where mkdisk.py puts the first partition


def log(msg):
    print("mkdamaged: " + msg, file=sys.stderr, flush=True)


def read_manifest(path):
    with open(path, encoding="utf-8") as f:
        header = f.readline().rstrip("\n").split("\t")
        return [dict(zip(header, line.rstrip("\n").split("\t"))) for line in f if line.strip()]


def data_extents(rv, rec):
    """Byte ranges of the image that hold the file's unnamed $DATA (holes left
    out), or the record's own for resident data."""
    for a in mkvolume.parse_attributes(rv.record(rec)):
        if a["type"] != mkvolume.ATTR_DATA or a["name"]:
            continue
        if not a["nonresident"]:
            return rv.extents(rv.mft_runs, rec * rv.rec_size, rv.rec_size)
        out, left = [], a["size"]
        for lcn, n in a["runs"]:
            take = min(n * rv.cluster, left)
            if lcn is not None and take > 0:
                out.append((lcn * rv.cluster, take))
            left -= take
        return out
    return []


def read_extents(path, base, extents):
    with open(path, "rb") as f:
        parts = []
        for pos, n in extents:
            f.seek(base + pos)
            parts.append(f.read(n))
    return b"".join(parts)


def quick_format(img, cluster, new_files, seed):
    mkvolume.run(["mkntfs", "-f", "-F", "-q", "-c", str(cluster), "-L", "NEW", img])
    if not new_files:
        return
    rng = random.Random(seed)
    tmp = tempfile.mkdtemp(prefix="mkdamaged.")
    mnt = os.path.join(tmp, "mnt")
    os.mkdir(mnt)
    try:
        proc = mkvolume.mount(img, mnt)
        try:
            os.mkdir(os.path.join(mnt, "New"))
            for i in range(new_files):
                with open(os.path.join(mnt, "New", "new_%03d.bin" % i), "wb") as f:
                    f.write(rng.randbytes(rng.randrange(8 << 10, 64 << 10)))
        finally:
            mkvolume.umount(mnt, proc)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def zero(img, offset, length):
    with open(img, "r+b") as f:
        f.seek(offset)
        f.write(bytes(length))


def gpt_rewrite(f, header_lba, drop_slot):
    """Zero entry `drop_slot` of the array a GPT header names; CRCs made anew."""
    f.seek(header_lba * 512)
    header = bytearray(f.read(512))
    if header[:8] != b"EFI PART":
        raise RuntimeError("no GPT header at LBA %d" % header_lba)
    size = struct.unpack_from("<I", header, 12)[0]
    entries_lba, count, entry_size = struct.unpack_from("<QII", header, 0x48)
    f.seek(entries_lba * 512)
    entries = bytearray(f.read(count * entry_size))
    entries[(drop_slot - 1) * entry_size:drop_slot * entry_size] = bytes(entry_size)
    f.seek(entries_lba * 512)
    f.write(entries)
    struct.pack_into("<I", header, 0x58, zlib.crc32(entries) & 0xFFFFFFFF)
    struct.pack_into("<I", header, 0x10, 0)
    struct.pack_into("<I", header, 0x10, zlib.crc32(bytes(header[:size])) & 0xFFFFFFFF)
    f.seek(header_lba * 512)
    f.write(header)
    return struct.unpack_from("<Q", header, 0x20)[0]  # the other header's LBA


def damage_table(disk, gpt, drop, wipe):
    with open(disk, "r+b") as f:
        if gpt:
            if wipe:
                f.seek(0, os.SEEK_END)
                last = f.tell() // 512 - 1
                for lba in (0, 1, last):
                    f.seek(lba * 512)
                    f.write(bytes(512))
            elif drop:
                backup = gpt_rewrite(f, 1, 1)
                gpt_rewrite(f, backup, 1)
        elif wipe:
            f.seek(0)
            f.write(bytes(512))
        elif drop:
            f.seek(446)
            f.write(bytes(16))


def shown_paths(entries, survives):
    """The path a reader shows for each file: from the root, or from '?\\'."""
    folders = {e["path"]: int(e["record"]) for e in entries if e["kind"] == "dir"}
    out = {}
    for e in entries:
        if e["kind"] != "file":
            continue
        parts = e["path"].split("/")
        chain = []
        complete = survives.get(ROOT_RECORD, False)
        for depth in range(len(parts) - 1, 0, -1):
            folder = "/".join(parts[:depth])
            if not survives.get(folders.get(folder, -1), False):
                complete = False
                break
            chain.insert(0, parts[depth - 1])
        shown = "\\".join(chain + [parts[-1]])
        out[e["path"]] = shown if complete else "?\\" + shown
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("image")
    ap.add_argument("manifest")
    ap.add_argument("out")
    ap.add_argument("expect")
    ap.add_argument("--quick-format", action="store_true")
    ap.add_argument("--cluster", type=int)
    ap.add_argument("--new-files", type=int, default=0)
    ap.add_argument("--zero-boot", action="store_true")
    ap.add_argument("--zero-records", type=int, default=0)
    ap.add_argument("--zero-mirror", action="store_true")
    ap.add_argument("--disk", choices=["mbr", "gpt"])
    ap.add_argument("--drop-entry", action="store_true")
    ap.add_argument("--wipe-table", action="store_true")
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()

    rv = mkvolume.RawVolume(a.image)
    entries = read_manifest(a.manifest)
    # What each record and file is before the damage.
    before = {}
    for e in entries:
        rec = int(e["record"])
        record_at = rv.extents(rv.mft_runs, rec * rv.rec_size, rv.rec_size)
        data_at = data_extents(rv, rec) if e["kind"] == "file" else []
        before[rec] = (record_at, rv.read(record_at), data_at, rv.read(data_at))
    if ROOT_RECORD not in before:
        at = rv.extents(rv.mft_runs, ROOT_RECORD * rv.rec_size, rv.rec_size)
        before[ROOT_RECORD] = (at, rv.read(at), [], b"")

    volume = a.out + ".volume" if a.disk else a.out
    shutil.copyfile(a.image, volume)
    if a.quick_format:
        quick_format(volume, a.cluster or rv.cluster, a.new_files, a.seed)
    if a.zero_boot:
        zero(volume, 0, 512)
    if a.zero_records:
        for pos, n in rv.extents(rv.mft_runs, 0, a.zero_records * rv.rec_size):
            zero(volume, pos, n)
    if a.zero_mirror:
        zero(volume, mkvolume.le(open(a.image, "rb").read(512), 0x38, 8) * rv.cluster, max(rv.cluster, 4 * rv.rec_size))
    offset = 0
    if a.disk:
        cmd = [sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "mkdisk.py"), a.out,
               "ntfs:" + volume] + (["--gpt"] if a.disk == "gpt" else [])
        mkvolume.run(cmd)
        os.unlink(volume)
        offset = DISK_START
        damage_table(a.out, a.disk == "gpt", a.drop_entry, a.wipe_table)

    survives, intact = {}, {}
    for rec, (record_at, record, data_at, data) in before.items():
        survives[rec] = read_extents(a.out, offset, record_at) == record
        intact[rec] = read_extents(a.out, offset, data_at) == data
    shown = shown_paths(entries, survives)
    with open(a.expect, "w", encoding="utf-8", newline="\n") as f:
        f.write("record\tpath\tstate\tsize\tsha256\trecord_survives\tbytes_survive\tshown\toffset\n")
        for e in entries:
            if e["kind"] != "file":
                continue
            rec = int(e["record"])
            f.write("\t".join(str(x) for x in (rec, e["path"], e["state"], e["size"], e["sha256"],
                                                int(survives[rec]), int(survives[rec] and intact[rec]),
                                                shown[e["path"]], offset)) + "\n")
    kept = sum(1 for e in entries if e["kind"] == "file" and survives[int(e["record"])])
    log("%d of %d files' records survive" % (kept, sum(1 for e in entries if e["kind"] == "file")))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (RuntimeError, ValueError) as ex:
        log("failed: %s" % ex)
        sys.exit(2)
    except subprocess.CalledProcessError as ex:
        log("command failed: %s\n%s" % (" ".join(ex.cmd), (ex.stderr or b"").decode(errors="replace")))
        sys.exit(2)
