// The reader and the scan on volumes as other drivers and Windows leave them:
// compressed files, attribute lists, 4096-byte records and sectors, reused
// folders, files in records 16 to 29, overwritten clusters, system-compressed
// files, placeholders whose bytes lie elsewhere, run lists cut short. The
// volumes are
// made at test time by tools/mkvolume.py, which checks each against The
// Sleuth Kit (fls, istat, icat, blkls) before writing its manifest: the
// manifest is the oracle here.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "ntfs/NTFSDrive.h"
#include "platform/Disk.h"
#include "platform/Text.h"
#include "recover/Recovery.h"
#include "scan/Scanner.h"
#include "support/TestVolumes.h"
#include "view/RowCells.h"

namespace {

using Row = std::map<std::string, std::string>;

std::string Tool(const std::string& name) { return std::string(PELMORA_SOURCE_DIR) + "/tools/" + name; }

std::uint64_t Number(const Row& row, const std::string& field) {
  return std::strtoull(row.at(field).c_str(), nullptr, 10);
}
std::string Field(const Row& row, const std::string& field) {
  auto found = row.find(field);
  return found == row.end() ? "" : found->second;
}

class KeepingRows : public RowSink {};

struct Set {
  Set(const char* setName, const char* makerOptions) : name(setName), options(makerOptions) {}
  std::string name, options;
  std::string image;
  std::vector<Row> manifest;
};

class VolumeSetsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0) return;
    dir = new TempDir;
    sets = new std::vector<Set>{{"compressed", "--set compressed"}, {"compressed512", "--set compressed --cluster 512"},
                                {"attrlist", "--set attrlist"},     {"sect4k", "--set sect4k"},
                                {"reused", "--set reused"},         {"lowrec", "--set lowrec"},
                                {"overwritten", "--set overwritten"}, {"wof", "--set wof"},
                                {"placeholders", "--set placeholders"}, {"shortruns", "--set shortruns"}};
    for (Set& set : *sets) {
      set.image = dir->Path() + "/" + set.name + ".img";
      const std::string manifest = dir->Path() + "/" + set.name + ".tsv";
      std::string log;
      if (RunCommand("python3 " + Tool("mkvolume.py") + " ntfs " + set.image + " --manifest " + manifest + " " +
                         set.options + " 2>&1",
                     &log) != 0) {
        ADD_FAILURE() << set.name << ": mkvolume failed:\n" << log;
      }
      set.manifest = ReadTsv(manifest);
    }
  }
  static void TearDownTestSuite() {
    delete sets;
    delete dir;
    sets = nullptr;
    dir = nullptr;
  }
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "real volumes need root (mkntfs, ntfs-3g mount)";
  }

  static DWORD Open(const std::string& image, std::uint64_t start, std::uint32_t sector,
                    std::unique_ptr<DiskDevice>* disk, CNTFSDrive* drive) {
    DWORD result = DiskDevice::OpenPath(image, disk);
    if (result != code::Success) return result;
    drive->AttachDisk(disk->get());
    drive->SetPartitionStart(start, sector);
    return drive->Initialize();
  }

  static TempDir* dir;
  static std::vector<Set>* sets;
};

TempDir* VolumeSetsTest::dir = nullptr;
std::vector<Set>* VolumeSetsTest::sets = nullptr;

// The folders the scan leaves out: browser caches.
bool BelowCache(const std::string& path) {
  for (const char* cache : {"Opera/", "Temporary Internet Files/", "Firefox/"}) {
    if (path.find(cache) != std::string::npos) return true;
  }
  return false;
}

TEST_F(VolumeSetsTest, EveryDeletedFileIsOneRowInItsFolderWithItsBytesAndState) {
  for (const Set& set : *sets) {
    SCOPED_TRACE(set.name);
    std::unique_ptr<DiskDevice> disk;
    CNTFSDrive drive;
    ASSERT_EQ(Open(set.image, 0, 512, &disk, &drive), code::Success);
    const std::atomic<bool> stop{false};
    KeepingRows sink;
    ScanTotals totals;
    RowTable rows;
    ASSERT_EQ(ScanRecords(drive, u"C:\\", stop, sink, &totals, &rows), code::Success);
    std::map<std::uint32_t, std::size_t> byRecord;
    for (std::size_t i = 0; i < rows.Rows(); ++i) {
      EXPECT_TRUE(byRecord.emplace(rows.At(i).record, i).second) << "record listed twice: " << rows.At(i).record;
    }
    TempDir out;
    RecoveryBatch batch(NativeFromUtf16(Utf16FromUtf8(out.Path())), ExistingFiles::Skip);

    std::size_t checked = 0;
    for (const Row& file : set.manifest) {
      if (file.at("state") != "deleted" || file.at("kind") != "file" || BelowCache(file.at("path"))) continue;
      const std::string path = file.at("path");
      SCOPED_TRACE(path);
      const std::uint64_t readable = Field(file, "readable").empty() ? Number(file, "size") : Number(file, "readable");
      const auto found = byRecord.find(static_cast<std::uint32_t>(Number(file, "record")));
      if (readable == 0) {
        EXPECT_EQ(found, byRecord.end());  // a file without content is no row
        continue;
      }
      ASSERT_NE(found, byRecord.end());
      const std::size_t row = found->second;
      byRecord.erase(found);
      ++checked;
      // Where the file is shown: its folders below the drive text, or the
      // manifest's own form for an orphan.
      std::string shown = Field(file, "shown");
      if (shown.empty() || shown.compare(0, 2, "?\\") != 0) {
        std::string folders = path.substr(0, path.rfind('/') + 1);
        for (char& c : folders) c = c == '/' ? '\\' : c;
        shown = "C:\\" + folders + path.substr(path.rfind('/') + 1);
      }
      EXPECT_EQ(Utf8FromUtf16(rows.Path(row) + std::u16string(rows.Name(row))), shown);
      // The size the records give, however much of it can be read.
      const std::uint64_t size = Number(file, "size");
      EXPECT_EQ(rows.At(row).size, size);
      const std::string state = Field(file, "recoverability");
      if (!state.empty()) {
        EXPECT_EQ(Utf8FromUtf16(StateName(rows.At(row).state.kind)), state);
      }

      // The bytes: whole for an intact file; for one whose pieces or runs
      // are gone, what can be read and the rest reported missing; for a
      // corrupt compressed chunk, the chunks before it, then 1392; for a
      // file whose bytes lie elsewhere, nothing and 4350. Recovery keeps a
      // short copy under its name and fails it, and writes nothing else
      // that is not whole.
      const std::string note = Field(file, "note");
      const bool lost = note.find("piece-lost") != std::string::npos || note.find("runs-cut") != std::string::npos;
      const bool corrupt = note.find("corrupt-chunk") != std::string::npos;
      const bool elsewhere = state == "Not on this disk";
      if (!state.empty() && state != "Intact" && !lost && !elsewhere) continue;
      HashingSink content;
      std::uint64_t streamed = 0;
      ContentReport report;
      const DWORD result = drive.ReadRecordContent(rows.Identity(row), &content, &streamed, &report);
      EXPECT_EQ(result, elsewhere ? code::FileOffline : corrupt ? code::FileCorrupt : code::Success);
      RecoveredFile recovered;
      const DWORD recovery = batch.Recover(drive, rows.Identity(row), rows.Path(row), &recovered);
      if (elsewhere) {
        EXPECT_EQ(content.total, 0u);
        EXPECT_EQ(recovery, code::FileOffline);
        EXPECT_FALSE(recovered.published);
        continue;
      }
      EXPECT_EQ(content.total, readable);
      const std::string sha = Field(file, "readable_sha256").empty() ? file.at("sha256") : file.at("readable_sha256");
      EXPECT_EQ(content.hash.Hex(), sha);
      if (corrupt) {
        EXPECT_EQ(recovery, code::FileCorrupt);
        EXPECT_FALSE(recovered.published);
        continue;
      }
      EXPECT_EQ(report.missingBytes, size - readable);
      EXPECT_EQ(recovery, readable < size ? code::FileCorrupt : code::Success);
      EXPECT_TRUE(recovered.published);
      EXPECT_EQ(recovered.missingBytes, size - readable);
      EXPECT_EQ(std::filesystem::file_size(recovered.file), readable);
    }
    EXPECT_GE(checked, 3u);
    for (const auto& [record, row] : byRecord) ADD_FAILURE() << "a row the manifest does not have: record " << record;
  }
}

// Rows kept from a scan while the volume changes under them: a record
// ntfs-3g gives to a new file, and one it gives and frees again, are refused
// with their own message and nothing written; the other rows still read.
TEST_F(VolumeSetsTest, RecordsUsedAgainAfterTheScanAreRefused) {
  const Set& set = *std::find_if(sets->begin(), sets->end(), [](const Set& s) { return s.name == "placeholders"; });
  const std::string image = dir->Path() + "/reused-after-scan.img";
  std::filesystem::copy_file(set.image, image, std::filesystem::copy_options::overwrite_existing);
  std::unique_ptr<DiskDevice> disk;
  CNTFSDrive drive;
  ASSERT_EQ(Open(image, 0, 512, &disk, &drive), code::Success);
  const std::atomic<bool> stop{false};
  KeepingRows sink;
  ScanTotals totals;
  RowTable rows;
  ASSERT_EQ(ScanRecords(drive, u"C:\\", stop, sink, &totals, &rows), code::Success);
  ASSERT_GT(rows.Rows(), 3u);
  disk.reset();

  // ntfs-3g gives a new file the lowest free record: the first deleted files'.
  const std::string script = image + ".sh";
  std::ofstream(script) << "set -e\nimg=$1; mnt=$1.mnt; mkdir -p \"$mnt\"\n"
                           "ntfs-3g -o no_detach \"$img\" \"$mnt\" 2>/dev/null & pid=$!\n"
                           "for i in $(seq 200); do mountpoint -q \"$mnt\" && break; sleep 0.05; done\n"
                           "status=0; (cd \"$mnt\" && printf 'new file' > taken.txt && printf 'gone again' > again.txt"
                           " && rm again.txt) || status=1\nsync\n"
                           "for i in $(seq 50); do umount \"$mnt\" && break; sleep 0.2; done\n"
                           "wait $pid; exit $status\n";
  std::string log;
  ASSERT_EQ(RunCommand("bash " + script + " " + image + " 2>&1", &log), 0) << log;
  // Which records the new files took, as The Sleuth Kit sees them.
  std::string taken, deleted;
  ASSERT_EQ(RunCommand("ifind -n /taken.txt " + image, &taken), 0);
  ASSERT_EQ(RunCommand("fls -d " + image, &deleted), 0);
  const std::size_t line = deleted.find(":\tagain.txt");
  ASSERT_NE(line, std::string::npos) << deleted;
  const std::size_t number = deleted.rfind("* ", line);
  ASSERT_NE(number, std::string::npos);
  const std::uint32_t reused[] = {static_cast<std::uint32_t>(std::stoul(taken)),
                                  static_cast<std::uint32_t>(std::stoul(deleted.substr(number + 2)))};
  ASSERT_NE(reused[0], reused[1]);

  ASSERT_EQ(Open(image, 0, 512, &disk, &drive), code::Success);
  TempDir out;
  RecoveryBatch batch(NativeFromUtf16(Utf16FromUtf8(out.Path())), ExistingFiles::Skip);
  unsigned refused = 0, recovered = 0;
  for (std::size_t row = 0; row < rows.Rows(); ++row) {
    const std::uint32_t record = rows.At(row).record;
    SCOPED_TRACE(record);
    const bool wasReused = record == reused[0] || record == reused[1];
    RecoveredFile file;
    const DWORD result = batch.Recover(drive, rows.Identity(row), rows.Path(row), &file);
    ByteBuffer data;
    std::uint32_t size = 0;
    const DWORD preview = drive.ReadRecordData(rows.Identity(row), &data, &size);
    if (wasReused) {
      ++refused;
      EXPECT_EQ(result, code::RecordReused);
      EXPECT_EQ(preview, code::RecordReused);
      EXPECT_TRUE(file.file.empty());
    } else {
      EXPECT_NE(result, code::RecordReused);
      EXPECT_NE(preview, code::RecordReused);
      recovered += result == code::Success;
    }
  }
  EXPECT_EQ(refused, 2u);
  EXPECT_GT(recovered, 0u);
  // Only the rows that still hold their files came out.
  std::size_t written = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(out.Path())) written += entry.is_regular_file();
  EXPECT_EQ(written, recovered);
}

TEST_F(VolumeSetsTest, ChunkedReadsGiveWhatSingleRecordsGive) {
  const Set& set = (*sets)[2];  // attribute lists: extension records read inside and outside chunks
  std::unique_ptr<DiskDevice> disk, other;
  CNTFSDrive single, chunked;
  ASSERT_EQ(Open(set.image, 0, 512, &disk, &single), code::Success);
  // 3 KiB: three records, not a multiple of the 4 KiB clusters.
  for (std::uint32_t chunk : {1024u, 3072u, 5u << 20}) {
    SCOPED_TRACE(chunk);
    chunked.SetChunkBytes(chunk);
    ASSERT_EQ(Open(set.image, 0, 512, &other, &chunked), code::Success);
    ASSERT_EQ(chunked.RecordCount(), single.RecordCount());
    std::uint32_t skipTo = 0;
    for (std::uint32_t index = 0; index < single.RecordCount(); ++index) {
      RecordFacts one, many;
      std::vector<StreamRun> oneRuns, manyRuns;
      const DWORD expected = single.ReadRecordFacts(index, MftRead::OnDemand, &one, &oneRuns);
      // What a scan passes over unasked are files in use, nothing else.
      if (index >= skipTo) skipTo = chunked.SkipFilesInUse(index);
      if (index < skipTo) {
        EXPECT_TRUE(expected == code::Success && one.inUse && !one.isDirectory) << index;
      }
      // A record is parsed where it lies in the chunk, then put back as
      // read: a second look, and one from outside the chunk, agree.
      for (const MftRead access : {MftRead::Sequential, MftRead::Sequential, MftRead::OnDemand}) {
        ASSERT_EQ(chunked.ReadRecordFacts(index, access, &many, &manyRuns), expected) << index;
        EXPECT_EQ(std::u16string(many.info.name), std::u16string(one.info.name)) << index;
        EXPECT_EQ(many.info.dataSize, one.info.dataSize) << index;
        EXPECT_EQ(many.sequence, one.sequence) << index;
        EXPECT_EQ(many.inUse, one.inUse) << index;
        EXPECT_EQ(manyRuns.size(), oneRuns.size()) << index;
      }
    }
  }
}

TEST_F(VolumeSetsTest, AVolumeOfFourKilobyteSectorsInADiskOfThem) {
  const Set& set = (*sets)[3];
  const std::string diskImage = dir->Path() + "/disk4k.img";
  std::string layout;
  ASSERT_EQ(RunCommand("python3 " + Tool("mkdisk.py") + " " + diskImage + " --sector-size 4096 ntfs:" + set.image,
                       &layout),
            0);
  unsigned index = 0, start = 0;
  ASSERT_EQ(std::sscanf(layout.c_str(), "%u %u", &index, &start), 2) << layout;
  std::unique_ptr<DiskDevice> whole, bare;
  CNTFSDrive inDisk, alone;
  ASSERT_EQ(Open(diskImage, start, 4096, &whole, &inDisk), code::Success);
  ASSERT_EQ(Open(set.image, 0, 512, &bare, &alone), code::Success);
  EXPECT_EQ(inDisk.RecordSize(), 4096u);
  const std::atomic<bool> stop{false};
  KeepingRows sink;
  ScanTotals inTotals, aloneTotals;
  RowTable inRows, aloneRows;
  ASSERT_EQ(ScanRecords(inDisk, u"C:\\", stop, sink, &inTotals, &inRows), code::Success);
  ASSERT_EQ(ScanRecords(alone, u"C:\\", stop, sink, &aloneTotals, &aloneRows), code::Success);
  EXPECT_EQ(inTotals.examined, aloneTotals.examined);
  ASSERT_EQ(inRows.Rows(), aloneRows.Rows());
  ASSERT_GT(inRows.Rows(), 10u);
  for (std::size_t i = 0; i < inRows.Rows(); ++i) {
    for (int column = 0; column < ColumnCount; ++column) {
      EXPECT_EQ(CellText(inRows, i, static_cast<Column>(column)), CellText(aloneRows, i, static_cast<Column>(column)));
    }
  }
}

}  // namespace
