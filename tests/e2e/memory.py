#!/usr/bin/env python3
"""Peak memory of the 32-bit pelmora-cli.exe under Wine as the volume grows.

Lists two real volumes made by tools/mkbigvolume.py (20,000 files and five
times that) with `pelmora-cli.exe list IMG --start 0 --format csv` and takes
the peak resident memory of the Wine process running it (GNU time's %M; the
Wine server runs on its own, so it is not counted). The `$MFT` is read in
bounded chunks, so the peak may grow only with what is kept: at most 200
bytes per listed deleted file and per folder. Checked:

- growth: peak(large) - peak(small) <= 200 B x (the rows and folders added) + 4 MiB;
- goal: peak - Wine's own peak (the same exe listing the partitions of a
  tiny disk) <= 64 MiB + 200 B x (rows + folders), on each volume.

  memory.py PELMORA-CLI.EXE [--images DIR] [--sizes 20000,100000]

The volumes are kept in DIR (default $TMPDIR/pelmora-memory-images) and
remade when their recipe changes. Prints one `ok`/`FAIL`/`skip` line per
check, the figures as `#` lines, then `N passed, M failed, K skipped`.
Needs root (ntfs-3g mounts).
"""
import argparse
import csv
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import e2e  # noqa: E402  (beside this file: the choice of Wine)
TIMER = "/usr/bin/time"
ROW_BYTES = 200
GOAL_MIB = 64
GROWTH_SLACK_MIB = 4  # heap rounding and Wine's own pages from run to run


def log(message):
    print("# " + message, flush=True)


def volume(images, files):
    """The image of `files` files and its folder count, made once per recipe."""
    maker = os.path.join(ROOT, "tools", "mkbigvolume.py")
    key = subprocess.run([sys.executable, maker, "--key", "--files", str(files)], capture_output=True, text=True,
                         check=True).stdout.strip()
    image = os.path.join(images, "vol-%d-%s.img" % (files, key))
    summary = image[:-4] + ".json"
    if not os.path.exists(summary):
        for name in os.listdir(images):
            if name.startswith("vol-%d-" % files):
                os.remove(os.path.join(images, name))
        log("making a volume of %d files" % files)
        subprocess.run([sys.executable, maker, image, "--files", str(files)], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    with open(image[:-4] + ".tsv", encoding="utf-8", newline="") as f:
        rows = list(csv.reader(f, delimiter="\t"))
    folders = 1 + sum(1 for r in rows[1:] if len(r) > 1 and r[1] in ("dir", "folder"))
    return image, folders


def peak_kib(env, argv, out_path):
    """Runs argv under GNU time; returns (peak KiB, exit code)."""
    rss_path = out_path + ".rss"
    with open(out_path, "wb") as out, open(out_path + ".err", "wb") as err:
        code = subprocess.run([TIMER, "-o", rss_path, "-f", "%M"] + argv, stdout=out, stderr=err, env=env,
                              stdin=subprocess.DEVNULL, timeout=600).returncode
    with open(rss_path, encoding="utf-8") as f:
        return int(f.read().split()[-1]), code


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("exe")
    parser.add_argument("--images", default=os.path.join(tempfile.gettempdir(), "pelmora-memory-images"))
    parser.add_argument("--sizes", default="20000,100000")
    args = parser.parse_args()
    checks = ["growth"] + ["goal %s" % n for n in args.sizes.split(",")]

    def skip_all(why):
        for name in checks:
            print("skip %s: %s" % (name, why))
        print("0 passed, 0 failed, %d skipped" % len(checks))
        return 0

    exe = os.path.abspath(args.exe)
    if not os.path.exists(exe):
        return skip_all("no program at " + exe)
    if shutil.which("wine") is None or not os.access(TIMER, os.X_OK):
        return skip_all("needs wine and GNU time")
    wine = "wine"
    if e2e.pe_machine(exe) == 0x14C and e2e.emulated_32bit():
        # The 32-bit program itself, emulated (a minute or two), in a 64-bit
        # prefix (made natively in seconds) by the 32-bit loader, so that the
        # peak is the emulated program's own. qemu's translated code counts
        # in it as Wine's does: in the base too.
        e2e.use_arch(32, 64)
        wine = "/usr/lib/wine/wine"
        log("32-bit programs run emulated here: so does this one")
    else:
        # Where this kernel runs no 32-bit program at all, the 64-bit build of
        # the same sources: its memory grows the same way, only pointers are wider.
        exe = e2e.choose_arch(exe, "pelmora-cli")
        wine = e2e.WINE
    sizes = [int(n) for n in args.sizes.split(",")]
    with e2e.locked(args.images):
        volumes = [volume(args.images, n) for n in sizes]

    work = tempfile.mkdtemp(prefix="pelmora-memory-")
    env = e2e.wine_env(dict(os.environ, WINEPREFIX=os.path.join(work, "prefix"), WINEARCH=e2e.WINEARCH,
                            WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml="))
    if e2e.WINELOADER:
        env["WINELOADER"] = e2e.WINELOADER
    env.pop("DISPLAY", None)
    server = None
    passed = failed = 0
    try:
        subprocess.run([e2e.WINE, "wineboot", "-i"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        # The server on its own, so that the runs below neither start nor count it.
        server = subprocess.Popen([e2e.WINESERVER, "-p", "-f"], env=env)
        tiny = os.path.join(work, "tiny.img")
        with open(tiny, "wb") as f:
            f.truncate(1 << 20)
        base, _ = peak_kib(env, [wine, exe, "partitions", "Z:" + tiny.replace("/", "\\")], os.path.join(work, "base"))
        log("Wine's own peak (pelmora-cli.exe partitions of a blank disk): %.1f MiB" % (base / 1024))
        figures = []
        for files, (image, folders) in zip(sizes, volumes):
            out = os.path.join(work, "list-%d.csv" % files)
            peak, code = peak_kib(env, [wine, exe, "list", "Z:" + image.replace("/", "\\"), "--start", "0",
                                        "--format", "csv"], out)
            with open(out, encoding="utf-8", errors="replace", newline="") as f:
                rows = max(0, len(list(csv.reader(f))) - 1)
            figures.append((files, peak, rows, folders, code))
            log("%d files: peak %.1f MiB, %d rows, %d folders, exit %d" % (files, peak / 1024, rows, folders, code))

        def result(name, good, why):
            nonlocal passed, failed
            if good:
                passed += 1
                print("ok " + name)
            else:
                failed += 1
                print("FAIL %s: %s" % (name, why))

        (_, small, small_rows, small_folders, _), (_, large, large_rows, large_folders, _) = figures[0], figures[-1]
        allowed = ROW_BYTES * (large_rows - small_rows + large_folders - small_folders) / 1024 + GROWTH_SLACK_MIB * 1024
        result("growth", large - small <= allowed,
               "peak grew %.1f MiB from %d to %d files; allowed %.1f MiB" % (
                   (large - small) / 1024, sizes[0], sizes[-1], allowed / 1024))
        for files, peak, rows, folders, code in figures:
            goal = GOAL_MIB * 1024 + ROW_BYTES * (rows + folders) / 1024
            result("goal %d" % files, code == 0 and rows > 0 and peak - base <= goal,
                   "exit %d, %d rows, %.1f MiB above Wine's own, goal %.1f MiB" % (
                       code, rows, (peak - base) / 1024, goal / 1024))
    finally:
        if server is not None:
            subprocess.run([e2e.WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
            server.wait()
        shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed, 0 skipped" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
