// CRecoverProgressDlg: the modeless progress of a recovery running on its
// worker: the file, a bar, the bytes, the time left, and Cancel. The window
// that owns the recovery feeds it texts; it only asks the worker to stop.
#pragma once

#include <string>

#include "ui/Framework.h"
#include "ui/WorkerThread.h"

class CRecoverProgressDlg : public CDialogBase {
 public:
  CRecoverProgressDlg();
  ~CRecoverProgressDlg() override;

  // Creates the window owned by `owner` and shows it; Cancel stops `worker`
  // (not owned, outlives the window). False when it cannot be created.
  bool Open(HWND owner, CWorkerThread* worker);
  // Destroys the window if there is one.
  void Destroy();
  // Shows the state; `position` is in 0..ProgressSteps. After a Cancel the
  // time line says so instead.
  void Show(const std::u16string& file, const std::u16string& bytes, const std::u16string& timeLeft, int position);
  // What Cancel does, and the window shows it at once: the caller may wait
  // for the worker next, with no message loop to paint it.
  void Cancel();

 protected:
  BOOL OnInitDialog() override;
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool* handled) override;
  void OnOK() override {}  // Enter does not end a recovery
  void OnCancel() override;

 private:
  CWorkerThread* worker = nullptr;
  bool cancelling = false;
};
