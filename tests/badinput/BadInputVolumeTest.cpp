// Damaged copies of a real volume (mkntfs + ntfs-3g, the demo set) and of
// real disks: cut short, record 0's runs sent off the disk, the boot sector
// pointing at the wrong record, names rewritten to hostile ones, extended
// boot records that loop. Read through CNTFSDrive and pelmora-cli end to
// end: a clear code or sound rows, nothing written outside the destination,
// and the image unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "ntfs/NTFSDrive.h"
#include "platform/Disk.h"
#include "platform/Errors.h"
#include "platform/Text.h"
#include "platform/Volumes.h"
#include "scan/PartitionWalk.h"
#include "support/CliRun.h"
#include "support/TestVolumes.h"

namespace {

namespace fs = std::filesystem;
using Row = std::map<std::string, std::string>;

std::string Sha(const std::string& bytes) {
  return Sha256Hex(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::set<std::string> Entries(const fs::path& folder) {
  std::set<std::string> names;
  if (!fs::exists(folder)) return names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

// Every file below `root` by its relative path, with its content.
std::map<std::string, std::string> FilesBelow(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[fs::relative(entry.path(), root).string()] = ReadWholeFile(entry.path());
  }
  return files;
}

// The first `bytes` bytes of `source` as a new image.
void CopyPrefix(const std::string& source, const std::string& target, std::uint64_t bytes) {
  fs::copy_file(source, target, fs::copy_options::overwrite_existing);
  fs::resize_file(target, bytes);
}

void Patch(const std::string& image, std::uint64_t offset, const Bytes& bytes) {
  std::fstream file(image, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes ReadBytes(const std::string& image, std::uint64_t offset, std::size_t count) {
  std::ifstream file(image, std::ios::binary);
  file.seekg(static_cast<std::streamoff>(offset));
  Bytes bytes(count);
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  return bytes;
}

std::uint64_t LE(const Bytes& bytes, std::size_t offset, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = width; i-- > 0;) value = value << 8 | bytes.at(offset + i);
  return value;
}

class ContentCollector : public ContentSink {
 public:
  DWORD Write(const std::uint8_t* bytes, std::uint32_t count) override {
    content.append(reinterpret_cast<const char*>(bytes), count);
    return code::Success;
  }
  std::string content;
};

// A deleted file of the demo volume, with where its content lies.
struct DeletedFile {
  std::string path;
  std::uint32_t record = 0;
  std::uint64_t size = 0;
  std::string sha256;
  std::vector<std::uint64_t> clusters;  // empty when the content is resident
  std::string content;                  // as read from the whole image
};

// The clusters of a record's non-resident $DATA, as istat lists them.
std::vector<std::uint64_t> DataClusters(const std::string& image, std::uint32_t record) {
  std::string out;
  RunCommand("istat " + image + " " + std::to_string(record), &out);
  std::vector<std::uint64_t> clusters;
  bool inData = false;
  for (const std::string& line : Lines(out)) {
    if (line.rfind("Type: ", 0) == 0) {
      inData = line.find("$DATA") != std::string::npos && line.find("Non-Resident") != std::string::npos;
      continue;
    }
    if (!inData) continue;
    std::istringstream numbers(line);
    std::uint64_t cluster = 0;
    while (numbers >> cluster) clusters.push_back(cluster);
  }
  return clusters;
}

class BadInputVolume : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0) return;  // SetUp reports it
    dir = new TempDir;
    image = dir->Path() + "/demo.img";
    std::string log;
    if (RunCommand("python3 " + Tool("mkvolume.py") + " ntfs " + image + " --manifest " + dir->Path() +
                       "/demo.tsv --set demo --size-mib 16 2>&1",
                   &log) != 0) {
      ADD_FAILURE() << log;
      return;
    }
    const Bytes boot = ReadBytes(image, 0, 512);
    clusterSize = static_cast<std::uint32_t>(LE(boot, ntfs::BootBytesPerSector, 2) * boot[ntfs::BootSectorsPerCluster]);
    mftOffset = LE(boot, ntfs::BootMftCluster, 8) * clusterSize;

    std::unique_ptr<DiskDevice> disk;
    CNTFSDrive drive;
    if (Open(image, &disk, &drive) != code::Success) return;
    for (const Row& row : ReadTsv(dir->Path() + "/demo.tsv")) {
      DeletedFile file;
      file.path = row.at("path");
      file.record = static_cast<std::uint32_t>(std::stoul(row.at("record")));
      records[file.path] = file.record;
      if (row.at("state") != "deleted" || row.at("kind") != "file" || row.at("size") == "0") continue;
      file.size = std::stoull(row.at("size"));
      file.sha256 = row.at("sha256");
      file.clusters = DataClusters(image, file.record);
      ContentCollector whole;
      std::uint64_t size = 0;
      drive.ReadRecordContent(file.record, &whole, &size);
      file.content = whole.content;
      deleted.push_back(file);
    }
  }
  static void TearDownTestSuite() {
    delete dir;
    dir = nullptr;
  }
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "real volumes need root (mkntfs, ntfs-3g mount)";
    ASSERT_FALSE(deleted.empty());
    for (const DeletedFile& file : deleted) ASSERT_EQ(Sha(file.content), file.sha256) << file.path;
    imageSha = FileSha(image);
  }
  void TearDown() override {
    if (!imageSha.empty()) {
      EXPECT_EQ(FileSha(image), imageSha) << "the volume image changed";
    }
  }

  static DWORD Open(const std::string& path, std::unique_ptr<DiskDevice>* disk, CNTFSDrive* drive) {
    DWORD result = DiskDevice::OpenPath(path, disk);
    if (result != code::Success) return result;
    drive->AttachDisk(disk->get());
    drive->SetPartitionStart(0);
    return drive->Initialize();
  }

  // A fresh, empty folder for one run of the tool.
  static std::string WorkDir(const std::string& name) {
    const std::string path = dir->Path() + "/" + name;
    fs::remove_all(path);
    fs::create_directories(path);
    return fs::canonical(path).string();
  }

  // Runs "recover" in the fresh folder `work`, where only "out" is made,
  // to the destination "out/dest" given relative to it.
  static CliRun Recover(const std::string& disk, const std::string& work) {
    fs::create_directory(work + "/out");
    return Cli({"recover", disk, "--start", "0", "--to", "out/dest"}, dir->Path(), work);
  }

  static CliRun List(const std::string& disk, const std::vector<std::string>& extra = {"--start", "0"}) {
    std::vector<std::string> args = {"list", disk, "--drive-text", "X:\\", "--format", "csv"};
    args.insert(args.end(), extra.begin(), extra.end());
    return Cli(args, dir->Path(), WorkDir("list"));
  }

  static TempDir* dir;
  static std::string image;
  static std::uint32_t clusterSize;
  static std::uint64_t mftOffset;
  static std::map<std::string, std::uint32_t> records;  // by path
  static std::vector<DeletedFile> deleted;               // with content
  std::string imageSha;
};

TempDir* BadInputVolume::dir = nullptr;
std::string BadInputVolume::image;
std::uint32_t BadInputVolume::clusterSize = 0;
std::uint64_t BadInputVolume::mftOffset = 0;
std::map<std::string, std::uint32_t> BadInputVolume::records;
std::vector<DeletedFile> BadInputVolume::deleted;

// The volume cut inside its boot sector, inside record 0, inside the rest
// of the $MFT and inside a file's content. Where the $MFT cannot be loaded
// nothing goes on; where a file's content is cut, that file fails with 38
// (what was written of it is its true beginning) and every other file is
// recovered whole.
TEST_F(BadInputVolume, TruncatedImages) {
  const auto biggest = std::max_element(deleted.begin(), deleted.end(), [](const DeletedFile& a, const DeletedFile& b) {
    return a.clusters.size() < b.clusters.size();
  });
  ASSERT_GE(biggest->clusters.size(), 4u);
  const std::uint64_t insideContent = biggest->clusters[biggest->clusters.size() / 2] * clusterSize + 1000;
  struct Case {
    const char* what;
    std::uint64_t length;
    DWORD initialize;
  };
  const Case cases[] = {
      {"inside the boot sector", 200, code::HandleEof},
      {"inside record 0", mftOffset + 500, code::InvalidParameter},  // fewer bytes than a record
      {"inside the $MFT after record 0", mftOffset + 40 * ntfs::RecordSize + 300, code::HandleEof},
      {"inside a file's content", insideContent, code::Success},
  };
  const CliRun whole = List(image);
  ASSERT_EQ(whole.status, 0) << whole.err;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string cut = dir->Path() + "/cut.img";
    CopyPrefix(image, cut, c.length);
    const std::string cutSha = FileSha(cut);

    std::unique_ptr<DiskDevice> disk;
    CNTFSDrive drive;
    EXPECT_EQ(Open(cut, &disk, &drive), c.initialize);
    std::map<std::string, std::string> recovered;  // what the tool must write, by path
    std::set<std::string> cutShort;
    for (const DeletedFile& file : deleted) {
      SCOPED_TRACE(file.path);
      MFTFileInfo info;
      ContentCollector sink;
      std::uint64_t size = 0;
      if (c.initialize != code::Success) {
        EXPECT_EQ(drive.ReadRecordSummary(file.record, false, &info), code::InvalidAccess);
        EXPECT_EQ(drive.ReadRecordContent(file.record, &sink, &size), code::InvalidAccess);
        continue;
      }
      ASSERT_EQ(drive.ReadRecordSummary(file.record, false, &info), code::Success);
      EXPECT_TRUE(info.deleted);
      EXPECT_EQ(info.dataSize, file.size);
      // Whole when every byte it needs lies before the cut.
      bool complete = true;
      for (std::size_t i = 0; i < file.clusters.size(); ++i) {
        const std::uint64_t needed = std::min<std::uint64_t>(clusterSize, file.size - i * clusterSize);
        complete &= file.clusters[i] * clusterSize + needed <= c.length;
      }
      const DWORD read = drive.ReadRecordContent(file.record, &sink, &size);
      ByteBuffer data;
      std::uint32_t held = 0;
      if (complete) {
        EXPECT_EQ(read, code::Success);
        EXPECT_EQ(Sha(sink.content), file.sha256);
        EXPECT_EQ(drive.ReadRecordData(file.record, &data, &held), code::Success);
        recovered[file.path] = file.sha256;
      } else {
        EXPECT_EQ(read, code::HandleEof);
        EXPECT_LT(sink.content.size(), file.size);
        EXPECT_EQ(sink.content, file.content.substr(0, sink.content.size()));
        EXPECT_EQ(drive.ReadRecordData(file.record, &data, &held), code::HandleEof);
        EXPECT_EQ(data, nullptr);
        cutShort.insert(file.path);
      }
    }
    if (c.initialize == code::Success) {
      EXPECT_TRUE(cutShort.count(biggest->path));
      EXPECT_GE(recovered.size(), 2u);
    }

    // The list is the whole image's: the rows come from the $MFT alone.
    const CliRun list = List(cut);
    if (c.initialize == code::Success) {
      EXPECT_EQ(list.status, 0) << list.err;
      EXPECT_EQ(list.out, whole.out);
    } else {
      EXPECT_EQ(list.status, 1);
      EXPECT_TRUE(list.out.empty());
      EXPECT_NE(list.err.find("Initialize: " + ErrorMessage(c.initialize)), std::string::npos) << list.err;
    }

    const std::string work = WorkDir("recover");
    const CliRun recover = Recover(cut, work);
    EXPECT_EQ(recover.status, 1) << recover.err;
    EXPECT_EQ(Entries(work), (std::set<std::string>{"out"}));
    if (c.initialize != code::Success) {
      EXPECT_TRUE(Entries(work + "/out").empty()) << "nothing may be written when the volume cannot be opened";
    } else {
      EXPECT_EQ(Entries(work + "/out"), (std::set<std::string>{"dest"}));
      const std::map<std::string, std::string> written = FilesBelow(work + "/out/dest");
      for (const auto& [path, sha] : recovered) {
        ASSERT_TRUE(written.count(path)) << path;
        EXPECT_EQ(Sha(written.at(path)), sha) << path;
      }
      for (const std::string& path : cutShort) {
        EXPECT_NE(recover.err.find("failed: " + work + "/out/dest/" + path + ": " + ErrorMessage(code::HandleEof)),
                  std::string::npos)
            << recover.err;
      }
      // Beside the whole files, only the true beginnings of the cut ones.
      for (const auto& entry : written) {
        const std::string& path = entry.first;
        const auto& content = entry.second;
        if (recovered.count(path)) continue;
        ASSERT_TRUE(cutShort.count(path)) << path;
        const auto file = std::find_if(deleted.begin(), deleted.end(), [&](const DeletedFile& f) { return f.path == path; });
        EXPECT_EQ(content, file->content.substr(0, content.size())) << path;
      }
    }
    EXPECT_EQ(FileSha(cut), cutSha);
  }
}

// Record 0 whose $DATA run is sent 4 GiB into a 64 MiB disk, and a boot
// sector whose $MFT cluster points at another record or at file content:
// record 0 is taken from $MFTMirr, with a warning, and the volume lists and
// recovers as the healthy one does.
TEST_F(BadInputVolume, DamagedRecordZeroIsTakenFromTheMirror) {
  // Record 0's $DATA and its run list, found by walking its attributes.
  const Bytes recordZero = ReadBytes(image, mftOffset, ntfs::RecordSize);
  std::size_t attribute = LE(recordZero, ntfs::RecordFirstAttribute, 2);
  while (LE(recordZero, attribute + ntfs::AttrType, 4) != ntfs::TypeData) {
    attribute += LE(recordZero, attribute + ntfs::AttrLength, 4);
    ASSERT_LT(attribute, 500u);
  }
  const std::size_t runList = attribute + LE(recordZero, attribute + ntfs::AttrRunListOffset, 2);
  const std::size_t attributeEnd = attribute + LE(recordZero, attribute + ntfs::AttrLength, 4);
  const Bytes offDisk = MakeRunList({{LE(recordZero, runList + 1, 1), 0x100000, 3}});
  ASSERT_LE(runList + offDisk.size(), attributeEnd);
  ASSERT_LT(attributeEnd, 510u);  // clear of the update sequence
  const std::uint64_t mftCluster = mftOffset / clusterSize;
  const DeletedFile& someFile = *std::find_if(deleted.begin(), deleted.end(), [](const DeletedFile& f) { return !f.clusters.empty(); });

  struct Case {
    const char* what;
    std::uint64_t offset;
    Bytes bytes;
  };
  Bytes nextCluster(8), contentCluster(8);
  PutLE(nextCluster, 0, mftCluster + 1, 8);  // records 4 to 7: $AttrDef first
  PutLE(contentCluster, 0, someFile.clusters[0], 8);
  const Case cases[] = {
      {"record 0's run past the disk's end", mftOffset + runList, offDisk},
      {"boot sector names the cluster after the $MFT's", ntfs::BootMftCluster, nextCluster},
      {"boot sector names a cluster of file content", ntfs::BootMftCluster, contentCluster},
  };
  const CliRun healthy = List(image);
  ASSERT_EQ(healthy.status, 0) << healthy.err;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string damaged = dir->Path() + "/damaged.img";
    fs::copy_file(image, damaged, fs::copy_options::overwrite_existing);
    Patch(damaged, c.offset, c.bytes);
    const std::string damagedSha = FileSha(damaged);
    std::unique_ptr<DiskDevice> disk;
    CNTFSDrive drive;
    EXPECT_EQ(Open(damaged, &disk, &drive), code::Success);
    MFTFileInfo info;
    EXPECT_EQ(drive.ReadRecordSummary(someFile.record, false, &info), code::Success);

    const CliRun list = List(damaged);
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, healthy.out);
    EXPECT_NE(list.err.find("$MFTMirr is read instead"), std::string::npos) << list.err;
    const std::string work = WorkDir("recover");
    EXPECT_EQ(Recover(damaged, work).status, 0);
    const std::map<std::string, std::string> written = FilesBelow(work + "/out/dest");
    for (const DeletedFile& file : deleted) {
      if (written.count(file.path)) {
        EXPECT_EQ(written.at(file.path), file.content) << file.path;
      }
    }
    EXPECT_FALSE(written.empty());
    EXPECT_EQ(FileSha(damaged), damagedSha);
  }
}

// Names rewritten in the records of deleted files and folders, as a damaged
// or hostile disk may hold them: every file lands below the destination
// under a safe name, with the content it had, and nothing appears beside it.
TEST_F(BadInputVolume, HostileNamesStayInsideTheDestination) {
  struct Rename {
    std::string path;      // in the manifest
    std::u16string name;   // written over the old one
  };
  const Rename renames[] = {
      {"Documents/letter to Anna.txt", u"..\\..\\x"},
      {"Documents/budget 2026.csv", u"a/b"},
      {"Documents/Old", u".."},
      {"Documents/Old/minutes.txt", u"C:evil"},
      {"Photos", u"..\\.."},
      {"Photos/holiday 1.bmp", u"CON"},
      {"Photos/holiday 2.bmp", u"nul.txt"},
      {"Photos/holiday 3.bmp", u"LPT1"},
      {"notes.txt", u"dots..."},
      {"r\u00E9sum\u00E9 \u65E5\u672C.txt", u"/etc/passwd"},
      {"Music/old playlist.m3u", u".."},
  };
  const std::map<std::string, std::string> safePaths = {
      {"Documents/letter to Anna.txt", "Documents/.._.._x"},
      {"Documents/budget 2026.csv", "Documents/a_b"},
      {"Documents/Old/minutes.txt", "Documents/__/C_evil"},
      {"Photos/holiday 1.bmp", "__/__/_CON"},
      {"Photos/holiday 2.bmp", "__/__/_nul.txt"},
      {"Photos/holiday 3.bmp", "__/__/_LPT1"},
      {"notes.txt", "dots___"},
      {"r\u00E9sum\u00E9 \u65E5\u672C.txt", "_etc_passwd"},
      {"Music/old playlist.m3u", "Music/__"},
  };
  const std::string hostile = dir->Path() + "/hostile.img";
  fs::copy_file(image, hostile, fs::copy_options::overwrite_existing);
  for (const Rename& r : renames) {
    SCOPED_TRACE(r.path);
    ASSERT_TRUE(records.count(r.path));
    const std::uint64_t slot = mftOffset + std::uint64_t{records.at(r.path)} * ntfs::RecordSize;
    Bytes record = ReadBytes(hostile, slot, ntfs::RecordSize);
    // The name in its $FILE_NAME: length byte, namespace byte, UTF-16 units.
    const std::u16string old = Utf16FromUtf8(r.path.substr(r.path.rfind('/') + 1));
    Bytes units;
    for (char16_t u : old) units.insert(units.end(), {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8)});
    const auto at = std::search(record.begin(), record.end(), units.begin(), units.end());
    ASSERT_NE(at, record.end());
    const std::size_t name = static_cast<std::size_t>(at - record.begin());
    ASSERT_EQ(record[name - 2], old.size());
    ASSERT_LE(r.name.size(), old.size());
    ASSERT_LT(name + units.size(), 510u);  // clear of the update sequence
    record[name - 2] = static_cast<std::uint8_t>(r.name.size());
    std::fill(record.begin() + static_cast<std::ptrdiff_t>(name), record.begin() + static_cast<std::ptrdiff_t>(name + units.size()), 0);
    for (std::size_t i = 0; i < r.name.size(); ++i) PutLE(record, name + 2 * i, r.name[i], 2);
    Patch(hostile, slot, record);
  }
  const std::string hostileSha = FileSha(hostile);
  {
    // The reader sees the new names.
    std::unique_ptr<DiskDevice> disk;
    CNTFSDrive drive;
    ASSERT_EQ(Open(hostile, &disk, &drive), code::Success);
    for (const Rename& r : renames) {
      MFTFileInfo info;
      ASSERT_EQ(drive.ReadRecordSummary(records.at(r.path), false, &info), code::Success);
      EXPECT_EQ(std::u16string(info.name), r.name) << r.path;
    }
  }

  const std::string work = WorkDir("hostile");
  const CliRun recover = Recover(hostile, work);
  EXPECT_EQ(recover.status, 0) << recover.err;
  std::map<std::string, std::string> expected;
  for (const DeletedFile& file : deleted) {
    expected[safePaths.count(file.path) ? safePaths.at(file.path) : file.path] = file.sha256;
  }
  std::map<std::string, std::string> written;
  for (const auto& [path, content] : FilesBelow(work + "/out/dest")) written[path] = Sha(content);
  EXPECT_EQ(written, expected);
  EXPECT_EQ(Entries(work), (std::set<std::string>{"out"}));
  EXPECT_EQ(Entries(work + "/out"), (std::set<std::string>{"dest"}));
  EXPECT_EQ(FileSha(hostile), hostileSha);
}

// Disks made by the disk maker whose last extended boot record leads back to
// the first: with one logical drive it names itself, with two they form a
// cycle. The walk ends by itself, every item is a partition of the chain,
// and the NTFS drive in it scans as the bare volume does.
TEST_F(BadInputVolume, ExtendedChainLoops) {
  struct Case {
    const char* what;
    std::string logicals;
  };
  const Case cases[] = {
      {"an EBR that leads to itself", "--logical ntfs:" + image},
      {"two EBRs that lead to each other", "--logical ntfs:" + image + " --logical type=0x83:2"},
  };
  const CliRun bare = List(image);
  ASSERT_EQ(bare.status, 0) << bare.err;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string diskImage = dir->Path() + "/looped.img";
    std::string layout;
    ASSERT_EQ(RunCommand("python3 " + Tool("mkdisk.py") + " " + diskImage + " extended " + c.logicals + " --ebr-loop",
                         &layout),
              0)
        << layout;
    // "index start count type"; logical drives have indexes from 5.
    std::vector<std::uint32_t> logical;
    for (const std::string& line : Lines(layout)) {
      unsigned index = 0, start = 0;
      if (std::sscanf(line.c_str(), "%u %u", &index, &start) == 2 && index >= 5) logical.push_back(start);
    }
    ASSERT_FALSE(logical.empty());
    const std::string diskSha = FileSha(diskImage);

    std::unique_ptr<DiskDevice> disk;
    ASSERT_EQ(DiskDevice::OpenPath(diskImage, &disk), code::Success);
    SystemVolumes volumes;
    std::vector<std::uint32_t> found;
    EXPECT_EQ(WalkDisk(*disk, 0, volumes, [&](const FoundPartition& p) { found.push_back(p.item.startSector); }),
              code::Success);
    ASSERT_GE(found.size(), logical.size());
    EXPECT_EQ(std::vector<std::uint32_t>(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(logical.size())),
              logical);
    for (std::uint32_t start : found) EXPECT_NE(std::find(logical.begin(), logical.end(), start), logical.end());

    const CliRun partitions = Cli({"partitions", diskImage}, dir->Path(), WorkDir("partitions"));
    EXPECT_EQ(partitions.status, 0) << partitions.err;
    EXPECT_EQ(Lines(partitions.out).size(), found.size());
    const CliRun list = List(diskImage, {"--partition", "1"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, bare.out);
    EXPECT_EQ(FileSha(diskImage), diskSha);
  }
}

}  // namespace
