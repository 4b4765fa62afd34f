#include "ui/DiskSources.h"

#include <cstring>

#include "ntfs/NtfsLayout.h"
#include "scan/PartitionLayout.h"
#include "ui/WindowRules.h"
#include "util/ByteReader.h"

SharedImage::SharedImage(std::unique_ptr<DiskImage> image) : image(std::move(image)) {}

DWORD SharedImage::ReadAt(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered) {
  LockHolder hold(lock);
  const DWORD result = image->ReadAt(offset, destination, count, delivered);
  if (result != code::Success) {
    lastError = result;
    lastProblem = image->Problem();
  }
  return result;
}

std::uint32_t SharedImage::LogicalSectorSize() {
  LockHolder hold(lock);
  return image->LogicalSectorSize();
}

DWORD SharedImage::Size(std::uint64_t* bytes) {
  LockHolder hold(lock);
  return image->Size(bytes);
}

std::string SharedImage::ProblemFor(DWORD error) {
  LockHolder hold(lock);
  return error != code::Success && error == lastError ? lastProblem : std::string();
}

namespace {

// The first 512 bytes of the sector at `sector`; false when they cannot be read whole.
bool ReadBootSector(DiskReader& disk, std::uint64_t sector, std::uint32_t sectorBytes, std::uint8_t* boot) {
  if (sector > UINT64_MAX / sectorBytes) return false;
  std::uint32_t got = 0;
  return disk.ReadAt(sector * sectorBytes, boot, mbr::SectorSize, &got) == code::Success && got == mbr::SectorSize;
}

bool IsNtfsBootSector(const std::uint8_t* boot) { return std::memcmp(boot + mbr::BootOemName, "NTFS    ", 8) == 0; }

bool IsNtfsAt(DiskReader& disk, std::uint64_t sector, std::uint32_t sectorBytes) {
  std::uint8_t boot[mbr::SectorSize];
  return ReadBootSector(disk, sector, sectorBytes, boot) && IsNtfsBootSector(boot);
}

// Never matches: an image's partitions are not this computer's volumes.
class NoVolumes : public VolumeLookup {
 public:
  bool RootForSerial(std::uint32_t, std::u16string*) override { return false; }
};

// The walks as pelmora-cli lists a disk; `name` gives each partition's text
// from its 1-based place on the disk, its MBR type (0 on GPT) and the walk's text.
DWORD Walk(DiskReader& disk, const DiskSource& source, std::uint32_t sectorBytes, VolumeLookup& volumes,
           const std::function<std::u16string(std::uint32_t ordinal, std::uint8_t type, const DriveItem& item,
                                              const std::u16string& text)>& name,
           const DriveCallback& found) {
  std::uint32_t ordinal = 0;
  const std::uint32_t number = source.image == nullptr ? source.diskNumber : 0;
  auto add = [&](std::uint64_t start, std::uint64_t count, std::uint8_t type, const std::u16string& text) {
    FoundDrive drive;
    drive.item.source = source;
    drive.item.isPartition = true;
    drive.item.startSector = start;
    drive.item.sectorCount = count;
    drive.item.sectorSize = sectorBytes;
    drive.text = name(++ordinal, type, drive.item, text);
    found(drive);
  };
  bool isGpt = false;
  const DWORD result = WalkGpt(
      disk, number, volumes, &isGpt,
      [&](const GptPartition& p) { add(p.firstSector, p.sectorCount, mbr::TypeEmpty, p.text); }, sectorBytes);
  if (isGpt || result != code::Success) return result;
  return WalkDisk(
      disk, number, volumes,
      [&](const FoundPartition& p) { add(p.item.startSector, p.item.sectorCount, p.type, p.text); }, sectorBytes);
}

}  // namespace

DWORD WalkPartitions(DiskReader& disk, const DiskSource& source, std::uint32_t sectorBytes, VolumeLookup& volumes,
                     const DriveCallback& found) {
  return Walk(
      disk, source, sectorBytes, volumes,
      [](std::uint32_t, std::uint8_t, const DriveItem&, const std::u16string& text) { return text; }, found);
}

DWORD WalkPhysicalDisks(const DiskOpener& open, VolumeLookup& volumes, const DriveCallback& found) {
  DWORD first = code::Success;
  for (unsigned number = 0; number < 32; ++number) {
    std::unique_ptr<DiskReader> disk;
    const DWORD opened = open(number, &disk);
    if (opened != code::Success) return number == 0 ? opened : first;
    DiskSource source;
    source.diskNumber = number;
    const DWORD result = WalkPartitions(*disk, source, SectorSizeOf(*disk), volumes, found);
    if (first == code::Success) first = result;
  }
  return first;
}

DWORD WalkImage(DiskReader& image, const DiskSource& source, std::uint32_t imageNumber, const DriveCallback& found) {
  std::uint8_t boot[mbr::SectorSize];
  if (ReadBootSector(image, 0, mbr::SectorSize, boot) && IsNtfsBootSector(boot)) {
    // A volume's own boot code lies where a partition table would: no table is read.
    std::uint16_t bytesPerSector = 0;
    ByteReader(boot, sizeof boot).U16(ntfs::BootBytesPerSector, &bytesPerSector);
    FoundDrive volume;
    volume.item.source = source;
    volume.item.isPartition = true;
    volume.item.sectorSize = IsSectorSize(bytesPerSector) ? bytesPerSector : mbr::SectorSize;
    volume.text = ImagePartitionText(imageNumber, 1);
    found(volume);
    return code::Success;
  }
  NoVolumes volumes;
  return Walk(
      image, source, SectorSizeOf(image), volumes,
      [&](std::uint32_t ordinal, std::uint8_t type, const DriveItem& item, const std::u16string& text) {
        // A damaged boot sector keeps the name its table entry gives.
        const bool ntfs = type == mbr::TypeNtfs || IsNtfsAt(image, item.startSector, item.sectorSize);
        return ntfs ? ImagePartitionText(imageNumber, ordinal) : text;
      },
      found);
}
