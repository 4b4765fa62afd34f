#!/usr/bin/env python3
"""The window's timings under Wine: how soon a scan shows all its rows and
totals, and how soon Stop ends a scan.

  python3 bench/window.py [build/win32/src/Pelmora.exe] [--sizes 20000,100000] [--runs 3]
                          [--images DIR]
  python3 bench/window.py build/win32/src/Pelmora.exe --wow64 --sizes 1000000 --images build/bench
  python3 bench/window.py build/win32/src/Pelmora.exe --recover-mib 2048 [--before OLD.exe] [--busy 2]

Volumes come from tools/mkbigvolume.py (cached in DIR, default
$TMPDIR/pelmora-memory-images, shared with tests/e2e/memory.py), each in an
MBR disk linked as a physical drive of a fresh Wine prefix. The real
Pelmora.exe runs under Xvfb and the end-to-end driver times it, polling the
states every 2 ms from its own process:

- scan: from the click on Scan until the button reads "Scan" again (the
  window sets its rows and totals before that caption); the list's row count
  and the totals are then checked against pelmora-cli on the same volume;
- stop: a scan is started, and once the list has rows (so the scan runs)
  Stop is clicked; from that click until the button reads "Scan".

Where this kernel runs 32-bit programs only through an emulator, the
window is timed as the same sources built for 64-bit Windows; --wow64 runs
the 32-bit exe itself once on the largest volume instead (see wow64_scan):
the bench's million-file volume is shared with bench/run.sh through
--images build/bench.

--recover-mib N times the window while it recovers a deleted file of N MiB
instead (see recover_bench): how long a message sent to the main window
takes to be answered, before and during the recovery; --before times an
older build the same way in the same run, --busy keeps N processes spinning
meanwhile.

Goals: rows and totals within 2 s for 20,000 files and 10 s for
100,000; a stop within 0.5 s; during a recovery every message answered
within 100 ms. Nothing is asserted: the table says whether each goal holds. Needs root (ntfs-3g mounts), Wine, Xvfb and the native
pelmora-cli (build/native/src/pelmora-cli or --cli).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import e2e  # noqa: E402
import memory  # noqa: E402

GOALS = {20000: 2.0, 100000: 10.0}
STOP_GOAL = 0.5
ANSWER_GOAL_MS = 100.0
BIG_NAME = "big_sparse.bin"  # tools/mkvolume.py's big set


def disk_for(images, files):
    """An MBR disk holding the volume of `files` files (remade with the volume); returns (disk, rows the CLI lists)."""
    volume, _ = memory.volume(images, files)
    disk = os.path.abspath(volume[:-4] + ".disk")  # a Wine prefix links to it
    if not os.path.exists(disk) or os.path.getmtime(disk) < os.path.getmtime(volume):
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "mkdisk.py"), disk, "ntfs:" + volume], check=True,
                       stdout=subprocess.DEVNULL)
    return disk


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("exe", nargs="?", default=os.path.join(ROOT, "build", "win32", "src", "Pelmora.exe"))
    parser.add_argument("--cli", default=os.path.join(ROOT, "build", "native", "src", "pelmora-cli"))
    parser.add_argument("--sizes", default="20000,100000")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--images", default=os.path.join(tempfile.gettempdir(), "pelmora-memory-images"))
    parser.add_argument("--bin", default=os.path.join(tempfile.gettempdir(), "pelmora-e2e-bin"))
    parser.add_argument("--wow64", action="store_true",
                        help="run the 32-bit exe itself in a 64-bit prefix, one volume, one scan (see wow64_scan)")
    parser.add_argument("--recover-mib", type=int, help="time the window during the recovery of a file this large")
    parser.add_argument("--before", help="with --recover-mib: an older build timed the same way")
    parser.add_argument("--busy", type=int, default=0, help="with --recover-mib: processes kept spinning meanwhile")
    args = parser.parse_args()
    if args.wow64:
        return wow64_scan(args)
    if args.recover_mib:
        return recover_bench(args)
    exe = e2e.choose_arch(os.path.abspath(args.exe))
    driver = e2e.build_driver(args.bin if e2e.WINEARCH == "win32" else args.bin + "-" + e2e.WINEARCH)
    os.makedirs(args.images, exist_ok=True)
    sizes = [int(n) for n in args.sizes.split(",")]
    disks = [disk_for(args.images, n) for n in sizes]

    # The prefix's physicaldriveN are diskN.img of this folder.
    links = tempfile.mkdtemp(prefix="pelmora-window-disks-")
    for number, disk in enumerate(disks):
        os.symlink(disk, os.path.join(links, "disk%d.img" % number))
    work = tempfile.mkdtemp(prefix="pelmora-window-")
    s = e2e.Session(work, links, driver)
    s.link_disks(False)
    s.link_disks(True, tuple(range(len(disks))))
    table = []
    try:
        for number, (files, disk) in enumerate(zip(sizes, disks)):
            text = "Disk %d NTFS 1\\" % number
            done = subprocess.run([args.cli, "list", disk, "--partition", "1", "--drive-text", text, "--format", "csv"],
                                  capture_output=True, check=True)
            expected_rows = done.stdout.count(b"\r\n") - 1
            totals = [line for line in done.stderr.decode().splitlines() if ": " in line]
            s.start(exe)
            s("select", text)
            scans, stops, problems = [], [], []
            for _ in range(args.runs):
                ms, rows = (float(v) for v in s("scan-timed", 120000)[0])
                panes = s("status")[0]
                if int(rows) != expected_rows or sorted(panes[1:]) != sorted(totals):
                    problems.append("%d rows, panes %r; CLI %d rows, %r" % (rows, panes, expected_rows, totals))
                scans.append(ms / 1000)
            for _ in range(args.runs):
                try:
                    ms, rows, _ = s("stop-timed", 1, 120000)[0]
                    stops.append(float(ms) / 1000)
                except e2e.Failed as why:  # the scan ended before the stop: not a stop
                    problems.append(str(why))
                    s("wait-caption", "Scan", 120000)
            s.stop_app()
            goal = GOALS.get(files)
            best, median = min(scans), statistics.median(scans)
            row = [files, expected_rows, best, median, goal, stops]
            table.append(row)
            for p in problems:
                print("# %d files: %s" % (files, p))
    finally:
        s.close()
    arch = "32-bit" if e2e.WINEARCH == "win32" else "64-bit build (no 32-bit support in this kernel)"
    print("\nPelmora.exe (%s) under Wine, %d runs each, times from the driver's click to the state:\n" % (arch, args.runs))
    print("| files | rows | scan: rows and totals, best s | median s | goal | stop: best s | worst s | goal |")
    print("|---|---|---|---|---|---|---|---|")
    for files, rows, best, median, goal, stops in table:
        scan_goal = "" if goal is None else ("%.0f s: %s" % (goal, "holds" if median <= goal else "MISSED"))
        if stops:
            stop_cells = "%.3f | %.3f | %.1f s: %s" % (min(stops), max(stops), STOP_GOAL,
                                                       "holds" if max(stops) <= STOP_GOAL else "MISSED")
        else:
            stop_cells = "- | - | not caught running"
        print("| %d | %d | %.3f | %.3f | %s | %s |" % (files, rows, best, median, scan_goal, stop_cells))
    return 0


def recovery_disk(images, mib):
    """An MBR disk holding tools/mkvolume.py's `big` set, whose deleted
    big_sparse.bin has `mib` MiB (6 MiB of data, the rest holes: the images
    stay small on the host). Kept in `images`; returns (disk, size, sha256)."""
    disk = os.path.abspath(os.path.join(images, "big-%d.disk" % mib))
    manifest = os.path.join(images, "big-%d.tsv" % mib)
    if not os.path.exists(disk):
        volume = os.path.join(images, "big-%d.img" % mib)
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "mkvolume.py"), "ntfs", volume, "--set", "big",
                        "--big-mib", str(mib), "--manifest", manifest], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "mkdisk.py"), disk + ".part", "ntfs:" + volume],
                       check=True, stdout=subprocess.DEVNULL)
        os.remove(volume)
        os.rename(disk + ".part", disk)
    with open(manifest, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if fields[2] == BIG_NAME:
                return disk, int(fields[3]), fields[4]
    raise RuntimeError("no %s in %s" % (BIG_NAME, manifest))


def sha256_file(path):
    import hashlib
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def recover_bench(args):
    """The window during a recovery: a disk with one big deleted file (sparse,
    so the copy is bound by writing the output) is scanned, the file's row
    chosen, and, through the driver, WM_NULL is sent to the main window every
    10 ms: 200 times before the recovery, then from the start of the copy
    (its first file in the destination) until the output has the file's size. The old window
    copied on its own thread: its longest answer is the whole copy. Each
    output is checked against the file's SHA-256 and removed."""
    exe = e2e.choose_arch(os.path.abspath(args.exe))
    builds = [("this build", exe)]
    if args.before:
        if e2e.WINEARCH != "win32" and e2e.pe_machine(args.before) == 0x14C:
            print("# --before is a 32-bit program and this kernel runs none: left out")
        else:
            builds.insert(0, ("before", os.path.abspath(args.before)))
    driver = e2e.build_driver(args.bin if e2e.WINEARCH == "win32" else args.bin + "-" + e2e.WINEARCH)
    os.makedirs(args.images, exist_ok=True)
    disk, size, sha = recovery_disk(args.images, args.recover_mib)
    links = tempfile.mkdtemp(prefix="pelmora-window-disks-")
    os.symlink(disk, os.path.join(links, "disk0.img"))
    work = tempfile.mkdtemp(prefix="pelmora-window-", dir=os.path.join(ROOT, "build"))
    e2e.SCENARIO_LIMIT = 7200
    s = e2e.Session(work, links, driver)
    s.link_disks(False)
    s.link_disks(True, (0,))
    table = []
    busy = []
    try:
        for label, program in builds:
            s.start(program)
            s("select", "Disk 0 NTFS 1\\")
            s("click")
            s("wait-caption", "Scan", 600000)
            names = [r[0] for r in s("rows", 1)]
            s("click-row", names.index(BIG_NAME))
            idle = s("round-trips", 200)[0]
            out = os.path.join(work, "out-" + label.replace(" ", "-"))
            os.makedirs(out)
            busy = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(args.busy)]
            s("command", e2e.RECOVER)
            s("browser-select", e2e.dos(out))
            s("browser-press", e2e.IDOK)
            # From the start of the copy: its first file in the folder (the
            # old window's output, the new one's temporary file). Wine's
            # folder browser keeps the window's thread for about 2 s after
            # it closes, before any copy, in every build.
            e2e.eventually(lambda: os.listdir(out), bool, 60)
            during = s("round-trips-until", e2e.dos(os.path.join(out, BIG_NAME)), size, 3600000)[0]
            for p in busy:
                p.kill()
                p.wait()
            busy = []
            s.stop_app()
            good = sha256_file(os.path.join(out, BIG_NAME)) == sha
            shutil.rmtree(out)
            table.append((label, idle, during, good))
    finally:
        for p in busy:
            p.kill()
        s.close()
        shutil.rmtree(work, ignore_errors=True)
    arch = "32-bit" if e2e.WINEARCH == "win32" else "64-bit build (no 32-bit support in this kernel)"
    print("\nPelmora.exe (%s) under Wine recovering a %d MiB file (%d MiB of holes)%s; round trips of WM_NULL "
          "sent every 10 ms, in ms:\n" % (arch, size >> 20, (size >> 20) - 6,
                                         ", %d processes spinning" % args.busy if args.busy else ""))
    print("| build | idle: median | idle: longest | recovery s | MB/s | during: round trips | median | 99th pct | "
          "longest | goal %.0f ms | output |" % ANSWER_GOAL_MS)
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for label, idle, during, good in table:
        count, longest, median, p99, seconds, longest_at = during
        print("# %s: the longest answer came %.1f s into the recovery" % (label, longest_at))
        print("| %s | %.2f | %.2f | %.1f | %.0f | %d | %.2f | %.2f | %.2f | %s | %s |" % (
            label, idle[2], idle[1], seconds, size / (1 << 20) / seconds, count, median, p99, longest,
            "holds" if longest <= ANSWER_GOAL_MS else "MISSED", "SHA-256 matches" if good else "WRONG"))
    return 0 if all(good for *_, good in table) else 1


class CachedPrefix(e2e.Session):
    """A session whose prefix is made once and kept in `template` (a 64-bit
    prefix takes minutes to make where its 32-bit half is emulated)."""
    template = None

    def make_prefix(self):
        if not os.path.isdir(self.template):
            super().make_prefix()
            self.wine_tool([e2e.WINESERVER, "-w"])
            shutil.move(self.prefix, self.template)
        else:
            e2e.log("using the Wine prefix kept in " + self.template)
        os.symlink(self.template, self.prefix)
        self.link_volumes()


def peak_mib(session, exe):
    """Peak resident memory of the process running `exe` (its VmHWM), or None."""
    name = os.path.basename(exe).encode()
    for pid in session.prefix_processes():
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                if name not in f.read():
                    continue
            with open("/proc/%d/status" % pid) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        return int(line.split()[1]) / 1024
        except OSError:
            continue
    return None


def wow64_scan(args):
    """The 32-bit Pelmora.exe itself where this kernel runs 32-bit programs
    only through an emulator (qemu-i386): a 64-bit prefix, in which Wine runs
    the 32-bit exe through its 32-bit half, and a 64-bit driver. The emulator
    keeps other processes from reading the program's memory, so the driver
    sends only messages that carry no pointer: the volume is the one the
    window selects at start-up (one disk, one partition), the scan is timed
    from the click to the caption "Scan", and its row count is checked
    against pelmora-cli. The time is the emulator's; the rows and the peak
    memory are the 32-bit program's."""
    exe = os.path.abspath(args.exe)
    if e2e.pe_machine(exe) != 0x14C:
        sys.exit("window: --wow64 wants the 32-bit Pelmora.exe, not " + exe)
    e2e.CXX, e2e.WINDRES = "x86_64-w64-mingw32-g++-win32", "x86_64-w64-mingw32-windres"
    e2e.WINE, e2e.WINESERVER, e2e.WINEARCH, e2e.WINELOADER = "wine", "wineserver", "win64", None
    e2e.SCENARIO_LIMIT = 7200
    driver = e2e.build_driver(args.bin + "-win64")
    files = int(args.sizes.split(",")[-1])
    disk = disk_for(args.images, files)
    text = "Disk 0 NTFS 1\\"
    done = subprocess.run([args.cli, "list", disk, "--partition", "1", "--drive-text", text, "--format", "csv"],
                          capture_output=True, check=True)
    expected_rows = done.stdout.count(b"\r\n") - 1
    links = tempfile.mkdtemp(prefix="pelmora-window-disks-")
    os.symlink(disk, os.path.join(links, "disk0.img"))
    CachedPrefix.template = os.path.abspath(os.path.join(args.images, "wow64-prefix"))
    s = CachedPrefix(tempfile.mkdtemp(prefix="pelmora-window-"), links, driver)
    try:
        s.link_disks(False)
        s.link_disks(True, (0,))
        s.start(exe)
        # Through the emulator a click may be handled after a message sent
        # behind it, so the states are waited for one by one.
        began = time.perf_counter()
        s("click")
        s("wait-caption", "Stop Scanning", 600000)
        s("wait-caption", "Scan", 3600000)
        seconds = time.perf_counter() - began
        rows = int(s("count")[0])
        peak = peak_mib(s, exe)
        s.stop_app()
    finally:
        s.close()
    check = "same rows as pelmora-cli" if int(rows) == expected_rows else "%d rows; pelmora-cli %d" % (rows, expected_rows)
    print("\nPelmora.exe (32-bit) under Wine through qemu-i386, one scan, timed from the click to the caption \"Scan\":\n")
    print("| files | rows | scan s (emulated) | peak RSS MiB | check |")
    print("|---|---|---|---|---|")
    print("| %d | %d | %.1f | %s | %s |" % (files, rows, seconds, "-" if peak is None else "%.1f" % peak, check))
    return 0 if int(rows) == expected_rows else 1


if __name__ == "__main__":
    sys.exit(main())
