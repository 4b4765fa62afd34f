"""The 32-bit pelmora-cli.exe under Wine on the same volume: time and rows.

A 32-bit process has 2-4 GiB of address space, so this shows whether the
list fits in it on the biggest volume. Wine's own start is part of the time;
the Wine server is kept running across the runs (`wineserver -p`) so that
each run does not also pay for starting it.
"""
import csv
import os
import shutil
import subprocess
import sys

import benchlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "e2e"))
from e2e import emulated_32bit  # noqa: E402  (the rig's test for an emulated 32-bit loader)

TITLE = "pelmora-cli.exe (32-bit) under Wine"


def skip(reason):
    return {"title": TITLE, "lines": ["skipped: " + reason]}


def wine_env(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    return env


def section(ctx):
    args = ctx["args"]
    exe = args.win_cli and os.path.abspath(args.win_cli)
    wine = shutil.which("wine")
    if not wine:
        return skip("Wine is not installed (tools/setup.sh installs it; wine32 needs the i386 index)")
    if not exe or not os.path.exists(exe):
        return skip("no 32-bit pelmora-cli.exe (build it with tools/build.sh windows)")
    prefix = os.path.join(args.workdir, "wineprefix")
    env = wine_env(prefix)
    # Debian's wine says so when it has no 32-bit loader; a 64-bit-only Wine
    # would only fail to start the program.
    # (not with WINEDEBUG=-all, which hides that warning).
    probe_env = dict(env)
    probe_env.pop("WINEDEBUG")
    probe = subprocess.run([wine, "--version"], capture_output=True, text=True, env=probe_env)
    said = (probe.stderr + probe.stdout).strip()
    if "wine32 is missing" in said:
        return skip("Wine cannot run 32-bit programs here: wine32 is missing "
                    "(the mirror's i386 index; retry tools/setup.sh)")
    if probe.returncode != 0:
        # e.g. "Exec format error": a kernel that runs no 32-bit programs at all.
        return skip("Wine does not start: %s" % (said.splitlines()[-1:] or ["exit %d" % probe.returncode])[0])
    disk = "Z:" + ctx["image"].replace("/", "\\")
    argv = [wine, exe, "list", disk, "--start", "0", "--format", "csv"]
    out = os.path.join(ctx["workdir"], "wine-out.txt")
    err = os.path.join(ctx["workdir"], "wine-err.txt")
    # The first run also makes the prefix; it is not timed.
    try:
        with open(out, "wb") as o, open(err, "wb") as e:
            first = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=o, stderr=e, env=env, timeout=900)
    except subprocess.TimeoutExpired:
        return skip("the first run under Wine took over 15 minutes")
    if first.returncode != 0:
        with open(err, encoding="utf-8", errors="replace") as f:
            last = f.read().strip().splitlines()[-1:] or ["(no message)"]
        return {"title": TITLE, "lines": ["failed: exit %d after %d rows: %s; see %s"
                                          % (first.returncode, count_rows(out), last[0], err)]}
    lines = []
    server = subprocess.Popen(["wineserver", "-p"], env=env)
    try:
        tool = {"name": TITLE, "argvs": [argv], "out": out, "err": err, "env": env}
        benchlib.time_in_turns([tool], min(ctx["runs"], 3))
        rss, exact, _, _ = benchlib.peak_rss_kib(argv, out, err, env)
    finally:
        subprocess.run(["wineserver", "-k"], env=env)
        server.wait()
    rows_after = count_rows(out)
    native = ctx["pelmora"]
    same = same_rows(out, native["out"])
    b = benchlib.best(tool["times"])
    header = ["program", "best s", "x native", "peak RSS MiB", "rows", "check"]
    table = [[TITLE, "%.3f" % b, "%.2f" % (b / native["best"]),
              ("" if exact else "<= ") + "%.1f" % benchlib.mib(rss), str(rows_after),
              "same rows as native" if same else "rows differ from native (%d native)" % native["rows"]]]
    lines.append("best of %d runs; the disk is the image itself (%s)" % (len(tool["times"]), disk))
    if emulated_32bit():
        lines.append("this kernel runs 32-bit programs only through qemu-i386 (binfmt_misc): the time is "
                     "an emulator's, the rows and the memory are the 32-bit program's")
    return {"title": TITLE, "header": header, "rows": table, "lines": lines}


def csv_rows(path):
    with open(path, encoding="utf-8", errors="replace", newline="") as f:
        rows = list(csv.reader(f))
    return rows[1:]


def count_rows(path):
    return len(csv_rows(path))


def same_rows(a, b):
    # The drive text (the path's first part) may differ between platforms.
    key = lambda r: tuple(r[:1] + [r[1].split("\\", 1)[-1]] + r[2:]) if len(r) > 1 else tuple(r)
    return sorted(map(key, csv_rows(a))) == sorted(map(key, csv_rows(b)))
