// The disk-image readers on containers made by qemu-img, ewfacquire and
// split from one raw disk: every byte read back as the raw disk's, and
// damaged copies (edited by hand) refused or read with clear errors.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "disk/Checksums.h"
#include "disk/Containers.h"
#include "disk/DiskImage.h"
#include "support/ImageTools.h"
#include "support/TestVolumes.h"
#include "util/ByteReader.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t MiB = 1u << 20;
constexpr std::uint64_t RawSize = 5 * MiB + 3 * 512;  // the last EWF chunk and VHDX block in part

// Text (compressed chunks), random bytes (chunks stored even when
// compressing), 2 MiB of zeros (blocks never allocated), mixed sectors.
Bytes MakeRaw() {
  Bytes raw(RawSize, 0);
  std::uint32_t state = 2463534242u;
  auto random = [&] {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    return static_cast<std::uint8_t>(state);
  };
  for (std::uint64_t at = 0; at < RawSize; at += 512) {
    const bool zeros = at >= 2 * MiB && at < 4 * MiB;
    const bool noise = (at >= MiB && at < 2 * MiB) || (at >= 4 * MiB && at / 512 % 2 == 1);
    for (std::uint64_t i = at; i < at + 512 && !zeros; ++i) {
      raw[i] = noise ? random() : static_cast<std::uint8_t>("sector text, again and again\n"[i % 29]);
    }
  }
  return raw;
}

std::string Hash(const std::uint8_t* bytes, std::size_t size) { return Sha256Hex(bytes, size); }

// The whole disk through the reader, in 1 MiB reads.
std::string ReadAllHash(DiskImage& image, DWORD* result) {
  Sha256 hash;
  Bytes piece(MiB);
  for (std::uint64_t at = 0;; at += piece.size()) {
    std::uint32_t got = 0;
    *result = image.ReadAt(at, piece.data(), static_cast<std::uint32_t>(piece.size()), &got);
    if (*result != code::Success || got == 0) break;
    hash.Update(piece.data(), got);
  }
  return hash.Hex();
}

Bytes Read(DiskImage& image, std::uint64_t offset, std::uint32_t count, DWORD* result) {
  Bytes bytes(count);
  std::uint32_t got = 0;
  *result = image.ReadAt(offset, bytes.data(), count, &got);
  bytes.resize(got);
  return bytes;
}

void PutLE(Bytes& bytes, std::size_t at, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
std::uint64_t GetLE(const Bytes& bytes, std::size_t at, int width) {
  std::uint64_t value = 0;
  ByteReader(bytes.data(), bytes.size()).Unsigned(at, static_cast<std::size_t>(width), &value);
  return value;
}
std::uint64_t GetBE(const Bytes& bytes, std::size_t at, int width) {
  std::uint64_t value = 0;
  ByteReader(bytes.data(), bytes.size()).UnsignedBE(at, static_cast<std::size_t>(width), &value);
  return value;
}
void Flip(const std::string& path, std::uint64_t offset) {
  Bytes byte = FileBytes(path, offset, 1);
  byte[0] ^= 0x5A;
  PatchFile(path, offset, byte);
}
std::uint64_t FileSize(const std::string& path) { return std::filesystem::file_size(path); }

// VHD: the dynamic header follows the footer's copy at 0.
std::uint64_t VhdBat(const std::string& path) { return GetBE(FileBytes(path, 512 + 0x10, 8), 0, 8); }

// VHDX: the current header, and a region or metadata item by its first GUID bytes.
std::uint64_t VhdxCurrentHeader(const std::string& path) {
  return GetLE(FileBytes(path, 0x10008, 8), 0, 8) > GetLE(FileBytes(path, 0x20008, 8), 0, 8) ? 0x10000 : 0x20000;
}
void VhdxResealHeader(const std::string& path, std::uint64_t header) {
  Bytes bytes = FileBytes(path, header, 4096);
  PutLE(bytes, 4, 0, 4);
  PutLE(bytes, 4, Crc32c(bytes.data(), bytes.size()), 4);
  PatchFile(path, header, bytes);
}
std::uint64_t VhdxRegion(const std::string& path, std::uint8_t firstGuidByte) {
  const Bytes table = FileBytes(path, 192 << 10, 64 << 10);
  for (std::size_t entry = 16; entry < 16 + 32 * GetLE(table, 8, 4); entry += 32) {
    if (table[entry] == firstGuidByte) return GetLE(table, entry + 16, 8);
  }
  return 0;
}
constexpr std::uint8_t BatGuid = 0x66, MetadataGuid = 0x06, FileParametersGuid = 0x37;
std::uint64_t VhdxItem(const std::string& path, std::uint8_t firstGuidByte) {
  const std::uint64_t region = VhdxRegion(path, MetadataGuid);
  const Bytes table = FileBytes(path, region, 64 << 10);
  for (std::size_t entry = 32; entry < 32 + 32 * GetLE(table, 10, 2); entry += 32) {
    if (table[entry] == firstGuidByte) return region + GetLE(table, entry + 16, 4);
  }
  return 0;
}
void VhdxSetBat(const std::string& path, std::uint64_t index, std::uint64_t entry) {
  Bytes bytes(8);
  PutLE(bytes, 0, entry, 8);
  PatchFile(path, VhdxRegion(path, BatGuid) + index * 8, bytes);
}

// Sets table entry `index` in table and table2, their checksums made good again.
void EwfSetEntry(const std::string& path, std::uint32_t index, std::uint32_t entry) {
  for (const char* type : {"table", "table2"}) {
    const EwfSectionAt table = EwfSection(path, type);
    const std::uint32_t count = static_cast<std::uint32_t>(GetLE(FileBytes(path, table.at + 76, 4), 0, 4));
    Bytes entries = FileBytes(path, table.at + 100, 4 * count + 4);
    PutLE(entries, 4 * index, entry, 4);
    PutLE(entries, 4 * count, Adler32(entries.data(), 4 * count), 4);
    PatchFile(path, table.at + 100, entries);
  }
}
std::uint64_t EwfChunkAt(const std::string& path, std::uint32_t index) {
  const EwfSectionAt table = EwfSection(path, "table");
  const Bytes header = FileBytes(path, table.at + 76, 24 + 4 * (index + 1));
  return GetLE(header, 8, 8) + (GetLE(header, 24 + 4 * index, 4) & 0x7FFFFFFF);
}

class DiskImageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    raw = new Bytes(MakeRaw());
    dir = new TempDir;
    rawPath = dir->Path() + "/raw.img";
    std::ofstream(rawPath, std::ios::binary).write(reinterpret_cast<const char*>(raw->data()),
                                                   static_cast<std::streamsize>(raw->size()));
  }
  static void TearDownTestSuite() {
    delete dir;
    delete raw;
  }
  void SetUp() override {
    if (!ContainerToolsPresent()) GTEST_SKIP() << "needs qemu-img, ewfacquire and split";
  }

  // A fresh container of the kind named, in a folder of its own.
  static std::string Make(const std::string& name) {
    static int made = 0;
    const std::string folder = dir->Path() + "/" + std::to_string(++made);
    std::filesystem::create_directory(folder);
    for (const ContainerKind& kind : ContainerKinds()) {
      if (name != kind.name) continue;
      std::string log;
      const std::string path = MakeContainer(kind, rawPath, folder, &log);
      EXPECT_FALSE(path.empty()) << log;
      return path;
    }
    ADD_FAILURE() << "no kind " << name;
    return "";
  }

  static Bytes* raw;
  static TempDir* dir;
  static std::string rawPath;
};
Bytes* DiskImageTest::raw = nullptr;
TempDir* DiskImageTest::dir = nullptr;
std::string DiskImageTest::rawPath;

TEST_F(DiskImageTest, EveryContainerReadsAsTheRawDisk) {
  const std::string expected = Hash(raw->data(), raw->size());
  std::uint8_t rawMd5[16];
  Md5 md5;
  md5.Update(raw->data(), raw->size());
  md5.Final(rawMd5);
  for (const ContainerKind& kind : ContainerKinds()) {
    SCOPED_TRACE(kind.name);
    const std::string path = Make(kind.name);
    std::unique_ptr<DiskImage> image;
    std::string problem;
    ASSERT_EQ(OpenDiskImage(path, &image, &problem), code::Success) << problem;
    EXPECT_EQ(image->Format(), kind.format);
    std::uint64_t size = 0;
    ASSERT_EQ(image->Size(&size), code::Success);
    EXPECT_EQ(size, RawSize);
    const std::uint32_t sector = kind.format == ImageFormat::Vhdx || kind.format == ImageFormat::Ewf ? 512 : 0;
    EXPECT_EQ(image->LogicalSectorSize(), sector);
    DWORD result = code::Success;
    EXPECT_EQ(ReadAllHash(*image, &result), expected);
    EXPECT_EQ(result, code::Success) << image->Problem();
    // Odd places and lengths: across sectors, chunks, blocks, pieces and the end.
    const std::pair<std::uint64_t, std::uint32_t> reads[] = {
        {1, 700},           {32767, 3},          {MiB - 5, 11},        {MiB + 7, 1 << 20},  {2 * MiB - 1, 2},
        {3 * MiB + 1, 777}, {RawSize - 100, 50}, {RawSize - 5, 100},   {RawSize, 10},       {RawSize + 4096, 1},
        {0, 3 << 20},       {4 * MiB - 300, 70000}};
    for (const auto& [offset, count] : reads) {
      SCOPED_TRACE(offset);
      const Bytes got = Read(*image, offset, count, &result);
      ASSERT_EQ(result, code::Success) << image->Problem();
      const std::uint64_t available = offset < RawSize ? std::min<std::uint64_t>(count, RawSize - offset) : 0;
      ASSERT_EQ(got.size(), available);
      EXPECT_TRUE(available == 0 || std::memcmp(got.data(), raw->data() + offset, got.size()) == 0);
    }
    // The MD5 of the whole disk, and the one EWF stores.
    std::uint8_t digest[16], stored[16];
    std::string where;
    ASSERT_EQ(HashDisk(*image, [](std::uint64_t, std::uint64_t) { return true; }, digest, &where), code::Success);
    EXPECT_EQ(std::memcmp(digest, rawMd5, sizeof digest), 0);
    EXPECT_EQ(image->StoredMd5(stored), kind.format == ImageFormat::Ewf);
    if (kind.format == ImageFormat::Ewf) {
      EXPECT_EQ(std::memcmp(stored, rawMd5, sizeof stored), 0);
    }
    EXPECT_EQ(HashDisk(*image, [](std::uint64_t done, std::uint64_t) { return done < MiB; }, digest, &where),
              code::Cancelled);
  }
}

// Edits that leave the image readable: the other copy of what was damaged
// serves, and every byte still reads as the raw disk's.
TEST_F(DiskImageTest, DamagedCopiesFallBackToTheirTwins) {
  struct Case {
    const char* what;
    const char* kind;
    std::function<void(const std::string&)> edit;
  };
  const Case cases[] = {
      {"VHD footer at the end, its copy at 0 serves", "vhd-dynamic",
       [](const std::string& p) { Flip(p, FileSize(p) - 512 + 0x50); }},
      {"current VHDX header, the older one serves", "vhdx-dynamic",
       [](const std::string& p) { Flip(p, VhdxCurrentHeader(p) + 2000); }},
      {"first VHDX region table, the second serves", "vhdx-dynamic", [](const std::string& p) { Flip(p, 0x30000 + 40000); }},
      {"EWF table's entries, table2's serve", "ewf-fast",
       [](const std::string& p) { Flip(p, EwfSection(p, "table").at + 100 + 4); }},
      {"EWF table's header, table2 serves", "ewf-fast",
       [](const std::string& p) { Flip(p, EwfSection(p, "table").at + 76 + 4); }},
  };
  const std::string expected = Hash(raw->data(), raw->size());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = Make(c.kind);
    c.edit(path);
    std::unique_ptr<DiskImage> image;
    std::string problem;
    ASSERT_EQ(OpenDiskImage(path, &image, &problem), code::Success) << problem;
    DWORD result = code::Success;
    EXPECT_EQ(ReadAllHash(*image, &result), expected);
    EXPECT_EQ(result, code::Success) << image->Problem();
  }
}

// Damage that cannot be read past: the open, or the read of the damaged
// place, fails with a code and words that say what is wrong.
TEST_F(DiskImageTest, DamageGivesClearErrors) {
  struct Case {
    const char* kind;
    std::function<void(const std::string&)> edit;
    DWORD openCode;       // what opening gives
    const char* words;    // in the open's problem, or else the read's ('|' between parts)
    std::uint64_t readAt;  // when the open succeeds: a read here fails
    DWORD readCode;
    bool restReads = true;  // the disk's last sector still reads
  };
  auto vhdFooter = [](const std::string& p, std::uint64_t at, std::uint32_t type) {
    Bytes footer = FileBytes(p, at, 512);
    footer[0x3C] = footer[0x3D] = footer[0x3E] = 0, footer[0x3F] = static_cast<std::uint8_t>(type);
    std::memset(footer.data() + 0x40, 0, 4);
    const std::uint32_t sum = ByteSumComplement(footer.data(), footer.size());
    for (int i = 0; i < 4; ++i) footer[0x40 + i] = static_cast<std::uint8_t>(sum >> (24 - 8 * i));
    PatchFile(p, at, footer);
  };
  const Case cases[] = {
      {"vhd-dynamic", [](const std::string& p) { PatchFile(p, VhdBat(p), {0x00, 0xFF, 0xFF, 0xF0}); },
       code::Success, "block table entry 0", 0, code::DiskCorrupt},
      {"vhd-dynamic", [](const std::string& p) { PatchFile(p, VhdBat(p) + 4, {0x00, 0x00, 0x00, 0x01}); },
       code::Success, "block table entry 1", MiB * 2 + 5, code::DiskCorrupt},
      {"vhd-dynamic",
       [](const std::string& p) {
         Flip(p, FileSize(p) - 512 + 0x50);
         Flip(p, 0x50);
       },
       code::DiskCorrupt, "footer is damaged", 0, 0},
      {"vhd-fixed", [&](const std::string& p) { vhdFooter(p, FileSize(p) - 512, 4); }, code::NotSupported,
       "differencing VHD", 0, 0},
      {"vhd-fixed",
       [](const std::string& p) {
         const Bytes footer = FileBytes(p, FileSize(p) - 512, 512);
         std::filesystem::resize_file(p, FileSize(p) - 4096);
         PatchFile(p, FileSize(p) - 512, footer);
       },
       code::DiskCorrupt, "shorter than the disk", 0, 0},
      {"vhdx-dynamic",
       [](const std::string& p) {
         Flip(p, 0x10000 + 2000);
         Flip(p, 0x20000 + 2000);
       },
       code::DiskCorrupt, "both VHDX headers", 0, 0},
      {"vhdx-dynamic",
       [](const std::string& p) {
         const std::uint64_t header = VhdxCurrentHeader(p);
         PatchFile(p, header + 48, {0x01});
         VhdxResealHeader(p, header);
       },
       code::NotSupported, "log holds writes", 0, 0},
      {"vhdx-dynamic",
       [](const std::string& p) {
         Flip(p, 0x30000 + 40000);
         Flip(p, 0x40000 + 40000);
       },
       code::DiskCorrupt, "both VHDX region tables", 0, 0},
      {"vhdx-dynamic", [](const std::string& p) { VhdxSetBat(p, 0, (0xFFFFFull << 20) | 6); }, code::Success,
       "block 0 points outside", 100, code::DiskCorrupt},
      {"vhdx-dynamic", [](const std::string& p) { VhdxSetBat(p, 1, VhdxRegion(p, MetadataGuid) | 6); },
       code::Success, "block 1 points outside", MiB, code::DiskCorrupt},
      {"vhdx-dynamic", [](const std::string& p) { VhdxSetBat(p, 4, (8ull << 20) | 4); }, code::Success,
       "unknown state", 4 * MiB + 9, code::DiskCorrupt},
      {"vhdx-dynamic",
       [](const std::string& p) {
         VhdxSetBat(p, 0, GetLE(FileBytes(p, VhdxRegion(p, BatGuid), 8), 0, 8) | 7);
       },
       code::Success, "sector bitmap of VHDX block 0 is missing", 0, code::DiskCorrupt},
      {"vhdx-dynamic", [](const std::string& p) { PatchFile(p, VhdxItem(p, FileParametersGuid) + 4, {0x02}); },
       code::NotSupported, "differencing VHDX", 0, 0},
      {"ewf-best", [](const std::string& p) { EwfSetEntry(p, 1, 0x7FFFFFF0); }, code::Success,
       "EWF chunk 1 (in |ewf-best.E01) points outside its data", 32768, code::DiskCorrupt},
      {"ewf-best", [](const std::string& p) { Flip(p, EwfChunkAt(p, 3) - 1); }, code::Success,
       "EWF chunk 2 (in |ewf-best.E01) is damaged (zlib", 2 * 32768 + 5, code::Crc},
      {"ewf-stored",
       [](const std::string& p) { Flip(p.substr(0, p.size() - 2) + "01", EwfChunkAt(p.substr(0, p.size() - 2) + "01", 4) + 1000); },
       code::Success, "does not match its checksum", 4 * 32768 + 2000, code::Crc},
      {"ewf-best",
       [](const std::string& p) {
         // Stored chunk 32 (random bytes) made a compressed one: 64 KiB of
         // zeros where 32 KiB belong.
         Bytes zeros(64 << 10), packed(1024);
         uLongf size = packed.size();
         compress2(packed.data(), &size, zeros.data(), zeros.size(), 9);
         packed.resize(size);
         const std::uint64_t at = EwfChunkAt(p, 32);
         PatchFile(p, at, packed);
         EwfSetEntry(p, 32, static_cast<std::uint32_t>(at - EwfSection(p, "sectors").at) | 0x80000000u);
       },
       code::Success, "inflates past the chunk size", 32 * 32768, code::DiskCorrupt},
      {"ewf-best",
       [](const std::string& p) {
         const std::uint64_t table = EwfSection(p, "table").at, table2 = EwfSection(p, "table2").at;
         Flip(p, table + 100 + 8);
         Flip(p, table2 + 100 + 8);
       },
       code::Success, "table of EWF chunk 0", 0, code::DiskCorrupt, false},
      {"ewf-best",
       [](const std::string& p) {
         Flip(p, EwfSection(p, "table").at + 76 + 4);
         Flip(p, EwfSection(p, "table2").at + 76 + 4);
       },
       code::DiskCorrupt, "and no table2 stands in for it", 0, 0},
      {"ewf-stored",
       [](const std::string& p) {
         const std::string second = p.substr(0, p.size() - 2) + "02";
         std::filesystem::resize_file(second, FileSize(second) / 2);
       },
       code::HandleEof, "ewf-stored.E02 is cut short", 0, 0},
      {"ewf-stored", [](const std::string& p) { std::filesystem::remove(p.substr(0, p.size() - 2) + "03"); },
       code::FileNotFound, "ewf-stored.E03 is missing", 0, 0},
      {"ewf-stored",
       [](const std::string& p) {
         const std::string base = p.substr(0, p.size() - 2);
         std::filesystem::copy_file(base + "02", base + "03", std::filesystem::copy_options::overwrite_existing);
       },
       code::DiskCorrupt, "ewf-stored.E03 says it is segment 2", 0, 0},
      {"ewf-best", [](const std::string& p) { Flip(p, EwfSection(p, "volume").at + 40); }, code::DiskCorrupt,
       "is damaged (its checksum", 0, 0},
      {"ewf-best", [](const std::string& p) { PatchFile(p, 3, {'2', 0x0D, 0x0A, 0x81}); }, code::NotSupported,
       "Ex01", 0, 0},
      {"pieces", [](const std::string& p) { std::filesystem::remove(p.substr(0, p.size() - 3) + "001"); },
       code::FileNotFound, "pieces.001 is missing", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + ": " + c.words);
    const std::string path = Make(c.kind);
    c.edit(path);
    std::unique_ptr<DiskImage> image;
    std::string problem;
    ASSERT_EQ(OpenDiskImage(path, &image, &problem), c.openCode) << problem;
    auto says = [&](const std::string& text) {
      std::string words = c.words;
      for (std::size_t bar; (bar = words.find('|')) != std::string::npos; words.erase(0, bar + 1)) {
        if (text.find(words.substr(0, bar)) == std::string::npos) return false;
      }
      return text.find(words) != std::string::npos;
    };
    if (c.openCode != code::Success) {
      EXPECT_TRUE(says(problem)) << problem;
      continue;
    }
    DWORD result = code::Success;
    Read(*image, c.readAt, 4096, &result);
    EXPECT_EQ(result, c.readCode);
    EXPECT_TRUE(says(image->Problem())) << image->Problem();
    // The rest of the disk stays readable where it does not touch the damage.
    if (!c.restReads) continue;
    Read(*image, RawSize - 512, 512, &result);
    EXPECT_EQ(result, code::Success) << image->Problem();
  }
}

// Sector bitmaps: sectors whose bit is clear read as zeros, the rest from
// the file (a VHD block's bitmap edited; a VHDX block made partly present
// with a bitmap block added at the file's end).
TEST_F(DiskImageTest, SectorBitmapsChooseSectors) {
  // VHD bits run from the top bit of each byte: 0x7F in byte 1 leaves sector 8 out.
  Bytes expected(*raw);
  std::memset(expected.data() + 8 * 512, 0, 512);
  const std::string vhd = Make("vhd-dynamic");
  const std::uint64_t block0 = GetBE(FileBytes(vhd, VhdBat(vhd), 4), 0, 4) * 512;
  PatchFile(vhd, block0 + 1, {0x7F});

  const std::string vhdx = Make("vhdx-dynamic");
  const std::uint64_t end = (FileSize(vhdx) + MiB - 1) / MiB * MiB;
  // VHDX bits run from bit 0: sectors 0 to 1022 of block 0 are in the file.
  Bytes bitmap(MiB, 0);
  std::memset(bitmap.data(), 0xFF, 1024 / 8);
  bitmap[1024 / 8 - 1] = 0x7F;
  PatchFile(vhdx, end, bitmap);
  const std::uint64_t block0Entry = GetLE(FileBytes(vhdx, VhdxRegion(vhdx, BatGuid), 8), 0, 8);
  VhdxSetBat(vhdx, 0, (block0Entry & ~7ull) | 7);
  VhdxSetBat(vhdx, 4096, end | 6);  // chunk 0's bitmap entry: 2^23 sectors of 512 bytes per 1 MiB block
  Bytes partial(*raw);
  std::memset(partial.data() + 512 * 1023, 0, 512 * 1025);

  for (const auto& [path, want] : {std::pair<std::string, const Bytes*>{vhd, &expected}, {vhdx, &partial}}) {
    SCOPED_TRACE(path);
    std::unique_ptr<DiskImage> image;
    std::string problem;
    ASSERT_EQ(OpenDiskImage(path, &image, &problem), code::Success) << problem;
    DWORD result = code::Success;
    EXPECT_EQ(ReadAllHash(*image, &result), Hash(want->data(), want->size()));
    EXPECT_EQ(result, code::Success) << image->Problem();
  }
}

// A set of many pieces is read with at most a handful of files open.
TEST_F(DiskImageTest, ManyPiecesFewFilesOpen) {
  class Counting : public ImageFiles {
   public:
    DWORD Open(const std::string& name, std::unique_ptr<ImageFile>* file) override {
      std::unique_ptr<ImageFile> opened;
      const DWORD result = SystemImageFiles().Open(name, &opened);
      if (result == code::Success) file->reset(new Counted(std::move(opened), this));
      return result;
    }
    int open = 0, peak = 0;

   private:
    class Counted : public ImageFile {
     public:
      Counted(std::unique_ptr<ImageFile> file, Counting* owner) : file(std::move(file)), owner(owner) {
        owner->peak = std::max(owner->peak, ++owner->open);
      }
      ~Counted() override { --owner->open; }
      DWORD ReadAt(std::uint64_t offset, void* to, std::uint32_t count, std::uint32_t* got) override {
        return file->ReadAt(offset, to, count, got);
      }
      DWORD Size(std::uint64_t* bytes) override { return file->Size(bytes); }

     private:
      std::unique_ptr<ImageFile> file;
      Counting* owner;
    };
  };
  const std::string folder = dir->Path() + "/many";
  std::filesystem::create_directory(folder);
  ASSERT_EQ(RunCommand("split -d -a 3 --numeric-suffixes=1 -b 65539 " + rawPath + " " + folder + "/disk."), 0);
  Counting files;
  {
    std::unique_ptr<DiskImage> image;
    std::string problem;
    ASSERT_EQ(OpenDiskImage(files, folder + "/disk.050", &image, &problem), code::Success) << problem;
    DWORD result = code::Success;
    for (int pass = 0; pass < 2; ++pass) EXPECT_EQ(ReadAllHash(*image, &result), Hash(raw->data(), raw->size()));
    EXPECT_EQ(result, code::Success);
  }
  EXPECT_LE(files.peak, 9);
  EXPECT_EQ(files.open, 0);
}

TEST(DiskChecksums, KnownValues) {
  const std::pair<std::string, std::string> md5[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"}};
  for (const auto& [text, hex] : md5) {
    // Fed whole, and a byte at a time (the block boundary carried over).
    for (const bool bytewise : {false, true}) {
      Md5 hash;
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
      if (bytewise) {
        for (std::size_t i = 0; i < text.size(); ++i) hash.Update(bytes + i, 1);
      } else {
        hash.Update(bytes, text.size());
      }
      std::uint8_t digest[16];
      hash.Final(digest);
      char out[33];
      for (int i = 0; i < 16; ++i) std::snprintf(out + 2 * i, 3, "%02x", digest[i]);
      EXPECT_EQ(out, hex) << text;
    }
  }
  const auto* nine = reinterpret_cast<const std::uint8_t*>("123456789");
  EXPECT_EQ(Crc32c(nine, 9), 0xE3069283u);
  EXPECT_EQ(Adler32(reinterpret_cast<const std::uint8_t*>("Wikipedia"), 9), 0x11E60398u);
}

TEST(DiskPieces, NamesThatArePieces) {
  const std::pair<const char*, unsigned> names[] = {{"disk.001", 1},  {"a/b.img.042", 42}, {"x.999", 999},
                                                    {"disk.000", 0},  {"disk.01", 0},      {"disk.0001", 0},
                                                    {"disk.1a1", 0},  {"dir/.001", 0},     {"disk001", 0}};
  for (const auto& [name, number] : names) {
    unsigned found = 0;
    EXPECT_EQ(PieceNumber(name, &found), number != 0) << name;
    if (number != 0) {
      EXPECT_EQ(found, number) << name;
    }
  }
}

}  // namespace
