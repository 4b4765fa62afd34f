// The image's Windows side: drawing with StretchDIBits, and decoding with
// the shared GDI+ factory.
#include <windows.h>

#include <cstring>

#include "image/FCImageHandleFactory_Gdiplus.h"
#include "image/FCObjImage.h"

static_assert(sizeof(FCBitmapInfoHeader) == sizeof(BITMAPINFOHEADER), "same layout as BITMAPINFOHEADER");
static_assert(sizeof(FCRgbQuad) == sizeof(RGBQUAD), "same layout as RGBQUAD");

bool FCObjImage::LoadFromMemory(const std::uint8_t* bytes, std::uint32_t size, int imageType) {
  return LoadFromMemory(bytes, size, imageType, FCImageHandleFactory_Gdiplus::Shared());
}

void FCObjImage::DrawFitted(HDC dc, const RECT& target) const {
  if (!IsValid()) return;
  const FCFitted fitted = FitRect(Width(), Height(), target.right - target.left, target.bottom - target.top);
  const RECT whole = {0, 0, Width(), Height()};
  const RECT to = {target.left + fitted.left, target.top + fitted.top, target.left + fitted.left + fitted.width,
                   target.top + fitted.top + fitted.height};
  Draw(dc, whole, to);
}

void FCObjImage::Draw(HDC dc, const RECT& source, const RECT& target) const {
  if (!IsValid()) return;
  // The header, then the palette (256 entries at most) or the three masks.
  struct {
    BITMAPINFOHEADER header;
    RGBQUAD colors[256];
  } info;
  std::memcpy(&info.header, &header, sizeof(info.header));
  if (palette) {
    std::memcpy(info.colors, palette, PaletteSize() * sizeof(RGBQUAD));
  } else {
    std::memcpy(info.colors, masks, sizeof(masks));
  }
  const int previous = SetStretchBltMode(dc, COLORONCOLOR);
  StretchDIBits(dc, target.left, target.top, target.right - target.left, target.bottom - target.top, source.left,
                Height() - source.bottom, source.right - source.left, source.bottom - source.top, pixels,
                reinterpret_cast<const BITMAPINFO*>(&info), DIB_RGB_COLORS, SRCCOPY);
  if (previous) SetStretchBltMode(dc, previous);
}
