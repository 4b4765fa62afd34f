// libFuzzer target: the input is the start of a small NTFS volume (boot
// sector, $MFT and whatever follows; the disk ends where the input ends).
// Initialize, then a whole scan with its parent walks; every row's content
// is read both whole and streamed. Checks the rows' shape and that summary,
// whole read and stream agree on each file's size.
#include <atomic>
#include <cstdint>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "ntfs/NTFSDrive.h"
#include "ntfs/NtfsLayout.h"
#include "scan/Scanner.h"
#include "support/MemoryDisk.h"

namespace {

class CheckingRows : public RowSink {
 public:
  explicit CheckingRows(CNTFSDrive& volume) : drive(volume) {}

  void AddRow(const ScanRow& row) override {
    ++rows;
    for (const std::u16string& cell : row.cells) FUZZ_CHECK(cell.size() <= MaxCellText);
    FUZZ_CHECK(row.path.compare(0, 3, u"D:\\") == 0 || row.path.compare(0, 2, u"?\\") == 0);
    FUZZ_CHECK(row.recordIndex >= ntfs::FirstUserRecord && row.recordIndex < drive.RecordCount());
    FUZZ_CHECK(row.size > 0);

    // A quarter MiB checks streaming as well as more would, and keeps runs fast.
    DiscardingSink sink(256u << 10);
    std::uint64_t streamed = 0;
    const DWORD stream = drive.ReadRecordContent(row.recordIndex, &sink, &streamed);
    if (stream == code::Success) FUZZ_CHECK(streamed == row.size && sink.total == row.size);

    if (row.size <= (256u << 10)) {
      ByteBuffer content;
      std::uint32_t wholeSize = 0;
      if (drive.ReadRecordData(row.recordIndex, &content, &wholeSize) == code::Success) {
        FUZZ_CHECK(wholeSize == row.size && content != nullptr);
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
