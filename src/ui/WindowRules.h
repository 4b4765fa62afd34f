// The main window's decisions as plain functions: where the controls go,
// and which menu items are enabled. No window system here, so they are
// tested natively.
#pragma once

struct ControlRect {
  int x, y, width, height;  // width and height never negative
};

struct MainLayout {
  ControlRect statusBar, driveTree, fileList, scanButton;
};

// The controls for a client area of `width` x `height` pixels: the top 42
// pixels are the toolbar's, the bottom 18 the status bar's.
MainLayout LayoutFor(int width, int height);

// The command-enable flags.
struct CommandFlags {
  bool canRecover, canPreview, canStop, canScan, canFind, canFindNext;
};

// True when `command` has an enabling rule; its state goes to *enabled.
bool CommandRule(unsigned command, const CommandFlags& flags, bool* enabled);
// True for every command the main window serves.
bool MainWindowHandles(unsigned command);
