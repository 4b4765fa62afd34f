#include "ntfs/RecordSignatures.h"

#include <cstring>

#include "ntfs/MFTRecord.h"
#include "ntfs/NtfsLayout.h"
#include "ntfs/RunList.h"
#include "util/ByteReader.h"

namespace {

// Bytes of a record's header that every check reads: through its number.
constexpr std::uint32_t RecordHeaderBytes = ntfs::RecordNumber + 4;
// Of an index block's: through its node header's allocated size.
constexpr std::uint32_t IndexHeaderBytes = ntfs::IndexHeader + ntfs::IndexAllocatedSize + 4;
// Attributes a hint walk looks at: a record holds few; a damaged one is not walked for ever.
constexpr int MaxHintAttributes = 64;

bool IsPowerOfTwoIn(std::uint64_t value, std::uint64_t low, std::uint64_t high) {
  return value >= low && value <= high && (value & (value - 1)) == 0;
}

unsigned Log2(std::uint64_t value) {
  unsigned bits = 0;
  while (value > 1) {
    value >>= 1;
    ++bits;
  }
  return bits;
}

// The update sequence array of a structure `size` bytes long: it must have
// one entry per stride after the number, and lie before the first stride's
// last two bytes, after the fields at `minimumOffset`.
bool UsaFits(std::uint16_t usaOffset, std::uint16_t usaCount, std::uint32_t size, std::uint32_t minimumOffset) {
  return usaCount == size / ntfs::UsaSectorSize + 1 && usaOffset >= minimumOffset && usaOffset % 2 == 0 &&
         std::uint32_t{usaOffset} + 2u * usaCount <= ntfs::UsaSectorSize - 2;
}

bool StridesCarry(const std::uint8_t* bytes, std::uint32_t size, std::uint16_t usaOffset) {
  for (std::uint32_t end = ntfs::UsaSectorSize; end <= size; end += ntfs::UsaSectorSize) {
    if (bytes[end - 2] != bytes[usaOffset] || bytes[end - 1] != bytes[usaOffset + 1]) return false;
  }
  return true;
}

}  // namespace

Recognised RecogniseRecord(const std::uint8_t* bytes, std::size_t available, RecordHeader* header,
                           std::uint32_t* needed) {
  if (available < 4) return Recognised::No;
  RecordKind kind = RecordKind::File;
  if (std::memcmp(bytes, "BAAD", 4) == 0) {
    kind = RecordKind::Bad;
  } else if (std::memcmp(bytes, "FILE", 4) != 0) {
    return Recognised::No;
  }
  if (available < RecordHeaderBytes) {
    *needed = RecordHeaderBytes;
    return Recognised::NeedMore;
  }
  const ByteReader fields(bytes, RecordHeaderBytes);
  std::uint16_t usaOffset = 0, usaCount = 0, firstAttribute = 0;
  std::uint32_t allocated = 0, inUse = 0;
  fields.U16(ntfs::RecordUsaOffset, &usaOffset);
  fields.U16(ntfs::RecordUsaCount, &usaCount);
  fields.U16(ntfs::RecordFirstAttribute, &firstAttribute);
  fields.U32(ntfs::RecordBytesInUse, &inUse);
  fields.U32(ntfs::RecordBytesAllocated, &allocated);
  if (!IsPowerOfTwoIn(allocated, ntfs::MinRecordSize, ntfs::MaxRecordSize) ||
      !UsaFits(usaOffset, usaCount, allocated, ntfs::RecordOldUsa)) {
    return Recognised::No;
  }
  // Attributes are 8-byte aligned and start after the update sequence.
  if (kind == RecordKind::File &&
      (firstAttribute < std::uint32_t{usaOffset} + 2u * usaCount || firstAttribute % 8 != 0 ||
       firstAttribute >= allocated || inUse > allocated)) {
    return Recognised::No;
  }
  if (available < allocated) {
    *needed = allocated;
    return Recognised::NeedMore;
  }
  if (kind == RecordKind::File && !StridesCarry(bytes, allocated, usaOffset)) return Recognised::No;
  RecordHeader found;
  found.kind = kind;
  found.size = allocated;
  // In a 3.0 record the update sequence takes the place of the number.
  found.hasNumber = usaOffset >= ntfs::RecordNumberedUsa;
  if (found.hasNumber) fields.U32(ntfs::RecordNumber, &found.number);
  fields.U16(ntfs::RecordSequence, &found.sequence);
  fields.U8(ntfs::RecordFlags, &found.flags);
  fields.U64(ntfs::RecordBaseReference, &found.baseReference);
  *header = found;
  return Recognised::Yes;
}

Recognised RecogniseIndexBlock(const std::uint8_t* bytes, std::size_t available, IndexBlock* block,
                               std::uint32_t* needed, std::uint8_t* scratch) {
  if (available < 4 || std::memcmp(bytes, "INDX", 4) != 0) return Recognised::No;
  if (available < IndexHeaderBytes) {
    *needed = IndexHeaderBytes;
    return Recognised::NeedMore;
  }
  const ByteReader fields(bytes, IndexHeaderBytes);
  std::uint16_t usaOffset = 0, usaCount = 0;
  std::uint32_t allocated = 0;
  fields.U16(ntfs::RecordUsaOffset, &usaOffset);
  fields.U16(ntfs::RecordUsaCount, &usaCount);
  fields.U32(ntfs::IndexHeader + ntfs::IndexAllocatedSize, &allocated);
  const std::uint32_t size = usaCount == 0 ? 0 : (usaCount - 1u) * ntfs::UsaSectorSize;
  if (!IsPowerOfTwoIn(size, ntfs::MinRecordSize, ntfs::MaxRecordSize) ||
      !UsaFits(usaOffset, usaCount, size, IndexHeaderBytes) || allocated != size - ntfs::IndexHeader) {
    return Recognised::No;
  }
  if (available < size) {
    *needed = size;
    return Recognised::NeedMore;
  }
  if (!StridesCarry(bytes, size, usaOffset)) return Recognised::No;
  IndexBlock found;
  found.size = size;
  fields.U64(ntfs::IndexVcn, &found.vcn);
  std::memcpy(scratch, bytes, size);
  ApplyStrides(scratch, size);
  // The first entry's key, when it is a $FILE_NAME, names the folder.
  const ByteReader whole(scratch, size);
  std::uint32_t entriesOffset = 0;
  std::uint16_t keyLength = 0, flags = 0;
  whole.U32(ntfs::IndexHeader + ntfs::IndexEntriesOffset, &entriesOffset);
  const std::uint64_t entry = std::uint64_t{ntfs::IndexHeader} + entriesOffset;
  if (entry < size && whole.U16(entry + ntfs::IndexEntryKeyLength, &keyLength) &&
      whole.U16(entry + ntfs::IndexEntryFlags, &flags) && (flags & ntfs::IndexEntryLast) == 0 &&
      keyLength >= ntfs::FnName) {
    whole.U64(entry + ntfs::IndexEntryKey + ntfs::FnParentReference, &found.owner);
  }
  *block = found;
  return Recognised::Yes;
}

bool RecogniseBootSector(const std::uint8_t* sector, std::uint64_t position, NtfsGeometry* geometry) {
  return std::memcmp(sector + ntfs::BootOemId, "NTFS    ", 8) == 0 && HasBootEndMarker(sector) &&
         ParseBootSector(sector, position, geometry) == code::Success;
}

void ApplyStrides(std::uint8_t* bytes, std::uint32_t size) {
  const std::uint16_t usaOffset = static_cast<std::uint16_t>(bytes[ntfs::RecordUsaOffset] |
                                                             bytes[ntfs::RecordUsaOffset + 1] << 8);
  std::uint32_t entry = usaOffset + 2u;
  for (std::uint32_t end = ntfs::UsaSectorSize; end <= size; end += ntfs::UsaSectorSize, entry += 2) {
    bytes[end - 2] = bytes[entry];
    bytes[end - 1] = bytes[entry + 1];
  }
}

bool IsWholeRecord(const std::uint8_t* bytes, std::uint32_t size) {
  RecordHeader header;
  std::uint32_t needed = 0;
  return RecogniseRecord(bytes, size, &header, &needed) == Recognised::Yes && header.kind == RecordKind::File &&
         header.size == size;
}

void ReadRecordHints(const std::uint8_t* record, std::uint32_t size, RecordHints* hints) {
  *hints = RecordHints{};
  const ByteReader bytes(record, size);
  std::uint16_t offset = 0;
  if (!bytes.U16(ntfs::RecordFirstAttribute, &offset)) return;
  std::uint32_t at = offset;
  for (int walked = 0; walked < MaxHintAttributes; ++walked) {
    std::uint32_t type = 0, length = 0;
    if (!bytes.U32(at + ntfs::AttrType, &type) || type == ntfs::TypeEnd || !bytes.U32(at + ntfs::AttrLength, &length) ||
        length < ntfs::AttrMinimumLength || !bytes.Holds(at, length)) {
      return;
    }
    const ByteReader attribute(record + at, length);
    at += length;
    std::uint8_t nonResident = 0;
    attribute.U8(ntfs::AttrNonResident, &nonResident);
    if (nonResident == 0) {
      const std::uint8_t* value = nullptr;
      std::uint32_t valueLength = 0;
      if (type == ntfs::TypeIndexRoot && AttributeNamed(attribute, u"$I30") &&
          ResidentValueOf(attribute, &value, &valueLength) == code::Success) {
        ByteReader(value, valueLength).U32(ntfs::IndexRootBlockSize, &hints->indexBlockSize);
      }
      continue;
    }
    std::uint64_t firstVcn = 0, lastVcn = 0, allocated = 0;
    std::uint16_t flags = 0, listOffset = 0;
    std::uint8_t unit = 0;
    if (!attribute.U64(ntfs::AttrFirstVcn, &firstVcn) || !attribute.U64(ntfs::AttrLastVcn, &lastVcn) ||
        !attribute.U64(ntfs::AttrAllocatedSize, &allocated) || !attribute.U16(ntfs::AttrFlags, &flags) ||
        !attribute.U16(ntfs::AttrRunListOffset, &listOffset) || !attribute.U8(ntfs::AttrCompressionUnit, &unit) ||
        firstVcn != 0) {
      continue;
    }
    // Allocated bytes are whole clusters, one per VCN; a compressed value's too,
    // but its unit field is what varies, so only plain values are asked.
    const std::uint64_t clusters = lastVcn + 1;
    if (hints->clusterLog2 == 0 && (flags & ntfs::AttrFlagCompressed) == 0 && unit == 0 && clusters != 0 &&
        lastVcn < (1ull << 48) && allocated % clusters == 0 &&
        IsPowerOfTwoIn(allocated / clusters, ntfs::MinBytesPerSector, ntfs::MaxClusterSize)) {
      hints->clusterLog2 = static_cast<std::uint8_t>(Log2(allocated / clusters));
    }
    if (type == ntfs::TypeIndexAllocation && !hints->hasIndexRun && AttributeNamed(attribute, u"$I30")) {
      RunListCursor cursor(attribute, listOffset);
      DataRun run;
      bool more = false;
      if (cursor.Next(&run, &more) == code::Success && more && !run.sparse && run.length != 0) {
        hints->hasIndexRun = true;
        hints->indexLcn = static_cast<std::uint64_t>(run.lcn);
        hints->indexClusters = run.length;
      }
    }
  }
}
