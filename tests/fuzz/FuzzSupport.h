// Shared pieces of the libFuzzer targets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ntfs/DataStream.h"
#include "ntfs/FileContent.h"

// A broken invariant is a finding: abort so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition) \
  do {                        \
    if (!(condition)) std::abort(); \
  } while (0)

// Reads [0, stream.Size()) of a finished stream as content is read: whole
// into a zero-filled buffer (holes left as they are) when it is at most
// `wholeLimit` bytes, and its first `chunkedLimit` bytes in chunks of at
// most DataStream::MaxReadBytes into a buffer that is not. When the whole
// read succeeds, every chunk must too, with the same bytes. `*whole` keeps
// the whole read (empty when it was not made or failed).
inline void ReadBothWays(DataStream& stream, std::uint64_t wholeLimit, std::uint64_t chunkedLimit,
                         std::vector<std::uint8_t>* whole) {
  whole->clear();
  const std::uint64_t size = stream.Size();
  DWORD wholeResult = code::NotEnoughMemory;
  if (size <= wholeLimit) {
    whole->resize(static_cast<std::size_t>(size));
    wholeResult = stream.Read(0, static_cast<std::uint32_t>(size), whole->data(), Zeroed::Yes);
    if (wholeResult != code::Success) whole->clear();
  }
  std::vector<std::uint8_t> chunk(DataStream::MaxReadBytes, 0xEE);
  for (std::uint64_t position = 0; position < size && position < chunkedLimit;) {
    const auto take = static_cast<std::uint32_t>(std::min<std::uint64_t>(DataStream::MaxReadBytes, size - position));
    const DWORD result = stream.Read(position, take, chunk.data());
    if (wholeResult != code::Success) {
      if (result != code::Success) break;
      position += take;
      continue;
    }
    FUZZ_CHECK(result == code::Success && std::memcmp(chunk.data(), whole->data() + position, take) == 0);
    position += take;
  }
}

// Takes content and forgets it. A corrupt record may claim terabytes of
// sparse data: stop at `limit`, as a full destination would.
class DiscardingSink : public ContentSink {
 public:
  explicit DiscardingSink(std::uint64_t limitBytes = 8u << 20) : limit(limitBytes) {}
  DWORD Write(const std::uint8_t* bytes, std::uint32_t count) override {
    FUZZ_CHECK(count <= DataStream::MaxReadBytes);
    if (count > 0) checksum += bytes[0] + bytes[count - 1];
    total += count;
    return total > limit ? code::DiskFull : code::Success;
  }
  std::uint64_t total = 0;
  unsigned checksum = 0;

 private:
  std::uint64_t limit;
};
