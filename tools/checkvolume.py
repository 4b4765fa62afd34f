#!/usr/bin/env python3
"""Check an image against its mkvolume manifest using only The Sleuth Kit.

  checkvolume.py IMG MANIFEST [--offset SECTORS] [--no-icat]

For every manifest entry: the MFT record (istat) must have the manifest's
name, allocation state, directory flag, size and times; every file's content
read by icat must hash to the manifest's sha256.  Prints one line per
problem and a summary; exit status 1 if anything differs.

Manifests of the scripted sets have more columns: there the name may be any
of the record's names (hard links), a file whose `readable` is less than its
size is compared on its first `readable` bytes (`readable_sha256`), and the
content of a file whose clusters are in use again (`recoverability` other
than Intact) or whose bytes lie in its WofCompressedData stream (a `wof=`
note) is not compared.
"""
import argparse
import csv
import hashlib
import os
import re
import subprocess
import sys

sys.dont_write_bytecode = True  # keep tools/ free of __pycache__
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import tskoracle  # noqa: E402


def read_manifest(path):
    with open(path, encoding="utf-8", newline="") as f:
        return list(csv.DictReader(f, delimiter="\t", quoting=csv.QUOTE_NONE))


def icat_sha256(img, offset, rec, limit=None):
    """sha256 of icat's output (of its first `limit` bytes if given)."""
    h = hashlib.sha256()
    left = limit
    with subprocess.Popen(["icat", "-f", "ntfs", "-o", str(offset), img, str(rec)],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) as p:
        for block in iter(lambda: p.stdout.read(1 << 20), b""):
            if left is not None:
                block = block[:left]
                left -= len(block)
            h.update(block)
    return h.hexdigest(), p.returncode


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("img")
    ap.add_argument("manifest")
    ap.add_argument("--offset", type=int, default=0)
    ap.add_argument("--no-icat", action="store_true")
    a = ap.parse_args()
    problems = 0
    checked = 0
    for e in read_manifest(a.manifest):
        rec = int(e["record"])
        p = tskoracle.tsk(["istat", "-f", "ntfs", "-o", str(a.offset), a.img, str(rec)])
        row = tskoracle.parse(rec, p.stdout) if p.returncode == 0 else None
        where = "%s %s %s (record %d)" % (e["state"], e["kind"], e["path"], rec)
        if row is None:
            print("istat cannot read " + where)
            problems += 1
            continue
        scripted = "readable" in e
        want = {
            "name": e["path"].rsplit("/", 1)[-1],
            "allocated": 1 if e["state"] == "kept" else 0,
            "isdir": 1 if e["kind"] == "dir" else 0,
            "crtime": int(e["crtime"]),
            "mtime": int(e["mtime"]),
        }
        if e["kind"] == "file":
            want["datasize"] = int(e["size"])
        if scripted:
            # Any of the record's names (hard links; istat shows the last one last).
            text = p.stdout.decode("utf-8", "surrogateescape").split("Attributes:")[0]
            if want["name"] in re.findall(r"^Name: (.*)$", text, re.M):
                row["name"] = want["name"]
        for k, v in want.items():
            if row[k] != v:
                print("%s: %s is %r, manifest says %r" % (where, k, row[k], v))
                problems += 1
        if e["kind"] == "file" and not a.no_icat:
            limit, sha = None, e["sha256"]
            if scripted and "wof=" in e["note"]:
                checked += 1  # icat reads the sparse unnamed $DATA; mkvolume checked the stream
                continue
            if scripted and int(e["readable"]) != int(e["size"]):
                limit, sha = int(e["readable"]), e["readable_sha256"]
            elif scripted and e["recoverability"] not in ("", "Intact"):
                checked += 1
                continue
            digest, rc = icat_sha256(a.img, a.offset, rec, limit)
            if digest != sha:
                print("%s: icat content differs (icat rc %d)" % (where, rc))
                problems += 1
        checked += 1
    print("checked %d entries, %d problems" % (checked, problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.stdout.reconfigure(encoding="utf-8", errors="surrogateescape")
    sys.exit(main())
