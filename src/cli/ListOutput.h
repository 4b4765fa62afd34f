// What 'pelmora-cli list' prints of a scan's rows: the table for people
// (cells as the window shows them, cut, terminal-safe), CSV and JSON for
// programs (whole names and paths, every character kept). Line ends: CSV
// CR LF (RFC 4180), JSON and the table LF, on every system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/Output.h"
#include "platform/Memory.h"
#include "scan/RowTable.h"

// The rows a command takes, in table order: one entry per row of a scan.
using ChosenList = BulkVector<std::size_t>;

// A file carving found in the free space: shown after the scan's rows, with
// no record ("#" empty), its dates from the file itself.
struct CarvedRow {
  std::u16string name;  // "f1234.jpg"
  std::u16string path;  // "Carved\JPEG\"
  std::uint64_t bytes = 0;
  std::uint64_t created = 0, modified = 0;  // FILETIMEs; 0: the file carries none
  std::uint64_t firstCluster = 0;
  bool damaged = false;
};
using CarvedRows = std::vector<CarvedRow>;

// Whether the table and CSV end in a "Deleted" column ("Yes", or "No" for a
// file that was in use): a found volume's rows are either.
enum class DeletedColumn { Hidden, Shown };

void PrintCsv(const RowTable& rows, const ChosenList& chosen, Terminal& terminal, DeletedColumn deleted,
              const CarvedRows& carved = {});
void PrintCsv(const RowTable& rows, const ChosenList& chosen, Terminal& terminal);
// The cells but State, then "deleted" (true, or false for a file that was in
// use), "record", "bytes", "state" (the name alone), "overwritten_percent"
// and "overwritten_by". A carved row: "record" null, "state" "Carved" or
// "Carved, damaged", and its "first_cluster".
void PrintJson(const RowTable& rows, const ChosenList& chosen, Terminal& terminal, const CarvedRows& carved);
void PrintJson(const RowTable& rows, const ChosenList& chosen, Terminal& terminal);
// Columns two spaces apart, in two passes over the rows so that nothing is
// held but the widths.
void PrintTable(const RowTable& rows, const ChosenList& chosen, Terminal& terminal, DeletedColumn deleted,
                const CarvedRows& carved = {});
void PrintTable(const RowTable& rows, const ChosenList& chosen, Terminal& terminal);
