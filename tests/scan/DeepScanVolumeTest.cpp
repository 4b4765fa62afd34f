// The deep scan on real volumes damaged as a user's are: quick-formatted
// (with the same and another cluster size, then written to), a boot sector
// zeroed, the first dozens of $MFT records zeroed, the partition's table
// entry removed (MBR and GPT), and a volume whose $MFT is in fragments.
// tools/mkdamaged.py does the damage and says, from the volume before it
// (whose manifest mkvolume checked against The Sleuth Kit), which records
// and bytes survive and what path a reader shows: that is the oracle.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "support/CliRun.h"
#include "support/Sha256.h"
#include "support/TestVolumes.h"

namespace {

using Row = std::map<std::string, std::string>;

// One row of 'list --format json': the string cells and the facts.
struct Listed {
  std::string name, path, state;
  bool deleted = true;
  std::uint64_t bytes = 0;
};

// The value after `"key": ` in a line of the JSON list: a string's text
// (its escapes undone; the names here are ASCII) or a literal.
std::string JsonValue(const std::string& line, const std::string& key) {
  const std::string tag = "\"" + key + "\": ";
  std::size_t at = line.find(tag);
  if (at == std::string::npos) return "";
  at += tag.size();
  if (line[at] != '"') return line.substr(at, line.find_first_of(",}", at) - at);
  std::string text;
  for (++at; at < line.size() && line[at] != '"'; ++at) {
    if (line[at] == '\\') ++at;
    text += line[at];
  }
  return text;
}

std::map<std::uint32_t, Listed> ParseJsonRows(const std::string& json) {
  std::map<std::uint32_t, Listed> rows;
  for (const std::string& line : Lines(json)) {
    if (line.find("\"record\": ") == std::string::npos) continue;
    Listed row;
    row.name = JsonValue(line, "Name");
    row.path = JsonValue(line, "Path");
    row.state = JsonValue(line, "state");
    row.deleted = JsonValue(line, "deleted") == "true";
    row.bytes = std::strtoull(JsonValue(line, "bytes").c_str(), nullptr, 10);
    rows[static_cast<std::uint32_t>(std::strtoul(JsonValue(line, "record").c_str(), nullptr, 10))] = row;
  }
  return rows;
}

// The deep scan's line for the volume at `sector`: its fields.
std::vector<std::string> FoundLine(const std::string& out, std::uint64_t sector) {
  for (const std::string& line : Lines(out)) {
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (std::size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1) {
      fields.push_back(line.substr(from, tab - from));
    }
    fields.push_back(line.substr(from));
    if (fields.size() == 7 && fields[1] == std::to_string(sector)) return fields;
  }
  return {};
}

struct Base {
  const char* name;
  const char* options;
  std::uint64_t sectors;  // of the volume, its backup boot sector's included
};

const Base Bases[] = {
    {"bench", "--set bench --files 400 --size-mib 128", 262144},
    {"fragmft", "--set fragmft", 131072},
};

class DeepScanVolumeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0) return;
    dir = new TempDir;
    for (const Base& base : Bases) {
      const std::string image = dir->Path() + "/" + base.name + ".img";
      std::string log;
      if (RunCommand("python3 " + Tool("mkvolume.py") + " ntfs " + image + " --manifest " + image + ".tsv " +
                         base.options + " 2>&1",
                     &log) != 0) {
        ADD_FAILURE() << base.name << ": " << log;
      }
    }
  }
  static void TearDownTestSuite() {
    delete dir;
    dir = nullptr;
  }
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "real volumes need root (mkntfs, ntfs-3g mount)";
  }

  static TempDir* dir;
};

TempDir* DeepScanVolumeTest::dir = nullptr;

struct Damage {
  const char* name;
  const Base& base;
  const char* options;      // mkdamaged.py's
  const char* method;       // how the deep scan finds the geometry
  bool ordinaryListWorks;   // 'list' reads the volume as it is
};

TEST_F(DeepScanVolumeTest, EverySurvivingFileIsFoundWithItsPathAndBytes) {
  const Base& bench = Bases[0];
  const Base& fragmented = Bases[1];
  const Damage damages[] = {
      {"quick format", bench, "--quick-format --new-files 20", "boot sector", false},
      {"quick format to 8 KiB clusters", bench, "--quick-format --cluster 8192 --new-files 20", "inferred", false},
      {"boot sector zeroed", bench, "--zero-boot", "backup boot sector", true},
      {"first records zeroed, in an MBR disk", bench, "--zero-records 40 --disk mbr", "boot sector", true},
      {"MBR entry removed", bench, "--disk mbr --drop-entry", "boot sector", false},
      {"MBR wiped", bench, "--disk mbr --wipe-table", "boot sector", false},
      {"GPT entry removed", bench, "--disk gpt --drop-entry", "boot sector", false},
      {"fragmented $MFT, boot sector zeroed", fragmented, "--zero-boot", "backup boot sector", true},
      {"fragmented $MFT, its start and mirror zeroed", fragmented, "--zero-boot --zero-records 30 --zero-mirror",
       "backup boot sector", false},
      {"fragmented $MFT, quick format", fragmented, "--quick-format --new-files 5", "boot sector", false},
  };
  int number = 0;
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.name);
    const std::string base = dir->Path() + "/" + damage.base.name + ".img";
    const std::string image = dir->Path() + "/damaged" + std::to_string(++number) + ".img";
    const std::string expect = image + ".tsv";
    std::string log;
    ASSERT_EQ(RunCommand("python3 " + Tool("mkdamaged.py") + " " + base + " " + base + ".tsv " + image + " " + expect +
                             " " + damage.options + " 2>&1",
                         &log),
              0)
        << log;
    const std::vector<Row> files = ReadTsv(expect);
    ASSERT_FALSE(files.empty());
    const std::uint64_t sector = std::strtoull(files[0].at("offset").c_str(), nullptr, 10) / 512;

    CliRun deep = Cli({"deep", image}, dir->Path());
    ASSERT_EQ(deep.status, 0) << deep.err;
    const std::vector<std::string> line = FoundLine(deep.out, sector);
    ASSERT_FALSE(line.empty()) << deep.out << deep.err;
    EXPECT_EQ(line[2], std::to_string(damage.base.sectors));
    EXPECT_EQ(line[3], "4096");
    EXPECT_EQ(line[4], "1024");
    EXPECT_EQ(line[6], damage.method);
    const std::string found = line[0];

    CliRun list = Cli({"list", image, "--found", found, "--format", "json"}, dir->Path());
    ASSERT_EQ(list.status, 0) << list.err;
    const std::map<std::uint32_t, Listed> rows = ParseJsonRows(list.out);
    const std::string recovered = image + ".out";
    CliRun recover = Cli({"recover", image, "--found", found, "--to", recovered}, dir->Path());
    std::size_t checked = 0, bytesChecked = 0;
    for (const Row& file : files) {
      const std::string& path = file.at("path");
      SCOPED_TRACE(path);
      if (file.at("record_survives") != "1" || file.at("size") == "0") continue;
      const auto row = rows.find(static_cast<std::uint32_t>(std::strtoul(file.at("record").c_str(), nullptr, 10)));
      ASSERT_NE(row, rows.end());
      ++checked;
      const std::string shown = file.at("shown");
      const std::string name = path.substr(path.rfind('/') + 1);
      EXPECT_EQ(row->second.name, name);
      EXPECT_EQ(row->second.path + name,
                shown.compare(0, 2, "?\\") == 0 ? shown : "Found volume " + found + "\\" + shown);
      EXPECT_EQ(row->second.bytes, std::strtoull(file.at("size").c_str(), nullptr, 10));
      EXPECT_EQ(row->second.deleted, file.at("state") == "deleted");
      // Bytes that survive are not overwritten; bytes that do not were
      // written by the volume over them, whose bitmap says so.
      if (file.at("bytes_survive") != "1") {
        EXPECT_NE(row->second.state, "Intact");
        continue;
      }
      EXPECT_TRUE(row->second.state == "Intact" || row->second.state == "Unknown") << row->second.state;
      // Recovered below the folders its path shows; a name that two files
      // there share goes to the later with its record number.
      const std::string folders = shown.compare(0, 2, "?\\") == 0 ? shown.substr(2) : shown;
      std::string at = recovered + "/" + folders;
      for (char& c : at) c = c == '\\' ? '/' : c;
      if (!std::filesystem::exists(at)) {
        const std::size_t dot = at.rfind('.');
        at = at.substr(0, dot) + " (record " + file.at("record") + ")" + at.substr(dot);
      }
      EXPECT_EQ(FileSha(at), file.at("sha256"));
      ++bytesChecked;
    }
    EXPECT_GT(checked, files.size() / 2);
    EXPECT_GT(bytesChecked, 0u);
    EXPECT_EQ(recover.status, 0) << recover.err;

    if (!damage.ordinaryListWorks) continue;
    // The volume's own start fails its checks, yet it reads as before: a
    // warning says what was read instead.
    CliRun before = Cli({"list", base, "--start", "0", "--format", "csv"}, dir->Path());
    // In a disk, the partition table's entry names it, as a user would.
    const bool inDisk = std::string(damage.options).find("--disk") != std::string::npos;
    CliRun after = Cli({"list", image, inDisk ? "--partition" : "--start", inDisk ? "1" : std::to_string(sector),
                        "--format", "csv"},
                       dir->Path());
    ASSERT_EQ(after.status, 0) << after.err;
    EXPECT_NE(after.err.find("warning"), std::string::npos) << after.err;
    if (std::string(damage.options) == "--zero-boot") {
      EXPECT_EQ(after.out, before.out);
      continue;
    }
    for (const Row& file : files) {
      if (file.at("state") != "deleted" || file.at("record_survives") != "1" || file.at("size") == "0") continue;
      EXPECT_NE(after.out.find("," + file.at("record") + ","), std::string::npos) << file.at("path");
    }
  }
}

}  // namespace
