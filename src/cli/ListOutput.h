// What 'pelmora-cli list' prints of a scan's rows: the table for people
// (cells as the window shows them, cut, terminal-safe), CSV and JSON for
// programs (whole names and paths, every character kept). Line ends: CSV
// CR LF (RFC 4180), JSON and the table LF, on every system.
#pragma once

#include <cstddef>

#include "cli/Output.h"
#include "platform/Memory.h"
#include "scan/RowTable.h"

// The rows a command takes, in table order: one entry per row of a scan.
using ChosenList = BulkVector<std::size_t>;

// Whether the table and CSV end in a "Deleted" column ("Yes", or "No" for a
// file that was in use): a found volume's rows are either.
enum class DeletedColumn { Hidden, Shown };

void PrintCsv(const RowTable& rows, const ChosenList& chosen, Terminal& terminal, DeletedColumn deleted);
void PrintCsv(const RowTable& rows, const ChosenList& chosen, Terminal& terminal);
// The cells but State, then "deleted" (true, or false for a file that was in
// use), "record", "bytes", "state" (the name alone), "overwritten_percent"
// and "overwritten_by".
void PrintJson(const RowTable& rows, const ChosenList& chosen, Terminal& terminal);
// Columns two spaces apart, in two passes over the rows so that nothing is
// held but the widths.
void PrintTable(const RowTable& rows, const ChosenList& chosen, Terminal& terminal, DeletedColumn deleted);
void PrintTable(const RowTable& rows, const ChosenList& chosen, Terminal& terminal);
