#include "ui/PreviewRules.h"

#include <cstring>

#include "image/FCImageHandleFactory.h"
#include "image/ImageLayout.h"
#include "ui/WindowRules.h"
#include "util/ByteReader.h"

namespace {

bool StartsWith(const std::uint8_t* head, std::size_t size, const char* magic, std::size_t length) {
  return size >= length && std::memcmp(head, magic, length) == 0;
}

bool IsJpeg(const std::uint8_t* head, std::size_t size) { return StartsWith(head, size, "\xFF\xD8\xFF", 3); }
bool IsPng(const std::uint8_t* head, std::size_t size) { return StartsWith(head, size, "\x89PNG\r\n\x1A\n", 8); }
bool IsGif(const std::uint8_t* head, std::size_t size) {
  return StartsWith(head, size, "GIF87a", 6) || StartsWith(head, size, "GIF89a", 6);
}
bool IsTiff(const std::uint8_t* head, std::size_t size) {
  return StartsWith(head, size, "II\x2A\x00", 4) || StartsWith(head, size, "MM\x00\x2A", 4);
}
bool IsBmp(const std::uint8_t* head, std::size_t size) {
  return size > bmp::FileHeaderSize && head[0] == bmp::Magic0 && head[1] == bmp::Magic1;
}
// An icon directory (reserved 0, type 1) with at least one image.
bool IsIcon(const std::uint8_t* head, std::size_t size) {
  return StartsWith(head, size, "\x00\x00\x01\x00", 4) && size >= 6 && (head[4] != 0 || head[5] != 0);
}

// TGA has no signature: a header the program's reader takes.
bool IsTga(const std::uint8_t* head, std::size_t size) {
  const ByteReader in(head, size);
  std::uint8_t mapType = 0, type = 0, mapBits = 0, depth = 0;
  std::uint16_t width = 0, height = 0;
  if (size <= tga::HeaderSize || !in.U8(tga::ColorMapType, &mapType) || !in.U8(tga::ImageType, &type) ||
      !in.U8(tga::ColorMapBits, &mapBits) || !in.U8(tga::PixelDepth, &depth) || !in.U16(tga::Width, &width) ||
      !in.U16(tga::Height, &height)) {
    return false;
  }
  const bool knownType = type == tga::TypeColorMapped || type == tga::TypeTrueColor || type == tga::TypeGrey ||
                         type == tga::TypeRleColorMapped || type == tga::TypeRleTrueColor || type == tga::TypeRleGrey;
  const bool knownDepth = depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32;
  return (mapType == 0 || mapType == tga::HasColorMap) && knownType && knownDepth && mapBits != 15 &&
         mapBits != 16 && width > 0 && height > 0;
}

// What the BMP reader takes of the file: the headers, the palette and the
// pixel rows; the whole file when the header does not say.
std::uint64_t BmpBytes(const std::uint8_t* head, std::size_t size, std::uint64_t fileSize) {
  const ByteReader in(head, size);
  constexpr std::size_t info = bmp::InfoHeader;
  std::uint32_t pixelOffset = 0, headerSize = 0, width = 0, height = 0, compression = 0;
  std::uint16_t bits = 0;
  if (!in.U32(bmp::PixelOffset, &pixelOffset) || !in.U32(info + bmp::InfoSize, &headerSize) ||
      !in.U32(info + bmp::InfoWidth, &width) || !in.U32(info + bmp::InfoHeight, &height) ||
      !in.U16(info + bmp::InfoBitCount, &bits) || !in.U32(info + bmp::InfoCompression, &compression)) {
    return fileSize;
  }
  const bool sized = static_cast<std::int32_t>(width) > 0 && static_cast<std::int32_t>(height) > 0 &&
                     (compression == dib::BiRgb || compression == dib::BiBitfields) && bits > 0 && bits <= 32;
  if (!sized) return fileSize;
  const std::uint64_t stride = (std::uint64_t{width} * bits + 31) / 32 * 4;
  const std::uint64_t pixelsEnd = std::uint64_t{pixelOffset} + stride * height;
  // The palette follows the header; 16-bit masks follow its first 40 bytes.
  std::uint64_t need = std::uint64_t{info} + headerSize +
                       (bits <= 8 ? (std::uint64_t{1} << bits) * bmp::PaletteEntrySize : 0);
  if (bits == 16 && compression == dib::BiBitfields && need < info + dib::InfoHeaderSize + bmp::MasksSize) {
    need = info + dib::InfoHeaderSize + bmp::MasksSize;
  }
  if (need < pixelsEnd) need = pixelsEnd;
  return need < fileSize ? need : fileSize;
}

// What the TGA reader takes: header, image ID, colour map and pixels, each
// pixel costing at most one packet header more when run-length coded.
std::uint64_t TgaBytes(const std::uint8_t* head, std::size_t size, std::uint64_t fileSize) {
  const ByteReader in(head, size);
  std::uint8_t idLength = 0, mapType = 0, type = 0, mapBits = 0, depth = 0;
  std::uint16_t mapLength = 0, width = 0, height = 0;
  in.U8(tga::IdLength, &idLength);
  in.U8(tga::ColorMapType, &mapType);
  in.U8(tga::ImageType, &type);
  in.U16(tga::ColorMapLength, &mapLength);
  in.U8(tga::ColorMapBits, &mapBits);
  in.U8(tga::PixelDepth, &depth);
  in.U16(tga::Width, &width);
  in.U16(tga::Height, &height);
  const std::uint64_t pixelBytes = depth == 15 ? 2 : depth / 8;
  const bool runLength = type >= tga::TypeRleColorMapped;
  const std::uint64_t map = mapType == tga::HasColorMap ? std::uint64_t{mapLength} * (mapBits == 32 ? 4 : 3) : 0;
  const std::uint64_t need =
      tga::HeaderSize + idLength + map + std::uint64_t{width} * height * (pixelBytes + (runLength ? 1 : 0));
  return need < fileSize ? need : fileSize;
}

int TypeOfName(const std::u16string& name) {
  // The extension is ASCII or no image type at all.
  std::string narrow;
  for (char16_t c : name) {
    if (c == 0) break;
    narrow += c < 0x80 ? static_cast<char>(c) : '?';
  }
  static const FCImageHandleFactory_Portable factory;
  return factory.ImageTypeFromName(narrow.c_str());
}

}  // namespace

PreviewDecision DecidePreview(const std::u16string& name, const std::uint8_t* head, std::size_t headSize,
                              std::uint64_t fileSize) {
  PreviewDecision decision{PreviewVerdict::NotImage, TypeOfName(name), 0};
  if (head == nullptr) headSize = 0;
  bool picture = false;
  switch (decision.imageType) {
    case imagetype::Bmp:
      picture = IsBmp(head, headSize);
      decision.bytes = picture ? BmpBytes(head, headSize, fileSize) : 0;
      break;
    case imagetype::Tga:
      picture = IsTga(head, headSize);
      decision.bytes = picture ? TgaBytes(head, headSize, fileSize) : 0;
      break;
    case imagetype::Jpeg:
    case imagetype::Png:
    case imagetype::Gif:
    case imagetype::Tiff:
    case imagetype::Icon:
      picture = IsJpeg(head, headSize) || IsPng(head, headSize) || IsGif(head, headSize) || IsTiff(head, headSize) ||
                IsIcon(head, headSize) || IsBmp(head, headSize);
      decision.bytes = fileSize;
      break;
    default: break;
  }
  if (fileSize == 0 && decision.imageType != imagetype::Unknown) {
    decision.verdict = PreviewVerdict::Empty;
  } else if (picture) {
    decision.verdict = decision.bytes > PreviewLimitBytes ? PreviewVerdict::TooLarge : PreviewVerdict::Show;
  }
  if (decision.verdict == PreviewVerdict::NotImage) decision.bytes = 0;
  return decision;
}

std::u16string PreviewTooLargeText(std::uint64_t bytes) {
  return u"The picture is too large to preview: " + ByteCountText(bytes) + u" (the preview reads at most " +
         ByteCountText(PreviewLimitBytes) + u").";
}
