// Decoders: each turns a file's bytes into a list of frames. The base class
// decodes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "image/FCObjImage.h"

// Decoded frames, owned by the list.
class FCFrameList {
 public:
  // Takes ownership of `frame` in every case; false (frame released) when
  // the list cannot grow.
  bool Append(FCObjImage* frame);
  std::size_t Count() const { return frames.size(); }
  FCObjImage* At(std::size_t i) const { return i < frames.size() ? frames[i].get() : nullptr; }

 private:
  std::vector<std::unique_ptr<FCObjImage>> frames;
};

// Side information a decoder found; the program reads none of it.
struct FCProperty {
  std::uint32_t key;
  std::uint16_t type;  // GDI+ property type; 2 = ASCII text
  std::vector<std::uint8_t> value;
};

namespace property {
constexpr std::uint32_t RunLengthCoded = 1000;  // TGA: "1" run-length coded, "-1" not
constexpr std::uint16_t TypeAscii = 2;
}  // namespace property

class FCPropertyBag {
 public:
  // False when memory runs out.
  bool Add(std::uint32_t key, std::uint16_t type, const std::uint8_t* value, std::size_t length);
  bool AddText(std::uint32_t key, const char* text);
  // Null when the key is absent.
  const FCProperty* Find(std::uint32_t key) const;
  std::size_t Count() const { return items.size(); }

 private:
  std::vector<FCProperty> items;
};

class FCImageHandleBase {
 public:
  // Each returns true on success; the base class fails them all.
  virtual bool LoadImageFile(const char* path, FCFrameList& frames, FCPropertyBag& properties);
  // Appends the frames decoded from `bytes` to `frames`.
  virtual bool LoadImageMemory(const std::uint8_t* bytes, std::uint32_t size, FCFrameList& frames,
                               FCPropertyBag& properties);
  virtual bool SaveImageFile(const char* path, const FCFrameList& frames, const FCPropertyBag& properties);
  virtual ~FCImageHandleBase() = default;
};
