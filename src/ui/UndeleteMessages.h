// What the files of the main window (CUndeleteDlg) share: its workers'
// messages to it, its timers, and the name its boxes show.
#pragma once

#include <windows.h>

#include <string>

// The scan worker's messages to the window, all sent (the worker waits):
// the list empties for a new scan (before any row),
constexpr UINT WM_SCAN_BEGIN_ROWS = WM_APP + 1;
// new rows (lParam: the worker's const RowTable*; the window copies the rows
// it does not have yet; returns 0, or 8 when it cannot hold them),
constexpr UINT WM_SCAN_ROWS = WM_APP + 2;
// every row's final state (lParam: the same table; returns 0 or 8),
constexpr UINT WM_SCAN_STATES = WM_APP + 3;
// and, last, the totals (lParam: const ScanTotals*).
constexpr UINT WM_SCAN_ENDED = WM_APP + 4;

// The recovery worker's one message, posted last: the window joins it and
// reads the results. Its progress the window reads from the job's counters
// on a timer, which never crowds out the user's input.
constexpr UINT WM_RECOVER_ENDED = WM_APP + 5;
// The preview reader's one message, posted last (wParam: the generation of
// the request it answers).
constexpr UINT WM_PREVIEW_READY = WM_APP + 6;
// The image opener's one message, posted last.
constexpr UINT WM_IMAGE_OPENED = WM_APP + 7;
// The deep scan's one message, posted last: the window joins it and reads
// what it found. Its progress the window reads on a timer.
constexpr UINT WM_DEEP_ENDED = WM_APP + 8;
// The carving's carved files, sent in batches (lParam: the worker's const
// CarvedTable*, which the window appends whole; returns 0, or 8 when it
// cannot hold them), then its one posted message, last.
constexpr UINT WM_CARVED_ROWS = WM_APP + 9;
constexpr UINT WM_CARVE_ENDED = WM_APP + 10;

constexpr UINT_PTR ProgressTimer = 1;
constexpr UINT_PTR DeepTimer = 2;
constexpr UINT_PTR CarveTimer = 3;
constexpr UINT ProgressMs = 100;

// Rows reach the window at once for the first, then at most this often, and
// at the end.
constexpr DWORD RowBatchMs = 100;

// The program's name as message boxes without a caption of their own show
// it: the executable's file name without its extension.
std::wstring ProgramName();
