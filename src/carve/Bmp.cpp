// BMP: the file header's size checked against what the info header says
// the file holds (headers, colour masks, palette, rows padded to four
// bytes, a version 5 header's colour profile). RLE4 and RLE8 pixel data is
// walked to its end-of-bitmap code.
#include <algorithm>

#include "carve/Parsers.h"
#include "util/ByteReader.h"

namespace carve {

namespace {

constexpr std::size_t FileHeaderBytes = 14;  // "BM", u32 file size, u16 0, u16 0, u32 pixel offset
constexpr std::size_t FileSize = 2;
constexpr std::size_t Reserved = 6;          // two u16, both 0
constexpr std::size_t PixelOffset = 10;
constexpr std::size_t InfoSize = 14;         // u32, the info header's size: names its version
constexpr std::uint32_t CoreHeaderBytes = 12;  // u16 width, u16 height, u16 planes, u16 bits
constexpr std::uint32_t InfoHeaderBytes = 40;  // i32 width, i32 height, u16 planes, u16 bits, u32 compression,
                                               // u32 image bytes, two resolutions, u32 colours used, u32 important
constexpr std::size_t CoreWidth = 18, CoreHeight = 20, CorePlanes = 22, CoreBits = 24;  // u16 each
constexpr std::size_t InfoWidth = 18, InfoHeight = 22;  // i32; height < 0: rows top down
constexpr std::size_t InfoPlanes = 26, InfoBits = 28;   // u16
constexpr std::size_t InfoCompression = 30, InfoImageBytes = 34, InfoColoursUsed = 46;  // u32
constexpr std::uint32_t Os2HeaderMin = 16;     // an OS/2 2.x header may stop after the bit count
constexpr std::uint32_t V5HeaderBytes = 124;
constexpr std::uint32_t MaxHeaderBytes = 124;
constexpr std::size_t ProfileOffset = 14 + 112;  // v5: u32 from the info header's start
constexpr std::size_t ProfileSize = 14 + 116;
constexpr std::uint32_t RgbMasksBytes = 12;    // BI_BITFIELDS after a 40-byte header
constexpr std::uint32_t RgbaMasksBytes = 16;   // BI_ALPHABITFIELDS

constexpr std::uint32_t CompressionRgb = 0;
constexpr std::uint32_t CompressionRle8 = 1;
constexpr std::uint32_t CompressionRle4 = 2;
constexpr std::uint32_t CompressionBitfields = 3;
constexpr std::uint32_t CompressionJpeg = 4;
constexpr std::uint32_t CompressionPng = 5;
constexpr std::uint32_t CompressionAlphaBitfields = 6;

// A cautious bound: some writers give a file size a few bytes past the
// pixels; more than this and the header does not describe these bytes.
constexpr std::uint64_t SizeSlackBytes = 1024;

struct Info {
  std::uint32_t headerBytes = 0, compression = 0, imageBytes = 0, coloursUsed = 0;
  std::int64_t width = 0, height = 0;
  std::uint16_t planes = 0, bits = 0;
};

bool ReadInfo(const ByteReader& in, Info* info) {
  if (!in.U32(InfoSize, &info->headerBytes)) return false;
  if (info->headerBytes == CoreHeaderBytes) {
    std::uint16_t width = 0, height = 0;
    if (!in.U16(CoreWidth, &width) || !in.U16(CoreHeight, &height) || !in.U16(CorePlanes, &info->planes) ||
        !in.U16(CoreBits, &info->bits))
      return false;
    info->width = width, info->height = height;
    return true;
  }
  std::int64_t width = 0, height = 0;
  if (info->headerBytes < Os2HeaderMin || info->headerBytes > MaxHeaderBytes) return false;
  if (!in.Signed(InfoWidth, 4, &width) || !in.Signed(InfoHeight, 4, &height) || !in.U16(InfoPlanes, &info->planes) ||
      !in.U16(InfoBits, &info->bits))
    return false;
  info->width = width, info->height = height;
  // A shorter OS/2 header ends after the bit count; the rest default to 0.
  if (info->headerBytes >= InfoHeaderBytes &&
      (!in.U32(InfoCompression, &info->compression) || !in.U32(InfoImageBytes, &info->imageBytes) ||
       !in.U32(InfoColoursUsed, &info->coloursUsed)))
    return false;
  return true;
}

// Whether the header is one a writer makes: the signature is only two letters.
bool Plausible(const Info& info) {
  const std::uint16_t b = info.bits;
  if (info.planes != 1 || info.width <= 0 || info.height == 0) return false;
  if (b != 1 && b != 4 && b != 8 && b != 16 && b != 24 && b != 32 && !(b == 0 && info.compression >= CompressionJpeg))
    return false;
  switch (info.compression) {
    case CompressionRgb: return true;
    case CompressionRle8: return b == 8;
    case CompressionRle4: return b == 4;
    case CompressionBitfields:
    case CompressionAlphaBitfields: return b == 16 || b == 32;
    case CompressionJpeg:
    case CompressionPng: return info.imageBytes != 0;
    default: return false;
  }
}

enum class Rle { Ended, Invalid, CutShort };

// Walks RLE data from `*pos` to the end-of-bitmap code, or no farther than `limit`.
Rle WalkRle(SourceReader& reader, bool four, std::uint64_t limit, std::uint64_t* pos) {
  while (*pos < limit) {
    const std::uint8_t* p = reader.Get(*pos, 2);
    if (p == nullptr) return Rle::CutShort;
    std::uint64_t step = 2;
    if (p[0] == 0) {
      if (p[1] == 1) {  // end of bitmap
        *pos += 2;
        return Rle::Ended;
      }
      if (p[1] == 2) step = 4;  // delta: two more bytes
      else if (p[1] > 2) {      // absolute run of p[1] pixels, padded to a word
        const std::uint64_t bytes = four ? (p[1] + 1u) / 2 : p[1];
        step += (bytes + 1) & ~std::uint64_t{1};
      }
    }
    if (step > limit - *pos) return Rle::Invalid;
    if (!reader.Reaches(*pos + step)) return Rle::CutShort;
    *pos += step;
  }
  return Rle::Invalid;
}

}  // namespace

bool MatchesBmp(const std::uint8_t* bytes, std::size_t available) {
  const ByteReader in(bytes, available);
  std::uint32_t reserved = 0, offset = 0;
  Info info;
  return HasText(bytes, available, 0, "BM") && in.U32(Reserved, &reserved) && reserved == 0 &&
         in.U32(PixelOffset, &offset) && ReadInfo(in, &info) && offset >= FileHeaderBytes + info.headerBytes &&
         Plausible(info);
}

void ParseBmp(SourceReader& reader, const Limits&, Carving* result) {
  const std::size_t headerBytes = FileHeaderBytes + V5HeaderBytes;
  const std::uint8_t* head = reader.Get(0, headerBytes);
  const std::size_t held = head != nullptr ? headerBytes : static_cast<std::size_t>(reader.Available(headerBytes));
  if (head == nullptr) head = held >= FileHeaderBytes + CoreHeaderBytes ? reader.Get(0, held) : nullptr;
  if (head == nullptr || !MatchesBmp(head, held)) return SetNotThisType(result);
  const ByteReader in(head, held);
  Info info;
  std::uint32_t fileSize = 0, offset = 0;
  in.U32(FileSize, &fileSize);
  in.U32(PixelOffset, &offset);
  ReadInfo(in, &info);

  std::uint64_t masks = 0;
  if (info.headerBytes == InfoHeaderBytes && info.compression == CompressionBitfields) masks = RgbMasksBytes;
  if (info.headerBytes == InfoHeaderBytes && info.compression == CompressionAlphaBitfields) masks = RgbaMasksBytes;
  std::uint64_t paletteEntries = info.coloursUsed;
  if (info.bits <= 8 && info.bits > 0 && (paletteEntries == 0 || paletteEntries > (1u << info.bits)))
    paletteEntries = 1u << info.bits;
  const std::uint64_t entryBytes = info.headerBytes == CoreHeaderBytes ? 3 : 4;
  if (offset < FileHeaderBytes + info.headerBytes + masks + (info.bits <= 8 ? paletteEntries * entryBytes : 0))
    return SetNotThisType(result);

  std::uint64_t end = 0;
  const std::uint32_t c = info.compression;
  if (c == CompressionRgb || c == CompressionBitfields || c == CompressionAlphaBitfields) {
    const std::uint64_t rowBytes = (SaturatingMultiply(static_cast<std::uint64_t>(info.width), info.bits) + 31) / 32 * 4;
    const std::uint64_t rows = static_cast<std::uint64_t>(info.height < 0 ? -info.height : info.height);
    std::uint64_t needed = SaturatingAdd(offset, SaturatingMultiply(rowBytes, rows));
    std::uint32_t profileOffset = 0, profileSize = 0;
    if (info.headerBytes == V5HeaderBytes && in.U32(ProfileOffset, &profileOffset) && in.U32(ProfileSize, &profileSize) &&
        profileSize != 0)
      needed = std::max(needed, FileHeaderBytes + std::uint64_t{profileOffset} + profileSize);
    if (fileSize == 0) end = needed;
    else if (fileSize >= needed && fileSize - needed <= SizeSlackBytes) end = fileSize;
    else return SetNotThisType(result);
  } else {
    if (fileSize < offset || (info.imageBytes != 0 && fileSize - offset < info.imageBytes)) return SetNotThisType(result);
    end = fileSize;
    if (c == CompressionRle4 || c == CompressionRle8) {
      std::uint64_t pos = offset;
      const Rle walked = WalkRle(reader, c == CompressionRle4, end, &pos);
      if (walked == Rle::CutShort) return SetDamaged(result, reader.Available(pos), Damage::CutShort);
      if (walked == Rle::Invalid) return SetDamaged(result, pos, Damage::Invalid);
    }
  }
  result->extension = "bmp";
  result->subtype = info.headerBytes == CoreHeaderBytes ? "BMP (OS/2)" : info.headerBytes >= V5HeaderBytes ? "BMP (v5)" : "BMP";
  const std::uint64_t available = reader.Available(end);
  if (available < end) return SetDamaged(result, available, Damage::CutShort);
  SetCarved(result, end);
}

}  // namespace carve
