// libFuzzer target: reads from a failing disk. The input gives the disk's
// sector size and length, its bad ranges (each with its code and how many
// reads it fails) and a series of reads, which take the loss or not. Checks
// that a read delivers the disk's bytes or zeros its loss names, that a
// range that always fails is never delivered as read, that a read touching
// no bad range loses nothing, and that only a code that is no bad sector's
// ends a read that takes the loss.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "ntfs/VolumeReads.h"
#include "platform/Disk.h"

namespace {

// The disk's bytes: never zero, so that a zero is a loss; they repeat every
// 251 bytes, and a period of them can be read from Pattern(at).
constexpr std::uint32_t Period = 251;
const std::uint8_t* Pattern(std::uint64_t at) {
  static const std::vector<std::uint8_t> bytes = [] {
    std::vector<std::uint8_t> made(2 * Period);
    for (std::uint32_t i = 0; i < made.size(); ++i) made[i] = static_cast<std::uint8_t>(i % Period + 1);
    return made;
  }();
  return bytes.data() + at % Period;
}

struct BadRange {
  std::uint64_t from, to;
  DWORD why;
  unsigned failures;  // UINT32_MAX: every read
};

class FuzzDisk : public DiskReader {
 public:
  DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered) override {
    *delivered = 0;
    for (BadRange& range : bad) {
      if (range.failures != 0 && offset < range.to && offset + count > range.from) {
        if (range.failures != UINT32_MAX) --range.failures;
        std::memset(destination, 0xA5, count);  // a failed read may leave anything behind
        return range.why;
      }
    }
    auto* out = static_cast<std::uint8_t*>(destination);
    for (std::uint64_t at = offset; at < offset + count && at < size;) {
      const auto take = static_cast<std::uint32_t>(std::min<std::uint64_t>({Period, offset + count - at, size - at}));
      std::memcpy(out + (at - offset), Pattern(at), take);
      at += take;
      *delivered += take;
    }
    return code::Success;
  }
  std::uint32_t LogicalSectorSize() override { return sector; }

  std::uint64_t size = 0;
  std::uint32_t sector = 0;
  std::vector<BadRange> bad;
};

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}
  bool More() const { return at < size; }
  std::uint64_t Take(unsigned bytes) {
    std::uint64_t value = 0;
    for (unsigned i = 0; i < bytes; ++i) value |= static_cast<std::uint64_t>(at < size ? data[at++] : 0) << (8 * i);
    return value;
  }

 private:
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
};

constexpr DWORD Codes[] = {code::Crc, code::SectorNotFound, code::ReadFault, code::IoDevice, code::Seek,
                           code::NotReady, code::DeviceNotConnected, code::GenFailure};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  FuzzDisk disk;
  const unsigned shape = static_cast<unsigned>(input.Take(1));
  disk.sector = (shape & 1) != 0 ? 4096 : (shape & 2) != 0 ? 512 : 0;
  disk.size = input.Take(3) % (2u << 20);  // up to 2 MiB
  const unsigned ranges = static_cast<unsigned>(input.Take(1)) % 8;
  for (unsigned i = 0; i < ranges; ++i) {
    const std::uint64_t from = input.Take(3) % (2u << 20), length = input.Take(3) % (1u << 20) + 1;
    const unsigned kind = static_cast<unsigned>(input.Take(1));
    const unsigned failures = (kind >> 4) < 12 ? UINT32_MAX : (kind >> 4) - 11;
    disk.bad.push_back({from, from + length, Codes[kind % (sizeof Codes / sizeof Codes[0])], failures});
  }
  const std::vector<BadRange> given = disk.bad;
  CVolumeReads reads;
  reads.Attach(&disk);
  std::vector<std::uint8_t> buffer;
  for (unsigned turn = 0; turn < 16 && input.More(); ++turn) {
    const std::uint64_t offset = input.Take(3) % (3u << 20);
    const auto count = static_cast<std::uint32_t>(input.Take(3) % (256u << 10));
    const bool withLoss = (input.Take(1) & 1) != 0;
    buffer.assign(count, 0xEE);
    ReadLoss loss;
    std::uint32_t delivered = 0;
    const DWORD result = reads.Read(offset, buffer.data(), count, &delivered, withLoss ? &loss : nullptr);
    const std::uint64_t end = offset + count;
    bool touchesBad = false, touchesOther = false;
    for (const BadRange& range : given) {
      if (range.from < end && range.to > offset) {
        touchesBad = true;
        touchesOther = touchesOther || !IsUnreadable(range.why);
      }
    }
    if (result != code::Success) {
      FUZZ_CHECK(touchesBad);
      FUZZ_CHECK(!withLoss || !IsUnreadable(result));
      continue;
    }
    FUZZ_CHECK(delivered <= count);
    if (!touchesBad) FUZZ_CHECK(loss.Empty() && delivered == (offset >= disk.size ? 0 : std::min<std::uint64_t>(count, disk.size - offset)));
    if (withLoss && !touchesOther) FUZZ_CHECK(delivered >= std::min<std::uint64_t>(count, disk.size > offset ? disk.size - offset : 0));
    // Every byte delivered is the disk's, or a zero the loss names; a byte
    // no read can get is never delivered as read.
    static const std::vector<std::uint8_t> zeros(Period, 0);
    std::uint64_t checked = 0;
    const auto compare = [&](std::uint64_t to, bool lost) {
      for (; checked < to;) {
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(Period, to - checked));
        FUZZ_CHECK(std::memcmp(buffer.data() + checked, lost ? zeros.data() : Pattern(offset + checked), take) == 0);
        checked += take;
      }
    };
    for (const ReadLoss::Range& lost : loss.Ranges()) {
      FUZZ_CHECK(lost.length != 0 && lost.at >= checked && lost.at + lost.length <= delivered);
      compare(lost.at, false);
      compare(lost.at + lost.length, true);
    }
    compare(delivered, false);
    // Bytes that always fail lie inside the loss.
    for (const BadRange& bad : given) {
      if (bad.failures != UINT32_MAX || !IsUnreadable(bad.why)) continue;
      const std::uint64_t from = std::max(bad.from, offset), to = std::min(bad.to, offset + delivered);
      std::uint64_t covered = from;
      for (const ReadLoss::Range& lost : loss.Ranges()) {
        if (offset + lost.at <= covered && offset + lost.at + lost.length > covered) covered = offset + lost.at + lost.length;
      }
      FUZZ_CHECK(from >= to || covered >= to);
    }
  }
  return 0;
}
