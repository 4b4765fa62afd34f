#include "carve/Crc32.h"

#include <array>

#include "carve/SourceReader.h"

namespace carve {

namespace {

constexpr std::uint32_t Polynomial = 0xEDB88320u;  // x^32 + x^26 + ... + 1, bits reversed

// Slicing by eight: Tables[k][b] is the CRC of byte b followed by k zero
// bytes, so that eight bytes are folded in at a time.
using Table = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Table MakeTables() {
  Table tables{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) value = (value & 1) ? (value >> 1) ^ Polynomial : value >> 1;
    tables[0][i] = value;
  }
  for (std::size_t k = 1; k < 8; ++k)
    for (std::uint32_t i = 0; i < 256; ++i) tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFF];
  return tables;
}

constexpr Table Tables = MakeTables();

}  // namespace

void Crc32::Update(const std::uint8_t* bytes, std::size_t size) {
  std::uint32_t value = state;
  std::size_t i = 0;
  for (; size - i >= 8; i += 8) {
    const std::uint32_t low = value ^ (std::uint32_t{bytes[i]} | (std::uint32_t{bytes[i + 1]} << 8) |
                                       (std::uint32_t{bytes[i + 2]} << 16) | (std::uint32_t{bytes[i + 3]} << 24));
    value = Tables[7][low & 0xFF] ^ Tables[6][(low >> 8) & 0xFF] ^ Tables[5][(low >> 16) & 0xFF] ^ Tables[4][low >> 24] ^
            Tables[3][bytes[i + 4]] ^ Tables[2][bytes[i + 5]] ^ Tables[1][bytes[i + 6]] ^ Tables[0][bytes[i + 7]];
  }
  for (; i < size; ++i) value = Tables[0][(value ^ bytes[i]) & 0xFF] ^ (value >> 8);
  state = value;
}

std::uint32_t Crc32Of(const std::uint8_t* bytes, std::size_t size) {
  Crc32 crc;
  crc.Update(bytes, size);
  return crc.Value();
}

bool Crc32Of(SourceReader& reader, std::uint64_t offset, std::uint64_t length, std::uint32_t* crc) {
  Crc32 sum;
  while (length > 0) {
    std::size_t got = 0;
    const std::uint8_t* p = reader.Some(offset, length, &got);
    if (p == nullptr) return false;
    sum.Update(p, got);
    offset += got;
    length -= got;
  }
  *crc = sum.Value();
  return true;
}

}  // namespace carve
