#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "image/FCImageHandleFactory.h"
#include "ui/PreviewRules.h"

namespace {

std::vector<std::uint8_t> Bytes(const char* text, std::size_t length, std::size_t padTo = 64) {
  std::vector<std::uint8_t> bytes(text, text + length);
  if (bytes.size() < padTo) bytes.resize(padTo, 0x11);
  return bytes;
}

void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}

// A BMP head: 14-byte file header, 40-byte info header.
std::vector<std::uint8_t> BmpHead(std::int32_t width, std::int32_t height, std::uint16_t bits, std::uint32_t compression,
                                  std::uint32_t pixelOffset) {
  std::vector<std::uint8_t> b(64, 0);
  b[0] = 'B';
  b[1] = 'M';
  Put32(b, 10, pixelOffset);
  Put32(b, 14, 40);
  Put32(b, 18, static_cast<std::uint32_t>(width));
  Put32(b, 22, static_cast<std::uint32_t>(height));
  Put16(b, 26, 1);
  Put16(b, 28, bits);
  Put32(b, 30, compression);
  return b;
}

// An 18-byte TGA header.
std::vector<std::uint8_t> TgaHead(std::uint8_t type, std::uint16_t width, std::uint16_t height, std::uint8_t depth,
                                  std::uint8_t idLength = 0, std::uint8_t mapType = 0, std::uint16_t mapLength = 0,
                                  std::uint8_t mapBits = 0) {
  std::vector<std::uint8_t> b(64, 0);
  b[0] = idLength;
  b[1] = mapType;
  b[2] = type;
  Put16(b, 5, mapLength);
  b[7] = mapBits;
  Put16(b, 12, width);
  Put16(b, 14, height);
  b[16] = depth;
  return b;
}

const std::uint64_t MiB = 1 << 20;

TEST(PreviewRules, TheNameChoosesTheDecoderAndTheBytesMustBeAPictureItReads) {
  const auto jpeg = Bytes("\xFF\xD8\xFF\xE0", 4);
  const auto png = Bytes("\x89PNG\r\n\x1A\n", 8);
  const auto gif = Bytes("GIF89a", 6);
  const auto tiff = Bytes("MM\x00\x2A", 4);
  const auto icon = Bytes("\x00\x00\x01\x00\x01\x00", 6);
  const auto text = Bytes("Hello, world", 12);
  const auto bmp = BmpHead(4, 4, 24, 0, 54);
  const auto tga = TgaHead(2, 4, 4, 24);
  struct Case {
    const char16_t* name;
    const std::vector<std::uint8_t>* head;
    PreviewVerdict verdict;
    int type;
    std::uint64_t bytes;  // of the 5000-byte file
  };
  const Case cases[] = {
      {u"photo.jpg", &jpeg, PreviewVerdict::Show, imagetype::Jpeg, 5000},
      {u"PHOTO.JPEG", &jpeg, PreviewVerdict::Show, imagetype::Jpeg, 5000},
      {u"photo copy.dat", &jpeg, PreviewVerdict::NotImage, imagetype::Unknown, 0},  // the name decides, as always
      {u"photo", &jpeg, PreviewVerdict::NotImage, imagetype::Unknown, 0},
      {u"shot.png", &png, PreviewVerdict::Show, imagetype::Png, 5000},
      {u"moving.gif", &gif, PreviewVerdict::Show, imagetype::Gif, 5000},
      {u"scan.tif", &tiff, PreviewVerdict::Show, imagetype::Tiff, 5000},
      {u"icon.ico", &icon, PreviewVerdict::Show, imagetype::Icon, 5000},
      {u"renamed.jpg", &png, PreviewVerdict::Show, imagetype::Jpeg, 5000},  // the system decoder reads either
      {u"renamed.png", &bmp, PreviewVerdict::Show, imagetype::Png, 5000},
      {u"notes.jpg", &text, PreviewVerdict::NotImage, imagetype::Jpeg, 0},
      {u"notes.png", &tga, PreviewVerdict::NotImage, imagetype::Png, 0},  // TGA is the program's reader only
      {u"drawing.bmp", &bmp, PreviewVerdict::Show, imagetype::Bmp, 54 + 48},
      {u"drawing.bmp", &png, PreviewVerdict::NotImage, imagetype::Bmp, 0},  // the BMP reader takes BMP only
      {u"texture.tga", &tga, PreviewVerdict::Show, imagetype::Tga, 18 + 48},
      {u"texture.tga", &text, PreviewVerdict::NotImage, imagetype::Tga, 0},
      {u"layers.psd", &png, PreviewVerdict::NotImage, imagetype::Psd, 0},  // a type without a decoder
      {u"\u65e5\u672c.jpg", &jpeg, PreviewVerdict::Show, imagetype::Jpeg, 5000},
      {u"photo.\u00e9jpg", &jpeg, PreviewVerdict::NotImage, imagetype::Unknown, 0},
  };
  for (const Case& c : cases) {
    const PreviewDecision d = DecidePreview(c.name, c.head->data(), c.head->size(), 5000);
    EXPECT_EQ(d.verdict, c.verdict) << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name));
    EXPECT_EQ(d.imageType, c.type);
    EXPECT_EQ(d.bytes, c.bytes);
  }
}

TEST(PreviewRules, ShortHeadsEmptyFilesAndBrokenHeadersAreNotShown) {
  const auto png = Bytes("\x89PNG\r\n\x1A\n", 8);
  const auto icon = Bytes("\x00\x00\x01\x00\x00\x00", 6);  // no images in the directory
  EXPECT_EQ(DecidePreview(u"a.png", png.data(), 7, 7).verdict, PreviewVerdict::NotImage);
  EXPECT_EQ(DecidePreview(u"a.png", nullptr, 0, 0).verdict, PreviewVerdict::Empty);
  EXPECT_EQ(DecidePreview(u"a.txt", nullptr, 0, 0).verdict, PreviewVerdict::NotImage);
  EXPECT_EQ(DecidePreview(u"a.ico", icon.data(), icon.size(), 100).verdict, PreviewVerdict::NotImage);
  EXPECT_EQ(DecidePreview(u"a.bmp", png.data(), 2, 2).verdict, PreviewVerdict::NotImage);
  struct TgaCase {
    std::vector<std::uint8_t> head;
    bool shown;
  };
  const TgaCase tgas[] = {
      {TgaHead(2, 4, 4, 24), true},       {TgaHead(10, 4, 4, 32), true},     {TgaHead(3, 4, 4, 8), true},
      {TgaHead(4, 4, 4, 24), false},      {TgaHead(2, 0, 4, 24), false},     {TgaHead(2, 4, 0, 24), false},
      {TgaHead(2, 4, 4, 12), false},      {TgaHead(1, 4, 4, 8, 0, 2), false},  // colour map type 2
      {TgaHead(1, 4, 4, 8, 0, 1, 256, 16), false},                           // 16-bit map entries
  };
  for (const TgaCase& c : tgas) {
    EXPECT_EQ(DecidePreview(u"t.tga", c.head.data(), c.head.size(), 1000).verdict == PreviewVerdict::Show, c.shown);
  }
}

TEST(PreviewRules, ReadsWhatBmpAndTgaHeadersSayAndRefusesAboveTheLimit) {
  struct Case {
    const char16_t* name;
    std::vector<std::uint8_t> head;
    std::uint64_t fileSize;
    PreviewVerdict verdict;
    std::uint64_t bytes;
  };
  const Case cases[] = {
      // 3 x 2 at 24 bits: rows of 12 bytes (9 padded to 4).
      {u"a.bmp", BmpHead(3, 2, 24, 0, 54), 10 * MiB, PreviewVerdict::Show, 54 + 24},
      // 8 bits: 256 palette entries after the 40-byte header, pixels after them.
      {u"a.bmp", BmpHead(3, 2, 8, 0, 1078), 10 * MiB, PreviewVerdict::Show, 1078 + 8},
      // The palette is read where the header says, even past a lying pixel offset.
      {u"a.bmp", BmpHead(1, 1, 8, 0, 14), 10 * MiB, PreviewVerdict::Show, 14 + 40 + 1024},
      // 16-bit masks follow the header.
      {u"a.bmp", BmpHead(1, 1, 16, 3, 14), 10 * MiB, PreviewVerdict::Show, 14 + 40 + 12},
      {u"a.bmp", BmpHead(3, 2, 24, 0, 54), 60, PreviewVerdict::Show, 60},  // never past the file
      // Compressed or top-down rows: the header does not bound the read.
      {u"a.bmp", BmpHead(3, 2, 8, 1, 54), 5000, PreviewVerdict::Show, 5000},
      {u"a.bmp", BmpHead(3, -2, 24, 0, 54), 5000, PreviewVerdict::Show, 5000},
      // 16384 x 16384 at 32 bits is 1 GiB of pixels in a file that claims more.
      {u"a.bmp", BmpHead(16384, 16384, 32, 0, 54), 2048 * MiB, PreviewVerdict::TooLarge, 54 + 1024 * MiB},
      // A huge file whose header wants little is read for what it wants.
      {u"a.bmp", BmpHead(2, 2, 32, 0, 54), 4096 * MiB, PreviewVerdict::Show, 54 + 16},
      // TGA: ID, colour map, and pixels (one more byte each when run-length coded).
      {u"a.tga", TgaHead(2, 10, 10, 24, 5), 10 * MiB, PreviewVerdict::Show, 18 + 5 + 300},
      {u"a.tga", TgaHead(10, 10, 10, 24), 10 * MiB, PreviewVerdict::Show, 18 + 400},
      {u"a.tga", TgaHead(1, 10, 10, 8, 0, 1, 256, 24), 10 * MiB, PreviewVerdict::Show, 18 + 768 + 100},
      {u"a.tga", TgaHead(2, 10, 10, 15), 10 * MiB, PreviewVerdict::Show, 18 + 200},
      {u"a.tga", TgaHead(10, 65535, 65535, 32), 32768 * MiB, PreviewVerdict::TooLarge,
       18 + std::uint64_t{65535} * 65535 * 5},
      // The other formats take the whole file.
      {u"a.png", Bytes("\x89PNG\r\n\x1A\n", 8), 256 * MiB, PreviewVerdict::Show, 256 * MiB},
      {u"a.png", Bytes("\x89PNG\r\n\x1A\n", 8), 256 * MiB + 1, PreviewVerdict::TooLarge, 256 * MiB + 1},
      {u"a.jpg", Bytes("\xFF\xD8\xFF", 3), 4096 * MiB, PreviewVerdict::TooLarge, 4096 * MiB},
  };
  for (const Case& c : cases) {
    const PreviewDecision d = DecidePreview(c.name, c.head.data(), c.head.size(), c.fileSize);
    EXPECT_EQ(d.verdict, c.verdict) << c.bytes;
    EXPECT_EQ(d.bytes, c.bytes);
  }
  EXPECT_EQ(PreviewTooLargeText(300 * MiB),
            u"The picture is too large to preview: 300 MB (the preview reads at most 256 MB).");
}

}  // namespace
