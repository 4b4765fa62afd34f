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
  return geometry.clusterSize != 0 && IsRecordSize(geometry.recordSize) ? code::Success : code::InvalidParameter;
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
  boot.U64(ntfs::BootTotalSectors, &totalSectors);
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
