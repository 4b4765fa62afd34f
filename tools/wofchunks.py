"""System-compressed (WOF) file streams made with libwim's XPRESS and LZX
compressors, for the wof test volume (mkvolume.py --set wof) and the
fuzzers' seeds (mkfuzzseeds.py). libwim15 is loaded through ctypes.

A file's WofCompressedData stream is a table of chunk offsets (one per
chunk after the first, 4 bytes, or 8 when the file has 4 GiB or more,
counted from the table's end), then the chunks: each compressed on its own,
or stored as it is where compressing does not make it smaller.
"""
import ctypes
import struct

XPRESS4K, LZX, XPRESS8K, XPRESS16K = 0, 1, 2, 3
CHUNK = {XPRESS4K: 4096, LZX: 32768, XPRESS8K: 8192, XPRESS16K: 16384}
NAMES = {XPRESS4K: "XPRESS4K", LZX: "LZX", XPRESS8K: "XPRESS8K", XPRESS16K: "XPRESS16K"}
REPARSE_TAG = 0x80000017
_WIMLIB_XPRESS, _WIMLIB_LZX = 1, 2

_lib = None
_compressors = {}


def _wim():
    global _lib
    if _lib is None:
        _lib = ctypes.CDLL("libwim.so.15")
        _lib.wimlib_create_compressor.argtypes = [ctypes.c_int, ctypes.c_size_t, ctypes.c_uint,
                                                  ctypes.POINTER(ctypes.c_void_p)]
        _lib.wimlib_compress.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p,
                                         ctypes.c_size_t, ctypes.c_void_p]
        _lib.wimlib_compress.restype = ctypes.c_size_t
    return _lib


def compress(algorithm, data):
    """One chunk compressed, or None when that would not be smaller."""
    lib = _wim()
    if algorithm not in _compressors:
        handle = ctypes.c_void_p()
        kind = _WIMLIB_LZX if algorithm == LZX else _WIMLIB_XPRESS
        if lib.wimlib_create_compressor(kind, CHUNK[algorithm], 0, ctypes.byref(handle)) != 0:
            raise RuntimeError("libwim cannot make a %s compressor" % NAMES[algorithm])
        _compressors[algorithm] = handle
    assert 0 < len(data) <= CHUNK[algorithm]
    out = ctypes.create_string_buffer(len(data))
    n = lib.wimlib_compress(data, len(data), out, len(data) - 1, _compressors[algorithm])
    return out.raw[:n] if n else None


def stream(algorithm, data):
    """The WofCompressedData stream of a file holding `data`, and how many of
    its chunks are stored as they are."""
    chunk = CHUNK[algorithm]
    width = "<Q" if len(data) >= 1 << 32 else "<I"
    table, body, raw = [], bytearray(), 0
    for at in range(0, len(data), chunk):
        if at:
            table.append(struct.pack(width, len(body)))
        piece = data[at:at + chunk]
        packed = compress(algorithm, piece)
        raw += packed is None
        body += piece if packed is None else packed
    return b"".join(table) + bytes(body), raw


def reparse_value(algorithm):
    """The $REPARSE_POINT value of a system-compressed file."""
    return struct.pack("<IHHIIII", REPARSE_TAG, 16, 0, 1, 2, 1, algorithm)
