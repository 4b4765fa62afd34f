// Error codes across the OS seam: errno mapped to Windows system codes, and
// the system's message text for a code.
#pragma once

#include <string>

#include "platform/Types.h"

// The nearest Windows system error code for a POSIX errno value.
DWORD CodeFromErrno(int err);

// The system's message for a code, UTF-8, without a trailing line break.
// Windows: FormatMessageW, neutral language with default sub-language.
// Elsewhere: our own table of the Windows texts.
std::string ErrorMessage(DWORD errorCode);

// The text of a code of our own (bit 29 set), which no system has; null for
// any other code. ErrorMessage and ErrorMessageWide give it like the rest.
inline const char* OwnErrorText(DWORD errorCode) {
  switch (errorCode) {
    case code::RecordReused: return "The file's record was reused after the scan; scan again.";
    default: return nullptr;
  }
}

#ifdef _WIN32
// The same message as UTF-16 for the windows: the program's one
// FormatMessageW call. "Unknown error <n>." when the system has no text.
std::wstring ErrorMessageWide(DWORD errorCode);
#endif
