// EWF (E01) as EnCase 6 and ewfacquire write it: segment files .E01, .E02,
// ..., each a chain of sections checked by Adler-32. The chunks are found
// through the table sections (whole tables cached, two at a time) and
// decoded one at a time: zlib streams, or stored bytes with their Adler-32.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "disk/Checksums.h"
#include "disk/ContainerLayout.h"
#include "disk/Containers.h"
#include "disk/PageCache.h"
#include "util/ByteBuffer.h"
#include "util/ByteReader.h"

namespace {

constexpr unsigned TablesKept = 2;
constexpr std::uint64_t MaxSectionsPerSegment = 1u << 20;  // far above what a full segment holds
constexpr std::uint32_t TableBytes = ewf::MaxTableEntries * ewf::TableEntrySize + ewf::ChunkChecksumSize;

// How a set's segment files are named: NAME.E01 to .E99, then .EAA to .ZZZ
// (lower case too).
struct SegmentNames {
  std::string base;  // up to and with the dot
  bool lower = false;
  bool named = false;  // false: a lone file whose name follows no pattern

  std::string Name(unsigned number) const {
    char extension[4];
    if (number <= 99) {
      extension[0] = 'E';
      extension[1] = static_cast<char>('0' + number / 10);
      extension[2] = static_cast<char>('0' + number % 10);
    } else {
      const unsigned past = number - 100;
      extension[0] = static_cast<char>('E' + past / (26 * 26));
      extension[1] = static_cast<char>('A' + past / 26 % 26);
      extension[2] = static_cast<char>('A' + past % 26);
    }
    extension[3] = '\0';
    std::string name = base + extension;
    if (lower) {
      for (std::size_t i = base.size(); i < name.size(); ++i) {
        if (name[i] >= 'A' && name[i] <= 'Z') name[i] = static_cast<char>(name[i] - 'A' + 'a');
      }
    }
    return name;
  }
};

bool Digit(char c) { return c >= '0' && c <= '9'; }

// The set `path` names and its number within it; a name that follows no
// pattern is a set of one.
SegmentNames NamesFor(const std::string& path) {
  SegmentNames names;
  names.base = path;
  if (path.size() < 5 || path[path.size() - 4] != '.') return names;
  std::string extension = path.substr(path.size() - 3);
  const bool lower = extension[0] >= 'a' && extension[0] <= 'z';
  for (char& c : extension) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  const bool numbered = extension[0] == 'E' && Digit(extension[1]) && Digit(extension[2]) && extension != "E00";
  const bool lettered = extension[0] >= 'E' && extension[0] <= 'Z' && extension[1] >= 'A' && extension[1] <= 'Z' &&
                        extension[2] >= 'A' && extension[2] <= 'Z';
  if (!numbered && !lettered) return names;
  names.base = path.substr(0, path.size() - 3);
  names.lower = lower;
  names.named = true;
  return names;
}

std::string SectionName(const std::uint8_t* descriptor) {
  std::string type;
  for (std::size_t i = 0; i < ewf::SectionTypeSize && descriptor[ewf::SectionType + i] != 0; ++i) {
    type += static_cast<char>(descriptor[ewf::SectionType + i]);
  }
  return type;
}

// One table section: `count` chunks from `firstChunk`, their entries at
// `entriesAt` (and a mirror copy in table2 at `mirrorAt`, 0 when none),
// their data below `limit` in the segment.
struct Table {
  std::size_t segment;
  std::uint64_t entriesAt;
  std::uint64_t mirrorAt;
  bool headerChecks;
  bool mirrorChecks;
  std::uint32_t count;
  std::uint64_t base;
  std::uint64_t limit;
  std::uint64_t firstChunk;
};

struct Media {
  bool found = false;
  std::uint32_t chunkCount = 0;
  std::uint32_t sectorsPerChunk = 0;
  std::uint32_t bytesPerSector = 0;
  std::uint64_t sectorCount = 0;
  bool operator==(const Media& other) const {
    return chunkCount == other.chunkCount && sectorsPerChunk == other.sectorsPerChunk &&
           bytesPerSector == other.bytesPerSector && sectorCount == other.sectorCount;
  }
};

class EwfImage : public DiskImage {
 public:
  explicit EwfImage(ImageFiles& files) : segments(files), tables(TableBytes, TablesKept) {}
  ~EwfImage() override {
    if (inflating) inflateEnd(&stream);
  }

  ImageFormat Format() const override { return ImageFormat::Ewf; }
  DWORD Size(std::uint64_t* bytes) override {
    *bytes = mediaSize;
    return code::Success;
  }
  std::uint32_t LogicalSectorSize() override { return media.bytesPerSector; }
  bool StoredMd5(std::uint8_t digest[16]) const override {
    if (haveMd5) std::memcpy(digest, md5, sizeof md5);
    return haveMd5;
  }

  DWORD Open(const std::string& path, std::string* problem);
  DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered) override;

 private:
  DWORD WalkSegment(std::size_t segment, bool* done, std::string* problem);
  DWORD ReadMedia(ImageFile& file, std::uint64_t at, std::uint64_t bytes, Media* found, std::string* problem);
  DWORD AddTable(ImageFile& file, std::size_t segment, std::uint64_t at, std::uint64_t bytes, bool mirror,
                 std::uint64_t limit, std::string* problem);
  DWORD ReadHash(ImageFile& file, std::uint64_t at, std::uint64_t bytes, bool digest);
  DWORD TableEntries(std::size_t table, const std::uint8_t** entries);
  DWORD DecodeChunk(std::uint64_t chunk);
  std::string Where(std::uint64_t chunk) const;

  FileSet segments;
  SegmentNames names;
  std::vector<Table> tableList;
  Media media;
  std::uint64_t chunkBytes = 0;
  std::uint64_t mediaSize = 0;
  std::uint64_t chunks = 0;
  bool haveMd5 = false;
  std::uint8_t md5[ewf::Md5Size] = {};

  PageCache tables;
  ByteBuffer chunk;       // the decoded chunk (and a stored chunk's checksum)
  std::uint64_t chunkIndex = UINT64_MAX;
  ByteBuffer packed;      // a compressed chunk as read
  std::uint32_t packedBytes = 0;
  z_stream stream{};
  bool inflating = false;
};

DWORD EwfImage::ReadMedia(ImageFile& file, std::uint64_t at, std::uint64_t bytes, Media* found,
                          std::string* problem) {
  const bool smart = bytes < ewf::VolumeSize;
  if (bytes < ewf::SmartVolumeSize) {
    *problem = "an EWF volume section too short to hold the disk's size";
    return code::DiskCorrupt;
  }
  std::uint8_t values[ewf::VolumeSize];
  const std::uint32_t size = smart ? ewf::SmartVolumeSize : ewf::VolumeSize;
  DWORD result = ReadExact(file, at, values, size);
  if (result != code::Success) return result;
  ByteReader reader(values, size);
  const std::size_t checksumAt = smart ? ewf::SmartVolumeChecksum : ewf::VolumeChecksum;
  std::uint32_t stored = 0;
  reader.U32(checksumAt, &stored);
  if (Adler32(values, checksumAt) != stored) {
    *problem = "an EWF volume section is damaged (its checksum does not check)";
    return code::DiskCorrupt;
  }
  reader.U32(ewf::VolumeChunkCount, &found->chunkCount);
  reader.U32(ewf::VolumeSectorsPerChunk, &found->sectorsPerChunk);
  reader.U32(ewf::VolumeBytesPerSector, &found->bytesPerSector);
  reader.Unsigned(ewf::VolumeSectorCount, smart ? 4 : 8, &found->sectorCount);
  found->found = true;
  return code::Success;
}

DWORD EwfImage::AddTable(ImageFile& file, std::size_t segment, std::uint64_t at, std::uint64_t bytes, bool mirror,
                         std::uint64_t limit, std::string* problem) {
  std::uint8_t header[ewf::TableHeaderSize];
  if (bytes < sizeof header) {
    *problem = "an EWF table section too short for its header in " + segments.Name(segment);
    return code::DiskCorrupt;
  }
  DWORD result = ReadExact(file, at, header, sizeof header);
  if (result != code::Success) return result;
  ByteReader reader(header, sizeof header);
  std::uint32_t count = 0, stored = 0;
  std::uint64_t base = 0;
  reader.U32(ewf::TableEntryCount, &count);
  reader.U64(ewf::TableBaseOffset, &base);
  reader.U32(ewf::TableHeaderChecksum, &stored);
  const bool headerChecks = Adler32(header, ewf::TableHeaderChecksum) == stored;
  if (headerChecks && count > ewf::MaxTableEntries) {
    *problem = "an EWF table in " + segments.Name(segment) + " lists more chunks than this program reads at once";
    return code::NotSupported;
  }
  // The entries and their checksum lie inside the section.
  const bool checks = headerChecks && (bytes - sizeof header) / ewf::TableEntrySize > count;
  const std::uint64_t entriesAt = at + sizeof header;
  // table2 repeats the table before it; alone, it stands for one.
  if (mirror && !tableList.empty()) {
    Table& last = tableList.back();
    if (last.segment == segment && last.mirrorAt == 0) {
      if (checks && (!last.headerChecks || (count == last.count && base == last.base))) {
        last.mirrorAt = entriesAt;
        last.mirrorChecks = true;
        if (!last.headerChecks) {
          last.count = count;
          last.base = base;
        }
      }
      return code::Success;
    }
  }
  const std::uint64_t first = tableList.empty() ? 0 : tableList.back().firstChunk + tableList.back().count;
  try {
    tableList.push_back({segment, entriesAt, 0, checks, false, checks ? count : 0, base, limit, first});
  } catch (const std::bad_alloc&) {
    return code::NotEnoughMemory;
  }
  return code::Success;
}

DWORD EwfImage::ReadHash(ImageFile& file, std::uint64_t at, std::uint64_t bytes, bool digest) {
  std::uint8_t values[ewf::DigestSize];
  const std::uint32_t size = digest ? ewf::DigestSize : ewf::HashSize;
  const std::size_t checksumAt = digest ? ewf::DigestChecksum : ewf::HashChecksum;
  if (bytes < size) return code::Success;  // no hash to check against
  const DWORD result = ReadExact(file, at, values, size);
  if (result != code::Success) return result;
  std::uint32_t stored = 0;
  ByteReader(values, size).U32(checksumAt, &stored);
  if (Adler32(values, checksumAt) == stored) {
    std::memcpy(md5, values, sizeof md5);
    haveMd5 = true;
  }
  return code::Success;
}

// Walks the sections of one segment; `done` when it is the last.
DWORD EwfImage::WalkSegment(std::size_t segment, bool* done, std::string* problem) {
  *done = false;
  ImageFile* file = nullptr;
  DWORD result = segments.File(segment, &file);
  if (result != code::Success) return result;
  const std::string& name = segments.Name(segment);
  const std::uint64_t size = segments.Size(segment);
  std::uint8_t header[ewf::FileHeaderSize];
  result = ReadExact(*file, 0, header, sizeof header);
  if (result != code::Success) return result;
  std::uint16_t number = 0;
  ByteReader(header, sizeof header).U16(ewf::SegmentNumber, &number);
  if (std::memcmp(header, ewf::Signature, sizeof ewf::Signature) != 0 || header[ewf::FieldsStart] != 1) {
    *problem = name + " is not an EWF segment";
    return code::DiskCorrupt;
  }
  if (names.named && number != segment + 1) {
    *problem = name + " says it is segment " + std::to_string(number) + " of its set";
    return code::DiskCorrupt;
  }
  std::uint64_t sectorsEnd = 0;  // where the last sectors section's data ends
  for (std::uint64_t at = ewf::FileHeaderSize, sections = 0;; ++sections) {
    if (sections > MaxSectionsPerSegment) {
      *problem = name + " has more sections than any writer makes";
      return code::DiskCorrupt;
    }
    std::uint8_t descriptor[ewf::DescriptorSize];
    if (at > size || size - at < sizeof descriptor) {
      *problem = name + " is cut short: it ends before its section at byte " + std::to_string(at);
      return code::HandleEof;
    }
    result = ReadExact(*file, at, descriptor, sizeof descriptor);
    if (result != code::Success) return result;
    ByteReader reader(descriptor, sizeof descriptor);
    std::uint64_t next = 0, length = 0;
    std::uint32_t stored = 0;
    reader.U64(ewf::SectionNext, &next);
    reader.U64(ewf::SectionSize, &length);
    reader.U32(ewf::DescriptorChecksum, &stored);
    if (Adler32(descriptor, ewf::DescriptorChecksum) != stored) {
      *problem = "the section at byte " + std::to_string(at) + " of " + name + " is damaged (its checksum does not check)";
      return code::DiskCorrupt;
    }
    const std::string type = SectionName(descriptor);
    if (type == "done" || type == "next") {
      *done = type == "done";
      return code::Success;
    }
    // Sections run forward, whole, inside the file.
    if (next <= at || next - at < sizeof descriptor || length < sizeof descriptor || length > next - at) {
      *problem = "the section at byte " + std::to_string(at) + " of " + name + " gives no place for the next one";
      return code::DiskCorrupt;
    }
    if (next > size) {
      *problem = name + " is cut short: its " + type + " section at byte " + std::to_string(at) + " runs past its end";
      return code::HandleEof;
    }
    const std::uint64_t data = at + sizeof descriptor, bytes = length - sizeof descriptor;
    if (type == "volume" || type == "disk" || type == "data") {
      Media found;
      result = ReadMedia(*file, data, bytes, &found, problem);
      // Some writers leave the data section's checksum out: the volume section counts.
      if (type == "data" && result == code::DiskCorrupt) {
        problem->clear();
        at = next;
        continue;
      }
      if (result != code::Success) return result;
      if (media.found && !(found == media)) {
        *problem = name + " belongs to another image: its disk values differ";
        return code::DiskCorrupt;
      }
      media = found;
    } else if (type == "sectors") {
      sectorsEnd = at + length;
    } else if (type == "table" || type == "table2") {
      result = AddTable(*file, segment, data, bytes, type == "table2", sectorsEnd != 0 ? sectorsEnd : at, problem);
      if (result != code::Success) return result;
    } else if (type == "hash" || type == "digest") {
      result = ReadHash(*file, data, bytes, type == "digest");
      if (result != code::Success) return result;
    }
    at = next;
  }
}

DWORD EwfImage::Open(const std::string& path, std::string* problem) {
  names = NamesFor(path);
  bool done = false;
  for (unsigned number = 1; !done; ++number) {
    const std::string name = names.named ? names.Name(number) : path;
    if (number > ewf::MaxSegments || (!names.named && number > 1)) {
      *problem = "the EWF set goes on past " + segments.Name(segments.Count() - 1) + ", and its next segment has no name";
      return code::DiskCorrupt;
    }
    std::unique_ptr<ImageFile> file;
    DWORD result = segments.Files().Open(name, &file);
    if (result == code::FileNotFound || result == code::PathNotFound) {
      *problem = number > 1 ? name + " is missing: the EWF set goes on past " + segments.Name(number - 2)
                            : name + ", the first segment of the EWF set, is missing";
      return code::FileNotFound;
    }
    if (result == code::Success) result = segments.Add(name, std::move(file));
    if (result == code::Success) result = WalkSegment(number - 1, &done, problem);
    if (result != code::Success) {
      if (problem->empty()) *problem = name;
      return result;
    }
  }
  if (!media.found) {
    *problem = "the EWF set has no volume section";
    return code::DiskCorrupt;
  }
  for (const Table& table : tableList) {
    if (!table.headerChecks && !table.mirrorChecks) {
      *problem = "the EWF table at byte " + std::to_string(table.entriesAt - ewf::TableHeaderSize) + " of " +
                 segments.Name(table.segment) + " is damaged, and no table2 stands in for it";
      return code::DiskCorrupt;
    }
  }
  const std::uint32_t sectorBytes = media.bytesPerSector;
  chunkBytes = std::uint64_t{media.sectorsPerChunk} * sectorBytes;
  if (!IsSectorSize(sectorBytes) || media.sectorsPerChunk == 0 || chunkBytes > ewf::MaxChunkSize ||
      media.sectorCount > UINT64_MAX / sectorBytes) {
    *problem = "the EWF volume section gives a sector or chunk size this program does not read";
    return code::NotSupported;
  }
  mediaSize = media.sectorCount * sectorBytes;
  chunks = media.sectorCount / media.sectorsPerChunk + (media.sectorCount % media.sectorsPerChunk != 0 ? 1 : 0);
  const std::uint64_t listed = tableList.empty() ? 0 : tableList.back().firstChunk + tableList.back().count;
  if (listed < chunks) {
    *problem = "the EWF tables list " + std::to_string(listed) + " chunks; the disk needs " + std::to_string(chunks);
    return code::DiskCorrupt;
  }
  // A zlib stream of a chunk is never much larger than the chunk.
  packedBytes = static_cast<std::uint32_t>(chunkBytes + chunkBytes / 16 + 1024);
  chunk = AllocateZeroed(static_cast<std::size_t>(chunkBytes) + ewf::ChunkChecksumSize);
  packed = AllocateZeroed(packedBytes);
  if (!chunk || !packed || inflateInit(&stream) != Z_OK) return code::NotEnoughMemory;
  inflating = true;
  return code::Success;
}

std::string EwfImage::Where(std::uint64_t index) const {
  const Table& table = tableList[static_cast<std::size_t>(
      std::upper_bound(tableList.begin(), tableList.end(), index,
                       [](std::uint64_t value, const Table& t) { return value < t.firstChunk; }) -
      tableList.begin() - 1)];
  return "EWF chunk " + std::to_string(index) + " (in " + segments.Name(table.segment) + ")";
}

// The table's entries, checked by the Adler-32 after them (the mirror's
// when the table's own fails).
DWORD EwfImage::TableEntries(std::size_t index, const std::uint8_t** entries) {
  const Table& table = tableList[index];
  return tables.Get(
      index,
      [&](std::uint8_t* into) {
        const std::uint32_t bytes = table.count * ewf::TableEntrySize;
        ImageFile* file = nullptr;
        DWORD result = segments.File(table.segment, &file);
        if (result != code::Success) return result;
        for (int copy = 0; copy < 2; ++copy) {
          const std::uint64_t at = copy == 0 ? table.entriesAt : table.mirrorAt;
          if ((copy == 0 && !table.headerChecks) || (copy == 1 && (at == 0 || !table.mirrorChecks))) continue;
          result = ReadExact(*file, at, into, bytes + ewf::ChunkChecksumSize);
          if (result != code::Success) return result;
          std::uint32_t stored = 0;
          ByteReader(into, bytes + ewf::ChunkChecksumSize).U32(bytes, &stored);
          if (Adler32(into, bytes) == stored) return DWORD{code::Success};
        }
        return DWORD{code::DiskCorrupt};
      },
      entries);
}

DWORD EwfImage::DecodeChunk(std::uint64_t index) {
  chunkIndex = UINT64_MAX;
  const std::size_t t = static_cast<std::size_t>(
      std::upper_bound(tableList.begin(), tableList.end(), index,
                       [](std::uint64_t value, const Table& table) { return value < table.firstChunk; }) -
      tableList.begin() - 1);
  const Table& table = tableList[t];
  const std::uint8_t* entries = nullptr;
  DWORD result = TableEntries(t, &entries);
  if (result == code::DiskCorrupt) return Fail(result, "the table of " + Where(index) + " is damaged");
  if (result != code::Success) return Fail(result, "the table of " + Where(index) + " cannot be read");
  ByteReader reader(entries, std::size_t{table.count} * ewf::TableEntrySize);
  const std::uint32_t k = static_cast<std::uint32_t>(index - table.firstChunk);
  std::uint32_t entry = 0, following = 0;
  reader.U32(std::size_t{k} * ewf::TableEntrySize, &entry);
  const std::uint64_t start = table.base + (entry & ewf::EntryOffsetMask);
  std::uint64_t end = table.limit;
  if (k + 1 < table.count) {
    reader.U32(std::size_t{k + 1} * ewf::TableEntrySize, &following);
    end = table.base + (following & ewf::EntryOffsetMask);
  }
  if (start < ewf::FileHeaderSize || start >= end || end > table.limit) {
    return Fail(code::DiskCorrupt, "the table entry of " + Where(index) + " points outside its data");
  }
  const std::uint32_t mediaBytes =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(chunkBytes, mediaSize - index * chunkBytes));
  ImageFile* file = nullptr;
  result = segments.File(table.segment, &file);
  if (result != code::Success) return Fail(result, Where(index) + " cannot be read");
  if ((entry & ewf::EntryCompressed) == 0) {
    const std::uint32_t stored = mediaBytes + ewf::ChunkChecksumSize;
    if (end - start < stored) return Fail(code::DiskCorrupt, Where(index) + " is shorter than its data");
    result = ReadExact(*file, start, chunk.get(), stored);
    if (result != code::Success) return Fail(result, Where(index) + " cannot be read");
    std::uint32_t checksum = 0;
    ByteReader(chunk.get(), stored).U32(mediaBytes, &checksum);
    if (Adler32(chunk.get(), mediaBytes) != checksum) {
      return Fail(code::Crc, Where(index) + " does not match its checksum");
    }
    chunkIndex = index;
    return code::Success;
  }
  const std::uint32_t take = static_cast<std::uint32_t>(std::min<std::uint64_t>(end - start, packedBytes));
  result = ReadExact(*file, start, packed.get(), take);
  if (result != code::Success) return Fail(result, Where(index) + " cannot be read");
  // The stream must end exactly at the chunk's size: no more output fits.
  inflateReset(&stream);
  stream.next_in = packed.get();
  stream.avail_in = take;
  stream.next_out = chunk.get();
  stream.avail_out = mediaBytes;
  int status = inflate(&stream, Z_FINISH);
  if (status != Z_STREAM_END && status != Z_DATA_ERROR && stream.avail_out == 0) {
    std::uint8_t beyond = 0;
    stream.next_out = &beyond;
    stream.avail_out = 1;
    status = inflate(&stream, Z_FINISH);
    if (stream.avail_out == 0) return Fail(code::DiskCorrupt, Where(index) + " inflates past the chunk size");
  }
  if (status == Z_DATA_ERROR) return Fail(code::Crc, Where(index) + " is damaged (zlib: bad data or checksum)");
  if (status != Z_STREAM_END || stream.total_out != mediaBytes) {
    return Fail(code::DiskCorrupt, Where(index) + " does not inflate to its chunk size");
  }
  chunkIndex = index;
  return code::Success;
}

DWORD EwfImage::ReadAt(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered) {
  *delivered = 0;
  if (offset >= mediaSize) return code::Success;
  const std::uint32_t wanted = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, mediaSize - offset));
  auto* out = static_cast<std::uint8_t*>(destination);
  while (*delivered < wanted) {
    const std::uint64_t at = offset + *delivered;
    const std::uint64_t index = at / chunkBytes;
    const std::uint32_t within = static_cast<std::uint32_t>(at % chunkBytes);
    const std::uint32_t take =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(wanted - *delivered, chunkBytes - within));
    if (index != chunkIndex) {
      const DWORD result = DecodeChunk(index);
      if (result != code::Success) return result;
    }
    std::memcpy(out + *delivered, chunk.get() + within, take);
    *delivered += take;
  }
  return code::Success;
}

}  // namespace

DWORD OpenEwf(ImageFiles& files, const std::string& path, std::unique_ptr<DiskImage>* image, std::string* problem) {
  std::unique_ptr<EwfImage> ewf(new (std::nothrow) EwfImage(files));
  if (!ewf) return code::NotEnoughMemory;
  const DWORD result = ewf->Open(path, problem);
  if (result != code::Success) return result;
  *image = std::move(ewf);
  return code::Success;
}
