// CRC-32 as PNG, ZIP, GZIP, 7z and RAR store it: reflected polynomial
// 0xEDB88320, initial and final value all ones.
#pragma once

#include <cstddef>
#include <cstdint>

namespace carve {

class SourceReader;

class Crc32 {
 public:
  void Update(const std::uint8_t* bytes, std::size_t size);
  std::uint32_t Value() const { return ~state; }

 private:
  std::uint32_t state = 0xFFFFFFFFu;
};

std::uint32_t Crc32Of(const std::uint8_t* bytes, std::size_t size);

// The CRC-32 of [offset, offset + length) of a source; false when the source
// ends first.
bool Crc32Of(SourceReader& reader, std::uint64_t offset, std::uint64_t length, std::uint32_t* crc);

}  // namespace carve
