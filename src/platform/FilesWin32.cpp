#include <windows.h>

#include <new>

#include "platform/Files.h"

namespace {

constexpr std::size_t MaxComponentUnits = 255;
constexpr std::size_t ShortPathLimit = 248;  // CreateDirectoryW's limit without the long form

// The path as the system should get it: absolute paths that are too long for
// the plain form take the "\\?\" form (which no longer parses "." or "/").
std::wstring Native(const std::u16string& path) {
  std::wstring wide(path.begin(), path.end());
  if (wide.size() < ShortPathLimit || wide.rfind(L"\\\\?\\", 0) == 0) return wide;
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  if (wide.size() > 2 && wide[1] == L':' && wide[2] == L'\\') return L"\\\\?\\" + wide;
  if (wide.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + wide.substr(2);
  return wide;
}

}  // namespace

OutputFile::~OutputFile() {
  if (handle != nullptr) CloseHandle(handle);
}

DWORD OutputFile::Create(const std::u16string& path, bool replace, std::uint32_t attributes,
                         std::unique_ptr<OutputFile>* file) {
  const DWORD flags = attributes & RecoverableAttributes;
  HANDLE opened = CreateFileW(Native(path).c_str(), GENERIC_WRITE, 0, nullptr, replace ? CREATE_ALWAYS : CREATE_NEW,
                              flags != 0 ? flags : FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return GetLastError();
  std::unique_ptr<OutputFile> result(new (std::nothrow) OutputFile);
  if (!result) {
    CloseHandle(opened);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  result->handle = opened;
  *file = std::move(result);
  return ERROR_SUCCESS;
}

DWORD OutputFile::Write(const std::uint8_t* bytes, std::uint32_t count) {
  DWORD written = 0;
  if (!WriteFile(handle, bytes, count, &written, nullptr)) return GetLastError();
  return written == count ? ERROR_SUCCESS : ERROR_DISK_FULL;
}

DWORD OutputFile::Close() {
  HANDLE closing = handle;
  handle = nullptr;
  return CloseHandle(closing) ? ERROR_SUCCESS : GetLastError();
}

DWORD MakeDirectory(const std::u16string& path) {
  const std::wstring native = Native(path);
  if (CreateDirectoryW(native.c_str(), nullptr)) return ERROR_SUCCESS;
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS) {
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return ERROR_SUCCESS;
  }
  return error;
}

bool PathExists(const std::u16string& path) {
  return GetFileAttributesW(Native(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::u16string FullPath(const std::u16string& path) {
  const std::wstring wide(path.begin(), path.end());
  const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD got = GetFullPathNameW(wide.c_str(), needed, &full[0], nullptr);
  if (got == 0 || got >= needed) return path;
  full.resize(got);
  return std::u16string(full.begin(), full.end());
}

std::u16string FitComponent(const std::u16string& name) {
  return name.size() <= MaxComponentUnits ? name : name.substr(0, MaxComponentUnits);
}
