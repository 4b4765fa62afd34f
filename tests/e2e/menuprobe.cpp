// Loaded into the Pelmora process by the driver: Wine keeps menus local to
// their process, so menu item states can only be read from inside. The
// driver starts ReadMenus on a thread of the target with a block it placed
// there; the popups are opened (WM_INITMENUPOPUP, handled by the window's
// own thread) and each item is written as "popup\tid\tenabled\ttext\n".
#include <windows.h>

#include <cwchar>

struct MenuProbe {
  HWND window;
  wchar_t out[32768];
};

// Appends "prefix id\tenabled\ttext\n" for every item of `menu` but the
// separators; false when the output block is full.
bool AppendItems(MenuProbe* probe, size_t* used, HMENU menu, const wchar_t* prefix) {
  const int items = GetMenuItemCount(menu);
  for (int i = 0; i < items; ++i) {
    wchar_t text[256] = L"";
    MENUITEMINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_ID | MIIM_STATE | MIIM_FTYPE | MIIM_STRING;
    info.dwTypeData = text;
    info.cch = 256;
    if (!GetMenuItemInfoW(menu, i, TRUE, &info) || (info.fType & MFT_SEPARATOR)) continue;
    const bool enabled = (info.fState & (MFS_GRAYED | MFS_DISABLED)) == 0;
    const int room = (int)(sizeof probe->out / sizeof(wchar_t) - *used);
    const int n = _snwprintf(probe->out + *used, room, L"%ls%u\t%d\t%ls\n", prefix, info.wID, enabled ? 1 : 0, text);
    if (n < 0 || n >= room) return false;
    *used += n;
  }
  return true;
}

extern "C" __declspec(dllexport) DWORD WINAPI ReadMenus(void* parameter) {
  MenuProbe* probe = static_cast<MenuProbe*>(parameter);
  probe->out[0] = L'\0';
  size_t used = 0;
  HMENU bar = GetMenu(probe->window);
  if (bar == nullptr) return 1;
  const int popups = GetMenuItemCount(bar);
  for (int p = 0; p < popups; ++p) {
    HMENU popup = GetSubMenu(bar, p);
    if (popup == nullptr) continue;
    DWORD_PTR ignored;
    if (!SendMessageTimeoutW(probe->window, WM_INITMENUPOPUP, (WPARAM)popup, MAKELPARAM(p, FALSE), SMTO_NORMAL,
                             10000, &ignored))
      return 2;
    wchar_t prefix[16];
    _snwprintf(prefix, 16, L"%d\t", p);
    if (!AppendItems(probe, &used, popup, prefix)) return 3;
  }
  return 0;
}

// The popup menu of an open #32768 window (`window`): "id\tenabled\ttext\n" per item.
extern "C" __declspec(dllexport) DWORD WINAPI ReadPopup(void* parameter) {
  MenuProbe* probe = static_cast<MenuProbe*>(parameter);
  probe->out[0] = L'\0';
  DWORD_PTR menu = 0;
  if (!SendMessageTimeoutW(probe->window, MN_GETHMENU, 0, 0, SMTO_NORMAL, 10000, &menu) || menu == 0) return 1;
  size_t used = 0;
  return AppendItems(probe, &used, reinterpret_cast<HMENU>(menu), L"") ? 0 : 3;
}

// ---- the About box's links ----
// The links keep their object in the window property "CXHyperLink"; the
// visited state does not show in the About box (both colours are the same
// blue), so it is read from there.
#include "ui/XHyperLink.h"

namespace {

volatile LONG beeps = 0;
UINT lastBeep = 0;
BOOL(WINAPI* realMessageBeep)(UINT) = nullptr;

BOOL WINAPI CountingMessageBeep(UINT type) {
  lastBeep = type;
  InterlockedIncrement(&beeps);
  return realMessageBeep != nullptr ? realMessageBeep(type) : TRUE;
}

BOOL CALLBACK AppendLink(HWND child, LPARAM parameter) {
  auto* probe = reinterpret_cast<MenuProbe*>(parameter);
  auto* link = static_cast<CXHyperLink*>(GetPropW(child, L"CXHyperLink"));
  if (link == nullptr) return TRUE;
  const size_t used = wcslen(probe->out);
  const int room = (int)(sizeof probe->out / sizeof(wchar_t) - used);
  wchar_t text[256] = L"";
  GetWindowTextW(child, text, 256);
  _snwprintf(probe->out + used, room, L"%d\t%d\t%d\t%ls\n", GetDlgCtrlID(child), link->IsVisited() ? 1 : 0,
             link->IsHovering() ? 1 : 0, text);
  return TRUE;
}

}  // namespace

// Counts the program's MessageBeep calls from now on: its import of
// user32!MessageBeep is pointed at a counter that beeps as well.
extern "C" __declspec(dllexport) DWORD WINAPI HookBeeps(void*) {
  if (realMessageBeep != nullptr) return 0;
  auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); module->Name != 0;
       ++module) {
    if (lstrcmpiA(reinterpret_cast<char*>(base + module->Name), "user32.dll") != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (lstrcmpA(reinterpret_cast<char*>(byName->Name), "MessageBeep") != 0) continue;
      DWORD old = 0;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
      realMessageBeep = reinterpret_cast<BOOL(WINAPI*)(UINT)>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<DWORD_PTR>(&CountingMessageBeep);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
      return 0;
    }
  }
  return 1;
}

// "beeps\tlast type\n", then "id\tvisited\thovering\ttext\n" for every link
// of the dialog `window`.
extern "C" __declspec(dllexport) DWORD WINAPI ReadLinks(void* parameter) {
  MenuProbe* probe = static_cast<MenuProbe*>(parameter);
  _snwprintf(probe->out, 64, L"%ld\t%u\n", beeps, lastBeep);
  EnumChildWindows(probe->window, AppendLink, reinterpret_cast<LPARAM>(probe));
  return 0;
}
