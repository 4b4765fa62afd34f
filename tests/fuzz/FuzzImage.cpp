// libFuzzer target: arbitrary bytes through the BMP and TGA decoders.
#include <cstdint>

#include "image/FCImageHandleFactory.h"
#include "image/FCObjImage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static FCImageHandleFactory_Portable factory;
  for (int type : {1, 5}) {  // BMP, TGA
    FCObjImage image;
    image.LoadFromMemory(data, static_cast<std::uint32_t>(size), type, factory);
  }
  return 0;
}
