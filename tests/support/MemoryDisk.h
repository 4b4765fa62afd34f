// A disk held in memory, with counted reads and an injectable failure.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/Disk.h"

class MemoryDisk : public DiskReader {
 public:
  explicit MemoryDisk(std::size_t size = 0) : bytes(size) {}

  void Write(std::uint64_t offset, const std::vector<std::uint8_t>& data) {
    if (data.empty()) return;
    if (bytes.size() < offset + data.size()) bytes.resize(offset + data.size());
    std::memcpy(bytes.data() + offset, data.data(), data.size());
  }
  std::vector<std::uint8_t>& Bytes() { return bytes; }

  DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count,
               std::uint32_t* delivered) override {
    ++reads;
    *delivered = 0;
    if (failFrom != UINT64_MAX && offset + count > failFrom) return failCode;
    if (offset >= bytes.size()) return code::Success;
    const std::size_t available = bytes.size() - static_cast<std::size_t>(offset);
    *delivered = static_cast<std::uint32_t>(count < available ? count : available);
    std::memcpy(destination, bytes.data() + offset, *delivered);
    return code::Success;
  }

  std::size_t reads = 0;
  std::uint64_t failFrom = UINT64_MAX;  // reads touching bytes from here on fail
  DWORD failCode = code::Crc;

 private:
  std::vector<std::uint8_t> bytes;
};
