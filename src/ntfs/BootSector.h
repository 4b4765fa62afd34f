// The boot sector and the geometry it gives: where a volume lies on its disk
// and how large its clusters and FILE records are. A volume found otherwise
// (a backup boot sector, a deep scan) gives the same geometry, and is read
// through the same classes.
#pragma once

#include <cstdint>

#include "ntfs/DataStream.h"
#include "platform/Disk.h"
#include "platform/Types.h"

struct NtfsGeometry {
  std::uint64_t partitionOffset = 0;  // bytes from the disk's start to the volume's first byte
  std::uint32_t clusterSize = 0;      // bytes
  std::uint32_t recordSize = 0;       // bytes of one FILE record
  std::uint64_t volumeBytes = 0;      // 0 when unknown: nothing is bounded by it
  std::uint64_t mftCluster = 0;       // where record 0 lies
  std::uint64_t mftMirrorCluster = 0; // where $MFTMirr's copy of records 0 to 3 lies; 0 when not known

  // Clusters of the volume (0 when the size is unknown).
  std::uint64_t ClusterCount() const { return clusterSize == 0 ? 0 : volumeBytes / clusterSize; }
  // Where the clusters lie on `disk` (not owned).
  VolumeGeometry Clusters(DiskReader* disk) const { return {disk, clusterSize, partitionOffset}; }
};

// code::InvalidParameter unless the cluster size is not 0 and at most
// ntfs::MaxClusterSize and the record size is a power of two from 512 to
// 65536 bytes; else code::Success.
DWORD CheckGeometry(const NtfsGeometry& geometry);

// The geometry a boot sector (BootSectorSize bytes) gives, for a volume
// starting at `partitionOffset`. code::InvalidDrive when it is not NTFS's,
// code::InvalidParameter when its bytes per sector are not 512, 1024, 2048
// or 4096 or its geometry fails CheckGeometry.
DWORD ParseBootSector(const std::uint8_t* sector, std::uint64_t partitionOffset, NtfsGeometry* geometry);

// Reads and parses the boot sector at `partitionOffset`: as ParseBootSector,
// code::HandleEof when the disk ends inside it, or the disk's code.
DWORD ReadBootSector(DiskReader& disk, std::uint64_t partitionOffset, NtfsGeometry* geometry);

// True when the sector ends in the boot sector's end marker (0xAA55).
bool HasBootEndMarker(const std::uint8_t* sector);

// The backup boot sector of the volume at `partitionOffset`, for one whose
// own boot sector cannot be used. It lies after the volume's last sector:
// the last sector of the partition, `partitionBytes` long (0 when not known),
// or where the damaged boot sector's own sector count still puts it. A
// candidate counts only when it parses, ends in the end marker and its own
// sector count puts it exactly where it lies. Returns code::Success with its
// geometry (for the volume at `partitionOffset`) and where it lies in
// `*backupOffset`; code::InvalidDrive when no candidate counts.
DWORD ReadBackupBootSector(DiskReader& disk, std::uint64_t partitionOffset, std::uint64_t partitionBytes,
                           NtfsGeometry* geometry, std::uint64_t* backupOffset);
