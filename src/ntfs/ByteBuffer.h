// Owned, zero-filled heap buffers for values read from a disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

struct FreeDeleter {
  void operator()(std::uint8_t* bytes) const { std::free(bytes); }
};
using ByteBuffer = std::unique_ptr<std::uint8_t[], FreeDeleter>;

// A zero-filled buffer of `size` bytes (at least one byte is allocated, so
// an empty value still has a buffer); null when memory is short.
inline ByteBuffer AllocateZeroed(std::size_t size) {
  return ByteBuffer(static_cast<std::uint8_t*>(std::calloc(size == 0 ? 1 : size, 1)));
}
