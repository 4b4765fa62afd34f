// What the XPRESS and LZX decoders share: canonical prefix codes given by
// their code lengths, and bits read from 16-bit little-endian words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Copies a match: `length` bytes from `offset` bytes back to output[at...].
// A match may overlap what it writes; then its bytes repeat with a period
// of `offset`, so each copy may take everything from the source to the
// write position: the copies double in size and never overlap.
inline void CopyMatch(std::uint8_t* output, std::size_t at, std::size_t offset, std::size_t length) {
  const std::size_t from = at - offset;
  while (length > 0) {
    const std::size_t n = length < at - from ? length : at - from;
    std::memcpy(output + at, output + from, n);
    at += n;
    length -= n;
  }
}

// A canonical prefix code: only each symbol's code length is stored; codes
// are numbered in order of length, then symbol, and read most significant
// bit first. Decoding looks the first TableBits bits up and walks the
// lengths beyond that, so the code costs a few KiB and no allocation.
class HuffmanCode {
 public:
  static constexpr unsigned MaxSymbols = 512;
  static constexpr unsigned MaxLength = 16;
  static constexpr unsigned NoSymbol = 0xFFFF;

  // Builds the code from `count` (at most MaxSymbols) lengths, 0 for a
  // symbol never sent. False when a length exceeds `maxLength` or the
  // lengths claim more codes than there are bit patterns. A code that leaves
  // patterns unused is kept: those patterns decode to NoSymbol.
  bool Build(const std::uint8_t* lengths, unsigned count, unsigned maxLength);

  // The symbol whose code begins `window` (the next 16 bits, the first one
  // highest) and, in `*length`, its code's length; NoSymbol when no code does.
  unsigned Decode(std::uint32_t window, unsigned* length) const;

 private:
  static constexpr unsigned TableBits = 10;
  static constexpr std::uint16_t LongCode = 0xFFFE;  // the code is longer than TableBits
  static constexpr unsigned LengthBits = 5;           // a table entry: symbol << LengthBits | length

  std::uint16_t table[1u << TableBits];
  std::uint16_t sorted[MaxSymbols];         // the symbols in code order
  std::uint32_t firstCode[MaxLength + 1];   // the first code of each length
  std::uint16_t firstIndex[MaxLength + 1];  // its symbol's index in `sorted`
  std::uint16_t lengthCount[MaxLength + 1];
};

// Bits read most significant first from 16-bit little-endian words, with
// whole bytes between them where the format puts some. At least 16 bits are
// always buffered; a new word is fetched only when fewer remain, which fixes
// where a byte read lands. Words past the input's end read as zeros and are
// counted, so that a stream cut short is caught (Overrun) instead of read
// out of bounds.
class WordBitReader {
 public:
  // Starts at byte `start` of `size` bytes.
  WordBitReader(const std::uint8_t* bytes, std::size_t size, std::size_t start)
      : data(bytes), length(size), pos(start) {
    Restart();
  }

  // The next 16 bits, the first one highest.
  std::uint32_t Peek() const { return bits >> 16; }

  // Drops `n` (at most 16) bits.
  void Consume(unsigned n) {
    bits <<= n;
    count -= n;
    if (count < 16) {
      bits |= NextWord() << (16 - count);
      count += 16;
    }
  }

  // The next `n` (at most 16) bits as a number.
  std::uint32_t Read(unsigned n) {
    if (n == 0) return 0;
    const std::uint32_t value = bits >> (32 - n);
    Consume(n);
    return value;
  }

  // `n` bytes at the byte position: after every word fetched so far. False
  // when the input ends first or words past its end were already fetched.
  bool ReadBytes(std::uint8_t* out, std::size_t n);

  // Drops the rest of the current word, or the whole next word when none
  // of the current one is left (1 to 16 bits), and moves the byte position
  // to just after it, giving back the words fetched ahead. False when that
  // padding lay past the input's end.
  bool AlignToWord();

  // Starts fetching words again at the byte position.
  void Restart();

  // True when bits past the input's end were consumed.
  bool Overrun() const { return count < 16u * phantomWords; }

  std::size_t Position() const { return pos; }

 private:
  std::uint32_t NextWord();

  const std::uint8_t* data;
  std::size_t length;
  std::size_t pos;               // the next byte not yet fetched
  std::uint32_t bits = 0;        // buffered bits, the next one at bit 31
  unsigned count = 0;            // bits buffered, 16 to 32
  unsigned phantomWords = 0;     // zero words fetched past the input's end
};
