#include "ui/WebPage.h"

#include <shellapi.h>

#include <vector>

#include "platform/Text.h"
#include "ui/LinkRules.h"

namespace {

bool OpenWithShell(const std::wstring& target, const wchar_t* verb) {
  const HINSTANCE result = ShellExecuteW(nullptr, verb, target.c_str(), nullptr, nullptr, SW_SHOW);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

// The registry fallback: the open command of the ".htm" class, cut at its
// placeholder, with the target appended.
bool OpenWithRegisteredBrowser(const std::wstring& target) {
  std::wstring pageClass;
  if (ReadClassesRootDefault(L".htm", &pageClass) != ERROR_SUCCESS) return false;
  std::wstring command;
  if (ReadClassesRootDefault((pageClass + L"\\shell\\open\\command").c_str(), &command) != ERROR_SUCCESS) {
    return false;
  }
  std::u16string line;
  if (!BrowserCommandFor(Utf16FromWide(command), Utf16FromWide(target), &line)) return false;
  return LaunchCommandLine(WideFromUtf16(line).c_str(), SW_SHOW);
}

bool OpenWithVerb(const std::wstring& target, const wchar_t* verb) {
  return OpenWithShell(target, verb) || OpenWithRegisteredBrowser(target);
}

}  // namespace

bool OpenUrl(const std::wstring& target, bool newWindow) {
  const std::wstring shellTarget = WideFromUtf16(ShellTargetFor(Utf16FromWide(target)));
  if (shellTarget.empty()) return true;
  return OpenWithVerb(shellTarget, newWindow ? L"new" : L"open");
}

void OpenMakerWebSite() { OpenWithVerb(WideFromUtf16(MakerWebSite), L"open"); }

LONG ReadClassesRootDefault(const wchar_t* keyPath, std::wstring* value) {
  HKEY key = nullptr;
  const LONG opened = RegOpenKeyExW(HKEY_CLASSES_ROOT, keyPath, 0, KEY_QUERY_VALUE, &key);
  if (opened != ERROR_SUCCESS) return opened;
  wchar_t buffer[130] = L"";
  LONG size = sizeof buffer;  // 260 bytes
  const LONG read = RegQueryValueW(key, nullptr, buffer, &size);
  RegCloseKey(key);
  if (read != ERROR_SUCCESS) return read;
  // The value may lack its terminator; the buffer's last unit is always one.
  buffer[129] = L'\0';
  *value = buffer;
  return ERROR_SUCCESS;
}

bool LaunchCommandLine(const wchar_t* commandLine, WORD show) {
  if (commandLine == nullptr || *commandLine == L'\0') return false;
  // CreateProcessW may write into its command line: give it a copy.
  std::vector<wchar_t> copy(commandLine, commandLine + wcslen(commandLine));
  copy.resize(copy.size() + 2, L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.wShowWindow = show;  // not counted without STARTF_USESHOWWINDOW, as asked
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, copy.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}
