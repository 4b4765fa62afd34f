#include "image/ImageReference.h"

#include "image/FCImageHandle_Bmp.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

const char* const TestPattern =
    "-size 37x23 xc:black -channel R -fx 'i/w' -channel G -fx 'j/h' -channel B -fx '(i*j%7)/6' +channel";

namespace {

Bytes ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An n-bit field widened to 8 bits by repeating its bits from the top.
std::uint8_t Widen(std::uint32_t value, std::uint32_t mask) {
  if (mask == 0) return 0;
  int shift = 0;
  while (((mask >> shift) & 1) == 0) ++shift;
  int bits = 0;
  while (((mask >> (shift + bits)) & 1) != 0) ++bits;
  const std::uint32_t field = (value & mask) >> shift;
  std::uint32_t wide = 0;
  for (int filled = 0; filled < 8; filled += bits) wide = (wide << bits) | field;
  return static_cast<std::uint8_t>(wide >> ((8 + bits - 1) / bits * bits - 8));
}

}  // namespace

Reference MakeReference(const TempDir& dir, const std::string& options, const std::string& format) {
  const std::string file = dir.Path() + "/ref." + format;
  const std::string rgba = dir.Path() + "/ref.rgba";
  Reference reference;
  EXPECT_EQ(RunCommand("convert " + options + " " + format + ":" + file + " 2>&1"), 0) << options;
  EXPECT_EQ(RunCommand("convert " + file + " -depth 8 rgba:" + rgba + " 2>&1"), 0) << options;
  reference.file = ReadWhole(file);
  reference.rgba = ReadWhole(rgba);
  return reference;
}

Bytes ExpandRgba(const FCObjImage& image) {
  Bytes out;
  const std::uint16_t bits = image.ColorBits();
  for (std::int32_t y = 0; y < image.Height(); ++y) {
    const std::uint8_t* row = image.Row(y);
    for (std::int32_t x = 0; x < image.Width(); ++x) {
      std::uint8_t r, g, b, a = 255;
      if (bits <= 8) {
        const std::uint32_t bitPos = static_cast<std::uint32_t>(x) * bits;
        const std::uint32_t index = (row[bitPos / 8] >> (8 - bits - bitPos % 8)) & ((1u << bits) - 1);
        const FCRgbQuad& entry = image.Palette()[index];
        r = entry.red, g = entry.green, b = entry.blue;
      } else if (bits == 16) {
        const std::uint32_t value = row[2 * x] | (row[2 * x + 1] << 8);
        r = Widen(value, image.Masks()[0]), g = Widen(value, image.Masks()[1]), b = Widen(value, image.Masks()[2]);
      } else {
        const std::uint8_t* p = row + x * (bits / 8);
        b = p[0], g = p[1], r = p[2];
        if (bits == 32) a = p[3];
      }
      out.insert(out.end(), {r, g, b, a});
    }
  }
  return out;
}

Bytes Opaque(Bytes rgba) {
  for (std::size_t i = 3; i < rgba.size(); i += 4) rgba[i] = 255;
  return rgba;
}

Bytes TopBits(Bytes rgba, int bits) {
  const auto keep = static_cast<std::uint8_t>(0xFF << (8 - bits));
  for (std::size_t i = 0; i < rgba.size(); ++i) if (i % 4 != 3) rgba[i] &= keep;
  return rgba;
}

Bytes SmallBmp() {
  const std::size_t stride = 12, offset = bmp::InfoHeader + dib::InfoHeaderSize;
  Bytes file(offset + 2 * stride, 0);
  file[0] = 'B';
  file[1] = 'M';
  PutLE(file, bmp::PixelOffset, offset, 4);
  PutLE(file, bmp::InfoHeader + bmp::InfoSize, dib::InfoHeaderSize, 4);
  PutLE(file, bmp::InfoHeader + bmp::InfoWidth, 3, 4);
  PutLE(file, bmp::InfoHeader + bmp::InfoHeight, 2, 4);
  PutLE(file, bmp::InfoHeader + bmp::InfoPlanes, 1, 2);
  PutLE(file, bmp::InfoHeader + bmp::InfoBitCount, 24, 2);
  for (std::size_t i = offset; i < file.size(); ++i) file[i] = static_cast<std::uint8_t>(i);
  return file;
}
