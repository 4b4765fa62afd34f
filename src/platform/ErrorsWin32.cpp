#include <windows.h>

#include "platform/Errors.h"
#include "platform/Text.h"

DWORD CodeFromErrno(int err) {
  // The Windows build reports GetLastError codes directly; errno values only
  // reach here from the C runtime, where 0 is the one that matters.
  return err == 0 ? code::Success : code::GenFailure;
}

std::wstring ErrorMessageWide(DWORD errorCode) {
  if (const char* own = OwnErrorText(errorCode)) return WideFromUtf8(own);
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, errorCode, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message;
  if (length != 0 && text != nullptr) {
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' ||
                          text[length - 1] == L' ')) {
      --length;
    }
    message.assign(text, length);
  } else {
    message = L"Unknown error " + std::to_wstring(errorCode) + L".";
  }
  if (text != nullptr) LocalFree(text);
  return message;
}

std::string ErrorMessage(DWORD errorCode) { return Utf8FromWide(ErrorMessageWide(errorCode)); }
