// TIFF 6.0 and BigTIFF in both byte orders, and the camera raws built on
// them (CR2, NEF, ARW, DNG): every IFD reachable from the header (the chain,
// SubIFDs, the EXIF, GPS and interoperability IFDs) is walked; the file ends
// at the farthest byte any of them points at: an IFD, a value stored
// outside its entry, a strip, a tile or an embedded JPEG thumbnail.
#include "carve/Tiff.h"

#include <algorithm>
#include <cstring>

#include "carve/Dates.h"
#include "carve/Parsers.h"
#include "util/ByteReader.h"

namespace carve {

namespace {

constexpr std::uint64_t HeaderBytes = 8;        // byte order, 42, u32 first IFD
constexpr std::uint64_t BigHeaderBytes = 16;    // byte order, 43, u16 8, u16 0, u64 first IFD
constexpr std::uint16_t ClassicMagic = 42;
constexpr std::uint16_t BigMagic = 43;
constexpr std::uint16_t BigOffsetSize = 8;      // BigTIFF's only offset width
constexpr std::size_t Cr2Marker = 8;            // CR2: "CR", major version 2 after the classic header
constexpr std::uint8_t Cr2Major = 2;

// Tags the walk reads.
constexpr std::uint16_t TagMake = 0x010F;          // ASCII
constexpr std::uint16_t TagStripOffsets = 0x0111;  // SHORT or LONG (LONG8), one per strip
constexpr std::uint16_t TagStripByteCounts = 0x0117;
constexpr std::uint16_t TagDateTime = 0x0132;      // ASCII "YYYY:MM:DD HH:MM:SS"
constexpr std::uint16_t TagTileOffsets = 0x0144;
constexpr std::uint16_t TagTileByteCounts = 0x0145;
constexpr std::uint16_t TagSubIfds = 0x014A;       // LONG or IFD, one per child IFD
constexpr std::uint16_t TagJpegOffset = 0x0201;    // JPEGInterchangeFormat: an old-style thumbnail
constexpr std::uint16_t TagJpegLength = 0x0202;
constexpr std::uint16_t TagExifIfd = 0x8769;
constexpr std::uint16_t TagGpsIfd = 0x8825;
constexpr std::uint16_t TagDateTimeOriginal = 0x9003;  // in the EXIF IFD
constexpr std::uint16_t TagInteropIfd = 0xA005;
constexpr std::uint16_t TagDngVersion = 0xC612;

// Field types: 1 BYTE, 2 ASCII, 3 SHORT, 4 LONG, 5 RATIONAL, 6 SBYTE,
// 7 UNDEFINED, 8 SSHORT, 9 SLONG, 10 SRATIONAL, 11 FLOAT, 12 DOUBLE, 13 IFD;
// BigTIFF adds 16 LONG8, 17 SLONG8, 18 IFD8. The width of one value each.
constexpr std::uint8_t TypeBytes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4, 0, 0, 8, 8, 8};
constexpr std::uint16_t TypeShort = 3;
constexpr std::uint16_t TypeLong = 4;
constexpr std::uint16_t TypeIfd = 13;
constexpr std::uint16_t TypeLong8 = 16;
constexpr std::uint16_t TypeIfd8 = 18;

// Cautious bounds, not format facts: how many IFDs one file may have, and
// how many strips or tiles of one IFD are followed for the farthest end.
constexpr std::size_t MaxIfds = 256;
constexpr std::uint64_t MaxArrayValues = std::uint64_t{1} << 20;
constexpr std::size_t MakeBytes = 32;

struct Entry {
  std::uint16_t tag = 0, type = 0;
  std::uint64_t count = 0;
  std::uint64_t at = 0;     // where the value lies, from the TIFF's start
  std::uint64_t bytes = 0;  // the value's width times its count
};

enum class IfdResult { Good, Invalid, CutShort };

class TiffWalker {
 public:
  TiffWalker(SourceReader& source, std::uint64_t tiffBase, std::uint64_t tiffSize)
      : reader(source), base(tiffBase), size(tiffSize) {}

  // The header; false when it is no TIFF header.
  bool Header() {
    const std::uint8_t* p = Read(0, 4);
    if (p == nullptr) return false;
    if (p[0] == 'I' && p[1] == 'I') bigEndian = false;
    else if (p[0] == 'M' && p[1] == 'M') bigEndian = true;
    else return false;
    std::uint64_t magic = 0;
    if (!Value(2, 2, &magic)) return false;
    if (magic == BigMagic) {
      std::uint64_t offsetSize = 0, zero = 0;
      if (!Value(4, 2, &offsetSize) || !Value(6, 2, &zero) || offsetSize != BigOffsetSize || zero != 0) return false;
      big = true;
      headerEnd = BigHeaderBytes;
      return Value(8, 8, &first);
    }
    if (magic != ClassicMagic) return false;
    headerEnd = HeaderBytes;
    return Value(4, 4, &first);
  }

  // Walks every IFD reachable from the first; the result of the first IFD.
  IfdResult Walk() {
    std::uint64_t pending[MaxIfds];
    std::size_t pendingCount = 0, done = 0;
    pending[pendingCount++] = first;
    IfdResult firstResult = IfdResult::Good;
    while (done < pendingCount) {
      const std::uint64_t offset = pending[done++];
      const IfdResult ifd = Ifd(offset, pending, &pendingCount);
      if (done == 1) firstResult = ifd;
      if (ifd == IfdResult::Invalid) invalid = true;
      if (ifd == IfdResult::CutShort) cutShort = true;
    }
    return firstResult;
  }

  bool bigEndian = false, big = false;
  std::uint64_t first = 0, headerEnd = 0;
  std::uint64_t extent = 0;  // from the TIFF's start
  bool invalid = false, cutShort = false, dng = false;
  char make[MakeBytes + 1] = {};
  std::uint64_t dateTime = 0, dateTimeOriginal = 0;

 private:
  const std::uint8_t* Read(std::uint64_t offset, std::size_t count) {
    if (offset > size || count > size - offset) return nullptr;
    return reader.Get(base + offset, count);
  }

  bool Value(std::uint64_t offset, std::size_t width, std::uint64_t* value) {
    if (offset > size || width > size - offset) return false;
    return reader.Unsigned(base + offset, width, bigEndian, value);
  }

  // Value `index` of an entry of SHORT, LONG, LONG8 or IFD type.
  bool Element(const Entry& entry, std::uint64_t index, std::uint64_t* value) {
    const std::uint16_t type = entry.type;
    if (type != TypeShort && type != TypeLong && type != TypeLong8 && type != TypeIfd && type != TypeIfd8)
      return false;
    if (index >= entry.count) return false;
    const std::size_t width = TypeBytes[type];
    return Value(entry.at + index * width, width, value);
  }

  // Reads one IFD and queues the IFDs it names.
  IfdResult Ifd(std::uint64_t offset, std::uint64_t* pending, std::size_t* pendingCount) {
    const std::size_t countBytes = big ? 8 : 2, entryBytes = big ? 20 : 12, inlineBytes = big ? 8 : 4;
    if (offset < headerEnd) return IfdResult::Invalid;
    std::uint64_t count = 0;
    if (!Value(offset, countBytes, &count)) return Reachable(offset) ? IfdResult::Invalid : IfdResult::CutShort;
    const std::uint64_t entriesEnd = SaturatingAdd(offset + countBytes, SaturatingMultiply(count, entryBytes));
    const std::uint64_t end = SaturatingAdd(entriesEnd, inlineBytes);
    if (count == 0 || end > size) return IfdResult::Invalid;
    if (!reader.Reaches(SaturatingAdd(base, end))) return IfdResult::CutShort;

    Entry strips, stripCounts, tiles, tileCounts;
    std::uint64_t jpegOffset = 0, jpegLength = 0;
    std::uint64_t farthest = end;
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t at = offset + countBytes + i * entryBytes;
      Entry entry;
      std::uint64_t tag = 0, type = 0;
      if (!Value(at, 2, &tag) || !Value(at + 2, 2, &type) || !Value(at + 4, inlineBytes, &entry.count))
        return IfdResult::CutShort;
      if (type == 0 || type >= sizeof(TypeBytes) || TypeBytes[type] == 0) return IfdResult::Invalid;
      entry.tag = static_cast<std::uint16_t>(tag);
      entry.type = static_cast<std::uint16_t>(type);
      entry.bytes = SaturatingMultiply(TypeBytes[type], entry.count);
      entry.at = at + 4 + inlineBytes;
      if (entry.bytes > inlineBytes) {
        if (!Value(entry.at, inlineBytes, &entry.at)) return IfdResult::CutShort;
        if (entry.at > size || entry.bytes > size - entry.at) return IfdResult::Invalid;
        farthest = std::max(farthest, entry.at + entry.bytes);
      }
      switch (entry.tag) {
        case TagStripOffsets: strips = entry; break;
        case TagStripByteCounts: stripCounts = entry; break;
        case TagTileOffsets: tiles = entry; break;
        case TagTileByteCounts: tileCounts = entry; break;
        case TagJpegOffset: Element(entry, 0, &jpegOffset); break;
        case TagJpegLength: Element(entry, 0, &jpegLength); break;
        case TagDngVersion: dng = true; break;
        case TagMake: ReadMake(entry); break;
        case TagDateTime: ReadDate(entry, &dateTime); break;
        case TagDateTimeOriginal: ReadDate(entry, &dateTimeOriginal); break;
        case TagSubIfds:
        case TagExifIfd:
        case TagGpsIfd:
        case TagInteropIfd:
          for (std::uint64_t k = 0; k < entry.count && *pendingCount < MaxIfds; ++k) {
            std::uint64_t child = 0;
            if (!Element(entry, k, &child)) break;
            Queue(child, pending, pendingCount);
          }
          break;
        default: break;
      }
    }
    std::uint64_t next = 0;
    if (!Value(entriesEnd, inlineBytes, &next)) return IfdResult::CutShort;
    if (next != 0) Queue(next, pending, pendingCount);

    if (!Pairs(strips, stripCounts, &farthest) || !Pairs(tiles, tileCounts, &farthest)) return IfdResult::Invalid;
    if (jpegLength != 0) {
      if (jpegOffset > size || jpegLength > size - jpegOffset) return IfdResult::Invalid;
      farthest = std::max(farthest, jpegOffset + jpegLength);
    }
    extent = std::max(extent, farthest);
    return IfdResult::Good;
  }

  bool Reachable(std::uint64_t offset) { return offset < size && reader.Reaches(SaturatingAdd(base, offset) + 1); }

  void Queue(std::uint64_t offset, std::uint64_t* pending, std::size_t* pendingCount) {
    if (offset == 0 || *pendingCount >= MaxIfds) return;
    for (std::size_t i = 0; i < *pendingCount; ++i)
      if (pending[i] == offset) return;  // already walked or queued: IFDs may loop
    pending[(*pendingCount)++] = offset;
  }

  // The farthest end of an offsets entry and its byte counts.
  bool Pairs(const Entry& offsets, const Entry& counts, std::uint64_t* farthest) {
    const std::uint64_t n = std::min({offsets.count, counts.count, MaxArrayValues});
    for (std::uint64_t i = 0; i < n; ++i) {
      std::uint64_t at = 0, length = 0;
      if (!Element(offsets, i, &at) || !Element(counts, i, &length)) return false;
      if (length == 0) continue;
      if (at > size || length > size - at) return false;
      *farthest = std::max(*farthest, at + length);
    }
    return true;
  }

  void ReadMake(const Entry& entry) {
    if (make[0] != 0 || entry.type != 2) return;
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(entry.bytes, MakeBytes));
    const std::uint8_t* p = take == 0 ? nullptr : Read(entry.at, take);
    if (p == nullptr) return;
    for (std::size_t i = 0; i < take && p[i] != 0; ++i) make[i] = static_cast<char>(p[i]);
  }

  void ReadDate(const Entry& entry, std::uint64_t* fileTime) {
    constexpr std::size_t DateBytes = 19;  // "YYYY:MM:DD HH:MM:SS", then a zero
    if (*fileTime != 0 || entry.type != 2 || entry.bytes < DateBytes) return;
    const std::uint8_t* p = Read(entry.at, DateBytes);
    if (p == nullptr) return;
    char text[DateBytes];
    std::memcpy(text, p, DateBytes);
    *fileTime = FileTimeOfExif(text, DateBytes);
  }

  SourceReader& reader;
  std::uint64_t base, size;
};

bool StartsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

}  // namespace

void ReadExifDates(SourceReader& reader, std::uint64_t base, std::uint64_t size, Carving* result) {
  TiffWalker walker(reader, base, size);
  if (!walker.Header()) return;
  walker.Walk();
  if (result->created.fileTime == 0 && walker.dateTimeOriginal != 0) result->created = {walker.dateTimeOriginal, true};
  if (result->modified.fileTime == 0 && walker.dateTime != 0) result->modified = {walker.dateTime, true};
}

bool MatchesTiff(const std::uint8_t* bytes, std::size_t available) {
  if (available < HeaderBytes) return false;
  const bool little = bytes[0] == 'I' && bytes[1] == 'I' && bytes[3] == 0 &&
                      (bytes[2] == ClassicMagic || bytes[2] == BigMagic);
  const bool bigEndian = bytes[0] == 'M' && bytes[1] == 'M' && bytes[2] == 0 &&
                         (bytes[3] == ClassicMagic || bytes[3] == BigMagic);
  return little || bigEndian;
}

void ParseTiff(SourceReader& reader, const Limits&, Carving* result) {
  TiffWalker walker(reader, 0, UINT64_MAX);
  if (!walker.Header()) return SetNotThisType(result);
  const IfdResult first = walker.Walk();
  // The first IFD is most of what tells a TIFF from other bytes: where it
  // can be read and is not one, these are not a TIFF's bytes.
  if (first == IfdResult::Invalid) return SetNotThisType(result);
  if (first == IfdResult::CutShort) return SetDamaged(result, walker.headerEnd, Damage::CutShort);

  const std::uint8_t* cr2 = reader.Get(Cr2Marker, 3);
  if (!walker.big && cr2 != nullptr && cr2[0] == 'C' && cr2[1] == 'R' && cr2[2] == Cr2Major) {
    result->extension = "cr2", result->subtype = "Canon CR2";
  } else if (walker.dng) {
    result->extension = "dng", result->subtype = "DNG";
  } else if (StartsWith(walker.make, "NIKON")) {
    result->extension = "nef", result->subtype = "Nikon NEF";
  } else if (StartsWith(walker.make, "SONY")) {
    result->extension = "arw", result->subtype = "Sony ARW";
  } else {
    result->extension = "tif", result->subtype = walker.big ? "BigTIFF" : "TIFF";
  }
  if (walker.dateTimeOriginal != 0) result->created = {walker.dateTimeOriginal, true};
  if (walker.dateTime != 0) result->modified = {walker.dateTime, true};

  const std::uint64_t end = std::max(walker.extent, walker.headerEnd);
  const std::uint64_t available = reader.Available(end);
  if (walker.invalid) return SetDamaged(result, std::min(available, end), Damage::Invalid);
  if (walker.cutShort || available < end) return SetDamaged(result, available, Damage::CutShort);
  SetCarved(result, end);
}

}  // namespace carve
