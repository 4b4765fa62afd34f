#include "cli/ListOutput.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Text.h"
#include "view/RowCells.h"

namespace {

// The cells the tool prints are the window's, but for "#": the absolute
// record index, the number --record takes.
const char* const Headings[ColumnCount] = {"Name", "Path", "Size", "Created", "Modified", "#", "State"};

// Names and paths as the table shows them, cut as the window's cells are, or
// whole, for programs.
enum class Names { Cut, Whole };

void AppendCell(std::string& out, const RowTable& rows, std::size_t row, Column column, Names names) {
  if (column == ColumnRecord) {
    out += std::to_string(rows.At(row).record);
    return;
  }
  // Names and paths straight from the table.
  if (column == ColumnName || column == ColumnPath) {
    std::u16string_view text = column == ColumnName ? rows.Name(row) : std::u16string_view(rows.Path(row));
    if (names == Names::Cut) text = text.substr(0, MaxCellText);
    AppendUtf8FromUtf16(out, text.data(), text.size());
    return;
  }
  char16_t cell[MaxCellText + 1];
  const std::size_t length = FormatCell(rows, row, column, cell, sizeof cell / sizeof cell[0]);
  AppendUtf8FromUtf16(out, cell, length);
}

constexpr std::size_t OutputBatch = 64u << 10;  // bytes of rows handed over at once: they stay in the cache

const char* CarvedStateText(const CarvedRow& row) { return row.damaged ? "Carved, damaged" : "Carved"; }

// A carved row's cell; "#" is empty: no record holds the file.
std::string CarvedCell(const CarvedRow& row, int column) {
  switch (column) {
    case ColumnName: return Utf8FromUtf16(row.name);
    case ColumnPath: return Utf8FromUtf16(row.path);
    case ColumnSize: return Utf8FromUtf16(SizeText(row.bytes));
    case ColumnCreated: return Utf8FromUtf16(TimeText(row.created));
    case ColumnModified: return Utf8FromUtf16(TimeText(row.modified));
    case ColumnState: return CarvedStateText(row);
    default: return std::string();
  }
}

const char* const DeletedHeading = "Deleted";
const char* DeletedCell(const RowTable& rows, std::size_t row) { return rows.At(row).inUse ? "No" : "Yes"; }

}  // namespace

void PrintCsv(const RowTable& rows, const ChosenList& chosen, Terminal& terminal, DeletedColumn deleted,
              const CarvedRows& carved) {
  const bool withDeleted = deleted == DeletedColumn::Shown;
  std::string out;
  for (int c = 0; c < ColumnCount; ++c) out += std::string(c != 0 ? "," : "") + Headings[c];
  if (withDeleted) out += std::string(",") + DeletedHeading;
  out += "\r\n";
  // A field is made again only when its cell differs from the row before's;
  // each folder's path once: a million rows share a few thousand folders.
  std::string fields[ColumnCount];
  std::vector<std::string> pathFields(rows.Paths());
  std::vector<bool> pathMade(rows.Paths());
  const std::size_t none = static_cast<std::size_t>(-1);
  std::size_t before = none;
  for (std::size_t row : chosen) {
    for (int c = 0; c < ColumnCount; ++c) {
      const auto column = static_cast<Column>(c);
      if (c != 0) out += ',';
      if (column == ColumnName || column == ColumnRecord) {  // a cell of its own in every row
        const std::size_t from = out.size();
        AppendCell(out, rows, row, column, Names::Whole);
        QuoteCsvField(out, from);
        continue;
      }
      std::string* field = &fields[c];
      if (column == ColumnPath) {
        const std::uint32_t path = rows.At(row).path;
        field = &pathFields[path];
        if (pathMade[path]) {
          out += *field;
          continue;
        }
        pathMade[path] = true;
      } else if (before != none && SameCell(rows, before, row, column)) {
        out += *field;
        continue;
      }
      field->clear();
      AppendCell(*field, rows, row, column, Names::Whole);
      QuoteCsvField(*field, 0);
      out += *field;
    }
    before = row;
    if (withDeleted) out += std::string(",") + DeletedCell(rows, row);
    out += "\r\n";
    if (out.size() >= OutputBatch) {
      terminal.Out(out);
      out.clear();
    }
  }
  for (const CarvedRow& row : carved) {
    for (int c = 0; c < ColumnCount; ++c) {
      if (c != 0) out += ',';
      const std::size_t from = out.size();
      out += CarvedCell(row, c);
      QuoteCsvField(out, from);
    }
    if (withDeleted) out += std::string(",") + "Yes";
    out += "\r\n";
    if (out.size() >= OutputBatch) {
      terminal.Out(out);
      out.clear();
    }
  }
  terminal.Out(out);
}

void PrintJson(const RowTable& rows, const ChosenList& chosen, Terminal& terminal, const CarvedRows& carved) {
  std::string line, cell;
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    const std::size_t row = chosen[i];
    line = i == 0 ? "[\n  {" : ",\n  {";
    for (int c = 0; c < ColumnState; ++c) {
      if (c != 0) line += ", ";
      AppendJsonString(line, Headings[c]);
      line += ": ";
      cell.clear();
      AppendCell(cell, rows, row, static_cast<Column>(c), Names::Whole);
      AppendJsonString(line, cell);
    }
    const RowTable::Row& entry = rows.At(row);
    // The state's name alone; its share in a field of its own (0 when it
    // cannot be told).
    line += std::string(", \"deleted\": ") + (entry.inUse ? "false" : "true");
    line += ", \"record\": " + std::to_string(entry.record) + ", \"bytes\": " + std::to_string(entry.size) +
            ", \"state\": ";
    AppendJsonString(line, Utf8FromUtf16(StateName(entry.state.kind)));
    line += ", \"overwritten_percent\": " + std::to_string(entry.state.percent) + ", \"overwritten_by\": [";
    const std::vector<std::uint32_t> by = rows.OverwrittenBy(row);
    for (std::size_t k = 0; k < by.size(); ++k) line += (k != 0 ? ", " : "") + std::to_string(by[k]);
    line += "]}";
    terminal.Out(line);
  }
  for (std::size_t i = 0; i < carved.size(); ++i) {
    const CarvedRow& row = carved[i];
    line = i == 0 && chosen.empty() ? "[\n  {" : ",\n  {";
    for (int c = 0; c < ColumnState; ++c) {
      if (c != 0) line += ", ";
      AppendJsonString(line, Headings[c]);
      line += ": ";
      AppendJsonString(line, CarvedCell(row, c));
    }
    line += ", \"deleted\": true, \"record\": null, \"bytes\": " + std::to_string(row.bytes) + ", \"state\": ";
    AppendJsonString(line, CarvedStateText(row));
    line += ", \"overwritten_percent\": 0, \"overwritten_by\": [], \"first_cluster\": " +
            std::to_string(row.firstCluster) + "}";
    terminal.Out(line);
  }
  terminal.Out(chosen.empty() && carved.empty() ? "[]\n" : "\n]\n");
}

void PrintTable(const RowTable& rows, const ChosenList& chosen, Terminal& terminal, DeletedColumn deleted,
                const CarvedRows& carved) {
  // The Deleted column, when shown, is the last.
  const int columns = ColumnCount + (deleted == DeletedColumn::Shown ? 1 : 0);
  std::size_t widths[ColumnCount + 1];
  std::string cell, line;
  auto text = [&](std::size_t row, int column) -> const std::string& {
    cell.clear();
    if (column == ColumnCount) {
      cell = DeletedCell(rows, row);
      return cell;
    }
    AppendCell(cell, rows, row, static_cast<Column>(column), Names::Cut);
    cell = TerminalSafe(cell);
    return cell;
  };
  auto carvedText = [&](const CarvedRow& row, int column) -> const std::string& {
    cell = column == ColumnCount ? std::string("Yes") : TerminalSafe(CarvedCell(row, column));
    return cell;
  };
  auto heading = [&](int column) { return column == ColumnCount ? DeletedHeading : Headings[column]; };
  for (int c = 0; c < columns; ++c) widths[c] = TerminalColumns(heading(c));
  for (std::size_t row : chosen) {
    for (int c = 0; c < columns; ++c) widths[c] = std::max(widths[c], TerminalColumns(text(row, c)));
  }
  for (const CarvedRow& row : carved) {
    for (int c = 0; c < columns; ++c) widths[c] = std::max(widths[c], TerminalColumns(carvedText(row, c)));
  }
  auto put = [&](int column, const std::string& value) {
    line += value;
    if (column + 1 < columns) line.append(widths[column] - TerminalColumns(value) + 2, ' ');
  };
  line.clear();
  for (int c = 0; c < columns; ++c) put(c, heading(c));
  terminal.Out(line + "\n");
  for (std::size_t row : chosen) {
    line.clear();
    for (int c = 0; c < columns; ++c) put(c, text(row, c));
    terminal.Out(line + "\n");
  }
  for (const CarvedRow& row : carved) {
    line.clear();
    for (int c = 0; c < columns; ++c) put(c, carvedText(row, c));
    terminal.Out(line + "\n");
  }
}

void PrintCsv(const RowTable& rows, const ChosenList& chosen, Terminal& terminal) {
  PrintCsv(rows, chosen, terminal, DeletedColumn::Hidden);
}

void PrintJson(const RowTable& rows, const ChosenList& chosen, Terminal& terminal) {
  PrintJson(rows, chosen, terminal, CarvedRows());
}

void PrintTable(const RowTable& rows, const ChosenList& chosen, Terminal& terminal) {
  PrintTable(rows, chosen, terminal, DeletedColumn::Hidden);
}
