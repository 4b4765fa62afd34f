#include "carve/Inflate.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "carve/Crc32.h"

namespace carve {

namespace {

constexpr int RawDeflateWindowBits = -15;  // negative: no zlib header or trailer
constexpr std::size_t OutputBytes = 32768;
constexpr std::uint64_t MaxChunk = 1u << 30;  // zlib counts input in 32-bit units

class Stream {
 public:
  Stream() { std::memset(&z, 0, sizeof(z)); }
  ~Stream() {
    if (ready) inflateEnd(&z);
  }
  bool Init() { return ready = inflateInit2(&z, RawDeflateWindowBits) == Z_OK; }
  z_stream z;
  bool ready = false;
};

}  // namespace

Inflated Inflate(SourceReader& reader, std::uint64_t offset, std::uint64_t limit, InflateResult* out,
                 std::uint8_t* head, std::size_t headBytes) {
  *out = InflateResult();
  Stream stream;
  if (!stream.Init()) return Inflated::NoMemory;
  z_stream& z = stream.z;
  std::uint8_t output[OutputBytes];
  Crc32 crc;
  std::uint64_t pos = offset;
  std::size_t headFilled = 0;
  // Each turn consumes input or fills the output: bounded by the input.
  for (;;) {
    if (pos >= limit) return Inflated::Unbounded;
    std::size_t got = 0;
    const std::uint8_t* p = reader.Some(pos, std::min<std::uint64_t>(limit - pos, MaxChunk), &got);
    if (p == nullptr) return Inflated::CutShort;
    z.next_in = const_cast<Bytef*>(p);  // zlib's API is not const; it never writes input
    z.avail_in = static_cast<uInt>(got);
    int status = Z_OK;
    std::size_t madeThisTurn = 0;
    for (bool again = true; again;) {
      z.next_out = output;
      z.avail_out = OutputBytes;
      status = inflate(&z, Z_NO_FLUSH);
      const std::size_t made = OutputBytes - z.avail_out;
      crc.Update(output, made);
      if (head != nullptr && headFilled < headBytes) {
        const std::size_t take = std::min(made, headBytes - headFilled);
        std::memcpy(head + headFilled, output, take);
        headFilled += take;
      }
      out->produced += made;
      madeThisTurn += made;
      // A full output may hold more back even when the input is used up.
      again = status == Z_OK && (z.avail_in > 0 || z.avail_out == 0);
    }
    const std::size_t used = got - z.avail_in;
    out->consumed = pos - offset + used;
    out->crc = crc.Value();
    if (status == Z_STREAM_END) return Inflated::Whole;
    if (status == Z_MEM_ERROR) return Inflated::NoMemory;
    if (status != Z_OK && status != Z_BUF_ERROR) return Inflated::Invalid;
    if (used == 0 && madeThisTurn == 0) return Inflated::Invalid;  // no progress: never loop
    pos += used;
  }
}

}  // namespace carve
