#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

#include "platform/Disk.h"
#include "platform/Errors.h"
#include "platform/Memory.h"
#include "platform/Text.h"
#include "support/TestVolumes.h"

namespace {

TEST(Errors, ErrnoMapsToTheNearestWindowsCode) {
  const std::pair<int, DWORD> cases[] = {
      {0, 0},       {ENOENT, 2}, {EACCES, 5}, {EPERM, 5},   {ENOMEM, 8},  {EIO, 23},
      {EINVAL, 87}, {ENOSPC, 112}, {EEXIST, 80}, {ENAMETOOLONG, 206}, {ENOTDIR, 3}, {EROFS, 19}, {ELOOP, 681},
  };
  for (const auto& [err, expected] : cases) EXPECT_EQ(CodeFromErrno(err), expected) << err;
}

TEST(Errors, MessagesAreTheSystemTexts) {
  EXPECT_EQ(ErrorMessage(5), "Access is denied.");
  EXPECT_EQ(ErrorMessage(87), "The parameter is incorrect.");
  EXPECT_EQ(ErrorMessage(38), "Reached the end of the file.");
  EXPECT_EQ(ErrorMessage(15), "The system cannot find the drive specified.");
  EXPECT_EQ(ErrorMessage(424242), "Unknown error 424242.");
}

TEST(Text, ConvertsBetweenUtf8AndUtf16) {
  const std::u16string name = u"r\u00E9sum\u00E9 \u65E5\u672C \U0001F600.txt";
  const std::string utf8 = Utf8FromUtf16(name);
  EXPECT_EQ(utf8, "r\xC3\xA9sum\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80.txt");
  EXPECT_EQ(Utf16FromUtf8(utf8), name);
  // Unpaired surrogates and malformed bytes become U+FFFD, never lost bytes.
  const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00};
  EXPECT_EQ(Utf8FromUtf16(lone, 4), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
  EXPECT_EQ(Utf16FromUtf8("x\xC3"), u"x\uFFFD");
  EXPECT_EQ(Utf16FromUtf8("\xE0\x80\x80"), u"\uFFFD\uFFFD\uFFFD");  // overlong
  EXPECT_EQ(Utf16FromUtf8("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
}

TEST(Disk, OpensReadOnlyAndReadsAtAnyPosition) {
  TempDir dir;
  const std::string path = dir.Path() + "/disk.img";
  {
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < 3000; ++i) out.put(static_cast<char>(i % 256));
  }
  std::unique_ptr<DiskDevice> disk;
  ASSERT_EQ(DiskDevice::OpenPath(path, &disk), code::Success);
  std::uint64_t size = 0;
  ASSERT_EQ(disk->Size(&size), code::Success);
  EXPECT_EQ(size, 3000u);
  std::uint8_t buffer[512];
  std::uint32_t got = 0;
  ASSERT_EQ(disk->ReadAt(1024, buffer, 512, &got), code::Success);
  EXPECT_EQ(got, 512u);
  EXPECT_EQ(buffer[0], 1024 % 256);
  ASSERT_EQ(disk->ReadAt(2900, buffer, 512, &got), code::Success);
  EXPECT_EQ(got, 100u);  // the end of the disk
  ASSERT_EQ(disk->ReadAt(1ull << 40, buffer, 512, &got), code::Success);
  EXPECT_EQ(got, 0u);

  std::unique_ptr<DiskDevice> missing;
  EXPECT_EQ(DiskDevice::OpenPath(dir.Path() + "/none.img", &missing), code::FileNotFound);
  EXPECT_EQ(DiskDevice::OpenPath(dir.Path(), &missing), code::AccessDenied);
  EXPECT_EQ(DiskDevice::OpenNumber(0, &missing), code::FileNotFound);
  EXPECT_EQ(missing, nullptr);
}

// A device that takes only whole, aligned sectors: every read of a disk
// that says its sector size must be such, whatever the caller asks for.
TEST(Disk, DevicesAreReadInWholeAlignedSectors) {
  constexpr std::uint32_t Sector = 4096;
  std::vector<std::uint8_t> bytes(5 * Sector);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  bool misaligned = false;
  const SectorRead device = [&](std::uint64_t offset, void* into, std::uint32_t count, std::uint32_t* got) {
    misaligned |= offset % Sector != 0 || count % Sector != 0;
    *got = offset >= bytes.size() ? 0 : static_cast<std::uint32_t>(std::min<std::uint64_t>(count, bytes.size() - offset));
    std::memcpy(into, bytes.data() + (offset >= bytes.size() ? 0 : offset), *got);
    return code::Success;
  };
  struct Case {
    std::uint64_t offset;
    std::uint32_t count;
    std::uint32_t delivered;
  };
  const Case cases[] = {
      {0, 512, 512},                   // a boot record at the start
      {0, 2 * Sector, 2 * Sector},     // whole sectors
      {4096 + 446, 64, 64},            // inside one sector
      {100, 3 * Sector, 3 * Sector},   // a head, whole sectors and a tail
      {Sector - 1, 2, 2},              // across a sector boundary
      {4 * Sector + 10, Sector, Sector - 10},  // the disk ends inside the last sector
      {6 * Sector + 3, 100, 0},        // past the end
      {7, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.count));
    std::vector<std::uint8_t> out(c.count + 1, 0xEE);
    std::uint32_t delivered = 99;
    misaligned = false;
    ASSERT_EQ(ReadWholeSectors(device, Sector, c.offset, out.data(), c.count, &delivered), code::Success);
    EXPECT_FALSE(misaligned);
    ASSERT_EQ(delivered, c.delivered);
    if (delivered > 0) {
      EXPECT_TRUE(std::equal(out.begin(), out.begin() + delivered, bytes.begin() + static_cast<std::ptrdiff_t>(c.offset)));
    }
    EXPECT_EQ(out[c.count], 0xEE) << "written past the end";
  }
  const SectorRead failing = [](std::uint64_t, void*, std::uint32_t, std::uint32_t* got) {
    *got = 0;
    return code::Crc;
  };
  std::uint8_t out[16];
  std::uint32_t delivered = 0;
  EXPECT_EQ(ReadWholeSectors(failing, Sector, 10, out, sizeof out, &delivered), code::Crc);
}

}  // namespace

// Blocks on either side of the mapped size hold every byte given, a mapped
// one starts on a huge-page boundary, and a table grown through them keeps
// its values.
TEST(Memory, BulkBlocksHoldWhatIsWrittenAcrossTheMappedSize) {
  for (std::size_t bytes : {std::size_t{1}, (std::size_t{4} << 20) - 1, std::size_t{4} << 20, (std::size_t{9} << 20) + 5}) {
    SCOPED_TRACE(bytes);
    auto* block = static_cast<unsigned char*>(AllocateBulk(bytes));
    ASSERT_NE(block, nullptr);
    std::memset(block, 0xA5, bytes);
    EXPECT_EQ(block[0], 0xA5);
    EXPECT_EQ(block[bytes - 1], 0xA5);
#ifndef _WIN32
    if (bytes >= (std::size_t{4} << 20)) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % (std::size_t{2} << 20), 0u);
    }
#endif
    FreeBulk(block, bytes);
  }
  BulkVector<std::uint64_t> table;
  for (std::uint64_t i = 0; i < 3000000; ++i) table.push_back(i * 7);
  EXPECT_EQ(table[2999999], 2999999u * 7);
  EXPECT_EQ(table[123456], 123456u * 7);
}
