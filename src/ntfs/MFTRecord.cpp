#include "ntfs/MFTRecord.h"

#include <algorithm>
#include <cstring>

#include "ntfs/WofStream.h"

DWORD ResidentValueOf(const ByteReader& attribute, const std::uint8_t** value, std::uint32_t* length) {
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

bool AttributeNamed(const ByteReader& attribute, std::u16string_view name) {
  std::uint8_t units = 0;
  std::uint16_t offset = 0;
  if (!attribute.U8(ntfs::AttrNameLength, &units) || units != name.size() ||
      !attribute.U16(ntfs::AttrNameOffset, &offset) || !attribute.Holds(offset, 2u * units)) {
    return false;
  }
  for (std::size_t i = 0; i < name.size(); ++i) {
    std::uint16_t unit = 0;
    attribute.U16(offset + 2 * i, &unit);
    if (unit != name[i]) return false;
  }
  return true;
}

bool SequenceFollows(std::uint16_t referenced, std::uint16_t current, bool freedSince) {
  if (referenced == 0 || referenced == current) return true;
  if (!freedSince) return false;
  std::uint16_t next = static_cast<std::uint16_t>(referenced + 1);
  if (next == 0) next = 1;  // a freed record's number skips 0
  return next == current;
}

CMFTRecord::CMFTRecord() {
  std::memset(standardInformation, 0, sizeof standardInformation);
  std::memset(fileName, 0, sizeof fileName);
}

CMFTRecord::~CMFTRecord() = default;

void CMFTRecord::SetDiskHandle(DiskReader* diskReader) { disk = diskReader; }

DWORD CMFTRecord::SetGeometry(std::uint32_t recordBytes, std::uint32_t clusterBytes,
                              std::uint64_t partitionByteOffset) {
  if (recordBytes < ntfs::MinRecordSize || recordBytes > ntfs::MaxRecordSize ||
      recordBytes % ntfs::UsaSectorSize != 0 || clusterBytes == 0 || clusterBytes % 2 != 0) {
    return code::InvalidParameter;
  }
  recordSize = recordBytes;
  clusterSize = clusterBytes;
  partitionOffset = partitionByteOffset;
  return code::Success;
}

DWORD CMFTRecord::ApplyUpdateSequence(std::uint8_t* bytes) const {
  // One entry per 512-byte stride, after the update sequence number itself;
  // the array lies before the first stride's last two bytes.
  const ByteReader record(bytes, recordSize);
  const std::uint32_t strides = recordSize / ntfs::UsaSectorSize;
  std::uint16_t usaOffset = 0, usaCount = 0;
  if (!record.U16(ntfs::RecordUsaOffset, &usaOffset) || !record.U16(ntfs::RecordUsaCount, &usaCount) ||
      usaCount != strides + 1 || std::uint32_t{usaOffset} + 2u * usaCount > ntfs::UsaSectorSize - 2) {
    return code::InvalidParameter;
  }
  // A stride whose last bytes do not carry the number was torn in writing.
  for (std::uint32_t stride = 1; stride <= strides; ++stride) {
    if (std::memcmp(bytes + stride * ntfs::UsaSectorSize - 2, bytes + usaOffset, 2) != 0) {
      return code::InvalidParameter;
    }
  }
  for (std::uint32_t stride = 1; stride <= strides; ++stride) {
    std::memcpy(bytes + stride * ntfs::UsaSectorSize - 2, bytes + usaOffset + 2 * stride, 2);
  }
  return code::Success;
}

void CMFTRecord::RevertUpdateSequence() {
  if (!sequenceApplied) return;
  sequenceApplied = false;
  std::uint16_t usaOffset = 0;
  ByteReader(recordBytes, recordSize).U16(ntfs::RecordUsaOffset, &usaOffset);
  for (std::uint32_t stride = 1; stride <= recordSize / ntfs::UsaSectorSize; ++stride) {
    std::memcpy(recordBytes + stride * ntfs::UsaSectorSize - 2, recordBytes + usaOffset, 2);
  }
}

DWORD CMFTRecord::ParseHeader(std::uint8_t* bytes, std::uint32_t length) {
  if (recordSize == 0 || recordSize > length || bytes == nullptr) return code::InvalidParameter;
  recordBytes = bytes;
  attributeOffset = 0;
  dataSize = 0;
  attributeList = dataAttribute = reparsePoint = wofData = AttributeSpan{};
  dataNonResident = false;
  fileNameNamespace = NoName;
  std::memset(fileName, 0, fileNameLength);
  fileNameLength = 0;
  std::memset(standardInformation, 0, sizeof standardInformation);
  standardInformationLength = 0;

  sequenceApplied = false;
  const DWORD result = ApplyUpdateSequence(bytes);
  if (result != code::Success) return result;
  sequenceApplied = true;
  if (std::memcmp(bytes + ntfs::RecordSignature, "FILE", 4) != 0) return code::InvalidParameter;
  const ByteReader record(bytes, recordSize);
  std::uint8_t flags = 0;
  record.U8(ntfs::RecordFlags, &flags);
  record.U16(ntfs::RecordSequence, &sequenceNumber);
  record.U64(ntfs::RecordLsn, &logSequenceNumber);
  record.U64(ntfs::RecordBaseReference, &baseReference);
  inUse = (flags & ntfs::RecordInUse) != 0;
  isDirectory = (flags & ntfs::RecordIsDirectory) != 0;
  return code::Success;
}

DWORD CMFTRecord::ForEachAttribute(const AttributeVisitor& visit) {
  if (recordBytes == nullptr) return code::InvalidParameter;
  const ByteReader record(recordBytes, recordSize);
  record.U16(ntfs::RecordFirstAttribute, &attributeOffset);
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
    const DWORD result = visit(type, ByteReader(recordBytes + attributeOffset, attributeLength));
    if (result != code::Success) return result;
    attributeOffset = static_cast<std::uint16_t>(attributeOffset + attributeLength);
  }
}

DWORD CMFTRecord::ParseSummary(std::uint8_t* bytes, std::uint32_t length) {
  const DWORD result = ParseHeader(bytes, length);
  if (result != code::Success) return result;
  return ForEachAttribute([&](std::uint32_t type, const ByteReader& attribute) -> DWORD {
    std::uint8_t nameLength = 0;
    attribute.U8(ntfs::AttrNameLength, &nameLength);
    if (type == ntfs::TypeStandardInformation) {
      std::uint8_t value[sizeof standardInformation] = {};
      std::uint32_t valueSize = 0;
      const DWORD read = CopyValue(attribute, value, sizeof value, &valueSize);
      if (read == code::Success) {
        std::memcpy(standardInformation, value, sizeof value);
        standardInformationLength = valueSize;
      }
      return read;
    }
    const auto span = AttributeSpan{static_cast<std::uint32_t>(attribute.Data() - recordBytes),
                                    static_cast<std::uint32_t>(attribute.Size())};
    if (type == ntfs::TypeAttributeList && attributeList.length == 0) attributeList = span;
    if (type == ntfs::TypeReparsePoint && reparsePoint.length == 0) reparsePoint = span;
    if (type == ntfs::TypeData && nameLength != 0 && wofData.length == 0 && AttributeNamed(attribute, wof::StreamName)) {
      wofData = span;
    }
    if (type == ntfs::TypeFileName) return OfferFileName(attribute);
    if (type == ntfs::TypeData && nameLength == 0 && dataAttribute.length == 0) {
      // Named streams are passed over: the file's content is the unnamed one.
      dataAttribute = span;
      return KeepData(attribute);
    }
    return code::Success;
  });
}

bool CMFTRecord::Encrypted(std::uint16_t dataFlags) const {
  std::uint32_t fileAttributes = 0;
  if (standardInformationLength >= ntfs::SiFileAttributes + 4) {
    ByteReader(standardInformation, sizeof standardInformation).U32(ntfs::SiFileAttributes, &fileAttributes);
  }
  return (dataFlags & ntfs::AttrFlagEncrypted) != 0 || (fileAttributes & ntfs::FileAttributeEncrypted) != 0;
}

DWORD CMFTRecord::ResidentData(const std::uint8_t** value, std::uint32_t* length) const {
  if (dataAttribute.length == 0 || dataNonResident) return code::InvalidParameter;
  return ReadResidentValue(ByteReader(recordBytes + dataAttribute.offset, dataAttribute.length), value, length);
}

DWORD CMFTRecord::CopyValue(const ByteReader& attribute, std::uint8_t* destination, std::uint32_t capacity,
                            std::uint32_t* copied) {
  std::uint8_t nonResident = 0;
  if (!attribute.U8(ntfs::AttrNonResident, &nonResident)) return code::InvalidParameter;
  if (nonResident == 0) {
    // The usual case, with nothing allocated.
    const std::uint8_t* value = nullptr;
    std::uint32_t length = 0;
    const DWORD result = ReadResidentValue(attribute, &value, &length);
    if (result != code::Success) return result;
    *copied = std::min(length, capacity);
    std::memcpy(destination, value, *copied);
    return code::Success;
  }
  ByteBuffer value;
  std::uint64_t size = 0;
  const DWORD result = ReadAttributeValue(attribute, &value, &size, capacity);
  if (result != code::Success) return result;
  *copied = static_cast<std::uint32_t>(size);
  std::memcpy(destination, value.get(), *copied);
  return code::Success;
}

DWORD CMFTRecord::OfferFileName(const ByteReader& attribute) {
  // The value where it lies (a resident one, the usual case) or read.
  std::uint8_t nonResident = 0;
  if (!attribute.U8(ntfs::AttrNonResident, &nonResident)) return code::InvalidParameter;
  const std::uint8_t* value = nullptr;
  std::uint32_t length = 0;
  ByteBuffer read;
  if (nonResident == 0) {
    const DWORD result = ReadResidentValue(attribute, &value, &length);
    if (result != code::Success) return result;
  } else {
    std::uint64_t size = 0;
    const DWORD result = ReadAttributeValue(attribute, &read, &size, sizeof fileName - 2);
    if (result != code::Success) return result;
    value = read.get();
    length = static_cast<std::uint32_t>(size);
  }
  const int space = length > ntfs::FnNamespace ? value[ntfs::FnNamespace] : 0;
  // The Win32 name before a POSIX one, and the short DOS name only when
  // there is no other; the last of equals.
  auto rank = [](int name) {
    return name == ntfs::FnNamespaceDos ? 0 : (name == ntfs::FnNamespaceWin32 || name == ntfs::FnNamespaceWin32AndDos) ? 2 : 1;
  };
  if (fileNameNamespace != NoName && rank(space) < rank(fileNameNamespace)) return code::Success;
  // The last unit of the area stays zero, so the name is always ended; past
  // the value the area reads as zeros.
  const std::uint32_t kept = std::min<std::uint32_t>(length, sizeof fileName - 2);
  std::memcpy(fileName, value, kept);
  if (fileNameLength > kept) std::memset(fileName + kept, 0, fileNameLength - kept);
  fileNameLength = kept;
  fileNameNamespace = space;
  return code::Success;
}

DWORD CMFTRecord::ReadResidentValue(const ByteReader& attribute, const std::uint8_t** value,
                                    std::uint32_t* length) const {
  return ResidentValueOf(attribute, value, length);
}

DWORD CMFTRecord::ReadAttributeValue(const ByteReader& attribute, ByteBuffer* value,
                                     std::uint64_t* valueSize, std::uint64_t limit) {
  std::uint8_t nonResident = 0;
  if (!attribute.U8(ntfs::AttrNonResident, &nonResident)) return code::InvalidParameter;
  const std::uint8_t* resident = nullptr;
  std::uint32_t residentLength = 0;
  DataStream values;
  std::uint64_t size = 0;
  DWORD result = code::Success;
  if (nonResident == 0) {
    result = ReadResidentValue(attribute, &resident, &residentLength);
    size = residentLength;
  } else {
    values.Reset(Geometry());
    result = values.AddPiece(attribute, RunListCheck::Strict);
    values.Finish(Pieces::OneAttribute);
    size = values.Size();
  }
  if (result != code::Success) return result;
  size = std::min(size, limit);
  if (size > DataStream::MaxWholeValue || size > SIZE_MAX) return code::NotEnoughMemory;
  ByteBuffer buffer = AllocateZeroed(static_cast<std::size_t>(size));
  if (!buffer) return code::NotEnoughMemory;
  if (nonResident == 0) {
    std::memcpy(buffer.get(), resident, static_cast<std::size_t>(size));
  } else {
    result = values.Read(0, static_cast<std::uint32_t>(size), buffer.get(), Zeroed::Yes);
    if (result != code::Success) return result;
  }
  *value = std::move(buffer);
  *valueSize = size;
  return code::Success;
}

DWORD CMFTRecord::KeepData(const ByteReader& attribute) {
  std::uint8_t nonResident = 0;
  attribute.U8(ntfs::AttrNonResident, &nonResident);
  dataNonResident = nonResident != 0;
  if (!dataNonResident) {
    const std::uint8_t* resident = nullptr;
    std::uint32_t residentLength = 0;
    const DWORD result = ReadResidentValue(attribute, &resident, &residentLength);
    dataSize = residentLength;
    return result;
  }
  // What can be read: a run list with a fault still maps the runs before it.
  stream.Reset(Geometry());
  const DWORD result = stream.AddPiece(attribute, RunListCheck::Lenient);
  stream.Finish(Pieces::OneAttribute);
  dataSize = stream.Size();
  return result;
}
