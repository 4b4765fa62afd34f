// BMP reader: uncompressed bottom-up files with a 40-byte or longer info
// header, 1 to 32 bits per pixel.
#pragma once

#include "image/FCImageHandleBase.h"

class FCImageHandle_Bmp : public FCImageHandleBase {
 public:
  // One frame. Fails on a missing or foreign file header, a pixel offset at
  // or past the end, an info header or colour masks past the end, and a
  // header the image refuses (top-down, run-length coded, absurd size).
  // Short pixel data decode partly: the missing rows stay zero. Palette
  // entries past the end keep the grey ramp.
  bool LoadImageMemory(const std::uint8_t* bytes, std::uint32_t size, FCFrameList& frames,
                       FCPropertyBag& properties) override;
};
