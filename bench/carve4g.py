#!/usr/bin/env python3
"""Carving 4 GiB of free space: pelmora-cli list --carve against a dd of the image.

    bench/carve4g.py [--gib 4] [--runs 3] [--cli build/carve-release/src/pelmora-cli] [--keep DIR]

A sparse image of --gib GiB, made by tools/mkcarvevolume.py (real files of
every type, each deleted and its record taken), then mounted again with
ntfs-3g and filled with files of random bytes and copies of the type set,
all deleted and their records taken by small files: the free space is what
a used disk leaves, and only carving finds what it holds. Then, taking turns,
page cache warm, best of --runs: `pelmora-cli list IMAGE --start 0 --carve
--format csv` (the carving, nothing written) and `dd bs=4M` of the image;
and the carver's peak memory, which must not grow with the volume.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))
import benchlib  # noqa: E402
from mkvolume import mount, umount  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--gib", type=int, default=4)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--cli", default=os.path.join(ROOT, "build/carve-release/src/pelmora-cli"))
    ap.add_argument("--keep", help="folder to make the image in and keep it")
    a = ap.parse_args()
    work = a.keep or tempfile.mkdtemp(prefix="carve4g-")
    os.makedirs(work, exist_ok=True)
    try:
        files, img, man = os.path.join(work, "files"), os.path.join(work, "v.img"), os.path.join(work, "v.tsv")
        if not os.path.exists(img):
            subprocess.run([sys.executable, os.path.join(ROOT, "tests/carve/mkcarvefiles.py"), files], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run([sys.executable, os.path.join(ROOT, "tools/mkcarvevolume.py"), files, img, man,
                            "--mib", str(a.gib << 10), "--copies", "2"], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # Written, then deleted: random files and the type set again, until the volume is nearly full.
            rng = random.Random(11)
            mnt = tempfile.mkdtemp(prefix="carve4g-mnt-")
            proc = mount(img, mnt)
            try:
                typeset = [os.path.join(files, n) for n in sorted(os.listdir(files))
                           if n != "manifest.tsv" and os.path.isfile(os.path.join(files, n))]
                written = []
                for i in range((a.gib << 10) * 7 // 8 // 32):
                    p = os.path.join(mnt, "r%05d.bin" % i)
                    with open(p, "wb") as f:
                        f.write(rng.randbytes(32 << 20 if i % 2 else 24 << 20))
                        for t in rng.sample(typeset, 8):
                            shutil.copyfileobj(open(t, "rb"), f)
                    written.append(p)
                for p in written:
                    os.unlink(p)
                # Small files take their records: what they held is for carving alone.
                for i in range(len(written) + 16):
                    with open(os.path.join(mnt, "s%05d" % i), "wb") as f:
                        f.write(b"small %d\n" % i)
            finally:
                umount(mnt, proc)
                os.rmdir(mnt)
        tools = [
            {"name": "pelmora-cli list --carve", "out": os.path.join(work, "list.out"),
             "err": os.path.join(work, "list.err"),
             "argvs": [[a.cli, "list", img, "--start", "0", "--carve", "--format", "csv"]]},
            {"name": "dd (page cache)", "out": os.path.join(work, "dd.out"), "err": os.path.join(work, "dd.err"),
             "argvs": [["/bin/dd", "if=" + img, "of=/dev/null", "bs=4M"]]},
        ]
        subprocess.run(["cat", img], stdout=subprocess.DEVNULL, check=True)  # into the page cache
        benchlib.time_in_turns(tools, a.runs)
        rss, exact, _, _ = benchlib.peak_rss_kib(tools[0]["argvs"][0], os.path.join(work, "rss.out"),
                                                 os.path.join(work, "rss.err"))
        carved = sum(1 for line in open(tools[0]["out"]) if ",Carved" in line)
        dd = benchlib.best(tools[1]["times"])
        header = ["tool", "best of %d (s)" % a.runs, "x dd"]
        table = [[t["name"], "%.2f" % benchlib.best(t["times"]), "%.1f" % (benchlib.best(t["times"]) / dd)]
                 for t in tools]
        print("volume: %d GiB; %d files carved; pelmora-cli peak memory %.1f MiB%s"
              % (a.gib, carved, benchlib.mib(rss), "" if exact else " (upper bound)"))
        print(benchlib.text_table(header, table))
        print()
        print(benchlib.md_table(header, table))
    finally:
        if not a.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
