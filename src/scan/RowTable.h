// The rows of a scan, held compactly: one small entry per deleted file, the
// names in one shared pool, each folder path once for all the rows of its
// folder. Cells are formatted when they are asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Memory.h"

constexpr std::size_t MaxCellText = 254;  // characters of a cell, before its terminator

enum Column { ColumnName, ColumnPath, ColumnSize, ColumnCreated, ColumnModified, ColumnRecord, ColumnState, ColumnCount };

// Whether a deleted file's clusters still hold it.
enum class Recoverability : std::uint8_t {
  Intact,       // no cluster has been taken since
  Partial,      // some have: `percent` of them, 1 to 99
  Overwritten,  // every cluster has
  Unknown,      // the cluster bitmap cannot tell
  Pending,      // not known until the scan ends
};

struct FileState {
  Recoverability kind = Recoverability::Pending;
  std::uint8_t percent = 0;  // share of clusters overwritten, whole percent rounded down
};

// "Intact", "Partly overwritten", "Overwritten", "Unknown"; empty while pending.
const char16_t* StateName(Recoverability kind);
// The State cell: the name, with the share for a partial one
// ("Partly overwritten (37%)").
std::u16string StateText(FileState state);
// Sorts Intact first, then partial ones by their share, then Overwritten,
// then Unknown, then pending ones.
int StateOrder(FileState state);

// One row as a whole, for callers that want its cells as strings.
struct ScanRow {
  std::u16string cells[ColumnCount];  // as the list shows them, each at most 254 characters
  std::u16string name;                // the whole name, even past 254 characters
  std::u16string path;                // the whole folder path: prefix and chain
  std::uint32_t recordIndex;
  std::uint64_t size;                 // bytes
  std::uint64_t creationTime;         // FILETIME, 0 where the cell is empty
  std::uint64_t modificationTime;
  FileState state;
};

class RowTable {
 public:
  struct Row {
    std::uint64_t size;          // bytes
    std::uint64_t created;       // FILETIME, 0 where the cell is empty
    std::uint64_t modified;
    std::uint32_t record;        // absolute record index
    std::uint32_t path;          // index into the paths
    std::uint32_t nameStart;     // into the name pool
    std::uint16_t nameLength;
    FileState state;
  };

  std::size_t Rows() const { return rows.size(); }
  std::size_t Paths() const { return paths.size(); }
  const Row& At(std::size_t row) const { return rows[row]; }
  std::u16string_view Name(std::size_t row) const;
  const std::u16string& Path(std::size_t row) const { return paths[rows[row].path]; }
  // Records of the deleted files whose data went over this row's clusters.
  std::vector<std::uint32_t> OverwrittenBy(std::size_t row) const;

  // Room for about `count` rows, so that the table grows once.
  void Reserve(std::size_t count);
  // Adding rows; each returns false, changing nothing, when memory is short.
  bool AddPath(const std::u16string& path, std::uint32_t* id);
  bool AddRow(std::uint32_t record, std::uint32_t path, std::u16string_view name, std::uint64_t size,
              std::uint64_t created, std::uint64_t modified);
  bool SetState(std::size_t row, FileState state, const std::vector<std::uint32_t>& overwrittenBy);
  // Copies the rows of `source` from `firstRow` on, with the paths this
  // table does not have yet: `source` is a later stage of the same scan.
  bool AppendFrom(const RowTable& source, std::size_t firstRow);
  // Takes the states of `source`'s rows, the same rows in the same order.
  bool CopyStates(const RowTable& source);
  void Clear();

  // The text of a cell as the list shows it (at most 254 characters) into
  // `buffer`, which holds `capacity` units; always terminated when capacity
  // is not 0. Returns the units written. Allocates nothing.
  std::size_t FormatCell(std::size_t row, Column column, char16_t* buffer, std::size_t capacity) const;
  std::u16string Cell(std::size_t row, Column column) const;
  // True when rows `a` and `b` show the same text in `column`, found
  // without formatting either: a writer of many rows formats a cell only
  // when it differs from the row before (times to the minute, sizes to the
  // KB). False where it cannot tell cheaply (names, "#").
  bool SameCell(std::size_t a, std::size_t b, Column column) const;
  ScanRow MakeRow(std::size_t row) const;

 private:
  BulkVector<Row> rows;
  BulkVector<char16_t> names;
  std::vector<std::u16string> paths;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> overwriters;  // (row, record), by row
};

// "%d KB": whole KiB, but 1 for 1 to 1023 bytes.
std::u16string FormatSizeCell(std::uint64_t size);
// "%02d.%02d.%d %02d:%02d" of the UTC time (day, month, year, hour, minute),
// empty when the time is not positive.
std::u16string FormatTimeCell(std::uint64_t fileTime);
// The text up to the first terminator and at most `limit` characters.
std::u16string CellText(const std::u16string& text, std::size_t limit = MaxCellText);
