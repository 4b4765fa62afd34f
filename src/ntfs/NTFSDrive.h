// CNTFSDrive: one NTFS volume on a disk, read through its boot sector and its
// $MFT. The $MFT is read through its runs in bounded chunks for a scan and a
// record at a time on demand, never held whole. Never writes to the disk.
#pragma once

#include <cstdint>
#include <vector>

#include "ntfs/MFTRecord.h"
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
  bool hasName = false;
  std::uint16_t parentSequence = 0;
  MFTFileInfo info{};              // directories and deleted files; else only `deleted`
  bool incomplete = false;         // pieces of its $DATA named by its attribute list are missing
  std::uint64_t missingClusters = 0;
  std::uint64_t dataClusters = 0;  // VCNs of its non-resident $DATA that hold what can be read
  bool compressed = false;
  bool encrypted = false;
};

// True when a reference's sequence number `referenced` still names a record
// whose sequence number is now `current`: equal, or, when the record may have
// been freed since (`freedSince`), one more (a delete increments it, skipping
// 0). A reference with sequence number 0 names any.
bool SequenceFollows(std::uint16_t referenced, std::uint16_t current, bool freedSince);

class CNTFSDrive {
 public:
  // Bytes of the $MFT a scan reads at once: whole records, a reused buffer
  // small enough to stay in the processor's cache while it is parsed.
  static constexpr std::uint32_t DefaultChunkBytes = 1u << 20;

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
  // names). 15 when the volume is not NTFS, 38 when the disk ends inside the
  // boot sector or before the $MFT's last cluster, 87 for bad geometry (a
  // record size that is not a power of two from 512 to 65536 bytes
  // included) or a bad record 0, 1200 when record 0 is not $MFT, 8 when the
  // chunk buffer cannot be had, or the disk's own code.
  DWORD Initialize();
  // Records the scan may ask for: every whole record of the $MFT.
  std::uint32_t RecordCount();
  // Summary of record `index` without its content. 12 when not
  // initialised, 18 past the last record offered, 87 for a bad record.
  DWORD ReadRecordSummary(std::uint32_t index, bool directoriesOnly, MFTFileInfo* info);
  // The whole content of record `index`'s unnamed $DATA in a new buffer that
  // the caller owns (null and 0 when it has none). 8 when the content cannot
  // be held whole in memory; 6002 when it is encrypted; 1392 when compressed
  // data does not decompress or pieces its attribute list names are missing;
  // otherwise as ReadRecordSummary.
  DWORD ReadRecordData(std::uint32_t index, ByteBuffer* data, std::uint32_t* size);
  // The same bytes as ReadRecordData, delivered to `sink` in chunks of at
  // most 1 MiB whatever the file's size; `*size` receives the bytes
  // delivered. When pieces are missing, everything before the first missing
  // one is delivered and the result is 1392.
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
  // only its header. `sequential` reads the $MFT in chunks, for a caller that
  // goes through the records in order; otherwise the record comes from the
  // chunk when it is there, else from the disk alone. Codes as
  // ReadRecordSummary.
  DWORD ReadRecordFacts(std::uint32_t index, bool sequential, RecordFacts* facts, std::vector<StreamRun>* runs);

  // How many of the clusters [first, first + count) the volume's cluster
  // bitmap marks in use, into `*inUse`. 87 when the range lies past the
  // bitmap, or the code of the failed read: the bitmap cannot tell.
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
  struct BitmapPiece {
    std::uint64_t index = UINT64_MAX;  // which piece of the bitmap
    std::uint32_t bytes = 0;
    std::uint64_t lastUse = 0;
    ByteBuffer data;
  };
  static constexpr std::uint32_t BitmapPieceBytes = 64u << 10;
  static constexpr std::size_t BitmapPieces = 8;

  DWORD MapMft(std::uint64_t mftCluster);
  // Copies record `index`'s bytes into `buffer` (RecordSize bytes).
  DWORD FetchRecord(std::uint32_t index, bool sequential, std::uint8_t* buffer);
  // Points `*bytes` at record `index` in the chunk, loading the chunk that
  // starts there when `sequential`; 18 when it is not in the chunk and may
  // not be loaded. The bytes are raw: copy them before parsing.
  DWORD LocateRecord(std::uint32_t index, bool sequential, const std::uint8_t** bytes);
  DWORD PrepareRecord(CMFTRecord* record) const;
  // Parses the record in `bytes` whole (header and every attribute, no
  // content) into `record`.
  DWORD ParseWhole(std::uint8_t* bytes, CMFTRecord* record) const;
  // Follows `base`'s attribute list: its extension records that still belong
  // to it offer their $FILE_NAMEs to `base` when `names`, and their pieces of
  // the unnamed $DATA to `stream` when it is not null.
  DWORD FollowAttributeList(std::uint32_t index, CMFTRecord& base, bool names, DataStream* stream, bool strict);
  // The unnamed $DATA of the parsed `record` (index `index`) as one stream:
  // its own piece and those its attribute list names.
  DWORD GatherData(std::uint32_t index, CMFTRecord& record, DataStream* stream, bool strict);
  DWORD ReadFacts(std::uint32_t index, bool sequential, bool directoriesOnly, RecordFacts* facts,
                  std::vector<StreamRun>* runs);
  // Reads `index`'s record and prepares its content: a resident value, or
  // `content` holding the gathered stream.
  DWORD OpenContent(std::uint32_t index, CMFTRecord* record, const std::uint8_t** resident,
                    std::uint32_t* residentLength);
  DWORD LoadBitmap();
  std::uint64_t PartitionByteOffset() const;
  VolumeGeometry Geometry() const { return {disk, clusterSize, PartitionByteOffset()}; }

  DiskReader* disk = nullptr;  // not owned
  std::uint64_t partitionStart = 0;  // 64-bit for GPT disks past 2 TiB
  bool initialised = false;
  std::uint32_t clusterSize = 0;
  std::uint64_t volumeBytes = 0;  // from the boot sector; 0 when it gives none
  std::uint32_t sectorSize = 512;
  std::uint32_t recordSize = 0;
  DataStream mft;                 // the $MFT's runs
  std::uint32_t recordCount = 0;
  std::uint32_t chunkBytes = DefaultChunkBytes;
  ByteBuffer chunk;               // records [chunkFirst, chunkFirst + chunkCount)
  std::uint32_t chunkCapacity = 0, chunkFirst = 0, chunkCount = 0;
  ByteBuffer recordBuffer, extensionBuffer;
  DataStream content;             // the stream of the record last read whole
  CMFTRecord scanRecord;          // reused, so that its buffers are too
  DataStream bitmap;              // $Bitmap, once asked for
  DWORD bitmapState = code::InvalidAccess;  // 0 once loaded, else why not
  BitmapPiece pieces[BitmapPieces];
  std::uint64_t pieceClock = 0;
  Lock lock;  // held for each whole operation: one set of buffers, one disk position
};
