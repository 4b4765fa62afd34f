#include "ui/FolderBrowser.h"

#include <shellapi.h>
#include <shlobj.h>

#include <cwchar>

namespace {

constexpr int StartChars = 520;

RECT ChildRect(HWND parent, int id) {
  RECT rect{};
  HWND child = GetDlgItem(parent, id);
  if (child == nullptr) return rect;
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

void Place(HWND parent, int id, const RECT& where) {
  HWND child = GetDlgItem(parent, id);
  if (child != nullptr) MoveWindow(child, where.left, where.top, where.right - where.left, where.bottom - where.top, FALSE);
}

void LayOut(HWND browser) {
  HWND view = FindWindowExW(browser, nullptr, L"SysTreeView32", nullptr);
  if (view == nullptr) view = FindWindowExW(browser, nullptr, L"SHBrowseForFolder ShellNameSpace Control", nullptr);
  if (view == nullptr) return;
  RECT window{};
  GetWindowRect(browser, &window);
  MoveWindow(browser, window.left, window.top, window.right - window.left + 40, window.bottom - window.top + 30, TRUE);
  RECT client{};
  GetClientRect(browser, &client);
  const int width = client.right, height = client.bottom;
  const RECT cancel = ChildRect(browser, IDCANCEL);
  const int w = cancel.right - cancel.left, h = cancel.bottom - cancel.top;
  const RECT newCancel{width - 5 - w, height - 5 - h, width - 5, height - 5};
  Place(browser, IDCANCEL, newCancel);
  const RECT newOk{newCancel.left - 10 - w, height - 5 - h, newCancel.left - 10, height - 5};
  Place(browser, IDOK, newOk);
  MoveWindow(view, 5, 5, width - 10, newOk.top - 10, FALSE);
}

}  // namespace

int CALLBACK BrowseCallbackProc(HWND browser, UINT message, LPARAM parameter, LPARAM data) {
  if (message == BFFM_INITIALIZED) {
    SetWindowLongPtrW(browser, GWL_STYLE, GetWindowLongPtrW(browser, GWL_STYLE) & ~static_cast<LONG_PTR>(DS_CONTEXTHELP));
    SetWindowLongPtrW(browser, GWL_EXSTYLE,
                      GetWindowLongPtrW(browser, GWL_EXSTYLE) & ~static_cast<LONG_PTR>(WS_EX_CONTEXTHELP));
    SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, data);
    LayOut(browser);
  } else if (message == BFFM_SELCHANGED) {
    wchar_t path[StartChars] = {};
    const auto* item = reinterpret_cast<LPCITEMIDLIST>(parameter);
    bool acceptable = false;
    if (SHGetPathFromIDListW(item, path) && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
      SHFILEINFOW info{};
      SHGetFileInfoW(reinterpret_cast<LPCWSTR>(item), 0, &info, sizeof info, SHGFI_PIDL | SHGFI_ATTRIBUTES);
      acceptable = (info.dwAttributes & SFGAO_LINK) == 0;
    }
    if (!acceptable) EnableWindow(GetDlgItem(browser, IDOK), FALSE);
  }
  return 0;
}

int BrowseForFolder(HWND owner, const wchar_t* start, wchar_t* output) {
  if (output == nullptr) return 0;
  output[0] = L'\0';
  wchar_t startFolder[StartChars] = {};
  if (start != nullptr && start[0] != L'\0') {
    wcsncpy(startFolder, start, StartChars - 2);
  } else {
    GetCurrentDirectoryW(StartChars - 2, startFolder);
  }
  BROWSEINFOW info{};
  info.hwndOwner = owner;
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  info.lpfn = BrowseCallbackProc;
  info.lParam = reinterpret_cast<LPARAM>(startFolder);
  LPITEMIDLIST item = SHBrowseForFolderW(&info);
  if (item == nullptr) return 0;
  int result = 0;
  wchar_t path[MAX_PATH] = {};
  if (SHGetPathFromIDListW(item, path)) {
    wmemset(output, L'\0', MAX_PATH);
    wcsncpy(output, path, MAX_PATH - 1);
    result = 1;
  }
  IMalloc* allocator = nullptr;
  if (SUCCEEDED(SHGetMalloc(&allocator)) && allocator != nullptr) {
    allocator->Free(item);
    allocator->Release();
  }
  return result;
}
