#include "ntfs/HuffmanCode.h"

#include <algorithm>
#include <cstring>
#include <iterator>

bool HuffmanCode::Build(const std::uint8_t* lengths, unsigned count, unsigned maxLength) {
  if (count > MaxSymbols || maxLength > MaxLength) return false;
  std::fill(std::begin(lengthCount), std::end(lengthCount), std::uint16_t{0});
  for (unsigned symbol = 0; symbol < count; ++symbol) {
    if (lengths[symbol] > maxLength) return false;
    ++lengthCount[lengths[symbol]];
  }
  // Every length takes its share of the bit patterns; more than all of them
  // cannot be a prefix code.
  std::uint32_t left = 1;
  for (unsigned length = 1; length <= MaxLength; ++length) {
    left <<= 1;
    if (lengthCount[length] > left) return false;
    left -= lengthCount[length];
  }
  std::uint32_t code = 0;
  unsigned index = 0;
  for (unsigned length = 1; length <= MaxLength; ++length) {
    firstCode[length] = code;
    firstIndex[length] = static_cast<std::uint16_t>(index);
    index += lengthCount[length];
    code = (code + lengthCount[length]) << 1;
  }
  std::uint16_t next[MaxLength + 1];
  std::copy(std::begin(firstIndex), std::end(firstIndex), std::begin(next));
  for (unsigned symbol = 0; symbol < count; ++symbol) {
    if (lengths[symbol] != 0) sorted[next[lengths[symbol]]++] = static_cast<std::uint16_t>(symbol);
  }
  std::fill(std::begin(table), std::end(table), static_cast<std::uint16_t>(NoSymbol));
  for (unsigned length = 1; length <= MaxLength; ++length) {
    for (unsigned i = 0; i < lengthCount[length]; ++i) {
      const std::uint32_t value = firstCode[length] + i;
      if (length <= TableBits) {
        const unsigned shift = TableBits - length;
        const std::uint16_t entry =
            static_cast<std::uint16_t>(sorted[firstIndex[length] + i] << LengthBits | length);
        std::fill(table + (value << shift), table + ((value + 1) << shift), entry);
      } else {
        table[value >> (length - TableBits)] = LongCode;
      }
    }
  }
  return true;
}

unsigned HuffmanCode::Decode(std::uint32_t window, unsigned* length) const {
  const std::uint16_t entry = table[window >> (16 - TableBits)];
  if (entry < LongCode) {
    *length = entry & ((1u << LengthBits) - 1);
    return entry >> LengthBits;
  }
  if (entry == NoSymbol) return NoSymbol;
  for (unsigned bits = TableBits + 1; bits <= MaxLength; ++bits) {
    const std::uint32_t offset = (window >> (16 - bits)) - firstCode[bits];
    if (offset < lengthCount[bits]) {
      *length = bits;
      return sorted[firstIndex[bits] + offset];
    }
  }
  return NoSymbol;
}

namespace {
constexpr unsigned PhantomLimit = 3;  // with 3 zero words buffered some were surely consumed
}

std::uint32_t WordBitReader::NextWord() {
  if (phantomWords == 0 && length - pos >= 2) {
    const std::uint32_t word = data[pos] | (data[pos + 1] << 8);
    pos += 2;
    return word;
  }
  if (phantomWords < PhantomLimit) ++phantomWords;
  return 0;
}

void WordBitReader::Restart() {
  bits = 0;
  count = 0;
  phantomWords = 0;
  bits = NextWord() << 16;
  bits |= NextWord();
  count = 32;
}

bool WordBitReader::ReadBytes(std::uint8_t* out, std::size_t n) {
  if (phantomWords != 0 || n > length - pos) return false;
  std::memcpy(out, data + pos, n);
  pos += n;
  return true;
}

bool WordBitReader::AlignToWord() {
  const unsigned padding = count % 16 != 0 ? count % 16 : 16;
  if (count < padding) return false;
  const unsigned ahead = (count - padding) / 16;
  if (ahead < phantomWords) return false;
  pos -= 2 * (ahead - phantomWords);
  bits = 0;
  count = 0;
  phantomWords = 0;
  return true;
}
