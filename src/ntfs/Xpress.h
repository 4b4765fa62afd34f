// XPRESS with Huffman coding (LZ77 + canonical Huffman), as system-compressed
// files store their 4, 8 and 16 KiB chunks: one chunk's bytes in, the
// chunk's known number of bytes out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Types.h"

namespace xpress {

// One code-length table covers this much output; a chunk decoded here never
// needs a second one.
constexpr std::size_t MaxOutputBytes = 65536;

// Decompresses `input` into exactly `size` bytes at `output`. Returns code::FileCorrupt
// (the file is corrupt) for a bad code-length table, a bit pattern no code
// has, a match before the output's start or past its end, or input that
// ends first; code::InvalidParameter when `size` exceeds MaxOutputBytes. Nothing is read or
// written out of bounds; the only scratch is a few KiB of stack.
DWORD Decompress(const std::uint8_t* input, std::size_t length, std::uint8_t* output, std::size_t size);

}  // namespace xpress
