#include "ui/XHyperLink.h"

#include <commctrl.h>

#include "ui/Framework.h"
#include "ui/LinkRules.h"
#include "ui/WebPage.h"

namespace {

// Where the control finds its object again.
constexpr const wchar_t* LinkProperty = L"CXHyperLink";
// The hand of old systems, in the help viewer.
constexpr WORD HelpViewerHandCursor = 106;

}  // namespace

CXHyperLink::CXHyperLink() = default;

CXHyperLink::~CXHyperLink() {
  if (hwnd != nullptr && IsWindow(hwnd)) {
    // The window outlives the object only when its dialog is still up: let
    // the static control carry on alone.
    KillTimer(hwnd, hoverTimerId);
    SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(staticProc));
    RemovePropW(hwnd, LinkProperty);
    RemovePropW(hwnd, ReflectProperty);
    SendMessageW(hwnd, WM_SETFONT, 0, FALSE);
  }
  if (tooltip != nullptr && IsWindow(tooltip)) DestroyWindow(tooltip);
  if (cursorOwned && linkCursor != nullptr) DestroyCursor(linkCursor);
  if (underlineFont != nullptr) DeleteObject(underlineFont);
  if (normalFont != nullptr) DeleteObject(normalFont);
  if (backgroundBrush != nullptr) DeleteObject(backgroundBrush);
}

bool CXHyperLink::Attach(HWND control) {
  if (control == nullptr || hwnd != nullptr) return false;
  hwnd = control;
  SetPropW(hwnd, LinkProperty, this);
  SetPropW(hwnd, ReflectProperty, this);
  staticProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CXHyperLink::WindowProc)));

  // Clicks reach the parent only with SS_NOTIFY.
  SetWindowLongPtrW(hwnd, GWL_STYLE, GetWindowLongPtrW(hwnd, GWL_STYLE) | SS_NOTIFY);
  const std::wstring text = WindowText(hwnd);
  if (url.empty()) url = text;
  if (text.empty()) SetLinkText(url);
  LoadFonts();
  FitToText();
  if (linkCursor == nullptr) LoadLinkCursor();
  SetUnderlineMode(-1);
  if (tooltipEnabled) CreateTooltip();
  return true;
}

void CXHyperLink::LoadFonts() {
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(hwnd, WM_GETFONT, 0, 0));
  if (font == nullptr) font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  if (font == nullptr) font = static_cast<HFONT>(GetStockObject(ANSI_VAR_FONT));
  LOGFONTW description{};
  if (font == nullptr || GetObjectW(font, sizeof description, &description) == 0) return;
  normalFont = CreateFontIndirectW(&description);
  description.lfUnderline = TRUE;
  underlineFont = CreateFontIndirectW(&description);
}

void CXHyperLink::LoadLinkCursor() {
  linkCursor = LoadCursorW(nullptr, IDC_HAND);
  if (linkCursor != nullptr) return;
  wchar_t folder[MAX_PATH] = L"";
  const UINT length = GetWindowsDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  const std::wstring viewer = std::wstring(folder) + L"\\winhlp32.exe";
  HMODULE module = LoadLibraryW(viewer.c_str());
  if (module == nullptr) return;
  HCURSOR hand = LoadCursorW(module, MAKEINTRESOURCEW(HelpViewerHandCursor));
  // A copy outlives the library; it is ours to destroy.
  if (hand != nullptr) {
    linkCursor = CopyIcon(hand);
    cursorOwned = linkCursor != nullptr;
  }
  FreeLibrary(module);
}

void CXHyperLink::CreateTooltip() {
  tooltip = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                            CW_USEDEFAULT, CW_USEDEFAULT, hwnd, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (tooltip == nullptr) return;
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = hwnd;
  tool.uId = 1;
  GetClientRect(hwnd, &tool.rect);
  tool.lpszText = const_cast<wchar_t*>(url.c_str());
  SendMessageW(tooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

void CXHyperLink::FitToText() {
  if (hwnd == nullptr || !autoFit) return;
  HWND parent = GetParent(hwnd);
  RECT window{}, client{};
  GetWindowRect(hwnd, &window);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&window), 2);
  GetClientRect(hwnd, &client);
  const std::wstring text = WindowText(hwnd);
  SIZE extent{};
  HDC dc = GetDC(hwnd);
  HGDIOBJ previous = underlineFont != nullptr ? SelectObject(dc, underlineFont) : nullptr;
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
  if (previous != nullptr) SelectObject(dc, previous);
  ReleaseDC(hwnd, dc);
  // An empty text still measures a line high; it shows nothing, so no width.
  if (text.empty()) extent.cx = 0;
  const LONG style = static_cast<LONG>(GetWindowLongPtrW(hwnd, GWL_STYLE));
  const LinkRect fitted =
      FitLinkToText({window.left, window.top, window.right, window.bottom}, client.right, client.bottom, extent.cx,
                    extent.cy, (style & SS_CENTERIMAGE) != 0, (style & SS_CENTER) != 0, (style & SS_RIGHT) != 0);
  SetWindowPos(hwnd, nullptr, fitted.left, fitted.top, fitted.right - fitted.left, fitted.bottom - fitted.top,
               SWP_NOZORDER);
}

void CXHyperLink::SetLinkText(const std::wstring& text) {
  if (hwnd == nullptr) return;
  // Emptied and painted first, so that a shorter text leaves nothing behind.
  SetWindowTextW(hwnd, L"");
  RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
  SetWindowTextW(hwnd, text.c_str());
  FitToText();
}

void CXHyperLink::Redraw() {
  if (hwnd != nullptr) InvalidateRect(hwnd, nullptr, TRUE);
}

void CXHyperLink::MarkVisited(bool visited) {
  isVisited = visited;
  Redraw();
}

void CXHyperLink::EnableAutoFit(bool fit) {
  autoFit = fit;
  FitToText();
  Redraw();
}

void CXHyperLink::SwitchFont(HFONT font) {
  if (hwnd != nullptr && font != nullptr) SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

void CXHyperLink::SetUnderlineMode(int mode) {
  if (mode == underlineMode) return;
  SwitchFont(mode == 1 ? underlineFont : normalFont);
  underlineMode = mode;
  Redraw();
}

void CXHyperLink::SetLinkColors(COLORREF link, COLORREF visited, COLORREF hover) {
  linkColor = link;
  visitedColor = visited;
  hoverColor = hover;
  Redraw();
}

void CXHyperLink::EnableTooltip(bool enable) {
  tooltipEnabled = enable;
  if (tooltip != nullptr) SendMessageW(tooltip, TTM_ACTIVATE, enable ? TRUE : FALSE, 0);
}

LRESULT CALLBACK CXHyperLink::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = static_cast<CXHyperLink*>(GetPropW(window, LinkProperty));
  if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  return self->OnMessage(message, wParam, lParam);
}

LRESULT CXHyperLink::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  // Every message goes by the tooltip first; it takes the mouse's.
  if (tooltip != nullptr && message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) {
    MSG relayed{hwnd, message, wParam, lParam, static_cast<DWORD>(GetMessageTime()), {}};
    const DWORD position = GetMessagePos();
    relayed.pt = {static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))};
    SendMessageW(tooltip, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&relayed));
  }
  switch (message) {
    case OCM_CTLCOLORSTATIC: return OnCtlColor(reinterpret_cast<HDC>(wParam));
    case WM_SETCURSOR:
      if (linkCursor == nullptr) break;
      SetCursor(linkCursor);
      return TRUE;
    case WM_MOUSEMOVE: OnMouseMove(); break;
    case WM_TIMER: OnTimer(); break;
    case OCM_COMMAND:
      if (HIWORD(wParam) != STN_CLICKED) return 0;
      OnClicked();
      return 1;
    case WM_ERASEBKGND: OnEraseBackground(reinterpret_cast<HDC>(wParam)); return TRUE;
    case WM_DESTROY: KillTimer(hwnd, hoverTimerId); break;
    case WM_NCDESTROY: {
      // The window goes before the object: give the control back its own
      // procedure and forget the window.
      const WNDPROC own = staticProc;
      HWND window = hwnd;
      SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(own));
      RemovePropW(window, LinkProperty);
      RemovePropW(window, ReflectProperty);
      hwnd = nullptr;
      tooltip = nullptr;  // owned by the control's window, gone with it
      return CallWindowProcW(own, window, message, wParam, lParam);
    }
    default: break;
  }
  return CallWindowProcW(staticProc, hwnd, message, wParam, lParam);
}

LRESULT CXHyperLink::OnCtlColor(HDC dc) {
  SetTextColor(dc, isHovering ? hoverColor : isVisited ? visitedColor : linkColor);
  SetBkMode(dc, TRANSPARENT);
  if (backgroundBrush != nullptr) {
    SetBkColor(dc, backgroundColor);
    return reinterpret_cast<LRESULT>(backgroundBrush);
  }
  return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
}

void CXHyperLink::OnMouseMove() {
  if (isHovering) return;
  isHovering = true;
  if (underlineMode == -1) SwitchFont(underlineFont);
  Redraw();
  SetTimer(hwnd, hoverTimerId, 100, nullptr);
}

void CXHyperLink::OnTimer() {
  const DWORD position = GetMessagePos();
  POINT cursor{static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))};
  ScreenToClient(hwnd, &cursor);
  RECT client{};
  GetClientRect(hwnd, &client);
  if (PtInRect(&client, cursor)) return;
  isHovering = false;
  KillTimer(hwnd, hoverTimerId);
  if (underlineMode != 1) SwitchFont(normalFont);
  client.bottom += 10;
  InvalidateRect(hwnd, &client, TRUE);
}

void CXHyperLink::OnClicked() {
  isHovering = false;
  const bool opened = openOnClick ? OpenUrl(url, openInNewWindow) : true;
  if (opened) {
    MarkVisited(true);
  } else {
    MessageBeep(MB_ICONEXCLAMATION);
  }
  HWND parent = GetParent(hwnd);
  if (notifyParent && parent != nullptr) {
    SendMessageW(parent, WM_XHYPERLINK_CLICKED, static_cast<WPARAM>(GetDlgCtrlID(hwnd)), 0);
  }
}

void CXHyperLink::OnEraseBackground(HDC dc) {
  RECT client{};
  GetClientRect(hwnd, &client);
  if (backgroundColor == static_cast<COLORREF>(-1)) {
    FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
    return;
  }
  HBRUSH brush = CreateSolidBrush(backgroundColor);
  FillRect(dc, &client, brush);
  DeleteObject(brush);
}
