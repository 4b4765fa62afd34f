// libFuzzer target: the input is the start of a small NTFS volume (boot
// sector, $MFT and whatever follows; the disk ends where the input ends).
// Initialize, then a whole scan with its parent walks; every row's content
// is read both whole and streamed. Checks the rows' shape, that summary,
// whole read and stream agree on each file's size (what the stream does not
// deliver it reports missing), and that no file whose bytes lie elsewhere
// is read.
#include <atomic>
#include <cstdint>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "ntfs/NTFSDrive.h"
#include "ntfs/NtfsLayout.h"
#include "scan/Scanner.h"
#include "support/MemoryDisk.h"
#include "view/RowCells.h"

namespace {

class CheckingRows : public RowSink {
 public:
  explicit CheckingRows(CNTFSDrive& volume) : drive(volume) {}

  void RowAdded(const RowTable& table, std::size_t row) override {
    ++rows;
    const RowTable::Row& entry = table.At(row);
    const std::u16string& path = table.Path(row);
    // Every cell fits the list's buffer: at most MaxCellText characters.
    char16_t cell[MaxCellText + 2];
    for (int column = 0; column < ColumnCount; ++column) {
      FUZZ_CHECK(FormatCell(table, row, static_cast<Column>(column), cell, sizeof cell / sizeof cell[0]) <= MaxCellText);
    }
    FUZZ_CHECK(path.compare(0, 3, u"D:\\") == 0 || path.compare(0, 2, u"?\\") == 0);
    FUZZ_CHECK(entry.record >= ntfs::FirstUserRecord && entry.record < drive.RecordCount());
    FUZZ_CHECK(entry.size > 0);

    // A quarter MiB checks streaming as well as more would, and keeps runs
    // fast. What is delivered and what is reported missing make the size;
    // a file whose bytes lie elsewhere never reads as a file.
    DiscardingSink sink(256u << 10);
    std::uint64_t streamed = 0;
    ContentReport report;
    const DWORD stream = drive.ReadRecordContent(table.Identity(row), &sink, &streamed, &report);
    const bool elsewhere = entry.state.kind == Recoverability::NotOnDisk;
    FUZZ_CHECK(stream != code::RecordReused);
    FUZZ_CHECK(stream != code::FileOffline || elsewhere);
    FUZZ_CHECK(stream != code::Success || !elsewhere);
    if (stream == code::Success) FUZZ_CHECK(streamed + report.missingBytes == entry.size && sink.total == streamed);

    if (entry.size <= (256u << 10)) {
      ByteBuffer content;
      std::uint32_t wholeSize = 0;
      if (drive.ReadRecordData(table.Identity(row), &content, &wholeSize) == code::Success) {
        FUZZ_CHECK(wholeSize == entry.size && content != nullptr && !elsewhere);
      }
    }
  }

  void StatesReady(const RowTable& table) override {
    for (std::size_t row = 0; row < table.Rows(); ++row) {
      const FileState state = table.At(row).state;
      FUZZ_CHECK(state.kind != Recoverability::Pending);
      FUZZ_CHECK(state.kind != Recoverability::Partial || (state.percent >= 1 && state.percent <= 99));
    }
    statesSeen = true;
  }

  unsigned rows = 0;
  bool statesSeen = false;

 private:
  CNTFSDrive& drive;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemoryDisk disk;
  disk.Write(0, std::vector<std::uint8_t>(data, data + size));
  CNTFSDrive drive;
  drive.AttachDisk(&disk);
  drive.SetPartitionStart(0);
  if (drive.Initialize() != code::Success) return 0;
  const std::atomic<bool> stopRequested{false};
  CheckingRows rows(drive);
  ScanTotals totals;
  ScanRecords(drive, u"D:\\", stopRequested, rows, &totals);
  FUZZ_CHECK(totals.rows == rows.rows && totals.rows <= totals.examined && rows.statesSeen);
  return 0;
}
