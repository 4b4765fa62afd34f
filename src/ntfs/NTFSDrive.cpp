#include "ntfs/NTFSDrive.h"

#include <cstring>

#include "util/ByteReader.h"
#include "ntfs/NtfsLayout.h"

namespace {

// Cluster size from the boot sector. A sectors-per-cluster byte above 0x80
// is a negative power of two (2^(256 - n) sectors), as large-cluster volumes
// write it; taking it as a plain count would read the wrong clusters.
std::uint32_t ClusterBytes(std::uint16_t bytesPerSector, std::uint8_t sectorsPerCluster) {
  if (sectorsPerCluster <= 0x80) return static_cast<std::uint32_t>(bytesPerSector) * sectorsPerCluster;
  const unsigned shift = 256u - sectorsPerCluster;
  return shift > 15 ? 0 : static_cast<std::uint32_t>(bytesPerSector) << shift;
}

// True when the slot is a FILE record in use: its summary says only that, so
// the scan need not copy it. The signature and flags lie outside the two
// places the update sequence restores, so the raw image answers exactly.
bool IsInUseRecord(const std::uint8_t* slot) {
  const ByteReader record(slot, ntfs::RecordSize);
  std::uint16_t usaOffset = 0;
  std::uint8_t flags = 0;
  return record.U16(ntfs::RecordUsaOffset, &usaOffset) && record.Holds(usaOffset, ntfs::UsaBytes) &&
         std::memcmp(slot + ntfs::RecordSignature, "FILE", 4) == 0 && record.U8(ntfs::RecordFlags, &flags) &&
         (flags & ntfs::RecordInUse) != 0;
}

}  // namespace

CNTFSDrive::CNTFSDrive() = default;
CNTFSDrive::~CNTFSDrive() = default;

void CNTFSDrive::AttachDisk(DiskReader* diskReader) {
  LockHolder hold(lock);
  disk = diskReader;
  initialised = false;
}

void CNTFSDrive::SetPartitionStart(std::uint64_t startSector, std::uint32_t sectorBytes) {
  LockHolder hold(lock);
  partitionStart = startSector;
  sectorSize = sectorBytes == 0 ? ntfs::PartitionSectorSize : sectorBytes;
}

std::uint64_t CNTFSDrive::PartitionByteOffset() const { return SaturatingMultiply(partitionStart, sectorSize); }

std::uint32_t CNTFSDrive::ClusterSize() {
  LockHolder hold(lock);
  return clusterSize;
}

DWORD CNTFSDrive::Initialize() {
  LockHolder hold(lock);
  initialised = false;  // a failed Initialize leaves the drive not initialised
  if (disk == nullptr) return code::InvalidHandle;
  std::uint8_t boot[ntfs::BootSectorSize] = {};
  std::uint32_t got = 0;
  DWORD result = disk->ReadAt(PartitionByteOffset(), boot, sizeof boot, &got);
  if (result != code::Success) return result;
  if (got < sizeof boot) return code::HandleEof;
  if (std::memcmp(boot + ntfs::BootOemId, "NTFS", 4) != 0) return code::InvalidDrive;
  const ByteReader bootSector(boot, sizeof boot);
  std::uint16_t bytesPerSector = 0;
  std::uint8_t sectorsPerCluster = 0;
  std::uint64_t mftCluster = 0;
  bootSector.U16(ntfs::BootBytesPerSector, &bytesPerSector);
  bootSector.U8(ntfs::BootSectorsPerCluster, &sectorsPerCluster);
  bootSector.U64(ntfs::BootMftCluster, &mftCluster);
  std::uint64_t totalSectors = 0;
  bootSector.U64(ntfs::BootTotalSectors, &totalSectors);
  clusterSize = ClusterBytes(bytesPerSector, sectorsPerCluster);
  volumeBytes = SaturatingMultiply(totalSectors, bytesPerSector);

  recordSize = ntfs::RecordSize;
  recordBuffer = AllocateZeroed(recordSize);
  if (!recordBuffer) return code::NotEnoughMemory;
  initialised = true;
  result = LoadMftImage(mftCluster);
  if (result != code::Success) initialised = false;
  return result;
}

DWORD CNTFSDrive::PrepareRecord(CMFTRecord* record) {
  record->SetDiskHandle(disk);
  return record->SetGeometry(recordSize, clusterSize, PartitionByteOffset());
}

DWORD CNTFSDrive::LoadMftImage(std::uint64_t mftCluster) {
  if (!initialised) return code::InvalidAccess;
  if (clusterSize == 0 || mftCluster > (UINT64_MAX - PartitionByteOffset()) / clusterSize) {
    return code::InvalidParameter;
  }
  std::uint32_t got = 0;
  DWORD result = disk->ReadAt(PartitionByteOffset() + mftCluster * clusterSize, recordBuffer.get(),
                              recordSize, &got);
  if (result != code::Success) return result;

  CMFTRecord record;
  result = PrepareRecord(&record);
  if (result != code::Success) return result;
  // The $MFT lies inside its volume and is never sparse: records past the
  // volume's end or in a hole cannot be real, however far a damaged record 0
  // says it reaches. An unset sector count sets no bound.
  if (volumeBytes != 0) record.SetDataLimit(volumeBytes);
  record.SetValueEndsAtHole(true);
  result = record.ParseRecord(recordBuffer.get(), got, false, false);
  if (result != code::Success) return result;

  static const char16_t mftName[] = u"$MFT";
  const std::uint8_t* name = record.FileName() + ntfs::FnName;
  for (int i = 0; i < 4; ++i) {
    const char16_t unit = static_cast<char16_t>(name[2 * i] | (name[2 * i + 1] << 8));
    if (unit != mftName[i]) return code::BadDevice;
  }
  if (record.DataSize() > UINT32_MAX) return code::NotEnoughMemory;
  mftImage = record.TakeData();
  mftImageSize = static_cast<std::uint32_t>(record.DataSize());
  return code::Success;
}

std::uint32_t CNTFSDrive::RecordCount() {
  LockHolder hold(lock);
  return mftImageSize / ntfs::RecordSize;
}

DWORD CNTFSDrive::ParseSlot(std::uint32_t index, bool skipContent, bool directoriesOnly,
                            CMFTRecord* record) {
  if (!initialised) return code::InvalidAccess;
  // Every whole slot is offered, the last one too: it often holds the newest
  // file. 64-bit, so that a large index cannot wrap past the check.
  if ((static_cast<std::uint64_t>(index) + 1) * ntfs::RecordSize > mftImageSize) {
    return code::NoMoreFiles;
  }
  std::memcpy(recordBuffer.get(), mftImage.get() + static_cast<std::size_t>(index) * ntfs::RecordSize,
              ntfs::RecordSize);
  DWORD result = PrepareRecord(record);
  if (result != code::Success) return result;
  return record->ParseRecord(recordBuffer.get(), ntfs::RecordSize, skipContent, directoriesOnly);
}

DWORD CNTFSDrive::ReadRecordSummary(std::uint32_t index, bool directoriesOnly, MFTFileInfo* info) {
  LockHolder hold(lock);
  if (!directoriesOnly && initialised &&
      (static_cast<std::uint64_t>(index) + 1) * ntfs::RecordSize <= mftImageSize &&
      IsInUseRecord(mftImage.get() + static_cast<std::size_t>(index) * ntfs::RecordSize)) {
    std::memset(info, 0, sizeof *info);
    return code::Success;
  }
  CMFTRecord record;
  DWORD result = ParseSlot(index, true, directoriesOnly, &record);
  if (result != code::Success) return result;

  std::memset(info, 0, sizeof *info);
  const ByteReader fileName(record.FileName(), ntfs::FileNameArea);
  for (std::size_t i = 0; i + 1 < sizeof info->name / sizeof info->name[0]; ++i) {
    std::uint16_t unit = 0;
    if (!fileName.U16(ntfs::FnName + 2 * i, &unit) || unit == 0) break;
    info->name[i] = unit;
  }
  const ByteReader standard(record.StandardInformation(), ntfs::StandardInformationKept);
  standard.U64(ntfs::SiCreationTime, &info->creationTime);
  standard.U64(ntfs::SiModificationTime, &info->modificationTime);
  standard.U64(ntfs::SiMftChangeTime, &info->mftChangeTime);
  standard.U64(ntfs::SiAccessTime, &info->accessTime);
  // $FILE_NAME's copy of the attributes is only brought up to date when the
  // name changes, so a file made read-only later would lose the flag.
  if (record.StandardInformationLength() >= ntfs::SiFileAttributes + 4) {
    standard.U32(ntfs::SiFileAttributes, &info->fileAttributes);
  } else {
    fileName.U32(ntfs::FnFlags, &info->fileAttributes);
  }
  info->deleted = !record.InUse();
  info->dataSize = record.DataSize();
  std::uint64_t parent = 0;
  fileName.U64(ntfs::FnParentReference, &parent);
  parent &= ntfs::RecordNumberMask;
  info->parentRecordLow = static_cast<std::uint32_t>(parent);
  info->parentRecordHigh = static_cast<std::uint32_t>(parent >> 32);
  return code::Success;
}

DWORD CNTFSDrive::ReadRecordData(std::uint32_t index, ByteBuffer* data, std::uint32_t* size) {
  LockHolder hold(lock);
  CMFTRecord record;
  DWORD result = ParseSlot(index, false, false, &record);
  if (result != code::Success) return result;
  *data = record.TakeData();
  *size = *data ? static_cast<std::uint32_t>(record.DataSize()) : 0;
  return code::Success;
}

DWORD CNTFSDrive::ReadRecordContent(std::uint32_t index, ContentSink* sink, std::uint64_t* size) {
  LockHolder hold(lock);
  CMFTRecord record;
  record.SetContentSink(sink);
  DWORD result = ParseSlot(index, false, false, &record);
  if (result == code::Success) *size = record.DataSize();
  return result;
}
