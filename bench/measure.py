#!/usr/bin/env python3
"""Times pelmora-cli against fls and ntfsundelete on one NTFS volume image.

Each tool runs once untimed (to warm the page cache and check its output), then
N times, the tools taking turns so that drift on the machine hits all of them
alike. Wall time comes from perf_counter around posix_spawn+wait4 of the tool itself.

Peak memory needs a small parent: Linux folds the pre-exec address space into
a child's ru_maxrss, and a child spawned from here starts with Python's ~16 MiB
(ntfsundelete would show 16 MiB instead of 2). So memory is taken in a separate
run under /usr/bin/time (~1.3 MiB of its own), and without it wait4's figure is
shown as an upper bound.
"""
import argparse
import csv
import os
import re
import shutil
import statistics
import subprocess
import sys
import time


def run_once(argv, out_path, err_path):
    """Returns (seconds, exit code, max RSS in KiB) of one run."""
    actions = [
        (os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
        (os.POSIX_SPAWN_OPEN, 1, out_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
        (os.POSIX_SPAWN_OPEN, 2, err_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
    ]
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter() - start
    return elapsed, os.waitstatus_to_exitcode(status), usage.ru_maxrss


def peak_rss_kib(argv, out_path, err_path):
    """Returns (KiB, exact) for one more run of argv."""
    timer = "/usr/bin/time"
    if not os.access(timer, os.X_OK):
        _, _, rss = run_once(argv, out_path, err_path)
        return rss, False
    rss_path = out_path + ".rss"
    _, code, _ = run_once([timer, "-o", rss_path, "-f", "%M"] + argv, out_path, err_path)
    if code != 0:
        sys.exit(f"bench: {argv[0]} exited {code} in the memory run")
    return int(read_text(rss_path).split()[-1]), True


def read_text(path):
    with open(path, encoding="utf-8", errors="replace", newline="") as f:
        return f.read()


def count_pelmora(out_path, err_path):
    with open(out_path, encoding="utf-8", errors="replace", newline="") as f:
        rows = sum(1 for _ in csv.reader(f)) - 1  # header
    m = re.search(r"^Deleted files: (\d+)", read_text(err_path), re.M)
    note = "CSV rows: files with content"
    if m and int(m.group(1)) != rows:
        note += f" (but stderr says {m.group(1)} deleted)"
    return rows, note


# fls -p: "-/r * 1234-128-2:<TAB>path". The meta type after the slash is what
# the record is; '*' marks a deleted name. $OrphanFiles/OrphanFile-N are TSK's
# stand-ins for nameless records (16-23 on a fresh volume), not user files.
FLS_LINE = re.compile(r"^\S/(\S) \* (\d+)[^\t]*\t(.*)$")


def count_fls(out_path, err_path):
    files = dirs = orphans = 0
    for line in read_text(out_path).splitlines():
        m = FLS_LINE.match(line)
        if not m:
            continue
        if m.group(3).startswith("$OrphanFiles/OrphanFile-"):
            orphans += 1
        elif m.group(1) == "r":
            files += 1
        elif m.group(1) == "d":
            dirs += 1
    return files, f"named files, empty ones too; {dirs} dirs, {orphans} nameless records skipped"


# ntfsundelete: "Inode Flags %age Date Time Size Filename", flags F=file, D=dir.
UNDEL_LINE = re.compile(r"^(\d+)\s+(\S{4})\s+(\d+)%\s+\S+\s+\S+\s+(\d+)\s+(.*)$")


def count_ntfsundelete(out_path, err_path):
    text = read_text(out_path)
    m = re.search(r"Files with potentially recoverable content: (\d+)", text)
    if not m:
        return -1, "no summary line"
    with_content = 0
    for line in text.splitlines():
        r = UNDEL_LINE.match(line)
        if r and r.group(2).startswith("F") and r.group(5) != "<none>" and int(r.group(4)) > 0:
            with_content += 1
    return int(m.group(1)), f"its summary line; {with_content} named with size > 0"


def mft_size(volume):
    """$MFT's $DATA size and the record size, from TSK."""
    ist = subprocess.run(["istat", volume, "0"], capture_output=True, text=True, check=True).stdout
    m = re.search(r"^Type: \$DATA \(128-\d+\).*?\bsize: (\d+)", ist, re.M)
    fs = subprocess.run(["fsstat", volume], capture_output=True, text=True, check=True).stdout
    r = re.search(r"Size of MFT Entries: (\d+) bytes", fs)
    return (int(m.group(1)) if m else 0), (int(r.group(1)) if r else 1024)


def manifest_counts(path):
    deleted = with_content = 0
    if not path or not os.path.exists(path):
        return None
    with open(path, encoding="utf-8", newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            if row["state"] == "deleted" and row["kind"] == "file":
                deleted += 1
                with_content += int(row["size"]) > 0
    return deleted, with_content


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cli", required=True)
    ap.add_argument("--volume", required=True)
    ap.add_argument("--manifest")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--workdir", required=True)
    ap.add_argument("--out", required=True, help="Markdown results file")
    args = ap.parse_args()

    vol = os.path.abspath(args.volume)
    tools = [
        ("pelmora-cli list --format csv", [os.path.abspath(args.cli), "list", vol, "--start", "0", "--format", "csv"], count_pelmora),
        ("fls -r -d -p", [shutil.which("fls"), "-r", "-d", "-p", vol], count_fls),
        ("ntfsundelete --scan", [shutil.which("ntfsundelete"), "--scan", vol], count_ntfsundelete),
    ]
    for name, argv, _ in tools:
        if not argv[0] or not os.access(argv[0], os.X_OK):
            sys.exit(f"bench: cannot run {name}: {argv[0]!r}")

    expected = manifest_counts(args.manifest)
    floor = 0.9 * expected[1] if expected else 1

    results = []
    for i, (name, argv, count) in enumerate(tools):
        out = os.path.join(args.workdir, f"out{i}.txt")
        err = os.path.join(args.workdir, f"err{i}.txt")
        _, code, _ = run_once(argv, out, err)
        rows, note = count(out, err)
        # A peer that fails or finds almost nothing would make any ratio meaningless.
        if code != 0 or rows < floor:
            sys.stderr.write(read_text(err)[-2000:])
            sys.exit(f"bench: {name} exited {code} with {rows} deleted files (want >= {floor:.0f}); "
                     f"output in {out}")
        results.append({"name": name, "argv": argv, "out": out, "err": err, "count": count,
                        "rows": rows, "note": note, "times": [], "rss": 0})

    for _ in range(args.runs):
        for r in results:
            secs, code, _ = run_once(r["argv"], r["out"], r["err"])
            if code != 0:
                sys.exit(f"bench: {r['name']} exited {code} during the timed runs")
            r["times"].append(secs)
    for r in results:
        r["rss"], r["rss_exact"] = peak_rss_kib(r["argv"], r["out"], r["err"])
    for r in results:
        rows, _ = r["count"](r["out"], r["err"])
        if rows != r["rows"]:
            sys.exit(f"bench: {r['name']} found {rows} then {r['rows']} deleted files")

    mft_bytes, rec_size = mft_size(vol)
    base = min(results[0]["times"])
    header = ["tool", "best s", "median s", "ratio (peer / pelmora)", "peak RSS MiB", "deleted files", "note"]
    table = []
    for r in results:
        best = min(r["times"])
        table.append([r["name"], f"{best:.4f}", f"{statistics.median(r['times']):.4f}",
                      f"{best / base:.2f}", ("" if r["rss_exact"] else "<= ") + f"{r['rss'] / 1024:.1f}", str(r["rows"]), r["note"]])

    vol_mib = os.path.getsize(vol) / 2**20
    facts = [
        f"volume: {os.path.basename(vol)}, {vol_mib:.0f} MiB; best and median of {args.runs} runs, warm page cache",
        f"$MFT: {mft_bytes} bytes ({mft_bytes / 2**20:.1f} MiB, {mft_bytes // rec_size} records of {rec_size} bytes)",
    ]
    if expected:
        facts.append(f"manifest: {expected[0]} deleted files, {expected[1]} of them with content "
                     f"(pelmora lists only those with content)")

    widths = [max(len(header[c]), *(len(t[c]) for t in table)) for c in range(len(header))]
    line = lambda cells: "  ".join(cell.ljust(w) for cell, w in zip(cells, widths)).rstrip()
    print(line(header))
    for t in table:
        print(line(t))
    for f in facts:
        print(f)

    with open(args.out, "w", encoding="utf-8") as f:
        f.write("| " + " | ".join(header) + " |\n")
        f.write("|" + "|".join("---" for _ in header) + "|\n")
        for t in table:
            f.write("| " + " | ".join(c.replace("|", "\\|") for c in t) + " |\n")
        f.write("\n")
        for fact in facts:
            f.write(f"- {fact}\n")
    print(f"Markdown: {args.out}")


if __name__ == "__main__":
    main()
