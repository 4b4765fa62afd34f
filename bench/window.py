#!/usr/bin/env python3
"""The window's timings under Wine: how soon a scan shows all its rows and
totals, and how soon Stop ends a scan.

  python3 bench/window.py [build/win32/src/Pelmora.exe] [--sizes 20000,100000] [--runs 3]
                          [--images DIR]
  python3 bench/window.py build/win32/src/Pelmora.exe --wow64 --sizes 1000000 --images build/bench

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

Goals (issue 13): rows and totals within 2 s for 20,000 files and 10 s for
100,000; a stop within 0.5 s. Nothing is asserted: the table says whether
each goal holds. Needs root (ntfs-3g mounts), Wine, Xvfb and the native
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
    args = parser.parse_args()
    if args.wow64:
        return wow64_scan(args)
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
