#!/usr/bin/env python3
"""Makes a big real NTFS volume for the benchmark: tens of thousands to a
million files in a tree of folders, about a quarter deleted.

  mkbigvolume.py OUT.img --files N [--seed S] [--jobs J]
  mkbigvolume.py --key --files N [--seed S]       prints the recipe's cache key

Like mkvolume.py, everything is written and deleted through a real ntfs-3g
mount of an image made by mkntfs, so the records, indexes and bitmaps are
what a real driver leaves behind. What makes it fast:
- nothing but create, one write and close per file, and unlink (no times or
  attributes set, no fsync, no sync before unmounting); ntfs-3g itself is
  the limit at a few thousand files a second;
- J writer processes keep ntfs-3g's request queue full;
- file content is zeros (no benchmarked tool reads content), and after the
  unmount the image's zero blocks are punched out (`fallocate --dig-holes`):
  the volume reads byte for byte the same, but the image keeps only its
  metadata on the host's disk (a million files: ~1.5 GiB, most of it $MFT).

Writes next to OUT.img: OUT.tsv, the manifest (state kind path size, one
line per folder and file, '/'-separated paths relative to the root), and
OUT.json, the summary (recipe, key, counts, timings); the summary is written
last, so an image without one is unfinished. Before the summary is written,
fls -r -p must list every manifest entry in its state; above FULL_CHECK_FILES
files, fls of sampled folders must list theirs (a recursive fls takes half an
hour on a million files).
"""
import argparse
import bisect
import concurrent.futures
import hashlib
import json
import math
import os
import random
import re
import subprocess
import sys
import tempfile
import time

# Bump when the plan changes in a way the recipe does not show.
RECIPE_VERSION = 1
CLUSTER = 4096

DIR_WORDS = ("Documents Photos Music Projects Invoices Backup Downloads Reports Archive "
             "Letters Travel Family Work Scans Recipes Videos Notes Drafts Mail Cache").split()
FILE_WORDS = ("report invoice photo letter budget notes scan summary draft minutes "
              "contract recipe track clip page index backup log sheet memo").split()
EXTENSIONS = ("txt docx pdf jpg png xlsx mp3 log html dat csv zip").split()
# A few names outside ASCII, so paths are real UTF-8/UTF-16 work for every tool.
ACCENTED = ("résumé", "Überweisung", "café", "写真", "naïve", "Ångström")


def log(msg):
    print("mkbigvolume: " + msg, file=sys.stderr, flush=True)


def recipe(files, seed):
    return {"version": RECIPE_VERSION, "files": files, "seed": seed, "cluster": CLUSTER}


def recipe_key(files, seed):
    """Cache key: the recipe and this maker's own source."""
    h = hashlib.sha256(json.dumps(recipe(files, seed), sort_keys=True).encode())
    with open(os.path.abspath(__file__), "rb") as f:
        h.update(f.read())
    return h.hexdigest()[:12]


class Plan:
    """Folders (index 0 is the root) and files, all decided up front."""

    def __init__(self, files, seed):
        rng = random.Random(seed)
        ndirs = max(100, min(4000, round(2 * math.sqrt(files))))
        self.dir_path = [""]
        self.dir_parent = [-1]
        depth = [0]
        open_dirs = [0]  # folders that may still get subfolders
        for i in range(1, ndirs + 1):
            parent = open_dirs[rng.randrange(len(open_dirs))]
            word = rng.choice(ACCENTED) if rng.random() < 0.03 else rng.choice(DIR_WORDS)
            name = "%s %04d" % (word, i)
            self.dir_path.append(name if parent == 0 else self.dir_path[parent] + "/" + name)
            self.dir_parent.append(parent)
            depth.append(depth[parent] + 1)
            if depth[i] < 5:
                open_dirs.append(i)
        self.dir_depth = depth

        # Whole folders deleted: small subtrees (up to 4 folders), ~3% of all folders.
        children = [[] for _ in self.dir_path]
        for i in range(1, len(self.dir_path)):
            children[self.dir_parent[i]].append(i)

        def subtree(i):
            out, todo = [], [i]
            while todo:
                d = todo.pop()
                out.append(d)
                todo.extend(children[d])
            return out

        self.dir_deleted = [False] * len(self.dir_path)
        want = max(3, ndirs * 3 // 100)
        count = 0
        for i in rng.sample(range(1, len(self.dir_path)), len(self.dir_path) - 1):
            if count >= want:
                break
            sub = subtree(i)
            if len(sub) <= 4 and not any(self.dir_deleted[d] for d in sub):
                for d in sub:
                    self.dir_deleted[d] = True
                count += len(sub)

        # Files: folders weighted so that some are crowded and many sparse.
        # Files come in batches (a download, an unpacked archive, a camera's
        # day) of one folder, name stem and extension, so records of one
        # folder lie close together, as on a disk in use.
        cum, total = [], 0.0
        for _ in self.dir_path:
            total += rng.lognormvariate(0, 1.0)
            cum.append(total)
        self.file_dir = []
        self.file_name = []
        self.file_size = []
        self.file_deleted = []
        n = 0
        while n < files:
            d = min(bisect.bisect_left(cum, rng.random() * total), len(cum) - 1)
            stem = rng.choice(ACCENTED) if rng.random() < 0.03 else rng.choice(FILE_WORDS)
            ext = rng.choice(EXTENSIONS)
            for _ in range(min(files - n, rng.randint(1, 200))):
                r = rng.random()
                if r < 0.03:
                    size = 0
                elif r < 0.50:
                    size = rng.randrange(1, 640)        # resident in its record
                elif r < 0.85:
                    size = rng.randrange(700, 8192)     # one or two clusters
                else:
                    size = rng.randrange(8192, 65537)
                self.file_dir.append(d)
                self.file_name.append("%s_%07d.%s" % (stem, n, ext))
                self.file_size.append(size)
                self.file_deleted.append(self.dir_deleted[d] or rng.random() < 0.23)
                n += 1

    def file_path(self, n):
        d = self.dir_path[self.file_dir[n]]
        return d + "/" + self.file_name[n] if d else self.file_name[n]

    def volume_mib(self):
        data = sum((s + CLUSTER - 1) // CLUSTER * CLUSTER for s in self.file_size if s >= 640)
        mft = (len(self.file_size) + len(self.dir_path)) * 1024 * 5 // 4
        # mkntfs keeps 1/8 of the volume for the $MFT to grow into: keep that zone
        # larger than the $MFT so it stays in few runs, as on a real disk.
        need = max(data * 3 // 2 + 2 * mft, 9 * mft)
        return max(256, need // 2**20 + 64)


def mount(img, mnt):
    # Foreground ntfs-3g, so its exit after umount says the image is complete.
    errlog = tempfile.TemporaryFile()
    proc = subprocess.Popen(["ntfs-3g", "-o", "no_detach,big_writes", img, mnt],
                            stdout=subprocess.DEVNULL, stderr=errlog)
    for _ in range(400):
        if os.path.ismount(mnt):
            return proc
        if proc.poll() is not None:
            errlog.seek(0)
            raise RuntimeError("ntfs-3g failed: " + errlog.read().decode(errors="replace"))
        time.sleep(0.05)
    proc.kill()
    raise RuntimeError("the ntfs-3g mount did not appear")


def umount(mnt, proc):
    # No sync first: the image's zero blocks are punched out right after, and
    # syncing would write gigabytes of them to the host's disk for nothing.
    for _ in range(50):
        p = subprocess.run(["umount", mnt], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if p.returncode == 0 or not os.path.ismount(mnt):
            break
        time.sleep(0.2)
    else:
        subprocess.run(["umount", "-l", mnt])
        proc.wait(timeout=600)
        raise RuntimeError("umount failed: " + p.stderr.decode(errors="replace"))
    if proc.wait(timeout=1800) != 0:
        raise RuntimeError("ntfs-3g exited with %d" % proc.returncode)


def in_jobs(jobs, work):
    """Runs work(k) for k in 0..jobs-1 in forked processes; fails if any did."""
    pids = []
    for k in range(jobs):
        pid = os.fork()
        if pid == 0:
            code = 0
            try:
                work(k)
            except BaseException as ex:  # the parent reports it; never return into its code
                print("mkbigvolume: job %d: %s" % (k, ex), file=sys.stderr, flush=True)
                code = 1
            os._exit(code)
        pids.append(pid)
    failed = 0
    for pid in pids:
        _, status = os.waitpid(pid, 0)
        failed += os.waitstatus_to_exitcode(status) != 0
    if failed:
        raise RuntimeError("%d writer job(s) failed" % failed)


def populate(mnt, plan, jobs):
    plan.dir_record = [os.stat(mnt).st_ino & 0xFFFFFFFFFFFF]
    for d in range(1, len(plan.dir_path)):
        p = os.path.join(mnt, plan.dir_path[d])
        os.mkdir(p)
        plan.dir_record.append(os.stat(p).st_ino & 0xFFFFFFFFFFFF)  # ntfs-3g: the MFT record
    nfiles = len(plan.file_size)
    zeros = bytes(max([0] + plan.file_size))
    t0 = time.time()

    def write(k):
        for n in range(k, nfiles, jobs):
            fd = os.open(os.path.join(mnt, plan.file_path(n)), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            try:
                size = plan.file_size[n]
                if size and os.write(fd, zeros[:size]) != size:
                    raise RuntimeError("short write to " + plan.file_path(n))
            finally:
                os.close(fd)
            if k == 0 and n % (jobs * 50000) == 0 and n:
                log("%d of %d files written, %.0f s" % (n, nfiles, time.time() - t0))

    in_jobs(jobs, write)
    t1 = time.time()
    log("%d files written in %.1f s (%.0f a second)" % (nfiles, t1 - t0, nfiles / max(t1 - t0, 1e-9)))

    def delete(k):
        for n in range(k, nfiles, jobs):
            if plan.file_deleted[n]:
                os.unlink(os.path.join(mnt, plan.file_path(n)))

    in_jobs(jobs, delete)
    for d in sorted(range(1, len(plan.dir_path)), key=lambda d: -plan.dir_depth[d]):
        if plan.dir_deleted[d]:
            os.rmdir(os.path.join(mnt, plan.dir_path[d]))
    log("deleted in %.1f s" % (time.time() - t1))


FLS_LINE = re.compile(r"^\S+ (\* )?\d+[^\t]*:\t(.*)$")


# fls -r walks slower than linearly in the volume's size (about 30 minutes
# for a million files here): above this many files only sampled folders are
# checked (the bench compares every deleted file with fls anyway).
FULL_CHECK_FILES = 200000
SAMPLED_FOLDERS = 60


def folders_not_in_state(img, plan):
    """Every folder's record, by istat: allocated or not as planned."""
    def state(d):
        p = subprocess.run(["istat", img, str(plan.dir_record[d])], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL)
        head = p.stdout.decode("utf-8", "replace")
        want = "Not Allocated Directory" if plan.dir_deleted[d] else "Allocated Directory"
        return None if re.search(r"^%s$" % want, head, re.M) else plan.dir_path[d]
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        return [p for p in pool.map(state, range(1, len(plan.dir_path))) if p]


def check_folders_with_fls(img, plan, seed):
    """Every folder's record in its state, then sampled folders (the root and
    deleted ones among them): fls of each folder's record must list its
    planned files and subfolders in their state."""
    rng = random.Random(seed)
    deleted = [d for d in range(1, len(plan.dir_path)) if plan.dir_deleted[d]]
    kept = [d for d in range(1, len(plan.dir_path)) if not plan.dir_deleted[d]]
    sample = [0] + rng.sample(deleted, min(len(deleted), SAMPLED_FOLDERS // 4))
    sample += rng.sample(kept, min(len(kept), SAMPLED_FOLDERS - len(sample)))
    names = {d: set() for d in sample}
    for d in range(1, len(plan.dir_path)):
        if plan.dir_parent[d] in names:
            names[plan.dir_parent[d]].add((plan.dir_path[d].rpartition("/")[2], plan.dir_deleted[d]))
    for n in range(len(plan.file_size)):
        if plan.file_dir[n] in names:
            names[plan.file_dir[n]].add((plan.file_name[n], plan.file_deleted[n]))
    missing = folders_not_in_state(img, plan)
    for d in sample:
        out = subprocess.run(["fls", img, str(plan.dir_record[d])], stdout=subprocess.PIPE, check=True).stdout
        seen = set()
        for line in out.decode("utf-8", "surrogateescape").split("\n"):
            m = FLS_LINE.match(line)
            if m:
                seen.add((m.group(2), bool(m.group(1))))
        base = plan.dir_path[d] + "/" if d else ""
        missing += [base + name for name, gone in sorted(names[d] - seen)]
    return missing, len(sample)


def check_with_fls(img, plan):
    """Every planned folder and file must be listed by fls in its state."""
    out = subprocess.run(["fls", "-r", "-p", img], stdout=subprocess.PIPE, check=True).stdout
    seen = set()
    for line in out.decode("utf-8", "surrogateescape").split("\n"):
        m = FLS_LINE.match(line)
        if m:
            seen.add((m.group(2), bool(m.group(1))))
    missing = [p for d, p in enumerate(plan.dir_path) if d and (p, plan.dir_deleted[d]) not in seen]
    missing += [plan.file_path(n) for n in range(len(plan.file_size))
                if (plan.file_path(n), plan.file_deleted[n]) not in seen]
    return missing


def write_manifest(path, plan):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("state\tkind\tpath\tsize\n")
        for d in range(1, len(plan.dir_path)):
            f.write("%s\tdir\t%s\t0\n" % ("deleted" if plan.dir_deleted[d] else "kept", plan.dir_path[d]))
        for n in range(len(plan.file_size)):
            f.write("%s\tfile\t%s\t%d\n" % ("deleted" if plan.file_deleted[n] else "kept",
                                           plan.file_path(n), plan.file_size[n]))


def disk_bytes(path):
    return os.stat(path).st_blocks * 512


def make(out, files, seed, jobs):
    base = os.path.splitext(out)[0]
    manifest, summary = base + ".tsv", base + ".json"
    for p in (summary, manifest, out):
        if os.path.exists(p):
            os.unlink(p)
    t0 = time.time()
    plan = Plan(files, seed)
    size_mib = plan.volume_mib()
    log("%d files in %d folders, %d MiB volume (sparse), %d writer jobs"
        % (files, len(plan.dir_path) - 1, size_mib, jobs))
    with open(out, "wb") as f:
        f.truncate(size_mib * 2**20)
    subprocess.run(["mkntfs", "-F", "-Q", "-c", str(CLUSTER), "-L", "PELMORA-BENCH", out],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    tmp = tempfile.mkdtemp(prefix="mkbigvolume.")
    mnt = os.path.join(tmp, "mnt")
    os.mkdir(mnt)
    try:
        proc = mount(out, mnt)
        try:
            populate(mnt, plan, jobs)
        finally:
            umount(mnt, proc)
    finally:
        os.rmdir(mnt)
        os.rmdir(tmp)
    t1 = time.time()
    before = disk_bytes(out)
    subprocess.run(["fallocate", "--dig-holes", out], check=True)
    log("zero blocks punched out: %.0f MiB -> %.0f MiB on disk" % (before / 2**20, disk_bytes(out) / 2**20))
    t2 = time.time()
    if files <= FULL_CHECK_FILES:
        missing, what = check_with_fls(out, plan), "every entry"
    else:
        missing, folders = check_folders_with_fls(out, plan, seed)
        what = "%d sampled folders" % folders
    if missing:
        for p in missing[:10]:
            log("not listed by fls in its state: " + p)
        raise RuntimeError("%d planned entries not listed by fls in their state (%s)" % (len(missing), what))
    t3 = time.time()
    log("fls lists %s in its state" % what)
    write_manifest(manifest, plan)
    deleted_files = [n for n in range(files) if plan.file_deleted[n]]
    info = {
        "recipe": recipe(files, seed),
        "key": recipe_key(files, seed),
        "files": files,
        "folders": len(plan.dir_path) - 1,
        "deleted_folders": sum(plan.dir_deleted),
        "deleted_files": len(deleted_files),
        "deleted_with_content": sum(1 for n in deleted_files if plan.file_size[n] > 0),
        "fls_checked": what,
        "volume_bytes": os.path.getsize(out),
        "disk_bytes": disk_bytes(out),
        "seconds": {"make": round(t1 - t0, 1), "dig_holes": round(t2 - t1, 1),
                    "fls_check": round(t3 - t2, 1), "total": round(time.time() - t0, 1)},
    }
    with open(summary + ".part", "w", encoding="utf-8") as f:
        json.dump(info, f, indent=1)
    os.replace(summary + ".part", summary)
    log("done: %s, %.1f GiB volume, %.0f MiB on disk, %.0f s (make %.0f, dig holes %.0f, fls check %.0f)"
        % (out, info["volume_bytes"] / 2**30, info["disk_bytes"] / 2**20, info["seconds"]["total"],
           t1 - t0, t2 - t1, t3 - t2))
    return info


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("out", nargs="?")
    ap.add_argument("--files", type=int, required=True)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--key", action="store_true", help="print the recipe's cache key and stop")
    a = ap.parse_args()
    if a.files < 1 or a.jobs < 1:
        ap.error("--files and --jobs must be positive")
    if a.key:
        print(recipe_key(a.files, a.seed))
        return 0
    if not a.out:
        ap.error("OUT.img is needed")
    if os.geteuid() != 0:
        log("needs root for the ntfs-3g mount")
        return 1
    make(os.path.abspath(a.out), a.files, a.seed, a.jobs)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (RuntimeError, subprocess.CalledProcessError) as ex:
        log("failed: %s" % ex)
        sys.exit(1)
