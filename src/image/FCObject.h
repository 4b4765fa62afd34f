// Roots of the image classes: a polymorphic base, and a graphic object
// with a position (zero for decoded images, copied with them).
#pragma once

#include <cstdint>

class FCObject {
 public:
  virtual ~FCObject() = default;
};

class FCObjGraph : public FCObject {
 public:
  std::int32_t PositionX() const { return positionX; }
  std::int32_t PositionY() const { return positionY; }
  void SetPosition(std::int32_t x, std::int32_t y) {
    positionX = x;
    positionY = y;
  }

 private:
  std::int32_t positionX = 0;
  std::int32_t positionY = 0;
};
