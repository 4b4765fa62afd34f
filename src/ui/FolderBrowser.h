// The shell's folder browser, for the destination of a recovery.
#pragma once

#include <windows.h>

// Lets the user choose a folder, starting at `start` (the current directory
// when null or empty). Returns 1 with the folder's path in `output` (room
// for 260 characters), else 0 with `output` empty; a null `output` gives 0.
int BrowseForFolder(HWND owner, const wchar_t* start, wchar_t* output);

// The browser's callback (`data`: BrowseForFolder's own state): selects the
// start folder, lays the browser out anew, and refuses shortcuts and items
// without a file-system path.
int CALLBACK BrowseCallbackProc(HWND browser, UINT message, LPARAM parameter, LPARAM data);
