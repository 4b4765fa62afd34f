// Builds FILE records byte by byte at the layout's offsets, for what a real
// volume cannot show. One valid record; each test changes what it needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ntfs/NtfsLayout.h"

using Bytes = std::vector<std::uint8_t>;

void PutLE(Bytes& bytes, std::size_t offset, std::uint64_t value, std::size_t width);

// The optional fields of a non-resident attribute's header.
struct NonResidentOptions {
  std::uint16_t flags = 0;            // compressed 0x0001, encrypted 0x4000, sparse 0x8000
  std::uint8_t compressionUnit = 0;   // log2 of clusters per unit
  std::uint64_t initializedSize = UINT64_MAX;  // UINT64_MAX: the real size
  std::uint32_t type = ntfs::TypeData;
  std::u16string name;                // a named stream's name; empty for the unnamed one
};

// One entry of an $ATTRIBUTE_LIST.
struct ListEntry {
  std::uint32_t type;
  std::uint64_t firstVcn;
  std::uint64_t reference;  // record number | sequence << 48
  std::uint8_t nameLength = 0;  // units of a name left zero, when `name` is empty
  std::u16string name = u"";
};

// The value of an $ATTRIBUTE_LIST holding `entries`.
Bytes AttributeListValue(const std::vector<ListEntry>& entries);

class RecordBuilder {
 public:
  static constexpr std::uint16_t UsaOffset = 0x30;
  static constexpr std::uint16_t FirstAttribute = 0x38;  // of a 1024-byte record

  explicit RecordBuilder(std::uint8_t flags = ntfs::RecordInUse, std::uint32_t recordBytes = ntfs::RecordSize);

  // Header fields.
  RecordBuilder& Sequence(std::uint16_t number);
  RecordBuilder& BaseReference(std::uint64_t reference);
  RecordBuilder& LogSequenceNumber(std::uint64_t lsn);
  RecordBuilder& AttributeList(const std::vector<ListEntry>& entries);
  RecordBuilder& NonResident(const Bytes& runList, std::uint64_t realSize, std::uint64_t allocatedSize,
                             std::uint64_t firstVcn, std::uint64_t lastVcn, const NonResidentOptions& options);

  RecordBuilder& StandardInformation(std::uint64_t created, std::uint64_t modified,
                                     std::uint64_t changed = 3, std::uint64_t accessed = 4,
                                     std::uint32_t attributes = 0x20);
  RecordBuilder& FileName(std::uint64_t parentReference, std::uint32_t attributes,
                          const std::u16string& name);
  RecordBuilder& ResidentData(const Bytes& value, const std::string& streamName = "");
  RecordBuilder& NonResidentData(const Bytes& runList, std::uint64_t realSize,
                                 std::uint64_t allocatedSize, std::uint64_t firstVcn,
                                 std::uint64_t lastVcn);
  RecordBuilder& Resident(std::uint32_t type, const Bytes& value);
  // A $REPARSE_POINT: `tag`, then `data`.
  RecordBuilder& ReparsePoint(std::uint32_t tag, const Bytes& data);
  RecordBuilder& Raw(const Bytes& attribute);  // a whole attribute as given
  RecordBuilder& End();

  // Offset of the next attribute.
  std::size_t Next() const { return next; }
  // The record with its update sequence applied: entries 1 and 2 hold the
  // true last bytes of each sector, which then carry the sequence number.
  Bytes Build(std::uint16_t sequenceNumber = 1) const;

 private:
  Bytes record;
  std::size_t next = FirstAttribute;
};

// A non-resident $DATA attribute of 5000 bytes (8192 allocated, VCNs 0 and 1)
// over `runs`, cut to `lengthOverride` bytes when it is not 0: for Raw.
Bytes NonResidentAttribute(const Bytes& runs, std::uint32_t lengthOverride = 0);

// A run list from (length, relative offset, offset bytes) triples; an offset
// width of 0 makes a sparse run. The terminating zero is appended.
struct RunSpec {
  std::uint64_t length;
  std::int64_t offset;
  int offsetBytes;
  int lengthBytes = 0;  // 0: the fewest bytes that hold the length
};
Bytes MakeRunList(const std::vector<RunSpec>& runs);
