// libFuzzer target: the recovery path builder on arbitrary names and path
// cells. The input is UTF-16 (little-endian pairs); a 0xFFFF unit splits it
// into the path cell and the name. Checks that the file lands strictly below
// the destination, one safe component per folder, and that the names a
// batch gives a clashing file are safe, distinct and fit.
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/Files.h"
#include "recover/Recovery.h"

namespace {

const NativePath Destination = "/out/dest";

bool IsSafeComponent(const std::u16string& part) {
  if (part.empty() || part == u"." || part == u"..") return false;
  for (char16_t c : part) {
    if (c < 0x20 || c == 0x7F || std::u16string_view(u"\\/:*?\"<>|").find(c) != std::u16string_view::npos) {
      return false;
    }
  }
  return part.back() != u'.' && part.back() != u' ';
}

// True when `path` is the destination, a separator and `below`.
bool IsBelow(const NativePath& path, const NativePath& below) {
  return path.size() == Destination.size() + 1 + below.size() && path.compare(0, Destination.size(), Destination) == 0 &&
         path[Destination.size()] == static_cast<char>(PathSeparator) &&
         path.compare(Destination.size() + 1, below.size(), below) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string pathCell, name;
  std::u16string* current = &pathCell;
  for (std::size_t at = 0; at + 1 < size; at += 2) {
    const char16_t unit = static_cast<char16_t>(data[at] | (data[at + 1] << 8));
    if (unit == 0xFFFF && current == &pathCell) {
      current = &name;
    } else {
      current->push_back(unit);
    }
  }

  const std::u16string safe = SafeName(name);
  FUZZ_CHECK(IsSafeComponent(safe));
  FUZZ_CHECK(SafeName(safe) == safe);  // safe names stay as they are

  const RecoveryTarget target = TargetFor(Destination, pathCell, name);
  const std::vector<std::u16string> folders = FoldersOfPath(pathCell);
  FUZZ_CHECK(target.folders.size() == folders.size());
  NativePath expected;
  for (std::size_t i = 0; i < folders.size(); ++i) {
    FUZZ_CHECK(IsSafeComponent(folders[i]));
    expected += NativeFromUtf16(folders[i]);
    FUZZ_CHECK(IsBelow(target.folders[i], expected));
    expected += static_cast<char>(PathSeparator);
  }
  FUZZ_CHECK(IsBelow(target.file, expected + NativeFromUtf16(safe)));

  const std::uint32_t record = static_cast<std::uint32_t>(size * 2654435761u);
  const std::u16string first = ClashName(safe, record, 1), second = ClashName(safe, record, 2);
  FUZZ_CHECK(IsSafeComponent(first) && IsSafeComponent(second));
  FUZZ_CHECK(SafeName(first) == first && SafeName(second) == second);
  FUZZ_CHECK(first != safe && second != safe && first != second);
  return 0;
}
