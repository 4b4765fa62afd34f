#include "carve/Crc32.h"

#include <array>
#include <cstring>

#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
#include <immintrin.h>
#define PELMORA_CRC_FOLDING 1
#endif

#include "carve/SourceReader.h"

namespace carve {

namespace {

constexpr std::uint32_t Polynomial = 0xEDB88320u;  // x^32 + x^26 + ... + 1, bits reversed

// Slicing by eight: Tables[k][b] is the CRC of byte b followed by k zero
// bytes, so that eight bytes are folded in at a time.
using Table = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Table MakeTables() {
  Table tables{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) value = (value & 1) ? (value >> 1) ^ Polynomial : value >> 1;
    tables[0][i] = value;
  }
  for (std::size_t k = 1; k < 8; ++k)
    for (std::uint32_t i = 0; i < 256; ++i) tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFF];
  return tables;
}

constexpr Table Tables = MakeTables();

std::uint32_t Sliced(std::uint32_t value, const std::uint8_t* bytes, std::size_t size);

#ifdef PELMORA_CRC_FOLDING
// Folding with carry-less multiplication: a 128-bit block A (in the CRC's
// reflected bit order: its first 64 bits the high half) stands for A times
// x^n some n bits on; A_hi x^(n+64) + A_lo x^n is congruent, modulo the
// polynomial, to A_hi K1 + A_lo K2 with 32-bit K = x^m mod P, which is
// added to the block n bits on. Each constant is x^m mod P bit-reflected
// and shifted left one bit, as a 64-by-64 product in reflected order
// comes out one bit short of 128. The 128 bits left at the end are run
// through the table (their CRC from state 0 is the whole CRC).
constexpr std::uint64_t FoldBy4High = 0x154442BD4;  // x^544 mod P: 512 bits on, high half
constexpr std::uint64_t FoldBy4Low = 0x1C6E41596;   // x^480 mod P
constexpr std::uint64_t FoldBy1High = 0x1751997D0;  // x^160 mod P: 128 bits on
constexpr std::uint64_t FoldBy1Low = 0x0CCAA009E;   // x^96 mod P

__attribute__((target("pclmul,sse2"))) __m128i Fold(__m128i block, __m128i constants, __m128i next) {
  const __m128i high = _mm_clmulepi64_si128(block, constants, 0x00);
  const __m128i low = _mm_clmulepi64_si128(block, constants, 0x11);
  return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

__attribute__((target("sse2"))) __m128i Load(const std::uint8_t* bytes) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
}

__attribute__((target("pclmul,sse2"))) std::uint32_t Folded(std::uint32_t value, const std::uint8_t* bytes,
                                                             std::size_t size) {
  // At least 64 bytes.
  const __m128i by4 = _mm_set_epi64x(static_cast<long long>(FoldBy4Low), static_cast<long long>(FoldBy4High));
  const __m128i by1 = _mm_set_epi64x(static_cast<long long>(FoldBy1Low), static_cast<long long>(FoldBy1High));
  __m128i x0 = _mm_xor_si128(Load(bytes), _mm_cvtsi32_si128(static_cast<int>(value)));
  __m128i x1 = Load(bytes + 16), x2 = Load(bytes + 32), x3 = Load(bytes + 48);
  std::size_t at = 64;
  for (; size - at >= 64; at += 64) {
    x0 = Fold(x0, by4, Load(bytes + at));
    x1 = Fold(x1, by4, Load(bytes + at + 16));
    x2 = Fold(x2, by4, Load(bytes + at + 32));
    x3 = Fold(x3, by4, Load(bytes + at + 48));
  }
  x1 = Fold(x0, by1, x1);
  x2 = Fold(x1, by1, x2);
  x3 = Fold(x2, by1, x3);
  for (; size - at >= 16; at += 16) x3 = Fold(x3, by1, Load(bytes + at));
  std::uint8_t last[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(last), x3);
  return Sliced(Sliced(0, last, sizeof last), bytes + at, size - at);
}

bool CanFold() {
  static const bool can = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
  return can;
}
#endif

constexpr std::size_t MinFolded = 256;  // shorter runs go through the table

}  // namespace

void Crc32::Update(const std::uint8_t* bytes, std::size_t size) {
#ifdef PELMORA_CRC_FOLDING
  if (size >= MinFolded && CanFold()) {
    state = Folded(state, bytes, size);
    return;
  }
#endif
  state = Sliced(state, bytes, size);
}

namespace {

std::uint32_t Sliced(std::uint32_t value, const std::uint8_t* bytes, std::size_t size) {
  std::size_t i = 0;
  for (; size - i >= 8; i += 8) {
    const std::uint32_t low = value ^ (std::uint32_t{bytes[i]} | (std::uint32_t{bytes[i + 1]} << 8) |
                                       (std::uint32_t{bytes[i + 2]} << 16) | (std::uint32_t{bytes[i + 3]} << 24));
    value = Tables[7][low & 0xFF] ^ Tables[6][(low >> 8) & 0xFF] ^ Tables[5][(low >> 16) & 0xFF] ^ Tables[4][low >> 24] ^
            Tables[3][bytes[i + 4]] ^ Tables[2][bytes[i + 5]] ^ Tables[1][bytes[i + 6]] ^ Tables[0][bytes[i + 7]];
  }
  for (; i < size; ++i) value = Tables[0][(value ^ bytes[i]) & 0xFF] ^ (value >> 8);
  return value;
}

}  // namespace

std::uint32_t Crc32Of(const std::uint8_t* bytes, std::size_t size) {
  Crc32 crc;
  crc.Update(bytes, size);
  return crc.Value();
}

bool Crc32Of(SourceReader& reader, std::uint64_t offset, std::uint64_t length, std::uint32_t* crc) {
  Crc32 sum;
  while (length > 0) {
    std::size_t got = 0;
    const std::uint8_t* p = reader.Some(offset, length, &got);
    if (p == nullptr) return false;
    sum.Update(p, got);
    offset += got;
    length -= got;
  }
  *crc = sum.Value();
  return true;
}

}  // namespace carve
