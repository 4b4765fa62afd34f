#include <gtest/gtest.h>

#include "ui/WindowRules.h"
#include "ui/resource.h"

namespace {

bool operator==(const ControlRect& a, const ControlRect& b) {
  return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

TEST(MainWindowLayout, ControlsKeepTheirOffsetsFromTheEdges) {
  const MainLayout normal = LayoutFor(800, 600);
  EXPECT_TRUE(normal.statusBar == (ControlRect{0, 582, 800, 18}));
  EXPECT_TRUE(normal.driveTree == (ControlRect{0, 42, 98, 510}));
  EXPECT_TRUE(normal.fileList == (ControlRect{102, 42, 698, 540}));
  EXPECT_TRUE(normal.scanButton == (ControlRect{5, 554, 93, 26}));
  // Below 90 pixels of height the tree would be negative: it is empty instead.
  const MainLayout tiny = LayoutFor(50, 60);
  EXPECT_EQ(tiny.driveTree.height, 0);
  EXPECT_EQ(tiny.fileList.width, 0);
  EXPECT_EQ(tiny.fileList.height, 0);
  EXPECT_EQ(tiny.statusBar.y, 42);
}

TEST(MainWindowMenus, ItemsFollowTheirFlagsOrTheWindowsCommands) {
  const CommandFlags beforeScan{false, false, false, true, false, false};
  const CommandFlags scanning{false, false, true, false, true, true};
  struct Case {
    unsigned command;
    bool before, during;
  };
  const Case cases[] = {
      {IDM_SCAN, true, false},          {IDM_RECOVER, false, false},      {IDM_IMAGE_PREVIEW, false, false},
      {IDM_STOP_SCAN, false, true},     {IDM_FIND, false, true},          {IDM_FIND_NEXT, false, true},
      {IDM_EXIT, true, true},           {IDM_FIND_NEXT_VIEW, true, true}, {IDM_ABOUT, true, true},
      {IDM_VISIT_SITE, true, true},     {12345, false, false},
  };
  for (const Case& c : cases) {
    for (const auto& [flags, expected] : {std::pair{beforeScan, c.before}, std::pair{scanning, c.during}}) {
      bool enabled = false;
      if (!CommandRule(c.command, flags, &enabled)) enabled = MainWindowHandles(c.command);
      EXPECT_EQ(enabled, expected) << c.command;
    }
  }
}

}  // namespace

namespace {

TEST(FileListRules, SortCompareFoldsOnlyAsciiLetters) {
  EXPECT_EQ(CompareCellText(u"Report.txt", u"report.TXT"), 0);
  EXPECT_LT(CompareCellText(u"abc", u"abd"), 0);
  EXPECT_LT(CompareCellText(u"ab", u"abc"), 0);  // a prefix sorts first
  EXPECT_GT(CompareCellText(u"\u00E9t\u00E9", u"zebra"), 0);  // accented letters by code unit
  EXPECT_LT(CompareCellText(u"10 KB", u"2 KB"), 0);  // text order, not by value
  EXPECT_EQ(CompareCellText(u"", u""), 0);
}

TEST(FileListRules, FindMatchesFoldedNamesWithoutTrailingSpace) {
  struct Case {
    const char16_t* name;
    const char16_t* find;
    bool match;
  };
  const Case cases[] = {
      {u"Holiday.BMP", u"holiday", true}, {u"holiday.bmp", u"HOLIDAY", true},
      {u"\u00C9t\u00E9.txt", u"\u00E9t\u00E9", false},  // only A to Z fold
      {u"notes \t", u"notes ", false},  // the name's trailing space is gone, the text's is not
      {u"   ", u" ", false},              {u"", u"", false},
      {u"a b", u"a b", true},              {u"abc", u"", true},
  };
  for (const Case& c : cases) {
    std::u16string find = c.find;
    EXPECT_EQ(NameMatches(c.name, &find), c.match);
  }
  std::u16string find = u"MiXeD";
  NameMatches(u"x", &find);
  EXPECT_EQ(find, u"mixed");  // kept lowered, as the Find box shows it next time
}

TEST(FileListRules, SelectionCountsRecordCellsAndSameDrive) {
  EXPECT_EQ(SelectionCountText(1), u"Selected 1 file");
  EXPECT_EQ(SelectionCountText(0), u"Selected 0 files");
  EXPECT_EQ(SelectionCountText(2), u"Selected 2 files");
  EXPECT_EQ(RecordIndexFromCell(u"0"), 30u);
  EXPECT_EQ(RecordIndexFromCell(u"970"), 1000u);
  EXPECT_EQ(RecordIndexFromCell(u"12.9x"), 42u);
  EXPECT_EQ(RecordIndexFromCell(u"none"), 30u);
  EXPECT_EQ(RecordIndexFromCell(u"-5"), 30u);
  EXPECT_EQ(RecordIndexFromCell(u"99999999999"), UINT32_MAX);
  EXPECT_TRUE(IsScannedDrive(u"E:\\Saved", u"E:\\"));
  EXPECT_FALSE(IsScannedDrive(u"e:\\Saved", u"E:\\"));  // exact comparison
  EXPECT_FALSE(IsScannedDrive(u"\\\\server\\share", u"E:\\"));
  EXPECT_FALSE(IsScannedDrive(u"D:\\", u"Disk 0 NTFS 1\\"));
}

}  // namespace
