// Shared pieces of the libFuzzer targets.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "ntfs/MFTRecord.h"

// A broken invariant is a finding: abort so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition) \
  do {                        \
    if (!(condition)) std::abort(); \
  } while (0)

// Takes content and forgets it. A corrupt record may claim terabytes of
// sparse data: stop at `limit`, as a full destination would.
class DiscardingSink : public ContentSink {
 public:
  explicit DiscardingSink(std::uint64_t limitBytes = 8u << 20) : limit(limitBytes) {}
  DWORD Write(const std::uint8_t* bytes, std::uint32_t count) override {
    FUZZ_CHECK(count <= CMFTRecord::MaxReadBytes);
    if (count > 0) checksum += bytes[0] + bytes[count - 1];
    total += count;
    return total > limit ? code::DiskFull : code::Success;
  }
  std::uint64_t total = 0;
  unsigned checksum = 0;

 private:
  std::uint64_t limit;
};
