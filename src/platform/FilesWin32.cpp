#include <windows.h>

#include <atomic>
#include <cwchar>
#include <new>

#include "platform/Files.h"
#include "platform/Text.h"

namespace {

constexpr std::size_t MaxComponentUnits = 255;
constexpr std::size_t ShortPathLimit = 248;  // CreateDirectoryW's limit without the long form
constexpr unsigned MaxTemporaryNames = 1000;  // tries before giving up on a folder full of our names

std::atomic<unsigned long> temporaryCounter{0};

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

OutputFolder::~OutputFolder() = default;

DWORD OutputFolder::Open(const NativePath& path, std::unique_ptr<OutputFolder>* folder) {
  const DWORD attributes = GetFileAttributesW(Native(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_DIRECTORY;
  std::unique_ptr<OutputFolder> result(new (std::nothrow) OutputFolder);
  if (!result) return ERROR_NOT_ENOUGH_MEMORY;
  result->path = path;
  *folder = std::move(result);
  return ERROR_SUCCESS;
}

DWORD OutputFolder::Enter(const std::u16string& name, std::unique_ptr<OutputFolder>* folder) const {
  std::unique_ptr<OutputFolder> result(new (std::nothrow) OutputFolder);
  if (!result) return ERROR_NOT_ENOUGH_MEMORY;
  result->path = JoinPath(path, name);
  const DWORD made = MakeDirectory(result->path);
  if (made != ERROR_SUCCESS) return made;
  *folder = std::move(result);
  return ERROR_SUCCESS;
}

bool OutputFolder::Has(const std::u16string& name) const {
  return GetFileAttributesW(Native(JoinPath(path, name)).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool OutputFolder::IdentityOf(const std::u16string& name, FileIdentity* identity) const {
  // Backup semantics open folders too; no access to the content is asked.
  HANDLE opened = CreateFileW(Native(JoinPath(path, name)).c_str(), FILE_READ_ATTRIBUTES,
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

DWORD OutputFolder::NewFile(std::uint32_t attributes, std::unique_ptr<OutputFile>* file) const {
  std::unique_ptr<OutputFile> result(new (std::nothrow) OutputFile);
  if (!result) return ERROR_NOT_ENOUGH_MEMORY;
  result->folder = path;
  result->attributes = attributes & RecoverableAttributes;
  for (unsigned attempt = 0; attempt < MaxTemporaryNames; ++attempt) {
    wchar_t name[64];
    _snwprintf(name, sizeof name / sizeof name[0], L"~pelmora-%lu-%lu.tmp", GetCurrentProcessId(),
               static_cast<unsigned long>(temporaryCounter++));
    name[sizeof name / sizeof name[0] - 1] = L'\0';
    const std::wstring wide(name);
    const NativePath temporary = JoinPath(path, std::u16string(wide.begin(), wide.end()));
    // Plain until whole: the attributes come with the name.
    HANDLE opened = CreateFileW(Native(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened != INVALID_HANDLE_VALUE) {
      result->handle = opened;
      result->temporary = temporary;
      *file = std::move(result);
      return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return error;
  }
  return ERROR_FILE_EXISTS;
}

OutputFile::~OutputFile() {
  if (!published) Discard();
}

void OutputFile::Discard() {
  if (handle != nullptr) CloseHandle(handle);
  handle = nullptr;
  if (temporary.empty()) return;
  const std::wstring native = Native(temporary);
  // DeleteFileW refuses a read-only file.
  SetFileAttributesW(native.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(native.c_str());
  temporary.clear();
}

DWORD OutputFile::Write(const std::uint8_t* bytes, std::uint32_t count) {
  DWORD written = 0;
  if (!WriteFile(handle, bytes, count, &written, nullptr)) return GetLastError();
  return written == count ? ERROR_SUCCESS : ERROR_DISK_FULL;
}

namespace {

// Closes `*handle` unless it is closed already, then gives the file at
// `temporary` its `attributes` and the name `target`.
DWORD PublishAs(void** handle, const NativePath& temporary, DWORD attributes, const NativePath& target,
                bool replace) {
  if (*handle != nullptr) {
    HANDLE closing = *handle;
    *handle = nullptr;
    if (!CloseHandle(closing)) return GetLastError();
  }
  const std::wstring from = Native(temporary), to = Native(target);
  // A read-only file may still be renamed: the attributes go first, and the
  // file appears with them.
  if (attributes != 0 && !SetFileAttributesW(from.c_str(), attributes)) return GetLastError();
  if (!replace) {
    // Without MOVEFILE_REPLACE_EXISTING nothing at the name is replaced,
    // however late it came.
    if (MoveFileExW(from.c_str(), to.c_str(), 0)) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : error;
  }
  // The old file's read-only, hidden and system attributes are cleared first
  // (a read-only file refuses to be replaced) and given back if the move
  // fails.
  constexpr DWORD Guarded = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const DWORD existing = GetFileAttributesW(to.c_str());
  if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) != 0) return ERROR_ACCESS_DENIED;
  const bool cleared = existing != INVALID_FILE_ATTRIBUTES && (existing & Guarded) != 0;
  if (cleared && !SetFileAttributesW(to.c_str(), existing & ~Guarded)) return GetLastError();
  if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return ERROR_SUCCESS;
  const DWORD error = GetLastError();
  if (cleared) SetFileAttributesW(to.c_str(), existing);
  return error;
}

}  // namespace

DWORD OutputFile::Publish(const std::u16string& name, bool replace) {
  const DWORD result = PublishAs(&handle, temporary, attributes, JoinPath(folder, name), replace);
  published = result == ERROR_SUCCESS;
  return result;
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
