#!/usr/bin/env python3
"""End-to-end tests of Pelmora.exe under Wine and Xvfb.

Builds the driver (driver.exe, menuprobe.dll) with MinGW, makes disk images
with tools/mkvolume.py and tools/mkdisk.py, creates a fresh Wine prefix whose
physicaldrive0/1 are those images and whose drive letters C:, D:, E: report
the serials of three of the NTFS partitions, then runs the scenarios.

Prints `ok NAME` / `FAIL NAME: why` / `skip NAME: why` per scenario and the
closing line `N passed, M failed, K skipped`. Exit status 1 on any failure.
Needs root (the image tools mount with ntfs-3g).
"""
import argparse
import csv
import io
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
TOOLS = os.path.join(ROOT, "tools")
CXX = "i686-w64-mingw32-g++-win32"
WINDRES = "i686-w64-mingw32-windres"

# Serials (the low 32 bits are what Windows reports for the letter).
SERIAL_C = 0x1111AAAA2222BBBB
SERIAL_D = 0x3333CCCC4444DDDD
SERIAL_E = 0x5555EEEE6666FFFF
BENCH_FILES = 20000

# The tree this disk layout must give: physicaldrive0 holds, in walk order,
# an NTFS volume with no letter, C:, FAT32, and an extended partition with D:
# and another NTFS volume with no letter; physicaldrive1 holds E: (bench).
FIRST_FOUND = "Disk 0 NTFS 1\\"
EXPECTED_CHILDREN = ["Disk 0 NTFS 1\\", "C:\\", "FAT32", "D:\\", "Disk 0 NTFS 5\\", "E:\\"]


class Failed(Exception):
    pass


class Skipped(Exception):
    pass


def check(condition, why):
    if not condition:
        raise Failed(why)


def eventually(read, good, timeout=10):
    """Reads until `good` holds or the timeout passes; returns the last reading."""
    deadline = time.time() + timeout
    while True:
        value = read()
        if good(value) or time.time() > deadline:
            return value
        time.sleep(0.1)


def log(message):
    print("# " + message, flush=True)


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


# ---------------------------------------------------------------- building

def newer(target, sources):
    return os.path.exists(target) and all(os.path.getmtime(target) >= os.path.getmtime(s) for s in sources)


def build_driver(bin_dir):
    os.makedirs(bin_dir, exist_ok=True)
    driver = os.path.join(bin_dir, "driver.exe")
    probe = os.path.join(bin_dir, "menuprobe.dll")
    flags = ["-std=c++17", "-O1", "-static", "-DUNICODE", "-D_UNICODE"]
    src = os.path.join(HERE, "driver.cpp")
    if not newer(driver, [src]):
        run([CXX, *flags, "-municode", src, "-lcomctl32", "-o", driver])
    src = os.path.join(HERE, "menuprobe.cpp")
    if not newer(probe, [src]):
        run([CXX, *flags, "-shared", "-Wl,--kill-at", src, "-o", probe])
    return driver


def build_standin(bin_dir, core_lib):
    """The stand-in window, on the project's scanning core (built for win32)."""
    os.makedirs(bin_dir, exist_ok=True)
    exe = os.path.join(bin_dir, "standin.exe")
    sources = [os.path.join(HERE, "standin.cpp"), os.path.join(HERE, "standin.rc"), core_lib]
    if newer(exe, sources):
        return exe
    res = os.path.join(bin_dir, "standin.res.o")
    run([WINDRES, sources[1], "-O", "coff", "-o", res])
    run([CXX, "-std=c++17", "-O1", "-static", "-municode", "-mwindows", "-DUNICODE", "-D_UNICODE",
         "-I" + os.path.join(ROOT, "src"), sources[0], res, core_lib, "-lcomctl32", "-o", exe])
    return exe


# ---------------------------------------------------------------- images

def make_images(image_dir):
    """Disk images, reused while the stamp of their recipe is unchanged."""
    recipe = "v1 %x %x %x %d" % (SERIAL_C, SERIAL_D, SERIAL_E, BENCH_FILES)
    stamp = os.path.join(image_dir, "stamp")
    if os.path.exists(stamp) and open(stamp).read() == recipe:
        return
    os.makedirs(image_dir, exist_ok=True)
    if os.path.exists(stamp):
        os.remove(stamp)

    def volume(name, kind, *args):
        out = os.path.join(image_dir, name)
        cmd = [sys.executable, os.path.join(TOOLS, "mkvolume.py"), kind, out, *args]
        if kind == "ntfs":
            cmd += ["--manifest", out + ".tsv"]
        run(cmd, stderr=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        return out

    log("making disk images in " + image_dir)
    c = volume("c.img", "ntfs", "--set", "standard", "--serial", hex(SERIAL_C))
    n = volume("n.img", "ntfs", "--set", "names", "--serial", "0x0102030405060708")
    f = volume("f.img", "fat", "--fat", "32")
    d = volume("d.img", "ntfs", "--set", "names", "--serial", hex(SERIAL_D))
    u = volume("u.img", "ntfs", "--set", "names", "--serial", "0x0807060504030201")
    e = volume("e.img", "ntfs", "--set", "bench", "--files", str(BENCH_FILES), "--serial", hex(SERIAL_E))
    mkdisk = [sys.executable, os.path.join(TOOLS, "mkdisk.py")]
    run(mkdisk + [os.path.join(image_dir, "disk0.img"), "ntfs:" + n, "ntfs:" + c, "fat32:" + f, "extended",
                  "--logical", "ntfs:" + d, "--logical", "ntfs:" + u], stdout=subprocess.DEVNULL)
    run(mkdisk + [os.path.join(image_dir, "disk1.img"), "ntfs:" + e], stdout=subprocess.DEVNULL)
    for name in ("c.img", "n.img", "f.img", "d.img", "u.img", "e.img"):
        os.remove(os.path.join(image_dir, name))  # the disks hold copies
    with open(stamp, "w") as out:
        out.write(recipe)


# ---------------------------------------------------------------- wine and X

def free_display():
    for number in range(90, 200):
        if not os.path.exists("/tmp/.X11-unix/X%d" % number) and not os.path.exists("/tmp/.X%d-lock" % number):
            return number
    raise RuntimeError("no free X display")


class Session:
    """Xvfb, a fresh Wine prefix and the driver, for one run of the rig."""

    def __init__(self, work, image_dir, driver_exe):
        self.work = work
        self.image_dir = image_dir
        self.display = free_display()
        self.xvfb = subprocess.Popen(["Xvfb", ":%d" % self.display, "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.prefix = os.path.join(work, "prefix")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEARCH="win32", WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY=":%d" % self.display, LANG="C.UTF-8")
        socket = "/tmp/.X11-unix/X%d" % self.display
        deadline = time.time() + 20
        while not os.path.exists(socket):
            if time.time() > deadline or self.xvfb.poll() is not None:
                raise RuntimeError("Xvfb did not start")
            time.sleep(0.1)
        self.make_prefix()
        self.driver = subprocess.Popen(["wine", driver_exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL, env=self.env)
        self.app = None

    def make_prefix(self):
        log("creating the Wine prefix")
        subprocess.run(["wineboot", "-i"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env)
        # Dialogs ask for 宋体 (SimSun): map it and its Latin name to a CJK font.
        reg = os.path.join(self.work, "fonts.reg")
        text = ("Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n"
                "\"宋体\"=\"WenQuanYi Zen Hei\"\r\n\"SimSun\"=\"WenQuanYi Zen Hei\"\r\n"
                "\"NSimSun\"=\"WenQuanYi Zen Hei\"\r\n\r\n"
                # Xvfb has no window manager: Wine draws the caption bar itself.
                "[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n\"Decorated\"=\"N\"\r\n")
        with open(reg, "wb") as out:
            out.write(b"\xff\xfe" + text.encode("utf-16-le"))
        subprocess.run(["wine", "regedit", "/S", reg], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env)
        dosdevices = os.path.join(self.prefix, "dosdevices")
        # GetVolumeInformationW reports the serial in .windows-serial at the root.
        for letter, serial in (("c", SERIAL_C), ("d", SERIAL_D), ("e", SERIAL_E)):
            root = os.path.join(self.prefix, "drive_c") if letter == "c" else os.path.join(self.work, "volume_" + letter)
            os.makedirs(root, exist_ok=True)
            with open(os.path.join(root, ".windows-serial"), "w") as out:
                out.write("%08x" % (serial & 0xFFFFFFFF))
            link = os.path.join(dosdevices, letter + ":")
            if letter != "c":
                os.symlink(root, link)
        self.link_disks(True)

    def link_disks(self, present):
        for number in (0, 1):
            link = os.path.join(self.prefix, "dosdevices", "physicaldrive%d" % number)
            if os.path.lexists(link):
                os.remove(link)
            if present:
                os.symlink(os.path.join(self.image_dir, "disk%d.img" % number), link)

    def __call__(self, *args):
        """One driver command; returns its output lines (JSON parsed where they are)."""
        line = "\t".join(str(a) for a in args) + "\n"
        self.driver.stdin.write(line.encode("utf-8"))
        self.driver.stdin.flush()
        out = []
        error = None
        while True:
            raw = self.driver.stdout.readline()
            if not raw:
                raise Failed("the driver ended")
            text = raw.decode("utf-8").rstrip("\r\n")
            if text == ".":
                break
            if text.startswith("! "):
                error = text[2:]
            else:
                out.append(json.loads(text) if text.startswith("[") else text)
        if error is not None:
            raise Failed("%s: %s" % (args[0], error))
        return out

    def start(self, exe):
        self.stop_app()
        self.app_log = open(os.path.join(self.work, "app.log"), "wb")
        self.app = subprocess.Popen(["wine", exe], env=self.env, stdout=self.app_log, stderr=self.app_log)
        self("wait-window", 30000)

    def stop_app(self):
        if self.app is None:
            return
        if self.app.poll() is None:
            try:
                self("close", 10000)
            except Failed:
                pass
        try:
            self.app.wait(10)
        except subprocess.TimeoutExpired:
            self.app.kill()
            self.app.wait()
        self.app = None

    def screenshot(self, path):
        x, y, w, h = self("rect")[0]
        run(["import", "-display", ":%d" % self.display, "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y),
             "+repage", path], env=self.env)

    def close(self):
        self.stop_app()
        if self.driver.poll() is None:
            self.driver.stdin.close()
            try:
                self.driver.wait(10)
            except subprocess.TimeoutExpired:
                self.driver.kill()
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        self.xvfb.terminate()
        self.xvfb.wait()


# ---------------------------------------------------------------- the oracle

class Cli:
    def __init__(self, path, image_dir):
        self.path = path
        self.image_dir = image_dir
        self.cache = {}

    def rows(self, disk, partition, drive_text):
        key = (disk, partition, drive_text)
        if key not in self.cache:
            done = subprocess.run([self.path, "list", os.path.join(self.image_dir, disk), "--partition", str(partition),
                                   "--drive-text", drive_text, "--format", "csv"], capture_output=True, check=True)
            table = list(csv.reader(io.StringIO(done.stdout.decode("utf-8"), newline="")))
            check(table and table[0] == ["Name", "Path", "Size", "Created", "Modified", "#"], "CLI CSV header")
            totals = {}
            for line in done.stderr.decode("utf-8").splitlines():
                if ": " in line:
                    name, value = line.rsplit(": ", 1)
                    if value.isdigit():
                        totals[name] = int(value)
            self.cache[key] = (table[1:], totals)
        return self.cache[key]


# ---------------------------------------------------------------- scenarios

def menu_states(s):
    return {item[1]: item[2] for item in s("menu")}


SCAN, RECOVER, PREVIEW, STOP, EXIT, FIND, FIND_NEXT = 32774, 32780, 32792, 32781, 32775, 32772, 32778


def expect_menu(states, wanted, when):
    for ident, enabled in wanted.items():
        check(ident in states, "%s: no menu item %d" % (when, ident))
        check(states[ident] == enabled, "%s: item %d is %s" % (when, ident, "enabled" if states[ident] else "disabled"))


def scan_c(s, cli):
    """Scans C:\\ to the end; returns the list rows."""
    s("select", "C:\\")
    s("click")
    s("wait-caption", "Scan", 120000)
    return s("rows")


def t_tree(s, ctx):
    s.start(ctx.exe)
    tree = s("tree")
    check(tree, "empty tree")
    depth, selected, expanded, text = tree[0]
    check(depth == 0 and text == "My computer", "first item is %r at depth %d" % (text, depth))
    check(expanded, "root not expanded")
    roots = [item for item in tree if item[0] == 0]
    check(len(roots) == 1, "%d root items" % len(roots))
    children = [item[3] for item in tree if item[0] == 1]
    check(all(item[0] <= 1 for item in tree), "items below the partitions")
    check(sorted(children) == sorted(EXPECTED_CHILDREN), "children %r, expected %r" % (children, EXPECTED_CHILDREN))
    check(children == sorted(children, key=str.lower), "children not sorted: %r" % children)
    chosen = [item[3] for item in tree if item[1]]
    check(chosen == [FIRST_FOUND], "selected %r, expected the first found %r" % (chosen, FIRST_FOUND))
    check(s("no-box") == ["none"], "a message box at start-up")
    check(s("button") == [["Scan", True]], "button %r" % s("button"))
    check(s("columns") == [["Name", "Path", "Size", "Created", "Modified", "#"]], "columns %r" % s("columns"))
    check(s("count") == ["0"], "rows before any scan")


def t_scan(s, ctx):
    s.start(ctx.exe)
    rows = scan_c(s, ctx.cli)
    expected, totals = ctx.cli.rows("disk0.img", 2, "C:\\")
    check(expected, "the CLI found no rows: bad test image")
    if rows != expected:
        diff = next((i for i, (a, b) in enumerate(zip(rows, expected)) if a != b), min(len(rows), len(expected)))
        raise Failed("%d rows, CLI %d; first difference at row %d: %r vs %r" % (
            len(rows), len(expected), diff, rows[diff] if diff < len(rows) else None,
            expected[diff] if diff < len(expected) else None))
    panes = s("status")[0]
    check(len(panes) == 3, "%d status panes" % len(panes))
    check(panes[1] == "Deleted files: %d" % totals["Deleted files"], "pane 1 %r, CLI %r" % (panes[1], totals))
    check(panes[2] == "Total files: %d" % totals["Total files"], "pane 2 %r, CLI %r" % (panes[2], totals))
    check(s("no-box") == ["none"], "a message box after the scan")


def t_screenshot(s, ctx):
    if not ctx.shot:
        raise Skipped("no --screenshot path given")
    s.start(ctx.exe)
    check(scan_c(s, ctx.cli), "no rows to show")
    if os.path.exists(ctx.shot):
        os.remove(ctx.shot)
    s.screenshot(ctx.shot)
    check(os.path.getsize(ctx.shot) > 0, "empty screenshot")
    log("screenshot saved to " + ctx.shot)


class Inconclusive(Exception):
    """The scan ended before the state under test could be caught."""


class Throttle:
    """Runs the program 10 ms in every 100 (SIGSTOP/SIGCONT on all its threads).

    The records are read from memory, so a scan lasts as long as showing its
    rows does: two minutes for the bench volume with rows added one by one,
    a second or less when they are added in batches. Slowed down, a running
    scan stays running while its menus are read or Stop is clicked. All
    threads pause together, so none waits on a lock held by a paused one.
    """

    def __init__(self, pid):
        self.pid = pid
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.done.is_set():
            os.kill(self.pid, signal.SIGSTOP)
            self.done.wait(0.09)
            os.kill(self.pid, signal.SIGCONT)
            time.sleep(0.01)

    def end(self):
        self.done.set()
        self.thread.join()
        os.kill(self.pid, signal.SIGCONT)


def hold_running_scan(s, ctx, drive="E:\\"):
    """Starts a scan of the bench volume and slows the program once rows arrived;
    returns the Throttle, which the caller ends."""
    s.start(ctx.exe)
    s("select", drive)
    check(s("click-caption") == [["Stop Scanning"]], "caption after Scan is not 'Stop Scanning'")
    throttle = Throttle(s.app.pid)
    try:
        s("wait-rows", 1, 60000)
        if s("button")[0][0] != "Stop Scanning":
            raise Inconclusive("the scan ended before it was slowed")
    except BaseException:
        throttle.end()
        raise
    return throttle


def attempts(scenario, s, ctx, tries=3):
    for attempt in range(tries):
        try:
            return scenario(s, ctx)
        except Inconclusive as why:
            log("attempt %d inconclusive: %s" % (attempt + 1, why))
            s.stop_app()
    raise Failed("could not catch the bench scan running in %d tries" % tries)


def t_stop(s, ctx):
    def once(s, ctx):
        throttle = hold_running_scan(s, ctx)
        try:
            seen = s("click-caption")[0][0]
        finally:
            throttle.end()
        check(seen == "Stopping...", "caption after Stop is %r" % seen)
        s("wait-caption", "Scan", 60000)
        rows = s("rows")
        expected, _ = ctx.cli.rows("disk1.img", 1, "E:\\")
        if len(rows) == len(expected) and rows == expected:
            raise Inconclusive("the scan had read its last record when it was held")
        check(0 < len(rows) < len(expected), "%d rows after the stop (full scan: %d)" % (len(rows), len(expected)))
        check(rows == expected[:len(rows)], "the rows kept are not the first rows of the full scan")
        check(s("button") == [["Scan", True]], "button after the stop: %r" % s("button"))
    attempts(once, s, ctx)


def t_menus(s, ctx):
    def once(s, ctx):
        throttle = hold_running_scan(s, ctx)
        try:
            during = menu_states(s)
            if s("button")[0][0] != "Stop Scanning":
                raise Inconclusive("the scan ended while the menus were read")
            s("command", STOP)
        finally:
            throttle.end()
        expect_menu(during, {STOP: True, SCAN: False, FIND: True}, "during")
        s("wait-caption", "Scan", 60000)
    s.start(ctx.exe)
    expect_menu(menu_states(s), {SCAN: True, EXIT: True, RECOVER: False, PREVIEW: False, STOP: False,
                                 FIND: False, FIND_NEXT: True}, "before")
    attempts(once, s, ctx)
    scan_c(s, ctx.cli)
    expect_menu(menu_states(s), {RECOVER: True, PREVIEW: True, SCAN: True, STOP: False}, "after")


def t_root(s, ctx):
    s.start(ctx.exe)
    s("select", "My computer")
    s("click")
    box = s("box", 10000)[0]
    check(box == ["Select logical drive", "Select logical drive and press Scan button"], "box %r" % box)
    s("dismiss")
    panes = eventually(lambda: s("status")[0], lambda p: p[1:] == ["Deleted files: 0", "Total files: 0"])
    check(panes[1:] == ["Deleted files: 0", "Total files: 0"], "status %r" % panes)
    check(s("count") == ["0"], "rows after scanning the root")


def t_fat(s, ctx):
    s.start(ctx.exe)
    s("select", "FAT32")
    s("click")
    box = s("box", 10000)[0]
    check(box[0] == "Check up the type of file system", "box %r" % box)
    s("dismiss")
    button = eventually(lambda: s("button")[0], lambda b: b == ["Scan", True])
    check(button == ["Scan", True], "button after the FAT box: %r" % button)


def t_no_disk(s, ctx):
    s.link_disks(False)
    try:
        s.start(ctx.exe)
        box = s("box", 10000)[0]
        check(box[0] == "Error in ScanLogicalDrives", "box %r" % box)
        s("dismiss")
    finally:
        s.stop_app()
        s.link_disks(True)


def t_close_scanning(s, ctx):
    # Slowed until the scan is surely running, then asked to close at full speed.
    attempts(hold_running_scan, s, ctx).end()
    closed = s("close", 10000)[0]  # thaws; fails unless the process is gone within 10 s
    code = int(closed.split()[1])
    check(code < 0xC0000000, "exit code 0x%x: a crash" % code)
    try:
        s.app.wait(10)
    except subprocess.TimeoutExpired:
        raise Failed("wine did not return after the window closed")
    s.app = None
    leftovers = [w for w in s("windows") if "Pelmora" in w[1] or "Program Error" in w[1]]
    check(not leftovers, "windows left: %r" % leftovers)
    s.app_log.flush()
    with open(s.app_log.name, "rb") as log_file:
        check(b"Unhandled exception" not in log_file.read(), "Wine logged an unhandled exception")


SCENARIOS = [
    ("tree", t_tree),
    ("scan", t_scan),
    ("stop", t_stop),
    ("menus", t_menus),
    ("root-selected", t_root),
    ("fat-partition", t_fat),
    ("no-disk", t_no_disk),
    ("close-while-scanning", t_close_scanning),
    ("screenshot", t_screenshot),
]


class Context:
    pass


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("exe", help="Pelmora.exe, or 'standin' for the stand-in window")
    parser.add_argument("cli", help="native pelmora-cli")
    parser.add_argument("--screenshot", help="PNG of the main window after the scan of C:\\")
    parser.add_argument("--images", default=os.path.join(tempfile.gettempdir(), "pelmora-e2e-images"),
                        help="folder of the disk images, kept between runs (default %(default)s)")
    parser.add_argument("--bin", default=os.path.join(tempfile.gettempdir(), "pelmora-e2e-bin"),
                        help="folder for the built driver (default %(default)s)")
    parser.add_argument("--core-lib", default=os.path.join(ROOT, "build", "win32", "src", "libpelmora_core.a"),
                        help="win32 core library for the stand-in")
    parser.add_argument("--only", help="comma-separated scenario names")
    parser.add_argument("--keep", action="store_true", help="keep the work folder (prefix, logs)")
    args = parser.parse_args()
    started = time.time()

    ctx = Context()
    ctx.shot = os.path.abspath(args.screenshot) if args.screenshot else None
    chosen = [(n, f) for n, f in SCENARIOS if not args.only or n in args.only.split(",")]
    passed = failed = skipped = 0

    def report_all_skipped(why):
        for name, _ in chosen:
            print("skip %s: %s" % (name, why))
        print("0 passed, 0 failed, %d skipped" % len(chosen))

    if args.exe == "standin":
        if not os.path.exists(args.core_lib):
            report_all_skipped("no win32 core library at " + args.core_lib)
            return 0
        ctx.exe = build_standin(args.bin, args.core_lib)
    else:
        ctx.exe = os.path.abspath(args.exe)
        if not os.path.exists(ctx.exe):
            report_all_skipped("no program at " + ctx.exe)
            return 0
    if not os.path.exists(args.cli):
        report_all_skipped("no pelmora-cli at " + args.cli)
        return 0
    driver = build_driver(args.bin)
    make_images(args.images)
    ctx.cli = Cli(os.path.abspath(args.cli), args.images)

    work = tempfile.mkdtemp(prefix="pelmora-e2e-")
    session = Session(work, args.images, driver)
    try:
        for name, scenario in chosen:
            began = time.time()
            try:
                scenario(session, ctx)
                session.stop_app()
                print("ok %s (%.1f s)" % (name, time.time() - began), flush=True)
                passed += 1
            except Skipped as why:
                print("skip %s: %s" % (name, why), flush=True)
                skipped += 1
            except Failed as why:
                print("FAIL %s: %s" % (name, why), flush=True)
                failed += 1
            except Exception:
                print("FAIL %s: %s" % (name, traceback.format_exc().strip().replace("\n", " | ")), flush=True)
                failed += 1
            finally:
                try:
                    session.stop_app()
                except Exception:
                    pass
    finally:
        session.close()
        if args.keep:
            log("work folder kept: " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    log("run time %.0f s" % (time.time() - started))
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
