#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <numeric>

#include "ntfs/MFTRecord.h"
#include "support/MemoryDisk.h"
#include "support/RecordBuilder.h"

namespace {

constexpr std::uint32_t Cluster = 4096;
constexpr std::uint8_t Deleted = 0;
constexpr std::uint8_t DeletedDirectory = ntfs::RecordIsDirectory;
constexpr std::uint8_t InUse = ntfs::RecordInUse;
constexpr std::uint8_t InUseDirectory = ntfs::RecordInUse | ntfs::RecordIsDirectory;

Bytes Pattern(std::size_t size, std::uint8_t seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 9));
  return bytes;
}

std::u16string KeptName(const CMFTRecord& record) {
  std::u16string name;
  const std::uint8_t* units = record.FileName() + ntfs::FnName;
  for (std::size_t i = 0; units[2 * i] | units[2 * i + 1]; ++i) {
    name += static_cast<char16_t>(units[2 * i] | (units[2 * i + 1] << 8));
  }
  return name;
}

std::uint64_t KeptTime(const CMFTRecord& record, std::size_t offset) {
  std::uint64_t value = 0;
  std::memcpy(&value, record.StandardInformation() + offset, 8);
  return value;
}

class RecordTest : public ::testing::Test {
 protected:
  // Parses `bytes` as a record of a volume on `disk` (clusters from byte 0).
  DWORD Parse(Bytes& bytes, bool skipContent, bool directoriesOnly) {
    record.SetDiskHandle(&disk);
    EXPECT_EQ(record.SetGeometry(ntfs::RecordSize, Cluster, 0), code::Success);
    return record.ParseRecord(bytes.data(), static_cast<std::uint32_t>(bytes.size()), skipContent,
                              directoriesOnly);
  }

  MemoryDisk disk{64 * Cluster};
  CMFTRecord record;
};

TEST_F(RecordTest, GeometryRefusesZeroAndOddSizes) {
  EXPECT_EQ(record.SetGeometry(0, Cluster, 0), code::InvalidParameter);
  EXPECT_EQ(record.SetGeometry(1024, 0, 0), code::InvalidParameter);
  EXPECT_EQ(record.SetGeometry(1023, Cluster, 0), code::InvalidParameter);
  EXPECT_EQ(record.SetGeometry(1024, 4095, 0), code::InvalidParameter);
  Bytes bytes = RecordBuilder(InUse).End().Build();
  // Nothing was stored, so the record cannot be parsed either.
  EXPECT_EQ(record.ParseRecord(bytes.data(), 1024, false, false), code::InvalidParameter);
}

TEST_F(RecordTest, KeepsWhatTheFlagsAsk) {
  struct Case {
    const char* what;
    std::uint8_t flags;
    bool skipContent, directoriesOnly;
    bool keepsAll;
  };
  const Case cases[] = {
      {"in-use file, summary", InUse, true, false, false},
      {"in-use file, content", InUse, false, false, true},
      {"in-use directory walked up", InUseDirectory, true, true, true},
      {"deleted file, summary", Deleted, true, false, true},
      {"deleted file walked up as directory", Deleted, true, true, false},
      {"in-use file walked up as directory", InUse, true, true, false},
      {"deleted directory walked up", DeletedDirectory, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = RecordBuilder(c.flags)
                      .StandardInformation(111, 222, 333, 444)
                      .FileName(0x0005000000000027ull, 0x20, u"notes.txt")
                      .ResidentData(Pattern(300, 1))
                      .End()
                      .Build();
    CMFTRecord fresh;
    fresh.SetDiskHandle(&disk);
    fresh.SetGeometry(ntfs::RecordSize, Cluster, 0);
    ASSERT_EQ(fresh.ParseRecord(bytes.data(), 1024, c.skipContent, c.directoriesOnly), code::Success);
    EXPECT_EQ(fresh.InUse(), (c.flags & InUse) != 0);
    EXPECT_EQ(KeptName(fresh), c.keepsAll ? u"notes.txt" : u"");
    EXPECT_EQ(KeptTime(fresh, ntfs::SiCreationTime), c.keepsAll ? 111u : 0u);
    EXPECT_EQ(KeptTime(fresh, ntfs::SiAccessTime), c.keepsAll ? 444u : 0u);
    EXPECT_EQ(fresh.DataSize(), c.keepsAll ? 300u : 0u);
    // Content is read only without skipContent.
    EXPECT_EQ(fresh.Data() != nullptr, c.keepsAll && !c.skipContent);
  }
}

TEST_F(RecordTest, UpdateSequenceRestoresEveryStrideAndRefusesTornRecords) {
  RecordBuilder builder(Deleted);
  builder.FileName(5, 0, u"a");
  // Fill a resident $DATA over both sector ends, so the fix-ups matter.
  builder.ResidentData(Pattern(800, 9));
  Bytes bytes = builder.End().Build(0x4242);
  ASSERT_EQ(bytes[1022], 0x42);
  const Bytes original = Pattern(800, 9);
  ASSERT_EQ(Parse(bytes, false, false), code::Success);
  EXPECT_EQ(bytes[1022], 0);  // restored in place
  ASSERT_EQ(record.DataSize(), 800u);
  EXPECT_EQ(0, std::memcmp(record.Data(), original.data(), original.size()));

  // A torn record: the last bytes of a sector do not carry the sequence
  // number. It is damaged, and so is an update sequence that does not fit
  // the record size.
  Bytes torn = builder.Build(0x4242);
  torn[1022] = 0x13;
  CMFTRecord again;
  again.SetDiskHandle(&disk);
  again.SetGeometry(ntfs::RecordSize, Cluster, 0);
  EXPECT_EQ(again.ParseRecord(torn.data(), 1024, false, false), code::InvalidParameter);
  Bytes miscounted = builder.Build(0x4242);
  miscounted[ntfs::RecordUsaCount] = 9;
  EXPECT_EQ(again.ParseRecord(miscounted.data(), 1024, false, false), code::InvalidParameter);
}

TEST_F(RecordTest, TheLastFileNameWinsAndLeavesNothingOfAnEarlierOne) {
  Bytes bytes = RecordBuilder(Deleted)
                    .FileName(5, 0, u"longname.txt")
                    .FileName(7, 0x01, u"abc")
                    .End()
                    .Build();
  ASSERT_EQ(Parse(bytes, true, false), code::Success);
  EXPECT_EQ(KeptName(record), u"abc");
  std::uint64_t parent = 0;
  std::memcpy(&parent, record.FileName(), 8);
  EXPECT_EQ(parent, 7u);
}

TEST_F(RecordTest, OnlyTheFirstDataAttributeCounts) {
  Bytes bytes = RecordBuilder(Deleted)
                    .FileName(5, 0, u"streams")
                    .ResidentData(Pattern(10, 3))
                    .ResidentData(Pattern(500, 4), "named")
                    .End()
                    .Build();
  ASSERT_EQ(Parse(bytes, false, false), code::Success);
  ASSERT_EQ(record.DataSize(), 10u);
  EXPECT_EQ(0, std::memcmp(record.Data(), Pattern(10, 3).data(), 10));
}

TEST_F(RecordTest, WalkEndsAtIndexRootEndMarkerOrZeroLength) {
  // A directory: nothing after $INDEX_ROOT is seen.
  Bytes directory = RecordBuilder(DeletedDirectory)
                        .FileName(5, 0x10000000, u"docs")
                        .Resident(ntfs::TypeIndexRoot, Bytes(32, 0))
                        .ResidentData(Pattern(10, 1))
                        .End()
                        .Build();
  ASSERT_EQ(Parse(directory, false, false), code::Success);
  EXPECT_EQ(KeptName(record), u"docs");
  EXPECT_EQ(record.DataSize(), 0u);

  // The end marker first: success with nothing kept.
  Bytes empty = RecordBuilder(Deleted).End().Build();
  CMFTRecord second;
  second.SetDiskHandle(&disk);
  second.SetGeometry(ntfs::RecordSize, Cluster, 0);
  ASSERT_EQ(second.ParseRecord(empty.data(), 1024, false, false), code::Success);
  EXPECT_EQ(KeptName(second), u"");
  EXPECT_EQ(second.DataSize(), 0u);

  // An attribute of length 0 ends the walk with success.
  RecordBuilder zero(Deleted);
  zero.FileName(5, 0, u"x");
  Bytes zeroLength = zero.Raw(Bytes{0x80, 0, 0, 0, 0, 0, 0, 0}).Build();
  CMFTRecord third;
  third.SetDiskHandle(&disk);
  third.SetGeometry(ntfs::RecordSize, Cluster, 0);
  ASSERT_EQ(third.ParseRecord(zeroLength.data(), 1024, false, false), code::Success);
  EXPECT_EQ(KeptName(third), u"x");
  EXPECT_EQ(third.DataSize(), 0u);
}

TEST_F(RecordTest, ShortOrOverlongValuesStayInsideTheirFields) {
  // A 16-byte $STANDARD_INFORMATION keeps two times and zeros.
  Bytes si(16, 0);
  PutLE(si, 0, 77, 8);
  PutLE(si, 8, 88, 8);
  Bytes bytes = RecordBuilder(Deleted).Resident(ntfs::TypeStandardInformation, si).FileName(5, 0, std::u16string(400, u'n')).End().Build();
  ASSERT_EQ(Parse(bytes, true, false), code::Success);
  EXPECT_EQ(KeptTime(record, ntfs::SiCreationTime), 77u);
  EXPECT_EQ(KeptTime(record, ntfs::SiModificationTime), 88u);
  EXPECT_EQ(KeptTime(record, ntfs::SiMftChangeTime), 0u);
  EXPECT_EQ(KeptName(record), std::u16string(400, u'n'));

  // A (non-resident) $FILE_NAME of 4000 bytes: cut to the 1090-byte area,
  // whose last unit stays zero; only what is kept is read.
  Bytes value(2 * Cluster, 0);
  for (std::size_t i = ntfs::FnName; i + 1 < value.size(); i += 2) value[i] = 'n';
  disk.Write(3 * Cluster, value);
  RecordBuilder builder(Deleted);
  builder.NonResidentData(MakeRunList({{2, 3, 1}}), 4000, 2 * Cluster, 0, 1);
  Bytes longName = builder.End().Build();
  PutLE(longName, RecordBuilder::FirstAttribute, ntfs::TypeFileName, 4);
  CMFTRecord second;
  second.SetDiskHandle(&disk);
  second.SetGeometry(ntfs::RecordSize, Cluster, 0);
  disk.reads = 0;
  ASSERT_EQ(second.ParseRecord(longName.data(), 1024, true, false), code::Success);
  EXPECT_EQ(KeptName(second), std::u16string(511, u'n'));
  EXPECT_EQ(disk.reads, 1u);
}

// Every offset or length that leaves the record or its value fails with 87,
// and nothing outside the record is read (ASan watches the exact buffer).
TEST_F(RecordTest, BoundsFailuresAre87) {
  struct Case {
    const char* what;
    std::function<void(Bytes&)> corrupt;
  };
  const std::size_t first = RecordBuilder::FirstAttribute;
  const Case cases[] = {
      {"slot of zeros", [](Bytes& b) { std::fill(b.begin(), b.end(), 0); }},
      {"no FILE signature", [](Bytes& b) { b[0] = 'B'; }},
      {"update sequence array past the record", [](Bytes& b) { PutLE(b, ntfs::RecordUsaOffset, 1020, 2); }},
      {"update sequence offset 0xFFFF", [](Bytes& b) { PutLE(b, ntfs::RecordUsaOffset, 0xFFFF, 2); }},
      {"first attribute past the record", [](Bytes& b) { PutLE(b, ntfs::RecordFirstAttribute, 1022, 2); }},
      {"attribute length past the record", [](Bytes& b) { PutLE(b, first + 4, 2000, 4); }},
      {"attribute length 0xFFFFFFFF", [](Bytes& b) { PutLE(b, first + 4, 0xFFFFFFFF, 4); }},
      {"resident value past its attribute", [](Bytes& b) { PutLE(b, first + 0x10, 200, 4); }},
      {"resident value offset past its attribute", [](Bytes& b) { PutLE(b, first + 0x14, 0xFFF0, 2); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = RecordBuilder(Deleted).StandardInformation(1, 2).FileName(5, 0, u"f").End().Build();
    c.corrupt(bytes);
    // Exactly 1024 bytes on the heap, so any read past them is caught.
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[1024]);
    std::memcpy(exact.get(), bytes.data(), 1024);
    CMFTRecord fresh;
    fresh.SetDiskHandle(&disk);
    fresh.SetGeometry(ntfs::RecordSize, Cluster, 0);
    EXPECT_EQ(fresh.ParseRecord(exact.get(), 1024, true, false), code::InvalidParameter);
  }
  Bytes valid = RecordBuilder(Deleted).End().Build();
  EXPECT_EQ(record.ParseRecord(valid.data(), 1023, false, false), code::InvalidParameter);  // no geometry yet
  record.SetGeometry(ntfs::RecordSize, Cluster, 0);
  EXPECT_EQ(record.ParseRecord(valid.data(), 1023, false, false), code::InvalidParameter);
  EXPECT_EQ(record.ParseRecord(nullptr, 1024, false, false), code::InvalidParameter);
}

TEST_F(RecordTest, NonResidentHeaderAndRunListAreChecked) {
  const Bytes goodRuns = MakeRunList({{2, 10, 1}});
  struct Case {
    const char* what;
    Bytes attribute;
    DWORD summary, content;
  };
  auto nonResident = [](const Bytes& runs, std::uint32_t lengthOverride) {
    Bytes record = RecordBuilder(Deleted).NonResidentData(runs, 5000, 8192, 0, 1).Build();
    Bytes attribute(record.begin() + RecordBuilder::FirstAttribute,
                    record.begin() + RecordBuilder::FirstAttribute + 0x40 + static_cast<std::ptrdiff_t>((runs.size() + 7) & ~7u));
    if (lengthOverride != 0) {
      attribute.resize(lengthOverride);
      PutLE(attribute, 4, lengthOverride, 4);
    }
    return attribute;
  };
  Bytes badNibble = nonResident(Bytes{0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0}, 0);
  Bytes listOutside = nonResident(goodRuns, 0);
  PutLE(listOutside, ntfs::AttrRunListOffset, 0x400, 2);
  const Case cases[] = {
      {"header cut before the real size", nonResident(goodRuns, 0x30), code::InvalidParameter, code::InvalidParameter},
      {"run header nibble above 8", badNibble, code::Success, code::InvalidParameter},
      {"run list offset outside the attribute", listOutside, code::Success, code::InvalidParameter},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (bool skipContent : {true, false}) {
      Bytes bytes = RecordBuilder(Deleted).FileName(5, 0, u"f").Raw(c.attribute).End().Build();
      CMFTRecord fresh;
      fresh.SetDiskHandle(&disk);
      fresh.SetGeometry(ntfs::RecordSize, Cluster, 0);
      EXPECT_EQ(fresh.ParseRecord(bytes.data(), 1024, skipContent, false), skipContent ? c.summary : c.content);
      // A summary never claims more than what the valid runs map.
      if (skipContent && c.summary == code::Success) {
        EXPECT_EQ(fresh.DataSize(), 0u);
      }
    }
  }
}

// Non-resident content read from the disk through the run list.
class ContentTest : public RecordTest {
 protected:
  void SetUp() override {
    diskBytes = Pattern(64 * Cluster, 0x5A);
    disk.Write(0, diskBytes);
  }
  Bytes Clusters(std::uint64_t first, std::uint64_t count) const {
    return Bytes(diskBytes.begin() + static_cast<std::ptrdiff_t>(first * Cluster),
                 diskBytes.begin() + static_cast<std::ptrdiff_t>((first + count) * Cluster));
  }
  Bytes diskBytes;
};

TEST_F(ContentTest, ReadsRunsInVirtualClusterOrderWithinTheRealSize) {
  // Three runs: 2 clusters at 20, 1 sparse, 3 clusters at 5 (backwards).
  Bytes runs = MakeRunList({{2, 20, 1}, {1, 0, 0}, {3, -15, 1}});
  Bytes bytes = RecordBuilder(Deleted).FileName(5, 0, u"frag").NonResidentData(runs, 5 * Cluster + 123, 6 * Cluster, 0, 5).End().Build();
  ASSERT_EQ(Parse(bytes, false, false), code::Success);
  ASSERT_EQ(record.DataSize(), 5 * Cluster + 123u);
  Bytes expected = Clusters(20, 2);
  expected.resize(3 * Cluster, 0);
  Bytes tail = Clusters(5, 3);
  expected.insert(expected.end(), tail.begin(), tail.end());
  expected.resize(5 * Cluster + 123);
  EXPECT_EQ(0, std::memcmp(record.Data(), expected.data(), expected.size()));
}

TEST_F(ContentTest, SizeNeverExceedsWhatTheRunsMapOrTheAllocation) {
  struct Case {
    const char* what;
    std::uint64_t real, allocated, firstVcn, lastVcn;
    Bytes runs;
    std::uint64_t size;
  };
  const Case cases[] = {
      {"5000 bytes in two clusters", 5000, 8192, 0, 1, MakeRunList({{2, 3, 1}}), 5000},
      {"recorded size 5 GiB, runs map two clusters", 5ull << 30, 5ull << 30, 0, 1, MakeRunList({{2, 3, 1}}), 8192},
      {"recorded size above the allocation", 100000, 8192, 0, 1, MakeRunList({{30, 3, 1}}), 8192},
      {"allocation 0 uses the VCN range", 9000, 0, 0, 1, MakeRunList({{30, 3, 1}}), 8192},
      {"empty attribute", 0, 0, 0, UINT64_MAX, MakeRunList({}), 0},
      {"5 GiB sparse file keeps its 64-bit size", (5ull << 30) + 1, 5ull << 30 | 4096, 0, (5ull << 18),
       MakeRunList({{1, 3, 1}, {(5ull << 18), 0, 0}}), (5ull << 30) + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = RecordBuilder(Deleted).NonResidentData(c.runs, c.real, c.allocated, c.firstVcn, c.lastVcn).End().Build();
    CMFTRecord fresh;
    fresh.SetDiskHandle(&disk);
    fresh.SetGeometry(ntfs::RecordSize, Cluster, 0);
    ASSERT_EQ(fresh.ParseRecord(bytes.data(), 1024, true, false), code::Success);
    EXPECT_EQ(fresh.DataSize(), c.size);
  }
}

TEST_F(ContentTest, DiskEndAndDiskErrorsStopTheRead) {
  // A run past the disk's end: the read delivers nothing and ends with 38.
  Bytes beyond = RecordBuilder(Deleted).NonResidentData(MakeRunList({{2, 100, 1}}), 8192, 8192, 0, 1).End().Build();
  ASSERT_EQ(Parse(beyond, false, false), code::HandleEof);
  EXPECT_EQ(record.Data(), nullptr);

  // A failing disk passes its own code up.
  disk.failFrom = 10 * Cluster;
  Bytes failing = RecordBuilder(Deleted).NonResidentData(MakeRunList({{2, 10, 1}}), 8192, 8192, 0, 1).End().Build();
  CMFTRecord fresh;
  fresh.SetDiskHandle(&disk);
  fresh.SetGeometry(ntfs::RecordSize, Cluster, 0);
  EXPECT_EQ(fresh.ParseRecord(failing.data(), 1024, false, false), code::Crc);
}

TEST_F(ContentTest, ContiguousRunsAreReadInLargeGroups) {
  disk.Bytes().resize(1100 * Cluster);
  Bytes bytes = RecordBuilder(Deleted).NonResidentData(MakeRunList({{1024, 40, 1}}), 1024 * Cluster, 1024 * Cluster, 0, 1023).End().Build();
  disk.reads = 0;
  ASSERT_EQ(Parse(bytes, false, false), code::Success);
  // 4 MiB in 1 MiB groups, not one call per cluster.
  EXPECT_EQ(disk.reads, 4u);
}

class CollectingSink : public ContentSink {
 public:
  DWORD Write(const std::uint8_t* bytes, std::uint32_t count) override {
    EXPECT_LE(count, CMFTRecord::MaxReadBytes);
    ++chunks;
    if (failAfter != 0 && chunks > failAfter) return code::DiskFull;
    received.insert(received.end(), bytes, bytes + count);
    return code::Success;
  }
  Bytes received;
  std::size_t chunks = 0;
  std::size_t failAfter = 0;
};

TEST_F(ContentTest, StreamingGivesTheSameBytesAsTheWholeRead) {
  disk.Bytes().resize(1200 * Cluster);
  for (std::size_t i = 64 * Cluster; i < disk.Bytes().size(); ++i) disk.Bytes()[i] = static_cast<std::uint8_t>(i * 13);
  Bytes runs = MakeRunList({{300, 50, 2}, {600, 0, 0}, {280, 400, 2}});
  const std::uint64_t size = 1180 * Cluster - 77;
  Bytes bytes = RecordBuilder(Deleted).FileName(5, 0, u"big").NonResidentData(runs, size, 1180 * Cluster, 0, 1179).End().Build();
  Bytes copy = bytes;
  ASSERT_EQ(Parse(bytes, false, false), code::Success);
  ASSERT_EQ(record.DataSize(), size);

  CollectingSink sink;
  CMFTRecord streaming;
  streaming.SetDiskHandle(&disk);
  streaming.SetGeometry(ntfs::RecordSize, Cluster, 0);
  streaming.SetContentSink(&sink);
  ASSERT_EQ(streaming.ParseRecord(copy.data(), 1024, false, false), code::Success);
  ASSERT_EQ(sink.received.size(), size);
  EXPECT_EQ(0, std::memcmp(sink.received.data(), record.Data(), static_cast<std::size_t>(size)));
  EXPECT_EQ(streaming.Data(), nullptr);

  // A failing sink ends the read with its own code.
  CollectingSink failing;
  failing.failAfter = 2;
  Bytes again = RecordBuilder(Deleted).NonResidentData(runs, size, 1180 * Cluster, 0, 1179).End().Build();
  CMFTRecord third;
  third.SetDiskHandle(&disk);
  third.SetGeometry(ntfs::RecordSize, Cluster, 0);
  third.SetContentSink(&failing);
  EXPECT_EQ(third.ParseRecord(again.data(), 1024, false, false), code::DiskFull);
  EXPECT_EQ(failing.chunks, 3u);
}

TEST_F(ContentTest, ResidentAndEmptyValues) {
  Bytes resident = RecordBuilder(Deleted).ResidentData(Pattern(699, 2)).End().Build();
  ASSERT_EQ(Parse(resident, false, false), code::Success);
  ASSERT_EQ(record.DataSize(), 699u);
  EXPECT_EQ(0, std::memcmp(record.Data(), Pattern(699, 2).data(), 699));

  Bytes empty = RecordBuilder(Deleted).ResidentData({}).End().Build();
  CMFTRecord second;
  second.SetDiskHandle(&disk);
  second.SetGeometry(ntfs::RecordSize, Cluster, 0);
  ASSERT_EQ(second.ParseRecord(empty.data(), 1024, false, false), code::Success);
  EXPECT_EQ(second.DataSize(), 0u);
  EXPECT_NE(second.Data(), nullptr);

  Bytes emptyNonResident = RecordBuilder(Deleted).NonResidentData(MakeRunList({}), 0, 0, 0, UINT64_MAX).End().Build();
  CMFTRecord third;
  third.SetDiskHandle(&disk);
  third.SetGeometry(ntfs::RecordSize, Cluster, 0);
  ASSERT_EQ(third.ParseRecord(emptyNonResident.data(), 1024, false, false), code::Success);
  EXPECT_EQ(third.DataSize(), 0u);
}

}  // namespace
