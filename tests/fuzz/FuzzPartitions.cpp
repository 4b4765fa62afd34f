// libFuzzer target: the input is a sparse disk, a list of 516-byte records
// (a 32-bit sector number, then the sector's 512 bytes); sectors not listed
// read as zeros and the disk ends after the highest one. The sector size
// detection, the MBR walk with its extended chain (loops included) in 512-
// and 4096-byte sectors, all disks, and the GPT walk in both run over it.
// Checks that every walk ends, and the shape of what it finds.
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/Disk.h"
#include "scan/PartitionWalk.h"

namespace {

constexpr std::size_t Sector = 512;

class SparseDisk : public DiskReader {
 public:
  SparseDisk(const std::uint8_t* data, std::size_t size) {
    for (std::size_t at = 0; at + 4 < size; at += 4 + Sector) {
      std::uint32_t number = 0;
      std::memcpy(&number, data + at, 4);
      std::vector<std::uint8_t>& sector = sectors[number];
      sector.assign(Sector, 0);
      std::memcpy(sector.data(), data + at + 4, std::min(Sector, size - at - 4));
    }
    end = sectors.empty() ? 0 : (sectors.rbegin()->first + 1) * std::uint64_t{Sector};
  }

  DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count,
               std::uint32_t* delivered) override {
    ++reads;
    *delivered = 0;
    if (offset >= end) return code::Success;
    const std::uint32_t available = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, end - offset));
    auto* out = static_cast<std::uint8_t*>(destination);
    for (std::uint32_t done = 0; done < available;) {
      const std::uint64_t position = offset + done;
      const std::uint32_t within = static_cast<std::uint32_t>(position % Sector);
      const std::uint32_t piece = std::min<std::uint32_t>(available - done, Sector - within);
      auto found = sectors.find(static_cast<std::uint32_t>(position / Sector));
      if (found == sectors.end()) {
        std::memset(out + done, 0, piece);
      } else {
        std::memcpy(out + done, found->second.data() + within, piece);
      }
      done += piece;
    }
    *delivered = available;
    return code::Success;
  }

  std::size_t reads = 0;

 private:
  std::map<std::uint32_t, std::vector<std::uint8_t>> sectors;
  std::uint64_t end = 0;
};

// Volumes whose serial ends in binary 01 are "mounted".
class SomeVolumes : public VolumeLookup {
 public:
  bool RootForSerial(std::uint32_t serial, std::u16string* root) override {
    if ((serial & 3) != 1) return false;
    *root = u"C:\\";
    return true;
  }
};

void CheckFound(const FoundPartition& partition, std::uint32_t sectorBytes) {
  FUZZ_CHECK(!partition.text.empty() && partition.text.size() <= 19);
  FUZZ_CHECK(partition.item.kind == 1);
  FUZZ_CHECK(partition.item.sectorSize == sectorBytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  SparseDisk disk(data, size);
  SomeVolumes volumes;
  const std::uint32_t detected = DetectSectorSize(disk);
  FUZZ_CHECK(detected == 512 || detected == 4096);
  FUZZ_CHECK(disk.reads <= 1 + 2 + 2 * 4 * 3);
  std::size_t found = 0;
  for (const std::uint32_t sectorBytes : {512u, 4096u}) {
    disk.reads = 0;
    std::size_t walked = 0;
    WalkDisk(
        disk, 0, volumes,
        [&](const FoundPartition& partition) {
          CheckFound(partition, sectorBytes);
          ++walked;
        },
        sectorBytes);
    // Four primary entries and at most 50 extended boot records of 4 each.
    FUZZ_CHECK(walked <= 4 + 50 * 4);
    FUZZ_CHECK(disk.reads <= 2 * (4 + 51 * 5));
    if (sectorBytes == detected) found = walked;
  }

  // Two disks with the same bytes, each in its detected sector size; the
  // third cannot be opened.
  std::size_t foundAll = 0;
  WalkAllDisks(
      [&](unsigned number, std::unique_ptr<DiskReader>* opened) -> DWORD {
        if (number >= 2) return code::FileNotFound;
        opened->reset(new SparseDisk(data, size));
        return code::Success;
      },
      volumes, [&](const FoundPartition& partition) {
        CheckFound(partition, detected);
        ++foundAll;
      });
  FUZZ_CHECK(foundAll == 2 * found || foundAll <= found);

  for (const std::uint32_t sectorBytes : {512u, 4096u}) {
    bool isGpt = false;
    WalkGpt(
        disk, 0, volumes, &isGpt, [&](const GptPartition& partition) { FUZZ_CHECK(!partition.text.empty()); },
        sectorBytes);
  }
  return 0;
}
