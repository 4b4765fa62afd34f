// The program's decoder factory (Windows only): BMP and TGA by the
// program's own readers, JPEG, GIF, TIFF, PNG and ICO through GDI+.
#pragma once

#include "image/FCAutoInitGDIPlus.h"
#include "image/FCImageHandleFactory.h"

class FCImageHandleFactory_Gdiplus : public FCImageHandleFactory, public FCAutoInitGDIPlus {
 public:
  FCImageHandleBase* CreateHandler(int imageType) const override;

  // The one factory, made on the first call (starting GDI+) and destroyed
  // at process exit. User-interface thread only.
  static FCImageHandleFactory_Gdiplus& Shared();
};
