// CNTFSDrive: one NTFS volume on a disk, read through its boot sector and
// its $MFT, which is loaded whole into memory. Never writes to the disk.
#pragma once

#include <cstdint>

#include "util/ByteBuffer.h"
#include "ntfs/MFTRecord.h"
#include "platform/Disk.h"
#include "platform/Lock.h"
#include "platform/Types.h"

// The summary of one FILE record.
struct MFTFileInfo {
  char16_t name[260];              // at most 259 units, then a zero
  std::uint64_t creationTime;      // FILETIMEs from $STANDARD_INFORMATION
  std::uint64_t modificationTime;
  std::uint64_t mftChangeTime;
  std::uint64_t accessTime;
  std::uint32_t fileAttributes;    // $STANDARD_INFORMATION's flags, else $FILE_NAME's
  bool deleted;                    // the in-use flag is clear
  std::uint64_t dataSize;          // bytes of the first $DATA, within what its runs map
  std::uint32_t parentRecordLow;   // bits 0..31 of the parent's record number
  std::uint32_t parentRecordHigh;  // bits 32..47
};

class CNTFSDrive {
 public:
  CNTFSDrive();
  virtual ~CNTFSDrive();
  CNTFSDrive(const CNTFSDrive&) = delete;
  CNTFSDrive& operator=(const CNTFSDrive&) = delete;

  // Stores the disk (not owned) and leaves the drive not initialised.
  void AttachDisk(DiskReader* diskReader);
  // First sector of the partition, counted in the disk's logical sectors of
  // `sectorBytes` (512 unless the disk says otherwise; 64-bit so that GPT
  // partitions past 2 TiB can be read; MBR starts are 32-bit).
  void SetPartitionStart(std::uint64_t startSector, std::uint32_t sectorBytes = 512);
  // Reads the boot sector and loads the MFT image. 15 when the volume is not
  // NTFS, 38 when the disk ends inside the boot sector, 87 for bad geometry
  // or record 0, 1200 when record 0 is not $MFT, or the disk's own code.
  DWORD Initialize();
  // Records the scan may ask for: every whole 1024-byte slot of the image.
  std::uint32_t RecordCount();
  // Summary of record `index` without its content. 12 when not
  // initialised, 18 past the last record offered, 87 for a bad record.
  DWORD ReadRecordSummary(std::uint32_t index, bool directoriesOnly, MFTFileInfo* info);
  // The whole content of record `index`'s first $DATA in a new buffer that
  // the caller owns (null and 0 when it has none). 8 when the content cannot
  // be held whole in memory; otherwise as ReadRecordSummary.
  DWORD ReadRecordData(std::uint32_t index, ByteBuffer* data, std::uint32_t* size);
  // The same bytes as ReadRecordData, delivered to `sink` in chunks of at
  // most 1 MiB whatever the file's size; `*size` receives the total.
  DWORD ReadRecordContent(std::uint32_t index, ContentSink* sink, std::uint64_t* size);

  std::uint32_t ClusterSize();

 private:
  DWORD LoadMftImage(std::uint64_t mftCluster);
  // Copies record `index` into the record buffer and parses it with `record`.
  DWORD ParseSlot(std::uint32_t index, bool skipContent, bool directoriesOnly, CMFTRecord* record);
  DWORD PrepareRecord(CMFTRecord* record);
  std::uint64_t PartitionByteOffset() const;

  DiskReader* disk = nullptr;  // not owned
  std::uint64_t partitionStart = 0;  // 64-bit for GPT disks past 2 TiB
  bool initialised = false;
  std::uint32_t clusterSize = 0;
  std::uint64_t volumeBytes = 0;  // from the boot sector; 0 when it gives none
  std::uint32_t sectorSize = 0;
  ByteBuffer mftImage;
  std::uint32_t mftImageSize = 0;
  ByteBuffer recordBuffer;
  std::uint32_t recordSize = 0;
  Lock lock;  // held for each whole operation: one record buffer, one disk position
};
