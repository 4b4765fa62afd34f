// A non-resident value read through its runs: from one attribute, or from
// every piece that an attribute list names. Sparse runs, compression units
// and the initialised size are applied on every read, so callers see the
// bytes as Windows shows them.
#pragma once

#include <cstdint>
#include <vector>

#include "ntfs/VolumeReads.h"
#include "platform/Disk.h"
#include "platform/Types.h"
#include "util/ByteBuffer.h"
#include "util/ByteReader.h"

// Where a volume's clusters lie on its disk.
struct VolumeGeometry {
  DiskReader* disk = nullptr;  // not owned
  std::uint32_t clusterSize = 0;
  std::uint64_t partitionOffset = 0;  // bytes
  CVolumeReads* reads = nullptr;  // not owned; reads of `disk` that pass over bad sectors, or null
};

// `length` clusters of the value from virtual cluster `vcn` on, at logical
// cluster `lcn`, or zeros when sparse.
struct StreamRun {
  std::uint64_t vcn = 0;
  std::uint64_t length = 0;
  std::uint64_t lcn = 0;
  bool sparse = false;
};

// How AddPiece takes a run list with a fault: Strict fails
// (code::InvalidParameter), Lenient keeps the runs before the fault (a
// summary shows what can be read).
enum class RunListCheck { Strict, Lenient };
// Where a stream's pieces came from: the one attribute of a record, or every
// piece an attribute list names. Either way a gap or a short end means
// clusters are missing.
enum class Pieces { OneAttribute, FromList };
// Whether a value reads its sparse runs as zeros or ends at the first one
// (a value that is never sparse, as the $MFT).
enum class Holes { ReadAsZeros, EndValue };
// Whether the caller's buffer holds zeros already: holes are then left as
// they are, so that a large sparse value costs no memory.
enum class Zeroed { No, Yes };

// Reads whole clusters from `cluster` on: bytes from `skip` into the first
// cluster, `*count` of them, into `destination`, in calls of at most 1 MiB of
// whole clusters (a one-cluster bounce buffer takes partial ones). On return
// `*count` holds the bytes delivered; code::HandleEof when the disk ends
// first, code::InvalidParameter when the position does not fit 64 bits.
// With `loss` and the volume's `reads`, sectors that cannot be read are
// zeros, their ranges (from `destination`) added to `loss`; else they fail
// the read with the disk's code.
DWORD ReadVolumeClusters(const VolumeGeometry& volume, std::uint64_t cluster, std::uint32_t skip,
                         std::uint8_t* destination, std::uint32_t* count, ReadLoss* loss = nullptr);

class DataStream {
 public:
  // Largest disk read in one call, and largest chunk handed to a sink.
  static constexpr std::uint32_t MaxReadBytes = 1u << 20;
  // Largest value read whole into memory; larger ones are refused with
  // code::NotEnoughMemory and can be streamed.
  static constexpr std::uint64_t MaxWholeValue = 0xFFFFFFFFu;

  // Forgets every piece; the geometry serves the reads that follow.
  void Reset(const VolumeGeometry& volume);
  // Adds one piece: a non-resident attribute (`attribute` spans exactly it).
  // The piece whose first VCN is 0 gives the sizes and flags. A bad header
  // is code::InvalidParameter, and so is a bad run list when `check` is
  // Strict; a Lenient check keeps the runs before the fault.
  DWORD AddPiece(const ByteReader& attribute, RunListCheck check);
  // Orders the pieces and fixes what can be read. Pieces that came from an
  // attribute list may be missing, and any piece's runs may stop short of
  // its last VCN or of the size (a compressed value's may leave out the
  // sparse tail of its last unit, no more): what follows is not there to
  // read (Incomplete). `limit` bounds the size.
  void Finish(Pieces pieces, Holes holes = Holes::ReadAsZeros, std::uint64_t limit = UINT64_MAX);

  // Bytes that can be read: never more than the real size, the allocated
  // size, the runs' reach or the limit.
  std::uint64_t Size() const { return readable; }
  // The value's size as its attribute gives it (the real size, within the
  // limit), whatever can be read of it.
  std::uint64_t FullSize() const { return fullSize; }
  // Bytes of FullSize() past Size(): not there to read.
  bool Incomplete() const { return incomplete; }
  bool Encrypted() const { return (flags & EncryptedFlag) != 0; }
  // Every run in VCN order, pieces past a gap included: where the value's
  // clusters are, whether they can be read or not.
  const std::vector<StreamRun>& Runs() const { return runs; }
  // Clusters the value claims beyond its last run that can be read: the
  // part that missing pieces held.
  std::uint64_t MissingClusters() const { return missingClusters; }
  // VCNs that hold the bytes the value claims: whole compression units for
  // compressed data.
  std::uint64_t DataClusters() const;
  // True when no byte of the value lies on the disk: nothing was written
  // (an initialised size of 0) or every run that holds it is sparse.
  bool HoldsNoData() const;
  // True when any part of the value is not on the disk: a sparse run, bytes
  // past the initialised size, or bytes that are missing.
  bool HasHoles() const;

  // Bytes [offset, offset + count) of the value into `buffer`; the range
  // must lie inside Size(). code::FileCorrupt for compressed data that
  // cannot be decompressed, code::HandleEof when the disk ends first, or the
  // disk's code. With `loss` (and the geometry's `reads`), bytes on sectors
  // that cannot be read are zeros and their ranges, from `buffer`, go to
  // `loss`: a whole compression unit when any of its compressed bytes is lost.
  DWORD Read(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer, Zeroed zeroed = Zeroed::No,
             ReadLoss* loss = nullptr);

 private:
  static constexpr std::uint16_t EncryptedFlag = 0x4000;
  DWORD ReadPlain(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer, Zeroed zeroed, ReadLoss* loss);
  DWORD ReadCompressed(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer, Zeroed zeroed,
                       ReadLoss* loss);
  DWORD LoadUnit(std::uint64_t unit, bool salvage);
  // Index of the run holding `vcn` among those that can be read, or
  // readableRuns.
  std::size_t RunAt(std::uint64_t vcn) const;

  VolumeGeometry volume;
  std::vector<StreamRun> runs;
  std::size_t readableRuns = 0;  // the runs before the first gap
  bool sizesSeen = false;  // the VCN-0 piece was added
  std::uint64_t realSize = 0, allocatedSize = 0, initializedSize = 0;
  std::uint64_t firstPieceClusters = 0;  // VCN range of the first piece, for an allocated size of 0
  std::uint64_t declaredEnd = 0;  // one past the highest last VCN of any piece
  std::uint16_t flags = 0;
  std::uint32_t unitClusters = 0;  // 0: not compressed
  std::uint64_t readable = 0, claimed = 0, fullSize = 0, missingClusters = 0;
  bool incomplete = false;
  // The last compression unit decompressed, so that chunked reads do each once.
  ByteBuffer unitBytes, packedBytes;
  std::uint64_t loadedUnit = UINT64_MAX;
  bool loadedZeros = false;  // the unit loaded is all sparse
  ReadLoss unitLoss;  // the loaded unit's bytes that could not be read
};
