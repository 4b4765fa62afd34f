#include "support/WimCompress.h"

#include <wimlib.h>

#include <algorithm>
#include <cstdlib>

Bytes WimCompress(wof::Algorithm algorithm, const Bytes& data) {
  const std::size_t chunk = wof::ChunkBytes(algorithm);
  const wimlib_compression_type type =
      algorithm == wof::Algorithm::Lzx ? WIMLIB_COMPRESSION_TYPE_LZX : WIMLIB_COMPRESSION_TYPE_XPRESS;
  wimlib_compressor* compressor = nullptr;
  if (data.empty() || data.size() > chunk || wimlib_create_compressor(type, chunk, 0, &compressor) != 0) {
    std::abort();
  }
  Bytes out(data.size());
  out.resize(wimlib_compress(data.data(), data.size(), out.data(), data.size() - 1, compressor));
  wimlib_free_compressor(compressor);
  return out;
}

Bytes WofCompressedStream(wof::Algorithm algorithm, const Bytes& data) {
  const std::size_t chunk = wof::ChunkBytes(algorithm);
  Bytes table, chunks;
  for (std::size_t at = 0; at < data.size(); at += chunk) {
    if (at > 0) {
      for (int b = 0; b < 4; ++b) table.push_back(static_cast<std::uint8_t>(chunks.size() >> (8 * b)));
    }
    const Bytes piece(data.begin() + at, data.begin() + std::min(data.size(), at + chunk));
    const Bytes packed = WimCompress(algorithm, piece);
    chunks.insert(chunks.end(), packed.empty() ? piece.begin() : packed.begin(),
                  packed.empty() ? piece.end() : packed.end());
  }
  table.insert(table.end(), chunks.begin(), chunks.end());
  return table;
}
