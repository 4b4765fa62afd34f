#include <gtest/gtest.h>

#include <map>

#include "scan/Scanner.h"
#include "support/ScanRows.h"
#include "support/TestVolumes.h"

namespace {

constexpr std::uint8_t InUse = ntfs::RecordInUse;
constexpr std::uint8_t Directory = ntfs::RecordIsDirectory;
constexpr std::uint32_t Root = 5;

// Folders carry sequence number 3, the number the files' parent references give.
Bytes Dir(const std::u16string& name, std::uint64_t parent, std::uint8_t flags = InUse | Directory) {
  return RecordBuilder(flags)
      .Sequence(3)
      .StandardInformation(FileTimeUtc(2020, 1, 1, 0, 0, 0), FileTimeUtc(2020, 1, 1, 0, 0, 0))
      .FileName(parent, 0x10000000, name)
      .Resident(ntfs::TypeIndexRoot, Bytes(32, 0))
      .End()
      .Build();
}

Bytes File(const std::u16string& name, std::uint64_t parent, std::size_t size, std::uint8_t flags = 0,
           std::uint64_t created = FileTimeUtc(2008, 4, 7, 14, 24, 36)) {
  return RecordBuilder(flags)
      .StandardInformation(created, FileTimeUtc(2009, 12, 31, 23, 59, 59))
      .FileName(parent | (3ull << 48), 0x20, name)
      .ResidentData(Bytes(size, 0x41))
      .End()
      .Build();
}

class CollectingRows : public RowSink {
 public:
  void RowAdded(const RowTable& table, std::size_t row) override {
    rows.push_back(MakeRow(table, row));
    if (stopAfter != 0 && rows.size() == stopAfter) stop->store(true);
  }
  std::vector<ScanRow> rows;
  std::size_t stopAfter = 0;
  std::atomic<bool>* stop = nullptr;
};

// A volume whose records are given by index; the others are in-use files,
// record 5 the root.
class ScanTest : public ::testing::Test {
 protected:
  void Set(std::uint32_t index, Bytes record) { records[index] = std::move(record); }

  DWORD Scan(const std::u16string& driveText = u"C:\\") {
    CraftedVolume volume;
    std::uint32_t last = records.empty() ? 0 : records.rbegin()->first;
    for (std::uint32_t i = 1; i <= std::max(last, 35u); ++i) {
      auto given = records.find(i);
      if (given != records.end()) {
        volume.records.push_back(given->second);
      } else if (i == Root) {
        volume.records.push_back(Dir(u".", Root));
      } else {
        volume.records.push_back(File(u"inuse", Root, 10, InUse));
      }
    }
    volume.WriteTo(disk);
    drive.AttachDisk(&disk);
    drive.SetPartitionStart(volume.partitionStart);
    EXPECT_EQ(drive.Initialize(), code::Success);
    sink.stop = &stop;
    return ScanRecords(drive, driveText, stop, sink, &totals);
  }

  std::map<std::uint32_t, std::u16string> Paths() const {
    std::map<std::uint32_t, std::u16string> paths;
    for (const ScanRow& row : sink.rows) paths[row.recordIndex] = row.cells[ColumnPath] + row.cells[ColumnName];
    return paths;
  }

  std::map<std::uint32_t, Bytes> records;
  MemoryDisk disk;
  CNTFSDrive drive;
  CollectingRows sink;
  std::atomic<bool> stop{false};
  ScanTotals totals;
};

TEST_F(ScanTest, DeletedFilesWithContentBecomeRows) {
  Set(30, Dir(u"Docs", Root));
  Set(31, Dir(u"Old", 30, Directory));  // deleted folder
  Set(32, File(u"a.txt", Root, 100));
  Set(33, File(u"b.txt", 31, 700));
  Set(34, File(u"kept.txt", 30, 10, InUse));
  Set(35, File(u"empty.txt", 30, 0));
  Set(36, File(u"\u65E5\u672C.txt", 30, 5));
  ASSERT_EQ(Scan(), code::Success);
  EXPECT_EQ(Paths(), (std::map<std::uint32_t, std::u16string>{
                         {32, u"C:\\a.txt"}, {33, u"C:\\Docs\\Old\\b.txt"}, {36, u"C:\\Docs\\\u65E5\u672C.txt"}}));
  EXPECT_EQ(totals.examined, 21u);  // records 16 to 36
  EXPECT_EQ(totals.rows, 3u);
  const ScanRow& row = sink.rows[1];
  EXPECT_EQ(row.cells[ColumnSize], u"1 KB");
  EXPECT_EQ(row.cells[ColumnCreated], u"07.04.2008 14:24");
  EXPECT_EQ(row.cells[ColumnModified], u"31.12.2009 23:59");
  EXPECT_EQ(row.cells[ColumnRecord], u"3");
  EXPECT_EQ(row.size, 700u);
}

TEST_F(ScanTest, BrokenChainsGetTheUnknownPrefix) {
  Set(29, File(u"allbits.txt", UINT64_MAX, 1));  // the first reference asked for: every bit set
  Set(30, Dir(u"A", 31));
  Set(31, Dir(u"B", 30));                      // A and B are each other's parent
  Set(32, File(u"loop.txt", 30, 1));
  Set(33, File(u"orphan.txt", 0, 1));          // no parent at all
  Set(34, File(u"beyond.txt", 900000, 1));     // parent past the MFT
  Set(35, Bytes(1024, 0));                     // a damaged slot
  Set(36, File(u"damaged.txt", 35, 1));
  Set(37, File(u"underfile.txt", 34, 1));      // parent is a file, not a folder
  Set(38, Dir(u"Lost", 35));
  Set(39, File(u"partial.txt", 38, 1));        // chain breaks above Lost
  ASSERT_EQ(Scan(), code::Success);
  EXPECT_EQ(Paths(), (std::map<std::uint32_t, std::u16string>{{29, u"?\\allbits.txt"},
                                                                {32, u"?\\B\\A\\loop.txt"},
                                                                {33, u"?\\orphan.txt"},
                                                                {34, u"?\\beyond.txt"},
                                                                {36, u"?\\damaged.txt"},
                                                                {37, u"?\\underfile.txt"},
                                                                {39, u"?\\Lost\\partial.txt"}}));
  // The damaged slot is counted and passed over; records after it are still scanned.
  EXPECT_EQ(totals.examined, 24u);
}

TEST_F(ScanTest, CacheFoldersAreLeftOut) {
  Set(30, Dir(u"Opera", Root));
  Set(31, Dir(u"Temporary Internet Files", Root));
  Set(32, Dir(u"Firefox", Root));
  Set(33, Dir(u"firefox", Root));
  Set(34, Dir(u"Cache", 32));
  Set(35, File(u"1.dat", 30, 1));
  Set(36, File(u"2.dat", 31, 1));
  Set(37, File(u"3.dat", 34, 1));  // below Firefox, two levels up
  Set(38, File(u"4.dat", 33, 1));  // the comparison is case-sensitive
  Set(39, File(u"5.dat", Root, 1));
  ASSERT_EQ(Scan(), code::Success);
  EXPECT_EQ(Paths(), (std::map<std::uint32_t, std::u16string>{{38, u"C:\\firefox\\4.dat"}, {39, u"C:\\5.dat"}}));
  EXPECT_EQ(totals.examined, 24u);
  EXPECT_EQ(totals.rows, 2u);
}

TEST_F(ScanTest, LongNamesAndDeepChainsAreBounded) {
  // 25 nested folders of 99 characters: the chain would pass 1999 characters.
  std::uint64_t parent = Root;
  for (std::uint32_t i = 0; i < 25; ++i) {
    Set(30 + i, Dir(std::u16string(99, static_cast<char16_t>(u'a' + i)), parent));
    parent = 30 + i;
  }
  Set(55, File(std::u16string(255, u'n'), parent, 1));
  ASSERT_EQ(Scan(), code::Success);
  ASSERT_EQ(sink.rows.size(), 1u);
  const ScanRow& row = sink.rows[0];
  EXPECT_EQ(row.name.size(), 255u);
  EXPECT_EQ(row.cells[ColumnName].size(), 254u);
  EXPECT_EQ(row.cells[ColumnPath].size(), 254u);
  // The innermost folders that fit, under "?\": the walk did not reach the root.
  EXPECT_EQ(row.path.substr(0, 2), u"?\\");
  EXPECT_LE(row.path.size(), 2 + MaxChainText);
  EXPECT_EQ(row.path.size(), 2u + 19 * 100);
  EXPECT_EQ(row.path.substr(row.path.size() - 100), std::u16string(99, u'y') + u"\\");
}

// Ten thousand folders one inside the other, a deleted file in each: every
// folder's path is made once, from its parent's, whatever the depth.
TEST_F(ScanTest, AChainTenThousandFoldersDeepCostsWhatItsPathsHold) {
  constexpr std::uint32_t Depth = 10000;
  std::uint64_t parent = Root;
  for (std::uint32_t i = 0; i < Depth; ++i) {
    Set(30 + 2 * i, Dir(u"d", parent));
    Set(31 + 2 * i, File(u"f", 30 + 2 * i, 1));
    parent = 30 + 2 * i;
  }
  ASSERT_EQ(Scan(), code::Success);
  ASSERT_EQ(sink.rows.size(), Depth);
  // "d\" a level: whole up to 999 levels, then the innermost 999 under "?\".
  const auto levels = [](std::size_t count) {
    std::u16string text;
    for (std::size_t i = 0; i < count; ++i) text += u"d\\";
    return text;
  };
  EXPECT_EQ(sink.rows[0].path, u"C:\\d\\");
  EXPECT_EQ(sink.rows[998].path, u"C:\\" + levels(999));
  EXPECT_EQ(sink.rows[999].path, u"?\\" + levels(999));
  EXPECT_EQ(sink.rows[Depth - 1].path, u"?\\" + levels(999));
}

TEST_F(ScanTest, DriveTextsBecomePrefixes) {
  Set(30, File(u"x", Root, 1));
  ASSERT_EQ(Scan(u"Unknown"), code::Success);
  EXPECT_EQ(sink.rows.at(0).path, u"Unknown\\");
  sink.rows.clear();
  ASSERT_EQ(Scan(u"A very long drive text indeed\\"), code::Success);
  EXPECT_EQ(sink.rows.at(0).path, u"A very long drive t\\");
}

TEST_F(ScanTest, StopIsSeenBeforeEachRecord) {
  for (std::uint32_t i = 30; i < 40; ++i) Set(i, File(u"f", Root, 1));
  sink.stopAfter = 3;
  ASSERT_EQ(Scan(), code::Success);
  EXPECT_EQ(sink.rows.size(), 3u);
  EXPECT_EQ(totals.examined, 17u);  // records 16 to 32
  EXPECT_EQ(totals.rows, 3u);
}

}  // namespace
