#include "ntfs/Lznt1.h"

#include <cstring>

namespace lznt1 {

namespace {

constexpr std::uint16_t HeaderSizeMask = 0x0FFF;  // chunk bytes, header included, minus 3
constexpr std::uint16_t HeaderCompressed = 0x8000;

// Decodes one compressed chunk's groups into output[start, end).
DWORD DecodeChunk(const std::uint8_t* in, std::size_t length, std::uint8_t* output, std::size_t start,
                  std::size_t end, std::size_t* written) {
  std::size_t out = start;
  std::size_t pos = 0;
  while (pos < length) {
    const std::uint8_t flags = in[pos++];
    for (int bit = 0; bit < 8 && pos < length; ++bit) {
      if ((flags & (1u << bit)) == 0) {
        if (out >= end) return code::FileCorrupt;
        output[out++] = in[pos++];
        continue;
      }
      if (length - pos < 2) return code::FileCorrupt;
      const unsigned token = in[pos] | (in[pos + 1] << 8);
      pos += 2;
      // The split between displacement and length moves with the bytes
      // already written in this chunk, so that every displacement fits.
      const std::size_t done = out - start;
      if (done == 0) return code::FileCorrupt;
      unsigned k = 0;
      while (done - 1 >= (std::size_t{16} << k)) ++k;
      const std::size_t back = (token >> (12 - k)) + 1;
      const std::size_t count = (token & (0x0FFFu >> k)) + 3;
      if (back > done || count > end - out) return code::FileCorrupt;
      for (std::size_t i = 0; i < count; ++i, ++out) output[out] = output[out - back];  // may overlap
    }
  }
  *written = out - start;
  return code::Success;
}

}  // namespace

DWORD Decompress(const std::uint8_t* input, std::size_t length, std::uint8_t* output, std::size_t capacity,
                 std::size_t* produced) {
  *produced = 0;
  std::size_t in = 0, out = 0;
  while (length - in >= 2 && out < capacity) {
    const std::uint16_t header = static_cast<std::uint16_t>(input[in] | (input[in + 1] << 8));
    if (header == 0) break;
    const std::size_t size = (header & HeaderSizeMask) + 3u;
    if (size > length - in) return code::FileCorrupt;
    const std::uint8_t* data = input + in + 2;
    const std::size_t dataLength = size - 2;
    const std::size_t chunkEnd = capacity - out < ChunkBytes ? capacity : out + ChunkBytes;
    std::size_t written = 0;
    if ((header & HeaderCompressed) != 0) {
      const DWORD result = DecodeChunk(data, dataLength, output, out, chunkEnd, &written);
      if (result != code::Success) return result;
    } else {
      if (dataLength > chunkEnd - out) return code::FileCorrupt;
      std::memcpy(output + out, data, dataLength);
      written = dataLength;
    }
    // A chunk always stands for its whole 4096 bytes of output.
    std::memset(output + out + written, 0, chunkEnd - out - written);
    out = chunkEnd;
    in += size;
  }
  *produced = out;
  return code::Success;
}

}  // namespace lznt1
