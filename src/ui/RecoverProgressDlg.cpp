#include "ui/RecoverProgressDlg.h"

#include "ui/WindowRules.h"
#include "ui/resource.h"

namespace {

void SetText(HWND control, const std::u16string& text) {
  SetWindowTextW(control, reinterpret_cast<const wchar_t*>(text.c_str()));
}

}  // namespace

CRecoverProgressDlg::CRecoverProgressDlg() : CDialogBase(IDD_RECOVER_PROGRESS, nullptr) {}

CRecoverProgressDlg::~CRecoverProgressDlg() { Destroy(); }

bool CRecoverProgressDlg::Open(HWND owner, CWorkerThread* stoppable) {
  Destroy();
  worker = stoppable;
  cancelling = false;
  SetOwner(owner);
  if (CreateModeless() == nullptr) return false;
  ShowWindow(hwnd, SW_SHOWNORMAL);
  return true;
}

void CRecoverProgressDlg::Destroy() {
  if (hwnd != nullptr && IsWindow(hwnd)) DestroyWindow(hwnd);
  hwnd = nullptr;
}

BOOL CRecoverProgressDlg::OnInitDialog() {
  SendDlgItemMessageW(hwnd, IDC_PROGRESS_BAR, PBM_SETRANGE32, 0, ProgressSteps);
  return TRUE;
}

void CRecoverProgressDlg::Show(const std::u16string& file, const std::u16string& bytes,
                               const std::u16string& timeLeft, int position) {
  if (hwnd == nullptr) return;
  SetText(Item(IDC_PROGRESS_FILE), file);
  SetText(Item(IDC_PROGRESS_BYTES), bytes);
  SetText(Item(IDC_PROGRESS_TIME), cancelling ? u"Cancelling..." : timeLeft);
  SendDlgItemMessageW(hwnd, IDC_PROGRESS_BAR, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

INT_PTR CRecoverProgressDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool* handled) {
  if (message == WM_NCDESTROY) hwnd = nullptr;
  return CDialogBase::OnMessage(message, wParam, lParam, handled);
}

// The window goes when the worker has stopped, after its file is removed.
void CRecoverProgressDlg::OnCancel() { Cancel(); }

void CRecoverProgressDlg::Cancel() {
  if (worker != nullptr) worker->RequestStop();
  if (hwnd == nullptr || cancelling) return;
  cancelling = true;
  EnableWindow(Item(IDCANCEL), FALSE);
  SetText(Item(IDC_PROGRESS_TIME), u"Cancelling...");
  UpdateWindow(hwnd);
}
