// libFuzzer target: the first 1024 bytes are a FILE record (zero-padded when
// the input is shorter, so that short inputs still reach the parser), the
// rest is the disk its runs point into. Every flag combination is parsed, content
// streamed, so any read outside a buffer or any hang shows.
#include <cstdint>
#include <cstring>
#include <vector>

#include "ntfs/MFTRecord.h"
#include "support/MemoryDisk.h"

namespace {

class DiscardingSink : public ContentSink {
 public:
  DWORD Write(const std::uint8_t* bytes, std::uint32_t count) override {
    if (count > 0) checksum += bytes[0] + bytes[count - 1];
    total += count;
    // A corrupt record may claim a huge sparse file: stop early, as a full
    // destination would.
    return total > (64u << 20) ? code::DiskFull : code::Success;
  }
  std::uint64_t total = 0;
  unsigned checksum = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t recordBytes = size < 1024 ? size : 1024;
  MemoryDisk disk;
  disk.Write(0, std::vector<std::uint8_t>(data + recordBytes, data + size));
  for (int flags = 0; flags < 5; ++flags) {
    std::vector<std::uint8_t> record(data, data + recordBytes);
    record.resize(1024, 0);
    CMFTRecord parser;
    parser.SetDiskHandle(&disk);
    parser.SetGeometry(1024, 512, 0);
    DiscardingSink sink;
    if (flags == 4) parser.SetContentSink(&sink);
    parser.ParseRecord(record.data(), 1024, (flags & 1) != 0 && flags != 4, (flags & 2) != 0);
  }
  return 0;
}
