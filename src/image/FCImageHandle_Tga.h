// TGA reader: colour-mapped, true-colour and grey images, uncompressed or
// run-length coded, stored bottom-up or top-down, 8/15/16/24/32 bits.
#pragma once

#include "image/FCImageHandleBase.h"

class FCImageHandle_Tga : public FCImageHandleBase {
 public:
  // One frame, and property::RunLengthCoded in the bag. Fails on a header,
  // image ID or colour map past the end, 15/16-bit colour-map entries, a
  // colour map beyond entry 255, an image type or depth it does not read,
  // no pixel data at all, and a size the image refuses. Short pixel data
  // decode partly: what is there is kept, the rest stays zero. A
  // run-length packet that runs past the end of a row carries on into the
  // next row; past the last row it is dropped.
  bool LoadImageMemory(const std::uint8_t* bytes, std::uint32_t size, FCFrameList& frames,
                       FCPropertyBag& properties) override;
};
