#!/usr/bin/env python3
"""Times pelmora-cli deep against a dd of the same range from the page cache,
and beside TestDisk where it does the same job.

  sudo python3 bench/deep.py --cli build/release/src/pelmora-cli
                             [--ranges 1:20000,16:100000] [--runs 3] [--workdir build/bench]

For each RANGE:FILES: a volume of FILES files (tools/mkbigvolume.py, cached
like measure.py's) is quick-formatted (mkntfs -f, the same size and cluster
size, as a user reformats a partition) and put at sector 2048 of a sparse
disk image of RANGE GiB whose partition table is gone. Timed in turns, warm
page cache: `pelmora-cli deep DISK` (the whole disk), `dd bs=4M` of the whole
disk, and TestDisk's search for lost partitions on it (`/cmd DISK
partition_i386,analyze,search`). Then, once each: `list --found K` of the old
volume (rows checked against the volume's manifest), and the peak memory of
deep and list under /usr/bin/time against the goal of 64 MiB + 200 bytes per
record found.

Then, on the smallest volume with its boot sector zeroed: the backup boot
sector read by `pelmora-cli list --start 0` and found by `deep`, against
TestDisk's boot-sector rebuild (`advanced,boot,rebuildbs`) and its deleted-file
listing (`advanced,undelete`), which can be run without a terminal.
Nothing here asserts a time: the goals are reported.
"""
import argparse
import csv
import os
import re
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tools"))

import benchlib  # noqa: E402
import measure  # noqa: E402

SPEED_GOAL = 2.0           # deep's time / dd's over the same range
MEMORY_BASE_MIB = 64
MEMORY_BYTES_PER_RECORD = 200
DISK_START = 2048 * 512
RECIPE = "deep-1"          # bump when the disk's making changes


def run(argv):
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def disk_for(gib, vol, workdir):
    """The sparse disk of `gib` GiB with the quick-formatted volume at sector 2048, no table."""
    key = "%s-%s" % (RECIPE, os.path.basename(vol.img)[:-4])
    disk = os.path.abspath(os.path.join(workdir, "deep-%dg-%s.img" % (gib, key)))
    if os.path.exists(disk):
        return disk
    for old in os.listdir(workdir):
        if old.startswith("deep-%dg-" % gib):
            os.unlink(os.path.join(workdir, old))
    tmp = disk + ".vol"
    run(["cp", "--sparse=always", vol.img, tmp])
    run(["mkntfs", "-f", "-F", "-q", "-L", "NEW", tmp])
    with open(disk + ".part", "wb") as f:
        f.truncate(gib << 30)
    run(["dd", "if=" + tmp, "of=" + disk + ".part", "bs=4M", "seek=%d" % DISK_START, "oflag=seek_bytes",
         "conv=sparse,notrunc", "status=none"])
    os.unlink(tmp)
    os.rename(disk + ".part", disk)
    return disk


def records_found(err_path):
    with open(err_path, encoding="utf-8", errors="replace") as f:
        m = re.search(r"^Records found: (\d+)", f.read(), re.M)
    return int(m.group(1)) if m else 0


def found_line(out_path, sector):
    """The deep line of the volume at `sector`: its fields, or None."""
    with open(out_path, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if len(fields) == 7 and fields[1] == str(sector):
                return fields
    return None


def listed_paths(out_path):
    """(deleted, in use) paths of a found volume's CSV list, '/'-separated, below the volume's root."""
    deleted, in_use = set(), set()
    with open(out_path, encoding="utf-8", newline="") as f:
        rows = csv.reader(f)
        header = next(rows)
        name, path, mark = header.index("Name"), header.index("Path"), header.index("Deleted")
        for row in rows:
            # Below the root, or below '?/' where the root's record is gone (a
            # quick format's new $MFT took it): the folders shown are the same.
            full = (row[path] + row[name]).replace("\\", "/").split("/", 1)[1]
            (deleted if row[mark] == "Yes" else in_use).add(full)
    return deleted, in_use


def testdisk_argv(disk, commands):
    return [shutil.which("testdisk"), "/log", "/cmd", disk, commands]


def testdisk_log(cwd):
    try:
        with open(os.path.join(cwd, "testdisk.log"), encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def spawn_in(cwd, fn, *a):
    here = os.getcwd()
    os.chdir(cwd)
    try:
        return fn(*a)
    finally:
        os.chdir(here)


def measure_range(gib, files, args, report):
    vol, how = measure.volume_for(files, args.workdir, args.reuse, False, 2)
    disk = disk_for(gib, vol, args.workdir)
    wd = os.path.abspath(os.path.join(args.workdir, "deep-out-%dg" % gib))
    os.makedirs(wd, exist_ok=True)
    cli = os.path.abspath(args.cli)
    size = os.path.getsize(disk)
    tools = [
        {"name": "pelmora-cli deep", "argvs": [[cli, "deep", disk]]},
        {"name": "dd bs=4M of the range", "argvs": [["/bin/dd", "if=" + disk, "of=/dev/null", "bs=4M"]]},
        {"name": "testdisk analyze,search", "argvs": [testdisk_argv(disk, "partition_i386,analyze,search")]},
    ]
    for i, t in enumerate(tools):
        t["out"], t["err"] = os.path.join(wd, "out%d.txt" % i), os.path.join(wd, "err%d.txt" % i)

    # Warm the cache (dd first), check what each found, and take deep's peak memory.
    benchlib.run_seq(tools[1]["argvs"], tools[1]["out"], tools[1]["err"])
    rss, exact, code, secs = benchlib.peak_rss_kib(tools[0]["argvs"][0], tools[0]["out"], tools[0]["err"])
    line = found_line(tools[0]["out"], DISK_START // 512)
    if code != 0 or line is None:
        sys.exit("bench: deep exited %d and found no volume at sector %d; see %s"
                 % (code, DISK_START // 512, tools[0]["out"]))
    found = records_found(tools[0]["err"])
    if os.path.exists(os.path.join(wd, "testdisk.log")):
        os.unlink(os.path.join(wd, "testdisk.log"))
    tsecs, tcode, _ = spawn_in(wd, benchlib.run_seq, tools[2]["argvs"], tools[2]["out"], tools[2]["err"])
    log = testdisk_log(wd)
    testdisk_found = re.search(r"NTFS\s+\d+\s+\d+\s+\d+\s+\d+\s+\d+\s+\d+\s+(\d+)", log)
    tools[2]["runs"] = benchlib.runs_within(tsecs, args.runs, args.budget)
    tools[2]["note"] = ("found NTFS of %s sectors" % testdisk_found.group(1)) if testdisk_found else "found no NTFS"
    if tcode != 0:
        tools[2]["note"] += " (exit %d)" % tcode
    for t in tools:
        t.setdefault("note", "")
    spawn_in(wd, benchlib.time_in_turns, tools, args.runs)

    # The old volume's files, in use and deleted when it was formatted over.
    list_out, list_err = os.path.join(wd, "list.csv"), os.path.join(wd, "list.err")
    lrss, lexact, lcode, lsecs = benchlib.peak_rss_kib(
        [cli, "list", disk, "--found", line[0], "--format", "csv"], list_out, list_err)
    if lcode != 0:
        sys.exit("bench: list --found %s exited %d; see %s" % (line[0], lcode, list_err))
    deleted, in_use = listed_paths(list_out)
    with open(vol.manifest, encoding="utf-8", newline="") as f:
        plan = [r for r in csv.DictReader(f, delimiter="\t", quoting=csv.QUOTE_NONE)
                if r["kind"] != "dir" and int(r["size"]) > 0]
    want_deleted = {r["path"] for r in plan if r["state"] == "deleted"}
    want_kept = {r["path"] for r in plan if r["state"] != "deleted"}

    deep_best, dd_best = benchlib.best(tools[0]["times"]), benchlib.best(tools[1]["times"])
    header = ["tool", "best s", "median s", "runs", "x dd", "peak RSS MiB", "note"]
    rows = []
    for t in tools:
        b = benchlib.best(t["times"])
        rows.append([t["name"], "%.3f" % b, "%.3f" % benchlib.median(t["times"]), str(len(t["times"])),
                     "%.2f" % (b / dd_best), "%.1f" % benchlib.mib(rss) if t is tools[0] else "", t["note"]])
    rows[0][-1] = "volume %s: %s sectors, %s records, geometry from %s" % (line[0], line[2], line[5], line[6])
    rows.append(["pelmora-cli list --found %s" % line[0], "%.3f" % lsecs, "", "1", "",
                 "%.1f" % benchlib.mib(lrss), "%d rows" % (len(deleted) + len(in_use))])
    holds = lambda ok: "holds" if ok else "MISSED"
    goal = MEMORY_BASE_MIB + MEMORY_BYTES_PER_RECORD * found / 2**20
    peak = benchlib.mib(max(rss, lrss))
    lines = [
        "disk: %d GiB sparse, no partition table; at sector 2048 the %s-file volume (%s, %.2f GiB), quick-formatted"
        % (gib, format(files, ","), how, os.path.getsize(vol.img) / 2**30),
        "speed: deep takes %.2fx the dd of the same %d MiB (goal <= %.1fx): %s"
        % (deep_best / dd_best, size >> 20, SPEED_GOAL, holds(deep_best / dd_best <= SPEED_GOAL)),
        "memory: peak %s%.1f MiB (deep %.1f, list %.1f); goal %d MiB + %d B x %d records found = %.1f MiB: %s"
        % ("" if exact and lexact else "<= ", peak, benchlib.mib(rss), benchlib.mib(lrss), MEMORY_BASE_MIB,
           MEMORY_BYTES_PER_RECORD, found, goal, holds(peak <= goal)),
        "files back: %d of %d deleted and %d of %d kept files with content listed at their paths"
        % (len(deleted & want_deleted), len(want_deleted), len(in_use & want_kept), len(want_kept)),
        "TestDisk finds the lost partition (its geometry) but lists no file of a quick-formatted volume: its "
        "undelete reads the new $MFT (checked by hand: 0 files listed)",
    ]
    emit("%d GiB range" % gib, header, rows, lines, report)


def boot_rebuild(files, args, report):
    """The volume alone, its boot sector zeroed: what TestDisk's rebuild and listing do."""
    vol, _ = measure.volume_for(files, args.workdir, args.reuse, False, 2)
    wd = os.path.abspath(os.path.join(args.workdir, "deep-out-boot"))
    os.makedirs(wd, exist_ok=True)
    img = os.path.join(wd, "noboot.img")
    run(["cp", "--sparse=always", vol.img, img])
    with open(img, "r+b") as f:
        f.write(bytes(512))
    cli = os.path.abspath(args.cli)
    tools = [
        {"name": "pelmora-cli list --start 0 (backup boot sector)",
         "argvs": [[cli, "list", img, "--start", "0", "--format", "csv"]]},
        {"name": "pelmora-cli deep", "argvs": [[cli, "deep", img]]},
        {"name": "testdisk advanced,boot,rebuildbs",
         "argvs": [testdisk_argv(img, "partition_none,advanced,boot,rebuildbs")]},
        {"name": "testdisk advanced,undelete", "argvs": [testdisk_argv(img, "partition_none,advanced,undelete")]},
    ]
    for i, t in enumerate(tools):
        t["out"], t["err"] = os.path.join(wd, "out%d.txt" % i), os.path.join(wd, "err%d.txt" % i)
    notes = []
    for t in tools:
        if os.path.exists(os.path.join(wd, "testdisk.log")):
            os.unlink(os.path.join(wd, "testdisk.log"))
        secs, code, _ = spawn_in(wd, benchlib.run_seq, t["argvs"], t["out"], t["err"])
        log = testdisk_log(wd)
        if t is tools[0]:
            with open(t["out"], encoding="utf-8") as f:
                notes.append("%d deleted files listed" % (sum(1 for _ in f) - 1))
        elif t is tools[1]:
            line = found_line(t["out"], 0)
            notes.append("found: %s" % ("geometry from " + line[6] if line else "nothing at sector 0"))
        elif t is tools[2]:
            notes.append("extrapolated boot sector" if "Extrapolated boot sector" in log else "no boot sector rebuilt")
        else:
            notes.append("%d deleted files listed" % len(re.findall(r"^\s*\d+ [-dr][-rwx]{9} ", log, re.M)))
        t["note"] = notes[-1] + ("" if code == 0 else " (exit %d)" % code)
    spawn_in(wd, benchlib.time_in_turns, tools, args.runs)
    header = ["tool", "best s", "median s", "runs", "note"]
    rows = [[t["name"], "%.3f" % benchlib.best(t["times"]), "%.3f" % benchlib.median(t["times"]),
             str(len(t["times"])), t["note"]] for t in tools]
    deleted = sum(1 for r in csv.DictReader(open(vol.manifest, encoding="utf-8", newline=""), delimiter="\t",
                                            quoting=csv.QUOTE_NONE)
                  if r["kind"] != "dir" and r["state"] == "deleted" and int(r["size"]) > 0)
    lines = ["volume: the %s-file volume alone, boot sector zeroed (the backup at its end kept); "
             "%d deleted files with content in its manifest" % (format(files, ","), deleted)]
    emit("boot sector zeroed, %s files" % format(files, ","), header, rows, lines, report)
    os.unlink(img)


def emit(title, header, rows, lines, report):
    print("\n== %s ==" % title)
    print(benchlib.text_table(header, rows))
    for line in lines:
        print(line)
    report.append("### %s\n\n%s\n\n%s\n" % (title, benchlib.md_table(header, rows),
                                            "\n".join("- " + line for line in lines)))
    sys.stdout.flush()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--cli", required=True, help="the release pelmora-cli")
    ap.add_argument("--ranges", default="1:20000,16:100000", help="GIB:FILES,... (default %(default)s)")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--budget", type=float, default=120, help="seconds a slow peer may take in all")
    ap.add_argument("--workdir", default="build/bench")
    ap.add_argument("--reuse", action="store_true", help="take a cached volume made by an older recipe")
    args = ap.parse_args()
    for tool in ("mkntfs", "testdisk", "dd"):
        if not shutil.which(tool):
            sys.exit("bench: %s is missing (tools/setup.sh installs it)" % tool)
    os.makedirs(args.workdir, exist_ok=True)
    ranges = [tuple(int(x) for x in item.split(":")) for item in args.ranges.split(",")]
    report = []
    for gib, files in ranges:
        measure_range(gib, files, args, report)
    boot_rebuild(min(files for _, files in ranges), args, report)
    path = os.path.join(args.workdir, "deep-results.md")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(report))
    print("\nbench: results in %s" % path)


if __name__ == "__main__":
    main()
