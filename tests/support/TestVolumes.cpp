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
  PutLE(boot, ntfs::BootMftCluster, mftCluster, 8);
  PutLE(boot, ntfs::BootTotalSectors, totalSectors, 8);
  boot[510] = 0x55;
  boot[511] = 0xAA;
  disk.Write(PartitionOffset(), boot);

  const std::uint32_t clusterSize = ClusterSize();
  const std::uint64_t count = records.size() + 1;
  const std::uint64_t clusters = (count * ntfs::RecordSize + clusterSize - 1) / clusterSize;
  const std::uint64_t mapped = clusters + mftSparseClusters;
  const std::uint64_t realSize =
      mftRealSize != 0 ? mftRealSize : mftSparseClusters != 0 ? mapped * clusterSize : count * ntfs::RecordSize;
  std::vector<RunSpec> runs = {{clusters, static_cast<std::int64_t>(mftCluster), 4}};
  if (mftSparseClusters != 0) runs.push_back({mftSparseClusters, 0, 0});
  RecordBuilder mft;
  mft.StandardInformation(FileTimeUtc(2020, 1, 1, 0, 0, 0), FileTimeUtc(2020, 1, 1, 0, 0, 0))
      .FileName(5 | (5ull << 48), 0x06, mftName)
      .NonResidentData(MakeRunList(runs), realSize, mapped * clusterSize, 0, mapped - 1)
      .End();
  disk.Write(ClusterOffset(mftCluster), mft.Build());
  for (std::size_t i = 0; i < records.size(); ++i) {
    disk.Write(ClusterOffset(mftCluster) + (i + 1) * ntfs::RecordSize, records[i]);
  }
  // Pad to whole clusters so the last cluster reads whole.
  const std::uint64_t end = ClusterOffset(mftCluster) + clusters * clusterSize;
  if (disk.Bytes().size() < end) disk.Bytes().resize(end);
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

// SHA-256 (FIPS 180-4).
namespace {
std::uint32_t Rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
}  // namespace

void Sha256::Update(const std::uint8_t* data, std::size_t size) {
  total += size;
  while (size > 0) {
    const std::size_t take = std::min<std::size_t>(64 - used, size);
    std::memcpy(block + used, data, take);
    used += take;
    data += take;
    size -= take;
    if (used == 64) Compress();
  }
}

std::string Sha256::Hex() {
  const std::uint64_t bits = total * 8;
  std::uint8_t padding[72] = {0x80};
  const std::size_t zeros = (used < 56 ? 56 - used : 120 - used);
  for (int i = 0; i < 8; ++i) padding[zeros + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
  Update(padding, zeros + 8);
  char text[65];
  for (int i = 0; i < 8; ++i) std::snprintf(text + 8 * i, 9, "%08x", state[i]);
  return text;
}

void Sha256::Compress() {
  static const std::uint32_t k[64] = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
      0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
      0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
      0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
      0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
      0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
      0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
  std::uint32_t w[64];
  for (int i = 0; i < 16; ++i) {
    w[i] = std::uint32_t{block[4 * i]} << 24 | std::uint32_t{block[4 * i + 1]} << 16 |
           std::uint32_t{block[4 * i + 2]} << 8 | block[4 * i + 3];
  }
  for (int i = 16; i < 64; ++i) {
    const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4], f = state[5],
                g = state[6], h = state[7];
  for (int i = 0; i < 64; ++i) {
    const std::uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
    const std::uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
  }
  state[0] += a; state[1] += b; state[2] += c; state[3] += d;
  state[4] += e; state[5] += f; state[6] += g; state[7] += h;
  used = 0;
}

std::string Sha256Hex(const std::uint8_t* bytes, std::size_t size) {
  Sha256 hash;
  hash.Update(bytes, size);
  return hash.Hex();
}
