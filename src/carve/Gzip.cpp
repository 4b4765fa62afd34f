// GZIP (RFC 1952): the member header, the deflate data inflated to its last
// block, and the trailer's CRC-32 and size (modulo 2^32) checked against
// what it gave. Members may follow one another; the file ends after the
// last. Nothing states a member's length: the inflate finds it.
#include <cstring>

#include "carve/Crc32.h"
#include "carve/Dates.h"
#include "carve/Inflate.h"
#include "carve/Parsers.h"

namespace carve {

namespace {

constexpr std::size_t HeaderBytes = 10;  // 1F 8B, method, flags, u32 MTIME, extra flags, OS
constexpr std::uint8_t MethodDeflate = 8;
constexpr std::size_t Flags = 3, ModifiedTime = 4;
constexpr std::uint8_t FlagHeaderCrc = 0x02, FlagExtra = 0x04, FlagName = 0x08, FlagComment = 0x10;
constexpr std::uint8_t FlagsReserved = 0xE0;
constexpr std::uint64_t TrailerBytes = 8;  // u32 CRC-32, u32 size modulo 2^32
// A cautious bound: the name and the comment are zero-terminated with no
// stated limit.
constexpr std::uint64_t MaxTextBytes = 1u << 20;
constexpr std::size_t TarMagic = 257;      // a tar header's "ustar"
constexpr std::size_t TarHead = 263;

bool IsHeader(const std::uint8_t* b) {
  return b[0] == 0x1F && b[1] == 0x8B && b[2] == MethodDeflate && (b[Flags] & FlagsReserved) == 0;
}

// A zero-terminated field from `*pos`; false when it never ends.
bool SkipText(SourceReader& reader, std::uint64_t* pos, Crc32* crc) {
  const std::uint64_t start = *pos;
  for (;;) {
    if (*pos - start > MaxTextBytes) return false;
    std::size_t got = 0;
    const std::uint8_t* p = reader.Some(*pos, MaxTextBytes, &got);
    if (p == nullptr) return false;
    const void* zero = std::memchr(p, 0, got);
    const std::size_t take = zero == nullptr ? got : static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - p) + 1;
    crc->Update(p, take);
    *pos += take;
    if (zero != nullptr) return true;
  }
}

enum class Member { Whole, NotGzip, Invalid, CutShort, Unbounded, NoMemory };

// One member from `*pos`; on success `*pos` moves past its trailer.
// `*good` follows the last byte checked, the header and the data decoded.
Member OneMember(SourceReader& reader, const Limits& limits, std::uint64_t* pos, std::uint64_t* good,
                 std::uint32_t* mtime, std::uint8_t* head, std::size_t headBytes) {
  const std::uint8_t* h = reader.Get(*pos, HeaderBytes);
  if (h == nullptr || !IsHeader(h)) return Member::NotGzip;
  const std::uint8_t flags = h[Flags];
  *mtime = Le32(h + ModifiedTime);
  Crc32 headerCrc;
  headerCrc.Update(h, HeaderBytes);
  std::uint64_t at = *pos + HeaderBytes;
  if (flags & FlagExtra) {
    std::uint16_t length = 0;
    const std::uint8_t* x = reader.Get(at, 2);
    if (x == nullptr) return Member::CutShort;
    length = Le16(x);
    headerCrc.Update(x, 2);
    // The header CRC runs over the extra bytes too.
    for (std::uint64_t done = 0; done < length;) {
      std::size_t got = 0;
      const std::uint8_t* p = reader.Some(at + 2 + done, length - done, &got);
      if (p == nullptr) return Member::CutShort;
      headerCrc.Update(p, got);
      done += got;
    }
    at += 2 + std::uint64_t{length};
  }
  if ((flags & FlagName) && !SkipText(reader, &at, &headerCrc)) return Member::Invalid;
  if ((flags & FlagComment) && !SkipText(reader, &at, &headerCrc)) return Member::Invalid;
  if (flags & FlagHeaderCrc) {
    std::uint16_t stored = 0;
    if (!reader.U16(at, &stored)) return Member::CutShort;
    if (stored != (headerCrc.Value() & 0xFFFF)) return Member::Invalid;
    at += 2;
  }
  // What failed its checks keeps the header; what was cut short, the data decoded too.
  *good = at;
  InflateResult inflated;
  const Inflated ended = Inflate(reader, at, SaturatingAdd(at, limits.unstatedBytes), &inflated, head, headBytes);
  switch (ended) {
    case Inflated::Whole: break;
    case Inflated::CutShort: *good = at + inflated.consumed; return Member::CutShort;
    case Inflated::Unbounded: *good = at + inflated.consumed; return Member::Unbounded;
    case Inflated::NoMemory: return Member::NoMemory;
    default: return Member::Invalid;
  }
  at += inflated.consumed;
  std::uint32_t crc = 0, size = 0;
  if (!reader.U32(at, &crc) || !reader.U32(at + 4, &size)) {
    *good = at;
    return Member::CutShort;
  }
  if (crc != inflated.crc || size != static_cast<std::uint32_t>(inflated.produced)) return Member::Invalid;
  *pos = at + TrailerBytes;
  return Member::Whole;
}

}  // namespace

bool MatchesGzip(const std::uint8_t* bytes, std::size_t available) {
  return available >= HeaderBytes && IsHeader(bytes);
}

void ParseGzip(SourceReader& reader, const Limits& limits, Carving* result) {
  std::uint8_t head[TarHead] = {};
  std::uint64_t pos = 0;
  std::uint32_t mtime = 0;
  // Each member consumes its header and trailer at least.
  for (std::uint64_t members = 0;; ++members) {
    std::uint64_t next = pos, good = pos;
    std::uint32_t memberTime = 0;
    const Member member = OneMember(reader, limits, &next, &good, &memberTime, members == 0 ? head : nullptr, TarHead);
    if (members == 0) mtime = memberTime;
    if (member == Member::Whole) {
      pos = next;
      continue;
    }
    if (members == 0 && member == Member::NotGzip) return SetNotThisType(result);
    // A later member that is not whole is taken for the next file's start,
    // as two files of one kind often lie side by side.
    const Member ending = members == 0 ? member : Member::NotGzip;
    if (ending != Member::NotGzip) pos = good;  // damage keeps the data decoded so far
    result->extension = std::memcmp(head + TarMagic, "ustar", 5) == 0 ? "tar.gz" : "gz";
    result->subtype = std::memcmp(head + TarMagic, "ustar", 5) == 0 ? "gzip (tar)" : "gzip";
    result->modified = {FileTimeAfter(SecondsFrom1601To1970, mtime), false};
    switch (ending) {
      case Member::NotGzip: return SetCarved(result, pos);
      case Member::CutShort: return SetDamaged(result, pos, Damage::CutShort);
      case Member::Unbounded: return SetDamaged(result, pos, Damage::Unbounded);
      default: return SetDamaged(result, pos, Damage::Invalid);
    }
  }
}

}  // namespace carve
