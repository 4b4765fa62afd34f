// pelmora-cli: the scanner and recovery for disk images and devices.
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "carve/CarvedOutput.h"
#include "cli/ListOutput.h"
#include "cli/Output.h"
#include "disk/DiskImage.h"
#include "ntfs/NTFSDrive.h"
#include "ntfs/NtfsLayout.h"
#include "ntfs/VolumeReads.h"
#include "platform/Console.h"
#include "platform/Disk.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "platform/Volumes.h"
#include "recover/Recovery.h"
#include "scan/FoundVolumes.h"
#include "scan/PartitionWalk.h"
#include "scan/Scanner.h"
#include "view/RowCells.h"

namespace {

constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

const char* const Usage =
    "usage: pelmora-cli partitions DISK [--sector-size 512|4096]\n"
    "       pelmora-cli deep DISK [--start SECTOR --count SECTORS] [--sector-size 512|4096]\n"
    "       pelmora-cli list DISK (--start SECTOR | --partition N | --found K [--start SECTOR --count SECTORS])\n"
    "                            [--sector-size 512|4096] [--drive-text TEXT] [--format table|csv|json]\n"
    "                            [--state STATE]... [--carve [--type TYPE,...]]\n"
    "       pelmora-cli recover DISK (--start SECTOR | --partition N | --found K [--start SECTOR --count SECTORS])\n"
    "                            [--sector-size 512|4096]\n"
    "                            --to DIR [--record N]... [--name GLOB]... [--state STATE]... [--overwrite]\n"
    "                            [--allow-same-volume]\n"
    "       pelmora-cli carve DISK (--start SECTOR | --partition N | --found K [--start SECTOR --count SECTORS])\n"
    "                            [--sector-size 512|4096] --to DIR [--type TYPE,...] [--overwrite]\n"
    "                            [--allow-same-volume]\n"
    "       pelmora-cli verify IMAGE\n"
    "DISK is a disk image or a device"
#ifdef _WIN32
    ", or a disk number"
#endif
    "; an image may be raw, numbered raw pieces (NAME.001 and on; any\n"
    "piece names the set), VHD, VHDX or EWF (NAME.E01 and on);\n"
    "'verify' reads the whole image, checking what its container checks, prints\n"
    "its MD5 and compares it with the MD5 an EWF image stores;\n"
    "N of --partition counts the lines of 'partitions' from 1;\n"
    "'deep' reads the whole disk, or SECTORS from SECTOR, for NTFS records, index blocks\n"
    "and boot sectors, and prints a line for each volume found that the partition table\n"
    "does not give whole: K, first sector, sectors, cluster bytes, record bytes, records\n"
    "found and where its geometry came from; K of --found counts those lines from 1 (the\n"
    "scan is made again, over the same range);\n"
    "SECTOR counts the disk's logical sectors: --sector-size, else the device's own,\n"
    "else 4096 for an image laid out in 4096-byte sectors, else 512;\n"
    "--record takes the record index that 'list' shows in its # column;\n"
    "STATE is intact, partial, overwritten or unknown: what is left of a file's clusters;\n"
    "or elsewhere: a file whose bytes are not on this disk (a cloud or deduplicated file);\n"
    "'carve' reads the free clusters no listed file claims for files of the TYPEs (an\n"
    "extension such as jpg, png, docx; all when not given), writes each below DIR as\n"
    "Carved/TYPE/f<first cluster>.<ext> and prints: path, extension, first cluster, bytes, state;\n"
    "'list --carve' reads them too and lists them after the files' rows, writing nothing.\n";

struct Options {
  std::string command;
  std::string disk;
  bool hasStart = false;
  std::uint64_t start = 0;
  unsigned partition = 0;  // 0: not given
  unsigned found = 0;      // a volume 'deep' found, from 1; 0: not given
  bool hasCount = false;
  std::uint64_t count = 0;  // sectors of the range 'deep' reads
  bool hasDriveText = false;
  std::string driveText;
  std::string format = "table";
  std::string to;
  std::vector<std::uint32_t> records;
  std::vector<std::string> names;
  bool overwrite = false;
  bool allowSameVolume = false;  // recover onto the scanned partition itself
  std::uint32_t sectorSize = 0;  // 0: the device's own, else detected
  std::vector<Recoverability> states;  // rows of these states only; all when empty
  std::vector<std::string> types;      // carve: the --type words; all types when empty
  bool carve = false;                  // list: the carved files too
};

// Every line for people goes through TerminalSafe: names come from the disk.
int UsageError(Terminal& terminal, const std::string& what) {
  terminal.Err("pelmora-cli: " + TerminalSafe(what) + "\n" + Usage);
  return ExitUsage;
}

int Failure(Terminal& terminal, const std::string& step, DWORD error) {
  terminal.Err("pelmora-cli: " + TerminalSafe(step) + ": " + ErrorMessage(error) + "\n");
  return ExitFailure;
}

void Warning(Terminal& terminal, const std::string& step, DWORD error) {
  terminal.Err("pelmora-cli: warning: " + TerminalSafe(step) + ": " + ErrorMessage(error) + "\n");
}

bool ParseNumber(const std::string& text, std::uint64_t limit, std::uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (result > (limit - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

// Returns an empty string, or what is wrong with the command line.
std::string ParseOptions(const std::vector<std::string>& args, Options* options) {
  if (args.size() < 2) return "no command";
  options->command = args[1];
  if (options->command == "verify") {
    if (args.size() != 3 || (args[2].size() > 1 && args[2][0] == '-')) return "verify takes one IMAGE";
    options->disk = args[2];
    return "";
  }
  if (options->command != "partitions" && options->command != "list" && options->command != "recover" &&
      options->command != "deep" && options->command != "carve") {
    return "unknown command '" + options->command + "'";
  }
  std::vector<std::string> positional;
  for (std::size_t i = 2; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    std::string text;
    std::uint64_t number = 0;
    if (arg == "--start" && options->command != "partitions") {
      // Sectors of up to 4096 bytes; keep the byte position within 63 bits.
      if (!value(&text) || !ParseNumber(text, (1ull << 51), &number)) return "--start takes a sector number";
      options->hasStart = true;
      options->start = number;
    } else if (arg == "--sector-size") {
      if (!value(&text) || (text != "512" && text != "4096")) return "--sector-size is 512 or 4096";
      options->sectorSize = text == "512" ? 512 : 4096;
    } else if (arg == "--count" && options->command != "partitions") {
      if (!value(&text) || !ParseNumber(text, (1ull << 51), &number) || number == 0) {
        return "--count takes a number of sectors";
      }
      options->hasCount = true;
      options->count = number;
    } else if (arg == "--found" &&
               (options->command == "list" || options->command == "recover" || options->command == "carve")) {
      if (!value(&text) || !ParseNumber(text, 100000, &number) || number == 0) return "--found takes a number from 1";
      options->found = static_cast<unsigned>(number);
    } else if (arg == "--partition" && options->command != "partitions" && options->command != "deep") {
      if (!value(&text) || !ParseNumber(text, 1000, &number) || number == 0) return "--partition takes a number from 1";
      options->partition = static_cast<unsigned>(number);
    } else if (arg == "--drive-text" && options->command == "list") {
      if (!value(&options->driveText)) return "--drive-text takes a text";
      options->hasDriveText = true;
    } else if (arg == "--format" && options->command == "list") {
      if (!value(&options->format) ||
          (options->format != "table" && options->format != "csv" && options->format != "json")) {
        return "--format is table, csv or json";
      }
    } else if (arg == "--to" && (options->command == "recover" || options->command == "carve")) {
      if (!value(&options->to) || options->to.empty()) return "--to takes a folder";
    } else if (arg == "--record" && options->command == "recover") {
      if (!value(&text) || !ParseNumber(text, UINT32_MAX, &number)) return "--record takes a record index";
      options->records.push_back(static_cast<std::uint32_t>(number));
    } else if (arg == "--name" && options->command == "recover") {
      if (!value(&text)) return "--name takes a pattern";
      options->names.push_back(text);
    } else if (arg == "--carve" && options->command == "list") {
      options->carve = true;
    } else if (arg == "--type" && (options->command == "carve" || options->command == "list")) {
      if (!value(&text) || text.empty()) return "--type takes types such as jpg,png";
      for (std::size_t at = 0; at <= text.size();) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        options->types.push_back(text.substr(at, comma - at));
        at = comma + 1;
      }
    } else if (arg == "--state" && options->command != "partitions" && options->command != "deep" &&
               options->command != "carve") {
      static const std::pair<const char*, Recoverability> names[] = {{"intact", Recoverability::Intact},
                                                                     {"partial", Recoverability::Partial},
                                                                     {"overwritten", Recoverability::Overwritten},
                                                                     {"unknown", Recoverability::Unknown},
                                                                     {"elsewhere", Recoverability::NotOnDisk}};
      const bool given = value(&text);
      auto named = std::find_if(std::begin(names), std::end(names), [&](const auto& entry) { return text == entry.first; });
      if (!given || named == std::end(names)) return "--state is intact, partial, overwritten, unknown or elsewhere";
      options->states.push_back(named->second);
    } else if (arg == "--overwrite" && (options->command == "recover" || options->command == "carve")) {
      options->overwrite = true;
    } else if (arg == "--allow-same-volume" && (options->command == "recover" || options->command == "carve")) {
      options->allowSameVolume = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return "unknown option '" + arg + "'";
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 1) return positional.empty() ? "no DISK given" : "more than one DISK given";
  options->disk = positional[0];
  if (options->command == "list" || options->command == "recover" || options->command == "carve") {
    // With --found, --start and --count give the range the deep scan reads.
    const int given = (options->hasStart && options->found == 0 ? 1 : 0) + (options->partition != 0 ? 1 : 0) +
                      (options->found != 0 ? 1 : 0);
    if (given != 1) return "give one of --start, --partition or --found";
    if (options->hasCount && options->found == 0) return "--count goes with --found";
  }
  if ((options->command == "recover" || options->command == "carve") && options->to.empty()) {
    return options->command + " needs --to DIR";
  }
  if (options->command == "list" && !options->types.empty() && !options->carve) return "--type goes with --carve";
  return "";
}

// Opens a disk number (Windows), or a device or image by path in whatever
// container holds it. `*step` names what failed, with the image's problem.
DWORD OpenDisk(const std::string& name, std::unique_ptr<DiskReader>* disk, std::uint32_t* number, std::string* step) {
  *number = 0;
  *step = name;
#ifdef _WIN32
  std::uint64_t value = 0;
  if (ParseNumber(name, 1000, &value)) {
    *number = static_cast<std::uint32_t>(value);
    std::unique_ptr<DiskDevice> device;
    const DWORD result = DiskDevice::OpenNumber(*number, &device);
    *disk = std::move(device);
    return result;
  }
#endif
  std::unique_ptr<DiskImage> image;
  std::string problem;
  const DWORD result = OpenDiskImage(name, &image, &problem);
  if (!problem.empty()) *step = name + ": " + problem;
  *disk = std::move(image);
  return result;
}

struct Partition {
  std::u16string text;
  std::uint64_t start;
  std::uint64_t count;
  std::string type;  // "0x07", or a GPT type GUID
};

// The disk's logical sector size: as given, the device's own, or detected
// from an image's layout; `*how` says which.
std::uint32_t SectorSizeFor(const Options& options, DiskReader& disk, const char** how) {
  if (options.sectorSize != 0) {
    *how = "as given";
    return options.sectorSize;
  }
  if (IsSectorSize(disk.LogicalSectorSize())) {
    // A raw image's sector size is its device's; a container (VHDX, EWF) says its own.
    const auto* image = dynamic_cast<const DiskImage*>(&disk);
    const bool container = image != nullptr && image->Format() != ImageFormat::Raw &&
                           image->Format() != ImageFormat::SplitRaw;
    *how = container ? "from the image" : "from the device";
    return disk.LogicalSectorSize();
  }
  *how = "detected";
  return DetectSectorSize(disk);
}

// The partitions of a disk as 'partitions' lists them, in sectors of
// `sectorBytes`: a GPT disk's entries, else the walk of its boot records.
// On a failure the partitions found before it stay.
DWORD ListPartitions(DiskReader& disk, std::uint32_t number, std::uint32_t sectorBytes,
                     std::vector<Partition>* partitions) {
  SystemVolumes volumes;
  bool isGpt = false;
  DWORD result = WalkGpt(
      disk, number, volumes, &isGpt,
      [&](const GptPartition& found) {
        partitions->push_back({found.text, found.firstSector, found.sectorCount, found.typeGuid});
      },
      sectorBytes);
  if (isGpt || result != code::Success) return result;
  return WalkDisk(
      disk, number, volumes,
      [&](const FoundPartition& found) {
        char type[8];
        std::snprintf(type, sizeof type, "0x%02X", found.type);
        partitions->push_back({found.text, found.item.startSector, found.item.sectorCount, type});
      },
      sectorBytes);
}

// Shows the scan's progress; the rows stay in the scan's table.
class ProgressSink : public RowSink {
 public:
  explicit ProgressSink(Terminal& terminal) : terminal(terminal) {}
  void RowAdded(const RowTable&, std::size_t) override {}
  void Progress(std::uint32_t examined, std::uint32_t total) override {
    char text[64];
    std::snprintf(text, sizeof text, "Scanning: %u of %u records", examined, total);
    terminal.Progress(text);
  }

 private:
  Terminal& terminal;
};

int CommandPartitions(const Options& options, Terminal& terminal) {
  std::unique_ptr<DiskReader> disk;
  std::uint32_t number = 0;
  std::string step;
  DWORD result = OpenDisk(options.disk, &disk, &number, &step);
  if (result != code::Success) return Failure(terminal, step, result);
  const char* how = "";
  const std::uint32_t sectorBytes = SectorSizeFor(options, *disk, &how);
  std::vector<Partition> partitions;
  result = ListPartitions(*disk, number, sectorBytes, &partitions);
  for (const Partition& p : partitions) {
    char numbers[48];
    std::snprintf(numbers, sizeof numbers, "\t%" PRIu64 "\t%" PRIu64 "\t", p.start, p.count);
    terminal.Out(TerminalSafe(Utf8FromUtf16(p.text)) + numbers + p.type + "\n");
  }
  terminal.Err("Sector size: " + std::to_string(sectorBytes) + " bytes (" + how + ")\n");
  return result == code::Success ? ExitSuccess : Failure(terminal, "partitions", result);
}

std::string Hex(const std::uint8_t* bytes, std::size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) text += std::string{digits[bytes[i] >> 4], digits[bytes[i] & 15]};
  return text;
}

// Reads the whole image, so that every checksum its container keeps is
// checked, and compares the disk's MD5 with the one an EWF image stores.
int CommandVerify(const Options& options, Terminal& terminal) {
  std::unique_ptr<DiskImage> image;
  std::string problem;
  DWORD result = OpenDiskImage(options.disk, &image, &problem);
  if (result != code::Success) return Failure(terminal, options.disk + (problem.empty() ? "" : ": " + problem), result);
  std::uint64_t size = 0;
  result = image->Size(&size);
  if (result != code::Success) return Failure(terminal, options.disk, result);
  std::uint8_t computed[16], stored[16];
  result = HashDisk(
      *image,
      [&](std::uint64_t done, std::uint64_t total) {
        char text[80];
        std::snprintf(text, sizeof text, "Verifying: %" PRIu64 " of %" PRIu64 " MiB", done >> 20, total >> 20);
        terminal.Progress(text);
        return true;
      },
      computed, &problem);
  terminal.ClearProgress();
  if (result != code::Success) return Failure(terminal, options.disk + ": " + problem, result);
  terminal.Out(std::string("Format: ") + FormatName(image->Format()) + "\nSize: " + std::to_string(size) +
               " bytes\nMD5: " + Hex(computed, sizeof computed) + "\n");
  if (!image->StoredMd5(stored)) {
    terminal.Out("Stored MD5: none\n");
  } else {
    terminal.Out("Stored MD5: " + Hex(stored, sizeof stored) + "\n");
    if (std::memcmp(stored, computed, sizeof stored) != 0) {
      terminal.Flush();
      terminal.Err("pelmora-cli: " + TerminalSafe(options.disk) + ": the disk's MD5 is not the one stored\n");
      return ExitFailure;
    }
  }
  terminal.Flush();
  return ExitSuccess;
}

// Bytes of the disk, when it can say.
bool DiskSize(DiskReader& disk, std::uint64_t* bytes) {
  if (auto* image = dynamic_cast<DiskImage*>(&disk)) return image->Size(bytes) == code::Success;
  if (auto* device = dynamic_cast<DiskDevice*>(&disk)) return device->Size(bytes) == code::Success;
  return false;
}

class DeepProgress : public DeepScanSink {
 public:
  explicit DeepProgress(Terminal& terminal) : terminal(terminal) {}
  void Progress(const DeepScanProgress& progress) override {
    char text[160];
    const int length = std::snprintf(text, sizeof text, "Deep scan: %" PRIu64 " of %" PRIu64 " MiB, %" PRIu64 " records",
                                     progress.bytesDone >> 20, progress.bytesTotal >> 20, progress.recordsFound);
    if (progress.secondsLeft != UINT32_MAX && length > 0 && static_cast<std::size_t>(length) < sizeof text) {
      std::snprintf(text + length, sizeof text - length, ", about %u s left", progress.secondsLeft);
    }
    terminal.Progress(text);
  }

 private:
  Terminal& terminal;
};

// The deep scan of the disk, or of --count sectors from --start, into
// `volumes`; the volumes the partition table gives, and a volume that
// starts the disk, are known ones. `*sectorBytes` receives the sector size
// the range counts in.
DWORD RunDeepScan(const Options& options, Terminal& terminal, DiskReader& disk, std::uint32_t number,
                  std::uint32_t* sectorBytes, CFoundVolumes* volumes) {
  const char* how = "";
  *sectorBytes = SectorSizeFor(options, disk, &how);
  std::vector<Partition> partitions;
  ListPartitions(disk, number, *sectorBytes, &partitions);
  std::uint64_t diskBytes = 0;
  const bool sized = DiskSize(disk, &diskBytes);
  std::vector<KnownVolume> known;
  for (const Partition& p : partitions) {
    known.push_back({SaturatingMultiply(p.start, *sectorBytes), SaturatingMultiply(p.count, *sectorBytes)});
  }
  NtfsGeometry first;
  if (partitions.empty() && ReadBootSector(disk, 0, &first) == code::Success) known.push_back({0, sized ? diskBytes : 0});
  DiskRange range;
  range.offset = options.hasStart ? options.start * *sectorBytes : 0;
  range.bytes = options.hasCount ? options.count * *sectorBytes
                : sized && diskBytes > range.offset ? diskBytes - range.offset
                : sized ? 0 : UINT64_MAX;
  static const std::atomic<bool> neverStop{false};
  DeepProgress progress(terminal);
  const DWORD result = DeepScan(disk, range, known, neverStop, progress, volumes);
  terminal.ClearProgress();
  return result;
}

int CommandDeep(const Options& options, Terminal& terminal) {
  std::unique_ptr<DiskReader> disk;
  std::uint32_t number = 0;
  std::string step;
  DWORD result = OpenDisk(options.disk, &disk, &number, &step);
  if (result != code::Success) return Failure(terminal, step, result);
  CFoundVolumes volumes;
  std::uint32_t sectorBytes = 512;
  result = RunDeepScan(options, terminal, *disk, number, &sectorBytes, &volumes);
  if (result != code::Success) return Failure(terminal, "deep scan", result);
  for (std::size_t k = 0; k < volumes.Count(); ++k) {
    const FoundVolume& volume = volumes.At(k);
    // A boot sector's count leaves out the backup's own sector, which the partition holds.
    const std::uint64_t sectors = volume.sizeKnown ? volume.geometry.volumeBytes / sectorBytes + 1
                                                   : (volume.bytes + sectorBytes - 1) / sectorBytes;
    char line[160];
    std::snprintf(line, sizeof line, "%zu\t%" PRIu64 "\t%" PRIu64 "\t%u\t%u\t%u\t%s\n", k + 1,
                  volume.offset / sectorBytes, sectors, volume.geometry.clusterSize, volume.geometry.recordSize,
                  volume.records, GeometryFromName(volume.from));
    terminal.Out(line);
  }
  terminal.Flush();
  const FoundVolumesReport& report = volumes.Report();
  std::string notes = "Records found: " + std::to_string(report.recordsFound) + " (" +
                      std::to_string(report.recordsOfKnownVolumes) + " in the volumes the partition table gives)\n";
  if (volumes.Count() == 0) notes += "No lost volumes found\n";
  if (report.groupsWithoutGeometry != 0) {
    notes += std::to_string(report.recordsWithoutGeometry) + " records in " + std::to_string(report.groupsWithoutGeometry) +
             " groups left out: no volume's geometry fits them\n";
  }
  if (report.recordsWithoutNumber != 0) {
    notes += std::to_string(report.recordsWithoutNumber) + " records without their own number (NTFS 3.0) left out\n";
  }
  if (report.recordsOverlapping != 0) {
    notes += std::to_string(report.recordsOverlapping) +
             " records left out: a larger fragment of their volume holds their numbers\n";
  }
  if (report.volumesWithoutFiles != 0) {
    notes += std::to_string(report.volumesWithoutFiles) + " volumes with no record past the metadata's left out\n";
  }
  if (report.unreadableBytes != 0) {
    notes += "pelmora-cli: warning: " + std::to_string(report.unreadableBytes) + " bytes could not be read\n";
  }
  if (!report.keptAll) notes += "pelmora-cli: warning: too many $MFT records 0 to keep: some volumes may be missing\n";
  terminal.Err(notes);
  return ExitSuccess;
}

// What the volume could only be opened without, said on stderr.
void WarnRepairs(Terminal& terminal, const VolumeRepairs& repairs, std::uint32_t sectorBytes) {
  if (repairs.backupBootSector) {
    terminal.Err("pelmora-cli: warning: the boot sector fails its checks: the backup boot sector at sector " +
                 std::to_string(repairs.backupBootOffset / sectorBytes) + " is read instead\n");
  }
  if (repairs.mirroredRecords != 0) {
    std::string which;
    for (std::uint32_t record = 0; record < ntfs::MirroredRecords; ++record) {
      if ((repairs.mirroredRecords >> record & 1) != 0) which += (which.empty() ? "" : ", ") + std::to_string(record);
    }
    terminal.Err("pelmora-cli: warning: $MFT record " + which +
                 " cannot be read or fails its checks: its copy in $MFTMirr is read instead\n");
  }
}

// Opens the disk and initialises the drive on the chosen partition, which
// `*where` describes.
int OpenVolume(const Options& options, Terminal& terminal, std::unique_ptr<DiskReader>* disk, CNTFSDrive* drive,
               std::u16string* driveText, ScannedPartition* where) {
  std::uint32_t number = 0;
  std::string step;
  DWORD result = OpenDisk(options.disk, disk, &number, &step);
  if (result != code::Success) return Failure(terminal, step, result);
  const char* how = "";
  const std::uint32_t sectorBytes = SectorSizeFor(options, **disk, &how);
  std::vector<Partition> partitions;
  result = ListPartitions(**disk, number, sectorBytes, &partitions);
  std::uint64_t start = options.start;
  if (options.partition != 0) {
    if (options.partition > partitions.size()) {
      if (result != code::Success) return Failure(terminal, "partitions", result);
      return UsageError(terminal, "there is no partition " + std::to_string(options.partition) + " on " + options.disk);
    }
    // The partitions before a damaged part of the table are sound.
    if (result != code::Success) Warning(terminal, "partitions", result);
    start = partitions[options.partition - 1].start;
  }
  char fallback[32];
  std::snprintf(fallback, sizeof fallback, "Sector %" PRIu64 "\\", start);
  *driveText = Utf16FromUtf8(fallback);
  std::uint64_t numbered = 0;  // a disk given by its number (Windows)
  where->diskNumber = ParseNumber(options.disk, 1000, &numbered) ? number : ScannedPartition::NoDiskNumber;
  where->disk = options.disk;
  where->start = start * sectorBytes;
  std::uint64_t partitionSectors = 0;
  for (const Partition& p : partitions) {
    if (p.start == start) {
      *driveText = p.text;
      if (p.count <= UINT64_MAX / sectorBytes) where->length = p.count * sectorBytes;
      partitionSectors = p.count;
      break;
    }
  }
  // A volume no entry gives reaches at most the disk's end: its backup boot sector is there.
  std::uint64_t diskBytes = 0;
  if (partitionSectors == 0 && DiskSize(**disk, &diskBytes) && diskBytes > where->start) {
    partitionSectors = (diskBytes - where->start) / sectorBytes;
  }
  if (options.hasDriveText) *driveText = Utf16FromUtf8(options.driveText);
  drive->AttachDisk(disk->get());
  drive->SetPartitionStart(start, sectorBytes);
  drive->SetPartitionLength(partitionSectors);
  result = drive->Initialize();
  if (IsUnreadable(result)) {
    return Failure(terminal, "Initialize: the boot sector or the start of the $MFT cannot be read", result);
  }
  if (result != code::Success) return Failure(terminal, "Initialize", result);
  WarnRepairs(terminal, drive->Repairs(), sectorBytes);
  std::uint8_t serial[4];
  std::uint32_t got = 0;
  if ((*disk)->ReadAt(where->start + ntfs::BootSerialLow, serial, sizeof serial, &got) == code::Success &&
      got == sizeof serial) {
    where->serial = serial[0] | serial[1] << 8 | serial[2] << 16 | std::uint32_t{serial[3]} << 24;
  }
  return ExitSuccess;
}

int Scan(CNTFSDrive& drive, const std::u16string& driveText, Terminal& terminal, RowTable* rows) {
  static const std::atomic<bool> neverStop{false};
  ScanTotals totals;
  ProgressSink sink(terminal);
  const DWORD result = ScanRecords(drive, driveText, neverStop, sink, &totals, rows);
  terminal.ClearProgress();
  if (drive.Kind() == VolumeKind::Found) {
    // A found volume lists its files in use too.
    std::size_t inUse = 0;
    for (std::size_t row = 0; row < rows->Rows(); ++row) inUse += rows->At(row).inUse ? 1 : 0;
    terminal.Err("Total files: " + std::to_string(totals.examined) + "\nFiles: " + std::to_string(totals.rows) + " (" +
                 std::to_string(totals.rows - inUse) + " deleted, " + std::to_string(inUse) + " in use)\n");
  } else {
    terminal.Err("Total files: " + std::to_string(totals.examined) + "\nDeleted files: " + std::to_string(totals.rows) +
                 "\n");
  }
  // The rows are complete for what could be read: a warning, not a failure.
  if (totals.unreadable != 0) {
    terminal.Err("pelmora-cli: warning: " + std::to_string(totals.unreadable) +
                 (totals.unreadable == 1 ? " record" : " records") + " could not be read\n");
  }
  return result == code::Success ? ExitSuccess : Failure(terminal, "GetLastError", result);
}

// The chosen volume, open, and its scan's rows.
struct ScannedVolume {
  std::unique_ptr<DiskReader> disk;
  CFoundVolumes found;  // what a deep scan found; a found volume's drive reads through it
  CNTFSDrive drive;
  RowTable rows;
  ScannedPartition partition;
  bool scanned = false;  // the scan ran: its rows stay usable even when it ended with a failure
};

// Opens the disk, finds its volumes again as 'deep' does (the same range),
// and initialises the drive on found volume --found.
int OpenFound(const Options& options, Terminal& terminal, ScannedVolume* volume, std::u16string* driveText) {
  std::uint32_t number = 0;
  std::string step;
  DWORD result = OpenDisk(options.disk, &volume->disk, &number, &step);
  if (result != code::Success) return Failure(terminal, step, result);
  std::uint32_t sectorBytes = 512;
  result = RunDeepScan(options, terminal, *volume->disk, number, &sectorBytes, &volume->found);
  if (result != code::Success) return Failure(terminal, "deep scan", result);
  if (options.found > volume->found.Count()) {
    return UsageError(terminal, "there is no found volume " + std::to_string(options.found) + " on " + options.disk +
                                    " ('deep' finds " + std::to_string(volume->found.Count()) + ")");
  }
  const FoundVolume& found = volume->found.At(options.found - 1);
  result = volume->found.Open(options.found - 1, &volume->drive);
  if (result != code::Success) return Failure(terminal, "Initialize", result);
  *driveText = options.hasDriveText ? Utf16FromUtf8(options.driveText)
                                    : u"Found volume " + Utf16FromUtf8(std::to_string(options.found)) + u"\\";
  std::uint64_t numbered = 0;
  volume->partition.diskNumber = ParseNumber(options.disk, 1000, &numbered) ? number : ScannedPartition::NoDiskNumber;
  volume->partition.disk = options.disk;
  volume->partition.start = found.offset;
  volume->partition.length = found.bytes;
  return ExitSuccess;
}

int OpenAndScan(const Options& options, Terminal& terminal, ScannedVolume* volume) {
  std::u16string driveText;
  const int status = options.found != 0 ? OpenFound(options, terminal, volume, &driveText)
                                        : OpenVolume(options, terminal, &volume->disk, &volume->drive, &driveText,
                                                     &volume->partition);
  if (status != ExitSuccess) return status;
  // Recovery onto the scanned partition would write over the clusters of
  // the very files it recovers: refused before the scan, nothing written.
  if ((options.command == "recover" || options.command == "carve") && !options.allowSameVolume &&
      IsOnScannedPartition(PathFromArgument(options.to), volume->partition)) {
    terminal.Err("pelmora-cli: " + TerminalSafe(options.to) +
                 " is on the partition being scanned: what is written there may take the deleted files' clusters; "
                 "choose a folder on another volume, or give --allow-same-volume\n");
    return ExitUsage;
  }
  volume->scanned = true;
  return Scan(volume->drive, driveText, terminal, &volume->rows);
}

bool Selected(const Options& options, const RowTable& rows, std::size_t row) {
  const RowTable::Row& entry = rows.At(row);
  if (!options.states.empty() &&
      std::find(options.states.begin(), options.states.end(), entry.state.kind) == options.states.end()) {
    return false;
  }
  if (options.records.empty() && options.names.empty()) return true;
  for (std::uint32_t record : options.records) {
    if (record == entry.record) return true;
  }
  const std::u16string name(rows.Name(row));
  for (const std::string& pattern : options.names) {
    if (GlobMatch(Utf16FromUtf8(pattern), name)) return true;
  }
  return false;
}

ChosenList ChosenRows(const Options& options, const RowTable& rows) {
  ChosenList chosen;
  chosen.reserve(rows.Rows());
  for (std::size_t row = 0; row < rows.Rows(); ++row) {
    if (Selected(options, rows, row)) chosen.push_back(row);
  }
  return chosen;
}

// Where a scanned volume's clusters lie, for the carver.
carve::VolumeSpan CarveSpan(ScannedVolume& volume) {
  carve::VolumeSpan span;
  span.disk = volume.disk.get();
  span.offset = volume.partition.start;
  span.clusterSize = volume.drive.ClusterSize();
  span.clusterCount = volume.drive.ClusterCount();
  if (span.clusterCount == 0 && span.clusterSize != 0) span.clusterCount = volume.partition.length / span.clusterSize;
  return span;
}

// Carves the free space no row claims for `observer`; what could not be
// read goes to `*warnings`.
DWORD CarveScanned(ScannedVolume& volume, const carve::VolumeSpan& span, std::uint32_t families,
                   carve::CarveObserver& observer, carve::CarveTotals* totals, std::string* warnings) {
  std::unique_ptr<carve::BitmapFreeClusters> free;
  DWORD result = carve::FreeClustersOf(volume.drive, volume.rows, span.clusterCount, &free);
  if (result != code::Success) return result;
  carve::CarveOptions carveOptions;
  carveOptions.families = families;
  result = carve::CarveFreeSpace(span, *free, carveOptions, observer, totals);
  if (free->UnknownClusters() != 0) {
    *warnings += "pelmora-cli: warning: the cluster bitmap cannot tell for " + std::to_string(free->UnknownClusters()) +
                 " clusters: they were read as free\n";
  }
  if (totals->unreadableClusters != 0) {
    *warnings += "pelmora-cli: warning: " + std::to_string(totals->unreadableClusters) + " clusters could not be read\n";
  }
  return result;
}

// Keeps a row for each carved file of the types chosen.
class CarvedRowsOf : public carve::CarveObserver {
 public:
  CarvedRowsOf(Terminal& out, const carve::TypeChoice& types) : terminal(out), choice(types) {}
  bool Found(const carve::CarvedFile& file) override {
    if (!choice.Keeps(file)) return true;
    CarvedRow row;
    row.name = carve::CarvedName(file);
    row.path = carve::CarvedFolder(*file.type);
    row.bytes = file.carving.length;
    row.created = file.carving.created.fileTime;
    row.modified = file.carving.modified.fileTime;
    row.firstCluster = file.firstCluster;
    row.damaged = file.carving.verdict == carve::Verdict::Damaged;
    try {
      rows.push_back(std::move(row));
    } catch (const std::bad_alloc&) {
      outOfMemory = true;
      return false;
    }
    return true;
  }
  bool Progress(std::uint64_t cluster, std::uint64_t total) override {
    if (total != 0) terminal.Progress("Carving: cluster " + std::to_string(cluster) + " of " + std::to_string(total));
    return true;
  }

  CarvedRows rows;
  bool outOfMemory = false;

 private:
  Terminal& terminal;
  const carve::TypeChoice& choice;
};

int CommandList(const Options& options, Terminal& terminal) {
  carve::TypeChoice choice;
  std::string unknown;
  if (!carve::ChooseTypes(options.types, &choice, &unknown)) return UsageError(terminal, "no type '" + unknown + "'");
  ScannedVolume volume;
  int status = OpenAndScan(options, terminal, &volume);
  if (!volume.scanned) return status;
  const RowTable& rows = volume.rows;
  const ChosenList chosen = ChosenRows(options, rows);
  CarvedRowsOf carved(terminal, choice);
  if (options.carve) {
    // The carved rows follow the scan's; a carving that fails keeps what it found.
    std::string warnings;
    carve::CarveTotals totals;
    DWORD result = CarveScanned(volume, CarveSpan(volume), choice.families, carved, &totals, &warnings);
    if (result == code::Success && carved.outOfMemory) result = code::NotEnoughMemory;
    terminal.ClearProgress();
    terminal.Err(warnings);
    if (result != code::Success) {
      Warning(terminal, "carve", result);
      status = ExitFailure;
    }
  }
  // A found volume's files in use are rows too: a column tells them apart.
  const DeletedColumn deleted = options.found != 0 ? DeletedColumn::Shown : DeletedColumn::Hidden;
  if (options.format == "csv") PrintCsv(rows, chosen, terminal, deleted, carved.rows);
  if (options.format == "json") PrintJson(rows, chosen, terminal, carved.rows);
  if (options.format == "table") PrintTable(rows, chosen, terminal, deleted, carved.rows);
  terminal.Flush();
  return status;
}

// Recovers the chosen rows into `destination` as one batch (a name given
// twice goes to the later file as "name (record N).ext"), printing a line
// for each, with the state of a file that is not intact. Returns how many
// were recovered and, of those, how many intact.
unsigned RecoverRows(const Options& options, const RowTable& rows, const ChosenList& chosen,
                     CNTFSDrive& drive, const NativePath& destination, Terminal& terminal, unsigned* intact) {
  RecoveryBatch batch(destination, options.overwrite ? ExistingFiles::Replace : ExistingFiles::Skip);
  unsigned done = 0, recovered = 0;
  *intact = 0;
  for (std::size_t row : chosen) {
    char text[64];
    std::snprintf(text, sizeof text, "Recovering: %zu of %zu files", static_cast<std::size_t>(++done), chosen.size());
    terminal.Progress(text);
    const RowTable::Row& entry = rows.At(row);
    RecoveredFile file;
    // The row's record as it was at the scan: one used since is refused.
    const DWORD result = batch.Recover(drive, rows.Identity(row), rows.Path(row), &file);
    const std::string path =
        TerminalSafe(file.file.empty() ? Utf8FromUtf16(std::u16string(rows.Name(row))) : PathText(file.file));
    if (file.existed) {
      terminal.Err("skipped (exists): " + path + "\n");
    } else if (result != code::Success && file.published) {
      // All there is was written, under its name, but it is not the file.
      std::string lost;
      if (file.missingBytes != 0) lost = std::to_string(file.missingBytes) + " bytes missing";
      if (file.unreadableBytes != 0) {
        lost += (lost.empty() ? "" : ", ") + std::to_string(file.unreadableBytes) + " bytes unreadable";
      }
      terminal.Err("failed: " + path + ": " + lost + "\n");
    } else if (result != code::Success) {
      terminal.Err("failed: " + path + ": " + ErrorMessage(result) + "\n");
    } else {
      const bool whole = entry.state.kind == Recoverability::Intact;
      terminal.Out(path + (whole ? "" : "  [" + Utf8FromUtf16(StateText(entry.state)) + "]") + "\n");
      ++recovered;
      *intact += whole ? 1 : 0;
    }
  }
  terminal.ClearProgress();
  return recovered;
}

int CommandRecover(const Options& options, Terminal& terminal) {
  ScannedVolume volume;
  const int status = OpenAndScan(options, terminal, &volume);
  if (!volume.scanned) return status;
  const RowTable& rows = volume.rows;

  // The folder's own bytes: on POSIX a name that is not UTF-8 is kept.
  const NativePath destination = FullPath(PathFromArgument(options.to));
  DWORD result = MakeDirectory(destination);
  if (result != code::Success) return Failure(terminal, options.to, result);
  const ChosenList chosen = ChosenRows(options, rows);
  std::set<std::uint32_t> unmatched(options.records.begin(), options.records.end());
  for (std::size_t row : chosen) unmatched.erase(rows.At(row).record);
  unsigned intact = 0;
  const unsigned recovered = RecoverRows(options, rows, chosen, volume.drive, destination, terminal, &intact);
  for (std::uint32_t record : unmatched) {
    terminal.Err("failed: record " + std::to_string(record) +
                 (options.found != 0 ? " is not a listed file\n" : " is not a listed deleted file\n"));
  }
  terminal.Err("Recovered " + std::to_string(recovered) + " of " +
               std::to_string(chosen.size() + unmatched.size()) + " files (" + std::to_string(intact) +
               " intact, " + std::to_string(recovered - intact) + " not)\n");
  terminal.Flush();
  return status == ExitSuccess && recovered == chosen.size() && unmatched.empty() ? ExitSuccess : ExitFailure;
}

// Writes each carved file as it is found and prints its line:
// path, extension, first cluster, bytes, state.
class CarveLines : public carve::CarveObserver {
 public:
  CarveLines(Terminal& out, const carve::VolumeSpan& span, const carve::TypeChoice& types, const NativePath& folder,
             bool replace)
      : terminal(out), volume(span), choice(types), writer(folder, replace) {}

  bool Found(const carve::CarvedFile& file) override {
    if (!choice.Keeps(file)) return true;
    NativePath path;
    const DWORD result = writer.Write(volume, file, &path);
    const std::string shown = TerminalSafe(PathText(path));
    if (result == code::FileExists) {
      terminal.Err("skipped (exists): " + shown + "\n");
      ++skipped;
    } else if (result != code::Success) {
      terminal.Err("failed: " + shown + ": " + ErrorMessage(result) + "\n");
      ++failed;
    } else {
      terminal.Out(shown + "\t" + file.carving.extension + "\t" + std::to_string(file.firstCluster) + "\t" +
                   std::to_string(file.carving.length) + "\t" + carve::CarvedState(file.carving) + "\n");
      ++written;
      damaged += file.carving.verdict == carve::Verdict::Damaged ? 1 : 0;
    }
    return true;
  }
  bool Progress(std::uint64_t cluster, std::uint64_t total) override {
    if (total != 0) terminal.Progress("Carving: cluster " + std::to_string(cluster) + " of " + std::to_string(total));
    return true;
  }

  unsigned written = 0, damaged = 0, skipped = 0, failed = 0;

 private:
  Terminal& terminal;
  const carve::VolumeSpan& volume;
  const carve::TypeChoice& choice;
  carve::CarvedWriter writer;
};

int CommandCarve(const Options& options, Terminal& terminal) {
  carve::TypeChoice choice;
  std::string unknown;
  if (!carve::ChooseTypes(options.types, &choice, &unknown)) return UsageError(terminal, "no type '" + unknown + "'");
  ScannedVolume volume;
  const int status = OpenAndScan(options, terminal, &volume);
  if (!volume.scanned) return status;
  const carve::VolumeSpan span = CarveSpan(volume);
  const NativePath destination = FullPath(PathFromArgument(options.to));
  DWORD result = MakeDirectory(destination);
  if (result != code::Success) return Failure(terminal, options.to, result);
  CarveLines lines(terminal, span, choice, destination, options.overwrite);
  carve::CarveTotals totals;
  std::string warnings;
  result = CarveScanned(volume, span, choice.families, lines, &totals, &warnings);
  terminal.ClearProgress();
  terminal.Flush();
  if (result != code::Success) return Failure(terminal, "carve", result);
  std::string notes = "Carved " + std::to_string(lines.written) + " files (" + std::to_string(lines.damaged) +
                      " damaged) from " + std::to_string(totals.clustersRead) + " free clusters of " +
                      std::to_string(span.clusterSize) + " bytes\n" + warnings;
  if (lines.failed != 0) notes += std::to_string(lines.failed) + " files could not be written\n";
  terminal.Err(notes);
  return status == ExitSuccess && lines.failed == 0 ? ExitSuccess : ExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  PrepareConsole();
  Terminal terminal(stdout, stderr, IsTerminal(stderr));
  Options options;
  const std::string problem = ParseOptions(ArgumentsUtf8(argc, argv), &options);
  if (!problem.empty()) return UsageError(terminal, problem);
  if (options.command == "partitions") return CommandPartitions(options, terminal);
  if (options.command == "verify") return CommandVerify(options, terminal);
  if (options.command == "deep") return CommandDeep(options, terminal);
  if (options.command == "list") return CommandList(options, terminal);
  if (options.command == "carve") return CommandCarve(options, terminal);
  return CommandRecover(options, terminal);
}
