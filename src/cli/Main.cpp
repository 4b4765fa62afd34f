// pelmora-cli: the scanner and recovery for disk images and devices.
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cli/Output.h"
#include "ntfs/NTFSDrive.h"
#include "platform/Console.h"
#include "platform/Disk.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "platform/Volumes.h"
#include "scan/PartitionWalk.h"
#include "recover/Recovery.h"
#include "scan/Scanner.h"

namespace {

constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

const char* const Usage =
    "usage: pelmora-cli partitions DISK\n"
    "       pelmora-cli list DISK (--start SECTOR | --partition N) [--drive-text TEXT]\n"
    "                            [--format table|csv|json]\n"
    "       pelmora-cli recover DISK (--start SECTOR | --partition N) --to DIR\n"
    "                            [--record N]... [--name GLOB]... [--overwrite]\n"
    "DISK is a disk image or a device"
#ifdef _WIN32
    ", or a disk number"
#endif
    "; N of --partition counts the lines of 'partitions' from 1;\n"
    "--record takes the record index that 'list --format json' shows.\n";

struct Options {
  std::string command;
  std::string disk;
  bool hasStart = false;
  std::uint64_t start = 0;
  unsigned partition = 0;  // 0: not given
  bool hasDriveText = false;
  std::string driveText;
  std::string format = "table";
  std::string to;
  std::vector<std::uint32_t> records;
  std::vector<std::string> names;
  bool overwrite = false;
};

int UsageError(const std::string& what) {
  std::fprintf(stderr, "pelmora-cli: %s\n%s", what.c_str(), Usage);
  return ExitUsage;
}

int Failure(const std::string& step, DWORD error) {
  std::fprintf(stderr, "pelmora-cli: %s: %s\n", step.c_str(), ErrorMessage(error).c_str());
  return ExitFailure;
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
  if (options->command != "partitions" && options->command != "list" && options->command != "recover") {
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
      // Sectors are 512 bytes; keep the byte position within 63 bits.
      if (!value(&text) || !ParseNumber(text, (1ull << 54), &number)) return "--start takes a sector number";
      options->hasStart = true;
      options->start = number;
    } else if (arg == "--partition" && options->command != "partitions") {
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
    } else if (arg == "--to" && options->command == "recover") {
      if (!value(&options->to) || options->to.empty()) return "--to takes a folder";
    } else if (arg == "--record" && options->command == "recover") {
      if (!value(&text) || !ParseNumber(text, UINT32_MAX, &number)) return "--record takes a record index";
      options->records.push_back(static_cast<std::uint32_t>(number));
    } else if (arg == "--name" && options->command == "recover") {
      if (!value(&text)) return "--name takes a pattern";
      options->names.push_back(text);
    } else if (arg == "--overwrite" && options->command == "recover") {
      options->overwrite = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return "unknown option '" + arg + "'";
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 1) return positional.empty() ? "no DISK given" : "more than one DISK given";
  options->disk = positional[0];
  if (options->command != "partitions" && options->hasStart == (options->partition != 0)) {
    return "give either --start or --partition";
  }
  if (options->command == "recover" && options->to.empty()) return "recover needs --to DIR";
  return "";
}

DWORD OpenDisk(const std::string& name, std::unique_ptr<DiskDevice>* disk, std::uint32_t* number) {
  *number = 0;
#ifdef _WIN32
  std::uint64_t value = 0;
  if (ParseNumber(name, 1000, &value)) {
    *number = static_cast<std::uint32_t>(value);
    return DiskDevice::OpenNumber(*number, disk);
  }
#endif
  return DiskDevice::OpenPath(name, disk);
}

struct Partition {
  std::u16string text;
  std::uint64_t start;
  std::uint64_t count;
  std::string type;  // "0x07", or a GPT type GUID
};

// The partitions of a disk as 'partitions' lists them: a GPT disk's entries,
// else the walk of its boot records.
DWORD ListPartitions(DiskReader& disk, std::uint32_t number, std::vector<Partition>* partitions) {
  SystemVolumes volumes;
  bool isGpt = false;
  DWORD result = WalkGpt(disk, number, volumes, &isGpt, [&](const GptPartition& found) {
    partitions->push_back({found.text, found.firstSector, found.sectorCount, found.typeGuid});
  });
  if (isGpt || result != code::Success) return result;
  return WalkDisk(disk, number, volumes, [&](const FoundPartition& found) {
    char type[8];
    std::snprintf(type, sizeof type, "0x%02X", found.type);
    partitions->push_back({found.text, found.item.startSector, found.item.sectorCount, type});
  });
}

class ProgressLine {
 public:
  explicit ProgressLine(bool enabled) : shown(enabled) {}
  ~ProgressLine() { Clear(); }
  void Show(const std::string& text) {
    if (!shown) return;
    std::fprintf(stderr, "\r%-60s", text.c_str());
    std::fflush(stderr);
    dirty = true;
  }
  void Clear() {
    if (!dirty) return;
    std::fprintf(stderr, "\r%-60s\r", "");
    dirty = false;
  }

 private:
  bool shown;
  bool dirty = false;
};

// Collects rows, or prints them at once as CSV or JSON lines.
class CliSink : public RowSink {
 public:
  CliSink(const std::string& format, bool keep, ProgressLine& progress)
      : format(format), keep(keep), progress(progress) {}

  void AddRow(const ScanRow& row) override {
    if (keep) rows.push_back(row);
    if (format == "csv") {
      std::string line;
      line.reserve(256);
      for (int c = 0; c < ColumnState; ++c) {
        if (c != 0) line += ',';
        line += CsvField(Utf8FromUtf16(row.cells[c]));
      }
      line += "\r\n";
      Print(line);
    } else if (format == "json") {
      static const char* const keys[ColumnState] = {"Name", "Path", "Size", "Created", "Modified", "#"};
      std::string line = first ? "[\n  {" : ",\n  {";
      for (int c = 0; c < ColumnState; ++c) {
        line += std::string(c ? ", " : "") + JsonString(keys[c]) + ": " + JsonString(Utf8FromUtf16(row.cells[c]));
      }
      char tail[80];
      std::snprintf(tail, sizeof tail, ", \"record\": %" PRIu32 ", \"bytes\": %" PRIu64 "}", row.recordIndex,
                    row.size);
      Print(line + tail);
    } else if (format == "table") {
      table.push_back({});
      for (const std::u16string& cell : row.cells) table.back().push_back(Utf8FromUtf16(cell));
    }
    first = false;
  }

  void Progress(std::uint32_t examined, std::uint32_t total) override {
    char text[64];
    std::snprintf(text, sizeof text, "Scanning: %u of %u records", examined, total);
    progress.Show(text);
  }

  void Begin() {
    if (format == "csv") Print("Name,Path,Size,Created,Modified,#\r\n");
  }
  void End() {
    progress.Clear();
    if (format == "json") Print(first ? "[]\n" : "\n]\n");
    if (format == "table") {
      table.insert(table.begin(), {"Name", "Path", "Size", "Created", "Modified", "#"});
      Print(AlignedTable(table));
    }
    std::fflush(stdout);
  }

  std::vector<ScanRow> rows;

 private:
  void Print(const std::string& text) {
    progress.Clear();
    std::fwrite(text.data(), 1, text.size(), stdout);
  }

  std::string format;
  bool keep;
  ProgressLine& progress;
  bool first = true;
  std::vector<std::vector<std::string>> table;
};

int CommandPartitions(const Options& options) {
  std::unique_ptr<DiskDevice> disk;
  std::uint32_t number = 0;
  DWORD result = OpenDisk(options.disk, &disk, &number);
  if (result != code::Success) return Failure(options.disk, result);
  std::vector<Partition> partitions;
  result = ListPartitions(*disk, number, &partitions);
  for (const Partition& p : partitions) {
    std::printf("%s\t%" PRIu64 "\t%" PRIu64 "\t%s\n", Utf8FromUtf16(p.text).c_str(), p.start, p.count,
                p.type.c_str());
  }
  std::fflush(stdout);
  return result == code::Success ? ExitSuccess : Failure("partitions", result);
}

// Opens the disk and initialises the drive on the chosen partition.
int OpenVolume(const Options& options, std::unique_ptr<DiskDevice>* disk, CNTFSDrive* drive,
               std::u16string* driveText) {
  std::uint32_t number = 0;
  DWORD result = OpenDisk(options.disk, disk, &number);
  if (result != code::Success) return Failure(options.disk, result);
  std::vector<Partition> partitions;
  result = ListPartitions(**disk, number, &partitions);
  std::uint64_t start = options.start;
  if (options.partition != 0) {
    if (result != code::Success) return Failure("partitions", result);
    if (options.partition > partitions.size()) {
      return UsageError("there is no partition " + std::to_string(options.partition) + " on " + options.disk);
    }
    start = partitions[options.partition - 1].start;
  }
  char fallback[32];
  std::snprintf(fallback, sizeof fallback, "Sector %" PRIu64 "\\", start);
  *driveText = Utf16FromUtf8(fallback);
  for (const Partition& p : partitions) {
    if (p.start == start) {
      *driveText = p.text;
      break;
    }
  }
  if (options.hasDriveText) *driveText = Utf16FromUtf8(options.driveText);
  drive->AttachDisk(disk->get());
  drive->SetPartitionStart(start);
  result = drive->Initialize();
  return result == code::Success ? ExitSuccess : Failure("Initialize", result);
}

int Scan(CNTFSDrive& drive, const std::u16string& driveText, CliSink& sink) {
  static const std::atomic<bool> neverStop{false};
  ScanTotals totals;
  sink.Begin();
  const DWORD result = ScanRecords(drive, driveText, neverStop, sink, &totals);
  sink.End();
  std::fprintf(stderr, "Total files: %u\nDeleted files: %u\n", totals.examined, totals.rows);
  return result == code::Success ? ExitSuccess : Failure("GetLastError", result);
}

// Opens the chosen volume and scans it into `sink`. `*scanned` tells whether
// the scan ran (its rows stay usable even when it ended with a failure).
int OpenAndScan(const Options& options, std::unique_ptr<DiskDevice>* disk, CNTFSDrive* drive, CliSink& sink,
                bool* scanned) {
  std::u16string driveText;
  *scanned = false;
  const int status = OpenVolume(options, disk, drive, &driveText);
  if (status != ExitSuccess) return status;
  *scanned = true;
  return Scan(*drive, driveText, sink);
}

int CommandList(const Options& options) {
  std::unique_ptr<DiskDevice> disk;
  CNTFSDrive drive;
  ProgressLine progress(IsTerminal(stderr));
  CliSink sink(options.format, false, progress);
  bool scanned = false;
  return OpenAndScan(options, &disk, &drive, sink, &scanned);
}

bool Selected(const Options& options, const ScanRow& row) {
  if (options.records.empty() && options.names.empty()) return true;
  for (std::uint32_t record : options.records) {
    if (record == row.recordIndex) return true;
  }
  for (const std::string& pattern : options.names) {
    if (GlobMatch(Utf16FromUtf8(pattern), row.name)) return true;
  }
  return false;
}

int CommandRecover(const Options& options) {
  std::unique_ptr<DiskDevice> disk;
  CNTFSDrive drive;
  ProgressLine progress(IsTerminal(stderr));
  CliSink sink("none", true, progress);
  bool scanned = false;
  const int status = OpenAndScan(options, &disk, &drive, sink, &scanned);
  if (!scanned) return status;

  const std::u16string destination = FullPath(Utf16FromUtf8(options.to));
  DWORD result = MakeDirectory(destination);
  if (result != code::Success) return Failure(options.to, result);
  std::set<std::uint32_t> unmatched(options.records.begin(), options.records.end());
  unsigned chosen = 0, recovered = 0;
  for (const ScanRow& row : sink.rows) chosen += Selected(options, row) ? 1 : 0;
  unsigned done = 0;
  for (const ScanRow& row : sink.rows) {
    if (!Selected(options, row)) continue;
    unmatched.erase(row.recordIndex);
    char text[64];
    std::snprintf(text, sizeof text, "Recovering: %u of %u files", ++done, chosen);
    progress.Show(text);
    RecoveredFile file;
    result = RecoverRecord(drive, row.recordIndex, destination, row.path, options.overwrite, &file);
    progress.Clear();
    const std::string path = Utf8FromUtf16(file.path.empty() ? row.name : file.path);
    if (file.existed) {
      std::fprintf(stderr, "skipped (exists): %s\n", path.c_str());
    } else if (result != code::Success) {
      std::fprintf(stderr, "failed: %s: %s\n", path.c_str(), ErrorMessage(result).c_str());
    } else {
      std::printf("%s\n", path.c_str());
      ++recovered;
    }
  }
  for (std::uint32_t record : unmatched) {
    std::fprintf(stderr, "failed: record %u is not a listed deleted file\n", record);
  }
  std::fflush(stdout);
  std::fprintf(stderr, "Recovered %u of %u files\n", recovered, chosen + static_cast<unsigned>(unmatched.size()));
  return status == ExitSuccess && recovered == chosen && unmatched.empty() ? ExitSuccess : ExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  PrepareConsole();
  Options options;
  const std::string problem = ParseOptions(ArgumentsUtf8(argc, argv), &options);
  if (!problem.empty()) return UsageError(problem);
  if (options.command == "partitions") return CommandPartitions(options);
  if (options.command == "list") return CommandList(options);
  return CommandRecover(options);
}
