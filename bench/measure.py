#!/usr/bin/env python3
"""Times pelmora-cli list against fls and ntfsundelete, and against reading
the $MFT's bytes alone with dd, on big volumes made by tools/mkbigvolume.py.

For each size: the volume comes from the cache in WORKDIR (remade when its
recipe or the maker changed); every tool runs once untimed (warms the page
cache; its exit status and rows are checked against the manifest), then
--runs times, taking turns; then once more under /usr/bin/time for peak
memory. Then the further sections (SECTIONS) run on the same volume.
"""
import argparse
import csv
import glob
import json
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tools"))

import benchlib  # noqa: E402
import mkbigvolume  # noqa: E402
import wine_cli  # noqa: E402

# Further sections, each run once per volume after the main table, each
# returning a benchlib-style section dict (see README). The window's timing
# (Pelmora.exe under Wine through the end-to-end driver) joins this list.
SECTIONS = [wine_cli.section]

# Goals the run reports on (never asserts).
FLOOR_RATIO_GOAL = 2.5
MEMORY_BASE_MIB = 64
MEMORY_BYTES_PER_ITEM = 200


# --------------------------------------------------------------------------
# Volumes

class Volume:
    def __init__(self, img):
        self.img = img
        base = os.path.splitext(img)[0]
        self.manifest = base + ".tsv"
        self.summary_path = base + ".json"
        with open(self.summary_path, encoding="utf-8") as f:
            self.summary = json.load(f)
        self.deleted_files = set()       # paths, '/'-separated
        self.deleted_content = set()
        self.dirs = 0
        with open(self.manifest, encoding="utf-8", newline="") as f:
            for row in csv.DictReader(f, delimiter="\t", quoting=csv.QUOTE_NONE):
                if row["kind"] == "dir":
                    self.dirs += 1
                elif row["state"] == "deleted":
                    self.deleted_files.add(row["path"])
                    if int(row["size"]) > 0:
                        self.deleted_content.add(row["path"])


def volume_for(files, workdir, reuse, remake, jobs):
    """Returns (Volume, note): the cached volume of this recipe, made if need be."""
    key = mkbigvolume.recipe_key(files, 1)
    img = os.path.join(workdir, "vol-%d-%s.img" % (files, key))
    others = [p for p in glob.glob(os.path.join(workdir, "vol-%d-*.json" % files))
              if not p.endswith("-%s.json" % key)]
    if not remake and os.path.exists(os.path.splitext(img)[0] + ".json"):
        return Volume(img), "cached"
    if reuse and not remake and others:
        old = max(others, key=os.path.getmtime)
        return Volume(os.path.splitext(old)[0] + ".img"), "reused, made by an older recipe or maker"
    if os.geteuid() != 0:
        sys.exit("bench: making the %d-file volume needs root (ntfs-3g mount)" % files)
    # One volume per size: the old ones go, they can be gigabytes.
    for p in glob.glob(os.path.join(workdir, "vol-%d-*" % files)):
        os.unlink(p)
    print("bench: making the %d-file volume (%s)" % (files, img), file=sys.stderr, flush=True)
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "mkbigvolume.py"), img,
                    "--files", str(files), "--jobs", str(jobs)], check=True)
    return Volume(img), "made now"


def mft_extents(img):
    """The $MFT's $DATA: (size, cluster size, [(first cluster, count)]), from TSK."""
    fs = subprocess.run(["fsstat", img], capture_output=True, text=True, check=True).stdout
    cluster = int(re.search(r"^Cluster Size: (\d+)", fs, re.M).group(1))
    ist = subprocess.run(["istat", "-r", img, "0"], capture_output=True, text=True, check=True).stdout
    size, runs, in_data = None, [], False
    for line in ist.splitlines():
        if line.startswith("Type: "):
            if in_data:
                break
            m = re.match(r"Type: \$DATA \(128-\d+\)\s+Name: N/A\s+Non-Resident.*\bsize: (\d+)", line)
            in_data = m is not None
            if m:
                size = int(m.group(1))
        elif in_data:
            r = re.match(r"\s*Starting address: (\d+), length: (\d+)\s*$", line)
            if r:
                runs.append((int(r.group(1)), int(r.group(2))))
            elif "Sparse" in line:
                sys.exit("bench: the $MFT has a sparse run: " + line.strip())
    if not size or not runs:
        sys.exit("bench: no $MFT runs in istat -r %s 0" % img)
    return size, cluster, runs


def dd_argvs(img, size, cluster, runs):
    """One dd per extent, reading exactly the $MFT's bytes."""
    dd = shutil.which("dd")
    argvs, left = [], size
    for start, count in runs:
        n = min(count * cluster, left)
        if n <= 0:
            break
        argvs.append([dd, "if=" + img, "of=/dev/null", "bs=1M", "iflag=skip_bytes,count_bytes",
                      "skip=%d" % (start * cluster), "count=%d" % n])
        left -= n
    if left:
        sys.exit("bench: the $MFT's runs map %d bytes too few" % left)
    return argvs


# --------------------------------------------------------------------------
# What each tool listed, as paths or names, to compare with the manifest

def pelmora_paths(out_path, err_path):
    """CSV rows: Name, Path ("<drive text>\\folders\\"), ... Returns (paths, note)."""
    paths, unrooted = [], 0
    with open(out_path, encoding="utf-8", errors="replace", newline="") as f:
        rows = csv.reader(f)
        next(rows, None)
        for row in rows:
            if len(row) < 2:
                continue
            folder = row[1]
            if folder.startswith("?\\"):
                unrooted += 1
            folder = folder.split("\\", 1)[1] if "\\" in folder else ""
            paths.append(folder.replace("\\", "/") + row[0])
    with open(err_path, encoding="utf-8", errors="replace") as f:
        m = re.search(r"^Deleted files: (\d+)", f.read(), re.M)
    note = "files with content"
    if m and int(m.group(1)) != len(paths):
        note += " (stderr says %s)" % m.group(1)
    if unrooted:
        note += "; %d rows not reaching the root" % unrooted
    return paths, note


# fls -p: "-/r * 1234-128-2:<TAB>path" ('*' a deleted name, the type after
# the slash is the record's). $OrphanFiles/OrphanFile-N are TSK's stand-ins
# for nameless records, not user files.
FLS_LINE = re.compile(r"^\S/(\S) \* \d+[^\t]*\t(.*)$")


def fls_paths(out_path, err_path):
    paths, dirs, orphans = [], 0, 0
    with open(out_path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = FLS_LINE.match(line.rstrip("\n"))
            if not m:
                continue
            if m.group(2).startswith("$OrphanFiles/OrphanFile-"):
                orphans += 1
            elif m.group(1) == "r":
                paths.append(m.group(2))
            elif m.group(1) == "d":
                dirs += 1
    return paths, "deleted names, empty files too; %d folders, %d nameless records skipped" % (dirs, orphans)


# ntfsundelete: "Inode Flags %age Date Time Size Filename", flags F=file, D=dir.
UNDEL_LINE = re.compile(r"^(\d+)\s+(\S{4})\s+(\d+)%\s+\S+\s+\S+\s+(\d+)\s+(.*)$")


def ntfsundelete_names(out_path, err_path):
    names, nameless, summary = [], 0, None
    with open(out_path, encoding="utf-8", errors="replace") as f:
        for line in f:
            r = UNDEL_LINE.match(line.rstrip("\n"))
            if r and r.group(2).startswith("F"):
                if r.group(5) == "<none>":
                    nameless += 1
                else:
                    names.append(r.group(5))
            m = re.match(r"Files with potentially recoverable content: (\d+)", line)
            if m:
                summary = int(m.group(1))
    note = "deleted file names, no paths; %d nameless skipped" % nameless
    note += "; summary line says %s" % summary if summary is not None else "; no summary line"
    return names, note


def dd_bytes(out_path, err_path):
    with open(err_path, encoding="utf-8", errors="replace") as f:
        total = sum(int(m) for m in re.findall(r"^(\d+) bytes", f.read(), re.M))
    return total


# --------------------------------------------------------------------------

def compare(listed, expected, diff_path, label):
    """listed: list of keys; expected: set. Writes the differences; returns
    (missing, extra, text)."""
    got = set(listed)
    missing = sorted(expected - got)
    extra = sorted(got - expected)
    dupes = len(listed) - len(got)
    with open(diff_path, "w", encoding="utf-8") as f:
        for p in missing:
            f.write("missing\t%s\n" % p)
        for p in extra:
            f.write("extra\t%s\n" % p)
    if not missing and not extra and not dupes:
        return 0, 0, "= manifest"
    parts = []
    if missing:
        parts.append("%d missing" % len(missing))
    if extra:
        parts.append("%d extra" % len(extra))
    if dupes:
        parts.append("%d listed twice" % dupes)
    return len(missing), len(extra), ", ".join(parts) + " vs manifest %s (%s)" % (label, os.path.basename(diff_path))


def measure_size(files, args, report):
    vol, how = volume_for(files, args.workdir, args.reuse, args.remake, args.jobs)
    s = vol.summary
    wd = os.path.join(args.workdir, "out-%d" % files)
    os.makedirs(wd, exist_ok=True)
    img = os.path.abspath(vol.img)
    mft_size, cluster, runs = mft_extents(img)

    tools = [
        {"name": "pelmora-cli list --format csv",
         "argvs": [[os.path.abspath(args.cli), "list", img, "--start", "0", "--format", "csv"]],
         "list": pelmora_paths, "expected": vol.deleted_content, "label": "deleted files with content"},
        {"name": "fls -r -d -p", "argvs": [[shutil.which("fls"), "-r", "-d", "-p", img]],
         "list": fls_paths, "expected": vol.deleted_files, "label": "deleted files"},
        {"name": "ntfsundelete --scan", "argvs": [[shutil.which("ntfsundelete"), "--scan", img]],
         "list": ntfsundelete_names, "expected": set(p.rpartition("/")[2] for p in vol.deleted_files),
         "label": "deleted file names"},
        {"name": "dd of the $MFT's extents", "argvs": dd_argvs(img, mft_size, cluster, runs), "list": None},
    ]
    for i, t in enumerate(tools):
        t["out"] = os.path.join(wd, "out%d.txt" % i)
        t["err"] = os.path.join(wd, "err%d.txt" % i)
        for argv in t["argvs"]:
            if not argv[0] or not os.access(argv[0], os.X_OK):
                sys.exit("bench: cannot run %s: %r" % (t["name"], argv[0]))

    # Untimed first run: warms the cache and gives the peak memory; a tool
    # that fails or finds almost nothing would make any ratio meaningless.
    for i, t in enumerate(tools):
        key = t["name"].split()[0]
        if key in args.given:
            # A peer too slow to run again (fls on a million files): its time
            # from an earlier run on this volume, said as such.
            t.update(runs=0, times=[args.given[key]], rss=None, rss_exact=False, rows="-", check="not run",
                     note="time given from an earlier run (--given)")
            continue
        if t["list"] is None:
            secs, code, _ = benchlib.run_seq(t["argvs"], t["out"], t["err"])
            t["rss"], t["rss_exact"] = None, False
        else:
            t["rss"], t["rss_exact"], code, secs = benchlib.peak_rss_kib(t["argvs"][0], t["out"], t["err"])
        # A peer that takes minutes a run (fls on a million files) runs fewer
        # times; one slower than the whole budget is timed by this run alone
        # (the cache is warm by then: the tools before it read the $MFT).
        t["runs"] = benchlib.runs_within(secs, args.runs, args.budget)
        if i > 0 and secs > args.budget:
            t["runs"], t["times"] = 0, [secs]
        if t["list"] is None:
            got = dd_bytes(t["out"], t["err"])
            if code != 0 or got != mft_size:
                sys.exit("bench: dd exited %d after %d bytes of the $MFT's %d" % (code, got, mft_size))
            t["rows"], t["check"], t["note"] = got, "= $MFT size", "%d extents, bytes read" % len(runs)
            continue
        listed, note = t["list"](t["out"], t["err"])
        want = len(t["expected"])
        if code != 0 or len(listed) < 0.9 * want:
            with open(t["err"], encoding="utf-8", errors="replace") as f:
                sys.stderr.write(f.read()[-2000:])
            sys.exit("bench: %s exited %d with %d rows (want about %d); output in %s"
                     % (t["name"], code, len(listed), want, t["out"]))
        _, _, t["check"] = compare(listed, t["expected"], os.path.join(wd, "diff%d.txt" % i), t["label"])
        t["rows"], t["note"] = len(listed), note

    benchlib.time_in_turns(tools, args.runs)
    for t in tools:
        if t["list"] is not None and t["runs"] > 0:
            listed, _ = t["list"](t["out"], t["err"])
            if len(listed) != t["rows"]:
                sys.exit("bench: %s listed %d rows, then %d" % (t["name"], t["rows"], len(listed)))

    pel, fls, undel, dd = tools
    base = benchlib.best(pel["times"])
    header = ["tool", "best s", "median s", "runs", "x pelmora", "peak RSS MiB", "rows", "check", "note"]
    rows = []
    for t in tools:
        b = benchlib.best(t["times"])
        rss = "" if t["rss"] is None else ("" if t["rss_exact"] else "<= ") + "%.1f" % benchlib.mib(t["rss"])
        rows.append([t["name"], "%.3f" % b, "%.3f" % benchlib.median(t["times"]), str(len(t["times"])),
                     "%.2f" % (b / base), rss, str(t["rows"]), t["check"], t["note"]])

    holds = lambda ok: "holds" if ok else "MISSED"
    floor = base / benchlib.best(dd["times"])
    peers_ok = base < benchlib.best(fls["times"]) and base < benchlib.best(undel["times"])
    listed_rows = pel["rows"]
    goal_mib = MEMORY_BASE_MIB + MEMORY_BYTES_PER_ITEM * (vol.dirs + 1 + listed_rows) / 2**20
    peak_mib = benchlib.mib(pel["rss"])
    lines = [
        "volume: %s (%s), %d files in %d folders (%d deleted); %d deleted files, %d with content; "
        "%.1f GiB, %.0f MiB on disk"
        % (os.path.basename(img), how, s["files"], s["folders"], s["deleted_folders"], s["deleted_files"],
           s["deleted_with_content"], s["volume_bytes"] / 2**30, s["disk_bytes"] / 2**20),
        "$MFT: %d bytes (%.1f MiB) in %d extents; best and median of %d runs taking turns "
        "(fewer for a tool slower than %.3g s a run), warm page cache"
        % (mft_size, mft_size / 2**20, len(runs), args.runs, args.budget / args.runs),
        "peers: fls -r -d -p takes %.2fx and ntfsundelete --scan %.2fx pelmora-cli list's time (goal: both > 1): %s"
        % (benchlib.best(fls["times"]) / base, benchlib.best(undel["times"]) / base, holds(peers_ok)),
        "floor: pelmora-cli list takes %.2fx the dd of the $MFT (goal <= %.1fx): %s"
        % (floor, FLOOR_RATIO_GOAL, holds(floor <= FLOOR_RATIO_GOAL)),
        "memory: pelmora-cli list peak %s%.1f MiB; goal %d MiB + %d B x (%d folders + %d rows) = %.1f MiB: %s"
        % ("" if pel["rss_exact"] else "<= ", peak_mib, MEMORY_BASE_MIB, MEMORY_BYTES_PER_ITEM, vol.dirs + 1,
           listed_rows, goal_mib, holds(peak_mib <= goal_mib)),
    ]

    ctx = {"files": files, "image": img, "volume": vol, "workdir": wd, "runs": args.runs,
           "pelmora": {"best": base, "rows": pel["rows"], "out": pel["out"]}, "root": ROOT,
           "args": args}
    sections = [sec(ctx) for sec in SECTIONS]

    title = "%s files" % format(files, ",")
    print("\n== %s ==" % title)
    print(benchlib.text_table(header, rows))
    for line in lines:
        print(line)
    report.append("### %s\n\n%s\n\n%s\n" % (title, benchlib.md_table(header, rows),
                                            "\n".join("- " + line for line in lines)))
    for sec in sections:
        print("-- %s --" % sec["title"])
        md = "#### %s\n\n" % sec["title"]
        if sec.get("rows"):
            print(benchlib.text_table(sec["header"], sec["rows"]))
            md += benchlib.md_table(sec["header"], sec["rows"]) + "\n\n"
        for line in sec.get("lines", []):
            print(line)
        md += "".join("- %s\n" % line for line in sec.get("lines", []))
        report.append(md)
    sys.stdout.flush()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--cli", required=True, help="the release pelmora-cli")
    ap.add_argument("--win-cli", help="the 32-bit pelmora-cli.exe, run under Wine")
    ap.add_argument("--sizes", default="20000,100000,1000000")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--workdir", required=True)
    ap.add_argument("--reuse", action="store_true", help="take a volume of the size even if its recipe is stale")
    ap.add_argument("--remake", action="store_true", help="make the volumes anew")
    ap.add_argument("--budget", type=float, default=300,
                    help="seconds of timed runs a slow tool may take per size (at least one run)")
    ap.add_argument("--given", default={}, type=lambda text: {k: float(v) for k, v in
                                                               (pair.split("=") for pair in text.split(","))},
                    help="TOOL=SECONDS,...: a peer's time from an earlier run, not run again (fls=2400)")
    ap.add_argument("--jobs", type=int, default=2, help="writer processes for the volume maker")
    args = ap.parse_args()
    try:
        sizes = [int(x.replace("_", "")) for x in args.sizes.split(",") if x.strip()]
    except ValueError:
        ap.error("--sizes takes numbers separated by commas")
    if not sizes or min(sizes) < 1 or args.runs < 1:
        ap.error("--sizes and --runs must be positive")
    args.workdir = os.path.abspath(args.workdir)
    os.makedirs(args.workdir, exist_ok=True)
    report = ["## pelmora-cli list on big volumes\n"]
    for files in sizes:
        measure_size(files, args, report)
    out = os.path.join(args.workdir, "results.md")
    with open(out, "w", encoding="utf-8") as f:
        f.write("\n".join(report))
    print("\nMarkdown: " + out)


if __name__ == "__main__":
    main()
