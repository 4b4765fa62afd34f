#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>

#include "platform/Disk.h"
#include "platform/Errors.h"
#include "platform/Text.h"
#include "support/TestVolumes.h"

namespace {

TEST(Errors, ErrnoMapsToTheNearestWindowsCode) {
  const std::pair<int, DWORD> cases[] = {
      {0, 0},       {ENOENT, 2}, {EACCES, 5}, {EPERM, 5},   {ENOMEM, 8},  {EIO, 23},
      {EINVAL, 87}, {ENOSPC, 112}, {EEXIST, 80}, {ENAMETOOLONG, 206}, {ENOTDIR, 3}, {EROFS, 19},
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

}  // namespace
