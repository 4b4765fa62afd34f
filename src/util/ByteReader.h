// Bounds-checked little-endian reads from a byte range. Every read reports
// whether it stayed inside the range; nothing is read past the end.
#pragma once

#include <cstddef>
#include <cstdint>

class ByteReader {
 public:
  ByteReader(const std::uint8_t* bytes, std::size_t size) : data(bytes), length(size) {}

  std::size_t Size() const { return length; }
  const std::uint8_t* Data() const { return data; }

  // True when [offset, offset + width) lies inside the range; no sum can overflow.
  bool Holds(std::size_t offset, std::size_t width) const {
    return offset <= length && width <= length - offset;
  }

  bool U8(std::size_t offset, std::uint8_t* value) const { return Unsigned(offset, 1, value); }
  bool U16(std::size_t offset, std::uint16_t* value) const { return Unsigned(offset, 2, value); }
  bool U32(std::size_t offset, std::uint32_t* value) const { return Unsigned(offset, 4, value); }
  bool U64(std::size_t offset, std::uint64_t* value) const { return Unsigned(offset, 8, value); }

  // Unsigned little-endian value of `width` (0 to 8) bytes.
  template <typename T>
  bool Unsigned(std::size_t offset, std::size_t width, T* value) const {
    if (width > sizeof(T) || !Holds(offset, width)) return false;
    T result = 0;
    for (std::size_t i = width; i-- > 0;) result = static_cast<T>((result << 8) | data[offset + i]);
    *value = result;
    return true;
  }

  // Big-endian values, for the formats that store them so (VHD).
  bool U32BE(std::size_t offset, std::uint32_t* value) const { return UnsignedBE(offset, 4, value); }
  bool U64BE(std::size_t offset, std::uint64_t* value) const { return UnsignedBE(offset, 8, value); }

  template <typename T>
  bool UnsignedBE(std::size_t offset, std::size_t width, T* value) const {
    if (width > sizeof(T) || !Holds(offset, width)) return false;
    T result = 0;
    for (std::size_t i = 0; i < width; ++i) result = static_cast<T>((result << 8) | data[offset + i]);
    *value = result;
    return true;
  }

  // Two's complement value of `width` (0 to 8) bytes, sign-extended from the
  // top bit of its last byte; 0 bytes read as 0.
  bool Signed(std::size_t offset, std::size_t width, std::int64_t* value) const {
    std::uint64_t raw = 0;
    if (!Unsigned(offset, width, &raw)) return false;
    if (width > 0 && width < 8 && (raw >> (8 * width - 1)) & 1) raw |= ~0ull << (8 * width);
    *value = static_cast<std::int64_t>(raw);
    return true;
  }

 private:
  const std::uint8_t* data;
  std::size_t length;
};

// a x b, or the largest value when the product does not fit: sizes made of
// disk fields compare safely against real bounds.
inline std::uint64_t SaturatingMultiply(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
  return a * b;
}
