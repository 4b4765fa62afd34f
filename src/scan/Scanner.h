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

constexpr std::size_t MaxDriveText = 19;    // characters of the drive text kept in a path
constexpr std::size_t MaxChainText = 1999;  // characters of a rebuilt folder path

class RowSink {
 public:
  virtual ~RowSink() = default;
  // Row `row` of `table` is new; rows come in record order.
  virtual void RowAdded(const RowTable& table, std::size_t row) { (void)table, (void)row; }
  // Every row's state is final: called once, after the last row.
  virtual void StatesReady(const RowTable& table) { (void)table; }
  // Called now and then with the records examined so far of `total`.
  virtual void Progress(std::uint32_t examined, std::uint32_t total) { (void)examined, (void)total; }
};

struct ScanTotals {
  std::uint32_t examined = 0;  // "Total files": records from 16 on, in use or not
  std::uint32_t rows = 0;      // "Deleted files": rows added after the filters
  std::uint32_t unreadable = 0;  // records on sectors the disk could not read, passed over
};

// Scans an initialised drive into `table` (cleared first; a table of the
// scan's own when null). The drive text is the path prefix of rows whose
// folders reach the root ("C:\"); others get "?\". Polls `stopRequested`
// before each record. Damaged records (code::InvalidParameter, or
// code::HandleEof for a value past the disk's end) are counted and passed
// over; so are records the disk cannot read (IsUnreadable), counted in
// `unreadable` too. Returns code::Success when the records end or a stop is seen,
// code::NotEnoughMemory when memory is short, else the code of the failed
// record read (the rows already added stay, and get their states).
DWORD ScanRecords(CNTFSDrive& drive, const std::u16string& driveText, const std::atomic<bool>& stopRequested,
                  RowSink& sink, ScanTotals* totals, RowTable* table = nullptr);
