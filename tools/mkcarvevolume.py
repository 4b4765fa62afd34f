#!/usr/bin/env python3
"""Makes an NTFS volume whose deleted files only carving can find.

    mkcarvevolume.py FILES IMAGE MANIFEST [--mib N] [--cluster BYTES] [--copies K] [--seed S] [--holed N]

FILES is a folder of real files of every type and its manifest.tsv (as
tests/carve/mkcarvefiles.py makes them). The volume (mkntfs, then ntfs-3g
mounts) gets each file K times, with kept files of random bytes between
some of them, and in turns:

  - whole:    written in one go, then deleted;
  - gapkept:  a JPEG, PNG or ZIP written in two halves with a kept file
              written between them (ntfs-3g puts the second half after it);
  - gapfree:  the same with the file between them deleted too: the halves
              lie apart with free clusters between;
  - cut:      a JPEG's first 60 % only, as a file of its own (damaged);
  - holed:    with --holed N, N JPEGs, PNGs and ZIPs written last, once the
              volume is full but for holes smaller than they are (kept
              files written around them, then deleted), so that the
              allocator itself splits them; the kept files between their
              pieces are deleted too, leaving free clusters of random bytes.

Every deleted file's record is then taken by a new small file, so no
record remembers them (checked with fls). MANIFEST lists, tab-separated:
name, kind, type, bytes, sha256 of the original. The volume fills with
random kept files and free space of random bytes around the deleted ones.
"""
import argparse
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mkvolume import mount, umount  # noqa: E402

SPLIT_TYPES = ("JPEG", "PNG", "ZIP")


def read_manifest(folder):
    rows = []
    with open(os.path.join(folder, "manifest.tsv")) as f:
        head = f.readline().rstrip("\n").split("\t")
        for line in f:
            rows.append(dict(zip(head, line.rstrip("\n").split("\t"))))
    return rows


def make_big(folder, count, rng, stem="big"):
    """Larger pictures and archives than the type set's: many clusters each."""
    rows = []
    for i in range(count):
        jpg, png, zp = ("%s%d.jpg" % (stem, i), "%s%d.png" % (stem, i), "%s%d.zip" % (stem, i))
        subprocess.run(["convert", "-seed", str(rng.randrange(1 << 30)), "-size", "%dx%d" % (600 + 100 * i, 400),
                        "plasma:fractal", "-quality", "92", os.path.join(folder, jpg)], check=True)
        subprocess.run(["convert", "-seed", str(rng.randrange(1 << 30)), "-size", "300x%d" % (200 + 50 * i),
                        "plasma:fractal", os.path.join(folder, png)], check=True)
        with zipfile.ZipFile(os.path.join(folder, zp), "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("notes.txt", "".join("line %d of the notes\n" % n for n in range(3000 * (i + 1))))
            z.writestr("noise.bin", rng.randbytes(40000))
        rows += [{"name": jpg, "type": "JPEG", "dir": folder}, {"name": png, "type": "PNG", "dir": folder},
                 {"name": zp, "type": "ZIP", "dir": folder}]
    return rows


def fragments_of(image, deleted):
    """{name: pieces of its $DATA} of the deleted files, while their records still tell (TSK)."""
    names = set(os.path.basename(p) for p in deleted)
    fls = subprocess.run(["fls", "-r", "-d", "-p", image], stdout=subprocess.PIPE, check=True).stdout.decode()
    pieces = {}
    for line in fls.splitlines():
        head, _, path = line.partition("\t")
        name = path.split("/")[-1]
        if name not in names:
            continue
        inode = head.split()[-1].rstrip(":").split("-")[0]
        istat = subprocess.run(["istat", image, inode], stdout=subprocess.PIPE, check=True).stdout.decode()
        clusters = []
        for block in istat.split("Type: $DATA")[1:2]:
            for row in block.splitlines()[1:]:
                if ":" in row:
                    continue
                clusters += [int(x) for x in row.split() if x.isdigit()]
        pieces[name] = 1 + sum(1 for i in range(1, len(clusters)) if clusters[i] != clusters[i - 1] + 1)
    return pieces


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())


def append(path, data):
    with open(path, "ab") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("files")
    ap.add_argument("image")
    ap.add_argument("manifest")
    ap.add_argument("--mib", type=int, default=24)
    ap.add_argument("--cluster", type=int, default=4096)
    ap.add_argument("--copies", type=int, default=1)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--big", type=int, default=2, help="larger JPEGs, PNGs and ZIPs of each (made here)")
    ap.add_argument("--holed", type=int, default=0, help="files the allocator splits, written last")
    a = ap.parse_args()
    rng = random.Random(a.seed)
    # A file this small lives in its record, which a new file takes: nothing to carve.
    rows = [r for r in read_manifest(a.files) if os.path.getsize(os.path.join(a.files, r["name"])) >= 1024]
    bigdir = tempfile.mkdtemp(prefix="carvebig-")
    rows += make_big(bigdir, a.big, rng)

    with open(a.image, "wb") as f:
        f.truncate(a.mib << 20)
    subprocess.run(["mkntfs", "-F", "-f", "-q", "-c", str(a.cluster), a.image], check=True,
                   stdout=subprocess.DEVNULL)
    mnt = tempfile.mkdtemp(prefix="carvevol-")
    out = []
    deleted = []
    gone_names = {}
    proc = mount(a.image, mnt)
    try:
        os.mkdir(os.path.join(mnt, "kept"))
        os.mkdir(os.path.join(mnt, "gone"))
        # The new files' folder index and the $MFT grow now, not later over deleted files.
        os.mkdir(os.path.join(mnt, "new"))
        # Long names here, short ones later: the index then holds every new file.
        placeholders = [os.path.join(mnt, "new", "placeholder-with-a-long-name-for-the-index-%05d.txt" % i)
                        for i in range(6 * len(rows) * a.copies + 64)]
        for p in placeholders:
            with open(p, "wb") as f:
                f.write(b"placeholder")
        for p in placeholders:
            os.unlink(p)
        serial = 0

        def kept(size):
            nonlocal serial
            serial += 1
            write(os.path.join(mnt, "kept", "k%04d.bin" % serial), rng.randbytes(size))

        def gone(name, data):
            nonlocal serial
            serial += 1
            p = os.path.join(mnt, "gone", "%04d-%s" % (serial, name))
            gone_names[name] = os.path.basename(p)
            write(p, data)
            deleted.append(p)
            return p

        for copy in range(a.copies):
            for row in rows:
                data = open(os.path.join(row.get("dir", a.files), row["name"]), "rb").read()
                name = "%d-%s" % (copy, row["name"])
                gone(name, data)
                out.append((name, "whole", row["type"], len(data), hashlib.sha256(data).hexdigest()))
                if rng.random() < 0.5:
                    kept(rng.randrange(1, 3 * a.cluster))
                if row["type"] in SPLIT_TYPES and len(data) > 2 * a.cluster:
                    for kind in ("gapkept", "gapfree"):
                        half = (len(data) // 2) // a.cluster * a.cluster
                        p = gone(kind + "-" + name, data[:half])
                        if kind == "gapkept":
                            kept(2 * a.cluster)
                        else:
                            gone("between-" + name, rng.randbytes(3 * a.cluster))
                        append(p, data[half:])
                        out.append((kind + "-" + name, kind, row["type"], len(data),
                                    hashlib.sha256(data).hexdigest()))
                if row["type"] == "JPEG":
                    cut = data[:len(data) * 6 // 10]
                    gone("cut-" + name, cut)
                    out.append(("cut-" + name, "cut", row["type"], len(cut),
                                hashlib.sha256(cut).hexdigest()))
                    kept(a.cluster)
        if a.holed:
            # Pictures and archives of their own: none is a copy of a file written whole.
            picks = make_big(bigdir, -(-a.holed // 3), rng, "holed")[:a.holed]
            holes, between = [], []
            for i, row in enumerate(picks):
                n = -(-os.path.getsize(os.path.join(row.get("dir", a.files), row["name"])) // a.cluster)
                # A cluster to spare in each hole: the folder's index grows into them too.
                for part, k in (("a", n // 2 + 1), ("b", rng.randrange(1, 9)), ("c", n - n // 2 + 1), ("d", 1)):
                    p = os.path.join(mnt, "kept", "h%04d%s.bin" % (i, part))
                    write(p, rng.randbytes(k * a.cluster))
                    (holes if part in "ac" else between if part == "b" else []).append(p)
            # The rest of the volume filled: only the holes are left to write into.
            fill = []
            for size in (1 << 20, a.cluster):
                try:
                    while True:
                        fill.append(os.path.join(mnt, "kept", "fill%05d.bin" % len(fill)))
                        write(fill[-1], rng.randbytes(size))
                except OSError:
                    pass
            for p in holes:
                os.unlink(p)
            for i, row in enumerate(picks):
                data = open(os.path.join(row.get("dir", a.files), row["name"]), "rb").read()
                name = row["name"]
                gone(name, data)
                out.append((name, "holed", row["type"], len(data), hashlib.sha256(data).hexdigest()))
            for p in between:
                os.unlink(p)
            for p in fill[:8]:  # room for what is written later
                os.unlink(p)
        for p in deleted:
            os.unlink(p)
    finally:
        umount(mnt, proc)
    pieces = fragments_of(a.image, deleted)
    pieces[""] = 1
    # New small (resident) files take the deleted files' records.
    proc = mount(a.image, mnt)
    try:
        for i in range(len(placeholders) + len(deleted) + 8):
            with open(os.path.join(mnt, "new", "n%05d" % i), "wb") as f:
                f.write(b"small %d\n" % i)
        # A deleted file its record still lists: it comes back through the record, never carved.
        listed = make_big(bigdir, 1, rng, "listed")[0]
        data = open(os.path.join(bigdir, listed["name"]), "rb").read()
        write(os.path.join(mnt, "listed.jpg"), data)
        os.unlink(os.path.join(mnt, "listed.jpg"))
        out.append(("listed.jpg", "listed", "JPEG", len(data), hashlib.sha256(data).hexdigest()))
        gone_names["listed.jpg"] = ""
    finally:
        umount(mnt, proc)
    os.rmdir(mnt)
    shutil.rmtree(bigdir)
    fls = subprocess.run(["fls", "-r", "-d", a.image], stdout=subprocess.PIPE, check=True).stdout.decode()
    names = set(os.path.basename(p) for p in deleted)
    remembered = [line for line in fls.splitlines() if line.split("\t")[-1].split("/")[-1] in names]
    if remembered:
        print("records still remember deleted files:\n" + "\n".join(remembered[:10]), file=sys.stderr)
        return 1
    with open(a.manifest, "w") as f:
        f.write("name\tkind\ttype\tbytes\tsha256\tpieces\n")
        for r in out:
            f.write("\t".join(str(x) for x in r) + "\t%d\n" % pieces.get(gone_names[r[0]], 0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
