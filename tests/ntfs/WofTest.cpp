// System-compressed files: chunks made by libwim's compressors decoded byte
// for byte, the chunk table read a window at a time, crafted streams for
// what no compressor writes, and every way a stream can lie.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "ntfs/HuffmanCode.h"
#include "ntfs/Lzx.h"
#include "ntfs/WofStream.h"
#include "ntfs/Xpress.h"
#include "support/WimCompress.h"

namespace {

using wof::Algorithm;
constexpr Algorithm Algorithms[] = {Algorithm::Xpress4K, Algorithm::Lzx, Algorithm::Xpress8K,
                                    Algorithm::Xpress16K};

Bytes Random(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  Bytes bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

Bytes Text(std::size_t size, unsigned seed) {
  static const char* const words[] = {"cluster ", "record ", "volume ", "deleted ", "the ", "chunk ", "of ", "\n"};
  std::mt19937 generator(seed);
  Bytes bytes;
  while (bytes.size() < size) {
    const std::string word = words[generator() % 8];
    bytes.insert(bytes.end(), word.begin(), word.end());
  }
  bytes.resize(size);
  return bytes;
}

void PutLE32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int b = 0; b < 4; ++b) bytes[at + b] = static_cast<std::uint8_t>(value >> (8 * b));
}

// Machine code as the CALL translation sees it: E8s before targets on both
// sides of each limit, and near each chunk's end, where the last ten bytes
// are never translated.
Bytes Calls(std::size_t size, std::size_t chunk) {
  std::mt19937 generator(3);
  Bytes bytes = Text(size, 3);
  auto call = [&](std::size_t at, std::uint32_t target) {
    bytes[at] = 0xE8;
    PutLE32(bytes, at + 1, target);
  };
  for (std::size_t at = 0; at + 5 <= size; at += 5 + generator() % 8) {
    const std::uint32_t i = static_cast<std::uint32_t>(at % chunk);
    const std::uint32_t targets[] = {0 - i - 1, 0 - i, 11999999 - i, 12000000 - i, 11999999, 12000000, i + 9, i};
    if (i + 20 < chunk) call(at, targets[generator() % 8]);
  }
  for (std::size_t end = chunk; end <= size; end += chunk) call(end - 10 - (end / chunk) % 2, 16);
  return bytes;
}

struct Sample {
  const char* what;
  Bytes data;
};

std::vector<Sample> Samples(std::size_t chunk) {
  Bytes mixed;
  for (unsigned i = 0; i < 3; ++i) {  // a chunk whose halves want different codes: several LZX blocks
    const Bytes text = Text(chunk / 2, i), noise = Random(chunk / 4, i);
    mixed.insert(mixed.end(), text.begin(), text.end());
    mixed.insert(mixed.end(), noise.begin(), noise.end());
    mixed.insert(mixed.end(), chunk / 4, 0);
  }
  // Records of 8 bytes, often the one two back: matches whose offsets
  // share their low bits, which LZX sends in aligned blocks.
  Bytes records;
  std::mt19937 generator(11);
  while (records.size() < 2 * chunk) {
    const std::size_t choice = generator() % 3, back = records.size() / 8;
    const std::size_t from = choice == 0 && back >= 2 ? records.size() - 16
                             : choice == 1 && back >= 1 ? 8 * (generator() % back) : SIZE_MAX;
    for (std::size_t b = 0; b < 8; ++b) {
      records.push_back(from == SIZE_MAX ? static_cast<std::uint8_t>(generator()) : records[from + b]);
    }
  }
  return {
      {"text with a short last chunk", Text(3 * chunk + 123, 1)},
      {"random, stored raw", Random(2 * chunk + 1, 2)},
      {"zeros: the longest matches", Bytes(2 * chunk, 0)},
      {"eight-byte records", records},
      {"text, noise and zeros in turn", mixed},
      {"calls", Calls(3 * chunk, chunk)},
      {"one byte", Bytes(1, 'x')},
      {"one byte short of a chunk", Text(chunk - 1, 5)},
  };
}

// A stream in memory that counts the reads of chunk bytes and fails the
// test on any read outside the stream.
class BufferSource : public WofSource {
 public:
  explicit BufferSource(Bytes stream, std::uint64_t tableEnd = 0) : bytes(std::move(stream)), dataStart(tableEnd) {}
  DWORD ReadAt(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer) override {
    EXPECT_TRUE(offset <= bytes.size() && count <= bytes.size() - offset) << offset << "+" << count;
    if (offset > bytes.size() || count > bytes.size() - offset) return code::HandleEof;
    if (offset >= failFrom) return code::Crc;
    if (offset >= dataStart) ++chunkReads;
    std::copy(bytes.begin() + offset, bytes.begin() + offset + count, buffer);
    return code::Success;
  }
  Bytes bytes;
  std::uint64_t dataStart;
  std::uint64_t failFrom = UINT64_MAX;
  unsigned chunkReads = 0;
};

std::uint64_t TableBytes(Algorithm algorithm, std::size_t size) {
  const std::size_t chunk = wof::ChunkBytes(algorithm);
  return 4 * ((size + chunk - 1) / chunk - 1);
}

TEST(Wof, LibwimFilesReadWholeOrInPiecesDecodeEachChunkOnce) {
  for (Algorithm algorithm : Algorithms) {
    const std::size_t chunk = wof::ChunkBytes(algorithm);
    for (const Sample& sample : Samples(chunk)) {
      SCOPED_TRACE(std::to_string(chunk) + " " + sample.what);
      const Bytes& data = sample.data;
      BufferSource source(WofCompressedStream(algorithm, data), TableBytes(algorithm, data.size()));
      CWofStream file;
      ASSERT_EQ(file.Open(&source, source.bytes.size(), data.size(), algorithm), code::Success);
      Bytes out(data.size());
      ASSERT_EQ(file.Read(0, static_cast<std::uint32_t>(out.size()), out.data()), code::Success);
      EXPECT_EQ(out, data);
      // Front to back in pieces that straddle chunks: one read of each.
      CWofStream again;
      ASSERT_EQ(again.Open(&source, source.bytes.size(), data.size(), algorithm), code::Success);
      source.chunkReads = 0;
      std::fill(out.begin(), out.end(), 0);
      for (std::size_t at = 0; at < data.size(); at += 1000) {
        const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(1000, data.size() - at));
        ASSERT_EQ(again.Read(at, n, out.data() + at), code::Success) << at;
      }
      EXPECT_EQ(out, data);
      EXPECT_EQ(source.chunkReads, (data.size() + chunk - 1) / chunk);
    }
  }
}

TEST(Wof, StreamsCutShortNeverDecodeToWrongBytes) {
  for (Algorithm algorithm : {Algorithm::Xpress4K, Algorithm::Lzx}) {
    for (const Bytes& piece : {Text(4096, 6), Calls(4096, 4096)}) {
      const Bytes packed = WimCompress(algorithm, piece);
      ASSERT_FALSE(packed.empty());
      unsigned refused = 0;
      for (std::size_t cut = 0; cut < packed.size(); ++cut) {
        Bytes out(piece.size());
        const DWORD result = algorithm == Algorithm::Lzx ? lzx::Decompress(packed.data(), cut, out.data(), out.size())
                                                         : xpress::Decompress(packed.data(), cut, out.data(), out.size());
        if (result == code::Success) {
          EXPECT_EQ(out, piece) << "cut to " << cut;
        } else {
          EXPECT_EQ(result, code::FileCorrupt) << "cut to " << cut;
          ++refused;
        }
      }
      EXPECT_GE(refused + 8, packed.size());  // only the padding at the end may go
    }
  }
}

// Bits most significant first in 16-bit little-endian words, as the
// decoders read them.
class WordBits {
 public:
  WordBits& Put(std::uint32_t value, unsigned n) {
    while (n-- > 0) {
      if (used % 16 == 0) words.push_back(0);
      if ((value >> n) & 1) words.back() |= static_cast<std::uint16_t>(0x8000 >> (used % 16));
      ++used;
    }
    return *this;
  }
  WordBits& Put(const char* bits) {
    for (; *bits; ++bits) Put(*bits == '1' ? 1 : 0, 1);
    return *this;
  }
  std::size_t Bits() const { return used; }
  // The words so far, then `bytes` after them, and the bits start again.
  Bytes Flush(const Bytes& bytes = {}) {
    for (std::uint16_t word : words) {
      out.push_back(static_cast<std::uint8_t>(word));
      out.push_back(static_cast<std::uint8_t>(word >> 8));
    }
    out.insert(out.end(), bytes.begin(), bytes.end());
    words.clear();
    used = 0;
    return out;
  }

 private:
  std::vector<std::uint16_t> words;
  std::size_t used = 0;
  Bytes out;
};

// XPRESS: code lengths of the symbols named (the rest unused), the bits,
// and the bytes the decoder reads after its first two words.
Bytes XpressStream(std::initializer_list<std::pair<unsigned, unsigned>> lengths, const char* bits,
                   const Bytes& bytes = {}) {
  Bytes stream(256, 0);
  for (auto [symbol, length] : lengths) stream[symbol / 2] |= static_cast<std::uint8_t>(length << (4 * (symbol % 2)));
  WordBits writer;
  writer.Put(bits).Put(0, 32);
  const Bytes words = writer.Flush();
  stream.insert(stream.end(), words.begin(), words.begin() + 4);
  stream.insert(stream.end(), bytes.begin(), bytes.end());
  stream.insert(stream.end(), words.begin() + 4, words.end());
  return stream;
}

TEST(Xpress, CraftedStreamsDecodeOrAreRefused) {
  // 'a' is code 0 and the match header given is code 1.
  static constexpr unsigned Match3 = 256;            // length 3, offset 1
  static constexpr unsigned MatchLonger = 256 + 15;  // length from the bytes that follow, offset 1
  struct Case {
    const char* what;
    Bytes stream;
    std::size_t size;
    DWORD result;
    std::string output;
  };
  const Case cases[] = {
      {"a length in 16 bits: 20 + 3", XpressStream({{'a', 1}, {MatchLonger, 1}}, "01", {255, 20, 0}), 24, 0,
       std::string(24, 'a')},
      {"a 16-bit length below 15", XpressStream({{'a', 1}, {MatchLonger, 1}}, "01", {255, 14, 0}), 24,
       code::FileCorrupt, ""},
      {"the length's bytes cut off", [] {
         Bytes s = XpressStream({{'a', 1}, {MatchLonger, 1}}, "01", {255, 20});
         return Bytes(s.begin(), s.begin() + 256 + 4 + 2);
       }(),
       24, code::FileCorrupt, ""},
      {"a match before anything was written", XpressStream({{'a', 1}, {Match3, 1}}, "10"), 4, code::FileCorrupt, ""},
      {"a match past the chunk's end", XpressStream({{'a', 1}, {Match3, 1}}, "01"), 3, code::FileCorrupt, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes out(c.size, 0xCC);
    EXPECT_EQ(xpress::Decompress(c.stream.data(), c.stream.size(), out.data(), out.size()), c.result);
    if (c.result == code::Success) {
      EXPECT_EQ(std::string(out.begin(), out.end()), c.output);
    }
  }
}

TEST(HuffmanCode, DecodesCodesOfEveryLengthUpTo16Bits) {
  // Lengths 1, 2, ... 16, 16: symbol k's code is k ones and a zero.
  std::uint8_t lengths[17];
  for (unsigned k = 0; k < 17; ++k) lengths[k] = static_cast<std::uint8_t>(std::min(k + 1, 16u));
  HuffmanCode code;
  ASSERT_TRUE(code.Build(lengths, 17, 16));
  for (unsigned k = 0; k < 17; ++k) {
    const std::uint32_t window = (0xFFFFu << (16 - std::min(k, 16u))) & 0xFFFF;
    unsigned length = 0;
    EXPECT_EQ(code.Decode(window | (k < 16 ? 0x5555u >> (k + 1) : 0), &length), k);
    EXPECT_EQ(length, lengths[k]);
  }
  // Without the last symbol the all-ones pattern has no code.
  ASSERT_TRUE(code.Build(lengths, 16, 16));
  unsigned length = 0;
  EXPECT_EQ(code.Decode(0xFFFF, &length), HuffmanCode::NoSymbol);
  lengths[16] = 15;  // one pattern too many
  EXPECT_FALSE(code.Build(lengths, 17, 16));
}

// LZX blocks written by hand for what libwim never writes.
void BlockHeader(WordBits& bits, unsigned type, std::size_t size) {
  bits.Put(type, 3).Put(0, 1).Put(static_cast<std::uint32_t>(size), 16);
}

// A pretree in which 0, 16, 17 and 18 have the 2-bit codes 00, 01, 10, 11.
void Pretree(WordBits& bits) {
  for (unsigned symbol = 0; symbol < 20; ++symbol) bits.Put(symbol == 0 || (symbol >= 16 && symbol <= 18) ? 2 : 0, 4);
}

void Zeros(WordBits& bits, std::size_t count) {
  for (; count >= 20; count -= std::min<std::size_t>(count, 51)) {
    bits.Put("11").Put(static_cast<std::uint32_t>(std::min<std::size_t>(count, 51) - 20), 5);
  }
  for (; count >= 4; count -= std::min<std::size_t>(count, 19)) {
    bits.Put("10").Put(static_cast<std::uint32_t>(std::min<std::size_t>(count, 19) - 4), 4);
  }
  for (; count > 0; --count) bits.Put("00");
}

// Pretrees and code lengths all zero, but for `lengthZeros` of the length
// code's.
void Trees(WordBits& bits, std::size_t lengthZeros) {
  Pretree(bits);
  Zeros(bits, 256);
  Pretree(bits);
  Zeros(bits, 240);
  Pretree(bits);
  Zeros(bits, lengthZeros);
}

// A verbatim block of `count` 'A's: the main code has that one literal
// (1 bit, code 0), so the block ends at any bit position wanted.
void LiteralBlock(WordBits& bits, std::size_t count) {
  BlockHeader(bits, 1, count);
  Pretree(bits);
  Zeros(bits, 'A');
  bits.Put("01");  // length 1 (0 - 16 mod 17)
  Zeros(bits, 255 - 'A');
  Pretree(bits);
  Zeros(bits, 240);
  Pretree(bits);
  Zeros(bits, 249);
  bits.Put(0, static_cast<unsigned>(count));
}

// An uncompressed block: header, padding to a word, R0-R2, the bytes, a
// pad byte after an odd count.
Bytes UncompressedBlock(WordBits& bits, const std::string& text) {
  BlockHeader(bits, 3, text.size());
  if (bits.Bits() % 16 == 0) bits.Put(0, 16);
  Bytes bytes(12, 1);
  bytes.insert(bytes.end(), text.begin(), text.end());
  if (text.size() % 2 != 0) bytes.push_back(0);
  return bits.Flush(bytes);
}

TEST(Lzx, UncompressedBlocksAfterAnyBitPosition) {
  for (std::size_t literals = 1; literals <= 16; ++literals) {
    SCOPED_TRACE(literals);
    WordBits bits;
    LiteralBlock(bits, literals);
    UncompressedBlock(bits, "xyz");
    const Bytes stream = UncompressedBlock(bits, "pq");
    const std::string expected = std::string(literals, 'A') + "xyzpq";
    Bytes out(expected.size(), 0xCC);
    ASSERT_EQ(lzx::Decompress(stream.data(), stream.size(), out.data(), out.size()), code::Success);
    EXPECT_EQ(std::string(out.begin(), out.end()), expected);
  }
}

TEST(Lzx, CraftedBlocksThatLieAreRefused) {
  struct Case {
    const char* what;
    Bytes stream;
    std::size_t size;
  };
  auto build = [](auto write) {
    WordBits bits;
    write(bits);
    bits.Put(0, 32);
    return bits.Flush();
  };
  Bytes pastInput;
  {
    WordBits bits;
    pastInput = UncompressedBlock(bits, "abcdef");
    pastInput.resize(pastInput.size() - 3);
  }
  Bytes noBytes;
  {
    WordBits bits;
    UncompressedBlock(bits, "");
    noBytes = UncompressedBlock(bits, "abc");
  }
  Bytes endsAtPadding;  // literals, then a header ending on a word boundary: 16 bits of padding follow
  for (std::size_t literals = 1; endsAtPadding.empty(); ++literals) {
    WordBits bits;
    LiteralBlock(bits, literals);
    BlockHeader(bits, 3, 3);
    if (bits.Bits() % 16 == 0) endsAtPadding = bits.Flush();
  }
  const Case cases[] = {
      {"block type 7", build([](WordBits& b) { BlockHeader(b, 7, 8); }), 8},
      {"a block of no bytes", noBytes, 3},
      {"an uncompressed block past the input", pastInput, 6},
      {"a header cut short in its first word", Bytes(pastInput.begin(), pastInput.begin() + 2), 6},
      {"the input ending where an uncompressed block's padding should be", endsAtPadding, 20},
      {"a zero run past the length code's end", build([](WordBits& b) {
         BlockHeader(b, 1, 8);
         Trees(b, 240);
         b.Put("11").Put(31, 5);  // 51 more
       }),
       8},
      {"nothing at all", Bytes(), 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes out(c.size, 0xCC);
    EXPECT_EQ(lzx::Decompress(c.stream.data(), c.stream.size(), out.data(), out.size()), code::FileCorrupt);
  }
}

TEST(Wof, ChunkTablesThatLieAreRefused) {
  // Four XPRESS 4 KiB chunks: text, raw noise, text, and a short last one.
  Bytes data = Text(3 * 4096 + 700, 8);
  const Bytes noise = Random(4096, 9);
  std::copy(noise.begin(), noise.end(), data.begin() + 4096);
  const Bytes good = WofCompressedStream(Algorithm::Xpress4K, data);
  auto entry = [&](int i) -> std::size_t {
    return good[4 * i] | good[4 * i + 1] << 8 | good[4 * i + 2] << 16 | good[4 * i + 3] << 24;
  };
  ASSERT_EQ(entry(1) - entry(0), 4096u);  // the noise is stored raw
  struct Case {
    const char* what;
    int entry;  // -1: none changed
    std::uint32_t value;
    std::size_t streamBytes;  // 0: the whole stream
    std::uint64_t readAt;     // a byte of the chunk that lies
  };
  const Case cases[] = {
      {"offsets out of order", 1, static_cast<std::uint32_t>(entry(0) - 1), 0, 4096},
      {"an offset past the stream's end", 2, 0x7FFFFFFF, 0, 2 * 4096},
      {"a chunk stored larger than it is", 1, static_cast<std::uint32_t>(entry(0) + 4097), 0, 4096},
      {"a chunk of no bytes", 0, 0, 0, 0},
      {"a last chunk cut short", -1, 0, 12 + entry(2) + 100, 3 * 4096},
      {"a raw chunk cut short, so taken as compressed", 0, static_cast<std::uint32_t>(entry(0) + 1), 0, 4096},
      {"a last chunk stored larger than it is", -1, 0, 12 + entry(2) + 701, 3 * 4096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes stream = good;
    if (c.entry >= 0) PutLE32(stream, 4 * c.entry, c.value);
    if (c.streamBytes > stream.size()) stream.resize(c.streamBytes, 0x5A);
    if (c.streamBytes != 0) stream.resize(c.streamBytes);
    BufferSource source(stream);
    CWofStream file;
    ASSERT_EQ(file.Open(&source, stream.size(), data.size(), Algorithm::Xpress4K), code::Success);
    std::uint8_t byte = 0;
    EXPECT_EQ(file.Read(c.readAt, 1, &byte), code::FileCorrupt);
  }
  // A table longer than the stream; a read past the file; the source's own
  // failure passed up unchanged.
  BufferSource source(good);
  CWofStream file;
  EXPECT_EQ(file.Open(&source, 11, data.size(), Algorithm::Xpress4K), code::FileCorrupt);
  ASSERT_EQ(file.Open(&source, good.size(), data.size(), Algorithm::Xpress4K), code::Success);
  std::uint8_t bytes[2] = {};
  EXPECT_EQ(file.Read(data.size() - 1, 2, bytes), code::InvalidParameter);
  source.failFrom = 12 + entry(1);
  EXPECT_EQ(file.Read(2 * 4096, 1, bytes), code::Crc);
  source.failFrom = UINT64_MAX;  // a failed read is not remembered as corruption
  EXPECT_EQ(file.Read(2 * 4096, 1, bytes), code::Success);
}

// A file past 4 GiB whose chunks are all the same, its stream made up as it
// is read: 8-byte offsets, and the table read a window at a time.
class LargeSource : public WofSource {
 public:
  LargeSource(std::uint64_t fileSize, Bytes chunkBytes, Bytes lastChunk)
      : chunks(fileSize / lzx::WindowBytes), packed(std::move(chunkBytes)), last(std::move(lastChunk)) {}
  std::uint64_t TableBytes() const { return 8 * chunks; }  // one entry per chunk after the first
  std::uint64_t Size() const { return TableBytes() + chunks * packed.size() + last.size(); }
  DWORD ReadAt(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer) override {
    EXPECT_TRUE(offset <= Size() && count <= Size() - offset);
    largest = std::max(largest, count);
    for (std::uint32_t i = 0; i < count; ++i) buffer[i] = At(offset + i);
    return code::Success;
  }
  std::uint32_t largest = 0;

 private:
  std::uint8_t At(std::uint64_t at) const {
    if (at < TableBytes()) return static_cast<std::uint8_t>((at / 8 + 1) * packed.size() >> (8 * (at % 8)));
    at -= TableBytes();
    if (at < chunks * packed.size()) return packed[at % packed.size()];
    return last[at - chunks * packed.size()];
  }
  std::uint64_t chunks;
  Bytes packed, last;
};

TEST(Wof, FilesOfFourGiBAndMoreHaveEightByteOffsets) {
  const Bytes zeros(lzx::WindowBytes, 0);
  const Bytes tail = Text(100, 10);
  LargeSource source((std::uint64_t{1} << 32) + tail.size(), WimCompress(Algorithm::Lzx, zeros), tail);
  CWofStream file;
  ASSERT_EQ(file.Open(&source, source.Size(), (std::uint64_t{1} << 32) + tail.size(), Algorithm::Lzx),
            code::Success);
  Bytes out(300, 0xCC);
  ASSERT_EQ(file.Read((std::uint64_t{1} << 32) - 200, 300, out.data()), code::Success);
  EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 200, [](std::uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), out.begin() + 200));
  ASSERT_EQ(file.Read(3000000001, 1, out.data()), code::Success);
  EXPECT_EQ(out[0], 0);
  EXPECT_LE(source.largest, 8192u);  // 1024 entries at a time, never the 1 MiB table
}

TEST(Wof, ReparsePointsNameTheAlgorithm) {
  // Tag, data length 16, then version 1, provider 2, version 1, LZX.
  Bytes good(24, 0);
  for (auto [at, value] : {std::pair{0, 0x80000017u}, {4, 16u}, {8, 1u}, {12, 2u}, {16, 1u}, {20, 1u}}) {
    PutLE32(good, at, value);
  }
  struct Case {
    const char* what;
    std::size_t at, size;  // a u32 put there, then the value cut to `size`
    std::uint32_t value;
    DWORD result;
    bool isWof;
  };
  const Case cases[] = {
      {"LZX", 20, 24, 1, 0, true},
      {"XPRESS 16K", 20, 24, 3, 0, true},
      {"a symbolic link", 0, 24, 0xA000000C, 0, false},
      {"an unknown algorithm", 20, 24, 4, code::FileCorrupt, true},
      {"a WIM-backed file", 12, 24, 1, code::FileCorrupt, true},
      {"another version", 8, 24, 2, code::FileCorrupt, true},
      {"data too short", 4, 24, 12, code::FileCorrupt, true},
      {"a value cut short", 20, 23, 1, code::FileCorrupt, true},
      {"no tag", 0, 3, 0, code::FileCorrupt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes value = good;
    PutLE32(value, c.at, c.value);
    value.resize(c.size);
    bool isWof = !c.isWof;
    Algorithm algorithm = Algorithm::Xpress8K;
    EXPECT_EQ(wof::ParseReparsePoint(ByteReader(value.data(), value.size()), &isWof, &algorithm), c.result);
    EXPECT_EQ(isWof, c.isWof);
    if (c.result == code::Success && c.isWof) {
      EXPECT_EQ(static_cast<std::uint32_t>(algorithm), c.value);
    }
  }
}

}  // namespace
