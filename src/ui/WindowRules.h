// The main window's decisions as plain functions: where the controls go,
// and which menu items are enabled. No window system here, so they are
// tested natively.
#pragma once

#include <cstdint>
#include <string>

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

// Rows compare by one column's text, code unit by code unit with A to Z
// folded to a to z; a text that is a prefix of the other sorts first.
int CompareCellText(const std::u16string& a, const std::u16string& b);

// The Find test: the name without trailing white space, A to Z folded,
// contains `findText`, which is folded in place. An empty name never matches.
bool NameMatches(const std::u16string& name, std::u16string* findText);

// "Selected 1 file" or "Selected %i files".
std::u16string SelectionCountText(int selected);

// The record index of a row from its "#" cell: the leading number of the
// text, truncated, plus 30; 30 for a text without digits.
std::uint32_t RecordIndexFromCell(const std::u16string& cell);

// True when the first three characters of the destination equal the whole
// drive text of the last scan, exactly (the same-drive question).
bool IsScannedDrive(const std::u16string& destination, const std::u16string& scannedDriveText);
