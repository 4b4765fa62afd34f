// libFuzzer target: bytes through one carving parser, which the first byte
// chooses (PELMORA_CARVE_TYPE=NAME, a type table name such as JPEG, pins one
// for a run per family); the second byte chooses the reader's window.
// Besides what the sanitizers see: the length stays within the bytes, the
// verdict and its damage agree, the smallest window and a large one walk
// alike, and a carved file cut to its length carves again to that length
// (no byte after a file decides where it ends). Every fourth input is also
// carved as free space of 512-byte clusters, so that the search for a
// file's pieces reads it: each file's pieces lie on the volume, apart, and
// add up to its length.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "carve/Carve.h"
#include "carve/FreeSpace.h"
#include "fuzz/FuzzSupport.h"

namespace {

const carve::FileType* pinned = nullptr;

carve::Carving CarveBytes(const carve::FileType& type, const std::uint8_t* bytes, std::size_t size,
                          std::size_t window) {
  carve::MemorySource source(bytes, size);
  carve::Limits limits;
  limits.windowBytes = window;
  carve::Carving result;
  FUZZ_CHECK(carve::Carve(type, source, limits, &result) == code::Success);
  return result;
}

class BytesDisk : public DiskReader {
 public:
  BytesDisk(const std::uint8_t* data, std::size_t size) : bytes(data), length(size) {}
  DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered) override {
    *delivered = 0;
    if (offset >= length) return code::Success;
    *delivered = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, length - offset));
    std::memcpy(destination, bytes + offset, *delivered);
    return code::Success;
  }

 private:
  const std::uint8_t* bytes;
  std::size_t length;
};

struct PiecesCheck : carve::CarveObserver {
  std::uint64_t clusters = 0;
  bool Found(const carve::CarvedFile& file) override {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < file.pieces.size(); ++i) {
      const carve::CarvedPiece& piece = file.pieces[i];
      FUZZ_CHECK(piece.cluster < clusters && piece.bytes <= (clusters - piece.cluster) * 512);
      for (std::size_t j = 0; j < i; ++j) {
        const carve::CarvedPiece& other = file.pieces[j];
        FUZZ_CHECK(piece.cluster * 512 >= other.cluster * 512 + other.bytes ||
                   other.cluster * 512 >= piece.cluster * 512 + piece.bytes);
      }
      total += piece.bytes;
    }
    FUZZ_CHECK(total == file.carving.length);
    return true;
  }
};

bool Same(const carve::Carving& a, const carve::Carving& b) {
  return a.verdict == b.verdict && a.damage == b.damage && a.length == b.length &&
         std::strcmp(a.extension, b.extension) == 0 && std::strcmp(a.subtype, b.subtype) == 0 &&
         a.created.fileTime == b.created.fileTime && a.modified.fileTime == b.modified.fileTime;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* name = std::getenv("PELMORA_CARVE_TYPE");
  std::size_t count = 0;
  const carve::FileType* types = carve::Types(&count);
  for (std::size_t i = 0; name != nullptr && i < count; ++i)
    if (std::strcmp(types[i].name, name) == 0) pinned = &types[i];
  if (name != nullptr && pinned == nullptr) std::abort();  // a misspelt pin would fuzz nothing it names
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::size_t count = 0;
  const carve::FileType* types = carve::Types(&count);
  const carve::FileType& type = pinned != nullptr ? *pinned : types[data[0] % count];
  const std::size_t window = carve::MinWindowBytes * (1 + data[1] % 4);
  const std::uint8_t* bytes = data + 2;
  const std::size_t length = size - 2;

  const carve::Carving narrow = CarveBytes(type, bytes, length, window);
  FUZZ_CHECK(narrow.length <= length);
  FUZZ_CHECK(narrow.readError == code::Success);
  switch (narrow.verdict) {
    case carve::Verdict::NotThisType: FUZZ_CHECK(narrow.length == 0 && narrow.damage == carve::Damage::None); break;
    case carve::Verdict::Carved: FUZZ_CHECK(narrow.damage == carve::Damage::None); break;
    case carve::Verdict::Damaged: FUZZ_CHECK(narrow.damage != carve::Damage::None); break;
  }
  FUZZ_CHECK(Same(narrow, CarveBytes(type, bytes, length, std::size_t{1} << 16)));
  if (narrow.verdict == carve::Verdict::Carved) {
    const carve::Carving again = CarveBytes(type, bytes, static_cast<std::size_t>(narrow.length), window);
    FUZZ_CHECK(Same(narrow, again));
  }
  if (data[1] / 4 % 4 == 0 && length >= 512) {
    BytesDisk disk(bytes, length);
    PiecesCheck check;
    check.clusters = length / 512;
    carve::BitmapFreeClusters free(nullptr, check.clusters);
    const carve::VolumeSpan volume{&disk, 0, 512, check.clusters};
    carve::CarveTotals totals;
    FUZZ_CHECK(carve::CarveFreeSpace(volume, free, carve::CarveOptions(), check, &totals) == code::Success);
  }
  return 0;
}
