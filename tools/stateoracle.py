#!/usr/bin/env python3
"""Which clusters of each deleted file are in use again, from The Sleuth Kit only.

  stateoracle.py IMG [--offset SECTORS] [--ntfsundelete]

For every deleted (not allocated) base FILE record with an unnamed $DATA,
prints TSV with a header:
  record clusters allocated_now overwritten_by_deleted newer_records
- clusters: its real clusters (the runs istat -r lists, sparse runs left out);
- allocated_now: how many of them the cluster bitmap marks in use (blkls -a);
- overwritten_by_deleted: how many of the rest another deleted file also
  claims whose record changed later (higher $LogFile sequence number, then a
  later $STANDARD_INFORMATION "MFT Modified" time);
- newer_records: those files' record numbers, comma-separated, ascending.
A resident or empty $DATA has 0 clusters. Extension records (istat prints
their "Base File Record") are left out. --offset is the partition start in
512-byte sectors. --ntfsundelete compares allocated_now with the recoverable
percentage `ntfsundelete --scan` prints for the files it lists (the image
alone, so only without --offset) and prints the differences on stderr; the
exit status is then 1 when any differ.
"""
import argparse
import os
import re
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tskoracle  # noqa: E402

RUN_RE = re.compile(r"Starting address: (\S+), length: (\d+)\s*(Sparse)?")


def tsk(args):
    p = tskoracle.tsk(args)
    if p.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args), p.stderr.decode(errors="replace")))
    return p.stdout.decode("utf-8", "surrogateescape")


def unallocated_records(img, offset):
    out = tsk(["ils", "-f", "ntfs", "-o", str(offset), "-A", img])
    recs = []
    for line in out.split("\n"):
        f = line.split("|")
        if len(f) > 2 and f[0].isdigit():
            recs.append(int(f[0]))
    return recs


def describe(img, offset, rec):
    """(lsn, mft_changed, clusters) of a deleted file record, or None."""
    p = tskoracle.tsk(["istat", "-r", "-f", "ntfs", "-o", str(offset), img, str(rec)])
    if p.returncode != 0:
        return None
    text = p.stdout.decode("utf-8", "surrogateescape")
    if "Base File Record:" in text or "\nNot Allocated" not in "\n" + text:
        return None
    lsn = int(re.search(r"\$LogFile Sequence Number: (\d+)", text).group(1))
    changed = 0
    section = None
    clusters = None
    for line in text.split("\n"):
        if line.endswith("Attribute Values:"):
            section = line.split(" ")[0]
        elif line.startswith("Attributes:"):
            section = "attrs"
        elif section == "$STANDARD_INFORMATION" and line.startswith("MFT Modified:") and not changed:
            changed = tskoracle.to_filetime(line)
        elif section == "attrs" and line.startswith("Type: "):
            if clusters is not None:
                break
            if line.startswith("Type: $DATA") and "Name: N/A" in line:
                clusters = []
        elif section == "attrs" and clusters is not None:
            m = RUN_RE.search(line)
            if m and not m.group(3) and m.group(1).isdigit():
                start, n = int(m.group(1)), int(m.group(2))
                clusters.extend(range(start, start + n))
    if clusters is None:
        return None
    return lsn, changed, clusters


def allocated_clusters(img, offset):
    out = tsk(["blkls", "-f", "ntfs", "-o", str(offset), "-l", "-a", img])
    used = set()
    for line in out.split("\n"):
        f = line.split("|")
        if len(f) == 2 and f[0].isdigit() and f[1] == "a":
            used.add(int(f[0]))
    return used


def states(img, offset=0, jobs=None):
    """{record: (clusters, allocated_now, overwritten_by_deleted, [newer records])}"""
    recs = unallocated_records(img, offset)
    with ThreadPoolExecutor(jobs or os.cpu_count() or 2) as pool:
        info = {r: d for r, d in zip(recs, pool.map(lambda r: describe(img, offset, r), recs))
                if d is not None}
    used = allocated_clusters(img, offset)
    owners = {}
    for r, (_, _, cl) in info.items():
        for x in set(cl):
            owners.setdefault(x, []).append(r)
    out = {}
    for r, (lsn, changed, cl) in sorted(info.items()):
        own = set(cl)
        alloc = own & used
        by_deleted, newer = 0, set()
        for x in own - alloc:
            later = [o for o in owners[x] if o != r and (info[o][0], info[o][1]) > (lsn, changed)]
            if later:
                by_deleted += 1
                newer.update(later)
        out[r] = (len(own), len(alloc), by_deleted, sorted(newer))
    return out


def ntfsundelete_percentages(img):
    p = subprocess.run(["ntfsundelete", "--scan", "--force", img], stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE)
    pct = {}
    for line in p.stdout.decode("utf-8", "replace").split("\n"):
        m = re.match(r"^(\d+)\s+\S+\s+(\d+)%", line)
        if m:
            pct[int(m.group(1))] = int(m.group(2))
    return pct


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("img")
    ap.add_argument("--offset", type=int, default=0, help="partition start in 512-byte sectors")
    ap.add_argument("--ntfsundelete", action="store_true")
    a = ap.parse_args()
    rows = states(a.img, a.offset)
    sys.stdout.write("record\tclusters\tallocated_now\toverwritten_by_deleted\tnewer_records\n")
    for r, (n, alloc, by_deleted, newer) in rows.items():
        sys.stdout.write("%d\t%d\t%d\t%d\t%s\n" % (r, n, alloc, by_deleted,
                                                   ",".join(str(x) for x in newer)))
    if not a.ntfsundelete:
        return 0
    if a.offset:
        sys.exit("stateoracle: --ntfsundelete reads a bare volume image only")
    differ = 0
    for r, pct in sorted(ntfsundelete_percentages(a.img).items()):
        if r not in rows or rows[r][0] == 0:
            continue
        n, alloc = rows[r][0], rows[r][1]
        want = (n - alloc) * 100 // n
        if abs(want - pct) > 1:
            differ += 1
            print("record %d: ntfsundelete says %d%% recoverable, %d of %d clusters free"
                  % (r, pct, n - alloc, n), file=sys.stderr)
    return 1 if differ else 0


if __name__ == "__main__":
    sys.stdout.reconfigure(encoding="utf-8", errors="surrogateescape")
    sys.exit(main())
