// CUndeleteApp: the program. Builds the main window, runs it modally and
// ends when it ends; there is no other message loop.
#include <windows.h>
#include <commctrl.h>
#include <ole2.h>

#include "ui/UndeleteDlg.h"
#include "ui/XHyperLink.h"

class CUndeleteApp {
 public:
  // The start operation: returns false, so that no message loop follows.
  bool InitInstance() {
    CUndeleteDlg dialog;
    dialog.DoModal();
    return false;
  }
};

namespace {

CUndeleteApp theApp;

}  // namespace

// Registered while the program starts, for the hyperlink controls.
const UINT WM_XHYPERLINK_CLICKED = RegisterWindowMessageW(L"WM_XHYPERLINK_CLICKED");

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Drives without media answer the volume lookup with an error, not a box.
  SetErrorMode(SEM_FAILCRITICALERRORS);
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TREEVIEW_CLASSES | ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  // The folder browser's new style needs OLE on this thread.
  OleInitialize(nullptr);
  theApp.InitInstance();
  OleUninitialize();
  return 0;
}
