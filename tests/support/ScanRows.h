// A scan's rows as strings, for tests: each cell as the window shows it,
// and the facts whole.
#pragma once

#include <cstdint>
#include <string>

#include "scan/RowTable.h"
#include "view/RowCells.h"

struct ScanRow {
  std::u16string cells[ColumnCount];  // as the list shows them, each at most MaxCellText characters
  std::u16string name;                // the whole name
  std::u16string path;                // the whole folder path: prefix and chain
  std::uint32_t recordIndex;
  std::uint64_t size;                 // bytes
  std::uint64_t creationTime;         // FILETIME
  std::uint64_t modificationTime;
  FileState state;
};

ScanRow MakeRow(const RowTable& rows, std::size_t row);
