// Carving free space: the free-cluster map on crafted bitmaps, the stream
// over free clusters on a crafted disk, and a real volume
// (tools/mkcarvevolume.py: mkntfs, ntfs-3g) whose deleted files no record
// remembers, checked byte for byte against the originals.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>

#include "carve/Crc32.h"
#include "carve/FreeSpace.h"
#include "disk/DiskImage.h"
#include "scan/Scanner.h"
#include "support/MemoryDisk.h"
#include "support/TestVolumes.h"

namespace {

using carve::ClusterRange;

// A carved file's bytes as ReadCarved gives them, appended to `out`.
DWORD ReadAll(const carve::VolumeSpan& volume, const carve::CarvedFile& file, Bytes* out) {
  return carve::ReadCarved(volume, file, [&](const std::uint8_t* b, std::uint32_t n) {
    out->insert(out->end(), b, b + n);
    return code::Success;
  });
}

// Every range Next gives, in order.
std::vector<std::pair<std::uint64_t, std::uint64_t>> Ranges(carve::FreeClusters& free) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  ClusterRange range;
  for (std::uint64_t from = 0; free.Next(from, &range) == code::Success && range.count != 0;
       from = range.first + range.count) {
    ranges.emplace_back(range.first, range.count);
  }
  return ranges;
}

TEST(CarveFreeSpace, FreeRangesAreTheBitmapsFreeClustersLessClaims) {
  struct Case {
    const char* name;
    std::string bits;  // '1' in use, '0' free, '?' the bitmap cannot tell
    std::vector<ClusterRange> claims;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> expected;
  };
  const Case cases[] = {
      {"all free", "00000000", {}, {{0, 8}}},
      {"all used", "11111111", {}, {}},
      {"holes", "10011000", {}, {{1, 2}, {5, 3}}},
      {"claims cut free ranges", "00000000", {{2, 2}, {3, 2}, {7, 9}}, {{0, 2}, {5, 2}}},
      {"a claim over used clusters", "00110000", {{1, 4}}, {{0, 1}, {5, 3}}},
      // The bitmap fails a sector (4096 clusters) at a time: all of it is read.
      {"unknown is read", std::string(4096, '1') + std::string(4, '1') + "?" + std::string(4091, '1') + "0",
       {}, {{4096, 4097}}},
  };
  for (const Case& c : cases) {
    carve::BitmapFreeClusters free(
        [&](std::uint64_t first, std::uint64_t count, std::uint64_t* inUse) {
          *inUse = 0;
          for (std::uint64_t i = first; i < first + count; ++i) {
            if (c.bits[i] == '?') return code::Crc;
            *inUse += c.bits[i] == '1' ? 1 : 0;
          }
          return code::Success;
        },
        c.bits.size());
    for (const ClusterRange& claim : c.claims) ASSERT_TRUE(free.Claim(claim.first, claim.count));
    EXPECT_EQ(Ranges(free), c.expected) << c.name;
    EXPECT_EQ(free.UnknownClusters(), c.bits.find('?') == std::string::npos ? 0u : 4096u) << c.name;
  }
  // No bitmap at all: every cluster is read.
  carve::BitmapFreeClusters none(nullptr, 100);
  EXPECT_EQ(Ranges(none), (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 100}}));
}

// A PNG of three chunks (IHDR, IDAT, IEND) padded to `bytes` by its IDAT.
Bytes Png(std::size_t bytes);
Bytes PngOf(const std::vector<Bytes>& idats);

struct Collected : carve::CarveObserver {
  bool Found(const carve::CarvedFile& file) override {
    files.push_back(file);
    return files.size() < stopAfter;
  }
  std::vector<carve::CarvedFile> files;
  std::size_t stopAfter = SIZE_MAX;
};

TEST(CarveFreeSpace, FilesReadAcrossClustersInUseAndStopAtUnreadableOnes) {
  // 16 clusters of 512 bytes at byte 4096: a PNG over clusters 2-3 and 5
  // (4 is in use by a file that was kept), another in 9-10; cluster 12 is
  // unreadable and holds a third.
  constexpr std::uint32_t Cs = 512;
  MemoryDisk disk(4096 + 16 * Cs);
  const Bytes first = Png(3 * Cs - 100), second = Png(2 * Cs), third = Png(Cs);
  disk.Write(4096 + 2 * Cs, Bytes(first.begin(), first.begin() + 2 * Cs));
  disk.Write(4096 + 4 * Cs, Bytes(Cs, 0xAA));
  disk.Write(4096 + 5 * Cs, Bytes(first.begin() + 2 * Cs, first.end()));
  disk.Write(4096 + 9 * Cs, second);
  disk.Write(4096 + 12 * Cs, third);
  const std::string used = "1100100010000000";
  carve::BitmapFreeClusters free(
      [&](std::uint64_t f, std::uint64_t n, std::uint64_t* inUse) {
        *inUse = static_cast<std::uint64_t>(std::count(used.begin() + f, used.begin() + f + n, '1'));
        return code::Success;
      },
      16);
  ASSERT_TRUE(free.Claim(2, 0));  // an empty claim takes nothing
  for (std::size_t readBytes : {std::size_t{Cs}, std::size_t{4} << 20}) {
    disk.failFrom = UINT64_MAX;
    for (bool failing : {false, true}) {
      if (failing) disk.failFrom = 4096 + 12 * Cs;
      carve::VolumeSpan volume{&disk, 4096, Cs, 16};
      carve::CarveOptions options;
      options.readBytes = readBytes;
      Collected found;
      carve::CarveTotals totals;
      ASSERT_EQ(carve::CarveFreeSpace(volume, free, options, found, &totals), code::Success);
      ASSERT_EQ(found.files.size(), failing ? 2u : 3u) << readBytes;
      EXPECT_EQ(found.files[0].firstCluster, 2u);
      EXPECT_EQ(found.files[0].carving.verdict, carve::Verdict::Carved);
      EXPECT_EQ(found.files[0].pieces.size(), 2u);
      Bytes copy;
      ASSERT_EQ(ReadAll(volume, found.files[0], &copy), code::Success);
      EXPECT_EQ(copy, first);
      EXPECT_EQ(found.files[1].firstCluster, 9u);
      EXPECT_EQ(found.files[1].carving.length, second.size());
      EXPECT_EQ(totals.unreadableClusters, failing ? 4u : 0u);  // 12 and every free cluster after it
    }
  }
}

Bytes Png(std::size_t bytes) {
  const std::size_t fixed = 8 + 25 + 12 + 12;
  return PngOf({Bytes(bytes > fixed ? bytes - fixed : 0, 0x5A)});
}

// A PNG whose IDAT chunks hold `idats`.
Bytes PngOf(const std::vector<Bytes>& idats) {
  Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  auto chunk = [&](const char* type, const Bytes& data) {
    Bytes body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    const std::uint32_t n = static_cast<std::uint32_t>(data.size());
    const std::uint8_t length[4] = {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)};
    png.insert(png.end(), length, length + 4);
    png.insert(png.end(), body.begin(), body.end());
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::uint8_t b : body) {
      crc ^= b;
      for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    crc = ~crc;
    const std::uint8_t tail[4] = {std::uint8_t(crc >> 24), std::uint8_t(crc >> 16), std::uint8_t(crc >> 8), std::uint8_t(crc)};
    png.insert(png.end(), tail, tail + 4);
  };
  chunk("IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 0, 0, 0, 0});
  for (const Bytes& idat : idats) chunk("IDAT", idat);
  chunk("IEND", {});
  return png;
}

Bytes Noise(std::size_t bytes, std::uint32_t seed) {
  Bytes noise(bytes);
  for (std::uint8_t& b : noise) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(seed >> 16);
  }
  return noise;
}

// A PNG whose pieces lie apart with free clusters of other bytes between
// (a picture of one cluster among them) is joined where its chunks' CRCs
// say, up to the gap the search is bounded by; past it, it stays damaged.
TEST(CarveFreeSpace, PiecesApartInFreeSpaceAreJoinedWhereTheChunksCrcsValidate) {
  constexpr std::uint32_t Cs = 512;
  constexpr std::uint64_t MaxGap = 4096;  // clusters the search looks across
  const Bytes png = PngOf({Noise(700, 1), Noise(700, 2), Noise(700, 3), Noise(300, 4)});  // 5 clusters
  const Bytes small = Png(Cs);
  struct Case {
    std::vector<std::uint64_t> cuts;  // clusters of the file before each break
    std::vector<std::uint64_t> gaps;  // free clusters after each break
    bool whole;
  };
  const Case cases[] = {
      {{2}, {3}, true},
      {{1, 3}, {2, 1}, true},
      {{3}, {MaxGap}, true},
      {{3}, {MaxGap + 1}, false},
  };
  for (const Case& c : cases) {
    const std::uint64_t clusters = 2 + 5 + c.gaps[0] + (c.gaps.size() > 1 ? c.gaps[1] : 0) + 2;
    MemoryDisk disk(clusters * Cs);
    disk.Write(0, Noise(clusters * Cs, 9));
    std::uint64_t at = 2, from = 0;
    for (std::size_t i = 0; i <= c.cuts.size(); ++i) {
      const std::uint64_t to = i < c.cuts.size() ? c.cuts[i] * Cs : png.size();
      disk.Write(at * Cs, Bytes(png.begin() + from, png.begin() + to));
      at += (to - from + Cs - 1) / Cs;
      if (i < c.cuts.size()) {
        if (i == 0) disk.Write((at + 1) * Cs, small);  // the gap's second cluster
        at += c.gaps[i];
      }
      from = to;
    }
    carve::BitmapFreeClusters free(nullptr, clusters);
    carve::VolumeSpan volume{&disk, 0, Cs, clusters};
    Collected found;
    carve::CarveTotals totals;
    carve::CarveOptions options;
    options.families = 1u << static_cast<unsigned>(carve::Family::Png);  // the noise is no file
    ASSERT_EQ(carve::CarveFreeSpace(volume, free, options, found, &totals), code::Success);
    ASSERT_GE(found.files.size(), 2u) << c.gaps[0];
    EXPECT_EQ(found.files[0].firstCluster, 2u);
    EXPECT_EQ(found.files[1].firstCluster, 2 + c.cuts[0] + 1) << "the picture between the pieces";
    EXPECT_EQ(found.files[1].carving.verdict, carve::Verdict::Carved);
    const carve::CarvedFile& file = found.files[0];
    if (!c.whole) {
      EXPECT_EQ(file.carving.verdict, carve::Verdict::Damaged);
      EXPECT_LE(file.carving.length, c.cuts[0] * Cs);
      continue;
    }
    EXPECT_EQ(file.carving.verdict, carve::Verdict::Carved) << c.gaps[0];
    EXPECT_EQ(file.pieces.size(), c.cuts.size() + 1);
    Bytes copy;
    ASSERT_EQ(ReadAll(volume, file, &copy), code::Success);
    EXPECT_TRUE(copy == png) << c.gaps[0];
    EXPECT_EQ(found.files.size(), 2u) << "no later piece is a file of its own";
  }
  // The second piece before the first, as an allocator filling holes leaves
  // it: clusters 2-4 hold the file's last three, 6-7 its first two.
  MemoryDisk disk(10 * Cs);
  disk.Write(0, Noise(10 * Cs, 11));
  disk.Write(2 * Cs, Bytes(png.begin() + 2 * Cs, png.end()));
  disk.Write(6 * Cs, Bytes(png.begin(), png.begin() + 2 * Cs));
  carve::BitmapFreeClusters free(nullptr, 10);
  carve::VolumeSpan volume{&disk, 0, Cs, 10};
  carve::CarveOptions options;
  options.families = 1u << static_cast<unsigned>(carve::Family::Png);
  Collected found;
  carve::CarveTotals totals;
  ASSERT_EQ(carve::CarveFreeSpace(volume, free, options, found, &totals), code::Success);
  ASSERT_EQ(found.files.size(), 1u);
  EXPECT_EQ(found.files[0].carving.verdict, carve::Verdict::Carved);
  ASSERT_EQ(found.files[0].pieces.size(), 2u);
  EXPECT_EQ(found.files[0].pieces[1].cluster, 2u);
  Bytes copy;
  ASSERT_EQ(ReadAll(volume, found.files[0], &copy), code::Success);
  EXPECT_TRUE(copy == png);
}

// The CRC-32 every PNG, ZIP and GZIP check rests on, however its bytes
// come (long runs are folded, short ones go through the table), against
// the bit-at-a-time definition.
TEST(CarveFreeSpace, Crc32MatchesItsDefinitionAtEveryLengthAndSplit) {
  const Bytes data = Noise(70000, 5);
  auto reference = [&](std::size_t from, std::size_t length) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = from; i < from + length; ++i) {
      crc ^= data[i];
      for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
  };
  for (std::size_t length : {0, 1, 15, 16, 63, 64, 255, 256, 257, 319, 320, 1000, 4096, 69993}) {
    for (std::size_t from : {0, 1, 7}) {
      EXPECT_EQ(carve::Crc32Of(data.data() + from, length), reference(from, length)) << length << " " << from;
    }
  }
  for (std::size_t split : {1, 100, 256, 300, 5000}) {
    carve::Crc32 crc;
    crc.Update(data.data(), split);
    crc.Update(data.data() + split, 9000 - split);
    EXPECT_EQ(crc.Value(), reference(0, 9000)) << split;
  }
}

// A real volume, made once for the tests below.
class CarveVolume : public ::testing::Test {
 protected:
  struct Carved {
    carve::CarvedFile file;
    Bytes bytes;
  };

  static void SetUpTestSuite() {
    folder = new TempDir;
    const std::string dir = folder->Path();
    const std::string tools = std::string(PELMORA_SOURCE_DIR);
    ASSERT_EQ(RunCommand("python3 " + tools + "/tests/carve/mkcarvefiles.py " + dir + "/files >/dev/null 2>&1"), 0);
    ASSERT_EQ(RunCommand("python3 " + tools + "/tools/mkcarvevolume.py " + dir + "/files " + dir + "/v.img " + dir +
                         "/v.tsv >/dev/null 2>&1"),
              0);
    manifest = new std::vector<std::map<std::string, std::string>>(ReadTsv(dir + "/v.tsv"));
    std::unique_ptr<DiskImage> image;
    std::string problem;
    ASSERT_EQ(OpenDiskImage(dir + "/v.img", &image, &problem), code::Success) << problem;
    disk = image.release();
    drive = new CNTFSDrive;
    drive->AttachDisk(disk);
    ASSERT_EQ(drive->Initialize(), code::Success);
    rows = new RowTable;
    static const std::atomic<bool> neverStop{false};
    RowSink sink;
    ScanTotals totals;
    ASSERT_EQ(ScanRecords(*drive, u"C:\\", neverStop, sink, &totals, rows), code::Success);
    std::unique_ptr<carve::BitmapFreeClusters> free;
    ASSERT_EQ(carve::FreeClustersOf(*drive, *rows, drive->ClusterCount(), &free), code::Success);
    volume = carve::VolumeSpan{disk, 0, drive->ClusterSize(), drive->ClusterCount()};
    Collected found;
    carve::CarveTotals carveTotals;
    ASSERT_EQ(carve::CarveFreeSpace(volume, *free, carve::CarveOptions(), found, &carveTotals), code::Success);
    EXPECT_EQ(free->UnknownClusters(), 0u);
    carved = new std::vector<Carved>;
    for (const carve::CarvedFile& file : found.files) {
      Carved c{file, {}};
      ASSERT_EQ(ReadAll(volume, file, &c.bytes), code::Success);
      carved->push_back(std::move(c));
    }
  }
  static void TearDownTestSuite() {
    delete carved;
    delete rows;
    delete drive;
    delete disk;
    delete manifest;
    delete folder;
  }

  // The carved file whose first `bytes` hash to `sha256`.
  static const Carved* Find(const std::string& sha256, std::size_t bytes, bool whole) {
    for (const Carved& c : *carved) {
      // A cut file's start is a whole file's start too: only damaged ones are asked.
      if (whole ? c.bytes.size() != bytes
                : c.bytes.size() < bytes || c.file.carving.verdict != carve::Verdict::Damaged) {
        continue;
      }
      Sha256 hash;
      hash.Update(c.bytes.data(), bytes);
      if (hash.Hex() == sha256) return &c;
    }
    return nullptr;
  }

  static TempDir* folder;
  static std::vector<std::map<std::string, std::string>>* manifest;
  static DiskReader* disk;
  static CNTFSDrive* drive;
  static RowTable* rows;
  static carve::VolumeSpan volume;
  static std::vector<Carved>* carved;
};
TempDir* CarveVolume::folder = nullptr;
std::vector<std::map<std::string, std::string>>* CarveVolume::manifest = nullptr;
DiskReader* CarveVolume::disk = nullptr;
CNTFSDrive* CarveVolume::drive = nullptr;
RowTable* CarveVolume::rows = nullptr;
carve::VolumeSpan CarveVolume::volume;
std::vector<CarveVolume::Carved>* CarveVolume::carved = nullptr;

TEST_F(CarveVolume, EveryFileInOnePieceComesBackByteExactAndCutOnesDamaged) {
  ASSERT_FALSE(manifest->empty());
  std::size_t fragmented = 0, fragmentedFound = 0;
  for (const auto& row : *manifest) {
    const std::string& kind = row.at("kind");
    if (kind == "listed") continue;
    const std::size_t bytes = std::stoull(row.at("bytes"));
    const Carved* c = Find(row.at("sha256"), bytes, kind != "cut");
    if (kind == "cut") {
      ASSERT_NE(c, nullptr) << row.at("name");
      EXPECT_EQ(c->file.carving.verdict, carve::Verdict::Damaged) << row.at("name");
    } else if (row.at("pieces") == "1") {
      ASSERT_NE(c, nullptr) << row.at("name");
      EXPECT_EQ(c->file.carving.verdict, carve::Verdict::Carved) << row.at("name");
      EXPECT_EQ(c->file.type->name, row.at("type")) << row.at("name");
    } else {
      ++fragmented;
      fragmentedFound += c != nullptr ? 1 : 0;
    }
  }
  RecordProperty("fragmented", std::to_string(fragmentedFound) + " of " + std::to_string(fragmented));
}

TEST_F(CarveVolume, NothingCarvedIsAFileARecordStillLists) {
  for (const auto& row : *manifest) {
    if (row.at("kind") == "listed") {
      EXPECT_EQ(Find(row.at("sha256"), std::stoull(row.at("bytes")), true), nullptr);
    }
  }
  RecordFacts facts;
  std::vector<StreamRun> runs;
  std::size_t listedRuns = 0;
  for (std::size_t r = 0; r < rows->Rows(); ++r) {
    ASSERT_EQ(drive->ReadRecordFacts(rows->At(r).record, MftRead::OnDemand, &facts, &runs), code::Success);
    for (const StreamRun& run : runs) {
      if (run.sparse) continue;
      ++listedRuns;
      for (const Carved& c : *carved) {
        for (const carve::CarvedPiece& piece : c.file.pieces) {
          const std::uint64_t end = piece.cluster + (piece.bytes + volume.clusterSize - 1) / volume.clusterSize;
          EXPECT_TRUE(end <= run.lcn || piece.cluster >= run.lcn + run.length)
              << "f" << c.file.firstCluster << " overlaps record " << rows->At(r).record;
        }
      }
    }
  }
  EXPECT_GT(listedRuns, 0u);  // the listed file's runs were there to avoid
}

}  // namespace
