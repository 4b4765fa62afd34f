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
