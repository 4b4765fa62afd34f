// CFindDlg: asks for the text that Find looks for in the file names.
#pragma once

#include <string>

#include "ui/Framework.h"

class CFindDlg : public CDialogBase {
 public:
  explicit CFindDlg(HWND owner);

  std::wstring text;  // shown on opening; replaced on OK only

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;
};
