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
  std::uint64_t dataSize;          // the unnamed $DATA's size as the records give it, read or not
  std::uint32_t parentRecordLow;   // bits 0..31 of the parent's record number
  std::uint32_t parentRecordHigh;  // bits 32..47
  bool contentElsewhere;           // a reparse point stands for bytes that are not on this disk
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
  std::uint64_t missingClusters = 0;  // of its content, that no run maps: missing pieces, runs cut short
  std::uint64_t dataClusters = 0;  // VCNs of its content's runs that hold what can be read
  bool elsewhere = false;          // its bytes are not on this disk (info.contentElsewhere too)
};

// What Initialize had to do without: a boot sector that failed its checks
// (the backup was read instead), records 0 to 3 taken from $MFTMirr.
struct VolumeRepairs {
  bool backupBootSector = false;
  std::uint64_t backupBootOffset = 0;  // bytes from the disk's start
  std::uint32_t mirroredRecords = 0;   // bit i: record i came from $MFTMirr
};

// Which records a scan lists. Current: the volume as its drivers left it,
// deleted files only. Found: a volume a deep scan found, whose files were
// lost with it: every file with content, in use or not, and a record counts
// only where it carries its own number.
enum class VolumeKind { Current, Found };

// Tells whether a volume's clusters are in use, for a found volume whose
// clusters another volume now covers.
class ClusterUse {
 public:
  virtual ~ClusterUse() = default;
  // As CNTFSDrive::CountClustersInUse, in the found volume's clusters.
  virtual DWORD CountInUse(std::uint64_t first, std::uint64_t count, std::uint64_t* inUse) = 0;
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
  // Sectors of the partition, in the sectors of its start; 0 when not
  // known. Initialize looks for the backup boot sector at its end.
  void SetPartitionLength(std::uint64_t sectors);
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
  // The same for a volume whose record 0 cannot map its $MFT: `mftMap` says
  // where its records lie (CMftReader::MapGiven).
  DWORD Initialize(const NtfsGeometry& geometry, const std::vector<StreamRun>& mftMap);
  // What the last Initialize, and the reads since, had to do without.
  VolumeRepairs Repairs();
  // Takes effect at the next Initialize; Current until then.
  void SetKind(VolumeKind volumeKind);
  VolumeKind Kind();
  // Where CountClustersInUse asks (not owned; null: the volume's own $Bitmap).
  void SetClusterUse(ClusterUse* use);
  // True when the volume's own $Bitmap tells its clusters' use: then a file
  // in use holds its clusters itself.
  bool OwnClusterUse();
  // Records the scan may ask for: every whole record of the $MFT.
  std::uint32_t RecordCount();
  // Summary of record `index` without its content. code::InvalidAccess when
  // not initialised, code::NoMoreFiles past the last record offered,
  // code::InvalidParameter for a bad record.
  DWORD ReadRecordSummary(std::uint32_t index, bool directoriesOnly, MFTFileInfo* info);
  // The same for the deleted file a row showed: code::RecordReused, and
  // nothing else, when the record is in use or its sequence number or
  // $LogFile sequence number is no longer the row's.
  DWORD ReadRecordSummary(const RecordIdentity& identity, MFTFileInfo* info);
  // The whole content of record `index`'s file in a new buffer that the
  // caller owns (null and 0 when it has none). code::NotEnoughMemory when
  // the content cannot be held whole in memory; code::FileEncrypted when it
  // is encrypted; code::FileOffline when its bytes are not on this disk;
  // code::FileCorrupt when compressed data does not decompress or any of it
  // is missing (pieces its attribute list names, runs cut short); the disk's
  // code (IsUnreadable) when any of it lies on sectors that cannot be read:
  // a whole read is never handed out with holes; otherwise as
  // ReadRecordSummary.
  DWORD ReadRecordData(std::uint32_t index, ByteBuffer* data, std::uint32_t* size);
  // The same for a record a row showed: code::RecordReused, before anything
  // is read, when it is no longer the row's (as ReadRecordSummary).
  DWORD ReadRecordData(const RecordIdentity& identity, ByteBuffer* data, std::uint32_t* size);
  // The same bytes as ReadRecordData, delivered to `sink` in chunks of at
  // most 1 MiB whatever the file's size; `*size` receives the bytes
  // delivered. When some are missing, everything before them is delivered;
  // sectors that cannot be read are delivered as zeros. Then with `report`
  // the read succeeds and `*report` says how many bytes are missing and how
  // many unreadable (the caller must tell that the copy is not the file);
  // without it the result is code::FileCorrupt for missing bytes, else
  // code::Crc for unreadable ones.
  DWORD ReadRecordContent(std::uint32_t index, ContentSink* sink, std::uint64_t* size,
                          ContentReport* report = nullptr);
  // The same for a record a row showed, checked as ReadRecordData checks it.
  DWORD ReadRecordContent(const RecordIdentity& identity, ContentSink* sink, std::uint64_t* size,
                          ContentReport* report = nullptr);

  // The first record from `index` on that a scan must look at: files in
  // use, most of any volume, are passed over in the chunk without a call
  // each. Goes no farther than the chunk that holds `index` (read when it
  // is not held); `index` itself when that cannot be read (ReadRecordFacts
  // then says why) or the drive is not initialised. A Found volume's files
  // in use count: only slots that hold no record are passed over.
  std::uint32_t SkipFilesInUse(std::uint32_t index);
  // Forgets the $MFT chunk the scan read last (CMftReader::DropChunk): a
  // row's record is then checked against the disk as it is now.
  void DropHeldRecords();

  // Facts of record `index` for a scan: everything for directories and
  // deleted files, and for deleted files the runs of their $DATA (sparse
  // ones included) into `runs` when it is not null; an in-use file gives
  // only its header, but in a Found volume, where it counts as a deleted
  // one. `access` says how the $MFT is read (MftRead). Codes as
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
  DWORD Open(const NtfsGeometry& found, const std::vector<StreamRun>* mftMap = nullptr);
  DWORD ReadFacts(std::uint32_t index, MftRead access, bool directoriesOnly, RecordFacts* facts,
                  std::vector<StreamRun>* runs);
  // The reparse point of a record without an attribute list, and the
  // stream system compression keeps its chunks in, into `gathered` and
  // `layout`.
  void KeepReparsePoint(CMFTRecord& record, ContentLayout* layout);
  DWORD ReadData(std::uint32_t index, const RecordIdentity* identity, ByteBuffer* data, std::uint32_t* size);
  DWORD ReadContent(std::uint32_t index, const RecordIdentity* identity, ContentSink* sink, std::uint64_t* size,
                    ContentReport* report);
  std::uint64_t PartitionByteOffset() const;

  DiskReader* disk = nullptr;  // not owned
  std::uint64_t partitionStart = 0;  // 64-bit for GPT disks past 2 TiB
  std::uint32_t sectorSize = 512;
  std::uint64_t partitionSectors = 0;  // 0: not known
  VolumeRepairs repairs;
  VolumeKind kind = VolumeKind::Current;
  ClusterUse* clusterUse = nullptr;  // not owned
  std::uint32_t chunkBytes = DefaultChunkBytes;
  bool initialised = false;
  NtfsGeometry geometry;
  CMftReader mft;
  CAttributeListWalk lists{mft};
  CFileContent content{mft, lists};
  CClusterBitmap bitmap{mft, lists};
  ByteBuffer recordBuffer;        // a record read alone for its facts
  FileParts gathered;             // what the record last read whole for its facts holds beyond itself
  CMFTRecord scanRecord;          // reused, so that its buffers are too
  Lock lock;  // held for each whole operation: one set of buffers, one disk position
};
