// pelmora-cli end to end on real volumes and disks made at test time,
// compared with what was written and deleted and with The Sleuth Kit.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/Text.h"
#include "support/CliRun.h"
#include "support/TestVolumes.h"

namespace {

using Row = std::map<std::string, std::string>;

std::vector<std::string> Split(const std::string& line, char separator) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, separator)) fields.push_back(field);
  return fields;
}

std::u16string CellCut(const std::u16string& name) { return name.substr(0, 254); }

bool InCacheFolder(const std::string& path) {
  for (const std::string& part : Split(path, '/')) {
    if (part == "Opera" || part == "Temporary Internet Files" || part == "Firefox") return true;
  }
  return false;
}

// Files the tool must list: deleted, with content, not below a cache folder.
std::set<std::string> ExpectedRows(const std::vector<Row>& manifest) {
  std::set<std::string> expected;
  for (const Row& row : manifest) {
    if (row.at("state") == "deleted" && row.at("kind") == "file" && row.at("size") != "0" &&
        !InCacheFolder(row.at("path"))) {
      expected.insert(row.at("path"));
    }
  }
  return expected;
}

class CliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0) return;
    dir = new TempDir;
    volume = dir->Path() + "/standard.img";
    std::string log;
    if (RunCommand("python3 " + Tool("mkvolume.py") + " ntfs " + volume + " --manifest " + dir->Path() +
                       "/standard.tsv --set standard 2>&1",
                   &log) != 0) {
      ADD_FAILURE() << log;
    }
    manifest = ReadTsv(dir->Path() + "/standard.tsv");
  }
  static void TearDownTestSuite() {
    delete dir;
    dir = nullptr;
  }
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "real volumes need root (mkntfs, ntfs-3g mount)";
    ASSERT_FALSE(manifest.empty());
  }

  static std::string MakeDisk(const std::string& name, const std::string& entries) {
    const std::string path = dir->Path() + "/" + name;
    std::string out;
    EXPECT_EQ(RunCommand("python3 " + Tool("mkdisk.py") + " " + path + " " + entries, &out), 0) << out;
    return path;
  }
  static std::string ImageSha(const std::string& path) { return FileSha(path); }

  static TempDir* dir;
  static std::string volume;
  static std::vector<Row> manifest;
};

TempDir* CliTest::dir = nullptr;
std::string CliTest::volume;
std::vector<Row> CliTest::manifest;

TEST_F(CliTest, ListShowsEveryDeletedFileOnceWithItsFolders) {
  const std::string before = ImageSha(volume);
  CliRun run = Cli({"list", volume, "--start", "0", "--drive-text", "C:\\", "--format", "csv"}, dir->Path());
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::string> lines = Lines(run.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "Name,Path,Size,Created,Modified,#");
  std::multiset<std::string> listed;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    // No name of this set holds a comma or a quote, so a plain split will do.
    const std::vector<std::string> cells = Split(lines[i], ',');
    ASSERT_EQ(cells.size(), 6u) << lines[i];
    ASSERT_EQ(cells[1].rfind("C:\\", 0), 0u) << lines[i];
    std::string path = cells[1].substr(3) + cells[0];
    std::replace(path.begin(), path.end(), '\\', '/');
    listed.insert(path);
  }
  const std::set<std::string> expected = ExpectedRows(manifest);
  // A cell holds 254 characters: a 255-character name shows cut.
  std::set<std::string> shown;
  for (const std::string& path : expected) {
    const std::size_t slash = path.rfind('/') + 1;
    shown.insert(path.substr(0, slash) + Utf8FromUtf16(CellCut(Utf16FromUtf8(path.substr(slash)))));
  }
  EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), shown);
  EXPECT_EQ(listed.size(), expected.size()) << "a file is listed twice";
  EXPECT_TRUE(std::any_of(expected.begin(), expected.end(),
                          [](const std::string& p) { return p.find("firefox/") != std::string::npos; }))
      << "the lower-case folder must not hide its files";
  EXPECT_NE(run.err.find("Deleted files: " + std::to_string(expected.size()) + "\n"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("Total files: "), std::string::npos);

  // The Sleuth Kit sees every listed file as deleted, at the same path.
  std::string fls;
  ASSERT_EQ(RunCommand("fls -r -d -p " + volume, &fls), 0);
  std::set<std::string> deleted;
  for (const std::string& line : Lines(fls)) {
    const std::size_t tab = line.find('\t');
    // "r/r * 65-128-2:<TAB>path", or "-/r *" when the entry's own type is gone.
    if (line.size() > 5 && line.compare(1, 4, "/r *") == 0 && tab != std::string::npos) {
      deleted.insert(line.substr(tab + 1));
    }
  }
  for (const std::string& path : expected) {
    if (path.size() < 200) {  // fls cuts long names
      EXPECT_TRUE(deleted.count(path)) << path;
    }
  }
  EXPECT_EQ(ImageSha(volume), before);
}

TEST_F(CliTest, JsonAndTableCarryTheSameRows) {
  CliRun json = Cli({"list", volume, "--start", "0", "--format", "json"}, dir->Path());
  ASSERT_EQ(json.status, 0) << json.err;
  const std::size_t expected = ExpectedRows(manifest).size();
  std::size_t objects = 0;
  for (const std::string& line : Lines(json.out)) {
    if (line.find("{\"Name\": ") == std::string::npos) continue;
    ++objects;
    EXPECT_NE(line.find("\"record\": "), std::string::npos);
    EXPECT_NE(line.find("\"bytes\": "), std::string::npos);
    EXPECT_NE(line.find("\"Path\": \"Sector 0\\\\"), std::string::npos) << line;
  }
  EXPECT_EQ(objects, expected);
  EXPECT_EQ(json.out.substr(0, 2), "[\n");
  CliRun table = Cli({"list", volume, "--start", "0"}, dir->Path());
  ASSERT_EQ(table.status, 0);
  EXPECT_EQ(Lines(table.out).size(), expected + 1);
  EXPECT_EQ(Lines(table.out)[0].substr(0, 4), "Name");
}

TEST_F(CliTest, RecoverWritesEveryListedFileByteExactInsideTheFolder) {
  const std::string before = ImageSha(volume);
  const std::string out = dir->Path() + "/recovered";
  CliRun run = Cli({"recover", volume, "--start", "0", "--to", out}, dir->Path());
  ASSERT_EQ(run.status, 0) << run.err;
  std::map<std::string, std::string> shaByPath;
  for (const Row& row : manifest) shaByPath[row.at("path")] = row.at("sha256");
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(out)) {
    if (entry.is_regular_file()) ++files;
  }
  const std::set<std::string> expected = ExpectedRows(manifest);
  EXPECT_EQ(files, expected.size());
  // Names the file systems cannot take are made safe, and stay inside.
  const std::map<std::string, std::string> renamed = {
      {"a:b*c?.txt", "a_b_c_.txt"}, {"con", "_con"}, {"trailing.", "trailing_"}, {"trailing_space ", "trailing_space_"}};
  for (const std::string& path : expected) {
    std::string local = path;
    const std::string name = path.substr(path.rfind('/') + 1);
    if (renamed.count(name)) local = path.substr(0, path.size() - name.size()) + renamed.at(name);
    if (std::string(name).size() > 255) continue;  // cut to fit; checked by the unit tests
    const std::string file = out + "/" + local;
    ASSERT_TRUE(std::filesystem::exists(file)) << file;
    EXPECT_EQ(FileSha(file), shaByPath.at(path)) << path;
  }
  EXPECT_EQ(ImageSha(volume), before);

  // Again: every file exists, is kept and reported, and the run says so.
  CliRun again = Cli({"recover", volume, "--start", "0", "--to", out, "--name", "*.BIN"}, dir->Path());
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("skipped (exists): "), std::string::npos);
  CliRun overwrite =
      Cli({"recover", volume, "--start", "0", "--to", out, "--name", "*.BIN", "--overwrite"},
          dir->Path());
  EXPECT_EQ(overwrite.status, 0) << overwrite.err;
  EXPECT_FALSE(overwrite.out.empty());
}

TEST_F(CliTest, RecoverChoosesByRecordAndName) {
  const Row* chosen = nullptr;
  for (const Row& row : manifest) {
    if (row.at("state") == "deleted" && row.at("kind") == "file" && row.at("size") != "0" && !InCacheFolder(row.at("path"))) {
      chosen = &row;
      break;
    }
  }
  ASSERT_NE(chosen, nullptr);
  const std::string out = dir->Path() + "/one";
  CliRun run = Cli({"recover", volume, "--start", "0", "--to", out, "--record", chosen->at("record")}, dir->Path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Lines(run.out).size(), 1u);
  EXPECT_EQ(FileSha(Lines(run.out)[0]), chosen->at("sha256"));
  // A record that is no listed deleted file fails, and says so.
  CliRun wrong = Cli({"recover", volume, "--start", "0", "--to", out, "--record", "5"}, dir->Path());
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.err.find("record 5 is not a listed deleted file"), std::string::npos);
}

TEST_F(CliTest, PartitionsOfDiskLayouts) {
  const std::string fat = dir->Path() + "/fat16.img";
  ASSERT_EQ(RunCommand("python3 " + Tool("mkvolume.py") + " fat " + fat + " --fat 16 --size-mib 16 2>&1"), 0);
  struct Case {
    const char* what;
    std::string entries;
    std::vector<std::string> texts;
  };
  const Case cases[] = {
      {"primary NTFS, FAT, unknown", "ntfs:" + volume + " fat32:" + fat + " type=0x27:2",
       {"Disk 0 NTFS 1\\", "FAT32", "Unknown"}},
      {"NTFS, empty, NTFS", "ntfs:" + volume + " empty ntfs:" + volume, {"Disk 0 NTFS 1\\"}},
      {"extended first: only its logical drives",
       "extended ntfs:" + volume + " --logical ntfs:" + volume + " --logical fat16:" + fat + " --logical type=0x83:2",
       {"Disk 0 NTFS 1\\", "FAT16", "Unknown"}},
      {"GPT", "--gpt ntfs:" + volume + " fat32:" + fat, {"Disk 0 NTFS 1\\", "part2"}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string disk = MakeDisk("layout" + std::to_string(n++) + ".img", c.entries);
    CliRun run = Cli({"partitions", disk}, dir->Path());
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> texts;
    for (const std::string& line : Lines(run.out)) {
      const std::vector<std::string> fields = Split(line, '\t');
      ASSERT_EQ(fields.size(), 4u) << line;
      texts.push_back(fields[0]);
    }
    EXPECT_EQ(texts, c.texts);
    // The first NTFS partition scans the same as the bare volume.
    CliRun list = Cli({"list", disk, "--partition", "1", "--drive-text", "X:\\", "--format", "csv"}, dir->Path());
    CliRun bare = Cli({"list", volume, "--start", "0", "--drive-text", "X:\\", "--format", "csv"}, dir->Path());
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, bare.out);
  }
}

TEST_F(CliTest, BadUsageAndFailuresHaveTheirExitCodes) {
  const std::vector<std::vector<std::string>> usage = {
      {},
      {"frobnicate", volume},
      {"list", volume},
      {"list", volume, "--start", "0", "--partition", "1"},
      {"list", volume, "--start", "x"},
      {"list", volume, "--start", "0", "--format", "xml"},
      {"recover", volume, "--start", "0"},
      {"partitions"},
      {"list", volume, "--partition", "9"},
  };
  for (const auto& args : usage) {
    CliRun run = Cli(args, dir->Path());
    EXPECT_EQ(run.status, 2) << (args.empty() ? "" : args[0]);
    EXPECT_NE(run.err.find("usage: pelmora-cli"), std::string::npos);
  }
  CliRun missing = Cli({"list", dir->Path() + "/none.img", "--start", "0"}, dir->Path());
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("The system cannot find the file specified."), std::string::npos) << missing.err;
  CliRun notNtfs = Cli({"list", volume, "--start", "1"}, dir->Path());
  EXPECT_EQ(notNtfs.status, 1);
  EXPECT_NE(notNtfs.err.find("The system cannot find the drive specified."), std::string::npos) << notNtfs.err;
}

// A deleted sparse file of a few hundred MiB is recovered byte-exact, with
// memory that does not grow with the file.
TEST_F(CliTest, LargeFilesAreStreamed) {
  const std::string big = dir->Path() + "/big.img";
  std::string log;
  ASSERT_EQ(RunCommand("python3 " + Tool("mkvolume.py") + " ntfs " + big + " --manifest " + dir->Path() +
                           "/big.tsv --set big --big-mib 300 2>&1",
                       &log),
            0)
      << log;
  const std::string out = dir->Path() + "/big-out";
  CliRun run = Cli({"recover", big, "--start", "0", "--to", out}, dir->Path());
  ASSERT_EQ(run.status, 0) << run.err;
  bool seen = false;
  for (const Row& row : ReadTsv(dir->Path() + "/big.tsv")) {
    if (row.at("state") != "deleted" || row.at("kind") != "file") continue;
    EXPECT_EQ(FileSha(out + "/" + row.at("path")), row.at("sha256")) << row.at("path");
    seen |= std::stoull(row.at("size")) >= (300ull << 20);
  }
  EXPECT_TRUE(seen);
  EXPECT_LT(run.maxRssKiB, 150 * 1024) << "peak memory grew with the file";
}

}  // namespace
