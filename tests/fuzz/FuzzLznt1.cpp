// libFuzzer target: an LZNT1 stream, decompressed into a unit of 4 to 64 KiB
// (the first byte chooses it). Besides what the sanitizers see, the output
// must stay inside the unit and be whole 4096-byte chunks or the full unit.
#include <cstdint>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "ntfs/Lznt1.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t capacity = std::size_t{4096} * (1 + data[0] % 16);
  std::vector<std::uint8_t> unit(capacity, 0xA5);
  std::size_t produced = 0;
  const DWORD result = lznt1::Decompress(data + 1, size - 1, unit.data(), unit.size(), &produced);
  FUZZ_CHECK(result == code::Success || result == code::FileCorrupt);
  FUZZ_CHECK(produced <= capacity);
  if (result == code::Success) FUZZ_CHECK(produced % lznt1::ChunkBytes == 0 || produced == capacity);
  return 0;
}
