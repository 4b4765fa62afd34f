// Hands JPEG, GIF, TIFF, PNG and ICO files to GDI+ (Windows only).
#pragma once

#include "image/FCAutoInitGDIPlus.h"
#include "image/FCImageHandleBase.h"

class FCImageHandle_Gdiplus : public FCImageHandleBase, public FCAutoInitGDIPlus {
 public:
  // One frame per frame of the file, in frame-dimension order; frames in a
  // pixel format without a DIB layout (16-bit grey, 48 and 64 bits) are
  // dropped, and so are frames once the list holds dib::MaxPixelBlock bytes
  // of pixels. The file's property items go into the bag unchanged.
  // Succeeds when at least one frame was appended.
  bool LoadImageMemory(const std::uint8_t* bytes, std::uint32_t size, FCFrameList& frames,
                       FCPropertyBag& properties) override;
};
