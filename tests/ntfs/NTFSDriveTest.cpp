#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "ntfs/NTFSDrive.h"
#include "support/TestVolumes.h"

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

std::u16string Name(const MFTFileInfo& info) { return std::u16string(info.name); }

Bytes FileRecord(std::uint8_t flags, const std::u16string& name, std::uint64_t parent, std::size_t dataSize,
                 std::uint8_t fill) {
  // Read-only and archive now; the name's stale copy says archive only.
  return RecordBuilder(flags)
      .StandardInformation(FileTimeUtc(2008, 4, 7, 14, 24, 36), FileTimeUtc(2009, 1, 2, 3, 4, 5), 3, 4, 0x21)
      .FileName(parent, 0x20, name)
      .ResidentData(Bytes(dataSize, fill))
      .End()
      .Build();
}

class DriveTest : public ::testing::Test {
 protected:
  DWORD Open(const CraftedVolume& volume) {
    volume.WriteTo(disk);
    drive.AttachDisk(&disk);
    drive.SetPartitionStart(volume.partitionStart);
    return drive.Initialize();
  }

  MemoryDisk disk;
  CNTFSDrive drive;
};

TEST_F(DriveTest, SummariesOfACraftedVolume) {
  CraftedVolume volume;
  volume.records.push_back(FileRecord(ntfs::RecordInUse, u"kept.txt", 5, 10, 1));  // 1
  volume.records.push_back(FileRecord(Deleted, u"gone.txt", 0x0003123456789ABCull, 40, 2));  // 2
  ASSERT_EQ(Open(volume), code::Success);
  EXPECT_EQ(drive.ClusterSize(), 4096u);
  EXPECT_EQ(drive.RecordCount(), 3u);

  MFTFileInfo info;
  ASSERT_EQ(drive.ReadRecordSummary(1, false, &info), code::Success);
  EXPECT_FALSE(info.deleted);
  EXPECT_EQ(Name(info), u"");
  EXPECT_EQ(info.dataSize, 0u);

  ASSERT_EQ(drive.ReadRecordSummary(2, false, &info), code::Success);
  EXPECT_TRUE(info.deleted);
  EXPECT_EQ(Name(info), u"gone.txt");
  EXPECT_EQ(info.dataSize, 40u);
  EXPECT_EQ(info.fileAttributes, 0x21u);
  EXPECT_EQ(info.creationTime, FileTimeUtc(2008, 4, 7, 14, 24, 36));
  EXPECT_EQ(info.modificationTime, FileTimeUtc(2009, 1, 2, 3, 4, 5));
  EXPECT_EQ(info.mftChangeTime, 3u);
  EXPECT_EQ(info.accessTime, 4u);
  // The sequence number in the top 16 bits is dropped.
  EXPECT_EQ(info.parentRecordLow, 0x56789ABCu);
  EXPECT_EQ(info.parentRecordHigh, 0x1234u);

  ByteBuffer data;
  std::uint32_t size = 0;
  ASSERT_EQ(drive.ReadRecordData(2, &data, &size), code::Success);
  ASSERT_EQ(size, 40u);
  EXPECT_EQ(data[0], 2);
  EXPECT_EQ(data[39], 2);
}

TEST_F(DriveTest, EveryWholeSlotIsOfferedAndNothingBeyond) {
  CraftedVolume volume;
  for (int i = 0; i < 6; ++i) volume.records.push_back(FileRecord(Deleted, u"f", 5, 1, 1));
  ASSERT_EQ(Open(volume), code::Success);
  ASSERT_EQ(drive.RecordCount(), 7u);
  MFTFileInfo info;
  EXPECT_EQ(drive.ReadRecordSummary(6, false, &info), code::Success);  // the last slot
  EXPECT_EQ(drive.ReadRecordSummary(7, false, &info), code::NoMoreFiles);
  // Indexes whose slot position would wrap 32 bits are refused too.
  EXPECT_EQ(drive.ReadRecordSummary(0x003FFFFF, false, &info), code::NoMoreFiles);
  EXPECT_EQ(drive.ReadRecordSummary(0xFFFFFFFF, false, &info), code::NoMoreFiles);
  ByteBuffer data;
  std::uint32_t size = 0;
  EXPECT_EQ(drive.ReadRecordData(7, &data, &size), code::NoMoreFiles);
  EXPECT_EQ(drive.ReadRecordData(0xFFFFFFFF, &data, &size), code::NoMoreFiles);
}

TEST_F(DriveTest, AnMftEndsAtTheVolumesEndOrAtAHole) {
  // Damaged record 0s that reach past their volume. Holes cost nothing to
  // "read", so a sparse run could claim millions of empty slots.
  struct Case {
    std::size_t emptyRecords;
    std::uint64_t sparseClusters, totalSectors;
    std::uint32_t count;
  };
  const Case cases[] = {
      {1200, 0, 0, 1202},         // record 0, "a", 1200 empty; no count in the boot sector
      {1200, 0, 1024, 512},       // the volume holds 512 KiB
      {0, 100000, 0, 4},          // the hole ends the image after the first cluster
      {0, 100000, 1u << 30, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    CraftedVolume volume;
    volume.records.push_back(FileRecord(Deleted, u"a", 5, 1, 1));
    volume.records.resize(1 + c.emptyRecords, Bytes(ntfs::RecordSize, 0));
    volume.mftSparseClusters = c.sparseClusters;
    volume.totalSectors = c.totalSectors;
    MemoryDisk fresh;
    CNTFSDrive other;
    ASSERT_EQ(volume.Open(fresh, other), code::Success);
    EXPECT_EQ(other.RecordCount(), c.count);
    MFTFileInfo info;
    ASSERT_EQ(other.ReadRecordSummary(1, false, &info), code::Success);
    EXPECT_EQ(std::u16string(info.name), u"a");
  }
}

TEST_F(DriveTest, ImagesOfPartialSlots) {
  struct Case {
    std::uint64_t realSize;
    std::uint32_t count;
  };
  for (const Case& c : {Case{3 * 1024 + 1000, 3}, Case{1000, 0}, Case{1024, 1}}) {
    SCOPED_TRACE(c.realSize);
    CraftedVolume volume;
    volume.records.push_back(FileRecord(Deleted, u"a", 5, 1, 1));
    volume.records.push_back(FileRecord(Deleted, u"b", 5, 1, 1));
    volume.records.push_back(FileRecord(Deleted, u"c", 5, 1, 1));
    volume.mftRealSize = c.realSize;
    MemoryDisk fresh;
    CNTFSDrive other;
    ASSERT_EQ(volume.Open(fresh, other), code::Success);
    EXPECT_EQ(other.RecordCount(), c.count);
    MFTFileInfo info;
    EXPECT_EQ(other.ReadRecordSummary(c.count, false, &info), code::NoMoreFiles);
  }
}

TEST_F(DriveTest, BootSectorAndRecordZeroChecks) {
  struct Case {
    const char* what;
    std::function<void(CraftedVolume&)> change;
    DWORD expected;
    std::uint32_t clusterSize;
  };
  const Case cases[] = {
      {"FAT boot sector", [](CraftedVolume& v) { v.oem = "MSDOS5.0"; }, code::InvalidDrive, 0},
      {"NTFS followed by anything", [](CraftedVolume& v) { v.oem = "NTFSxyz!"; }, code::Success, 4096},
      {"4096-byte sectors, one per cluster",
       [](CraftedVolume& v) {
         v.bytesPerSector = 4096;
         v.sectorsPerCluster = 1;
       },
       code::Success, 4096},
      {"large clusters written as a negative power of two",
       [](CraftedVolume& v) {
         v.sectorsPerCluster = 0xF7;  // 2^9 sectors of 512 bytes
         v.mftCluster = 1;
       },
       code::Success, 256 * 1024},
      {"zero sectors per cluster", [](CraftedVolume& v) { v.sectorsPerCluster = 0; }, code::InvalidParameter, 0},
      // Sizes no disk has would make clusters, and buffers, of any size.
      {"256-byte sectors", [](CraftedVolume& v) { v.bytesPerSector = 256; }, code::InvalidParameter, 0},
      {"8192-byte sectors", [](CraftedVolume& v) { v.bytesPerSector = 8192; }, code::InvalidParameter, 0},
      {"1536-byte sectors", [](CraftedVolume& v) { v.bytesPerSector = 1536; }, code::InvalidParameter, 0},
      {"clusters of 4 MiB",
       [](CraftedVolume& v) {
         v.sectorsPerCluster = 0xF3;
         v.mftCluster = 1;
       },
       code::InvalidParameter, 0},
      {"clusters of 2 MiB, the largest",
       [](CraftedVolume& v) {
         v.sectorsPerCluster = 0xF4;
         v.mftCluster = 1;
       },
       code::Success, 2u << 20},
      {"record 0 is not $MFT", [](CraftedVolume& v) { v.mftName = u"$MFX"; }, code::BadDevice, 0},
      {"only four units of the name compared", [](CraftedVolume& v) { v.mftName = u"$MFTMirr"; }, code::Success, 4096},
      // Nothing to read there: fewer bytes than a record.
      {"$MFT cluster past the disk", [](CraftedVolume& v) { v.mftCluster = 1ull << 40; }, code::InvalidParameter, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CraftedVolume volume;
    volume.records.push_back(FileRecord(Deleted, u"a", 5, 1, 1));
    c.change(volume);
    MemoryDisk fresh;
    if (volume.mftCluster < (1ull << 30)) {
      volume.WriteTo(fresh);
    } else {
      // Only the boot sector: record 0's cluster lies far beyond the disk.
      CraftedVolume bootOnly = volume;
      bootOnly.mftCluster = 4;
      bootOnly.WriteTo(fresh);
      PutLE(fresh.Bytes(), bootOnly.PartitionOffset() + ntfs::BootMftCluster, volume.mftCluster, 8);
    }
    CNTFSDrive other;
    other.AttachDisk(&fresh);
    other.SetPartitionStart(volume.partitionStart);
    EXPECT_EQ(other.Initialize(), c.expected);
    MFTFileInfo info;
    if (c.expected == code::Success) {
      EXPECT_EQ(other.ClusterSize(), c.clusterSize);
      EXPECT_EQ(other.ReadRecordSummary(1, false, &info), code::Success);
      EXPECT_EQ(Name(info), u"a");
    } else {
      EXPECT_EQ(other.ReadRecordSummary(1, false, &info), code::InvalidAccess);
    }
  }
}

TEST_F(DriveTest, StateFollowsAttachAndInitialize) {
  MFTFileInfo info;
  ByteBuffer data;
  std::uint32_t size = 0;
  EXPECT_EQ(drive.ReadRecordSummary(0, false, &info), code::InvalidAccess);
  EXPECT_EQ(drive.ReadRecordData(0, &data, &size), code::InvalidAccess);
  EXPECT_EQ(drive.Initialize(), code::InvalidHandle);

  CraftedVolume first;
  first.records.push_back(FileRecord(Deleted, u"first", 5, 1, 1));
  ASSERT_EQ(Open(first), code::Success);
  drive.AttachDisk(&disk);
  EXPECT_EQ(drive.ReadRecordSummary(1, false, &info), code::InvalidAccess);
  EXPECT_EQ(drive.ReadRecordData(1, &data, &size), code::InvalidAccess);

  // A second volume on another disk replaces the image.
  MemoryDisk other;
  CraftedVolume second;
  second.partitionStart = 2048;
  second.records.push_back(FileRecord(Deleted, u"second", 5, 1, 1));
  second.WriteTo(other);
  drive.AttachDisk(&other);
  drive.SetPartitionStart(second.partitionStart);
  ASSERT_EQ(drive.Initialize(), code::Success);
  ASSERT_EQ(drive.ReadRecordSummary(1, false, &info), code::Success);
  EXPECT_EQ(Name(info), u"second");

  // A failed Initialize leaves the drive not initialised.
  drive.SetPartitionStart(0);
  EXPECT_EQ(drive.Initialize(), code::InvalidDrive);
  EXPECT_EQ(drive.ReadRecordSummary(1, false, &info), code::InvalidAccess);

  // A disk that ends inside the boot sector, and one that fails.
  drive.SetPartitionStart(1000000);
  EXPECT_EQ(drive.Initialize(), code::HandleEof);
  other.failFrom = 0;
  drive.SetPartitionStart(second.partitionStart);
  EXPECT_EQ(drive.Initialize(), code::Crc);
}

TEST_F(DriveTest, ZeroSlotsLongNamesAndNameAttributes) {
  CraftedVolume volume;
  volume.records.push_back(Bytes(1024, 0));
  volume.records.push_back(FileRecord(Deleted, std::u16string(300, u'L'), 5, 1, 1));
  // No $STANDARD_INFORMATION flags: the name's attributes are all there is.
  volume.records.push_back(
      RecordBuilder(Deleted).Resident(ntfs::TypeStandardInformation, Bytes(32, 0)).FileName(5, 0x06, u"n").End().Build());
  ASSERT_EQ(Open(volume), code::Success);
  MFTFileInfo info;
  ASSERT_EQ(drive.ReadRecordSummary(3, false, &info), code::Success);
  EXPECT_EQ(info.fileAttributes, 0x06u);
  EXPECT_EQ(drive.ReadRecordSummary(1, false, &info), code::InvalidParameter);
  ASSERT_EQ(drive.ReadRecordSummary(2, false, &info), code::Success);
  EXPECT_EQ(Name(info), std::u16string(259, u'L'));
  EXPECT_EQ(info.name[259], 0);
}

// A summary keeps what it is asked for: a file in use says only that, and
// asked as a directory, a record that is none says nothing more.
TEST_F(DriveTest, SummariesKeepWhatTheyAreAskedFor) {
  struct Case {
    const char* what;
    std::uint8_t flags;
    bool directoriesOnly;
    bool keepsAll;
  };
  const Case cases[] = {
      {"in-use file", InUse, false, false},
      {"in-use directory", InUseDirectory, false, false},
      {"in-use directory walked up", InUseDirectory, true, true},
      {"deleted file", Deleted, false, true},
      {"deleted file walked up as directory", Deleted, true, false},
      {"in-use file walked up as directory", InUse, true, false},
      {"deleted directory walked up", DeletedDirectory, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CraftedVolume volume;
    volume.records.push_back(RecordBuilder(c.flags)
                                 .StandardInformation(111, 222, 333, 444)
                                 .FileName(0x0005000000000027ull, 0x20, u"notes.txt")
                                 .ResidentData(Pattern(300, 1))
                                 .End()
                                 .Build());
    MemoryDisk fresh;
    CNTFSDrive other;
    ASSERT_EQ(volume.Open(fresh, other), code::Success);
    MFTFileInfo info;
    ASSERT_EQ(other.ReadRecordSummary(1, c.directoriesOnly, &info), code::Success);
    EXPECT_EQ(info.deleted, (c.flags & InUse) == 0);
    EXPECT_EQ(Name(info), c.keepsAll ? u"notes.txt" : u"");
    EXPECT_EQ(info.creationTime, c.keepsAll ? 111u : 0u);
    EXPECT_EQ(info.accessTime, c.keepsAll ? 444u : 0u);
    EXPECT_EQ(info.dataSize, c.keepsAll ? 300u : 0u);
  }
}

// A torn record (a stride whose last bytes lack the update sequence number)
// is damaged whichever way it is read, and the records after it are not.
TEST_F(DriveTest, TornRecordsAreDamagedTheOthersStayReadable) {
  CraftedVolume volume;
  RecordBuilder builder(Deleted);
  builder.FileName(5, 0, u"torn").ResidentData(Pattern(800, 9));  // over both strides' ends
  volume.records.push_back(builder.End().Build(0x4242));
  volume.records.back()[1022] = 0x13;
  volume.records.push_back(builder.Build(0x4242));
  volume.records.back()[ntfs::RecordUsaCount] = 9;  // an update sequence that does not fit
  volume.records.push_back(builder.Build(0x4242));
  ASSERT_EQ(Open(volume), code::Success);
  MFTFileInfo info;
  RecordFacts facts;
  ByteBuffer data;
  std::uint32_t size = 0;
  for (std::uint32_t index : {1u, 2u}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(drive.ReadRecordSummary(index, false, &info), code::InvalidParameter);
    EXPECT_EQ(drive.ReadRecordFacts(index, MftRead::Sequential, &facts, nullptr), code::InvalidParameter);
    EXPECT_EQ(drive.ReadRecordData(index, &data, &size), code::InvalidParameter);
  }
  // Parsed where it lies in the chunk and put back: read again, it is the same.
  for (const MftRead access : {MftRead::Sequential, MftRead::Sequential, MftRead::OnDemand}) {
    ASSERT_EQ(drive.ReadRecordFacts(3, access, &facts, nullptr), code::Success);
    EXPECT_EQ(std::u16string(facts.info.name), u"torn");
  }
  ASSERT_EQ(drive.ReadRecordData(3, &data, &size), code::Success);
  EXPECT_EQ(Bytes(data.get(), data.get() + size), Pattern(800, 9));
}

// A volume whose boot sector is gone reads through the geometry it is
// given, as it would through its boot sector; a geometry that cannot be
// real, or one whose record 0 is not there, is refused.
TEST_F(DriveTest, AGivenGeometryStandsInForTheBootSector) {
  CraftedVolume volume;
  volume.records.push_back(FileRecord(Deleted, u"found.txt", 5, 40, 7));
  volume.WriteTo(disk);
  std::fill_n(disk.Bytes().begin() + static_cast<std::ptrdiff_t>(volume.PartitionOffset()), ntfs::BootSectorSize, 0);
  drive.AttachDisk(&disk);
  drive.SetPartitionStart(volume.partitionStart);
  EXPECT_EQ(drive.Initialize(), code::InvalidDrive);
  const NtfsGeometry found{volume.PartitionOffset(), volume.ClusterSize(), ntfs::RecordSize, 0, volume.mftCluster};
  struct Case {
    const char* what;
    std::function<void(NtfsGeometry&)> change;
    DWORD expected;
  };
  const Case cases[] = {
      {"as the boot sector said", [](NtfsGeometry&) {}, code::Success},
      {"a record size that is no power of two", [](NtfsGeometry& g) { g.recordSize = 1000; }, code::InvalidParameter},
      {"no cluster size", [](NtfsGeometry& g) { g.clusterSize = 0; }, code::InvalidParameter},
      {"record 0 elsewhere", [](NtfsGeometry& g) { g.mftCluster = 2; }, code::InvalidParameter},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NtfsGeometry given = found;
    c.change(given);
    ASSERT_EQ(drive.Initialize(given), c.expected);
    MFTFileInfo info;
    if (c.expected != code::Success) {
      EXPECT_EQ(drive.ReadRecordSummary(1, false, &info), code::InvalidAccess);
      continue;
    }
    EXPECT_EQ(drive.RecordCount(), 2u);
    ASSERT_EQ(drive.ReadRecordSummary(1, false, &info), code::Success);
    EXPECT_EQ(Name(info), u"found.txt");
    ByteBuffer data;
    std::uint32_t size = 0;
    ASSERT_EQ(drive.ReadRecordData(1, &data, &size), code::Success);
    EXPECT_EQ(Bytes(data.get(), data.get() + size), Bytes(40, 7));
  }
}

class CountingSink : public ContentSink {
 public:
  DWORD Write(const std::uint8_t* bytes, std::uint32_t count) override {
    hash.Update(bytes, count);
    total += count;
    largest = std::max(largest, count);
    return code::Success;
  }
  Sha256 hash;
  std::uint64_t total = 0;
  std::uint32_t largest = 0;
};

TEST_F(DriveTest, ContentTooLargeToHoldIsRefusedButStreams) {
  CraftedVolume volume;
  // 5 GiB + 1 byte: one real cluster, then a sparse run.
  const std::uint64_t size = (5ull << 30) + 1;
  const std::uint64_t clusters = (size + 4095) / 4096;
  volume.records.push_back(RecordBuilder(Deleted)
                               .FileName(5, 0, u"huge.bin")
                               .NonResidentData(MakeRunList({{1, 2, 1}, {clusters - 1, 0, 0}}), size,
                                                clusters * 4096, 0, clusters - 1)
                               .End()
                               .Build());
  ASSERT_EQ(Open(volume), code::Success);
  MFTFileInfo info;
  ASSERT_EQ(drive.ReadRecordSummary(1, false, &info), code::Success);
  EXPECT_EQ(info.dataSize, size);  // never cut to 32 bits
  ByteBuffer data;
  std::uint32_t held = 0;
  EXPECT_EQ(drive.ReadRecordData(1, &data, &held), code::NotEnoughMemory);
  EXPECT_EQ(data, nullptr);
}

TEST_F(DriveTest, StreamedContentMatchesTheWholeRead) {
  CraftedVolume volume;
  const std::uint64_t size = 3 * 1024 * 1024 + 5;
  const std::uint64_t clusters = (size + 4095) / 4096;
  volume.records.push_back(RecordBuilder(Deleted)
                               .FileName(5, 0, u"mid.bin")
                               .NonResidentData(MakeRunList({{clusters, 16, 1}}), size, clusters * 4096, 0, clusters - 1)
                               .End()
                               .Build());
  volume.WriteTo(disk);
  const std::uint64_t start = volume.ClusterOffset(16);
  disk.Bytes().resize(start + clusters * 4096);
  for (std::uint64_t i = 0; i < clusters * 4096; ++i) disk.Bytes()[start + i] = static_cast<std::uint8_t>(i % 251);
  drive.AttachDisk(&disk);
  drive.SetPartitionStart(volume.partitionStart);
  ASSERT_EQ(drive.Initialize(), code::Success);

  ByteBuffer data;
  std::uint32_t held = 0;
  ASSERT_EQ(drive.ReadRecordData(1, &data, &held), code::Success);
  ASSERT_EQ(held, size);
  CountingSink sink;
  std::uint64_t streamed = 0;
  ASSERT_EQ(drive.ReadRecordContent(1, &sink, &streamed), code::Success);
  EXPECT_EQ(streamed, size);
  EXPECT_EQ(sink.total, size);
  EXPECT_LE(sink.largest, 1u << 20);
  EXPECT_EQ(sink.hash.Hex(), Sha256Hex(data.get(), held));
}

// Two threads on one drive, as the scan and a recovery would be: every
// result must be the one a lone caller gets.
TEST_F(DriveTest, ConcurrentOperationsDoNotInterfere) {
  CraftedVolume volume;
  for (int i = 0; i < 40; ++i) {
    volume.records.push_back(FileRecord(Deleted, u"file" + std::u16string(1, static_cast<char16_t>(u'A' + i)), 5,
                                        100 + i, static_cast<std::uint8_t>(i)));
  }
  ASSERT_EQ(Open(volume), code::Success);
  std::atomic<int> mismatches{0};
  auto summaries = [&] {
    for (int round = 0; round < 200; ++round) {
      for (std::uint32_t i = 1; i <= 40; ++i) {
        MFTFileInfo info;
        if (drive.ReadRecordSummary(i, false, &info) != code::Success || info.dataSize != 99 + i ||
            info.name[4] != static_cast<char16_t>(u'A' + i - 1)) {
          ++mismatches;
        }
      }
    }
  };
  auto contents = [&] {
    for (int round = 0; round < 200; ++round) {
      for (std::uint32_t i = 1; i <= 40; ++i) {
        ByteBuffer data;
        std::uint32_t size = 0;
        if (drive.ReadRecordData(i, &data, &size) != code::Success || size != 99 + i ||
            data[size - 1] != static_cast<std::uint8_t>(i - 1)) {
          ++mismatches;
        }
      }
    }
  };
  std::thread a(summaries), b(contents);
  a.join();
  b.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// Content through the runs of a non-resident $DATA, on a disk of known
// bytes: the volume starts at byte 0 and its $MFT lies in cluster 1, so the
// data clusters from 2 on are the pattern's.
class ContentTest : public ::testing::Test {
 protected:
  DWORD Open(const Bytes& record, std::size_t diskClusters = 64) {
    disk.Bytes() = Pattern(diskClusters * Cluster, 0x5A);
    CraftedVolume volume;
    volume.partitionStart = 0;
    volume.mftCluster = 1;
    volume.records.push_back(record);
    return volume.Open(disk, drive);
  }
  Bytes Clusters(std::uint64_t first, std::uint64_t count) {
    return Bytes(disk.Bytes().begin() + static_cast<std::ptrdiff_t>(first * Cluster),
                 disk.Bytes().begin() + static_cast<std::ptrdiff_t>((first + count) * Cluster));
  }
  // Record 1's content read whole, and checked against what streaming it gives.
  DWORD ReadBoth(Bytes* content) {
    ByteBuffer data;
    std::uint32_t size = 0;
    const DWORD result = drive.ReadRecordData(1, &data, &size);
    if (result != code::Success) return result;
    content->assign(data.get(), data.get() + size);
    CollectingSink sink;
    std::uint64_t streamed = 0;
    EXPECT_EQ(drive.ReadRecordContent(1, &sink, &streamed), code::Success);
    EXPECT_EQ(streamed, size);
    EXPECT_TRUE(sink.received == *content);
    return result;
  }

  class CollectingSink : public ContentSink {
   public:
    DWORD Write(const std::uint8_t* bytes, std::uint32_t count) override {
      EXPECT_LE(count, DataStream::MaxReadBytes);
      ++chunks;
      if (failAfter != 0 && chunks > failAfter) return code::DiskFull;
      received.insert(received.end(), bytes, bytes + count);
      return code::Success;
    }
    Bytes received;
    std::size_t chunks = 0;
    std::size_t failAfter = 0;
  };

  MemoryDisk disk;
  CNTFSDrive drive;
};

TEST_F(ContentTest, ReadsRunsInVirtualClusterOrderWithinTheRealSize) {
  // Three runs: 2 clusters at 20, 1 sparse, 3 clusters at 5 (backwards).
  Bytes runs = MakeRunList({{2, 20, 1}, {1, 0, 0}, {3, -15, 1}});
  ASSERT_EQ(Open(RecordBuilder(Deleted).FileName(5, 0, u"frag").NonResidentData(runs, 5 * Cluster + 123, 6 * Cluster, 0, 5).End().Build()),
            code::Success);
  Bytes expected = Clusters(20, 2);
  expected.resize(3 * Cluster, 0);
  Bytes tail = Clusters(5, 3);
  expected.insert(expected.end(), tail.begin(), tail.end());
  expected.resize(5 * Cluster + 123);
  Bytes content;
  ASSERT_EQ(ReadBoth(&content), code::Success);
  EXPECT_TRUE(content == expected);
}

// The size listed is the attribute's; what is read never goes past the runs
// or the allocation, and the rest is reported missing, never made up.
TEST_F(ContentTest, RunsThatFallShortOfTheSizeLeaveTheRestMissing) {
  struct Case {
    const char* what;
    std::uint64_t real, allocated, firstVcn, lastVcn;
    Bytes runs;
    std::uint64_t readable;
  };
  const Case cases[] = {
      {"5000 bytes in two clusters", 5000, 8192, 0, 1, MakeRunList({{2, 3, 1}}), 5000},
      {"recorded size 5 GiB, runs map two clusters", 5ull << 30, 5ull << 30, 0, 1, MakeRunList({{2, 3, 1}}), 8192},
      {"recorded size above the allocation", 100000, 8192, 0, 1, MakeRunList({{30, 3, 1}}), 8192},
      {"allocation 0 uses the VCN range", 9000, 0, 0, 1, MakeRunList({{30, 3, 1}}), 8192},
      {"runs short of the last VCN", 100 * Cluster, 100 * Cluster, 0, 99, MakeRunList({{10, 3, 1}}), 10 * Cluster},
      {"runs short of the last VCN, past the size", 5 * Cluster, 100 * Cluster, 0, 99, MakeRunList({{10, 3, 1}}),
       5 * Cluster},
      {"empty attribute", 0, 0, 0, UINT64_MAX, MakeRunList({}), 0},
      {"5 GiB sparse file keeps its 64-bit size", (5ull << 30) + 1, 5ull << 30 | 4096, 0, (5ull << 18),
       MakeRunList({{1, 3, 1}, {(5ull << 18), 0, 0}}), (5ull << 30) + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(Open(RecordBuilder(Deleted).NonResidentData(c.runs, c.real, c.allocated, c.firstVcn, c.lastVcn).End().Build()),
              code::Success);
    MFTFileInfo info;
    ASSERT_EQ(drive.ReadRecordSummary(1, false, &info), code::Success);
    EXPECT_EQ(info.dataSize, c.real);
    if (c.readable > (64u << 20)) continue;  // read in the streaming tests
    CountingSink sink;
    std::uint64_t delivered = 0;
    ContentReport report;
    ASSERT_EQ(drive.ReadRecordContent(1, &sink, &delivered, &report), code::Success);
    EXPECT_EQ(delivered, c.readable);
    EXPECT_EQ(report.missingBytes, c.real - c.readable);
    // Whole, or without a report, a short file is no success.
    ByteBuffer data;
    std::uint32_t size = 0;
    const DWORD whole = c.readable < c.real ? code::FileCorrupt : code::Success;
    EXPECT_EQ(drive.ReadRecordData(1, &data, &size), whole);
    EXPECT_EQ(drive.ReadRecordContent(1, &sink, &delivered), whole);
  }
}

TEST_F(ContentTest, DiskEndAndDiskErrorsStopTheRead) {
  // A run past the disk's end: the read delivers nothing and ends there.
  ASSERT_EQ(Open(RecordBuilder(Deleted).NonResidentData(MakeRunList({{2, 100, 1}}), 8192, 8192, 0, 1).End().Build()),
            code::Success);
  ByteBuffer data;
  std::uint32_t size = 0;
  EXPECT_EQ(drive.ReadRecordData(1, &data, &size), code::HandleEof);
  EXPECT_EQ(data, nullptr);

  // A failing disk passes its own code up.
  ASSERT_EQ(Open(RecordBuilder(Deleted).NonResidentData(MakeRunList({{2, 10, 1}}), 8192, 8192, 0, 1).End().Build()),
            code::Success);
  disk.failFrom = 10 * Cluster;
  EXPECT_EQ(drive.ReadRecordData(1, &data, &size), code::Crc);
}

TEST_F(ContentTest, ContiguousRunsAreReadInLargeGroups) {
  ASSERT_EQ(Open(RecordBuilder(Deleted).NonResidentData(MakeRunList({{1024, 40, 1}}), 1024 * Cluster, 1024 * Cluster, 0, 1023).End().Build(),
                 1100),
            code::Success);
  const std::size_t before = disk.reads;
  ByteBuffer data;
  std::uint32_t size = 0;
  ASSERT_EQ(drive.ReadRecordData(1, &data, &size), code::Success);
  // The record, then 4 MiB in 1 MiB groups, not one call per cluster.
  EXPECT_EQ(disk.reads - before, 1u + 4u);
}

TEST_F(ContentTest, StreamingGivesTheSameBytesAsTheWholeReadAndStopsWithTheSink) {
  Bytes runs = MakeRunList({{300, 50, 2}, {600, 0, 0}, {280, 400, 2}});
  const std::uint64_t size = 1180 * Cluster - 77;
  ASSERT_EQ(Open(RecordBuilder(Deleted).FileName(5, 0, u"big").NonResidentData(runs, size, 1180 * Cluster, 0, 1179).End().Build(),
                 1200),
            code::Success);
  for (std::size_t i = 64 * Cluster; i < disk.Bytes().size(); ++i) disk.Bytes()[i] = static_cast<std::uint8_t>(i * 13);
  Bytes content;
  ASSERT_EQ(ReadBoth(&content), code::Success);
  ASSERT_EQ(content.size(), size);

  // A failing sink ends the read with its own code.
  CollectingSink failing;
  failing.failAfter = 2;
  std::uint64_t streamed = 0;
  EXPECT_EQ(drive.ReadRecordContent(1, &failing, &streamed), code::DiskFull);
  EXPECT_EQ(failing.chunks, 3u);
}

TEST_F(ContentTest, ResidentAndEmptyValues) {
  struct Case {
    const char* what;
    Bytes record;
    Bytes content;
  };
  const Case cases[] = {
      {"resident", RecordBuilder(Deleted).ResidentData(Pattern(699, 2)).End().Build(), Pattern(699, 2)},
      {"empty resident", RecordBuilder(Deleted).ResidentData({}).End().Build(), {}},
      {"empty non-resident", RecordBuilder(Deleted).NonResidentData(MakeRunList({}), 0, 0, 0, UINT64_MAX).End().Build(), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(Open(c.record), code::Success);
    ByteBuffer data;
    std::uint32_t size = 0;
    ASSERT_EQ(drive.ReadRecordData(1, &data, &size), code::Success);
    EXPECT_NE(data, nullptr);  // a value, however empty: not "no $DATA"
    Bytes content;
    ASSERT_EQ(ReadBoth(&content), code::Success);
    EXPECT_TRUE(content == c.content);
  }
}

// Content is read strictly: a run list with a fault, which a summary reads
// up to the fault, makes the content unreadable.
TEST_F(ContentTest, ContentRefusesRunListsWithAFault) {
  const Bytes goodRuns = MakeRunList({{2, 10, 1}});
  Bytes listOutside = NonResidentAttribute(goodRuns);
  PutLE(listOutside, ntfs::AttrRunListOffset, 0x400, 2);
  const std::pair<const char*, Bytes> cases[] = {
      {"header cut before the real size", NonResidentAttribute(goodRuns, 0x30)},
      {"run header nibble above 8", NonResidentAttribute(Bytes{0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0})},
      {"run list offset outside the attribute", listOutside},
  };
  for (const auto& [what, attribute] : cases) {
    SCOPED_TRACE(what);
    ASSERT_EQ(Open(RecordBuilder(Deleted).FileName(5, 0, u"f").Raw(attribute).End().Build()), code::Success);
    ByteBuffer data;
    std::uint32_t size = 0;
    EXPECT_EQ(drive.ReadRecordData(1, &data, &size), code::InvalidParameter);
    HashingSink sink;
    std::uint64_t streamed = 0;
    EXPECT_EQ(drive.ReadRecordContent(1, &sink, &streamed), code::InvalidParameter);
  }
}

}  // namespace
