#include <windows.h>

#include "platform/Errors.h"
#include "platform/Text.h"

DWORD CodeFromErrno(int err) {
  // The Windows build reports GetLastError codes directly; errno values only
  // reach here from the C runtime, where 0 is the one that matters.
  return err == 0 ? code::Success : code::GenFailure;
}

std::string ErrorMessage(DWORD errorCode) {
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, errorCode, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message;
  if (length != 0 && text != nullptr) {
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' ||
                          text[length - 1] == L' ')) {
      --length;
    }
    message = Utf8FromWide(std::wstring(text, length));
  } else {
    message = "Unknown error " + std::to_string(errorCode) + ".";
  }
  if (text != nullptr) LocalFree(text);
  return message;
}
