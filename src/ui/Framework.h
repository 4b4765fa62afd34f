// The thin framework under the windows: an application object, a dialog base
// that binds `this` and dispatches messages to members, command states for
// popup menus, and control wrappers that are no more than a window handle
// and the commctrl macros.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>

// Shows the system's message for `code` (the platform's text: neutral
// language, default sub-language) in an error box owned by `owner`.
void ShowErrorBox(HWND owner, DWORD code, const wchar_t* caption);

// The text of a window, whole.
std::wstring WindowText(HWND window);

// A control carrying this window property takes its own colouring and
// notifications: the dialog sends WM_CTLCOLORSTATIC and WM_COMMAND back to
// it as OCM_CTLCOLORSTATIC and OCM_COMMAND. A non-zero answer is used.
constexpr const wchar_t* ReflectProperty = L"PelmoraReflect";
#ifndef OCM__BASE
#define OCM__BASE (WM_USER + 0x1C00)
#define OCM_COMMAND (OCM__BASE + WM_COMMAND)
#define OCM_CTLCOLORSTATIC (OCM__BASE + WM_CTLCOLORSTATIC)
#endif

class CDialogBase {
 public:
  CDialogBase(UINT templateId, HWND parent);
  virtual ~CDialogBase();
  CDialogBase(const CDialogBase&) = delete;
  CDialogBase& operator=(const CDialogBase&) = delete;

  // Runs the dialog modally; returns the result it ended with.
  INT_PTR DoModal();
  // Creates the dialog modeless (hidden unless its template says visible).
  HWND CreateModeless();
  HWND Handle() const { return hwnd; }
  HWND Item(int id) const { return GetDlgItem(hwnd, id); }
  void SetOwner(HWND owner) { parent = owner; }

 protected:
  // TRUE lets the dialog manager give the focus to the first control.
  virtual BOOL OnInitDialog() { return TRUE; }
  // True when the command was handled.
  virtual bool OnCommand(UINT id, UINT notifyCode, HWND control);
  virtual bool OnNotify(NMHDR* header, LRESULT* result);
  // Everything else; set *handled when the message was taken.
  virtual INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool* handled);
  virtual void OnOK() { EndDialog(hwnd, IDOK); }
  virtual void OnCancel() { EndDialog(hwnd, IDCANCEL); }

  HWND hwnd = nullptr;
  HWND parent;

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static INT_PTR Dispatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  UINT templateId;
};

// A dialog with a menu bar and popup menus whose items get their state when
// a popup opens: an item with an enabling rule takes it, any other item is
// enabled when the window handles its command. Items can show 16 x 16
// pictures taken from the toolbar's.
class CNewDialog : public CDialogBase {
 public:
  using CDialogBase::CDialogBase;
  ~CNewDialog() override;

 protected:
  // True when `command` has an enabling rule; its state goes to *enabled.
  virtual bool CommandRule(UINT command, bool* enabled) const = 0;
  virtual bool HandlesCommand(UINT command) const = 0;

  // Cuts the toolbar strip into 16 x 16 menu pictures, one per command.
  void LoadMenuPictures(HINSTANCE instance, UINT bitmapId, const UINT* commands, int count);
  // Puts the pictures beside the items of the same commands, in every popup.
  void AttachPictures(HMENU menu) const;
  // Gives every item of `popup` its state.
  void UpdatePopup(HMENU popup) const;

  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool* handled) override;

 private:
  struct Picture {
    UINT command;
    HBITMAP bitmap;
  };
  Picture pictures[8] = {};
  int pictureCount = 0;
};

class CTreeCtrl {
 public:
  void Attach(HWND window) { hwnd = window; }
  HWND Handle() const { return hwnd; }
  HTREEITEM InsertItem(const wchar_t* text, HTREEITEM parent, LPARAM data);
  HTREEITEM Selection() const { return TreeView_GetSelection(hwnd); }
  std::wstring Text(HTREEITEM item) const;
  LPARAM Data(HTREEITEM item) const;

 private:
  HWND hwnd = nullptr;
};

class CListCtrl {
 public:
  void Attach(HWND window) { hwnd = window; }
  HWND Handle() const { return hwnd; }
  void InsertColumn(int index, const wchar_t* heading, int format, int width);
  int Count() const { return ListView_GetItemCount(hwnd); }
  int InsertItem(int index, const wchar_t* text, LPARAM data);
  void SetText(int item, int column, const wchar_t* text);
  std::wstring Text(int item, int column) const;

 private:
  HWND hwnd = nullptr;
};

class CStatusBar {
 public:
  bool Create(HWND parent, UINT id);
  HWND Handle() const { return hwnd; }
  // Pane 0 stretches; the others keep these widths, from the right.
  void SetPanes(int width, int middle, int right);
  void SetText(int pane, const wchar_t* text);

 private:
  HWND hwnd = nullptr;
};
