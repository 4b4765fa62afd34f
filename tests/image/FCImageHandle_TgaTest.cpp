#include <gtest/gtest.h>

#include "image/FCImageHandleFactory.h"
#include "image/FCImageHandle_Tga.h"
#include "image/ImageReference.h"

namespace {

// A TGA file built field by field; every test changes what it needs.
struct TgaFields {
  std::uint8_t type = tga::TypeTrueColor;
  std::uint16_t width = 3;
  std::uint16_t height = 2;
  std::uint8_t depth = 24;
  std::uint8_t descriptor = 0;
  std::uint8_t idLength = 0;
  std::uint8_t colorMapType = 0;
  std::uint16_t colorMapFirst = 0;
  std::uint16_t colorMapLength = 0;
  std::uint8_t colorMapBits = 0;
  Bytes colorMap;
  Bytes data;

  Bytes Build() const {
    Bytes file(tga::HeaderSize, 0);
    PutLE(file, tga::IdLength, idLength, 1);
    PutLE(file, tga::ColorMapType, colorMapType, 1);
    PutLE(file, tga::ImageType, type, 1);
    PutLE(file, tga::ColorMapFirst, colorMapFirst, 2);
    PutLE(file, tga::ColorMapLength, colorMapLength, 2);
    PutLE(file, tga::ColorMapBits, colorMapBits, 1);
    PutLE(file, tga::Width, width, 2);
    PutLE(file, tga::Height, height, 2);
    PutLE(file, tga::PixelDepth, depth, 1);
    PutLE(file, tga::Descriptor, descriptor, 1);
    file.resize(file.size() + idLength, 'i');
    file.insert(file.end(), colorMap.begin(), colorMap.end());
    file.insert(file.end(), data.begin(), data.end());
    return file;
  }
};

Bytes Sequence(std::size_t count, std::uint8_t first = 1) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
  return bytes;
}

bool Load(const Bytes& file, FCObjImage* image, FCPropertyBag* properties = nullptr) {
  FCImageHandle_Tga handler;
  FCFrameList frames;
  FCPropertyBag bag;
  const bool loaded = handler.LoadImageMemory(file.data(), static_cast<std::uint32_t>(file.size()), frames,
                                              properties ? *properties : bag);
  if (!loaded) return false;
  EXPECT_EQ(frames.Count(), 1u);
  image->Swap(*frames.At(0));
  return true;
}

// The rows of an image as stored, top row first, without padding.
Bytes Pixels(const FCObjImage& image) {
  Bytes out;
  const std::size_t rowBytes = static_cast<std::size_t>(image.Width()) * image.ColorBits() / 8;
  for (std::int32_t y = 0; y < image.Height(); ++y) out.insert(out.end(), image.Row(y), image.Row(y) + rowBytes);
  return out;
}

TEST(TgaDecoder, MatchesConvertInBothOrientations) {
  struct Case {
    const char* options;
    std::uint16_t bits;
    bool keepsAlpha;
    int fieldBits = 8;
  };
  const Case cases[] = {
      {"-type TrueColor", 24, false},
      {"-alpha set -channel A -fx 'i/w' +channel", 32, true},
      {"-colors 200 -type Palette", 8, false},
      {"-type Grayscale", 8, false},
      {"-depth 5", 16, false, 5},
  };
  TempDir dir;
  for (const Case& c : cases) {
    for (const char* compression : {"", " -compress RLE"}) {
      SCOPED_TRACE(std::string(c.options) + compression);
      // convert keeps rows in the order it holds them and only flags the
      // orientation: flipped and flagged bottom-up, the picture is the same.
      const std::string options = std::string(TestPattern) + " " + c.options + compression;
      const Reference topDown = MakeReference(dir, options + " -orient TopLeft", "TGA");
      const Reference bottomUp = MakeReference(dir, options + " -flip", "TGA");
      ASSERT_GT(bottomUp.file.size(), tga::HeaderSize);
      ASSERT_GT(topDown.file.size(), tga::HeaderSize);
      ASSERT_EQ(bottomUp.file[tga::Descriptor] & tga::DescriptorTopDown, 0);
      ASSERT_NE(topDown.file[tga::Descriptor] & tga::DescriptorTopDown, 0);
      ASSERT_EQ(bottomUp.file[tga::ImageType] >= tga::TypeRleColorMapped, *compression != '\0');

      FCObjImage first, second;
      FCPropertyBag properties;
      ASSERT_TRUE(Load(bottomUp.file, &first, &properties));
      ASSERT_TRUE(Load(topDown.file, &second));
      EXPECT_EQ(first.ColorBits(), c.bits);
      const Bytes expected = c.keepsAlpha ? topDown.rgba : Opaque(topDown.rgba);
      EXPECT_EQ(TopBits(ExpandRgba(second), c.fieldBits), TopBits(expected, c.fieldBits));
      EXPECT_EQ(ExpandRgba(first), ExpandRgba(second));
      const FCProperty* coded = properties.Find(property::RunLengthCoded);
      ASSERT_NE(coded, nullptr);
      EXPECT_STREQ(reinterpret_cast<const char*>(coded->value.data()), *compression ? "1" : "-1");
    }
  }
}

TEST(TgaDecoder, FifteenBitsReadAsSixteen) {
  TgaFields fields;
  fields.depth = 16;
  fields.data = Sequence(3 * 2 * 2);
  FCObjImage sixteen, fifteen;
  ASSERT_TRUE(Load(fields.Build(), &sixteen));
  fields.depth = 15;
  ASSERT_TRUE(Load(fields.Build(), &fifteen));
  EXPECT_EQ(fifteen.ColorBits(), 16);
  EXPECT_EQ(Pixels(fifteen), Pixels(sixteen));
  EXPECT_EQ(fifteen.Masks()[0], dib::Mask555Red);
  EXPECT_EQ(fifteen.Masks()[2], dib::Mask555Blue);
}

TEST(TgaDecoder, ColorMapPlacementAndLimits) {
  struct Case {
    std::uint16_t first;
    std::uint16_t length;
    std::uint8_t bits;
    bool loads;
  };
  const Case cases[] = {
      {10, 250, 24, false},  // ends past entry 255
      {10, 246, 24, true},   // ends at entry 255
      {0, 256, 32, true},
      {255, 1, 24, true},
      {246, 11, 24, false},
      {0, 2, 15, false},
      {0, 2, 16, false},
      {0xFFFF, 0xFFFF, 24, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.first << " + " << c.length << " at " << int{c.bits});
    TgaFields fields;
    fields.type = tga::TypeColorMapped;
    fields.depth = 8;
    fields.colorMapType = tga::HasColorMap;
    fields.colorMapFirst = c.first;
    fields.colorMapLength = c.length;
    fields.colorMapBits = c.bits;
    const std::size_t entryBytes = c.bits == 32 ? 4 : 3;
    fields.colorMap = Sequence(entryBytes * std::min<std::size_t>(c.length, 256), 7);
    fields.data = Bytes{255, static_cast<std::uint8_t>(c.first), 0, 1, 2, 3};
    FCObjImage image;
    ASSERT_EQ(Load(fields.Build(), &image), c.loads);
    if (!c.loads) continue;
    for (std::uint32_t i = 0; i < image.PaletteSize(); ++i) {
      const FCRgbQuad& entry = image.Palette()[i];
      if (i < c.first || i >= std::uint32_t{c.first} + c.length) {
        EXPECT_EQ(entry.blue | entry.green | entry.red | entry.reserved, 0) << i;
        continue;
      }
      const std::size_t at = (i - c.first) * entryBytes;
      EXPECT_EQ(entry.blue, fields.colorMap[at]) << i;
      EXPECT_EQ(entry.green, fields.colorMap[at + 1]) << i;
      EXPECT_EQ(entry.red, fields.colorMap[at + 2]) << i;
      EXPECT_EQ(entry.reserved, entryBytes == 4 ? fields.colorMap[at + 3] : 0) << i;
    }
    // The pixel data follow the colour map.
    EXPECT_EQ(image.Row(1)[0], 255);
    EXPECT_EQ(image.Row(1)[1], c.first);
  }
}

TEST(TgaDecoder, DamagedHeadersFail) {
  struct Case {
    const char* what;
    void (*change)(TgaFields&);
  };
  const Case cases[] = {
      {"width 0", [](TgaFields& s) { s.width = 0; }},
      {"height 0", [](TgaFields& s) { s.height = 0; }},
      {"block above the cap", [](TgaFields& s) { s.width = s.height = 0xFFFF, s.depth = 32; }},
      {"depth 1", [](TgaFields& s) { s.depth = 1; }},
      {"depth 4", [](TgaFields& s) { s.depth = 4; }},
      {"depth 0", [](TgaFields& s) { s.depth = 0; }},
      {"depth 64", [](TgaFields& s) { s.depth = 64; }},
      {"no image data", [](TgaFields& s) { s.type = 0; }},
      {"Huffman coded", [](TgaFields& s) { s.type = 32; }},
      {"image ID past the end", [](TgaFields& s) { s.idLength = 255, s.data.clear(); }},
      {"image ID up to the end", [](TgaFields& s) { s.idLength = 4, s.data.clear(); }},
      {"colour map past the end",
       [](TgaFields& s) {
         s.colorMapType = tga::HasColorMap, s.colorMapLength = 200, s.colorMapBits = 24;
         s.colorMap.resize(3 * 199), s.data.clear();
       }},
      {"colour map up to the end",
       [](TgaFields& s) {
         s.colorMapType = tga::HasColorMap, s.colorMapLength = 2, s.colorMapBits = 32;
         s.colorMap.resize(8), s.data.clear();
       }},
  };
  FCObjImage image;
  TgaFields valid;
  valid.data = Sequence(3 * 2 * 3);
  ASSERT_TRUE(Load(valid.Build(), &image));
  for (const Case& c : cases) {
    TgaFields fields = valid;
    c.change(fields);
    EXPECT_FALSE(Load(fields.Build(), &image)) << c.what;
  }
  const Bytes file = valid.Build();
  for (std::size_t size = 0; size <= tga::HeaderSize; ++size)
    EXPECT_FALSE(Load(Bytes(file.begin(), file.begin() + size), &image)) << size;
}

TEST(TgaDecoder, ShortUncompressedRowsDecodePartly) {
  TgaFields fields;
  fields.data = Sequence(3 * 3 * 2);
  for (std::size_t kept : {1, 8, 9, 10, 17}) {
    SCOPED_TRACE(kept);
    TgaFields cut = fields;
    cut.data.resize(kept);
    FCObjImage image;
    ASSERT_TRUE(Load(cut.Build(), &image));
    // Bottom-up: the file's first row is the image's last.
    Bytes expected(fields.data.begin() + 9, fields.data.end());
    expected.insert(expected.end(), fields.data.begin(), fields.data.begin() + 9);
    for (std::size_t i = 0; i < expected.size(); ++i) {
      const std::size_t fileIndex = i < 9 ? i + 9 : i - 9;
      if (fileIndex >= kept) expected[i] = 0;
    }
    EXPECT_EQ(Pixels(image), expected);
  }
}

TEST(TgaDecoder, RunLengthPacketsStayInsideRowsAndInput) {
  struct Case {
    const char* what;
    std::uint16_t width;
    std::uint16_t height;
    Bytes data;
    Bytes pixels;  // top row first, one byte per pixel (8 bits, top-down)
  };
  const Case cases[] = {
      {"a run per row", 3, 2, {0x82, 5, 0x82, 6}, {5, 5, 5, 6, 6, 6}},
      {"literals per row", 2, 2, {0x01, 1, 2, 0x01, 3, 4}, {1, 2, 3, 4}},
      {"a run across rows", 3, 2, {0x85, 9}, {9, 9, 9, 9, 9, 9}},
      {"literals across rows", 2, 2, {0x03, 1, 2, 3, 4}, {1, 2, 3, 4}},
      {"a run past the last row", 2, 1, {0xFF, 7}, {7, 7}},
      {"literals past the last row", 2, 1, {0x7F, 1, 2, 3}, {1, 2}},
      {"input ends between packets", 2, 2, {0x81, 8}, {8, 8, 0, 0}},
      {"input ends inside literals", 2, 2, {0x03, 1, 2, 3}, {1, 2, 3, 0}},
      {"input ends before a run's value", 2, 2, {0x81, 8, 0x81}, {8, 8, 0, 0}},
  };
  for (const Case& c : cases) {
    TgaFields fields;
    fields.type = tga::TypeRleGrey;
    fields.depth = 8;
    fields.descriptor = tga::DescriptorTopDown;
    fields.width = c.width;
    fields.height = c.height;
    fields.data = c.data;
    FCObjImage image;
    ASSERT_TRUE(Load(fields.Build(), &image)) << c.what;
    EXPECT_EQ(Pixels(image), c.pixels) << c.what;
  }

  // Multi-byte pixels: a 24-bit run whose value is cut short.
  TgaFields fields;
  fields.type = tga::TypeRleTrueColor;
  fields.data = {0x80, 1, 2, 3, 0x80, 4, 5};
  FCObjImage image;
  ASSERT_TRUE(Load(fields.Build(), &image));
  EXPECT_EQ(Bytes(image.Row(1), image.Row(1) + 9), (Bytes{1, 2, 3, 0, 0, 0, 0, 0, 0}));
}

}  // namespace
