#include "ntfs/Lzx.h"

#include <algorithm>
#include <cstring>

#include "ntfs/HuffmanCode.h"

namespace lzx {

namespace {

constexpr unsigned Literals = 256;
constexpr unsigned PositionSlots = 30;  // what a 32 KiB window needs
constexpr unsigned LengthHeaders = 8;   // match headers per position slot
constexpr unsigned MainSymbols = Literals + LengthHeaders * PositionSlots;
constexpr unsigned LengthSymbols = 249;
constexpr unsigned AlignedSymbols = 8;
constexpr unsigned PretreeSymbols = 20;
constexpr unsigned MaxCodeLength = 16;
constexpr unsigned PretreeLengthBits = 4;
constexpr unsigned AlignedLengthBits = 3;
constexpr unsigned LongerLength = 7;  // a header of 7: the length goes on in the length tree
constexpr std::size_t MinMatch = 2;
constexpr unsigned RepeatSlots = 3;   // slots 0-2 reuse one of the last three offsets
constexpr unsigned AlignedBits = 3;   // in aligned blocks, an offset's low 3 bits have their own code
constexpr std::uint32_t OffsetBias = 2;

constexpr unsigned BlockTypeBits = 3;
constexpr unsigned BlockSizeFlagBits = 1;  // set: the block holds DefaultBlockSize bytes
constexpr unsigned BlockSizeBits = 16;      // else its size follows
constexpr std::size_t DefaultBlockSize = 32768;
constexpr unsigned VerbatimBlock = 1;
constexpr unsigned AlignedBlock = 2;
constexpr unsigned UncompressedBlock = 3;
constexpr std::size_t RepeatBytes = 4;  // each of R0-R2 in an uncompressed block's header

// Pretree symbols: 0-16 change a length by that much (modulo 17), the rest
// repeat one.
constexpr unsigned LengthModulus = 17;
constexpr unsigned ZeroRun = 17;      // 4 + 4 bits zeros
constexpr unsigned LongZeroRun = 18;  // 20 + 5 bits zeros
constexpr unsigned SameRun = 19;      // 4 + 1 bit times the length the next symbol gives
constexpr unsigned ZeroRunBase = 4, ZeroRunBits = 4;
constexpr unsigned LongZeroRunBase = 20, LongZeroRunBits = 5;
constexpr unsigned SameRunBase = 4, SameRunBits = 1;

// x86 CALL (E8) targets were made absolute against this size before
// compressing; the last bytes of a chunk never were.
constexpr std::int32_t TranslationSize = 12000000;
constexpr std::uint8_t CallOpcode = 0xE8;
constexpr std::size_t TargetBytes = 4;  // the little-endian target after the opcode
constexpr std::size_t UntranslatedTail = 10;

// An offset's position slot gives its base and the bits that follow: none
// for slots 0-3, then one more every second slot.
constexpr unsigned ExtraBits(unsigned slot) { return slot < 4 ? 0 : slot / 2 - 1; }

struct SlotTable {
  std::uint32_t base[PositionSlots];
  constexpr SlotTable() : base() {
    for (unsigned slot = 1; slot < PositionSlots; ++slot) base[slot] = base[slot - 1] + (1u << ExtraBits(slot - 1));
  }
};
constexpr SlotTable Slots;

struct Decoder {
  HuffmanCode main, lengths, aligned, pretree;
  std::uint32_t repeat[RepeatSlots] = {1, 1, 1};
  // Each block sends its main and length codes as changes to the last ones.
  std::uint8_t mainLengths[MainSymbols] = {};
  std::uint8_t lengthLengths[LengthSymbols] = {};
};

std::uint32_t Le32(const std::uint8_t* bytes) {
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (std::uint32_t{bytes[3]} << 24);
}

// Reads code lengths [begin, end) of `lengths` through a pretree sent first.
bool ReadLengths(WordBitReader& bits, HuffmanCode& pretree, std::uint8_t* lengths, unsigned begin, unsigned end) {
  std::uint8_t pretreeLengths[PretreeSymbols];
  for (auto& length : pretreeLengths) length = static_cast<std::uint8_t>(bits.Read(PretreeLengthBits));
  if (!pretree.Build(pretreeLengths, PretreeSymbols, (1u << PretreeLengthBits) - 1)) return false;
  auto next = [&](unsigned* symbol) {
    unsigned used = 0;
    *symbol = pretree.Decode(bits.Peek(), &used);
    bits.Consume(used);
    return *symbol != HuffmanCode::NoSymbol;
  };
  unsigned i = begin;
  while (i < end) {
    unsigned symbol = 0;
    if (!next(&symbol)) return false;
    if (symbol < LengthModulus) {
      lengths[i] = static_cast<std::uint8_t>((lengths[i] + LengthModulus - symbol) % LengthModulus);
      ++i;
      continue;
    }
    unsigned run = 0;
    std::uint8_t value = 0;
    if (symbol == ZeroRun) {
      run = ZeroRunBase + bits.Read(ZeroRunBits);
    } else if (symbol == LongZeroRun) {
      run = LongZeroRunBase + bits.Read(LongZeroRunBits);
    } else if (symbol == SameRun) {
      run = SameRunBase + bits.Read(SameRunBits);
      unsigned change = 0;
      if (!next(&change) || change >= LengthModulus) return false;
      value = static_cast<std::uint8_t>((lengths[i] + LengthModulus - change) % LengthModulus);
    } else {
      return false;
    }
    if (run > end - i) return false;
    std::fill(lengths + i, lengths + i + run, value);
    i += run;
  }
  return true;
}

// Reads the main and length codes of a verbatim or aligned block.
bool ReadCodes(WordBitReader& bits, Decoder& d) {
  return ReadLengths(bits, d.pretree, d.mainLengths, 0, Literals) &&
         ReadLengths(bits, d.pretree, d.mainLengths, Literals, MainSymbols) &&
         d.main.Build(d.mainLengths, MainSymbols, MaxCodeLength) &&
         ReadLengths(bits, d.pretree, d.lengthLengths, 0, LengthSymbols) &&
         d.lengths.Build(d.lengthLengths, LengthSymbols, MaxCodeLength) && !bits.Overrun();
}

// Decodes literals and matches until `out` reaches `end`; a match may run
// past it into the next block.
bool DecodeBlock(WordBitReader& bits, Decoder& d, bool alignedBlock, std::uint8_t* output, std::size_t size,
                 std::size_t* position, std::size_t end) {
  std::size_t out = *position;
  while (out < end) {
    unsigned used = 0;
    unsigned symbol = d.main.Decode(bits.Peek(), &used);
    if (symbol == HuffmanCode::NoSymbol) return false;
    bits.Consume(used);
    if (symbol < Literals) {
      output[out++] = static_cast<std::uint8_t>(symbol);
      continue;
    }
    symbol -= Literals;
    const unsigned slot = symbol / LengthHeaders;
    std::size_t matchLength = symbol % LengthHeaders;
    if (matchLength == LongerLength) {
      const unsigned more = d.lengths.Decode(bits.Peek(), &used);
      if (more == HuffmanCode::NoSymbol) return false;
      bits.Consume(used);
      matchLength += more;
    }
    matchLength += MinMatch;
    std::uint32_t offset = 0;
    if (slot < RepeatSlots) {
      // R0 stays; R1 or R2 trades places with R0.
      offset = d.repeat[slot];
      d.repeat[slot] = d.repeat[0];
      d.repeat[0] = offset;
    } else {
      const unsigned extra = ExtraBits(slot);
      std::uint32_t low = 0;
      if (alignedBlock && extra >= AlignedBits) {
        low = bits.Read(extra - AlignedBits) << AlignedBits;
        const unsigned alignedValue = d.aligned.Decode(bits.Peek(), &used);
        if (alignedValue == HuffmanCode::NoSymbol) return false;
        bits.Consume(used);
        low += alignedValue;
      } else {
        low = bits.Read(extra);
      }
      offset = Slots.base[slot] + low - OffsetBias;
      d.repeat[2] = d.repeat[1];
      d.repeat[1] = d.repeat[0];
      d.repeat[0] = offset;
    }
    if (offset == 0 || offset > out || matchLength > size - out) return false;
    CopyMatch(output, out, offset, matchLength);
    out += matchLength;
  }
  *position = out;
  return true;
}

// Copies an uncompressed block's bytes, which lie in the byte stream
// between its repeated offsets and the next word-aligned header.
bool CopyUncompressed(WordBitReader& bits, Decoder& d, std::uint8_t* output, std::size_t* position,
                      std::size_t end) {
  if (!bits.AlignToWord()) return false;
  for (auto& repeat : d.repeat) {
    std::uint8_t value[RepeatBytes];
    if (!bits.ReadBytes(value, RepeatBytes)) return false;
    repeat = Le32(value);
  }
  const std::size_t count = end - *position;
  if (!bits.ReadBytes(output + *position, count)) return false;
  *position = end;
  std::uint8_t padding = 0;
  if (count % 2 != 0) bits.ReadBytes(&padding, 1);  // the pad may be missing at the chunk's end
  bits.Restart();
  return true;
}

// Turns the absolute CALL targets back into the relative ones.
void UndoCallTranslation(std::uint8_t* output, std::size_t size) {
  if (size <= UntranslatedTail) return;
  for (std::size_t i = 0; i < size - UntranslatedTail;) {
    if (output[i] != CallOpcode) {
      ++i;
      continue;
    }
    const std::int32_t position = static_cast<std::int32_t>(i);
    const std::int32_t target = static_cast<std::int32_t>(Le32(output + i + 1));
    if (target >= -position && target < TranslationSize) {
      const std::int32_t relative = target >= 0 ? target - position : target + TranslationSize;
      const std::uint32_t bytes = static_cast<std::uint32_t>(relative);
      for (std::size_t b = 0; b < TargetBytes; ++b) output[i + 1 + b] = static_cast<std::uint8_t>(bytes >> (8 * b));
    }
    i += 1 + TargetBytes;  // a translated target or not, its bytes are no opcodes
  }
}

}  // namespace

DWORD Decompress(const std::uint8_t* input, std::size_t length, std::uint8_t* output, std::size_t size) {
  if (size > WindowBytes) return code::InvalidParameter;
  Decoder d;
  WordBitReader bits(input, length, 0);
  std::size_t out = 0, blockEnd = 0;
  while (out < size) {
    const unsigned type = bits.Read(BlockTypeBits);
    const std::size_t blockSize = bits.Read(BlockSizeFlagBits) != 0 ? DefaultBlockSize : bits.Read(BlockSizeBits);
    // A match that ran past the last block's end took the start of this one.
    blockEnd += blockSize;
    if (blockEnd <= out || bits.Overrun()) return code::FileCorrupt;
    const std::size_t end = std::min(blockEnd, size);
    bool good = false;
    if (type == UncompressedBlock) {
      good = CopyUncompressed(bits, d, output, &out, end);
    } else if (type == VerbatimBlock || type == AlignedBlock) {
      if (type == AlignedBlock) {
        std::uint8_t alignedLengths[AlignedSymbols];
        for (auto& value : alignedLengths) value = static_cast<std::uint8_t>(bits.Read(AlignedLengthBits));
        if (!d.aligned.Build(alignedLengths, AlignedSymbols, (1u << AlignedLengthBits) - 1)) {
          return code::FileCorrupt;
        }
      }
      good = ReadCodes(bits, d) && DecodeBlock(bits, d, type == AlignedBlock, output, size, &out, end);
    }
    if (!good || bits.Overrun()) return code::FileCorrupt;
  }
  UndoCallTranslation(output, size);
  return code::Success;
}

}  // namespace lzx
