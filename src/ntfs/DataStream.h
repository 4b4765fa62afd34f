// A non-resident value read through its runs: from one attribute, or from
// every piece that an attribute list names. Sparse runs, compression units
// and the initialised size are applied on every read, so callers see the
// bytes as Windows shows them.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/Disk.h"
#include "platform/Types.h"
#include "util/ByteBuffer.h"
#include "util/ByteReader.h"

// Receives a value's content in order, in bounded chunks. A non-zero code
// ends the read and is passed up unchanged.
class ContentSink {
 public:
  virtual ~ContentSink() = default;
  virtual DWORD Write(const std::uint8_t* bytes, std::uint32_t count) = 0;
};

// Where a volume's clusters lie on its disk.
struct VolumeGeometry {
  DiskReader* disk = nullptr;  // not owned
  std::uint32_t clusterSize = 0;
  std::uint64_t partitionOffset = 0;  // bytes
};

// `length` clusters of the value from virtual cluster `vcn` on, at logical
// cluster `lcn`, or zeros when sparse.
struct StreamRun {
  std::uint64_t vcn = 0;
  std::uint64_t length = 0;
  std::uint64_t lcn = 0;
  bool sparse = false;
};

// Reads whole clusters from `cluster` on: bytes from `skip` into the first
// cluster, `*count` of them, into `destination`, in calls of at most 1 MiB of
// whole clusters (a one-cluster bounce buffer takes partial ones). On return
// `*count` holds the bytes delivered; 38 when the disk ends first, 87 when
// the position does not fit 64 bits.
DWORD ReadVolumeClusters(const VolumeGeometry& volume, std::uint64_t cluster, std::uint32_t skip,
                         std::uint8_t* destination, std::uint32_t* count);

class DataStream {
 public:
  // Largest disk read in one call, and largest chunk handed to a sink.
  static constexpr std::uint32_t MaxReadBytes = 1u << 20;

  // Forgets every piece; the geometry serves the reads that follow.
  void Reset(const VolumeGeometry& volume);
  // Adds one piece: a non-resident attribute (`attribute` spans exactly it).
  // The piece whose first VCN is 0 gives the sizes and flags. A bad header
  // is 87; a bad run list is 87 when `strict`, else only the runs before the
  // fault count.
  DWORD AddPiece(const ByteReader& attribute, bool strict);
  // Orders the pieces and fixes what can be read. `fromList`: the pieces
  // came through an attribute list, so a gap or a short end means pieces are
  // missing (Incomplete). `endsAtHole`: the value ends at its first sparse
  // run (the $MFT is never sparse). `limit` bounds the size.
  void Finish(bool fromList, bool endsAtHole = false, std::uint64_t limit = UINT64_MAX);

  // Bytes that can be read: never more than the real size, the allocated
  // size, the runs' reach or the limit.
  std::uint64_t Size() const { return readable; }
  // Bytes the value claims: Size() plus what missing pieces would hold.
  std::uint64_t ClaimedSize() const { return claimed; }
  bool Incomplete() const { return incomplete; }
  bool Encrypted() const { return (flags & EncryptedFlag) != 0; }
  bool Compressed() const { return unitClusters != 0; }
  // Every run in VCN order, pieces past a gap included: where the value's
  // clusters are, whether they can be read or not.
  const std::vector<StreamRun>& Runs() const { return runs; }
  // Clusters the value claims beyond its last run that can be read: the
  // part that missing pieces held.
  std::uint64_t MissingClusters() const { return missingClusters; }
  // VCNs that hold the bytes the value claims: whole compression units for
  // compressed data.
  std::uint64_t DataClusters() const;

  // Bytes [offset, offset + count) of the value into `buffer`; the range
  // must lie inside Size(). When `zeroed`, the buffer holds zeros already
  // and holes are left as they are, so that a large sparse value costs no
  // memory. 1392 for compressed data that cannot be decompressed, 38 when
  // the disk ends first, or the disk's code.
  DWORD Read(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer, bool zeroed = false);
  // Delivers [0, Size()) to `sink` in chunks of at most MaxReadBytes.
  DWORD Stream(ContentSink* sink);

 private:
  static constexpr std::uint16_t EncryptedFlag = 0x4000;
  DWORD ReadPlain(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer, bool zeroed);
  DWORD ReadCompressed(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer, bool zeroed);
  DWORD LoadUnit(std::uint64_t unit);
  // Index of the run holding `vcn` among those that can be read, or
  // readableRuns.
  std::size_t RunAt(std::uint64_t vcn) const;

  VolumeGeometry volume;
  std::vector<StreamRun> runs;
  std::size_t readableRuns = 0;  // the runs before the first gap
  bool sizesSeen = false;  // the VCN-0 piece was added
  std::uint64_t realSize = 0, allocatedSize = 0, initializedSize = 0;
  std::uint64_t firstPieceClusters = 0;  // VCN range of the first piece, for an allocated size of 0
  std::uint16_t flags = 0;
  std::uint32_t unitClusters = 0;  // 0: not compressed
  std::uint64_t readable = 0, claimed = 0, missingClusters = 0;
  bool incomplete = false;
  // The last compression unit decompressed, so that chunked reads do each once.
  ByteBuffer unitBytes, packedBytes;
  std::uint64_t loadedUnit = UINT64_MAX;
  bool loadedZeros = false;  // the unit loaded is all sparse
};
