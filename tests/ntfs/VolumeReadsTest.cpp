// Reads from a failing disk: a bad sector costs only itself, a long bad
// stretch is passed in few reads, a disk that is gone ends the read; and the
// scan over a failing $MFT loses only the records on bad sectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "ntfs/VolumeReads.h"
#include "platform/Text.h"
#include "scan/Scanner.h"
#include "support/ScanRows.h"
#include "support/TestVolumes.h"

namespace {

constexpr std::uint32_t KiB = 1024, MiB = 1024 * KiB;

// The disk's bytes: never zero, repeating every 4093 bytes (a prime, so
// that no sector or cluster lines up with it).
constexpr std::uint32_t PatternPeriod = 4093;
const std::vector<std::uint8_t>& PatternBytes() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::vector<std::uint8_t> made(2 * PatternPeriod);
    for (std::size_t i = 0; i < made.size(); ++i) made[i] = static_cast<std::uint8_t>(i % PatternPeriod * 131 % 255 + 1);
    return made;
  }();
  return bytes;
}
// The pattern from disk position `at` on: a period of it can be read.
const std::uint8_t* Pattern(std::uint64_t at) { return PatternBytes().data() + at % PatternPeriod; }

// A disk whose reads fail whole when they touch a bad range, as a disk
// does, with the code of the first range touched, leaving junk behind. Its bytes are `inner`'s,
// or a pattern of `size` bytes; a range may fail only its first `failures`
// reads. A range with code::NotReady is a disk gone.
class FailingDisk : public DiskReader {
 public:
  struct Bad {
    std::uint64_t from, to;
    DWORD why = code::Crc;
    unsigned failures = UINT32_MAX;
  };
  explicit FailingDisk(std::uint64_t size, std::uint32_t sector = 0) : size(size), sector(sector) {}
  explicit FailingDisk(MemoryDisk& inner) : inner(&inner), size(inner.Bytes().size()) {}

  DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered) override {
    ++reads;
    *delivered = 0;
    for (Bad& range : bad) {
      if (range.failures != 0 && offset < range.to && offset + count > range.from) {
        if (range.failures != UINT32_MAX) --range.failures;
        ++failedReads;
        std::memset(destination, 0xA5, count);  // a failed read may leave anything behind
        return range.why;
      }
    }
    if (inner != nullptr) return inner->ReadAt(offset, destination, count, delivered);
    auto* out = static_cast<std::uint8_t*>(destination);
    const std::uint64_t end = std::min<std::uint64_t>(offset + count, std::max(size, offset));
    for (std::uint64_t at = offset; at < end;) {
      const auto take = static_cast<std::uint32_t>(std::min<std::uint64_t>(PatternPeriod, end - at));
      std::memcpy(out + (at - offset), Pattern(at), take);
      at += take;
    }
    *delivered = static_cast<std::uint32_t>(end - offset);
    return code::Success;
  }
  std::uint32_t LogicalSectorSize() override { return sector; }

  MemoryDisk* inner = nullptr;
  std::uint64_t size;
  std::uint32_t sector = 0;
  std::vector<Bad> bad;
  std::size_t reads = 0, failedReads = 0;
};

// Checks that `buffer` holds the disk's pattern from `offset` on, but zeros
// over the ranges of `loss`.
void ExpectBytes(const std::vector<std::uint8_t>& buffer, std::uint64_t offset, std::uint32_t count,
                 const ReadLoss& loss) {
  static const std::vector<std::uint8_t> zeros(PatternPeriod, 0);
  std::size_t wrong = 0;
  std::uint64_t at = 0;
  auto compare = [&](std::uint64_t to, bool lost) {
    while (at < to) {
      const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(PatternPeriod, to - at));
      wrong += std::memcmp(buffer.data() + at, lost ? zeros.data() : Pattern(offset + at), take) != 0 ? 1 : 0;
      at += take;
    }
  };
  for (const ReadLoss::Range& range : loss.Ranges()) {
    compare(range.at, false);
    compare(range.at + range.length, true);
  }
  compare(count, false);
  EXPECT_EQ(wrong, 0u);
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> Ranges(const ReadLoss& loss) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  for (const ReadLoss::Range& range : loss.Ranges()) ranges.emplace_back(range.at, range.length);
  return ranges;
}

TEST(VolumeReadsTest, AFailingReadLosesOnlyItsBadSectors) {
  struct Case {
    const char* name;
    std::uint32_t sector;  // the disk's logical sector size; 0: it does not say
    std::uint64_t offset;
    std::uint32_t count;
    std::vector<FailingDisk::Bad> bad;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> lost;  // from the read's start
    std::size_t maxReads;
  };
  const Case cases[] = {
      {"4 KiB of 1 MiB", 0, 0, 1 * MiB, {{300 * KiB, 304 * KiB}}, {{300 * KiB, 4 * KiB}}, 45},
      {"unaligned read", 0, 1000, 5000, {{2048, 2560}}, {{1048, 512}}, 12},
      {"a part sector at the start", 0, 700, 3000, {{512, 1024}}, {{0, 324}}, 8},
      {"the last sector", 0, 0, 64 * KiB, {{64 * KiB - 512, 64 * KiB}}, {{64 * KiB - 512, 512}}, 20},
      {"two ranges", 0, 0, 64 * KiB, {{4096, 4608}, {8192, 9216}}, {{4096, 512}, {8192, 1024}}, 32},
      {"a bad byte costs its 4096-byte sector", 4096, 0, 64 * KiB, {{8192, 8193}}, {{8192, 4096}}, 12},
      {"any code of a bad sector", 0, 0, 8 * KiB,
       {{512, 1024, code::SectorNotFound}, {2048, 2560, code::ReadFault}, {4096, 4608, code::IoDevice},
        {6144, 6656, code::Seek}},
       {{512, 512}, {2048, 512}, {4096, 512}, {6144, 512}}, 32},
      {"a read that fails once", 0, 0, 512, {{0, 512, code::Crc, 1}}, {}, 2},
      {"a read that fails twice", 0, 0, 512, {{0, 512, code::Crc, 2}}, {{0, 512}}, 2},
      {"a sector that fails once in a large read", 0, 0, 16 * KiB, {{4096, 4608, code::Crc, 2}}, {}, 6},
      {"20 bad sectors: a skip, then read back", 0, 0, 64 * KiB, {{8192, 8192 + 20 * 512}}, {{8192, 20 * 512}}, 70},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FailingDisk disk(2 * MiB, test.sector);
    disk.bad = test.bad;
    CVolumeReads reads;
    reads.Attach(&disk);
    std::vector<std::uint8_t> buffer(test.count, 0xEE);
    ReadLoss loss;
    std::uint32_t delivered = 0;
    ASSERT_EQ(reads.Read(test.offset, buffer.data(), test.count, &delivered, &loss), code::Success);
    EXPECT_EQ(delivered, test.count);
    EXPECT_EQ(Ranges(loss), test.lost);
    EXPECT_EQ(loss.Code(), test.lost.empty() ? code::Success : test.bad[0].why);
    ExpectBytes(buffer, test.offset, test.count, loss);
    EXPECT_LE(disk.reads, test.maxReads);
  }
}

TEST(VolumeReadsTest, WhatEndsARead) {
  struct Case {
    const char* name;
    std::vector<FailingDisk::Bad> bad;
    std::uint64_t diskSize;
    bool withLoss;
    DWORD expected;
    std::uint32_t delivered;   // when it succeeds
    std::size_t reads;         // 0: not counted
  };
  const Case cases[] = {
      {"a disk that is gone", {{0, UINT64_MAX, code::NotReady}}, 1 * MiB, true, code::NotReady, 0, 1},
      {"gone behind a bad sector", {{4096, 4608}, {8192, UINT64_MAX, code::DeviceNotConnected}}, 1 * MiB, true,
       code::DeviceNotConnected, 0, 0},
      {"a device that fails otherwise", {{4096, 4608, code::GenFailure}}, 1 * MiB, true, code::GenFailure, 0, 1},
      {"no loss wanted: tried twice, then failed", {{4096, 4608}}, 1 * MiB, false, code::Crc, 0, 2},
      {"no loss wanted: a second try that reads", {{4096, 4608, code::Crc, 1}}, 1 * MiB, false, code::Success,
       16 * KiB, 2},
      {"the disk ends after a bad sector", {{1024, 1536}}, 6000, true, code::Success, 6000, 0},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FailingDisk disk(test.diskSize);
    disk.bad = test.bad;
    CVolumeReads reads;
    reads.Attach(&disk);
    std::vector<std::uint8_t> buffer(16 * KiB);
    ReadLoss loss;
    std::uint32_t delivered = 0;
    EXPECT_EQ(reads.Read(0, buffer.data(), 16 * KiB, &delivered, test.withLoss ? &loss : nullptr), test.expected);
    if (test.expected == code::Success) {
      EXPECT_EQ(delivered, test.delivered);
    }
    if (test.reads != 0) {
      EXPECT_EQ(disk.reads, test.reads);
    }
  }
}

// A long bad stretch read in 1 MiB pieces, as the scan and recovery read:
// the reads grow with the stretch's megabytes, not its sectors, and its
// ends are found to the sector.
TEST(VolumeReadsTest, ALongBadStretchIsSkipped) {
  struct Case {
    const char* name;
    std::uint32_t sector;
    std::uint64_t from, to;
    std::size_t maxFailedReads, maxReads;  // read sector by sector, 64 MiB would take 262,144 failed reads
  };
  const Case cases[] = {
      {"64 MiB, 512-byte sectors", 0, 5 * MiB + 4096, 69 * MiB + 4096, 400, 450},
      {"64 MiB, 4096-byte sectors", 4096, 5 * MiB + 4096, 69 * MiB + 4096, 400, 450},
      {"33 sectors across two reads", 0, 5 * MiB - 3 * 512, 5 * MiB + 30 * 512, 90, 200},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FailingDisk disk(80 * MiB, test.sector);
    disk.bad = {{test.from, test.to}};
    CVolumeReads reads;
    reads.Attach(&disk);
    std::vector<std::uint8_t> buffer(1 * MiB);
    std::uint64_t lost = 0;
    for (std::uint64_t at = 0; at < disk.size; at += 1 * MiB) {
      ReadLoss loss;
      std::uint32_t delivered = 0;
      ASSERT_EQ(reads.Read(at, buffer.data(), 1 * MiB, &delivered, &loss), code::Success);
      ASSERT_EQ(delivered, 1 * MiB);
      ExpectBytes(buffer, at, 1 * MiB, loss);
      lost += loss.Bytes();
    }
    EXPECT_EQ(lost, test.to - test.from);
    EXPECT_LE(disk.failedReads, test.maxFailedReads);
    EXPECT_LE(disk.reads, test.maxReads);
  }
}

TEST(VolumeReadsTest, ALossMovesWithItsBytes) {
  ReadLoss part;
  ASSERT_TRUE(part.Add(100, 50, code::Crc));
  ASSERT_TRUE(part.Add(150, 10, code::ReadFault));  // adjacent: one range, the first code kept
  ASSERT_TRUE(part.Add(400, 100, code::Crc));
  ReadLoss whole;
  ASSERT_TRUE(whole.Append(part, 120, 300, 1000));  // [120, 420) of `part` lands on 1000
  EXPECT_EQ(Ranges(whole), (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1000, 40}, {1280, 20}}));
  EXPECT_EQ(whole.Bytes(), 60u);
  EXPECT_EQ(whole.Code(), code::Crc);
  whole.TrimEnd(30);
  EXPECT_EQ(Ranges(whole), (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1000, 30}}));
  whole.TrimEnd(30);
  EXPECT_TRUE(whole.Empty());
  EXPECT_EQ(whole.Code(), code::Success);
}

std::u16string FileName(std::uint32_t record) {
  return u"f" + Utf16FromUtf8(std::to_string(record));
}

// A crafted volume whose records 16 to 39 but 30 are deleted files "fNN",
// read in chunks of 4 records from a disk that fails over chosen records
// once the volume is open.
class FailingMftTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (std::uint32_t i = 1; i < 40; ++i) {
      const std::uint8_t flags = i < ntfs::FirstUserRecord || i == 30 ? ntfs::RecordInUse : 0;
      const std::u16string name = i == 5 ? u"." : FileName(i);
      volume.records.push_back(RecordBuilder(flags | (i == 5 ? ntfs::RecordIsDirectory : 0))
                                   .Sequence(3)
                                   .StandardInformation(FileTimeUtc(2020, 1, 1, 0, 0, 0), FileTimeUtc(2020, 1, 1, 0, 0, 0))
                                   .FileName(5 | (3ull << 48), 0x20, name)
                                   .ResidentData(Bytes(100, 0x41))
                                   .End()
                                   .Build());
    }
    volume.WriteTo(memory);
  }
  // Byte position of record `index` on the disk.
  std::uint64_t RecordAt(std::uint32_t index) const {
    return volume.ClusterOffset(volume.mftCluster) + std::uint64_t{index} * ntfs::RecordSize;
  }

  CraftedVolume volume;
  MemoryDisk memory;
};

TEST_F(FailingMftTest, ARecordOnABadSectorCostsOnlyItself) {
  struct Case {
    const char* name;
    std::vector<FailingDisk::Bad> bad;  // as positions of records: filled in below
    std::vector<std::uint32_t> lostRecords;
    std::uint32_t unreadable;
    DWORD scan;
  };
  const auto sectorOf = [&](std::uint32_t record, std::uint32_t half) {
    return FailingDisk::Bad{RecordAt(record) + half * 512, RecordAt(record) + half * 512 + 512};
  };
  const Case cases[] = {
      {"one sector of a deleted file", {sectorOf(25, 1)}, {25}, 1, code::Success},
      {"4 KiB: four records", {{RecordAt(20), RecordAt(24)}}, {20, 21, 22, 23}, 4, code::Success},
      {"the second half of a file in use", {sectorOf(30, 1)}, {}, 1, code::Success},
      {"the last record", {sectorOf(39, 0)}, {39}, 1, code::Success},
      {"the disk gone from record 35 on: the chunks before stay", {{RecordAt(35), UINT64_MAX, code::NotReady}},
       {32, 33, 34, 35, 36, 37, 38, 39}, 0, code::NotReady},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FailingDisk disk(memory);
    CNTFSDrive drive;
    drive.AttachDisk(&disk);
    drive.SetPartitionStart(volume.partitionStart);
    drive.SetChunkBytes(4 * ntfs::RecordSize);
    ASSERT_EQ(drive.Initialize(), code::Success);
    disk.bad = test.bad;
    std::atomic<bool> stop{false};
    RowSink sink;
    ScanTotals totals;
    RowTable rows;
    EXPECT_EQ(ScanRecords(drive, u"C:\\", stop, sink, &totals, &rows), test.scan);
    std::vector<std::uint32_t> missing;
    std::size_t row = 0;
    for (std::uint32_t record = ntfs::FirstUserRecord; record < 40; ++record) {
      if (record == 30) continue;  // in use
      if (row < rows.Rows() && rows.At(row).record == record) {
        EXPECT_EQ(MakeRow(rows, row).name, FileName(record));
        ++row;
      } else {
        missing.push_back(record);
      }
    }
    EXPECT_EQ(missing, test.lostRecords);
    EXPECT_EQ(totals.unreadable, test.unreadable);
    // A record read alone on demand says why it cannot be read.
    MFTFileInfo info;
    for (std::uint32_t record : test.lostRecords) {
      EXPECT_EQ(drive.ReadRecordSummary(record, false, &info), test.scan == code::Success ? code::Crc : code::NotReady);
    }
  }
}

TEST_F(FailingMftTest, WhatTheVolumeNeedsFailsInitialize) {
  struct Case {
    const char* name;
    FailingDisk::Bad bad;
    DWORD expected;
  };
  const Case cases[] = {
      {"the boot sector", {volume.PartitionOffset(), volume.PartitionOffset() + 512}, code::Crc},
      {"record 0", {RecordAt(0) + 512, RecordAt(0) + 1024, code::SectorNotFound}, code::SectorNotFound},
      {"the $MFT's last cluster: the disk still reaches it", {RecordAt(39), RecordAt(40)}, code::Success},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FailingDisk disk(memory);
    disk.bad = {test.bad};
    CNTFSDrive drive;
    drive.AttachDisk(&disk);
    drive.SetPartitionStart(volume.partitionStart);
    EXPECT_EQ(drive.Initialize(), test.expected);
  }
}

// Record 0 maps records 0 to 23 itself, and names extension record 20,
// which maps records 24 to 39: without it the rest of the $MFT is not found.
TEST_F(FailingMftTest, AnExtensionRecordThatMapsTheMftIsNeeded) {
  MemoryDisk split = memory;
  const std::uint64_t mftCluster = volume.mftCluster;
  const std::int64_t firstPiece = static_cast<std::int64_t>(mftCluster);
  split.Write(RecordAt(0), RecordBuilder(ntfs::RecordInUse)
                               .Sequence(1)
                               .StandardInformation(FileTimeUtc(2020, 1, 1, 0, 0, 0), FileTimeUtc(2020, 1, 1, 0, 0, 0))
                               .FileName(5 | (5ull << 48), 0x06, u"$MFT")
                               .AttributeList({{ntfs::TypeData, 0, 1ull << 48}, {ntfs::TypeData, 6, 20 | (1ull << 48)}})
                               .NonResidentData(MakeRunList({{6, firstPiece, 1}}), 40 * 1024, 40 * 1024, 0, 5)
                               .End()
                               .Build());
  split.Write(RecordAt(20), RecordBuilder(ntfs::RecordInUse)
                                .Sequence(1)
                                .BaseReference(1ull << 48)
                                .NonResidentData(MakeRunList({{4, firstPiece + 6, 1}}), 0, 0, 6, 9)
                                .End()
                                .Build());
  struct Case {
    const char* name;
    std::vector<FailingDisk::Bad> bad;
    DWORD expected;
  };
  const Case cases[] = {
      {"all read", {}, code::Success},
      {"the extension record", {{RecordAt(20), RecordAt(21)}}, code::Crc},
      {"a record it maps", {{RecordAt(30), RecordAt(31)}}, code::Success},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FailingDisk disk(split);
    disk.bad = test.bad;
    CNTFSDrive drive;
    drive.AttachDisk(&disk);
    drive.SetPartitionStart(volume.partitionStart);
    EXPECT_EQ(drive.Initialize(), test.expected);
    EXPECT_EQ(drive.RecordCount(), test.expected == code::Success ? 40u : 0u);
  }
}

}  // namespace
