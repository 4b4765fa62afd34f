#include "ui/ImageDlg.h"

#include "image/FCObjImage.h"
#include "ui/resource.h"

CImageDlg::CImageDlg(HWND owner) : CDialogBase(IDD_IMAGE, owner) {}

CImageDlg::~CImageDlg() { Destroy(); }

bool CImageDlg::Create() {
  Destroy();
  if (CreateModeless() == nullptr) return false;
  ShowWindow(hwnd, SW_SHOWNORMAL);
  return true;
}

void CImageDlg::Destroy() {
  if (hwnd != nullptr && IsWindow(hwnd)) DestroyWindow(hwnd);
  hwnd = nullptr;
}

INT_PTR CImageDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool* handled) {
  if (message == WM_PAINT) {
    Paint();
    *handled = true;
    return 0;
  }
  // No dialog-message translation runs for a modeless window inside the main
  // window's modal loop, so Escape and Enter are taken here.
  if (message == WM_KEYDOWN && (wParam == VK_ESCAPE || wParam == VK_RETURN)) {
    ShowWindow(hwnd, SW_HIDE);
    *handled = true;
    return 0;
  }
  if (message == WM_NCDESTROY) hwnd = nullptr;
  return CDialogBase::OnMessage(message, wParam, lParam, handled);
}

void CImageDlg::Paint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd, &paint);
  FCObjImage image;
  if (!image.LoadFromMemory(imageData, imageSize, imageType)) {
    EndPaint(hwnd, &paint);
    DestroyWindow(hwnd);  // a file that does not decode closes the preview
    return;
  }
  RECT client{};
  GetClientRect(hwnd, &client);
  image.DrawFitted(dc, client);
  EndPaint(hwnd, &paint);
}
