#include "ui/RecoverSummaryDlg.h"

#include <utility>

#include "ui/resource.h"

CRecoverSummaryDlg::CRecoverSummaryDlg(HWND owner, std::wstring summary, std::wstring failures)
    : CDialogBase(IDD_RECOVER_SUMMARY, owner), summary(std::move(summary)), failures(std::move(failures)) {}

BOOL CRecoverSummaryDlg::OnInitDialog() {
  SetDlgItemTextW(hwnd, IDC_SUMMARY_TEXT, summary.c_str());
  const HWND list = Item(IDC_SUMMARY_FAILURES);
  // An edit control holds 32,767 characters unless told otherwise.
  SendMessageW(list, EM_SETLIMITTEXT, failures.size() + 1, 0);
  SetWindowTextW(list, failures.c_str());
  if (failures.empty()) ShowWindow(list, SW_HIDE);
  return TRUE;
}
