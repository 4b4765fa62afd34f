// libFuzzer target: the input is a disk that a deep scan reads without
// knowing where any volume lies (its last byte's low bit says whether a
// volume starting the disk is a known one). The pass is made in reads of
// two sizes, which must find the same structures; the findings are sorted
// into volumes, and each of the first few is opened and scanned, every
// row's content streamed. Checks: what is found lies on 512-byte boundaries
// inside the disk, each volume's geometry passes CheckGeometry and its
// record map starts at VCN 0 without gaps, its records are among those
// found, and rows have their shape.
#include <atomic>
#include <cstdint>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "ntfs/NTFSDrive.h"
#include "ntfs/NtfsLayout.h"
#include "scan/FoundVolumes.h"
#include "scan/Scanner.h"
#include "support/MemoryDisk.h"

namespace {

constexpr std::size_t VolumesOpened = 3;

class CheckingRows : public RowSink {
 public:
  explicit CheckingRows(CNTFSDrive& volume) : drive(volume) {}

  void RowAdded(const RowTable& table, std::size_t row) override {
    const RowTable::Row& entry = table.At(row);
    FUZZ_CHECK(entry.record >= ntfs::FirstUserRecord && entry.record < drive.RecordCount());
    FUZZ_CHECK(entry.size > 0);
    const std::u16string& path = table.Path(row);
    FUZZ_CHECK(path.compare(0, 3, u"D:\\") == 0 || path.compare(0, 2, u"?\\") == 0);
    DiscardingSink sink(256u << 10);
    std::uint64_t streamed = 0;
    ContentReport report;
    // A row's record is read as the scan saw it: never "used again" here.
    FUZZ_CHECK(drive.ReadRecordContent(table.Identity(row), &sink, &streamed, &report) != code::RecordReused);
  }

  void StatesReady(const RowTable& table) override {
    for (std::size_t row = 0; row < table.Rows(); ++row) {
      FUZZ_CHECK(table.At(row).state.kind != Recoverability::Pending);
    }
  }

 private:
  CNTFSDrive& drive;
};

bool SameFindings(const DeepFindings& a, const DeepFindings& b) {
  if (a.records.size() != b.records.size() || a.indexes.size() != b.indexes.size() || a.boots.size() != b.boots.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.records.size(); ++i) {
    if (a.records[i].position != b.records[i].position || a.records[i].number != b.records[i].number) return false;
  }
  for (std::size_t i = 0; i < a.indexes.size(); ++i) {
    if (a.indexes[i].position != b.indexes[i].position) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  MemoryDisk disk;
  disk.Write(0, std::vector<std::uint8_t>(data, data + size));
  const std::atomic<bool> stop{false};
  DeepScanSink sink;
  DeepFindings small, large;
  FUZZ_CHECK(FindSignatures(disk, {0, size}, stop, sink, &small, 64u << 10) == code::Success);
  FUZZ_CHECK(FindSignatures(disk, {0, size}, stop, sink, &large, 1u << 20) == code::Success);
  FUZZ_CHECK(SameFindings(small, large));
  for (const FoundRecord& record : small.records) {
    FUZZ_CHECK(record.position % 512 == 0 && record.position + record.Size() <= size);
  }

  std::vector<KnownVolume> known;
  if ((data[size - 1] & 1) != 0) known.push_back({0, size});
  CFoundVolumes volumes;
  FUZZ_CHECK(volumes.Build(disk, small, known) == code::Success);
  for (std::size_t i = 0; i < volumes.Count() && i < VolumesOpened; ++i) {
    const FoundVolume& volume = volumes.At(i);
    FUZZ_CHECK(CheckGeometry(volume.geometry) == code::Success);
    FUZZ_CHECK(volume.records <= small.records.size());
    std::uint64_t vcn = 0;
    for (const StreamRun& run : volume.map) {
      FUZZ_CHECK(run.vcn == vcn && run.length != 0);
      vcn += run.length;
    }
    FUZZ_CHECK(volume.mappedByRecord0 || !volume.map.empty());
    CNTFSDrive drive;
    if (volumes.Open(i, &drive) != code::Success) continue;
    FUZZ_CHECK(drive.Kind() == VolumeKind::Found);
    CheckingRows rows(drive);
    ScanTotals totals;
    ScanRecords(drive, u"D:\\", stop, rows, &totals);
  }
  return 0;
}
