#include "support/RecordBuilder.h"

#include <algorithm>
#include <stdexcept>

namespace {

Bytes AttributeHeader(std::uint32_t type, std::uint32_t length, bool nonResident) {
  Bytes header(length, 0);
  PutLE(header, ntfs::AttrType, type, 4);
  PutLE(header, ntfs::AttrLength, length, 4);
  header[ntfs::AttrNonResident] = nonResident ? 1 : 0;
  return header;
}

std::uint32_t Align8(std::size_t n) { return static_cast<std::uint32_t>((n + 7) & ~std::size_t{7}); }

}  // namespace

void PutLE(Bytes& bytes, std::size_t offset, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) bytes.at(offset + i) = static_cast<std::uint8_t>(value >> (8 * i));
}

RecordBuilder::RecordBuilder(std::uint8_t flags, std::uint32_t recordBytes) : record(recordBytes, 0) {
  record[0] = 'F';
  record[1] = 'I';
  record[2] = 'L';
  record[3] = 'E';
  const std::uint32_t strides = recordBytes / 512;
  PutLE(record, ntfs::RecordUsaOffset, UsaOffset, 2);
  PutLE(record, ntfs::RecordUsaCount, strides + 1, 2);
  next = Align8(UsaOffset + 2 * (strides + 1));
  PutLE(record, ntfs::RecordFirstAttribute, next, 2);
  PutLE(record, ntfs::RecordFlags, flags, 2);
  PutLE(record, 0x1C, recordBytes, 4);  // bytes allocated
}

RecordBuilder& RecordBuilder::Sequence(std::uint16_t number) {
  PutLE(record, ntfs::RecordSequence, number, 2);
  return *this;
}

RecordBuilder& RecordBuilder::BaseReference(std::uint64_t reference) {
  PutLE(record, ntfs::RecordBaseReference, reference, 8);
  return *this;
}

RecordBuilder& RecordBuilder::LogSequenceNumber(std::uint64_t lsn) {
  PutLE(record, ntfs::RecordLsn, lsn, 8);
  return *this;
}

RecordBuilder& RecordBuilder::AttributeList(const std::vector<ListEntry>& entries) {
  return Resident(ntfs::TypeAttributeList, AttributeListValue(entries));
}

Bytes AttributeListValue(const std::vector<ListEntry>& entries) {
  Bytes value;
  for (const ListEntry& entry : entries) {
    const std::size_t nameLength = entry.name.empty() ? entry.nameLength : entry.name.size();
    Bytes item(Align8(ntfs::AleMinimumLength + 2 * nameLength), 0);
    PutLE(item, ntfs::AleType, entry.type, 4);
    PutLE(item, ntfs::AleLength, item.size(), 2);
    item[ntfs::AleNameLength] = static_cast<std::uint8_t>(nameLength);
    item[ntfs::AleNameOffset] = ntfs::AleMinimumLength;
    for (std::size_t i = 0; i < entry.name.size(); ++i) PutLE(item, ntfs::AleMinimumLength + 2 * i, entry.name[i], 2);
    PutLE(item, ntfs::AleFirstVcn, entry.firstVcn, 8);
    PutLE(item, ntfs::AleReference, entry.reference, 8);
    value.insert(value.end(), item.begin(), item.end());
  }
  return value;
}

RecordBuilder& RecordBuilder::Raw(const Bytes& attribute) {
  if (next + attribute.size() > record.size()) throw std::length_error("attribute does not fit the record");
  std::copy(attribute.begin(), attribute.end(), record.begin() + static_cast<std::ptrdiff_t>(next));
  next += attribute.size();
  return *this;
}

RecordBuilder& RecordBuilder::Resident(std::uint32_t type, const Bytes& value) {
  const std::uint32_t length = Align8(ntfs::AttrResidentHeader + value.size());
  Bytes attribute = AttributeHeader(type, length, false);
  PutLE(attribute, ntfs::AttrValueLength, value.size(), 4);
  PutLE(attribute, ntfs::AttrValueOffset, ntfs::AttrResidentHeader, 2);
  std::copy(value.begin(), value.end(), attribute.begin() + ntfs::AttrResidentHeader);
  return Raw(attribute);
}

RecordBuilder& RecordBuilder::ReparsePoint(std::uint32_t tag, const Bytes& data) {
  Bytes value(8 + data.size(), 0);
  PutLE(value, 0, tag, 4);
  PutLE(value, 4, data.size(), 2);
  std::copy(data.begin(), data.end(), value.begin() + 8);
  return Resident(ntfs::TypeReparsePoint, value);
}

RecordBuilder& RecordBuilder::StandardInformation(std::uint64_t created, std::uint64_t modified,
                                                  std::uint64_t changed, std::uint64_t accessed,
                                                  std::uint32_t attributes) {
  Bytes value(48, 0);
  PutLE(value, ntfs::SiCreationTime, created, 8);
  PutLE(value, ntfs::SiModificationTime, modified, 8);
  PutLE(value, ntfs::SiMftChangeTime, changed, 8);
  PutLE(value, ntfs::SiAccessTime, accessed, 8);
  PutLE(value, ntfs::SiFileAttributes, attributes, 4);
  return Resident(ntfs::TypeStandardInformation, value);
}

RecordBuilder& RecordBuilder::FileName(std::uint64_t parentReference, std::uint32_t attributes,
                                       const std::u16string& name) {
  Bytes value(ntfs::FnName + 2 * name.size(), 0);
  PutLE(value, ntfs::FnParentReference, parentReference, 8);
  PutLE(value, ntfs::FnFlags, attributes, 4);
  value[0x40] = static_cast<std::uint8_t>(name.size());
  value[0x41] = 1;  // Win32 namespace
  for (std::size_t i = 0; i < name.size(); ++i) PutLE(value, ntfs::FnName + 2 * i, name[i], 2);
  return Resident(ntfs::TypeFileName, value);
}

RecordBuilder& RecordBuilder::ResidentData(const Bytes& value, const std::string& streamName) {
  if (streamName.empty()) return Resident(ntfs::TypeData, value);
  // A named stream: the name sits after the header, the value after it.
  const std::uint32_t valueOffset = Align8(ntfs::AttrResidentHeader + 2 * streamName.size());
  const std::uint32_t length = Align8(valueOffset + value.size());
  Bytes attribute = AttributeHeader(ntfs::TypeData, length, false);
  attribute[0x09] = static_cast<std::uint8_t>(streamName.size());
  PutLE(attribute, 0x0A, ntfs::AttrResidentHeader, 2);
  for (std::size_t i = 0; i < streamName.size(); ++i) {
    PutLE(attribute, ntfs::AttrResidentHeader + 2 * i, static_cast<std::uint8_t>(streamName[i]), 2);
  }
  PutLE(attribute, ntfs::AttrValueLength, value.size(), 4);
  PutLE(attribute, ntfs::AttrValueOffset, valueOffset, 2);
  std::copy(value.begin(), value.end(), attribute.begin() + valueOffset);
  return Raw(attribute);
}

RecordBuilder& RecordBuilder::NonResidentData(const Bytes& runList, std::uint64_t realSize,
                                              std::uint64_t allocatedSize, std::uint64_t firstVcn,
                                              std::uint64_t lastVcn) {
  return NonResident(runList, realSize, allocatedSize, firstVcn, lastVcn, NonResidentOptions{});
}

RecordBuilder& RecordBuilder::NonResident(const Bytes& runList, std::uint64_t realSize, std::uint64_t allocatedSize,
                                          std::uint64_t firstVcn, std::uint64_t lastVcn,
                                          const NonResidentOptions& options) {
  // A compressed attribute's header carries one more field, its compressed
  // size; a name follows the header.
  const std::uint32_t nameOffset = options.compressionUnit != 0 ? 0x48 : 0x40;
  const std::uint32_t listOffset = Align8(nameOffset + 2 * options.name.size());
  const std::uint32_t length = Align8(listOffset + runList.size());
  Bytes attribute = AttributeHeader(options.type, length, true);
  attribute[ntfs::AttrNameLength] = static_cast<std::uint8_t>(options.name.size());
  PutLE(attribute, ntfs::AttrNameOffset, nameOffset, 2);
  for (std::size_t i = 0; i < options.name.size(); ++i) PutLE(attribute, nameOffset + 2 * i, options.name[i], 2);
  PutLE(attribute, ntfs::AttrFlags, options.flags, 2);
  PutLE(attribute, ntfs::AttrFirstVcn, firstVcn, 8);
  PutLE(attribute, ntfs::AttrLastVcn, lastVcn, 8);
  PutLE(attribute, ntfs::AttrRunListOffset, listOffset, 2);
  attribute[ntfs::AttrCompressionUnit] = options.compressionUnit;
  PutLE(attribute, ntfs::AttrAllocatedSize, allocatedSize, 8);
  PutLE(attribute, ntfs::AttrRealSize, realSize, 8);
  PutLE(attribute, ntfs::AttrInitializedSize, options.initializedSize == UINT64_MAX ? realSize : options.initializedSize, 8);
  std::copy(runList.begin(), runList.end(), attribute.begin() + listOffset);
  return Raw(attribute);
}

RecordBuilder& RecordBuilder::End() {
  PutLE(record, next, ntfs::TypeEnd, 4);
  next += 8;
  return *this;
}

Bytes RecordBuilder::Build(std::uint16_t sequenceNumber) const {
  Bytes out = record;
  PutLE(out, UsaOffset, sequenceNumber, 2);
  for (std::size_t sector = 1; sector <= out.size() / 512; ++sector) {
    const std::size_t last = sector * 512 - 2;
    out[UsaOffset + 2 * sector] = out[last];
    out[UsaOffset + 2 * sector + 1] = out[last + 1];
    PutLE(out, last, sequenceNumber, 2);
  }
  return out;
}

Bytes MakeRunList(const std::vector<RunSpec>& runs) {
  Bytes list;
  for (const RunSpec& run : runs) {
    int lengthBytes = run.lengthBytes;
    if (lengthBytes == 0) {
      lengthBytes = 1;
      while (lengthBytes < 8 && (run.length >> (8 * lengthBytes)) != 0) ++lengthBytes;
    }
    list.push_back(static_cast<std::uint8_t>((run.offsetBytes << 4) | lengthBytes));
    for (int i = 0; i < lengthBytes; ++i) list.push_back(static_cast<std::uint8_t>(run.length >> (8 * i)));
    for (int i = 0; i < run.offsetBytes; ++i) {
      list.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(run.offset) >> (8 * i)));
    }
  }
  list.push_back(0);
  return list;
}

Bytes NonResidentAttribute(const Bytes& runs, std::uint32_t lengthOverride) {
  Bytes record = RecordBuilder(0).NonResidentData(runs, 5000, 8192, 0, 1).Build();
  Bytes attribute(record.begin() + RecordBuilder::FirstAttribute,
                  record.begin() + RecordBuilder::FirstAttribute + 0x40 +
                      static_cast<std::ptrdiff_t>((runs.size() + 7) & ~std::size_t{7}));
  if (lengthOverride != 0) {
    attribute.resize(lengthOverride);
    PutLE(attribute, 4, lengthOverride, 4);
  }
  return attribute;
}
