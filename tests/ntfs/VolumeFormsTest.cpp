// Crafted volumes for what no volume made here shows, or shows only by
// chance: an initialised size below the real size, encrypted content,
// compressed units of every kind and damaged ones, attribute lists that
// point wrong, every record size the boot sector may give, parents checked
// by sequence number, a $MFT in many fragments read in awkward chunks.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <random>

#include "ntfs/NTFSDrive.h"
#include "platform/Text.h"
#include "recover/Recovery.h"
#include "scan/Scanner.h"
#include "support/Lznt1Encoder.h"
#include "support/TestVolumes.h"
#include "view/RowCells.h"

namespace {

constexpr std::uint8_t Deleted = 0;
constexpr std::uint8_t InUse = ntfs::RecordInUse;
constexpr std::uint8_t Directory = ntfs::RecordIsDirectory;
constexpr std::uint64_t Root = 5 | (5ull << 48);

std::uint64_t Ref(std::uint64_t record, std::uint16_t sequence) { return record | (std::uint64_t{sequence} << 48); }

Bytes Pattern(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  Bytes bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

class RowsSink : public RowSink {};

// A crafted volume on a memory disk; records are given by index (1 on) and
// file data by cluster.
class FormsTest : public ::testing::Test {
 protected:
  void SetUp() override { Record(5, RecordBuilder(InUse | Directory).Sequence(5).FileName(Root, 0x10000000, u".").End().Build()); }
  void Record(std::uint32_t index, Bytes bytes) {
    if (volume.records.size() < index) volume.records.resize(index, RecordBuilder(InUse).End().Build());
    volume.records[index - 1] = std::move(bytes);
  }
  void Clusters(std::uint64_t lcn, const Bytes& bytes) { disk.Write(volume.ClusterOffset(lcn), bytes); }
  DWORD Open() {
    volume.WriteTo(disk);
    drive.AttachDisk(&disk);
    drive.SetPartitionStart(volume.partitionStart);
    return drive.Initialize();
  }
  // Whole read and stream of a record: the code of each and what arrived.
  void Read(std::uint32_t index, DWORD* whole, Bytes* wholeBytes, DWORD* streamed, Bytes* streamedBytes) {
    ReadBothWays(drive, index, whole, wholeBytes, streamed, streamedBytes);
  }

  CraftedVolume volume;
  MemoryDisk disk;
  CNTFSDrive drive;
};

TEST_F(FormsTest, ValidDataLengthAndEncryption) {
  const Bytes onDisk = Pattern(3 * 4096, 1);
  Clusters(100, onDisk);
  struct Case {
    const char* what;
    std::uint64_t initialized;
    std::uint16_t flags;
    std::uint32_t fileAttributes;
    DWORD expected;
    std::size_t fromDisk;  // bytes that come from the disk; the rest are zeros
  };
  const Case cases[] = {
      {"written up to 5000 of 10000 bytes", 5000, 0, 0x20, code::Success, 5000},
      {"nothing written yet", 0, 0, 0x20, code::Success, 0},
      {"an initialised size past the real size", 20000, 0, 0x20, code::Success, 10000},
      {"encrypted $DATA", UINT64_MAX, ntfs::AttrFlagEncrypted, 0x20, code::FileEncrypted, 0},
      {"an encrypted file", UINT64_MAX, 0, 0x4020, code::FileEncrypted, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NonResidentOptions options;
    options.initializedSize = c.initialized;
    options.flags = c.flags;
    Record(30, RecordBuilder(Deleted)
                   .StandardInformation(1, 2, 3, 4, c.fileAttributes)
                   .FileName(Root, 0x20, u"file.bin")
                   .NonResident(MakeRunList({{3, 100, 2}}), 10000, 3 * 4096, 0, 2, options)
                   .End()
                   .Build());
    ASSERT_EQ(Open(), code::Success);
    MFTFileInfo info;
    ASSERT_EQ(drive.ReadRecordSummary(30, false, &info), code::Success);
    EXPECT_EQ(info.dataSize, 10000u);  // listed all the same
    DWORD whole = 0, streamed = 0;
    Bytes wholeBytes, streamedBytes;
    Read(30, &whole, &wholeBytes, &streamed, &streamedBytes);
    EXPECT_EQ(whole, c.expected);
    EXPECT_EQ(streamed, c.expected);
    if (c.expected != code::Success) {
      EXPECT_TRUE(wholeBytes.empty() && streamedBytes.empty());
      // Recovery refuses it before it creates anything.
      TempDir out;
      RecoveredFile file;
      EXPECT_EQ(RecoverRecord(drive, 30, Utf16FromUtf8(out.Path()), u"C:\\", false, &file), c.expected);
      EXPECT_TRUE(std::filesystem::is_empty(out.Path()));
      continue;
    }
    Bytes expected(onDisk.begin(), onDisk.begin() + static_cast<std::ptrdiff_t>(c.fromDisk));
    expected.resize(10000, 0);
    EXPECT_EQ(wholeBytes, expected);
    EXPECT_EQ(streamedBytes, expected);
  }
}

TEST_F(FormsTest, CompressedUnitsRawSparseCompressedAndTheSparseTail) {
  // 512-byte clusters, 16 to a unit: units of 8 KiB.
  volume.sectorsPerCluster = 1;
  const std::size_t unit = 8192;
  Bytes text(unit);
  for (std::size_t i = 0; i < unit; ++i) text[i] = static_cast<std::uint8_t>("units of text, "[i % 15]);
  const Bytes noise = Pattern(unit, 2);
  Bytes tail(2000);
  for (std::size_t i = 0; i < tail.size(); ++i) tail[i] = static_cast<std::uint8_t>("tail "[i % 5]);
  const Bytes packedText = Lznt1Compress(text), packedTail = Lznt1Compress(tail);
  const std::uint64_t textClusters = (packedText.size() + 511) / 512, tailClusters = (packedTail.size() + 511) / 512;
  ASSERT_LT(textClusters, 16u);
  Clusters(200, packedText);
  Clusters(300, noise);
  Clusters(400, packedTail);
  Clusters(500, Bytes(512, 0));  // the disk goes on past the last cluster
  // Unit 0 compressed, unit 1 stored raw, unit 2 all sparse, unit 3 a
  // compressed tail whose list stops before the allocation.
  const Bytes runs = MakeRunList({{textClusters, 200, 2},
                                  {16 - textClusters, 0, 0},
                                  {16, 300 - 200, 2},
                                  {16, 0, 0},
                                  {tailClusters, 400 - 300, 2}});
  Bytes expected = text;
  expected.insert(expected.end(), noise.begin(), noise.end());
  expected.resize(3 * unit, 0);
  expected.insert(expected.end(), tail.begin(), tail.end());

  struct Case {
    const char* what;
    std::uint64_t initialized;
    bool damaged;
    DWORD result;
  };
  const Case cases[] = {
      {"every kind of unit", UINT64_MAX, false, code::Success},
      {"written only into the second unit", unit + 100, false, code::Success},
      {"compressed data that lies about a chunk's length", UINT64_MAX, true, code::FileCorrupt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.damaged) {
      Bytes broken = packedText;
      broken[1] = 0xBF;  // a chunk of about 4 KiB in a unit's worth of input that ends long before
      broken.resize(100);
      Clusters(200, broken);
    }
    NonResidentOptions options;
    options.flags = ntfs::AttrFlagCompressed;
    options.compressionUnit = 4;
    options.initializedSize = c.initialized;
    Record(30, RecordBuilder(Deleted)
                   .FileName(Root, 0x20, u"packed.txt")
                   .NonResident(runs, expected.size(), 4 * unit, 0, 63, options)
                   .End()
                   .Build());
    ASSERT_EQ(Open(), code::Success);
    DWORD whole = 0, streamed = 0;
    Bytes wholeBytes, streamedBytes;
    Read(30, &whole, &wholeBytes, &streamed, &streamedBytes);
    EXPECT_EQ(whole, c.result);
    EXPECT_EQ(streamed, c.result);
    if (c.result != code::Success) continue;
    Bytes want = expected;
    if (c.initialized != UINT64_MAX) std::fill(want.begin() + static_cast<std::ptrdiff_t>(c.initialized), want.end(), 0);
    EXPECT_EQ(wholeBytes, want);
    EXPECT_EQ(streamedBytes, want);
  }
}

// A deleted file whose attribute list puts its name and two of its three
// $DATA pieces in extension records 31 and 32. Freed as Windows frees it:
// every sequence number is one past what the references hold.
class ListTest : public FormsTest {
 protected:
  struct Layout {
    std::uint16_t ext31Sequence = 8, ext32Sequence = 8;
    std::uint8_t ext32Flags = Deleted;
    std::uint64_t ext32Base = Ref(30, 4);
    std::vector<ListEntry> entries = {{ntfs::TypeFileName, 0, Ref(31, 7)},
                                      {ntfs::TypeData, 0, Ref(30, 4)},
                                      {ntfs::TypeData, 2, Ref(31, 7)},
                                      {ntfs::TypeData, 4, Ref(32, 7)}};
  };
  void Make(const Layout& layout) {
    Clusters(200, Pattern(6 * 4096, 9));
    Record(30, RecordBuilder(Deleted)
                   .Sequence(5)
                   .StandardInformation(1, 2)
                   .AttributeList(layout.entries)
                   .NonResidentData(MakeRunList({{2, 200, 2}}), 6 * 4096 - 100, 6 * 4096, 0, 1)
                   .End()
                   .Build());
    Record(31, RecordBuilder(Deleted)
                   .Sequence(layout.ext31Sequence)
                   .BaseReference(Ref(30, 4))
                   .FileName(Root, 0x20, u"big.bin")
                   .NonResidentData(MakeRunList({{2, 202, 2}}), 0, 0, 2, 3)
                   .End()
                   .Build());
    Record(32, RecordBuilder(layout.ext32Flags)
                   .Sequence(layout.ext32Sequence)
                   .BaseReference(layout.ext32Base)
                   .NonResidentData(MakeRunList({{2, 204, 2}}), 0, 0, 4, 5)
                   .End()
                   .Build());
  }
};

TEST_F(ListTest, PiecesAndNamesComeOnlyFromExtensionsThatStillBelong) {
  const Bytes content = Pattern(6 * 4096, 9);
  const std::uint64_t listed = 6 * 4096 - 100;  // the size the base's piece gives, whatever is missing
  struct Case {
    const char* what;
    std::function<void(Layout&)> change;
    const char16_t* name;
    std::uint64_t readable;
    std::uint64_t missingClusters;  // that no piece there maps
    DWORD result;
  };
  const Case cases[] = {
      {"every piece there", [](Layout&) {}, u"big.bin", 6 * 4096, 0, code::Success},
      {"the last extension taken by a new file", [](Layout& l) { l.ext32Flags = InUse, l.ext32Base = 0; }, u"big.bin",
       4 * 4096, 2, code::FileCorrupt},
      {"the last extension belonging to another file", [](Layout& l) { l.ext32Base = Ref(99, 4); }, u"big.bin",
       4 * 4096, 2, code::FileCorrupt},
      {"a sequence number moved twice: the middle piece", [](Layout& l) { l.ext31Sequence = 9; }, u"", 2 * 4096, 2,
       code::FileCorrupt},
      {"an entry past the $MFT", [](Layout& l) { l.entries[3].reference = Ref(5000, 7); }, u"big.bin", 4 * 4096, 2,
       code::FileCorrupt},
      {"entries naming the base and one extension twice",
       [](Layout& l) { l.entries.push_back({ntfs::TypeData, 2, Ref(31, 7)}), l.entries.push_back({ntfs::TypeData, 0, Ref(30, 4)}); },
       u"big.bin", 6 * 4096, 0, code::Success},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Layout layout;
    c.change(layout);
    Make(layout);
    ASSERT_EQ(Open(), code::Success);
    MFTFileInfo info;
    ASSERT_EQ(drive.ReadRecordSummary(30, false, &info), code::Success);
    EXPECT_EQ(std::u16string(info.name), c.name);
    EXPECT_EQ(info.dataSize, listed);
    // The clusters no piece maps count as overwritten.
    RecordFacts facts;
    ASSERT_EQ(drive.ReadRecordFacts(30, MftRead::OnDemand, &facts, nullptr), code::Success);
    EXPECT_EQ(facts.missingClusters, c.missingClusters);
    // An extension record is never a file of its own.
    ASSERT_EQ(drive.ReadRecordFacts(31, MftRead::OnDemand, &facts, nullptr), code::Success);
    EXPECT_TRUE(facts.isExtension);
    DWORD whole = 0, streamed = 0;
    Bytes wholeBytes, streamedBytes;
    Read(30, &whole, &wholeBytes, &streamed, &streamedBytes);
    EXPECT_EQ(whole, c.result);
    EXPECT_EQ(streamed, c.result);
    // What can be read comes out, and nothing more; asked for, the rest is
    // counted as missing.
    const Bytes readable(content.begin(), content.begin() + static_cast<std::ptrdiff_t>(std::min(c.readable, listed)));
    EXPECT_EQ(streamedBytes, readable);
    CollectingSink sink;
    std::uint64_t total = 0;
    ContentReport report;
    EXPECT_EQ(drive.ReadRecordContent(30, &sink, &total, &report), code::Success);
    EXPECT_EQ(sink.received, readable);
    EXPECT_EQ(report.missingBytes, listed - readable.size());
  }
}

TEST_F(ListTest, ADamagedListGivesWhatCameBeforeTheDamage) {
  Make(Layout{});
  // The third entry's length is 0: it and the entries after it are not read.
  Bytes& base = volume.records[29];
  std::size_t at = RecordBuilder::FirstAttribute;
  while (base[at] != ntfs::TypeAttributeList) at += base[at + ntfs::AttrLength] | (base[at + ntfs::AttrLength + 1] << 8);
  const std::size_t value = at + base[at + ntfs::AttrValueOffset];
  base[value + 2 * 0x20 + ntfs::AleLength] = 0;
  ASSERT_EQ(Open(), code::Success);
  MFTFileInfo info;
  ASSERT_EQ(drive.ReadRecordSummary(30, false, &info), code::Success);
  // Record 31 was read for the name and gave its piece too; 32 never was.
  EXPECT_EQ(std::u16string(info.name), u"big.bin");
  EXPECT_EQ(info.dataSize, 6 * 4096 - 100u);
  RecordFacts facts;
  ASSERT_EQ(drive.ReadRecordFacts(30, MftRead::OnDemand, &facts, nullptr), code::Success);
  EXPECT_EQ(facts.missingClusters, 2u);
}

TEST_F(FormsTest, RecordSizesFromTheBootSector) {
  struct Case {
    std::uint8_t clustersPerRecord;
    std::uint32_t recordBytes;  // 0: refused with 87
  };
  const Case cases[] = {{0xF6, 1024}, {0xF4, 4096}, {0xF7, 512}, {0xF0, 65536}, {0x01, 4096},
                        {0x00, 0},    {0x03, 0},    {0xEF, 0},   {0xE0, 0},     {0x80, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.clustersPerRecord));
    volume = CraftedVolume{};
    disk = MemoryDisk{};
    volume.clustersPerRecord = c.clustersPerRecord;
    volume.recordBytes = c.recordBytes != 0 ? c.recordBytes : 1024;
    const std::uint32_t size = volume.recordBytes;
    Record(5, RecordBuilder(InUse | Directory, size).Sequence(5).FileName(Root, 0x10000000, u".").End().Build());
    Record(6, RecordBuilder(Deleted, size).FileName(Root, 0x20, u"gone.txt").ResidentData(Bytes(100, 7)).End().Build());
    for (std::uint32_t i = 1; i <= 6; ++i) {
      if (volume.records[i - 1].size() != size) volume.records[i - 1] = RecordBuilder(InUse, size).End().Build();
    }
    const DWORD result = Open();
    if (c.recordBytes == 0) {
      EXPECT_EQ(result, code::InvalidParameter);
      continue;
    }
    ASSERT_EQ(result, code::Success);
    EXPECT_EQ(drive.RecordSize(), c.recordBytes);
    EXPECT_EQ(drive.RecordCount(), 7u);
    MFTFileInfo info;
    ASSERT_EQ(drive.ReadRecordSummary(6, false, &info), code::Success);
    EXPECT_EQ(std::u16string(info.name), u"gone.txt");
    EXPECT_EQ(info.dataSize, 100u);
  }
}

TEST_F(FormsTest, ParentsAreCheckedBySequenceNumber) {
  Record(30, RecordBuilder(InUse | Directory).Sequence(3).FileName(Root, 0x10000000, u"Live").End().Build());
  Record(31, RecordBuilder(Directory).Sequence(6).FileName(Root, 0x10000000, u"Gone").End().Build());
  // A folder whose name lives in an extension record.
  Record(32, RecordBuilder(InUse | Directory)
                 .Sequence(2)
                 .AttributeList({{ntfs::TypeFileName, 0, Ref(33, 4)}})
                 .End()
                 .Build());
  Record(33, RecordBuilder(InUse).Sequence(4).BaseReference(Ref(32, 2)).FileName(Root, 0x10000000, u"Big").End().Build());
  const std::pair<std::uint64_t, const char16_t*> files[] = {
      {Ref(30, 3), u"C:\\Live\\"},  {Ref(30, 2), u"?\\"},          {Ref(30, 0), u"C:\\Live\\"},
      {Ref(31, 5), u"C:\\Gone\\"},  {Ref(31, 6), u"C:\\Gone\\"},  {Ref(31, 4), u"?\\"},
      {Ref(32, 2), u"C:\\Big\\"},   {Ref(31, 7), u"?\\"}};
  std::uint32_t index = 34;
  for (const auto& [parent, path] : files) {
    Record(index++, RecordBuilder(Deleted).FileName(parent, 0x20, u"f").ResidentData(Bytes(10, 1)).End().Build());
  }
  // One more in record 20, which other drivers use for files.
  Record(20, RecordBuilder(Deleted).FileName(Ref(30, 3), 0x20, u"low").ResidentData(Bytes(10, 1)).End().Build());
  ASSERT_EQ(Open(), code::Success);
  const std::atomic<bool> stop{false};
  RowsSink sink;
  ScanTotals totals;
  RowTable rows;
  ASSERT_EQ(ScanRecords(drive, u"C:\\", stop, sink, &totals, &rows), code::Success);
  ASSERT_EQ(rows.Rows(), 1 + std::size(files));
  EXPECT_EQ(rows.At(0).record, 20u);
  EXPECT_EQ(CellText(rows, 0, ColumnRecord), u"-10");
  EXPECT_EQ(rows.Path(0), u"C:\\Live\\");
  for (std::size_t i = 0; i < std::size(files); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rows.Path(i + 1), files[i].second);
  }
}

TEST_F(FormsTest, AnMftInManyFragmentsReadsAlikeInAnyChunk) {
  for (std::uint32_t i = 30; i < 60; ++i) {
    Record(i, RecordBuilder(i % 3 == 0 ? InUse : Deleted)
                  .FileName(Root, 0x20, u"file" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)))
                  .ResidentData(Bytes(i, static_cast<std::uint8_t>(i)))
                  .End()
                  .Build());
  }
  auto scan = [&](bool fragmented, std::uint32_t chunk) {
    volume.mftFragmented = fragmented;
    disk = MemoryDisk{};
    drive.SetChunkBytes(chunk);
    EXPECT_EQ(Open(), code::Success);
    const std::atomic<bool> stop{false};
    RowsSink sink;
    ScanTotals totals;
    RowTable rows;
    EXPECT_EQ(ScanRecords(drive, u"C:\\", stop, sink, &totals, &rows), code::Success);
    std::vector<std::u16string> cells;
    for (std::size_t row = 0; row < rows.Rows(); ++row) {
      for (int column = 0; column < ColumnCount; ++column) cells.push_back(CellText(rows, row, static_cast<Column>(column)));
    }
    return cells;
  };
  const auto expected = scan(false, CNTFSDrive::DefaultChunkBytes);
  ASSERT_EQ(expected.size(), 20u * ColumnCount);
  // One record, three (not a multiple of the 4 KiB clusters), five and a
  // bit, and more than the whole $MFT.
  for (std::uint32_t chunk : {1024u, 3072u, 5500u, 1u << 20}) {
    SCOPED_TRACE(chunk);
    EXPECT_EQ(scan(true, chunk), expected);
  }
}

}  // namespace
