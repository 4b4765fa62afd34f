#include "ntfs/VolumeReads.h"

#include <algorithm>
#include <cstring>
#include <new>

bool IsUnreadable(DWORD result) {
  return result == code::Crc || result == code::Seek || result == code::SectorNotFound ||
         result == code::ReadFault || result == code::IoDevice;
}

bool ReadLoss::Add(std::uint64_t at, std::uint64_t length, DWORD why) {
  if (length == 0) return true;
  if (!ranges.empty() && ranges.back().at + ranges.back().length == at) {
    ranges.back().length += length;
  } else {
    try {
      ranges.push_back({at, length});
    } catch (const std::bad_alloc&) {
      return false;
    }
    if (ranges.size() == 1) code = why;
  }
  bytes += length;
  return true;
}

bool ReadLoss::Append(const ReadLoss& other, std::uint64_t from, std::uint64_t length, std::uint64_t at) {
  const std::uint64_t to = from + length;
  for (const Range& range : other.ranges) {
    const std::uint64_t start = std::max(range.at, from), end = std::min(range.at + range.length, to);
    if (start < end && !Add(at + (start - from), end - start, other.code)) return false;
  }
  return true;
}

void ReadLoss::TrimEnd(std::uint64_t length) {
  while (length != 0 && !ranges.empty()) {
    const std::uint64_t cut = std::min(length, ranges.back().length);
    ranges.back().length -= cut;
    bytes -= cut;
    length -= cut;
    if (ranges.back().length == 0) ranges.pop_back();
  }
  if (ranges.empty()) code = code::Success;
}

void ReadLoss::Clear() {
  ranges.clear();
  bytes = 0;
  code = code::Success;
}

void CVolumeReads::Attach(DiskReader* reader) {
  disk = reader;
  const std::uint32_t logical = disk != nullptr ? disk->LogicalSectorSize() : 0;
  sectorBytes = IsSectorSize(logical) ? logical : 512;
  streakEnd = UINT64_MAX;
  streakSectors = 0;
  skipSectors = FirstSkipSectors;
}

DWORD CVolumeReads::Read(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered,
                         ReadLoss* loss) {
  *delivered = 0;
  if (disk == nullptr) return code::InvalidHandle;
  auto* out = static_cast<std::uint8_t*>(destination);
  if (count == 0) return code::Success;
  if (offset > UINT64_MAX - count) return code::InvalidParameter;
  // Inside a long bad stretch the whole read would only fail again.
  DWORD result = loss != nullptr && Skipping(offset) ? code::Crc : disk->ReadAt(offset, out, count, delivered);
  if (result == code::Success) {
    NoteGood(offset, offset + *delivered);
    return result;
  }
  if (!IsUnreadable(result)) return result;
  if (loss == nullptr) {
    result = disk->ReadAt(offset, out, count, delivered);
    if (result == code::Success) NoteGood(offset, offset + *delivered);
    return result;
  }
  return Salvage(offset, out, count, delivered, loss);
}

DWORD CVolumeReads::Salvage(std::uint64_t offset, std::uint8_t* destination, std::uint32_t count,
                            std::uint32_t* delivered, ReadLoss* loss) {
  *delivered = 0;
  const std::uint64_t end = offset + count;
  const auto sectorEnd = [&](std::uint64_t at) {
    const std::uint64_t next = (at / sectorBytes + 1) * sectorBytes;
    return std::min(next, end);
  };
  // What is still to read: spans in order, the next one last. The first
  // read failed as a whole, so it is split at once.
  pending.clear();
  try {
    pending.push_back({offset, end});
  } catch (const std::bad_alloc&) {
    return code::NotEnoughMemory;
  }
  bool first = true;
  std::uint64_t skipFrom = 0, skipTo = UINT64_MAX;  // the last sectors given up unread
  auto bad = [&](std::uint64_t from, std::uint64_t to, DWORD why) {
    if (from == to) return true;
    std::memset(destination + (from - offset), 0, static_cast<std::size_t>(to - from));
    NoteBad(from, to);
    return loss->Add(from - offset, to - from, why);
  };
  while (!pending.empty()) {
    const Span span = pending.back();
    pending.pop_back();
    std::uint8_t* into = destination + (span.from - offset);
    const bool failedWhole = first;
    first = false;
    if (Skipping(span.from)) {
      // One sector tells whether the stretch goes on. When it does, the
      // sectors after it are given up unread, the step growing each time,
      // but the last sector of the read is always probed. When it does not,
      // the sectors skipped just before it are read back from it until one
      // fails: the stretch's end is found to the sector.
      std::uint32_t got = 0;
      const std::uint64_t probeEnd = sectorEnd(span.from);
      const DWORD result = ReadSector(span.from, probeEnd, into, &got, 2);
      if (result == code::Success && got < probeEnd - span.from) {
        *delivered = static_cast<std::uint32_t>(span.from - offset + got);  // the disk ends here
        return code::Success;
      }
      if (result != code::Success && !IsUnreadable(result)) return result;
      // After a pop, one push never needs memory.
      if (result == code::Success) {
        if (skipTo == span.from) loss->TrimEnd(span.from - ReadBack(skipFrom, span.from, destination, offset));
        if (probeEnd < span.to) pending.push_back({probeEnd, span.to});
        continue;
      }
      const std::uint64_t lastSector = std::max(probeEnd, (end - 1) / sectorBytes * sectorBytes);
      skipFrom = probeEnd;
      skipTo = std::min<std::uint64_t>(probeEnd + skipSectors * sectorBytes, lastSector);
      if (!bad(span.from, probeEnd, result) || !bad(skipFrom, skipTo, result)) return code::NotEnoughMemory;
      skipSectors = std::min<std::uint64_t>(skipSectors * 2, MaxSkipBytes / sectorBytes);
      // The spans below the skip's end are given up; the rest is one span.
      pending.clear();
      if (skipTo < end) pending.push_back({skipTo, end});
      continue;
    }
    const bool oneSector = span.to <= sectorEnd(span.from);
    if (!failedWhole || oneSector) {
      std::uint32_t got = 0;
      const auto length = static_cast<std::uint32_t>(span.to - span.from);
      // The whole read failed once already: a sector it was is read once more.
      const DWORD result = oneSector ? ReadSector(span.from, span.to, into, &got, failedWhole ? 1 : 2)
                                     : disk->ReadAt(span.from, into, length, &got);
      if (result == code::Success) {
        NoteGood(span.from, span.from + got);
        if (got < length) {
          *delivered = static_cast<std::uint32_t>(span.from - offset + got);  // the disk ends here
          return code::Success;
        }
        continue;
      }
      if (!IsUnreadable(result)) return result;
      if (oneSector) {
        if (!bad(span.from, span.to, result)) return code::NotEnoughMemory;
        continue;
      }
    }
    // Halves on a sector boundary, the first half read first.
    std::uint64_t middle = span.from + (span.to - span.from) / 2;
    middle -= middle % sectorBytes;
    if (middle <= span.from) middle = sectorEnd(span.from);
    try {
      pending.push_back({middle, span.to});
      pending.push_back({span.from, middle});
    } catch (const std::bad_alloc&) {
      return code::NotEnoughMemory;
    }
  }
  *delivered = count;
  return code::Success;
}

std::uint64_t CVolumeReads::ReadBack(std::uint64_t from, std::uint64_t to, std::uint8_t* destination,
                                     std::uint64_t offset) {
  // [good, to) is read; a bad sector lies at or after `bad`, before `good`.
  std::uint64_t bad = from, good = to;
  bool failedOtherwise = false;  // the disk ends, or fails otherwise: the next read says so
  while (good - bad > sectorBytes && !failedOtherwise) {
    std::uint64_t middle = bad + (good - bad) / 2;
    middle -= middle % sectorBytes;
    if (middle <= bad) middle = bad + sectorBytes;
    std::uint32_t got = 0;
    const auto length = static_cast<std::uint32_t>(good - middle);
    const DWORD result = disk->ReadAt(middle, destination + (middle - offset), length, &got);
    if (result == code::Success && got == length) {
      good = middle;
    } else if (result == code::Success || !IsUnreadable(result)) {
      failedOtherwise = true;
    } else {
      bad = middle;
    }
  }
  std::uint32_t got = 0;
  if (!failedOtherwise && good > bad &&
      ReadSector(bad, good, destination + (bad - offset), &got, 2) == code::Success && got == good - bad) {
    good = bad;
  }
  // A failed read may have left some bytes behind: what stays lost is zeros.
  std::memset(destination + (from - offset), 0, static_cast<std::size_t>(good - from));
  return good;
}

DWORD CVolumeReads::ReadSector(std::uint64_t from, std::uint64_t to, std::uint8_t* destination, std::uint32_t* got,
                               unsigned tries) {
  const auto length = static_cast<std::uint32_t>(to - from);
  DWORD result = code::Crc;
  for (unsigned attempt = 0; attempt < tries && IsUnreadable(result); ++attempt) {
    result = disk->ReadAt(from, destination, length, got);
  }
  if (result == code::Success) NoteGood(from, from + *got);
  return result;
}

void CVolumeReads::NoteGood(std::uint64_t from, std::uint64_t to) {
  if (streakSectors != 0 && from <= streakEnd && streakEnd < to) {
    streakSectors = 0;
    skipSectors = FirstSkipSectors;
  }
}

void CVolumeReads::NoteBad(std::uint64_t from, std::uint64_t to) {
  if (from != streakEnd) {
    streakSectors = 0;
    skipSectors = FirstSkipSectors;
  }
  streakSectors += std::max<std::uint64_t>(1, (to - from) / sectorBytes);
  streakEnd = to;
}
