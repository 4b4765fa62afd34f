// What the XPRESS and LZX targets share. The first byte chooses: bit 0
// clear, one chunk (bytes 1-2: its size - 1) decoded on its own; set, a
// whole system-compressed file (bits 1-2: the chunk size, bytes 1-3: the
// file's size) read from the rest as its WofCompressedData stream, whole and
// again in pieces. Besides what the sanitizers see: only 0 or 1392 comes
// back, the stream is never read outside its bounds, and the pieces give the
// bytes the whole read gave.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "ntfs/Lzx.h"
#include "ntfs/WofStream.h"
#include "ntfs/Xpress.h"

namespace fuzzwof {

class Stream : public WofSource {
 public:
  Stream(const std::uint8_t* bytes, std::size_t size) : data(bytes), length(size) {}
  DWORD ReadAt(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer) override {
    FUZZ_CHECK(offset <= length && count <= length - offset);
    std::memcpy(buffer, data + offset, count);
    return code::Success;
  }

 private:
  const std::uint8_t* data;
  std::size_t length;
};

inline void Run(const std::uint8_t* data, std::size_t size, bool lzx) {
  constexpr std::size_t Header = 4;
  constexpr std::uint32_t MaxFileBytes = 1u << 16;  // enough chunks to need the table, quick to fill
  if (size < Header) return;
  const std::uint32_t field = data[1] | (data[2] << 8) | (data[3] << 16);
  if ((data[0] & 1) == 0) {
    const std::size_t capacity = lzx ? lzx::WindowBytes : xpress::MaxOutputBytes;
    const std::size_t out = 1 + (field & 0xFFFF) % capacity;
    std::vector<std::uint8_t> chunk(out);
    const DWORD result = lzx ? lzx::Decompress(data + 3, size - 3, chunk.data(), out)
                             : xpress::Decompress(data + 3, size - 3, chunk.data(), out);
    FUZZ_CHECK(result == code::Success || result == code::FileCorrupt);
    return;
  }
  constexpr wof::Algorithm Xpress[] = {wof::Algorithm::Xpress4K, wof::Algorithm::Xpress8K,
                                       wof::Algorithm::Xpress16K, wof::Algorithm::Xpress4K};
  const wof::Algorithm algorithm = lzx ? wof::Algorithm::Lzx : Xpress[(data[0] >> 1) & 3];
  const std::uint32_t fileSize = field % MaxFileBytes;
  Stream stream(data + Header, size - Header);
  CWofStream file;
  if (file.Open(&stream, size - Header, fileSize, algorithm) != code::Success) return;
  std::vector<std::uint8_t> whole(fileSize), pieces(fileSize);
  const DWORD wholeResult = file.Read(0, fileSize, whole.data());
  FUZZ_CHECK(wholeResult == code::Success || wholeResult == code::FileCorrupt);
  CWofStream again;
  FUZZ_CHECK(again.Open(&stream, size - Header, fileSize, algorithm) == code::Success);
  for (std::uint32_t at = 0; at < fileSize; at += 777) {
    const std::uint32_t n = fileSize - at < 777 ? fileSize - at : 777;
    const DWORD result = again.Read(at, n, pieces.data() + at);
    FUZZ_CHECK(result == code::Success || result == code::FileCorrupt);
    if (wholeResult == code::Success) FUZZ_CHECK(result == code::Success);
  }
  if (wholeResult == code::Success) FUZZ_CHECK(whole == pieces);
}

}  // namespace fuzzwof
