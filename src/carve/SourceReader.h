// Bounded reads from a ByteSource through one window of held bytes: what
// every carving parser reads with. Nothing past the source's end is ever
// returned; a failed read ends the source where it failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "carve/Carve.h"

namespace carve {

class SourceReader {
 public:
  // The window of `windowBytes` is allocated at the first read the source
  // cannot lend.
  SourceReader(ByteSource& source, std::size_t windowBytes);
  SourceReader(const SourceReader&) = delete;
  SourceReader& operator=(const SourceReader&) = delete;

  // False when the window could not be allocated: the source read as ending there.
  bool Allocated() const { return !outOfMemory; }

  // The bytes [offset, offset + count), count at most MinWindowBytes; nullptr
  // when the source ends (or fails) first. Valid until the next read.
  const std::uint8_t* Get(std::uint64_t offset, std::size_t count);
  // At least one and at most `count` of the bytes from `offset`, as many as
  // the window holds at once (`*got`); nullptr at the source's end.
  const std::uint8_t* Some(std::uint64_t offset, std::uint64_t count, std::size_t* got);
  // Whether the source holds [0, end).
  bool Reaches(std::uint64_t end);
  // The bytes the source holds below `limit`: `limit` itself when it reaches it.
  std::uint64_t Available(std::uint64_t limit);

  bool U8(std::uint64_t offset, std::uint8_t* value);
  bool U16(std::uint64_t offset, std::uint16_t* value) { return Unsigned(offset, 2, false, value); }
  bool U32(std::uint64_t offset, std::uint32_t* value) { return Unsigned(offset, 4, false, value); }
  bool U64(std::uint64_t offset, std::uint64_t* value) { return Unsigned(offset, 8, false, value); }
  bool U16BE(std::uint64_t offset, std::uint16_t* value) { return Unsigned(offset, 2, true, value); }
  bool U32BE(std::uint64_t offset, std::uint32_t* value) { return Unsigned(offset, 4, true, value); }
  bool U64BE(std::uint64_t offset, std::uint64_t* value) { return Unsigned(offset, 8, true, value); }

  // An unsigned value of `width` (1 to 8) bytes in either byte order.
  template <typename T>
  bool Unsigned(std::uint64_t offset, std::size_t width, bool bigEndian, T* value) {
    if (width == 0 || width > sizeof(T)) return false;
    const std::uint8_t* p = Get(offset, width);
    if (p == nullptr) return false;
    T result = 0;
    for (std::size_t i = 0; i < width; ++i) {
      const std::uint8_t byte = bigEndian ? p[i] : p[width - 1 - i];
      result = static_cast<T>((static_cast<std::uint64_t>(result) << 8) | byte);
    }
    *value = result;
    return true;
  }

  // Whether the bytes at `offset` are `text` (`length` bytes, at most MinWindowBytes).
  bool Equals(std::uint64_t offset, const char* text, std::size_t length);

  DWORD ReadError() const { return readError; }

 private:
  bool Fill(std::uint64_t offset);

  ByteSource& source;
  std::unique_ptr<std::uint8_t[]> window;
  const std::uint8_t* held = nullptr;  // window, or the source's own bytes it lends
  bool outOfMemory = false;
  std::size_t capacity;
  std::uint64_t base = 0;  // source offset of window[0]
  std::size_t filled = 0;
  std::uint64_t end = UINT64_MAX;  // where the source ends, once a read has seen it
  bool endExact = false;           // whether `end` is where the source ends, or only past it
  std::uint64_t verified = 0;      // [0, verified) has been read
  DWORD readError = code::Success;
};

}  // namespace carve
