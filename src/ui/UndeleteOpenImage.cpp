// The main window's Open disk image: the file dialog, the worker that opens
// the image and walks its partitions, and the tree items it gives.

#include "ui/UndeleteDlg.h"

#include <cderr.h>
#include <commdlg.h>

#include "platform/Errors.h"
#include "platform/Text.h"
#include "ui/UndeleteMessages.h"
#include "ui/resource.h"

namespace {

// The folder of the last image opened, where the next open starts.
std::wstring ImageFolder;

}  // namespace

void CUndeleteDlg::OnOpenImage() {
  // One image is opened at a time; scans and recoveries go on meanwhile.
  if (openWorker.Started()) return;
  wchar_t title[64] = {};
  LoadStringW(GetModuleHandleW(nullptr), IDS_OPEN_IMAGE, title, 64);
  const std::u16string filter = ImageFileFilter();
  wchar_t path[MAX_PATH] = {};
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = hwnd;
  dialog.lpstrFilter = reinterpret_cast<const wchar_t*>(filter.c_str());
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = path;
  dialog.nMaxFile = MAX_PATH;
  dialog.lpstrInitialDir = ImageFolder.empty() ? nullptr : ImageFolder.c_str();
  dialog.lpstrTitle = title;
  // The current directory stays where it was: Recover's browser starts there.
  dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR |
                 OFN_DONTADDTORECENT;
  if (!GetOpenFileNameW(&dialog)) {
    if (CommDlgExtendedError() == FNERR_BUFFERTOOSMALL) {
      ShowErrorBox(hwnd, ERROR_FILENAME_EXCED_RANGE, L"GetOpenFileName");
    }
    return;
  }
  ImageFolder.assign(path, dialog.nFileOffset);
  // An image already open is not opened twice: its item is chosen.
  for (const OpenImage& image : images) {
    if (CompareStringOrdinal(image.path.c_str(), -1, path, -1, TRUE) == CSTR_EQUAL) {
      TreeView_SelectItem(driveTree.Handle(), image.item);
      return;
    }
  }
  opening = OpenJob{};
  opening.path = path;
  opening.number = static_cast<std::uint32_t>(images.size() + 1);
  const DWORD result = openWorker.Start(OpenThread, this);
  if (result != ERROR_SUCCESS) {
    ShowErrorBox(hwnd, result, L"GetLastError");
    return;
  }
  ShowJobState();
}

DWORD WINAPI CUndeleteDlg::OpenThread(void* parameter) {
  auto* window = static_cast<CUndeleteDlg*>(parameter);
  window->RunOpen();
  PostMessageW(window->hwnd, WM_IMAGE_OPENED, 0, 0);
  return 0;
}

void CUndeleteDlg::RunOpen() {
  OpenJob& job = opening;
  try {
    std::unique_ptr<DiskImage> image;
    job.result = OpenDiskImage(Utf8FromWide(job.path), &image, &job.problem);
    if (job.result != ERROR_SUCCESS) return;
    job.disk = std::make_unique<SharedImage>(std::move(image));
    DiskSource source;
    source.image = job.disk.get();
    job.walkResult = WalkImage(*job.disk, source, job.number,
                               [&](const FoundDrive& found) { job.partitions.push_back(found); });
  } catch (const std::bad_alloc&) {
    job.result = ERROR_NOT_ENOUGH_MEMORY;
    job.partitions.clear();
    job.disk.reset();
  }
}

void CUndeleteDlg::EndOpen() {
  if (!openWorker.Started()) return;  // the window is closing: it joined the worker
  openWorker.StopAndJoin();
  OpenJob job = std::move(opening);
  opening = OpenJob{};
  ShowJobState();
  if (job.result != ERROR_SUCCESS) {
    const std::u16string text =
        ImageFailureText(Utf16FromWide(job.path), job.problem, Utf16FromWide(ErrorMessageWide(job.result)));
    MessageBoxW(hwnd, reinterpret_cast<const wchar_t*>(text.c_str()), L"Error in OpenDiskImage", MB_ICONERROR);
    return;
  }
  DriveItem disk;
  disk.source.image = job.disk.get();
  const HTREEITEM parent = AddDriveItem(ImageItemText(job.number, Utf16FromWide(job.path)), disk, TVI_ROOT);
  HTREEITEM first = nullptr;
  for (const FoundDrive& found : job.partitions) {
    const HTREEITEM item = AddDriveItem(found.text, found.item, parent);
    if (first == nullptr) first = item;
  }
  images.push_back({job.path, std::move(job.disk), parent});
  TreeView_Expand(driveTree.Handle(), parent, TVE_EXPAND);
  // Selecting scrolls it into view, but never sideways: the tree is narrow.
  TreeView_SelectItem(driveTree.Handle(), first != nullptr ? first : parent);
  if (job.walkResult != ERROR_SUCCESS) ShowReadFailure(job.walkResult, disk.source, L"Error in the partition table");
}
