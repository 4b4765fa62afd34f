// Files Windows compressed whole (system compression: CompactOS, compact
// /exe). Their unnamed $DATA is all sparse; a reparse point names the
// algorithm and the named $DATA stream "WofCompressedData" holds the file in
// independently compressed chunks behind a table of chunk offsets. This
// reads any byte range of the file from that stream.
#pragma once

#include <cstdint>

#include "platform/Types.h"
#include "util/ByteBuffer.h"
#include "util/ByteReader.h"

namespace wof {

// $REPARSE_POINT value: tag (u32), data length (u16), reserved (u16), then
// the data; for system compression the data is four u32s.
constexpr std::uint32_t ReparseTag = 0x80000017;
constexpr std::uint32_t ReparseTagOffset = 0x00;
constexpr std::uint32_t ReparseDataLength = 0x04;    // u16, bytes after the 8-byte header
constexpr std::uint32_t ReparseData = 0x08;
constexpr std::uint32_t ReparseVersion = 0x08;       // u32, 1
constexpr std::uint32_t ReparseProvider = 0x0C;      // u32, 2: the file's own stream (1 would be a WIM elsewhere)
constexpr std::uint32_t ReparseFileVersion = 0x10;   // u32, 1
constexpr std::uint32_t ReparseAlgorithm = 0x14;     // u32, below
constexpr std::uint32_t ReparseWofDataLength = 16;
constexpr std::uint32_t WofVersion = 1;
constexpr std::uint32_t FileProvider = 2;
constexpr std::uint32_t FileProviderVersion = 1;

enum class Algorithm : std::uint32_t { Xpress4K = 0, Lzx = 1, Xpress8K = 2, Xpress16K = 3 };

// The named $DATA stream that holds the chunks, in UTF-16.
constexpr char16_t StreamName[] = u"WofCompressedData";

// Chunk offsets are 4 bytes, or 8 when the file holds this much or more.
constexpr std::uint64_t WideOffsetsFrom = std::uint64_t{1} << 32;

// Reads a $REPARSE_POINT value. Another tag: *isWof false, 0. A system
// compression point: *isWof true and its algorithm, or code::FileCorrupt when it is cut
// short or names another version, provider or an unknown algorithm (the
// file cannot be read from this volume then).
DWORD ParseReparsePoint(const ByteReader& value, bool* isWof, Algorithm* algorithm);

// Uncompressed bytes per chunk: 4, 8, 16 or 32 KiB; 0 for no algorithm.
std::uint32_t ChunkBytes(Algorithm algorithm);

}  // namespace wof

// Where the compressed stream's bytes come from: the named $DATA stream on
// a volume, a buffer in tests.
class WofSource {
 public:
  virtual ~WofSource() = default;
  // Exactly `count` bytes at `offset` (inside the stream) into `buffer`, or
  // a non-zero code, which is passed up unchanged.
  virtual DWORD ReadAt(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer) = 0;
};

class CWofStream {
 public:
  // Reads a file of `fileSize` bytes from the `streamSize` bytes of its
  // WofCompressedData through `source` (not owned; it must outlive the
  // reads). Nothing is read yet. code::InvalidParameter for an unknown algorithm, code::FileCorrupt when the
  // chunk table cannot fit in the stream, code::NotEnoughMemory when the buffers (about three
  // chunks) cannot be had.
  DWORD Open(WofSource* source, std::uint64_t streamSize, std::uint64_t fileSize, wof::Algorithm algorithm);

  std::uint64_t Size() const { return fileSize; }

  // Bytes [offset, offset + count) of the file into `buffer`; the range must
  // lie inside Size() (code::InvalidParameter otherwise). Only the table entries and chunks the
  // range needs are read; the last chunk decoded is kept, so reading a file
  // front to back decodes every chunk once, and a corrupt one is not tried
  // again. code::FileCorrupt for a table entry out of order or outside the stream, a
  // chunk stored larger than it is or that does not decompress to its size;
  // else the source's code (code::InvalidAccess before Open succeeded).
  DWORD Read(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer);

 private:
  // Chunk offsets (bytes past the table) held at a time, so that a huge
  // file's table is never read whole.
  static constexpr std::uint32_t TableWindowEntries = 1024;

  DWORD LoadChunk(std::uint64_t chunk);
  DWORD ChunkExtent(std::uint64_t chunk, std::uint64_t* start, std::uint64_t* end);
  DWORD Entry(std::uint64_t index, std::uint64_t* offset);

  WofSource* source = nullptr;
  std::uint64_t streamSize = 0;
  std::uint64_t fileSize = 0;
  wof::Algorithm algorithm = wof::Algorithm::Xpress4K;
  std::uint32_t chunkBytes = 0;
  std::uint64_t chunkCount = 0;
  std::uint32_t entryBytes = 0;  // 4 or 8
  std::uint64_t tableBytes = 0;  // (chunkCount - 1) entries
  ByteBuffer chunk, packed, table;
  std::uint64_t loadedChunk = UINT64_MAX;
  std::uint64_t corruptChunk = UINT64_MAX;  // the last chunk found corrupt, not decoded again
  std::uint64_t tableFirst = 0;  // the first entry in `table`
  std::uint32_t tableCount = 0;  // entries held
};
