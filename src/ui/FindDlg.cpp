#include "ui/FindDlg.h"

#include "ui/resource.h"

CFindDlg::CFindDlg(HWND owner) : CDialogBase(IDD_FIND, owner) {}

BOOL CFindDlg::OnInitDialog() {
  SetDlgItemTextW(hwnd, IDC_FIND_TEXT, text.c_str());
  SetFocus(Item(IDC_FIND_TEXT));
  return FALSE;  // the focus is placed
}

void CFindDlg::OnOK() {
  text = WindowText(Item(IDC_FIND_TEXT));
  EndDialog(hwnd, IDOK);
}
