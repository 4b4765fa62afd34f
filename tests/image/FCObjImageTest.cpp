#include <gtest/gtest.h>

#include <cstring>

#include "image/FCImageHandleFactory.h"
#include "image/FCObjImage.h"
#include "image/ImageReference.h"
#include "support/RecordBuilder.h"

namespace {

FCBitmapInfoHeader Header(std::int32_t width, std::int32_t height, std::uint16_t bits,
                          std::uint32_t compression = dib::BiRgb) {
  FCBitmapInfoHeader header;
  header.size = dib::InfoHeaderSize;
  header.width = width;
  header.height = height;
  header.planes = 1;
  header.bitCount = bits;
  header.compression = compression;
  header.xPelsPerMeter = 2835;
  header.yPelsPerMeter = 2836;
  header.clrUsed = 7;
  header.sizeImage = 99;
  return header;
}

TEST(FCObjImage, CreateRefusesWhatCannotBeDrawn) {
  struct Case {
    const char* what;
    FCBitmapInfoHeader header;
  };
  const Case cases[] = {
      {"width 0", Header(0, 5, 24)},
      {"negative width", Header(-5, 5, 24)},
      {"height 0", Header(5, 0, 24)},
      {"top-down", Header(5, -5, 24)},
      {"2 bits", Header(5, 5, 2)},
      {"48 bits", Header(5, 5, 48)},
      {"run-length", Header(5, 5, 8, 1)},
      {"PNG inside", Header(5, 5, 24, 5)},
      {"block above the cap", Header(20000, 20000, 32)},
      {"widest and highest", Header(0x7FFFFFFF, 0x7FFFFFFF, 32)},
  };
  FCObjImage image;
  for (const Case& c : cases) {
    ASSERT_TRUE(image.Create(3, 3, 8));
    EXPECT_FALSE(image.Create(c.header)) << c.what;
    EXPECT_FALSE(image.IsValid()) << c.what;
    EXPECT_EQ(image.Row(0), nullptr) << c.what;
    EXPECT_EQ(image.Palette(), nullptr) << c.what;
    EXPECT_EQ(image.Header().size, 0u) << c.what;
  }
}

TEST(FCObjImage, LayoutOfACreatedImage) {
  struct Case {
    std::int32_t width;
    std::uint16_t bits;
    std::uint32_t stride;
  };
  const Case cases[] = {{2, 24, 8}, {37, 24, 112}, {33, 1, 8}, {32, 1, 4}, {3, 4, 4}, {9, 4, 8},
                        {5, 8, 8},  {3, 16, 8},    {1, 32, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << " x " << c.bits);
    FCObjImage image;
    ASSERT_TRUE(image.Create(Header(c.width, 3, c.bits)));
    EXPECT_EQ(image.Stride(), c.stride);
    // The block holds the bottom row first; the table starts at the top.
    EXPECT_EQ(image.Row(2), image.Bits());
    EXPECT_EQ(image.Row(0), image.Bits() + 2 * c.stride);
    EXPECT_EQ(image.Row(3), nullptr);
    EXPECT_EQ(image.Row(-1), nullptr);
    for (std::uint32_t i = 0; i < 3 * c.stride; ++i) ASSERT_EQ(image.Bits()[i], 0);
    // Only the fields a DIB needs survive from the source header.
    EXPECT_EQ(image.Header().size, dib::InfoHeaderSize);
    EXPECT_EQ(image.Header().xPelsPerMeter, 2835);
    EXPECT_EQ(image.Header().yPelsPerMeter, 2836);
    EXPECT_EQ(image.Header().clrUsed, 0u);
    EXPECT_EQ(image.Header().sizeImage, 0u);
  }
}

TEST(FCObjImage, GreyRampPalettes) {
  struct Case {
    std::uint16_t bits;
    std::vector<std::uint8_t> greys;
  };
  std::vector<std::uint8_t> eight(256);
  for (int i = 0; i < 256; ++i) eight[i] = static_cast<std::uint8_t>(i);
  const Case cases[] = {
      {1, {0, 255}},
      {4, {0, 17, 34, 51, 68, 85, 102, 119, 136, 153, 170, 187, 204, 221, 238, 255}},
      {8, eight},
  };
  for (const Case& c : cases) {
    FCObjImage image;
    ASSERT_TRUE(image.Create(4, 4, c.bits));
    ASSERT_EQ(image.PaletteSize(), c.greys.size());
    for (std::size_t i = 0; i < c.greys.size(); ++i) {
      const FCRgbQuad& entry = image.Palette()[i];
      EXPECT_EQ(entry.red, c.greys[i]);
      EXPECT_EQ(entry.green, c.greys[i]);
      EXPECT_EQ(entry.blue, c.greys[i]);
      EXPECT_EQ(entry.reserved, 0);
    }
  }
  FCObjImage deep;
  ASSERT_TRUE(deep.Create(4, 4, 24));
  EXPECT_EQ(deep.Palette(), nullptr);
}

TEST(FCObjImage, MasksAndCompression) {
  const std::uint32_t rgb565[3] = {0xF800, 0x07E0, 0x001F};
  struct Case {
    std::uint16_t bits;
    std::uint32_t compression;
    const std::uint32_t* masks;
    std::uint32_t keptCompression;
    std::uint32_t red;
  };
  const Case cases[] = {
      {16, dib::BiBitfields, rgb565, dib::BiBitfields, 0xF800},
      {16, dib::BiRgb, rgb565, dib::BiRgb, dib::Mask555Red},
      {16, dib::BiBitfields, nullptr, dib::BiBitfields, dib::Mask555Red},
      {32, dib::BiBitfields, rgb565, dib::BiRgb, 0},
  };
  for (const Case& c : cases) {
    FCObjImage image;
    ASSERT_TRUE(image.Create(Header(2, 2, c.bits, c.compression), c.masks));
    EXPECT_EQ(image.Header().compression, c.keptCompression);
    EXPECT_EQ(image.Masks()[0], c.red);
  }
}

TEST(FCObjImage, CopyAndPalette) {
  FCObjImage source;
  ASSERT_TRUE(source.Create(5, 3, 4));
  for (std::int32_t y = 0; y < 3; ++y) std::memset(source.Row(y), 0x10 * y + 1, source.Stride());
  const FCRgbQuad entries[2] = {{1, 2, 3, 4}, {5, 6, 7, 8}};
  source.SetColorTable(15, 2, entries);  // the second entry does not exist
  EXPECT_EQ(source.Palette()[15].red, 3);
  EXPECT_EQ(source.Palette()[14].red, 238);
  source.SetColorTable(16, 1, entries);
  source.SetPosition(7, -2);

  FCObjImage copy;
  ASSERT_TRUE(copy.CopyFrom(source));
  EXPECT_EQ(std::memcmp(&copy.Header(), &source.Header(), sizeof(FCBitmapInfoHeader)), 0);
  EXPECT_EQ(std::memcmp(copy.Bits(), source.Bits(), 3 * source.Stride()), 0);
  EXPECT_EQ(std::memcmp(copy.Palette(), source.Palette(), 16 * sizeof(FCRgbQuad)), 0);
  EXPECT_EQ(copy.PositionX(), 7);
  EXPECT_EQ(copy.PositionY(), -2);
  EXPECT_NE(copy.Bits(), source.Bits());

  EXPECT_FALSE(copy.CopyFrom(copy));
  EXPECT_TRUE(copy.IsValid());
  FCObjImage empty;
  EXPECT_FALSE(copy.CopyFrom(empty));
}

TEST(FitRect, FitsWithoutEnlarging) {
  struct Case {
    std::int32_t w, h, areaW, areaH;
    FCFitted fitted;
  };
  const Case cases[] = {
      {640, 480, 320, 200, {27, 0, 266, 200}},   // scale 200/480, 266.67 truncated
      {100, 50, 320, 200, {110, 75, 100, 50}},   // fits: own size, centred
      {101, 51, 320, 200, {109, 74, 101, 51}},   // odd margins round toward zero
      {320, 200, 320, 200, {0, 0, 320, 200}},
      {400, 100, 320, 200, {0, 60, 320, 80}},    // too wide only
      {100, 400, 320, 200, {135, 0, 50, 200}},   // too high only
      {640, 400, 320, 200, {0, 0, 320, 200}},    // equal scales
      {10000, 1, 100, 100, {0, 49, 100, 1}},     // never thinner than 1
      {287, 287, 254, 4000, {0, 1873, 254, 254}},  // exact: 287 * (254 / 287) is 254
      {5, 5, 0, 0, {0, 0, 1, 1}},
  };
  for (const Case& c : cases) {
    const FCFitted got = FitRect(c.w, c.h, c.areaW, c.areaH);
    EXPECT_EQ(got.left, c.fitted.left) << c.w << "x" << c.h << " in " << c.areaW << "x" << c.areaH;
    EXPECT_EQ(got.top, c.fitted.top) << c.w << "x" << c.h << " in " << c.areaW << "x" << c.areaH;
    EXPECT_EQ(got.width, c.fitted.width) << c.w << "x" << c.h << " in " << c.areaW << "x" << c.areaH;
    EXPECT_EQ(got.height, c.fitted.height) << c.w << "x" << c.h << " in " << c.areaW << "x" << c.areaH;
  }
}

TEST(ImageFactory, TypeFromExtension) {
  struct Case {
    const char* name;
    int type;
  };
  const Case cases[] = {
      {"a.bmp", imagetype::Bmp},     {"PHOTO.JPG", imagetype::Jpeg}, {"x.JpEg", imagetype::Jpeg},
      {"a.b.gif", imagetype::Gif},   {"t.tga", imagetype::Tga},      {"scan.tif", imagetype::Tiff},
      {"scan.TIFF", imagetype::Tiff}, {"p.png", imagetype::Png},     {"i.ico", imagetype::Icon},
      {"z.pcx", imagetype::Pcx},     {"l.psd", imagetype::Psd},      {"m.xpm", imagetype::Xpm},
      {"bmp", imagetype::Unknown},   {"a.", imagetype::Unknown},     {"a.bmpx", imagetype::Unknown},
      {"a.bm", imagetype::Unknown},  {"jpg.dat", imagetype::Unknown}, {"", imagetype::Unknown},
      {"a.jpg ", imagetype::Unknown}, {"dir.png/file", imagetype::Unknown},
      {"x.averyveryverylongextension", imagetype::Unknown}, {"x.\xC9\xCD\xC7", imagetype::Unknown},
      {nullptr, imagetype::Unknown},
  };
  FCImageHandleFactory_Portable factory;
  for (const Case& c : cases) EXPECT_EQ(factory.ImageTypeFromName(c.name), c.type) << (c.name ? c.name : "null");
}

TEST(ImageFactory, LoadFromMemoryChoosesByTypeOnly) {
  const Bytes bmp = SmallBmp();
  FCImageHandleFactory_Portable factory;
  FCObjImage image;
  const auto size = static_cast<std::uint32_t>(bmp.size());
  ASSERT_TRUE(image.LoadFromMemory(bmp.data(), size, imagetype::Bmp, factory));
  // The top row is the second one stored: 12 bytes after the first.
  EXPECT_EQ(image.Row(0)[0], bmp[bmp::InfoHeader + dib::InfoHeaderSize + 12]);
  for (int type : {imagetype::Unknown, imagetype::Tga, imagetype::Jpeg, imagetype::Pcx, imagetype::Oxo, 99}) {
    EXPECT_FALSE(image.LoadFromMemory(bmp.data(), size, type, factory)) << type;
    EXPECT_FALSE(image.IsValid()) << type;
  }
  EXPECT_FALSE(image.LoadFromMemory(nullptr, size, imagetype::Bmp, factory));
}

}  // namespace
