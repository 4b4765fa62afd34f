// The deep scan on crafted bytes, for what real volumes do not show on
// demand: each kind of structure and each way it fails its checks, structures
// across the pass's reads, and the grouping of an $MFT that is in pieces, or
// that a newer, smaller one overlays.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "ntfs/RecordSignatures.h"
#include "platform/Text.h"
#include "scan/FoundVolumes.h"
#include "scan/Scanner.h"
#include "support/ScanRows.h"
#include "support/TestVolumes.h"

namespace {

constexpr std::uint32_t Root = 5;
constexpr std::uint8_t InUse = ntfs::RecordInUse;

// A record as the driver writes it: its own number at 0x2C, outside the
// update sequence's reach.
Bytes Numbered(Bytes record, std::uint32_t number) {
  PutLE(record, ntfs::RecordNumber, number, 4);
  return record;
}

Bytes File(const std::u16string& name, std::uint64_t parent, std::uint8_t flags, std::uint32_t number,
           std::size_t size = 40) {
  return Numbered(RecordBuilder(flags)
                      .StandardInformation(FileTimeUtc(2020, 1, 1, 0, 0, 0), FileTimeUtc(2020, 1, 2, 0, 0, 0))
                      .FileName(parent, 0x20, name)
                      .ResidentData(Bytes(size, static_cast<std::uint8_t>(number)))
                      .End()
                      .Build(),
                  number);
}

Bytes Folder(const std::u16string& name, std::uint64_t parent, std::uint32_t number) {
  return Numbered(RecordBuilder(InUse | ntfs::RecordIsDirectory)
                      .StandardInformation(FileTimeUtc(2020, 1, 1, 0, 0, 0), FileTimeUtc(2020, 1, 1, 0, 0, 0))
                      .FileName(parent, 0x10000000, name)
                      .Resident(ntfs::TypeIndexRoot, Bytes(32, 0))
                      .End()
                      .Build(),
                  number);
}

// Every 512-byte stride's last two bytes moved into the update sequence
// array at `usaOffset`, whose count is already set; `number` put in their place.
void Stride(Bytes& bytes, std::size_t usaOffset, std::uint16_t number) {
  PutLE(bytes, usaOffset, number, 2);
  for (std::size_t end = 512, entry = usaOffset + 2; end <= bytes.size(); end += 512, entry += 2) {
    bytes[entry] = bytes[end - 2];
    bytes[entry + 1] = bytes[end - 1];
    PutLE(bytes, end - 2, number, 2);
  }
}

// A 4096-byte index block at `vcn` whose one entry names `parent` as its folder.
Bytes IndexBlockOf(std::uint64_t vcn, std::uint64_t parent) {
  Bytes block(4096, 0);
  std::memcpy(block.data(), "INDX", 4);
  PutLE(block, ntfs::RecordUsaOffset, 0x28, 2);
  PutLE(block, ntfs::RecordUsaCount, 9, 2);
  PutLE(block, ntfs::IndexVcn, vcn, 8);
  PutLE(block, ntfs::IndexHeader + ntfs::IndexEntriesOffset, 0x28, 4);
  PutLE(block, ntfs::IndexHeader + ntfs::IndexAllocatedSize, 4096 - ntfs::IndexHeader, 4);
  const std::size_t entry = ntfs::IndexHeader + 0x28;
  PutLE(block, entry + ntfs::IndexEntryLength, 0x60, 2);
  PutLE(block, entry + ntfs::IndexEntryKeyLength, ntfs::FnName + 2, 2);
  PutLE(block, entry + ntfs::IndexEntryKey + ntfs::FnParentReference, parent, 8);
  block[510] = 0x5A;  // a byte the update sequence must give back
  Stride(block, 0x28, 7);
  return block;
}

Bytes BootSector(std::uint64_t totalSectors, std::uint64_t mftCluster) {
  Bytes boot(512, 0);
  std::memcpy(boot.data() + ntfs::BootOemId, "NTFS    ", 8);
  PutLE(boot, ntfs::BootBytesPerSector, 512, 2);
  boot[ntfs::BootSectorsPerCluster] = 8;
  boot[ntfs::BootClustersPerRecord] = 0xF6;
  PutLE(boot, ntfs::BootTotalSectors, totalSectors, 8);
  PutLE(boot, ntfs::BootMftCluster, mftCluster, 8);
  PutLE(boot, ntfs::BootEndMarker, ntfs::BootEndMarkerValue, 2);
  return boot;
}

TEST(RecogniseTest, EachStructureAndEachCheckItFails) {
  const Bytes good = File(u"a.txt", Root, InUse, 77);
  struct Case {
    const char* what;
    std::function<void(Bytes&)> change;
    std::size_t available;
    Recognised expected;
  } cases[] = {
      {"whole", [](Bytes&) {}, 1024, Recognised::Yes},
      {"torn: a stride lost its number", [](Bytes& r) { r[1023] ^= 1; }, 1024, Recognised::No},
      {"a size that is no power of two", [](Bytes& r) { PutLE(r, ntfs::RecordBytesAllocated, 1000, 4); }, 1024,
       Recognised::No},
      {"an update sequence for another size", [](Bytes& r) { PutLE(r, ntfs::RecordUsaCount, 2, 2); }, 1024,
       Recognised::No},
      {"attributes inside the update sequence", [](Bytes& r) { PutLE(r, ntfs::RecordFirstAttribute, 0x30, 2); }, 1024,
       Recognised::No},
      {"more in use than allocated", [](Bytes& r) { PutLE(r, ntfs::RecordBytesInUse, 2048, 4); }, 1024,
       Recognised::No},
      {"cut short by the bytes read", [](Bytes&) {}, 600, Recognised::NeedMore},
      {"BAAD, torn as chkdsk found it", [](Bytes& r) { std::memcpy(r.data(), "BAAD", 4), r[1023] ^= 1; }, 1024,
       Recognised::Yes},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes record = good;
    c.change(record);
    RecordHeader header;
    std::uint32_t needed = 0;
    EXPECT_EQ(RecogniseRecord(record.data(), c.available, &header, &needed), c.expected);
    if (c.expected == Recognised::NeedMore) {
      EXPECT_EQ(needed, 1024u);
    }
    if (c.expected == Recognised::Yes && header.kind == RecordKind::File) {
      EXPECT_TRUE(header.hasNumber);
      EXPECT_EQ(header.number, 77u);
      EXPECT_EQ(header.size, 1024u);
      EXPECT_EQ(header.flags & InUse, InUse);
    }
  }

  // An NTFS 3.0 record: its update sequence where 3.1 keeps the number.
  Bytes old(1024, 0);
  std::memcpy(old.data(), "FILE", 4);
  PutLE(old, ntfs::RecordUsaOffset, ntfs::RecordOldUsa, 2);
  PutLE(old, ntfs::RecordUsaCount, 3, 2);
  PutLE(old, ntfs::RecordFirstAttribute, 0x30, 2);
  PutLE(old, ntfs::RecordBytesInUse, 0x38, 4);
  PutLE(old, ntfs::RecordBytesAllocated, 1024, 4);
  PutLE(old, 0x30, ntfs::TypeEnd, 4);
  Stride(old, ntfs::RecordOldUsa, 3);
  RecordHeader header;
  std::uint32_t needed = 0;
  ASSERT_EQ(RecogniseRecord(old.data(), old.size(), &header, &needed), Recognised::Yes);
  EXPECT_FALSE(header.hasNumber);

  // Index blocks: the folder their first entry names, once their strides are put back.
  Bytes scratch(ntfs::MaxRecordSize);
  const std::uint64_t owner = 42 | (3ull << 48);
  Bytes block = IndexBlockOf(9, owner);
  IndexBlock found;
  ASSERT_EQ(RecogniseIndexBlock(block.data(), block.size(), &found, &needed, scratch.data()), Recognised::Yes);
  EXPECT_EQ(found.vcn, 9u);
  EXPECT_EQ(found.owner, owner);
  EXPECT_EQ(scratch[510], 0x5A);
  block[4095] ^= 1;
  EXPECT_EQ(RecogniseIndexBlock(block.data(), block.size(), &found, &needed, scratch.data()), Recognised::No);
  block = IndexBlockOf(9, owner);
  PutLE(block, ntfs::IndexHeader + ntfs::IndexAllocatedSize, 2048, 4);
  EXPECT_EQ(RecogniseIndexBlock(block.data(), block.size(), &found, &needed, scratch.data()), Recognised::No);

  // Boot sectors: the name, the end marker and a geometry that can be.
  NtfsGeometry geometry;
  Bytes boot = BootSector(1000, 4);
  EXPECT_TRUE(RecogniseBootSector(boot.data(), 8192, &geometry));
  EXPECT_EQ(geometry.partitionOffset, 8192u);
  EXPECT_EQ(geometry.volumeBytes, 1000u * 512);
  boot[ntfs::BootEndMarker] = 0;
  EXPECT_FALSE(RecogniseBootSector(boot.data(), 0, &geometry));
  boot = BootSector(1000, 4);
  PutLE(boot, ntfs::BootBytesPerSector, 100, 2);
  EXPECT_FALSE(RecogniseBootSector(boot.data(), 0, &geometry));
}

class NoProgress : public DeepScanSink {};

// Each structure is found once wherever the pass's reads cut it, and a
// stretch the disk cannot read costs only itself.
TEST(FindSignaturesTest, StructuresAcrossReadsFoundOnceEach) {
  MemoryDisk disk(512u << 10);
  disk.Write((64u << 10) - 512, File(u"across.txt", Root, 0, 20));
  disk.Write(200u << 10, File(u"later.txt", Root, InUse, 21));
  disk.Write((128u << 10) - 1024, IndexBlockOf(0, Root | (5ull << 48)));
  Bytes torn = File(u"torn.txt", Root, 0, 22);
  torn[600] ^= 0xFF;
  torn[1023] ^= 1;
  disk.Write(250u << 10, torn);
  disk.Write(300u << 10, BootSector(100, 4));
  disk.failFrom = 448u << 10;
  const std::atomic<bool> stop{false};
  NoProgress sink;
  for (std::uint32_t chunk : {64u << 10, 192u << 10, 1u << 20}) {
    SCOPED_TRACE(chunk);
    DeepFindings findings;
    ASSERT_EQ(FindSignatures(disk, {0, 512u << 10}, stop, sink, &findings, chunk), code::Success);
    ASSERT_EQ(findings.records.size(), 2u);
    EXPECT_EQ(findings.records[0].position, (64u << 10) - 512);
    EXPECT_EQ(findings.records[0].number, 20u);
    EXPECT_EQ(findings.records[0].flags & FoundRecord::InUse, 0);
    EXPECT_EQ(findings.records[1].position, 200u << 10);
    ASSERT_EQ(findings.indexes.size(), 1u);
    EXPECT_EQ(findings.indexes[0].position, (128u << 10) - 1024);
    ASSERT_EQ(findings.boots.size(), 1u);
    EXPECT_EQ(findings.boots[0].partitionOffset, 300u << 10);
    EXPECT_EQ(findings.unreadableBytes, 64u << 10);
    EXPECT_EQ(findings.bytesRead, 512u << 10);
  }
  DeepFindings findings;
  EXPECT_EQ(FindSignatures(disk, {100, 4096}, stop, sink, &findings), code::InvalidParameter);
  const std::atomic<bool> stopped{true};
  EXPECT_EQ(FindSignatures(disk, {0, 1u << 20}, stopped, sink, &findings), code::Cancelled);
}

class CollectingRows : public RowSink {
 public:
  void StatesReady(const RowTable& table) override {
    for (std::size_t row = 0; row < table.Rows(); ++row) rows.push_back(MakeRow(table, row));
  }
  std::vector<ScanRow> rows;
};

// The volume's files: record 5 the root, then a folder and files in use and deleted.
std::vector<Bytes> Files(std::uint32_t count, std::uint32_t firstNumber = 1) {
  std::vector<Bytes> records;
  for (std::uint32_t number = firstNumber; number < firstNumber + count; ++number) {
    if (number == Root) {
      records.push_back(Folder(u".", Root, number));
    } else if (number == 16) {
      records.push_back(Folder(u"Docs", Root, number));
    } else {
      const std::u16string name = u"f" + Utf16FromUtf8(std::to_string(number)) + u".txt";
      records.push_back(File(name, number % 2 == 0 ? 16 : Root, number % 3 == 0 ? 0 : InUse, number));
    }
  }
  return records;
}

struct Found {
  DWORD result;
  std::vector<ScanRow> rows;
};

Found ScanFound(CFoundVolumes& volumes, std::size_t index) {
  CNTFSDrive drive;
  Found found{volumes.Open(index, &drive), {}};
  if (found.result != code::Success) return found;
  const std::atomic<bool> stop{false};
  CollectingRows sink;
  ScanTotals totals;
  found.result = ScanRecords(drive, u"F:\\", stop, sink, &totals);
  found.rows = sink.rows;
  return found;
}

// The backup boot sector that stands in for a damaged one: where it is
// looked for, and which candidates are refused.
TEST(BackupBootSectorTest, FoundOnlyWhereItsOwnCountPutsIt) {
  constexpr std::uint64_t Start = 2048 * 512;
  constexpr std::uint64_t Sectors = 4095;  // the volume's, the backup's sector left out
  struct Case {
    const char* name;
    std::uint64_t partitionBytes;  // 0: not known
    std::function<void(MemoryDisk&)> damage;
    bool found;
    std::uint64_t backupAt;
  };
  auto zeroPrimary = [](MemoryDisk& disk) { disk.Write(Start, Bytes(512, 0)); };
  const Case cases[] = {
      {"at the partition's last sector", (Sectors + 1) * 512, zeroPrimary, true, Start + Sectors * 512},
      {"after the volume's end, as the damaged sector's count says", 8192 * 512,
       [](MemoryDisk& disk) { PutLE(disk.Bytes(), Start + ntfs::BootEndMarker, 0, 2); }, true, Start + Sectors * 512},
      {"partition size unknown, primary gone", 0, zeroPrimary, false, 0},
      {"its own count puts it elsewhere", (Sectors + 1) * 512,
       [&](MemoryDisk& disk) {
         zeroPrimary(disk);
         PutLE(disk.Bytes(), Start + Sectors * 512 + ntfs::BootTotalSectors, Sectors - 8, 8);
       },
       false, 0},
      {"no end marker", (Sectors + 1) * 512,
       [&](MemoryDisk& disk) {
         zeroPrimary(disk);
         PutLE(disk.Bytes(), Start + Sectors * 512 + ntfs::BootEndMarker, 0, 2);
       },
       false, 0},
      {"past the disk's end", 16384 * 512, zeroPrimary, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryDisk disk;
    disk.Write(Start, BootSector(Sectors, 4));
    disk.Write(Start + Sectors * 512, BootSector(Sectors, 4));
    disk.Write(Start + 8192 * 512, Bytes(512, 0));
    c.damage(disk);
    NtfsGeometry geometry;
    std::uint64_t at = 0;
    const DWORD result = ReadBackupBootSector(disk, Start, c.partitionBytes, &geometry, &at);
    ASSERT_EQ(result, c.found ? code::Success : code::InvalidDrive);
    if (!c.found) continue;
    EXPECT_EQ(at, c.backupAt);
    EXPECT_EQ(geometry.partitionOffset, Start);
    EXPECT_EQ(geometry.volumeBytes, Sectors * 512);
    EXPECT_EQ(geometry.mftCluster, 4u);
  }
}

// A volume whose boot sector is gone and whose $MFT lies in one-cluster
// pieces laid out backwards: record 0 joins them.
TEST(FoundVolumesTest, Record0JoinsTheMftsPieces) {
  CraftedVolume volume;
  volume.mftFragmented = true;
  volume.totalSectors = 2048;
  volume.records = Files(39);
  MemoryDisk disk;
  volume.WriteTo(disk);
  disk.Write(volume.PartitionOffset(), Bytes(512, 0));
  const std::atomic<bool> stop{false};
  NoProgress sink;
  CFoundVolumes volumes;
  ASSERT_EQ(DeepScan(disk, {0, disk.Bytes().size()}, {}, stop, sink, &volumes), code::Success);
  ASSERT_EQ(volumes.Count(), 1u);
  const FoundVolume& found = volumes.At(0);
  EXPECT_EQ(found.offset, volume.PartitionOffset());
  EXPECT_EQ(found.from, GeometryFrom::Record0);
  EXPECT_EQ(found.geometry.clusterSize, 4096u);
  EXPECT_EQ(found.records, 40u);
  const Found scanned = ScanFound(volumes, 0);
  ASSERT_EQ(scanned.result, code::Success);
  // Records 16 to 39 but the folder: files in use and deleted alike, under their folders.
  ASSERT_EQ(scanned.rows.size(), 23u);
  for (const ScanRow& row : scanned.rows) {
    const std::u16string name = u"f" + Utf16FromUtf8(std::to_string(row.recordIndex)) + u".txt";
    EXPECT_EQ(row.path + row.name, (row.recordIndex % 2 == 0 ? u"F:\\Docs\\" : u"F:\\") + name);
    EXPECT_EQ(row.state.kind, Recoverability::Intact);
  }
}

// A newer, smaller $MFT over an older one at the same place, as a quick
// format leaves them: the records past the new one's end are the old
// volume's, and the volume the table gives keeps its own.
TEST(FoundVolumesTest, RecordsPastANewerMftAreTheOldVolume) {
  CraftedVolume old;
  old.totalSectors = 2048;
  old.records = Files(47);
  MemoryDisk disk;
  old.WriteTo(disk);
  CraftedVolume fresh = old;
  fresh.records = Files(23);
  for (Bytes& record : fresh.records) PutLE(record, ntfs::RecordSequence, 9, 2);
  fresh.WriteTo(disk);
  const std::atomic<bool> stop{false};
  NoProgress sink;
  CFoundVolumes volumes;
  ASSERT_EQ(DeepScan(disk, {0, disk.Bytes().size()}, {{old.PartitionOffset(), 2048 * 512}}, stop, sink, &volumes),
            code::Success);
  ASSERT_EQ(volumes.Count(), 1u);
  const FoundVolume& found = volumes.At(0);
  EXPECT_EQ(found.offset, old.PartitionOffset());
  EXPECT_EQ(found.from, GeometryFrom::BootSector);
  EXPECT_FALSE(found.mappedByRecord0);
  EXPECT_EQ(found.records, 24u);
  EXPECT_EQ(volumes.Report().recordsOfKnownVolumes, 24u);
  const Found scanned = ScanFound(volumes, 0);
  ASSERT_EQ(scanned.result, code::Success);
  // Records 24 to 47; the old root and folder are the new volume's now.
  ASSERT_EQ(scanned.rows.size(), 24u);
  for (std::size_t i = 0; i < scanned.rows.size(); ++i) {
    const ScanRow& row = scanned.rows[i];
    EXPECT_EQ(row.recordIndex, 24 + i);
    EXPECT_EQ(row.path, u"?\\");
    EXPECT_EQ(row.state.kind, Recoverability::Intact);  // resident: nothing to take
  }
}

}  // namespace
