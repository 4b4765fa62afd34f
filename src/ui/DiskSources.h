// The disks the drive tree offers and what its items carry: the physical
// disks by number and the disk images the window opened, each with its
// partitions. Portable, so that the walks are tested natively.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "disk/DiskImage.h"
#include "platform/Disk.h"
#include "platform/Lock.h"
#include "platform/Types.h"
#include "platform/Volumes.h"
#include "scan/PartitionWalk.h"

// A disk image the window holds open, shared by its tree items and the
// workers that read it (a scan, a recovery, a preview): one read at a time,
// as a container's caches want, and the words for the last failed read kept
// with its code, so that another thread can ask for them safely.
class SharedImage : public DiskReader {
 public:
  explicit SharedImage(std::unique_ptr<DiskImage> image);
  DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered) override;
  // The container's sector size (VHDX, EWF), else 0.
  std::uint32_t LogicalSectorSize() override;
  DWORD Size(std::uint64_t* bytes);
  // What the last failed read found wrong, when that read failed with
  // `error`; empty otherwise (another failure came later, or the system's).
  std::string ProblemFor(DWORD error);

 private:
  Lock lock;
  std::unique_ptr<DiskImage> image;
  DWORD lastError = code::Success;
  std::string lastProblem;
};

// Where a tree item's bytes are read: a physical disk by number, or an
// image the window holds open (it outlives every item and worker).
struct DiskSource {
  std::uint32_t diskNumber = ScannedPartition::NoDiskNumber;  // \\.\PhysicalDrive<n>, when `image` is null
  SharedImage* image = nullptr;
};

// The data of a drive-tree item: a disk (an image's own item), or one
// partition of it, which a scan can read.
class CFoundVolumes;

struct DriveItem {
  DiskSource source;
  bool isPartition = false;
  // A volume a deep scan found: read through `found` (which the window
  // keeps while it has the item), volume `foundIndex` of it.
  CFoundVolumes* found = nullptr;
  std::uint32_t foundIndex = 0;
  std::uint64_t startSector = 0;  // in sectors of sectorSize
  std::uint64_t sectorCount = 0;  // 0: not known
  std::uint32_t sectorSize = mbr::SectorSize;
};

struct FoundDrive {
  std::u16string text;
  DriveItem item;
};
using DriveCallback = std::function<void(const FoundDrive&)>;

// The partitions of one disk as pelmora-cli lists them, in sectors of
// `sectorBytes`: a GPT disk's entries, else the primary table and extended
// chain. Texts as the walks give them: a mounted volume's root, else
// UnmatchedText or the GPT entry's name. Returns the walk's failure (the
// partitions found before it stay).
DWORD WalkPartitions(DiskReader& disk, const DiskSource& source, std::uint32_t sectorBytes, VolumeLookup& volumes,
                     const DriveCallback& found);

// Physical disks 0 to 31 until the first that cannot be opened, each in its
// own sector size. A disk whose table cannot be read keeps the partitions
// found before the failure, and the disks after it are still walked. Returns
// disk 0's failure to open, else the first disk's walk failure, else 0.
DWORD WalkPhysicalDisks(const DiskOpener& open, VolumeLookup& volumes, const DriveCallback& found);

// An image's partitions for the tree, in the container's sector size or
// the one its layout shows (SectorSizeOf). NTFS partitions are named
// ImagePartitionText(imageNumber, n), never after a mounted volume: an
// image of this computer's own disk is not that disk. An image of one NTFS
// volume (a boot sector at its start, no partition table) gives one item
// for the whole image. Items carry `source`. Returns the walk's failure
// (what was found stays).
DWORD WalkImage(DiskReader& image, const DiskSource& source, std::uint32_t imageNumber, const DriveCallback& found);
