// pelmora-cli end to end on real volumes and disks made at test time,
// compared with what was written and deleted and with The Sleuth Kit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "cli/Output.h"
#include "platform/Errors.h"
#include "platform/Text.h"
#include "scan/PartitionLayout.h"
#include "support/CliRun.h"
#include "support/OutputFields.h"
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

// A table cell holds at most 254 characters (UTF-16 units).
std::string CellCut(const std::string& utf8) { return Utf8FromUtf16(Utf16FromUtf8(utf8).substr(0, 254)); }

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
    clash = MakeOwnVolume("clash.img", ClashWork);
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

  // A small volume written through a real ntfs-3g mount: `work` runs in its
  // root (bash), then it is unmounted. ntfs-3g runs in the foreground, so
  // the image is whole once it has exited.
  static std::string MakeOwnVolume(const std::string& name, const std::string& work) {
    const std::string image = dir->Path() + "/" + name, script = image + ".sh";
    std::ofstream(script) << "set -e\nimg=$1; mnt=$1.mnt\n"
                             "truncate -s 16M \"$img\"; mkntfs -q -F -Q \"$img\" 2>/dev/null; mkdir -p \"$mnt\"\n"
                             "ntfs-3g -o no_detach \"$img\" \"$mnt\" 2>/dev/null & pid=$!\n"
                             "for i in $(seq 200); do mountpoint -q \"$mnt\" && break; sleep 0.05; done\n"
                             "status=0; (cd \"$mnt\" && "
                          << work
                          << ") || status=1\nsync\n"
                             "for i in $(seq 50); do umount \"$mnt\" && break; sleep 0.2; done\n"
                             "wait $pid; exit $status\n";
    std::string log;
    if (RunCommand("bash " + script + " " + image + " 2>&1", &log) != 0) ADD_FAILURE() << log;
    return image;
  }
  // Three deleted files named Docs/report.docx (one, two, three: each
  // renamed to it in turn and deleted, so each keeps its own record), then
  // Docs/REPORT.DOCX (four), and deleted names with an escape sequence, a
  // right-to-left override, a tab and a C1 control. Every file is made
  // before any is deleted: ntfs-3g gives a freed record to the next new file.
  static constexpr const char* ClashWork =
      "mkdir Docs; printf one > Docs/a; printf two > Docs/b; printf three > Docs/c; printf four > Docs/d; "
      "names=(\"$(printf '\\033[2Jclear.txt')\" \"$(printf '\\342\\200\\256txt.exe')\" "
      "\"$(printf 'tab\\there\\302\\205.txt')\"); "
      "for name in \"${names[@]}\"; do printf x > \"$name\"; done; "
      "for f in a b c; do mv Docs/$f Docs/report.docx; rm Docs/report.docx; done; "
      "mv Docs/d Docs/REPORT.DOCX; rm Docs/REPORT.DOCX; rm -- \"${names[@]}\"";

  static TempDir* dir;
  static std::string volume;
  static std::string clash;
  static std::vector<Row> manifest;
};

TempDir* CliTest::dir = nullptr;
std::string CliTest::volume;
std::string CliTest::clash;
std::vector<Row> CliTest::manifest;

TEST_F(CliTest, ListShowsEveryDeletedFileOnceWithItsFolders) {
  const std::string before = ImageSha(volume);
  CliRun run = Cli({"list", volume, "--start", "0", "--drive-text", "C:\\", "--format", "csv"}, dir->Path());
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::string> lines = Lines(run.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "Name,Path,Size,Created,Modified,#,State");
  std::map<std::string, std::string> records;  // the manifest's record of each deleted file
  for (const Row& row : manifest) records[row.at("path")] = row.at("record");
  std::multiset<std::string> listed;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    // No name of this set holds a comma or a quote, so a plain split will do.
    const std::vector<std::string> cells = Split(lines[i], ',');
    ASSERT_EQ(cells.size(), 7u) << lines[i];
    ASSERT_EQ(cells[1].rfind("C:\\", 0), 0u) << lines[i];
    std::string path = cells[1].substr(3) + cells[0];
    std::replace(path.begin(), path.end(), '\\', '/');
    listed.insert(path);
    // "#" is the record index itself; nothing was written after the deletes.
    if (records.count(path) != 0) {
      EXPECT_EQ(cells[5], records[path]) << path;
    }
    EXPECT_EQ(cells[6], "Intact") << path;
  }
  // CSV carries whole names: the 255-character ones too.
  const std::set<std::string> expected = ExpectedRows(manifest);
  EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), expected);
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

// CSV and JSON are for programs: names and paths come whole, however long
// (255-character names; a path of three 100-character folders). The table,
// for people, cuts them to a cell as the window does.
TEST_F(CliTest, MachineOutputCarriesWholeNamesAndPathsTheTableCutsThem) {
  const std::string a(100, 'a'), b(100, 'b'), c(100, 'c'), n(255, 'n');
  const std::string deep = MakeOwnVolume("deep.img", "mkdir -p " + a + "/" + b + "/" + c + "; printf hello > " + a +
                                                         "/" + b + "/" + c + "/" + n + "; rm " + a + "/" + b + "/" +
                                                         c + "/" + n);
  const std::string path = "X:\\" + a + "\\" + b + "\\" + c + "\\";
  std::vector<std::pair<std::string, std::string>> wanted = {{n, path}};  // (name, path)
  for (const std::string& file : ExpectedRows(manifest)) {
    const std::size_t slash = file.rfind('/') + 1;
    if (Utf16FromUtf8(file.substr(slash)).size() <= 254) continue;
    std::string folder = "X:\\" + file.substr(0, slash);
    std::replace(folder.begin(), folder.end(), '/', '\\');
    wanted.push_back({file.substr(slash), folder});
  }
  ASSERT_EQ(wanted.size(), 3u);  // the standard set's two 255-character names
  for (const auto& [name, folder] : wanted) {
    SCOPED_TRACE(name.substr(0, 8));
    const std::string image = folder == path ? deep : volume;
    const auto list = [&](const char* format) {
      CliRun run = Cli({"list", image, "--start", "0", "--drive-text", "X:\\", "--format", format}, dir->Path());
      EXPECT_EQ(run.status, 0) << run.err;
      return run.out;
    };
    const std::string csv = list("csv"), json = list("json"), table = list("table");
    EXPECT_NE(csv.find("\n" + CsvField(name) + "," + CsvField(folder) + ","), std::string::npos) << csv;
    EXPECT_NE(json.find("{\"Name\": " + JsonString(name) + ", \"Path\": " + JsonString(folder) + ", "),
              std::string::npos)
        << json;
    EXPECT_EQ(table.find(name), std::string::npos);
    EXPECT_NE(table.find("\n" + CellCut(name) + "  "), std::string::npos) << table;
    if (folder == path) {
      EXPECT_EQ(table.find(path), std::string::npos);
      EXPECT_NE(table.find("  " + CellCut(path) + "  "), std::string::npos) << table;
    }
  }
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
      {"list", volume, "--start", "0", "--sector-size", "1024"},
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

// Files of one name in one folder, deleted one after another, all come back:
// the later ones as "name (record N).ext". A second run with --overwrite
// replaces the same files, one without keeps them and says so.
TEST_F(CliTest, FilesOfOneNameAreAllRecovered) {
  const std::string out = dir->Path() + "/clash-out";
  std::vector<std::string> records;
  for (const std::string& line : Lines(Cli({"list", clash, "--start", "0", "--format", "json"}, dir->Path()).out)) {
    const std::size_t at = line.find("\"record\": ");
    if (line.find("report.docx") != std::string::npos && at != std::string::npos) {
      records.push_back(line.substr(at + 10, line.find(',', at) - at - 10));
    }
  }
  ASSERT_EQ(records.size(), 3u);
  // Linux tells the upper-case name apart (Windows does not: see the Wine test).
  const std::map<std::string, std::string> expected = {
      {"report.docx", "one"},
      {"report (record " + records[1] + ").docx", "two"},
      {"report (record " + records[2] + ").docx", "three"},
      {"REPORT.DOCX", "four"},
  };
  for (const char* overwrite : {"", "--overwrite"}) {
    SCOPED_TRACE(overwrite);
    std::vector<std::string> args = {"recover", clash, "--start", "0", "--to", out, "--name", "report.docx"};
    if (*overwrite != '\0') args.push_back(overwrite);
    CliRun run = Cli(args, dir->Path());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("Recovered 4 of 4 files"), std::string::npos) << run.err;
    std::map<std::string, std::string> written;
    for (const auto& entry : std::filesystem::directory_iterator(out + "/Docs")) {
      written[entry.path().filename().string()] = ReadWholeFile(entry.path().string());
    }
    EXPECT_EQ(written, expected);
  }
  CliRun again = Cli({"recover", clash, "--start", "0", "--to", out, "--name", "report.docx"}, dir->Path());
  EXPECT_EQ(again.status, 1);
  for (const auto& [name, content] : expected) {
    EXPECT_NE(again.err.find("skipped (exists): " + out + "/Docs/" + name + "\n"), std::string::npos) << again.err;
  }
}

// Names from the disk reach a terminal with their control characters as
// visible escapes, columns still aligned; CSV and JSON keep them exact.
TEST_F(CliTest, HumanOutputShowsControlCharactersAsEscapes) {
  const std::vector<std::string> escaped = {"\\x1b[2Jclear.txt", "\\u202etxt.exe", "tab\\x09here\\u0085.txt"};
  const std::vector<std::string> raw = {"\x1b[2Jclear.txt", "\xE2\x80\xAEtxt.exe", "tab\there\xC2\x85.txt"};
  auto hasControls = [](const std::string& text) {
    for (const char* control : {"\x1b", "\xE2\x80\xAE", "\t", "\xC2\x85", "\r"}) {
      if (text.find(control) != std::string::npos) return true;
    }
    return false;
  };
  CliRun table = Cli({"list", clash, "--start", "0", "--drive-text", "X:\\"}, dir->Path());
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_FALSE(hasControls(table.out)) << table.out;
  const std::vector<std::string> lines = Lines(table.out);
  ASSERT_EQ(lines.size(), 8u);
  for (const std::string& line : lines) EXPECT_EQ(line.find(line == lines[0] ? "Path" : "X:\\"), lines[0].find("Path")) << line;
  for (const std::string& name : escaped) EXPECT_NE(table.out.find(name + " "), std::string::npos) << name;

  const std::string out = dir->Path() + "/controls-out";
  CliRun recover = Cli({"recover", clash, "--start", "0", "--to", out}, dir->Path());
  ASSERT_EQ(recover.status, 0) << recover.err;
  EXPECT_FALSE(hasControls(recover.out)) << recover.out;
  EXPECT_NE(recover.out.find(out + "/\\u202etxt.exe\n"), std::string::npos) << recover.out;
  CliRun skipped = Cli({"recover", clash, "--start", "0", "--to", out}, dir->Path());
  EXPECT_FALSE(hasControls(skipped.err)) << skipped.err;
  EXPECT_NE(skipped.err.find("skipped (exists): " + out + "/tab_here\\u0085.txt\n"), std::string::npos) << skipped.err;

  CliRun csv = Cli({"list", clash, "--start", "0", "--format", "csv"}, dir->Path());
  CliRun json = Cli({"list", clash, "--start", "0", "--format", "json"}, dir->Path());
  for (const std::string& name : raw) EXPECT_NE(csv.out.find("\n" + CsvField(name) + ","), std::string::npos) << name;
  EXPECT_NE(json.out.find("\"\\u001b[2Jclear.txt\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"\xE2\x80\xAEtxt.exe\""), std::string::npos) << json.out;

  // A GPT partition name is the disk's too.
  const std::string gpt = MakeDisk("named-gpt.img", "--gpt ntfs:" + clash + " type=0FC63DAF-8483-4772-8E79-3D69D8477DE4:1");
  std::u16string name = u"\x1b[2Jevil\u202e";
  name.resize(gpt::EntryNameUnits, u'\0');
  {
    std::fstream image(gpt, std::ios::in | std::ios::out | std::ios::binary);
    image.seekp(2 * 512 + 128 + gpt::EntryName);
    for (char16_t unit : name) image.put(static_cast<char>(unit & 0xFF)).put(static_cast<char>(unit >> 8));
  }
  CliRun partitions = Cli({"partitions", gpt}, dir->Path());
  ASSERT_EQ(partitions.status, 0) << partitions.err;
  EXPECT_NE(partitions.out.find("\n\\x1b[2Jevil\\u202e\t"), std::string::npos) << partitions.out;
  EXPECT_FALSE(hasControls(partitions.out.substr(0, partitions.out.find('\t'))));
}

// A disk whose extended chain breaks after the partition wanted: that
// partition is still scanned, and the break is a warning; 'partitions' lists
// what it found, then fails with the break.
TEST_F(CliTest, APartitionBeforeABrokenChainIsStillScanned) {
  const std::string disk = MakeDisk("broken-chain.img", "extended --logical ntfs:" + clash + " --logical ntfs:" + clash);
  CliRun whole = Cli({"partitions", disk}, dir->Path());
  ASSERT_EQ(whole.status, 0) << whole.err;
  const std::vector<std::string> logical = Split(Lines(whole.out)[0], '\t');
  ASSERT_EQ(logical.size(), 4u);
  // Cut the image right after the first logical drive: the next extended
  // boot record is gone.
  std::filesystem::resize_file(disk, (std::stoull(logical[1]) + std::stoull(logical[2])) * 512);
  const std::string readFault = ErrorMessage(code::ReadFault);

  CliRun partitions = Cli({"partitions", disk}, dir->Path());
  EXPECT_EQ(partitions.status, 1);
  EXPECT_EQ(Lines(partitions.out), std::vector<std::string>{Lines(whole.out)[0]});
  EXPECT_NE(partitions.err.find("pelmora-cli: partitions: " + readFault), std::string::npos) << partitions.err;

  CliRun list = Cli({"list", disk, "--partition", "1", "--format", "csv"}, dir->Path());
  CliRun bare = Cli({"list", clash, "--start", "0", "--drive-text", "Disk 0 NTFS 1\\", "--format", "csv"}, dir->Path());
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out, bare.out);
  EXPECT_NE(list.err.find("pelmora-cli: warning: partitions: " + readFault), std::string::npos) << list.err;
  CliRun second = Cli({"list", disk, "--partition", "2"}, dir->Path());
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("pelmora-cli: partitions: " + readFault), std::string::npos) << second.err;
}

// On POSIX a folder name is bytes: one that is not UTF-8 is the folder the
// files go to, not another one with U+FFFD in its name.
TEST_F(CliTest, ADestinationWhoseNameIsNotUtf8IsThatFolder) {
  const std::string parent = dir->Path() + "/latin1", out = parent + "/caf\xE9";
  std::filesystem::create_directory(parent);
  CliRun run = Cli({"recover", clash, "--start", "0", "--to", out, "--name", "report.docx"}, dir->Path());
  ASSERT_EQ(run.status, 0) << run.err;
  std::set<std::string> entries;
  for (const auto& entry : std::filesystem::directory_iterator(parent)) entries.insert(entry.path().filename().string());
  EXPECT_EQ(entries, std::set<std::string>{"caf\xE9"});
  EXPECT_EQ(ReadWholeFile(out + "/Docs/report.docx"), "one");
  EXPECT_NE(run.out.find(parent + "/caf\\xe9/Docs/report.docx\n"), std::string::npos) << run.out;
}

// Disks with 4096-byte logical sectors: an image laid out so is detected
// (TSK's mmls -b 4096 reads the same table), a loop device says so itself;
// the partition's volume is found where the table says.
TEST_F(CliTest, DisksWith4096ByteSectors) {
  const std::string sect4k = dir->Path() + "/sect4k.img";
  std::string log;
  ASSERT_EQ(RunCommand("python3 " + Tool("mkvolume.py") + " ntfs " + sect4k + " --manifest " + dir->Path() +
                           "/sect4k.tsv --set sect4k 2>&1",
                       &log),
            0)
      << log;
  struct Case {
    const char* what;
    std::string entries;
  };
  const Case cases[] = {
      {"MBR", "ntfs:" + sect4k + " type=0x83:1"},
      {"extended", "extended --logical ntfs:" + sect4k + " --logical type=0x83:1"},
      {"GPT", "--gpt ntfs:" + sect4k + " type=0FC63DAF-8483-4772-8E79-3D69D8477DE4:1"},
  };
  CliRun bare = Cli({"list", sect4k, "--start", "0", "--drive-text", "X:\\", "--format", "csv"}, dir->Path());
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string disk = MakeDisk("sect4k-" + std::to_string(n++) + ".img", c.entries + " --sector-size 4096");
    std::string mmls;
    ASSERT_EQ(RunCommand("mmls -b 4096 " + disk, &mmls), 0) << mmls;
    std::vector<std::pair<std::string, std::string>> oracle;  // start, length of each partition
    for (const std::string& line : Lines(mmls)) {
      // "004:  000:000   0000000256   0000016639   0000016384   NTFS / exFAT (0x07)"
      std::istringstream fields(line);
      std::string index, slot, start, end, length;
      fields >> index >> slot >> start >> end >> length;
      if (index.size() == 4 && index[3] == ':' && slot != "Meta" && slot != "-------" && !length.empty()) {
        oracle.push_back({std::to_string(std::stoull(start)), std::to_string(std::stoull(length))});
      }
    }
    // The same image as a block device that says its sector size.
    struct Loop {
      std::string device;
      ~Loop() {
        if (!device.empty()) RunCommand("losetup -d " + device);
      }
    } loop;
    std::vector<std::string> devices = {disk};
    if (RunCommand("losetup --sector-size 4096 -r -f --show " + disk + " 2>/dev/null", &loop.device) == 0 &&
        !loop.device.empty()) {
      loop.device.erase(loop.device.find('\n'));
      devices.push_back(loop.device);
    } else {
      loop.device.clear();
    }
    for (const std::string& device : devices) {
      SCOPED_TRACE(device);
      CliRun partitions = Cli({"partitions", device}, dir->Path());
      ASSERT_EQ(partitions.status, 0) << partitions.err;
      std::vector<std::pair<std::string, std::string>> listed;
      for (const std::string& line : Lines(partitions.out)) {
        const std::vector<std::string> fields = Split(line, '\t');
        ASSERT_EQ(fields.size(), 4u);
        listed.push_back({fields[1], fields[2]});
      }
      ASSERT_FALSE(listed.empty());
      EXPECT_EQ(listed, oracle);
      EXPECT_NE(partitions.err.find(device == disk ? "Sector size: 4096 bytes (detected)"
                                                   : "Sector size: 4096 bytes (from the device)"),
                std::string::npos)
          << partitions.err;
      // The first partition reads as the bare volume, by number and by start.
      for (const std::vector<std::string>& where :
           {std::vector<std::string>{"--partition", "1"}, std::vector<std::string>{"--start", listed.at(0).first}}) {
        std::vector<std::string> args = {"list", device, "--drive-text", "X:\\", "--format", "csv"};
        args.insert(args.end(), where.begin(), where.end());
        CliRun list = Cli(args, dir->Path());
        EXPECT_EQ(list.status, bare.status) << list.err;
        EXPECT_EQ(list.out, bare.out);
        EXPECT_EQ(list.err, bare.err);
      }
    }
  }
}

// pelmora-cli.exe under Wine, when Wine can run it: binary standard output
// with each format's own line ends (CSV: CR LF, never CR CR LF), the same
// bytes as the native tool; recovery of clashing names and replacing
// read-only, hidden and system files.
TEST_F(CliTest, WindowsToolUnderWine) {
  const char* given = std::getenv("PELMORA_WINDOWS_CLI");
  const std::string exe = given != nullptr ? given : std::string(PELMORA_SOURCE_DIR) + "/build/win32/src/pelmora-cli.exe";
  if (!std::filesystem::exists(exe) || RunCommand("command -v wine >/dev/null") != 0) {
    GTEST_SKIP() << "no Wine or no " << exe;
  }
  // Where 32-bit programs run only through qemu-i386, each Wine start takes a
  // minute: the end-to-end rig tests the 64-bit build there, and this test
  // runs only when the exe is named.
  if (given == nullptr &&
      RunCommand("for f in /proc/sys/fs/binfmt_misc/*; do grep -qs '^enabled' \"$f\" && "
                 "grep -qs qemu-i386 \"$f\" && exit 0; done; exit 1") == 0) {
    GTEST_SKIP() << "32-bit programs run only emulated (qemu-i386); set PELMORA_WINDOWS_CLI to run " << exe;
  }
  const std::string prefix = dir->Path() + "/wineprefix";
  const std::string env = "WINEPREFIX=" + prefix + " WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' ";
  struct WineServer {
    std::string env;
    ~WineServer() { RunCommand(env + "wineserver -k 2>/dev/null"); }
  } server{env};
  // Runs the exe in the test folder (Wine maps it to a drive) with relative paths.
  auto wine = [&](const std::string& args, CliRun* run) {
    run->status = RunCommand("cd " + dir->Path() + " && " + env + "timeout 300 wine " + exe + " " + args +
                             " >wine.out 2>wine.err");
    run->out = ReadWholeFile(dir->Path() + "/wine.out");
    run->err = ReadWholeFile(dir->Path() + "/wine.err");
  };
  CliRun probe;
  wine("", &probe);
  if (probe.status != 2 || probe.err.find("usage: pelmora-cli") == std::string::npos) {
    GTEST_SKIP() << "Wine cannot run " << exe << ": " << probe.err.substr(0, 300);
  }
  const std::string image = std::filesystem::path(clash).filename().string();
  for (const char* format : {"csv", "json", "table"}) {
    SCOPED_TRACE(format);
    CliRun windows, native = Cli({"list", clash, "--start", "0", "--format", format}, dir->Path());
    wine("list " + image + " --start 0 --format " + format, &windows);
    ASSERT_EQ(windows.status, 0) << windows.err;
    EXPECT_EQ(windows.out, native.out);
  }
  EXPECT_EQ(Cli({"list", clash, "--start", "0", "--format", "csv"}, dir->Path()).out.find("\r\r"), std::string::npos);
  CliRun recover;
  wine("recover " + image + " --start 0 --to wine-out --name report.docx", &recover);
  ASSERT_EQ(recover.status, 0) << recover.err;
  // Windows does not tell REPORT.DOCX from report.docx: it is renamed too.
  std::map<std::string, std::string> contents;
  for (const auto& entry : std::filesystem::directory_iterator(dir->Path() + "/wine-out/Docs")) {
    contents[ReadWholeFile(entry.path().string())] = entry.path().filename().string();
  }
  ASSERT_EQ(contents.size(), 4u);
  EXPECT_EQ(contents["one"], "report.docx");
  EXPECT_EQ(contents["four"].substr(0, 15), "REPORT (record ");
  const std::string standard = std::filesystem::path(volume).filename().string();
  for (int pass = 0; pass < 2; ++pass) {
    wine("recover " + standard + " --start 0 --to wine-attributes --name readonly.txt --name hidden*.* --overwrite",
         &recover);
    EXPECT_EQ(recover.status, 0) << recover.err;
    EXPECT_NE(recover.err.find("Recovered 3 of 3 files"), std::string::npos) << recover.err;
    // The read-only file came under its name with its attribute (Wine keeps
    // it as the missing write bits), and no temporary file stayed.
    std::string listing;
    RunCommand("cd " + dir->Path() + "/wine-attributes && find . -type f -perm /222 -name readonly.txt; "
                                     "find . -type f | sort",
               &listing);
    EXPECT_EQ(listing, "./hidden.txt\n./hidden_system.dat\n./readonly.txt\n");
  }
  // Disk 0 with two copies of a volume, the second given another serial; Q:
  // reports the first one's. Wine tells no volume's extents, so the serial
  // decides: recovering partition 1 onto Q: is refused, partition 2 is not.
  const std::string disk = MakeDisk("wine-disk.img", "ntfs:" + clash + " ntfs:" + clash);
  const std::vector<std::string> partitions = Lines(Cli({"partitions", disk}, dir->Path()).out);
  ASSERT_EQ(partitions.size(), 2u);
  {
    std::fstream bytes(disk, std::ios::in | std::ios::out | std::ios::binary);
    bytes.seekp(std::stoll(Split(partitions[1], '\t')[1]) * 512 + 0x48);
    bytes.write("\x78\x56\x34\x12", 4);
    std::string serial(4, '\0');
    bytes.seekg(std::stoll(Split(partitions[0], '\t')[1]) * 512 + 0x48);
    bytes.read(&serial[0], 4);
    char text[16];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x", serial[3] & 0xFF, serial[2] & 0xFF, serial[1] & 0xFF,
                  serial[0] & 0xFF);
    std::filesystem::create_directories(dir->Path() + "/wine-q");
    std::ofstream(dir->Path() + "/wine-q/.windows-serial") << text;
  }
  std::filesystem::create_directory_symlink(dir->Path() + "/wine-q", prefix + "/dosdevices/q:");
  std::filesystem::create_symlink(disk, prefix + "/dosdevices/physicaldrive0");
  RunCommand(env + "wineserver -k 2>/dev/null");  // drives are looked at when Wine starts
  wine("recover 0 --partition 1 --to 'q:\\one' --name report.docx", &recover);
  EXPECT_EQ(recover.status, 2) << recover.err;
  EXPECT_NE(recover.err.find("is on the partition being scanned"), std::string::npos) << recover.err;
  EXPECT_FALSE(std::filesystem::exists(dir->Path() + "/wine-q/one"));
  wine("recover 0 --partition 2 --to 'q:\\two' --name report.docx", &recover);
  EXPECT_EQ(recover.status, 0) << recover.err;
  EXPECT_TRUE(std::filesystem::exists(dir->Path() + "/wine-q/two/Docs/report.docx"));
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

// The recoverability states on a volume where new files took freed clusters
// (the manifest's states come from TSK's cluster allocation): they choose
// rows, and travel with the files recovered.
TEST_F(CliTest, StatesChooseRowsAndGoWithRecoveredFiles) {
  const std::string image = dir->Path() + "/overwritten.img";
  std::string log;
  ASSERT_EQ(RunCommand("python3 " + Tool("mkvolume.py") + " ntfs " + image + " --manifest " + dir->Path() +
                           "/overwritten.tsv --set overwritten 2>&1",
                       &log),
            0)
      << log;
  std::map<std::string, std::string> stateOf;  // record -> the oracle's state
  std::map<std::string, std::string> recordOf;  // name -> record
  for (const Row& row : ReadTsv(dir->Path() + "/overwritten.tsv")) {
    if (row.at("state") != "deleted" || row.at("kind") != "file" || row.at("size") == "0") continue;
    stateOf[row.at("record")] = row.at("recoverability");
    recordOf[row.at("path")] = row.at("record");
  }
  ASSERT_GE(stateOf.size(), 5u);
  // Every state option, alone and together, gives exactly the rows in those states.
  const std::vector<std::pair<std::vector<std::string>, std::set<std::string>>> choices = {
      {{"intact"}, {"Intact"}},
      {{"partial", "overwritten"}, {"Partly overwritten", "Overwritten"}},
      {{"unknown"}, {}}};
  for (const auto& [options, states] : choices) {
    std::vector<std::string> args = {"list", image, "--start", "0", "--format", "csv"};
    for (const std::string& option : options) args.insert(args.end(), {"--state", option});
    CliRun run = Cli(args, dir->Path());
    ASSERT_EQ(run.status, 0) << run.err;
    std::set<std::string> listed, wanted;
    for (const std::string& line : Lines(run.out)) {
      const std::vector<std::string> cells = Split(line, ',');
      if (cells.size() == 7 && cells[5] != "#") listed.insert(cells[5]);
    }
    for (const auto& [record, state] : stateOf) {
      if (states.count(state) != 0) wanted.insert(record);
    }
    EXPECT_EQ(listed, wanted) << options[0];
  }
  // JSON: the state's name, its share, and who wrote over it.
  CliRun json = Cli({"list", image, "--start", "0", "--format", "json"}, dir->Path());
  ASSERT_EQ(json.status, 0) << json.err;
  const std::string earlier = "\"record\": " + recordOf.at("a_earlier.bin") +
                              ", \"bytes\": 49152, \"state\": \"Overwritten\", \"overwritten_percent\": 100, "
                              "\"overwritten_by\": [" + recordOf.at("b_later.bin") + "]}";
  EXPECT_NE(json.out.find(earlier), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"state\": \"Partly overwritten\", \"overwritten_percent\": 37, \"overwritten_by\": []"),
            std::string::npos)
      << json.out;
  // Recovery of what is overwritten still works, and says what it is.
  CliRun recover = Cli({"recover", image, "--start", "0", "--to", dir->Path() + "/states-out", "--state", "overwritten",
                        "--state", "intact", "--name", "*.bin"},
                       dir->Path());
  EXPECT_EQ(recover.status, 0) << recover.err;
  EXPECT_NE(recover.out.find("a_earlier.bin  [Overwritten]\n"), std::string::npos) << recover.out;
  EXPECT_NE(recover.out.find("b_later.bin\n"), std::string::npos) << recover.out;
  EXPECT_NE(recover.err.find("files (3 intact, 2 not)"), std::string::npos) << recover.err;
}

}  // namespace

// Recovering onto the partition being scanned is refused before anything is
// written, however the two are reached: an image's partition against a
// mount of that partition through a loop device, the loop device and its
// partition themselves, a bare volume image mounted directly. Another
// partition of the same disk, or a copy of the image, is no clash.
TEST_F(CliTest, RecoveryOntoTheScannedPartitionIsRefused) {
  const std::string disk = MakeDisk("same-volume.img", "ntfs:" + clash + " ntfs:" + clash);
  const std::string bare = dir->Path() + "/same-bare.img";
  ASSERT_EQ(RunCommand("cp " + clash + " " + bare), 0);
  struct Mounts {
    std::string loop, disk, bare;
    ~Mounts() {
      for (const std::string* point : {&disk, &bare}) {
        if (!point->empty()) RunCommand("umount " + *point + " 2>/dev/null");
      }
      if (!loop.empty()) RunCommand("losetup -d " + loop);
    }
  } mounts;
  std::string loop;
  if (RunCommand("losetup -P -f --show " + disk + " 2>/dev/null", &loop) != 0 || loop.empty()) {
    GTEST_SKIP() << "no loop device";
  }
  mounts.loop = loop.erase(loop.find('\n'));
  // Partition scanning may need asking again where no daemon does it.
  RunCommand("partx -a " + loop + " 2>/dev/null");
  if (!std::filesystem::exists(loop + "p2")) GTEST_SKIP() << "the loop device shows no partitions";
  const std::string onDisk = dir->Path() + "/same-mnt", onBare = dir->Path() + "/same-bare-mnt";
  std::filesystem::create_directories(onDisk);
  std::filesystem::create_directories(onBare);
  ASSERT_EQ(RunCommand("ntfs-3g " + loop + "p2 " + onDisk), 0);
  mounts.disk = onDisk;
  ASSERT_EQ(RunCommand("ntfs-3g " + bare + " " + onBare), 0);
  mounts.bare = onBare;

  struct Case {
    std::vector<std::string> where;  // disk and partition
    std::string to;
    bool refused;
  };
  const Case cases[] = {
      {{disk, "--partition", "2"}, onDisk + "/a", true},
      {{loop, "--partition", "2"}, onDisk + "/b/c", true},
      {{loop + "p2", "--start", "0"}, onDisk + "/d", true},
      {{bare, "--start", "0"}, onBare + "/e", true},
      {{disk, "--partition", "1"}, onDisk + "/f", false},
      {{clash, "--start", "0"}, onBare + "/g", false},
      {{disk, "--partition", "2", "--allow-same-volume"}, onDisk + "/h", false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"recover"};
    args.insert(args.end(), c.where.begin(), c.where.end());
    args.insert(args.end(), {"--to", c.to, "--name", "report.docx"});
    SCOPED_TRACE(c.where[0] + " " + c.where[2] + " to " + c.to);
    CliRun run = Cli(args, dir->Path());
    if (c.refused) {
      EXPECT_EQ(run.status, 2) << run.err;
      EXPECT_NE(run.err.find("is on the partition being scanned"), std::string::npos) << run.err;
      EXPECT_NE(run.err.find("--allow-same-volume"), std::string::npos) << run.err;
      EXPECT_FALSE(std::filesystem::exists(c.to));
    } else {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_TRUE(std::filesystem::exists(c.to + "/Docs/report.docx")) << run.out;
    }
  }
}
