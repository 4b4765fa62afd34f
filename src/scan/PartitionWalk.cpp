#include "scan/PartitionWalk.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "util/ByteReader.h"
#include "scan/PartitionLayout.h"

namespace {

struct Entry {
  std::uint8_t head, sector, cylinder, type;
  std::uint32_t firstSector, sectorCount;
};

Entry ReadEntry(const std::uint8_t* record, std::uint32_t index) {
  const ByteReader bytes(record + mbr::TableOffset + index * mbr::EntrySize, mbr::EntrySize);
  Entry entry{};
  bytes.U8(mbr::EntryChsHead, &entry.head);
  bytes.U8(mbr::EntryChsSector, &entry.sector);
  bytes.U8(mbr::EntryChsCylinder, &entry.cylinder);
  bytes.U8(mbr::EntryType, &entry.type);
  bytes.U32(mbr::EntryFirstSector, &entry.firstSector);
  bytes.U32(mbr::EntrySectorCount, &entry.sectorCount);
  return entry;
}

bool IsExtended(std::uint8_t type) { return type == mbr::TypeExtended || type == mbr::TypeExtendedLba; }

// Reads the 512 bytes of a boot record at `sector` (of `sectorBytes`); a
// short read is code::ReadFault.
DWORD ReadBootRecord(DiskReader& disk, std::uint64_t sector, std::uint32_t sectorBytes, std::uint8_t* record) {
  if (sector > UINT64_MAX / sectorBytes) return code::ReadFault;
  std::uint32_t got = 0;
  DWORD result = disk.ReadAt(sector * sectorBytes, record, mbr::SectorSize, &got);
  if (result != code::Success) return result;
  return got < mbr::SectorSize ? code::ReadFault : code::Success;
}

bool HasSignature(const std::uint8_t* record) {
  return record[mbr::Signature] == 0x55 && record[mbr::Signature + 1] == 0xAA;
}

// True when the sector at `sector` (of `sectorBytes`) is an NTFS boot sector.
bool IsNtfsBootSector(DiskReader& disk, std::uint64_t sector, std::uint32_t sectorBytes) {
  std::uint8_t boot[mbr::SectorSize];
  return ReadBootRecord(disk, sector, sectorBytes, boot) == code::Success &&
         std::memcmp(boot + mbr::BootOemName, "NTFS    ", 8) == 0;
}

bool HasGptHeader(DiskReader& disk, std::uint32_t sectorBytes) {
  std::uint8_t header[mbr::SectorSize];
  return ReadBootRecord(disk, gpt::HeaderLba, sectorBytes, header) == code::Success &&
         std::memcmp(header + gpt::HeaderSignature, "EFI PART", 8) == 0;
}

// True when, read in sectors of `sectorBytes`, the extended partition at
// `base` starts with a boot record whose first logical drive is NTFS.
bool HasNtfsLogicalDrive(DiskReader& disk, std::uint32_t base, std::uint32_t sectorBytes) {
  std::uint8_t record[mbr::SectorSize];
  if (ReadBootRecord(disk, base, sectorBytes, record) != code::Success || !HasSignature(record)) return false;
  const Entry first = ReadEntry(record, 0);
  return first.type != mbr::TypeEmpty && !IsExtended(first.type) && first.firstSector != 0 &&
         IsNtfsBootSector(disk, std::uint64_t{base} + first.firstSector, sectorBytes);
}

// The text for a partition: a mounted volume whose serial matches the low
// half of the serial in the partition's boot sector, else the type's name.
DWORD PartitionText(DiskReader& disk, std::uint64_t start, std::uint32_t sectorBytes, std::uint8_t type,
                    std::uint32_t diskNumber, std::uint32_t ordinal, VolumeLookup& volumes, std::u16string* text) {
  *text = UnmatchedText(type, diskNumber, ordinal);
  std::uint8_t boot[mbr::SectorSize] = {};
  std::uint32_t got = 0;
  DWORD result = disk.ReadAt(start * sectorBytes, boot, sizeof boot, &got);
  if (result != code::Success) return result;
  std::uint32_t serial = 0;
  // A boot sector past the disk's end has no serial to match.
  if (got == sizeof boot && ByteReader(boot, sizeof boot).U32(mbr::BootSerialLow, &serial)) {
    std::u16string root;
    if (volumes.RootForSerial(serial, &root)) *text = root;
  }
  return code::Success;
}

class DiskWalk {
 public:
  DiskWalk(DiskReader& disk, std::uint32_t diskNumber, VolumeLookup& volumes, const PartitionCallback& found,
           std::uint32_t sectorBytes)
      : disk(disk), diskNumber(diskNumber), volumes(volumes), found(found), sectorBytes(sectorBytes) {}

  DWORD Run() {
    std::uint8_t record[mbr::SectorSize];
    DWORD result = ReadBootRecord(disk, 0, sectorBytes, record);
    if (result != code::Success) return result;
    for (std::uint32_t i = 0; i < mbr::EntryCount; ++i) {
      const Entry entry = ReadEntry(record, i);
      if (IsExtended(entry.type)) return WalkChain(entry.firstSector);
      if (entry.type == mbr::TypeEmpty) break;
      result = Add(entry, entry.firstSector);
      if (result != code::Success) return result;
    }
    return code::Success;
  }

 private:
  DWORD WalkChain(std::uint32_t extendedBase) {
    std::uint64_t extendedOffset = 0;
    std::uint8_t record[mbr::SectorSize];
    for (std::uint32_t n = 0; n < mbr::MaxExtendedRecords; ++n) {
      DWORD result = ReadBootRecord(disk, std::uint64_t{extendedBase} + extendedOffset, sectorBytes, record);
      if (result != code::Success) return result;
      bool next = false;
      for (std::uint32_t i = 0; i < mbr::EntryCount && !next; ++i) {
        const Entry entry = ReadEntry(record, i);
        if (entry.type == mbr::TypeEmpty) return code::Success;
        if (IsExtended(entry.type)) {
          extendedOffset = entry.firstSector;
          next = true;
          continue;
        }
        result = Add(entry, std::uint64_t{entry.firstSector} + extendedOffset + extendedBase);
        if (result != code::Success) return result;
      }
      if (!next) return code::Success;  // four data entries end the chain
    }
    return code::Success;
  }

  DWORD Add(const Entry& entry, std::uint64_t start) {
    // A start that wraps past 32 bits cannot be addressed by a boot record.
    if (start > UINT32_MAX) return code::Success;
    ++ordinal;
    FoundPartition partition{};
    DWORD result = PartitionText(disk, start, sectorBytes, entry.type, diskNumber, ordinal, volumes, &partition.text);
    if (result != code::Success) return result;
    partition.item.chsCylinder = entry.cylinder;
    partition.item.chsHead = entry.head;
    partition.item.chsSector = entry.sector;
    partition.item.sectorCount = entry.sectorCount;
    partition.item.kind = 1;
    partition.item.startSector = static_cast<std::uint32_t>(start);
    partition.item.diskNumber = diskNumber;
    partition.item.sectorSize = sectorBytes;
    partition.type = entry.type;
    found(partition);
    return code::Success;
  }

  DiskReader& disk;
  std::uint32_t diskNumber;
  VolumeLookup& volumes;
  const PartitionCallback& found;
  std::uint32_t sectorBytes;
  std::uint32_t ordinal = 0;
};

std::string GuidText(const std::uint8_t* g) {
  char text[40];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3],
                g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return text;
}

}  // namespace

std::u16string UnmatchedText(std::uint8_t type, std::uint32_t diskNumber, std::uint32_t ordinal) {
  switch (type) {
    case mbr::TypeFat12: return u"FAT12";
    case mbr::TypeFat16Small:
    case mbr::TypeFat16:
    case mbr::TypeFat16Lba: return u"FAT16";
    case mbr::TypeFat32:
    case mbr::TypeFat32Lba: return u"FAT32";
    case mbr::TypeNtfs: {
      char text[32];
      std::snprintf(text, sizeof text, "Disk %u NTFS %u\\", static_cast<unsigned>(diskNumber % 100),
                    static_cast<unsigned>(ordinal % 1000));
      return std::u16string(text, text + std::strlen(text));
    }
    default: return u"Unknown";
  }
}

std::uint32_t DetectSectorSize(DiskReader& disk) {
  std::uint8_t record[mbr::SectorSize];
  if (ReadBootRecord(disk, 0, mbr::SectorSize, record) != code::Success) return mbr::SectorSize;
  bool protective = false;
  for (std::uint32_t i = 0; i < mbr::EntryCount; ++i) protective |= ReadEntry(record, i).type == mbr::TypeGptProtective;
  if (protective) {
    return !HasGptHeader(disk, mbr::SectorSize) && HasGptHeader(disk, mbr::LargeSectorSize) ? mbr::LargeSectorSize
                                                                                           : mbr::SectorSize;
  }
  // Any partition that reads as NTFS in 512-byte sectors keeps the usual size.
  bool small = false, large = false;
  for (std::uint32_t i = 0; i < mbr::EntryCount; ++i) {
    const Entry entry = ReadEntry(record, i);
    if (entry.type == mbr::TypeEmpty || entry.firstSector == 0) continue;
    if (IsExtended(entry.type)) {
      small |= HasNtfsLogicalDrive(disk, entry.firstSector, mbr::SectorSize);
      large |= HasNtfsLogicalDrive(disk, entry.firstSector, mbr::LargeSectorSize);
    } else {
      small |= IsNtfsBootSector(disk, entry.firstSector, mbr::SectorSize);
      large |= IsNtfsBootSector(disk, entry.firstSector, mbr::LargeSectorSize);
    }
  }
  return large && !small ? mbr::LargeSectorSize : mbr::SectorSize;
}

std::uint32_t SectorSizeOf(DiskReader& disk) {
  const std::uint32_t own = disk.LogicalSectorSize();
  return IsSectorSize(own) ? own : DetectSectorSize(disk);
}

DWORD WalkDisk(DiskReader& disk, std::uint32_t diskNumber, VolumeLookup& volumes, const PartitionCallback& found,
               std::uint32_t sectorBytes) {
  if (!IsSectorSize(sectorBytes)) return code::InvalidParameter;
  return DiskWalk(disk, diskNumber, volumes, found, sectorBytes).Run();
}

DWORD WalkAllDisks(const DiskOpener& open, VolumeLookup& volumes, const PartitionCallback& found,
                   std::uint32_t sectorBytes) {
  for (unsigned number = 0; number < 32; ++number) {
    std::unique_ptr<DiskReader> disk;
    DWORD result = open(number, &disk);
    if (result != code::Success) return number == 0 ? result : code::Success;
    result = WalkDisk(*disk, number, volumes, found, sectorBytes != 0 ? sectorBytes : SectorSizeOf(*disk));
    if (result != code::Success) return result;
  }
  return code::Success;
}

DWORD WalkGpt(DiskReader& disk, std::uint32_t diskNumber, VolumeLookup& volumes, bool* isGpt,
              const std::function<void(const GptPartition&)>& found, std::uint32_t sectorBytes) {
  *isGpt = false;
  if (!IsSectorSize(sectorBytes)) return code::InvalidParameter;
  std::uint8_t record[mbr::SectorSize];
  DWORD result = ReadBootRecord(disk, 0, sectorBytes, record);
  if (result != code::Success) return result;
  bool protective = false;
  for (std::uint32_t i = 0; i < mbr::EntryCount; ++i) protective |= ReadEntry(record, i).type == mbr::TypeGptProtective;
  if (!protective) return code::Success;

  std::uint8_t header[mbr::SectorSize];
  result = ReadBootRecord(disk, gpt::HeaderLba, sectorBytes, header);
  if (result != code::Success) return result;
  const ByteReader head(header, sizeof header);
  std::uint64_t entriesLba = 0;
  std::uint32_t entryCount = 0, entrySize = 0;
  head.U64(gpt::HeaderEntriesLba, &entriesLba);
  head.U32(gpt::HeaderEntryCount, &entryCount);
  head.U32(gpt::HeaderEntrySize, &entrySize);
  if (std::memcmp(header + gpt::HeaderSignature, "EFI PART", 8) != 0 || entrySize < gpt::MinEntrySize ||
      entrySize > sectorBytes || sectorBytes % entrySize != 0 || entryCount > gpt::MaxEntries ||
      entriesLba > (UINT64_MAX / sectorBytes) - 64) {
    return code::InvalidParameter;
  }
  *isGpt = true;
  const std::uint32_t perSector = sectorBytes / entrySize;
  std::unique_ptr<std::uint8_t[]> sector(new (std::nothrow) std::uint8_t[sectorBytes]);
  if (!sector) return code::NotEnoughMemory;
  std::uint32_t ordinal = 0;
  for (std::uint32_t i = 0; i < entryCount; ++i) {
    if (i % perSector == 0) {
      std::uint32_t got = 0;
      result = disk.ReadAt((entriesLba + i / perSector) * sectorBytes, sector.get(), sectorBytes, &got);
      if (result != code::Success) return result;
      if (got < sectorBytes) return code::ReadFault;
    }
    const std::uint8_t* raw = sector.get() + (i % perSector) * entrySize;
    static const std::uint8_t unused[16] = {};
    if (std::memcmp(raw + gpt::EntryTypeGuid, unused, 16) == 0) continue;
    const ByteReader entry(raw, entrySize);
    GptPartition partition;
    std::uint64_t last = 0;
    entry.U64(gpt::EntryFirstLba, &partition.firstSector);
    entry.U64(gpt::EntryLastLba, &last);
    partition.sectorCount = last >= partition.firstSector ? last - partition.firstSector + 1 : 0;
    partition.typeGuid = GuidText(raw + gpt::EntryTypeGuid);
    ++ordinal;
    // NTFS is told by its boot sector: the type GUID says only "basic data".
    std::uint8_t boot[mbr::SectorSize] = {};
    std::uint32_t got = 0;
    std::uint8_t type = 0;
    if (partition.firstSector < UINT64_MAX / sectorBytes &&
        disk.ReadAt(partition.firstSector * sectorBytes, boot, sizeof boot, &got) == code::Success &&
        got == sizeof boot && std::memcmp(boot + mbr::BootOemName, "NTFS", 4) == 0) {
      type = mbr::TypeNtfs;
    }
    for (std::uint32_t u = 0; u < gpt::EntryNameUnits; ++u) {
      std::uint16_t unit = 0;
      if (!entry.U16(gpt::EntryName + 2 * u, &unit) || unit == 0) break;
      partition.text += static_cast<char16_t>(unit);
    }
    std::uint32_t serial = 0;
    std::u16string root;
    if (type == mbr::TypeNtfs) {
      partition.text = UnmatchedText(type, diskNumber, ordinal);
      if (ByteReader(boot, sizeof boot).U32(mbr::BootSerialLow, &serial) && volumes.RootForSerial(serial, &root)) {
        partition.text = root;
      }
    } else if (partition.text.empty()) {
      partition.text = u"Unknown";
    }
    found(partition);
  }
  return code::Success;
}
