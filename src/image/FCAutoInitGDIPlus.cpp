#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include "image/FCAutoInitGDIPlus.h"

FCAutoInitGDIPlus::FCAutoInitGDIPlus() {
  Gdiplus::GdiplusStartupInput input;  // version 1, no debug callback, background thread and codecs kept
  ULONG_PTR startToken = 0;
  started = Gdiplus::GdiplusStartup(&startToken, &input, nullptr) == Gdiplus::Ok;
  token = startToken;
}

FCAutoInitGDIPlus::~FCAutoInitGDIPlus() {
  if (started) Gdiplus::GdiplusShutdown(token);
}
