// Keeps GDI+ started for the owner's lifetime (Windows only). Start-ups
// nest: each object pairs its own start-up with its own shut-down.
#pragma once

#include <cstdint>

class FCAutoInitGDIPlus {
 public:
  FCAutoInitGDIPlus();
  virtual ~FCAutoInitGDIPlus();
  FCAutoInitGDIPlus(const FCAutoInitGDIPlus&) = delete;
  FCAutoInitGDIPlus& operator=(const FCAutoInitGDIPlus&) = delete;

  bool GdiplusStarted() const { return started; }

 private:
  std::uintptr_t token = 0;  // GdiplusStartup's token
  bool started = false;
};
