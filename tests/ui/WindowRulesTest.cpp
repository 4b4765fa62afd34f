#include <gtest/gtest.h>

#include <iterator>

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

namespace {

TEST(ScanRules, EachPhaseHasItsCaptionClickAndFlags) {
  struct Case {
    ScanPhase phase;
    const char16_t* caption;
    bool enabled;
    ScanClick click;
  };
  const Case cases[] = {
      {ScanPhase::Idle, u"Scan", true, ScanClick::Start},
      {ScanPhase::Running, u"Stop Scanning", true, ScanClick::Stop},
      {ScanPhase::Stopping, u"Stopping...", false, ScanClick::Nothing},  // no second worker, no second stop
  };
  for (const Case& c : cases) {
    const ScanButton button = ScanButtonFor(c.phase);
    EXPECT_EQ(std::u16string(button.caption), c.caption);
    EXPECT_EQ(button.enabled, c.enabled);
    EXPECT_EQ(ScanClickAction(c.phase), c.click);
  }
  // Flags as {recover, preview, stop, scan, find, find next} through a scan's life.
  auto same = [](const CommandFlags& a, const CommandFlags& b) {
    return a.canRecover == b.canRecover && a.canPreview == b.canPreview && a.canStop == b.canStop &&
           a.canScan == b.canScan && a.canFind == b.canFind && a.canFindNext == b.canFindNext;
  };
  const CommandFlags start = FlagsAtScanStart();
  EXPECT_TRUE(same(FlagsBeforeScan(), {false, false, false, true, false, false}));
  EXPECT_TRUE(same(start, {false, false, true, false, true, true}));
  EXPECT_TRUE(same(FlagsWithRows(start), {true, true, true, false, true, true}));
  EXPECT_TRUE(same(FlagsAtStop(start), {false, false, false, true, true, true}));
  EXPECT_TRUE(same(FlagsAtScanEnd(start), {true, true, false, true, true, true}));
  EXPECT_TRUE(same(FlagsAtScanEnd(FlagsBeforeScan()), {true, true, false, true, false, false}));
}

TEST(FileListRules, SortsByTextOrStateBothWaysKeepingTies) {
  RowTable table;
  std::uint32_t path = 0;
  ASSERT_TRUE(table.AddPath(u"C:\\", &path));
  struct Row {
    const char16_t* name;
    std::uint64_t size;
    FileState state;
  };
  const Row input[] = {
      {u"b.txt", 2048, {Recoverability::Overwritten, 0}}, {u"A.txt", 10240, {Recoverability::Partial, 37}},
      {u"c.txt", 1024, {Recoverability::Intact, 0}},      {u"a.txt", 2048, {Recoverability::Unknown, 0}},
      {u"d.txt", 512, {Recoverability::Partial, 5}},      {u"e.txt", 700, {Recoverability::Intact, 0}},
  };
  for (std::size_t i = 0; i < std::size(input); ++i) {
    ASSERT_TRUE(table.AddRow(static_cast<std::uint32_t>(40 + i), path, input[i].name, input[i].size, 0, 0));
    ASSERT_TRUE(table.SetState(i, input[i].state, {}));
  }
  struct Case {
    Column column;
    bool ascending;
    std::vector<std::uint32_t> order;
  };
  const Case cases[] = {
      // A and a fold together and keep their order; "10 KB" sorts as text, before "2 KB".
      {ColumnName, true, {1, 3, 0, 2, 4, 5}},
      {ColumnName, false, {5, 4, 2, 0, 1, 3}},
      {ColumnSize, true, {2, 4, 5, 1, 0, 3}},
      // Intact first, then by share, Overwritten, then Unknown; reversed as a whole.
      {ColumnState, true, {2, 5, 4, 1, 0, 3}},
      {ColumnState, false, {3, 0, 1, 4, 2, 5}},
  };
  for (const Case& c : cases) {
    std::vector<std::uint32_t> order = {0, 1, 2, 3, 4, 5};
    SortRows(table, c.column, c.ascending, &order);
    EXPECT_EQ(order, c.order) << c.column << (c.ascending ? " ascending" : " descending");
  }
  // Rows added after a sort are appended; a later sort takes them in.
  std::vector<std::uint32_t> part = {4, 2};
  SortRows(table, ColumnName, true, &part);
  EXPECT_EQ(part, (std::vector<std::uint32_t>{2, 4}));
}

}  // namespace
