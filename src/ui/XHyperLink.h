// CXHyperLink: a static text control turned into a link. It draws its text
// in link colours, underlines it, shows a hand over it, and on a click opens
// its target with OpenUrl.
#pragma once

#include <windows.h>

#include <string>

// Sent to the parent after a click when the link notifies it: wParam the
// control's id, lParam 0. Registered while the program starts.
extern const UINT WM_XHYPERLINK_CLICKED;

class CXHyperLink {
 public:
  CXHyperLink();
  virtual ~CXHyperLink();
  CXHyperLink(const CXHyperLink&) = delete;
  CXHyperLink& operator=(const CXHyperLink&) = delete;

  // The attach step: takes over the static control `control` (its clicks
  // notified, its font copied plain and underlined, sized to its text, the
  // hand cursor, the tooltip). The target is the window text unless one was
  // set; an empty window text shows the target.
  bool Attach(HWND control);
  HWND Handle() const { return hwnd; }

  void SetURL(const std::wstring& target) { url = target; }
  const std::wstring& URL() const { return url; }
  void SetLinkText(const std::wstring& text);
  void MarkVisited(bool visited = true);
  void EnableAutoFit(bool fit = true);
  // 1 always underlined, 0 never, -1 while the mouse is over the link.
  void SetUnderlineMode(int mode);
  void SetLinkColors(COLORREF link, COLORREF visited, COLORREF hover);
  // Off: no tooltip is made at attaching, and one made already goes quiet.
  void EnableTooltip(bool enable);
  void SetNotifyParent(bool notify) { notifyParent = notify; }
  void SetOpenOnClick(bool open) { openOnClick = open; }
  void SetOpenInNewWindow(bool newWindow) { openInNewWindow = newWindow; }

  bool IsVisited() const { return isVisited; }
  bool IsHovering() const { return isHovering; }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnCtlColor(HDC dc);
  void OnMouseMove();
  void OnTimer();
  void OnClicked();
  void OnEraseBackground(HDC dc);
  void LoadFonts();
  void LoadLinkCursor();
  void CreateTooltip();
  void FitToText();
  void SwitchFont(HFONT font);
  void Redraw();

  COLORREF linkColor = RGB(0, 0, 238);
  COLORREF visitedColor = RGB(85, 26, 139);
  COLORREF hoverColor = RGB(255, 0, 0);
  COLORREF backgroundColor = static_cast<COLORREF>(-1);  // -1: COLOR_BTNFACE
  HBRUSH backgroundBrush = nullptr;                      // owned; none: NULL_BRUSH
  bool isHovering = false;
  bool isVisited = false;
  int underlineMode = -1;
  bool autoFit = true;
  std::wstring url;
  HFONT underlineFont = nullptr;  // owned
  HFONT normalFont = nullptr;     // owned
  HCURSOR linkCursor = nullptr;
  HWND tooltip = nullptr;         // owned
  UINT hoverTimerId = 100;
  bool openOnClick = true;
  bool notifyParent = false;
  bool tooltipEnabled = true;
  bool openInNewWindow = false;

  HWND hwnd = nullptr;
  WNDPROC staticProc = nullptr;   // the static control's own procedure
  bool cursorOwned = false;       // a copy from winhlp32.exe, not the shared hand
};
