#include "ui/WindowRules.h"

#include <algorithm>
#include <cstdlib>

#include "scan/Scanner.h"
#include "ui/resource.h"

namespace {

char16_t Fold(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool IsWhiteSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

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

ScanButton ScanButtonFor(ScanPhase phase) {
  switch (phase) {
    case ScanPhase::Running: return {u"Stop Scanning", true};
    case ScanPhase::Stopping: return {u"Stopping...", false};
    default: return {u"Scan", true};
  }
}

ScanClick ScanClickAction(ScanPhase phase) {
  switch (phase) {
    case ScanPhase::Idle: return ScanClick::Start;
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
  current.canRecover = current.canPreview = true;
  return current;
}

CommandFlags FlagsAtScanEnd(CommandFlags current) {
  current.canRecover = current.canPreview = true;
  current.canStop = false;
  current.canScan = true;
  return current;
}

void SortRows(const RowTable& table, Column column, bool ascending, std::vector<std::uint32_t>* order) {
  if (column == ColumnState) {
    std::stable_sort(order->begin(), order->end(), [&](std::uint32_t a, std::uint32_t b) {
      const int x = StateOrder(table.At(a).state), y = StateOrder(table.At(b).state);
      return ascending ? x < y : y < x;
    });
    return;
  }
  // The cells' texts, formatted once: a sort compares each row many times.
  std::vector<std::u16string> texts(table.Rows());
  for (std::uint32_t row : *order) texts[row] = table.Cell(row, column);
  std::stable_sort(order->begin(), order->end(), [&](std::uint32_t a, std::uint32_t b) {
    return ascending ? CompareCellText(texts[a], texts[b]) < 0 : CompareCellText(texts[b], texts[a]) < 0;
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
    case IDM_IMAGE_PREVIEW: return true;
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

std::uint32_t RecordIndexFromCell(const std::u16string& cell) {
  std::string narrow;
  for (char16_t c : cell) narrow += c < 0x80 ? static_cast<char>(c) : '?';
  const double value = std::strtod(narrow.c_str(), nullptr);
  // The cell is the scan's own "%d"; anything else is kept inside the index range.
  if (!(value > 0)) return FirstScanRecord;
  if (value >= static_cast<double>(UINT32_MAX - FirstScanRecord)) return UINT32_MAX;
  return static_cast<std::uint32_t>(value) + FirstScanRecord;
}

bool IsScannedDrive(const std::u16string& destination, const std::u16string& scannedDriveText) {
  return destination.substr(0, 3) == scannedDriveText;
}
