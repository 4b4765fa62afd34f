#!/usr/bin/env python3
"""The window's timings under Wine: how soon a scan shows all its rows and
totals, and how soon Stop ends a scan.

  python3 bench/window.py [build/win32/src/Pelmora.exe] [--sizes 20000,100000] [--runs 3]
                          [--images DIR]

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

Goals (issue 13): rows and totals within 2 s for 20,000 files and 10 s for
100,000; a stop within 0.5 s. Nothing is asserted: the table says whether
each goal holds. Needs root (ntfs-3g mounts), Wine, Xvfb and the native
pelmora-cli (build/native/src/pelmora-cli or --cli).
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile

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
    disk = volume[:-4] + ".disk"
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
    args = parser.parse_args()
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


if __name__ == "__main__":
    sys.exit(main())
