// Opening a web address in the default browser: the shell first, then the
// program registered for ".htm" pages.
#pragma once

#include <windows.h>

#include <string>

// Opens `target` with the shell verb "new" (`newWindow`) or "open"; the
// support address goes as a "mailto:" address, an empty target opens
// nothing and succeeds. When the shell refuses, the browser registered for
// ".htm" is started with the target. True on success; shows nothing.
bool OpenUrl(const std::wstring& target, bool newWindow);

// Opens the maker's web site; the outcome is not reported.
void OpenMakerWebSite();

// The default value of `keyPath` below HKEY_CLASSES_ROOT, read with a limit
// of 260 bytes (a longer value fails). 0, or the registry's code.
LONG ReadClassesRootDefault(const wchar_t* keyPath, std::wstring* value);

// Starts `commandLine` (no application name, the caller's environment and
// folder) with `show` as its show value. True when the process started.
bool LaunchCommandLine(const wchar_t* commandLine, WORD show);
