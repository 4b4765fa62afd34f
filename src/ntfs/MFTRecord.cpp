#include "ntfs/MFTRecord.h"

#include <algorithm>
#include <cstring>

#include "ntfs/RunList.h"

CMFTRecord::CMFTRecord() {
  std::memset(standardInformation, 0, sizeof standardInformation);
  std::memset(fileName, 0, sizeof fileName);
}

CMFTRecord::~CMFTRecord() = default;

void CMFTRecord::SetDiskHandle(DiskReader* diskReader) { disk = diskReader; }

DWORD CMFTRecord::SetGeometry(std::uint32_t recordBytes, std::uint32_t clusterBytes,
                              std::uint64_t partitionByteOffset) {
  if (recordBytes == 0 || clusterBytes == 0 || recordBytes % 2 != 0 || clusterBytes % 2 != 0) {
    return code::InvalidParameter;
  }
  recordSize = recordBytes;
  clusterSize = clusterBytes;
  partitionOffset = partitionByteOffset;
  return code::Success;
}

DWORD CMFTRecord::ParseRecord(std::uint8_t* bytes, std::uint32_t length, bool skipContent,
                              bool directoriesOnly) {
  // The fix-ups always touch bytes 510 and 1022, so a record is never shorter.
  if (recordSize == 0 || recordSize > length || length < ntfs::RecordSize) {
    return code::InvalidParameter;
  }
  if (bytes == nullptr) return code::InvalidParameter;
  recordBytes = bytes;
  attributeOffset = 0;
  data.reset();
  dataSize = 0;

  const ByteReader record(bytes, ntfs::RecordSize);
  std::uint16_t usaOffset = 0;
  if (!record.U16(ntfs::RecordUsaOffset, &usaOffset) || !record.Holds(usaOffset, ntfs::UsaBytes)) {
    return code::InvalidParameter;
  }
  // Entries 1 and 2 restore the last two bytes of each 512-byte sector. The
  // sequence number itself is not compared: a torn record parses as it lies.
  for (std::uint32_t sector = 1; sector <= ntfs::UsaFixedSectors; ++sector) {
    std::memmove(bytes + sector * ntfs::UsaSectorSize - 2, bytes + usaOffset + 2 * sector, 2);
  }
  if (std::memcmp(bytes + ntfs::RecordSignature, "FILE", 4) != 0) return code::InvalidParameter;

  std::uint8_t flags = 0;
  record.U8(ntfs::RecordFlags, &flags);
  inUse = (flags & ntfs::RecordInUse) != 0;
  if (inUse && skipContent && !directoriesOnly) return code::Success;
  if ((flags & ntfs::RecordIsDirectory) == 0 && directoriesOnly) return code::Success;

  record.U16(ntfs::RecordFirstAttribute, &attributeOffset);
  bool dataSeen = false;
  for (;;) {
    std::uint32_t type = 0;
    if (!record.U32(attributeOffset + ntfs::AttrType, &type)) return code::InvalidParameter;
    if (type == ntfs::TypeIndexRoot || type == ntfs::TypeIndexAllocation || type == ntfs::TypeEnd) {
      return code::Success;
    }
    std::uint32_t attributeLength = 0;
    if (!record.U32(attributeOffset + ntfs::AttrLength, &attributeLength)) {
      return code::InvalidParameter;
    }
    if (attributeLength == 0) return code::Success;  // nothing more can be bounded
    // A shorter one would put the next attribute inside its own header.
    if (attributeLength < ntfs::AttrMinimumLength || !record.Holds(attributeOffset, attributeLength)) {
      return code::InvalidParameter;
    }
    const ByteReader attribute(bytes + attributeOffset, attributeLength);

    DWORD result = code::Success;
    ByteBuffer value;
    std::uint64_t valueSize = 0;
    if (type == ntfs::TypeStandardInformation) {
      result = ReadAttributeValue(attribute, &value, &valueSize, sizeof standardInformation);
      if (result == code::Success) {
        std::memset(standardInformation, 0, sizeof standardInformation);
        std::memcpy(standardInformation, value.get(), static_cast<std::size_t>(valueSize));
        standardInformationLength = static_cast<std::uint32_t>(valueSize);
      }
    } else if (type == ntfs::TypeFileName) {
      // The last unit of the area stays zero, so the name is always ended.
      result = ReadAttributeValue(attribute, &value, &valueSize, sizeof fileName - 2);
      if (result == code::Success) {
        std::memset(fileName, 0, sizeof fileName);
        std::memcpy(fileName, value.get(), static_cast<std::size_t>(valueSize));
      }
    } else if (type == ntfs::TypeData && !dataSeen) {
      dataSeen = true;  // a later $DATA, named or not, is passed over
      result = ReadData(attribute, skipContent);
    }
    if (result != code::Success) return result;
    attributeOffset = static_cast<std::uint16_t>(attributeOffset + attributeLength);
  }
}

DWORD CMFTRecord::ReadResidentValue(const ByteReader& attribute, const std::uint8_t** value,
                                    std::uint32_t* length) const {
  std::uint32_t valueLength = 0;
  std::uint16_t valueOffset = 0;
  if (!attribute.U32(ntfs::AttrValueLength, &valueLength) ||
      !attribute.U16(ntfs::AttrValueOffset, &valueOffset) ||
      !attribute.Holds(valueOffset, valueLength)) {
    return code::InvalidParameter;
  }
  *value = attribute.Data() + valueOffset;
  *length = valueLength;
  return code::Success;
}

DWORD CMFTRecord::ValueSize(const ByteReader& attribute, bool strict, std::uint64_t* size) const {
  std::uint8_t nonResident = 0;
  if (!attribute.U8(ntfs::AttrNonResident, &nonResident)) return code::InvalidParameter;
  if (nonResident == 0) {
    const std::uint8_t* value = nullptr;
    std::uint32_t length = 0;
    DWORD result = ReadResidentValue(attribute, &value, &length);
    *size = length;
    return result;
  }
  std::uint64_t firstVcn = 0, lastVcn = 0, allocated = 0, real = 0;
  std::uint16_t listOffset = 0;
  if (!attribute.U64(ntfs::AttrFirstVcn, &firstVcn) || !attribute.U64(ntfs::AttrLastVcn, &lastVcn) ||
      !attribute.U16(ntfs::AttrRunListOffset, &listOffset) ||
      !attribute.U64(ntfs::AttrAllocatedSize, &allocated) ||
      !attribute.U64(ntfs::AttrRealSize, &real)) {
    return code::InvalidParameter;
  }
  std::uint64_t capacity = allocated;
  if (capacity == 0) {
    // An empty attribute has last VCN = first VCN - 1; VCNs never exceed 63 bits.
    const auto first = static_cast<std::int64_t>(firstVcn);
    const auto last = static_cast<std::int64_t>(lastVcn);
    const std::uint64_t clusters =
        (first < 0 || last < first) ? 0 : static_cast<std::uint64_t>(last - first) + 1;
    capacity = SaturatingMultiply(clusters, clusterSize);
  }
  std::uint64_t mappedClusters = 0;
  RunListCursor cursor(attribute, listOffset);
  for (;;) {
    DataRun run;
    bool more = false;
    DWORD result = cursor.Next(&run, &more);
    if (result != code::Success) {
      if (strict) return result;
      break;
    }
    if (!more || (run.sparse && valueEndsAtHole)) break;
    mappedClusters = mappedClusters > UINT64_MAX - run.length ? UINT64_MAX : mappedClusters + run.length;
  }
  *size = std::min({real, capacity, SaturatingMultiply(mappedClusters, clusterSize)});
  return code::Success;
}

DWORD CMFTRecord::ReadAttributeValue(const ByteReader& attribute, ByteBuffer* value,
                                     std::uint64_t* valueSize, std::uint64_t limit) {
  std::uint64_t size = 0;
  DWORD result = ValueSize(attribute, true, &size);
  if (result != code::Success) return result;
  size = std::min(size, limit);
  if (size > MaxWholeValue || size > SIZE_MAX) return code::NotEnoughMemory;
  ByteBuffer buffer = AllocateZeroed(static_cast<std::size_t>(size));
  if (!buffer) return code::NotEnoughMemory;

  std::uint8_t nonResident = 0;
  attribute.U8(ntfs::AttrNonResident, &nonResident);
  if (nonResident == 0) {
    const std::uint8_t* resident = nullptr;
    std::uint32_t length = 0;
    ReadResidentValue(attribute, &resident, &length);
    std::memcpy(buffer.get(), resident, static_cast<std::size_t>(size));
  } else {
    result = ReadRuns(attribute, size, buffer.get(), nullptr);
    if (result != code::Success) return result;
  }
  *value = std::move(buffer);
  *valueSize = size;
  return code::Success;
}

DWORD CMFTRecord::ReadData(const ByteReader& attribute, bool skipContent) {
  DWORD result = ValueSize(attribute, !skipContent, &dataSize);
  dataSize = std::min(dataSize, dataLimit);
  if (result != code::Success || skipContent) return result;
  if (contentSink == nullptr) {
    std::uint64_t size = 0;
    result = ReadAttributeValue(attribute, &data, &size, dataLimit);
    dataSize = size;
    return result;
  }
  std::uint8_t nonResident = 0;
  attribute.U8(ntfs::AttrNonResident, &nonResident);
  if (nonResident != 0) return ReadRuns(attribute, dataSize, nullptr, contentSink);
  const std::uint8_t* resident = nullptr;
  std::uint32_t length = 0;
  ReadResidentValue(attribute, &resident, &length);
  return length == 0 ? code::Success : contentSink->Write(resident, length);
}

DWORD CMFTRecord::ReadRuns(const ByteReader& attribute, std::uint64_t size, std::uint8_t* buffer,
                           ContentSink* sink) {
  if (disk == nullptr || clusterSize == 0) return code::InvalidParameter;
  // Reads are whole clusters, grouped up to MaxReadBytes.
  const std::uint32_t chunk = std::max(clusterSize, MaxReadBytes / clusterSize * clusterSize);
  ByteBuffer scratch;
  if (buffer == nullptr) {
    scratch = AllocateZeroed(static_cast<std::size_t>(std::min<std::uint64_t>(chunk, size)));
    if (!scratch) return code::NotEnoughMemory;
  }
  // Scratch bytes just read go on to the sink; a buffer was read in place.
  auto deliver = [&](std::uint32_t count) -> DWORD {
    return sink == nullptr ? code::Success : sink->Write(scratch.get(), count);
  };
  auto zeros = [&](std::uint64_t count) -> DWORD {
    if (sink == nullptr) return code::Success;  // the buffer is zero-filled already
    std::memset(scratch.get(), 0, static_cast<std::size_t>(std::min<std::uint64_t>(chunk, size)));
    for (std::uint64_t done = 0; done < count;) {
      const auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk, count - done));
      DWORD result = deliver(piece);
      if (result != code::Success) return result;
      done += piece;
    }
    return code::Success;
  };

  std::uint16_t listOffset = 0;
  attribute.U16(ntfs::AttrRunListOffset, &listOffset);
  RunListCursor cursor(attribute, listOffset);
  std::uint64_t position = 0;
  while (position < size) {
    DataRun run;
    bool more = false;
    DWORD result = cursor.Next(&run, &more);
    if (result != code::Success) return result;
    if (!more) break;
    const std::uint64_t take = std::min(SaturatingMultiply(run.length, clusterSize), size - position);
    if (run.sparse) {
      result = zeros(take);
      if (result != code::Success) return result;
    } else {
      for (std::uint64_t done = 0; done < take;) {
        auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk, take - done));
        std::uint8_t* target =
            buffer != nullptr ? buffer + static_cast<std::size_t>(position + done) : scratch.get();
        result = ReadClusters(static_cast<std::uint64_t>(run.lcn) + done / clusterSize, target, &count);
        if (result != code::Success) return result;
        result = deliver(count);
        if (result != code::Success) return result;
        done += count;
      }
    }
    position += take;
  }
  // Bytes no run fills read as zeros.
  return position < size ? zeros(size - position) : code::Success;
}

DWORD CMFTRecord::ReadClusters(std::uint64_t cluster, std::uint8_t* destination,
                               std::uint32_t* byteCount) {
  const std::uint32_t wanted = *byteCount;
  *byteCount = 0;
  if (disk == nullptr || clusterSize == 0) return code::InvalidParameter;
  if (cluster > (UINT64_MAX - partitionOffset) / clusterSize) return code::InvalidParameter;
  const std::uint64_t start = partitionOffset + cluster * clusterSize;
  const std::uint32_t chunk = std::max(clusterSize, MaxReadBytes / clusterSize * clusterSize);
  ByteBuffer bounce;  // for a last cluster only partly wanted
  std::uint32_t delivered = 0;
  while (delivered < wanted) {
    const std::uint32_t remaining = wanted - delivered;
    std::uint32_t got = 0;
    DWORD result;
    if (remaining >= clusterSize) {
      const std::uint32_t count = std::min(remaining / clusterSize * clusterSize, chunk);
      result = disk->ReadAt(start + delivered, destination + delivered, count, &got);
    } else {
      if (!bounce) bounce = AllocateZeroed(clusterSize);
      if (!bounce) return code::NotEnoughMemory;
      result = disk->ReadAt(start + delivered, bounce.get(), clusterSize, &got);
      got = std::min(got, remaining);
      std::memcpy(destination + delivered, bounce.get(), got);
    }
    if (result != code::Success) return result;
    if (got == 0) return code::HandleEof;
    delivered += got;
    *byteCount = delivered;
  }
  return code::Success;
}
