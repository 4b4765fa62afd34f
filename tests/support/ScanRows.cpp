#include "support/ScanRows.h"

ScanRow MakeRow(const RowTable& rows, std::size_t row) {
  ScanRow made;
  for (int column = 0; column < ColumnCount; ++column) made.cells[column] = CellText(rows, row, static_cast<Column>(column));
  const RowTable::Row& entry = rows.At(row);
  made.name = std::u16string(rows.Name(row));
  made.path = rows.Path(row);
  made.recordIndex = entry.record;
  made.size = entry.size;
  made.creationTime = entry.created;
  made.modificationTime = entry.modified;
  made.state = entry.state;
  return made;
}
