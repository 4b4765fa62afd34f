// libFuzzer target: an EWF set of up to four segments. The input is a byte
// n (1 to 4 segments; bit 7: open by the name of segment 2), n - 1 u32
// lengths, then each segment as a sparse file (see SparseFile) one after
// another, the last taking the rest. Read at a few places.
#include "fuzz/FuzzFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const unsigned segments = 1 + data[0] % 4;
  std::size_t at = 1 + 4 * (segments - 1);
  if (size < at) return 0;
  MemoryFiles files;
  for (unsigned i = 0; i < segments; ++i) {
    std::uint32_t length = 0;
    if (i + 1 < segments) std::memcpy(&length, data + 1 + 4 * i, 4);
    const std::size_t take = i + 1 < segments ? std::min<std::size_t>(length, size - at) : size - at;
    files.Add("set.E0" + std::to_string(i + 1), SparseFile(data + at, take));
    at += take;
  }
  std::unique_ptr<DiskImage> image;
  std::string problem;
  if (OpenDiskImage(files, data[0] & 0x80 ? "set.E02" : "set.E01", &image, &problem) != code::Success) return 0;
  std::uint8_t digest[16];
  image->StoredMd5(digest);
  CheckImage(*image, static_cast<std::uint32_t>(size * 2654435761u));
  return 0;
}
