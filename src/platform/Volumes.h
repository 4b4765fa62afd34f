// Mounted volumes, looked up by serial number to name partitions by drive
// root. Windows asks GetLogicalDrives and GetVolumeInformationW anew on each
// call; elsewhere no volume ever matches.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Files.h"

class VolumeLookup {
 public:
  virtual ~VolumeLookup() = default;
  // The first root from "B:\" to "Z:\" whose volume serial is `serial`.
  virtual bool RootForSerial(std::uint32_t serial, std::u16string* root) = 0;
};

class SystemVolumes : public VolumeLookup {
 public:
  bool RootForSerial(std::uint32_t serial, std::u16string* root) override;
};

// The partition a scan reads, for the question whether a folder is on it.
struct ScannedPartition {
  static constexpr std::uint32_t NoDiskNumber = 0xFFFFFFFF;
  std::uint32_t diskNumber = NoDiskNumber;  // Windows: the physical disk read, when it is one
  std::string disk;          // the device or image read, as opened (POSIX); UTF-8
  std::uint64_t start = 0;   // bytes from the start of `disk`
  std::uint64_t length = 0;  // bytes; 0 when not known: up to the disk's end
  std::uint32_t serial = 0;  // the low half of the NTFS serial (boot sector 0x48); 0 when not known
};

// True when writing into `folder` writes to the scanned partition's bytes:
// the folder's volume is that partition, overlaps it, or lies in an image
// or device stacked on it. Devices and byte ranges are compared, never path
// texts. `folder` need not exist yet: its nearest existing parent decides.
// Windows: the folder's volume extents (IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS)
// against the disk number and range; where the system cannot give them, the
// volume's serial against `serial`. POSIX: the folder's device traced through
// sysfs (partitions, loop devices and their backing files, stacked devices)
// and the mount table (FUSE and other mounts without a block device of
// their own) against `disk` and the range. False when nothing says so.
bool IsOnScannedPartition(const NativePath& folder, const ScannedPartition& partition);
