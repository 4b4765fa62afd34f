// The main window's decisions as plain functions: where the controls go,
// and which menu items are enabled. No window system here, so they are
// tested natively.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "view/RowCells.h"

namespace carve {
struct CarvedFile;
}

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

// A scan and a recovery exclude each other: the Scan button, its menu item
// and its toolbar button are greyed while a recovery runs, Recover while a
// scan runs (rows listed or not) or another recovery does.
struct ScanButton {
  const char16_t* caption;
  bool enabled;
};
ScanButton ScanButtonFor(ScanPhase phase, bool recovering);

// What the Scan button (and Scan or Stop in the menus) does in each phase. A
// new scan starts only from Idle, and not while a recovery runs.
enum class ScanClick { Start, Stop, Nothing };
ScanClick ScanClickAction(ScanPhase phase, bool recovering);

// The command flags: before any scan, once a scan starts, once a stop is
// asked for, once rows have arrived (they can be previewed, not yet
// recovered), once the scan has ended, and while a recovery runs.
CommandFlags FlagsBeforeScan();
CommandFlags FlagsAtScanStart();
CommandFlags FlagsAtStop(CommandFlags current);
CommandFlags FlagsWithRows(CommandFlags current);
CommandFlags FlagsAtScanEnd(CommandFlags current);
CommandFlags FlagsAtRecoveryStart(CommandFlags current);
CommandFlags FlagsAtRecoveryEnd(CommandFlags current);

// True when a Recover command may start a recovery: no scan, no recovery,
// Recover enabled and a row selected. A posted command reaches the window
// whatever its menu item shows, so the window asks this, not the menu.
bool CanStartRecovery(ScanPhase phase, bool recovering, const CommandFlags& flags, int selectedRows);

// The state of a toolbar button: Scan as the Scan button, Recover as its
// menu item; the others are always enabled.
bool ToolbarEnabled(unsigned command, const CommandFlags& flags, ScanPhase phase, bool recovering);

// The progress dialog's texts. "File 2 of 5: name".
std::u16string ProgressFileText(std::uint32_t file, std::uint32_t files, const std::u16string& name);
// "12.5 MB of 2.00 GB": bytes as "N bytes" below 1 KB, then KB, MB, GB (1024-based).
std::u16string ProgressBytesText(std::uint64_t done, std::uint64_t total);
std::u16string ByteCountText(std::uint64_t bytes);
// The estimate from the rate so far: empty for the first two seconds or
// before any byte, then "About N seconds left" (rounded up to 5), "About N
// minutes left" (rounded up), "About N hours M minutes left".
std::u16string TimeLeftText(std::uint64_t done, std::uint64_t total, std::uint64_t elapsedMs);
// The bar's position in 0..ProgressSteps; a recovery of nothing is done.
constexpr int ProgressSteps = 1000;
int ProgressPosition(std::uint64_t done, std::uint64_t total);

// The summary's first line: "Recovered 3 of 5 files to D:\Saved.", after
// a Cancel "Cancelled: recovered 3 of 5 files to D:\Saved.", then, when
// some failed, "2 files could not be recovered:".
std::u16string RecoverySummaryText(std::uint32_t recovered, std::uint32_t files, std::uint32_t failed, bool cancelled,
                                   const std::u16string& destination);

// A file a recovery did not bring back whole, as its summary line tells it.
struct RecoveryFailureFacts {
  std::uint32_t code = 0;
  bool creatingFile = false;       // the output could not be created
  std::u16string output;           // where the file went, or was to go
  std::uint64_t missingBytes = 0;  // the copy kept (`published`) lacks these at its end
  std::uint64_t unreadableBytes = 0;  // and has zeros for these
  bool published = false;
};
// The summary's words for one file, after "path: ": a copy kept that is not
// the file "4096 bytes unreadable (written as zeros); the copy is kept as
// OUTPUT" (bytes missing likewise); a refusal its RefusalText; an output
// that could not be made "cannot create OUTPUT: " and the system's message
// (`systemMessage`, the code's); any other failure that message.
std::u16string RecoveryFailureText(const RecoveryFailureFacts& facts, const std::u16string& systemMessage);
// The window's own words for a file it refuses to read: a record reused
// since the scan, a file whose bytes are not on this disk. Empty for any
// other code, which the system's message tells.
std::u16string RefusalText(std::uint32_t code);
// The status bar's warning after a scan that passed over records the disk
// could not read: "4 records could not be read"; empty for none.
std::u16string UnreadableRecordsText(std::uint32_t records);

// Deep scan. Enabled, in the menus and on the toolbar, when no scan, deep
// scan or recovery runs and a disk or partition is selected (not the tree's
// root). It runs as a scan does: the Scan button stops it.
bool DeepScanEnabled(ScanPhase phase, bool recovering, bool diskSelected);
// Its progress in the status bar: "Deep scan: 12.0 MB of 96.0 MB", then
// the estimate (TimeLeftText) after a full stop once there is one.
std::u16string DeepProgressText(std::uint64_t done, std::uint64_t total, std::uint64_t elapsedMs);
// Its end: "Deep scan: 2 volumes found", "Deep scan stopped: 1 volume
// found", "Deep scan: no lost volume found".
std::u16string DeepEndText(std::size_t volumes, bool stopped);
// A found volume's item: "Found NTFS volume at sector 2048 (96 MB)": its
// first sector in the disk's sectors, its size in whole KB or MB below a
// GB, else as ByteCountText.
std::u16string FoundVolumeText(std::uint64_t sector, std::uint64_t bytes);
// The rows' drive text for found volume `number` (from 1, as pelmora-cli's
// --found counts): "Found volume 1\".
std::u16string FoundVolumeDriveText(std::uint32_t number);
// The State cell of a row; a found volume's file that was in use when the
// volume was lost says so first: "In use; Intact".
const char16_t* StateCellPrefix(bool inUse);

// Carving the free space of the volume the last scan read (its rows' runs
// are left out). Enabled, in the menus and on the toolbar, when no scan,
// deep scan, carving or recovery runs and a scan has ended on a volume it
// opened. It runs as a deep scan does: the Scan button stops it.
bool CarveEnabled(ScanPhase phase, bool recovering, bool volumeScanned);
// While it runs: Stop, no Scan, no Recover; the rows stay for preview and Find.
CommandFlags FlagsAtCarveStart(CommandFlags current);
// "Carving free space: 12.0 MB of 96.0 MB", then the estimate after a full stop.
std::u16string CarveProgressText(std::uint64_t done, std::uint64_t total, std::uint64_t elapsedMs);
// "Carved 3 files (1 damaged)", "Carving stopped: 1 file carved", "Carving: no file found".
std::u16string CarveEndText(std::size_t files, std::size_t damaged, bool stopped);

// A list row at or above CarvedRow is the carved file (row - CarvedRow) of the
// window's CarvedTable; below it, a row of the scan's RowTable.
constexpr std::uint32_t CarvedRow = 0x80000000u;

// The carved files the list shows after the scan's rows, about 56 bytes
// each plus 16 per piece, so that a volume of many free clusters stays
// small. Appends only; cleared with the scan's rows.
class CarvedTable {
 public:
  // False, the table unchanged, when memory is short.
  bool Add(const carve::CarvedFile& file);
  // Appends `source`'s files from `first` on; false when memory is short.
  bool AppendFrom(const CarvedTable& source, std::size_t first);
  std::size_t Count() const { return entries.size(); }
  void Clear();
  // The file again, as ReadCarved and CarvedWriter take it; false when
  // memory is short.
  bool File(std::size_t index, carve::CarvedFile* file) const;
  std::uint64_t Bytes(std::size_t index) const { return entries[index].length; }
  bool Damaged(std::size_t index) const { return entries[index].damaged; }
  // The cells as the CLI lists them: "f<first cluster>.<ext>", "Carved\JPEG\",
  // the size, the dates the file carries (else empty), "#" empty, the state.
  std::u16string Cell(std::size_t index, Column column) const;

 private:
  struct Entry {
    std::uint64_t firstCluster, length, created, modified;
    std::uint32_t firstPiece;
    std::uint16_t pieceCount;
    std::uint8_t family;
    bool damaged;
    char extension[8];  // the content's own ("docx", "tar.gz"), terminated
  };
  std::vector<Entry> entries;
  std::vector<std::uint64_t> pieces;  // cluster, bytes per piece
};

// Reorders `order` (rows of `table` as the list shows them) by one column,
// stably: texts compare with CompareCellText, the State column with
// StateOrder. Descending reverses the comparison, not the ties. Carved rows
// (at or above CarvedRow, of `carved`) sort by their cells; by state after
// every record row, the damaged last.
void SortRows(const RowTable& table, Column column, bool ascending, std::vector<std::uint32_t>* order,
              const CarvedTable* carved = nullptr);
// The State column's order: Intact first, then partial ones by their share,
// then Overwritten, then Unknown, then pending ones.
int StateOrder(FileState state);
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

// Disk images. The open dialog's filter, as GetOpenFileNameW takes it:
// pairs of a name and its patterns, each ending in a null character, then
// one more. Every kind OpenDiskImage reads; EWF and numbered pieces by
// their first file, which names the set.
std::u16string ImageFileFilter();
// An image's own item in the drive tree: "Image 2: disk.vhdx" (its number
// in this window, its file name without the folders).
std::u16string ImageItemText(std::uint32_t imageNumber, const std::u16string& path);
// An NTFS partition of an image: "Image 2 NTFS 1\" (its place on the
// disk, as pelmora-cli's --partition counts it). Distinct for every image
// and partition; also the rows' drive text.
std::u16string ImagePartitionText(std::uint32_t imageNumber, std::uint32_t ordinal);
// A failure's text when a disk image is involved: `lead` (the image's
// path, when it could not be opened; may be empty), what is wrong with the
// image in the container's words (`problem`, UTF-8; none when empty), then
// the system's message for the code.
std::u16string ImageFailureText(const std::u16string& lead, const std::string& problem,
                                const std::u16string& systemMessage);
