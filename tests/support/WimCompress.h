// System-compressed streams for the tests, their chunks made by libwim's
// XPRESS and LZX compressors: an encoder written apart from the decoders
// under test. Only the unit tests link libwim.
#pragma once

#include <cstdint>
#include <vector>

#include "ntfs/WofStream.h"

using Bytes = std::vector<std::uint8_t>;

// `data` (at most one chunk) compressed as one chunk for `algorithm`; empty
// when that would not be smaller than `data`.
Bytes WimCompress(wof::Algorithm algorithm, const Bytes& data);

// The WofCompressedData stream of a file holding `data`: the table of chunk
// offsets, then every chunk compressed, or as it is where compressing does
// not make it smaller.
Bytes WofCompressedStream(wof::Algorithm algorithm, const Bytes& data);
