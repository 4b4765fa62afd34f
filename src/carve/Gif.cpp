// GIF87a and GIF89a: the logical screen descriptor and its colour table,
// then blocks (extensions and images, each followed by data sub-blocks of
// at most 255 bytes ending in an empty one) to the trailer.
#include "carve/Parsers.h"

namespace carve {

namespace {

constexpr std::uint64_t HeaderBytes = 13;      // "GIF89a", u16 width, u16 height, flags, background, aspect
constexpr std::size_t ScreenWidth = 6, ScreenHeight = 8;  // u16 each
constexpr std::uint64_t ScreenFlags = 10;
constexpr std::uint8_t ColourTableFlag = 0x80;  // in the screen's and an image's flags
constexpr std::uint8_t ColourTableSize = 0x07;  // 3 * 2^(n + 1) bytes
constexpr std::uint8_t ExtensionIntroducer = 0x21;
constexpr std::uint8_t ImageSeparator = 0x2C;
constexpr std::uint8_t Trailer = 0x3B;
constexpr std::uint64_t ImageDescriptorBytes = 10;  // separator, u16 left, top, width, height, flags
constexpr std::uint8_t MinCodeSize = 2;             // the LZW minimum code size before the image data
constexpr std::uint8_t MaxCodeSize = 8;

std::uint64_t ColourTableBytes(std::uint8_t flags) {
  return (flags & ColourTableFlag) ? 3u * (2u << (flags & ColourTableSize)) : 0;
}

enum class Walked { Good, Invalid, CutShort };

// Data sub-blocks from `*pos` to the empty block that ends them.
Walked SubBlocks(SourceReader& reader, std::uint64_t* pos) {
  for (;;) {
    std::uint8_t size = 0;
    if (!reader.U8(*pos, &size)) return Walked::CutShort;
    if (size == 0) {
      *pos += 1;
      return Walked::Good;
    }
    if (!reader.Reaches(*pos + 1 + size)) return Walked::CutShort;
    *pos += 1 + size;
  }
}

}  // namespace

bool MatchesGif(const std::uint8_t* bytes, std::size_t available) {
  return available >= HeaderBytes && (HasText(bytes, available, 0, "GIF87a") || HasText(bytes, available, 0, "GIF89a"));
}

void ParseGif(SourceReader& reader, const Limits&, Carving* result) {
  const std::uint8_t* head = reader.Get(0, HeaderBytes);
  if (head == nullptr || !MatchesGif(head, HeaderBytes)) return SetNotThisType(result);
  const bool is89 = head[4] == '9';
  const std::uint16_t width = Le16(head + ScreenWidth), height = Le16(head + ScreenHeight);
  if (width == 0 || height == 0) return SetNotThisType(result);
  std::uint64_t pos = HeaderBytes + ColourTableBytes(head[ScreenFlags]);
  std::uint64_t good = HeaderBytes;
  if (!reader.Reaches(pos)) return SetDamaged(result, good, Damage::CutShort);
  good = pos;
  unsigned images = 0;
  // Every block consumes at least one byte: the walk ends with the source.
  for (;;) {
    std::uint8_t introducer = 0;
    if (!reader.U8(pos, &introducer)) return SetDamaged(result, good, Damage::CutShort);
    Walked walked = Walked::Good;
    if (introducer == Trailer) {
      pos += 1;
      break;
    } else if (introducer == ExtensionIntroducer) {
      pos += 2;  // the introducer and the label
      walked = SubBlocks(reader, &pos);
    } else if (introducer == ImageSeparator) {
      const std::uint8_t* image = reader.Get(pos, ImageDescriptorBytes + 1);
      if (image == nullptr) return SetDamaged(result, good, Damage::CutShort);
      const std::uint8_t flags = image[9];
      pos += ImageDescriptorBytes + ColourTableBytes(flags);
      std::uint8_t codeSize = 0;
      if (!reader.U8(pos, &codeSize)) return SetDamaged(result, good, Damage::CutShort);
      if (codeSize < MinCodeSize || codeSize > MaxCodeSize) walked = Walked::Invalid;
      else {
        pos += 1;
        walked = SubBlocks(reader, &pos);
        ++images;
      }
    } else {
      walked = Walked::Invalid;
    }
    if (walked != Walked::Good) {
      if (images == 0 && walked == Walked::Invalid && good == HeaderBytes + ColourTableBytes(head[ScreenFlags]))
        return SetNotThisType(result);
      return SetDamaged(result, good, walked == Walked::Invalid ? Damage::Invalid : Damage::CutShort);
    }
    good = pos;
  }
  if (images == 0) return SetDamaged(result, good, Damage::Invalid);
  result->extension = "gif";
  result->subtype = images > 1 ? "animated GIF" : is89 ? "GIF89a" : "GIF87a";
  SetCarved(result, pos);
}

}  // namespace carve
