// Read-only access to a disk: a physical disk, a block device or an image
// file. Nothing in the program writes to a disk it reads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Types.h"

// A source of disk bytes at 64-bit byte positions.
class DiskReader {
 public:
  virtual ~DiskReader() = default;

  // Reads up to `count` bytes at byte position `offset` into `destination`.
  // Returns 0 and the number of bytes delivered in `delivered` (fewer than
  // asked at the end of the disk, 0 past it), or a system error code.
  virtual DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count,
                       std::uint32_t* delivered) = 0;
};

// A disk opened read-only through the operating system. Win32: CreateFileW
// with GENERIC_READ, share read|write, then SetFilePointer + ReadFile.
// POSIX: open(O_RDONLY) and pread.
class DiskDevice : public DiskReader {
 public:
  ~DiskDevice() override;
  DiskDevice(const DiskDevice&) = delete;
  DiskDevice& operator=(const DiskDevice&) = delete;

  // Opens "\\.\PhysicalDrive<number>" on Windows; elsewhere there are no
  // numbered disks and this returns 2 (file not found).
  static DWORD OpenNumber(unsigned number, std::unique_ptr<DiskDevice>* disk);
  // Opens an image file or a device by path (UTF-8).
  static DWORD OpenPath(const std::string& path, std::unique_ptr<DiskDevice>* disk);

  DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count,
               std::uint32_t* delivered) override;

  // Size in bytes of an image file or device, when the system tells it.
  DWORD Size(std::uint64_t* bytes);

 private:
  DiskDevice() = default;
#ifdef _WIN32
  void* handle = nullptr;
#else
  int fd = -1;
#endif
};
