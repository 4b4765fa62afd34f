// The $MFT of one volume: mapped through its runs (those of record 0 and of
// the extension records its attribute list names), read for a scan in
// chunks of whole records that stay in the processor's cache while they are
// parsed, and a record at a time on demand; never held whole. Every read of
// records from the disk goes through one place (ReadRecords).
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "ntfs/BootSector.h"
#include "ntfs/DataStream.h"
#include "ntfs/MFTRecord.h"
#include "ntfs/NtfsLayout.h"
#include "ntfs/VolumeReads.h"
#include "platform/Disk.h"
#include "platform/Types.h"
#include "util/ByteBuffer.h"

// How a caller goes through the records: Sequential loads the chunk that
// starts at a record it does not hold (a caller going through the records in
// order); OnDemand takes a record from the chunk when it is there, else
// reads it alone.
enum class MftRead { Sequential, OnDemand };

// Whether a record is handed out only when it carries its own number (0x2C,
// where it has one): a volume a deep scan found may hold another volume's
// records where its own were.
enum class RecordNumbers { Unchecked, Checked };

// True when the raw slot is a FILE record in use that is not a directory: a
// scan needs nothing more of it, so it is neither copied nor parsed. The
// signature and flags lie before the first place the update sequence
// restores, so the raw bytes answer exactly.
inline bool IsInUseFile(const std::uint8_t* slot, std::uint32_t size) {
  if (size <= ntfs::RecordFlags || std::memcmp(slot + ntfs::RecordSignature, "FILE", 4) != 0) return false;
  const std::uint8_t flags = slot[ntfs::RecordFlags];
  return (flags & ntfs::RecordInUse) != 0 && (flags & ntfs::RecordIsDirectory) == 0;
}

class CMftReader {
 public:
  // Bytes of the $MFT a sequential read takes at once: whole records, a
  // reused buffer small enough to stay in the processor's cache.
  static constexpr std::uint32_t DefaultChunkBytes = 1u << 20;

  CMftReader();
  ~CMftReader();
  CMftReader(const CMftReader&) = delete;
  CMftReader& operator=(const CMftReader&) = delete;

  // Maps the $MFT of the volume `geometry` describes on `disk` (not owned),
  // and makes a chunk of `chunkBytes` (whole records, at least one).
  // code::InvalidParameter for a geometry CheckGeometry refuses, a record 0
  // that is not whole on the disk or does not parse, or whose unnamed $DATA
  // is missing or resident; code::BadDevice when record 0 is not $MFT;
  // code::HandleEof when the disk ends before the $MFT's farthest cluster;
  // code::NotEnoughMemory when the buffers cannot be had; or the disk's code
  // (record 0 and the extension records that map the $MFT must be read; a
  // bad sector anywhere else in the $MFT costs only its records). On a
  // failure no record is offered.
  // Record 0 comes from $MFTMirr (geometry.mftMirrorCluster, when known)
  // when its own cannot be read, fails its checks or does not map itself
  // while the mirror's copy does: MirroredRecords() then says so.
  DWORD Map(DiskReader* disk, const NtfsGeometry& geometry, std::uint32_t chunkBytes);
  // As Map, for a volume whose $MFT record 0 cannot map: `map` gives where
  // its records lie, runs of 512-byte units from the disk's start (the VCN
  // of a record is its byte offset in the $MFT / 512), from VCN 0 on without
  // gaps; records in sparse runs are gone and read as zeros (damage).
  // code::InvalidParameter for a geometry CheckGeometry refuses or a map
  // that is empty or not contiguous; code::HandleEof when the disk ends
  // before the map's farthest unit; code::NotEnoughMemory.
  DWORD MapGiven(DiskReader* disk, const NtfsGeometry& geometry, std::uint32_t chunkBytes,
                 const std::vector<StreamRun>& map);
  // Takes effect at once; Unchecked after construction.
  void SetRecordNumbers(RecordNumbers check) { numbers = check; }
  // Records 0 to 3 taken from $MFTMirr since the last Map: bit i for record i.
  std::uint32_t MirroredRecords() const { return mirrored; }

  // Records offered: every whole record of the $MFT, which ends at the
  // volume's end and at its first hole.
  std::uint32_t RecordCount() const { return recordCount; }
  std::uint32_t RecordSize() const { return geometry.recordSize; }
  const VolumeGeometry& Clusters() const { return clusters; }

  // Prepares `record` to parse this volume's records; Parse then parses
  // `bytes` (a record of RecordSize bytes) as a summary.
  DWORD Prepare(CMFTRecord* record) const;
  DWORD Parse(std::uint8_t* bytes, CMFTRecord* record) const;

  // Points `*bytes` at record `index` where it lies in the chunk, loading the
  // chunk that starts there when `access` is Sequential. code::NoMoreFiles
  // past the last record, or when the record is not held and may not be
  // loaded; the disk's code (IsUnreadable) for a record on sectors that
  // cannot be read, the others of its chunk still offered; the code of a
  // chunk read that failed otherwise. The bytes are the disk's: a caller
  // that parses them in place puts the update sequence back after.
  DWORD Locate(std::uint32_t index, MftRead access, std::uint8_t** bytes);
  // Copies record `index` (RecordSize bytes) into `buffer`: from the chunk
  // when it is there (loaded when `access` is Sequential), else read alone.
  // code::NoMoreFiles past the last record, or the code of the failed read
  // (IsUnreadable for a record on sectors that cannot be read).
  DWORD Fetch(std::uint32_t index, MftRead access, std::uint8_t* buffer);
  // Lets go of the chunk: records are read alone, from the disk, until the
  // next Sequential read. After a scan, so that a record used again since is
  // seen as it is now, not as the chunk kept it.
  void DropChunk() {
    chunkCount = 0;
    chunkLost.clear();
  }
  // The first record from `index` on that is not a file in use or cannot be
  // read, going no farther than the chunk that holds `index` (loaded when
  // not held); `index` itself when that cannot be read.
  std::uint32_t SkipFilesInUse(std::uint32_t index);
  // The first record from `index` on whose slot starts with "FILE", going
  // no farther than the chunk that holds `index` (loaded when not held);
  // `index` itself when that cannot be read. A scan that wants files in use
  // too passes over only what holds no record at all.
  std::uint32_t SkipEmptySlots(std::uint32_t index);

 private:
  // Forgets the old map and takes `given` on `diskReader`, once CheckGeometry passes it.
  DWORD Start(DiskReader* diskReader, const NtfsGeometry& given);
  // Reads records [first, first + count) from the disk into `destination`.
  // Those on sectors that cannot be read are added to `lost` (indexes in
  // order) with the disk's code in `*why`; the others are read.
  DWORD ReadRecords(std::uint32_t first, std::uint32_t count, std::uint8_t* destination,
                    std::vector<std::uint32_t>* lost, DWORD* why);
  // The code of record `index` of the chunk when it could not be read, else code::Success.
  DWORD LostInChunk(std::uint32_t index) const;
  // Maps the $MFT's runs from the parsed record 0.
  DWORD MapRuns(CMFTRecord& record);
  // Reads the last byte the records use: a record 0 whose runs leave the
  // disk fails Map, not the middle of a scan.
  DWORD ProbeFarthestCluster();
  // Forgets the last mapping: no record is offered.
  void Forget();
  // Allocates the chunk once the records are known.
  DWORD MakeChunk(std::uint32_t chunkBytes);
  // Code::InvalidParameter when the record at `bytes` is a FILE record that
  // carries another number than `index` and numbers are checked.
  DWORD CheckNumber(const std::uint8_t* bytes, std::uint32_t index) const;
  // Record `index` (below ntfs::MirroredRecords) from $MFTMirr into
  // `buffer` when the copy there is a whole record.
  bool ReadMirrored(std::uint32_t index, std::uint8_t* buffer);

  DiskReader* disk = nullptr;  // not owned
  CVolumeReads reads;           // every read of the volume goes through it
  NtfsGeometry geometry;
  VolumeGeometry clusters;
  DataStream mft;               // the $MFT's runs
  std::uint32_t recordCount = 0;
  ByteBuffer chunk;             // records [chunkFirst, chunkFirst + chunkCount)
  std::uint32_t chunkCapacity = 0, chunkFirst = 0, chunkCount = 0;
  std::vector<std::uint32_t> chunkLost;  // records of the chunk that could not be read, in order
  DWORD chunkLostCode = code::Success;
  ReadLoss loss;                // of the last read, kept for its capacity
  RecordNumbers numbers = RecordNumbers::Unchecked;
  std::uint32_t mirrored = 0;   // bit i: record i came from $MFTMirr
  std::uint32_t mapUnit = 0;    // bytes of one VCN of `mft`: a cluster, or 512 for a given map
};
