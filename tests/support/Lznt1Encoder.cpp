#include "support/Lznt1Encoder.h"

#include <algorithm>

namespace {

Bytes CompressChunk(const std::uint8_t* data, std::size_t size) {
  Bytes out;
  std::size_t p = 0;
  while (p < size) {
    const std::size_t flagAt = out.size();
    out.push_back(0);
    for (int bit = 0; bit < 8 && p < size; ++bit) {
      unsigned k = 0;
      while (p > 0 && p - 1 >= (std::size_t{16} << k)) ++k;
      const std::size_t maxLength = (0x0FFFu >> k) + 3;
      std::size_t bestLength = 0, bestBack = 0;
      for (std::size_t back = 1; back <= p && p > 0; ++back) {
        std::size_t length = 0;
        while (length < maxLength && p + length < size && data[p + length - back] == data[p + length]) ++length;
        if (length > bestLength) bestLength = length, bestBack = back;
      }
      if (bestLength >= 3) {
        const unsigned token = static_cast<unsigned>(((bestBack - 1) << (12 - k)) | (bestLength - 3));
        out.push_back(static_cast<std::uint8_t>(token));
        out.push_back(static_cast<std::uint8_t>(token >> 8));
        out[flagAt] = static_cast<std::uint8_t>(out[flagAt] | (1u << bit));
        p += bestLength;
      } else {
        out.push_back(data[p++]);
      }
    }
  }
  return out;
}

}  // namespace

Bytes Lznt1Compress(const Bytes& data) {
  Bytes out;
  for (std::size_t at = 0; at < data.size(); at += 4096) {
    const std::size_t size = std::min<std::size_t>(4096, data.size() - at);
    Bytes packed = CompressChunk(data.data() + at, size);
    const bool compressed = packed.size() < size;
    if (!compressed) packed.assign(data.begin() + static_cast<std::ptrdiff_t>(at),
                                   data.begin() + static_cast<std::ptrdiff_t>(at + size));
    const unsigned header = static_cast<unsigned>(packed.size() + 2 - 3) | 0x3000u | (compressed ? 0x8000u : 0);
    out.push_back(static_cast<std::uint8_t>(header));
    out.push_back(static_cast<std::uint8_t>(header >> 8));
    out.insert(out.end(), packed.begin(), packed.end());
  }
  return out;
}
