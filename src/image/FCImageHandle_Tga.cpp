#include "image/FCImageHandle_Tga.h"

#include <cstring>
#include <memory>
#include <new>

#include "util/ByteReader.h"

namespace {

struct TgaHeader {
  std::uint8_t idLength = 0;
  std::uint8_t colorMapType = 0;
  std::uint8_t imageType = 0;
  std::uint16_t colorMapFirst = 0;
  std::uint16_t colorMapLength = 0;
  std::uint8_t colorMapBits = 0;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::uint8_t pixelDepth = 0;
  std::uint8_t descriptor = 0;
};

bool ReadHeader(const ByteReader& in, TgaHeader* h) {
  return in.U8(tga::IdLength, &h->idLength) && in.U8(tga::ColorMapType, &h->colorMapType) &&
         in.U8(tga::ImageType, &h->imageType) && in.U16(tga::ColorMapFirst, &h->colorMapFirst) &&
         in.U16(tga::ColorMapLength, &h->colorMapLength) && in.U8(tga::ColorMapBits, &h->colorMapBits) &&
         in.U16(tga::Width, &h->width) && in.U16(tga::Height, &h->height) &&
         in.U8(tga::PixelDepth, &h->pixelDepth) && in.U8(tga::Descriptor, &h->descriptor);
}

bool IsRunLength(std::uint8_t type) {
  return type == tga::TypeRleColorMapped || type == tga::TypeRleTrueColor || type == tga::TypeRleGrey;
}

bool IsKnownType(std::uint8_t type) {
  return IsRunLength(type) || type == tga::TypeColorMapped || type == tga::TypeTrueColor || type == tga::TypeGrey;
}

// Run-length packets as one stream of pixels, so that a packet may span
// rows. Each call fills one row; false when the input ends first.
class RunLengthReader {
 public:
  RunLengthReader(const std::uint8_t* bytes, std::size_t size, std::size_t start, std::size_t pixelBytes)
      : data(bytes), length(size), at(start), pixel(pixelBytes) {}

  bool FillRow(std::uint8_t* row, std::size_t width) {
    std::size_t x = 0;
    while (x < width) {
      if (left == 0 && !NextPacket()) return false;
      const std::size_t take = left < width - x ? left : width - x;
      if (run) {
        for (std::size_t k = 0; k < take; ++k) std::memcpy(row + (x + k) * pixel, value, pixel);
      } else {
        const std::size_t whole = (length - at) / pixel;
        const std::size_t count = take < whole ? take : whole;
        std::memcpy(row + x * pixel, data + at, count * pixel);
        at += count * pixel;
        if (count < take) return false;
      }
      x += take;
      left -= take;
    }
    return true;
  }

 private:
  bool NextPacket() {
    if (at >= length) return false;
    const std::uint8_t header = data[at++];
    left = static_cast<std::size_t>(header & tga::PacketCount) + 1;
    run = (header & tga::RunPacket) != 0;
    if (run) {
      if (pixel > length - at) return false;
      std::memcpy(value, data + at, pixel);
      at += pixel;
    }
    return true;
  }

  const std::uint8_t* data;
  std::size_t length;
  std::size_t at;
  std::size_t pixel;
  std::size_t left = 0;  // pixels still due from the current packet
  bool run = false;
  std::uint8_t value[4] = {0, 0, 0, 0};
};

}  // namespace

bool FCImageHandle_Tga::LoadImageMemory(const std::uint8_t* bytes, std::uint32_t size, FCFrameList& frames,
                                        FCPropertyBag& properties) {
  if (!bytes || size <= tga::HeaderSize) return false;
  const ByteReader in(bytes, size);
  TgaHeader h;
  if (!ReadHeader(in, &h)) return false;
  if (h.colorMapBits == 15 || h.colorMapBits == 16) return false;
  if (!IsKnownType(h.imageType)) return false;
  const std::uint8_t depth = h.pixelDepth;
  if (depth != 8 && depth != 15 && depth != 16 && depth != 24 && depth != 32) return false;
  const std::uint16_t bits = depth == 15 ? 16 : depth;

  std::unique_ptr<FCObjImage> image(new (std::nothrow) FCObjImage);
  if (!image || !image->Create(h.width, h.height, bits)) return false;

  std::size_t at = tga::HeaderSize + h.idLength;
  if (h.colorMapType == tga::HasColorMap) {
    if (std::size_t{h.colorMapFirst} + h.colorMapLength > tga::ColorMapSlots) return false;
    const std::size_t entryBytes = h.colorMapBits == 32 ? 4 : 3;
    if (!in.Holds(at, entryBytes * h.colorMapLength)) return false;
    FCRgbQuad map[tga::ColorMapSlots];
    for (std::size_t i = 0; i < h.colorMapLength; ++i, at += entryBytes) {
      FCRgbQuad& entry = map[h.colorMapFirst + i];
      entry.blue = bytes[at];
      entry.green = bytes[at + 1];
      entry.red = bytes[at + 2];
      if (entryBytes == 4) entry.reserved = bytes[at + 3];
    }
    image->SetColorTable(0, tga::ColorMapSlots, map);
  }
  if (at >= size) return false;

  const bool runLength = IsRunLength(h.imageType);
  const bool topDown = (h.descriptor & tga::DescriptorTopDown) != 0;
  const std::size_t pixelBytes = bits / 8;
  const std::size_t rowBytes = pixelBytes * h.width;
  RunLengthReader packets(bytes, size, at, pixelBytes);
  for (std::int32_t i = 0; i < image->Height(); ++i) {
    std::uint8_t* row = image->Row(topDown ? i : image->Height() - 1 - i);
    if (runLength) {
      if (!packets.FillRow(row, h.width)) break;
    } else {
      const std::size_t count = rowBytes < size - at ? rowBytes : size - at;
      std::memcpy(row, bytes + at, count);
      at += count;
      if (count < rowBytes) break;
    }
  }

  if (!properties.AddText(property::RunLengthCoded, runLength ? "1" : "-1")) return false;
  return frames.Append(image.release());
}
