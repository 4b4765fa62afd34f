// CImageDlg: the modeless image preview. It decodes the file's bytes anew
// on every paint and closes itself when they do not decode.
#pragma once

#include <cstdint>

#include "ui/Framework.h"

class CImageDlg : public CDialogBase {
 public:
  explicit CImageDlg(HWND owner);
  ~CImageDlg() override;

  // Creates the window, modeless and shown; the bytes are not owned and
  // must outlive it.
  bool Create();
  // Destroys the window if there is one.
  void Destroy();

  const std::uint8_t* imageData = nullptr;
  std::uint32_t imageSize = 0;
  int imageType = 0;  // imagetype:: of the file's name: it chooses the decoder

 protected:
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool* handled) override;
  void OnOK() override { ShowWindow(hwnd, SW_HIDE); }
  void OnCancel() override { ShowWindow(hwnd, SW_HIDE); }

 private:
  void Paint();
};
