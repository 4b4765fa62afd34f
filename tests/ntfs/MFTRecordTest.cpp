#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

#include "ntfs/MFTRecord.h"
#include "support/MemoryDisk.h"
#include "support/RecordBuilder.h"

namespace {

constexpr std::uint32_t Cluster = 4096;
constexpr std::uint8_t Deleted = 0;
constexpr std::uint8_t DeletedDirectory = ntfs::RecordIsDirectory;
constexpr std::uint8_t InUse = ntfs::RecordInUse;

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

// The value of a resident unnamed $DATA the parse kept, as bytes.
Bytes KeptData(const CMFTRecord& record) {
  const std::uint8_t* value = nullptr;
  std::uint32_t length = 0;
  if (record.ResidentData(&value, &length) != code::Success) return {};
  return Bytes(value, value + length);
}

class RecordTest : public ::testing::Test {
 protected:
  // Parses `bytes` as a record of a volume on `disk` (clusters from byte 0).
  DWORD Parse(Bytes& bytes, CMFTRecord& parser) {
    parser.SetDiskHandle(&disk);
    EXPECT_EQ(parser.SetGeometry(ntfs::RecordSize, Cluster, 0), code::Success);
    return parser.ParseSummary(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  }
  DWORD Parse(Bytes& bytes) { return Parse(bytes, record); }

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
  EXPECT_EQ(record.ParseSummary(bytes.data(), 1024), code::InvalidParameter);
}

TEST_F(RecordTest, UpdateSequenceRestoresEveryStrideAndRefusesTornRecords) {
  RecordBuilder builder(Deleted);
  builder.FileName(5, 0, u"a");
  // Fill a resident $DATA over both sector ends, so the fix-ups matter.
  builder.ResidentData(Pattern(800, 9));
  Bytes bytes = builder.End().Build(0x4242);
  const Bytes asOnDisk = bytes;
  ASSERT_EQ(bytes[1022], 0x42);
  ASSERT_EQ(Parse(bytes), code::Success);
  EXPECT_EQ(bytes[1022], 0);  // restored in place
  ASSERT_EQ(record.DataSize(), 800u);
  EXPECT_EQ(KeptData(record), Pattern(800, 9));
  // Put back, the bytes are the disk's again, and a second revert changes nothing.
  record.RevertUpdateSequence();
  EXPECT_EQ(bytes, asOnDisk);
  record.RevertUpdateSequence();
  EXPECT_EQ(bytes, asOnDisk);

  // A torn record: the last bytes of a sector do not carry the sequence
  // number. It is damaged, and so is an update sequence that does not fit
  // the record size.
  Bytes torn = builder.Build(0x4242);
  torn[1022] = 0x13;
  CMFTRecord again;
  EXPECT_EQ(Parse(torn, again), code::InvalidParameter);
  Bytes miscounted = builder.Build(0x4242);
  miscounted[ntfs::RecordUsaCount] = 9;
  EXPECT_EQ(Parse(miscounted, again), code::InvalidParameter);
}

TEST_F(RecordTest, TheLastFileNameWinsAndLeavesNothingOfAnEarlierOne) {
  Bytes bytes = RecordBuilder(Deleted)
                    .FileName(5, 0, u"longname.txt")
                    .FileName(7, 0x01, u"abc")
                    .End()
                    .Build();
  ASSERT_EQ(Parse(bytes), code::Success);
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
  ASSERT_EQ(Parse(bytes), code::Success);
  ASSERT_EQ(record.DataSize(), 10u);
  EXPECT_EQ(KeptData(record), Pattern(10, 3));
}

TEST_F(RecordTest, WalkEndsAtIndexRootEndMarkerOrZeroLength) {
  // A directory: nothing after $INDEX_ROOT is seen.
  Bytes directory = RecordBuilder(DeletedDirectory)
                        .FileName(5, 0x10000000, u"docs")
                        .Resident(ntfs::TypeIndexRoot, Bytes(32, 0))
                        .ResidentData(Pattern(10, 1))
                        .End()
                        .Build();
  ASSERT_EQ(Parse(directory), code::Success);
  EXPECT_EQ(KeptName(record), u"docs");
  EXPECT_EQ(record.DataSize(), 0u);

  // The end marker first: success with nothing kept.
  Bytes empty = RecordBuilder(Deleted).End().Build();
  CMFTRecord second;
  ASSERT_EQ(Parse(empty, second), code::Success);
  EXPECT_EQ(KeptName(second), u"");
  EXPECT_EQ(second.DataSize(), 0u);

  // An attribute of length 0 ends the walk with success.
  RecordBuilder zero(Deleted);
  zero.FileName(5, 0, u"x");
  Bytes zeroLength = zero.Raw(Bytes{0x80, 0, 0, 0, 0, 0, 0, 0}).Build();
  CMFTRecord third;
  ASSERT_EQ(Parse(zeroLength, third), code::Success);
  EXPECT_EQ(KeptName(third), u"x");
  EXPECT_EQ(third.DataSize(), 0u);
}

TEST_F(RecordTest, ShortOrOverlongValuesStayInsideTheirFields) {
  // A 16-byte $STANDARD_INFORMATION keeps two times and zeros.
  Bytes si(16, 0);
  PutLE(si, 0, 77, 8);
  PutLE(si, 8, 88, 8);
  Bytes bytes = RecordBuilder(Deleted).Resident(ntfs::TypeStandardInformation, si).FileName(5, 0, std::u16string(400, u'n')).End().Build();
  ASSERT_EQ(Parse(bytes), code::Success);
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
  disk.reads = 0;
  ASSERT_EQ(Parse(longName, second), code::Success);
  EXPECT_EQ(KeptName(second), std::u16string(511, u'n'));
  EXPECT_EQ(disk.reads, 1u);
}

// Every offset or length that leaves the record or its value fails
// (code::InvalidParameter), and nothing outside the record is read (ASan watches the exact buffer).
TEST_F(RecordTest, BoundsFailuresAreInvalidParameter) {
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
    EXPECT_EQ(fresh.ParseSummary(exact.get(), 1024), code::InvalidParameter);
  }
  Bytes valid = RecordBuilder(Deleted).End().Build();
  EXPECT_EQ(record.ParseSummary(valid.data(), 1023), code::InvalidParameter);  // no geometry yet
  record.SetGeometry(ntfs::RecordSize, Cluster, 0);
  EXPECT_EQ(record.ParseSummary(valid.data(), 1023), code::InvalidParameter);
  EXPECT_EQ(record.ParseSummary(nullptr, 1024), code::InvalidParameter);
}

// A summary keeps what a run list with a fault maps before it (a bad header
// is still damage); reading the content refuses both (the drive's tests).
TEST_F(RecordTest, NonResidentHeaderAndRunListAreChecked) {
  const Bytes goodRuns = MakeRunList({{2, 10, 1}});
  struct Case {
    const char* what;
    Bytes attribute;
    DWORD summary;
  };
  Bytes badNibble = NonResidentAttribute(Bytes{0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0});
  Bytes listOutside = NonResidentAttribute(goodRuns);
  PutLE(listOutside, ntfs::AttrRunListOffset, 0x400, 2);
  const Case cases[] = {
      {"header cut before the real size", NonResidentAttribute(goodRuns, 0x30), code::InvalidParameter},
      {"run header nibble above 8", badNibble, code::Success},
      {"run list offset outside the attribute", listOutside, code::Success},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = RecordBuilder(Deleted).FileName(5, 0, u"f").Raw(c.attribute).End().Build();
    CMFTRecord fresh;
    EXPECT_EQ(Parse(bytes, fresh), c.summary);
    // A summary never claims more than what the valid runs map.
    if (c.summary == code::Success) {
      EXPECT_EQ(fresh.DataSize(), 0u);
    }
  }
}

}  // namespace
