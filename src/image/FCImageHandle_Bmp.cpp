#include "image/FCImageHandle_Bmp.h"

#include <cstring>
#include <memory>
#include <new>

#include "util/ByteReader.h"

namespace {

// Reads the info header at bmp::InfoHeader; false when it is not all there
// or is shorter than the 40-byte layout.
bool ReadInfoHeader(const ByteReader& in, FCBitmapInfoHeader* header) {
  constexpr std::size_t at = bmp::InfoHeader;
  std::uint32_t width = 0, height = 0, xPels = 0, yPels = 0;
  if (!in.U32(at + bmp::InfoSize, &header->size) || header->size < dib::InfoHeaderSize ||
      !in.Holds(at, dib::InfoHeaderSize))
    return false;
  in.U32(at + bmp::InfoWidth, &width);
  in.U32(at + bmp::InfoHeight, &height);
  in.U16(at + bmp::InfoPlanes, &header->planes);
  in.U16(at + bmp::InfoBitCount, &header->bitCount);
  in.U32(at + bmp::InfoCompression, &header->compression);
  in.U32(at + bmp::InfoXPels, &xPels);
  in.U32(at + bmp::InfoYPels, &yPels);
  header->width = static_cast<std::int32_t>(width);
  header->height = static_cast<std::int32_t>(height);
  header->xPelsPerMeter = static_cast<std::int32_t>(xPels);
  header->yPelsPerMeter = static_cast<std::int32_t>(yPels);
  return true;
}

}  // namespace

bool FCImageHandle_Bmp::LoadImageMemory(const std::uint8_t* bytes, std::uint32_t size, FCFrameList& frames,
                                        FCPropertyBag&) {
  if (!bytes || size <= bmp::FileHeaderSize || bytes[0] != bmp::Magic0 || bytes[1] != bmp::Magic1) return false;
  const ByteReader in(bytes, size);
  std::uint32_t pixelOffset = 0;
  if (!in.U32(bmp::PixelOffset, &pixelOffset) || pixelOffset >= size) return false;

  FCBitmapInfoHeader header;
  if (!ReadInfoHeader(in, &header)) return false;
  std::uint32_t masks[3] = {0, 0, 0};
  if (header.bitCount == 16 && header.compression == dib::BiBitfields) {
    // Right after the first 40 header bytes, also inside the longer headers.
    const std::size_t at = bmp::InfoHeader + dib::InfoHeaderSize;
    if (!in.U32(at, &masks[0]) || !in.U32(at + 4, &masks[1]) || !in.U32(at + 8, &masks[2])) return false;
  }

  std::unique_ptr<FCObjImage> image(new (std::nothrow) FCObjImage);
  if (!image || !image->Create(header, masks)) return false;

  // All 2^bits entries, whatever the colours-used field says.
  const std::uint64_t paletteAt = std::uint64_t{bmp::InfoHeader} + header.size;
  for (std::uint32_t i = 0; i < image->PaletteSize(); ++i) {
    const std::uint64_t at = paletteAt + std::uint64_t{i} * bmp::PaletteEntrySize;
    if (at > size || bmp::PaletteEntrySize > size - at) break;
    FCRgbQuad entry;
    entry.blue = bytes[at];
    entry.green = bytes[at + 1];
    entry.red = bytes[at + 2];
    entry.reserved = bytes[at + 3];
    image->SetColorTable(i, 1, &entry);
  }

  // Rows are stored bottom-up, as in the block: one copy.
  const std::uint64_t blockBytes = std::uint64_t{image->Stride()} * static_cast<std::uint32_t>(image->Height());
  const std::uint64_t available = size - pixelOffset;
  const std::size_t copy = static_cast<std::size_t>(available < blockBytes ? available : blockBytes);
  std::memcpy(image->Row(image->Height() - 1), bytes + pixelOffset, copy);
  return frames.Append(image.release());
}
