#include "ntfs/BootSector.h"

#include <cstring>

#include "ntfs/NtfsLayout.h"
#include "util/ByteReader.h"

namespace {

// Cluster size from the boot sector. A sectors-per-cluster byte above 0x80
// is a negative power of two (2^(256 - n) sectors), as large-cluster volumes
// write it; taking it as a plain count would read the wrong clusters.
std::uint32_t ClusterBytes(std::uint16_t bytesPerSector, std::uint8_t sectorsPerCluster) {
  if (sectorsPerCluster <= 0x80) return static_cast<std::uint32_t>(bytesPerSector) * sectorsPerCluster;
  const unsigned shift = 256u - sectorsPerCluster;
  return shift > 15 ? 0 : static_cast<std::uint32_t>(bytesPerSector) << shift;
}

bool IsVolumeSectorSize(std::uint32_t bytes) {
  return bytes >= ntfs::MinBytesPerSector && bytes <= ntfs::MaxBytesPerSector && (bytes & (bytes - 1)) == 0;
}

bool IsRecordSize(std::uint64_t bytes) {
  return bytes >= ntfs::MinRecordSize && bytes <= ntfs::MaxRecordSize && (bytes & (bytes - 1)) == 0;
}

// FILE record size from the boot sector's clusters-per-record byte: n > 0
// counts clusters, n < 0 means 2^-n bytes. 0 unless it is a power of two
// from 512 to 65536: anything else would be a guess.
std::uint32_t RecordBytes(std::uint8_t raw, std::uint32_t clusterSize) {
  const auto value = static_cast<std::int8_t>(raw);
  std::uint64_t bytes = 0;
  if (value > 0) bytes = std::uint64_t{static_cast<std::uint8_t>(value)} * clusterSize;
  if (value < 0 && value > -32) bytes = std::uint64_t{1} << -value;
  return IsRecordSize(bytes) ? static_cast<std::uint32_t>(bytes) : 0;
}

}  // namespace

DWORD CheckGeometry(const NtfsGeometry& geometry) {
  return geometry.clusterSize != 0 && geometry.clusterSize <= ntfs::MaxClusterSize && IsRecordSize(geometry.recordSize)
             ? code::Success
             : code::InvalidParameter;
}

DWORD ParseBootSector(const std::uint8_t* sector, std::uint64_t partitionOffset, NtfsGeometry* geometry) {
  if (std::memcmp(sector + ntfs::BootOemId, "NTFS", 4) != 0) return code::InvalidDrive;
  const ByteReader boot(sector, ntfs::BootSectorSize);
  std::uint16_t bytesPerSector = 0;
  std::uint8_t sectorsPerCluster = 0, clustersPerRecord = 0;
  std::uint64_t totalSectors = 0;
  NtfsGeometry found;
  boot.U16(ntfs::BootBytesPerSector, &bytesPerSector);
  boot.U8(ntfs::BootSectorsPerCluster, &sectorsPerCluster);
  boot.U8(ntfs::BootClustersPerRecord, &clustersPerRecord);
  boot.U64(ntfs::BootMftCluster, &found.mftCluster);
  boot.U64(ntfs::BootMftMirrorCluster, &found.mftMirrorCluster);
  boot.U64(ntfs::BootTotalSectors, &totalSectors);
  // Every size below is counted in sectors: a sector size no disk has
  // would make clusters and buffers of any size.
  if (!IsVolumeSectorSize(bytesPerSector)) return code::InvalidParameter;
  found.partitionOffset = partitionOffset;
  found.clusterSize = ClusterBytes(bytesPerSector, sectorsPerCluster);
  found.volumeBytes = SaturatingMultiply(totalSectors, bytesPerSector);
  found.recordSize = RecordBytes(clustersPerRecord, found.clusterSize);
  const DWORD result = CheckGeometry(found);
  if (result == code::Success) *geometry = found;
  return result;
}

DWORD ReadBootSector(DiskReader& disk, std::uint64_t partitionOffset, NtfsGeometry* geometry) {
  std::uint8_t sector[ntfs::BootSectorSize] = {};
  std::uint32_t got = 0;
  const DWORD result = disk.ReadAt(partitionOffset, sector, sizeof sector, &got);
  if (result != code::Success) return result;
  if (got < sizeof sector) return code::HandleEof;
  return ParseBootSector(sector, partitionOffset, geometry);
}

bool HasBootEndMarker(const std::uint8_t* sector) {
  std::uint16_t marker = 0;
  ByteReader(sector, ntfs::BootSectorSize).U16(ntfs::BootEndMarker, &marker);
  return marker == ntfs::BootEndMarkerValue;
}

DWORD ReadBackupBootSector(DiskReader& disk, std::uint64_t partitionOffset, std::uint64_t partitionBytes,
                           NtfsGeometry* geometry, std::uint64_t* backupOffset) {
  std::uint8_t sector[ntfs::BootSectorSize] = {};
  std::uint32_t got = 0;
  auto read = [&](std::uint64_t at) {
    got = 0;
    return disk.ReadAt(at, sector, sizeof sector, &got) == code::Success && got == sizeof sector;
  };
  // The last sector of the partition, in whatever sector size the volume used.
  std::uint64_t candidates[ntfs::MaxBytesPerSector / ntfs::MinBytesPerSector + 1] = {};
  std::size_t count = 0;
  for (std::uint32_t bytes = ntfs::MinBytesPerSector; bytes <= ntfs::MaxBytesPerSector; bytes *= 2) {
    if (partitionBytes >= 2ull * bytes && partitionOffset <= UINT64_MAX - partitionBytes) {
      candidates[count++] = partitionOffset + partitionBytes - bytes;
    }
  }
  // A boot sector damaged past its checks may still give the volume's size.
  std::uint16_t bytesPerSector = 0;
  std::uint64_t totalSectors = 0;
  const ByteReader primary(sector, sizeof sector);
  if (read(partitionOffset) && std::memcmp(sector + ntfs::BootOemId, "NTFS", 4) == 0 &&
      primary.U16(ntfs::BootBytesPerSector, &bytesPerSector) && primary.U64(ntfs::BootTotalSectors, &totalSectors) &&
      IsVolumeSectorSize(bytesPerSector)) {
    const std::uint64_t volumeBytes = SaturatingMultiply(totalSectors, bytesPerSector);
    if (volumeBytes != 0 && volumeBytes <= UINT64_MAX - partitionOffset) {
      candidates[count++] = partitionOffset + volumeBytes;
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    NtfsGeometry found;
    if (!read(candidates[i]) || !HasBootEndMarker(sector) ||
        ParseBootSector(sector, partitionOffset, &found) != code::Success) {
      continue;
    }
    if (found.volumeBytes > UINT64_MAX - partitionOffset || partitionOffset + found.volumeBytes != candidates[i]) {
      continue;
    }
    *geometry = found;
    *backupOffset = candidates[i];
    return code::Success;
  }
  return code::InvalidDrive;
}
