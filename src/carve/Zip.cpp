// ZIP (PKWARE APPNOTE) and the formats built on it (DOCX, XLSX, PPTX,
// ODF, EPUB, JAR, APK): every local file header and its data, deflated
// data inflated and stored data checked against the CRC-32 (data
// descriptors included), then the central directory and the end of central
// directory record with its comment. ZIP64 sizes and records are read; an
// APK's signing block between the entries and the directory is passed.
#include <algorithm>
#include <cstring>

#include "carve/Crc32.h"
#include "carve/Dates.h"
#include "carve/Inflate.h"
#include "carve/Parsers.h"

namespace carve {

namespace {

constexpr std::uint32_t LocalSignature = 0x04034B50;       // "PK" 03 04
constexpr std::uint32_t CentralSignature = 0x02014B50;     // "PK" 01 02
constexpr std::uint32_t EndSignature = 0x06054B50;         // "PK" 05 06
constexpr std::uint32_t Zip64EndSignature = 0x06064B50;    // "PK" 06 06
constexpr std::uint32_t Zip64LocatorSignature = 0x07064B50;
constexpr std::uint32_t DescriptorSignature = 0x08074B50;  // optional before a data descriptor
constexpr std::uint32_t ExtraDataSignature = 0x08064B50;   // archive extra data record (central directory encryption)

// Local file header: u32 signature, u16 version, u16 flags, u16 method,
// u16 time, u16 date, u32 CRC-32, u32 compressed size, u32 size, u16 name
// length, u16 extra length; then the name and the extra field.
constexpr std::size_t LocalBytes = 30;
constexpr std::size_t LocalFlags = 6, LocalMethod = 8, LocalTime = 10, LocalDate = 12, LocalCrc = 14;
constexpr std::size_t LocalPacked = 18, LocalSize = 22, LocalNameLength = 26, LocalExtraLength = 28;
// Central directory header: 46 bytes, then name, extra field and comment.
constexpr std::size_t CentralBytes = 46;
constexpr std::size_t CentralNameLength = 28, CentralExtraLength = 30, CentralCommentLength = 32;
constexpr std::size_t CentralLocalOffset = 42;
// End of central directory: 22 bytes, then the comment.
constexpr std::size_t EndBytes = 22;
constexpr std::size_t EndEntries = 10, EndDirectorySize = 12, EndDirectoryOffset = 16, EndCommentLength = 20;
constexpr std::size_t Zip64EndSize = 4;       // u64, the record's bytes after this field
constexpr std::size_t Zip64LocatorBytes = 20;
constexpr std::size_t ExtraDataLength = 4;    // u32
constexpr std::uint16_t Zip64ExtraId = 0x0001;  // u64 size, then u64 compressed size, as the header needs them
constexpr std::uint32_t Unset32 = 0xFFFFFFFF;   // the value lies in the ZIP64 extra field
constexpr std::uint16_t Unset16 = 0xFFFF;

constexpr std::uint16_t FlagEncrypted = 0x0001;
constexpr std::uint16_t FlagDescriptor = 0x0008;  // CRC and sizes follow the data
constexpr std::uint16_t MethodStored = 0;
constexpr std::uint16_t MethodDeflated = 8;

// An APK signing block: u64 size, pairs, u64 size again, then this magic.
constexpr char ApkMagic[] = "APK Sig Block 42";
constexpr std::size_t ApkMagicBytes = 16;

// Cautious bounds: the bytes of a name or of the "mimetype" entry read to
// name the subtype.
constexpr std::size_t MaxNameBytes = 64;
constexpr std::size_t MaxMimetypeBytes = 80;

enum Kind : unsigned { KindZip, KindJar, KindOoxmlWord, KindOoxmlSheet, KindOoxmlSlides, KindApk, KindMimetype };

struct Subtype {
  const char* mimetype;  // the "mimetype" entry's whole content
  const char* extension;
  const char* name;
};

const Subtype Mimetypes[] = {
    {"application/epub+zip", "epub", "EPUB book"},
    {"application/vnd.oasis.opendocument.text", "odt", "OpenDocument text"},
    {"application/vnd.oasis.opendocument.spreadsheet", "ods", "OpenDocument spreadsheet"},
    {"application/vnd.oasis.opendocument.presentation", "odp", "OpenDocument presentation"},
    {"application/vnd.oasis.opendocument.graphics", "odg", "OpenDocument drawing"},
};

class ZipWalk {
 public:
  ZipWalk(SourceReader& source, const Limits& bounds, Carving* carving)
      : reader(source), limits(bounds), result(carving) {}

  void Walk() {
    std::uint64_t pos = 0;
    // Each entry consumes its header at least: the walk ends with the source.
    for (;;) {
      std::uint32_t signature = 0;
      if (!reader.U32(pos, &signature)) return Fail(Damage::CutShort);
      if (signature == CentralSignature) break;
      if (signature == LocalSignature) {
        if (!Entry(&pos)) return;
        ++entries;
        continue;
      }
      if (signature == ExtraDataSignature && entries > 0) {
        std::uint32_t length = 0;
        if (!reader.U32(pos + ExtraDataLength, &length)) return Fail(Damage::CutShort);
        pos += 8 + std::uint64_t{length};
        good = pos;
        continue;
      }
      if (entries > 0 && ApkSigningBlock(&pos)) continue;
      return Fail(entries == 0 ? Damage::None : Damage::Invalid);
    }
    Directory(pos);
  }

  const char* Extension() const { return kindExtension; }
  const char* Name() const { return kindName; }

 private:
  // Damage::None: these are not a ZIP's bytes.
  void Fail(Damage why) {
    if (why == Damage::None) return SetNotThisType(result);
    SetDamaged(result, good, why);
  }
  bool Stop(Damage why) {
    Fail(why);
    return false;
  }

  bool Entry(std::uint64_t* pos) {
    const std::uint64_t start = *pos;
    const std::uint8_t* h = reader.Get(start, LocalBytes);
    if (h == nullptr) return Stop(Damage::CutShort);
    const std::uint16_t flags = Le16(h + LocalFlags), method = Le16(h + LocalMethod);
    const std::uint16_t time = Le16(h + LocalTime), date = Le16(h + LocalDate);
    const std::uint32_t crc = Le32(h + LocalCrc);
    std::uint64_t packed = Le32(h + LocalPacked), size = Le32(h + LocalSize);
    const std::uint16_t nameLength = Le16(h + LocalNameLength), extraLength = Le16(h + LocalExtraLength);
    const std::uint64_t name = start + LocalBytes, extra = name + nameLength, data = extra + extraLength;
    // The first entry is most of what tells a ZIP from other bytes.
    if (entries == 0 && (nameLength == 0 || method > 99)) return Stop(Damage::None);
    if (!reader.Reaches(data)) return Stop(Damage::CutShort);

    bool zip64 = false;
    if (packed == Unset32 || size == Unset32) {
      zip64 = Zip64Sizes(extra, extraLength, size == Unset32 ? &size : nullptr, packed == Unset32 ? &packed : nullptr);
      if (!zip64) return Stop(entries == 0 ? Damage::None : Damage::Invalid);
    }
    NameEntry(name, nameLength, data, packed, method);
    Date(date, time);
    good = data;

    const bool descriptor = (flags & FlagDescriptor) != 0;
    const bool encrypted = (flags & FlagEncrypted) != 0;
    std::uint64_t end = 0;
    std::uint32_t actualCrc = 0;
    bool crcKnown = false;
    std::uint64_t produced = size;  // what the data decompresses to, where it was inflated
    if (method == MethodDeflated && !encrypted) {
      InflateResult inflated;
      const std::uint64_t limit = descriptor ? SaturatingAdd(data, limits.unstatedBytes) : SaturatingAdd(data, packed);
      switch (Inflate(reader, data, limit, &inflated)) {
        case Inflated::Whole: break;
        case Inflated::CutShort: return Stop(Damage::CutShort);
        case Inflated::Unbounded: return Stop(descriptor ? Damage::Unbounded : Damage::Invalid);
        default: return Stop(Damage::Invalid);
      }
      if (!descriptor && (inflated.consumed != packed || inflated.produced != size)) return Stop(Damage::Invalid);
      end = data + inflated.consumed;
      actualCrc = inflated.crc;
      produced = inflated.produced;
      crcKnown = true;
      packed = inflated.consumed;
    } else if (!descriptor || (packed != 0 && !zip64)) {
      // Sizes in the header: stored data is checked against its CRC-32.
      end = SaturatingAdd(data, packed);
      if (method == MethodStored && !encrypted) {
        if (!Crc32Of(reader, data, packed, &actualCrc)) return Stop(Damage::CutShort);
        crcKnown = true;
      } else if (!reader.Reaches(end)) {
        return Stop(Damage::CutShort);
      }
    } else if (!FindDescriptor(data, &end)) {
      return false;
    } else {
      packed = end - data;
      if (method == MethodStored && !encrypted) crcKnown = Crc32Of(reader, data, packed, &actualCrc);
    }
    if (descriptor) {
      // Optional signature, CRC-32, then both sizes, 8 bytes each in ZIP64.
      std::uint32_t signature = 0, storedCrc = 0;
      std::uint64_t at = end;
      if (!reader.U32(at, &signature)) return Stop(Damage::CutShort);
      if (signature == DescriptorSignature) at += 4;
      const std::size_t width = zip64 ? 8 : 4;
      std::uint64_t storedPacked = 0, storedSize = 0;
      if (!reader.U32(at, &storedCrc) || !reader.Unsigned(at + 4, width, false, &storedPacked) ||
          !reader.Unsigned(at + 4 + width, width, false, &storedSize))
        return Stop(Damage::CutShort);
      const bool sizeKnown = method == MethodDeflated && !encrypted;
      if ((crcKnown && storedCrc != actualCrc) || storedPacked != packed || (sizeKnown && storedSize != produced))
        return Stop(Damage::Invalid);
      end = at + 4 + 2 * width;
    } else if (crcKnown && actualCrc != crc) {
      return Stop(Damage::Invalid);
    }
    *pos = end;
    good = end;
    return true;
  }

  // ZIP64 sizes from the extra field's 0x0001 record: the size first, then
  // the compressed size, each only where the header holds all ones.
  bool Zip64Sizes(std::uint64_t extra, std::uint16_t length, std::uint64_t* size, std::uint64_t* packed) {
    std::uint64_t pos = extra;
    const std::uint64_t end = extra + length;
    // Each record consumes its 4-byte head at least.
    while (end - pos >= 4) {
      std::uint16_t id = 0, recordLength = 0;
      if (!reader.U16(pos, &id) || !reader.U16(pos + 2, &recordLength)) return false;
      if (recordLength > end - pos - 4) return false;
      if (id == Zip64ExtraId) {
        std::uint64_t at = pos + 4;
        if (size != nullptr) {
          if (at + 8 > pos + 4 + recordLength || !reader.U64(at, size)) return false;
          at += 8;
        }
        if (packed != nullptr && (at + 8 > pos + 4 + recordLength || !reader.U64(at, packed))) return false;
        return true;
      }
      pos += 4 + std::uint64_t{recordLength};
    }
    return false;
  }

  // Data whose size only its descriptor gives, and not deflated: the first
  // descriptor signature whose compressed size is the distance to it.
  bool FindDescriptor(std::uint64_t data, std::uint64_t* end) {
    std::uint64_t pos = data;
    for (;;) {
      if (pos - data > limits.unstatedBytes) return Stop(Damage::Unbounded);
      std::size_t got = 0;
      const std::uint8_t* p = reader.Some(pos, UINT64_MAX - pos, &got);
      if (p == nullptr) return Stop(Damage::CutShort);
      const void* found = std::memchr(p, 'P', got);
      if (found == nullptr) {
        pos += got;
        continue;
      }
      const std::uint64_t at = pos + static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - p);
      std::uint32_t signature = 0, packed = 0;
      if (reader.U32(at, &signature) && signature == DescriptorSignature && reader.U32(at + 8, &packed) &&
          packed == at - data) {
        *end = at;
        return true;
      }
      pos = at + 1;
    }
  }

  // An APK signing block at `*pos`: passed when its two sizes and its magic agree.
  bool ApkSigningBlock(std::uint64_t* pos) {
    std::uint64_t size = 0, again = 0;
    if (!reader.U64(*pos, &size) || size < ApkMagicBytes + 8 || size > UINT64_MAX - *pos - 8) return false;
    const std::uint64_t end = *pos + 8 + size;
    if (!reader.U64(end - ApkMagicBytes - 8, &again) || again != size ||
        !reader.Equals(end - ApkMagicBytes, ApkMagic, ApkMagicBytes))
      return false;
    *pos = end;
    good = end;
    return true;
  }

  void Directory(std::uint64_t pos) {
    const std::uint64_t start = pos;
    std::uint64_t count = 0;
    // Each header consumes 46 bytes at least.
    for (;;) {
      std::uint32_t signature = 0;
      if (!reader.U32(pos, &signature)) return Fail(Damage::CutShort);
      if (signature != CentralSignature) break;
      const std::uint8_t* h = reader.Get(pos, CentralBytes);
      if (h == nullptr) return Fail(Damage::CutShort);
      const std::uint64_t variable = std::uint64_t{Le16(h + CentralNameLength)} + Le16(h + CentralExtraLength) +
                                     Le16(h + CentralCommentLength);
      const std::uint32_t local = Le32(h + CentralLocalOffset);
      if (local != Unset32 && local >= start) return Fail(Damage::Invalid);
      pos += CentralBytes + variable;
      ++count;
    }
    const std::uint64_t directoryEnd = pos;
    std::uint32_t signature = 0;
    reader.U32(pos, &signature);
    bool zip64 = false;
    if (signature == Zip64EndSignature) {
      std::uint64_t size = 0;
      if (!reader.U64(pos + Zip64EndSize, &size)) return Fail(Damage::CutShort);
      if (size > UINT64_MAX - pos - 12) return Fail(Damage::Invalid);
      pos += 12 + size;
      if (!reader.U32(pos, &signature)) return Fail(Damage::CutShort);
      if (signature != Zip64LocatorSignature) return Fail(Damage::Invalid);
      pos += Zip64LocatorBytes;
      if (!reader.U32(pos, &signature)) return Fail(Damage::CutShort);
      zip64 = true;
    }
    if (signature != EndSignature) return Fail(reader.Reaches(pos + 4) ? Damage::Invalid : Damage::CutShort);
    const std::uint8_t* e = reader.Get(pos, EndBytes);
    if (e == nullptr) return Fail(Damage::CutShort);
    const std::uint16_t total = Le16(e + EndEntries), commentLength = Le16(e + EndCommentLength);
    const std::uint32_t directorySize = Le32(e + EndDirectorySize), directoryOffset = Le32(e + EndDirectoryOffset);
    const bool totalAgrees = total == (count & 0xFFFF) || (zip64 && total == Unset16);
    const bool sizeAgrees = directorySize == directoryEnd - start || (zip64 && directorySize == Unset32);
    const bool offsetAgrees = directoryOffset == start || (zip64 && directoryOffset == Unset32);
    if (!totalAgrees || !sizeAgrees || !offsetAgrees) return Fail(Damage::Invalid);
    const std::uint64_t end = pos + EndBytes + commentLength;
    good = pos + EndBytes;
    if (!reader.Reaches(end)) return Fail(Damage::CutShort);
    SetCarved(result, end);
  }

  void NameEntry(std::uint64_t name, std::uint16_t length, std::uint64_t data, std::uint64_t packed,
                 std::uint16_t method) {
    const std::size_t take = std::min<std::size_t>(length, MaxNameBytes);
    const std::uint8_t* p = reader.Get(name, take);
    if (p == nullptr) return;
    char text[MaxNameBytes + 1] = {};
    std::memcpy(text, p, take);
    auto is = [&](const char* exact) { return length == std::strlen(exact) && std::strcmp(text, exact) == 0; };
    auto starts = [&](const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; };
    unsigned kind = KindZip;
    if (entries == 0 && is("mimetype") && method == MethodStored && packed <= MaxMimetypeBytes) {
      char mimetype[MaxMimetypeBytes + 1] = {};
      const std::uint8_t* m = packed == 0 ? nullptr : reader.Get(data, static_cast<std::size_t>(packed));
      if (m != nullptr) std::memcpy(mimetype, m, static_cast<std::size_t>(packed));
      for (const Subtype& subtype : Mimetypes) {
        if (std::strcmp(mimetype, subtype.mimetype) == 0) {
          kind = KindMimetype;
          mimetypeExtension = subtype.extension;
          mimetypeName = subtype.name;
        }
      }
    } else if (is("AndroidManifest.xml") || is("classes.dex")) {
      kind = KindApk;
    } else if (starts("word/")) {
      kind = KindOoxmlWord;
    } else if (starts("xl/")) {
      kind = KindOoxmlSheet;
    } else if (starts("ppt/")) {
      kind = KindOoxmlSlides;
    } else if (is("META-INF/MANIFEST.MF")) {
      kind = KindJar;
    }
    if (kind <= best) return;
    best = kind;
    static const char* const extensions[] = {"zip", "jar", "docx", "xlsx", "pptx", "apk"};
    static const char* const names[] = {"ZIP archive", "Java archive", "Word document", "Excel workbook",
                                        "PowerPoint presentation", "Android package"};
    kindExtension = kind == KindMimetype ? mimetypeExtension : extensions[kind];
    kindName = kind == KindMimetype ? mimetypeName : names[kind];
  }

  // DOS date and time: the writer's wall clock; the latest entry's is the archive's.
  void Date(std::uint16_t date, std::uint16_t time) {
    const std::uint64_t fileTime = FileTimeOf(1980 + (date >> 9), (date >> 5) & 0x0F, date & 0x1F, time >> 11,
                                              (time >> 5) & 0x3F, (time & 0x1F) * 2);
    if (fileTime > result->modified.fileTime) result->modified = {fileTime, true};
  }

  SourceReader& reader;
  const Limits& limits;
  Carving* result;
  std::uint64_t good = 0;
  std::uint64_t entries = 0;
  unsigned best = KindZip;
  const char* kindExtension = "zip";
  const char* kindName = "ZIP archive";
  const char* mimetypeExtension = "";
  const char* mimetypeName = "";
};

}  // namespace

namespace {

// An entry's bytes from its local header at `header`, 0 where a descriptor
// after the data or a ZIP64 field holds its size.
std::uint64_t EntryBytes(const std::uint8_t* header) {
  const std::uint32_t packed = Le32(header + LocalPacked);
  if (Le32(header) != LocalSignature || (Le16(header + LocalFlags) & FlagDescriptor) != 0 || packed == Unset32) return 0;
  return LocalBytes + Le16(header + LocalNameLength) + Le16(header + LocalExtraLength) + std::uint64_t{packed};
}

}  // namespace

std::uint64_t ZipRestOfEntry(const std::uint8_t* before, std::size_t beforeCount, const std::uint8_t* after) {
  // The walk stops at the start of an entry whose header fails, or at the
  // data of one whose data fails: its header then ends just before.
  if (Le32(after) == LocalSignature) return EntryBytes(after);
  for (std::size_t back = LocalBytes; back <= beforeCount; ++back) {
    const std::uint8_t* header = before + beforeCount - back;
    if (Le32(header) != LocalSignature) continue;
    if (LocalBytes + std::size_t{Le16(header + LocalNameLength)} + Le16(header + LocalExtraLength) != back) continue;
    const std::uint64_t bytes = EntryBytes(header);
    return bytes > back ? bytes - back : 0;
  }
  return 0;
}

bool ZipRecordBegins(const std::uint8_t* bytes) {
  const std::uint32_t signature = Le32(bytes);
  return signature == LocalSignature || signature == CentralSignature || signature == DescriptorSignature ||
         signature == ExtraDataSignature;
}

bool MatchesZip(const std::uint8_t* bytes, std::size_t available) {
  return available >= LocalBytes && bytes[0] == 'P' && bytes[1] == 'K' && bytes[2] == 3 && bytes[3] == 4;
}

void ParseZip(SourceReader& reader, const Limits& limits, Carving* result) {
  const std::uint8_t* head = reader.Get(0, LocalBytes);
  if (head == nullptr || !MatchesZip(head, LocalBytes)) return SetNotThisType(result);
  ZipWalk walk(reader, limits, result);
  walk.Walk();
  result->extension = walk.Extension();
  result->subtype = walk.Name();
}

}  // namespace carve
