// Can a deleted file still be saved? Its clusters are overwritten when the
// volume's cluster bitmap marks them in use again (another file took them),
// or when a deleted file whose record changed later claims them too (it was
// written over this one before it was deleted in turn).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "ntfs/DataStream.h"
#include "platform/Types.h"
#include "scan/RowTable.h"

// How many of the clusters [first, first + count) are in use now; a non-zero
// code when the bitmap cannot tell.
using ClustersInUse = std::function<DWORD(std::uint64_t first, std::uint64_t count, std::uint64_t* inUse)>;

class ClusterClaims {
 public:
  // Records of overwriting files remembered per file, at most.
  static constexpr std::size_t MaxOverwriters = 16;

  // Adds the deleted file of table row `row`: its record, when the record
  // last changed (its $LogFile sequence number, then its MFT change time),
  // its runs (sparse ones hold nothing and are passed over) of which only
  // VCNs below `dataClusters` hold data, and the clusters of pieces that are
  // missing (they count as overwritten). False when memory is short.
  bool Add(std::uint32_t row, std::uint32_t record, std::uint64_t logSequenceNumber, std::uint64_t changeTime,
           const std::vector<StreamRun>& runs, std::uint64_t dataClusters, std::uint64_t missingClusters);

  // Works out the state of every file added and stores it in `table`.
  // Clusters at or past `clusterCount` (when not 0) lie outside the volume:
  // overwritten, never read. Returns code::NotEnoughMemory when memory is
  // short.
  DWORD Resolve(const ClustersInUse& inUse, std::uint64_t clusterCount, RowTable& table);

  // Room for about this many files, so that the lists grow once.
  void Reserve(std::size_t files);

 private:
  struct File {
    std::uint32_t row, record;
    std::uint64_t logSequenceNumber, changeTime;
    std::uint64_t clusters;     // its data clusters, missing ones included
    std::uint64_t overwritten;  // of those
    bool unknown;
    std::uint8_t overwriters;   // how many (file, record) pairs `by` holds for it
  };
  struct Extent {
    std::uint64_t start, length;
    std::uint32_t file;
  };
  bool Newer(std::uint32_t a, std::uint32_t b) const;
  void Overwrites(std::uint32_t newer, std::uint32_t older);

  BulkVector<File> files;
  BulkVector<Extent> extents;
  std::vector<Extent> own;  // one file's runs while it is added
  std::vector<std::pair<std::uint32_t, std::uint32_t>> by;  // (older file, record of a newer one)
};

// The state of a file of `clusters` clusters of which `overwritten` are.
FileState StateOf(std::uint64_t clusters, std::uint64_t overwritten, bool unknown);
