#include "ui/Framework.h"

#include <new>
#include <vector>

#include "platform/Errors.h"

void ShowErrorBox(HWND owner, DWORD code, const wchar_t* caption) {
  // Also called when memory ran short: then a box without text, not none.
  std::wstring text;
  try {
    text = ErrorMessageWide(code);
  } catch (const std::bad_alloc&) {
  }
  MessageBoxW(owner, text.c_str(), caption, MB_ICONERROR);
}

std::wstring WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(window, &text[0], length + 1)));
  return text;
}

CDialogBase::CDialogBase(UINT id, HWND owner) : parent(owner), templateId(id) {}
CDialogBase::~CDialogBase() = default;

INT_PTR CDialogBase::DoModal() {
  return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId), parent, DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

HWND CDialogBase::CreateModeless() {
  return CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId), parent, DialogProc,
                            reinterpret_cast<LPARAM>(this));
}

bool CDialogBase::OnCommand(UINT id, UINT, HWND) {
  if (id == IDOK) {
    OnOK();
    return true;
  }
  if (id == IDCANCEL) {
    OnCancel();
    return true;
  }
  return false;
}

bool CDialogBase::OnNotify(NMHDR*, LRESULT*) { return false; }

INT_PTR CDialogBase::OnMessage(UINT, WPARAM, LPARAM, bool* handled) {
  *handled = false;
  return 0;
}

INT_PTR CALLBACK CDialogBase::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  // Nothing may leave a window procedure: a container that cannot grow ends
  // this message with the out-of-memory box, not the program.
  try {
    return Dispatch(window, message, wParam, lParam);
  } catch (const std::bad_alloc&) {
    ShowErrorBox(window, ERROR_NOT_ENOUGH_MEMORY, L"GetLastError");
    return FALSE;
  }
}

INT_PTR CDialogBase::Dispatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  CDialogBase* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<CDialogBase*>(lParam);
    self->hwnd = window;
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    return self->OnInitDialog();
  }
  self = reinterpret_cast<CDialogBase*>(GetWindowLongPtrW(window, DWLP_USER));
  if (self == nullptr) return FALSE;
  switch (message) {
    case WM_CTLCOLORSTATIC:
      if (GetPropW(reinterpret_cast<HWND>(lParam), ReflectProperty) != nullptr) {
        return static_cast<INT_PTR>(
            SendMessageW(reinterpret_cast<HWND>(lParam), OCM_CTLCOLORSTATIC, wParam, lParam));
      }
      break;
    case WM_COMMAND:
      if (lParam != 0 && GetPropW(reinterpret_cast<HWND>(lParam), ReflectProperty) != nullptr &&
          SendMessageW(reinterpret_cast<HWND>(lParam), OCM_COMMAND, wParam, lParam) != 0) {
        return TRUE;
      }
      break;
    default: break;
  }
  switch (message) {
    case WM_COMMAND:
      return self->OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam)) ? TRUE : FALSE;
    case WM_NOTIFY: {
      LRESULT result = 0;
      if (!self->OnNotify(reinterpret_cast<NMHDR*>(lParam), &result)) return FALSE;
      SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
      return TRUE;
    }
    default: {
      bool handled = false;
      const INT_PTR result = self->OnMessage(message, wParam, lParam, &handled);
      return handled ? result : FALSE;
    }
  }
}

CNewDialog::~CNewDialog() {
  for (int i = 0; i < pictureCount; ++i) DeleteObject(pictures[i].bitmap);
}

void CNewDialog::LoadMenuPictures(HINSTANCE instance, UINT bitmapId, const UINT* commands, int count) {
  HBITMAP strip = static_cast<HBITMAP>(LoadImageW(instance, MAKEINTRESOURCEW(bitmapId), IMAGE_BITMAP, 0, 0,
                                                   LR_CREATEDIBSECTION));
  if (strip == nullptr) return;
  BITMAP info{};
  GetObjectW(strip, sizeof info, &info);
  const int size = info.bmHeight;  // square pictures side by side
  std::vector<RGBQUAD> pixels(static_cast<size_t>(info.bmWidth) * size);
  BITMAPINFO request{};
  request.bmiHeader.biSize = sizeof request.bmiHeader;
  request.bmiHeader.biWidth = info.bmWidth;
  request.bmiHeader.biHeight = -size;  // top-down
  request.bmiHeader.biPlanes = 1;
  request.bmiHeader.biBitCount = 32;
  HDC screen = GetDC(nullptr);
  GetDIBits(screen, strip, 0, static_cast<UINT>(size), pixels.data(), &request, DIB_RGB_COLORS);
  DeleteObject(strip);
  constexpr int Small = 16;
  for (int p = 0; p < count && p < 8 && (p + 1) * size <= info.bmWidth; ++p) {
    BITMAPINFO out = request;
    out.bmiHeader.biWidth = Small;
    out.bmiHeader.biHeight = -Small;
    void* bits = nullptr;
    HBITMAP picture = CreateDIBSection(screen, &out, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (picture == nullptr) continue;
    auto* target = static_cast<RGBQUAD*>(bits);
    const int step = size / Small;
    // Each small pixel averages its block; the magenta key is transparent
    // (premultiplied alpha, as menus draw 32-bit pictures).
    for (int y = 0; y < Small; ++y) {
      for (int x = 0; x < Small; ++x) {
        int r = 0, g = 0, b = 0, opaque = 0;
        for (int dy = 0; dy < step; ++dy) {
          for (int dx = 0; dx < step; ++dx) {
            const RGBQUAD& c = pixels[static_cast<size_t>(y * step + dy) * info.bmWidth + p * size + x * step + dx];
            if (c.rgbRed == 255 && c.rgbGreen == 0 && c.rgbBlue == 255) continue;
            r += c.rgbRed;
            g += c.rgbGreen;
            b += c.rgbBlue;
            ++opaque;
          }
        }
        const int all = step * step;
        RGBQUAD& t = target[y * Small + x];
        t.rgbRed = static_cast<BYTE>(r / all);
        t.rgbGreen = static_cast<BYTE>(g / all);
        t.rgbBlue = static_cast<BYTE>(b / all);
        t.rgbReserved = static_cast<BYTE>(255 * opaque / all);
      }
    }
    pictures[pictureCount++] = {commands[p], picture};
  }
  ReleaseDC(nullptr, screen);
}

void CNewDialog::AttachPictures(HMENU menu) const {
  const int count = GetMenuItemCount(menu);
  for (int i = 0; i < count; ++i) {
    HMENU popup = GetSubMenu(menu, i);
    if (popup != nullptr) {
      AttachPictures(popup);
      continue;
    }
    const UINT command = GetMenuItemID(menu, i);
    for (int p = 0; p < pictureCount; ++p) {
      if (pictures[p].command != command) continue;
      MENUITEMINFOW item{};
      item.cbSize = sizeof item;
      item.fMask = MIIM_BITMAP;
      item.hbmpItem = pictures[p].bitmap;
      SetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &item);
    }
  }
}

void CNewDialog::UpdatePopup(HMENU popup) const {
  const int count = GetMenuItemCount(popup);
  for (int i = 0; i < count; ++i) {
    MENUITEMINFOW item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_FTYPE | MIIM_ID | MIIM_SUBMENU;
    if (!GetMenuItemInfoW(popup, static_cast<UINT>(i), TRUE, &item)) continue;
    if ((item.fType & MFT_SEPARATOR) != 0 || item.hSubMenu != nullptr) continue;
    bool enabled = false;
    if (!CommandRule(item.wID, &enabled)) enabled = HandlesCommand(item.wID);
    EnableMenuItem(popup, static_cast<UINT>(i), MF_BYPOSITION | (enabled ? MF_ENABLED : MF_GRAYED));
  }
}

INT_PTR CNewDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool* handled) {
  // The system menu (HIWORD set) keeps the system's own states.
  if (message == WM_INITMENUPOPUP && HIWORD(lParam) == 0) {
    UpdatePopup(reinterpret_cast<HMENU>(wParam));
    *handled = true;
    return 0;
  }
  return CDialogBase::OnMessage(message, wParam, lParam, handled);
}

HTREEITEM CTreeCtrl::InsertItem(const wchar_t* text, HTREEITEM parent, LPARAM data) {
  TVINSERTSTRUCTW insert{};
  insert.hParent = parent;
  insert.hInsertAfter = TVI_LAST;
  insert.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
  insert.item.pszText = const_cast<wchar_t*>(text);
  insert.item.lParam = data;
  return TreeView_InsertItem(hwnd, &insert);
}

std::wstring CTreeCtrl::Text(HTREEITEM item) const {
  wchar_t text[260] = {};
  TVITEMW query{};
  query.mask = TVIF_TEXT;
  query.hItem = item;
  query.pszText = text;
  query.cchTextMax = 260;
  if (!TreeView_GetItem(hwnd, &query)) return L"";
  return text;
}

LPARAM CTreeCtrl::Data(HTREEITEM item) const {
  TVITEMW query{};
  query.mask = TVIF_PARAM;
  query.hItem = item;
  return TreeView_GetItem(hwnd, &query) ? query.lParam : 0;
}

void CListCtrl::InsertColumn(int index, const wchar_t* heading, int format, int width) {
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT | LVCF_FMT | LVCF_WIDTH | LVCF_SUBITEM;
  column.fmt = format;
  column.cx = width;
  column.pszText = const_cast<wchar_t*>(heading);
  column.iSubItem = index;
  ListView_InsertColumn(hwnd, index, &column);
}

int CListCtrl::InsertItem(int index, const wchar_t* text, LPARAM data) {
  LVITEMW item{};
  item.mask = LVIF_TEXT | LVIF_PARAM;
  item.iItem = index;
  item.pszText = const_cast<wchar_t*>(text);
  item.lParam = data;
  return ListView_InsertItem(hwnd, &item);
}

void CListCtrl::SetText(int item, int column, const wchar_t* text) {
  ListView_SetItemText(hwnd, item, column, const_cast<wchar_t*>(text));
}

std::wstring CListCtrl::Text(int item, int column) const {
  wchar_t text[260] = {};
  ListView_GetItemText(hwnd, item, column, text, 260);
  return text;
}

bool CStatusBar::Create(HWND owner, UINT id) {
  // Placed by the owner's layout, not by the control itself.
  hwnd = CreateWindowExW(0, STATUSCLASSNAMEW, nullptr,
                         WS_CHILD | WS_VISIBLE | CCS_BOTTOM | CCS_NORESIZE | CCS_NOPARENTALIGN, 0, 0, 0, 0, owner,
                         reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  return hwnd != nullptr;
}

void CStatusBar::SetPanes(int width, int middle, int right) {
  int edges[3] = {width - middle - right, width - right, -1};
  if (edges[0] < 0) edges[0] = 0;
  if (edges[1] < edges[0]) edges[1] = edges[0];
  SendMessageW(hwnd, SB_SETPARTS, 3, reinterpret_cast<LPARAM>(edges));
}

void CStatusBar::SetText(int pane, const wchar_t* text) {
  SendMessageW(hwnd, SB_SETTEXTW, static_cast<WPARAM>(pane), reinterpret_cast<LPARAM>(text));
  UpdateWindow(hwnd);
}
