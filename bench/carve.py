#!/usr/bin/env python3
"""Carving free space: pelmora-cli carve against PhotoRec and a dd of the image.

    bench/carve.py [--mib 160] [--copies 12] [--holed N] [--runs 3] [--cli build/carve-release/src/pelmora-cli]

Makes a volume with tools/mkcarvevolume.py (real files of every type, each
deleted and its record taken, some written in two halves around other
files), then, taking turns, best of --runs each:

  - pelmora-cli carve IMAGE --start 0 --to OUT
  - pelmora-cli list IMAGE --start 0 --carve --format csv (the same carving, nothing written)
  - photorec /log /d OUT /cmd IMAGE 1,fileopt,everything,enable,freespace,search
  - dd if=IMAGE of=/dev/null bs=4M (the same bytes from the page cache)

and counts the deleted files each brings back byte-exact (sha256 against
the originals), in one piece and written around others. With --holed N,
N pictures and archives more are written last into holes smaller than
they are, so that ntfs-3g itself splits them: the fragmented volume.
Prints a table and its Markdown for README.
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def hashes(folder):
    found = set()
    for dirpath, _, names in os.walk(folder):
        for n in names:
            if n.endswith(".xml") or n == "report.xml":
                continue
            with open(os.path.join(dirpath, n), "rb") as f:
                found.add(hashlib.sha256(f.read()).hexdigest())
    return found


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=160)
    ap.add_argument("--copies", type=int, default=12)
    ap.add_argument("--holed", type=int, default=0)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--cli", default=os.path.join(ROOT, "build/carve-release/src/pelmora-cli"))
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="carvebench-")
    try:
        files, img, man = os.path.join(work, "files"), os.path.join(work, "v.img"), os.path.join(work, "v.tsv")
        subprocess.run([sys.executable, os.path.join(ROOT, "tests/carve/mkcarvefiles.py"), files], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([sys.executable, os.path.join(ROOT, "tools/mkcarvevolume.py"), files, img, man,
                        "--mib", str(a.mib), "--copies", str(a.copies), "--big", "3", "--holed", str(a.holed)], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        rows = [dict(zip(["name", "kind", "type", "bytes", "sha256", "pieces"], line.rstrip("\n").split("\t")))
                for line in open(man).readlines()[1:]]
        wanted = [r for r in rows if r["kind"] not in ("listed", "cut")]
        pel_out, pr_out = os.path.join(work, "pel"), os.path.join(work, "pr")
        tools = [
            {"name": "pelmora-cli carve", "out": os.path.join(work, "pel.out"), "err": os.path.join(work, "pel.err"),
             "argvs": [["/bin/rm", "-rf", pel_out], [a.cli, "carve", img, "--start", "0", "--to", pel_out]]},
            {"name": "pelmora-cli list --carve", "out": os.path.join(work, "list.out"),
             "err": os.path.join(work, "list.err"),
             "argvs": [[a.cli, "list", img, "--start", "0", "--carve", "--format", "csv"]]},
            {"name": "photorec", "out": os.path.join(work, "pr.out"), "err": os.path.join(work, "pr.err"),
             "argvs": [["/bin/rm", "-rf", pr_out], ["/bin/mkdir", pr_out],
                       [shutil.which("photorec"), "/log", "/d", os.path.join(pr_out, "r"), "/cmd", img,
                        "1,fileopt,everything,enable,freespace,search"]]},
            {"name": "dd (page cache)", "out": os.path.join(work, "dd.out"), "err": os.path.join(work, "dd.err"),
             "argvs": [["/bin/dd", "if=" + img, "of=/dev/null", "bs=4M"]]},
        ]
        subprocess.run(["cat", img], stdout=subprocess.DEVNULL, check=True)  # into the page cache
        os.chdir(work)  # photorec writes its log here
        benchlib.time_in_turns(tools, a.runs)
        rss, exact, _, _ = benchlib.peak_rss_kib([a.cli, "carve", img, "--start", "0", "--to", pel_out + "2"],
                                                 os.path.join(work, "rss.out"), os.path.join(work, "rss.err"))
        got = {"pelmora-cli carve": hashes(pel_out), "photorec": hashes(pr_out)}
        one = [r for r in wanted if r["pieces"] == "1"]
        split = [r for r in wanted if r["pieces"] != "1"]
        dd = benchlib.best(tools[-1]["times"])
        # Split by the allocator (holed), as TSK counted their pieces before the records went.
        holed = [r for r in split if r["kind"] == "holed"]
        header = ["tool", "best of %d (s)" % a.runs, "x dd", "byte-exact", "in one piece", "in pieces"]
        if a.holed:
            header.append("split by ntfs-3g")
        table = []
        for t in tools:
            secs = benchlib.best(t["times"])
            h = got.get(t["name"])
            count = lambda rs: "-" if h is None else "%d/%d" % (sum(1 for r in rs if r["sha256"] in h), len(rs))
            table.append([t["name"], "%.2f" % secs, "%.1f" % (secs / dd), count(wanted), count(one), count(split)]
                         + ([count(holed)] if a.holed else []))
        print("volume: %d MiB, %d deleted files (%d in pieces); pelmora-cli peak memory %.1f MiB%s"
              % (a.mib, len(wanted), len(split), benchlib.mib(rss), "" if exact else " (upper bound)"))
        print(benchlib.text_table(header, table))
        print()
        print(benchlib.md_table(header, table))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
