// Read-only access to a disk: a physical disk, a block device or an image
// file. Nothing in the program writes to a disk it reads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Types.h"

// A source of disk bytes at 64-bit byte positions.
class DiskReader {
 public:
  virtual ~DiskReader() = default;

  // Reads up to `count` bytes at byte position `offset` into `destination`.
  // Returns code::Success and the number of bytes delivered in `delivered`
  // (fewer than asked at the end of the disk, 0 past it), or a system error
  // code.
  virtual DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count,
                       std::uint32_t* delivered) = 0;

  // The disk's logical sector size in bytes when the disk can say it (a
  // device); 0 when it cannot (an image file). Partition tables count their
  // positions in these sectors.
  virtual std::uint32_t LogicalSectorSize() { return 0; }
};

// A power of two from 512 to 65536: a logical sector size we accept.
bool IsSectorSize(std::uint32_t bytes);

// Reads like DiskReader::ReadAt through `readSectors`, which is only ever
// asked for whole sectors of `sectorBytes` at positions that are multiples
// of it: a first or last sector the caller wants only part of is read into
// a one-sector bounce buffer. `sectorBytes` must pass IsSectorSize.
using SectorRead = std::function<DWORD(std::uint64_t offset, void* destination, std::uint32_t count,
                                       std::uint32_t* delivered)>;
DWORD ReadWholeSectors(const SectorRead& readSectors, std::uint32_t sectorBytes, std::uint64_t offset,
                       void* destination, std::uint32_t count, std::uint32_t* delivered);

// A disk opened read-only through the operating system. Win32: CreateFileW
// with GENERIC_READ, share read|write, then SetFilePointer + ReadFile.
// POSIX: open(O_RDONLY) and pread. A device that says its logical sector
// size (Win32: IOCTL_DISK_GET_DRIVE_GEOMETRY_EX; Linux block devices:
// BLKSSZGET) is only ever read in whole, aligned sectors of that size.
class DiskDevice : public DiskReader {
 public:
  ~DiskDevice() override;
  DiskDevice(const DiskDevice&) = delete;
  DiskDevice& operator=(const DiskDevice&) = delete;

  // Opens "\\.\PhysicalDrive<number>" on Windows; elsewhere there are no
  // numbered disks and this returns code::FileNotFound.
  static DWORD OpenNumber(unsigned number, std::unique_ptr<DiskDevice>* disk);
  // Opens an image file or a device by path (UTF-8).
  static DWORD OpenPath(const std::string& path, std::unique_ptr<DiskDevice>* disk);

  DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count,
               std::uint32_t* delivered) override;
  std::uint32_t LogicalSectorSize() override { return sectorBytes; }

  // Size in bytes of an image file or device, when the system tells it.
  DWORD Size(std::uint64_t* bytes);

 private:
  DiskDevice() = default;
  // One read as the system does it, without regard to sectors.
  DWORD ReadRaw(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered);

  std::uint32_t sectorBytes = 0;  // 0: the system does not say (an image file)
#ifdef _WIN32
  void* handle = nullptr;
#else
  int fd = -1;
#endif
};
