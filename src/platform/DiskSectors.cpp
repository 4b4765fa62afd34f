#include <cstring>
#include <memory>
#include <new>

#include "platform/Disk.h"

bool IsSectorSize(std::uint32_t bytes) { return bytes >= 512 && bytes <= 65536 && (bytes & (bytes - 1)) == 0; }

DWORD ReadWholeSectors(const SectorRead& readSectors, std::uint32_t sectorBytes, std::uint64_t offset,
                       void* destination, std::uint32_t count, std::uint32_t* delivered) {
  *delivered = 0;
  auto* out = static_cast<std::uint8_t*>(destination);
  std::unique_ptr<std::uint8_t[]> bounce;
  // Reads the sector at `sectorStart` into the bounce buffer and copies the
  // wanted part; `*ended` when the disk ended inside it.
  auto partial = [&](std::uint64_t sectorStart, std::uint32_t skip, std::uint32_t wanted, bool* ended) -> DWORD {
    if (!bounce) bounce.reset(new (std::nothrow) std::uint8_t[sectorBytes]);
    if (!bounce) return code::NotEnoughMemory;
    std::uint32_t got = 0;
    const DWORD result = readSectors(sectorStart, bounce.get(), sectorBytes, &got);
    if (result != code::Success) return result;
    const std::uint32_t available = got > skip ? got - skip : 0;
    const std::uint32_t take = wanted < available ? wanted : available;
    std::memcpy(out + *delivered, bounce.get() + skip, take);
    *delivered += take;
    *ended = take < wanted;
    return code::Success;
  };
  bool ended = false;
  const std::uint32_t head = static_cast<std::uint32_t>(offset % sectorBytes);
  if (count > 0 && (head != 0 || count < sectorBytes)) {
    const std::uint32_t wanted = count < sectorBytes - head ? count : sectorBytes - head;
    const DWORD result = partial(offset - head, head, wanted, &ended);
    if (result != code::Success || ended) return result;
  }
  const std::uint32_t rest = count - *delivered;
  const std::uint32_t whole = rest - rest % sectorBytes;
  if (whole > 0) {
    std::uint32_t got = 0;
    const DWORD result = readSectors(offset + *delivered, out + *delivered, whole, &got);
    if (result != code::Success) return result;
    *delivered += got < whole ? got : whole;
    if (got < whole) return code::Success;
  }
  if (*delivered < count) return partial(offset + *delivered, 0, count - *delivered, &ended);
  return code::Success;
}

// A device that says its sector size is read in whole, aligned sectors of it.
DWORD DiskDevice::ReadAt(std::uint64_t offset, void* destination, std::uint32_t count,
                         std::uint32_t* delivered) {
  if (sectorBytes == 0) return ReadRaw(offset, destination, count, delivered);
  return ReadWholeSectors(
      [this](std::uint64_t at, void* into, std::uint32_t bytes, std::uint32_t* got) {
        return ReadRaw(at, into, bytes, got);
      },
      sectorBytes, offset, destination, count, delivered);
}
