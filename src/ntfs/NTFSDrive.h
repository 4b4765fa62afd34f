// CNTFSDrive: one NTFS volume on a disk, as its callers see it: record
// summaries, the facts a scan needs, content, and the cluster bitmap. It
// holds the pieces that do each job (the boot sector's geometry, the $MFT
// reader, the attribute-list walk, file content, the bitmap) and serialises
// every operation with one lock. Never writes to the disk.
#pragma once

#include <cstdint>
#include <vector>

#include "ntfs/AttributeList.h"
#include "ntfs/BootSector.h"
#include "ntfs/ClusterBitmap.h"
#include "ntfs/FileContent.h"
#include "ntfs/MFTRecord.h"
#include "ntfs/MftReader.h"
#include "platform/Disk.h"
#include "platform/Lock.h"
#include "platform/Types.h"
#include "util/ByteBuffer.h"

// The summary of one FILE record.
struct MFTFileInfo {
  char16_t name[260];              // at most 259 units, then a zero
  std::uint64_t creationTime;      // FILETIMEs from $STANDARD_INFORMATION
  std::uint64_t modificationTime;
  std::uint64_t mftChangeTime;
  std::uint64_t accessTime;
  std::uint32_t fileAttributes;    // $STANDARD_INFORMATION's flags, else $FILE_NAME's
  bool deleted;                    // the in-use flag is clear
  std::uint64_t dataSize;          // bytes of the unnamed $DATA that can be read
  std::uint32_t parentRecordLow;   // bits 0..31 of the parent's record number
  std::uint32_t parentRecordHigh;  // bits 32..47
};

// What a scan needs of one record, read in one look. For a file in use only
// `inUse`, `isDirectory`, `isExtension` and `info.deleted` are set.
struct RecordFacts {
  bool inUse = false;
  bool isDirectory = false;
  bool isExtension = false;        // holds attributes of another record: never a file of its own
  std::uint16_t sequence = 0;      // the record's own sequence number
  std::uint64_t logSequenceNumber = 0;
  std::uint16_t parentSequence = 0;
  MFTFileInfo info{};              // directories and deleted files; else only `deleted`
  std::uint64_t missingClusters = 0;  // of its $DATA, in pieces its attribute list names that are missing
  std::uint64_t dataClusters = 0;  // VCNs of its non-resident $DATA that hold what can be read
};

class CNTFSDrive {
 public:
  // Bytes of the $MFT a scan reads at once.
  static constexpr std::uint32_t DefaultChunkBytes = CMftReader::DefaultChunkBytes;

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
  // Reads the boot sector and record 0, and maps the $MFT through its runs
  // (those of record 0 and of the extension records its attribute list
  // names). code::InvalidHandle without a disk; code::InvalidDrive when the
  // volume is not NTFS; code::HandleEof when the disk ends inside the boot
  // sector or before the $MFT's last cluster; code::InvalidParameter for bad
  // geometry (a record size that is not a power of two from 512 to 65536
  // bytes included) or a bad record 0; code::BadDevice when record 0 is not
  // $MFT; code::NotEnoughMemory when the chunk buffer cannot be had; or the
  // disk's code.
  DWORD Initialize();
  // The same for a volume whose geometry is known without its boot sector (a
  // backup boot sector, a volume a deep scan found): `geometry` gives where
  // it lies and where its record 0 is; the partition start is not used.
  DWORD Initialize(const NtfsGeometry& geometry);
  // Records the scan may ask for: every whole record of the $MFT.
  std::uint32_t RecordCount();
  // Summary of record `index` without its content. code::InvalidAccess when
  // not initialised, code::NoMoreFiles past the last record offered,
  // code::InvalidParameter for a bad record.
  DWORD ReadRecordSummary(std::uint32_t index, bool directoriesOnly, MFTFileInfo* info);
  // The whole content of record `index`'s unnamed $DATA in a new buffer that
  // the caller owns (null and 0 when it has none). code::NotEnoughMemory
  // when the content cannot be held whole in memory; code::FileEncrypted
  // when it is encrypted; code::FileCorrupt when compressed data does not
  // decompress or pieces its attribute list names are missing; otherwise as
  // ReadRecordSummary.
  DWORD ReadRecordData(std::uint32_t index, ByteBuffer* data, std::uint32_t* size);
  // The same bytes as ReadRecordData, delivered to `sink` in chunks of at
  // most 1 MiB whatever the file's size; `*size` receives the bytes
  // delivered. When pieces are missing, everything before the first missing
  // one is delivered and the result is code::FileCorrupt.
  DWORD ReadRecordContent(std::uint32_t index, ContentSink* sink, std::uint64_t* size);

  // The first record from `index` on that a scan must look at: files in
  // use, most of any volume, are passed over in the chunk without a call
  // each. Goes no farther than the chunk that holds `index` (read when it
  // is not held); `index` itself when that cannot be read (ReadRecordFacts
  // then says why) or the drive is not initialised.
  std::uint32_t SkipFilesInUse(std::uint32_t index);

  // Facts of record `index` for a scan: everything for directories and
  // deleted files, and for deleted files the runs of their $DATA (sparse
  // ones included) into `runs` when it is not null; an in-use file gives
  // only its header. `access` says how the $MFT is read (MftRead). Codes as
  // ReadRecordSummary.
  DWORD ReadRecordFacts(std::uint32_t index, MftRead access, RecordFacts* facts, std::vector<StreamRun>* runs);

  // How many of the clusters [first, first + count) the volume's cluster
  // bitmap marks in use, into `*inUse`. code::InvalidParameter when the
  // range lies past the bitmap, or the code of the failed read: the bitmap
  // cannot tell.
  DWORD CountClustersInUse(std::uint64_t first, std::uint64_t count, std::uint64_t* inUse);

  std::uint32_t ClusterSize();
  // Bytes of one FILE record, from the boot sector.
  std::uint32_t RecordSize();
  // Clusters of the volume, from the boot sector's sector count (0 when it
  // gives none).
  std::uint64_t ClusterCount();
  // Bytes of the $MFT read at once by a sequential scan (whole records, at
  // least one); takes effect at the next Initialize.
  void SetChunkBytes(std::uint32_t bytes);

 private:
  // Maps the volume `found` describes; the drive is initialised on success.
  DWORD Open(const NtfsGeometry& found);
  DWORD ReadFacts(std::uint32_t index, MftRead access, bool directoriesOnly, RecordFacts* facts,
                  std::vector<StreamRun>* runs);
  std::uint64_t PartitionByteOffset() const;

  DiskReader* disk = nullptr;  // not owned
  std::uint64_t partitionStart = 0;  // 64-bit for GPT disks past 2 TiB
  std::uint32_t sectorSize = 512;
  std::uint32_t chunkBytes = DefaultChunkBytes;
  bool initialised = false;
  NtfsGeometry geometry;
  CMftReader mft;
  CAttributeListWalk lists{mft};
  CFileContent content{mft, lists};
  CClusterBitmap bitmap{mft, lists};
  ByteBuffer recordBuffer;        // a record read alone for its facts
  DataStream gathered;            // the stream of the record last read whole for its facts
  CMFTRecord scanRecord;          // reused, so that its buffers are too
  Lock lock;  // held for each whole operation: one set of buffers, one disk position
};
