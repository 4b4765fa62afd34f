// The main window's Deep scan: the job for the selected disk or partition,
// the worker, its progress, and the found volumes' items in the tree.

#include "ui/UndeleteDlg.h"

#include "platform/Errors.h"
#include "platform/Text.h"
#include "ui/UndeleteMessages.h"

void CUndeleteDlg::OnDeepScan() {
  const HTREEITEM selected = driveTree.Selection();
  const DriveItem* item = SelectedItem();
  // A posted command reaches the window whatever the menu shows.
  if (item == nullptr || !DeepScanEnabled(scanPhase, recovery != nullptr, true)) return;
  auto job = std::make_unique<DeepJob>();
  job->item = *item;
  job->item.found = nullptr;
  const DiskSource& source = item->source;
  // The found volumes go under their disk: an image's own item; a physical
  // disk has none, so under the partition searched.
  job->parent = item->found != nullptr ? TreeView_GetParent(driveTree.Handle(), selected) : selected;
  for (const OpenImage& image : images) {
    if (source.image != nullptr && image.disk.get() == source.image) job->parent = image.item;
  }
  // A partition is searched alone (a quick-formatted one holds its lost
  // volume); a disk, or a volume found on it, the whole disk.
  job->sectorSize = item->sectorSize != 0 ? item->sectorSize : mbr::SectorSize;
  if (item->isPartition && item->found == nullptr) {
    const std::uint64_t limit = UINT64_MAX / job->sectorSize;
    job->range.offset = item->startSector <= limit ? item->startSector * job->sectorSize : 0;
    job->range.bytes = item->sectorCount <= limit ? item->sectorCount * job->sectorSize : 0;
  }
  // The volumes the partition table gives are known: their own records are
  // counted apart, and their bitmaps tell which clusters are in use now.
  for (const std::unique_ptr<DriveItem>& other : driveItems) {
    if (!other->isPartition || other->found != nullptr || other->source.image != source.image ||
        other->source.diskNumber != source.diskNumber || other->sectorSize == 0) {
      continue;
    }
    if (!item->isPartition) job->sectorSize = other->sectorSize;
    const std::uint64_t limit = UINT64_MAX / other->sectorSize;
    if (other->startSector > limit || other->sectorCount > limit) continue;
    job->known.push_back({other->startSector * other->sectorSize, other->sectorCount * other->sectorSize});
  }
  job->started = GetTickCount64();
  deep = std::move(job);
  flagsBeforeDeep = flags;
  flags = FlagsAtScanStart();
  flags.canFind = flags.canFindNext = false;
  const DWORD result = StartScanJob(DeepScanThread, DeepTimer);
  if (result != ERROR_SUCCESS) {
    deep.reset();
    flags = flagsBeforeDeep;
    ShowErrorBox(hwnd, result, L"GetLastError");
  }
}

DWORD WINAPI CUndeleteDlg::DeepScanThread(void* parameter) {
  auto* window = static_cast<CUndeleteDlg*>(parameter);
  window->RunDeepScan();
  PostMessageW(window->hwnd, WM_DEEP_ENDED, 0, 0);
  return 0;
}

namespace {

// Passes the pass's progress to the job's counters.
class DeepCounters : public DeepScanSink {
 public:
  DeepCounters(std::atomic<std::uint64_t>& done, std::atomic<std::uint64_t>& total) : done(done), total(total) {}
  void Progress(const DeepScanProgress& progress) override {
    total = progress.bytesTotal;
    done = progress.bytesDone;
  }

 private:
  std::atomic<std::uint64_t>& done;
  std::atomic<std::uint64_t>& total;
};

}  // namespace

void CUndeleteDlg::RunDeepScan() {
  DeepJob& job = *deep;
  try {
    auto found = std::make_unique<DeepResult>();
    DiskReader* disk = job.item.source.image;
    std::uint64_t diskBytes = 0;
    bool sized = false;
    if (disk != nullptr) {
      sized = job.item.source.image->Size(&diskBytes) == ERROR_SUCCESS;
    } else {
      job.result = DiskDevice::OpenNumber(job.item.source.diskNumber, &found->device);
      if (job.result != ERROR_SUCCESS) return;
      disk = found->device.get();
      sized = found->device->Size(&diskBytes) == ERROR_SUCCESS;
    }
    if (job.range.bytes == 0) {
      job.range.bytes = !sized ? UINT64_MAX : diskBytes > job.range.offset ? diskBytes - job.range.offset : 0;
    }
    job.totalBytes = job.range.bytes == UINT64_MAX ? 0 : job.range.bytes;
    DeepCounters counters(job.doneBytes, job.totalBytes);
    job.result = DeepScan(*disk, job.range, job.known, scanWorker.StopFlag(), counters, &found->volumes);
    job.found = std::move(found);
  } catch (const std::bad_alloc&) {
    job.result = ERROR_NOT_ENOUGH_MEMORY;
    job.found.reset();
  }
}

void CUndeleteDlg::ShowDeepProgress() {
  if (!deep) return;
  const std::u16string text =
      DeepProgressText(deep->doneBytes, deep->totalBytes, GetTickCount64() - deep->started);
  statusBar.SetText(0, WideFromUtf16(text).c_str());
}

void CUndeleteDlg::EndDeepScan() {
  if (!deep) return;  // the window is closing and dropped it
  scanWorker.StopAndJoin();
  KillTimer(hwnd, DeepTimer);
  const std::unique_ptr<DeepJob> job = std::move(deep);
  flags = flagsBeforeDeep;
  // What was found before a stop stays: the volumes of the part read.
  const bool stopped = job->result == ERROR_CANCELLED;
  if (job->found && (job->result == ERROR_SUCCESS || stopped)) {
    CFoundVolumes& volumes = job->found->volumes;
    const std::uint32_t sectorSize = job->sectorSize == 0 ? mbr::SectorSize : job->sectorSize;
    HTREEITEM first = nullptr;
    for (std::size_t k = 0; k < volumes.Count(); ++k) {
      const FoundVolume& volume = volumes.At(k);
      DriveItem item;
      item.source = job->item.source;
      item.isPartition = true;
      item.startSector = volume.offset / sectorSize;
      // A boot sector's count leaves out the backup's own sector, which the volume holds.
      item.sectorCount = volume.sizeKnown ? volume.geometry.volumeBytes / sectorSize + 1
                                          : (volume.bytes + sectorSize - 1) / sectorSize;
      item.sectorSize = sectorSize;
      item.found = &volumes;
      item.foundIndex = static_cast<std::uint32_t>(k);
      const std::uint64_t bytes =
          item.sectorCount <= UINT64_MAX / sectorSize ? item.sectorCount * sectorSize : UINT64_MAX;
      const std::u16string text = FoundVolumeText(item.startSector, bytes);
      const HTREEITEM added = AddDriveItem(text, item, job->parent);
      if (first == nullptr) first = added;
    }
    statusBar.SetText(0, WideFromUtf16(DeepEndText(volumes.Count(), stopped)).c_str());
    deepResults.push_back(std::move(job->found));
    if (first != nullptr) {
      TreeView_Expand(driveTree.Handle(), job->parent, TVE_EXPAND);
      TreeView_SelectItem(driveTree.Handle(), first);
    }
  } else {
    statusBar.SetText(0, L"");
  }
  SetScanPhase(ScanPhase::Idle);
  if (job->result != ERROR_SUCCESS && !stopped) ShowReadFailure(job->result, job->item.source, L"Error in Deep scan");
}
