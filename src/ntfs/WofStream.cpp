#include "ntfs/WofStream.h"

#include <algorithm>
#include <cstring>

#include "ntfs/Lzx.h"
#include "ntfs/Xpress.h"

namespace wof {

DWORD ParseReparsePoint(const ByteReader& value, bool* isWof, Algorithm* algorithm) {
  *isWof = false;
  std::uint32_t tag = 0;
  if (!value.U32(ReparseTagOffset, &tag)) return code::FileCorrupt;
  if (tag != ReparseTag) return code::Success;
  *isWof = true;
  std::uint16_t dataLength = 0;
  std::uint32_t version = 0, provider = 0, fileVersion = 0, kind = 0;
  if (!value.U16(ReparseDataLength, &dataLength) || dataLength < ReparseWofDataLength ||
      !value.Holds(ReparseData, ReparseWofDataLength) || !value.U32(ReparseVersion, &version) ||
      !value.U32(ReparseProvider, &provider) || !value.U32(ReparseFileVersion, &fileVersion) ||
      !value.U32(ReparseAlgorithm, &kind)) {
    return code::FileCorrupt;
  }
  if (version != WofVersion || provider != FileProvider || fileVersion != FileProviderVersion ||
      ChunkBytes(static_cast<Algorithm>(kind)) == 0) {
    return code::FileCorrupt;
  }
  *algorithm = static_cast<Algorithm>(kind);
  return code::Success;
}

std::uint32_t ChunkBytes(Algorithm algorithm) {
  switch (algorithm) {
    case Algorithm::Xpress4K: return 4096;
    case Algorithm::Lzx: return 32768;
    case Algorithm::Xpress8K: return 8192;
    case Algorithm::Xpress16K: return 16384;
  }
  return 0;
}

}  // namespace wof

DWORD CWofStream::Open(WofSource* from, std::uint64_t compressedSize, std::uint64_t size,
                       wof::Algorithm kind) {
  source = nullptr;  // until everything below holds
  streamSize = compressedSize;
  fileSize = size;
  algorithm = kind;
  loadedChunk = corruptChunk = UINT64_MAX;
  tableCount = 0;
  chunkBytes = wof::ChunkBytes(kind);
  if (chunkBytes == 0) return code::InvalidParameter;
  chunkCount = fileSize / chunkBytes + (fileSize % chunkBytes != 0 ? 1 : 0);
  entryBytes = fileSize >= wof::WideOffsetsFrom ? 8 : 4;
  // At least 4 KiB a chunk: the product cannot overflow.
  tableBytes = chunkCount == 0 ? 0 : (chunkCount - 1) * entryBytes;
  if (tableBytes > streamSize) return code::FileCorrupt;
  chunk = AllocateZeroed(chunkBytes);
  packed = AllocateZeroed(chunkBytes);
  table = AllocateZeroed(std::size_t{TableWindowEntries} * entryBytes);
  if (!chunk || !packed || !table) return code::NotEnoughMemory;
  source = from;
  return code::Success;
}

DWORD CWofStream::Entry(std::uint64_t index, std::uint64_t* offset) {
  if (index < tableFirst || index - tableFirst >= tableCount) {
    const std::uint64_t entries = chunkCount - 1;
    tableFirst = index;
    tableCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(TableWindowEntries, entries - index));
    const DWORD result = source->ReadAt(index * entryBytes, tableCount * entryBytes, table.get());
    if (result != code::Success) {
      tableCount = 0;
      return result;
    }
  }
  ByteReader entries(table.get(), std::size_t{tableCount} * entryBytes);
  entries.Unsigned(static_cast<std::size_t>(index - tableFirst) * entryBytes, entryBytes, offset);
  return code::Success;
}

DWORD CWofStream::ChunkExtent(std::uint64_t index, std::uint64_t* start, std::uint64_t* end) {
  // Entry i holds where chunk i + 1 starts, counted from the table's end;
  // the first chunk starts right there and the last one runs to the
  // stream's end.
  const std::uint64_t dataBytes = streamSize - tableBytes;
  std::uint64_t first = 0, last = dataBytes;
  DWORD result = code::Success;
  if (index > 0 && (result = Entry(index - 1, &first)) != code::Success) return result;
  if (index + 1 < chunkCount && (result = Entry(index, &last)) != code::Success) return result;
  if (first > last || last > dataBytes) return code::FileCorrupt;
  *start = tableBytes + first;
  *end = tableBytes + last;
  return code::Success;
}

DWORD CWofStream::LoadChunk(std::uint64_t index) {
  if (index == loadedChunk) return code::Success;
  if (index == corruptChunk) return code::FileCorrupt;
  loadedChunk = UINT64_MAX;
  std::uint64_t start = 0, end = 0;
  DWORD result = ChunkExtent(index, &start, &end);
  if (result != code::Success) return result;
  const std::uint64_t remaining = fileSize - index * chunkBytes;
  const std::uint32_t size = remaining < chunkBytes ? static_cast<std::uint32_t>(remaining) : chunkBytes;
  const std::uint64_t stored = end - start;
  if (stored == 0 || stored > size) return code::FileCorrupt;
  const std::uint32_t count = static_cast<std::uint32_t>(stored);
  if (count == size) {
    // Stored as it is: compressing it would not have saved anything.
    result = source->ReadAt(start, count, chunk.get());
  } else {
    result = source->ReadAt(start, count, packed.get());
    if (result == code::Success) {
      result = algorithm == wof::Algorithm::Lzx ? lzx::Decompress(packed.get(), count, chunk.get(), size)
                                                : xpress::Decompress(packed.get(), count, chunk.get(), size);
    }
  }
  if (result == code::FileCorrupt) corruptChunk = index;
  if (result != code::Success) return result;
  loadedChunk = index;
  return code::Success;
}

DWORD CWofStream::Read(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer) {
  if (source == nullptr || chunkBytes == 0) return code::InvalidAccess;
  if (offset > fileSize || count > fileSize - offset) return code::InvalidParameter;
  while (count > 0) {
    const std::uint64_t index = offset / chunkBytes;
    const DWORD result = LoadChunk(index);
    if (result != code::Success) return result;
    const std::uint32_t within = static_cast<std::uint32_t>(offset % chunkBytes);
    const std::uint64_t chunkEnd = std::min<std::uint64_t>(fileSize - index * chunkBytes, chunkBytes);
    const std::uint32_t n = std::min<std::uint32_t>(count, static_cast<std::uint32_t>(chunkEnd - within));
    std::memcpy(buffer, chunk.get() + within, n);
    buffer += n;
    offset += n;
    count -= n;
  }
  return code::Success;
}
