// Chooses a decoder by file-name extension.
#pragma once

#include "image/FCImageHandleBase.h"

// Image types; the number is what ImageTypeFromName returns.
namespace imagetype {
constexpr int Unknown = 0;
constexpr int Bmp = 1;
constexpr int Pcx = 2;
constexpr int Jpeg = 3;
constexpr int Gif = 4;
constexpr int Tga = 5;
constexpr int Tiff = 6;
constexpr int Png = 7;
constexpr int Psd = 8;
constexpr int Icon = 9;
constexpr int Xpm = 10;
constexpr int Oxo = 11;  // the image library's own format; no decoder
}  // namespace imagetype

class FCImageHandleFactory {
 public:
  // The type for the text after the last '.' of `name`, compared without
  // regard to ASCII case; Unknown for a null name, no '.', or an extension
  // not in the table.
  virtual int ImageTypeFromName(const char* name) const;
  // A new decoder owned by the caller, or null when the type has none.
  virtual FCImageHandleBase* CreateHandler(int imageType) const = 0;
  virtual ~FCImageHandleFactory() = default;

 protected:
  // The program's own decoders: BMP and TGA; null for any other type.
  static FCImageHandleBase* CreateOwnHandler(int imageType);
};

// BMP and TGA only: the factory where GDI+ is not at hand.
class FCImageHandleFactory_Portable : public FCImageHandleFactory {
 public:
  FCImageHandleBase* CreateHandler(int imageType) const override { return CreateOwnHandler(imageType); }
};
