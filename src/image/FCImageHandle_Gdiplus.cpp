#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "image/FCImageHandle_Gdiplus.h"

namespace flat = Gdiplus::DllExports;

namespace {

// The DIB layout of a GDI+ pixel format.
struct Layout {
  Gdiplus::PixelFormat format;
  std::uint16_t bits;
  std::uint32_t compression;
  std::uint32_t masks[3];
  bool opaque;  // the fourth byte carries nothing: set it to 255
};

const Layout Layouts[] = {
    {PixelFormat1bppIndexed, 1, dib::BiRgb, {0, 0, 0}, false},
    {PixelFormat4bppIndexed, 4, dib::BiRgb, {0, 0, 0}, false},
    {PixelFormat8bppIndexed, 8, dib::BiRgb, {0, 0, 0}, false},
    {PixelFormat16bppRGB555, 16, dib::BiBitfields, {0x7C00, 0x03E0, 0x001F}, false},
    {PixelFormat16bppRGB565, 16, dib::BiBitfields, {0xF800, 0x07E0, 0x001F}, false},
    {PixelFormat16bppARGB1555, 16, dib::BiBitfields, {0x7C00, 0x03E0, 0x001F}, false},
    {PixelFormat24bppRGB, 24, dib::BiRgb, {0, 0, 0}, false},
    {PixelFormat32bppRGB, 32, dib::BiRgb, {0, 0, 0}, true},
    {PixelFormat32bppARGB, 32, dib::BiRgb, {0, 0, 0}, false},
    {PixelFormat32bppPARGB, 32, dib::BiRgb, {0, 0, 0}, false},
};

const Layout* FindLayout(Gdiplus::PixelFormat format) {
  for (const Layout& layout : Layouts)
    if (layout.format == format) return &layout;
  return nullptr;
}

struct StreamRelease {
  void operator()(IStream* stream) const { stream->Release(); }
};
struct ImageDispose {
  void operator()(Gdiplus::GpBitmap* bitmap) const { flat::GdipDisposeImage(bitmap); }
};

// A stream over a movable copy of the bytes; the stream frees the copy.
IStream* StreamOverCopy(const std::uint8_t* bytes, std::uint32_t size) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
  if (!block) return nullptr;
  void* target = GlobalLock(block);
  if (!target) {
    GlobalFree(block);
    return nullptr;
  }
  std::memcpy(target, bytes, size);
  GlobalUnlock(block);
  IStream* stream = nullptr;
  if (FAILED(CreateStreamOnHGlobal(block, TRUE, &stream))) {
    GlobalFree(block);
    return nullptr;
  }
  return stream;
}

void ReadPalette(Gdiplus::GpBitmap* bitmap, FCObjImage* image) {
  INT size = 0;
  if (flat::GdipGetImagePaletteSize(bitmap, &size) != Gdiplus::Ok ||
      size < static_cast<INT>(sizeof(Gdiplus::ColorPalette)))
    return;
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[size]);
  if (!buffer) return;
  auto* palette = reinterpret_cast<Gdiplus::ColorPalette*>(buffer.get());
  if (flat::GdipGetImagePalette(bitmap, palette, size) != Gdiplus::Ok) return;
  // Count as GDI+ says, but never past the buffer it filled.
  const std::size_t room = (size - offsetof(Gdiplus::ColorPalette, Entries)) / sizeof(Gdiplus::ARGB);
  const std::size_t count = palette->Count < room ? palette->Count : room;
  for (std::size_t i = 0; i < count; ++i) {
    const Gdiplus::ARGB argb = palette->Entries[i];
    FCRgbQuad entry;
    entry.blue = static_cast<std::uint8_t>(argb);
    entry.green = static_cast<std::uint8_t>(argb >> 8);
    entry.red = static_cast<std::uint8_t>(argb >> 16);
    entry.reserved = static_cast<std::uint8_t>(argb >> 24);
    image->SetColorTable(static_cast<std::uint32_t>(i), 1, &entry);
  }
}

// The active frame as a new image, or null when its format has no layout
// here or GDI+ fails on a row.
FCObjImage* ConvertActiveFrame(Gdiplus::GpBitmap* bitmap) {
  UINT width = 0, height = 0;
  Gdiplus::PixelFormat format = 0;
  if (flat::GdipGetImageWidth(bitmap, &width) != Gdiplus::Ok ||
      flat::GdipGetImageHeight(bitmap, &height) != Gdiplus::Ok ||
      flat::GdipGetImagePixelFormat(bitmap, &format) != Gdiplus::Ok)
    return nullptr;
  const Layout* layout = FindLayout(format);
  if (!layout || width > 0x7FFFFFFF || height > 0x7FFFFFFF) return nullptr;

  FCBitmapInfoHeader header;
  header.size = dib::InfoHeaderSize;
  header.width = static_cast<std::int32_t>(width);
  header.height = static_cast<std::int32_t>(height);
  header.planes = 1;
  header.bitCount = layout->bits;
  header.compression = layout->compression;
  std::unique_ptr<FCObjImage> image(new (std::nothrow) FCObjImage);
  if (!image || !image->Create(header, layout->masks)) return nullptr;
  if (layout->bits <= 8) ReadPalette(bitmap, image.get());

  // GDI+ writes each row straight into the image's row, unconverted.
  for (UINT y = 0; y < height; ++y) {
    Gdiplus::GpRect rect(0, static_cast<INT>(y), static_cast<INT>(width), 1);
    Gdiplus::BitmapData data;
    data.Width = width;
    data.Height = 1;
    data.Stride = static_cast<INT>(image->Stride());
    data.PixelFormat = format;
    data.Scan0 = image->Row(static_cast<std::int32_t>(y));
    data.Reserved = 0;
    if (flat::GdipBitmapLockBits(bitmap, &rect, Gdiplus::ImageLockModeRead | Gdiplus::ImageLockModeUserInputBuf,
                                 format, &data) != Gdiplus::Ok)
      return nullptr;
    flat::GdipBitmapUnlockBits(bitmap, &data);
    if (layout->opaque) {
      std::uint8_t* row = image->Row(static_cast<std::int32_t>(y));
      for (UINT x = 0; x < width; ++x) row[4 * x + 3] = 255;
    }
  }
  return image.release();
}

void ReadProperties(Gdiplus::GpBitmap* bitmap, FCPropertyBag& properties) {
  UINT total = 0, count = 0;
  if (flat::GdipGetPropertySize(bitmap, &total, &count) != Gdiplus::Ok || count == 0 ||
      total < count * sizeof(Gdiplus::PropertyItem))
    return;
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[total]);
  if (!buffer) return;
  auto* items = reinterpret_cast<Gdiplus::PropertyItem*>(buffer.get());
  if (flat::GdipGetAllPropertyItems(bitmap, total, count, items) != Gdiplus::Ok) return;
  const std::uint8_t* begin = buffer.get();
  for (UINT i = 0; i < count; ++i) {
    const auto* value = static_cast<const std::uint8_t*>(items[i].value);
    const std::size_t length = items[i].length;
    // The values lie in the same buffer; one pointing elsewhere is skipped.
    if (length != 0 && (value < begin || value > begin + total || length > static_cast<std::size_t>(begin + total - value)))
      continue;
    if (!properties.Add(items[i].id, items[i].type, length ? value : nullptr, length)) return;
  }
}

}  // namespace

bool FCImageHandle_Gdiplus::LoadImageMemory(const std::uint8_t* bytes, std::uint32_t size, FCFrameList& frames,
                                            FCPropertyBag& properties) {
  if (!bytes || size < 1 || !GdiplusStarted()) return false;
  std::unique_ptr<IStream, StreamRelease> stream(StreamOverCopy(bytes, size));
  if (!stream) return false;
  Gdiplus::GpBitmap* created = nullptr;
  if (flat::GdipCreateBitmapFromStream(stream.get(), &created) != Gdiplus::Ok || !created) return false;
  std::unique_ptr<Gdiplus::GpBitmap, ImageDispose> bitmap(created);

  const std::size_t before = frames.Count();
  std::uint64_t pixelBytes = 0;
  UINT dimensionCount = 0;
  if (flat::GdipImageGetFrameDimensionsCount(bitmap.get(), &dimensionCount) == Gdiplus::Ok && dimensionCount > 0) {
    std::vector<GUID> dimensions;
    try {
      dimensions.resize(dimensionCount);
    } catch (const std::bad_alloc&) {
      return false;
    }
    if (flat::GdipImageGetFrameDimensionsList(bitmap.get(), dimensions.data(), dimensionCount) == Gdiplus::Ok) {
      for (const GUID& dimension : dimensions) {
        UINT frameCount = 0;
        if (flat::GdipImageGetFrameCount(bitmap.get(), &dimension, &frameCount) != Gdiplus::Ok) continue;
        // A file with many large frames would otherwise hold gigabytes.
        for (UINT i = 0; i < frameCount && pixelBytes < dib::MaxPixelBlock; ++i) {
          if (flat::GdipImageSelectActiveFrame(bitmap.get(), &dimension, i) != Gdiplus::Ok) continue;
          FCObjImage* frame = ConvertActiveFrame(bitmap.get());
          if (!frame) continue;
          pixelBytes += std::uint64_t{frame->Stride()} * static_cast<std::uint32_t>(frame->Height());
          frames.Append(frame);
        }
      }
    }
  }
  ReadProperties(bitmap.get(), properties);
  return frames.Count() > before;
}
