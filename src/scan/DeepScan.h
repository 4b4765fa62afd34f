// The deep scan's first step: one pass over a range of a disk, in large
// sequential reads, that finds every FILE (and BAAD) record, index block
// (INDX) and NTFS boot sector in it without knowing where any volume lies.
// Only what is found is kept: a few bytes per record, whole copies of the
// few records that map an $MFT. CFoundVolumes sorts the findings into
// volumes.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "ntfs/BootSector.h"
#include "platform/Disk.h"
#include "platform/Memory.h"
#include "platform/Types.h"

// Bytes of a disk: [offset, offset + bytes).
struct DiskRange {
  std::uint64_t offset = 0;
  std::uint64_t bytes = 0;
};

// A FILE or BAAD record.
struct FoundRecord {
  static constexpr std::uint8_t InUse = 0x01;
  static constexpr std::uint8_t Directory = 0x02;
  static constexpr std::uint8_t HasNumber = 0x04;     // it carries its own number (NTFS 3.1)
  static constexpr std::uint8_t Extension = 0x08;     // it holds attributes of another record
  static constexpr std::uint8_t Bad = 0x10;           // BAAD: chkdsk found it torn
  std::uint64_t position;     // bytes from the disk's start
  std::uint32_t number;       // its own number, when it has one
  std::uint16_t sequence;
  std::uint8_t flags;
  std::uint8_t sizeLog2;      // its size is 2^sizeLog2 bytes
  std::uint8_t clusterLog2;   // the cluster size its values give (RecordHints), 0 when none does

  std::uint32_t Size() const { return 1u << sizeLog2; }
};

// An index block: where it lies, its VCN, and its folder's reference
// (IndexBlock::NoOwner when no entry names it).
struct FoundIndex {
  std::uint64_t position;
  std::uint64_t vcn;
  std::uint64_t owner;
};

// A folder record's first run of index blocks (RecordHints).
struct FoundFolder {
  std::uint32_t record;       // index into DeepFindings::records
  std::uint32_t blockSize;    // bytes of one index block; 0 when not known
  std::uint64_t lcn;
  std::uint64_t clusters;
};

// A record kept whole, as the disk holds it: a record 0, 1 or 6, or
// an extension record of record 0 (they map an $MFT and size its volume).
struct KeptRecord {
  std::uint32_t record;       // index into DeepFindings::records
  std::uint32_t offset;       // of its bytes in DeepFindings::keptBytes
};

struct DeepFindings {
  BulkVector<FoundRecord> records;  // in disk order
  std::vector<FoundIndex> indexes;  // in disk order
  std::vector<FoundFolder> folders;
  std::vector<NtfsGeometry> boots;  // partitionOffset: where the sector lies
  std::vector<KeptRecord> kept;
  std::vector<std::uint8_t> keptBytes;
  bool keptAll = true;              // false: more records to keep than MaxKeptBytes hold
  std::uint64_t bytesRead = 0;      // of the range, up to the disk's end or a stop
  std::uint64_t unreadableBytes = 0;  // sectors the disk could not read, scanned as zeros

  void Clear();
};

// How far a pass has come, and how long the rest should take at its pace.
struct DeepScanProgress {
  std::uint64_t bytesDone = 0;
  std::uint64_t bytesTotal = 0;
  std::uint64_t recordsFound = 0;
  std::uint32_t secondsElapsed = 0;
  std::uint32_t secondsLeft = UINT32_MAX;  // UINT32_MAX until the pace is known
};

class DeepScanSink {
 public:
  virtual ~DeepScanSink() = default;
  // Called a few times a second while the pass reads, and once at its end.
  virtual void Progress(const DeepScanProgress& progress) { (void)progress; }
};

// Bytes of the disk read at once, and whole-record copies kept at most.
constexpr std::uint32_t DeepScanChunkBytes = 4u << 20;
constexpr std::uint32_t MaxKeptBytes = 16u << 20;

// Reads `range` of `disk` once, in order, in reads of `chunkBytes` (a
// multiple of 512, at least 64 KiB), looking at every 512-byte boundary
// from the range's start (which a caller gives on one; the range is cut
// at the disk's end). Sectors the disk cannot read are scanned as zeros and
// counted. Polls `stopRequested` between reads. Returns code::Success;
// code::Cancelled when stopped (what was found so far stays);
// code::InvalidParameter for a range whose start is not on a 512-byte
// boundary or a chunk size outside the bounds; code::NotEnoughMemory; or
// the code of a read that failed other than for bad sectors (a disk that is
// gone).
DWORD FindSignatures(DiskReader& disk, const DiskRange& range, const std::atomic<bool>& stopRequested,
                     DeepScanSink& sink, DeepFindings* findings, std::uint32_t chunkBytes = DeepScanChunkBytes);
