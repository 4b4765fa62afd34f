#include "support/TestVolumes.h"

#include <sys/wait.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

std::uint32_t CraftedVolume::ClusterSize() const {
  if (sectorsPerCluster > 0x80) return std::uint32_t{bytesPerSector} << (256 - sectorsPerCluster);
  // A volume that claims 0 sectors per cluster is still laid out somehow.
  return std::uint32_t{bytesPerSector} * (sectorsPerCluster == 0 ? 8 : sectorsPerCluster);
}

void CraftedVolume::WriteTo(MemoryDisk& disk) const {
  Bytes boot(512, 0);
  for (std::size_t i = 0; i < 8 && i < oem.size(); ++i) boot[3 + i] = static_cast<std::uint8_t>(oem[i]);
  PutLE(boot, ntfs::BootBytesPerSector, bytesPerSector, 2);
  boot[ntfs::BootSectorsPerCluster] = sectorsPerCluster;
  boot[ntfs::BootClustersPerRecord] = clustersPerRecord;
  PutLE(boot, ntfs::BootMftCluster, mftCluster, 8);
  PutLE(boot, ntfs::BootTotalSectors, totalSectors, 8);
  boot[510] = 0x55;
  boot[511] = 0xAA;
  disk.Write(PartitionOffset(), boot);

  const std::uint32_t clusterSize = ClusterSize();
  const std::uint64_t count = records.size() + 1;
  const std::uint64_t clusters = (count * recordBytes + clusterSize - 1) / clusterSize;
  const std::uint64_t mapped = clusters + mftSparseClusters;
  const std::uint64_t realSize =
      mftRealSize != 0 ? mftRealSize : mftSparseClusters != 0 ? mapped * clusterSize : count * recordBytes;
  // Where each of the $MFT's clusters lies: in one run, or each in a run
  // of its own, backwards from the end with a gap between them.
  std::vector<std::uint64_t> placed(clusters);
  for (std::uint64_t i = 0; i < clusters; ++i) {
    placed[i] = !mftFragmented || i == 0 ? mftCluster + i : mftCluster + 2 * (clusters - i) + 1;
  }
  std::vector<RunSpec> runs;
  std::int64_t previous = 0;
  for (std::uint64_t i = 0; i < clusters; ++i) {
    if (!runs.empty() && !mftFragmented) {
      ++runs.back().length;
      continue;
    }
    runs.push_back({1, static_cast<std::int64_t>(placed[i]) - previous, 4});
    previous = static_cast<std::int64_t>(placed[i]);
  }
  if (mftSparseClusters != 0) runs.push_back({mftSparseClusters, 0, 0});
  RecordBuilder mft(ntfs::RecordInUse, recordBytes);
  mft.StandardInformation(FileTimeUtc(2020, 1, 1, 0, 0, 0), FileTimeUtc(2020, 1, 1, 0, 0, 0))
      .FileName(5 | (5ull << 48), 0x06, mftName)
      .NonResidentData(MakeRunList(runs), realSize, mapped * clusterSize, 0, mapped - 1)
      .End();
  // A record may span clusters: its bytes go cluster by cluster.
  auto place = [&](std::uint64_t at, const Bytes& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
      const std::uint64_t vcn = (at + done) / clusterSize, within = (at + done) % clusterSize;
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(clusterSize - within, bytes.size() - done));
      disk.Write(ClusterOffset(placed[vcn]) + within,
                 Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(done), bytes.begin() + static_cast<std::ptrdiff_t>(done + take)));
      done += take;
    }
  };
  place(0, mft.Build());
  for (std::size_t i = 0; i < records.size(); ++i) place((i + 1) * recordBytes, records[i]);
  // Pad to whole clusters so the last cluster reads whole.
  for (std::uint64_t lcn : placed) {
    const std::uint64_t end = ClusterOffset(lcn) + clusterSize;
    if (disk.Bytes().size() < end) disk.Bytes().resize(end);
  }
}

DWORD CraftedVolume::Open(MemoryDisk& disk, CNTFSDrive& drive) const {
  WriteTo(disk);
  drive.AttachDisk(&disk);
  drive.SetPartitionStart(partitionStart);
  return drive.Initialize();
}

std::uint64_t FileTimeUtc(int year, int month, int day, int hour, int minute, int second) {
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  const std::int64_t unixSeconds = timegm(&parts);
  return static_cast<std::uint64_t>(unixSeconds + 11644473600ll) * 10000000ull;
}

int RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    if (output != nullptr) output->append(buffer, got);
  }
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "pelmora-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::vector<std::map<std::string, std::string>> ReadTsv(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::map<std::string, std::string>> rows;
  std::string line;
  std::vector<std::string> header;
  auto split = [](const std::string& text) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream stream(text);
    while (std::getline(stream, field, '\t')) fields.push_back(field);
    if (!text.empty() && text.back() == '\t') fields.push_back("");
    return fields;
  };
  if (!std::getline(in, line)) return rows;
  header = split(line);
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::vector<std::string> fields = split(line);
    std::map<std::string, std::string> row;
    for (std::size_t i = 0; i < header.size(); ++i) row[header[i]] = i < fields.size() ? fields[i] : "";
    rows.push_back(row);
  }
  return rows;
}
