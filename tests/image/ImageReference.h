// Reference pictures made at test time by ImageMagick's convert, and the
// decoded image expanded to the same RGBA bytes for a pixel-exact compare.
#pragma once

#include <string>

#include "image/FCObjImage.h"
#include "support/RecordBuilder.h"
#include "support/TestVolumes.h"

// A 37 x 23 picture whose red follows x, green y and blue a pattern of both:
// every row and column differs, and odd widths need row padding.
extern const char* const TestPattern;

struct Reference {
  Bytes file;  // as convert wrote it
  Bytes rgba;  // convert's own decoding, top row first, 4 bytes per pixel
};

// Runs `convert <options> <format>:<file>` in `dir`, then reads the file back
// through convert. Fails the test when convert does.
Reference MakeReference(const TempDir& dir, const std::string& options, const std::string& format);

// The image as RGBA, top row first: palette entries and 16-bit masks
// expanded (the fields' bits repeated to fill 8), alpha 255 below 32 bits.
Bytes ExpandRgba(const FCObjImage& image);

// Red, green and blue cut to their top `bits` bits, alpha as it is: the
// precision a file of 5-bit fields holds, whatever a reader widens them to.
Bytes TopBits(Bytes rgba, int bits);

// Alpha bytes set to 255, for pictures whose alpha the image does not keep.
Bytes Opaque(Bytes rgba);

// A 24-bit 3 x 2 BMP with a 40-byte header, pixels right after it; each
// pixel byte holds its own offset in the file.
Bytes SmallBmp();
