"""Timing, memory and table helpers shared by the benchmark's parts.

Wall time comes from perf_counter around posix_spawn+wait4 of the tool itself
(no shell in between). Peak memory needs a small parent: Linux folds the
pre-exec address space into a child's ru_maxrss, and a child spawned from
Python starts with Python's ~16 MiB. So memory is taken in a separate run
under /usr/bin/time (~1.3 MiB of its own); without it, wait4's figure is an
upper bound and is shown as such.
"""
import os
import statistics
import sys
import time

TIMER = "/usr/bin/time"


def run_seq(argvs, out_path, err_path, env=None):
    """Runs each argv in turn, stdout and stderr into the two files (stdin
    empty), stopping at the first failure. Returns (seconds, exit code, max
    RSS in KiB of the largest child)."""
    env = os.environ if env is None else env
    out = os.open(out_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    err = os.open(err_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        actions = [(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
                   (os.POSIX_SPAWN_DUP2, out, 1), (os.POSIX_SPAWN_DUP2, err, 2)]
        code, rss = 0, 0
        start = time.perf_counter()
        for argv in argvs:
            pid = os.posix_spawn(argv[0], argv, env, file_actions=actions)
            _, status, usage = os.wait4(pid, 0)
            code, rss = os.waitstatus_to_exitcode(status), max(rss, usage.ru_maxrss)
            if code != 0:
                break
        return time.perf_counter() - start, code, rss
    finally:
        os.close(out)
        os.close(err)


def peak_rss_kib(argv, out_path, err_path, env=None):
    """Runs argv for its peak memory. Returns (KiB, exact, exit code, seconds)."""
    if not os.access(TIMER, os.X_OK):
        secs, code, rss = run_seq([argv], out_path, err_path, env)
        return rss, False, code, secs
    rss_path = out_path + ".rss"
    secs, code, _ = run_seq([[TIMER, "-o", rss_path, "-f", "%M"] + argv], out_path, err_path, env)
    try:
        with open(rss_path, encoding="utf-8") as f:
            return int(f.read().split()[-1]), True, code, secs
    except (OSError, ValueError, IndexError):
        return 0, False, code, secs


def time_in_turns(tools, runs):
    """Each tool is a dict with "argvs", "out", "err" (optionally "env", and
    "runs" to run fewer times than `runs`); appends its wall times to its
    "times", the tools taking turns so that drift on the machine hits them
    all alike. Fails on a non-zero exit."""
    for i in range(runs):
        for t in tools:
            if i >= t.get("runs", runs):
                continue
            secs, code, _ = run_seq(t["argvs"], t["out"], t["err"], t.get("env"))
            if code != 0:
                sys.exit("bench: %s exited %d during the timed runs; see %s" % (t["name"], code, t["err"]))
            t.setdefault("times", []).append(secs)


def runs_within(first_secs, runs, budget_secs, least=1):
    """How many runs fit in budget_secs after a first run of first_secs:
    `runs` for a quick tool, down to `least` for a slow one."""
    return max(least, min(runs, int(budget_secs // max(first_secs, 1e-6))))


def best(times):
    return min(times)


def median(times):
    return statistics.median(times)


def text_table(header, rows):
    widths = [max(len(header[c]), *(len(r[c]) for r in rows)) for c in range(len(header))]
    line = lambda cells: "  ".join(cell.ljust(w) for cell, w in zip(cells, widths)).rstrip()
    return "\n".join([line(header)] + [line(r) for r in rows])


def md_table(header, rows):
    esc = lambda c: c.replace("|", "\\|")
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(esc(c) for c in r) + " |" for r in rows]
    return "\n".join(out)


def mib(kib):
    return kib / 1024
