// A plain LZNT1 encoder for the tests: greedy, every displacement width the
// format has, and an uncompressed chunk where compressing does not pay.
#pragma once

#include <cstdint>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// Each 4096 bytes of `data` become one chunk; no end marker is added.
Bytes Lznt1Compress(const Bytes& data);
