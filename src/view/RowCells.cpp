#include "view/RowCells.h"

#include <algorithm>
#include <string_view>

namespace {

// Writes a cell into a caller's buffer: at most MaxCellText characters and
// what the buffer holds, always terminated.
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
    case Recoverability::NotOnDisk: return u"Not on this disk";
    default: return u"";
  }
}

std::u16string StateText(FileState state) {
  return Text([&](CellWriter& cell) { WriteState(cell, state); });
}

std::u16string SizeText(std::uint64_t bytes) {
  return Text([&](CellWriter& cell) { WriteSize(cell, bytes); });
}

std::u16string TimeText(std::uint64_t fileTime) {
  return Text([&](CellWriter& cell) { WriteTime(cell, fileTime); });
}

std::size_t FormatCell(const RowTable& rows, std::size_t row, Column column, char16_t* buffer, std::size_t capacity) {
  CellWriter cell(buffer, capacity);
  const RowTable::Row& entry = rows.At(row);
  switch (column) {
    case ColumnName: cell.Put(rows.Name(row)); break;
    case ColumnPath: cell.Put(rows.Path(row)); break;
    case ColumnSize: WriteSize(cell, entry.size); break;
    case ColumnCreated: WriteTime(cell, entry.created); break;
    case ColumnModified: WriteTime(cell, entry.modified); break;
    case ColumnRecord: {
      const std::int64_t number = static_cast<std::int64_t>(entry.record) - std::int64_t{FirstScanRecord};
      if (number < 0) cell.Put(u'-');
      cell.Number(static_cast<std::uint64_t>(number < 0 ? -number : number));
      break;
    }
    case ColumnState: WriteState(cell, entry.state); break;
    default: break;
  }
  return cell.Finish();
}

bool SameCell(const RowTable& rows, std::size_t a, std::size_t b, Column column) {
  const RowTable::Row& x = rows.At(a);
  const RowTable::Row& y = rows.At(b);
  switch (column) {
    case ColumnPath: return x.path == y.path;
    case ColumnSize: return SizeShown(x.size) == SizeShown(y.size);
    case ColumnCreated: return MinuteShown(x.created) == MinuteShown(y.created);
    case ColumnModified: return MinuteShown(x.modified) == MinuteShown(y.modified);
    case ColumnState: return x.state.kind == y.state.kind && x.state.percent == y.state.percent;
    default: return false;
  }
}

std::u16string CellText(const RowTable& rows, std::size_t row, Column column) {
  char16_t buffer[MaxCellText + 1];
  const std::size_t length = FormatCell(rows, row, column, buffer, sizeof buffer / sizeof buffer[0]);
  return std::u16string(buffer, length);
}
