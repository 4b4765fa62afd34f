// SHA-256 for the tests' checks. Built optimised and without sanitizers in
// its own library: it checks no product code, and hashing hundreds of MiB at
// -O0 under ASan was most of the suite's time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
 public:
  void Update(const std::uint8_t* data, std::size_t size);
  std::string Hex();  // ends the hash

 private:
  void Compress(const std::uint8_t* chunk);
  std::uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::uint8_t block[64] = {};
  std::size_t used = 0;
  std::uint64_t total = 0;
};

std::string Sha256Hex(const std::uint8_t* bytes, std::size_t size);
// The SHA-256 of a file, read in pieces (images may be large); the hash of
// nothing when the file cannot be read.
std::string FileSha(const std::string& path);
