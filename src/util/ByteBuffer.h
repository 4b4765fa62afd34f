// Owned, zero-filled heap buffers for values read from a disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "platform/Memory.h"

// Frees with what allocated: malloc for small buffers, the system's pages
// for large ones.
struct BufferDeleter {
  std::size_t pageBytes = 0;  // 0: from calloc
  void operator()(std::uint8_t* bytes) const {
    if (pageBytes != 0) {
      FreePages(bytes, pageBytes);
    } else {
      std::free(bytes);
    }
  }
};
using ByteBuffer = std::unique_ptr<std::uint8_t[], BufferDeleter>;

// A zero-filled buffer of `size` bytes (at least one byte is allocated, so
// an empty value still has a buffer); null when memory is short.
inline ByteBuffer AllocateZeroed(std::size_t size) {
  constexpr std::size_t PagesFrom = 4u << 20;
  if (size >= PagesFrom) {
    return ByteBuffer(static_cast<std::uint8_t*>(AllocatePages(size)), BufferDeleter{size});
  }
  return ByteBuffer(static_cast<std::uint8_t*>(std::calloc(size == 0 ? 1 : size, 1)));
}
