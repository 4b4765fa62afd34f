// The parsers behind the type table, one family per file, and the few
// helpers they share for their results.
#pragma once

#include <cstddef>
#include <cstdint>

#include "carve/Carve.h"
#include "carve/SourceReader.h"

namespace carve {

#define CARVE_FAMILY(Name)                                             \
  bool Matches##Name(const std::uint8_t* bytes, std::size_t available); \
  void Parse##Name(SourceReader& reader, const Limits& limits, Carving* result);
CARVE_FAMILY(Jpeg)
CARVE_FAMILY(Png)
CARVE_FAMILY(Gif)
CARVE_FAMILY(Bmp)
CARVE_FAMILY(Tiff)
CARVE_FAMILY(Pdf)
CARVE_FAMILY(Zip)
CARVE_FAMILY(IsoMedia)
CARVE_FAMILY(Riff)
CARVE_FAMILY(Mp3)
CARVE_FAMILY(Sqlite)
CARVE_FAMILY(SevenZip)
CARVE_FAMILY(Rar)
CARVE_FAMILY(Gzip)
CARVE_FAMILY(Pe)
#undef CARVE_FAMILY

// For the search for a file's second piece, given the bytes just before
// the offset where its checks stopped (`before`, ending there) and from it
// on (`after`): how many bytes from that offset the structure that failed
// runs (a PNG chunk; a ZIP entry whose local header gives its sizes), 0 when
// they do not tell; and whether bytes can begin the structure after it (a
// chunk header; a ZIP record's signature).
constexpr std::size_t StructureHeadBytes = 30;      // `after` and a Begins are given at least these
constexpr std::size_t StructureBeforeBytes = 4096;  // `before` at most: a ZIP header with its name and extra field
std::uint64_t PngRestOfChunk(const std::uint8_t* before, std::size_t beforeCount, const std::uint8_t* after);
bool PngChunkBegins(const std::uint8_t* bytes);
std::uint64_t ZipRestOfEntry(const std::uint8_t* before, std::size_t beforeCount, const std::uint8_t* after);
bool ZipRecordBegins(const std::uint8_t* bytes);

// A whole file of `length` bytes.
inline void SetCarved(Carving* result, std::uint64_t length) {
  result->verdict = Verdict::Carved;
  result->damage = Damage::None;
  result->length = length;
}

// A file of the type whose checked bytes end at `length`.
inline void SetDamaged(Carving* result, std::uint64_t length, Damage why) {
  result->verdict = Verdict::Damaged;
  result->damage = why;
  result->length = length;
}

inline void SetNotThisType(Carving* result) {
  result->verdict = Verdict::NotThisType;
  result->damage = Damage::None;
  result->length = 0;
}

// Whether `available` bytes hold `text` (without its terminating zero) at `offset`.
template <std::size_t N>
bool HasText(const std::uint8_t* bytes, std::size_t available, std::size_t offset, const char (&text)[N]) {
  if (offset > available || N - 1 > available - offset) return false;
  for (std::size_t i = 0; i + 1 < N; ++i)
    if (bytes[offset + i] != static_cast<std::uint8_t>(text[i])) return false;
  return true;
}

// Values in bytes a parser holds already (a Get of at least their width).
inline std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
inline std::uint32_t Be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// a + b, or the largest value when the sum does not fit.
inline std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

}  // namespace carve
