// PNG: the signature, then chunks (u32 big-endian data length, type, data,
// CRC-32 of type and data) from IHDR to IEND.
#include "carve/Crc32.h"
#include "carve/Dates.h"
#include "carve/Parsers.h"

namespace carve {

namespace {

constexpr std::uint8_t Signature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint64_t SignatureBytes = sizeof(Signature);
constexpr std::uint32_t MaxChunkData = 0x7FFFFFFF;  // lengths are at most 2^31 - 1
constexpr std::uint64_t ChunkOverhead = 12;         // length, type, CRC
constexpr std::uint32_t IhdrBytes = 13;
constexpr std::uint32_t TimeBytes = 7;              // tIME: u16 year, month, day, hour, minute, second (UTC)

bool IsLetter(std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

bool MatchesPng(const std::uint8_t* bytes, std::size_t available) {
  if (available < SignatureBytes + 8) return false;
  for (std::size_t i = 0; i < SignatureBytes; ++i)
    if (bytes[i] != Signature[i]) return false;
  return HasText(bytes, available, SignatureBytes + 4, "IHDR");
}

std::uint64_t PngRestOfChunk(const std::uint8_t*, std::size_t, const std::uint8_t* after) {
  // The walk stops at the start of the chunk that fails.
  return PngChunkBegins(after) ? ChunkOverhead + Be32(after) : 0;
}

bool PngChunkBegins(const std::uint8_t* bytes) {
  return Be32(bytes) <= MaxChunkData && IsLetter(bytes[4]) && IsLetter(bytes[5]) && IsLetter(bytes[6]) &&
         IsLetter(bytes[7]);
}

void ParsePng(SourceReader& reader, const Limits&, Carving* result) {
  const std::uint8_t* head = reader.Get(0, SignatureBytes + 8);
  if (head == nullptr || !MatchesPng(head, SignatureBytes + 8)) return SetNotThisType(result);
  std::uint64_t pos = SignatureBytes;
  bool animated = false;
  // Every chunk consumes at least 12 bytes: the walk ends with the source.
  for (bool first = true;; first = false) {
    const std::uint8_t* header = reader.Get(pos, 8);
    if (header == nullptr) return SetDamaged(result, pos, Damage::CutShort);
    const std::uint32_t length = Be32(header);
    const std::uint8_t type[4] = {header[4], header[5], header[6], header[7]};
    const bool isEnd = type[0] == 'I' && type[1] == 'E' && type[2] == 'N' && type[3] == 'D';
    if (length > MaxChunkData || !IsLetter(type[0]) || !IsLetter(type[1]) || !IsLetter(type[2]) || !IsLetter(type[3]) ||
        (first && length != IhdrBytes) || (isEnd && length != 0))
      return first ? SetNotThisType(result) : SetDamaged(result, pos, Damage::Invalid);
    std::uint32_t crc = 0, stored = 0;
    if (!Crc32Of(reader, pos + 4, std::uint64_t{length} + 4, &crc) || !reader.U32BE(pos + 8 + length, &stored))
      return SetDamaged(result, pos, Damage::CutShort);
    if (crc != stored) return first ? SetNotThisType(result) : SetDamaged(result, pos, Damage::Invalid);
    if (type[0] == 't' && type[1] == 'I' && type[2] == 'M' && type[3] == 'E' && length == TimeBytes) {
      const std::uint8_t* t = reader.Get(pos + 8, TimeBytes);
      if (t != nullptr) result->modified = {FileTimeOf((t[0] << 8) | t[1], t[2], t[3], t[4], t[5], t[6]), false};
    }
    if (type[0] == 'a' && type[1] == 'c' && type[2] == 'T' && type[3] == 'L') animated = true;
    pos += ChunkOverhead + length;
    if (isEnd) break;
  }
  result->extension = "png";
  result->subtype = animated ? "animated PNG" : "PNG";
  SetCarved(result, pos);
}

}  // namespace carve
