// Found volumes: the records a deep scan found, sorted into the volumes they
// belong to. Records group by the $MFT start they imply (their position less
// their number times their size); the groups an $MFT's record 0 (or its copy
// in $MFTMirr) maps are that volume's, and what no record 0 maps is what a
// volume no longer holds: the records a quick format left beyond its new
// $MFT, or the fragments of an $MFT whose record 0 is gone. Each volume's
// geometry comes from a boot sector that agrees with it, else from its
// record 0, else from where its folders' index runs land on the index
// blocks found. A found volume is then read through CNTFSDrive like any
// other, with its geometry given.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "ntfs/BootSector.h"
#include "ntfs/DataStream.h"
#include "ntfs/NTFSDrive.h"
#include "platform/Disk.h"
#include "platform/Types.h"
#include "scan/DeepScan.h"

enum class GeometryFrom { BootSector, BackupBootSector, Record0, Mirror, Inferred };

// "boot sector", "backup boot sector", "record 0", "mirror", "inferred".
const char* GeometryFromName(GeometryFrom from);

// A volume the partition table gives: the records its $MFT holds are its own,
// and its bitmap says which clusters are in use now.
struct KnownVolume {
  std::uint64_t offset = 0;  // bytes from the disk's start
  std::uint64_t bytes = 0;   // 0 when not known
};

struct FoundVolume {
  std::uint64_t offset = 0;      // bytes from the disk's start to its cluster 0
  std::uint64_t bytes = 0;       // its extent, the backup boot sector's sector included
  bool sizeKnown = false;        // `bytes` is a boot sector's count; else it reaches at least the farthest record found
  NtfsGeometry geometry;
  GeometryFrom from = GeometryFrom::Inferred;
  std::uint32_t records = 0;     // FILE records found that are its own
  std::uint64_t mftStart = 0;    // where its first $MFT fragment found puts record 0
  bool mappedByRecord0 = false;  // its record 0, or the copy in $MFTMirr, maps its $MFT; else `map` does
  std::vector<StreamRun> map;    // CMftReader::MapGiven: where its records lie
};

// What the sorting set apart, for the user to be told.
struct FoundVolumesReport {
  std::uint64_t recordsFound = 0;            // FILE and BAAD records
  std::uint64_t recordsOfKnownVolumes = 0;   // in the $MFT of a volume the partition table gives
  std::uint64_t recordsWithoutNumber = 0;    // NTFS 3.0 records, which cannot be placed
  std::uint64_t recordsWithoutGeometry = 0;  // in groups no geometry was found for
  std::uint32_t groupsWithoutGeometry = 0;
  std::uint64_t recordsOverlapping = 0;      // in fragments whose numbers a larger fragment of their volume has
  std::uint32_t volumesWithoutFiles = 0;     // found, but no record past the metadata's
  std::uint64_t unreadableBytes = 0;
  bool keptAll = true;                       // false: some $MFT-mapping records could not be kept
};

class CFoundVolumes {
 public:
  CFoundVolumes();
  ~CFoundVolumes();
  CFoundVolumes(const CFoundVolumes&) = delete;
  CFoundVolumes& operator=(const CFoundVolumes&) = delete;

  // Sorts `findings` (FindSignatures over `disk`, not owned, which must
  // outlive this object) into volumes, numbered in disk order: by offset,
  // then by $MFT start. Volumes the partition table gives (`known`, opened
  // here) are no found volumes unless they need a repair to open; the
  // records they hold are counted apart. Returns code::Success or
  // code::NotEnoughMemory.
  DWORD Build(DiskReader& disk, const DeepFindings& findings, const std::vector<KnownVolume>& known);

  std::size_t Count() const { return volumes.size(); }
  const FoundVolume& At(std::size_t index) const { return volumes[index]; }
  const FoundVolumesReport& Report() const { return report; }

  // Initialises `drive` on found volume `index`: attached to the disk, of
  // kind VolumeKind::Found, its clusters' use told by the volume that now
  // covers them (a known volume, or for records a volume no longer holds the
  // found volume whose record 0 maps that place), else by its own $Bitmap
  // when its record 0 maps it, else by none (Unknown). The drive reads
  // through this object: it must outlive the drive's use. Codes as
  // CNTFSDrive::Initialize.
  DWORD Open(std::size_t index, CNTFSDrive* drive);

 private:
  class Covering;
  struct Cover {
    std::uint64_t offset = 0, bytes = 0;
    std::uint32_t clusterSize = 0;
    std::uint64_t mftCluster = 0;
    bool repaired = false;  // it opens only with a repair
    CNTFSDrive* drive = nullptr;
  };

  DiskReader* disk = nullptr;
  std::vector<FoundVolume> volumes;
  FoundVolumesReport report;
  std::vector<std::unique_ptr<CNTFSDrive>> knownDrives;  // known volumes that open
  std::vector<Cover> knownCovers;
  std::vector<std::unique_ptr<CNTFSDrive>> foundDrives;  // record-0 volumes opened to tell their clusters' use
  std::vector<std::unique_ptr<Covering>> coverings;     // per found volume, made when it is opened
};

// The whole deep scan of `range`: FindSignatures, then Build. Returns what
// FindSignatures returns (code::Cancelled with the volumes of what was read
// before the stop), else Build's code.
DWORD DeepScan(DiskReader& disk, const DiskRange& range, const std::vector<KnownVolume>& known,
               const std::atomic<bool>& stopRequested, DeepScanSink& sink, CFoundVolumes* volumes,
               std::uint32_t chunkBytes = DeepScanChunkBytes);
