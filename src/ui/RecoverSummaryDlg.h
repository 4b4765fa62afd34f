// CRecoverSummaryDlg: the end of a recovery that did not bring every file
// back: what was recovered, and every file that failed with its reason, in
// a list that scrolls however many there are.
#pragma once

#include <string>

#include "ui/Framework.h"

class CRecoverSummaryDlg : public CDialogBase {
 public:
  // `failures`: one line per file, lines ending in CR LF.
  CRecoverSummaryDlg(HWND owner, std::wstring summary, std::wstring failures);

 protected:
  BOOL OnInitDialog() override;

 private:
  std::wstring summary;
  std::wstring failures;
};
