// libFuzzer target: a non-resident $DATA whose run list, real size,
// allocated size and cluster size come from the input, read from an
// in-memory disk of known bytes as the reader reads content: the record
// parsed as a summary, its runs then added strictly to a stream that is read
// whole and in chunks. Checks that the cursor ends, that a value never
// exceeds its sizes, that the bytes read are those a plain decoding of the
// runs maps, and that chunked reads give the whole read's bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "ntfs/MFTRecord.h"
#include "ntfs/RunList.h"
#include "support/MemoryDisk.h"
#include "support/RecordBuilder.h"

namespace {

constexpr std::size_t DiskBytes = 1u << 20;

MemoryDisk& PatternDisk() {
  static MemoryDisk disk = [] {
    MemoryDisk made(DiskBytes);
    for (std::size_t i = 0; i < DiskBytes; ++i) made.Bytes()[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
    return made;
  }();
  return disk;
}

std::uint64_t ReadLE(const std::uint8_t* bytes, int width) {
  std::uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

// An independent, plain decoding of the list, for lists the reader accepted.
struct PlainRun {
  std::uint64_t firstVcn, length;
  std::int64_t lcn;  // meaningless for a sparse run
  bool sparse;
};

std::vector<PlainRun> PlainRuns(const Bytes& list) {
  std::vector<PlainRun> runs;
  std::uint64_t vcn = 0;
  std::int64_t lcn = 0;
  for (std::size_t at = 0; at < list.size() && list[at] != 0;) {
    const int lengthBytes = list[at] & 15, offsetBytes = list[at] >> 4;
    if (at + 1 + lengthBytes + offsetBytes > list.size()) break;
    const std::uint64_t length = ReadLE(&list[at + 1], lengthBytes);
    std::int64_t offset = static_cast<std::int64_t>(ReadLE(&list[at + 1 + lengthBytes], offsetBytes));
    if (offsetBytes > 0 && offsetBytes < 8 && (list[at + lengthBytes + offsetBytes] & 0x80)) {
      offset -= std::int64_t{1} << (8 * offsetBytes);
    }
    if (offsetBytes > 0) lcn += offset;
    runs.push_back({vcn, length, lcn, offsetBytes == 0});
    vcn += length;
    at += 1 + lengthBytes + offsetBytes;
  }
  return runs;
}

// The byte at `position` of the value, or -1 when the runs do not map it.
int ExpectedByte(const std::vector<PlainRun>& runs, std::uint32_t clusterSize, std::uint64_t position) {
  const std::uint64_t cluster = position / clusterSize;
  for (const PlainRun& run : runs) {
    if (cluster - run.firstVcn >= run.length) continue;
    if (run.sparse) return 0;
    const std::uint64_t byte = (static_cast<std::uint64_t>(run.lcn) + cluster - run.firstVcn) * clusterSize +
                               position % clusterSize;
    return byte < DiskBytes ? PatternDisk().Bytes()[byte] : -1;
  }
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t Header = 17;
  if (size < Header) return 0;
  // Sizes are kept within a quarter MiB most of the time so that runs stay
  // quick; the top bit asks for the raw 64-bit value.
  std::uint64_t realSize = ReadLE(data, 8);
  std::uint64_t allocatedSize = ReadLE(data + 8, 8);
  if ((realSize >> 63) == 0) realSize &= 0x3FFFF;
  if ((allocatedSize >> 63) == 0) allocatedSize &= 0x3FFFF;
  const std::uint32_t clusterSize = 512u << (data[16] & 3);
  const Bytes runList(data + Header, data + std::min<std::size_t>(size, Header + 800));
  // What the reader sees: the list and the zeros that pad its attribute.
  Bytes padded = runList;
  padded.resize(runList.size() + 8, 0);

  // The cursor alone: every step either ends, fails or consumes bytes.
  {
    Bytes attribute(64, 0);
    attribute.insert(attribute.end(), runList.begin(), runList.end());
    RunListCursor cursor(ByteReader(attribute.data(), attribute.size()), 64);
    std::size_t steps = 0;
    for (;; ++steps) {
      DataRun run;
      bool more = false;
      if (cursor.Next(&run, &more) != code::Success || !more) break;
      FUZZ_CHECK(run.sparse || run.lcn >= 0);
    }
    FUZZ_CHECK(steps <= runList.size());
  }

  Bytes record;
  try {
    record = RecordBuilder(0)
                 .StandardInformation(1, 2)
                 .FileName(5, 0, u"f")
                 .NonResidentData(runList, realSize, allocatedSize, 0, 0)
                 .End()
                 .Build();
  } catch (const std::exception&) {
    return 0;  // too long for one record
  }
  MemoryDisk& disk = PatternDisk();
  CMFTRecord parser;
  parser.SetDiskHandle(&disk);
  parser.SetGeometry(1024, clusterSize, 0);
  if (parser.ParseSummary(record.data(), 1024) != code::Success) return 0;
  // An allocated size of 0 stands for the VCN range, here one cluster.
  const std::uint64_t capacity = allocatedSize != 0 ? allocatedSize : clusterSize;
  FUZZ_CHECK(parser.DataSize() <= realSize && parser.DataSize() <= capacity);
  const AttributeSpan span = parser.DataAttribute();
  FUZZ_CHECK(span.length != 0 && !parser.DataIsResident());
  DataStream stream;
  stream.Reset({&disk, clusterSize, 0});
  if (stream.AddPiece(ByteReader(parser.Bytes() + span.offset, span.length), RunListCheck::Strict) != code::Success) {
    return 0;
  }
  stream.Finish(Pieces::OneAttribute);
  const std::uint64_t wholeSize = stream.Size();
  FUZZ_CHECK(wholeSize == parser.DataSize());
  std::vector<std::uint8_t> bytes;
  ReadBothWays(stream, 16u << 20, 1u << 20, &bytes);
  if (bytes.size() != wholeSize) return 0;  // the read failed, or was too large to make whole
  // Each byte is the one its run maps; a sample keeps this quick.
  const std::vector<PlainRun> runs = PlainRuns(padded);
  const std::uint64_t step = wholeSize / 256 + 1;
  for (std::uint64_t position = 0; position < wholeSize; position += step) {
    FUZZ_CHECK(ExpectedByte(runs, clusterSize, position) == bytes[position]);
  }
  return 0;
}
