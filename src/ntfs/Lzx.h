// LZX as WIM files and system-compressed files use it: every chunk of up to
// 32 KiB is its own stream with its own window, block-size fields are short,
// and x86 call targets are translated with a fixed size. One chunk's bytes
// in, the chunk's known number of bytes out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Types.h"

namespace lzx {

constexpr std::size_t WindowBytes = 32768;  // the window, and so the largest chunk

// Decompresses `input` into exactly `size` bytes at `output`. Returns code::FileCorrupt
// (the file is corrupt) for a bad block type or size, code lengths that
// make no prefix code, a bit pattern no code has, a match before the
// output's start or past its end, or input that ends first; code::InvalidParameter when `size`
// exceeds WindowBytes. Nothing is read or written out of bounds; the only
// scratch is about 14 KiB of stack.
DWORD Decompress(const std::uint8_t* input, std::size_t length, std::uint8_t* output, std::size_t size);

}  // namespace lzx
