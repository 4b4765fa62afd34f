// Damaged input that only crafted bytes can show: extended boot records
// that lead back into their own chain, a $MFT record 0 whose runs leave the
// disk or whose name is wrong, FILE records whose attribute lengths lie, and
// hostile names recovered into a folder. Every case must end with a clear
// code or a sound row; ASan and UBSan watch for the rest.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "ntfs/NTFSDrive.h"
#include "platform/Text.h"
#include "scan/PartitionLayout.h"
#include "scan/PartitionWalk.h"
#include "recover/Recovery.h"
#include "scan/Scanner.h"
#include "support/ScanRows.h"
#include "support/TestVolumes.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint8_t Deleted = 0;
constexpr std::uint8_t InUse = ntfs::RecordInUse;
constexpr std::uint8_t Directory = ntfs::RecordIsDirectory;
constexpr std::uint32_t Root = 5;
constexpr std::uint32_t Cluster = 4096;  // CraftedVolume's default

// ---------------------------------------------------------------------------
// Extended boot record chains

// A boot record whose entries are (type, first sector) pairs.
Bytes BootRecord(const std::vector<std::pair<std::uint8_t, std::uint32_t>>& entries) {
  Bytes record(mbr::SectorSize, 0);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t at = mbr::TableOffset + i * mbr::EntrySize;
    record[at + mbr::EntryType] = entries[i].first;
    PutLE(record, at + mbr::EntryFirstSector, entries[i].second, 4);
    PutLE(record, at + mbr::EntrySectorCount, 1000, 4);
  }
  record[510] = 0x55;
  record[511] = 0xAA;
  return record;
}

class NoVolumes : public VolumeLookup {
 public:
  bool RootForSerial(std::uint32_t, std::u16string*) override { return false; }
};

// Links that lead back to a record already read: the walk ends by itself
// with success, and every item it reported is a partition of the chain, in
// chain order. (A first EBR that names itself is covered with the walk's
// own tests; a real disk with the maker's loops is in the volume tests.)
TEST(BadInputPartitions, ChainsThatLeadBackEnd) {
  struct Case {
    const char* what;
    std::map<std::uint64_t, Bytes> records;  // by sector
    std::vector<std::uint32_t> starts;      // the partitions, in the order first met
  };
  const Case cases[] = {
      {"the extended partition starts at sector 0: the MBR is its own EBR",
       {{0, BootRecord({{mbr::TypeNtfs, 2048}, {mbr::TypeExtended, 0}})}},
       {2048}},
      {"the third EBR leads back to the second",
       {{0, BootRecord({{mbr::TypeExtended, 10000}})},
        {10000, BootRecord({{mbr::TypeNtfs, 63}, {mbr::TypeExtended, 3000}})},
        {13000, BootRecord({{mbr::TypeFat32, 63}, {mbr::TypeExtendedLba, 6000}})},
        {16000, BootRecord({{mbr::TypeNtfs, 63}, {mbr::TypeExtended, 3000}})}},
       {10063, 13063, 16063}},
      {"an EBR that holds only a link to itself",
       {{0, BootRecord({{mbr::TypeExtended, 10000}})}, {10000, BootRecord({{mbr::TypeExtended, 0}})}},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryDisk disk;
    for (const auto& [sector, record] : c.records) disk.Write(sector * mbr::SectorSize, record);
    NoVolumes volumes;
    std::vector<std::uint32_t> found;
    EXPECT_EQ(WalkDisk(disk, 0, volumes, [&](const FoundPartition& p) { found.push_back(p.item.startSector); }),
              code::Success);
    ASSERT_GE(found.size(), c.starts.size());
    EXPECT_EQ(std::vector<std::uint32_t>(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(c.starts.size())),
              c.starts);
    for (std::uint32_t start : found) {
      EXPECT_NE(std::find(c.starts.begin(), c.starts.end(), start), c.starts.end()) << start;
    }
    // Bounded work: the MBR, at most the allowed number of EBRs, one boot
    // sector per item.
    EXPECT_LE(found.size(), 1 + mbr::MaxExtendedRecords * mbr::EntryCount);
    EXPECT_LE(disk.reads, 1 + mbr::MaxExtendedRecords + found.size());
  }
}

// ---------------------------------------------------------------------------
// Record 0 of the $MFT

Bytes FileRecord(std::uint8_t flags, const std::u16string& name, std::uint64_t parent, std::size_t size,
                 std::uint8_t fill) {
  return RecordBuilder(flags)
      .StandardInformation(FileTimeUtc(2010, 5, 6, 7, 8, 9), FileTimeUtc(2011, 5, 6, 7, 8, 9))
      .FileName(parent, 0x20, name)
      .ResidentData(Bytes(size, fill))
      .End()
      .Build();
}

// Records 1 to `last` of `volume`: those given, the root folder, and small
// files in use elsewhere.
void FillRecords(const std::map<std::uint32_t, Bytes>& given, std::uint32_t last, CraftedVolume* volume) {
  for (std::uint32_t i = 1; i <= last; ++i) {
    const auto found = given.find(i);
    if (found != given.end()) {
      volume->records.push_back(found->second);
    } else if (i == Root) {
      volume->records.push_back(RecordBuilder(InUse | Directory).FileName(Root, 0x10000000, u".").End().Build());
    } else {
      volume->records.push_back(FileRecord(InUse, u"inuse", Root, 10, 0));
    }
  }
}

// Record 0 with the given name and $DATA runs over `clusters` clusters.
Bytes MftRecord(const Bytes& runs, std::uint64_t clusters, const std::u16string& name = u"$MFT") {
  RecordBuilder record;
  record.StandardInformation(1, 1);
  if (!name.empty()) record.FileName(Root, 0x06, name);
  return record.NonResidentData(runs, clusters * Cluster, clusters * Cluster, 0, clusters - 1).End().Build();
}

// Initialize fails with a clear code and leaves the drive not initialised.
// The volume's MFT is cluster 4; the disk ends right after it.
TEST(BadInputMft, RecordZeroThatCannotBeLoadedFailsInitialize) {
  struct Case {
    const char* what;
    Bytes recordZero;
    DWORD expected;
    bool failingDisk = false;  // reads from cluster 5 on fail with 23
  };
  const Case cases[] = {
      {"first run past the disk's end", MftRecord(MakeRunList({{1, 100000, 3}}), 1), code::HandleEof},
      {"second run past the disk's end", MftRecord(MakeRunList({{1, 4, 1}, {1, 100000, 3}}), 2), code::HandleEof},
      {"a run that leaves the disk midway", MftRecord(MakeRunList({{16, 4, 1}}), 16), code::HandleEof},
      // Held in lazily taken pages, so only what the disk gives is touched.
      {"a run of 2^40 clusters behind a 3 GiB size", MftRecord(MakeRunList({{1ull << 40, 4, 1}}), (3ull << 30) / Cluster),
       code::HandleEof},
      {"a start cluster whose byte position passes 64 bits", MftRecord(MakeRunList({{1, 1ll << 60, 8}}), 1),
       code::InvalidParameter},
      // The disk still answers there: only the records on the bad sectors are lost.
      {"a read error inside the $MFT", MftRecord(MakeRunList({{2, 4, 1}}), 2), code::Success, true},
      {"record 0 without a $FILE_NAME", MftRecord(MakeRunList({{1, 4, 1}}), 1, u""), code::BadDevice},
      {"record 0 named shorter than $MFT", MftRecord(MakeRunList({{1, 4, 1}}), 1, u"$MF"), code::BadDevice},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CraftedVolume volume;
    volume.records.push_back(FileRecord(Deleted, u"a.txt", Root, 10, 1));
    MemoryDisk disk;
    volume.WriteTo(disk);
    disk.Write(volume.ClusterOffset(volume.mftCluster), c.recordZero);
    ASSERT_EQ(disk.Bytes().size(), volume.ClusterOffset(volume.mftCluster + 1));
    if (c.failingDisk) disk.failFrom = volume.ClusterOffset(volume.mftCluster + 1);
    CNTFSDrive drive;
    drive.AttachDisk(&disk);
    drive.SetPartitionStart(volume.partitionStart);
    EXPECT_EQ(drive.Initialize(), c.expected);
    MFTFileInfo info;
    EXPECT_EQ(drive.ReadRecordSummary(1, false, &info), c.expected == code::Success ? code::Success : code::InvalidAccess);
    if (c.expected == code::Success) {
      const std::uint32_t recordsPerCluster = Cluster / ntfs::RecordSize;
      EXPECT_EQ(drive.ReadRecordSummary(recordsPerCluster, false, &info), code::Crc);
    }
  }
}

// ---------------------------------------------------------------------------
// FILE records whose attribute lengths lie

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every file below `root`, by its path relative to it, with its content.
std::map<std::string, std::string> FilesBelow(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[fs::relative(entry.path(), root).string()] = ReadFile(entry.path());
  }
  return files;
}

std::set<std::string> Entries(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

class CountingSink : public ContentSink {
 public:
  DWORD Write(const std::uint8_t*, std::uint32_t count) override {
    total += count;
    return code::Success;
  }
  std::uint64_t total = 0;
};

class CollectingRows : public RowSink {
 public:
  void RowAdded(const RowTable& table, std::size_t row) override { rows.push_back(MakeRow(table, row)); }
  std::vector<ScanRow> rows;
};

// A deleted file of 5000 bytes in clusters `cluster` and the next, and the
// offsets of its attributes.
struct DeletedFile {
  Bytes record;
  std::size_t standard, fileName, objectId, data;
  std::uint32_t fileNameLength;
};

DeletedFile MakeDeletedFile(const std::u16string& name, std::uint64_t cluster) {
  DeletedFile file;
  RecordBuilder builder(Deleted);
  file.standard = builder.Next();
  builder.StandardInformation(FileTimeUtc(2012, 1, 2, 3, 4, 5), FileTimeUtc(2013, 1, 2, 3, 4, 5));
  file.fileName = builder.Next();
  builder.FileName(Root, 0x20, name);
  file.fileNameLength = static_cast<std::uint32_t>(builder.Next() - file.fileName);
  file.objectId = builder.Next();
  builder.Resident(0x40, Bytes(16, 0x11));  // $OBJECT_ID: passed over by the walk
  file.data = builder.Next();
  builder.NonResidentData(MakeRunList({{2, static_cast<std::int64_t>(cluster), 2}}), 5000, 2 * Cluster, 0, 1);
  file.record = builder.End().Build();
  return file;
}

// Records 30 and 41 are sound deleted files; 31 to 40 are the same file with
// one attribute length changed. Content lies from cluster 40 on.
class BadInputRecords : public ::testing::Test {
 protected:
  struct Damage {
    const char* what;
    std::size_t DeletedFile::*attribute;
    std::function<std::uint32_t(const DeletedFile&, std::size_t offset)> length;
  };

  static std::vector<Damage> Damages() {
    auto fixed = [](std::uint32_t value) { return [value](const DeletedFile&, std::size_t) { return value; }; };
    auto pastEnd = [](const DeletedFile&, std::size_t offset) {
      return static_cast<std::uint32_t>(ntfs::RecordSize + 1 - offset);
    };
    return {
        // An offset + length sum in 32 bits would wrap back inside the record.
        {"$STANDARD_INFORMATION length 0xFFFFFFF0", &DeletedFile::standard, fixed(0xFFFFFFF0)},
        {"$FILE_NAME length 0xFFFFFFF0", &DeletedFile::fileName, fixed(0xFFFFFFF0)},
        {"$DATA length 0xFFFFFFF0", &DeletedFile::data, fixed(0xFFFFFFF0)},
        {"$FILE_NAME length one byte past the record's end", &DeletedFile::fileName, pastEnd},
        {"$DATA length one byte past the record's end", &DeletedFile::data, pastEnd},
        // Cut to the 16 bits of an attribute offset it would be the true length.
        {"$FILE_NAME length that wraps 16 bits", &DeletedFile::fileName,
         [](const DeletedFile& f, std::size_t) { return 0x10000 + f.fileNameLength; }},
        {"$STANDARD_INFORMATION length smaller than its header", &DeletedFile::standard, fixed(0x10)},
        {"$FILE_NAME length smaller than its header", &DeletedFile::fileName, fixed(8)},
        {"$DATA length smaller than the non-resident header", &DeletedFile::data, fixed(0x30)},
        {"$OBJECT_ID length smaller than any attribute header", &DeletedFile::objectId, fixed(8)},
    };
  }

  static constexpr std::uint32_t FirstDamaged = 31;

  void SetUp() override {
    CraftedVolume volume;
    std::map<std::uint32_t, Bytes> given;
    given[30] = MakeDeletedFile(u"before.bin", 40).record;
    const std::vector<Damage> damages = Damages();
    for (std::size_t i = 0; i < damages.size(); ++i) {
      DeletedFile file = MakeDeletedFile(u"damaged.bin", 40);
      const std::size_t offset = file.*(damages[i].attribute);
      PutLE(file.record, offset + ntfs::AttrLength, damages[i].length(file, offset), 4);
      given[FirstDamaged + static_cast<std::uint32_t>(i)] = file.record;
    }
    after = FirstDamaged + static_cast<std::uint32_t>(damages.size());
    given[after] = MakeDeletedFile(u"after.bin", 42).record;
    FillRecords(given, after, &volume);
    volume.WriteTo(disk);
    Bytes content(4 * Cluster);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7 + 3);
    disk.Write(volume.ClusterOffset(40), content);
    drive.AttachDisk(&disk);
    drive.SetPartitionStart(volume.partitionStart);
    ASSERT_EQ(drive.Initialize(), code::Success);
    destination = fs::path(dir.Path()) / "out";
    fs::create_directory(destination);
  }

  MemoryDisk disk;
  CNTFSDrive drive;
  std::uint32_t after = 0;
  TempDir dir;
  fs::path destination;
};

TEST_F(BadInputRecords, EveryOperationRefusesThemAsInvalidParameter) {
  const std::vector<Damage> damages = Damages();
  for (std::size_t i = 0; i < damages.size(); ++i) {
    SCOPED_TRACE(damages[i].what);
    const std::uint32_t index = FirstDamaged + static_cast<std::uint32_t>(i);
    MFTFileInfo info;
    EXPECT_EQ(drive.ReadRecordSummary(index, false, &info), code::InvalidParameter);
    ByteBuffer data;
    std::uint32_t size = 7;
    EXPECT_EQ(drive.ReadRecordData(index, &data, &size), code::InvalidParameter);
    EXPECT_EQ(data, nullptr);
    CountingSink sink;
    std::uint64_t streamed = 0;
    EXPECT_EQ(drive.ReadRecordContent(index, &sink, &streamed), code::InvalidParameter);
    EXPECT_EQ(sink.total, 0u);
    RecoveredFile file;
    EXPECT_EQ(RecoverRecord(drive, index, destination.u16string(), u"C:\\", false, &file), code::InvalidParameter);
    EXPECT_EQ(file.step, RecoveryStep::ReadingRecord);
  }
  // Nothing was created for any of them.
  EXPECT_TRUE(fs::is_empty(destination));
}

TEST_F(BadInputRecords, TheScanCountsThemAndGoesOn) {
  const std::atomic<bool> stop{false};
  CollectingRows rows;
  ScanTotals totals;
  ASSERT_EQ(ScanRecords(drive, u"C:\\", stop, rows, &totals), code::Success);
  EXPECT_EQ(totals.examined, after - ntfs::FirstUserRecord + 1);
  ASSERT_EQ(rows.rows.size(), 2u);
  EXPECT_EQ(rows.rows[0].name, u"before.bin");
  EXPECT_EQ(rows.rows[1].name, u"after.bin");
  EXPECT_EQ(rows.rows[1].recordIndex, after);
  // The rows are sound: both recover whole.
  for (const ScanRow& row : rows.rows) {
    RecoveredFile file;
    EXPECT_EQ(RecoverRecord(drive, row.recordIndex, destination.u16string(), row.path, false, &file), code::Success);
    EXPECT_EQ(file.bytes, 5000u);
  }
  EXPECT_EQ(Entries(destination), (std::set<std::string>{"before.bin", "after.bin"}));
}

// A value that a record puts past the disk's end (here a $FILE_NAME made
// non-resident, as a flipped flag byte would) is as damaged as one that
// leaves the record: its summary fails with 38 and the scan passes over it.
TEST(BadInputRecordsOffDisk, AValuePastTheDiskEndDoesNotEndTheScan) {
  CraftedVolume volume;
  for (std::uint32_t i = 1; i < 30; ++i) {
    volume.records.push_back(i == Root ? RecordBuilder(InUse | Directory).FileName(Root, 0x10000000, u".").End().Build()
                                       : FileRecord(InUse, u"inuse", Root, 10, 0));
  }
  RecordBuilder builder(Deleted);
  builder.StandardInformation(1, 2);
  const std::size_t fileName = builder.Next();
  builder.NonResidentData(MakeRunList({{1, 5000000, 3}}), 200, Cluster, 0, 0).ResidentData(Bytes(10, 1));
  Bytes offDisk = builder.End().Build();
  PutLE(offDisk, fileName + ntfs::AttrType, ntfs::TypeFileName, 4);
  volume.records.push_back(FileRecord(Deleted, u"first.txt", Root, 10, 1));    // 30
  volume.records.push_back(offDisk);                                           // 31
  volume.records.push_back(FileRecord(Deleted, u"last.txt", Root, 20, 2));     // 32
  MemoryDisk disk;
  CNTFSDrive drive;
  ASSERT_EQ(volume.Open(disk, drive), code::Success);

  MFTFileInfo info;
  EXPECT_EQ(drive.ReadRecordSummary(31, false, &info), code::HandleEof);
  const std::atomic<bool> stop{false};
  CollectingRows rows;
  ScanTotals totals;
  EXPECT_EQ(ScanRecords(drive, u"C:\\", stop, rows, &totals), code::Success);
  EXPECT_EQ(totals.examined, 17u);  // records 16 to 32
  ASSERT_EQ(rows.rows.size(), 2u);
  EXPECT_EQ(rows.rows[1].name, u"last.txt");
}

// ---------------------------------------------------------------------------
// Hostile names

// Files and folders whose names would leave the destination, name a device
// or a stream, or end in dots, scanned and recovered as the scan's rows say:
// every file lands below the destination under a safe name, and nothing
// else appears beside the destination.
TEST(BadInputNames, RecoveredFilesStayInsideTheDestination) {
  struct Entry {
    std::uint32_t record;
    bool folder;
    std::u16string name;
    std::uint32_t parent;
    std::string expected;  // where the file lands, below the destination
  };
  const Entry entries[] = {
      {30, true, u"..", Root, ""},
      {31, true, u"..\\..\\up", Root, ""},
      {32, true, u"C:", 30, ""},
      {33, false, u"..\\..\\x", Root, ".._.._x"},
      {34, false, u"a/b", 30, "__/a_b"},
      {35, false, u"C:evil", 31, "__/__/up/C_evil"},
      {36, false, u"CON", 32, "__/C_/_CON"},
      {37, false, u"nul.txt", Root, "_nul.txt"},
      {38, false, u"LPT1", 31, "__/__/up/_LPT1"},
      {39, false, u"trailing...", Root, "trailing___"},
      {40, false, u"/etc/passwd", Root, "_etc_passwd"},
      {41, false, u"..", 32, "__/C_/__"},
      {42, false, u".", Root, "_"},
      {43, false, u"", 31, "__/__/up/_"},
      {44, false, u"stream.txt:secret:$DATA", Root, "stream.txt_secret_$DATA"},
  };
  CraftedVolume volume;
  std::map<std::uint32_t, Bytes> given;
  std::map<std::string, std::string> expected;
  for (const Entry& e : entries) {
    if (e.folder) {
      given[e.record] = RecordBuilder(Directory)
                            .StandardInformation(1, 2)
                            .FileName(e.parent, 0x10000000, e.name)
                            .Resident(ntfs::TypeIndexRoot, Bytes(32, 0))
                            .End()
                            .Build();
    } else {
      const std::string content = "record " + std::to_string(e.record);
      given[e.record] = RecordBuilder(Deleted)
                            .StandardInformation(1, 2)
                            .FileName(e.parent, 0x20, e.name)
                            .ResidentData(Bytes(content.begin(), content.end()))
                            .End()
                            .Build();
      expected[e.expected] = content;
    }
  }
  FillRecords(given, 44, &volume);
  MemoryDisk disk;
  CNTFSDrive drive;
  ASSERT_EQ(volume.Open(disk, drive), code::Success);
  const std::atomic<bool> stop{false};
  CollectingRows rows;
  ScanTotals totals;
  ASSERT_EQ(ScanRecords(drive, u"C:\\", stop, rows, &totals), code::Success);
  ASSERT_EQ(rows.rows.size(), expected.size());

  TempDir dir;
  const fs::path parent = fs::path(dir.Path()) / "parent";
  const fs::path destination = parent / "destination";
  fs::create_directories(destination);
  for (const ScanRow& row : rows.rows) {
    SCOPED_TRACE(Utf8FromUtf16(row.path + row.name));
    RecoveredFile file;
    EXPECT_EQ(RecoverRecord(drive, row.recordIndex, destination.u16string(), row.path, false, &file), code::Success);
    const fs::path written(Utf8FromUtf16(file.path));
    EXPECT_EQ(fs::weakly_canonical(written).string().rfind(fs::weakly_canonical(destination).string() + "/", 0), 0u)
        << written;
  }
  // Byte for byte what each record holds, where its safe path says.
  EXPECT_EQ(FilesBelow(destination), expected);
  EXPECT_EQ(Entries(parent), (std::set<std::string>{"destination"}));
  EXPECT_EQ(Entries(dir.Path()), (std::set<std::string>{"parent"}));
}

}  // namespace
