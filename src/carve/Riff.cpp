// RIFF (WAV, AVI, WebP): the RIFF size, and the chunks inside it walked to
// that size (id, u32 size, data padded to an even length). RF64 takes its
// sizes from its ds64 chunk; an AVI longer than 1 GiB goes on in RIFF AVIX
// chunks, which belong to it.
#include <algorithm>
#include <cstring>

#include "carve/Parsers.h"

namespace carve {

namespace {

constexpr std::uint64_t RiffHeader = 12;     // "RIFF", u32 size of what follows the size, form type
constexpr std::uint64_t ChunkHeader = 8;     // id, u32 size of the data
constexpr std::uint32_t Rf64Unset = 0xFFFFFFFF;  // RF64: the size is in ds64
constexpr std::uint64_t Ds64RiffSize = 0;    // in ds64's data: u64 RIFF size, u64 data size, u64 samples, ...
constexpr std::uint64_t Ds64DataSize = 8;
constexpr std::uint32_t Ds64Min = 24;

struct Form {
  const char* form;
  const char* extension;
  const char* name;
};

const Form Forms[] = {
    {"WAVE", "wav", "WAVE audio"}, {"AVI ", "avi", "AVI video"}, {"WEBP", "webp", "WebP image"},
    {"RMID", "mid", "RIFF MIDI"},  {"ACON", "ani", "animated cursor"}, {"CDXA", "dat", "video CD track"},
};

bool Printable(const std::uint8_t* id) {
  for (int i = 0; i < 4; ++i)
    if (id[i] < 0x20 || id[i] > 0x7E) return false;
  return true;
}

enum class Walked { Good, Invalid, CutShort };

// The chunks in [pos, end); `*good` follows the last whole one.
Walked Chunks(SourceReader& reader, std::uint64_t pos, std::uint64_t end, std::uint64_t dataSize, std::uint64_t* good) {
  // Each chunk consumes its header at least.
  while (end - pos >= ChunkHeader) {
    const std::uint8_t* h = reader.Get(pos, ChunkHeader);
    if (h == nullptr) return Walked::CutShort;
    if (!Printable(h)) return Walked::Invalid;
    std::uint64_t size = Le32(h + 4);
    if (size == Rf64Unset && std::memcmp(h, "data", 4) == 0 && dataSize != 0) size = dataSize;
    const std::uint64_t padded = size + (size & 1);
    // The last chunk's pad byte may lie past the RIFF size.
    if (padded > end - pos - ChunkHeader && size != end - pos - ChunkHeader) return Walked::Invalid;
    const std::uint64_t next = pos + ChunkHeader + std::min(padded, end - pos - ChunkHeader);
    if (!reader.Reaches(next)) return Walked::CutShort;
    pos = next;
    *good = pos;
  }
  return pos == end || end - pos == 1 ? Walked::Good : Walked::Invalid;
}

}  // namespace

bool MatchesRiff(const std::uint8_t* bytes, std::size_t available) {
  return available >= RiffHeader + ChunkHeader &&
         (HasText(bytes, available, 0, "RIFF") || HasText(bytes, available, 0, "RF64")) && Printable(bytes + 8) &&
         Printable(bytes + RiffHeader);
}

void ParseRiff(SourceReader& reader, const Limits&, Carving* result) {
  const std::uint8_t* head = reader.Get(0, RiffHeader + ChunkHeader);
  if (head == nullptr || !MatchesRiff(head, RiffHeader + ChunkHeader)) return SetNotThisType(result);
  const bool rf64 = head[1] == 'F';
  char form[4];
  std::memcpy(form, head + 8, 4);
  result->extension = "riff";
  result->subtype = "RIFF";
  for (const Form& known : Forms) {
    if (std::memcmp(form, known.form, 4) == 0) {
      result->extension = known.extension;
      result->subtype = known.name;
    }
  }
  std::uint64_t size = Le32(head + 4);
  std::uint64_t dataSize = 0;
  if (rf64) {
    if (size != Rf64Unset || std::memcmp(head + RiffHeader, "ds64", 4) != 0) return SetNotThisType(result);
    std::uint32_t ds64 = 0;
    if (!reader.U32(RiffHeader + 4, &ds64) || ds64 < Ds64Min || !reader.U64(RiffHeader + ChunkHeader + Ds64RiffSize, &size) ||
        !reader.U64(RiffHeader + ChunkHeader + Ds64DataSize, &dataSize))
      return SetDamaged(result, RiffHeader, Damage::CutShort);
    if (std::memcmp(form, "WAVE", 4) == 0) result->subtype = "RF64 WAVE audio";
  }
  if (size < 4 || size > UINT64_MAX - 8) return SetNotThisType(result);
  std::uint64_t end = 8 + size;
  std::uint64_t good = RiffHeader;
  switch (Chunks(reader, RiffHeader, end, dataSize, &good)) {
    case Walked::Good: break;
    case Walked::CutShort: return SetDamaged(result, reader.Available(end), Damage::CutShort);
    case Walked::Invalid:
      return good == RiffHeader ? SetNotThisType(result) : SetDamaged(result, good, Damage::Invalid);
  }
  // An AVI past 1 GiB: RIFF AVIX chunks follow at once. Each consumes 12 bytes at least.
  if (std::memcmp(form, "AVI ", 4) == 0) {
    for (;;) {
      const std::uint8_t* next = reader.Get(end, RiffHeader);
      if (next == nullptr || std::memcmp(next, "RIFF", 4) != 0 || std::memcmp(next + 8, "AVIX", 4) != 0) break;
      const std::uint64_t more = Le32(next + 4);
      if (more < 4) break;
      const std::uint64_t start = end;
      good = start;
      const Walked walked = Chunks(reader, start + RiffHeader, start + 8 + more, 0, &good);
      if (walked == Walked::CutShort) return SetDamaged(result, reader.Available(start + 8 + more), Damage::CutShort);
      if (walked == Walked::Invalid) return SetDamaged(result, start, Damage::Invalid);
      end = start + 8 + more;
    }
  }
  SetCarved(result, end);
}

}  // namespace carve
