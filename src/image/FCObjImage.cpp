#include "image/FCObjImage.h"

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "image/FCImageHandleBase.h"
#include "image/FCImageHandleFactory.h"
#include "platform/Memory.h"

FCFitted FitRect(std::int32_t w, std::int32_t h, std::int32_t areaW, std::int32_t areaH) {
  if (w <= 0 || h <= 0) return FCFitted{0, 0, 0, 0};
  std::int64_t width = w;
  std::int64_t height = h;
  if (w > areaW || h > areaH) {
    // Scale s = min(areaW / w, areaH / h), areaW / w when equal. Worked in
    // exact integers: in floating point w * (areaW / w) can fall just below
    // areaW and lose a pixel to the truncation.
    if (std::int64_t{areaW} * h <= std::int64_t{areaH} * w) {
      width = areaW;
      height = std::int64_t{h} * areaW / w;
    } else {
      height = areaH;
      width = std::int64_t{w} * areaH / h;
    }
    if (width < 1) width = 1;
    if (height < 1) height = 1;
  }
  return FCFitted{static_cast<std::int32_t>((areaW - width) / 2), static_cast<std::int32_t>((areaH - height) / 2),
                  static_cast<std::int32_t>(width), static_cast<std::int32_t>(height)};
}

FCObjImage::~FCObjImage() { Destroy(); }

void FCObjImage::Destroy() {
  if (pixels) FreePages(pixels, blockSize);
  delete[] palette;
  pixels = nullptr;
  blockSize = 0;
  stride = 0;
  palette = nullptr;
  header = FCBitmapInfoHeader();
  masks[0] = masks[1] = masks[2] = 0;
}

bool FCObjImage::Create(std::int32_t width, std::int32_t height, std::uint16_t bitCount) {
  FCBitmapInfoHeader source;
  source.size = dib::InfoHeaderSize;
  source.width = width;
  source.height = height;
  source.planes = 1;
  source.bitCount = bitCount;
  return Create(source);
}

bool FCObjImage::Create(const FCBitmapInfoHeader& source, const std::uint32_t* bitfields) {
  Destroy();
  if (source.width <= 0 || source.height <= 0) return false;
  if (source.compression != dib::BiRgb && source.compression != dib::BiBitfields) return false;
  const std::uint16_t bits = source.bitCount;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return false;

  // Below 2^37 bytes per row; the block size is checked before it is formed.
  const std::uint64_t rowBytes = (std::uint64_t{bits} * static_cast<std::uint32_t>(source.width) + 31) / 32 * 4;
  const std::uint64_t rowCount = static_cast<std::uint32_t>(source.height);
  if (rowBytes > dib::MaxPixelBlock / rowCount) return false;
  const std::size_t block = static_cast<std::size_t>(rowBytes * rowCount);

  pixels = static_cast<std::uint8_t*>(AllocatePages(block));
  if (!pixels) return false;
  blockSize = block;
  stride = static_cast<std::uint32_t>(rowBytes);

  if (bits <= 8) {
    const std::uint32_t entries = 1u << bits;
    palette = new (std::nothrow) FCRgbQuad[entries];
    if (!palette) {
      Destroy();
      return false;
    }
    for (std::uint32_t i = 0; i < entries; ++i) {
      const auto grey = static_cast<std::uint8_t>(255 / (entries - 1) * i);
      palette[i].blue = palette[i].green = palette[i].red = grey;
      palette[i].reserved = 0;
    }
  }

  const bool useBitfields = bits == 16 && source.compression == dib::BiBitfields;
  if (bits == 16) {
    if (useBitfields && bitfields) {
      masks[0] = bitfields[0];
      masks[1] = bitfields[1];
      masks[2] = bitfields[2];
    } else {
      masks[0] = dib::Mask555Red;
      masks[1] = dib::Mask555Green;
      masks[2] = dib::Mask555Blue;
    }
  }
  header.size = dib::InfoHeaderSize;
  header.width = source.width;
  header.height = source.height;
  header.planes = 1;
  header.bitCount = bits;
  header.compression = useBitfields ? dib::BiBitfields : dib::BiRgb;
  header.xPelsPerMeter = source.xPelsPerMeter;
  header.yPelsPerMeter = source.yPelsPerMeter;
  return true;
}

void FCObjImage::SetColorTable(std::uint32_t first, std::uint32_t count, const FCRgbQuad* entries) {
  const std::uint32_t size = PaletteSize();
  for (std::uint32_t i = 0; i < count && first < size && i < size - first; ++i) palette[first + i] = entries[i];
}

bool FCObjImage::CopyFrom(const FCObjImage& source) {
  if (!source.IsValid() || &source == this) return false;
  if (!Create(source.header, source.masks)) return false;
  std::memcpy(pixels, source.pixels, blockSize);
  if (palette) std::memcpy(palette, source.palette, PaletteSize() * sizeof(FCRgbQuad));
  SetPosition(source.PositionX(), source.PositionY());
  return true;
}

void FCObjImage::Swap(FCObjImage& other) {
  std::swap(header, other.header);
  std::swap(pixels, other.pixels);
  std::swap(blockSize, other.blockSize);
  std::swap(stride, other.stride);
  std::swap(masks, other.masks);
  std::swap(palette, other.palette);
  const std::int32_t x = PositionX(), y = PositionY();
  SetPosition(other.PositionX(), other.PositionY());
  other.SetPosition(x, y);
}

std::uint8_t* FCObjImage::Row(std::int32_t y) const {
  if (!pixels || y < 0 || y >= header.height) return nullptr;
  // The block holds the bottom row first. Computed rather than tabled: a
  // table of row pointers would cost as much as a tiny file's pixels.
  return pixels + static_cast<std::size_t>(header.height - 1 - y) * stride;
}

bool FCObjImage::LoadFromMemory(const std::uint8_t* bytes, std::uint32_t size, int imageType,
                                FCImageHandleFactory& factory) {
  Destroy();
  std::unique_ptr<FCImageHandleBase> handler(factory.CreateHandler(imageType));
  if (!handler) return false;
  FCFrameList frames;
  FCPropertyBag properties;
  if (!handler->LoadImageMemory(bytes, size, frames, properties) || frames.Count() == 0) return false;
  // The first frame is taken over whole rather than copied: same result,
  // half the memory.
  Swap(*frames.At(0));
  return true;
}
