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

  // Clusters of the volume (0 when the size is unknown).
  std::uint64_t ClusterCount() const { return clusterSize == 0 ? 0 : volumeBytes / clusterSize; }
  // Where the clusters lie on `disk` (not owned).
  VolumeGeometry Clusters(DiskReader* disk) const { return {disk, clusterSize, partitionOffset}; }
};

// code::InvalidParameter unless the cluster size is not 0 and the record
// size is a power of two from 512 to 65536 bytes; else code::Success.
DWORD CheckGeometry(const NtfsGeometry& geometry);

// The geometry a boot sector (BootSectorSize bytes) gives, for a volume
// starting at `partitionOffset`. code::InvalidDrive when it is not NTFS's,
// code::InvalidParameter when its geometry fails CheckGeometry.
DWORD ParseBootSector(const std::uint8_t* sector, std::uint64_t partitionOffset, NtfsGeometry* geometry);

// Reads and parses the boot sector at `partitionOffset`: as ParseBootSector,
// code::HandleEof when the disk ends inside it, or the disk's code.
DWORD ReadBootSector(DiskReader& disk, std::uint64_t partitionOffset, NtfsGeometry* geometry);
