// libFuzzer target: bytes through one carving parser, which the first byte
// chooses (PELMORA_CARVE_TYPE=NAME, a type table name such as JPEG, pins one
// for a run per family); the second byte chooses the reader's window.
// Besides what the sanitizers see: the length stays within the bytes, the
// verdict and its damage agree, the smallest window and a large one walk
// alike, and a carved file cut to its length carves again to that length
// (no byte after a file decides where it ends).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "carve/Carve.h"
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
  return 0;
}
