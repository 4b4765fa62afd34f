// The main window's decisions as plain functions: where the controls go,
// and which menu items are enabled. No window system here, so they are
// tested natively.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scan/RowTable.h"

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

// The scan as the window's thread sees it. Running lasts from the click until
// the worker's last message (its totals and flags are set by then); Stopping
// from a stop request until that message.
enum class ScanPhase { Idle, Running, Stopping };

struct ScanButton {
  const char16_t* caption;
  bool enabled;
};
ScanButton ScanButtonFor(ScanPhase phase);

// What the Scan button (and Scan or Stop in the menus) does in each phase. A
// new scan starts only from Idle.
enum class ScanClick { Start, Stop, Nothing };
ScanClick ScanClickAction(ScanPhase phase);

// The command flags: before any scan, once a scan starts, once a stop is
// asked for, once rows have arrived, and once the scan has ended.
CommandFlags FlagsBeforeScan();
CommandFlags FlagsAtScanStart();
CommandFlags FlagsAtStop(CommandFlags current);
CommandFlags FlagsWithRows(CommandFlags current);
CommandFlags FlagsAtScanEnd(CommandFlags current);

// Reorders `order` (rows of `table` as the list shows them) by one column,
// stably: texts compare with CompareCellText, the State column with
// StateOrder. Descending reverses the comparison, not the ties.
void SortRows(const RowTable& table, Column column, bool ascending, std::vector<std::uint32_t>* order);
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
