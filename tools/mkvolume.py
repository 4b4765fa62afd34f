#!/usr/bin/env python3
"""Build real test volumes (NTFS through mkntfs + ntfs-3g, or FAT) plus a manifest.

  mkvolume.py ntfs OUT.img --manifest OUT.tsv [--size-mib N] [--cluster B]
              [--serial 0xHEX16] [--set standard|bench|names|big|demo|tiny]
              [--files N] [--big-mib N] [--seed S]
  mkvolume.py fat OUT.img [--size-mib 16] [--fat 32|16|12] [--serial 0xHEX8]

Every file is written and deleted through a real ntfs-3g mount, so the image
holds exactly what a real NTFS driver leaves behind after a delete.
"""
import argparse
import hashlib
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

FILE_ATTRIBUTE_READONLY = 0x1
FILE_ATTRIBUTE_HIDDEN = 0x2
FILE_ATTRIBUTE_SYSTEM = 0x4

EPOCH_DIFF_TICKS = 116444736000000000  # 1601-01-01 .. 1970-01-01 in 100 ns ticks
DEFAULT_NTFS_SERIAL = 0x1234ABCD5678EF01
DEFAULT_FAT_SERIAL = 0x1234ABCD

MANIFEST_COLUMNS = ["state", "kind", "path", "size", "sha256", "attrs",
                    "crtime", "mtime", "fragments", "record"]


def log(msg):
    print("mkvolume: " + msg, file=sys.stderr, flush=True)


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, **kw)


def filetime(year, month, day, hh, mm, ss, ticks=0):
    """FILETIME for a UTC calendar time, integer arithmetic only."""
    import calendar
    secs = calendar.timegm((year, month, day, hh, mm, ss, 0, 0, 0))
    return secs * 10_000_000 + EPOCH_DIFF_TICKS + ticks


class Entry:
    __slots__ = ("state", "kind", "path", "size", "sha256", "attrs", "crtime",
                 "mtime", "fragments", "record", "data", "chunks", "sparse")

    def __init__(self, state, kind, path, size=0, attrs=0):
        self.state, self.kind, self.path, self.size = state, kind, path, size
        self.sha256 = ""
        self.attrs = attrs
        self.crtime = self.mtime = 0
        self.fragments = 0
        self.record = -1
        self.data = None      # bytes for ordinary files
        self.chunks = None    # [(offset, bytes)] for sparse files
        self.sparse = False


class Builder:
    """Collects the planned tree; assigns deterministic content and times."""

    def __init__(self, seed, cluster):
        self.rng = random.Random(seed)
        self.cluster = cluster
        self.entries = []
        self.by_path = {}
        self.tcount = 0

    def _times(self, e):
        # Distinct, sub-second times so converters must keep all 7 digits.
        i = self.tcount
        self.tcount += 1
        # Steps of about an hour keep even huge sets before 2038, where TSK's
        # 32-bit time conversion would wrap.
        e.crtime = filetime(2015, 3, 14, 9, 26, 53) + (i % 150000) * 36_000_000_007 + 1234567
        e.mtime = e.crtime + 3_600 * 10_000_000 * (1 + i % 50) + 7654321
        return e

    def dir(self, path, state="kept"):
        self._ensure_parent(path)
        if path in self.by_path:
            return self.by_path[path]
        e = self._times(Entry(state, "dir", path))
        self.entries.append(e)
        self.by_path[path] = e
        return e

    def _ensure_parent(self, path):
        parent = path.rpartition("/")[0]
        if parent and parent not in self.by_path:
            self.dir(parent)

    def file(self, path, size, state="deleted", attrs=0, data=None):
        self._ensure_parent(path)
        assert path not in self.by_path, path
        e = self._times(Entry(state, "file", path, size, attrs))
        e.data = data if data is not None else self.rng.randbytes(size)
        assert len(e.data) == size
        e.sha256 = hashlib.sha256(e.data).hexdigest()
        self.entries.append(e)
        self.by_path[path] = e
        return e

    def sparse_file(self, path, size, chunks, state="deleted"):
        """chunks: [(offset, length)] of real data; everything else is a hole."""
        self._ensure_parent(path)
        e = self._times(Entry(state, "file", path, size))
        e.sparse = True
        e.chunks = [(off, self.rng.randbytes(n)) for off, n in chunks]
        h = hashlib.sha256()
        pos = 0
        zero = bytes(1 << 20)
        for off, blob in sorted(e.chunks):
            while pos < off:
                n = min(len(zero), off - pos)
                h.update(zero[:n])
                pos += n
            h.update(blob)
            pos = off + len(blob)
        while pos < size:
            n = min(len(zero), size - pos)
            h.update(zero[:n])
            pos += n
        e.sha256 = h.hexdigest()
        self.entries.append(e)
        self.by_path[path] = e
        return e


# --------------------------------------------------------------------------
# Sets

def set_names(b):
    b.file("kept.txt", 120, state="kept")
    b.file("deleted_root.txt", 2000)
    b.dir("Gone", state="deleted")
    b.file("Gone/inside.txt", 5000)
    return []


WORDS = ("disk volume record cluster folder photo letter invoice summer garden meeting "
         "report budget river window morning travel recipe music family notes").split()


def text(rng, size):
    """Readable, compressible text of exactly `size` bytes."""
    out = bytearray()
    while len(out) < size:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randint(6, 14)))
        out += (line.capitalize() + ".\n").encode()
    return bytes(out[:size])


def bmp(width, height, shade):
    """A 24-bit bottom-up BMP with a gradient, for the image preview."""
    stride = (width * 3 + 3) & ~3
    pixels = bytearray()
    for y in range(height):
        row = bytearray()
        for x in range(width):
            row += bytes((shade, y * 255 // max(1, height - 1), x * 255 // max(1, width - 1)))
        pixels += row + bytes(stride - len(row))
    header = b"BM" + struct.pack("<IHHI", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return header + info + bytes(pixels)


def set_demo(b):
    """A small, believable volume for the README's demo disk."""
    r = b.rng
    b.file("Documents/plan.txt", 4200, state="kept", data=text(r, 4200))
    b.file("Documents/letter to Anna.txt", 1800, data=text(r, 1800))
    b.file("Documents/budget 2026.csv", 9000, data=text(r, 9000))
    b.dir("Documents/Old", state="deleted")
    b.file("Documents/Old/minutes.txt", 30000, data=text(r, 30000))
    b.dir("Photos", state="deleted")
    for i, (w, h) in enumerate(((160, 120), (96, 96), (200, 150))):
        data = bmp(w, h, 40 * i)
        b.file("Photos/holiday %d.bmp" % (i + 1), len(data), data=data)
    b.file("notes.txt", 350, data=text(r, 350))
    b.file("r\u00e9sum\u00e9 \u65e5\u672c.txt", 2500, data=text(r, 2500))
    b.file("Music/playlist.m3u", 600, state="kept", data=text(r, 600))
    b.file("Music/old playlist.m3u", 700, data=text(r, 700))
    b.file("empty.txt", 0)
    return []


def set_tiny(b):
    """A 2 MiB volume with 512-byte clusters whose MFT sits in its first
    128 KiB: the fuzzers' seed (tools/mkfuzzseeds.py)."""
    r = b.rng
    b.file("kept.txt", 300, state="kept", data=text(r, 300))
    b.file("resident.txt", 400, data=text(r, 400))
    b.file("two clusters.txt", 1000, data=text(r, 1000))
    b.dir("Docs", state="kept")
    b.file("Docs/report.txt", 3000, data=text(r, 3000))
    b.dir("Docs/Old", state="deleted")
    b.file("Docs/Old/minutes.txt", 700, data=text(r, 700))
    b.file("Opera/cache.bin", 200)
    b.file("empty.txt", 0)
    return []


def frag_chunk(cluster):
    # ntfs-3g allocates small files in page-sized pieces, so tiny appends
    # would land contiguously; 16 KiB chunks interleave for any cluster size.
    return max(2 * cluster, 16384)


def set_standard(b):
    c = b.cluster
    # Kept content, so a scanner must not list it as deleted.
    b.file("kept_small.txt", 300, state="kept")
    b.file("kept_big.bin", 200 * 1024 + 17, state="kept")
    b.file("empty_kept.txt", 0, state="kept")
    b.file("hidden_kept.txt", 64, state="kept", attrs=FILE_ATTRIBUTE_HIDDEN)
    b.dir("Documents")
    b.file("Documents/report.txt", c + 904, state="kept")
    # Deleted, by size class.
    b.file("deleted_1byte.txt", 1)
    b.file("resident_300.txt", 300)
    b.file("resident_600.txt", 600)
    b.file("resident_699.txt", 699)  # ntfs-3g makes this non-resident
    b.file("one_cluster.bin", c)
    b.file("few_clusters.bin", c + 904)
    b.file("many_clusters.bin", 200 * 1024 + 123)
    b.file("several_mib.bin", 5 * 1024 * 1024 + 4321)
    b.file("empty_deleted.txt", 0)
    # Names.
    b.file("café_résumé_naïve.txt", 1500)
    b.file("日本語のファイル名.txt", 800)
    b.file("emoji_😀_music_𝄞.bin", 3000)
    b.file(("long_name_" + "0123456789" * 30)[:251] + ".txt", 444)
    b.file(("é" * 251) + ".txt", 333)
    b.file("a:b*c?.txt", 100)
    b.file("con", 50)
    b.file("trailing.", 60)
    b.file("trailing_space ", 70)
    # Deleted tree two levels deep.
    b.dir("DelFolder", state="deleted")
    b.dir("DelFolder/SubFolder", state="deleted")
    b.file("DelFolder/top.txt", 500)
    b.file("DelFolder/SubFolder/inner1.txt", 200)
    b.file("DelFolder/SubFolder/inner2.bin", 3 * c + 5)
    b.dir("EmptyDeletedDir", state="deleted")
    # Deleted files inside a kept folder.
    b.file("Documents/old_draft.doc", 12000)
    b.file("Documents/notes_deleted.txt", 250)
    # Attributes.
    b.file("readonly.txt", 400, attrs=FILE_ATTRIBUTE_READONLY)
    b.file("hidden.txt", 9000, attrs=FILE_ATTRIBUTE_HIDDEN)
    b.file("hidden_system.dat", 100, attrs=FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)
    # Browser caches (folders kept, files deleted).
    b.file("Browsers/Opera/cache_0001.bin", 6000)
    b.file("Browsers/Opera/Cache/f_000a12", 700)
    b.file("Browsers/Temporary Internet Files/index.dat", 1200)
    b.file("Browsers/Temporary Internet Files/Content.IE5/ABCD1234/pic[1].gif", 2345)
    b.file("Profiles1/Firefox/Profiles/x1.default/cache2/entries/0A1B2C3D", 4100)
    b.file("Profiles1/Firefox/cookies.sqlite", 600)
    b.file("Profiles2/firefox/places.sqlite", 10000)
    # Fragmented: grown in turns (see write phase); sizes are multiples of a chunk.
    frag = []
    chunk = frag_chunk(c)
    for name, nchunks, state in (("frag_a.bin", 6, "deleted"), ("frag_b.bin", 5, "deleted"),
                                 ("frag_c.bin", 4, "kept")):
        frag.append(b.file(name, chunk * nchunks + (13 if name == "frag_a.bin" else 0),
                           state=state))
    return frag


def set_big(b, big_mib):
    size = big_mib * 1024 * 1024
    two = 2 * 1024 * 1024
    mid = (size // 2) // 65536 * 65536
    chunks = [(0, two), (mid, two), (size - two, two)]
    b.sparse_file("big_sparse.bin", size, chunks)
    b.file("small_deleted.txt", 3000)
    b.file("kept.txt", 100, state="kept")
    return []


def set_bench(b, nfiles):
    rng = b.rng
    dirs = [""]
    for i in range(10):
        d = "d%02d" % i
        dirs.append(d)
        for j in range(8):
            dirs.append("%s/s%02d" % (d, j))
            for k in range(3):
                dirs.append("%s/s%02d/t%d" % (d, j, k))
    # Whole deleted folders: a few leaf directories with all contents gone.
    deleted_dirs = set(d for d in dirs if d.endswith("/t2") and d.startswith(("d03", "d07")))
    for d in dirs[1:]:
        b.dir(d, state="deleted" if d in deleted_dirs else "kept")
    for n in range(nfiles):
        d = dirs[rng.randrange(len(dirs))]
        r = rng.random()
        if r < 0.5:
            size = rng.randrange(0, 700)
        elif r < 0.85:
            size = rng.randrange(700, 8192)
        else:
            size = rng.randrange(8192, 65537)
        state = "deleted" if d in deleted_dirs or rng.random() < 0.25 else "kept"
        path = ("%s/f%06d.dat" % (d, n)) if d else "f%06d.dat" % n
        b.file(path, size, state=state)
    return []


# --------------------------------------------------------------------------
# Mount handling

def mount(img, mnt):
    # Foreground ntfs-3g, so we own its pid and can wait until it has
    # written everything back to the image after umount.
    errlog = tempfile.TemporaryFile()
    proc = subprocess.Popen(["ntfs-3g", "-o", "no_detach,big_writes", img, mnt],
                            stdout=subprocess.DEVNULL, stderr=errlog)
    for _ in range(200):
        if os.path.ismount(mnt):
            return proc
        if proc.poll() is not None:
            errlog.seek(0)
            raise RuntimeError("ntfs-3g failed: %s" % errlog.read().decode(errors="replace"))
        time.sleep(0.05)
    proc.kill()
    raise RuntimeError("ntfs-3g mount did not appear")


def umount(mnt, proc):
    os.sync()
    last = None
    for _ in range(50):
        if not os.path.ismount(mnt):
            break
        p = subprocess.run(["umount", mnt], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if p.returncode == 0:
            break
        last = p.stderr.decode(errors="replace")
        time.sleep(0.2)
    else:
        subprocess.run(["umount", "-l", mnt])
        proc.wait(timeout=60)
        raise RuntimeError("umount failed: %s" % last)
    try:
        proc.wait(timeout=120)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        raise RuntimeError("ntfs-3g did not exit after umount")
    if proc.returncode != 0:
        raise RuntimeError("ntfs-3g exited with %d" % proc.returncode)


def set_times(p, e):
    # Order matters: ntfs-3g keeps a utime() only if the creation time is
    # set after it; the other way round the modification time becomes "now".
    ns = (e.mtime - EPOCH_DIFF_TICKS) * 100
    os.utime(p, ns=(ns, ns))
    os.setxattr(p, "system.ntfs_crtime", e.crtime.to_bytes(8, "little"))


def set_attrs(p, e):
    if e.attrs:
        cur = int.from_bytes(os.getxattr(p, "system.ntfs_attrib_be"), "big")
        os.setxattr(p, "system.ntfs_attrib_be", (cur | e.attrs).to_bytes(4, "big"))


def populate(mnt, b, frag):
    entries = b.entries
    fragset = set(id(e) for e in frag)
    for e in entries:
        p = os.path.join(mnt, e.path)
        if e.kind == "dir":
            os.mkdir(p)
        elif e.sparse:
            with open(p, "wb") as f:
                for off, blob in e.chunks:
                    f.seek(off)
                    f.write(blob)
                f.truncate(e.size)
        else:
            with open(p, "wb") as f:
                if id(e) not in fragset:
                    f.write(e.data)
        e.record = os.stat(p).st_ino & 0xFFFFFFFFFFFF
    if frag:
        grow_in_turns(mnt, frag, frag_chunk(b.cluster))
    # Attributes and times of files; directories get theirs last, since
    # creating or removing children changes a directory's modification time.
    for e in entries:
        if e.kind == "file":
            p = os.path.join(mnt, e.path)
            set_attrs(p, e)
            set_times(p, e)


def grow_in_turns(mnt, frag, chunk):
    handles = [open(os.path.join(mnt, e.path), "ab") for e in frag]
    try:
        pos = [0] * len(frag)
        progress = True
        while progress:
            progress = False
            for i, e in enumerate(frag):
                if pos[i] < e.size:
                    n = chunk if e.size - pos[i] >= chunk else e.size - pos[i]
                    handles[i].write(e.data[pos[i]:pos[i] + n])
                    handles[i].flush()
                    os.fsync(handles[i].fileno())
                    pos[i] += n
                    progress = True
    finally:
        for h in handles:
            h.close()


def delete_and_finish(mnt, b):
    entries = b.entries
    depth = lambda e: e.path.count("/")
    for e in entries:
        if e.kind == "file" and e.state == "deleted":
            os.unlink(os.path.join(mnt, e.path))
    dirs = sorted((e for e in entries if e.kind == "dir"), key=depth, reverse=True)
    for e in dirs:
        p = os.path.join(mnt, e.path)
        set_times(p, e)
        if e.state == "deleted":
            os.rmdir(p)


# --------------------------------------------------------------------------
# Image inspection with The Sleuth Kit (independent of our own parser)

FLS_RE = re.compile(r"^(\S+)\s+(\*\s+)?(\d+)(?:-\d+-\d+)?(\(realloc\))?:\t(.*)$")


def fls_paths(img):
    out = run(["fls", "-r", "-p", img], env=dict(os.environ, TZ="UTC")).stdout
    res = {}
    for line in out.decode("utf-8", "surrogateescape").split("\n"):
        m = FLS_RE.match(line)
        if m:
            res.setdefault((m.group(5), bool(m.group(2))), int(m.group(3)))
    return res


def count_runs(img, rec):
    p = subprocess.run(["istat", "-r", img, str(rec)], stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE)
    if p.returncode != 0:
        return 0
    runs = 0
    in_data = False
    for line in p.stdout.decode("utf-8", "replace").split("\n"):
        if line.startswith("Type: "):
            if in_data:
                break
            in_data = line.startswith("Type: $DATA") and "Non-Resident" in line
        elif in_data and line.strip().startswith("Starting address:"):
            runs += 1
    return runs


def inspect(img, b, want_runs):
    fls = fls_paths(img)
    mismatch = 0
    for e in b.entries:
        key = (e.path, e.state == "deleted")
        got = fls.get(key)
        if got is not None and got != e.record:
            mismatch += 1
            log("warning: fls gives record %d for %s, mount gave %d" % (got, e.path, e.record))
        if want_runs and e.kind == "file" and e.size > 0:
            e.fragments = count_runs(img, e.record)
    missing = sum(1 for e in b.entries if (e.path, e.state == "deleted") not in fls)
    if missing:
        log("note: %d entries not listed by fls -r -p under their path" % missing)
    return mismatch


def write_manifest(path, b):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("\t".join(MANIFEST_COLUMNS) + "\n")
        for e in b.entries:
            f.write("\t".join(str(x) for x in (
                e.state, e.kind, e.path, e.size, e.sha256, e.attrs, e.crtime,
                e.mtime, e.fragments, e.record)) + "\n")


def set_serial_bytes(img, serial):
    """Patch the serial at offset 72 of the boot sector and of its backup."""
    raw = serial.to_bytes(8, "little")
    with open(img, "r+b") as f:
        boot = f.read(512)
        bps = int.from_bytes(boot[11:13], "little")
        total = int.from_bytes(boot[40:48], "little")
        f.seek(total * bps)
        if f.read(8)[3:8] != b"NTFS ":
            raise RuntimeError("backup boot sector not at the volume end")
        for off in (0, total * bps):
            f.seek(off + 72)
            f.write(raw)


def cmd_ntfs(a):
    b = Builder(a.seed, a.cluster)
    frag = []
    if a.set == "standard":
        frag = set_standard(b)
    elif a.set == "names":
        frag = set_names(b)
    elif a.set == "big":
        frag = set_big(b, a.big_mib)
    elif a.set == "bench":
        frag = set_bench(b, a.files)
    elif a.set == "demo":
        frag = set_demo(b)
    elif a.set == "tiny":
        frag = set_tiny(b)
    size_mib = a.size_mib
    if size_mib is None:
        need = 0
        for e in b.entries:
            if e.kind == "file" and not e.sparse:
                need += (e.size + a.cluster - 1) // a.cluster * a.cluster
            elif e.sparse:
                need += sum(len(c) for _, c in e.chunks) + 4 * a.cluster
            need += 1024 + 512
        size_mib = max(64, (need * 3 // 2) // (1 << 20) + 48)
        if a.set == "big":
            # TSK refuses a sparse run longer than the volume, so the volume
            # must be larger than the file even though the holes cost nothing.
            size_mib = max(size_mib, a.big_mib + 64)
    t0 = time.time()
    out = os.path.abspath(a.out)
    if os.path.exists(out):
        os.unlink(out)
    with open(out, "wb") as f:
        f.truncate(size_mib * 1024 * 1024)
    run(["mkntfs", "-F", "-Q", "-c", str(a.cluster), "-L", "PELMORA", out])
    tmp = tempfile.mkdtemp(prefix="mkvolume.")
    mnt = os.path.join(tmp, "mnt")
    os.mkdir(mnt)
    try:
        proc = mount(out, mnt)
        try:
            populate(mnt, b, frag)
            delete_and_finish(mnt, b)
        finally:
            umount(mnt, proc)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    set_serial_bytes(out, a.serial if a.serial is not None else DEFAULT_NTFS_SERIAL)
    t1 = time.time()
    mismatch = inspect(out, b, want_runs=(a.set != "bench"))
    write_manifest(a.manifest, b)
    for e in frag:
        log("fragmented %s: %d runs" % (e.path, e.fragments))
        if e.fragments < 2:
            log("warning: %s is not fragmented" % e.path)
    log("%s set: %d entries, %d MiB volume, build %.1fs, inspect %.1fs"
        % (a.set, len(b.entries), size_mib, t1 - t0, time.time() - t1))
    if mismatch:
        log("record mismatches: %d" % mismatch)
        return 1
    return 0


def cmd_fat(a):
    # FAT32 needs >= 65525 clusters to be FAT32 at all (TSK rejects fewer).
    size = a.size_mib if a.size_mib is not None else (40 if a.fat == 32 else 16)
    if a.fat == 32 and size < 33:
        log("FAT32 needs at least 33 MiB (65525 clusters of 512 bytes)")
        return 2
    out = os.path.abspath(a.out)
    if os.path.exists(out):
        os.unlink(out)
    with open(out, "wb") as f:
        f.truncate(size * 1024 * 1024)
    cmd = ["mkfs.fat", "-F", str(a.fat), "-n", "PELMORA"]
    if a.fat == 32:
        cmd += ["-s", "1"]  # enough clusters for FAT32 on small images
    cmd += ["-i", "%08X" % (a.serial if a.serial is not None else DEFAULT_FAT_SERIAL)]
    run(cmd + [out])
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("fs", choices=["ntfs", "fat"])
    ap.add_argument("out")
    ap.add_argument("--manifest")
    ap.add_argument("--size-mib", type=int)
    ap.add_argument("--cluster", type=int, default=4096)
    ap.add_argument("--serial", type=lambda s: int(s, 0),
                    help="default 0x1234ABCD5678EF01 (NTFS), 0x1234ABCD (FAT)")
    ap.add_argument("--set", default="standard", choices=["standard", "bench", "names", "big", "demo", "tiny"])
    ap.add_argument("--files", type=int, default=20000)
    ap.add_argument("--big-mib", type=int, default=300)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--fat", type=int, default=32, choices=[32, 16, 12])
    a = ap.parse_args()
    if a.fs == "ntfs":
        if not a.manifest:
            ap.error("ntfs needs --manifest")
        return cmd_ntfs(a)
    return cmd_fat(a)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except subprocess.CalledProcessError as ex:
        log("command failed: %s\n%s" % (" ".join(ex.cmd),
                                        (ex.stderr or b"").decode(errors="replace")))
        sys.exit(2)
