#include "disk/Checksums.h"

#include <zlib.h>

#include <array>
#include <cstring>

namespace {

constexpr std::uint32_t Crc32cPolynomial = 0x82F63B78;  // reflected

constexpr std::array<std::uint32_t, 256> MakeCrc32cTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) value = (value >> 1) ^ ((value & 1) != 0 ? Crc32cPolynomial : 0);
    table[i] = value;
  }
  return table;
}
constexpr std::array<std::uint32_t, 256> Crc32cTable = MakeCrc32cTable();

// floor(|sin(i + 1)| * 2^32), and each step's left rotation.
constexpr std::uint32_t Md5Sines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr unsigned Md5Rotations[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

std::uint32_t RotateLeft(std::uint32_t value, unsigned bits) { return (value << bits) | (value >> (32 - bits)); }

}  // namespace

std::uint32_t Crc32c(const std::uint8_t* bytes, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::size_t i = 0; i < size; ++i) crc = (crc >> 8) ^ Crc32cTable[(crc ^ bytes[i]) & 0xFF];
  return ~crc;
}

std::uint32_t ByteSumComplement(const std::uint8_t* bytes, std::size_t size) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < size; ++i) sum += bytes[i];
  return ~sum;
}

std::uint32_t Adler32(const std::uint8_t* bytes, std::size_t size) {
  uLong value = adler32(0L, Z_NULL, 0);
  // zlib takes lengths as uInt: feed very large ranges in parts.
  while (size > 0) {
    const uInt part = size > (1u << 30) ? (1u << 30) : static_cast<uInt>(size);
    value = adler32(value, bytes, part);
    bytes += part;
    size -= part;
  }
  return static_cast<std::uint32_t>(value);
}

Md5::Md5() : state{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}, pending{} {}

void Md5::Block(const std::uint8_t* block) {
  std::uint32_t words[16];
  for (int i = 0; i < 16; ++i) {
    words[i] = std::uint32_t{block[4 * i]} | std::uint32_t{block[4 * i + 1]} << 8 |
               std::uint32_t{block[4 * i + 2]} << 16 | std::uint32_t{block[4 * i + 3]} << 24;
  }
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (unsigned i = 0; i < 64; ++i) {
    const unsigned round = i / 16;
    std::uint32_t mixed;
    unsigned word;
    if (round == 0) {
      mixed = (b & c) | (~b & d);
      word = i;
    } else if (round == 1) {
      mixed = (d & b) | (~d & c);
      word = (5 * i + 1) % 16;
    } else if (round == 2) {
      mixed = b ^ c ^ d;
      word = (3 * i + 5) % 16;
    } else {
      mixed = c ^ (b | ~d);
      word = (7 * i) % 16;
    }
    const std::uint32_t next = b + RotateLeft(a + mixed + Md5Sines[i] + words[word], Md5Rotations[round][i % 4]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

void Md5::Update(const std::uint8_t* bytes, std::size_t size) {
  total += size;
  if (used > 0) {
    const std::size_t take = size < 64 - used ? size : 64 - used;
    std::memcpy(pending + used, bytes, take);
    used += take;
    bytes += take;
    size -= take;
    if (used < 64) return;
    Block(pending);
    used = 0;
  }
  for (; size >= 64; bytes += 64, size -= 64) Block(bytes);
  std::memcpy(pending, bytes, size);
  used = size;
}

void Md5::Final(std::uint8_t digest[16]) {
  const std::uint64_t bits = total * 8;
  static const std::uint8_t padding[64] = {0x80};
  Update(padding, used < 56 ? 56 - used : 120 - used);
  std::uint8_t length[8];
  for (int i = 0; i < 8; ++i) length[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  Update(length, 8);
  for (int i = 0; i < 16; ++i) digest[i] = static_cast<std::uint8_t>(state[i / 4] >> (8 * (i % 4)));
}
