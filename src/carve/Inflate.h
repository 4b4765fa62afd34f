// Raw deflate data (RFC 1951) read from a source up to the end of its last
// block: how ZIP entries and GZIP members are checked, and where they end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "carve/SourceReader.h"

namespace carve {

enum class Inflated { Whole, Invalid, CutShort, Unbounded, NoMemory };

struct InflateResult {
  std::uint64_t consumed = 0;  // compressed bytes up to the end of the last block (Whole), else as far as decoded
  std::uint64_t produced = 0;  // bytes decompressed
  std::uint32_t crc = 0;       // CRC-32 of what was decompressed
};

// Inflates from `offset` reading no byte at or past `limit`. `head`, when
// given, receives the first `headBytes` bytes decompressed (fewer when
// there are fewer).
Inflated Inflate(SourceReader& reader, std::uint64_t offset, std::uint64_t limit, InflateResult* out,
                 std::uint8_t* head = nullptr, std::size_t headBytes = 0);

}  // namespace carve
