// The scan: every MFT record from 30 on, deleted files with content become
// rows of six cells, their folder path rebuilt from the parent references.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "ntfs/NTFSDrive.h"
#include "platform/Types.h"

constexpr std::uint32_t FirstScanRecord = 30;
constexpr std::size_t MaxCellText = 254;    // characters of a cell, before its terminator
constexpr std::size_t MaxDriveText = 19;
constexpr std::size_t MaxChainText = 1999;  // characters of a rebuilt folder path

enum Column { ColumnName, ColumnPath, ColumnSize, ColumnCreated, ColumnModified, ColumnRecord, ColumnCount };

// One row, complete before it is handed on.
struct ScanRow {
  std::u16string cells[ColumnCount];  // as the list shows them, each at most 254 characters
  std::u16string name;                // the whole name, even past 254 characters
  std::u16string path;                // the whole folder path: prefix and chain
  std::uint32_t recordIndex;
  std::uint64_t size;                 // bytes
  std::uint64_t creationTime;         // FILETIME, 0 where the cell is empty
  std::uint64_t modificationTime;
};

class RowSink {
 public:
  virtual ~RowSink() = default;
  virtual void AddRow(const ScanRow& row) = 0;
  // Called now and then with the records examined so far of `total`.
  virtual void Progress(std::uint32_t examined, std::uint32_t total) { (void)examined, (void)total; }
};

struct ScanTotals {
  std::uint32_t examined = 0;  // "Total files": records from 30 on, in use or not
  std::uint32_t rows = 0;      // "Deleted files": rows added after the filters
};

// Scans an initialised drive. The drive text is the path prefix of rows whose
// folders reach the root ("C:\"); others get "?\". Polls `stopRequested`
// before each record. Damaged records (87, or 38 for a value past the disk's
// end) are counted and passed over. Returns 0 when the records end or a stop
// is seen, else the code of the failed record read (the rows already added
// stay).
DWORD ScanRecords(CNTFSDrive& drive, const std::u16string& driveText, const std::atomic<bool>& stopRequested,
                  RowSink& sink, ScanTotals* totals);

// "%d KB": whole KiB, but 1 for 1 to 1023 bytes.
std::u16string FormatSizeCell(std::uint64_t size);
// "%02d.%02d.%d %02d:%02d" of the UTC time (day, month, year, hour, minute),
// empty when the time is not positive.
std::u16string FormatTimeCell(std::uint64_t fileTime);
// The text up to the first terminator and at most `limit` characters.
std::u16string CellText(const std::u16string& text, std::size_t limit = MaxCellText);
