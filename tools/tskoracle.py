#!/usr/bin/env python3
"""Independent view of every MFT record, taken from The Sleuth Kit's istat.

  tskoracle.py IMG [--offset SECTORS] [--records N] [--jobs J]

Prints TSV with header:
  record allocated isdir name parent datasize crtime mtime status
Times are $STANDARD_INFORMATION Created / File Modified as FILETIME ticks.
"""
import argparse
import calendar
import os
import re
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

EPOCH_DIFF_TICKS = 116444736000000000
ENV = dict(os.environ, TZ="UTC", LC_ALL="C")
TIME_RE = re.compile(r"(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)(?:\.(\d{1,9}))?")
SIZE_RE = re.compile(r"\bsize: (\d+)")


def tsk(args):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)


def to_filetime(text):
    """'2026-12-08 15:47:18.973490900 (UTC)' -> 100 ns ticks since 1601."""
    m = TIME_RE.search(text)
    if not m:
        return 0
    y, mo, d, hh, mi, ss = (int(x) for x in m.groups()[:6])
    if y == 0:
        return 0
    frac = (m.group(7) or "").ljust(9, "0")
    secs = calendar.timegm((y, mo, d, hh, mi, ss, 0, 0, 0))
    return secs * 10_000_000 + EPOCH_DIFF_TICKS + int(frac) // 100


def mft_layout(img, offset):
    """Byte ranges of $MFT's data and the record size, for the magic check."""
    fs = tsk(["fsstat", "-f", "ntfs", "-o", str(offset), img])
    if fs.returncode != 0:
        sys.exit("tskoracle: fsstat failed: " + fs.stderr.decode(errors="replace"))
    text = fs.stdout.decode("utf-8", "replace")
    rec_size = int(re.search(r"Size of MFT Entries: (\d+)", text).group(1))
    cluster = int(re.search(r"Cluster Size: (\d+)", text).group(1))
    st = tsk(["istat", "-r", "-f", "ntfs", "-o", str(offset), img, "0"])
    runs, data_size, in_data = [], 0, False
    for line in st.stdout.decode("utf-8", "replace").split("\n"):
        if line.startswith("Type: "):
            if in_data:
                break
            in_data = line.startswith("Type: $DATA") and "Name: N/A" in line
            if in_data:
                data_size = int(SIZE_RE.search(line).group(1))
        elif in_data:
            m = re.search(r"Starting address: (\d+), length: (\d+)", line)
            if m:
                runs.append((int(m.group(1)), int(m.group(2))))
    return rec_size, cluster, runs, data_size


def record_magic(f, base, rec, rec_size, cluster, runs):
    pos = rec * rec_size
    for lcn, length in runs:
        span = length * cluster
        if pos < span:
            f.seek(base + lcn * cluster + pos)
            return f.read(4)
        pos -= span
    return b""


def parse(rec, out):
    text = out.decode("utf-8", "surrogateescape")
    if "MFT Entry Header Values" not in text:
        return None
    row = {"record": rec, "allocated": 0, "isdir": 0, "name": "", "parent": "",
           "datasize": "", "crtime": 0, "mtime": 0}
    section = None
    si_seen = False
    for line in text.split("\n"):
        if line.endswith("Attribute Values:"):
            section = line.split(" ")[0]
            continue
        if line.startswith("Attributes:"):
            section = "attrs"
            continue
        if section is None:
            if line in ("Allocated File", "Allocated Directory",
                        "Not Allocated File", "Not Allocated Directory"):
                row["allocated"] = 0 if line.startswith("Not") else 1
                row["isdir"] = 1 if line.endswith("Directory") else 0
        elif section == "$STANDARD_INFORMATION" and not si_seen:
            if line.startswith("Created:"):
                row["crtime"] = to_filetime(line)
            elif line.startswith("File Modified:"):
                row["mtime"] = to_filetime(line)
                si_seen = True
        elif section == "$FILE_NAME":
            if line.startswith("Name: "):
                # A new block starts: the last block seen wins.
                row["name"] = line[len("Name: "):]
                row["parent"] = ""
            elif line.startswith("Parent MFT Entry: "):
                row["parent"] = int(line.split()[3])
        elif section == "attrs":
            if line.startswith("Type: $DATA") and row["datasize"] == "":
                m = SIZE_RE.search(line)
                row["datasize"] = int(m.group(1)) if m else 0
    if row["datasize"] == "":
        row["datasize"] = 0
    return row


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("img")
    ap.add_argument("--offset", type=int, default=0, help="partition start in 512-byte sectors")
    ap.add_argument("--records", type=int)
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 4)
    a = ap.parse_args()
    rec_size, cluster, runs, mft_size = mft_layout(a.img, a.offset)
    n = a.records if a.records is not None else mft_size // rec_size

    def one(rec):
        p = tsk(["istat", "-f", "ntfs", "-o", str(a.offset), a.img, str(rec)])
        return rec, p.returncode, p.stdout

    base = a.offset * 512
    sys.stdout.write("record\tallocated\tisdir\tname\tparent\tdatasize\tcrtime\tmtime\tstatus\n")
    with open(a.img, "rb") as f, ThreadPoolExecutor(max(1, a.jobs)) as pool:
        for rec, rc, out in pool.map(one, range(n)):
            row = parse(rec, out) if rc == 0 else None
            if row is not None and record_magic(f, base, rec, rec_size, cluster, runs) != b"FILE":
                row = None  # istat shows records whose FILE magic is gone
            if row is None:
                sys.stdout.write("%d\t0\t0\t\t\t0\t0\t0\tinvalid\n" % rec)
                continue
            sys.stdout.write("%(record)d\t%(allocated)d\t%(isdir)d\t%(name)s\t%(parent)s\t"
                             "%(datasize)d\t%(crtime)d\t%(mtime)d\tok\n" % row)
    return 0


if __name__ == "__main__":
    sys.stdout.reconfigure(encoding="utf-8", errors="surrogateescape")
    sys.exit(main())
