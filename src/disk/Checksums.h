// The checksums the containers store: CRC-32C (VHDX), the byte sum (VHD),
// Adler-32 (EWF), and MD5 of a whole disk (EWF's hash).
#pragma once

#include <cstddef>
#include <cstdint>

// CRC-32C (Castagnoli, reflected, initial and final value all ones), as
// VHDX checks its headers and tables.
std::uint32_t Crc32c(const std::uint8_t* bytes, std::size_t size);

// One's complement of the sum of all bytes: VHD's footer and header.
std::uint32_t ByteSumComplement(const std::uint8_t* bytes, std::size_t size);

// Adler-32 from 1, as EWF checks its sections and stored chunks.
std::uint32_t Adler32(const std::uint8_t* bytes, std::size_t size);

// MD5 (RFC 1321), fed in pieces.
class Md5 {
 public:
  Md5();
  void Update(const std::uint8_t* bytes, std::size_t size);
  void Final(std::uint8_t digest[16]);

 private:
  void Block(const std::uint8_t* block);
  std::uint32_t state[4];
  std::uint8_t pending[64];
  std::size_t used = 0;
  std::uint64_t total = 0;
};
