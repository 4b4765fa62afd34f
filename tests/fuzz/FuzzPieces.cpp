// libFuzzer target: numbered raw pieces. The input is a byte n (1 to 8
// pieces), a byte naming the piece opened, n - 1 u16 lengths, then the
// pieces' bytes (the last takes the rest). Read as raw pieces, every byte
// is the pieces' bytes one after another.
#include "fuzz/FuzzFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const unsigned pieces = 1 + data[0] % 8;
  std::size_t at = 2 + 2 * (pieces - 1);
  if (size < at) return 0;
  MemoryFiles files;
  std::vector<std::uint8_t> joined;
  for (unsigned i = 0; i < pieces; ++i) {
    std::uint16_t length = 0;
    if (i + 1 < pieces) std::memcpy(&length, data + 2 + 2 * i, 2);
    const std::size_t take = i + 1 < pieces ? std::min<std::size_t>(length, size - at) : size - at;
    FileBytes file;
    file.size = take;
    file.pieces.push_back({0, std::vector<std::uint8_t>(data + at, data + at + take)});
    joined.insert(joined.end(), data + at, data + at + take);
    char name[16];
    std::snprintf(name, sizeof name, "disk.%03u", i + 1);
    files.Add(name, std::move(file));
    at += take;
  }
  char name[16];
  std::snprintf(name, sizeof name, "disk.%03u", 1 + data[1] % 10);
  std::unique_ptr<DiskImage> image;
  std::string problem;
  const DWORD result = OpenDiskImage(files, name, &image, &problem);
  const bool inSet = 1u + data[1] % 10 <= pieces;
  FUZZ_CHECK(inSet ? result != code::FileNotFound : result == code::FileNotFound);
  if (result != code::Success) return 0;
  CheckImage(*image, static_cast<std::uint32_t>(size * 2654435761u));
  if (image->Format() != ImageFormat::SplitRaw) return 0;
  std::uint64_t total = 0;
  FUZZ_CHECK(image->Size(&total) == code::Success && total == joined.size());
  std::vector<std::uint8_t> read(joined.size() + 1);
  std::uint32_t got = 0;
  FUZZ_CHECK(image->ReadAt(0, read.data(), static_cast<std::uint32_t>(read.size()), &got) == code::Success);
  FUZZ_CHECK(got == joined.size() && (got == 0 || std::memcmp(read.data(), joined.data(), got) == 0));
  return 0;
}
