#include "carve/SourceReader.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace carve {

namespace {

constexpr std::size_t MinFailingRead = 512;  // a sector: reads are narrowed to this around a failure

}  // namespace

DWORD MemorySource::Read(std::uint64_t offset, std::size_t count, std::uint8_t* buffer, std::size_t* got) {
  *got = 0;
  if (offset >= length) return code::Success;
  const std::size_t take = std::min<std::size_t>(count, length - static_cast<std::size_t>(offset));
  std::memcpy(buffer, data + offset, take);
  *got = take;
  return code::Success;
}

const std::uint8_t* MemorySource::View(std::uint64_t offset, std::size_t* available) {
  *available = offset < length ? length - static_cast<std::size_t>(offset) : 0;
  return *available != 0 ? data + offset : nullptr;
}

SourceReader::SourceReader(ByteSource& byteSource, std::size_t windowBytes)
    : source(byteSource), capacity(std::max(windowBytes, MinWindowBytes)) {}

bool SourceReader::Fill(std::uint64_t offset) {
  filled = 0;
  base = offset;
  held = window.get();
  if (outOfMemory || offset >= end) return false;
  // Bytes in memory are taken where they are when a whole window's worth
  // lies there: nearer their end a Get could straddle it.
  std::size_t viewed = 0;
  const std::uint8_t* view = source.View(offset, &viewed);
  if (view != nullptr && viewed >= capacity) {
    held = view;
    filled = static_cast<std::size_t>(std::min<std::uint64_t>(viewed, end - offset));
    if (offset <= verified) verified = std::max(verified, offset + filled);
    return true;
  }
  if (window == nullptr) {
    // Only now: a candidate whose bytes the carver holds never needs it.
    window.reset(new (std::nothrow) std::uint8_t[capacity]);
    outOfMemory = window == nullptr;
    if (outOfMemory) return false;
    held = window.get();
  }
  std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, end - offset));
  std::size_t got = 0;
  for (;;) {
    const DWORD result = source.Read(offset, want, window.get(), &got);
    if (result == code::Success) break;
    if (want <= MinFailingRead) {
      if (readError == code::Success) readError = result;
      end = offset;
      return false;
    }
    // A read fails whole for one bad sector in it: a shorter one may stop before it.
    want /= 2;
  }
  got = std::min(got, want);
  if (got < want) {
    // Bytes short of what was asked end the source there; none at all only
    // say that it ends at `offset` or before.
    end = offset + got;
    endExact = got > 0 || offset <= verified;
  }
  filled = got;
  if (offset <= verified) verified = std::max(verified, offset + got);
  return got > 0;
}

const std::uint8_t* SourceReader::Get(std::uint64_t offset, std::size_t count) {
  if (count == 0 || count > MinWindowBytes || offset > end || count > end - offset) return nullptr;
  if (offset < base || offset - base > filled || count > filled - (offset - base)) {
    Fill(offset);
    if (count > filled) return nullptr;
  }
  return held + (offset - base);
}

const std::uint8_t* SourceReader::Some(std::uint64_t offset, std::uint64_t count, std::size_t* got) {
  *got = 0;
  if (count == 0 || offset >= end) return nullptr;
  if (offset < base || offset - base >= filled) {
    if (!Fill(offset)) return nullptr;
  }
  const std::size_t at = static_cast<std::size_t>(offset - base);
  *got = static_cast<std::size_t>(std::min<std::uint64_t>(count, filled - at));
  return held + at;
}

bool SourceReader::Reaches(std::uint64_t endOffset) {
  return endOffset == 0 || Get(endOffset - 1, 1) != nullptr;
}

std::uint64_t SourceReader::Available(std::uint64_t limit) {
  if (Reaches(limit)) return limit;
  // Past a failed read only what was read is known to be there.
  if (readError != code::Success) return std::min({end, limit, verified});
  // The source ends between what was read and `end`: halve the gap.
  std::uint64_t low = std::min(verified, limit);
  while (!endExact && low < std::min(end, limit)) {
    const std::uint64_t high = std::min(end, limit);
    const std::uint64_t middle = low + (high - low + 1) / 2;
    if (Reaches(middle)) low = middle;
    else if (!endExact) end = std::min(end, middle - 1);
  }
  return std::min(endExact ? end : low, limit);
}

bool SourceReader::U8(std::uint64_t offset, std::uint8_t* value) {
  const std::uint8_t* p = Get(offset, 1);
  if (p == nullptr) return false;
  *value = *p;
  return true;
}

bool SourceReader::Equals(std::uint64_t offset, const char* text, std::size_t length) {
  const std::uint8_t* p = Get(offset, length);
  return p != nullptr && std::memcmp(p, text, length) == 0;
}

}  // namespace carve
