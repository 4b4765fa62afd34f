// Reads from a failing disk. A read that fails because sectors cannot be
// read costs only those sectors: it is narrowed to them (each failing sector
// read twice), their bytes become zeros and are reported, and a long bad
// stretch is skipped in growing steps instead of being read sector by sector,
// as disk imaging tools do, so that a dying disk gives up a megabyte in a few
// reads rather than in hours. A disk that is gone ends the read.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/Disk.h"
#include "platform/Types.h"

// True for the codes a disk gives for sectors it cannot read while it still
// answers: code::Crc (EIO on POSIX), code::Seek, code::SectorNotFound,
// code::ReadFault and code::IoDevice. Any other failure ends the operation:
// above all a disk that is gone (code::NotReady, which ENODEV and ENXIO
// become; code::DevNotExist, code::DeviceNotConnected, code::NoMediaInDrive,
// code::MediaChanged), and whatever is not known to be a bad sector.
bool IsUnreadable(DWORD result);

// The bytes of one read that could not be read: zeros stand in their place.
class ReadLoss {
 public:
  // `length` bytes from `at`, counted from the read's first byte.
  struct Range {
    std::uint64_t at;
    std::uint64_t length;
  };

  // Adds [at, at + length), which the disk refused with `why`; a range that
  // starts where the last one ends extends it. Ranges are added in order.
  // False when memory is short.
  bool Add(std::uint64_t at, std::uint64_t length, DWORD why);
  // Adds the parts of `other`'s ranges inside [from, from + length), moved
  // so that `from` lands on `at`. False when memory is short.
  bool Append(const ReadLoss& other, std::uint64_t from, std::uint64_t length, std::uint64_t at);
  // Gives back the last `length` bytes: they were read after all.
  void TrimEnd(std::uint64_t length);
  void Clear();

  bool Empty() const { return ranges.empty(); }
  std::uint64_t Bytes() const { return bytes; }
  // The disk's code for the first range; code::Success when there is none.
  DWORD Code() const { return code; }
  const std::vector<Range>& Ranges() const { return ranges; }

 private:
  std::vector<Range> ranges;
  std::uint64_t bytes = 0;
  DWORD code = code::Success;
};

class CVolumeReads {
 public:
  // Bad sectors in a row after which the reads skip ahead.
  static constexpr std::uint32_t SkipAfterSectors = 16;
  // The first skip, in sectors; each skip that lands on a bad sector again
  // doubles the next, up to MaxSkipBytes.
  static constexpr std::uint32_t FirstSkipSectors = 16;
  static constexpr std::uint64_t MaxSkipBytes = std::uint64_t{64} << 20;

  // Reads through `disk` (not owned; null detaches) in its logical sectors,
  // 512 bytes when it does not say; forgets any bad stretch.
  void Attach(DiskReader* disk);
  std::uint32_t SectorBytes() const { return sectorBytes; }

  // Reads as DiskReader::ReadAt. With `loss` null a read that fails with an
  // IsUnreadable code is tried once more, then fails with the disk's code.
  // With `loss`, the sectors that still fail are zeros in `destination` and
  // their ranges are added to `loss` (from `destination`'s first byte), and
  // the read succeeds; it fails only with a code that is not IsUnreadable,
  // code::NotEnoughMemory, or code::InvalidHandle when no disk is attached.
  // `*delivered` counts the zeros too: it is short only at the disk's end.
  DWORD Read(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered,
             ReadLoss* loss);

 private:
  struct Span {
    std::uint64_t from, to;  // disk byte positions
  };
  // Narrows a failed read of [offset, offset + count) to its bad sectors.
  DWORD Salvage(std::uint64_t offset, std::uint8_t* destination, std::uint32_t count, std::uint32_t* delivered,
                ReadLoss* loss);
  // Reads [from, to), which lies in one sector, up to `tries` times while it
  // fails with an IsUnreadable code.
  DWORD ReadSector(std::uint64_t from, std::uint64_t to, std::uint8_t* destination, std::uint32_t* got,
                   unsigned tries);
  // Reads the longest end of [from, to) that can be read, into
  // `destination` (the read's buffer, which starts at disk position
  // `offset`), halving the search: its bad sectors are taken to be one
  // stretch. Returns where the bytes read start.
  std::uint64_t ReadBack(std::uint64_t from, std::uint64_t to, std::uint8_t* destination, std::uint64_t offset);
  // A read of [from, to) succeeded: a bad stretch that ended at `from` or inside it is over.
  void NoteGood(std::uint64_t from, std::uint64_t to);
  // [from, to) is bad: it extends the stretch when it starts where the stretch ends.
  void NoteBad(std::uint64_t from, std::uint64_t to);
  bool Skipping(std::uint64_t at) const { return streakSectors >= SkipAfterSectors && at == streakEnd; }

  DiskReader* disk = nullptr;  // not owned
  std::uint32_t sectorBytes = 512;
  std::uint64_t streakEnd = UINT64_MAX;  // where the last bad stretch ends
  std::uint64_t streakSectors = 0;       // bad sectors in it
  std::uint64_t skipSectors = FirstSkipSectors;
  std::vector<Span> pending;             // kept for its capacity
};
