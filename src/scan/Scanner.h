// The scan: every MFT record from 16 on, read in chunks; deleted files with
// content become rows, their folder path rebuilt from the parent references
// (checked by sequence number), and at the end each row learns whether its
// clusters still hold it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "ntfs/NTFSDrive.h"
#include "platform/Types.h"
#include "scan/RowTable.h"

constexpr std::uint32_t FirstScanRecord = 30;  // the "#" cell is the record index less this
constexpr std::size_t MaxDriveText = 19;
constexpr std::size_t MaxChainText = 1999;  // characters of a rebuilt folder path

class RowSink {
 public:
  virtual ~RowSink() = default;
  // Row `row` of `table` is new; rows come in record order. Sinks that want
  // whole rows take AddRow instead.
  virtual void RowAdded(const RowTable& table, std::size_t row) { AddRow(table.MakeRow(row)); }
  virtual void AddRow(const ScanRow& row) { (void)row; }
  // Every row's state is final: called once, after the last row.
  virtual void StatesReady(const RowTable& table) { (void)table; }
  // Called now and then with the records examined so far of `total`.
  virtual void Progress(std::uint32_t examined, std::uint32_t total) { (void)examined, (void)total; }
};

struct ScanTotals {
  std::uint32_t examined = 0;  // "Total files": records from 16 on, in use or not
  std::uint32_t rows = 0;      // "Deleted files": rows added after the filters
};

// Scans an initialised drive into `table` (cleared first; a table of the
// scan's own when null). The drive text is the path prefix of rows whose
// folders reach the root ("C:\"); others get "?\". Polls `stopRequested`
// before each record. Damaged records (87, or 38 for a value past the disk's
// end) are counted and passed over. Returns 0 when the records end or a stop
// is seen, 8 when memory is short, else the code of the failed record read
// (the rows already added stay, and get their states).
DWORD ScanRecords(CNTFSDrive& drive, const std::u16string& driveText, const std::atomic<bool>& stopRequested,
                  RowSink& sink, ScanTotals* totals, RowTable* table = nullptr);
