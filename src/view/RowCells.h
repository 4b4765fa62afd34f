// The scan's rows as people read them: the cells of the window's list and
// of pelmora-cli's table, CSV and JSON, formatted from the row table's facts
// when they are asked for. Portable: it never includes <windows.h>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "scan/RowTable.h"

constexpr std::size_t MaxCellText = 254;  // characters of a cell, before its terminator
// The "#" cell is the record index less this: negative for records 16 to 29.
constexpr std::uint32_t FirstScanRecord = 30;

enum Column { ColumnName, ColumnPath, ColumnSize, ColumnCreated, ColumnModified, ColumnRecord, ColumnState, ColumnCount };

// "Intact", "Partly overwritten", "Overwritten", "Unknown", "Not on this
// disk"; empty while pending.
const char16_t* StateName(Recoverability kind);
// The State cell: the name, with the share for a partial one
// ("Partly overwritten (37%)").
std::u16string StateText(FileState state);

// The text of a cell of row `row` of `rows` into `buffer`, which holds
// `capacity` units: at most MaxCellText characters, always terminated when
// `capacity` is not 0. Returns the units written. Allocates nothing, so that
// a list can draw its cells straight from the table. Name and Path as they
// are, cut; Size "%d KB" (whole KiB, but 1 for 1 to 1023 bytes); Created and
// Modified "%02d.%02d.%d %02d:%02d" of the UTC time, empty when it is not
// positive; "#" the record index less FirstScanRecord; State as StateText.
std::size_t FormatCell(const RowTable& rows, std::size_t row, Column column, char16_t* buffer, std::size_t capacity);
// The same text as a string.
std::u16string CellText(const RowTable& rows, std::size_t row, Column column);
// The Size and time cells of values no row holds (a carved file's).
std::u16string SizeText(std::uint64_t bytes);
std::u16string TimeText(std::uint64_t fileTime);
// True when rows `a` and `b` show the same text in `column`, found without
// formatting either: a writer of many rows formats a cell only when it
// differs from the row before (times to the minute, sizes to the KB). False
// where it cannot tell cheaply (names, "#").
bool SameCell(const RowTable& rows, std::size_t a, std::size_t b, Column column);
