// The volume reader on real NTFS volumes made at test time (mkntfs, files
// written and deleted through an ntfs-3g mount), checked against what was
// written and against The Sleuth Kit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <set>

#include "ntfs/NTFSDrive.h"
#include "platform/Disk.h"
#include "platform/Text.h"
#include "support/TestVolumes.h"

namespace {

using Row = std::map<std::string, std::string>;

std::string Tool(const std::string& name) { return std::string(PELMORA_SOURCE_DIR) + "/tools/" + name; }

std::uint64_t Number(const Row& row, const std::string& field) {
  return std::strtoull(row.at(field).c_str(), nullptr, 10);
}

// One volume per set, made once for all tests of the suite.
struct RealVolume {
  std::string image;
  std::vector<Row> manifest;
  std::vector<Row> oracle;
};

class RealVolumeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0) return;  // SetUp reports it
    dir = new TempDir;
    standard = Make("standard", "--set standard", true);
  }
  static void TearDownTestSuite() {
    delete standard;
    delete big;
    delete dir;
    standard = big = nullptr;
    dir = nullptr;
  }
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "real volumes need root (mkntfs, ntfs-3g mount)";
    ASSERT_NE(standard, nullptr);
  }

  static RealVolume* Make(const std::string& name, const std::string& options, bool withOracle) {
    auto* volume = new RealVolume;
    volume->image = dir->Path() + "/" + name + ".img";
    const std::string manifest = dir->Path() + "/" + name + ".tsv";
    std::string log;
    if (RunCommand("python3 " + Tool("mkvolume.py") + " ntfs " + volume->image + " --manifest " + manifest + " " +
                       options + " 2>&1",
                   &log) != 0) {
      ADD_FAILURE() << "mkvolume failed:\n" << log;
      return volume;
    }
    volume->manifest = ReadTsv(manifest);
    if (withOracle) {
      const std::string oracle = dir->Path() + "/" + name + ".oracle.tsv";
      EXPECT_EQ(RunCommand("python3 " + Tool("tskoracle.py") + " " + volume->image + " > " + oracle), 0);
      volume->oracle = ReadTsv(oracle);
    }
    return volume;
  }

  static DWORD Open(const std::string& image, std::uint32_t start, std::unique_ptr<DiskDevice>* disk,
                    CNTFSDrive* drive) {
    DWORD result = DiskDevice::OpenPath(image, disk);
    if (result != code::Success) return result;
    drive->AttachDisk(disk->get());
    drive->SetPartitionStart(start);
    return drive->Initialize();
  }

  static TempDir* dir;
  static RealVolume* standard;
  static RealVolume* big;
};

TempDir* RealVolumeTest::dir = nullptr;
RealVolume* RealVolumeTest::standard = nullptr;
RealVolume* RealVolumeTest::big = nullptr;

TEST_F(RealVolumeTest, EveryRecordAgreesWithTheSleuthKit) {
  std::unique_ptr<DiskDevice> disk;
  CNTFSDrive drive;
  ASSERT_EQ(Open(standard->image, 0, &disk, &drive), code::Success);
  ASSERT_FALSE(standard->oracle.empty());
  EXPECT_EQ(drive.RecordCount(), standard->oracle.size());

  std::size_t deletedChecked = 0, directoriesChecked = 0;
  for (const Row& row : standard->oracle) {
    const auto index = static_cast<std::uint32_t>(Number(row, "record"));
    SCOPED_TRACE("record " + row.at("record") + " " + row.at("name"));
    MFTFileInfo info;
    const bool allocated = row.at("allocated") == "1";
    const bool directory = row.at("isdir") == "1";
    if (row.at("status") != "ok") {
      EXPECT_EQ(drive.ReadRecordSummary(index, false, &info), code::InvalidParameter);
      continue;
    }
    if (allocated && !directory) {
      // An in-use file says only that it is in use.
      ASSERT_EQ(drive.ReadRecordSummary(index, false, &info), code::Success);
      EXPECT_FALSE(info.deleted);
      EXPECT_EQ(info.name[0], 0);
      EXPECT_EQ(info.dataSize, 0u);
      EXPECT_EQ(info.parentRecordLow, 0u);
      continue;
    }
    // Deleted records of any kind are read whole; directories are read whole
    // when walked up, in use or not.
    ASSERT_EQ(drive.ReadRecordSummary(index, directory, &info), code::Success);
    EXPECT_EQ(info.deleted, !allocated);
    EXPECT_EQ(Utf8FromUtf16(std::u16string(info.name)), row.at("name"));
    EXPECT_EQ(info.parentRecordLow, Number(row, "parent"));
    EXPECT_EQ(info.dataSize, Number(row, "datasize"));
    EXPECT_EQ(info.creationTime, Number(row, "crtime"));
    EXPECT_EQ(info.modificationTime, Number(row, "mtime"));
    directory ? ++directoriesChecked : ++deletedChecked;
  }
  EXPECT_GT(deletedChecked, 30u);
  EXPECT_GT(directoriesChecked, 5u);
  MFTFileInfo info;
  EXPECT_EQ(drive.ReadRecordSummary(drive.RecordCount(), false, &info), code::NoMoreFiles);
  EXPECT_EQ(drive.ReadRecordSummary(drive.RecordCount() + 1000, true, &info), code::NoMoreFiles);
}

TEST_F(RealVolumeTest, DeletedFilesReadBackExactly) {
  std::unique_ptr<DiskDevice> disk;
  CNTFSDrive drive;
  ASSERT_EQ(Open(standard->image, 0, &disk, &drive), code::Success);
  std::set<std::string> kinds;
  for (const Row& row : standard->manifest) {
    if (row.at("state") != "deleted" || row.at("kind") != "file") continue;
    SCOPED_TRACE(row.at("path"));
    const auto index = static_cast<std::uint32_t>(Number(row, "record"));
    const std::uint64_t size = Number(row, "size");
    MFTFileInfo info;
    ASSERT_EQ(drive.ReadRecordSummary(index, false, &info), code::Success);
    EXPECT_TRUE(info.deleted);
    EXPECT_EQ(info.dataSize, size);
    EXPECT_EQ(info.creationTime, Number(row, "crtime"));
    EXPECT_EQ(info.modificationTime, Number(row, "mtime"));
    const std::uint32_t attributes = static_cast<std::uint32_t>(Number(row, "attrs"));
    EXPECT_EQ(info.fileAttributes & attributes, attributes);
    const std::string path = row.at("path");
    EXPECT_EQ(Utf8FromUtf16(std::u16string(info.name)), path.substr(path.rfind('/') + 1));

    ByteBuffer data;
    std::uint32_t held = 0;
    ASSERT_EQ(drive.ReadRecordData(index, &data, &held), code::Success);
    ASSERT_EQ(held, size);
    EXPECT_EQ(Sha256Hex(data.get(), held), row.at("sha256"));

    HashingSink sink;
    std::uint64_t streamed = 0;
    ASSERT_EQ(drive.ReadRecordContent(index, &sink, &streamed), code::Success);
    EXPECT_EQ(streamed, size);
    EXPECT_EQ(sink.total, size);
    EXPECT_EQ(sink.hash.Hex(), row.at("sha256"));

    if (size == 0) kinds.insert("empty");
    if (size > 0 && size < 700 && Number(row, "fragments") == 0) kinds.insert("resident");
    if (Number(row, "fragments") > 1) kinds.insert("fragmented");
    if (size > (4u << 20)) kinds.insert("several MiB");
  }
  // The maker must have given every kind, or this test proves less than it says.
  EXPECT_EQ(kinds, (std::set<std::string>{"empty", "resident", "fragmented", "several MiB"}));
}

TEST_F(RealVolumeTest, APartitionInsideADiskReadsTheSame) {
  const std::string diskImage = dir->Path() + "/mbr.img";
  std::string layout;
  ASSERT_EQ(RunCommand("python3 " + Tool("mkdisk.py") + " " + diskImage + " ntfs:" + standard->image, &layout), 0);
  // "index start count type" of the first partition.
  unsigned index = 0, start = 0;
  ASSERT_EQ(std::sscanf(layout.c_str(), "%u %u", &index, &start), 2) << layout;
  ASSERT_GT(start, 0u);

  std::unique_ptr<DiskDevice> whole, bare;
  CNTFSDrive inDisk, alone;
  ASSERT_EQ(Open(diskImage, start, &whole, &inDisk), code::Success);
  ASSERT_EQ(Open(standard->image, 0, &bare, &alone), code::Success);
  ASSERT_EQ(inDisk.RecordCount(), alone.RecordCount());
  for (const Row& row : standard->manifest) {
    if (row.at("state") != "deleted" || row.at("kind") != "file") continue;
    const auto record = static_cast<std::uint32_t>(Number(row, "record"));
    HashingSink sink;
    std::uint64_t size = 0;
    ASSERT_EQ(inDisk.ReadRecordContent(record, &sink, &size), code::Success);
    EXPECT_EQ(sink.hash.Hex(), row.at("sha256")) << row.at("path");
  }
  // A partition start that is not the volume's finds no NTFS boot sector.
  CNTFSDrive wrong;
  std::unique_ptr<DiskDevice> again;
  EXPECT_EQ(Open(diskImage, 0, &again, &wrong), code::InvalidDrive);
}

TEST_F(RealVolumeTest, FatVolumesAndReattachedDisks) {
  const std::string fat = dir->Path() + "/fat.img";
  std::string log;
  ASSERT_EQ(RunCommand("python3 " + Tool("mkvolume.py") + " fat " + fat + " 2>&1", &log), 0) << log;
  std::unique_ptr<DiskDevice> disk;
  CNTFSDrive drive;
  EXPECT_EQ(Open(fat, 0, &disk, &drive), code::InvalidDrive);
  MFTFileInfo info;
  EXPECT_EQ(drive.ReadRecordSummary(30, false, &info), code::InvalidAccess);

  std::unique_ptr<DiskDevice> ntfs;
  ASSERT_EQ(Open(standard->image, 0, &ntfs, &drive), code::Success);
  EXPECT_EQ(drive.ReadRecordSummary(5, true, &info), code::Success);
  drive.AttachDisk(ntfs.get());
  EXPECT_EQ(drive.ReadRecordSummary(5, true, &info), code::InvalidAccess);
  ByteBuffer data;
  std::uint32_t size = 0;
  EXPECT_EQ(drive.ReadRecordData(5, &data, &size), code::InvalidAccess);
}

// A deleted sparse file of a few hundred MiB streams byte-exact in bounded
// chunks; it is never held whole.
TEST_F(RealVolumeTest, LargeSparseFileStreams) {
  big = Make("big", "--set big --big-mib 200", false);
  std::unique_ptr<DiskDevice> disk;
  CNTFSDrive drive;
  ASSERT_EQ(Open(big->image, 0, &disk, &drive), code::Success);
  bool seen = false;
  for (const Row& row : big->manifest) {
    if (row.at("state") != "deleted" || row.at("kind") != "file") continue;
    const std::uint64_t size = Number(row, "size");
    HashingSink sink;
    std::uint64_t streamed = 0;
    ASSERT_EQ(drive.ReadRecordContent(static_cast<std::uint32_t>(Number(row, "record")), &sink, &streamed),
              code::Success);
    EXPECT_EQ(streamed, size);
    EXPECT_EQ(sink.hash.Hex(), row.at("sha256")) << row.at("path");
    if (size >= (200u << 20)) seen = Number(row, "fragments") > 1;
  }
  EXPECT_TRUE(seen) << "the big set holds no sparse file of 200 MiB";
}

}  // namespace

namespace {

// The bundled demo disk reads back exactly what its manifest says; no root needed.
TEST(DemoDisk, DeletedFilesMatchTheManifest) {
  TempDir dir;
  const std::string image = dir.Path() + "/demo.img";
  const std::string source = std::string(PELMORA_SOURCE_DIR) + "/demo/";
  ASSERT_EQ(RunCommand("xz -dc " + source + "demo-disk.img.xz > " + image), 0);
  std::unique_ptr<DiskDevice> disk;
  ASSERT_EQ(DiskDevice::OpenPath(image, &disk), code::Success);
  CNTFSDrive drive;
  drive.AttachDisk(disk.get());
  drive.SetPartitionStart(2048);
  ASSERT_EQ(drive.Initialize(), code::Success);
  std::size_t checked = 0;
  for (const Row& row : ReadTsv(source + "demo-disk.manifest.tsv")) {
    if (row.at("state") != "deleted" || row.at("kind") != "file") continue;
    HashingSink sink;
    std::uint64_t size = 0;
    ASSERT_EQ(drive.ReadRecordContent(static_cast<std::uint32_t>(Number(row, "record")), &sink, &size),
              code::Success);
    EXPECT_EQ(sink.hash.Hex(), row.at("sha256")) << row.at("path");
    ++checked;
  }
  EXPECT_GE(checked, 9u);
}

}  // namespace
