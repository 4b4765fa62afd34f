// The decoded image: a device-independent bitmap (header, pixel block, row
// table, colour masks, palette), ready for GDI to draw.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/FCObject.h"
#include "image/ImageLayout.h"

class FCImageHandleFactory;

#ifdef _WIN32
// The two Windows types the drawing takes, declared as <windows.h> does.
struct HDC__;
typedef HDC__* HDC;
struct tagRECT;
#endif

// Where an image of w x h lands in an area of areaW x areaH: at its own
// size and centred when it fits, otherwise scaled down uniformly to fit and
// centred. Never enlarged; never narrower or lower than 1. The offsets are
// from the area's top left corner.
struct FCFitted {
  std::int32_t left;
  std::int32_t top;
  std::int32_t width;
  std::int32_t height;
};
FCFitted FitRect(std::int32_t w, std::int32_t h, std::int32_t areaW, std::int32_t areaH);

class FCObjImage : public FCObjGraph {
 public:
  FCObjImage() = default;
  ~FCObjImage() override;
  FCObjImage(const FCObjImage&) = delete;
  FCObjImage& operator=(const FCObjImage&) = delete;

  // Makes this an image of the header's size and depth, pixels zeroed,
  // palette (8 bits or fewer) a grey ramp. For 16 bits with BiBitfields,
  // `masks` gives red, green and blue; otherwise the masks are 5-5-5.
  // Returns false, leaving the image empty, for a size <= 0, a compression
  // other than BiRgb/BiBitfields, an unknown depth, a block above
  // dib::MaxPixelBlock, or memory that cannot be had.
  bool Create(const FCBitmapInfoHeader& source, const std::uint32_t* masks = nullptr);
  bool Create(std::int32_t width, std::int32_t height, std::uint16_t bitCount);
  void Destroy();

  // Sets palette entries [first, first + count) that exist; others are ignored.
  void SetColorTable(std::uint32_t first, std::uint32_t count, const FCRgbQuad* entries);

  // Makes this a copy of `source` (header, masks, pixels, palette, position).
  // Returns false when the source is empty or is this image, or when memory
  // runs out (this image is then empty).
  bool CopyFrom(const FCObjImage& source);

  // Exchanges the whole content with `other`.
  void Swap(FCObjImage& other);

  // Decodes the bytes with the factory's decoder for `imageType` and keeps
  // the first frame. Returns false, leaving the image empty, when there is
  // no decoder or the bytes do not decode.
  bool LoadFromMemory(const std::uint8_t* bytes, std::uint32_t size, int imageType,
                      FCImageHandleFactory& factory);

  bool IsValid() const { return pixels != nullptr; }
  std::int32_t Width() const { return header.width; }
  std::int32_t Height() const { return header.height; }
  std::uint16_t ColorBits() const { return header.bitCount; }
  std::uint32_t Stride() const { return stride; }
  const FCBitmapInfoHeader& Header() const { return header; }
  // Red, green, blue; meaningful for 16 bits only.
  const std::uint32_t* Masks() const { return masks; }
  // Null above 8 bits; otherwise 2^bits entries.
  const FCRgbQuad* Palette() const { return palette; }
  std::uint32_t PaletteSize() const { return palette ? 1u << header.bitCount : 0; }
  // Row `y` counted from the top, Stride() bytes; null outside the image.
  std::uint8_t* Row(std::int32_t y) const;
  // The pixel block, bottom row first.
  const std::uint8_t* Bits() const { return pixels; }

#ifdef _WIN32
  // Decodes with the shared GDI+ factory (Windows only).
  bool LoadFromMemory(const std::uint8_t* bytes, std::uint32_t size, int imageType);
  // Draws the image fitted into `target` (FitRect); nothing when empty.
  void DrawFitted(HDC dc, const tagRECT& target) const;
  // Draws `source` (image coordinates, top-down) stretched into `target`.
  void Draw(HDC dc, const tagRECT& source, const tagRECT& target) const;
#endif

 private:
  FCBitmapInfoHeader header;
  std::uint8_t* pixels = nullptr;  // AllocatePages, blockSize bytes
  std::size_t blockSize = 0;
  std::uint32_t stride = 0;
  std::uint32_t masks[3] = {0, 0, 0};
  FCRgbQuad* palette = nullptr;
};
