// The main window's Carve free space: the job for the volume last scanned,
// the worker, its progress, and the carved rows it hands to the list.

#include "ui/UndeleteDlg.h"

#include <algorithm>

#include "platform/Errors.h"
#include "platform/Text.h"
#include "ui/UndeleteMessages.h"

void CUndeleteDlg::OnCarve() {
  // A posted command reaches the window whatever the menu shows.
  if (scanItem == nullptr || !CarveEnabled(scanPhase, recovery != nullptr, volumeScanned)) return;
  // A carving again replaces the last one's rows; a preview reading them ends first.
  previewWanted = false;
  previewWorker.StopAndJoin();
  const HWND list = fileList.Handle();
  ListView_SetItemState(list, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
  order.erase(std::remove_if(order.begin(), order.end(), [](std::uint32_t row) { return row >= CarvedRow; }),
              order.end());
  ListView_SetItemCountEx(list, static_cast<int>(order.size()), LVSICF_NOSCROLL);
  carved.Clear();
  carvedDisk.reset();

  auto disk = std::make_unique<CarvedDisk>();
  const DiskSource& source = scanItem->source;
  if (source.image != nullptr) {
    disk->disk = source.image;
  } else {
    const DWORD opened = DiskDevice::OpenNumber(source.diskNumber, &disk->device);
    if (opened != ERROR_SUCCESS) {
      ShowErrorBox(hwnd, opened, L"Error in CreateFile (carve)");
      return;
    }
    disk->disk = disk->device.get();
  }
  carve::VolumeSpan& span = disk->span;
  span.disk = disk.get();
  span.offset = scannedPartition.start;
  // A found volume's cluster 0 need not fall on a sector of the disk.
  if (scanItem->found != nullptr && scanItem->foundIndex < scanItem->found->Count()) {
    span.offset = scanItem->found->At(scanItem->foundIndex).offset;
  }
  span.clusterSize = drive.ClusterSize();
  span.clusterCount = drive.ClusterCount();
  if (span.clusterCount == 0 && span.clusterSize != 0) span.clusterCount = scannedPartition.length / span.clusterSize;
  carvedDisk = std::move(disk);

  auto job = std::make_unique<CarveJob>();
  job->started = GetTickCount64();
  carving = std::move(job);
  flagsBeforeCarve = flags;
  flags = FlagsAtCarveStart(flags);
  const DWORD result = StartScanJob(CarveThread, CarveTimer);
  if (result != ERROR_SUCCESS) {
    carving.reset();
    flags = flagsBeforeCarve;
    ShowErrorBox(hwnd, result, L"GetLastError");
  }
}

DWORD WINAPI CUndeleteDlg::CarveThread(void* parameter) {
  auto* window = static_cast<CUndeleteDlg*>(parameter);
  window->RunCarve();
  PostMessageW(window->hwnd, WM_CARVE_ENDED, 0, 0);
  return 0;
}

namespace {

// Hands carved files to the window in batches, as the scan's rows go, and
// the carving's place to the job's counters; its answers are the worker's
// stop request. What it holds is emptied at each hand-over.
class WindowCarvedSink : public carve::CarveObserver {
 public:
  WindowCarvedSink(HWND window, CWorkerThread& control, std::atomic<std::uint64_t>& done,
                   std::atomic<std::uint64_t>& total, std::uint32_t clusterSize)
      : window(window), control(control), done(done), total(total), clusterSize(clusterSize),
        last(GetTickCount()) {}
  bool Found(const carve::CarvedFile& file) override {
    // A file found as a stop is asked for is kept all the same.
    if (!batch.Add(file)) Fail(ERROR_NOT_ENOUGH_MEMORY);
    if (handed == 0 || GetTickCount() - last >= RowBatchMs) HandOver();
    return failure == ERROR_SUCCESS && !control.StopFlag();
  }
  bool Progress(std::uint64_t cluster, std::uint64_t clusters) override {
    const std::uint64_t limit = UINT64_MAX / clusterSize;
    total = clusters <= limit ? clusters * clusterSize : UINT64_MAX;
    done = cluster <= limit ? cluster * clusterSize : UINT64_MAX;
    return failure == ERROR_SUCCESS && !control.StopFlag();
  }
  void HandOver() {
    if (failure == ERROR_SUCCESS && batch.Count() > 0) {
      Fail(static_cast<DWORD>(SendMessageW(window, WM_CARVED_ROWS, 0, reinterpret_cast<LPARAM>(&batch))));
      handed += batch.Count();
      batch.Clear();
    }
    last = GetTickCount();
  }
  // 0, or 8 when the files could not be held.
  DWORD Failure() const { return failure; }

 private:
  void Fail(DWORD result) {
    if (result == ERROR_SUCCESS || failure != ERROR_SUCCESS) return;
    failure = result;
    control.RequestStop();
  }

  HWND window;
  CWorkerThread& control;
  std::atomic<std::uint64_t>& done;
  std::atomic<std::uint64_t>& total;
  std::uint32_t clusterSize;
  DWORD last;  // tick of the last hand-over
  CarvedTable batch;
  std::size_t handed = 0;
  DWORD failure = ERROR_SUCCESS;
};

}  // namespace

void CUndeleteDlg::RunCarve() {
  CarveJob& job = *carving;
  const carve::VolumeSpan& span = carvedDisk->span;
  if (span.clusterSize == 0) {
    job.result = ERROR_INVALID_PARAMETER;
    return;
  }
  try {
    // The scan's rows hold still: no scan runs while this does.
    std::unique_ptr<carve::BitmapFreeClusters> free;
    job.result = carve::FreeClustersOf(drive, rows, span.clusterCount, &free);
    if (job.result != ERROR_SUCCESS) return;
    WindowCarvedSink sink(hwnd, scanWorker, job.doneBytes, job.totalBytes, span.clusterSize);
    job.result = carve::CarveFreeSpace(span, *free, carve::CarveOptions(), sink, &job.totals);
    sink.HandOver();
    if (sink.Failure() != ERROR_SUCCESS) job.result = sink.Failure();
    job.unknownClusters = free->UnknownClusters();
  } catch (const std::bad_alloc&) {
    job.result = ERROR_NOT_ENOUGH_MEMORY;
  }
}

void CUndeleteDlg::ShowCarveProgress() {
  if (!carving) return;
  const std::u16string text =
      CarveProgressText(carving->doneBytes, carving->totalBytes, GetTickCount64() - carving->started);
  statusBar.SetText(0, WideFromUtf16(text).c_str());
}

DWORD CUndeleteDlg::TakeCarved(const CarvedTable& source) {
  const std::size_t first = carved.Count();
  try {
    order.reserve(order.size() + source.Count());
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  if (!carved.AppendFrom(source, 0)) return ERROR_NOT_ENOUGH_MEMORY;
  // After the record rows, in the carving's order.
  for (std::size_t file = first; file < carved.Count(); ++file) order.push_back(CarvedRow + static_cast<std::uint32_t>(file));
  ListView_SetItemCountEx(fileList.Handle(), static_cast<int>(order.size()), LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
  if (!order.empty()) flagsBeforeCarve = FlagsWithRows(flagsBeforeCarve);
  return ERROR_SUCCESS;
}

void CUndeleteDlg::EndCarve() {
  if (!carving) return;  // the window is closing and dropped it
  scanWorker.StopAndJoin();
  KillTimer(hwnd, CarveTimer);
  const std::unique_ptr<CarveJob> job = std::move(carving);
  // What was carved before a stop or a failure stays, and can be recovered.
  flags = flagsBeforeCarve;
  if (carved.Count() > 0) flags.canRecover = flags.canPreview = true;
  std::size_t damaged = 0;
  for (std::size_t file = 0; file < carved.Count(); ++file) damaged += carved.Damaged(file) ? 1 : 0;
  std::u16string text = CarveEndText(carved.Count(), damaged, job->totals.stopped || job->result != ERROR_SUCCESS);
  // The carving went on past what it could not read: said, not failed.
  if (job->totals.unreadableClusters != 0) {
    const std::string more = "; " + std::to_string(job->totals.unreadableClusters) + " clusters could not be read";
    text += std::u16string(more.begin(), more.end());
  }
  statusBar.SetText(0, WideFromUtf16(text).c_str());
  SetScanPhase(ScanPhase::Idle);
  if (job->result != ERROR_SUCCESS && scanItem != nullptr) {
    ShowReadFailure(job->result, scanItem->source, L"Error in Carve free space");
  }
}
