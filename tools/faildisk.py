#!/usr/bin/python3
"""A failing disk: a disk image served read-only through FUSE, whose reads
fail with EIO wherever they touch one of the chosen byte ranges.

    faildisk.py IMAGE MOUNTPOINT --fail START:LENGTH [--fail ...] [--log FILE]

serves IMAGE as MOUNTPOINT/disk.img until `umount MOUNTPOINT` (runs in the
foreground: start it in the background and wait for the file to appear).
START and LENGTH are bytes, decimal or 0x hex, with an optional K, M or G
suffix (binary units). `--log FILE` appends one line per failed read
("offset length"), so a test can tell what was asked for. Reads go straight
to this process (direct_io): the kernel's read-ahead never turns a good
read into a failed one, and a read that starts in a good range and runs
into a bad one is a short read, as on a real disk.

Needs root (FUSE) and Debian's python3-fusepy, with Debian's own python3.
"""
import argparse
import errno
import os
import stat
import sys
import threading

import fusepy

NAME = "disk.img"


def parse_bytes(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    scale = units.get(text[-1:].upper(), 1)
    if scale != 1:
        text = text[:-1]
    return int(text, 0) * scale


def parse_range(text):
    start, _, length = text.partition(":")
    if not length:
        raise argparse.ArgumentTypeError("a range is START:LENGTH")
    start, length = parse_bytes(start), parse_bytes(length)
    if start < 0 or length <= 0:
        raise argparse.ArgumentTypeError("a range starts at 0 or later and is not empty")
    return start, start + length


class FailingDisk(fusepy.Operations):
    def __init__(self, image, bad, log=None):
        self.image = image
        self.bad = sorted(bad)
        self.log = log
        self.size = os.path.getsize(image)
        self.fd = os.open(image, os.O_RDONLY)
        self.logLock = threading.Lock()

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
        # The good bytes before the first bad one; none at all is an error.
        good = end
        for start, stop in self.bad:
            if start < end and stop > offset:
                good = min(good, max(start, offset))
        if good == offset:
            if self.log:
                with self.logLock, open(self.log, "a") as out:
                    out.write("%d %d\n" % (offset, size))
            raise fusepy.FuseOSError(errno.EIO)
        return os.pread(self.fd, good - offset, offset)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("image")
    parser.add_argument("mountpoint")
    parser.add_argument("--fail", type=parse_range, action="append", default=[], metavar="START:LENGTH")
    parser.add_argument("--log")
    args = parser.parse_args()
    disk = FailingDisk(args.image, args.fail, args.log)
    fusepy.FUSE(disk, args.mountpoint, foreground=True, ro=True, direct_io=True, allow_other=True,
                nothreads=False)
    return 0


if __name__ == "__main__":
    sys.exit(main())
