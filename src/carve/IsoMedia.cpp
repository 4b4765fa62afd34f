// ISO base media files (ISO/IEC 14496-12: MP4, MOV, M4A, 3GP, HEIC): a walk
// over the top-level boxes from `ftyp`, each with its 32-bit size or 64-bit
// large size, passing over `mdat` without reading it. The file ends before
// the first box that no such file holds at its top level (or a second
// `ftyp`, which begins another file).
#include <cstring>

#include "carve/Dates.h"
#include "carve/Parsers.h"

namespace carve {

namespace {

constexpr std::uint64_t BoxHeader = 8;        // u32 big-endian size (header included), type
constexpr std::uint64_t LargeBoxHeader = 16;  // size 1: a u64 size follows the type
constexpr std::uint32_t SizeLarge = 1;
constexpr std::uint32_t SizeToEnd = 0;        // the box runs to the end of the file
constexpr std::uint64_t FtypMin = 16;         // major brand, u32 minor version, compatible brands
constexpr std::size_t MajorBrand = 8;         // after the box header
constexpr std::uint64_t FtypMax = 4096;       // a cautious bound on the brands listed
constexpr std::size_t MvhdTimes = 12;         // after the header: u8 version, 3 flag bytes, then the times
constexpr std::uint8_t MvhdLongTimes = 1;     // version 1: u64 times; version 0: u32

// Boxes found at the top level of these files.
const char* const TopLevel[] = {"moov", "mdat", "free", "skip", "wide", "uuid", "meta", "pdin", "moof",
                                "mfra", "styp", "sidx", "ssix", "prft", "emsg", "udta", "pnot", "junk"};

struct Brand {
  const char* brand;  // a major brand, or its first three letters for a family
  std::size_t match;  // how many of its letters must match
  const char* extension;
  const char* name;
};

const Brand Brands[] = {
    {"qt  ", 4, "mov", "QuickTime movie"}, {"M4A ", 4, "m4a", "MPEG-4 audio"},
    {"M4B ", 4, "m4b", "MPEG-4 audio book"}, {"M4V ", 4, "m4v", "MPEG-4 video"},
    {"3gp", 3, "3gp", "3GPP media"},       {"3g2", 3, "3g2", "3GPP2 media"},
    {"heic", 4, "heic", "HEIC image"},     {"heix", 4, "heic", "HEIC image"},
    {"heim", 4, "heic", "HEIC image"},     {"heis", 4, "heic", "HEIC image"},
    {"hevc", 4, "heic", "HEIC sequence"},  {"hevx", 4, "heic", "HEIC sequence"},
    {"mif1", 4, "heif", "HEIF image"},     {"msf1", 4, "heif", "HEIF sequence"},
    {"avif", 4, "avif", "AVIF image"},     {"avis", 4, "avif", "AVIF sequence"},
    {"crx ", 4, "cr3", "Canon CR3"},       {"f4v ", 4, "f4v", "Flash video"},
};

bool Printable(const std::uint8_t* type) {
  for (int i = 0; i < 4; ++i)
    if (type[i] < 0x20 || type[i] > 0x7E) return false;
  return true;
}

bool IsTopLevel(const std::uint8_t* type) {
  for (const char* name : TopLevel)
    if (std::memcmp(type, name, 4) == 0) return true;
  return false;
}

// The box at `pos` (its end no farther than `limit`): type, header bytes and size.
bool Box(SourceReader& reader, std::uint64_t pos, std::uint8_t type[4], std::uint64_t* header, std::uint64_t* size) {
  const std::uint8_t* p = reader.Get(pos, BoxHeader);
  if (p == nullptr) return false;
  std::memcpy(type, p + 4, 4);
  const std::uint32_t small = Be32(p);
  *header = BoxHeader;
  *size = small;
  if (small == SizeLarge) {
    *header = LargeBoxHeader;
    if (!reader.U64BE(pos + BoxHeader, size)) return false;
  }
  return true;
}

// mvhd's creation and modification times, in seconds since 1904 (UTC).
void MovieTimes(SourceReader& reader, std::uint64_t moov, std::uint64_t end, Carving* result) {
  std::uint64_t pos = moov;
  // Each child consumes its header at least.
  while (end - pos >= BoxHeader) {
    std::uint8_t type[4];
    std::uint64_t header = 0, size = 0;
    if (!Box(reader, pos, type, &header, &size) || size < header || size > end - pos) return;
    if (std::memcmp(type, "mvhd", 4) == 0) {
      std::uint8_t version = 0;
      std::uint64_t created = 0, modified = 0;
      const std::uint64_t at = pos + header;
      if (!reader.U8(at, &version)) return;
      const bool wide = version == MvhdLongTimes;
      const std::size_t width = wide ? 8 : 4;
      if (size < header + MvhdTimes + 2 * width) return;
      if (!reader.Unsigned(at + 4, width, true, &created) || !reader.Unsigned(at + 4 + width, width, true, &modified))
        return;
      result->created = {FileTimeAfter(SecondsFrom1601To1904, created), false};
      result->modified = {FileTimeAfter(SecondsFrom1601To1904, modified), false};
      return;
    }
    pos += size;
  }
}

}  // namespace

bool MatchesIsoMedia(const std::uint8_t* bytes, std::size_t available) {
  if (available < FtypMin || !HasText(bytes, available, 4, "ftyp")) return false;
  const std::uint32_t size = Be32(bytes);
  return size >= FtypMin && size <= FtypMax && size % 4 == 0 && Printable(bytes + MajorBrand);
}

void ParseIsoMedia(SourceReader& reader, const Limits&, Carving* result) {
  const std::uint8_t* head = reader.Get(0, FtypMin);
  if (head == nullptr || !MatchesIsoMedia(head, FtypMin)) return SetNotThisType(result);
  char major[4];
  std::memcpy(major, head + MajorBrand, 4);
  const std::uint64_t ftypSize = Be32(head);
  result->extension = "mp4";
  result->subtype = "MPEG-4 media";
  for (const Brand& brand : Brands) {
    if (std::memcmp(major, brand.brand, brand.match) == 0) {
      result->extension = brand.extension;
      result->subtype = brand.name;
      break;
    }
  }
  if (!reader.Reaches(ftypSize)) return SetDamaged(result, 0, Damage::CutShort);
  std::uint64_t pos = ftypSize;
  bool movie = false, meta = false;
  // Each box consumes its header at least: the walk ends with the source.
  for (;;) {
    std::uint8_t type[4];
    std::uint64_t header = 0, size = 0;
    if (!Box(reader, pos, type, &header, &size)) {
      if (reader.Available(pos + 1) > pos) return SetDamaged(result, pos, Damage::CutShort);
      break;  // the source ends where a box could begin
    }
    if (!Printable(type) || !IsTopLevel(type)) break;
    if (size == SizeToEnd) {
      // Its end is the file's, which nothing here states: the box's
      // header is the last byte known to belong.
      return SetDamaged(result, pos + header, Damage::Unbounded);
    }
    if (size < header) return SetDamaged(result, pos, Damage::Invalid);
    if (size > UINT64_MAX - pos) return SetDamaged(result, pos, Damage::Invalid);
    const std::uint64_t end = pos + size;
    if (std::memcmp(type, "moov", 4) == 0) {
      movie = true;
      MovieTimes(reader, pos + header, end, result);
    }
    if (std::memcmp(type, "meta", 4) == 0) meta = true;
    const std::uint64_t available = reader.Available(end);
    if (available < end) return SetDamaged(result, available, Damage::CutShort);
    pos = end;
  }
  if (!movie && !meta) return SetDamaged(result, pos, Damage::Invalid);
  SetCarved(result, pos);
}

}  // namespace carve
