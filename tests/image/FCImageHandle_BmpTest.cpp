#include <gtest/gtest.h>

#include <algorithm>

#include "image/FCImageHandleFactory.h"
#include "image/FCImageHandle_Bmp.h"
#include "image/ImageReference.h"

namespace {

bool Load(const Bytes& file, FCObjImage* image, std::size_t size) {
  FCImageHandleFactory_Portable factory;
  return image->LoadFromMemory(file.data(), static_cast<std::uint32_t>(size), imagetype::Bmp, factory);
}
bool Load(const Bytes& file, FCObjImage* image) { return Load(file, image, file.size()); }

// Offsets of the info header's fields in the whole file.
constexpr std::size_t Info = bmp::InfoHeader;


TEST(BmpDecoder, MatchesConvertAtEveryDepth) {
  struct Case {
    const char* options;
    const char* format;
    std::uint16_t bits;
    bool keepsAlpha;
  };
  const Case cases[] = {
      {"-type Bilevel", "BMP3", 1, false},
      {"-colors 16 -type Palette -compress None", "BMP3", 4, false},
      {"-colors 200 -type Palette -compress None", "BMP3", 8, false},
      {"-define bmp:subtype=RGB555", "BMP", 16, false},
      {"-define bmp:subtype=RGB565", "BMP", 16, false},
      {"-type TrueColor", "BMP3", 24, false},
      {"-alpha set -channel A -fx 'i/w' +channel -define bmp3:alpha=true", "BMP3", 32, true},
      {"-alpha set -channel A -fx 'j/h' +channel", "BMP", 32, true},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.format) + " " + c.options);
    const Reference ref = MakeReference(dir, std::string(TestPattern) + " " + c.options, c.format);
    FCObjImage image;
    ASSERT_TRUE(Load(ref.file, &image));
    EXPECT_EQ(image.ColorBits(), c.bits);
    EXPECT_EQ(image.Width(), 37);
    EXPECT_EQ(image.Height(), 23);
    EXPECT_EQ(ExpandRgba(image), c.keepsAlpha ? ref.rgba : Opaque(ref.rgba));
  }
}

TEST(BmpDecoder, StrideAndTopDownFiles) {
  Bytes file = SmallBmp();
  FCObjImage image;
  ASSERT_TRUE(Load(file, &image));
  EXPECT_EQ(image.Stride(), 12u);  // 9 bytes of pixels padded to 4
  // The file's first row is the bottom one.
  EXPECT_EQ(image.Row(1)[0], file[Info + dib::InfoHeaderSize]);
  EXPECT_EQ(image.Row(0)[0], file[Info + dib::InfoHeaderSize + 12]);

  PutLE(file, Info + bmp::InfoHeight, static_cast<std::uint32_t>(-2), 4);
  EXPECT_FALSE(Load(file, &image));
  EXPECT_FALSE(image.IsValid());
}

TEST(BmpDecoder, EightBitsTakeAWholePaletteWhateverColoursUsedSays) {
  TempDir dir;
  const Reference ref = MakeReference(dir, std::string(TestPattern) + " -colors 200 -type Palette -compress None", "BMP3");
  Bytes file = ref.file;
  PutLE(file, Info + 32, 16, 4);  // colours used
  FCObjImage image;
  ASSERT_TRUE(Load(file, &image));
  EXPECT_EQ(ExpandRgba(image), Opaque(ref.rgba));
}

TEST(BmpDecoder, ShortPixelDataDecodesTheRowsThatAreThere) {
  TempDir dir;
  const Reference ref = MakeReference(dir, std::string(TestPattern) + " -type TrueColor", "BMP3");
  const std::size_t stride = 112;  // 37 * 3 bytes padded to 4
  const std::size_t block = 23 * stride, offset = ref.file.size() - block;
  for (std::size_t rows : {0, 1, 10, 22}) {
    SCOPED_TRACE(rows);
    const std::size_t size = offset + rows * stride + (rows == 0 ? 1 : 5);
    FCObjImage image;
    ASSERT_TRUE(Load(ref.file, &image, size));
    Bytes expected(ref.file.begin() + offset, ref.file.begin() + size);
    expected.resize(block, 0);
    EXPECT_EQ(Bytes(image.Bits(), image.Bits() + block), expected);
    // The file holds the bottom rows first: those decoded match convert.
    const Bytes rgba = ExpandRgba(image);
    const std::size_t missing = (23 - rows) * 37 * 4;
    EXPECT_TRUE(std::equal(rgba.begin() + missing, rgba.end(), ref.rgba.begin() + missing));
  }
  FCObjImage image;
  EXPECT_FALSE(Load(ref.file, &image, offset));  // pixel offset at the end
}

TEST(BmpDecoder, DamagedHeadersFail) {
  struct Case {
    const char* what;
    std::size_t at;
    std::uint64_t value;
    std::size_t width;
  };
  const Case cases[] = {
      {"not BM", 0, 'B' | ('A' << 8), 2},
      {"pixel offset at the end", bmp::PixelOffset, 14 + 40 + 24, 4},
      {"pixel offset negative", bmp::PixelOffset, 0xFFFFFFF0, 4},
      {"core header", Info + bmp::InfoSize, 12, 4},
      {"header size 0", Info + bmp::InfoSize, 0, 4},
      {"width 0", Info + bmp::InfoWidth, 0, 4},
      {"negative width", Info + bmp::InfoWidth, 0xFFFFFFFD, 4},
      {"height 0", Info + bmp::InfoHeight, 0, 4},
      {"2 bits", Info + bmp::InfoBitCount, 2, 2},
      {"0 bits", Info + bmp::InfoBitCount, 0, 2},
      {"64 bits", Info + bmp::InfoBitCount, 64, 2},
      {"run-length 8", Info + bmp::InfoCompression, 1, 4},
      {"run-length 4", Info + bmp::InfoCompression, 2, 4},
      {"JPEG inside", Info + bmp::InfoCompression, 4, 4},
      {"block above the cap", Info + bmp::InfoWidth, 100000, 4},
      {"block past 4 GiB", Info + bmp::InfoHeight, 0x7FFFFFFF, 4},
  };
  FCObjImage image;
  ASSERT_TRUE(Load(SmallBmp(), &image));
  for (const Case& c : cases) {
    Bytes file = SmallBmp();
    PutLE(file, c.at, c.value, c.width);
    if (std::string(c.what) == "block above the cap") PutLE(file, Info + bmp::InfoHeight, 100000, 4);
    EXPECT_FALSE(Load(file, &image)) << c.what;
    EXPECT_FALSE(image.IsValid()) << c.what;
  }
}

TEST(BmpDecoder, TruncatedFilesFailOrStayInside) {
  const Bytes file = SmallBmp();
  FCObjImage image;
  // Up to the end of the info header there is nothing to decode.
  for (std::size_t size = 0; size < Info + dib::InfoHeaderSize; ++size) {
    Bytes cut(file.begin(), file.begin() + size);
    // A pixel offset inside the bytes, so that only the header is short.
    if (size >= bmp::PixelOffset + 4) PutLE(cut, bmp::PixelOffset, size - 1, 4);
    EXPECT_FALSE(Load(cut, &image)) << size;
  }
  FCImageHandle_Bmp handler;
  FCFrameList frames;
  FCPropertyBag properties;
  EXPECT_FALSE(handler.LoadImageMemory(nullptr, 100, frames, properties));
  EXPECT_EQ(frames.Count(), 0u);
}

TEST(BmpDecoder, MasksAndPaletteAtTheEdgeOfTheFile) {
  // 16 bits with bit fields: the masks must be there.
  Bytes file = SmallBmp();
  PutLE(file, Info + bmp::InfoBitCount, 16, 2);
  PutLE(file, Info + bmp::InfoCompression, dib::BiBitfields, 4);
  PutLE(file, Info + dib::InfoHeaderSize, 0xF800, 4);
  PutLE(file, Info + dib::InfoHeaderSize + 4, 0x07E0, 4);
  PutLE(file, Info + dib::InfoHeaderSize + 8, 0x001F, 4);
  PutLE(file, bmp::PixelOffset, Info + dib::InfoHeaderSize + bmp::MasksSize, 4);
  FCObjImage image;
  ASSERT_TRUE(Load(file, &image));
  EXPECT_EQ(image.Header().compression, dib::BiBitfields);
  EXPECT_EQ(image.Masks()[0], 0xF800u);
  EXPECT_EQ(image.Masks()[1], 0x07E0u);
  PutLE(file, bmp::PixelOffset, Info + dib::InfoHeaderSize, 4);
  EXPECT_FALSE(Load(file, &image, Info + dib::InfoHeaderSize + 8));

  // 8 bits: entries inside the file are taken, the rest keep the grey ramp,
  // also when the header's length puts the table far past the end.
  for (std::uint32_t headerSize : {40u, 0xFFFFFFF0u}) {
    SCOPED_TRACE(headerSize);
    Bytes eight = SmallBmp();
    PutLE(eight, Info + bmp::InfoSize, headerSize, 4);
    PutLE(eight, Info + bmp::InfoBitCount, 8, 2);
    PutLE(eight, bmp::PixelOffset, Info + dib::InfoHeaderSize, 4);
    eight.resize(Info + dib::InfoHeaderSize + 2 * 4 + 3);  // two whole entries and a part
    ASSERT_TRUE(Load(eight, &image));
    const std::uint8_t* entry = &eight[Info + dib::InfoHeaderSize + 4];
    if (headerSize == 40) {
      EXPECT_EQ(image.Palette()[1].blue, entry[0]);
      EXPECT_EQ(image.Palette()[1].red, entry[2]);
    } else {
      EXPECT_EQ(image.Palette()[1].blue, 1);
    }
    EXPECT_EQ(image.Palette()[2].green, 2);
    EXPECT_EQ(image.Palette()[255].red, 255);
  }
}

}  // namespace
