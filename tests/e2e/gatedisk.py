#!/usr/bin/python3
"""A disk image served read-only through FUSE whose reads can be held at a
gate or made to fail, so that a scenario can catch a recovery in the middle
of a file as a state, not by timing.

    gatedisk.py IMAGE MOUNTPOINT [--hold START:LENGTH] [--release FILE]
                [--fail START:LENGTH]... [--log FILE]

serves IMAGE as MOUNTPOINT/disk.img until `umount MOUNTPOINT` (runs in the
foreground). A read touching the --hold range waits, after appending
"held OFFSET LENGTH" to the log, until the --release file exists; from then
on nothing is held. A read touching a --fail range fails with EIO (the good
bytes before it are a short read, as on a real disk). START and LENGTH are
bytes, decimal or 0x hex. Reads go straight to this process (direct_io), so
the kernel's read-ahead never reaches into a range on its own.

Needs root (FUSE) and Debian's python3-fusepy, with Debian's own python3.
"""
import argparse
import errno
import os
import stat
import sys
import threading
import time

import fusepy

NAME = "disk.img"


def parse_range(text):
    start, _, length = text.partition(":")
    start, length = int(start, 0), int(length, 0)
    if start < 0 or length <= 0:
        raise argparse.ArgumentTypeError("a range is START:LENGTH, not empty")
    return start, start + length


class GateDisk(fusepy.Operations):
    def __init__(self, image, hold, release, fail, log):
        self.size = os.path.getsize(image)
        self.fd = os.open(image, os.O_RDONLY)
        self.hold, self.release, self.fail, self.log = hold, release, sorted(fail), log
        self.lock = threading.Lock()

    def note(self, line):
        if self.log:
            with self.lock, open(self.log, "a") as out:
                out.write(line + "\n")

    def getattr(self, path, fh=None):
        if path == "/":
            return {"st_mode": stat.S_IFDIR | 0o555, "st_nlink": 2}
        if path == "/" + NAME:
            return {"st_mode": stat.S_IFREG | 0o444, "st_nlink": 1, "st_size": self.size}
        raise fusepy.FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        return [".", "..", NAME]

    def open(self, path, flags):
        if path != "/" + NAME:
            raise fusepy.FuseOSError(errno.ENOENT)
        if flags & (os.O_WRONLY | os.O_RDWR):
            raise fusepy.FuseOSError(errno.EROFS)
        return 0

    def read(self, path, size, offset, fh):
        end = min(offset + size, self.size)
        if offset >= end:
            return b""
        if self.hold and offset < self.hold[1] and end > self.hold[0] and not os.path.exists(self.release):
            self.note("held %d %d" % (offset, size))
            # Polled: the scenario releases by making a file, a state it sets.
            while not os.path.exists(self.release):
                time.sleep(0.02)
        good = end
        for start, stop in self.fail:
            if start < end and stop > offset:
                good = min(good, max(start, offset))
        if good == offset:
            self.note("failed %d %d" % (offset, size))
            raise fusepy.FuseOSError(errno.EIO)
        return os.pread(self.fd, good - offset, offset)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("image")
    parser.add_argument("mountpoint")
    parser.add_argument("--hold", type=parse_range)
    parser.add_argument("--release", help="held reads go on once this file exists")
    parser.add_argument("--fail", type=parse_range, action="append", default=[])
    parser.add_argument("--log")
    args = parser.parse_args()
    if args.hold and not args.release:
        parser.error("--hold needs --release")
    disk = GateDisk(args.image, args.hold, args.release, args.fail, args.log)
    fusepy.FUSE(disk, args.mountpoint, foreground=True, ro=True, direct_io=True, allow_other=True, nothreads=False)
    return 0


if __name__ == "__main__":
    sys.exit(main())
