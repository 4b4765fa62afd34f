// In-memory image files for the disk-image fuzzers, and the checks every
// opened image must pass.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "disk/DiskImage.h"
#include "fuzz/FuzzSupport.h"

// A file of `size` bytes: zeros, with pieces of bytes laid over them (later
// pieces over earlier ones).
struct FileBytes {
  std::uint64_t size = 0;
  std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> pieces;
};

class MemoryFile : public ImageFile {
 public:
  explicit MemoryFile(std::shared_ptr<const FileBytes> bytes) : bytes(std::move(bytes)) {}
  DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered) override {
    *delivered = 0;
    if (offset >= bytes->size) return code::Success;
    const std::uint64_t end = offset + std::min<std::uint64_t>(count, bytes->size - offset);
    auto* out = static_cast<std::uint8_t*>(destination);
    std::memset(out, 0, static_cast<std::size_t>(end - offset));
    for (const auto& [at, data] : bytes->pieces) {
      const std::uint64_t from = std::max(at, offset), to = std::min(at + data.size(), end);
      if (from < to) std::memcpy(out + (from - offset), data.data() + (from - at), static_cast<std::size_t>(to - from));
    }
    *delivered = static_cast<std::uint32_t>(end - offset);
    return code::Success;
  }
  DWORD Size(std::uint64_t* size) override {
    *size = bytes->size;
    return code::Success;
  }

 private:
  std::shared_ptr<const FileBytes> bytes;
};

class MemoryFiles : public ImageFiles {
 public:
  void Add(const std::string& name, FileBytes bytes) {
    files[name] = std::make_shared<const FileBytes>(std::move(bytes));
  }
  DWORD Open(const std::string& name, std::unique_ptr<ImageFile>* file) override {
    auto found = files.find(name);
    if (found == files.end()) return code::FileNotFound;
    file->reset(new MemoryFile(found->second));
    return code::Success;
  }

 private:
  std::map<std::string, std::shared_ptr<const FileBytes>> files;
};

// A sparse file: a u64 size in bytes (below 16 TiB), then pieces of a u32
// sector number (512 bytes), a u16 length and that many bytes.
inline FileBytes SparseFile(const std::uint8_t* data, std::size_t size) {
  FileBytes file;
  if (size < 8) return file;
  std::memcpy(&file.size, data, 8);
  file.size &= (1ull << 44) - 1;
  for (std::size_t at = 8; at + 6 <= size;) {
    std::uint32_t sector = 0;
    std::uint16_t length = 0;
    std::memcpy(&sector, data + at, 4);
    std::memcpy(&length, data + at + 4, 2);
    at += 6;
    const std::size_t take = std::min<std::size_t>(length, size - at);
    file.pieces.push_back({std::uint64_t{sector} * 512, std::vector<std::uint8_t>(data + at, data + at + take)});
    at += take;
  }
  return file;
}

// Reads an opened image at a few places and checks ReadAt's contract:
// lengths (short only at the end, nothing past it), and the same bytes for
// the same place however it is read (one read, or two halves).
inline void CheckImage(DiskImage& image, std::uint32_t seed) {
  std::uint64_t size = 0;
  if (image.Size(&size) != code::Success) return;
  constexpr std::uint32_t Most = 1u << 16;
  static std::vector<std::uint8_t> whole(Most), halves(Most);
  // The start, across the first MiB's end (a block's or a chunk's), the
  // middle, near the end, and past it.
  const std::uint64_t places[] = {0, (1u << 20) - 1 - seed % 40000, size / 2 + seed % 4096,
                                  size > 70000 ? size - 70000 : 0, size, size + 512};
  for (const std::uint64_t offset : places) {
    const std::uint32_t count = std::min<std::uint32_t>(Most, 1 + seed % Most);
    std::uint32_t got = 0;
    const DWORD result = image.ReadAt(offset, whole.data(), count, &got);
    FUZZ_CHECK(got <= count);
    if (result != code::Success) continue;
    const std::uint64_t available = offset < size ? std::min<std::uint64_t>(count, size - offset) : 0;
    FUZZ_CHECK(got == available);
    const std::uint32_t first = got / 2;
    std::uint32_t a = 0, b = 0;
    FUZZ_CHECK(image.ReadAt(offset + first, halves.data() + first, got - first, &b) == code::Success);
    FUZZ_CHECK(image.ReadAt(offset, halves.data(), first, &a) == code::Success);
    FUZZ_CHECK(a == first && b == got - first);
    FUZZ_CHECK(std::memcmp(whole.data(), halves.data(), got) == 0);
  }
}
