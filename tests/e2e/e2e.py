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
import collections
import contextlib
import csv
import fcntl
import fnmatch
import hashlib
import io
import json
import os
import queue
import select
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
# The 32-bit tools and Wine; choose_arch() switches to 64-bit ones where this
# kernel cannot run 32-bit programs natively.
CXX = "i686-w64-mingw32-g++-win32"
WINDRES = "i686-w64-mingw32-windres"
WINE, WINESERVER, WINEARCH, WINELOADER = "wine", "wineserver", "win32", None
# Given to every Wine process where qemu-i386 runs the 32-bit ones. qemu 7.2
# reserves 4 GiB for a 32-bit program and does not honour MAP_FIXED_NOREPLACE,
# so Wine's reservation of its address space at start-up fails 64 KiB at a
# time: minutes per process. Reserved up to just past the 2 GiB a 32-bit
# Windows program has (and Wine's shared page at 0x7ffe0000), it takes seconds.
EMULATOR_ENV = {"QEMU_RESERVED_VA": "0x81000000", "QEMU_GUEST_BASE": "0"}

# Serials (the low 32 bits are what Windows reports for the letter).
SERIAL_C = 0x1111AAAA2222BBBB
SERIAL_D = 0x3333CCCC4444DDDD
SERIAL_E = 0x5555EEEE6666FFFF
SERIAL_F = 0x77778888AAAA9999
BENCH_FILES = 20000
SCENARIO_LIMIT = 300  # seconds
ROWS_GRACE = 240  # seconds more for reading every cell of the list

# The tree this disk layout must give: physicaldrive0 holds, in walk order,
# an NTFS volume with no letter, C:, FAT32, and an extended partition with D:
# and another NTFS volume with no letter; physicaldrive1 holds E: (bench),
# physicaldrive2 F: (windowvolume.py: pictures, names for Find, files to recover).
FIRST_FOUND = "Disk 0 NTFS 1\\"
EXPECTED_CHILDREN = ["Disk 0 NTFS 1\\", "C:\\", "FAT32", "D:\\", "Disk 0 NTFS 5\\", "E:\\", "F:\\"]


class Failed(Exception):
    pass


class Skipped(Exception):
    pass


class RigHung(Failed):
    """The driver stopped answering while the program still handled messages."""


def check(condition, why):
    if not condition:
        raise Failed(why)


# Commands that run a thread of the driver's in the program (wait_idle).
PROBING = ("reserve", "links", "popup", "hook-beeps")


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
    # The probe reads the link objects, so it is built on their header.
    link_header = os.path.join(ROOT, "src", "ui", "XHyperLink.h")
    if not newer(probe, [src, link_header]):
        run([CXX, *flags, "-I" + os.path.join(ROOT, "src"), "-shared", "-Wl,--kill-at", src, "-o", probe])
    recorder = os.path.join(bin_dir, "recorder.exe")
    src = os.path.join(HERE, "recorder.cpp")
    if not newer(recorder, [src]):
        run([CXX, *flags, "-municode", "-mwindows", src, "-o", recorder])
    return driver


def build_standin(bin_dir, core_lib):
    """The stand-in window, on the project's scanning core (built for win32)."""
    os.makedirs(bin_dir, exist_ok=True)
    exe = os.path.join(bin_dir, "standin.exe")
    # The cells come from the view library built beside the core.
    view_lib = os.path.join(os.path.dirname(core_lib), "libpelmora_view.a")
    sources = [os.path.join(HERE, "standin.cpp"), os.path.join(HERE, "standin.rc"), core_lib, view_lib]
    if newer(exe, sources):
        return exe
    res = os.path.join(bin_dir, "standin.res.o")
    run([WINDRES, sources[1], "-O", "coff", "-o", res])
    run([CXX, "-std=c++17", "-O1", "-static", "-municode", "-mwindows", "-DUNICODE", "-D_UNICODE",
         "-I" + os.path.join(ROOT, "src"), sources[0], res, view_lib, core_lib, "-lcomctl32", "-o", exe])
    return exe


def pe_machine(path):
    """0x14c for a 32-bit Windows program, 0x8664 for a 64-bit one."""
    with open(path, "rb") as f:
        head = f.read(4096)
    at = int.from_bytes(head[0x3C:0x40], "little")
    return int.from_bytes(head[at + 4:at + 6], "little")


def emulated_32bit():
    """True when 32-bit x86 programs run only through an emulator registered
    with binfmt_misc (qemu-i386, see tools/setup.sh): Wine works there, many times slower."""
    folder = "/proc/sys/fs/binfmt_misc"
    try:
        names = os.listdir(folder)
    except OSError:
        return False
    for name in names:
        try:
            with open(os.path.join(folder, name)) as f:
                entry = f.read()
        except OSError:
            continue
        if entry.startswith("enabled") and "qemu-i386" in entry:
            return True
    return False


def runs_32bit_wine():
    if emulated_32bit():
        return False
    try:
        done = subprocess.run(["wine", "--version"], capture_output=True, env=dict(os.environ, WINEDEBUG="-all"),
                              timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return False
    return done.returncode == 0


@contextlib.contextmanager
def locked(folder):
    """Holds FOLDER/.lock: runs at the same time share the images, the drivers and the 64-bit build."""
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, ".lock"), "a") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        yield


def remade(stamp, recipe, make):
    """Runs make() unless STAMP holds RECIPE (what the files were made from), then writes it: a
    run cut short leaves no stamp, so the next one makes the files again."""
    if os.path.exists(stamp) and open(stamp).read() == recipe:
        return
    if os.path.exists(stamp):
        os.remove(stamp)
    make()
    with open(stamp, "w") as out:
        out.write(recipe)


def digest_of(paths):
    """SHA-256 of the files' bytes, one after another: the recipe of the tools that make an image."""
    digest = hashlib.sha256()
    for path in paths:
        with open(path, "rb") as f:
            digest.update(f.read())
    return digest.hexdigest()


def build_64bit(target="Pelmora"):
    """The same sources built as 64-bit Windows programs, in build/win64-e2e; returns the target's exe."""
    out = os.path.join(ROOT, "build", "win64-e2e")
    with locked(out):
        run(["cmake", "-S", ROOT, "-B", out, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
             "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(HERE, "mingw-x86_64.cmake")], stdout=subprocess.DEVNULL)
        run(["ninja", "-C", out, target], stdout=subprocess.DEVNULL)
    return os.path.join(out, "src", target + ".exe")


def use_arch(programs, wine):
    """The tools that build the driver (programs: 32 or 64 bits) and the Wine that runs them
    (32: a win32 prefix; 64: a win64 prefix, whose 32-bit programs run beside its 64-bit ones)."""
    global CXX, WINDRES, WINE, WINESERVER, WINEARCH, WINELOADER
    prefix = "i686" if programs == 32 else "x86_64"
    CXX, WINDRES = prefix + "-w64-mingw32-g++-win32", prefix + "-w64-mingw32-windres"
    if wine == 32:
        WINE, WINESERVER, WINEARCH, WINELOADER = "wine", "wineserver", "win32", None
    else:
        WINE, WINESERVER, WINEARCH = "/usr/lib/wine/wine64", "/usr/lib/wine/wineserver64", "win64"
        WINELOADER = WINE


def choose_arch(exe, target="Pelmora", arch="auto"):
    """The program to run and the Wine to run it with. A kernel that runs no
    32-bit program natively cannot start Wine's 32-bit loader, or runs it only
    emulated: there the same sources built for 64-bit Windows are tested under
    64-bit Wine, and a note says so. ARCH win32 or win64 chooses."""
    if pe_machine(exe) == 0x14C:
        if arch == "win32" or (arch == "auto" and runs_32bit_wine()):
            use_arch(32, 32)
            return exe
        if arch == "auto":
            log("this kernel runs no 32-bit program natively (Wine's 32-bit loader fails, or runs only "
                "through an emulator): testing the same sources built for 64-bit Windows under 64-bit Wine")
        exe = build_64bit(target)
    use_arch(64, 64)
    return exe


def driver_folder(base):
    """The driver's folder for the programs' word size (the driver reads their structures)."""
    return base if CXX.startswith("i686") else base + "-win64"


def wine_env(env):
    """ENV for a Wine process of the rig: where 32-bit programs run emulated, with the emulator's settings."""
    return dict(env, **EMULATOR_ENV) if emulated_32bit() else env


# ---------------------------------------------------------------- images

def make_images(image_dir):
    """Disk images, reused while the stamp of their recipe is unchanged."""
    recipe = "v1 %x %x %x %d" % (SERIAL_C, SERIAL_D, SERIAL_E, BENCH_FILES)
    os.makedirs(image_dir, exist_ok=True)
    remade(os.path.join(image_dir, "stamp"), recipe, lambda: make_disks01(image_dir))


def make_disks01(image_dir):
    """disk0.img and disk1.img (C: to U:, and the bench volume E:), from mkvolume.py and mkdisk.py."""
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


# physicaldrive3, linked only for the scenarios that scan it (the others see
# the tree above): volumes as other NTFS drivers leave them, and one whose
# deleted files' clusters were taken again. Partition numbers as the CLI counts them.
DISK3_SETS = (("compressed", 0x0A0A0B0B0C0C0D01), ("attrlist", 0x0A0A0B0B0C0C0D02), ("overwritten", 0x0A0A0B0B0C0C0D03))


def make_sets_disk(image_dir):
    """disk3.img from tools/mkvolume.py's scripted sets; returns {set: manifest rows by path}."""
    recipe = "v1 %s %r" % (digest_of([os.path.join(TOOLS, "mkvolume.py")]), DISK3_SETS)

    def make():
        log("making the volume sets disk")
        parts = []
        for name, serial in DISK3_SETS:
            out = os.path.join(image_dir, "set-%s.img" % name)
            run([sys.executable, os.path.join(TOOLS, "mkvolume.py"), "ntfs", out, "--set", name, "--serial", hex(serial),
                 "--manifest", os.path.join(image_dir, "set-%s.tsv" % name)],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            parts.append("ntfs:" + out)
        run([sys.executable, os.path.join(TOOLS, "mkdisk.py"), os.path.join(image_dir, "disk3.img"), *parts],
            stdout=subprocess.DEVNULL)
        for name, _ in DISK3_SETS:
            os.remove(os.path.join(image_dir, "set-%s.img" % name))

    remade(os.path.join(image_dir, "stamp3"), recipe, make)
    manifests = {}
    for name, _ in DISK3_SETS:
        with open(os.path.join(image_dir, "set-%s.tsv" % name), encoding="utf-8", newline="") as f:
            manifests[name] = {row["path"]: row for row in csv.DictReader(f, delimiter="\t")}
    return manifests


def make_window_disk(image_dir):
    """disk2.img, remade when windowvolume.py changes; returns its manifest rows by path."""
    source = os.path.join(HERE, "windowvolume.py")
    recipe = "%s %x" % (digest_of([source]), SERIAL_F)
    volume = os.path.join(image_dir, "f.img")
    manifest = os.path.join(image_dir, "f.img.tsv")

    def make():
        log("making the pictures disk")
        run([sys.executable, source, volume, "--manifest", manifest, "--serial", hex(SERIAL_F)],
            stdout=subprocess.DEVNULL)
        run([sys.executable, os.path.join(TOOLS, "mkdisk.py"), os.path.join(image_dir, "disk2.img"), "ntfs:" + volume],
            stdout=subprocess.DEVNULL)
        os.remove(volume)

    remade(os.path.join(image_dir, "stamp2"), recipe, make)
    with open(manifest, encoding="utf-8", newline="") as f:
        return {row["path"]: row for row in csv.DictReader(f, delimiter="\t")}


# ---------------------------------------------------------------- wine and X

def start_xvfb():
    """(Xvfb, its display number). Xvfb takes the first free number itself
    (-displayfd): two runs that looked for one at once would find the same."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=(write_end,))
    os.close(write_end)
    text = b""
    deadline = time.time() + 20
    try:
        while not text.endswith(b"\n") and select.select([read_end], [], [], max(0.0, deadline - time.time()))[0]:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            text += chunk
    finally:
        os.close(read_end)
    if not text.strip().isdigit():
        xvfb.kill()
        xvfb.wait()
        raise RuntimeError("Xvfb did not start")
    return xvfb, int(text)


class Session:
    """Xvfb, a fresh Wine prefix and the driver, for one run of the rig."""

    def __init__(self, work, image_dir, driver_exe):
        self.driver_exe = driver_exe
        self.work = work
        self.image_dir = image_dir
        self.xvfb, self.display = start_xvfb()
        self.prefix = os.path.join(work, "prefix")
        self.env = wine_env(dict(os.environ, WINEPREFIX=self.prefix, WINEARCH=WINEARCH, WINEDEBUG="-all",
                                 WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY=":%d" % self.display, LANG="C.UTF-8"))
        if WINELOADER:
            self.env["WINELOADER"] = WINELOADER
        self.grace = 60  # seconds a command may take beyond the longest timeout it names
        self.recent = collections.deque(maxlen=12)  # (seconds into the scenario, command, outcome)
        self.begin()
        self.make_prefix()
        self.app = None
        self.app_exe = None
        self.start_driver()

    def wine_tool(self, args, timeout=120):
        """A Wine command that must end: on its timeout every Wine process of the prefix is ended."""
        try:
            subprocess.run(args, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill_wine()
            raise Failed("%s did not end in %d s" % (" ".join(args[:2]), timeout))

    def program_answers(self):
        """Asks, through a second driver, whether the program's window still handles messages."""
        try:
            done = subprocess.run([WINE, self.driver_exe], input=b"responsive\n", capture_output=True,
                                  env=self.env, timeout=60)
        except subprocess.TimeoutExpired:
            return False
        return done.stdout.decode("utf-8", "replace").splitlines()[:1] == ["yes"]

    def log_processes(self):
        """Where each process of this prefix waits, thread by thread: what a hang report needs."""
        for pid in self.prefix_processes():
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    command = f.read().replace(b"\0", b" ").decode("utf-8", "replace").strip()
                waits = []
                for tid in sorted(os.listdir("/proc/%d/task" % pid), key=int):
                    with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                        state = f.read().rsplit(")", 1)[1].split()[0]
                    with open("/proc/%d/task/%s/wchan" % (pid, tid)) as f:
                        waits.append("%s:%s" % (state, f.read().strip() or "-"))
                log("  %d %s [%s]" % (pid, command[:60], " ".join(waits)))
            except OSError:
                continue

    def program_threads(self):
        """{tid: (state, wait)} of the newest running copy of the program, {} when none runs."""
        name = os.path.basename(self.app_exe or "").encode()
        found = {}
        for pid in reversed(self.prefix_processes() if name else []):
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    if name not in f.read():
                        continue
                for tid in os.listdir("/proc/%d/task" % pid):
                    with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                        state = f.read().rsplit(")", 1)[1].split()[0]
                    with open("/proc/%d/task/%s/wchan" % (pid, tid)) as f:
                        found[tid] = (state, f.read().strip())
                return found
            except OSError:
                found = {}
        return found

    def wait_idle(self, timeout=60):
        """Waits until a thread of the program has sat in a wineserver wait for three readings
        in a row. Wine runs a remote thread or allocation through a call queued to the program:
        with no thread waiting in the server it interrupts a busy one by a signal and runs the
        call inside whatever that thread was doing, which can deadlock the program. A thread
        only passing through a server request is not caught three times running."""
        deadline = time.time() + timeout
        streak = {}
        while time.time() < deadline:
            threads = self.program_threads()
            if not threads:
                return
            asleep = [wait for state, wait in threads.values() if state in ("S", "D")]
            if asleep and all(wait in ("", "0") for wait in asleep):
                return  # this kernel does not say where threads sleep
            # A server call waits reading its reply pipe: "anon_pipe_read", "pipe_read" on older kernels.
            waiting = {tid for tid, (state, wait) in threads.items() if state == "S" and wait.endswith("pipe_read")}
            streak = {tid: streak.get(tid, 0) + 1 for tid in waiting}
            if any(n >= 3 for n in streak.values()):
                return
            time.sleep(0.03)
        log("the program never sat idle in %d s: %r" % (timeout, self.program_threads()))

    def prefix_processes(self):
        """The pids of the processes running in this prefix."""
        mark = ("WINEPREFIX=" + self.prefix).encode()
        found = []
        for pid in sorted(int(p) for p in os.listdir("/proc") if p.isdigit()):
            try:
                with open("/proc/%d/environ" % pid, "rb") as f:
                    if mark in f.read().split(b"\0"):
                        found.append(pid)
            except OSError:
                continue
        return found

    def kill_wine(self):
        self.wine_ended = True
        try:
            subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL, timeout=30)
        except subprocess.TimeoutExpired:
            for pid in self.prefix_processes():  # the server itself is stuck
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass

    def start_driver(self):
        self.wine_ended = False
        self.driver = subprocess.Popen([WINE, self.driver_exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL, env=self.env)
        # Lines arrive through a queue, so that a silent driver cannot block the run.
        self.replies = queue.Queue()

        def read(pipe, replies):
            for raw in iter(pipe.readline, b""):
                replies.put(raw)
            replies.put(None)

        threading.Thread(target=read, args=(self.driver.stdout, self.replies), daemon=True).start()

    def ensure_driver(self):
        """After Wine was ended (or the driver died): a fresh driver, and no program running."""
        if not self.wine_ended and self.driver.poll() is None:
            return
        self.kill_wine()
        try:
            self.driver.wait(30)
        except subprocess.TimeoutExpired:
            pass
        self.app = None
        self.start_driver()

    def begin(self):
        self.began = time.time()
        self.recent.clear()
        self.overdue = False

    def end_overdue(self):
        self.overdue = True
        self.log_processes()
        self.kill_wine()

    def ended(self):
        return Failed("Wine was ended: the scenario ran past %d s" % SCENARIO_LIMIT if self.overdue else
                      "the driver ended")

    def history(self):
        return " | ".join("%.1fs %s -> %s" % tuple(entry) for entry in self.recent)

    def make_prefix(self):
        log("creating the Wine prefix")
        self.wine_tool([WINE, "wineboot", "-i"], 300)
        self.wine_tool([WINESERVER, "-w"])
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
        self.wine_tool([WINE, "regedit", "/S", reg])
        self.wine_tool([WINESERVER, "-w"])
        self.link_volumes()

    def link_volumes(self):
        """C: and D: to F: with their serials, in this run's folder, and the disks."""
        dosdevices = os.path.join(self.prefix, "dosdevices")
        # GetVolumeInformationW reports the serial in .windows-serial at the root.
        for letter, serial in (("c", SERIAL_C), ("d", SERIAL_D), ("e", SERIAL_E), ("f", SERIAL_F)):
            root = os.path.join(self.prefix, "drive_c") if letter == "c" else os.path.join(self.work, "volume_" + letter)
            os.makedirs(root, exist_ok=True)
            with open(os.path.join(root, ".windows-serial"), "w") as out:
                out.write("%08x" % (serial & 0xFFFFFFFF))
            link = os.path.join(dosdevices, letter + ":")
            if letter != "c":
                if os.path.lexists(link):
                    os.remove(link)  # a kept prefix links to an earlier run's folder
                os.symlink(root, link)
        self.link_disks(True)

    def link_disks(self, present, numbers=(0, 1, 2)):
        for number in numbers:
            link = os.path.join(self.prefix, "dosdevices", "physicaldrive%d" % number)
            if os.path.lexists(link):
                os.remove(link)
            if present:
                os.symlink(os.path.join(self.image_dir, "disk%d.img" % number), link)

    def __call__(self, *args):
        """One driver command; returns its output lines (JSON parsed where they are).

        Every command of the driver ends by itself within its own timeouts; one
        that does not answer `grace` seconds after the longest of them is hung:
        every Wine process is ended and the scenario fails with the commands
        before it, as RigHung when the program itself still answered.
        """
        if args[0] in PROBING:
            self.wait_idle()
        line = "\t".join(str(a) for a in args) + "\n"
        numbers = [int(a) for a in args[1:] if isinstance(a, int) or (isinstance(a, str) and a.isdigit())]
        deadline = time.time() + self.grace + max(numbers + [0]) / 1000.0
        if args[0] == "rows":
            # One message per cell through the list: thousands of rows take
            # minutes on a busy machine, and it answers only at the end.
            deadline += ROWS_GRACE
        entry = [round(time.time() - self.began, 1), "\t".join(str(a) for a in args)[:80], "..."]
        self.recent.append(entry)
        try:
            self.driver.stdin.write(line.encode("utf-8"))
            self.driver.stdin.flush()
        except (BrokenPipeError, OSError):
            entry[2] = "ended"
            raise self.ended()
        out = []
        error = None
        while True:
            try:
                raw = self.replies.get(timeout=max(0.0, deadline - time.time()))
            except queue.Empty:
                entry[2] = "HUNG"
                self.log_processes()
                program_answers = self.program_answers()
                self.kill_wine()
                why = "the driver did not answer %r (the program %s); commands: %s" % (
                    args[0], "answered" if program_answers else "did not answer either", self.history())
                raise RigHung(why) if program_answers else Failed(why)
            if raw is None:
                entry[2] = "ended"
                raise self.ended()
            text = raw.decode("utf-8").rstrip("\r\n")
            if text == ".":
                break
            if text.startswith("! "):
                error = text[2:]
            else:
                out.append(json.loads(text) if text.startswith("[") else text)
        entry[2] = "! " + error[:60] if error is not None else "ok"
        if error is not None:
            raise Failed("%s: %s" % (args[0], error))
        return out

    def start(self, exe):
        self.stop_app()
        # A program that was killed keeps its windows until the server has
        # noticed: wait-window would find the old window, then lose it ("no
        # Pelmora window" at once). The next program starts once none is left.
        left = eventually(lambda: [w for w in self("windows") if w[1] == "Pelmora"], lambda w: not w, 30)
        check(not left, "a window of an earlier program is still there: %r" % left)
        self.app_log = open(os.path.join(self.work, "app.log"), "wb")
        # Its current directory is known: Recover's folder browser starts there.
        self.cwd = os.path.join(self.work, "cwd")
        os.makedirs(self.cwd, exist_ok=True)
        self.app_exe = exe
        self.app = subprocess.Popen([WINE, exe], env=self.env, stdout=self.app_log, stderr=self.app_log,
                                    cwd=self.cwd)
        # A fresh prefix on a busy machine takes a while to show the first window.
        self("wait-window", 120000)
        # The driver's block in the program, placed while it is idle (wait_idle).
        self("reserve")

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
            try:
                self.app.wait(30)
            except subprocess.TimeoutExpired:
                self.kill_wine()
        self.app = None

    def screenshot(self, path):
        x, y, w, h = self("rect")[0]
        run(["import", "-display", ":%d" % self.display, "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y),
             "+repage", path], env=self.env, timeout=60)

    def close(self):
        self.stop_app()
        if self.driver.poll() is None:
            self.driver.stdin.close()
            try:
                self.driver.wait(10)
            except subprocess.TimeoutExpired:
                self.driver.kill()
        self.kill_wine()
        self.xvfb.terminate()
        self.xvfb.wait()


# ---------------------------------------------------------------- the oracle

class Cli:
    """pelmora-cli list as the oracle of the window's rows.

    Read as JSON: the window's "#" cell is the record index less 30 whatever
    the CLI's own "#" column shows, and a state (when the CLI gives one) is
    compared as the window shows it.
    """

    def __init__(self, path, image_dir):
        self.path = path
        self.image_dir = image_dir
        self.cache = {}

    def listing(self, disk, partition, drive_text):
        """([{cells..., "record": N}], totals) of one partition."""
        key = (disk, partition, drive_text)
        if key not in self.cache:
            done = subprocess.run([self.path, "list", os.path.join(self.image_dir, disk), "--partition", str(partition),
                                   "--drive-text", drive_text, "--format", "json"], capture_output=True, check=True)
            entries = json.loads(done.stdout.decode("utf-8"))
            totals = {}
            for line in done.stderr.decode("utf-8").splitlines():
                if ": " in line:
                    name, value = line.rsplit(": ", 1)
                    if value.isdigit():
                        totals[name] = int(value)
            self.cache[key] = (entries, totals)
        return self.cache[key]

    def rows(self, disk, partition, drive_text):
        """The six cells the window shows per row, and the totals. The CLI's JSON
        carries whole names and paths; a cell of the window holds 254 UTF-16 units."""
        entries, totals = self.listing(disk, partition, drive_text)
        return [[cell_cut(e["Name"]), cell_cut(e["Path"]), e["Size"], e["Created"], e["Modified"], str(e["record"] - 30)]
                for e in entries], totals


def cell_cut(text):
    return text.encode("utf-16-le")[:2 * 254].decode("utf-16-le", "ignore")


def state_cell(state, percent):
    """The window's State cell for a state name and share."""
    return "Partly overwritten (%d%%)" % percent if state == "Partly overwritten" else state


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
    check(s("columns") == [["Name", "Path", "Size", "Created", "Modified", "#", "State"]], "columns %r" % s("columns"))
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


def held_scan(s, ctx, gate):
    """Starts a scan of the bench volume and waits until its read of the $MFT
    half way is held at the gate: a running scan as a state, however loaded
    the machine."""
    s.start(ctx.exe)
    s("select", "E:\\")
    check(s("click-caption") == [["Stop Scanning"]], "caption after Scan is not 'Stop Scanning'")
    check(eventually(gate.held, bool, 60), "the scan never reached the held read")


def mft_hold(s, ctx):
    """The bench volume's $MFT cluster half way: a scan's read of it waits at the gate."""
    clusters, start = data_clusters(ctx, os.path.join(s.image_dir, "disk1.img"), 0)
    return start + clusters[len(clusters) // 2] * 4096, 4096


def t_stop(s, ctx):
    with GatedDisk(s, 1, hold=mft_hold(s, ctx)) as gate:
        held_scan(s, ctx, gate)
        seen = s("click-caption")[0][0]
        check(seen == "Stopping...", "caption after Stop is %r" % seen)
        gate.release()
        s("wait-caption", "Scan", 60000)
        rows = s("rows")
        expected, _ = ctx.cli.rows("disk1.img", 1, "E:\\")
        check(0 < len(rows) < len(expected), "%d rows after the stop (full scan: %d)" % (len(rows), len(expected)))
        check(rows == expected[:len(rows)], "the rows kept are not the first rows of the full scan")
        check(s("button") == [["Scan", True]], "button after the stop: %r" % s("button"))


def t_menus(s, ctx):
    s.start(ctx.exe)
    expect_menu(menu_states(s), {SCAN: True, EXIT: True, RECOVER: False, PREVIEW: False, STOP: False,
                                 FIND: False, FIND_NEXT: True, CARVE: False}, "before")
    check([s("toolbar-state", c)[0][0] for c in (SCAN, RECOVER)] == [True, False], "toolbar before a scan")
    s.stop_app()
    # A running scan as a state: its read of the bench volume's $MFT half way waits at a gate.
    with GatedDisk(s, 1, hold=mft_hold(s, ctx)) as gate:
        s.start(ctx.exe)
        s("select", "E:\\")
        s("click")
        check(eventually(gate.held, bool, 60), "the scan never reached the held read")
        s("wait-rows", 1, 60000)  # the first row is shown at once
        check(s("button") == [["Stop Scanning", True]], "button during the scan: %r" % s("button"))
        # Rows are listed: they can be previewed, but Recover waits for the scan's end.
        expect_menu(menu_states(s), {STOP: True, SCAN: False, FIND: True, RECOVER: False, PREVIEW: True, CARVE: False},
                    "during")
        toolbar = [s("toolbar-state", c)[0][0] for c in (SCAN, RECOVER)]
        check(toolbar == [True, False], "toolbar Scan (it stops), Recover during the scan: %r" % toolbar)
        s("click-row", 0)
        s("command", RECOVER)
        sync(s)
        check(s("no-box") == ["none"], "a Recover command during the scan opened a window")
        s("command", STOP)
        sync(s)
        check(s("button") == [["Stopping...", False]], "button after Stop: %r" % s("button"))
        gate.release()
        s("wait-caption", "Scan", 60000)
        expect_menu(menu_states(s), {RECOVER: True, PREVIEW: True, SCAN: True, STOP: False}, "after the stop")
    s.start(ctx.exe)
    scan_c(s, ctx.cli)
    expect_menu(menu_states(s), {RECOVER: True, PREVIEW: True, SCAN: True, STOP: False, CARVE: True}, "after")
    check([s("toolbar-state", c)[0][0] for c in (SCAN, RECOVER)] == [True, True], "toolbar after the scan")


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
    with GatedDisk(s, 1, hold=mft_hold(s, ctx)) as gate:
        held_scan(s, ctx, gate)
        s("syscommand", SC_CLOSE)  # posted: the window asks the scan to stop and waits for it
        check(s.program_answers(), "the window does not answer while it waits for the scan")
        gate.release()
        try:
            s.app.wait(60)
        except subprocess.TimeoutExpired:
            raise Failed("the program did not end after the scan was let go")
    s.app = None
    leftovers = [w for w in s("windows") if "Pelmora" in w[1] or "Program Error" in w[1]]
    check(not leftovers, "windows left: %r" % leftovers)
    s.app_log.flush()
    with open(s.app_log.name, "rb") as log_file:
        check(b"Unhandled exception" not in log_file.read(), "Wine logged an unhandled exception")


# ---------------------------------------------------------------- the file list, Recover, Find, preview

import windowvolume  # noqa: E402  (beside this file)

FIND_DIALOG = "\u67e5\u627e"  # 查找
PREVIEW_CAPTION = "\u56fe\u50cf\u9884\u89c8"  # 图像预览
PROGRESS_CAPTION = "\u6b63\u5728\u6062\u590d"  # 正在恢复
SUMMARY_CAPTION = "\u6062\u590d\u7ed3\u679c"  # 恢复结果
PROGRESS_FILE, PROGRESS_BAR, PROGRESS_BYTES, PROGRESS_TIME = 1020, 1021, 1022, 1023
SUMMARY_TEXT, SUMMARY_FAILURES = 1030, 1031
SAME_DRIVE_CAPTION = "Click Cancel to abort or continie at your risk"
SAME_DRIVE_TEXT = "Do you want to restore to the same drive? This reduce the chance of a successful recovery."
IDOK, IDCANCEL = 1, 2
SC_CLOSE = 0xF060
VK_DOWN, VK_RETURN, VK_ESCAPE, VK_F3 = 0x28, 0x0D, 0x1B, 0x72
TREE_ID, LIST_ID = 1000, 1001


def dos(path):
    """The prefix's name of a Unix path (Z: is the root)."""
    return "Z:" + path.replace("/", "\\")


def scan_f(s, ctx):
    s.start(ctx.exe)
    s("select", "F:\\")
    s("click")
    s("wait-caption", "Scan", 60000)
    rows = s("rows")
    names = [r[0] for r in rows]
    expected = [p.rsplit("/", 1)[-1] for p, e in ctx.manifest.items() if e["state"] == "deleted" and e["kind"] == "file"]
    check(names == expected, "rows of F: %r, expected %r" % (names, expected))
    return rows


def row_of(rows, name):
    return [r[0] for r in rows].index(name)


def select_rows(s, rows):
    s("click-row", rows[0])
    for row in rows[1:]:
        s("click-row", row, "ctrl")
    check(s("selected")[0] == sorted(rows), "selected %r, wanted %r" % (s("selected")[0], sorted(rows)))


def sha256_of(path):
    try:
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    except OSError:
        return None


def wait_outputs(outputs, timeout=30):
    """Waits until every output has its manifest bytes; returns the ones that do not."""
    wrong = lambda: [path for path, entry in outputs if sha256_of(path) != entry["sha256"]]
    return eventually(wrong, lambda w: not w, timeout)


def sync(s):
    """Returns once the window's thread has handled what was posted to it before."""
    s("settle")


def recovery_ended(s):
    """Waits until the recovery's progress window is gone (the worker ended and the window took its results)."""
    s("wait-gone", PROGRESS_CAPTION, 60000)
    sync(s)


def docs_picture(s, ctx, name, widths=()):
    """The main window as the README shows it, as CTX.docs/NAME: the list's (column, width) WIDTHS
    set first, as a user would narrow them."""
    for column, width in widths:
        s("column-width", column, width)
    if widths:
        sync(s)
    shot = os.path.join(ctx.docs, name)
    s.screenshot(shot)
    log("saved %s (%d bytes)" % (shot, os.path.getsize(shot)))


def dialog_items(s, caption):
    """{control id: [class, text, enabled, visible]} of a dialog of the program."""
    return {item[0]: item[1:] for item in s("dialog-items", caption)}


def summary(s):
    """The recovery summary's first line and its failure lines, after it showed."""
    s("wait-dialog", SUMMARY_CAPTION, 30000)
    items = dialog_items(s, SUMMARY_CAPTION)
    failures = [line for line in items[SUMMARY_FAILURES][1].split("\r\n") if line]
    return items[SUMMARY_TEXT][1], failures


def files_below(folder):
    return sorted(os.path.relpath(os.path.join(d, f), folder) for d, _, fs in os.walk(folder) for f in fs)


def recover_to(s, folder):
    """Recover on the selected rows, choosing `folder` (a prefix path) in the folder browser."""
    s("command", RECOVER)
    # A process's first browser comes slowly on a busy machine.
    chosen = s("browser-select", folder, 60000)[0]
    check(chosen[1][-1] == folder.rstrip("\\").rsplit("\\", 1)[-1], "the browser selected %r for %s" % (chosen[1], folder))
    check(chosen[2], "OK is disabled for %s: %r" % (folder, chosen))
    s("browser-press", IDOK)
    return chosen


def t_recover(s, ctx):
    rows = scan_f(s, ctx)
    out = os.path.join(s.work, "out-recover")
    os.makedirs(out)
    wanted = ["Lost/Deep/inside.txt", "\u00dcn\u00efc\u00f6d\u00e9 \u65e5\u672c \u2603.txt", windowvolume.FRAGMENTED,
              "Apple.txt", "readonly.txt"]
    check(int(ctx.manifest[windowvolume.FRAGMENTED]["fragments"]) > 1, "the large file is not fragmented")
    select_rows(s, [row_of(rows, w.rsplit("/", 1)[-1]) for w in wanted])
    chosen = recover_to(s, dos(out))
    check(chosen[1][-1] == "out-recover", "the browser selected %r" % chosen[1])
    outputs = [(os.path.join(out, w), ctx.manifest[w]) for w in wanted]
    wrong = wait_outputs(outputs)
    check(not wrong, "wrong or missing outputs: %r; the folder holds %r" % (wrong, files_below(out)))
    recovery_ended(s)
    check(files_below(out) == sorted(wanted), "the folder holds %r" % files_below(out))
    check(s("no-box") == ["none"], "a message box after Recover")
    # Read-only as Windows sees it (GetFileAttributesW in the prefix) and as
    # Wine keeps it (no write permission bits).
    for path, entry in outputs:
        attributes = int(s("attrs", dos(path))[0])
        readonly = bool(int(entry["attrs"]) & 1)
        check(bool(attributes & 1) == readonly, "%s: attributes 0x%x" % (path, attributes))
        check(bool(os.stat(path).st_mode & 0o222) != readonly, "%s: mode %o" % (path, os.stat(path).st_mode))


def t_recover_clash(s, ctx):
    """CAFÉ.txt and café.txt are one name to Windows (and to Wine): recovered
    together, the second arrives beside the first under its record number."""
    rows = scan_f(s, ctx)
    out = os.path.join(s.work, "out-clash")
    os.makedirs(out)
    names = ["CAF\u00c9.txt", "caf\u00e9.txt"]
    picked = sorted(row_of(rows, n) for n in names)
    select_rows(s, picked)
    recover_to(s, dos(out))
    first, second = (rows[r][0] for r in picked)
    stem, ext = second.rsplit(".", 1)
    renamed = "%s (record %d).%s" % (stem, int(rows[picked[1]][5]) + 30, ext)
    outputs = [(os.path.join(out, first), ctx.manifest[first]), (os.path.join(out, renamed), ctx.manifest[second])]
    wrong = wait_outputs(outputs)
    check(not wrong, "wrong or missing outputs: %r; the folder holds %r" % (wrong, files_below(out)))
    recovery_ended(s)
    check(files_below(out) == sorted([first, renamed]), "the folder holds %r" % files_below(out))
    check(s("no-box") == ["none"], "a message box after Recover")


def t_recover_cancel(s, ctx):
    scan_f(s, ctx)
    first = os.path.join(s.work, "out-first")
    os.makedirs(first)
    s("click-row", 0)
    apple = ctx.manifest["Apple.txt"]
    recover_to(s, dos(first))
    check(not wait_outputs([(os.path.join(first, "Apple.txt"), apple)]), "Apple.txt not recovered")
    recovery_ended(s)
    # The next browser starts at the last destination; Cancel writes nothing.
    os.remove(os.path.join(first, "Apple.txt"))
    s("command", RECOVER)
    start = s("browser")[0]
    check(start[1][-1] == "out-first", "the second browser starts at %r, not the last destination" % start[1])
    s("browser-press", IDCANCEL)
    sync(s)
    check(s("no-box") == ["none"], "a message box after Cancel")
    check(not files_below(first) and not files_below(s.cwd), "Cancel wrote %r %r" % (files_below(first), files_below(s.cwd)))
    # Cancel forgot the destination: the next starts at the current directory.
    s("command", RECOVER)
    start = s("browser")[0]
    cwd_parts = s.cwd.strip("/").split("/")
    check(start[1][-len(cwd_parts):] == cwd_parts, "after Cancel the browser starts at %r, not %r" % (start[1], s.cwd))
    s("browser-press", IDOK)
    check(not wait_outputs([(os.path.join(s.cwd, "Apple.txt"), apple)]), "Apple.txt not in the current directory")
    check(not files_below(first), "written to the old destination: %r" % files_below(first))


def t_recover_same_drive(s, ctx):
    scan_f(s, ctx)
    dest = os.path.join(s.work, "volume_f", "dest")
    os.makedirs(dest)
    other = os.path.join(s.work, "out-other")
    os.makedirs(other)
    s("click-row", 0)
    recover_to(s, "F:\\dest")
    box = s("box-detail", 10000)[0]
    check(box == [SAME_DRIVE_CAPTION, SAME_DRIVE_TEXT, [IDOK, IDCANCEL], IDCANCEL, True],
          "box %r (wanted OK/Cancel, Cancel the default, an icon)" % box)
    s("press", SAME_DRIVE_CAPTION, IDCANCEL)
    sync(s)
    check(not files_below(dest), "Cancel in the question wrote %r" % files_below(dest))
    # OK goes on; the browser starts at F:\dest, the last destination.
    s("command", RECOVER)
    start = s("browser")[0]
    check(start[1][-2:] == [" (F:)", "dest"], "the browser starts at %r" % start[1])
    s("browser-press", IDOK)
    check(s("box", 10000)[0][0] == SAME_DRIVE_CAPTION, "no question the second time")
    s("press", SAME_DRIVE_CAPTION, IDOK)
    check(not wait_outputs([(os.path.join(dest, "Apple.txt"), ctx.manifest["Apple.txt"])]), "OK did not recover")
    recovery_ended(s)
    # A folder on another letter asks nothing.
    recover_to(s, dos(other))
    check(not wait_outputs([(os.path.join(other, "Apple.txt"), ctx.manifest["Apple.txt"])]), "not recovered to Z:")
    recovery_ended(s)
    check(s("no-box") == ["none"], "a question for a folder on another drive")


def make_immutable(path):
    """chattr +i: refuses root's writes too. A root without the right to set it
    (a user namespace, a container without CAP_LINUX_IMMUTABLE) cannot set the scene."""
    done = subprocess.run(["chattr", "+i", path], capture_output=True)
    if done.returncode != 0:
        raise Skipped("chattr +i refused: %s" % done.stderr.decode(errors="replace").strip())


def t_recover_error(s, ctx):
    """A file that cannot be written does not stop the others; the summary names it with its reason."""
    rows = scan_f(s, ctx)
    out = os.path.join(s.work, "out-error")
    inside = "Lost/Deep/inside.txt"
    # Its folder cannot be made: Lost is there and takes nothing new, root's writes included.
    os.makedirs(os.path.join(out, "Lost"))
    make_immutable(os.path.join(out, "Lost"))
    try:
        names = ["Apple.txt", "inside.txt", "banana.txt"]
        select_rows(s, sorted(row_of(rows, n) for n in names))
        recover_to(s, dos(out))
        head, failures = summary(s)
        recovery_ended(s)
        check(head == "Recovered 2 of 3 files to %s.\r\n1 file could not be recovered:" % dos(out), "summary %r" % head)
        check(len(failures) == 1 and failures[0].startswith("F:\\Lost\\Deep\\inside.txt: ") and
              len(failures[0]) > len("F:\\Lost\\Deep\\inside.txt: "), "failures %r" % failures)
        log("the summary says %r" % failures[0])
        s("press", SUMMARY_CAPTION, IDOK)
        check(s("no-box") == ["none"], "a box after the summary")
        check(files_below(out) == ["Apple.txt", "banana.txt"], "the folder holds %r" % files_below(out))
        check(not wait_outputs([(os.path.join(out, n), ctx.manifest[n]) for n in ("Apple.txt", "banana.txt")]),
              "the others are not whole")
        check(s("button") == [["Scan", True]], "Scan after the recovery: %r" % s("button"))
    finally:
        subprocess.run(["chattr", "-i", os.path.join(out, "Lost")])


def t_recover_existing(s, ctx):
    """A file already in the folder is kept, read-only or not; the recovered one arrives beside it."""
    rows = scan_f(s, ctx)
    out = os.path.join(s.work, "out-existing")
    os.makedirs(out)
    names = [r[0] for r in rows[:3]]
    blocked = os.path.join(out, names[1])
    with open(blocked, "wb") as f:
        f.write(b"older")
    os.chmod(blocked, 0o444)  # Wine shows this as read-only
    # Root may write a read-only file; an immutable one refuses root too.
    make_immutable(blocked)
    try:
        check(int(s("attrs", dos(blocked))[0]) & 1, "the blocking file is not read-only in the prefix")
        select_rows(s, [0, 1, 2])
        recover_to(s, dos(out))
        stem, ext = names[1].rsplit(".", 1)
        renamed = "%s (record %d).%s" % (stem, int(rows[1][5]) + 30, ext)
        outputs = [(os.path.join(out, names[0]), ctx.manifest[names[0]]), (os.path.join(out, renamed), ctx.manifest[names[1]]),
                   (os.path.join(out, names[2]), ctx.manifest[names[2]])]
        wrong = wait_outputs(outputs)
        check(not wrong, "wrong or missing outputs: %r; the folder holds %r" % (wrong, files_below(out)))
        recovery_ended(s)
        check(s("no-box") == ["none"], "a box after a recovery that brought every file back")
        with open(blocked, "rb") as f:
            check(f.read() == b"older", "the file that was there was changed")
        check(files_below(out) == sorted([names[0], renamed, names[2], names[1]]), "the folder holds %r" % files_below(out))
    finally:
        subprocess.run(["chattr", "-i", blocked])


def data_clusters(ctx, image, record):
    """The clusters of a record's unnamed $DATA in VCN order (istat's list), and the partition's first byte."""
    first = int(subprocess.run([ctx.cli.path, "partitions", image], capture_output=True,
                               check=True).stdout.decode().splitlines()[0].split("\t")[1])
    text = subprocess.run(["istat", "-o", str(first), image, str(record)], capture_output=True, check=True).stdout.decode()
    clusters = []
    for line in text.split("Type: $DATA", 1)[1].splitlines()[1:]:
        if line.startswith("Type:"):
            break
        clusters += [int(n) for n in line.split()]
    return clusters, first * 512


def slow_hold(s, ctx):
    """The bytes of disk2.img's cluster that holds slow.bin's 2 MiB mark."""
    clusters, start = data_clusters(ctx, os.path.join(s.image_dir, "disk2.img"), int(ctx.manifest[windowvolume.SLOW]["record"]))
    check(len(clusters) * 4096 == windowvolume.SLOW_SIZE, "istat lists %d clusters of slow.bin" % len(clusters))
    return start + clusters[2 * 1024 * 1024 // 4096] * 4096, 4096


class GatedDisk:
    """physicaldriveN (the program opens it when it scans) served through
    gatedisk.py: reads of the `hold` range (offset, length) wait until
    released, reads of the `fail` ranges fail. Leaving it closes the program
    first (it holds the disk open), then unmounts."""

    def __init__(self, s, number, hold=None, fail=()):
        self.s, self.number, self.hold, self.fail = s, number, hold, fail
        self.folder = os.path.join(s.work, "gate")
        self.mount = os.path.join(self.folder, "mnt")
        self.release_file = os.path.join(self.folder, "release")
        self.log_file = os.path.join(self.folder, "log")
        self.image = os.path.join(s.image_dir, "disk%d.img" % number)

    def __enter__(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.mount)
        cmd = ["/usr/bin/python3", os.path.join(HERE, "gatedisk.py"), self.image, self.mount, "--log", self.log_file]
        if self.hold:
            cmd += ["--hold", "%d:%d" % self.hold, "--release", self.release_file]
        for start, length in self.fail:
            cmd += ["--fail", "%d:%d" % (start, length)]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        served = os.path.join(self.mount, "disk.img")
        if not eventually(lambda: os.path.exists(served), bool, 30):
            self.proc.kill()
            raise Failed("gatedisk.py did not serve the disk")
        link = os.path.join(self.s.prefix, "dosdevices", "physicaldrive%d" % self.number)
        os.remove(link)
        os.symlink(served, link)
        return self

    def logged(self, what):
        """True once the log has a line of this kind ("held", "failed")."""
        try:
            with open(self.log_file) as f:
                return any(line.startswith(what + " ") for line in f)
        except OSError:
            return False

    def held(self):
        return self.logged("held")

    def release(self):
        open(self.release_file, "w").close()

    def __exit__(self, *exc):
        self.release()
        self.s.stop_app()
        self.s.link_disks(True, (self.number,))
        subprocess.run(["umount", self.mount], stderr=subprocess.DEVNULL)
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            subprocess.run(["umount", "-l", self.mount], stderr=subprocess.DEVNULL)
            self.proc.kill()
            self.proc.wait(30)


def held_recovery(s, ctx, gate, out):
    """Recovers Apple.txt and slow.bin into `out` and waits until the worker is
    held in slow.bin's read; returns the rows."""
    rows = scan_f(s, ctx)
    select_rows(s, sorted(row_of(rows, n) for n in ("Apple.txt", windowvolume.SLOW)))
    recover_to(s, dos(out))
    check(eventually(gate.held, bool, 60), "the recovery never reached slow.bin's held cluster")
    # The worker waits in a read; the progress shows the bytes before it. The
    # dialog is read a control at a time while its timer may refresh it, so
    # a reading counts only when file and bytes both show the held state.
    wanted_bytes = "2.00 MB of 6.00 MB"
    wanted_file = "File 2 of 2: F:\\" + windowvolume.SLOW
    items = eventually(lambda: dialog_items(s, PROGRESS_CAPTION),
                       lambda i: i[PROGRESS_BYTES][1] == wanted_bytes and i[PROGRESS_FILE][1] == wanted_file, 30)
    check(items[PROGRESS_FILE][1] == wanted_file, "progress file %r" % items[PROGRESS_FILE][1])
    check(items[PROGRESS_BYTES][1] == wanted_bytes, "progress bytes %r" % items[PROGRESS_BYTES][1])
    check(int(items[PROGRESS_BAR][1]) == 333, "the bar at %s of 1000" % items[PROGRESS_BAR][1])
    check(items[IDCANCEL][2], "Cancel is disabled while the recovery runs")
    return rows


def expect_scan_greyed(s):
    """While a recovery runs: Scan greyed on the button, in the menu and on the toolbar, and a click on it does nothing."""
    check(s("button") == [["Scan", False]], "the Scan button during a recovery: %r" % s("button"))
    states = menu_states(s)
    expect_menu(states, {SCAN: False, RECOVER: False, PREVIEW: True, FIND: True}, "during the recovery")
    toolbar = [s("toolbar-state", c)[0][0] for c in (SCAN, RECOVER)]
    check(toolbar == [False, False], "toolbar Scan, Recover during the recovery: %r" % toolbar)
    s("command", SCAN)
    s("command", RECOVER)
    sync(s)
    check(s("button") == [["Scan", False]], "a Scan command during the recovery changed the button: %r" % s("button"))
    check(s("no-box") == ["none"], "a Recover command during the recovery opened a window")


def t_recover_progress(s, ctx):
    """The progress of a recovery held in mid-file; the window answers and excludes a scan; then it ends."""
    out = os.path.join(s.work, "out-progress")
    os.makedirs(out)
    with GatedDisk(s, 2, hold=slow_hold(s, ctx)) as gate:
        rows = held_recovery(s, ctx, gate, out)
        check(s.program_answers(), "the window does not answer while the recovery runs")
        expect_scan_greyed(s)
        # Nothing under the name before the file is whole.
        below = files_below(out)
        check("Apple.txt" in below and windowvolume.SLOW not in below, "while slow.bin is held the folder holds %r" % below)
        # A preview waits for the disk, not the window: it shows once the recovery lets go.
        preview_row(s, row_of(rows, "shot.png"), True)
        check(s.program_answers() and not preview_windows(s), "the preview did not wait for the held recovery")
        gate.release()
        recovery_ended(s)
        check(eventually(lambda: len(preview_windows(s)), lambda n: n == 1) == 1, "no preview after the recovery")
        names = ["Apple.txt", windowvolume.SLOW]
        check(not wait_outputs([(os.path.join(out, n), ctx.manifest[n]) for n in names]), "the outputs are not whole")
        check(files_below(out) == names, "the folder holds %r" % files_below(out))
        check(s("no-box") == ["none"], "a box after a recovery that brought every file back")
        check(s("button") == [["Scan", True]], "Scan after the recovery: %r" % s("button"))
        expect_menu(menu_states(s), {SCAN: True, RECOVER: True}, "after the recovery")


def t_recover_stop(s, ctx):
    """Cancel in mid-file: the file being copied leaves nothing under its name, the summary says what came back."""
    out = os.path.join(s.work, "out-stop")
    os.makedirs(out)
    with GatedDisk(s, 2, hold=slow_hold(s, ctx)) as gate:
        held_recovery(s, ctx, gate, out)
        s("click-item", PROGRESS_CAPTION, IDCANCEL)
        # Asked, not yet done: the worker still waits in its read.
        items = eventually(lambda: dialog_items(s, PROGRESS_CAPTION),
                           lambda i: i[PROGRESS_TIME][1] == "Cancelling..." and not i[IDCANCEL][2])
        check(items[PROGRESS_TIME][1] == "Cancelling..." and not items[IDCANCEL][2], "after Cancel: %r" % items)
        gate.release()
        head, failures = summary(s)
        recovery_ended(s)
        check(head == "Cancelled: recovered 1 of 2 files to %s." % dos(out), "summary %r" % head)
        check(not failures, "failures %r" % failures)
        s("press", SUMMARY_CAPTION, IDOK)
        check(files_below(out) == ["Apple.txt"], "after Cancel the folder holds %r" % files_below(out))
        check(s("button") == [["Scan", True]], "Scan after the recovery: %r" % s("button"))


def find(s, text):
    s("command", FIND)
    s("wait-dialog", FIND_DIALOG, 10000)
    s("set-item", FIND_DIALOG, 1004, text)
    s("press", FIND_DIALOG, IDOK)
    sync(s)
    return s("selected")[0]


def find_next(s):
    s("command", FIND_NEXT)
    sync(s)
    return s("selected")[0]


def end_of_list_box(s):
    box = s("box-detail", 10000)[0]
    check(box == ["Pelmora", "Reached the end of list", [IDOK], IDOK, False],
          "box %r (wanted 'Reached the end of list', OK only, no icon)" % (box,))
    s("dismiss")


def t_find(s, ctx):
    rows = scan_f(s, ctx)
    needle = windowvolume.FIND_TEXT.lower()
    matching = [i for i, r in enumerate(rows) if needle in r[0].rstrip().lower()]
    check(matching == [2, 5], "the test volume's matches are rows %r" % matching)
    check(s("selected")[0] == [], "rows selected after the scan")
    check(find(s, windowvolume.FIND_TEXT) == [2], "Find selected %r, wanted [2]" % s("selected")[0])
    check(find_next(s) == [2, 5], "Find next selected %r, wanted [2, 5]" % s("selected")[0])
    s("command", FIND_NEXT)
    end_of_list_box(s)
    s("click-row", 0)
    check(find_next(s) == [0, 2], "after the end Find next selected %r, wanted row 2 added" % s("selected")[0])
    # Only A-Z fold: "café" is not "CAFÉ"; "CAFÉ" folds to "cafÉ", which only CAFÉ.txt holds.
    cafe_lower, cafe_upper = row_of(rows, "caf\u00e9.txt"), row_of(rows, "CAF\u00c9.txt")
    s("click-row", 0)
    check(find(s, "caf\u00e9") == [0, cafe_lower], "Find 'café' selected %r" % s("selected")[0])
    s("click-row", 0)
    check(find(s, "CAF\u00c9") == [0, cafe_upper], "Find 'CAFÉ' selected %r" % s("selected")[0])
    s("click-row", 1)
    check(find(s, "aPPLE") == [0, 1], "Find 'aPPLE' selected %r" % s("selected")[0])
    # The name's trailing blanks are ignored: "stack " is not in "haystack  ".
    haystack = row_of(rows, "haystack  ")
    s("click-row", 0)
    check(find(s, "stack ") == [0], "Find 'stack ' selected %r" % s("selected")[0])
    check(find(s, "stack") == [0, haystack], "Find 'stack' selected %r" % s("selected")[0])


def t_find_keys(s, ctx):
    scan_f(s, ctx)
    check(find(s, windowvolume.FIND_TEXT) == [2], "Find selected %r" % s("selected")[0])
    tree_before = s("tree")
    s("focus-control", TREE_ID)
    s("key", VK_F3)
    sync(s)
    check(s("selected")[0] == [2] and s("no-box") == ["none"], "F3 in the tree selected %r" % s("selected")[0])
    check(s("tree") == tree_before, "F3 changed the tree")
    s("focus-control", LIST_ID)
    s("key", VK_F3)
    sync(s)
    check(s("selected")[0] == [2, 5], "F3 in the list selected %r" % s("selected")[0])
    s("key", VK_F3)
    end_of_list_box(s)


def cell_key(text):
    # The list compares UTF-16 code units with A-Z folded.
    units = text.encode("utf-16-le")
    return [c + 32 if 65 <= c <= 90 else c for c in (int.from_bytes(units[i:i + 2], "little") for i in range(0, len(units), 2))]


def t_sort(s, ctx):
    rows = scan_f(s, ctx)
    ascending = True
    for column in (0, 0, 2, 1, 4, 0):
        s("click-header", column)
        after = s("rows")
        check(sorted(map(tuple, after)) == sorted(map(tuple, rows)), "the sort lost or changed rows")
        texts = [r[column] for r in after]
        wanted = sorted(texts, key=cell_key, reverse=not ascending)
        check([cell_key(t) for t in texts] == [cell_key(t) for t in wanted],
              "column %d %s: %r" % (column, "ascending" if ascending else "descending", texts))
        ascending = not ascending


def t_selection_count(s, ctx):
    scan_f(s, ctx)

    def pane():
        return s("status")[0][0]
    s("click-row", 3)
    check(pane() == "Selected 1 file", "one row: %r" % pane())
    s("click-row", 5, "ctrl")
    check(pane() == "Selected 2 files", "two rows: %r" % pane())
    s("click-row", 7, "shift")  # from the last clicked row
    check(s("selected")[0] == [5, 6, 7], "shift-click selected %r" % s("selected")[0])
    check(pane() == "Selected 3 files", "three rows: %r" % pane())
    s("click-row", -1)
    check(s("selected")[0] == [] and pane() == "Selected 0 files", "no row: %r" % pane())


def popup_states(s, at_row):
    where = s("click-row", at_row, "right")[0]
    lines = s("popup", 10000)
    return where, lines[0], {line[0]: line[1] for line in lines[1:]}


def t_context_menu(s, ctx):
    s.start(ctx.exe)
    _, _, states = popup_states(s, -1)
    s("popup-keys", VK_ESCAPE)
    check(states == {RECOVER: False, FIND: False, 32773: False}, "before a scan: %r" % states)
    scan_f(s, ctx)
    cursor, corner, states = popup_states(s, 3)
    check(states == {RECOVER: True, FIND: True, 32773: True}, "after a scan: %r" % states)
    check(corner == cursor, "the menu opens at %r, the cursor is at %r" % (corner, cursor))
    # The choice runs at once: the second item is Find.
    s("popup-keys", VK_DOWN, VK_DOWN, VK_RETURN)
    s("wait-dialog", FIND_DIALOG, 10000)
    s("set-item", FIND_DIALOG, 1004, windowvolume.FIND_TEXT)
    s("press", FIND_DIALOG, IDOK)
    sync(s)
    check(s("selected")[0] == [2, 3], "Find from the menu selected %r" % s("selected")[0])
    popup_states(s, 3)
    s("popup-keys", VK_DOWN, VK_DOWN, VK_DOWN, VK_RETURN)
    sync(s)
    check(s("selected")[0] == [2, 3, 5], "Find next from the menu selected %r" % s("selected")[0])
    popup_states(s, 3)
    s("popup-keys", VK_DOWN, VK_RETURN)
    s("browser", 10000)
    s("browser-press", IDCANCEL)


# ---- the preview

def grab(s, x, y, w, h):
    """The screen's pixels in a rectangle: a function (x, y) -> (r, g, b)."""
    ppm = subprocess.run(["import", "-display", ":%d" % s.display, "-window", "root", "-crop",
                          "%dx%d+%d+%d" % (w, h, x, y), "+repage", "-depth", "8", "ppm:-"], env=s.env, capture_output=True,
                         check=True, timeout=60).stdout
    fields, at = [], 0
    while len(fields) < 4:  # P6 width height maxval, then one white space
        while ppm[at:at + 1].isspace():
            at += 1
        end = at
        while not ppm[end:end + 1].isspace():
            end += 1
        fields.append(ppm[at:end])
        at = end
    width = int(fields[1])
    pixels = ppm[at + 1:]
    return lambda px, py: tuple(pixels[(py * width + px) * 3:(py * width + px) * 3 + 3])


def preview_windows(s):
    return s("windows-titled", PREVIEW_CAPTION)


def fitted(w, h, area_w, area_h):
    if w > area_w or h > area_h:
        if area_w * h <= area_h * w:
            w, h = area_w, h * area_w // w
        else:
            w, h = w * area_h // h, area_h
    return (area_w - w) // 2, (area_h - h) // 2, w, h


def picture_problems(s, size, lossy):
    """What is wrong with the one preview window's drawing of a quadrant picture (an empty list: nothing)."""
    windows = preview_windows(s)
    if len(windows) != 1:
        return ["%d preview windows" % len(windows)]
    x, y, cw, ch = windows[0][2]
    pixel = grab(s, x, y, cw, ch)
    left, top, w, h = fitted(size[0], size[1], cw, ch)
    tolerance = 48 if lossy else 8
    near = lambda a, b: all(abs(p - q) <= tolerance for p, q in zip(a, b))
    problems = []
    background = pixel(1, 1)
    quadrant_centres = [(left + w // 4, top + h // 4), (left + 3 * w // 4, top + h // 4),
                        (left + w // 4, top + 3 * h // 4), (left + 3 * w // 4, top + 3 * h // 4)]
    for (px, py), colour in zip(quadrant_centres, windowvolume.QUADRANTS):
        if not near(pixel(px, py), colour):
            problems.append("at %d,%d %r, wanted %r" % (px, py, pixel(px, py), colour))
    # The picture's corners are its own; just outside them is the background.
    inside = [(left + 2, top + 2), (left + w - 3, top + 2), (left + 2, top + h - 3), (left + w - 3, top + h - 3)]
    outside = [(left - 2, top + h // 2), (left + w + 1, top + h // 2), (left + w // 2, top - 2), (left + w // 2, top + h + 1)]
    for (px, py), colour in zip(inside, windowvolume.QUADRANTS):
        if not near(pixel(px, py), colour):
            problems.append("corner %d,%d is %r, wanted %r" % (px, py, pixel(px, py), colour))
    for px, py in outside:
        if 0 <= px < cw and 0 <= py < ch and not near(pixel(px, py), background):
            problems.append("outside the picture %d,%d is %r, not the background %r" % (px, py, pixel(px, py), background))
    return problems


def preview_row(s, row, double):
    if double:
        s("click-row", row, "double")
    else:
        s("click-row", row)
        s("command", PREVIEW)
    sync(s)


def t_preview(s, ctx):
    rows = scan_f(s, ctx)
    for number, (name, _, size, lossy) in enumerate(windowvolume.PICTURES):
        preview_row(s, row_of(rows, name), number % 2 == 0)
        problems = eventually(lambda: picture_problems(s, size, lossy), lambda p: not p, 10)
        check(not problems, "%s: %s" % (name, "; ".join(problems)))
        check(s("no-box") == ["none"], "%s: a message box" % name)
        # Every paint decodes again: a repaint must draw the same.
        s("repaint", PREVIEW_CAPTION)
        sync(s)
        problems = eventually(lambda: picture_problems(s, size, lossy), lambda p: not p, 10)
        check(not problems, "%s after a repaint: %s" % (name, "; ".join(problems)))
    # Each preview replaced the last one: still only one window.
    check(len(preview_windows(s)) == 1, "%d preview windows" % len(preview_windows(s)))


def t_preview_fails(s, ctx):
    rows = scan_f(s, ctx)
    for name in (windowvolume.JPEG_AS_DAT, windowvolume.BROKEN, windowvolume.NOT_PICTURE, "Apple.txt"):
        preview_row(s, row_of(rows, "shot.png"), True)
        check(eventually(lambda: len(preview_windows(s)), lambda n: n == 1) == 1, "no preview of shot.png")
        preview_row(s, row_of(rows, name), False)
        left = eventually(lambda: preview_windows(s), lambda w: not w)
        check(not left, "%s: a preview window stays: %r" % (name, left))
        check(s("no-box") == ["none"], "%s: a message box" % name)
        check(s("windows-titled", "Pelmora"), "the main window went away")


def t_docs_pictures(s, ctx):
    if not ctx.docs:
        raise Skipped("no --docs folder given")
    rows = scan_f(s, ctx)
    preview_row(s, row_of(rows, windowvolume.SUNSET), True)
    eventually(lambda: len(preview_windows(s)), lambda n: n == 1)
    x, y, w, h = preview_windows(s)[0][3]
    shot = os.path.join(ctx.docs, "image-preview.png")
    run(["import", "-display", ":%d" % s.display, "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y),
         "+repage", "+dither", "-colors", "64", "PNG8:" + shot], env=s.env)
    log("saved %s (%d bytes)" % (shot, os.path.getsize(shot)))


# ---------------------------------------------------------------- About box and web pages

ABOUT_CAPTION = "\u5173\u4e8e Pelmora..."  # 关于 Pelmora...
ABOUT, VISIT_SITE, SYSTEM_MENU_ABOUT = 32776, 32782, 16
SITE_LINK, MAIL_LINK = 1008, 1010
SITE = "https://example.org/pelmora"
MAIL = "support@example.org"
LINK_BLUE, HOVER_BLUE = (0, 0, 255), (100, 100, 255)


def open_about(s, how):
    if how == "menu":
        s("command", ABOUT)
    elif how == "toolbar":
        s("click-toolbar", ABOUT)
    else:
        s("syscommand", SYSTEM_MENU_ABOUT)
    s("wait-dialog", ABOUT_CAPTION, 10000)


def about_links(s):
    """(beeps counted, last beep type), {id: [id, visited, hovering, text, screen rect]}."""
    lines = s("links", ABOUT_CAPTION)
    return tuple(int(v) for v in lines[0]), {int(line[0]): line for line in lines[1:]}


def link_drawing_problems(s, rect, text, colour=LINK_BLUE):
    """What is wrong with a link's drawing: its text must be in `colour` and underlined."""
    x, y, w, h = (int(v) for v in rect)
    if w <= 0 or h <= 0:
        return ["%s has no size" % text]
    pixel = grab(s, x, y, w, h)
    blue = lambda p: all(abs(a - b) <= 40 for a, b in zip(p, colour))
    columns = [px for px in range(w) if any(blue(pixel(px, py)) for py in range(h))]
    if len(columns) < w // 3:
        return ["%s: blue in %d of %d columns" % (text, len(columns), w)]
    # The underline: one row below the middle, blue nearly from the first blue column to the last.
    span = columns[-1] - columns[0] + 1
    underline = [py for py in range(h // 2, h) if sum(blue(pixel(px, py)) for px in range(columns[0], columns[-1] + 1)) >= span * 9 // 10]
    return [] if underline else ["%s is not underlined" % text]


def t_about(s, ctx):
    s.start(ctx.exe)
    for how in ("menu", "toolbar", "system-menu"):
        open_about(s, how)
        _, links = about_links(s)
        check(sorted(links) == [SITE_LINK, MAIL_LINK], "%s: links %r" % (how, sorted(links)))
        check(links[SITE_LINK][3] == SITE and links[MAIL_LINK][3] == MAIL,
              "%s: link texts %r, %r" % (how, links[SITE_LINK][3], links[MAIL_LINK][3]))
        check(not links[SITE_LINK][1] and not links[MAIL_LINK][1], "%s: a link starts visited" % how)
        for link in links.values():
            problems = eventually(lambda: link_drawing_problems(s, link[4], link[3]), lambda p: not p, 5)
            check(not problems, "%s: %s" % (how, "; ".join(problems)))
        if how == "system-menu" and ctx.docs:
            x, y, w, h = s("windows-titled", ABOUT_CAPTION)[0][3]
            shot = os.path.join(ctx.docs, "about-box.png")
            run(["import", "-display", ":%d" % s.display, "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y),
                 "+repage", "PNG8:" + shot], env=s.env)
            log("saved %s" % shot)
        s("press", ABOUT_CAPTION, 1)
    check(s("no-box") == ["none"], "a message box")

    # The mouse over a link turns it light blue until it leaves.
    open_about(s, "menu")
    _, links = about_links(s)
    x, y, w, h = (int(v) for v in links[SITE_LINK][4])
    s("cursor", x + w // 2, y + h // 2)
    _, links = eventually(lambda: about_links(s), lambda r: r[1][SITE_LINK][2])
    check(links[SITE_LINK][2], "no hovering with the mouse over the link")
    problems = eventually(lambda: link_drawing_problems(s, links[SITE_LINK][4], SITE, HOVER_BLUE), lambda p: not p, 5)
    check(not problems, "under the mouse: %s" % "; ".join(problems))
    check(not links[MAIL_LINK][2], "the other link hovers too")
    s("cursor", 0, 0)
    _, links = eventually(lambda: about_links(s), lambda r: not r[1][SITE_LINK][2])
    check(not links[SITE_LINK][2], "still hovering after the mouse left")
    problems = eventually(lambda: link_drawing_problems(s, links[SITE_LINK][4], SITE), lambda p: not p, 5)
    check(not problems, "after the mouse left: %s" % "; ".join(problems))
    s("press", ABOUT_CAPTION, 1)


def wine_reg(s, *args):
    s.wine_tool([WINE, "reg", *args], 60)


def recorded_lines(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return f.read().splitlines()


def t_web_links(s, ctx):
    # A stand-in browser that writes down its command line.
    folder = os.path.join(s.prefix, "drive_c", "pelmora-e2e")
    os.makedirs(folder, exist_ok=True)
    shutil.copy(os.path.join(os.path.dirname(s.driver_exe), "recorder.exe"), folder)
    record = os.path.join(folder, "recorder.log")
    if os.path.exists(record):
        os.remove(record)
    browser = "C:\\pelmora-e2e\\recorder.exe"
    # The shell opens no web or mail address here, and no class for pages yet.
    for key in ("http", "https", "mailto", ".htm"):
        wine_reg(s, "delete", "HKCR\\" + key, "/f")
    s.start(ctx.exe)
    s("hook-beeps")
    open_about(s, "menu")
    s("click-item", ABOUT_CAPTION, SITE_LINK)
    (beeps, kind), links = eventually(lambda: about_links(s), lambda r: r[0][0] >= 1)
    check(beeps == 1 and kind == 0x30, "a link that cannot be opened: %d beeps, type %#x" % (beeps, kind))
    check(not links[SITE_LINK][1], "a link that could not be opened turned visited")
    check(recorded_lines(record) == [], "something was started: %r" % recorded_lines(record))

    # Pages open with the recorder; its command ends in the quoted placeholder.
    wine_reg(s, "add", "HKCR\\.htm", "/ve", "/d", "PelmoraTestPage", "/f")
    wine_reg(s, "add", "HKCR\\PelmoraTestPage\\shell\\open\\command", "/ve", "/d",
             '"%s" --page "%%1" --after' % browser, "/f")
    expected = []
    for link, target in ((SITE_LINK, SITE), (MAIL_LINK, "mailto:" + MAIL)):
        s("click-item", ABOUT_CAPTION, link)
        expected.append('"%s" --page  %s' % (browser, target))
        lines = eventually(lambda: recorded_lines(record), lambda r: len(r) >= len(expected))
        check(lines == expected, "recorded %r, wanted %r" % (lines, expected))
        (beeps, _), links = eventually(lambda: about_links(s), lambda r: r[1][link][1])
        check(links[link][1], "link %d is not visited after opening" % link)
        check(beeps == 1, "%d beeps" % beeps)
    s("press", ABOUT_CAPTION, 1)

    # Visit web site, through a command without a placeholder.
    wine_reg(s, "add", "HKCR\\PelmoraTestPage\\shell\\open\\command", "/ve", "/d", browser + " --whole", "/f")
    s("command", VISIT_SITE)
    expected.append("%s --whole %s" % (browser, SITE))
    lines = eventually(lambda: recorded_lines(record), lambda r: len(r) >= len(expected))
    check(lines == expected, "recorded %r, wanted %r" % (lines, expected))
    check(s("no-box") == ["none"], "a message box")


# ---------------------------------------------------------------- the volume sets and the State column

def scan_item(s, ctx, text):
    """Starts the program with physicaldrive3 linked (the caller unlinks it), scans `text` to the end;
    returns the rows with their states."""
    s.link_disks(True, (3,))
    s.start(ctx.exe)
    s("select", text)
    s("click")
    s("wait-caption", "Scan", 120000)
    return s("rows", 7)


def set_partition(name):
    return 1 + [n for n, _ in DISK3_SETS].index(name)


def t_volume_sets(s, ctx):
    try:
        for name in ("compressed", "attrlist"):
            number = set_partition(name)
            text = "Disk 3 NTFS %d\\" % number
            rows = scan_item(s, ctx, text)
            expected, totals = ctx.cli.rows("disk3.img", number, text)
            check(expected, "%s: the CLI found no rows" % name)
            shown = [r[:6] for r in rows]
            if shown != expected:
                diff = next((i for i, (a, b) in enumerate(zip(shown, expected)) if a != b), min(len(shown), len(expected)))
                raise Failed("%s: %d rows, CLI %d; first difference at row %d: %r vs %r" % (
                    name, len(shown), len(expected), diff, shown[diff] if diff < len(shown) else None,
                    expected[diff] if diff < len(expected) else None))
            panes = s("status")[0]
            check(panes[1:] == ["Deleted files: %d" % totals["Deleted files"], "Total files: %d" % totals["Total files"]],
                  "%s: panes %r, CLI %r" % (name, panes, totals))
            s.stop_app()
    finally:
        s.link_disks(False, (3,))


def t_state_column(s, ctx):
    manifest = ctx.sets["overwritten"]
    wanted = {}
    for path, entry in manifest.items():
        if entry["state"] == "deleted" and entry["kind"] == "file":
            clusters, reused = int(entry["clusters"] or 0), int(entry["reused"] or 0)
            wanted[path.rsplit("/", 1)[-1]] = state_cell(entry["recoverability"], reused * 100 // clusters if clusters else 0)
    check(any(w.startswith("Partly") for w in wanted.values()) and "Overwritten" in wanted.values(),
          "the overwritten set has no partly and no wholly overwritten file: %r" % wanted)
    try:
        rows = scan_item(s, ctx, "Disk 3 NTFS %d\\" % set_partition("overwritten"))
        shown = {r[0]: r[6] for r in rows}
        check(shown == wanted, "states %r, manifest %r" % (shown, wanted))
        width, text_width = (int(v) for v in s("column-fits", 6, "Partly overwritten (99%)")[0])
        check(width >= text_width + 12, "the State column is %d pixels for a text of %d" % (width, text_width))
        if ctx.docs:
            # The README's picture: Path and the dates narrowed, as a user
            # would, so that the names and their states show side by side.
            docs_picture(s, ctx, "state-column.png", ((1, 90), (3, 0), (4, 110)))
        s("scroll-list", 2000)  # the State column is past the list's right edge
        order = {"Intact": 0, "Overwritten": 100, "Unknown": 101}
        key = lambda cell: int(cell.split("(")[1].rstrip("%)")) if cell.startswith("Partly") else order[cell]
        for ascending in (True, False):
            s("click-header", 6)
            after = s("rows", 7)
            check(sorted(map(tuple, after)) == sorted(map(tuple, rows)), "the sort lost or changed rows")
            keys = [key(r[6]) for r in after]
            check(keys == sorted(keys, reverse=not ascending),
                  "State %s: %r" % ("ascending" if ascending else "descending", [r[6] for r in after]))
    finally:
        s.link_disks(False, (3,))


def t_virtual_list(s, ctx):
    s.start(ctx.exe)
    check(int(s("list-style")[0]) & 0x1000, "the file list is not a virtual list (LVS_OWNERDATA)")
    s("select", "E:\\")
    s("click")
    s("wait-caption", "Scan", 120000)
    expected, totals = ctx.cli.rows("disk1.img", 1, "E:\\")
    check(len(expected) > 1000, "the bench volume lists %d rows" % len(expected))
    # Every cell through the control would take minutes on a busy machine:
    # the count, then the first and the last rows, cell by cell.
    count = int(s("count")[0])
    check(count == len(expected), "%d rows, CLI %d" % (count, len(expected)))
    for first in (0, count - 300):
        rows = s("rows", 6, first, 300)
        check(rows == expected[first:first + 300], "rows from %d: first difference at %r" % (
            first, next(((a, b) for a, b in zip(rows, expected[first:]) if a != b), None)))
    panes = s("status")[0]
    check(panes[1:] == ["Deleted files: %d" % totals["Deleted files"], "Total files: %d" % totals["Total files"]],
          "panes %r, CLI %r" % (panes, totals))


def t_close_recovering(s, ctx):
    """Closing the window in mid-file cancels the recovery and waits for it: the file leaves nothing."""
    out = os.path.join(s.work, "out-close")
    os.makedirs(out)
    with GatedDisk(s, 2, hold=slow_hold(s, ctx)) as gate:
        held_recovery(s, ctx, gate, out)
        s("syscommand", SC_CLOSE)  # posted
        # The window waits for the worker, which waits in its read; it still answers sent messages.
        items = eventually(lambda: dialog_items(s, PROGRESS_CAPTION), lambda i: i[PROGRESS_TIME][1] == "Cancelling...")
        check(items[PROGRESS_TIME][1] == "Cancelling...", "closing did not cancel: %r" % items)
        gate.release()
        try:
            s.app.wait(60)
        except subprocess.TimeoutExpired:
            raise Failed("the program did not end after the recovery was let go")
        s.app = None
        check(files_below(out) == ["Apple.txt"], "after closing the folder holds %r" % files_below(out))
        s.app_log.flush()
        with open(s.app_log.name, "rb") as log_file:
            check(b"Unhandled exception" not in log_file.read(), "Wine logged an unhandled exception")


def t_scan_read_error(s, ctx):
    """A read error in the middle of the bench volume's $MFT: the rows listed stay, and so does the disk:
    they are recovered afterwards."""
    image = os.path.join(s.image_dir, "disk1.img")
    clusters, start = data_clusters(ctx, image, 0)
    middle = len(clusters) // 2
    check(clusters[middle + 15] == clusters[middle] + 15, "the $MFT is cut at its middle")
    out = os.path.join(s.work, "out-read-error")
    os.makedirs(out)
    with GatedDisk(s, 1, fail=[(start + clusters[middle] * 4096, 16 * 4096)]) as gate:
        s.start(ctx.exe)
        s("select", "E:\\")
        s("click")
        ended = eventually(lambda: (s("button")[0][0], s("no-box")[0]), lambda b: b[0] == "Scan" or b[1] == "box", 120)
        if ended[1] == "box":
            log("the scan's read error: %r" % s("box-detail", 10000)[0][:2])
            s("dismiss")
        s("wait-caption", "Scan", 120000)
        check(gate.logged("failed"), "the scan never read the failing range")
        rows = s("rows", 2, 0, 5)
        check(len(rows) == 5, "%d rows after the read error" % len(rows))
        s("click-row", 0)
        recover_to(s, dos(out))
        manifest = {}
        with open(os.path.join(s.image_dir, "e.img.tsv"), encoding="utf-8", newline="") as f:
            manifest = {row["path"]: row for row in csv.DictReader(f, delimiter="\t")}
        path = (rows[0][1].split("\\", 1)[1].replace("\\", "/") + rows[0][0]).lstrip("/")
        check(path in manifest, "row 0 %r is not in the manifest" % path)
        wrong = wait_outputs([(os.path.join(out, path), manifest[path])])
        recovery_ended(s)
        check(not wrong, "row 0 was not recovered after the read error; the folder holds %r" % files_below(out))
        check(s("no-box") == ["none"], "a box after recovering a row listed before the read error")


class FailingDisk(GatedDisk):
    """physicaldriveN served through tools/faildisk.py: reads touching a `fail`
    range fail with EIO, as a disk's bad sectors do; its log has a line per failed read."""

    def __enter__(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.mount)
        cmd = ["/usr/bin/python3", os.path.join(TOOLS, "faildisk.py"), self.image, self.mount, "--log", self.log_file]
        for start, length in self.fail:
            cmd += ["--fail", "%d:%d" % (start, length)]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.served = os.path.join(self.mount, "disk.img")
        if not eventually(lambda: os.path.exists(self.served), bool, 30):
            self.proc.kill()
            raise Failed("faildisk.py did not serve the disk")
        link = os.path.join(self.s.prefix, "dosdevices", "physicaldrive%d" % self.number)
        os.remove(link)
        os.symlink(self.served, link)
        return self

    def failed(self):
        return os.path.exists(self.log_file) and os.path.getsize(self.log_file) > 0


def partition_clusters(ctx, image, partition, record):
    """As data_clusters, on partition PARTITION (as pelmora-cli counts them) of IMAGE."""
    lines = subprocess.run([ctx.cli.path, "partitions", image], capture_output=True, check=True).stdout.decode()
    first = int(lines.splitlines()[partition - 1].split("\t")[1])
    text = subprocess.run(["istat", "-o", str(first), image, str(record)], capture_output=True, check=True).stdout.decode()
    clusters = []
    for line in text.split("Type: $DATA", 1)[1].splitlines()[1:]:
        if line.startswith("Type:"):
            break
        clusters += [int(n) for n in line.split()]
    return clusters, first * 512


def t_failing_disk(s, ctx):
    """C: (tools/mkvolume.py's standard set) on a disk with bad sectors: one cluster of its $MFT and
    one of a deleted file's data. The scan lists what the CLI lists on the same failing disk and warns
    of the records it could not read; the file comes back with zeros where the disk failed, under its
    name, and the summary says so; the file beside it in the batch comes back whole."""
    image = os.path.join(s.image_dir, "disk0.img")
    manifest = {}
    with open(os.path.join(s.image_dir, "c.img.tsv"), encoding="utf-8", newline="") as f:
        manifest = {row["path"]: row for row in csv.DictReader(f, delimiter="\t")}
    bad_name, good_name = "many_clusters.bin", "few_clusters.bin"
    mft, start = partition_clusters(ctx, image, 2, 0)
    data, _ = partition_clusters(ctx, image, 2, int(manifest[bad_name]["record"]))
    # Records 100 to 103 (1 KiB records, 4 KiB clusters): files of the set's Browsers folder.
    check(len(mft) > 25 and len(data) > 2, "the $MFT has %d clusters, %s %d" % (len(mft), bad_name, len(data)))
    bad_mft, bad_data = start + mft[25] * 4096, start + data[1] * 4096
    original = subprocess.run(["icat", "-o", str(start // 512), image, manifest[bad_name]["record"]],
                              capture_output=True, check=True).stdout
    out = os.path.join(s.work, "out-failing")
    os.makedirs(out)
    with FailingDisk(s, 0, fail=[(bad_mft, 4096), (bad_data, 4096)]) as disk:
        listed = subprocess.run([ctx.cli.path, "list", disk.served, "--partition", "2", "--drive-text", "C:\\",
                                 "--format", "json"], capture_output=True, check=True)
        warning = [line for line in listed.stderr.decode().splitlines() if line.startswith("pelmora-cli: warning: ")]
        check(len(warning) == 1 and warning[0].endswith(" records could not be read"), "the CLI said %r" % warning)
        expected = [[cell_cut(e["Name"]), cell_cut(e["Path"]), e["Size"], e["Created"], e["Modified"],
                     str(e["record"] - 30)] for e in json.loads(listed.stdout.decode("utf-8"))]
        s.start(ctx.exe)
        s("select", "C:\\")
        s("click")
        ended = eventually(lambda: (s("button")[0][0], s("no-box")[0]), lambda b: b[0] == "Scan" or b[1] == "box", 120)
        # Wine says "not ready" for a read's EIO; the disk layer sees the disk still answer and
        # takes it for a bad sector, as Windows reports one.
        if ended[1] == "box":
            raise Failed("a box during the scan: %r" % (s("box-detail", 1000)[0],))
        check(disk.failed(), "the scan never read a failing range")
        rows = s("rows")
        check(rows == expected, "%d rows, CLI %d; the window lacks %r and has more %r" % (
            len(rows), len(expected), [r for r in expected if r not in rows][:3], [r for r in rows if r not in expected][:3]))
        panes = s("status")[0]
        check(panes[0] == warning[0].split("warning: ", 1)[1], "panes %r, the CLI warned %r" % (panes, warning[0]))
        select_rows(s, sorted(row_of(rows, n) for n in (bad_name, good_name)))
        recover_to(s, dos(out))
        head, failures = summary(s)
        recovery_ended(s)
        kept = os.path.join(out, bad_name)
        check(head == "Recovered 1 of 2 files to %s.\r\n1 file could not be recovered:" % dos(out), "summary %r" % head)
        check(failures == ["C:\\%s: 4096 bytes unreadable (written as zeros); the copy is kept as %s" % (
            bad_name, dos(kept))], "failures %r" % failures)
        s("press", SUMMARY_CAPTION, IDOK)
        check(not wait_outputs([(os.path.join(out, good_name), manifest[good_name])]), "%s is not whole" % good_name)
        with open(kept, "rb") as f:
            copy = f.read()
        check(copy == original[:4096] + bytes(4096) + original[8192:],
              "the kept copy is not the file with zeros in its second cluster")
        check(s("button") == [["Scan", True]] and s("no-box") == ["none"], "after the recovery: %r" % s("button"))


def t_smoke(s, ctx):
    """Starts, lists the partitions, scans the smallest volume (D:, two rows) as the CLI
    lists it and shows About: little enough for the 32-bit program where it runs emulated."""
    s.start(ctx.exe)
    children = [item[3] for item in s("tree") if item[0] == 1]
    check(sorted(children) == sorted(EXPECTED_CHILDREN), "children %r, expected %r" % (children, EXPECTED_CHILDREN))
    s("select", "D:\\")
    s("click")
    s("wait-caption", "Scan", 120000)
    rows = s("rows")
    expected, totals = ctx.cli.rows("disk0.img", 4, "D:\\")
    check(expected and rows == expected, "rows %r, CLI %r" % (rows, expected))
    panes = s("status")[0]
    check(panes[1:] == ["Deleted files: %d" % totals["Deleted files"], "Total files: %d" % totals["Total files"]],
          "panes %r, CLI %r" % (panes, totals))
    open_about(s, "menu")
    # The dialog's own windows, read without a thread in the program: an
    # emulated program that has ended a thread (the scan's) is killed by
    # qemu-i386 when one starts. `about` reads the links' states.
    items = dialog_items(s, ABOUT_CAPTION)
    check(all(i in items and items[i][3] for i in (SITE_LINK, MAIL_LINK, 1))
          and [items[SITE_LINK][1], items[MAIL_LINK][1]] == [SITE, MAIL], "About's items %r" % items)
    s("press", ABOUT_CAPTION, 1)
    check(s("no-box") == ["none"], "a message box")


# ---------------------------------------------------------------- disk images

OPEN_IMAGE = 32783
OPEN_CAPTION = "\u6253\u5f00\u78c1\u76d8\u6620\u50cf"  # 打开磁盘映像
OPEN_ERROR_CAPTION = "Error in OpenDiskImage"
# The open dialog's file types, in its order.
IMAGE_TYPES = ["All disk images (*.img;*.dd;*.raw;*.bin;*.001;*.vhd;*.vhdx;*.E01)",
               "Raw disk images (*.img;*.dd;*.raw;*.bin)", "Numbered raw pieces (*.001)", "VHD (*.vhd)",
               "VHDX (*.vhdx)", "EnCase images (*.E01)", "All files (*.*)"]
# disk2.img (F:) in each container the window opens, made by the real tools:
# name -> (the file the dialog opens, its file type, the command).
CONTAINERS = {
    "vhd-dynamic": ("f-dynamic.vhd", 3,
                    "qemu-img convert -q -f raw -O vpc -o subformat=dynamic,force_size=on %RAW% %DIR%/f-dynamic.vhd"),
    "vhd-fixed": ("f-fixed.vhd", 3,
                  "qemu-img convert -q -f raw -O vpc -o subformat=fixed,force_size=on %RAW% %DIR%/f-fixed.vhd"),
    "vhdx": ("f.vhdx", 4, "qemu-img convert -q -f raw -O vhdx %RAW% %DIR%/f.vhdx"),
    # Three segments of 4 MiB (the chunks compressed).
    "ewf": ("f-ewf.E01", 5, "ewfacquire -u -q -t %DIR%/f-ewf -f encase6 -c fast -S 4MiB %RAW%"),
    "pieces": ("f-split.img.001", 2, "split -d -a 3 --numeric-suffixes=1 -b 24M %RAW% %DIR%/f-split.img."),
    # F: alone, as a partition is imaged: no partition table, the volume from byte 0.
    "volume": ("f-volume.img", 1, "dd if=%RAW% of=%DIR%/f-volume.img bs=512 skip=2048 count=131072 status=none"),
}
DIRTY_VHDX = "f-dirty.vhdx"


def crc32c(data):
    table = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ 0x82F63B78 if c & 1 else c >> 1
        table.append(c)
    crc = 0xFFFFFFFF
    for b in data:
        crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8)
    return crc ^ 0xFFFFFFFF


def make_dirty_vhdx(clean, dirty):
    """A copy of a VHDX whose headers name a log: writes not yet applied, as a
    crash leaves them. Both headers (64 and 128 KiB), their checksums made anew."""
    with open(clean, "rb") as f:
        data = bytearray(f.read())
    for at in (64 << 10, 128 << 10):
        check(data[at:at + 4] == b"head", "no VHDX header at %d in %s" % (at, clean))
        data[at + 48:at + 64] = bytes(range(1, 17))  # LogGuid
        data[at + 4:at + 8] = bytes(4)
        data[at + 4:at + 8] = crc32c(bytes(data[at:at + 4096])).to_bytes(4, "little")
    with open(dirty, "wb") as f:
        f.write(data)


def make_containers(image_dir):
    """The containers of disk2.img in IMAGE_DIR/containers, remade with disk2.img; returns that folder."""
    folder = os.path.join(image_dir, "containers")
    with open(os.path.join(image_dir, "stamp2")) as f:
        recipe = "v1 %s %r" % (f.read(), sorted((k, v[2]) for k, v in CONTAINERS.items()))

    def make():
        log("making the disk images in containers")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        raw = os.path.join(image_dir, "disk2.img")
        for name, (_, _, command) in CONTAINERS.items():
            run(command.replace("%RAW%", raw).replace("%DIR%", folder), shell=True, stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL)
        check(os.path.exists(os.path.join(folder, "f-ewf.E02")), "ewfacquire made one segment")
        make_dirty_vhdx(os.path.join(folder, "f.vhdx"), os.path.join(folder, DIRTY_VHDX))

    remade(os.path.join(folder, "stamp"), recipe, make)
    return folder


def image_items(s, number):
    """[selected, text] of image NUMBER's own item and of each item below it, as the tree shows them."""
    tree = s("tree")
    prefix = "Image %d: " % number
    for at, (depth, selected, _, text) in enumerate(tree):
        if depth == 0 and text.startswith(prefix):
            items = [[selected, text]]
            for below in tree[at + 1:]:
                if below[0] == 0:
                    break
                items.append([below[1], below[3]])
            return items
    return []


def open_image(s, folder, name, kind=0, how="menu", listed=None):
    """Opens FOLDER\\NAME (prefix paths) as a user would: the open dialog from the menu or
    the toolbar, the folder typed into the name box, the file type KIND chosen, NAME picked
    from the list. LISTED: what that type must list in FOLDER. Returns once the dialog is gone."""
    if how == "toolbar":
        s("click-toolbar", OPEN_IMAGE)
    else:
        s("command", OPEN_IMAGE)
    # A process's first file dialog comes slowly on a busy machine.
    dialog = s("file-dialog", 60000)[0]
    check(dialog[0] == OPEN_CAPTION and dialog[4] == IMAGE_TYPES and dialog[3] == 0,
          "the dialog: %r" % dialog[:5])
    s("file-dialog-name", folder)
    s("file-dialog-press", IDOK)
    there = eventually(lambda: s("file-dialog")[0], lambda d: d[1].lower() == folder.lower(), 30)
    check(there[1].lower() == folder.lower(), "the dialog went to %r, not %s" % (there[1], folder))
    if kind:
        s("file-dialog-type", kind)
    if listed is not None:
        shown = eventually(lambda: s("file-dialog")[0], lambda d: sorted(d[5]) == sorted(listed), 30)
        check(sorted(shown[5]) == sorted(listed), "%s lists %r, wanted %r" % (IMAGE_TYPES[kind], shown[5], listed))
    else:
        shown = eventually(lambda: s("file-dialog")[0], lambda d: name in d[5], 30)
        check(name in shown[5], "%s is not listed: %r" % (name, shown[5]))
    chosen = s("file-dialog-select", name)[0][0]
    check(chosen == name, "the name box holds %r after picking %s" % (chosen, name))
    s("file-dialog-press", IDOK)
    s("wait-gone", OPEN_CAPTION, 30000)


def wait_image(s, number, name):
    """The items of image NUMBER once it is in the tree (the open runs on a worker)."""
    # Listed and selected in one handler, but read in two calls: wait for both.
    items = eventually(lambda: image_items(s, number), lambda i: bool(i) and any(selected for selected, _ in i), 60)
    check(items, "image %d (%s) is not in the tree: %r" % (number, name, s("tree")))
    return items


def volume_rows(cli, image, text):
    """As Cli.rows, for an image of one volume (pelmora-cli list --start 0)."""
    done = subprocess.run([cli.path, "list", image, "--start", "0", "--drive-text", text, "--format", "json"],
                          capture_output=True, check=True)
    totals = {name: int(value) for name, value in (line.rsplit(": ", 1) for line in
              done.stderr.decode("utf-8").splitlines() if ": " in line) if value.isdigit()}
    return [[cell_cut(e["Name"]), cell_cut(e["Path"]), e["Size"], e["Created"], e["Modified"], str(e["record"] - 30)]
            for e in json.loads(done.stdout.decode("utf-8"))], totals


def scan_selected(s, cli, image, partition, text):
    """Scans the selected item to the end; checks the rows and totals against the CLI's of
    IMAGE (a host path), partition PARTITION (None: the image is one volume) with drive text
    TEXT; returns the rows."""
    s("click")
    s("wait-caption", "Scan", 120000)
    rows = s("rows")
    expected, totals = cli.rows(image, partition, text) if partition else volume_rows(cli, image, text)
    check(expected, "the CLI found no rows in %s" % image)
    if rows != expected:
        diff = next((i for i, (a, b) in enumerate(zip(rows, expected)) if a != b), min(len(rows), len(expected)))
        raise Failed("%s: %d rows, CLI %d; first difference at row %d: %r vs %r" % (
            os.path.basename(image), len(rows), len(expected), diff, rows[diff] if diff < len(rows) else None,
            expected[diff] if diff < len(expected) else None))
    panes = s("status")[0]
    check(panes[1:] == ["Deleted files: %d" % totals["Deleted files"], "Total files: %d" % totals["Total files"]],
          "%s: panes %r, CLI %r" % (os.path.basename(image), panes, totals))
    check(s("no-box") == ["none"], "a message box after scanning %s" % image)
    return rows


def t_disk_image(s, ctx):
    """A VHDX of F:, placed on F: itself: opened, scanned, previewed and recovered to F:
    without the same-drive question (the image is not the volume)."""
    vhdx = os.path.join(ctx.containers, CONTAINERS["vhdx"][0])
    volume = os.path.join(s.work, "volume_f")
    os.symlink(vhdx, os.path.join(volume, "disk.vhdx"))
    out = os.path.join(volume, "out-image")
    os.makedirs(out)
    s.start(ctx.exe)
    # Folders are listed whatever the type; of the files only disk images (other scenarios leave F: as they like).
    patterns = IMAGE_TYPES[0].split("(")[1].rstrip(")").lower().split(";")
    listed = [n for n in os.listdir(volume) if os.path.isdir(os.path.join(volume, n)) or
              any(fnmatch.fnmatch(n.lower(), p) for p in patterns)]
    check("disk.vhdx" in listed, "F: holds %r" % os.listdir(volume))
    open_image(s, "F:\\", "disk.vhdx", listed=listed)
    items = wait_image(s, 1, "disk.vhdx")
    check(items == [[False, "Image 1: disk.vhdx"], [True, "Image 1 NTFS 1\\"]], "the image's items: %r" % items)
    check(s("no-box") == ["none"], "a message box after opening")
    rows = scan_selected(s, ctx.cli, vhdx, 1, "Image 1 NTFS 1\\")
    if ctx.docs:
        docs_picture(s, ctx, "disk-image.png")
    name, _, size, lossy = windowvolume.PICTURES[0]
    preview_row(s, row_of(rows, name), True)
    problems = eventually(lambda: picture_problems(s, size, lossy), lambda p: not p, 10)
    check(not problems, "the preview of %s: %s" % (name, "; ".join(problems)))
    wanted = ["Lost/Deep/inside.txt", windowvolume.FRAGMENTED, "Apple.txt"]
    select_rows(s, [row_of(rows, w.rsplit("/", 1)[-1]) for w in wanted])
    # The open dialog left the current directory where it was: Recover's browser starts there.
    s("command", RECOVER)
    start = s("browser", 60000)[0]
    cwd_parts = s.cwd.strip("/").split("/")
    check(start[1][-len(cwd_parts):] == cwd_parts, "the browser starts at %r, not %s" % (start[1], s.cwd))
    chosen = s("browser-select", "F:\\out-image")[0]
    check(chosen[1][-2:] == [" (F:)", "out-image"] and chosen[2], "the browser chose %r" % chosen)
    s("browser-press", IDOK)
    outputs = [(os.path.join(out, w), ctx.manifest[w]) for w in wanted]
    wrong = wait_outputs(outputs)
    check(not wrong, "wrong or missing outputs: %r; the folder holds %r" % (wrong, files_below(out)))
    recovery_ended(s)
    check(s("no-box") == ["none"], "a box recovering from an image to the folder that holds it: %r" % (
        s("box", 1000) if s("no-box") != ["none"] else None))
    check(files_below(out) == sorted(wanted), "the folder holds %r" % files_below(out))


def t_disk_image_formats(s, ctx):
    """The other containers and an image of the volume alone, through the dialog's file types,
    all open at once: each image's partition scans to the CLI's rows, and the fragmented file
    (its runs spread over the volume) comes back whole from each. The same file again chooses
    its item, the first image scans again after the others, and the raw disk they all hold
    (disk2.img itself) scans and recovers as they do."""
    folder = ctx.containers
    everything = sorted(os.listdir(folder))
    by_type = {
        0: [n for n, _, _ in CONTAINERS.values()] + [DIRTY_VHDX],
        len(IMAGE_TYPES) - 1: everything,
    }
    for kind in {k for _, k, _ in CONTAINERS.values()}:
        by_type[kind] = [n for n, k, _ in CONTAINERS.values() if k == kind] + ([DIRTY_VHDX] if kind == 4 else [])
    s.start(ctx.exe)
    order = ["ewf", "vhd-dynamic", "pieces", "volume", "vhd-fixed"]
    for number, key in enumerate(order, 1):
        name, kind, _ = CONTAINERS[key]
        # The first through "All disk images", the last through "All files", the others by their own type.
        shown_kind = 0 if number == 1 else len(IMAGE_TYPES) - 1 if number == len(order) else kind
        open_image(s, dos(folder), name, kind=shown_kind, listed=by_type[shown_kind])
        items = wait_image(s, number, name)
        partition = "Image %d NTFS 1\\" % number
        check(items == [[False, "Image %d: %s" % (number, name)], [True, partition]],
              "%s: the image's items %r" % (key, items))
        rows = scan_selected(s, ctx.cli, os.path.join(folder, name), None if key == "volume" else 1, partition)
        out = os.path.join(s.work, "out-" + key)
        os.makedirs(out)
        s("click-row", row_of(rows, windowvolume.FRAGMENTED.rsplit("/", 1)[-1]))
        recover_to(s, dos(out))
        outputs = [(os.path.join(out, windowvolume.FRAGMENTED), ctx.manifest[windowvolume.FRAGMENTED])]
        check(not wait_outputs(outputs), "%s: the fragmented file did not come back: %r" % (key, files_below(out)))
        recovery_ended(s)
    # Opened again: no second item, the first is chosen.
    first = CONTAINERS[order[0]][0]
    open_image(s, dos(folder), first)
    sync(s)
    tops = [item[3] for item in s("tree") if item[0] == 0]
    check(tops == ["My computer"] + ["Image %d: %s" % (n, CONTAINERS[k][0]) for n, k in enumerate(order, 1)],
          "the tree's top items after opening %s again: %r" % (first, tops))
    check(image_items(s, 1)[0][0], "opening %s again did not choose its item" % first)
    s("select", "Image 1 NTFS 1\\")
    scan_selected(s, ctx.cli, os.path.join(folder, first), 1, "Image 1 NTFS 1\\")
    # The raw disk itself, as the others hold it: the same rows, the same file back.
    open_image(s, dos(s.image_dir), "disk2.img", kind=1)
    wait_image(s, len(order) + 1, "disk2.img")
    partition = "Image %d NTFS 1\\" % (len(order) + 1)
    s("select", partition)
    rows = scan_selected(s, ctx.cli, os.path.join(s.image_dir, "disk2.img"), 1, partition)
    out = os.path.join(s.work, "out-raw")
    os.makedirs(out)
    s("click-row", row_of(rows, windowvolume.FRAGMENTED.rsplit("/", 1)[-1]))
    recover_to(s, dos(out))
    outputs = [(os.path.join(out, windowvolume.FRAGMENTED), ctx.manifest[windowvolume.FRAGMENTED])]
    check(not wait_outputs(outputs), "raw: the fragmented file did not come back: %r" % files_below(out))
    recovery_ended(s)


def t_disk_image_errors(s, ctx):
    """An image that cannot be read says why, in the container's words; the image's own
    item is a disk, not a partition to scan."""
    s.start(ctx.exe)
    open_image(s, dos(ctx.containers), DIRTY_VHDX, kind=4, how="toolbar")
    box = s("box", 60000)[0]
    path = dos(os.path.join(ctx.containers, DIRTY_VHDX))
    words, message = box[1].rsplit("\n\n", 1) if "\n\n" in box[1] else (box[1], "")
    check(box[0] == OPEN_ERROR_CAPTION and words.startswith(path + "\n\nThe VHDX was not closed cleanly: its log holds")
          and words.endswith(".") and message, "box %r" % box)
    s("dismiss")
    check([item[3] for item in s("tree") if item[0] == 0] == ["My computer"], "the tree has %r" % s("tree"))
    # The next image gets the first number: none was taken.
    open_image(s, dos(ctx.containers), CONTAINERS["vhdx"][0], kind=4)
    items = wait_image(s, 1, CONTAINERS["vhdx"][0])
    s("select", items[0][1])
    s("click")
    box = s("box", 10000)[0]
    check(box == ["Select logical drive", "Select logical drive and press Scan button"], "box %r" % box)
    s("dismiss")



DEEP_SCAN = 32793


def make_deep_disk(image_dir):
    """IMAGE_DIR/deep/deep-disk.img: tools/mkvolume.py's standard set quick-formatted over by
    tools/mkdamaged.py (mkntfs -f, five new files) in an MBR disk at sector 2048; remade when
    either tool changes. Returns the image and its EXPECT rows by path."""
    folder = os.path.join(image_dir, "deep")
    image, expect = os.path.join(folder, "deep-disk.img"), os.path.join(image_dir, "deep-expect.tsv")
    recipe = digest_of(os.path.join(TOOLS, tool) for tool in ("mkvolume.py", "mkdamaged.py"))

    def make():
        os.makedirs(folder, exist_ok=True)
        volume = os.path.join(image_dir, "deep-in.img")
        run([sys.executable, os.path.join(TOOLS, "mkvolume.py"), "ntfs", volume, "--set", "standard",
             "--serial", "0x0D0D0E0E0F0F0A0A", "--manifest", volume + ".tsv"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        run([sys.executable, os.path.join(TOOLS, "mkdamaged.py"), volume, volume + ".tsv", image, expect,
             "--quick-format", "--new-files", "5", "--disk", "mbr"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.remove(volume)

    with locked(image_dir):
        remade(os.path.join(image_dir, "stamp-deep"), recipe, make)
    with open(expect, encoding="utf-8", newline="") as f:
        return image, {row["path"]: row for row in csv.DictReader(f, delimiter="\t")}


def t_deep_scan(s, ctx):
    """A disk whose volume was quick-formatted, opened as an image: Deep scan on the disk's item
    (greyed with Scan and Recover while it runs) finds the lost volume under it; Scan on that lists
    the rows `pelmora-cli list --found 1` lists, files in use told apart, and one comes back byte-exact."""
    image, expect = make_deep_disk(s.image_dir)
    name = os.path.basename(image)
    listed = subprocess.run([ctx.cli.path, "list", image, "--found", "1", "--drive-text", "Found volume 1\\",
                             "--format", "json"], capture_output=True, check=True)
    entries = json.loads(listed.stdout.decode("utf-8"))
    expected = [[cell_cut(e["Name"]), cell_cut(e["Path"]), e["Size"], e["Created"], e["Modified"], str(e["record"] - 30),
                 ("" if e["deleted"] else "In use; ") + state_cell(e["state"], e["overwritten_percent"])] for e in entries]
    check(any(not e["deleted"] for e in entries) and any(e["deleted"] for e in entries),
          "the CLI lists no file in use or none deleted on the found volume")
    totals = [line for line in listed.stderr.decode().splitlines() if line.startswith(("Files: ", "Total files: "))]
    s.start(ctx.exe)
    # The tree's menu: the root is no disk to search.
    s("right-click-tree", "My computer")
    states = {line[0]: line[1] for line in s("popup", 10000)[1:] if line[0] in (SCAN, DEEP_SCAN, OPEN_IMAGE)}
    s("popup-keys", VK_ESCAPE)
    check(states == {SCAN: True, DEEP_SCAN: False, OPEN_IMAGE: True}, "the tree's menu on the root: %r" % states)
    open_image(s, dos(os.path.dirname(image)), name)
    items = wait_image(s, 1, name)
    check([text for _, text in items] == ["Image 1: " + name, "Image 1 NTFS 1\\"], "the image's items: %r" % items)
    s("select", "Image 1: " + name)
    check(menu_states(s)[DEEP_SCAN], "Deep scan is greyed with the image's item selected")
    s("click-toolbar", DEEP_SCAN)
    sync(s)
    s("wait-caption", "Scan", 120000)
    if s("no-box") != ["none"]:
        raise Failed("a box after the deep scan: %r" % s("box", 1000))
    found = "Found NTFS volume at sector 2048 (64 MB)"
    items = image_items(s, 1)
    check([text for _, text in items] == ["Image 1: " + name, "Image 1 NTFS 1\\", found] and items[2][0],
          "the image's items after the deep scan: %r" % items)
    check(s("status")[0][0] == "Deep scan: 1 volume found", "panes %r" % s("status")[0])
    # Scanned from the tree's menu on the found volume's item.
    s("select", "Image 1 NTFS 1\\")
    s("right-click-tree", found)
    states = {line[0]: line[1] for line in s("popup", 10000)[1:] if line[0] in (SCAN, DEEP_SCAN, OPEN_IMAGE)}
    check(states == {SCAN: True, DEEP_SCAN: True, OPEN_IMAGE: True}, "the tree's menu on the found volume: %r" % states)
    s("popup-keys", VK_DOWN, VK_RETURN)
    sync(s)
    s("wait-caption", "Scan", 120000)
    check(image_items(s, 1)[2][0], "the right click did not select the found volume: %r" % image_items(s, 1))
    rows = s("rows", 7)
    check(rows == expected, "%d rows, CLI %d; the window lacks %r and has more %r" % (
        len(rows), len(expected), [r for r in expected if r not in rows][:3], [r for r in rows if r not in expected][:3]))
    panes = s("status")[0]
    check(panes[1:] == totals[1:] + totals[:1], "panes %r, the CLI said %r" % (panes, totals))
    if ctx.docs:
        # The README's picture: Path and the dates narrowed, so that names and states show side by side.
        docs_picture(s, ctx, "deep-scan.png", ((1, 150), (3, 0), (4, 0)))
    wanted = "hidden.txt"
    check(expect[wanted]["bytes_survive"] == "1" and expect[wanted]["record_survives"] == "1",
          "%s did not survive the format: %r" % (wanted, expect[wanted]))
    out = os.path.join(s.work, "out-deep")
    os.makedirs(out)
    s("click-row", row_of(rows, wanted))
    recover_to(s, dos(out))
    check(not wait_outputs([(os.path.join(out, wanted), expect[wanted])]), "%s did not come back: %r" % (
        wanted, files_below(out)))
    recovery_ended(s)
    check(s("no-box") == ["none"] and files_below(out) == [wanted], "after the recovery: %r" % files_below(out))



CARVE = 32794


def make_carve_volume(image_dir):
    """IMAGE_DIR/carve/carve.img: a volume alone (no partition table) from tools/mkcarvevolume.py,
    whose deleted files' records new files took; remade when it or its file maker changes. Returns
    the image and its manifest rows by name."""
    folder = os.path.join(image_dir, "carve")
    image, manifest = os.path.join(folder, "carve.img"), os.path.join(image_dir, "carve.tsv")
    recipe = digest_of([os.path.join(TOOLS, "mkcarvevolume.py"), os.path.join(TOOLS, "mkvolume.py"),
                        os.path.join(HERE, "..", "carve", "mkcarvefiles.py")])

    def make():
        os.makedirs(folder, exist_ok=True)
        files = os.path.join(image_dir, "carve-files")
        shutil.rmtree(files, ignore_errors=True)
        run([sys.executable, os.path.join(HERE, "..", "carve", "mkcarvefiles.py"), files],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        run([sys.executable, os.path.join(TOOLS, "mkcarvevolume.py"), files, image, manifest, "--mib", "24",
             "--big", "1"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    with locked(image_dir):
        remade(os.path.join(image_dir, "stamp-carve"), recipe, make)
    with open(manifest, encoding="utf-8", newline="") as f:
        return image, {row["name"]: row for row in csv.DictReader(f, delimiter="\t")}


def t_carve(s, ctx):
    """A volume whose deleted files no record remembers, opened as an image: Carve free space is
    greyed until a scan has ended, then lists after the record rows what `pelmora-cli list --carve`
    lists; a carved JPEG is previewed and recovered byte-exact as Carved\\JPEG\\f<cluster>.jpg."""
    image, manifest = make_carve_volume(s.image_dir)
    name, drive = os.path.basename(image), "Image 1 NTFS 1\\"
    listed = subprocess.run([ctx.cli.path, "list", image, "--start", "0", "--carve", "--drive-text", drive,
                             "--format", "json"], capture_output=True, check=True)
    entries = json.loads(listed.stdout.decode("utf-8"))
    expected = [[cell_cut(e["Name"]), cell_cut(e["Path"]), e["Size"], e["Created"], e["Modified"],
                 "" if e["record"] is None else str(e["record"] - 30),
                 e["state"] if e["record"] is None else state_cell(e["state"], e["overwritten_percent"])]
                for e in entries]
    carved = [e for e in entries if e["record"] is None]
    jpegs = [e for e in carved if e["Path"] == "Carved\\JPEG\\" and e["state"] == "Carved"]
    check(jpegs, "the CLI carves no whole JPEG: %r" % [e["Name"] for e in carved])
    s.start(ctx.exe)
    open_image(s, dos(os.path.dirname(image)), name)
    wait_image(s, 1, name)
    s("select", drive)
    expect_menu(menu_states(s), {CARVE: False}, "before a scan")
    check(s("toolbar-state", CARVE)[0] == [False], "the toolbar's Carve before a scan")
    s("click")
    s("wait-caption", "Scan", 120000)
    expect_menu(menu_states(s), {CARVE: True}, "after the scan")
    # From the tree's menu: the volume scanned, whatever item the click is on.
    s("right-click-tree", drive)
    states = {line[0]: line[1] for line in s("popup", 10000)[1:] if line[0] in (SCAN, CARVE)}
    s("popup-keys", VK_ESCAPE)
    check(states == {SCAN: True, CARVE: True}, "the tree's menu after the scan: %r" % states)
    s("click-toolbar", CARVE)
    sync(s)
    s("wait-caption", "Scan", 120000)
    check(s("no-box") == ["none"], "a box after the carving: %r" % s("windows"))
    damaged = sum(1 for e in carved if e["state"] != "Carved")
    status = "Carved %d files" % len(carved) + (" (%d damaged)" % damaged if damaged else "")
    check(s("status")[0][0] == status, "panes %r, wanted %r" % (s("status")[0], status))
    rows = s("rows", 7)
    check(rows == expected, "%d rows, CLI %d; the window lacks %r and has more %r" % (
        len(rows), len(expected), [r for r in expected if r not in rows][:3], [r for r in rows if r not in expected][:3]))
    expect_menu(menu_states(s), {SCAN: True, CARVE: True, RECOVER: True}, "after the carving")
    if ctx.docs:
        # The README's picture: Path narrowed and the dates hidden.
        docs_picture(s, ctx, "carved-rows.png", ((1, 110), (3, 0), (4, 0)))
    # The first whole JPEG (a row in view, where the clicks land): previewed, then recovered as the CLI names it.
    jpeg = jpegs[0]["Name"]
    wanted = [m for m in manifest.values() if m["type"] == "JPEG" and m["kind"] != "cut"]
    preview_row(s, row_of(rows, jpeg), True)
    check(eventually(lambda: len(preview_windows(s)), lambda n: n == 1, 10) == 1, "no preview of %s" % jpeg)
    check(s("no-box") == ["none"], "%s: a box at the preview" % jpeg)
    out = os.path.join(s.work, "out-carve")
    os.makedirs(out)
    s("click-row", row_of(rows, jpeg))
    recover_to(s, dos(out))
    target = os.path.join(out, "Carved", "JPEG", jpeg)
    sums = {m["sha256"] for m in wanted}
    check(eventually(lambda: sha256_of(target), lambda h: h in sums, 30) in sums,
          "%s is no deleted JPEG byte for byte: %r" % (target, files_below(out)))
    recovery_ended(s)
    check(s("no-box") == ["none"] and files_below(out) == [os.path.join("Carved", "JPEG", jpeg)],
          "after the recovery: %r" % files_below(out))


def t_deep_scan_stop(s, ctx):
    """The deep scan held in mid-disk (gatedisk.py holds the read at 32 MiB): Scan, Deep scan and
    Recover are greyed, the Scan button stops it and the status bar shows how far it is; Stop
    keeps the volume found before the stop. Closing the window in a held deep scan waits for it."""
    image, _ = make_deep_disk(s.image_dir)
    folder = os.path.join(s.work, "deep-gate")
    mount, release, gate_log = (os.path.join(folder, n) for n in ("mnt", "release", "log"))
    os.makedirs(mount)
    proc = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "gatedisk.py"), image, mount, "--log", gate_log,
                             "--hold", "%d:4096" % (32 << 20), "--release", release],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        check(eventually(lambda: os.path.exists(os.path.join(mount, "disk.img")), bool, 30), "gatedisk.py serves nothing")
        s.start(ctx.exe)
        open_image(s, dos(mount), "disk.img")
        wait_image(s, 1, "disk.img")
        s("select", "Image 1: disk.img")
        s("command", DEEP_SCAN)
        held = lambda: os.path.exists(gate_log) and any(line.startswith("held ") for line in open(gate_log))
        check(eventually(held, bool, 60), "the deep scan never reached the held read")
        check(s("button") == [["Stop Scanning", True]], "the Scan button while the deep scan runs: %r" % s("button"))
        expect_menu(menu_states(s), {SCAN: False, DEEP_SCAN: False, RECOVER: False, STOP: True}, "while the deep scan runs")
        # The toolbar's Scan is the Scan button: it stops the deep scan.
        toolbar = [s("toolbar-state", c)[0][0] for c in (SCAN, DEEP_SCAN, RECOVER)]
        check(toolbar == [True, False, False], "the toolbar while the deep scan runs: %r" % toolbar)
        pane = eventually(lambda: s("status")[0][0], lambda p: p.startswith("Deep scan: "), 10)
        check(pane.startswith("Deep scan: ") and " of 66.0 MB" in pane, "the status bar says %r" % pane)
        s("click")
        s("wait-caption", "Stopping...", 10000)
        open(release, "w").close()
        s("wait-caption", "Scan", 60000)
        if s("no-box") != ["none"]:
            raise Failed("a box after the stopped deep scan: %r" % s("box", 1000))
        check(s("status")[0][0] == "Deep scan stopped: 1 volume found", "panes %r" % s("status")[0])
        items = image_items(s, 1)
        check([text for _, text in items] == ["Image 1: disk.img", "Image 1 NTFS 1\\",
                                              "Found NTFS volume at sector 2048 (64 MB)"], "the items: %r" % items)
        expect_menu(menu_states(s), {SCAN: True, DEEP_SCAN: True}, "after the deep scan")
        # Closing the window while a deep scan waits in its read: the window waits for it and ends cleanly.
        os.remove(release)
        s("select", "Image 1: disk.img")
        s("command", DEEP_SCAN)
        holds = lambda: sum(line.startswith("held ") for line in open(gate_log))
        check(eventually(holds, lambda n: n >= 2, 60) >= 2, "the second deep scan never reached the held read")
        s("syscommand", SC_CLOSE)  # posted
        # The window waits for the worker, which waits in its read; it still answers sent messages.
        pane = eventually(lambda: s("status")[0][0], lambda p: p == "Stopping the deep scan...", 30)
        check(pane == "Stopping the deep scan..." and s.app.poll() is None, "closing in a deep scan: %r" % pane)
        open(release, "w").close()
        try:
            s.app.wait(60)
        except subprocess.TimeoutExpired:
            raise Failed("the program did not end after the deep scan was let go")
        s.app = None
        s.app_log.flush()
        with open(s.app_log.name, "rb") as log_file:
            check(b"Unhandled exception" not in log_file.read(), "Wine logged an unhandled exception")
    finally:
        open(release, "w").close()
        s.stop_app()
        subprocess.run(["umount", mount], stderr=subprocess.DEVNULL)
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            subprocess.run(["umount", "-l", mount], stderr=subprocess.DEVNULL)
            proc.kill()


def t_deep_scan_disk(s, ctx):
    """The same disk as a physical drive (physicaldrive3): Deep scan on its partition puts the lost
    volume under the partition's item, and its scan lists the CLI's rows."""
    image, _ = make_deep_disk(s.image_dir)
    link = os.path.join(s.prefix, "dosdevices", "physicaldrive3")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(image, link)
    try:
        s.start(ctx.exe)
        s("select", "Disk 3 NTFS 1\\")
        s("command", DEEP_SCAN)
        sync(s)
        s("wait-caption", "Scan", 120000)
        if s("no-box") != ["none"]:
            raise Failed("a box after the deep scan: %r" % s("box", 1000))
        tree = s("tree")
        at = next(i for i, item in enumerate(tree) if item[3] == "Disk 3 NTFS 1\\")
        below = tree[at + 1] if at + 1 < len(tree) else None
        check(below is not None and below[0] == tree[at][0] + 1 and below[1] and
              below[3] == "Found NTFS volume at sector 2048 (64 MB)", "the tree after the deep scan: %r" % tree)
        s("click")
        s("wait-caption", "Scan", 120000)
        listed = subprocess.run([ctx.cli.path, "list", image, "--start", "2048", "--count", "131072", "--found", "1",
                                 "--drive-text", "Found volume 1\\", "--format", "json"], capture_output=True, check=True)
        expected = [[cell_cut(e["Name"]), cell_cut(e["Path"]), e["Size"], e["Created"], e["Modified"],
                     str(e["record"] - 30)] for e in json.loads(listed.stdout.decode("utf-8"))]
        rows = s("rows")
        check(expected and rows == expected, "%d rows, CLI %d" % (len(rows), len(expected)))
    finally:
        s.stop_app()
        os.remove(link)

def t_not_on_disk(s, ctx):
    """tools/mkvolume.py's placeholders set, opened as an image of one volume: the State column
    says "Not on this disk" where the CLI does, wide enough for it; preview and Recover refuse those
    files with the window's words, and a record reused after the scan (its sequence number raised
    on the image) is refused too, while the file beside it in the batch comes back."""
    folder = os.path.join(s.work, "placeholders")
    os.makedirs(folder)
    image = os.path.join(folder, "ph.img")
    run([sys.executable, os.path.join(TOOLS, "mkvolume.py"), "ntfs", image, "--set", "placeholders",
         "--serial", "0x0A0A0B0B0C0C0D09", "--manifest", image + ".tsv"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(image + ".tsv", encoding="utf-8", newline="") as f:
        manifest = {row["path"]: row for row in csv.DictReader(f, delimiter="\t")}
    listed = subprocess.run([ctx.cli.path, "list", image, "--start", "0", "--format", "json"], capture_output=True, check=True)
    states = {e["Name"]: state_cell(e["state"], e["overwritten_percent"]) for e in json.loads(listed.stdout.decode("utf-8"))}
    check("Not on this disk" in states.values(), "the CLI lists no file that is not on this disk: %r" % states)
    s.start(ctx.exe)
    open_image(s, dos(folder), "ph.img")
    wait_image(s, 1, "ph.img")
    s("select", "Image 1 NTFS 1\\")
    rows = scan_selected(s, ctx.cli, image, None, "Image 1 NTFS 1\\")
    shown = {r[0]: r[6] for r in s("rows", 7)}
    check(shown == states, "states %r, CLI %r" % (shown, states))
    width, text_width = (int(v) for v in s("column-fits", 6, "Not on this disk")[0])
    check(width >= text_width + 12, "the State column is %d pixels for a text of %d" % (width, text_width))
    offline = "Not on this disk: its bytes are kept elsewhere (a cloud provider or a deduplication store)."
    reused = "The file's record was reused after the scan; scan again."
    program = os.path.splitext(os.path.basename(ctx.exe))[0]
    preview_row(s, row_of(rows, "report.docx"), True)
    box = s("box", 10000)[0]
    check(box == [program, offline], "the preview of report.docx: %r" % box)
    s("dismiss")
    # pinned.txt's record used again: its sequence number raised on the image behind the window's back.
    record = int(manifest["Cloud/pinned.txt"]["record"])
    text = subprocess.run(["istat", image, "0"], capture_output=True, check=True).stdout.decode()
    mft = int(text.split("Type: $DATA", 1)[1].splitlines()[1].split()[0])
    with open(image, "r+b") as f:
        f.seek(mft * 4096 + record * 1024 + 0x10)
        sequence = int.from_bytes(f.read(2), "little")
        f.seek(-2, 1)
        f.write(((sequence + 1) & 0xFFFF).to_bytes(2, "little"))
    preview_row(s, row_of(rows, "pinned.txt"), True)
    box = s("box", 10000)[0]
    check(box == [program, reused], "the preview of pinned.txt after its record was reused: %r" % box)
    s("dismiss")
    out = os.path.join(s.work, "out-placeholders")
    os.makedirs(out)
    select_rows(s, sorted(row_of(rows, n) for n in ("report.docx", "pinned.txt", "plain.txt")))
    recover_to(s, dos(out))
    head, failures = summary(s)
    recovery_ended(s)
    check(head == "Recovered 1 of 3 files to %s.\r\n2 files could not be recovered:" % dos(out), "summary %r" % head)
    check(sorted(failures) == sorted(["Image 1 NTFS 1\\Cloud\\report.docx: " + offline,
                                      "Image 1 NTFS 1\\Cloud\\pinned.txt: " + reused]), "failures %r" % failures)
    s("press", SUMMARY_CAPTION, IDOK)
    check(not wait_outputs([(os.path.join(out, "Cloud", "plain.txt"), manifest["Cloud/plain.txt"])]) and
          files_below(out) == [os.path.join("Cloud", "plain.txt")], "the folder holds %r" % files_below(out))

SCENARIOS = [
    ("tree", t_tree),
    ("smoke", t_smoke),
    ("scan", t_scan),
    ("stop", t_stop),
    ("menus", t_menus),
    ("root-selected", t_root),
    ("fat-partition", t_fat),
    ("no-disk", t_no_disk),
    ("close-while-scanning", t_close_scanning),
    ("screenshot", t_screenshot),
    ("recover", t_recover),
    ("recover-clash", t_recover_clash),
    ("recover-cancel", t_recover_cancel),
    ("recover-same-drive", t_recover_same_drive),
    ("recover-error", t_recover_error),
    ("recover-existing", t_recover_existing),
    ("recover-progress", t_recover_progress),
    ("recover-stop", t_recover_stop),
    ("close-while-recovering", t_close_recovering),
    ("scan-read-error", t_scan_read_error),
    ("failing-disk", t_failing_disk),
    ("find", t_find),
    ("find-keys", t_find_keys),
    ("sort", t_sort),
    ("selection-count", t_selection_count),
    ("context-menu", t_context_menu),
    ("preview", t_preview),
    ("preview-fails", t_preview_fails),
    ("about", t_about),
    ("web-links", t_web_links),
    ("docs-pictures", t_docs_pictures),
    ("volume-sets", t_volume_sets),
    ("state-column", t_state_column),
    ("virtual-list", t_virtual_list),
    ("disk-image", t_disk_image),
    ("disk-image-formats", t_disk_image_formats),
    ("disk-image-errors", t_disk_image_errors),
    ("deep-scan", t_deep_scan),
    ("deep-scan-stop", t_deep_scan_stop),
    ("deep-scan-disk", t_deep_scan_disk),
    ("carve", t_carve),
    ("not-on-disk", t_not_on_disk),
]


class Context:
    pass


def run_scenarios(session, chosen, ctx, label=""):
    """Runs the scenarios in one session, printing a line for each (their names
    followed by LABEL); returns (passed, failed, skipped)."""
    passed = failed = skipped = 0
    for name, scenario in chosen:
        name += label
        began = time.time()
        session.begin()
        # A scenario takes seconds; one still running after this is hung
        # somewhere outside the driver's deadlines: ending Wine ends it.
        watchdog = threading.Timer(SCENARIO_LIMIT, session.end_overdue)
        watchdog.start()
        try:
            try:
                scenario(session, ctx)
            except RigHung as why:
                # The rig hung, not the program, which still answered:
                # the scenario gets one more run with a fresh driver.
                log("%s: %s; running it again" % (name, why))
                watchdog.cancel()
                session.ensure_driver()
                # The run again gets the whole limit: ending Wine and
                # starting a fresh driver and program take seconds on a
                # busy machine.
                session.begin()
                watchdog = threading.Timer(SCENARIO_LIMIT, session.end_overdue)
                watchdog.start()
                scenario(session, ctx)
            session.stop_app()
            print("ok %s (%.1f s)" % (name, time.time() - began), flush=True)
            passed += 1
        except Skipped as why:
            print("skip %s: %s" % (name, why), flush=True)
            skipped += 1
        except Failed as why:
            print("FAIL %s: %s" % (name, why), flush=True)
            log("%s, last commands: %s" % (name, session.history()))
            failed += 1
        except Exception:
            print("FAIL %s: %s" % (name, traceback.format_exc().strip().replace("\n", " | ")), flush=True)
            log("%s, last commands: %s" % (name, session.history()))
            failed += 1
        finally:
            watchdog.cancel()
            try:
                session.stop_app()
            except Exception:
                pass
            session.ensure_driver()
    return passed, failed, skipped


def run_session(args, ctx, chosen, label=""):
    """A session of its own (Xvfb, prefix, driver) for the chosen scenarios; returns (passed, failed, skipped)."""
    with locked(driver_folder(args.bin)):
        driver = build_driver(driver_folder(args.bin))
    # Not in /tmp: Wine's folder browser matches the folders of a path by
    # their item data, modification time included, and /tmp changes all the
    # time. A parent that changed between the browser listing it and the
    # path being looked up stops the walk there ("Desktop / My Computer /
    # (Z:)"), more often the busier the machine.
    os.makedirs(args.work_root, exist_ok=True)
    work = tempfile.mkdtemp(prefix="run-", dir=args.work_root)
    session = None
    try:
        session = Session(work, args.images, driver)
        return run_scenarios(session, chosen, ctx, label)
    finally:
        if session is not None:
            session.close()
        if args.keep:
            log("work folder kept: " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)


# Run on the shipped 32-bit program where it runs only emulated (the rest of
# the run is on the 64-bit build there): a hundred times slower, so little.
EMULATED = ("smoke",)


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
    parser.add_argument("--docs", help="folder for the documentation's pictures (image-preview.png)")
    parser.add_argument("--only", help="comma-separated scenario names")
    parser.add_argument("--keep", action="store_true", help="keep the work folder (prefix, logs)")
    parser.add_argument("--work-root", default=os.path.join(ROOT, "build", "e2e-work"),
                        help="parent of the work folder, a folder that seldom changes (default %(default)s)")
    parser.add_argument("--arch", choices=("auto", "win32", "win64"), default="auto",
                        help="auto: the 32-bit program where 32-bit programs run natively, else its 64-bit build "
                             "and, emulated, a few scenarios on the 32-bit program; win32 or win64: that one only")
    args = parser.parse_args()
    started = time.time()

    ctx = Context()
    ctx.shot = os.path.abspath(args.screenshot) if args.screenshot else None
    ctx.docs = os.path.abspath(args.docs) if args.docs else None
    chosen = [(n, f) for n, f in SCENARIOS if not args.only or n in args.only.split(",")]

    def report_all_skipped(why):
        for name, _ in chosen:
            print("skip %s: %s" % (name, why))
        print("0 passed, 0 failed, %d skipped" % len(chosen))

    shipped = None  # the 32-bit program, where the run tests its 64-bit build
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
        if pe_machine(ctx.exe) == 0x14C and args.arch == "auto":
            shipped = ctx.exe
        ctx.exe = choose_arch(ctx.exe, arch=args.arch)
        if ctx.exe == shipped:
            shipped = None
    if not os.path.exists(args.cli):
        report_all_skipped("no pelmora-cli at " + args.cli)
        return 0
    with locked(args.images):
        make_images(args.images)
        ctx.manifest = make_window_disk(args.images)
        ctx.sets = make_sets_disk(args.images)
        ctx.containers = make_containers(args.images)
    ctx.cli = Cli(os.path.abspath(args.cli), args.images)

    passed, failed, skipped = run_session(args, ctx, chosen)
    again = [(n, f) for n, f in chosen if n in EMULATED]
    if shipped and again:
        label = " (32-bit, emulated)"
        if emulated_32bit():
            # A 64-bit prefix: made by 64-bit Wine, it takes seconds where a
            # 32-bit one takes minutes. The driver is 32-bit, as the program.
            use_arch(32, 64)
            ctx.exe = shipped
            ctx.emulated = True
            counts = run_session(args, ctx, again, label)
            passed, failed, skipped = passed + counts[0], failed + counts[1], skipped + counts[2]
        else:
            for name, _ in again:
                print("skip %s%s: this kernel runs no 32-bit program (tools/setup.sh registers qemu-i386 "
                      "for them)" % (name, label))
                skipped += 1
    log("run time %.0f s" % (time.time() - started))
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
