#include "image/FCImageHandleFactory_Gdiplus.h"

#include <new>

#include "image/FCImageHandle_Gdiplus.h"

FCImageHandleBase* FCImageHandleFactory_Gdiplus::CreateHandler(int imageType) const {
  switch (imageType) {
    case imagetype::Jpeg:
    case imagetype::Gif:
    case imagetype::Tiff:
    case imagetype::Png:
    case imagetype::Icon:
      return new (std::nothrow) FCImageHandle_Gdiplus;
    default:
      return CreateOwnHandler(imageType);
  }
}

FCImageHandleFactory_Gdiplus& FCImageHandleFactory_Gdiplus::Shared() {
  static FCImageHandleFactory_Gdiplus factory;
  return factory;
}
