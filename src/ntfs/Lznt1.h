// LZNT1, the compression of NTFS compressed files: one compression unit's
// clusters in, the unit's bytes out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Types.h"

namespace lznt1 {

constexpr std::size_t ChunkBytes = 4096;  // every chunk stands for this much output

// Decompresses `input` into `output`, which has room for `capacity` bytes:
// each chunk fills its 4096 bytes of output, zero-padded where it
// decompresses to less; the stream ends at a zero header, at the end of the
// input or when the output is full. `*produced` receives the bytes written.
// Returns code::FileCorrupt for a chunk that claims more input than there
// is, a back-reference before the chunk's start, output past `capacity`, or
// an uncompressed chunk longer than 4096 bytes; nothing is ever read or
// written out of bounds.
DWORD Decompress(const std::uint8_t* input, std::size_t length, std::uint8_t* output, std::size_t capacity,
                 std::size_t* produced);

}  // namespace lznt1
