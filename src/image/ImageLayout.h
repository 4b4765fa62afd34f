// The device-independent bitmap structures the image object keeps, defined
// without <windows.h> (same layout as BITMAPINFOHEADER and RGBQUAD, so the
// drawing code hands them to GDI unchanged), and the byte offsets of the BMP
// and TGA headers the decoders read. Input is never cast to these structs:
// every field is read by the bounds-checked reader.
#pragma once

#include <cstddef>
#include <cstdint>

// Same fields, order and size as BITMAPINFOHEADER.
struct FCBitmapInfoHeader {
  std::uint32_t size = 0;           // of this header: 40
  std::int32_t width = 0;           // pixels, > 0
  std::int32_t height = 0;          // pixels, > 0: rows stored bottom-up
  std::uint16_t planes = 0;         // 1
  std::uint16_t bitCount = 0;       // 1, 4, 8, 16, 24 or 32
  std::uint32_t compression = 0;    // BiRgb, or BiBitfields for 16 bits only
  std::uint32_t sizeImage = 0;      // 0
  std::int32_t xPelsPerMeter = 0;   // from the source header
  std::int32_t yPelsPerMeter = 0;   // from the source header
  std::uint32_t clrUsed = 0;        // 0
  std::uint32_t clrImportant = 0;   // 0
};
static_assert(sizeof(FCBitmapInfoHeader) == 40, "must match BITMAPINFOHEADER");

// Same fields, order and size as RGBQUAD.
struct FCRgbQuad {
  std::uint8_t blue = 0;
  std::uint8_t green = 0;
  std::uint8_t red = 0;
  std::uint8_t reserved = 0;  // alpha where the source has one
};
static_assert(sizeof(FCRgbQuad) == 4, "must match RGBQUAD");

namespace dib {
constexpr std::uint32_t InfoHeaderSize = 40;
constexpr std::uint32_t BiRgb = 0;        // uncompressed
constexpr std::uint32_t BiBitfields = 3;  // uncompressed, three colour masks after the header
// 16-bit pixels without masks of their own are 5-5-5.
constexpr std::uint32_t Mask555Red = 0x7C00;
constexpr std::uint32_t Mask555Green = 0x03E0;
constexpr std::uint32_t Mask555Blue = 0x001F;
// A damaged header can ask for gigabytes: a pixel block larger than this is
// refused rather than attempted.
constexpr std::uint64_t MaxPixelBlock = 256u << 20;
}  // namespace dib

// BMP file: a 14-byte file header, then a BITMAPINFOHEADER (or a later,
// longer version whose first 40 bytes are the same), all little-endian.
namespace bmp {
constexpr std::size_t FileHeaderSize = 14;
constexpr std::uint8_t Magic0 = 'B';
constexpr std::uint8_t Magic1 = 'M';
constexpr std::size_t PixelOffset = 10;     // u32: start of the pixel rows, from the file start
constexpr std::size_t InfoHeader = 14;      // the info header starts here
// Offsets below are from the start of the info header.
constexpr std::size_t InfoSize = 0;         // u32: header length; 12 is the older core header
constexpr std::size_t InfoWidth = 4;        // i32
constexpr std::size_t InfoHeight = 8;       // i32: negative = top-down rows
constexpr std::size_t InfoPlanes = 12;      // u16
constexpr std::size_t InfoBitCount = 14;    // u16
constexpr std::size_t InfoCompression = 16; // u32
constexpr std::size_t InfoXPels = 24;       // i32: pixels per metre
constexpr std::size_t InfoYPels = 28;       // i32
constexpr std::size_t MasksSize = 12;       // three u32 masks right after the first 40 header bytes
constexpr std::size_t PaletteEntrySize = 4; // blue, green, red, reserved
}  // namespace bmp

// TGA file: an 18-byte little-endian header, the image ID, the colour map,
// then the pixel rows.
namespace tga {
constexpr std::size_t HeaderSize = 18;
constexpr std::size_t IdLength = 0;        // u8: bytes of image ID after the header
constexpr std::size_t ColorMapType = 1;    // u8: 1 = a colour map follows
constexpr std::size_t ImageType = 2;       // u8: see the Type constants
constexpr std::size_t ColorMapFirst = 3;   // u16: index of the first entry stored
constexpr std::size_t ColorMapLength = 5;  // u16: entries stored
constexpr std::size_t ColorMapBits = 7;    // u8: bits per colour-map entry
constexpr std::size_t Width = 12;          // u16: pixels
constexpr std::size_t Height = 14;         // u16: pixels
constexpr std::size_t PixelDepth = 16;     // u8: bits per pixel
constexpr std::size_t Descriptor = 17;     // u8: bit 5 set = top row first
constexpr std::uint8_t DescriptorTopDown = 0x20;
constexpr std::uint8_t HasColorMap = 1;
constexpr std::size_t ColorMapSlots = 256;
constexpr std::uint8_t TypeColorMapped = 1;
constexpr std::uint8_t TypeTrueColor = 2;
constexpr std::uint8_t TypeGrey = 3;
constexpr std::uint8_t TypeRleColorMapped = 9;
constexpr std::uint8_t TypeRleTrueColor = 10;
constexpr std::uint8_t TypeRleGrey = 11;
constexpr std::uint8_t RunPacket = 0x80;   // packet header bit: a run of one pixel value
constexpr std::uint8_t PacketCount = 0x7F; // packet header: pixels - 1
}  // namespace tga
