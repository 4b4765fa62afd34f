// libFuzzer target: LZX chunks, and system-compressed files of 32 KiB
// chunks (see FuzzWof.h for the input's layout and the checks).
#include "fuzz/FuzzWof.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzwof::Run(data, size, true);
  return 0;
}
