// libFuzzer target: a VHDX as a sparse file (see SparseFile), opened by
// content and read at a few places.
#include "fuzz/FuzzFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemoryFiles files;
  files.Add("disk.vhdx", SparseFile(data, size));
  std::unique_ptr<DiskImage> image;
  std::string problem;
  if (OpenDiskImage(files, "disk.vhdx", &image, &problem) != code::Success) return 0;
  CheckImage(*image, static_cast<std::uint32_t>(size * 2654435761u));
  return 0;
}
