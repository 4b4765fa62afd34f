// pelmora-peek: prints what the volume reader sees, record by record.
//   pelmora-peek IMAGE [START_SECTOR [SECTOR_SIZE]]
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "ntfs/NTFSDrive.h"
#include "platform/Disk.h"
#include "platform/Errors.h"
#include "platform/Text.h"

namespace {

// FILETIME (100 ns since 1601, UTC) as "YYYY-MM-DD hh:mm:ss", or "-".
std::string FormatTime(std::uint64_t fileTime) {
  constexpr std::uint64_t UnixEpoch = 116444736000000000ull;
  if (fileTime < UnixEpoch) return "-";
  const std::time_t seconds = static_cast<std::time_t>((fileTime - UnixEpoch) / 10000000ull);
  std::tm parts{};
#ifdef _WIN32
  gmtime_s(&parts, &seconds);
#else
  gmtime_r(&seconds, &parts);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

int Fail(const char* step, DWORD error) {
  std::fprintf(stderr, "%s: %s\n", step, ErrorMessage(error).c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: pelmora-peek IMAGE [START_SECTOR [SECTOR_SIZE]]\n");
    return 2;
  }
  const std::uint64_t start = argc >= 3 ? std::strtoull(argv[2], nullptr, 10) : 0;
  const auto sectorSize = static_cast<std::uint32_t>(argc == 4 ? std::strtoul(argv[3], nullptr, 10) : 512);
  std::unique_ptr<DiskDevice> disk;
  DWORD result = DiskDevice::OpenPath(argv[1], &disk);
  if (result != code::Success) return Fail("open", result);
  CNTFSDrive drive;
  drive.AttachDisk(disk.get());
  drive.SetPartitionStart(start, sectorSize);
  result = drive.Initialize();
  if (result != code::Success) return Fail("Initialize", result);
  const std::uint32_t count = drive.RecordCount();
  std::printf("cluster size %u, record size %u, %u records\n", drive.ClusterSize(), drive.RecordSize(), count);
  std::printf("%6s %-7s %10s %6s  %-19s  %-19s  %s\n", "record", "state", "size", "parent",
              "created", "modified", "name");
  for (std::uint32_t index = 0; index < count; ++index) {
    MFTFileInfo info;
    result = drive.ReadRecordSummary(index, false, &info);
    if (result != code::Success) {
      std::printf("%6u (%s)\n", index, ErrorMessage(result).c_str());
      continue;
    }
    if (!info.deleted) {
      // In-use records only say so; read them again as directories for their names.
      drive.ReadRecordSummary(index, true, &info);
    }
    std::u16string name(info.name);
    std::printf("%6u %-7s %10" PRIu64 " %6u  %-19s  %-19s  %s\n", index,
                info.deleted ? "deleted" : "in use", info.dataSize, info.parentRecordLow,
                FormatTime(info.creationTime).c_str(), FormatTime(info.modificationTime).c_str(),
                Utf8FromUtf16(name).c_str());
  }
  return 0;
}
