#include "scan/Scanner.h"

#include <algorithm>
#include <unordered_map>
#include <vector>

namespace {

// Folders whose files are caches, not documents: their rows are left out.
bool IsFilteredFolder(const std::u16string& name) {
  return name == u"Opera" || name == u"Temporary Internet Files" || name == u"Firefox";
}

struct ParentWalk {
  std::u16string chain;       // "docs\old\"
  bool reachedRoot = false;   // the chain is complete and ends at "."
  bool skipRow = false;
};

// Walks the parent references of a record up to the root. Ends, with the
// folders named so far, at a record that cannot be read, at one that is not
// a directory, at a reference seen before (a loop) and before the chain
// would pass MaxChainText characters.
ParentWalk WalkParents(CNTFSDrive& drive, std::uint32_t parent) {
  ParentWalk walk;
  std::vector<std::uint32_t> visited;
  while (parent != 0) {
    if (std::find(visited.begin(), visited.end(), parent) != visited.end()) break;
    visited.push_back(parent);
    MFTFileInfo info;
    if (drive.ReadRecordSummary(parent, true, &info) != code::Success) break;
    parent = info.parentRecordLow;
    if (parent == 0) break;  // not a directory
    const std::u16string name(info.name);
    if (name == u".") {
      walk.reachedRoot = true;
      break;
    }
    if (IsFilteredFolder(name)) walk.skipRow = true;
    if (walk.chain.size() + name.size() + 1 > MaxChainText) break;
    walk.chain.insert(0, name + u"\\");
  }
  return walk;
}

// The prefix of a complete path: the drive text, with the separator that
// joins it to the chain when the text has none of its own ("Unknown").
std::u16string Prefix(const std::u16string& driveText) {
  if (!driveText.empty() && driveText.back() == u'\\') return driveText;
  return driveText + u"\\";
}

}  // namespace

std::u16string CellText(const std::u16string& text, std::size_t limit) {
  const std::size_t end = std::min(text.find(u'\0'), limit);
  return text.substr(0, end);
}

namespace {

// Appends `value` in decimal, at least `width` digits.
void AppendNumber(std::u16string& text, std::uint64_t value, int width = 1) {
  char16_t digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value != 0 || n < width);
  std::reverse(digits, digits + n);
  text.append(digits, static_cast<std::size_t>(n));
}

}  // namespace

std::u16string FormatSizeCell(std::uint64_t size) {
  const std::uint64_t kib = size >= 1024 ? size / 1024 : (size > 0 ? 1 : 0);
  std::u16string text;
  AppendNumber(text, kib);
  return text + u" KB";
}

std::u16string FormatTimeCell(std::uint64_t fileTime) {
  if (static_cast<std::int64_t>(fileTime) <= 0) return u"";
  // Days since 1601-01-01 to a civil date (proleptic Gregorian, UTC).
  const std::uint64_t minutes = fileTime / 600000000ull;
  const std::int64_t days = static_cast<std::int64_t>(minutes / 1440) - 134774;  // to days since 1970
  const unsigned minuteOfDay = static_cast<unsigned>(minutes % 1440);
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  std::u16string text;
  text.reserve(17);
  AppendNumber(text, static_cast<std::uint64_t>(day), 2);
  text += u'.';
  AppendNumber(text, static_cast<std::uint64_t>(month), 2);
  text += u'.';
  AppendNumber(text, static_cast<std::uint64_t>(year));  // 1601 to 30828: never negative
  text += u' ';
  AppendNumber(text, minuteOfDay / 60, 2);
  text += u':';
  AppendNumber(text, minuteOfDay % 60, 2);
  return text;
}

DWORD ScanRecords(CNTFSDrive& drive, const std::u16string& driveText, const std::atomic<bool>& stopRequested,
                  RowSink& sink, ScanTotals* totals) {
  *totals = ScanTotals{};
  // Files share folders: each folder's walk is made once per scan.
  std::unordered_map<std::uint32_t, ParentWalk> walks;
  const std::u16string prefix = Prefix(CellText(driveText, MaxDriveText));
  const std::uint32_t count = drive.RecordCount();
  for (std::uint32_t i = 0;; ++i) {
    if (stopRequested.load()) return code::Success;
    if ((i & 0xFFF) == 0) sink.Progress(i, count > FirstScanRecord ? count - FirstScanRecord : 0);
    const std::uint64_t index = std::uint64_t{i} + FirstScanRecord;
    if (index > UINT32_MAX) return code::Success;
    MFTFileInfo info;
    const DWORD result = drive.ReadRecordSummary(static_cast<std::uint32_t>(index), false, &info);
    if (result == code::NoMoreFiles) return code::Success;
    // A damaged record is passed over: the records after it may still hold
    // deleted files. A summary reads the disk only for values that a record
    // puts outside itself, so the disk ending there (38) is the record's
    // damage too; other read failures end the scan.
    const bool damaged = result == code::InvalidParameter || result == code::HandleEof;
    if (result != code::Success && !damaged) return result;
    totals->examined = i + 1;
    if (damaged) continue;
    if (!info.deleted || info.dataSize == 0) continue;

    auto known = walks.find(info.parentRecordLow);
    if (known == walks.end()) known = walks.emplace(info.parentRecordLow, WalkParents(drive, info.parentRecordLow)).first;
    const ParentWalk& walk = known->second;
    if (walk.skipRow) continue;
    ScanRow row;
    row.name = std::u16string(info.name);
    row.path = (walk.reachedRoot ? prefix : u"?\\") + walk.chain;
    row.recordIndex = static_cast<std::uint32_t>(index);
    row.size = info.dataSize;
    row.creationTime = static_cast<std::int64_t>(info.creationTime) > 0 ? info.creationTime : 0;
    row.modificationTime = static_cast<std::int64_t>(info.modificationTime) > 0 ? info.modificationTime : 0;
    row.cells[ColumnName] = CellText(row.name);
    row.cells[ColumnPath] = CellText(row.path);
    row.cells[ColumnSize] = FormatSizeCell(row.size);
    row.cells[ColumnCreated] = FormatTimeCell(row.creationTime);
    row.cells[ColumnModified] = FormatTimeCell(row.modificationTime);
    AppendNumber(row.cells[ColumnRecord], i);
    sink.AddRow(row);
    ++totals->rows;
  }
}
