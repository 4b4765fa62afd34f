#include "ntfs/Xpress.h"

#include "ntfs/HuffmanCode.h"

namespace xpress {

namespace {

constexpr unsigned Symbols = 512;              // 256 literals, then 256 match headers
constexpr std::size_t LengthTableBytes = 256;  // two 4-bit code lengths a byte, low nibble first
constexpr unsigned NibbleBits = 4;
constexpr unsigned NibbleMask = 0x0F;
constexpr unsigned MaxCodeLength = 15;
constexpr unsigned Literals = 256;
constexpr unsigned LengthMask = 0x0F;        // a match header's low bits: its length - 3
constexpr unsigned OffsetBitsShift = 4;      // its high bits: the offset's highest set bit
constexpr unsigned LongerLength = 15;        // the length continues in a byte...
constexpr unsigned LongestByte = 255;        // ... and in 16 bits when that byte is all ones
constexpr std::size_t MinMatch = 3;

}  // namespace

DWORD Decompress(const std::uint8_t* input, std::size_t length, std::uint8_t* output, std::size_t size) {
  if (size > MaxOutputBytes) return code::InvalidParameter;
  if (size == 0) return code::Success;
  if (length < LengthTableBytes) return code::FileCorrupt;
  std::uint8_t lengths[Symbols];
  for (unsigned symbol = 0; symbol < Symbols; ++symbol) {
    lengths[symbol] = static_cast<std::uint8_t>((input[symbol / 2] >> (NibbleBits * (symbol % 2))) & NibbleMask);
  }
  HuffmanCode huffman;
  if (!huffman.Build(lengths, Symbols, MaxCodeLength)) return code::FileCorrupt;

  WordBitReader bits(input, length, LengthTableBytes);
  std::size_t out = 0;
  while (out < size) {
    unsigned used = 0;
    unsigned symbol = huffman.Decode(bits.Peek(), &used);
    if (symbol == HuffmanCode::NoSymbol) return code::FileCorrupt;
    bits.Consume(used);
    if (symbol < Literals) {
      output[out++] = static_cast<std::uint8_t>(symbol);
      continue;
    }
    symbol -= Literals;
    std::size_t matchLength = symbol & LengthMask;
    const unsigned offsetBits = symbol >> OffsetBitsShift;
    if (matchLength == LongerLength) {
      std::uint8_t extra[2];
      if (!bits.ReadBytes(extra, 1)) return code::FileCorrupt;
      matchLength = extra[0];
      if (matchLength == LongestByte) {
        // 16 bits: the whole length - 3, which the short forms could not hold.
        if (!bits.ReadBytes(extra, 2)) return code::FileCorrupt;
        matchLength = extra[0] | (extra[1] << 8);
        if (matchLength < LongerLength) return code::FileCorrupt;
        matchLength -= LongerLength;
      }
      matchLength += LongerLength;
    }
    matchLength += MinMatch;
    const std::size_t offset = (std::size_t{1} << offsetBits) | bits.Read(offsetBits);
    if (offset > out || matchLength > size - out) return code::FileCorrupt;
    CopyMatch(output, out, offset, matchLength);
    out += matchLength;
  }
  return bits.Overrun() ? code::FileCorrupt : code::Success;
}

}  // namespace xpress
