#include "scan/RowTable.h"

#include <algorithm>
#include <new>

namespace {

constexpr std::int64_t FirstScanRecordNumber = 30;  // the "#" cell counts from here

// Writes a cell into a caller's buffer: at most 254 characters and what the
// buffer holds, always terminated.
class CellWriter {
 public:
  CellWriter(char16_t* buffer, std::size_t capacity)
      : out(capacity == 0 ? nullptr : buffer), limit(capacity == 0 ? 0 : std::min(capacity - 1, MaxCellText)) {}
  void Put(char16_t c) {
    if (used < limit) out[used++] = c;
  }
  void Put(std::u16string_view text) {
    for (char16_t c : text) {
      if (c == 0) break;
      Put(c);
    }
  }
  void Number(std::uint64_t value, int width = 1) {
    char16_t digits[24];
    int n = 0;
    do {
      digits[n++] = static_cast<char16_t>(u'0' + value % 10);
      value /= 10;
    } while (value != 0 || n < width);
    while (n > 0) Put(digits[--n]);
  }
  std::size_t Finish() {
    if (out != nullptr) out[used] = 0;
    return used;
  }

 private:
  char16_t* out;
  std::size_t limit;
  std::size_t used = 0;
};

void WriteDate(CellWriter& cell, std::uint64_t day1601);

std::uint64_t SizeShown(std::uint64_t size) { return size >= 1024 ? size / 1024 : (size > 0 ? 1 : 0); }

void WriteSize(CellWriter& cell, std::uint64_t size) {
  cell.Number(SizeShown(size));
  cell.Put(u" KB");
}

// The minute a time cell shows; UINT64_MAX for the empty cell.
std::uint64_t MinuteShown(std::uint64_t fileTime) {
  return static_cast<std::int64_t>(fileTime) <= 0 ? UINT64_MAX : fileTime / 600000000ull;
}

void WriteTime(CellWriter& cell, std::uint64_t fileTime) {
  const std::uint64_t minutes = MinuteShown(fileTime);
  if (minutes == UINT64_MAX) return;
  const unsigned minuteOfDay = static_cast<unsigned>(minutes % 1440);
  // Files share their days: the last day's text is kept, per thread.
  thread_local std::uint64_t lastDay = UINT64_MAX;
  thread_local char16_t dayText[16];
  thread_local std::size_t dayLength = 0;
  if (minutes / 1440 != lastDay) {
    char16_t text[16];
    CellWriter date(text, sizeof text / sizeof text[0]);
    WriteDate(date, minutes / 1440);
    dayLength = date.Finish();
    std::copy(text, text + dayLength, dayText);
    lastDay = minutes / 1440;
  }
  cell.Put(std::u16string_view(dayText, dayLength));
  cell.Put(u' ');
  cell.Number(minuteOfDay / 60, 2);
  cell.Put(u':');
  cell.Number(minuteOfDay % 60, 2);
}

// "%02d.%02d.%d" of a day counted from 1601-01-01 (proleptic Gregorian).
void WriteDate(CellWriter& cell, std::uint64_t day1601) {
  const std::int64_t days = static_cast<std::int64_t>(day1601) - 134774;  // to days since 1970
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  cell.Number(static_cast<std::uint64_t>(day), 2);
  cell.Put(u'.');
  cell.Number(static_cast<std::uint64_t>(month), 2);
  cell.Put(u'.');
  cell.Number(static_cast<std::uint64_t>(year));  // 1601 to 30828: never negative
}

void WriteState(CellWriter& cell, FileState state) {
  cell.Put(StateName(state.kind));
  if (state.kind != Recoverability::Partial) return;
  cell.Put(u" (");
  cell.Number(state.percent);
  cell.Put(u"%)");
}

template <typename Write>
std::u16string Text(Write write) {
  char16_t buffer[MaxCellText + 1];
  CellWriter cell(buffer, sizeof buffer / sizeof buffer[0]);
  write(cell);
  const std::size_t length = cell.Finish();
  return std::u16string(buffer, length);
}

}  // namespace

const char16_t* StateName(Recoverability kind) {
  switch (kind) {
    case Recoverability::Intact: return u"Intact";
    case Recoverability::Partial: return u"Partly overwritten";
    case Recoverability::Overwritten: return u"Overwritten";
    case Recoverability::Unknown: return u"Unknown";
    default: return u"";
  }
}

std::u16string StateText(FileState state) {
  return Text([&](CellWriter& cell) { WriteState(cell, state); });
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

std::u16string FormatSizeCell(std::uint64_t size) {
  return Text([&](CellWriter& cell) { WriteSize(cell, size); });
}

std::u16string FormatTimeCell(std::uint64_t fileTime) {
  return Text([&](CellWriter& cell) { WriteTime(cell, fileTime); });
}

std::u16string CellText(const std::u16string& text, std::size_t limit) {
  const std::size_t end = std::min(text.find(u'\0'), limit);
  return text.substr(0, end);
}

std::u16string_view RowTable::Name(std::size_t row) const {
  return std::u16string_view(names.data() + rows[row].nameStart, rows[row].nameLength);
}

std::vector<std::uint32_t> RowTable::OverwrittenBy(std::size_t row) const {
  std::vector<std::uint32_t> records;
  auto at = std::lower_bound(overwriters.begin(), overwriters.end(), std::make_pair(static_cast<std::uint32_t>(row), 0u));
  for (; at != overwriters.end() && at->first == row; ++at) records.push_back(at->second);
  return records;
}

void RowTable::Reserve(std::size_t count) {
  try {
    rows.reserve(count);
    names.reserve(count * 24);  // units: most names are shorter
  } catch (const std::bad_alloc&) {
    // The table grows as it must instead.
  }
}

bool RowTable::AddPath(const std::u16string& path, std::uint32_t* id) {
  try {
    paths.push_back(path);
  } catch (const std::bad_alloc&) {
    return false;
  }
  *id = static_cast<std::uint32_t>(paths.size() - 1);
  return true;
}

bool RowTable::AddRow(std::uint32_t record, std::uint32_t path, std::u16string_view name, std::uint64_t size,
                      std::uint64_t created, std::uint64_t modified) {
  const std::size_t length = std::min<std::size_t>(name.size(), UINT16_MAX);
  const std::size_t start = names.size();
  try {
    names.insert(names.end(), name.begin(), name.begin() + static_cast<std::ptrdiff_t>(length));
    rows.push_back(Row{size, created, modified, record, path, static_cast<std::uint32_t>(start),
                       static_cast<std::uint16_t>(length), FileState{}});
  } catch (const std::bad_alloc&) {
    names.resize(start);
    return false;
  }
  return true;
}

bool RowTable::SetState(std::size_t row, FileState state, const std::vector<std::uint32_t>& overwrittenBy) {
  rows[row].state = state;
  try {
    for (std::uint32_t record : overwrittenBy) {
      const auto entry = std::make_pair(static_cast<std::uint32_t>(row), record);
      overwriters.insert(std::upper_bound(overwriters.begin(), overwriters.end(), entry), entry);
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool RowTable::AppendFrom(const RowTable& source, std::size_t firstRow) {
  const std::size_t rowsBefore = rows.size(), namesBefore = names.size(), pathsBefore = paths.size();
  try {
    for (std::size_t i = paths.size(); i < source.paths.size(); ++i) paths.push_back(source.paths[i]);
    for (std::size_t i = firstRow; i < source.rows.size(); ++i) {
      Row row = source.rows[i];
      const std::u16string_view name = source.Name(i);
      row.nameStart = static_cast<std::uint32_t>(names.size());
      names.insert(names.end(), name.begin(), name.end());
      rows.push_back(row);
    }
  } catch (const std::bad_alloc&) {
    rows.resize(rowsBefore);
    names.resize(namesBefore);
    paths.resize(pathsBefore);
    return false;
  }
  return true;
}

bool RowTable::CopyStates(const RowTable& source) {
  for (std::size_t i = 0; i < rows.size() && i < source.rows.size(); ++i) rows[i].state = source.rows[i].state;
  try {
    overwriters = source.overwriters;
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void RowTable::Clear() {
  rows.clear();
  names.clear();
  paths.clear();
  overwriters.clear();
}

std::size_t RowTable::FormatCell(std::size_t row, Column column, char16_t* buffer, std::size_t capacity) const {
  CellWriter cell(buffer, capacity);
  const Row& entry = rows[row];
  switch (column) {
    case ColumnName: cell.Put(Name(row)); break;
    case ColumnPath: cell.Put(paths[entry.path]); break;
    case ColumnSize: WriteSize(cell, entry.size); break;
    case ColumnCreated: WriteTime(cell, entry.created); break;
    case ColumnModified: WriteTime(cell, entry.modified); break;
    case ColumnRecord: {
      // The record index less 30: negative for records 16 to 29.
      const std::int64_t number = static_cast<std::int64_t>(entry.record) - FirstScanRecordNumber;
      if (number < 0) cell.Put(u'-');
      cell.Number(static_cast<std::uint64_t>(number < 0 ? -number : number));
      break;
    }
    case ColumnState: WriteState(cell, entry.state); break;
    default: break;
  }
  return cell.Finish();
}

bool RowTable::SameCell(std::size_t a, std::size_t b, Column column) const {
  const Row& x = rows[a];
  const Row& y = rows[b];
  switch (column) {
    case ColumnPath: return x.path == y.path;
    case ColumnSize: return SizeShown(x.size) == SizeShown(y.size);
    case ColumnCreated: return MinuteShown(x.created) == MinuteShown(y.created);
    case ColumnModified: return MinuteShown(x.modified) == MinuteShown(y.modified);
    case ColumnState: return x.state.kind == y.state.kind && x.state.percent == y.state.percent;
    default: return false;
  }
}

std::u16string RowTable::Cell(std::size_t row, Column column) const {
  char16_t buffer[MaxCellText + 1];
  const std::size_t length = FormatCell(row, column, buffer, sizeof buffer / sizeof buffer[0]);
  return std::u16string(buffer, length);
}

ScanRow RowTable::MakeRow(std::size_t row) const {
  ScanRow made;
  for (int column = 0; column < ColumnCount; ++column) made.cells[column] = Cell(row, static_cast<Column>(column));
  const Row& entry = rows[row];
  made.name = std::u16string(Name(row));
  made.path = paths[entry.path];
  made.recordIndex = entry.record;
  made.size = entry.size;
  made.creationTime = entry.created;
  made.modificationTime = entry.modified;
  made.state = entry.state;
  return made;
}
