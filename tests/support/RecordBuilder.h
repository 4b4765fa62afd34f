// Builds FILE records byte by byte at the layout's offsets, for what a real
// volume cannot show. One valid record; each test changes what it needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ntfs/NtfsLayout.h"

using Bytes = std::vector<std::uint8_t>;

void PutLE(Bytes& bytes, std::size_t offset, std::uint64_t value, std::size_t width);

class RecordBuilder {
 public:
  static constexpr std::uint16_t UsaOffset = 0x30;
  static constexpr std::uint16_t FirstAttribute = 0x38;

  explicit RecordBuilder(std::uint8_t flags = ntfs::RecordInUse);

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

// A run list from (length, relative offset, offset bytes) triples; an offset
// width of 0 makes a sparse run. The terminating zero is appended.
struct RunSpec {
  std::uint64_t length;
  std::int64_t offset;
  int offsetBytes;
  int lengthBytes = 0;  // 0: the fewest bytes that hold the length
};
Bytes MakeRunList(const std::vector<RunSpec>& runs);
