#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <thread>
#include <tuple>

#include "scan/PartitionLayout.h"
#include "support/MemoryDisk.h"
#include "support/RecordBuilder.h"
#include "ui/DiskSources.h"

namespace {

// An image in memory: the bytes of a MemoryDisk, the sector size a
// container would say, and reads that fail from `failFrom` on, in words
// or (none given) as the system's failure.
class MemoryImage : public DiskImage {
 public:
  ImageFormat Format() const override { return ImageFormat::Vhdx; }
  DWORD Size(std::uint64_t* bytes) override {
    *bytes = disk.Bytes().size();
    return code::Success;
  }
  std::uint32_t LogicalSectorSize() override { return says; }
  DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered) override {
    // Reads that overlap would mean the caller let two threads in at once.
    if (inside.fetch_add(1) != 0) overlaps = true;
    DWORD result = code::Success;
    if (offset + count > failFrom) {
      *delivered = 0;
      result = Fail(failCode, failWords);  // no words: the system's failure
    } else {
      result = disk.ReadAt(offset, destination, count, delivered);
    }
    inside.fetch_sub(1);
    return result;
  }

  MemoryDisk disk;
  std::uint32_t says = 0;
  std::uint64_t failFrom = UINT64_MAX;
  DWORD failCode = code::DiskCorrupt;
  std::string failWords;
  std::atomic<int> inside{0};
  std::atomic<bool> overlaps{false};
};

struct EntrySpec {
  std::uint8_t type;
  std::uint32_t first;
  std::uint32_t count = 1000;
};

Bytes BootRecord(const std::vector<EntrySpec>& entries) {
  Bytes record(512, 0);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t at = mbr::TableOffset + i * mbr::EntrySize;
    record[at + mbr::EntryType] = entries[i].type;
    PutLE(record, at + mbr::EntryFirstSector, entries[i].first, 4);
    PutLE(record, at + mbr::EntrySectorCount, entries[i].count, 4);
  }
  record[mbr::Signature] = 0x55;
  record[mbr::Signature + 1] = 0xAA;
  return record;
}

// An NTFS boot sector with its serial and sector size; its boot code fills
// the bytes where a partition table would be.
Bytes NtfsBoot(std::uint32_t serial, std::uint16_t bytesPerSector = 512) {
  Bytes boot(512, 0);
  std::memcpy(boot.data() + mbr::BootOemName, "NTFS    ", 8);
  PutLE(boot, 0x0B, bytesPerSector, 2);
  PutLE(boot, mbr::BootSerialLow, serial, 4);
  for (std::size_t at = mbr::TableOffset; at < mbr::Signature; ++at) {
    boot[at] = static_cast<std::uint8_t>(0x41 + at % 26);
  }
  boot[mbr::Signature] = 0x55;
  boot[mbr::Signature + 1] = 0xAA;
  return boot;
}

// A GPT disk in sectors of `sector`: a protective MBR, the header at LBA 1,
// 128 entries from LBA 2; each entry (first, last, name).
void WriteGpt(MemoryDisk& disk, std::uint32_t sector,
              const std::vector<std::tuple<std::uint64_t, std::uint64_t, std::u16string>>& entries) {
  disk.Write(0, BootRecord({{mbr::TypeGptProtective, 1, 0xFFFFFFFF}}));
  Bytes header(512, 0);
  std::memcpy(header.data(), "EFI PART", 8);
  PutLE(header, gpt::HeaderEntriesLba, 2, 8);
  PutLE(header, gpt::HeaderEntryCount, 128, 4);
  PutLE(header, gpt::HeaderEntrySize, 128, 4);
  disk.Write(sector, header);
  Bytes table(128 * 128, 0);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t at = i * 128;
    table[at] = 0xA2;  // any type: only an all-zero one is unused
    PutLE(table, at + gpt::EntryFirstLba, std::get<0>(entries[i]), 8);
    PutLE(table, at + gpt::EntryLastLba, std::get<1>(entries[i]), 8);
    const std::u16string& name = std::get<2>(entries[i]);
    for (std::size_t c = 0; c < name.size(); ++c) PutLE(table, at + gpt::EntryName + 2 * c, name[c], 2);
  }
  disk.Write(2ull * sector, table);
}

struct Shown {
  std::u16string text;
  std::uint64_t start;
  std::uint32_t sectorSize;
};

bool operator==(const Shown& a, const Shown& b) {
  return a.text == b.text && a.start == b.start && a.sectorSize == b.sectorSize;
}

std::ostream& operator<<(std::ostream& out, const Shown& shown) {
  return out << std::string(shown.text.begin(), shown.text.end()) << " at " << shown.start << " in "
             << shown.sectorSize;
}

TEST(DiskSources, ImagesListTheirPartitionsUnderTheirOwnNames) {
  struct Case {
    const char* what;
    std::function<void(MemoryImage&)> layOut;
    std::vector<Shown> shown;
  };
  const Case cases[] = {
      {"MBR and extended chain: NTFS by type or boot sector, places as --partition counts them",
       [](MemoryImage& image) {
         image.disk.Write(0, BootRecord({{mbr::TypeNtfs, 2048}, {mbr::TypeFat32, 10000}, {mbr::TypeExtended, 20000}}));
         image.disk.Write(2048ull * 512, NtfsBoot(1));
         image.disk.Write(20000ull * 512, BootRecord({{0x17, 10}, {mbr::TypeExtended, 100}}));
         image.disk.Write(20010ull * 512, NtfsBoot(2));  // a type no name gives, an NTFS boot sector
         image.disk.Write(20100ull * 512, BootRecord({{mbr::TypeNtfs, 10}}));  // its boot sector damaged
       },
       {{u"Image 2 NTFS 1\\", 2048, 512},
        {u"FAT32", 10000, 512},
        {u"Image 2 NTFS 3\\", 20010, 512},
        {u"Image 2 NTFS 4\\", 20110, 512}}},
      {"GPT: NTFS by boot sector, other entries by their names, starts past 32 bits",
       [](MemoryImage& image) {
         WriteGpt(image.disk, 512,
                  {{2048, 4095, u"EFI system"}, {4096, 8191, u"Basic data"}, {6000000000ull, 6000001000ull, u""}});
         image.disk.Write(4096ull * 512, NtfsBoot(3));
       },
       {{u"EFI system", 2048, 512}, {u"Image 2 NTFS 2\\", 4096, 512}, {u"Unknown", 6000000000ull, 512}}},
      {"GPT laid out in 4096-byte sectors: detected",
       [](MemoryImage& image) {
         WriteGpt(image.disk, 4096, {{256, 511, u"Basic data"}});
         image.disk.Write(256ull * 4096, NtfsBoot(4, 4096));
       },
       {{u"Image 2 NTFS 1\\", 256, 4096}}},
      {"the container's sector size wins over the layout, which would keep 512",
       [](MemoryImage& image) {
         image.says = 4096;
         image.disk.Write(0, BootRecord({{mbr::TypeNtfs, 2048}}));
         image.disk.Write(2048ull * 512, NtfsBoot(6));
       },
       {{u"Image 2 NTFS 1\\", 2048, 4096}}},
      {"one NTFS volume: the whole image, in the boot sector's sectors; its boot code is no table",
       [](MemoryImage& image) { image.disk.Write(0, NtfsBoot(5, 4096)); },
       {{u"Image 2 NTFS 1\\", 0, 4096}}},
      {"no table at all", [](MemoryImage& image) { image.disk.Write(0, Bytes(4096, 0)); }, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto image = std::make_unique<MemoryImage>();
    c.layOut(*image);
    SharedImage shared(std::move(image));
    DiskSource source;
    source.image = &shared;
    std::vector<Shown> shown;
    const DWORD result = WalkImage(shared, source, 2, [&](const FoundDrive& found) {
      EXPECT_EQ(found.item.source.image, &shared);
      EXPECT_TRUE(found.item.isPartition);
      shown.push_back({found.text, found.item.startSector, found.item.sectorSize});
    });
    EXPECT_EQ(result, code::Success);
    EXPECT_EQ(shown, c.shown);
  }
}

TEST(DiskSources, ADamagedImageKeepsWhatWasFoundWithItsWords) {
  auto image = std::make_unique<MemoryImage>();
  image->disk.Write(0, BootRecord({{mbr::TypeNtfs, 2048}, {mbr::TypeExtended, 20000}}));
  image->disk.Write(2048ull * 512, NtfsBoot(1));
  image->failFrom = 20000ull * 512;
  image->failWords = "chunk 40's checksum fails";
  SharedImage shared(std::move(image));
  DiskSource source;
  source.image = &shared;
  std::vector<std::u16string> texts;
  EXPECT_EQ(WalkImage(shared, source, 1, [&](const FoundDrive& found) { texts.push_back(found.text); }),
            code::DiskCorrupt);
  EXPECT_EQ(texts, std::vector<std::u16string>{u"Image 1 NTFS 1\\"});
  EXPECT_EQ(shared.ProblemFor(code::DiskCorrupt), "chunk 40's checksum fails");
}

TEST(DiskSources, SharedImagesKeepEachFailuresWordsAndReadOneAtATime) {
  auto owned = std::make_unique<MemoryImage>();
  MemoryImage& image = *owned;
  image.disk.Write(0, Bytes(1 << 20, 7));
  SharedImage shared(std::move(owned));
  std::uint8_t buffer[512];
  std::uint32_t got = 0;
  EXPECT_EQ(shared.ProblemFor(code::Success), "");
  image.failFrom = 4096;
  image.failWords = "VHDX block 3 cannot be read";
  EXPECT_EQ(shared.ReadAt(8192, buffer, sizeof buffer, &got), code::DiskCorrupt);
  // A good read leaves the words of the last failure.
  EXPECT_EQ(shared.ReadAt(0, buffer, sizeof buffer, &got), code::Success);
  EXPECT_EQ(shared.ProblemFor(code::DiskCorrupt), "VHDX block 3 cannot be read");
  EXPECT_EQ(shared.ProblemFor(code::Crc), "");  // another code is not that failure
  // A later failure without words: the earlier words no longer explain anything.
  image.failCode = code::Crc;
  image.failWords.clear();
  EXPECT_EQ(shared.ReadAt(8192, buffer, sizeof buffer, &got), code::Crc);
  EXPECT_EQ(shared.ProblemFor(code::Crc), "");
  EXPECT_EQ(shared.ProblemFor(code::DiskCorrupt), "");

  image.failFrom = UINT64_MAX;
  auto reader = [&](std::uint64_t at) {
    std::uint8_t bytes[4096];
    std::uint32_t delivered = 0;
    for (int i = 0; i < 2000; ++i) shared.ReadAt(at, bytes, sizeof bytes, &delivered);
  };
  std::thread first(reader, 0), second(reader, 65536);
  first.join();
  second.join();
  EXPECT_FALSE(image.overlaps);
}

class FakeVolumes : public VolumeLookup {
 public:
  bool RootForSerial(std::uint32_t serial, std::u16string* root) override {
    auto found = roots.find(serial);
    if (found == roots.end()) return false;
    *root = found->second;
    return true;
  }
  std::map<std::uint32_t, std::u16string> roots;
};

TEST(DiskSources, PhysicalDisksAfterADamagedOneAreListed) {
  // Disk 0: C:; disk 1: a partition, then an extended chain that cannot be
  // read; disk 2: GPT; disk 3: a GPT header that cannot be; then no disk 4.
  std::vector<MemoryDisk> disks(4);
  disks[0].Write(0, BootRecord({{mbr::TypeNtfs, 2048}}));
  disks[0].Write(2048ull * 512, NtfsBoot(0xC0FFEE));
  disks[1].Write(0, BootRecord({{mbr::TypeNtfs, 2048}, {mbr::TypeExtended, 20000}}));
  disks[1].failFrom = 20000ull * 512;
  WriteGpt(disks[2], 512, {{2048, 4095, u"Basic data"}, {4096, 8191, u"Recovery"}});
  disks[2].Write(2048ull * 512, NtfsBoot(9));
  WriteGpt(disks[3], 512, {});
  disks[3].Bytes()[512] = 'X';
  FakeVolumes volumes;
  volumes.roots[0xC0FFEE] = u"C:\\";
  for (const bool firstMissing : {false, true}) {
    SCOPED_TRACE(firstMissing ? "no disk 0" : "four disks");
    auto open = [&](unsigned number, std::unique_ptr<DiskReader>* disk) -> DWORD {
      if (number >= disks.size() || (firstMissing && number == 0)) return code::FileNotFound;
      *disk = std::make_unique<MemoryDisk>(disks[number]);
      return code::Success;
    };
    std::vector<std::pair<std::u16string, std::uint32_t>> found;
    const DWORD result = WalkPhysicalDisks(open, volumes, [&](const FoundDrive& drive) {
      EXPECT_EQ(drive.item.source.image, nullptr);
      found.push_back({drive.text, drive.item.source.diskNumber});
    });
    if (firstMissing) {
      EXPECT_EQ(result, code::FileNotFound);
      EXPECT_TRUE(found.empty());
      continue;
    }
    EXPECT_EQ(result, code::Crc);  // the first failure, disk 1's
    const std::vector<std::pair<std::u16string, std::uint32_t>> expected = {
        {u"C:\\", 0}, {u"Disk 1 NTFS 1\\", 1}, {u"Disk 2 NTFS 1\\", 2}, {u"Recovery", 2}};
    EXPECT_EQ(found, expected);
  }
}

}  // namespace
