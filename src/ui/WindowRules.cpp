#include "ui/WindowRules.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

#include "carve/CarvedOutput.h"
#include "platform/Text.h"
#include "platform/Types.h"
#include "ui/resource.h"

namespace {

char16_t Fold(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool IsWhiteSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

ControlRect Rect(int x, int y, int width, int height) {
  // A negative extent is shown as empty.
  return {x, y, width < 0 ? 0 : width, height < 0 ? 0 : height};
}

}  // namespace

MainLayout LayoutFor(int width, int height) {
  return {Rect(0, height - 18, width, 18), Rect(0, 42, 98, height - 90), Rect(102, 42, width - 102, height - 60),
          Rect(5, height - 46, 93, 26)};
}

bool CommandRule(unsigned command, const CommandFlags& flags, bool* enabled) {
  switch (command) {
    case IDM_RECOVER: *enabled = flags.canRecover; return true;
    case IDM_IMAGE_PREVIEW: *enabled = flags.canPreview; return true;
    case IDM_STOP_SCAN: *enabled = flags.canStop; return true;
    case IDM_SCAN: *enabled = flags.canScan; return true;
    case IDM_FIND: *enabled = flags.canFind; return true;
    case IDM_FIND_NEXT: *enabled = flags.canFindNext; return true;
    default: return false;
  }
}

ScanButton ScanButtonFor(ScanPhase phase, bool recovering) {
  switch (phase) {
    case ScanPhase::Running: return {u"Stop Scanning", true};
    case ScanPhase::Stopping: return {u"Stopping...", false};
    default: return {u"Scan", !recovering};
  }
}

ScanClick ScanClickAction(ScanPhase phase, bool recovering) {
  switch (phase) {
    case ScanPhase::Idle: return recovering ? ScanClick::Nothing : ScanClick::Start;
    case ScanPhase::Running: return ScanClick::Stop;
    default: return ScanClick::Nothing;
  }
}

CommandFlags FlagsBeforeScan() { return {false, false, false, true, false, false}; }

CommandFlags FlagsAtScanStart() { return {false, false, true, false, true, true}; }

CommandFlags FlagsAtStop(CommandFlags current) {
  current.canStop = false;
  current.canScan = true;
  return current;
}

CommandFlags FlagsWithRows(CommandFlags current) {
  current.canPreview = true;
  return current;
}

CommandFlags FlagsAtScanEnd(CommandFlags current) {
  current.canRecover = current.canPreview = true;
  current.canStop = false;
  current.canScan = true;
  return current;
}

CommandFlags FlagsAtRecoveryStart(CommandFlags current) {
  current.canRecover = current.canScan = false;
  return current;
}

CommandFlags FlagsAtRecoveryEnd(CommandFlags current) {
  current.canRecover = current.canScan = true;
  return current;
}

bool CanStartRecovery(ScanPhase phase, bool recovering, const CommandFlags& flags, int selectedRows) {
  return phase == ScanPhase::Idle && !recovering && flags.canRecover && selectedRows > 0;
}

bool ToolbarEnabled(unsigned command, const CommandFlags& flags, ScanPhase phase, bool recovering) {
  switch (command) {
    case IDM_SCAN: return ScanButtonFor(phase, recovering).enabled;
    case IDM_RECOVER: return flags.canRecover;
    default: return true;
  }
}

std::u16string ProgressFileText(std::uint32_t file, std::uint32_t files, const std::u16string& name) {
  return Ascii("File " + std::to_string(file + 1) + " of " + std::to_string(files) + ": ") + name;
}

std::u16string ByteCountText(std::uint64_t bytes) {
  if (bytes < 1024) return Ascii(std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes"));
  static const char* const units[] = {"KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  // Three significant digits at most, as a file manager shows them; cut, not
  // rounded, so that a size never shows more than it is.
  char text[32];
  if (value < 10) {
    std::snprintf(text, sizeof text, "%.2f %s", std::floor(value * 100) / 100, units[unit]);
  } else if (value < 100) {
    std::snprintf(text, sizeof text, "%.1f %s", std::floor(value * 10) / 10, units[unit]);
  } else {
    std::snprintf(text, sizeof text, "%.0f %s", std::floor(value), units[unit]);
  }
  return Ascii(text);
}

std::u16string ProgressBytesText(std::uint64_t done, std::uint64_t total) {
  return ByteCountText(done) + u" of " + ByteCountText(total);
}

std::u16string TimeLeftText(std::uint64_t done, std::uint64_t total, std::uint64_t elapsedMs) {
  // Too early, or nothing to go by: no estimate rather than a wild one.
  if (done == 0 || elapsedMs < 2000 || done >= total) return u"";
  const double left = static_cast<double>(total - done) * static_cast<double>(elapsedMs) / static_cast<double>(done);
  const std::uint64_t seconds = static_cast<std::uint64_t>(std::ceil(left / 1000));
  if ((seconds + 4) / 5 * 5 < 60) return Ascii("About " + std::to_string((seconds + 4) / 5 * 5) + " seconds left");
  const std::uint64_t minutes = (seconds + 59) / 60;
  if (minutes < 60) return Ascii("About " + std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes") + " left");
  return Ascii("About " + std::to_string(minutes / 60) + (minutes / 60 == 1 ? " hour " : " hours ") +
               std::to_string(minutes % 60) + (minutes % 60 == 1 ? " minute" : " minutes") + " left");
}

int ProgressPosition(std::uint64_t done, std::uint64_t total) {
  if (total == 0 || done >= total) return ProgressSteps;
  return static_cast<int>(static_cast<double>(done) * ProgressSteps / static_cast<double>(total));
}

std::u16string RecoverySummaryText(std::uint32_t recovered, std::uint32_t files, std::uint32_t failed, bool cancelled,
                                   const std::u16string& destination) {
  std::u16string text = Ascii(std::string(cancelled ? "Cancelled: recovered " : "Recovered ") +
                              std::to_string(recovered) + " of " + std::to_string(files) +
                              (files == 1 ? " file to " : " files to ")) +
                        destination + u".";
  if (failed > 0) {
    text += Ascii(failed == 1 ? "\r\n1 file could not be recovered:"
                              : "\r\n" + std::to_string(failed) + " files could not be recovered:");
  }
  return text;
}

std::u16string RefusalText(std::uint32_t code) {
  switch (code) {
    case code::RecordReused: return u"The file's record was reused after the scan; scan again.";
    case code::FileOffline:
      return u"Not on this disk: its bytes are kept elsewhere (a cloud provider or a deduplication store).";
    default: return u"";
  }
}

std::u16string RecoveryFailureText(const RecoveryFailureFacts& facts, const std::u16string& systemMessage) {
  if (facts.published && (facts.missingBytes != 0 || facts.unreadableBytes != 0)) {
    std::u16string text;
    if (facts.missingBytes != 0) text = Ascii(std::to_string(facts.missingBytes) + " bytes missing");
    if (facts.unreadableBytes != 0) {
      text += Ascii((text.empty() ? "" : ", ") + std::to_string(facts.unreadableBytes) +
                    " bytes unreadable (written as zeros)");
    }
    return text + u"; the copy is kept as " + facts.output;
  }
  const std::u16string refusal = RefusalText(facts.code);
  if (!refusal.empty()) return refusal;
  if (facts.creatingFile && !facts.output.empty()) return u"cannot create " + facts.output + u": " + systemMessage;
  return systemMessage;
}

std::u16string UnreadableRecordsText(std::uint32_t records) {
  if (records == 0) return u"";
  return Ascii(std::to_string(records) + (records == 1 ? " record" : " records") + " could not be read");
}

bool DeepScanEnabled(ScanPhase phase, bool recovering, bool diskSelected) {
  return diskSelected && ScanClickAction(phase, recovering) == ScanClick::Start;
}

std::u16string DeepProgressText(std::uint64_t done, std::uint64_t total, std::uint64_t elapsedMs) {
  std::u16string text = u"Deep scan: " + ProgressBytesText(done, total);
  const std::u16string left = TimeLeftText(done, total, elapsedMs);
  if (!left.empty()) text += u". " + left;
  return text;
}

std::u16string DeepEndText(std::size_t volumes, bool stopped) {
  const std::string lead = stopped ? "Deep scan stopped: " : "Deep scan: ";
  if (volumes == 0) return Ascii(lead + "no lost volume found");
  return Ascii(lead + std::to_string(volumes) + (volumes == 1 ? " volume found" : " volumes found"));
}

std::u16string FoundVolumeText(std::uint64_t sector, std::uint64_t bytes) {
  std::string size;
  if (bytes >= 1024ull * 1024 * 1024) {
    const std::u16string text = ByteCountText(bytes);
    size.assign(text.begin(), text.end());
  } else if (bytes >= 1024 * 1024) {
    size = std::to_string(bytes >> 20) + " MB";
  } else {
    size = std::to_string(bytes >> 10) + " KB";
  }
  return Ascii("Found NTFS volume at sector " + std::to_string(sector) + " (" + size + ")");
}

std::u16string FoundVolumeDriveText(std::uint32_t number) {
  return Ascii("Found volume " + std::to_string(number) + "\\");
}

const char16_t* StateCellPrefix(bool inUse) { return inUse ? u"In use; " : u""; }

bool CarveEnabled(ScanPhase phase, bool recovering, bool volumeScanned) {
  return volumeScanned && ScanClickAction(phase, recovering) == ScanClick::Start;
}

CommandFlags FlagsAtCarveStart(CommandFlags current) {
  current.canRecover = current.canScan = false;
  current.canStop = true;
  return current;
}

std::u16string CarveProgressText(std::uint64_t done, std::uint64_t total, std::uint64_t elapsedMs) {
  std::u16string text = u"Carving free space: " + ProgressBytesText(done, total);
  const std::u16string left = TimeLeftText(done, total, elapsedMs);
  if (!left.empty()) text += u". " + left;
  return text;
}

std::u16string CarveEndText(std::size_t files, std::size_t damaged, bool stopped) {
  if (files == 0) return Ascii(stopped ? "Carving stopped: no file found" : "Carving: no file found");
  std::string text = (stopped ? "Carving stopped: " : "Carved ") + std::to_string(files) +
                     (files == 1 ? " file" : " files") + (stopped ? " carved" : "");
  if (damaged != 0) text += " (" + std::to_string(damaged) + " damaged)";
  return Ascii(text);
}

bool CarvedTable::Add(const carve::CarvedFile& file) {
  if (file.type == nullptr || file.pieces.size() > UINT16_MAX || pieces.size() / 2 > UINT32_MAX - file.pieces.size()) {
    return false;
  }
  Entry entry{};
  entry.firstCluster = file.firstCluster;
  entry.length = file.carving.length;
  entry.created = file.carving.created.fileTime;
  entry.modified = file.carving.modified.fileTime;
  entry.firstPiece = static_cast<std::uint32_t>(pieces.size() / 2);
  entry.pieceCount = static_cast<std::uint16_t>(file.pieces.size());
  entry.family = static_cast<std::uint8_t>(file.type->family);
  entry.damaged = file.carving.verdict == carve::Verdict::Damaged;
  const char* extension = file.carving.extension != nullptr ? file.carving.extension : "";
  for (std::size_t i = 0; i + 1 < sizeof entry.extension && extension[i] != '\0'; ++i) {
    entry.extension[i] = extension[i];
  }
  const std::size_t piecesBefore = pieces.size();
  try {
    for (const carve::CarvedPiece& piece : file.pieces) {
      pieces.push_back(piece.cluster);
      pieces.push_back(piece.bytes);
    }
    entries.push_back(entry);
  } catch (const std::bad_alloc&) {
    pieces.resize(piecesBefore);
    return false;
  }
  return true;
}

bool CarvedTable::AppendFrom(const CarvedTable& source, std::size_t first) {
  const std::size_t entriesBefore = entries.size(), piecesBefore = pieces.size();
  try {
    for (std::size_t at = first; at < source.entries.size(); ++at) {
      Entry entry = source.entries[at];
      const std::uint64_t* from = source.pieces.data() + std::size_t{entry.firstPiece} * 2;
      entry.firstPiece = static_cast<std::uint32_t>(pieces.size() / 2);
      pieces.insert(pieces.end(), from, from + std::size_t{entry.pieceCount} * 2);
      entries.push_back(entry);
    }
  } catch (const std::bad_alloc&) {
    entries.resize(entriesBefore);
    pieces.resize(piecesBefore);
    return false;
  }
  return true;
}

void CarvedTable::Clear() {
  std::vector<Entry>().swap(entries);
  std::vector<std::uint64_t>().swap(pieces);
}

bool CarvedTable::File(std::size_t index, carve::CarvedFile* file) const {
  const Entry& entry = entries[index];
  file->type = carve::TypeOf(static_cast<carve::Family>(entry.family));
  file->firstCluster = entry.firstCluster;
  file->carving = carve::Carving();
  file->carving.verdict = entry.damaged ? carve::Verdict::Damaged : carve::Verdict::Carved;
  file->carving.length = entry.length;
  file->carving.extension = entry.extension;
  file->carving.created.fileTime = entry.created;
  file->carving.modified.fileTime = entry.modified;
  try {
    file->pieces.clear();
    for (std::size_t piece = 0; piece < entry.pieceCount; ++piece) {
      const std::size_t at = (std::size_t{entry.firstPiece} + piece) * 2;
      file->pieces.push_back({pieces[at], pieces[at + 1]});
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return file->type != nullptr;
}

std::u16string CarvedTable::Cell(std::size_t index, Column column) const {
  const Entry& entry = entries[index];
  switch (column) {
    case ColumnName: return Ascii("f" + std::to_string(entry.firstCluster) + "." + entry.extension);
    case ColumnPath: {
      const carve::FileType* type = carve::TypeOf(static_cast<carve::Family>(entry.family));
      return type != nullptr ? carve::CarvedFolder(*type) : u"";
    }
    case ColumnSize: return SizeText(entry.length);
    case ColumnCreated: return TimeText(entry.created);
    case ColumnModified: return TimeText(entry.modified);
    case ColumnState: return entry.damaged ? u"Carved, damaged" : u"Carved";
    default: return u"";
  }
}

int StateOrder(FileState state) {
  switch (state.kind) {
    case Recoverability::Intact: return 0;
    case Recoverability::Partial: return state.percent;
    case Recoverability::Overwritten: return 100;
    case Recoverability::Unknown: return 101;
    default: return 102;
  }
}

void SortRows(const RowTable& table, Column column, bool ascending, std::vector<std::uint32_t>* order,
              const CarvedTable* carved) {
  const std::size_t records = table.Rows();
  if (column == ColumnState) {
    // Carved rows after every record row, whatever their states' order.
    auto rank = [&](std::uint32_t row) {
      if (row < CarvedRow) return StateOrder(table.At(row).state);
      return carved != nullptr && carved->Damaged(row - CarvedRow) ? 104 : 103;
    };
    std::stable_sort(order->begin(), order->end(), [&](std::uint32_t a, std::uint32_t b) {
      const int x = rank(a), y = rank(b);
      return ascending ? x < y : y < x;
    });
    return;
  }
  // The cells' texts, formatted once: a sort compares each row many times.
  std::vector<std::u16string> texts(records + (carved != nullptr ? carved->Count() : 0));
  auto slot = [&](std::uint32_t row) -> std::u16string& {
    return texts[row < CarvedRow ? row : records + (row - CarvedRow)];
  };
  for (std::uint32_t row : *order) {
    if (row < CarvedRow) slot(row) = CellText(table, row, column);
    else if (carved != nullptr) slot(row) = carved->Cell(row - CarvedRow, column);
  }
  std::stable_sort(order->begin(), order->end(), [&](std::uint32_t a, std::uint32_t b) {
    return ascending ? CompareCellText(slot(a), slot(b)) < 0 : CompareCellText(slot(b), slot(a)) < 0;
  });
}

bool MainWindowHandles(unsigned command) {
  switch (command) {
    case IDM_FIND:
    case IDM_FIND_NEXT:
    case IDM_SCAN:
    case IDM_EXIT:
    case IDM_ABOUT:
    case IDM_FIND_NEXT_VIEW:
    case IDM_RECOVER:
    case IDM_STOP_SCAN:
    case IDM_VISIT_SITE:
    case IDM_IMAGE_PREVIEW:
    case IDM_DEEP_SCAN:
    case IDM_CARVE:
    case IDM_OPEN_IMAGE: return true;
    default: return false;
  }
}

int CompareCellText(const std::u16string& a, const std::u16string& b) {
  for (std::size_t i = 0;; ++i) {
    const int x = i < a.size() ? Fold(a[i]) : 0;
    const int y = i < b.size() ? Fold(b[i]) : 0;
    if (x != y || x == 0) return x - y;
  }
}

bool NameMatches(const std::u16string& name, std::u16string* findText) {
  std::size_t end = name.size();
  while (end > 0 && IsWhiteSpace(name[end - 1])) --end;
  if (end == 0) return false;
  std::u16string folded = name.substr(0, end);
  for (char16_t& c : folded) c = Fold(c);
  for (char16_t& c : *findText) c = Fold(c);
  return folded.find(*findText) != std::u16string::npos;
}

std::u16string SelectionCountText(int selected) {
  if (selected == 1) return u"Selected 1 file";
  const std::string text = "Selected " + std::to_string(selected) + " files";
  return std::u16string(text.begin(), text.end());
}

std::u16string ImageFileFilter() {
  // Name, then its patterns; the first entry is the dialog's start.
  static const char* const kinds[][2] = {
      {"All disk images", "*.img;*.dd;*.raw;*.bin;*.001;*.vhd;*.vhdx;*.E01"},
      {"Raw disk images", "*.img;*.dd;*.raw;*.bin"},
      {"Numbered raw pieces", "*.001"},
      {"VHD", "*.vhd"},
      {"VHDX", "*.vhdx"},
      {"EnCase images", "*.E01"},
      {"All files", "*.*"},
  };
  std::u16string filter;
  for (const auto& kind : kinds) {
    filter += Ascii(std::string(kind[0]) + " (" + kind[1] + ")");
    filter += u'\0';
    filter += Ascii(kind[1]);
    filter += u'\0';
  }
  return filter + u'\0';
}

std::u16string ImageItemText(std::uint32_t imageNumber, const std::u16string& path) {
  const std::size_t slash = path.find_last_of(u"\\/");
  return Ascii("Image " + std::to_string(imageNumber) + ": ") +
         (slash == std::u16string::npos ? path : path.substr(slash + 1));
}

std::u16string ImagePartitionText(std::uint32_t imageNumber, std::uint32_t ordinal) {
  return Ascii("Image " + std::to_string(imageNumber) + " NTFS " + std::to_string(ordinal) + "\\");
}

std::u16string ImageFailureText(const std::u16string& lead, const std::string& problem,
                                const std::u16string& systemMessage) {
  std::u16string text = lead.empty() ? lead : lead + u"\n\n";
  std::u16string words = Utf16FromUtf8(problem);
  if (!words.empty()) {
    // The container's words are a phrase: made a sentence of its own.
    if (words[0] >= u'a' && words[0] <= u'z') words[0] = static_cast<char16_t>(words[0] - u'a' + u'A');
    text += words + (words.back() == u'.' ? u"\n\n" : u".\n\n");
  }
  return text + systemMessage;
}
