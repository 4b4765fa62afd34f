// pelmora-cli on a real volume served as a failing disk: tools/faildisk.py
// serves the image through FUSE with reads failing (EIO) over chosen
// ranges, found with The Sleuth Kit, which also gives the bytes each
// recovered file must hold.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "support/CliRun.h"
#include "support/TestVolumes.h"

namespace {

constexpr std::uint64_t ClusterBytes = 4096;

// The volume: Docs/small_1.txt to small_80.txt (the odd ones deleted,
// records 65 to 144), and the deleted middle.bin (1,000,000 random bytes)
// and huge.bin (80 MiB).
constexpr const char* VolumeWork =
    "mkdir Docs && for i in $(seq 1 80); do printf 'small file %d\\n' $i > Docs/small_$i.txt; done && "
    "head -c 1000000 /dev/urandom > middle.bin && head -c 83886080 /dev/urandom > huge.bin && sync && "
    "for i in $(seq 1 2 80); do rm Docs/small_$i.txt; done && rm middle.bin huge.bin";

// faildisk.py serving `image` at `mount`/disk.img with reads failing over
// `ranges` (START:LENGTH in bytes), every failed read logged in `log`; it
// stops serving when the object goes.
class ServedFailing {
 public:
  ServedFailing(const std::string& image, const std::string& mount, const std::vector<std::string>& ranges,
                const std::string& log)
      : mount(mount) {
    mkdir(mount.c_str(), 0755);
    std::vector<std::string> args = {"/usr/bin/python3", Tool("faildisk.py"), image, mount, "--log", log};
    for (const std::string& range : ranges) args.insert(args.end(), {"--fail", range});
    pid = fork();
    if (pid == 0) {
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    for (int i = 0; i < 200 && pid > 0 && !Ready(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ~ServedFailing() {
    if (pid <= 0) return;
    for (int i = 0; i < 50 && RunCommand("umount " + mount + " 2>/dev/null") != 0; ++i) {
      if (waitpid(pid, nullptr, WNOHANG) == pid) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // Unmounted, it ends by itself; one that never mounted is told to.
    for (int i = 0; i < 50; ++i) {
      if (waitpid(pid, nullptr, WNOHANG) == pid) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  ServedFailing(const ServedFailing&) = delete;
  ServedFailing& operator=(const ServedFailing&) = delete;

  bool Ready() const {
    struct stat info {};
    return stat(Disk().c_str(), &info) == 0 && S_ISREG(info.st_mode);
  }
  std::string Disk() const { return mount + "/disk.img"; }

 private:
  std::string mount;
  pid_t pid = -1;
};

// The clusters of a record's first non-resident $DATA, as istat lists them.
std::vector<std::uint64_t> DataClusters(const std::string& image, std::uint32_t record) {
  std::string out;
  RunCommand("istat " + image + " " + std::to_string(record), &out);
  std::vector<std::uint64_t> clusters;
  std::istringstream lines(out);
  std::string line;
  bool inData = false;
  while (std::getline(lines, line)) {
    if (line.rfind("Type: $DATA", 0) == 0 && line.find("Non-Resident") != std::string::npos) {
      inData = clusters.empty();
      continue;
    }
    if (!inData) continue;
    if (line.empty() || line.rfind("Type:", 0) == 0) break;
    std::istringstream numbers(line);
    std::uint64_t cluster = 0;
    while (numbers >> cluster) clusters.push_back(cluster);
  }
  return clusters;
}

// The deleted files' records by path, as fls lists them.
std::map<std::string, std::uint32_t> DeletedRecords(const std::string& image) {
  std::string out;
  RunCommand("fls -r -d -p " + image, &out);
  std::map<std::string, std::uint32_t> records;
  const std::regex entry(R"(^\S+ \* (\d+)(-\d+-\d+)?:\t(.*)$)");
  for (const std::string& line : Lines(out)) {
    std::smatch match;
    if (std::regex_match(line, match, entry)) records[match[3]] = static_cast<std::uint32_t>(std::stoul(match[1]));
  }
  return records;
}

std::string Range(std::uint64_t start, std::uint64_t length) {
  return std::to_string(start) + ":" + std::to_string(length);
}

std::size_t LineCount(const std::string& path) { return Lines(ReadWholeFile(path)).size(); }

class FailingDiskTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0 || RunCommand("/usr/bin/python3 -c 'import fusepy' 2>/dev/null") != 0) return;
    dir = new TempDir;
    image = dir->Path() + "/failing.img";
    const std::string script = image + ".sh";
    std::ofstream(script) << "set -e\nimg=$1; mnt=$1.mnt\n"
                             "truncate -s 128M \"$img\"; mkntfs -q -F -Q \"$img\" 2>/dev/null; mkdir -p \"$mnt\"\n"
                             "ntfs-3g -o no_detach \"$img\" \"$mnt\" 2>/dev/null & pid=$!\n"
                             "for i in $(seq 200); do mountpoint -q \"$mnt\" && break; sleep 0.05; done\n"
                             "status=0; (cd \"$mnt\" && "
                          << VolumeWork
                          << ") || status=1\nsync\n"
                             "for i in $(seq 50); do umount \"$mnt\" && break; sleep 0.2; done\n"
                             "wait $pid; exit $status\n";
    std::string log;
    if (RunCommand("bash " + script + " " + image + " 2>&1", &log) != 0) {
      ADD_FAILURE() << log;
      return;
    }
    records = DeletedRecords(image);
    mft = DataClusters(image, 0);
  }
  static void TearDownTestSuite() {
    delete dir;
    dir = nullptr;
  }
  void SetUp() override {
    if (dir == nullptr) GTEST_SKIP() << "a failing disk needs root, FUSE and Debian's python3-fusepy";
    ASSERT_FALSE(mft.empty());
    ASSERT_EQ(records.count("huge.bin"), 1u);
    scratch = std::make_unique<TempDir>();
  }

  // Byte position of MFT record `index` on the disk (1024-byte records).
  static std::uint64_t RecordAt(std::uint32_t index) {
    return mft.at(index * 1024 / ClusterBytes) * ClusterBytes + index * 1024 % ClusterBytes;
  }
  static std::string Icat(std::uint32_t record, const std::string& out) {
    RunCommand("icat " + image + " " + std::to_string(record) + " > " + out);
    return ReadWholeFile(out);
  }

  static TempDir* dir;
  static std::string image;
  static std::map<std::string, std::uint32_t> records;
  static std::vector<std::uint64_t> mft;
  std::unique_ptr<TempDir> scratch;
};

TempDir* FailingDiskTest::dir = nullptr;
std::string FailingDiskTest::image;
std::map<std::string, std::uint32_t> FailingDiskTest::records;
std::vector<std::uint64_t> FailingDiskTest::mft;

// 4 KiB of the $MFT: the four records in it are not listed, and said.
TEST_F(FailingDiskTest, AnUnreadableMftRangeCostsOnlyItsRecords) {
  const std::uint32_t first = records.at("Docs/small_5.txt") - 1;  // 4 records from here in one cluster
  ASSERT_EQ(RecordAt(first) % ClusterBytes, 0u);
  ServedFailing disk(image, scratch->Path() + "/m", {Range(RecordAt(first), ClusterBytes)}, scratch->Path() + "/log");
  ASSERT_TRUE(disk.Ready());
  const CliRun run = Cli({"list", disk.Disk(), "--start", "0", "--format", "csv"}, scratch->Path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("pelmora-cli: warning: 4 records could not be read\n"), std::string::npos) << run.err;
  std::set<std::string> names;  // the first cell of each row
  for (const std::string& line : Lines(run.out)) names.insert(line.substr(0, line.find(',')));
  std::size_t listed = 0;
  for (const auto& [path, record] : records) {
    if (path.rfind("$OrphanFiles/", 0) == 0) continue;
    const bool lost = record >= first && record < first + 4;
    EXPECT_EQ(names.count(path.substr(path.rfind('/') + 1)), lost ? 0u : 1u) << path;
    listed += lost ? 0 : 1;
  }
  EXPECT_EQ(listed, 40u);  // 40 small files and the two .bin files, less the two lost
  EXPECT_GT(LineCount(scratch->Path() + "/log"), 0u);
}

// Recovery over bad sectors in a file's data: the file is written whole, with
// zeros where the disk failed, byte-exact elsewhere; the run fails and says
// how many bytes were unreadable. A long bad stretch costs few reads.
TEST_F(FailingDiskTest, UnreadableDataIsZerosAndSaid) {
  struct Case {
    const char* name;
    const char* file;
    std::uint64_t firstCluster, clusters;  // of the file's data, failing
    std::size_t maxFailedReads;
  };
  const Case cases[] = {
      {"one cluster in a file", "middle.bin", 100, 1, 60},
      {"64 MiB of a file", "huge.bin", 1000, 16384, 2000},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const std::uint32_t record = records.at(test.file);
    const std::vector<std::uint64_t> clusters = DataClusters(image, record);
    ASSERT_GT(clusters.size(), test.firstCluster + test.clusters);
    std::vector<std::string> ranges;
    for (std::uint64_t vcn = test.firstCluster; vcn < test.firstCluster + test.clusters; ++vcn) {
      if (!ranges.empty() && clusters[vcn] == clusters[vcn - 1] + 1) {
        const std::string last = ranges.back();
        const std::uint64_t start = std::stoull(last.substr(0, last.find(':')));
        ranges.back() = Range(start, std::stoull(last.substr(last.find(':') + 1)) + ClusterBytes);
      } else {
        ranges.push_back(Range(clusters[vcn] * ClusterBytes, ClusterBytes));
      }
    }
    const std::string log = scratch->Path() + "/" + test.file + ".log", out = scratch->Path() + "/" + test.file;
    ServedFailing disk(image, scratch->Path() + "/m", ranges, log);
    ASSERT_TRUE(disk.Ready());
    const CliRun run = Cli({"recover", disk.Disk(), "--start", "0", "--to", out, "--record", std::to_string(record)},
                           scratch->Path());
    const std::uint64_t lost = test.clusters * ClusterBytes;
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("failed: " + out + "/" + test.file + ": " + std::to_string(lost) + " bytes unreadable\n"),
              std::string::npos)
        << run.err;
    std::string expected = Icat(record, scratch->Path() + "/expected");
    ASSERT_GT(expected.size(), (test.firstCluster + test.clusters) * ClusterBytes);
    std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>(test.firstCluster * ClusterBytes), lost, '\0');
    EXPECT_TRUE(ReadWholeFile(out + "/" + test.file) == expected);
    EXPECT_LE(LineCount(log), test.maxFailedReads);
  }
}

}  // namespace
