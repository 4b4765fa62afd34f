// libFuzzer target: the first 1024 bytes are a FILE record (zero-padded when
// the input is shorter, so that short inputs still reach the parser), the
// rest is the disk its runs point into. Every flag combination is parsed, content
// streamed, so any read outside a buffer or any hang shows. The streamed
// content must be exactly the size the whole read reports.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "ntfs/MFTRecord.h"
#include "support/MemoryDisk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t recordBytes = size < 1024 ? size : 1024;
  MemoryDisk disk;
  disk.Write(0, std::vector<std::uint8_t>(data + recordBytes, data + size));
  std::uint64_t wholeSize = UINT64_MAX;  // of the whole read, when it succeeded
  for (int flags = 0; flags < 5; ++flags) {
    std::vector<std::uint8_t> record(data, data + recordBytes);
    record.resize(1024, 0);
    CMFTRecord parser;
    parser.SetDiskHandle(&disk);
    parser.SetGeometry(1024, 512, 0);
    DiscardingSink sink;
    if (flags == 4) parser.SetContentSink(&sink);
    const DWORD result = parser.ParseRecord(record.data(), 1024, (flags & 1) != 0 && flags != 4, (flags & 2) != 0);
    if (result != code::Success) continue;
    if (flags == 0) wholeSize = parser.DataSize();
    if (flags == 4 && wholeSize != UINT64_MAX && sink.total <= (8u << 20)) {
      FUZZ_CHECK(sink.total == wholeSize && parser.DataSize() == wholeSize);
    }
  }
  return 0;
}
