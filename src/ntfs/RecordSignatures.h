// NTFS structures recognised in raw disk bytes, wherever they lie: FILE (and
// BAAD) records, index blocks (INDX) and boot sectors. For a search over a
// disk that does not know where any volume lies, so nothing here trusts a
// position or a size it has not checked. Pure functions over bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ntfs/BootSector.h"

// What a look at a candidate found: no structure, a structure, or the start
// of one whose checks need `*needed` bytes from the candidate's start.
enum class Recognised { No, Yes, NeedMore };

enum class RecordKind : std::uint8_t { File, Bad };

// The header of a FILE record, or of one chkdsk marked BAAD.
struct RecordHeader {
  RecordKind kind = RecordKind::File;
  std::uint32_t size = 0;           // bytes: a power of two from 512 to 65536
  bool hasNumber = false;           // an NTFS 3.1 record, which carries its own number
  std::uint32_t number = 0;         // valid when hasNumber
  std::uint16_t sequence = 0;
  std::uint8_t flags = 0;           // ntfs::RecordInUse, ntfs::RecordIsDirectory
  std::uint64_t baseReference = 0;  // 0 in a base record
};

// A FILE record at `bytes` (`available` bytes of the disk from there) whose
// size and update sequence fit each other and whose every 512-byte stride
// ends in the update sequence number; or a BAAD record whose header has the
// same shape (its strides are not checked: a torn write is why it is BAAD).
// NeedMore sets `*needed` to the record's size.
Recognised RecogniseRecord(const std::uint8_t* bytes, std::size_t available, RecordHeader* header,
                           std::uint32_t* needed);

// An index block: its size, its VCN in its folder's $INDEX_ALLOCATION, and
// the folder it belongs to as its first entry's key names it (the parent
// reference of a $FILE_NAME key), or NoOwner when it has no such entry.
struct IndexBlock {
  static constexpr std::uint64_t NoOwner = UINT64_MAX;
  std::uint32_t size = 0;
  std::uint64_t vcn = 0;
  std::uint64_t owner = NoOwner;  // file reference: record number and sequence number
};

// An INDX block at `bytes`, checked as a FILE record's update sequence is.
// `scratch` holds ntfs::MaxRecordSize bytes: the block's copy with its update
// sequence applied, to read its first entry. NeedMore as RecogniseRecord.
Recognised RecogniseIndexBlock(const std::uint8_t* bytes, std::size_t available, IndexBlock* block,
                               std::uint32_t* needed, std::uint8_t* scratch);

// An NTFS boot sector at disk position `position`: the OEM name, the end
// marker and a geometry ParseBootSector accepts (for a volume starting at
// `position`: a backup's volume starts volumeBytes before it).
bool RecogniseBootSector(const std::uint8_t* sector, std::uint64_t position, NtfsGeometry* geometry);

// Puts back the last two bytes of every 512-byte stride of a `size`-byte
// record or index block that RecogniseRecord or RecogniseIndexBlock
// accepted: it then reads as its writer meant it.
void ApplyStrides(std::uint8_t* bytes, std::uint32_t size);

// True when `size` bytes at `bytes` are a whole FILE record: its update
// sequence fits `size` and every stride carries it.
bool IsWholeRecord(const std::uint8_t* bytes, std::uint32_t size);

// What a FILE record (its strides put back) tells of its volume without
// anything else: the cluster size its first plain non-resident value's
// allocated size and VCNs give, and for a folder the first run of its index
// blocks and their size.
struct RecordHints {
  std::uint8_t clusterLog2 = 0;        // 0 when no value tells
  bool hasIndexRun = false;
  std::uint64_t indexLcn = 0;          // the first run of $INDEX_ALLOCATION, at VCN 0
  std::uint64_t indexClusters = 0;
  std::uint32_t indexBlockSize = 0;    // from $INDEX_ROOT; 0 when not known
};
void ReadRecordHints(const std::uint8_t* record, std::uint32_t size, RecordHints* hints);
