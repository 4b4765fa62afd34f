// Carving a volume's free space: the clusters its bitmap marks free and no
// listed file claims, read once, in order, in big reads. Those clusters are
// taken as one stream (in-use and claimed clusters left out), so a file
// that was written around other files that are still there reads whole.
// Files start at cluster boundaries: NTFS gives every non-resident stream
// whole clusters, so no sector inside a cluster is asked.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "carve/Carve.h"
#include "platform/Disk.h"
#include "platform/Types.h"

class CNTFSDrive;
class RowTable;

namespace carve {

struct ClusterRange {
  std::uint64_t first = 0;
  std::uint64_t count = 0;  // 0: none
};

// Which clusters are carved, asked in increasing order.
class FreeClusters {
 public:
  virtual ~FreeClusters() = default;
  // The first free range that starts at or after `from`, as long as it
  // runs; count 0 when none is left. Fails only for lack of memory.
  virtual DWORD Next(std::uint64_t from, ClusterRange* range) = 0;
};

// How many of the clusters [first, first + count) are in use; a non-zero
// code when the bitmap cannot tell.
using InUseCount = std::function<DWORD(std::uint64_t first, std::uint64_t count, std::uint64_t* inUse)>;

// Free clusters from a bitmap (asked through `inUse`, a block at a time)
// less the runs listed files still claim. Where the bitmap cannot tell (none
// given, or a piece that cannot be read), the clusters count as free: every
// one is read.
class BitmapFreeClusters : public FreeClusters {
 public:
  BitmapFreeClusters(InUseCount inUse, std::uint64_t clusterCount);
  // A run of a listed file: its clusters come back through its record.
  // False when memory is short.
  bool Claim(std::uint64_t first, std::uint64_t count);
  DWORD Next(std::uint64_t from, ClusterRange* range) override;
  // Clusters the bitmap could not tell about (read as free).
  std::uint64_t UnknownClusters() const { return unknown; }

 private:
  static constexpr std::uint64_t BlockClusters = std::uint64_t{1} << 16;
  DWORD LoadBlock(std::uint64_t block);
  void Mark(std::uint64_t first, std::uint64_t count);
  bool Used(std::uint64_t cluster) const;

  InUseCount inUse;
  std::uint64_t clusters;
  std::vector<ClusterRange> claims;  // sorted and merged at the first Next
  bool sorted = false;
  std::uint64_t block = UINT64_MAX;  // which block `used` holds
  std::vector<std::uint64_t> used;   // one bit per cluster of that block
  std::uint64_t unknown = 0;
};

// Where a volume's clusters lie.
struct VolumeSpan {
  DiskReader* disk = nullptr;  // not owned
  std::uint64_t offset = 0;    // bytes from the disk's start to cluster 0
  std::uint32_t clusterSize = 0;
  std::uint64_t clusterCount = 0;
};

// One piece of a carved file on the volume, in the file's order.
struct CarvedPiece {
  std::uint64_t cluster = 0;
  std::uint64_t bytes = 0;
};

struct CarvedFile {
  const FileType* type = nullptr;
  Carving carving;
  std::uint64_t firstCluster = 0;
  std::vector<CarvedPiece> pieces;  // their bytes add up to carving.length
};

class CarveObserver {
 public:
  virtual ~CarveObserver() = default;
  // A file was carved; false stops the carving.
  virtual bool Found(const CarvedFile& file) = 0;
  // The carving has reached cluster `cluster` of `total`; called after
  // every read. False stops.
  virtual bool Progress(std::uint64_t cluster, std::uint64_t total) {
    (void)cluster, (void)total;
    return true;
  }
};

struct CarveOptions {
  std::uint32_t families = UINT32_MAX;  // bit (1 << Family) for each type carved
  Limits limits;
  std::size_t readBytes = std::size_t{4} << 20;  // the big sequential read
};

struct CarveTotals {
  std::uint64_t clustersRead = 0;       // free clusters carved
  std::uint64_t unreadableClusters = 0; // free clusters the disk could not read
  std::uint64_t files = 0;
  std::uint64_t damaged = 0;
  bool stopped = false;                 // the observer stopped it
};

// Carves the free clusters of `volume` that `free` gives, telling
// `observer` of each file as it is found. A file embedded in another (an
// EXIF thumbnail, a ZIP's pictures) is part of it, never a file of its own.
// Returns code::Success when the free space was read to its end or the
// observer stopped; code::NotEnoughMemory; code::InvalidParameter for a
// volume without a disk or cluster size. Unreadable clusters are counted
// and passed over.
DWORD CarveFreeSpace(const VolumeSpan& volume, FreeClusters& free, const CarveOptions& options,
                     CarveObserver& observer, CarveTotals* totals);

// The free clusters of an initialised drive less the runs of the files
// `rows` lists (the scan's rows: they come back through their records),
// among its first `clusterCount` clusters. Returns code::NotEnoughMemory or
// code::Success.
DWORD FreeClustersOf(CNTFSDrive& drive, const RowTable& rows, std::uint64_t clusterCount,
                     std::unique_ptr<BitmapFreeClusters>* free);

// Delivers a carved file's bytes to `sink` in pieces of at most 1 MiB;
// the sink's code, a disk's code, or code::HandleEof when the disk ends
// first.
using CarvedSink = std::function<DWORD(const std::uint8_t* bytes, std::uint32_t count)>;
DWORD ReadCarved(const VolumeSpan& volume, const CarvedFile& file, const CarvedSink& sink);

}  // namespace carve
