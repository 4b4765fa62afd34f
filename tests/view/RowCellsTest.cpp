// The cells of the scan's rows, as the window and the CLI's table show them.
#include <gtest/gtest.h>

#include <iterator>

#include "support/TestVolumes.h"
#include "view/RowCells.h"

namespace {

// A table of one row per entry, all in one folder.
struct Table {
  RowTable rows;
  std::uint32_t path = 0;
  Table() { EXPECT_TRUE(rows.AddPath(u"C:\\Docs\\", &path)); }
  std::size_t Add(std::uint32_t record, std::u16string_view name, std::uint64_t size, std::uint64_t created,
                  std::uint64_t modified, FileState state = {}) {
    EXPECT_TRUE(rows.AddRow(record, path, name, size, created, modified));
    EXPECT_TRUE(rows.SetState(rows.Rows() - 1, state, {}));
    return rows.Rows() - 1;
  }
};

TEST(RowCells, SizesTimesRecordsAndStates) {
  const std::pair<std::uint64_t, const char16_t*> sizes[] = {
      {1, u"1 KB"},       {1023, u"1 KB"},       {1024, u"1 KB"}, {2047, u"1 KB"},
      {2048, u"2 KB"},    {5ull << 30, u"5242880 KB"}, {0, u"0 KB"}};
  const std::pair<std::uint64_t, const char16_t*> times[] = {
      {FileTimeUtc(2008, 4, 7, 14, 24, 36), u"07.04.2008 14:24"},
      {FileTimeUtc(2000, 2, 29, 0, 0, 59), u"29.02.2000 00:00"},
      {FileTimeUtc(1969, 12, 31, 23, 59, 0), u"31.12.1969 23:59"},
      {1, u"01.01.1601 00:00"},
      {0, u""},
      {0x8000000000000000ull, u""},  // not positive as a signed number
      {0x7FFFFFFFFFFFFFFFull, u"14.09.30828 02:48"},
  };
  // The record index less 30: negative for the files other drivers put in records 16 to 29.
  const std::pair<std::uint32_t, const char16_t*> records[] = {
      {16, u"-14"}, {29, u"-1"}, {30, u"0"}, {1000, u"970"}, {UINT32_MAX, u"4294967265"}};
  const std::pair<FileState, const char16_t*> states[] = {
      {{Recoverability::Intact, 0}, u"Intact"},
      {{Recoverability::Partial, 37}, u"Partly overwritten (37%)"},
      {{Recoverability::Overwritten, 100}, u"Overwritten"},
      {{Recoverability::Unknown, 0}, u"Unknown"},
      {{}, u""},  // pending
  };
  Table table;
  for (const auto& [size, text] : sizes) {
    EXPECT_EQ(CellText(table.rows, table.Add(40, u"f", size, 0, 0), ColumnSize), text) << size;
  }
  for (const auto& [time, text] : times) {
    const std::size_t row = table.Add(40, u"f", 1, time, time);
    EXPECT_EQ(CellText(table.rows, row, ColumnCreated), text) << time;
    EXPECT_EQ(CellText(table.rows, row, ColumnModified), text) << time;
  }
  for (const auto& [record, text] : records) {
    EXPECT_EQ(CellText(table.rows, table.Add(record, u"f", 1, 0, 0), ColumnRecord), text) << record;
  }
  for (const auto& [state, text] : states) {
    EXPECT_EQ(StateText(state), text);
    EXPECT_EQ(CellText(table.rows, table.Add(40, u"f", 1, 0, 0, state), ColumnState), text);
  }
  EXPECT_EQ(std::u16string(StateName(Recoverability::Partial)), u"Partly overwritten");
}

// A cell goes into the caller's buffer: never more than it holds or than
// MaxCellText characters, always terminated, a name cut, not split off.
TEST(RowCells, CellsFitTheBufferTheyAreGiven) {
  Table table;
  const std::u16string longName(300, u'n');
  const std::size_t row = table.Add(40, longName, 1, 0, 0);
  EXPECT_EQ(CellText(table.rows, row, ColumnName), longName.substr(0, MaxCellText));
  EXPECT_EQ(CellText(table.rows, row, ColumnPath), u"C:\\Docs\\");
  struct Case {
    std::size_t capacity;
    std::size_t written;
  };
  for (const Case& c : {Case{0, 0}, Case{1, 0}, Case{4, 3}, Case{MaxCellText + 1, MaxCellText}, Case{400, MaxCellText}}) {
    SCOPED_TRACE(c.capacity);
    std::u16string buffer(402, u'#');
    EXPECT_EQ(FormatCell(table.rows, row, ColumnName, buffer.data() + 1, c.capacity), c.written);
    EXPECT_EQ(buffer[0], u'#');
    if (c.capacity != 0) {
      EXPECT_EQ(buffer[1 + c.written], u'\0');
    }
    EXPECT_EQ(buffer[1 + c.capacity], u'#');
  }
}

// A writer reuses a cell's text when SameCell says so: it must hold exactly
// when the texts match, for sizes alike in KB and times in the same minute.
TEST(RowCells, SameCellExactlyWhenTheTextsMatch) {
  RowTable table;
  std::uint32_t first = 0, second = 0;
  ASSERT_TRUE(table.AddPath(u"C:\\a\\", &first));
  ASSERT_TRUE(table.AddPath(u"C:\\b\\", &second));
  const std::uint64_t minute = FileTimeUtc(2008, 4, 7, 14, 24, 0);
  const struct {
    std::uint32_t path;
    std::uint64_t size, created, modified;
    FileState state;
  } rows[] = {
      {first, 1, minute, minute, {Recoverability::Intact, 0}},
      {first, 1023, minute + 599999999, 0, {Recoverability::Intact, 0}},
      {second, 2047, minute + 600000000, 0x8000000000000000ull, {Recoverability::Partial, 37}},
      {second, 2048, minute - 1, minute, {Recoverability::Partial, 38}},
      {first, 0, 0, minute + 1, {Recoverability::Overwritten, 0}},
  };
  for (const auto& row : rows) {
    ASSERT_TRUE(table.AddRow(40, row.path, u"same.txt", row.size, row.created, row.modified));
    ASSERT_TRUE(table.SetState(table.Rows() - 1, row.state, {}));
  }
  for (std::size_t a = 0; a < table.Rows(); ++a) {
    for (std::size_t b = 0; b < table.Rows(); ++b) {
      for (int c = 0; c < ColumnCount; ++c) {
        const auto column = static_cast<Column>(c);
        const bool cheap = column != ColumnName && column != ColumnRecord;
        EXPECT_EQ(SameCell(table, a, b, column), cheap && CellText(table, a, column) == CellText(table, b, column))
            << a << " " << b << " column " << c;
      }
    }
  }
}

}  // namespace
