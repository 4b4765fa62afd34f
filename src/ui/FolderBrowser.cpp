#include "ui/FolderBrowser.h"

#include <shellapi.h>
#include <shlobj.h>

#include <cwchar>
#include <string>

namespace {

constexpr int StartChars = 520;
// How long the browser keeps asking for its start folder (see below).
constexpr DWORD StartSelectionMs = 3000;

// What the callback knows: the folder to start at and the one selected last.
struct BrowseState {
  wchar_t start[StartChars];
  wchar_t selected[StartChars];
};

bool SameFolder(const wchar_t* a, const wchar_t* b) {
  std::wstring x(a), y(b);
  while (!x.empty() && x.back() == L'\\') x.pop_back();
  while (!y.empty() && y.back() == L'\\') y.pop_back();
  return !x.empty() && lstrcmpiW(x.c_str(), y.c_str()) == 0;
}

// Selects the start folder. The shell walks its tree down the path; Wine's
// may stop at the drive while that drive's folders are still being listed
// (on a busy machine, or in a process's first browser), leaving the user
// elsewhere. So the selection is asked for again, with the browser's
// messages served in between, until it is the start folder or the time is
// up. A folder that is gone is asked for once.
void SelectStart(HWND browser, BrowseState* state) {
  const DWORD attributes = GetFileAttributesW(state->start);
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const DWORD began = GetTickCount();
  for (;;) {
    SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(state->start));
    if (!exists || SameFolder(state->selected, state->start) || GetTickCount() - began >= StartSelectionMs) return;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(message.wParam));
        return;
      }
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    Sleep(50);
  }
}

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
  auto* state = reinterpret_cast<BrowseState*>(data);
  if (message == BFFM_INITIALIZED) {
    SetWindowLongPtrW(browser, GWL_STYLE, GetWindowLongPtrW(browser, GWL_STYLE) & ~static_cast<LONG_PTR>(DS_CONTEXTHELP));
    SetWindowLongPtrW(browser, GWL_EXSTYLE,
                      GetWindowLongPtrW(browser, GWL_EXSTYLE) & ~static_cast<LONG_PTR>(WS_EX_CONTEXTHELP));
    SelectStart(browser, state);
    LayOut(browser);
  } else if (message == BFFM_SELCHANGED) {
    wchar_t path[StartChars] = {};
    const auto* item = reinterpret_cast<LPCITEMIDLIST>(parameter);
    bool acceptable = false;
    const bool hasPath = SHGetPathFromIDListW(item, path) != FALSE;
    wcsncpy(state->selected, hasPath ? path : L"", StartChars - 1);
    state->selected[StartChars - 1] = L'\0';
    if (hasPath && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
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
  BrowseState state{};
  if (start != nullptr && start[0] != L'\0') {
    wcsncpy(state.start, start, StartChars - 2);
  } else {
    GetCurrentDirectoryW(StartChars - 2, state.start);
  }
  BROWSEINFOW info{};
  info.hwndOwner = owner;
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  info.lpfn = BrowseCallbackProc;
  info.lParam = reinterpret_cast<LPARAM>(&state);
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
