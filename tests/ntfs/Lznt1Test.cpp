// LZNT1 on crafted chunks: round trips through the tests' own encoder at
// every displacement width, uncompressed chunks, and every way a chunk can
// lie.
#include <gtest/gtest.h>

#include <random>

#include "ntfs/Lznt1.h"
#include "support/Lznt1Encoder.h"

namespace {

Bytes Random(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  Bytes bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

DWORD Decompress(const Bytes& input, std::size_t capacity, Bytes* output) {
  output->assign(capacity, 0xCC);
  std::size_t produced = 0;
  const DWORD result = lznt1::Decompress(input.data(), input.size(), output->data(), capacity, &produced);
  output->resize(produced);
  return result;
}

TEST(Lznt1, RoundTripsAtEveryDisplacementWidth) {
  // A run of random bytes of length L followed by a copy of itself makes the
  // encoder reach back exactly L bytes from position L: the split between
  // displacement and length changes at 16, 32, 64, ... 2048 bytes written.
  for (std::size_t back : {1u, 3u, 16u, 17u, 32u, 33u, 64u, 65u, 128u, 129u, 256u, 257u, 512u, 513u, 1024u, 1025u,
                           2048u, 2049u}) {
    SCOPED_TRACE(back);
    Bytes data = Random(back, static_cast<unsigned>(back));
    const Bytes copy = data;
    while (data.size() < 4096) data.insert(data.end(), copy.begin(), copy.begin() + std::min(copy.size(), 4096 - data.size()));
    Bytes out;
    ASSERT_EQ(Decompress(Lznt1Compress(data), 4096, &out), code::Success);
    EXPECT_EQ(out, data);
  }
  // Several chunks: text that compresses, random data stored raw, a short
  // last chunk zero-padded to its 4096 bytes of output.
  Bytes mixed(9000);
  for (std::size_t i = 0; i < 4096; ++i) mixed[i] = static_cast<std::uint8_t>("compressible text "[i % 18]);
  const Bytes noise = Random(4096, 7);
  std::copy(noise.begin(), noise.end(), mixed.begin() + 4096);
  Bytes out;
  ASSERT_EQ(Decompress(Lznt1Compress(mixed), 3 * 4096, &out), code::Success);
  ASSERT_EQ(out.size(), 3u * 4096);
  EXPECT_TRUE(std::equal(mixed.begin(), mixed.end(), out.begin()));
  EXPECT_TRUE(std::all_of(out.begin() + 9000, out.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST(Lznt1, EndsAtAZeroHeaderTheInputsEndOrAFullOutput) {
  const Bytes data(4096, 'a');
  Bytes stream = Lznt1Compress(data);
  const std::size_t one = stream.size();
  stream.push_back(0);
  stream.push_back(0);  // end marker; what follows is never read
  stream.insert(stream.end(), {0xFF, 0xBF, 1, 2, 3});
  Bytes out;
  EXPECT_EQ(Decompress(stream, 8192, &out), code::Success);
  EXPECT_EQ(out, data);
  // A full output ends the stream, whatever follows.
  Bytes twice = Lznt1Compress(Bytes(8192, 'b'));
  EXPECT_EQ(Decompress(twice, 4096, &out), code::Success);
  EXPECT_EQ(out, Bytes(4096, 'b'));
  // A single stray byte after the last chunk is no header.
  Bytes stray = Lznt1Compress(data);
  stray.resize(one);
  stray.push_back(0x42);
  EXPECT_EQ(Decompress(stray, 8192, &out), code::Success);
  EXPECT_EQ(out.size(), 4096u);
}

TEST(Lznt1, CorruptChunksAreRefusedWithoutReadingOrWritingOutside) {
  const Bytes good = Lznt1Compress(Bytes(4096, 'x'));  // a literal, then one long back-reference
  struct Case {
    const char* what;
    Bytes input;
    std::size_t capacity;
  };
  Bytes lies = good;
  lies[0] = static_cast<std::uint8_t>(lies[0] + 1);  // claims one byte more than there is
  // Headers: 0xB000 | (chunk bytes - 3), the chunk's bytes counting the header.
  Bytes firstIsReference = {0x02, 0xB0, 0x01, 0x00, 0x00};  // a back-reference at position 0
  Bytes beforeStart = {0x03, 0xB0, 0x02, 'a', 0x00, 0x10};  // one byte written, reaches back two
  Bytes pastChunk = {0x03, 0xB0, 0x02, 'a', 0xFF, 0x0F};    // length 4098 from position 1
  Bytes halfToken = {0x02, 0xB0, 0x02, 'a', 0x00};          // the token's second byte is missing
  const Bytes raw = Lznt1Compress(Bytes(Random(4096, 3)));  // stored uncompressed
  const Case cases[] = {
      {"a chunk longer than the input", lies, 4096},
      {"a back-reference before anything was written", firstIsReference, 4096},
      {"a back-reference before the chunk's start", beforeStart, 4096},
      {"a copy past the chunk's 4096 bytes", pastChunk, 4096},
      {"a token cut short", halfToken, 4096},
      {"an uncompressed chunk past the capacity", raw, 4000},
      {"output past the capacity", good, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes out;
    EXPECT_EQ(Decompress(c.input, c.capacity, &out), code::FileCorrupt);
  }
}

}  // namespace
