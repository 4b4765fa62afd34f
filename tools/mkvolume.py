#!/usr/bin/env python3
"""Build real test volumes (NTFS through mkntfs + ntfs-3g, or FAT) plus a manifest.

  mkvolume.py ntfs OUT.img --manifest OUT.tsv [--size-mib N] [--cluster B]
              [--serial 0xHEX16] [--set standard|bench|names|big|demo|tiny|
              compressed|attrlist|sect4k|reused|lowrec|overwritten|wof|
              placeholders|shortruns]
              [--files N] [--big-mib N] [--seed S]
  mkvolume.py fat OUT.img [--size-mib 16] [--fat 32|16|12] [--serial 0xHEX8]

Every file is written and deleted through a real ntfs-3g mount, so the image
holds exactly what a real NTFS driver leaves behind after a delete. The
scripted sets (compressed ... overwritten) add raw steps between mounts where
another driver leaves records otherwise (see tools/README.md).
"""
import argparse
import contextlib
import errno
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
from concurrent.futures import ThreadPoolExecutor

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
                 "mtime", "fragments", "record", "data", "chunks", "sparse", "extra")

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
        self.extra = {}       # the scripted sets' extra manifest columns

    def content(self):
        """The whole logical content (holes as zeros)."""
        if not self.sparse:
            return self.data
        out = bytearray(self.size)
        for off, blob in self.chunks:
            out[off:off + len(blob)] = blob
        return bytes(out)


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

    def sparse_file(self, path, size, chunks, state="deleted", fill=None):
        """chunks: [(offset, length)] of real data; everything else is a hole.
        fill(n) makes a chunk's bytes (random by default)."""
        self._ensure_parent(path)
        e = self._times(Entry(state, "file", path, size))
        e.sparse = True
        e.chunks = [(off, (fill or self.rng.randbytes)(n)) for off, n in chunks]
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

def mount(img, mnt, options=()):
    # Foreground ntfs-3g, so we own its pid and can wait until it has
    # written everything back to the image after umount.
    errlog = tempfile.TemporaryFile()
    opts = ",".join(("no_detach", "big_writes") + tuple(options))
    proc = subprocess.Popen(["ntfs-3g", "-o", opts, img, mnt],
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


def write_planned(p, e, data):
    """Makes the folder, or writes the file: a sparse one as its chunks, any other as `data`."""
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
            f.write(data)


def populate(mnt, b, frag):
    entries = b.entries
    fragset = set(id(e) for e in frag)
    for e in entries:
        p = os.path.join(mnt, e.path)
        write_planned(p, e, b"" if id(e) in fragset else e.data)
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
    return runs_listed(p.stdout.decode("utf-8", "replace"))


def runs_listed(istat_r):
    """Runs istat -r lists for the first non-resident $DATA."""
    runs = 0
    in_data = False
    for line in istat_r.split("\n"):
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


# --------------------------------------------------------------------------
# Raw FILE records: just enough of the on-disk format to snapshot, patch and
# move records of an unmounted image where no driver here leaves them the way
# Windows (or another driver) would. TSK stays the judge of the result.

ATTR_ATTRIBUTE_LIST = 0x20
ATTR_FILE_NAME = 0x30
ATTR_DATA = 0x80
ATTR_BITMAP = 0xB0
ATTR_END = 0xFFFFFFFF
REF_MASK = (1 << 48) - 1
FILE_ATTRIBUTE_COMPRESSED = 0x800


def le(b, off, n, signed=False):
    if off < 0 or off + n > len(b):
        raise ValueError("field at %d+%d outside %d bytes" % (off, n, len(b)))
    return int.from_bytes(b[off:off + n], "little", signed=signed)


def decode_runs(b):
    """[(lcn or None for a hole, clusters)] of a mapping-pairs array."""
    runs, pos, lcn = [], 0, 0
    while pos < len(b) and b[pos]:
        h = b[pos]
        nl, no = h & 0x0F, h >> 4
        if nl == 0 or pos + 1 + nl + no > len(b):
            raise ValueError("bad run header")
        n = le(b, pos + 1, nl)
        if no:
            lcn += le(b, pos + 1 + nl, no, signed=True)
            runs.append((lcn, n))
        else:
            runs.append((None, n))
        pos += 1 + nl + no
    return runs


def parse_attributes(rec):
    """Attributes of one fixed-up record, in record order."""
    out = []
    off = le(rec, 0x14, 2)
    while off + 8 <= len(rec):
        t = le(rec, off, 4)
        if t == ATTR_END:
            break
        ln = le(rec, off + 4, 4)
        if ln < 24 or off + ln > len(rec):
            raise ValueError("attribute length %d at %d" % (ln, off))
        a = {"type": t, "offset": off, "nonresident": rec[off + 8],
             "flags": le(rec, off + 12, 2), "id": le(rec, off + 14, 2)}
        nlen, noff = rec[off + 9], le(rec, off + 10, 2)
        a["name"] = bytes(rec[off + noff:off + noff + 2 * nlen]).decode("utf-16-le")
        if a["nonresident"]:
            a["lowest_vcn"] = le(rec, off + 16, 8)
            a["highest_vcn"] = le(rec, off + 24, 8)
            a["size"] = le(rec, off + 48, 8)
            a["runs"] = decode_runs(rec[off + le(rec, off + 32, 2):off + ln])
        else:
            vlen, voff = le(rec, off + 16, 4), le(rec, off + 20, 2)
            if voff + vlen > ln:
                raise ValueError("resident value outside its attribute")
            a["value"] = bytes(rec[off + voff:off + voff + vlen])
            a["size"] = vlen
        out.append(a)
        off += ln
    return out


def parse_attribute_list(value):
    """Entries of an $ATTRIBUTE_LIST value: type, name, lowest VCN, record, id."""
    out, pos = [], 0
    while pos + 26 <= len(value):
        ln = le(value, pos + 4, 2)
        if ln < 26 or pos + ln > len(value):
            raise ValueError("bad attribute list entry")
        nlen, noff = value[pos + 6], value[pos + 7]
        out.append({"type": le(value, pos, 4),
                    "name": value[pos + noff:pos + noff + 2 * nlen].decode("utf-16-le"),
                    "lowest_vcn": le(value, pos + 8, 8),
                    "ref": le(value, pos + 16, 8), "id": le(value, pos + 24, 2)})
        pos += ln
    return out


def file_names(attrs):
    """(name, namespace, parent ref) of each $FILE_NAME value given."""
    out = []
    for a in attrs:
        if a["type"] == ATTR_FILE_NAME and not a["nonresident"]:
            v = a["value"]
            n = v[0x40]
            out.append((v[0x42:0x42 + 2 * n].decode("utf-16-le"), v[0x41], le(v, 0, 8)))
    return out


class RawVolume:
    """An unmounted NTFS image read and patched through $MFT's own run list."""

    def __init__(self, img):
        self.img = img
        with open(img, "rb") as f:
            boot = f.read(512)
        if boot[3:11] != b"NTFS    ":
            raise RuntimeError("%s: not an NTFS boot sector" % img)
        self.sector = le(boot, 0x0B, 2)
        self.cluster = self.sector * boot[0x0D]
        self.total_clusters = le(boot, 0x28, 8) * self.sector // self.cluster
        rs = le(boot, 0x40, 1, signed=True)
        self.rec_size = self.cluster * rs if rs > 0 else 1 << -rs
        self.mft_lcn = mft_lcn = le(boot, 0x30, 8)
        with open(img, "rb") as f:
            f.seek(mft_lcn * self.cluster)
            rec0 = self.fixed(f.read(self.rec_size))
        attrs = parse_attributes(rec0)
        self.mft_runs = next(a["runs"] for a in attrs if a["type"] == ATTR_DATA and not a["name"])
        self.mft_bitmap = next(a for a in attrs if a["type"] == ATTR_BITMAP and not a["name"])
        self.mft_records = sum(n for _, n in self.mft_runs) * self.cluster // self.rec_size

    def extents(self, runs, off, length):
        """Image byte ranges holding bytes off..off+length of a value."""
        out, vpos = [], 0
        for lcn, n in runs:
            span = n * self.cluster
            lo, hi = max(off, vpos), min(off + length, vpos + span)
            if lo < hi:
                if lcn is None:
                    raise RuntimeError("bytes %d..%d lie in a hole" % (lo, hi))
                out.append((lcn * self.cluster + lo - vpos, hi - lo))
            vpos += span
        if sum(n for _, n in out) != length:
            raise RuntimeError("bytes %d..%d lie past the runs" % (off, off + length))
        return out

    def read(self, extents):
        with open(self.img, "rb") as f:
            parts = []
            for pos, n in extents:
                f.seek(pos)
                parts.append(f.read(n))
        return b"".join(parts)

    def write(self, extents, data):
        assert sum(n for _, n in extents) == len(data)
        with open(self.img, "r+b") as f:
            at = 0
            for pos, n in extents:
                f.seek(pos)
                f.write(data[at:at + n])
                at += n

    def read_raw(self, n):
        """Record n as it lies on the disk (update sequence not applied)."""
        return self.read(self.extents(self.mft_runs, n * self.rec_size, self.rec_size))

    def write_raw(self, n, raw):
        assert len(raw) == self.rec_size
        self.write(self.extents(self.mft_runs, n * self.rec_size, self.rec_size), raw)

    def fixed(self, raw):
        """The record with its update sequence applied (every 512-byte stride)."""
        if raw[:4] != b"FILE":
            raise RuntimeError("no FILE magic")
        b = bytearray(raw)
        usa, count = le(b, 4, 2), le(b, 6, 2)
        if count != len(b) // 512 + 1 or usa + 2 * count > len(b):
            raise RuntimeError("bad update sequence array")
        usn = b[usa:usa + 2]
        for i in range(1, count):
            end = i * 512
            if b[end - 2:end] != usn:
                raise RuntimeError("torn record (stride %d)" % i)
            b[end - 2:end] = b[usa + 2 * i:usa + 2 * i + 2]
        return bytes(b)

    def record(self, n):
        return self.fixed(self.read_raw(n))

    def value(self, a):
        if not a["nonresident"]:
            return a["value"]
        return self.read(self.extents(a["runs"], 0, a["size"]))

    def _bitmap_extent(self, n):
        if self.mft_bitmap["nonresident"]:
            return self.extents(self.mft_bitmap["runs"], n // 8, 1)
        raise RuntimeError("resident $MFT bitmap not handled")

    def in_use(self, n):
        return bool(self.read(self._bitmap_extent(n))[0] >> (n % 8) & 1)

    def set_in_use(self, n, on):
        ext = self._bitmap_extent(n)
        byte = self.read(ext)[0]
        byte = byte | (1 << (n % 8)) if on else byte & ~(1 << (n % 8))
        self.write(ext, bytes((byte,)))

    def record_set(self, base):
        """The base record and every extension record its attribute list names."""
        recs = [base]
        for a in parse_attributes(self.record(base)):
            if a["type"] == ATTR_ATTRIBUTE_LIST:
                for ent in parse_attribute_list(self.value(a)):
                    r = ent["ref"] & REF_MASK
                    if r not in recs:
                        recs.append(r)
        return recs

    def free_clusters(self):
        """Free cluster ranges [(first, count)] from $Bitmap (record 6)."""
        bm = next(a for a in parse_attributes(self.record(6))
                  if a["type"] == ATTR_DATA and not a["name"])
        bits = self.value(bm)
        out, i, n = [], 0, self.total_clusters
        while i < n:
            if bits[i >> 3] >> (i & 7) & 1:
                i += 1
                continue
            j = i
            while j < n and not bits[j >> 3] >> (j & 7) & 1:
                j += 1
            out.append((i, j - i))
            i = j
        return out


def snapshot(rv, base):
    """Raw bytes of a file's records, and of its attribute list when that
    lies in clusters (ntfs-3g rewrites it there as it removes each name),
    taken before ntfs-3g deletes the file."""
    snaps = {}
    for n in rv.record_set(base):
        raw = rv.read_raw(n)
        if not le(rv.fixed(raw), 0x16, 2) & 1:
            raise RuntimeError("record %d is not in use" % n)
        snaps[n] = raw
    for a in parse_attributes(rv.record(base)):
        if a["type"] == ATTR_ATTRIBUTE_LIST and a["nonresident"]:
            whole = sum(n for _, n in a["runs"]) * rv.cluster
            ext = rv.extents(a["runs"], 0, whole)
            snaps["list"] = (ext, rv.read(ext))
    return snaps


def free_like_windows(rv, snaps):
    """Write back records the way Windows leaves a deleted file.

    ntfs-3g's own delete of a file with an $ATTRIBUTE_LIST strips its
    $FILE_NAMEs and drops the list's last $DATA entry; Windows only clears
    the in-use flag and raises the sequence number of each record. So the
    records are written back from their snapshots with just those two changes,
    and a non-resident list's clusters as they were (ntfs-3g has already
    removed the index entries and freed the records and clusters in the
    bitmaps, as Windows does). Both fields lie in the first
    512-byte stride, before its update-sequence slot, so the fix-ups stay
    valid as they are."""
    assert 0x16 + 2 <= 512 - 2 and 0x10 + 2 <= 512 - 2
    if "list" in snaps:
        rv.write(*snaps["list"])
    for n, raw in snaps.items():
        if n == "list":
            continue
        b = bytearray(raw)
        seq = le(b, 0x10, 2)
        b[0x10:0x12] = (seq + 1 if seq < 0xFFFF else 1).to_bytes(2, "little")
        b[0x16] &= 0xFE
        rv.write_raw(n, bytes(b))
        if rv.in_use(n):
            raise RuntimeError("record %d is still marked in use in $MFT's bitmap" % n)


# --------------------------------------------------------------------------
# Scripted sets: written through several mounts with raw steps in between;
# their manifests carry EXTRA_COLUMNS after the usual ones.

EXTRA_COLUMNS = ["shown", "readable", "readable_sha256", "dataflags", "clusters",
                 "reused", "recoverability", "note"]


class Scripted:
    """One image made by mkntfs and then worked on through ntfs-3g mounts."""

    def __init__(self, out, b, size_mib, mkntfs_extra=(), mount_options=()):
        self.out, self.b, self.size_mib = out, b, size_mib
        self.mkntfs_extra = list(mkntfs_extra)
        self.mount_options = tuple(mount_options)
        self.tmp = tempfile.mkdtemp(prefix="mkvolume.")
        self.mnt = os.path.join(self.tmp, "mnt")
        os.mkdir(self.mnt)
        self.hidden = []     # planned entries that must not reach the manifest
        self.checks = []     # (entry, check(istat -r text) -> problem or None)

    def mkfs(self):
        if os.path.exists(self.out):
            os.unlink(self.out)
        with open(self.out, "wb") as f:
            f.truncate(self.size_mib * 1024 * 1024)
        run(["mkntfs", "-F", "-Q", "-c", str(self.b.cluster), *self.mkntfs_extra,
             "-L", "PELMORA", self.out])

    @contextlib.contextmanager
    def mounted(self):
        proc = mount(self.out, self.mnt, self.mount_options)
        try:
            yield self.mnt
        finally:
            umount(self.mnt, proc)

    def p(self, e):
        return os.path.join(self.mnt, e if isinstance(e, str) else e.path)

    def create(self, e, data=None):
        """Write a planned file (or make a folder); note its record."""
        p = self.p(e)
        write_planned(p, e, e.data if data is None else data)
        e.record = os.stat(p).st_ino & REF_MASK

    def finish_file(self, e):
        set_attrs(self.p(e), e)
        set_times(self.p(e), e)

    def close(self):
        shutil.rmtree(self.tmp, ignore_errors=True)


def check(cond, msg):
    if not cond:
        raise RuntimeError(msg)


def note(e, tag):
    e.extra["note"] = ",".join(filter(None, (e.extra.get("note", ""), tag)))


def text_fill(b):
    return lambda n: text(b.rng, n)


def build_compressed(v, b):
    """NTFS-compressed files (mounted with -o compression)."""
    c = b.cluster
    if c > 4096:
        raise RuntimeError("NTFS compresses only with clusters of 4096 bytes or less")
    unit = 16 * c
    r = b.rng
    packed = b.dir("Packed")
    packed.attrs = FILE_ATTRIBUTE_COMPRESSED
    b.dir("Plain")
    files = [
        b.file("Packed/small.txt", 3000, data=text(r, 3000)),
        b.file("Packed/units.txt", 3 * unit + unit // 3, data=text(r, 3 * unit + unit // 3)),
        b.file("Packed/random.bin", 2 * unit + 777),
        b.file("Packed/mixed.bin", 2 * unit + unit // 2,
               data=text(r, unit) + r.randbytes(unit) + text(r, unit // 2)),
        b.sparse_file("Packed/holes.bin", 5 * unit + 100,
                      [(0, unit + unit // 2), (4 * unit, unit + 100)], fill=text_fill(b)),
        b.file("Packed/resident.txt", 300, data=text(r, 300)),
        b.file("Packed/empty.txt", 0),
        b.file("Packed/kept.txt", 2 * unit + 5, state="kept", data=text(r, 2 * unit + 5)),
        b.file("Packed/kept_random.bin", unit + 9, state="kept"),
    ]
    old = b.dir("Packed/OldPacked", state="deleted")
    files.append(b.file("Packed/OldPacked/inner.txt", unit + 50, data=text(r, unit + 50)))
    moved = b.file("Plain/moved.txt", 2 * unit + 1000, data=text(r, 2 * unit + 1000))
    note(moved, "compressed-in-plain-folder")
    kept_moved = b.file("Plain/kept_moved.txt", unit + 1000, state="kept",
                        data=text(r, unit + 1000))
    v.mkfs()
    with v.mounted():
        v.create(packed)
        os.setxattr(v.p(packed), "system.ntfs_attrib_be",
                    (0x10 | FILE_ATTRIBUTE_COMPRESSED).to_bytes(4, "big"))
        v.create(b.by_path["Plain"])
        v.create(old)
        for e in files:
            v.create(e)
        for e in (moved, kept_moved):
            # Written in the compressed folder, then moved: the data stays
            # compressed in a folder that is not.
            tmp = os.path.join(v.mnt, "Packed", "_" + os.path.basename(e.path))
            with open(tmp, "wb") as f:
                f.write(e.data)
            os.rename(tmp, v.p(e))
            e.record = os.stat(v.p(e)).st_ino & REF_MASK
        for e in files + [moved, kept_moved]:
            set_times(v.p(e), e)
        delete_and_finish(v.mnt, b)
    for e in files + [moved, kept_moved]:
        if e.size > 1000:
            v.checks.append((e, lambda t: None if data_flags(t).endswith(",compressed")
                             else "$DATA is not compressed"))
    holes = b.by_path["Packed/holes.bin"]
    v.checks.append((holes, lambda t: None if any(
        int(n) >= 16 + 16 for n in re.findall(r"length: (\d+)\s+Sparse", t))
        else "no all-sparse unit between the compressed ones"))
    return []


def build_sect4k(v, b):
    """The standard set on 4096-byte sectors and FILE records.

    Here ntfs-3g gives each growing file room of its own, so the fragmented
    files are grown in the one free range the kept fillers leave."""
    frag = set_standard(b)
    v.mkfs()
    with v.mounted():
        for e in b.entries:
            v.create(e, data=b"" if e in frag else None)
    need = sum(e.size // b.cluster + 1 for e in frag) + 64
    fills = [b.file("fill_%d.bin" % i, n * b.cluster, state="kept", data=bytes(n * b.cluster))
             for i, n in enumerate(fill_plan(RawVolume(v.out), need)) if n]
    with v.mounted():
        for e in fills:
            v.create(e)
        grow_in_turns(v.mnt, frag, b.cluster)
        for e in b.entries:
            if e.kind == "file":
                set_attrs(v.p(e), e)
                set_times(v.p(e), e)
        delete_and_finish(v.mnt, b)
    return frag


def build_reused(v, b):
    """A deleted folder whose record a new folder takes, and one whose record stays."""
    r = b.rng
    old = b.dir("Old", state="deleted")
    old_files = [b.file("Old/letter.txt", 5000, data=text(r, 5000)),
                 b.file("Old/photo.bin", 20000),
                 b.file("Old/short.txt", 300, data=text(r, 300))]
    gone = b.dir("Gone", state="deleted")
    gone_files = [b.file("Gone/report.txt", 6000, data=text(r, 6000)),
                  b.file("Gone/tiny.txt", 200, data=text(r, 200))]
    keep = b.dir("Keep")
    keep_files = [b.file("Keep/kept.txt", 900, state="kept", data=text(r, 900)),
                  b.file("Keep/deleted.txt", 7000, data=text(r, 7000))]
    new = b.dir("New")
    v.mkfs()
    with v.mounted():
        # Old first: at the next mount ntfs-3g hands out the lowest free
        # record from 64 on, which is then Old's.
        for e in [old] + old_files + [gone] + gone_files + [keep] + keep_files:
            v.create(e)
        for e in old_files + gone_files + keep_files:
            set_times(v.p(e), e)
        for e in old_files + gone_files + [keep_files[1]]:
            os.unlink(v.p(e))
        set_times(v.p(old), old)
        os.rmdir(v.p(old))
    with v.mounted():
        v.create(new)
        check(new.record == old.record, "New took record %d, not Old's %d"
              % (new.record, old.record))
        for e in (gone, keep, new):
            set_times(v.p(e), e)
        os.rmdir(v.p(gone))
    # Old's record now is New's: no row for Old; its files are orphans.
    v.hidden.append(old)
    for e in old_files:
        e.extra["shown"] = "?\\" + e.path.rsplit("/", 1)[1]
        note(e, "parent-reused")
    note(new, "took-deleted-folder-record")
    return []


LOW_SLOTS = (18, 21, 27, 29)
LOW_BLANK = 28   # a formatted, never used record: the template for a freed slot


def build_lowrec(v, b):
    """Deleted files whose records lie in 16-29, where ntfs-3g never puts one."""
    r = b.rng
    movers = [b.file("low_resident.txt", 300, data=text(r, 300)),
              b.file("low_data.bin", 20000),
              b.file("Docs/low_in_folder.txt", 5000, data=text(r, 5000)),
              b.file("Docs/low_empty.txt", 0)]
    b.file("Docs/kept.txt", 800, state="kept", data=text(r, 800))
    b.file("ordinary_deleted.txt", 3000, data=text(r, 3000))
    v.mkfs()
    with v.mounted():
        populate(v.mnt, b, [])
        delete_and_finish(v.mnt, b)
    rv = RawVolume(v.out)
    blank = rv.read_raw(LOW_BLANK)
    check(not parse_attributes(rv.fixed(blank)), "record %d is not blank" % LOW_BLANK)
    for e, slot in zip(movers, LOW_SLOTS):
        move_record(rv, e.record, slot, blank)
        e.record = slot
        note(e, "moved-record")
    return []


def move_record(rv, src, dst, blank):
    """Move a deleted file's record to slot dst (as another driver would have
    placed it) and leave src as a formatted, never used record."""
    raw = bytearray(rv.read_raw(src))
    rec = rv.fixed(bytes(raw))
    check(not le(rec, 0x16, 2) & 1, "record %d is in use" % src)
    old = rv.fixed(rv.read_raw(dst))
    check(not le(old, 0x16, 2) & 1 and not rv.in_use(dst), "slot %d is in use" % dst)
    check(le(rec, 0x2C, 4) == src, "record %d names itself %d" % (src, le(rec, 0x2C, 4)))
    # 0x2C (this record's number) lies in the first stride, clear of the
    # update-sequence slot, so the fix-ups stay valid.
    raw[0x2C:0x30] = dst.to_bytes(4, "little")
    rv.write_raw(dst, bytes(raw))
    fresh = bytearray(blank)
    fresh[0x2C:0x30] = src.to_bytes(4, "little")
    rv.write_raw(src, bytes(fresh))


def build_overwritten(v, b):
    """Deleted files whose clusters are intact, partly or wholly taken again.

    The data zones are filled first, so that a deleted file's clusters are the
    largest free range there, and ntfs-3g starts the next new file at the
    start of it."""
    c = b.cluster
    r = b.rng
    full = b.file("overwritten_full.bin", 16 * c)
    part = b.file("overwritten_part.bin", 16 * c)
    a_earlier = b.file("a_earlier.bin", 12 * c)
    intact = b.file("intact.bin", 5 * c)
    resident = b.file("resident.txt", 300, data=text(r, 300))
    sparse = b.sparse_file("sparse.bin", 40 * c, [(0, 2 * c), (30 * c, 3 * c + 17)])
    kept = b.file("kept.txt", 2000, state="kept", data=text(r, 2000))
    # Kept one-cluster files between the victims keep their freed ranges apart.
    seps = [b.file("sep_%d.bin" % i, c, state="kept") for i in range(3)]
    first = [full, seps[0], part, seps[1], a_earlier, seps[2], intact, resident, sparse, kept]
    v.mkfs()
    with v.mounted():
        for e in first:
            v.create(e)
            set_times(v.p(e), e)
    fills = [b.file("fill_%d.bin" % i, n * c, state="kept", data=bytes(n * c))
             for i, n in enumerate(fill_plan(RawVolume(v.out), 0)) if n]
    new_full = b.file("new_full.bin", 16 * c, state="kept")
    new_part = b.file("new_part.bin", 6 * c, state="kept")
    b_later = b.file("b_later.bin", 12 * c)
    with v.mounted():
        for e in fills:
            v.create(e)
            set_times(v.p(e), e)
        # The takers' records first: ntfs-3g reuses a freed record at once.
        takers = ((full, new_full), (part, new_part), (a_earlier, b_later))
        for _, taker in takers:
            v.create(taker, data=b"")
        for victim, taker in takers:
            os.unlink(v.p(victim))
            with open(v.p(taker), "wb") as f:
                f.write(taker.data)
            set_times(v.p(taker), taker)
        for e in (b_later, intact, resident, sparse):
            os.unlink(v.p(e))
    want = {full: "Overwritten", part: "Partly overwritten", a_earlier: "Overwritten",
            b_later: "Intact", intact: "Intact", resident: "Intact", sparse: "Intact"}
    for e, state in want.items():
        e.extra["want_state"] = state
    note(a_earlier, "overwritten-by-deleted")
    return []


ATTRLIST_ROUNDS = 1400          # chunks for each of the two big fragmented files
ATTRLIST_ROUNDS_LOST = 1100     # chunks for the file that loses a middle piece
ATTRLIST_LINKS = 30
ATTRLIST_TAGS = 16


def tag_folder(p):
    # ntfs-3g keeps user xattrs as named $DATA streams: enough of them fill
    # the folder's record, and ntfs-3g then moves its $FILE_NAME (the first
    # attribute it moves) into an extension record.
    for i in range(1, ATTRLIST_TAGS + 1):
        os.setxattr(p, "user.tag_%02d" % i, b"value number %02d of this folder" % i)


def fill_plan(rv, need):
    """Sizes (clusters) of kept filler files that leave one free range of
    `need` clusters outside the MFT zone, in the order to write them: ntfs-3g
    starts a new file at the start of the largest free range."""
    zone_lo = rv.mft_lcn
    zone_hi = zone_lo + rv.total_clusters // 8
    ranges = []
    for start, n in rv.free_clusters():
        end = start + n
        for lo, hi in ((start, min(end, zone_lo)), (max(start, zone_hi), end)):
            if hi > lo:
                ranges.append(hi - lo)
    ranges.sort(reverse=True)
    check(ranges and ranges[0] >= need, "no free range of %d clusters" % need)
    return [ranges[0] - need] + [n for n in ranges[1:] if n > need]


def build_attrlist(v, b):
    """Files and folders whose attributes spill into extension records."""
    c = b.cluster
    check(c == 4096, "the attrlist set needs --cluster 4096")
    r = b.rng
    f1 = b.file("frag_deleted.bin", ATTRLIST_ROUNDS * c)
    f2 = b.file("frag_kept.bin", ATTRLIST_ROUNDS * c, state="kept")
    f3 = b.file("frag_piece_lost.bin", ATTRLIST_ROUNDS_LOST * c)
    links = b.dir("Links")
    linked = b.file("Links/Linked File.txt", 3000, data=text(r, 3000))
    link_paths = ["Links/link_%02d.txt" % i for i in range(1, ATTRLIST_LINKS + 1)]
    tagged = b.dir("Tagged")
    t_files = [b.file("Tagged/note.txt", 2000, data=text(r, 2000)),
               b.file("Tagged/data.bin", 9000),
               b.file("Tagged/kept.txt", 700, state="kept", data=text(r, 700))]
    gone = b.dir("TaggedGone", state="deleted")
    g_files = [b.file("TaggedGone/old.txt", 1500, data=text(r, 1500)),
               b.file("TaggedGone/old.bin", 6000)]
    kept = b.file("kept.txt", 500, state="kept", data=text(r, 500))
    small = [linked] + t_files + g_files + [kept]
    v.mkfs()
    with v.mounted():
        for d in (links, tagged, gone):
            v.create(d)
        tag_folder(v.p(tagged))
        tag_folder(v.p(gone))
        for e in small + [f1, f2, f3]:
            v.create(e, data=b"" if e in (f1, f2, f3) else None)
        # A DOS name makes the first name a Win32 one; ntfs-3g sets it only
        # while the file has one link. The links are POSIX names.
        os.setxattr(v.p(linked), "system.ntfs_dos_name", b"LINKED~1.TXT")
        for lp in link_paths:
            os.link(v.p(linked), v.p(lp))
    need = 2 * ATTRLIST_ROUNDS + ATTRLIST_ROUNDS_LOST + 64
    free = sum(fill_plan(RawVolume(v.out), 0))
    fills = []
    while free > need:
        n = min(4096, free - need)
        fills.append(b.file("fill_%d.bin" % len(fills), n * c, state="kept", data=bytes(n * c)))
        free -= n
    with v.mounted():
        # The room is written first and deleted after the fillers: then its
        # clusters are the data zone's only free ones. Its record is taken
        # again by the first extension record.
        with open(v.p("room.bin"), "wb") as f:
            f.write(bytes(need * c))
        for e in fills:
            v.create(e)
        os.unlink(v.p("room.bin"))
        # Grown in turns a cluster at a time where only the room is free,
        # each file's next cluster is taken by another: a run per cluster.
        hs = [open(v.p(e), "ab", buffering=0) for e in (f1, f2, f3)]
        try:
            for i in range(ATTRLIST_ROUNDS):
                for e, h in zip((f1, f2, f3), hs):
                    if (i + 1) * c <= e.size:
                        h.write(e.data[i * c:(i + 1) * c])
        finally:
            for h in hs:
                h.close()
        for e in small + [f1, f2, f3] + fills:
            set_times(v.p(e), e)
        for e in t_files[:2] + g_files:
            os.unlink(v.p(e))
        for d in (links, tagged, gone):
            set_times(v.p(d), d)
    rv = RawVolume(v.out)
    for e in (tagged, gone):
        base = parse_attributes(rv.record(e.record))
        check(not file_names(base), "%s keeps its $FILE_NAME in its base record" % e.path)
        note(e, "name-in-extension")
    names = []
    for n in rv.record_set(linked.record):
        names += [(nm, ns) for nm, ns, _ in file_names(parse_attributes(rv.record(n)))]
    log("%s: %d names in record order (namespace 0 POSIX, 1 Win32, 2 DOS): %s"
        % (linked.path, len(names), ", ".join("%s/%d" % x for x in names)))
    check([nm for nm, ns in names if ns == 1] == ["Linked File.txt"], "one Win32 name expected")
    snaps = {e.path: snapshot(rv, e.record) for e in (f1, f3, linked, gone)}
    with v.mounted():
        os.unlink(v.p(f1))
        os.unlink(v.p(f3))
        for lp in [linked.path] + link_paths:
            os.unlink(v.p(lp))
        os.rmdir(v.p(gone))
        set_times(v.p(links), links)
    for e in (f1, f3, linked, gone):
        free_like_windows(rv, snaps[e.path])
        note(e, "windows-delete")
        note(e, "extension-records=%d" % sum(1 for n in snaps[e.path]
                                               if n not in ("list", e.record)))
    note(linked, "names=%d" % len(names))
    for e in (f1, f2):
        note(e, "attribute-list")
        v.checks.append((e, lambda t: None if runs_listed(t) > 1000 else
                         "%d runs, not more than 1000" % runs_listed(t)))
    for e in (tagged, gone, f1, f2):
        # istat's view of the list: the $FILE_NAME lies in another record.
        v.checks.append((e, lambda t, rec=e.record: None if re.search(
            r"^Type: 48-\d+\s+MFT Entry: (?!%d\s)\d+" % rec, t, re.M)
            else "istat lists no $FILE_NAME in an extension record"))
    lose_a_piece(v, b, rv, f3)
    return [f1, f2, f3]


def lose_a_piece(v, b, rv, e):
    """Let a new file take one extension record of a deleted file, as a driver
    that hands out the lowest free record would: every free record below it
    is marked in use for that one mount, then freed again."""
    base = parse_attributes(rv.record(e.record))
    alist = next(a for a in base if a["type"] == ATTR_ATTRIBUTE_LIST)
    pieces = sorted((ent["lowest_vcn"], ent["ref"] & REF_MASK)
                    for ent in parse_attribute_list(rv.value(alist))
                    if ent["type"] == ATTR_DATA and not ent["name"])
    ext = [p for p in pieces if p[1] != e.record]
    check(len(ext) >= 3, "%s has %d $DATA pieces in extension records" % (e.path, len(ext)))
    # A middle piece: pieces before and after it survive.
    vcn, target = ext[len(ext) // 2]
    held = [n for n in range(64, target) if not rv.in_use(n)]
    for n in held:
        rv.set_in_use(n, True)
    taker = b.file("took_a_record.txt", 100, state="kept", data=text(b.rng, 100))
    with v.mounted():
        v.create(taker)
        set_times(v.p(taker), taker)
    rv = RawVolume(v.out)
    for n in held:
        rv.set_in_use(n, False)
    check(taker.record == target, "the new file took record %d, not %d" % (taker.record, target))
    readable = min(e.size, vcn * b.cluster)
    e.extra["readable"] = readable
    e.extra["readable_sha256"] = hashlib.sha256(e.data[:readable]).hexdigest()
    # The missing piece counts as overwritten; the pieces around it are intact.
    e.extra["recoverability"] = "Partly overwritten"
    note(e, "piece-lost=%d@vcn%d" % (target, vcn))
    log("%s: record %d held its $DATA piece from VCN %d; %s took it; %d of %d bytes readable"
        % (e.path, target, vcn, taker.path, readable, e.size))


# The largest value ntfs-3g takes for one extended attribute, and so for a
# WofCompressedData stream written as one.
XATTR_MAX = 65536
WOF_STREAM = "WofCompressedData"


def wof_chunk(b, kind, n):
    """n bytes of one kind: text, noise (stored raw), x86-like code (E8 calls
    with near targets, for LZX's call translation) or zeros."""
    if kind == "text":
        return text(b.rng, n)
    if kind == "noise":
        return b.rng.randbytes(n)
    if kind == "zeros":
        return bytes(n)
    code = bytearray(text(b.rng, n))
    at = 0
    while at + 5 <= n:
        code[at:at + 5] = b"\xe8" + struct.pack("<i", b.rng.randrange(-at, 4096))
        at += 5 + b.rng.randrange(12)
    return bytes(code)


def build_wof(v, b):
    """System-compressed files (WOF): a sparse unnamed $DATA of the file's
    size, the chunks in the named $DATA stream WofCompressedData (written as
    the user.WofCompressedData extended attribute) and a reparse point naming
    the algorithm. ntfs-3g serves such a file as an unsupported reparse
    point from then on, so its times are set before the reparse point."""
    sys.dont_write_bytecode = True  # keep tools/ free of __pycache__
    import wofchunks as w
    r = b.rng
    plans = [  # path, algorithm, chunk kinds (the last chunk is short), last chunk's bytes, state
        ("Programs/setup4k.exe", w.XPRESS4K, ["text", "noise", "calls", "zeros", "text"], 1234, "deleted"),
        ("Programs/library.dll", w.LZX, ["calls", "noise", "text"], 5000, "deleted"),
        ("Programs/tool8k.exe", w.XPRESS8K, ["calls", "text", "noise", "zeros"], 3000, "deleted"),
        ("Programs/data16k.bin", w.XPRESS16K, ["text", "noise", "calls"], 7000, "deleted"),
        ("Programs/small.dll", w.LZX, [], 3000, "deleted"),            # one chunk, no table
        ("Programs/kept.exe", w.XPRESS4K, ["text", "calls"], 100, "kept"),
        ("Programs/broken.exe", w.XPRESS8K, ["text", "calls", "text"], 2000, "deleted"),
    ]
    b.dir("Programs")
    wof = []
    for path, algorithm, kinds, tail, state in plans:
        chunk = w.CHUNK[algorithm]
        data = b"".join(wof_chunk(b, k, chunk) for k in kinds) + wof_chunk(b, "text", tail)
        e = b.file(path, len(data), state=state, data=data)
        stream, raw = w.stream(algorithm, data)
        note(e, "wof=" + w.NAMES[algorithm])
        note(e, "chunks=%d" % ((len(data) + chunk - 1) // chunk))
        note(e, "raw-chunks=%d" % raw)
        e.extra["wof"] = True
        wof.append((e, algorithm, stream))
    plain = b.file("Programs/readme.txt", 2500, data=text(r, 2500))
    # broken.exe: its second chunk's code lengths say more codes than there
    # are bit patterns, so nothing from that chunk on can be decoded.
    e, algorithm, stream = wof[-1]
    table = 4 * (len(e.data) // w.CHUNK[algorithm])
    second = table + struct.unpack_from("<I", stream, 0)[0]
    check(struct.unpack_from("<I", stream, 4)[0] - struct.unpack_from("<I", stream, 0)[0]
          < w.CHUNK[algorithm], "broken.exe's second chunk is stored raw")
    stream = stream[:second] + b"\x11" * 256 + stream[second + 256:]
    wof[-1] = (e, algorithm, stream)
    e.extra["readable"] = w.CHUNK[algorithm]
    e.extra["readable_sha256"] = hashlib.sha256(e.data[:w.CHUNK[algorithm]]).hexdigest()
    note(e, "corrupt-chunk=1")
    for e, _, stream in wof:
        check(len(stream) <= XATTR_MAX, "%s: a stream of %d bytes" % (e.path, len(stream)))
    v.mkfs()
    with v.mounted():
        v.create(b.by_path["Programs"])
        v.create(plain)
        v.finish_file(plain)
        for e, algorithm, stream in wof:
            p = v.p(e)
            open(p, "wb").close()
            os.truncate(p, e.size)
            e.record = os.stat(p).st_ino & REF_MASK
            os.setxattr(p, "user." + WOF_STREAM, stream)
            v.finish_file(e)
            os.setxattr(p, "system.ntfs_reparse_data", w.reparse_value(algorithm))
        delete_and_finish(v.mnt, b)
    for e, algorithm, stream in wof:
        v.checks.append((e, lambda t, e=e, algorithm=algorithm, stream=stream:
                         wof_problem(v.out, e, algorithm, stream, t)))
    return []


def wof_problem(img, e, algorithm, stream, istat):
    """What TSK shows of a system-compressed file that differs from what was
    written, or None: the stream's bytes, the reparse point's, and an unnamed
    $DATA of zeros."""
    import wofchunks as w
    named = re.search(r"^Type: \$DATA \(128-(\d+)\)\s+Name: %s\s" % WOF_STREAM, istat, re.M)
    reparse = re.search(r"^Type: \$REPARSE_POINT \(192-(\d+)\)", istat, re.M)
    if not named or not reparse:
        return "istat lists no %s stream or no reparse point" % WOF_STREAM
    views = {}
    for attr in ("128-" + named.group(1), "192-" + reparse.group(1), None):
        p = subprocess.run(["icat", img, str(e.record) + ("-" + attr if attr else "")],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        views[attr] = p.stdout
    if views["128-" + named.group(1)] != stream:
        return "icat gives other bytes for %s" % WOF_STREAM
    if views["192-" + reparse.group(1)] != w.reparse_value(algorithm):
        return "icat gives another reparse point"
    if views[None] != bytes(e.size):
        return "the unnamed $DATA is not %d zeros" % e.size
    return None


REPARSE_CLOUD = 0x9000001A      # a cloud-files placeholder; 0x9000x01A are its other providers
REPARSE_DEDUP = 0x80000013      # a file in the volume's deduplication store
REPARSE_OTHER = 0x80000021      # a tag nothing here knows
NOT_ON_DISK = "Not on this disk"


def reparse_value(tag, data):
    """A $REPARSE_POINT value: tag, data length, reserved, data."""
    return struct.pack("<IHH", tag, len(data), 0) + data


def set_reparse(p, value):
    """ntfs-3g writes the reparse point, then fails (EIO) to serve a file
    whose tag it cannot follow: the point is there all the same, as the
    set's checks see with istat and icat."""
    try:
        os.setxattr(p, "system.ntfs_reparse_data", value)
    except OSError as ex:
        if ex.errno != errno.EIO:
            raise


def reparse_problem(img, e, value, istat):
    """What TSK shows of a file's reparse point that differs from `value`."""
    m = re.search(r"^Type: \$REPARSE_POINT \(192-(\d+)\)", istat, re.M)
    if not m:
        return "istat lists no reparse point"
    got = subprocess.run(["icat", img, "%d-192-%s" % (e.record, m.group(1))],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE).stdout
    return None if got == value else "icat gives another reparse point"


def build_placeholders(v, b):
    """Files whose bytes are not in their $DATA: cloud placeholders (of two
    providers, one with its first bytes there, one pinned with all of them),
    a deduplicated file and one of a tag nothing here knows, each an unnamed
    $DATA made sparse with truncate and a reparse point written through
    ntfs-3g; beside them a plain file and a sparse file with no reparse
    point, whose holes are zeros."""
    r = b.rng
    b.dir("Cloud")
    b.dir("Dedup")
    plans = [  # entry, tag, provider data, the state the scan must show
        (b.sparse_file("Cloud/report.docx", 50000, []), REPARSE_CLOUD, b"\x01" * 16, NOT_ON_DISK),
        (b.sparse_file("Cloud/budget.xlsx", 20000, []), 0x9000701A, b"\x07" * 24, NOT_ON_DISK),
        (b.sparse_file("Cloud/partly.pdf", 40000, [(0, 8192)]), REPARSE_CLOUD, b"\x01" * 16, NOT_ON_DISK),
        (b.file("Cloud/pinned.txt", 12000, data=text(r, 12000)), REPARSE_CLOUD, b"\x01" * 16, "Intact"),
        (b.sparse_file("Dedup/archive.vhd", 64000, []), REPARSE_DEDUP, b"\x03" * 32, NOT_ON_DISK),
        (b.sparse_file("Dedup/other.bin", 30000, []), REPARSE_OTHER, b"\x04" * 8, NOT_ON_DISK),
        (b.sparse_file("Cloud/kept.docx", 10000, [], state="kept"), REPARSE_CLOUD, b"\x01" * 16, None),
    ]
    plain = b.file("Cloud/plain.txt", 3000, data=text(r, 3000))
    zeros = b.sparse_file("Dedup/zeros.bin", 40000, [(0, 4096)])
    zeros.extra["recoverability"] = "Intact"
    note(zeros, "sparse-no-reparse-point")
    v.mkfs()
    with v.mounted():
        for d in ("Cloud", "Dedup"):
            v.create(b.by_path[d])
        for e in [plain, zeros] + [e for e, _, _, _ in plans]:
            v.create(e)
            v.finish_file(e)
        for e, tag, data, _ in plans:
            set_reparse(v.p(e), reparse_value(tag, data))
        delete_and_finish(v.mnt, b)
    for e, tag, data, state in plans:
        if state:
            e.extra["recoverability"] = state
        note(e, "reparse=0x%08X" % tag)
        v.checks.append((e, lambda t, e=e, value=reparse_value(tag, data): reparse_problem(v.out, e, value, t)))
    return []


SHORT_PLAIN_CLUSTERS = 100   # the plain file's clusters; its runs are cut to the first tenth
SHORT_UNITS = 7              # the compressed file's units; its runs are cut after two


def encode_runs(runs):
    """A mapping-pairs array (with its terminator) for [(lcn or None, clusters)]."""
    out, last = bytearray(), 0
    for lcn, n in runs:
        length = n.to_bytes((n.bit_length() + 8) // 8, "little")
        if lcn is None:
            out += bytes((len(length),)) + length
            continue
        delta = lcn - last
        width = 1
        while not -(1 << (8 * width - 1)) <= delta < (1 << (8 * width - 1)):
            width += 1
        out += bytes((width << 4 | len(length),)) + length + delta.to_bytes(width, "little", signed=True)
        last = lcn
    return bytes(out) + b"\0"


def cut_runs(rv, rec, keep):
    """Rewrite the unnamed $DATA's run list of record `rec` (an unmounted
    image's) as the runs `keep` gives for the old ones, leaving its sizes
    and last VCN as they are: a run list that ends too soon."""
    raw = rv.read_raw(rec)
    fixed = bytearray(rv.fixed(raw))
    a = next(a for a in parse_attributes(bytes(fixed)) if a["type"] == ATTR_DATA and not a["name"])
    off = a["offset"]
    start, end = off + le(fixed, off + 0x20, 2), off + le(fixed, off + 4, 4)
    runs = keep(a["runs"])
    encoded = encode_runs(runs)
    check(len(encoded) <= end - start, "record %d: the cut run list is longer" % rec)
    fixed[start:end] = encoded + bytes(end - start - len(encoded))
    # The update sequence again: each stride's last two bytes go to the
    # array, the sequence number in their place.
    usa = le(fixed, 4, 2)
    for i in range(1, len(fixed) // 512 + 1):
        fixed[usa + 2 * i:usa + 2 * i + 2] = fixed[i * 512 - 2:i * 512]
        fixed[i * 512 - 2:i * 512] = fixed[usa:usa + 2]
    rv.write_raw(rec, bytes(fixed))
    return a["runs"], runs


def build_shortruns(v, b):
    """Deleted files whose run lists end before their last VCN and size say,
    as a damaged record leaves them: a plain file that keeps a tenth of its
    runs, a compressed file cut after two of its units, and a compressed
    file that lost only the sparse tail of its last unit (which the run
    list may leave out)."""
    c = b.cluster
    check(c <= 4096, "the shortruns set compresses: clusters of 4096 bytes or less")
    unit = 16 * c
    r = b.rng
    packed = b.dir("Packed")
    packed.attrs = FILE_ATTRIBUTE_COMPRESSED
    plain = b.file("plain.bin", SHORT_PLAIN_CLUSTERS * c)
    cut = b.file("Packed/cut.txt", SHORT_UNITS * unit, data=text(r, SHORT_UNITS * unit))
    tail = b.file("Packed/tail.txt", 3 * unit + unit // 4, data=text(r, 3 * unit + unit // 4))
    kept = b.file("kept.txt", 2000, state="kept", data=text(r, 2000))
    v.mkfs()
    with v.mounted():
        v.create(packed)
        os.setxattr(v.p(packed), "system.ntfs_attrib_be",
                    (0x10 | FILE_ATTRIBUTE_COMPRESSED).to_bytes(4, "big"))
        for e in (plain, cut, tail, kept):
            v.create(e)
            set_times(v.p(e), e)
        delete_and_finish(v.mnt, b)
    rv = RawVolume(v.out)

    def first(n):
        def keep(runs):
            out, vcn = [], 0
            for lcn, m in runs:
                if vcn >= n:
                    break
                out.append((lcn, min(m, n - vcn)))
                vcn += out[-1][1]
            return out
        return keep

    before, after = cut_runs(rv, plain.record, first(SHORT_PLAIN_CLUSTERS // 10))
    check(len(before) == 1, "plain.bin is in %d runs" % len(before))
    readable = SHORT_PLAIN_CLUSTERS // 10 * c
    plain.extra.update(readable=readable, recoverability="Partly overwritten",
                       readable_sha256=hashlib.sha256(plain.data[:readable]).hexdigest())
    note(plain, "runs-cut=%d/%d" % (SHORT_PLAIN_CLUSTERS // 10, SHORT_PLAIN_CLUSTERS))

    before, after = cut_runs(rv, cut.record, first(2 * 16))
    check(any(lcn is None for lcn, _ in after), "cut.txt's first units are not compressed")
    readable = 2 * unit
    cut.extra.update(readable=readable, recoverability="Partly overwritten",
                     readable_sha256=hashlib.sha256(cut.data[:readable]).hexdigest())
    note(cut, "runs-cut=%d/%d" % (2 * 16, sum(n for _, n in before)))

    before, after = cut_runs(rv, tail.record, lambda runs: runs[:-1] if runs[-1][0] is None else runs)
    check(len(after) < len(before) and before[-1][1] < 16, "tail.txt's last unit has no sparse tail")
    tail.extra["recoverability"] = "Intact"
    tail.extra["tsk_reads_otherwise"] = True
    note(tail, "sparse-tail-left-out=%d" % before[-1][1])
    return []


def build_fragmft(v, b):
    """An $MFT in fragments, as a volume that was nearly full when its files
    were made leaves it: a kept filler takes all but a few MiB, then folders
    of small files are made in turns with kept gap files, so that each turn's
    records must go where the gap files left room. A quarter of the small
    files are deleted."""
    rng = b.rng
    v.mkfs()
    turns, per_turn = 6, 64
    with v.mounted():
        st = os.statvfs(v.mnt)
        room = st.f_bavail * st.f_frsize - (10 << 20)
        filler = b.file("filler.bin", room // b.cluster * b.cluster, state="kept",
                        data=bytes(room // b.cluster * b.cluster))
        v.create(filler)
        os.sync()
        for t in range(turns):
            folder = b.dir("Turn%02d" % t)
            v.create(folder)
            for i in range(per_turn):
                size = 700 + (i * 37) % 3000
                v.create(b.file("Turn%02d/file_%03d.txt" % (t, i), size,
                                state="deleted" if i % 4 == 0 else "kept", data=text(rng, size)))
            v.create(b.file("gap_%02d.bin" % t, 256 << 10, state="kept"))
            os.sync()
        for e in b.entries:
            if e.kind == "file":
                v.finish_file(e)
        delete_and_finish(v.mnt, b)
    p = subprocess.run(["istat", "-r", v.out, "0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    runs = runs_listed(p.stdout.decode("utf-8", "replace"))
    check(runs >= 4, "the $MFT is in %d runs, not fragmented" % runs)
    log("$MFT in %d runs" % runs)
    return []


SCRIPTED = {
    # name: (builder, mount options, mkntfs options, default MiB)
    "fragmft": (build_fragmft, (), (), 64),
    "compressed": (build_compressed, ("compression",), (), 64),
    "attrlist": (build_attrlist, (), (), 64),
    "sect4k": (build_sect4k, (), ("-s", "4096"), 64),
    "reused": (build_reused, (), (), 32),
    "lowrec": (build_lowrec, (), (), 32),
    "overwritten": (build_overwritten, (), (), 24),
    "wof": (build_wof, (), (), 16),
    "placeholders": (build_placeholders, (), (), 16),
    "shortruns": (build_shortruns, ("compression",), (), 16),
}

FLS_LONG_RE = re.compile(r"^(\S+)\s+(\*\s+)?(\d+)(?:-\d+-\d+)?(\(realloc\))?:\t(.*)$")


def fls_long(img):
    """[(deleted, record, path, size)] from fls -r -p -l."""
    out = run(["fls", "-r", "-p", "-l", img], env=dict(os.environ, TZ="UTC")).stdout
    rows = []
    for line in out.decode("utf-8", "surrogateescape").split("\n"):
        m = FLS_LONG_RE.match(line)
        if m:
            f = m.group(5).split("\t")
            rows.append((bool(m.group(2)), int(m.group(3)), f[0], int(f[5]) if len(f) > 5 else -1))
    return rows


def istat_text(img, rec):
    p = subprocess.run(["istat", "-r", img, str(rec)], stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, env=dict(os.environ, TZ="UTC"))
    return p.returncode, p.stdout.decode("utf-8", "surrogateescape")


def data_flags(text):
    for line in text.split("\n"):
        if line.startswith("Type: $DATA") and "Name: N/A" in line:
            flags = ["nonresident" if "Non-Resident" in line else "resident"]
            flags += [f.lower() for f in ("Compressed", "Sparse", "Encrypted") if f in line]
            return ",".join(flags)
    return ""


def icat_bytes(img, rec):
    p = subprocess.run(["icat", img, str(rec)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return p.returncode, p.stdout


def finish_scripted(v, b, serial, frag):
    """Check every entry with TSK, fill the extra columns; returns problems."""
    sys.dont_write_bytecode = True  # keep tools/ free of __pycache__
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import stateoracle
    import tskoracle
    set_serial_bytes(v.out, serial)
    entries = [e for e in b.entries if e not in v.hidden]
    problems = []
    fls = fls_long(v.out)
    states = stateoracle.states(v.out)

    def tsk_views(e):
        rc, t = istat_text(v.out, e.record)
        runs = runs_listed(t) if e.kind == "file" and e.size else 0
        return rc, t, runs, icat_bytes(v.out, e.record) if e.kind == "file" else (0, b"")

    with ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        views = list(pool.map(tsk_views, entries))
    for e, (rc, text_, runs, (icat_rc, got)) in zip(entries, views):
        x = e.extra
        x.setdefault("shown", e.path)
        row = tskoracle.parse(e.record, text_.encode("utf-8", "surrogateescape")) if rc == 0 else None
        if row is None:
            problems.append("istat cannot read %s (record %d)" % (e.path, e.record))
            continue
        names = re.findall(r"^Name: (.*)$", text_.split("Attributes:")[0], re.M)
        base = e.path.rsplit("/", 1)[-1]
        if base not in names:
            problems.append("%s: istat names %s" % (e.path, names))
        if row["allocated"] != (e.state == "kept") or row["isdir"] != (e.kind == "dir"):
            problems.append("%s: istat allocated %d isdir %d" % (e.path, row["allocated"], row["isdir"]))
        if e.kind == "dir":
            continue
        if row["datasize"] != e.size:
            problems.append("%s: istat size %d, not %d" % (e.path, row["datasize"], e.size))
        x["dataflags"] = data_flags(text_)
        e.fragments = runs
        x.setdefault("readable", e.size)
        x.setdefault("readable_sha256", e.sha256)
        rc = icat_rc
        if e.state == "deleted":
            # fls cuts names at about 256 UTF-8 bytes.
            listed = [(e.path if e.path.startswith(p) and len(p.encode()) >= 250 else p, s)
                      for d, rec, p, s in fls if d and rec == e.record]
            if x["shown"] == e.path and listed.count((e.path, e.size)) != 1:
                problems.append("%s: fls -r -d lists record %d as %s" % (e.path, e.record, listed))
            elif x["shown"] != e.path:
                log("%s: fls lists record %d as %s" % (e.path, e.record, listed))
            st = states.get(e.record)
            if st is None:
                problems.append("%s: stateoracle has no row for record %d" % (e.path, e.record))
            else:
                n, alloc, by_deleted, _ = st
                reused = alloc + by_deleted
                x["clusters"], x["reused"] = n, reused
                x.setdefault("recoverability", "Intact" if n == 0 or reused == 0 else
                             "Overwritten" if reused >= n else "Partly overwritten")
                want = x.pop("want_state", None)
                if want and want != x["recoverability"]:
                    problems.append("%s: %s, not %s (%s)" % (e.path, x["recoverability"], want, st))
        if x.pop("wof", False):
            pass  # the bytes lie in WofCompressedData, which the set's own check compares
        elif x.pop("tsk_reads_otherwise", None):
            log("%s: icat gives %d bytes, %s the written ones: TSK does not read a compressed unit whose "
                "sparse tail the run list leaves out" % (e.path, len(got), "matching" if
                                                           hashlib.sha256(got).hexdigest() == e.sha256 else "not"))
        elif x["readable"] != e.size:
            same = got[:x["readable"]] == e.data[:x["readable"]]
            log("%s: icat rc %d gives %d bytes; the first %d %s the written ones"
                % (e.path, rc, len(got), x["readable"], "match" if same else "differ from"))
        elif x.get("recoverability", "Intact") != "Intact":
            log("%s: %s (%s), icat gives %s bytes" % (
                e.path, x["recoverability"], states.get(e.record),
                "the written" if hashlib.sha256(got).hexdigest() == e.sha256 else "other"))
        elif hashlib.sha256(got).hexdigest() != e.sha256:
            problems.append("%s: icat gives other bytes (rc %d, %d bytes)" % (e.path, rc, len(got)))
    for e, fn in v.checks:
        view = views[entries.index(e)]
        msg = fn(view[1]) if view[0] == 0 else "istat failed"
        if msg:
            problems.append("%s: %s" % (e.path, msg))
    for e in frag:
        log("fragmented %s: %d runs" % (e.path, e.fragments))
    b.entries = entries
    return problems


def write_scripted_manifest(path, b):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("\t".join(MANIFEST_COLUMNS + EXTRA_COLUMNS) + "\n")
        for e in b.entries:
            f.write("\t".join(str(x) for x in (
                e.state, e.kind, e.path, e.size, e.sha256, e.attrs, e.crtime,
                e.mtime, e.fragments, e.record)
                + tuple(str(e.extra.get(k, "")) for k in EXTRA_COLUMNS)) + "\n")


def cmd_scripted(a):
    build, options, mkfs_extra, default_mib = SCRIPTED[a.set]
    b = Builder(a.seed, a.cluster)
    t0 = time.time()
    v = Scripted(os.path.abspath(a.out), b, a.size_mib or default_mib, mkfs_extra, options)
    try:
        frag = build(v, b)
    finally:
        v.close()
    t1 = time.time()
    problems = finish_scripted(v, b, a.serial if a.serial is not None else DEFAULT_NTFS_SERIAL,
                               frag)
    write_scripted_manifest(a.manifest, b)
    log("%s set: %d entries, %d MiB volume, build %.1fs, inspect %.1fs"
        % (a.set, len(b.entries), v.size_mib, t1 - t0, time.time() - t1))
    for p in problems:
        log("problem: " + p)
    return 1 if problems else 0


def cmd_ntfs(a):
    if a.set in SCRIPTED:
        return cmd_scripted(a)
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
    ap.add_argument("--set", default="standard", choices=["standard", "bench", "names", "big", "demo", "tiny"] + list(SCRIPTED))
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
    except RuntimeError as ex:
        log("failed: %s" % ex)
        sys.exit(2)
    except subprocess.CalledProcessError as ex:
        log("command failed: %s\n%s" % (" ".join(ex.cmd),
                                        (ex.stderr or b"").decode(errors="replace")))
        sys.exit(2)
