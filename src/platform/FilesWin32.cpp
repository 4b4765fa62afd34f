#include <windows.h>

#include <new>

#include "platform/Files.h"
#include "platform/Text.h"

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

DWORD OutputFile::Create(const NativePath& path, bool replace, std::uint32_t attributes,
                         std::unique_ptr<OutputFile>* file) {
  const DWORD flags = attributes & RecoverableAttributes;
  const std::wstring native = Native(path);
  if (replace) {
    // CREATE_ALWAYS refuses a read-only file, and a hidden or system one
    // unless given the same attributes: cleared, the old file is replaced
    // and the new one has the attributes it is created with.
    constexpr DWORD Guarded = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    const DWORD existing = GetFileAttributesW(native.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) == 0 && (existing & Guarded) != 0 &&
        !SetFileAttributesW(native.c_str(), FILE_ATTRIBUTE_NORMAL)) {
      return GetLastError();
    }
  }
  HANDLE opened = CreateFileW(native.c_str(), GENERIC_WRITE, 0, nullptr, replace ? CREATE_ALWAYS : CREATE_NEW,
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

DWORD MakeDirectory(const NativePath& path) {
  const std::wstring native = Native(path);
  if (CreateDirectoryW(native.c_str(), nullptr)) return ERROR_SUCCESS;
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS) {
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return ERROR_SUCCESS;
  }
  return error;
}

bool PathExists(const NativePath& path) {
  return GetFileAttributesW(Native(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IdentityOf(const NativePath& path, FileIdentity* identity) {
  // Backup semantics open folders too; no access to the content is asked.
  HANDLE opened = CreateFileW(Native(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information;
  const bool known = GetFileInformationByHandle(opened, &information) != 0;
  CloseHandle(opened);
  if (!known) return false;
  identity->volume = information.dwVolumeSerialNumber;
  identity->index = (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
  return true;
}

NativePath FullPath(const NativePath& path) {
  const std::wstring wide(path.begin(), path.end());
  const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD got = GetFullPathNameW(wide.c_str(), needed, &full[0], nullptr);
  if (got == 0 || got >= needed) return path;
  full.resize(got);
  return std::u16string(full.begin(), full.end());
}

NativePath PathFromArgument(const std::string& argument) { return Utf16FromUtf8(argument); }

NativePath NativeFromUtf16(const std::u16string& path) { return path; }

std::u16string Utf16FromNative(const NativePath& path) { return path; }

std::string PathText(const NativePath& path) { return Utf8FromUtf16(path); }

NativePath JoinPath(const NativePath& folder, const std::u16string& name) {
  if (!folder.empty() && (folder.back() == u'\\' || folder.back() == u'/')) return folder + name;
  return folder + u'\\' + name;
}

NativePath ComparablePath(const NativePath& path) {
  // The invariant upper case: what NTFS's own case table gives for the
  // names people use, without a locale's special cases.
  if (path.empty() || path.size() > 0x7FFFFFFF) return path;
  std::wstring upper(path.size(), L'\0');
  const int length = static_cast<int>(path.size());
  if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, reinterpret_cast<const wchar_t*>(path.data()), length, &upper[0],
                   length) != length) {
    return path;
  }
  return std::u16string(upper.begin(), upper.end());
}

std::u16string FitComponent(const std::u16string& name) {
  return name.size() <= MaxComponentUnits ? name : name.substr(0, MaxComponentUnits);
}
