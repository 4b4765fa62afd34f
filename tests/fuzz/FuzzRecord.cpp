// libFuzzer target: the first 1024 bytes are a FILE record (zero-padded when
// the input is shorter, so that short inputs still reach the parser), the
// rest is the disk its runs point into. The record is parsed as the scan
// parses it (ParseSummary, and its attributes walked again), and its
// unnamed $DATA read as content is read (the runs checked strictly, read
// whole and in chunks), so any read outside a buffer or any hang shows.
// Checks: every span lies inside the record; the content is exactly the
// summary's size, and both ways of reading it agree; putting the update
// sequence back leaves the bytes as they were.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "ntfs/MFTRecord.h"
#include "support/MemoryDisk.h"

namespace {

constexpr std::uint32_t RecordBytes = 1024;
constexpr std::uint32_t ClusterBytes = 512;

bool Inside(const AttributeSpan& span) {
  return span.length == 0 || (span.offset <= RecordBytes && span.length <= RecordBytes - span.offset);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t given = size < RecordBytes ? size : RecordBytes;
  MemoryDisk disk;
  disk.Write(0, std::vector<std::uint8_t>(data + given, data + size));
  std::vector<std::uint8_t> record(data, data + given);
  record.resize(RecordBytes, 0);
  const std::vector<std::uint8_t> original = record;

  CMFTRecord parser;
  parser.SetDiskHandle(&disk);
  parser.SetGeometry(RecordBytes, ClusterBytes, 0);
  if (parser.ParseSummary(record.data(), RecordBytes) == code::Success) {
    FUZZ_CHECK(Inside(parser.DataAttribute()) && Inside(parser.AttributeList()));
    const std::uint8_t* start = record.data();
    const DWORD walk = parser.ForEachAttribute([&](std::uint32_t, const ByteReader& attribute) -> DWORD {
      FUZZ_CHECK(attribute.Data() >= start && attribute.Size() <= RecordBytes &&
                 static_cast<std::size_t>(attribute.Data() - start) <= RecordBytes - attribute.Size());
      return code::Success;
    });
    FUZZ_CHECK(walk == code::Success);  // the summary walked the same attributes

    const AttributeSpan span = parser.DataAttribute();
    if (span.length != 0 && !parser.DataIsResident()) {
      DataStream stream;
      stream.Reset({&disk, ClusterBytes, 0});
      const ByteReader attribute(parser.Bytes() + span.offset, span.length);
      if (stream.AddPiece(attribute, RunListCheck::Strict) == code::Success) {
        stream.Finish(Pieces::OneAttribute);
        // Strictly read runs are the ones the summary kept.
        FUZZ_CHECK(stream.Size() == parser.DataSize());
        std::vector<std::uint8_t> whole;
        ReadBothWays(stream, 8u << 20, 2u << 20, &whole);
      }
    } else if (span.length != 0) {
      const std::uint8_t* value = nullptr;
      std::uint32_t length = 0;
      FUZZ_CHECK(parser.ResidentData(&value, &length) == code::Success && length == parser.DataSize());
      FUZZ_CHECK(value >= start && value - start + std::size_t{length} <= RecordBytes);
    }
  }
  parser.RevertUpdateSequence();
  FUZZ_CHECK(record == original);
  return 0;
}
