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
