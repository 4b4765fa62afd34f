// libFuzzer target: XPRESS chunks, and system-compressed files of 4, 8 and
// 16 KiB chunks (see FuzzWof.h for the input's layout and the checks).
#include "fuzz/FuzzWof.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzwof::Run(data, size, false);
  return 0;
}
