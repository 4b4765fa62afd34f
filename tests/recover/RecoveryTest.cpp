#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "platform/Files.h"
#include "platform/Text.h"
#include "recover/Recovery.h"
#include "support/TestVolumes.h"

namespace {

TEST(SafeNames, NamesNeverLeaveTheFolderOrNameAStream) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"report.txt", u"report.txt"},
      {u"a:b*c?.txt", u"a_b_c_.txt"},
      {u"x\\..\\y/z", u"x_.._y_z"},
      {u"<pipe>|\"q\"", u"_pipe___q_"},
      {u"tab\there\x01", u"tab_here_"},
      {u"..", u"__"},
      {u".", u"_"},
      {u"trailing. .", u"trailing___"},
      {u"", u"_"},
      {u"CON", u"_CON"},
      {u"con.txt", u"_con.txt"},
      {u"Nul", u"_Nul"},
      {u"COM1.log", u"_COM1.log"},
      {u"lpt9", u"_lpt9"},
      {u"COM\u00B9", u"_COM\u00B9"},
      {u"CONSOLE", u"CONSOLE"},
      {u"COM10", u"COM10"},
      {u"r\u00E9sum\u00E9 \U0001F600.txt", u"r\u00E9sum\u00E9 \U0001F600.txt"},
  };
  for (const auto& [name, safe] : cases) EXPECT_EQ(SafeName(name), safe) << Utf8FromUtf16(name);
}

TEST(SafeNames, LongNamesFitOneFolderEntry) {
  // 255 two-byte characters are 510 UTF-8 bytes: cut, keeping the extension.
  const std::u16string name = std::u16string(250, u'\u00E9') + u".docx";
  const std::u16string safe = SafeName(name);
  EXPECT_LE(Utf8FromUtf16(safe).size(), 255u);
  EXPECT_EQ(safe.substr(safe.size() - 5), u".docx");
  // A surrogate pair is never split.
  std::u16string emoji;
  for (int i = 0; i < 100; ++i) emoji += u"\U0001F600";
  const std::string cut = Utf8FromUtf16(SafeName(emoji));
  EXPECT_LE(cut.size(), 255u);
  EXPECT_EQ(cut.size() % 4, 0u);
  // Found by fuzzing: the cut itself may end the name in a dot or a blank.
  for (char16_t end : {u'.', u' '}) {
    const std::u16string cutAtEnd = SafeName(std::u16string(254, u'x') + end + std::u16string(40, u'y'));
    EXPECT_EQ(cutAtEnd, std::u16string(254, u'x') + u'_');
  }
  // A reserved name keeps its guard when the cut shortens it.
  const std::u16string reserved = SafeName(u"con." + std::u16string(300, u'z'));
  EXPECT_EQ(reserved.substr(0, 5), u"_con.");
  EXPECT_LE(Utf8FromUtf16(reserved).size(), 255u);
}

TEST(RecoveryPaths, PrefixesAreDroppedAndFoldersMadeSafe) {
  const std::u16string sep(1, PathSeparator);
  struct Case {
    std::u16string pathCell;
    std::vector<std::u16string> folders;
  };
  const Case cases[] = {
      {u"E:\\Docs\\Old\\", {u"Docs", u"Old"}},
      {u"?\\Old\\", {u"Old"}},
      {u"C:\\", {}},
      {u"Disk 0 NTFS 1\\a\\", {u"a"}},
      {u"C:\\..\\..\\etc\\", {u"__", u"__", u"etc"}},
      {u"C:\\a\\\\b\\", {u"a", u"b"}},
      {u"C:\\con\\x:y\\", {u"_con", u"x_y"}},
      {u"nothing", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(FoldersOfPath(c.pathCell), c.folders) << Utf8FromUtf16(c.pathCell);

  const RecoveryTarget target = TargetFor(u"/out", u"E:\\Docs\\Old\\", u"a?.txt");
  EXPECT_EQ(target.folders, (std::vector<std::u16string>{u"/out" + sep + u"Docs", u"/out" + sep + u"Docs" + sep + u"Old"}));
  EXPECT_EQ(target.file, u"/out" + sep + u"Docs" + sep + u"Old" + sep + u"a_.txt");
  // A destination given with its trailing separator is not doubled.
  EXPECT_EQ(TargetFor(u"/out/", u"C:\\", u"b").file, u"/out/b");
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class RecoverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CraftedVolume volume;
    for (std::uint32_t i = 1; i < 32; ++i) {
      if (i == 30) {
        volume.records.push_back(RecordBuilder(0)
                                     .StandardInformation(1, 2, 3, 4, 0x21)
                                     .FileName(5, 0x20, u"notes:1.txt")
                                     .ResidentData(Bytes{'h', 'e', 'l', 'l', 'o'})
                                     .End()
                                     .Build());
      } else {
        volume.records.push_back(RecordBuilder(ntfs::RecordInUse).FileName(5, 0, u"inuse").End().Build());
      }
    }
    volume.WriteTo(disk);
    drive.AttachDisk(&disk);
    drive.SetPartitionStart(volume.partitionStart);
    ASSERT_EQ(drive.Initialize(), code::Success);
  }

  MemoryDisk disk;
  CNTFSDrive drive;
  TempDir dir;
};

TEST_F(RecoverTest, WritesTheFileBelowItsFoldersWithItsAttributes) {
  const std::u16string destination = Utf16FromUtf8(dir.Path());
  RecoveredFile file;
  ASSERT_EQ(RecoverRecord(drive, 30, destination, u"C:\\Docs\\..\\", false, &file), code::Success);
  const std::string expected = dir.Path() + "/Docs/__/notes_1.txt";
  EXPECT_EQ(Utf8FromUtf16(file.path), expected);
  EXPECT_EQ(file.bytes, 5u);
  EXPECT_EQ(ReadAll(expected), "hello");
  struct stat info {};
  ASSERT_EQ(stat(expected.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0222, 0u);  // read-only, as recorded

  // An existing file is kept unless replacing is asked for.
  RecoveredFile again;
  EXPECT_EQ(RecoverRecord(drive, 30, destination, u"C:\\Docs\\..\\", false, &again), code::FileExists);
  EXPECT_TRUE(again.existed);
  chmod(expected.c_str(), 0644);
  std::ofstream(expected) << "something else entirely";
  ASSERT_EQ(RecoverRecord(drive, 30, destination, u"C:\\Docs\\..\\", true, &again), code::Success);
  EXPECT_EQ(ReadAll(expected), "hello");
}

TEST_F(RecoverTest, RefusesRecordsThatAreNotDeletedFilesAndPlantedLinks) {
  const std::u16string destination = Utf16FromUtf8(dir.Path());
  RecoveredFile file;
  EXPECT_EQ(RecoverRecord(drive, 31, destination, u"C:\\", false, &file), code::FileNotFound);
  EXPECT_EQ(RecoverRecord(drive, 99, destination, u"C:\\", false, &file), code::NoMoreFiles);
  // A link planted where the file goes is not followed, even when replacing.
  const std::string victim = dir.Path() + "/victim";
  std::ofstream(victim) << "keep me";
  ASSERT_EQ(symlink(victim.c_str(), (dir.Path() + "/notes_1.txt").c_str()), 0);
  EXPECT_NE(RecoverRecord(drive, 30, destination, u"C:\\", true, &file), code::Success);
  EXPECT_EQ(ReadAll(victim), "keep me");
  // A folder that cannot be made fails before anything is written.
  std::ofstream(dir.Path() + "/blocker") << "a file, not a folder";
  EXPECT_NE(RecoverRecord(drive, 30, destination, u"C:\\blocker\\", false, &file), code::Success);
}

}  // namespace
