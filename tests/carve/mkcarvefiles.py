#!/usr/bin/env python3
"""Makes the carving tests' files with real tools, and a manifest of what each is.

    mkcarvefiles.py OUTDIR

Writes OUTDIR/<name> for every file and OUTDIR/manifest.tsv with the columns
name, type (the type table's name), extension, subtype, created, modified
(YYYY-MM-DD HH:MM:SS, a trailing L for the writer's wall clock, empty when the
file carries none), corrupt_at and corrupt_hex (bytes written there make the
file fail its checks partway; empty where nothing past the header is checked)
and prefix (the length of a shorter, whole file at its start: a PDF's first
revision). The tools: ImageMagick, exiftool, jpegtran, lame, 7z, zip, gzip, tar,
MinGW-w64, openssl and osslsigncode; Python's zipfile, sqlite3 and wave. RAR has no free writer: those
archives are laid out here from the format's description. A missing tool
fails the run.
"""
import datetime
import io
import os
import shutil
import sqlite3
import struct
import subprocess
import sys
import wave
import zipfile
import zlib

OUT = sys.argv[1]
ROWS = []
PATTERN = ["-size", "64x48", "xc:black", "-channel", "R", "-fx", "i/w", "-channel", "G", "-fx", "j/h",
           "-channel", "B", "-fx", "(i*j%7)/6", "+channel"]


def path(name):
    return os.path.join(OUT, name)


def run(*args, **kwargs):
    subprocess.run(args, check=True, cwd=OUT, stdout=subprocess.DEVNULL, **kwargs)


def data(name):
    with open(path(name), "rb") as f:
        return f.read()


def add(name, type_, ext, subtype, created="", modified="", corrupt_at="", corrupt_hex="", prefix=""):
    ROWS.append([name, type_, ext, subtype, created, modified, str(corrupt_at), corrupt_hex, str(prefix)])


# JPEG: segments and the entropy-coded data of each scan, as (start, end) ranges.
def jpeg_scans(b):
    pos, scans = 2, []
    while pos < len(b):
        assert b[pos] == 0xFF
        marker = b[pos + 1]
        if marker == 0xD9:
            return scans
        length = struct.unpack(">H", b[pos + 2:pos + 4])[0]
        pos += 2 + length
        if marker == 0xDA:
            start = pos
            while not (b[pos] == 0xFF and b[pos + 1] not in (0x00,) and not 0xD0 <= b[pos + 1] <= 0xD7):
                pos += 1
            scans.append((start, pos))
    return scans


def jpegs():
    run("convert", *PATTERN, "-quality", "90", "plain.jpg")
    run("convert", *PATTERN, "-resize", "16x12", "thumb.jpg")
    shutil.copy(path("plain.jpg"), path("exif.jpg"))
    run("exiftool", "-q", "-overwrite_original", "-ThumbnailImage<=thumb.jpg",
        "-DateTimeOriginal=2021:03:04 05:06:07", "-ModifyDate=2022:01:02 03:04:05", "exif.jpg")
    b = data("exif.jpg")
    start, end = max(jpeg_scans(b), key=lambda r: r[1] - r[0])
    add("exif.jpg", "JPEG", "jpg", "JPEG (EXIF)", "2021-03-04 05:06:07L", "2022-01-02 03:04:05L",
        (start + end) // 2, "ff02")
    run("convert", *PATTERN, "-interlace", "JPEG", "progressive.jpg")
    b = data("progressive.jpg")
    scans = jpeg_scans(b)
    assert len(scans) > 1
    start, end = max(scans, key=lambda r: r[1] - r[0])
    add("progressive.jpg", "JPEG", "jpg", "progressive JPEG (JFIF)", corrupt_at=(start + end) // 2, corrupt_hex="ff05")
    with open(path("restart.jpg"), "wb") as f:
        subprocess.run(["jpegtran", "-restart", "1B", "plain.jpg"], check=True, cwd=OUT, stdout=f)
    b = data("restart.jpg")
    start, end = jpeg_scans(b)[0]
    rst = [i for i in range(start, end) if b[i] == 0xFF and 0xD0 <= b[i + 1] <= 0xD7]
    assert len(rst) > 2
    # The second restart marker numbered as the fourth.
    add("restart.jpg", "JPEG", "jpg", "JPEG (JFIF)", corrupt_at=rst[1], corrupt_hex="ffd3")


def png_chunks(b):
    pos, chunks = 8, []
    while pos < len(b):
        length = struct.unpack(">I", b[pos:pos + 4])[0]
        chunks.append((b[pos + 4:pos + 8], pos, length))
        pos += 12 + length
    return chunks


def pngs():
    run("convert", *PATTERN, "png:image.png")
    b = data("image.png")
    chunks = png_chunks(b)
    modified = ""
    for kind, pos, length in chunks:
        if kind == b"tIME":
            y, mo, d, h, mi, s = struct.unpack(">HBBBBB", b[pos + 8:pos + 15])
            modified = "%04d-%02d-%02d %02d:%02d:%02d" % (y, mo, d, h, mi, s)
    _, idat, length = next(c for c in chunks if c[0] == b"IDAT")
    add("image.png", "PNG", "png", "PNG", modified=modified, corrupt_at=idat + 8 + length // 2, corrupt_hex="55aa")


def gif_images(b):
    pos = 13 + ((3 << ((b[10] & 7) + 1)) if b[10] & 0x80 else 0)
    images = []
    while b[pos] != 0x3B:
        if b[pos] == 0x2C:
            images.append(pos)
            flags = b[pos + 9]
            pos += 10 + ((3 << ((flags & 7) + 1)) if flags & 0x80 else 0) + 1
        else:
            pos += 2
        while b[pos]:
            pos += 1 + b[pos]
        pos += 1
    return images


def gifs():
    run("convert", "-delay", "10", *PATTERN, "(", "+clone", "-negate", ")", "animated.gif")
    images = gif_images(data("animated.gif"))
    assert len(images) == 2
    add("animated.gif", "GIF", "gif", "animated GIF", corrupt_at=images[1], corrupt_hex="99")
    run("convert", *PATTERN, "GIF87:still.gif")
    add("still.gif", "GIF", "gif", "GIF87a")


def bmps():
    # No checks see into an uncompressed bitmap's pixels: no corruption row.
    run("convert", *PATTERN, "BMP:v5.bmp")
    add("v5.bmp", "BMP", "bmp", "BMP (v5)")
    run("convert", *PATTERN, "BMP3:v3.bmp")
    add("v3.bmp", "BMP", "bmp", "BMP")
    run("convert", *PATTERN, "-colors", "16", "-type", "Palette", "-compress", "RLE", "BMP3:rle.bmp")
    b = data("rle.bmp")
    assert struct.unpack("<I", b[30:34])[0] == 1, "RLE8 expected"
    add("rle.bmp", "BMP", "bmp", "BMP")


def tiff_ifds(b):
    order = "<" if b[:2] == b"II" else ">"
    ifds, pos = [], struct.unpack(order + "I", b[4:8])[0]
    while pos:
        ifds.append(pos)
        count = struct.unpack(order + "H", b[pos:pos + 2])[0]
        pos = struct.unpack(order + "I", b[pos + 2 + 12 * count:pos + 6 + 12 * count])[0]
    return ifds


def tiffs():
    run("convert", *PATTERN, "(", "+clone", "-negate", ")", "-compress", "None", "pages.tif")
    ifds = tiff_ifds(data("pages.tif"))
    assert len(ifds) == 2 and ifds[0] < ifds[1]
    # The second page's IFD, after the first page and its own data: its first entry's type made 0.
    add("pages.tif", "TIFF", "tif", "TIFF", corrupt_at=ifds[1] + 4, corrupt_hex="0000")
    run("convert", *PATTERN, "-compress", "Zip", "exif.tif")
    run("exiftool", "-q", "-overwrite_original", "-DateTimeOriginal=2020:02:29 23:59:58",
        "-ModifyDate=2020:03:01 00:00:01", "exif.tif")
    add("exif.tif", "TIFF", "tif", "TIFF", "2020-02-29 23:59:58L", "2020-03-01 00:00:01L")
    run("convert", *PATTERN, "-define", "tiff:endian=msb", "-compress", "LZW", "motorola.tif")
    assert data("motorola.tif")[:2] == b"MM"
    add("motorola.tif", "TIFF", "tif", "TIFF")
    run("convert", *PATTERN, "TIFF64:big.tif")
    add("big.tif", "TIFF", "tif", "BigTIFF")
    shutil.copy(path("motorola.tif"), path("nikon.tif"))
    run("exiftool", "-q", "-overwrite_original", "-Make=NIKON CORPORATION", "-Model=D3", "nikon.tif")
    add("nikon.tif", "TIFF", "nef", "Nikon NEF")
    shutil.copy(path("motorola.tif"), path("dng.tif"))
    run("exiftool", "-q", "-overwrite_original", "-DNGVersion=1.4.0.0", "dng.tif")
    add("dng.tif", "TIFF", "dng", "DNG")


class Pdf:
    """A PDF written by hand: objects, then a cross-reference table or stream."""

    def __init__(self, version):
        self.out = bytearray(b"%PDF-" + version + b"\n%\xe2\xe3\xcf\xd3\n")
        self.offsets = {}

    def obj(self, number, body):
        self.offsets[number] = len(self.out)
        self.out += b"%d 0 obj\n%s\nendobj\n" % (number, body)

    def table(self, numbers, trailer):
        at = len(self.out)
        self.out += b"xref\n"
        for number in numbers:
            self.out += b"%d 1\n%010d 00000 n \n" % (number, self.offsets[number])
        self.out += b"trailer\n" + trailer + b"\nstartxref\n%d\n%%%%EOF\n" % at
        return at

    def stream(self, number, size, root):
        at = len(self.out)
        self.offsets[number] = at
        rows = b"\x00\x00\x00\xff" + b"".join(struct.pack(">BHB", 1, self.offsets[n], 0) for n in range(1, number + 1))
        self.out += (b"%d 0 obj\n<< /Type /XRef /Size %d /W [1 2 1] /Root %d 0 R /Length %d >>\nstream\n"
                     % (number, size, root, len(rows)))
        self.out += rows + b"\nendstream\nendobj\nstartxref\n%d\n%%%%EOF\n" % at
        return at


def pdfs():
    pdf = Pdf(b"1.4")
    pdf.obj(1, b"<< /Type /Catalog /Pages 2 0 R >>")
    pdf.obj(2, b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    pdf.obj(3, b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >>")
    pdf.obj(4, b"<< /Producer (hand) /CreationDate (D:20190506070809+02'00') >>")
    at = len(pdf.out)
    pdf.out += b"xref\n0 5\n0000000000 65535 f \n"
    pdf.out += b"".join(b"%010d 00000 n \n" % pdf.offsets[n] for n in range(1, 5))
    pdf.out += b"trailer\n<< /Size 5 /Root 1 0 R /Info 4 0 R >>\nstartxref\n%d\n%%%%EOF\n" % at
    first = len(pdf.out)
    # The update: a new Info dictionary with a ModDate, and its own table.
    pdf.obj(4, b"<< /Producer (hand) /CreationDate (D:20190506070809+02'00') /ModDate (D:20200102030405Z) >>")
    last = pdf.table([4], b"<< /Size 5 /Root 1 0 R /Info 4 0 R /Prev %d >>" % at)
    with open(path("update.pdf"), "wb") as f:
        f.write(pdf.out)
    digits = pdf.out.rindex(b"%d\n%%%%EOF" % last)
    add("update.pdf", "PDF", "pdf", "PDF 1.4", "2019-05-06 05:08:09", "2020-01-02 03:04:05",
        digits, "39", prefix=first)

    pdf = Pdf(b"1.5")
    pdf.obj(1, b"<< /Type /Catalog /Pages 2 0 R >>")
    pdf.obj(2, b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    pdf.obj(3, b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >>")
    at = pdf.stream(4, 5, 1)
    with open(path("xrefstream.pdf"), "wb") as f:
        f.write(pdf.out)
    add("xrefstream.pdf", "PDF", "pdf", "PDF 1.5", corrupt_at=pdf.out.rindex(b"%d\n%%%%EOF" % at), corrupt_hex="39")


def dos_time(t):
    return "%04d-%02d-%02d %02d:%02d:%02d" % (t[0], t[1], t[2], t[3], t[4], t[5] // 2 * 2)


def zips():
    text = b"Carving finds files that no record remembers.\n" * 40
    latest = (2023, 7, 8, 9, 10, 12)

    def entry(archive, name, payload, when=(2021, 1, 2, 3, 4, 6), method=zipfile.ZIP_DEFLATED):
        info = zipfile.ZipInfo(name, when)
        info.compress_type = method
        archive.writestr(info, payload)

    def first_deflated(b):
        name_length, extra_length = struct.unpack("<HH", b[26:30])
        method = struct.unpack("<H", b[8:10])[0]
        assert method == 8
        start = 30 + name_length + extra_length
        return start + struct.unpack("<I", b[18:22])[0] // 2

    with zipfile.ZipFile(path("plain.zip"), "w") as z:
        entry(z, "notes.txt", text)
        entry(z, "stored.bin", bytes(range(256)) * 4, latest, zipfile.ZIP_STORED)
        z.comment = b"an archive comment"
    add("plain.zip", "ZIP", "zip", "ZIP archive", modified=dos_time(latest) + "L",
        corrupt_at=first_deflated(data("plain.zip")), corrupt_hex="00ff00ff")

    with zipfile.ZipFile(path("report.docx"), "w") as z:
        entry(z, "[Content_Types].xml", b"<Types/>" * 20)
        entry(z, "_rels/.rels", b"<Relationships/>" * 10)
        entry(z, "word/document.xml", text)
        entry(z, "word/media/image1.jpg", data("plain.jpg"), latest, zipfile.ZIP_STORED)
    add("report.docx", "ZIP", "docx", "Word document", modified=dos_time(latest) + "L")

    for name, mime, ext, subtype in [("sheet.ods", b"application/vnd.oasis.opendocument.spreadsheet", "ods",
                                      "OpenDocument spreadsheet"),
                                     ("book.epub", b"application/epub+zip", "epub", "EPUB book")]:
        with zipfile.ZipFile(path(name), "w") as z:
            entry(z, "mimetype", mime, method=zipfile.ZIP_STORED)
            entry(z, "META-INF/manifest.xml", b"<manifest/>" * 30)
            entry(z, "content.xml", text)
        add(name, "ZIP", ext, subtype, modified=dos_time((2021, 1, 2, 3, 4, 6)) + "L")

    # Written to a stream that cannot seek: every entry has a data descriptor.
    class Unseekable(io.RawIOBase):
        def __init__(self, f):
            self.f = f

        def writable(self):
            return True

        def write(self, b):
            return self.f.write(b)

    with open(path("app.jar"), "wb") as raw, zipfile.ZipFile(Unseekable(raw), "w") as z:
        entry(z, "META-INF/MANIFEST.MF", b"Manifest-Version: 1.0\r\n\r\n")
        entry(z, "Main.class", text)
        entry(z, "stored.bin", bytes(range(256)) * 4, method=zipfile.ZIP_STORED)
    b = data("app.jar")
    assert struct.unpack("<H", b[6:8])[0] & 8
    add("app.jar", "ZIP", "jar", "Java archive", modified=dos_time((2021, 1, 2, 3, 4, 6)) + "L",
        corrupt_at=first_deflated(b) + 2, corrupt_hex="ffffffff")

    with zipfile.ZipFile(path("zip64.zip"), "w") as z:
        info = zipfile.ZipInfo("big.txt", latest)
        info.compress_type = zipfile.ZIP_DEFLATED
        with z.open(info, "w", force_zip64=True) as f:
            f.write(text)
    add("zip64.zip", "ZIP", "zip", "ZIP archive", modified=dos_time(latest) + "L")

    # zip writing to a pipe: data descriptors; DOS times are the local clock.
    os.makedirs(path("tree/dir"), exist_ok=True)
    with open(path("tree/dir/a.txt"), "wb") as f:
        f.write(text)
    stamp = datetime.datetime(2022, 5, 6, 7, 8, 10).timestamp()
    os.utime(path("tree/dir/a.txt"), (stamp, stamp))
    os.utime(path("tree/dir"), (stamp - 3600, stamp - 3600))
    with open(path("fromzip.zip"), "wb") as f:
        subprocess.run(["zip", "-q", "-r", "-", "dir"], check=True, cwd=path("tree"), stdout=f)
    add("fromzip.zip", "ZIP", "zip", "ZIP archive", modified="2022-05-06 07:08:10L")


def box(kind, payload):
    return struct.pack(">I", 8 + len(payload)) + kind + payload


def media():
    # mvhd version 0: times in seconds since 1904.
    epoch = datetime.datetime(1904, 1, 1)
    created = int((datetime.datetime(2018, 9, 10, 11, 12, 13) - epoch).total_seconds())
    modified = int((datetime.datetime(2018, 9, 10, 11, 20, 0) - epoch).total_seconds())
    mvhd = box(b"mvhd", struct.pack(">B3xIIII", 0, created, modified, 1000, 5000) + bytes(80))
    moov = box(b"moov", mvhd + box(b"trak", box(b"tkhd", bytes(84))))
    samples = bytes((i * 37) & 0xFF for i in range(5000))
    for name, brand, ext, subtype in [("movie.mp4", b"isom", "mp4", "MPEG-4 media"),
                                      ("song.m4a", b"M4A ", "m4a", "MPEG-4 audio"),
                                      ("clip.mov", b"qt  ", "mov", "QuickTime movie"),
                                      ("phone.3gp", b"3gp5", "3gp", "3GPP media")]:
        ftyp = box(b"ftyp", brand + struct.pack(">I", 0) + brand + b"isom")
        mdat = box(b"mdat", samples)
        with open(path(name), "wb") as f:
            f.write(ftyp + mdat + box(b"free", bytes(16)) + moov)
        # moov, last, made unreadable as a box: the movie is missing.
        add(name, "ISO media", ext, subtype, "2018-09-10 11:12:13", "2018-09-10 11:20:00",
            len(ftyp + mdat) + 24 + 4, "00010203")
    # A 64-bit mdat size, and a HEIC still (meta, no movie).
    ftyp = box(b"ftyp", b"heic" + bytes(4) + b"mif1heic")
    large = b"\x00\x00\x00\x01mdat" + struct.pack(">Q", 16 + len(samples)) + samples
    with open(path("still.heic"), "wb") as f:
        f.write(ftyp + box(b"meta", bytes(4) + box(b"hdlr", bytes(24))) + large)
    add("still.heic", "ISO media", "heic", "HEIC image")


def riffs():
    with wave.open(path("tone.wav"), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(22050)
        w.writeframes(b"".join(struct.pack("<h", (i * 97 % 2000) - 1000) for i in range(22050)))
    b = data("tone.wav")
    add("tone.wav", "RIFF", "wav", "WAVE audio", corrupt_at=b.index(b"data"), corrupt_hex="00")
    run("convert", *PATTERN, "image.webp")
    add("image.webp", "RIFF", "webp", "WebP image")


def mp3s():
    run("lame", "--quiet", "-b", "128", "--tt", "Carved", "--ta", "Pelmora", "--add-id3v2", "tone.wav", "tagged.mp3")
    b = data("tagged.mp3")
    start = 10 + ((b[6] << 21) | (b[7] << 14) | (b[8] << 7) | b[9])
    frames = [start]
    # 128 kbit/s at 22050 Hz, MPEG-2 layer III: 72 * 128000 / 22050 bytes and the padding bit.
    while b[frames[-1]] == 0xFF:
        pad = (b[frames[-1] + 2] >> 1) & 1
        frames.append(frames[-1] + 72 * 128000 // 22050 + pad)
    add("tagged.mp3", "MP3", "mp3", "MP3", corrupt_at=frames[len(frames) // 2], corrupt_hex="00")
    run("lame", "--quiet", "-t", "-b", "64", "tone.wav", "bare.mp3")
    add("bare.mp3", "MP3", "mp3", "MP3")


def databases():
    db = sqlite3.connect(path("notes.sqlite"))
    db.execute("CREATE TABLE notes (id INTEGER PRIMARY KEY, body TEXT)")
    db.executemany("INSERT INTO notes (body) VALUES (?)", [("note %d " % i * 20,) for i in range(400)])
    db.commit()
    db.close()
    add("notes.sqlite", "SQLite", "sqlite", "SQLite 3 database")


def archives():
    run("7z", "a", "-bd", "-y", "archive.7z", "plain.jpg", "tree")
    b = data("archive.7z")
    next_offset, next_size = struct.unpack("<QQ", b[12:28])
    add("archive.7z", "7z", "7z", "7z archive", corrupt_at=32 + next_offset + next_size // 2, corrupt_hex="5a")
    os.utime(path("tree/dir/a.txt"), (1600000000, 1600000000))
    with open(path("a.txt.gz"), "wb") as f:
        subprocess.run(["gzip", "-c", "-9", "tree/dir/a.txt"], check=True, cwd=OUT, stdout=f)
    b = data("a.txt.gz")
    add("a.txt.gz", "GZIP", "gz", "gzip", modified="2020-09-13 12:26:40", corrupt_at=len(b) - 6, corrupt_hex="ff")
    run("tar", "czf", "tree.tar.gz", "--mtime=2020-09-13 12:26:40", "-C", "tree", "dir")
    add("tree.tar.gz", "GZIP", "tar.gz", "gzip (tar)", corrupt_at=len(data("tree.tar.gz")) // 2, corrupt_hex="0000ffff")


def rar5():
    def vint(n):
        out = bytearray()
        while True:
            out.append((n & 0x7F) | (0x80 if n > 0x7F else 0))
            n >>= 7
            if not n:
                return bytes(out)

    def block(type_, flags, fields=b"", payload=b""):
        body = vint(type_) + vint(flags | (2 if payload else 0)) + (vint(len(payload)) if payload else b"") + fields
        head = vint(len(body)) + body
        return struct.pack("<I", zlib.crc32(head)) + head + payload

    stored = b"stored by hand\n" * 30
    name = b"hand.txt"
    # File header fields: file flags, unpacked size, attributes, CRC-32 (flag 4), compression info, host OS, name.
    fields = vint(4) + vint(len(stored)) + vint(0x20) + struct.pack("<I", zlib.crc32(stored)) + vint(0) + vint(0) + \
        vint(len(name)) + name
    out = b"Rar!\x1a\x07\x01\x00" + block(1, 0, vint(0)) + block(2, 0, fields, stored)
    corrupt = len(out) - len(stored) - 6
    out += block(5, 0, vint(0))
    with open(path("hand5.rar"), "wb") as f:
        f.write(out)
    add("hand5.rar", "RAR", "rar", "RAR 5 archive", corrupt_at=corrupt, corrupt_hex="7f")


def rar4():
    def block(type_, flags, fields=b"", payload=b""):
        size = 7 + len(fields)
        head = struct.pack("<BHH", type_, flags, size) + fields
        return struct.pack("<H", zlib.crc32(head) & 0xFFFF) + head + payload

    stored = b"stored by hand, older layout\n" * 20
    name = b"hand4.txt"
    # File header: packed and unpacked sizes, host OS, file CRC, DOS time, version, method 0x30 (store),
    # name size, attributes, then the name.
    fields = struct.pack("<IIBIIBBHI", len(stored), len(stored), 2, zlib.crc32(stored), 0x56A54A5B, 29, 0x30,
                         len(name), 0x20) + name
    out = b"Rar!\x1a\x07\x00" + block(0x73, 0, bytes(6))
    corrupt = len(out) + 7  # the packed size's low byte
    out += block(0x74, 0x8000, fields, stored) + block(0x7B, 0x4000)
    with open(path("hand4.rar"), "wb") as f:
        f.write(out)
    add("hand4.rar", "RAR", "rar", "RAR 4 archive", corrupt_at=corrupt, corrupt_hex="00")


def executables():
    with open(path("hello.c"), "w") as f:
        f.write('#include <stdio.h>\nint main(void) { puts("carved"); return 0; }\n')
    with open(path("lib.c"), "w") as f:
        f.write("__declspec(dllexport) int twice(int x) { return 2 * x; }\n")
    run("i686-w64-mingw32-gcc", "-O1", "-o", "hello.exe", "hello.c")
    add("hello.exe", "PE", "exe", "Windows executable (x86)", created=pe_time(data("hello.exe")))
    run("x86_64-w64-mingw32-gcc", "-O1", "-s", "-shared", "-o", "lib.dll", "lib.c")
    add("lib.dll", "PE", "dll", "Windows DLL (x64)", created=pe_time(data("lib.dll")))
    # Signed: the certificate table lies past the sections, where only the data directory says.
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Pelmora test", "-days", "2",
        "-keyout", "key.pem", "-out", "cert.pem", stderr=subprocess.DEVNULL)
    run("osslsigncode", "sign", "-certs", "cert.pem", "-key", "key.pem", "-in", "lib.dll", "-out", "signed.dll")
    assert len(data("signed.dll")) > len(data("lib.dll"))
    add("signed.dll", "PE", "dll", "Windows DLL (x64)", created=pe_time(data("signed.dll")))


def pe_time(b):
    at = struct.unpack("<I", b[0x3C:0x40])[0]
    stamp = struct.unpack("<I", b[at + 8:at + 12])[0]
    if stamp == 0:
        return ""
    return datetime.datetime.fromtimestamp(stamp, datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")


def main():
    os.makedirs(OUT, exist_ok=True)
    for make in (jpegs, pngs, gifs, bmps, tiffs, pdfs, zips, media, riffs, mp3s, databases, archives, rar5, rar4,
                 executables):
        make()
    with open(path("manifest.tsv"), "w") as f:
        f.write("\t".join(["name", "type", "extension", "subtype", "created", "modified", "corrupt_at",
                           "corrupt_hex", "prefix"]) + "\n")
        for row in ROWS:
            f.write("\t".join(row) + "\n")


main()
