// The main window's image preview: the worker that reads as much of a row's
// file as the picture takes, and the preview window it fills.

#include "ui/UndeleteDlg.h"

#include <cstring>

#include "carve/CarvedOutput.h"
#include "platform/Errors.h"
#include "platform/Text.h"
#include "ui/UndeleteMessages.h"

namespace {

// Keeps a file's first bytes, decides from them, then keeps what the picture
// takes. It ends the read (ERROR_CANCELLED) once it has that, at once when
// the file is no picture, and when the worker is asked to stop.
class PreviewSink : public ContentSink {
 public:
  PreviewSink(const std::u16string& name, std::uint64_t fileSize, const std::atomic<bool>& stop)
      : name(name), fileSize(fileSize), stop(stop),
        headWanted(fileSize < PreviewHeadBytes ? static_cast<std::size_t>(fileSize) : PreviewHeadBytes) {}

  DWORD Write(const std::uint8_t* bytes, std::uint32_t count) override {
    if (stop) {
      stopped = true;
      return ERROR_CANCELLED;
    }
    if (decided && !data) return ERROR_CANCELLED;  // no picture: nothing more is wanted
    if (!decided) {
      const std::size_t take = count < headWanted - headSize ? count : headWanted - headSize;
      std::memcpy(head + headSize, bytes, take);
      headSize += take;
      if (headSize < headWanted) return ERROR_SUCCESS;
      if (!Decide()) return ERROR_CANCELLED;
      bytes += take;
      count -= static_cast<std::uint32_t>(take);
    }
    const std::uint64_t room = decision.bytes - filled;
    const std::size_t take = count < room ? count : static_cast<std::size_t>(room);
    std::memcpy(data.get() + filled, bytes, take);
    filled += take;
    return filled == decision.bytes ? ERROR_CANCELLED : ERROR_SUCCESS;
  }

  // Decides on the bytes so far; true when the read is to go on. A picture
  // gets its buffer, starting with the head.
  bool Decide() {
    decided = true;
    decision = DecidePreview(name, head, headSize, fileSize);
    if (decision.verdict != PreviewVerdict::Show) return false;
    data = AllocateZeroed(static_cast<std::size_t>(decision.bytes));
    if (!data) {
      failure = ERROR_NOT_ENOUGH_MEMORY;
      return false;
    }
    filled = headSize < decision.bytes ? headSize : static_cast<std::size_t>(decision.bytes);
    std::memcpy(data.get(), head, filled);
    return filled < decision.bytes;
  }

  const std::u16string& name;
  const std::uint64_t fileSize;
  const std::atomic<bool>& stop;
  const std::size_t headWanted;
  std::uint8_t head[PreviewHeadBytes] = {};
  std::size_t headSize = 0;
  bool decided = false;
  bool stopped = false;
  DWORD failure = ERROR_SUCCESS;
  PreviewDecision decision{PreviewVerdict::NotImage, 0, 0};
  ByteBuffer data;
  std::size_t filled = 0;
};

}  // namespace

void CUndeleteDlg::OnImagePreview() {
  const int row = ListView_GetNextItem(fileList.Handle(), -1, LVNI_SELECTED);
  if (row < 0) return;
  // The new preview replaces the last one at once; its bytes go with it.
  previewDialog.Destroy();
  previewData.reset();
  previewSize = 0;
  const std::uint32_t tableRow = RowAt(row);
  wantedCarved = tableRow >= CarvedRow ? tableRow - CarvedRow : UINT32_MAX;
  if (tableRow < CarvedRow) wantedRecord = rows.Identity(tableRow);
  previewWanted = true;
  // A read still running is asked to stop; its end starts this one.
  if (previewWorker.Started()) {
    previewWorker.RequestStop();
    return;
  }
  StartPreview();
}

void CUndeleteDlg::StartPreview() {
  previewWanted = false;
  preview = PreviewJob{};
  preview.identity = wantedRecord;
  // A copy: the carving may append to the table while the preview reads.
  if (wantedCarved != UINT32_MAX && wantedCarved < carved.Count()) {
    preview.isCarved = true;
    if (!carved.File(wantedCarved, &preview.carvedFile)) {
      ShowErrorBox(hwnd, ERROR_NOT_ENOUGH_MEMORY, L"GetLastError");
      return;
    }
  }
  ++previewGeneration;
  const DWORD result = previewWorker.Start(PreviewThread, this);
  if (result != ERROR_SUCCESS) ShowErrorBox(hwnd, result, L"GetLastError");
}

DWORD WINAPI CUndeleteDlg::PreviewThread(void* parameter) {
  auto* window = static_cast<CUndeleteDlg*>(parameter);
  const WPARAM generation = window->previewGeneration;
  window->ReadPreview();
  PostMessageW(window->hwnd, WM_PREVIEW_READY, generation, 0);
  return 0;
}

void CUndeleteDlg::ReadPreview() {
  PreviewJob& job = preview;
  try {
    std::u16string name;
    std::uint64_t fileSize = 0;
    MFTFileInfo info;
    if (job.isCarved) {
      name = carve::CarvedName(job.carvedFile);
      fileSize = job.carvedFile.carving.length;
      if (!carvedDisk) job.result = ERROR_INVALID_HANDLE;
    } else {
      job.result = drive.ReadRecordSummary(job.identity, &info);
      name = info.name;
      fileSize = info.dataSize;
    }
    if (job.result != ERROR_SUCCESS) return;
    PreviewSink sink(name, fileSize, previewWorker.StopFlag());
    DWORD result = ERROR_SUCCESS;
    if (sink.headWanted == 0) {
      sink.Decide();  // nothing to read
    } else {
      if (job.isCarved) {
        result = carve::ReadCarved(carvedDisk->span, job.carvedFile,
                                   [&sink](const std::uint8_t* bytes, std::uint32_t count) { return sink.Write(bytes, count); });
      } else {
        std::uint64_t size = 0;
        result = drive.ReadRecordContent(job.identity, &sink, &size);
      }
      // Shorter than its size said: decided on what there was.
      if (!sink.decided && (result == ERROR_SUCCESS || result == ERROR_CANCELLED)) sink.Decide();
    }
    // The sink's own end (enough read, or no picture) is no failure.
    if (result == ERROR_CANCELLED && !sink.stopped) result = ERROR_SUCCESS;
    if (sink.failure != ERROR_SUCCESS) result = sink.failure;
    job.result = result;
    job.decision = sink.decision;
    job.data = std::move(sink.data);
    job.size = static_cast<std::uint32_t>(sink.filled);
  } catch (const std::bad_alloc&) {
    job.result = ERROR_NOT_ENOUGH_MEMORY;
  }
}

void CUndeleteDlg::ShowPreview(WPARAM generation) {
  // A read that a new scan ended and joined already answers too late.
  if (generation != previewGeneration || !previewWorker.Started()) return;
  previewWorker.StopAndJoin();
  if (previewWanted) {
    StartPreview();
    return;
  }
  if (preview.result != ERROR_SUCCESS) {
    const std::u16string refusal = RefusalText(preview.result);
    if (!refusal.empty()) {
      MessageBoxW(hwnd, reinterpret_cast<const wchar_t*>(refusal.c_str()), ProgramName().c_str(), MB_ICONERROR);
    } else if (preview.result != ERROR_CANCELLED) {
      ShowErrorBox(hwnd, preview.result, L"GetLastError");
    }
    return;
  }
  switch (preview.decision.verdict) {
    case PreviewVerdict::Show: break;
    case PreviewVerdict::TooLarge: {
      const std::u16string text = PreviewTooLargeText(preview.decision.bytes);
      MessageBoxW(hwnd, reinterpret_cast<const wchar_t*>(text.c_str()), ProgramName().c_str(), MB_ICONINFORMATION);
      return;
    }
    default: return;  // no picture: nothing shows, as for a picture that does not decode
  }
  previewData = std::move(preview.data);
  previewSize = preview.size;
  previewDialog.imageData = previewData.get();
  previewDialog.imageSize = previewSize;
  previewDialog.imageType = preview.decision.imageType;
  previewDialog.SetOwner(hwnd);
  previewDialog.Create();
}
