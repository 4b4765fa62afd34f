#include <gtest/gtest.h>

#include <map>

#include "scan/PartitionLayout.h"
#include "scan/PartitionWalk.h"
#include "support/MemoryDisk.h"
#include "support/RecordBuilder.h"

namespace {

struct EntrySpec {
  std::uint8_t type;
  std::uint32_t first;
  std::uint32_t count = 1000;
};

// A boot record (MBR or EBR) with up to four entries.
Bytes BootRecord(const std::vector<EntrySpec>& entries) {
  Bytes record(512, 0);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t at = mbr::TableOffset + i * mbr::EntrySize;
    record[at + mbr::EntryChsHead] = static_cast<std::uint8_t>(0x10 + i);
    record[at + mbr::EntryChsSector] = static_cast<std::uint8_t>(0xC1);
    record[at + mbr::EntryChsCylinder] = static_cast<std::uint8_t>(0x20 + i);
    record[at + mbr::EntryType] = entries[i].type;
    PutLE(record, at + mbr::EntryFirstSector, entries[i].first, 4);
    PutLE(record, at + mbr::EntrySectorCount, entries[i].count, 4);
  }
  record[510] = 0x55;
  record[511] = 0xAA;
  return record;
}

// A boot sector whose serial (low half) is `serial`.
Bytes BootSector(std::uint32_t serial, const char* oem = "NTFS    ") {
  Bytes boot(512, 0);
  std::memcpy(boot.data() + 3, oem, 8);
  PutLE(boot, mbr::BootSerialLow, serial, 4);
  return boot;
}

class FakeVolumes : public VolumeLookup {
 public:
  bool RootForSerial(std::uint32_t serial, std::u16string* root) override {
    ++lookups;
    auto found = roots.find(serial);
    if (found == roots.end()) return false;
    *root = found->second;
    return true;
  }
  std::map<std::uint32_t, std::u16string> roots;
  int lookups = 0;
};

std::vector<FoundPartition> Walk(MemoryDisk& disk, FakeVolumes& volumes, DWORD* result, std::uint32_t number = 0) {
  std::vector<FoundPartition> found;
  *result = WalkDisk(disk, number, volumes, [&](const FoundPartition& p) { found.push_back(p); });
  return found;
}

std::vector<std::u16string> Texts(const std::vector<FoundPartition>& found) {
  std::vector<std::u16string> texts;
  for (const auto& p : found) texts.push_back(p.text);
  return texts;
}

TEST(PartitionWalk, PrimaryTablesAndTheirTypes) {
  struct Case {
    const char* what;
    std::vector<EntrySpec> entries;
    std::vector<std::u16string> texts;
  };
  const Case cases[] = {
      {"one mounted NTFS partition", {{mbr::TypeNtfs, 2048}}, {u"C:\\"}},
      {"NTFS, empty, NTFS: the empty entry ends the table", {{0x07, 2048}, {0x00, 0}, {0x07, 6000}}, {u"C:\\"}},
      {"file-system names",
       {{0x0C, 10000}, {0x01, 11000}, {0x06, 12000}, {0x27, 13000}},
       {u"FAT32", u"FAT12", u"FAT16", u"Unknown"}},
      {"more names", {{0x0B, 10000}, {0x04, 11000}, {0x0E, 12000}, {0xEE, 1}}, {u"FAT32", u"FAT16", u"FAT16", u"Unknown"}},
      {"unmounted NTFS partitions get distinct texts", {{0x07, 20000}, {0x07, 30000}},
       {u"Disk 3 NTFS 1\\", u"Disk 3 NTFS 2\\"}},
      {"empty table", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryDisk disk;
    disk.Write(0, BootRecord(c.entries));
    for (const EntrySpec& e : c.entries) {
      if (e.type != 0) disk.Write(std::uint64_t{e.first} * 512, BootSector(e.first == 2048 ? 0xC0FFEE : e.first));
    }
    FakeVolumes volumes;
    volumes.roots[0xC0FFEE] = u"C:\\";
    DWORD result = 1;
    EXPECT_EQ(Texts(Walk(disk, volumes, &result, 3)), c.texts);
    EXPECT_EQ(result, code::Success);
  }
}

TEST(PartitionWalk, ItemsCarryTheirEntry) {
  MemoryDisk disk;
  disk.Write(0, BootRecord({{0x07, 2048, 77777}}));
  FakeVolumes volumes;
  DWORD result = 1;
  auto found = Walk(disk, volumes, &result, 4);
  ASSERT_EQ(found.size(), 1u);
  const PartitionItem& item = found[0].item;
  EXPECT_EQ(item.chsHead, 0x10);
  EXPECT_EQ(item.chsSector, 0xC1);
  EXPECT_EQ(item.chsCylinder, 0x20);
  EXPECT_EQ(item.sectorCount, 77777u);
  EXPECT_EQ(item.kind, 1);
  EXPECT_EQ(item.startSector, 2048u);
  EXPECT_EQ(item.diskNumber, 4u);
  EXPECT_EQ(found[0].type, 0x07);
  // The boot sector past the disk's end has no serial to match.
  EXPECT_EQ(found[0].text, u"Disk 4 NTFS 1\\");
}

TEST(PartitionWalk, ExtendedChains) {
  // extended at 10000; EBRs at 10000, 10000+5000, 10000+9000.
  MemoryDisk disk;
  disk.Write(0, BootRecord({{0x05, 10000}, {0x07, 2048}}));
  disk.Write(10000ull * 512, BootRecord({{0x07, 63}, {0x05, 5000}}));
  disk.Write(15000ull * 512, BootRecord({{0x0C, 63}, {0x0F, 9000}}));
  disk.Write(19000ull * 512, BootRecord({{0x07, 100}}));
  disk.Write(10063ull * 512, BootSector(1));
  disk.Write(19100ull * 512, BootSector(2));
  FakeVolumes volumes;
  volumes.roots[1] = u"E:\\";
  volumes.roots[2] = u"F:\\";
  DWORD result = 1;
  auto found = Walk(disk, volumes, &result);
  EXPECT_EQ(result, code::Success);
  // Only the logical drives: the primary NTFS after the extended entry is not looked at.
  EXPECT_EQ(Texts(found), (std::vector<std::u16string>{u"E:\\", u"FAT32", u"F:\\"}));
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].item.startSector, 10063u);
  EXPECT_EQ(found[1].item.startSector, 15063u);
  EXPECT_EQ(found[2].item.startSector, 19100u);
}

TEST(PartitionWalk, ChainsEndSafely) {
  {
    SCOPED_TRACE("a chain that points back at itself stops after 50 records");
    MemoryDisk disk;
    disk.Write(0, BootRecord({{0x05, 10000}}));
    disk.Write(10000ull * 512, BootRecord({{0x07, 63}, {0x05, 0}}));
    FakeVolumes volumes;
    DWORD result = 1;
    auto found = Walk(disk, volumes, &result);
    EXPECT_EQ(result, code::Success);
    EXPECT_EQ(found.size(), 50u);
  }
  {
    SCOPED_TRACE("an EBR with four data entries ends the chain after the fourth");
    MemoryDisk disk;
    disk.Write(0, BootRecord({{0x05, 10000}}));
    disk.Write(10000ull * 512, BootRecord({{0x07, 63}, {0x07, 2000}, {0x07, 4000}, {0x07, 6000}}));
    FakeVolumes volumes;
    DWORD result = 1;
    EXPECT_EQ(Walk(disk, volumes, &result).size(), 4u);
    EXPECT_EQ(result, code::Success);
  }
  {
    SCOPED_TRACE("an EBR past the disk's end is a short read: 30, the items so far stay");
    MemoryDisk disk;
    disk.Write(0, BootRecord({{0x05, 10000}}));
    disk.Write(10000ull * 512, BootRecord({{0x07, 63}, {0x05, 900000}}));
    FakeVolumes volumes;
    DWORD result = 0;
    EXPECT_EQ(Walk(disk, volumes, &result).size(), 1u);
    EXPECT_EQ(result, code::ReadFault);
  }
  {
    SCOPED_TRACE("a failing read ends the walk with the disk's code");
    MemoryDisk disk;
    disk.Write(0, BootRecord({{0x07, 2048}, {0x07, 9000}}));
    disk.Write(20000ull * 512, Bytes(512, 0));
    disk.failFrom = 9000ull * 512;
    FakeVolumes volumes;
    DWORD result = 0;
    EXPECT_EQ(Walk(disk, volumes, &result).size(), 1u);
    EXPECT_EQ(result, code::Crc);
  }
  {
    SCOPED_TRACE("a logical start that wraps 32 bits is passed over");
    MemoryDisk disk;
    disk.Write(0, BootRecord({{0x05, 0xFFFFFF00u}}));
    FakeVolumes volumes;
    DWORD result = 0;
    EXPECT_TRUE(Walk(disk, volumes, &result).empty());
    EXPECT_EQ(result, code::ReadFault);  // the EBR lies past this small disk
  }
  {
    SCOPED_TRACE("a disk shorter than a sector");
    MemoryDisk disk(100);
    FakeVolumes volumes;
    DWORD result = 0;
    EXPECT_TRUE(Walk(disk, volumes, &result).empty());
    EXPECT_EQ(result, code::ReadFault);
  }
}

TEST(PartitionWalk, AllDisksStopAtTheFirstMissingOne) {
  MemoryDisk disk0, disk1;
  disk0.Write(0, BootRecord({{0x07, 2048}}));
  disk1.Write(0, BootRecord({{0x0C, 2048}}));
  std::vector<unsigned> opened;
  auto open = [&](unsigned number, std::unique_ptr<DiskReader>* disk) -> DWORD {
    opened.push_back(number);
    if (number > 1 && number != 3) return code::FileNotFound;
    auto copy = std::make_unique<MemoryDisk>(number == 0 ? disk0 : disk1);
    *disk = std::move(copy);
    return code::Success;
  };
  FakeVolumes volumes;
  std::vector<FoundPartition> found;
  EXPECT_EQ(WalkAllDisks(open, volumes, [&](const FoundPartition& p) { found.push_back(p); }), code::Success);
  EXPECT_EQ(opened, (std::vector<unsigned>{0, 1, 2}));  // disk 3 is never probed
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[1].item.diskNumber, 1u);
  EXPECT_EQ(found[1].text, u"FAT32");

  auto denied = [](unsigned, std::unique_ptr<DiskReader>*) -> DWORD { return code::AccessDenied; };
  EXPECT_EQ(WalkAllDisks(denied, volumes, [](const FoundPartition&) {}), code::AccessDenied);
}

TEST(PartitionWalk, UnmatchedTextsFitTheDriveText) {
  for (std::uint32_t disk : {0u, 31u, 99u}) {
    for (std::uint32_t ordinal : {1u, 54u, 999u}) {
      const std::u16string text = UnmatchedText(mbr::TypeNtfs, disk, ordinal);
      EXPECT_LE(text.size(), 19u);
      EXPECT_NE(text, u"My computer");
      EXPECT_NE(text, UnmatchedText(mbr::TypeNtfs, disk, ordinal + 1));
      EXPECT_NE(text, UnmatchedText(mbr::TypeNtfs, disk + 1, ordinal));
    }
  }
}

TEST(PartitionWalk, GptDisks) {
  MemoryDisk disk;
  disk.Write(0, BootRecord({{0xEE, 1, 0xFFFFFFFF}}));
  Bytes header(512, 0);
  std::memcpy(header.data(), "EFI PART", 8);
  PutLE(header, gpt::HeaderEntriesLba, 2, 8);
  PutLE(header, gpt::HeaderEntryCount, 128, 4);
  PutLE(header, gpt::HeaderEntrySize, 128, 4);
  disk.Write(512, header);
  Bytes entries(128 * 128, 0);
  auto entry = [&](int slot, std::uint64_t first, std::uint64_t last, const std::u16string& name) {
    const std::size_t at = static_cast<std::size_t>(slot) * 128;
    const std::uint8_t basicData[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                        0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
    std::memcpy(entries.data() + at, basicData, 16);
    PutLE(entries, at + gpt::EntryFirstLba, first, 8);
    PutLE(entries, at + gpt::EntryLastLba, last, 8);
    for (std::size_t i = 0; i < name.size(); ++i) PutLE(entries, at + gpt::EntryName + 2 * i, name[i], 2);
  };
  entry(0, 2048, 4095, u"data");
  entry(2, 6000000000ull, 6000001000ull, u"");  // past 2 TiB
  entry(3, 4096, 8191, u"ignored name");
  disk.Write(1024, entries);
  disk.Write(4096ull * 512, BootSector(0x5151));
  FakeVolumes volumes;
  volumes.roots[0x5151] = u"G:\\";
  bool isGpt = false;
  std::vector<GptPartition> found;
  ASSERT_EQ(WalkGpt(disk, 0, volumes, &isGpt, [&](const GptPartition& p) { found.push_back(p); }), code::Success);
  EXPECT_TRUE(isGpt);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].text, u"data");
  EXPECT_EQ(found[0].sectorCount, 2048u);
  EXPECT_EQ(found[0].typeGuid, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
  EXPECT_EQ(found[1].text, u"Unknown");
  EXPECT_EQ(found[1].firstSector, 6000000000ull);
  EXPECT_EQ(found[2].text, u"G:\\");  // an NTFS boot sector whose serial is mounted

  // A damaged header is refused, not trusted.
  PutLE(header, gpt::HeaderEntrySize, 7, 4);
  disk.Write(512, header);
  EXPECT_EQ(WalkGpt(disk, 0, volumes, &isGpt, [](const GptPartition&) {}), code::InvalidParameter);
  // An MBR disk is not GPT.
  MemoryDisk plain;
  plain.Write(0, BootRecord({{0x07, 2048}}));
  EXPECT_EQ(WalkGpt(plain, 0, volumes, &isGpt, [](const GptPartition&) {}), code::Success);
  EXPECT_FALSE(isGpt);
}

// Disks in 4096-byte logical sectors: every position counts those sectors,
// and the items say so. What the device says wins; an image is detected.
class LargeSectorDisk : public MemoryDisk {
 public:
  explicit LargeSectorDisk(std::uint32_t says) : says(says) {}
  std::uint32_t LogicalSectorSize() override { return says; }
  std::uint32_t says;
};

// An MBR disk laid out in sectors of `sector`: NTFS at 256, an extended
// partition at 1000 whose first logical drive is NTFS at 1010.
void LayOut(MemoryDisk& disk, std::uint64_t sector) {
  disk.Write(0, BootRecord({{mbr::TypeNtfs, 256}, {mbr::TypeExtended, 1000}}));
  disk.Write(1000 * sector, BootRecord({{mbr::TypeNtfs, 10}}));
  disk.Write(256 * sector, BootSector(0xC0FFEE));
  disk.Write(1010 * sector, BootSector(7));
}

TEST(PartitionWalk, LargeSectorDisks) {
  FakeVolumes volumes;
  volumes.roots[0xC0FFEE] = u"C:\\";
  for (const std::uint32_t says : {0u, 4096u}) {
    SCOPED_TRACE(says == 0 ? "an image, detected" : "a device that says 4096");
    LargeSectorDisk disk(says);
    LayOut(disk, 4096);
    std::vector<FoundPartition> found;
    auto open = [&](unsigned number, std::unique_ptr<DiskReader>* opened) -> DWORD {
      if (number > 0) return code::FileNotFound;
      *opened = std::make_unique<LargeSectorDisk>(disk);
      return code::Success;
    };
    ASSERT_EQ(WalkAllDisks(open, volumes, [&](const FoundPartition& p) { found.push_back(p); }), code::Success);
    EXPECT_EQ(Texts(found), (std::vector<std::u16string>{u"C:\\", u"Disk 0 NTFS 2\\"}));
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].item.startSector, 256u);
    EXPECT_EQ(found[1].item.startSector, 1010u);
    EXPECT_EQ(found[1].item.sectorSize, 4096u);
  }
  // Sizes that no disk has are refused.
  MemoryDisk disk;
  LayOut(disk, 512);
  bool isGpt = false;
  for (const std::uint32_t size : {0u, 500u, 3000u}) {
    EXPECT_EQ(WalkDisk(disk, 0, volumes, [](const FoundPartition&) {}, size), code::InvalidParameter);
    EXPECT_EQ(WalkGpt(disk, 0, volumes, &isGpt, [](const GptPartition&) {}, size), code::InvalidParameter);
  }
}

// What no disk made by the tools shows: NTFS where both sizes would put it,
// and no NTFS at all, keep 512.
TEST(PartitionWalk, DetectionKeeps512UnlessOnly4096Fits) {
  struct Case {
    const char* what;
    std::vector<std::uint64_t> ntfsAt;  // byte positions of NTFS boot sectors
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"NTFS at 256 x 4096 only", {256 * 4096}, 4096},
      {"NTFS at 256 x 512 only", {256 * 512}, 512},
      {"NTFS at both", {256 * 512, 256 * 4096}, 512},
      {"no NTFS", {}, 512},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryDisk disk;
    disk.Write(0, BootRecord({{0x07, 256}}));
    for (std::uint64_t at : c.ntfsAt) disk.Write(at, BootSector(1));
    EXPECT_EQ(DetectSectorSize(disk), c.expected);
  }
}

}  // namespace
