// Drive discovery: the partitions of the physical disks, from their
// partition tables, named by drive letter or file system.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Disk.h"
#include "platform/Types.h"
#include "platform/Volumes.h"
#include "scan/PartitionLayout.h"

// Carried by each partition item of the drive tree.
struct PartitionItem {
  std::uint16_t chsCylinder;  // entry byte 3
  std::uint16_t chsHead;      // entry byte 1
  std::uint16_t chsSector;    // entry byte 2
  std::uint32_t sectorCount;
  std::uint16_t kind;         // 1: data partition (the only kind given an item)
  std::uint32_t startSector;  // absolute, in the disk's logical sectors (sectorSize)
  std::uint32_t diskNumber;   // N of \\.\PhysicalDriveN
  std::uint32_t sectorSize;   // bytes of the disk's logical sector: 512 or 4096 (the unit
                              // of startSector and sectorCount; give it to SetPartitionStart)
};

// One partition found, in walk order.
struct FoundPartition {
  std::u16string text;  // drive root ("C:\"), file-system name, or the NTFS text below
  PartitionItem item;
  std::uint8_t type;    // the entry's partition type
};

using PartitionCallback = std::function<void(const FoundPartition&)>;
using DiskOpener = std::function<DWORD(unsigned number, std::unique_ptr<DiskReader>* disk)>;

// The text of a partition whose boot-sector serial matches no mounted volume.
// NTFS partitions get "Disk <d> NTFS <n>\" (n: the item's place on its disk,
// from 1), at most 19 characters, distinct per partition.
std::u16string UnmatchedText(std::uint8_t type, std::uint32_t diskNumber, std::uint32_t ordinal);

// The logical sector size of a disk that cannot say it (an image file): 4096
// when the disk is laid out in 4096-byte sectors (a GPT header at byte 4096
// and not at 512; or MBR partitions, or the first logical drive, whose first
// sector holds an NTFS boot sector only when their positions are read as
// 4096-byte sectors), else 512.
std::uint32_t DetectSectorSize(DiskReader& disk);
// The disk's own logical sector size when it says one (a device), else the
// detected one.
std::uint32_t SectorSizeOf(DiskReader& disk);

// Walks one disk's primary table and extended chain, calling `found` for
// every data partition. Positions are counted in sectors of `sectorBytes`
// (see IsSectorSize; else code::InvalidParameter). Returns code::Success,
// code::ReadFault for a short extended boot record, or the disk's code for a
// failed read (the items found so far stay).
DWORD WalkDisk(DiskReader& disk, std::uint32_t diskNumber, VolumeLookup& volumes,
               const PartitionCallback& found, std::uint32_t sectorBytes = mbr::SectorSize);

// Walks disks 0 to 31 until the first that cannot be opened. Disk 0 failing
// to open returns its code; a read failure on any disk ends the whole walk
// with its code. Each disk is walked in `sectorBytes` sectors, or, when 0,
// in its own (SectorSizeOf).
DWORD WalkAllDisks(const DiskOpener& open, VolumeLookup& volumes, const PartitionCallback& found,
                   std::uint32_t sectorBytes = 0);

// A GPT disk's partitions (protective 0xEE entry in the MBR, header at LBA 1),
// positions counted in sectors of `sectorBytes`. Returns code::Success with
// `isGpt` false when the disk has no protective entry; code::InvalidParameter
// for a header that cannot be, or a sector size IsSectorSize refuses.
struct GptPartition {
  std::u16string text;
  std::uint64_t firstSector;
  std::uint64_t sectorCount;
  std::string typeGuid;  // "EBD0A0A2-B9E5-4433-87C0-68B6B9B99AC7"
};
DWORD WalkGpt(DiskReader& disk, std::uint32_t diskNumber, VolumeLookup& volumes, bool* isGpt,
              const std::function<void(const GptPartition&)>& found, std::uint32_t sectorBytes = mbr::SectorSize);
