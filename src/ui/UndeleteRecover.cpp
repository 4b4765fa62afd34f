// The main window's Recover: the files chosen, the worker that copies them
// out with its progress dialog, and the summary.

#include "ui/UndeleteDlg.h"

#include <algorithm>

#include "carve/CarvedOutput.h"
#include "platform/Errors.h"
#include "platform/Text.h"
#include "ui/FolderBrowser.h"
#include "ui/RecoverSummaryDlg.h"
#include "ui/UndeleteMessages.h"

namespace {

// The destination of the last Recover command, offered by the next one.
std::wstring RecoverFolder;

// Passes the current file's progress to the job's counter; its answer is
// the worker's stop request.
class JobObserver : public RecoveryObserver {
 public:
  JobObserver(std::atomic<std::uint64_t>& done, const std::atomic<bool>& stop) : done(done), stop(stop) {}
  // A file starts after `before` bytes of the files before it.
  void StartFile(std::uint64_t before) { done = base = before; }
  bool Progress(std::uint64_t written, std::uint64_t) override {
    done = base + written;
    return !stop;
  }

 private:
  std::atomic<std::uint64_t>& done;
  const std::atomic<bool>& stop;
  std::uint64_t base = 0;
};


// A row as the progress and the summary name it: its folder path and name.
std::u16string ShownName(const RowTable& rows, std::uint32_t row) {
  std::u16string shown = rows.Path(row);
  if (!shown.empty() && shown.back() != u'\\') shown += u'\\';
  shown += rows.Name(row);
  return shown;
}

}  // namespace

void CUndeleteDlg::OnRecover() {
  const HWND list = fileList.Handle();
  if (!CanStartRecovery(scanPhase, recovery != nullptr, flags, static_cast<int>(ListView_GetSelectedCount(list)))) {
    return;
  }
  if (RecoverFolder.empty()) {
    wchar_t here[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, here);
    RecoverFolder = here;
  }
  wchar_t chosen[MAX_PATH] = {};
  BrowseForFolder(hwnd, RecoverFolder.c_str(), chosen);
  RecoverFolder = chosen;
  if (RecoverFolder.empty()) return;
  // Compared as volumes, not as texts: a folder on the scanned partition
  // by any name is on it, and a text that starts the same need not be.
  if (IsOnScannedPartition(NativeFromUtf16(Utf16FromWide(RecoverFolder)), scannedPartition) &&
      MessageBoxW(hwnd, L"Do you want to restore to the same drive? This reduce the chance of a successful recovery.",
                  L"Click Cancel to abort or continie at your risk",
                  MB_OKCANCEL | MB_ICONEXCLAMATION | MB_DEFBUTTON2) == IDCANCEL) {
    return;
  }
  // The rows as they are now, in the list's order: the table has the
  // absolute record and the whole folder path (a cell holds 254 characters,
  // and records 16 to 29 have a negative "#").
  auto job = std::make_unique<RecoveryJob>();
  job->destination = RecoverFolder;
  for (int row = -1; (row = ListView_GetNextItem(list, row, LVNI_SELECTED)) >= 0;) {
    const std::uint32_t tableRow = RowAt(row);
    if (tableRow >= CarvedRow) {
      // Written as the CLI's carve writes it: Carved\JPEG\f123.jpg below the destination.
      const std::uint32_t file = tableRow - CarvedRow;
      const std::u16string path = carved.Cell(file, ColumnPath);
      job->items.push_back({RecordIdentity{}, path, path + carved.Cell(file, ColumnName), carved.Bytes(file), file});
      job->totalBytes += carved.Bytes(file);
      continue;
    }
    const RowTable::Row& entry = rows.At(tableRow);
    job->items.push_back(
        {rows.Identity(tableRow), rows.Path(tableRow), ShownName(rows, tableRow), entry.size, UINT32_MAX});
    job->totalBytes += entry.size;
  }
  job->failures.reserve(job->items.size());
  job->started = GetTickCount64();
  recovery = std::move(job);
  flags = FlagsAtRecoveryStart(flags);
  ShowJobState();
  progressDialog.Open(hwnd, &recoveryWorker);
  ShowRecoveryProgress();
  SetTimer(hwnd, ProgressTimer, ProgressMs, nullptr);
  // Below the window's thread: a long copy takes the processor the window
  // does not want, never the other way round.
  const DWORD result = recoveryWorker.Start(RecoveryThread, this, THREAD_PRIORITY_BELOW_NORMAL);
  if (result != ERROR_SUCCESS) {
    KillTimer(hwnd, ProgressTimer);
    progressDialog.Destroy();
    recovery.reset();
    flags = FlagsAtRecoveryEnd(flags);
    ShowJobState();
    ShowErrorBox(hwnd, result, L"GetLastError");
  }
}

DWORD WINAPI CUndeleteDlg::RecoveryThread(void* parameter) {
  auto* window = static_cast<CUndeleteDlg*>(parameter);
  window->RunRecovery();
  PostMessageW(window->hwnd, WM_RECOVER_ENDED, 0, 0);
  return 0;
}

void CUndeleteDlg::RunRecovery() {
  RecoveryJob& job = *recovery;
  const std::atomic<bool>& stop = recoveryWorker.StopFlag();
  JobObserver observer(job.doneBytes, stop);
  try {
    // One batch for the whole selection: two selected files with one name
    // both arrive, and a file that was in the folder before is kept, the
    // recovered one beside it as "name (record N).ext".
    RecoveryBatch batch(NativeFromUtf16(Utf16FromWide(job.destination)), ExistingFiles::Rename);
    // Carved files as the CLI writes them; one already there is kept and named in the summary.
    carve::CarvedWriter carvedWriter(NativeFromUtf16(Utf16FromWide(job.destination)), false);
    std::uint64_t before = 0;
    for (std::uint32_t item = 0; item < job.items.size(); ++item) {
      if (stop) {
        job.cancelled = true;
        return;
      }
      job.current = item;
      observer.StartFile(before);
      RecoveredFile file;
      DWORD result = ERROR_SUCCESS;
      if (job.items[item].carved != UINT32_MAX) {
        // No carving runs while a recovery does: the table holds still.
        carve::CarvedFile carvedFile;
        if (!carved.File(job.items[item].carved, &carvedFile)) throw std::bad_alloc();
        NativePath written;
        result = carvedDisk ? carvedWriter.Write(carvedDisk->span, carvedFile, &written) : ERROR_INVALID_HANDLE;
        file.path = Utf16FromNative(written);
        file.step = result == ERROR_FILE_EXISTS ? RecoveryStep::CreatingFile : RecoveryStep::Copying;
      } else {
        result = batch.Recover(drive, job.items[item].identity, job.items[item].path, &file, &observer);
      }
      if (result == ERROR_CANCELLED) {
        job.cancelled = true;
        return;
      }
      // One failure does not stop the others; the summary names it.
      if (result == ERROR_SUCCESS) {
        ++job.recovered;
      } else {
        RecoveryFailureFacts facts;
        facts.code = result;
        facts.creatingFile = file.step == RecoveryStep::CreatingFile;
        facts.output = file.path;
        facts.missingBytes = file.missingBytes;
        facts.unreadableBytes = file.unreadableBytes;
        facts.published = file.published;
        job.failures.push_back({item, std::move(facts)});
      }
      before += job.items[item].size;
    }
    job.doneBytes = before;
  } catch (const std::bad_alloc&) {
    job.stoppedBy = ERROR_NOT_ENOUGH_MEMORY;
  }
}

void CUndeleteDlg::ShowRecoveryProgress() {
  if (!recovery) return;
  RecoveryJob& job = *recovery;
  const std::uint32_t files = static_cast<std::uint32_t>(job.items.size());
  std::uint32_t current = job.current;
  if (current >= files) current = files == 0 ? 0 : files - 1;
  std::uint64_t done = job.doneBytes;
  if (done > job.totalBytes) done = job.totalBytes;  // a file may have grown since the scan
  progressDialog.Show(ProgressFileText(current, files, files == 0 ? u"" : job.items[current].shown),
                      ProgressBytesText(done, job.totalBytes),
                      TimeLeftText(done, job.totalBytes, GetTickCount64() - job.started),
                      ProgressPosition(done, job.totalBytes));
}

void CUndeleteDlg::EndRecovery() {
  if (!recovery) return;  // the window is closing and dropped it
  recoveryWorker.StopAndJoin();  // its last act was the message that got here
  KillTimer(hwnd, ProgressTimer);
  progressDialog.Destroy();
  const std::unique_ptr<RecoveryJob> job = std::move(recovery);
  flags = FlagsAtRecoveryEnd(flags);
  ShowJobState();
  if (job->stoppedBy != ERROR_SUCCESS) ShowErrorBox(hwnd, job->stoppedBy, L"GetLastError");
  if (job->failures.empty() && !job->cancelled) return;
  std::wstring failures;
  for (const RecoveryFailure& failure : job->failures) {
    const std::u16string reason =
        RecoveryFailureText(failure.facts, Utf16FromWide(ErrorMessageWide(failure.facts.code)));
    failures += WideFromUtf16(job->items[failure.item].shown) + L": " + WideFromUtf16(reason) + L"\r\n";
  }
  const std::u16string summary =
      RecoverySummaryText(job->recovered, static_cast<std::uint32_t>(job->items.size()),
                          static_cast<std::uint32_t>(job->failures.size()), job->cancelled,
                          Utf16FromWide(job->destination));
  CRecoverSummaryDlg dialog(hwnd, WideFromUtf16(summary), failures);
  dialog.DoModal();
}
