// Writing recovered files: folders, new files with recorded attributes, and
// writes whose byte count is checked.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Types.h"

#ifdef _WIN32
constexpr char16_t PathSeparator = u'\\';
#else
constexpr char16_t PathSeparator = u'/';
#endif

// A path as the system takes it: UTF-16 on Windows; on POSIX the bytes as
// they are, so that a folder whose name is not UTF-8 is still that folder.
#ifdef _WIN32
using NativePath = std::u16string;
#else
using NativePath = std::string;
#endif

// A path from the command line (UTF-8 from ArgumentsUtf8; on POSIX the
// argument's own bytes, kept as they are).
NativePath PathFromArgument(const std::string& argument);
// A UTF-16 path or name in the system's form (POSIX: UTF-8).
NativePath NativeFromUtf16(const std::u16string& path);
// The UTF-16 form of a path (POSIX: bytes that are not UTF-8 become U+FFFD).
std::u16string Utf16FromNative(const NativePath& path);
// A path as text for messages: UTF-8, except on POSIX where the bytes are
// given as they are (they may not be UTF-8).
std::string PathText(const NativePath& path);
// `folder`, a separator unless it ends in one, and `name`.
NativePath JoinPath(const NativePath& folder, const std::u16string& name);
// The form in which the file system tells names apart: upper case on
// Windows (NTFS and FAT compare names without case), the path itself on
// POSIX.
NativePath ComparablePath(const NativePath& path);

// Attributes a recovered file may be created with: read-only, hidden, system,
// archive, not content-indexed. Compression, encryption, sparse and reparse
// flags describe the old file's storage and are never asked for.
constexpr std::uint32_t RecoverableAttributes = 0x1 | 0x2 | 0x4 | 0x20 | 0x2000;
constexpr std::uint32_t AttributeReadOnly = 0x1;

class OutputFile {
 public:
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates `path` with `attributes` (masked with RecoverableAttributes).
  // An existing file is refused with 80 unless `replace`; replacing makes a
  // new file whatever the old one's attributes were (a read-only, hidden or
  // system file included) and without needing write access to it. Never
  // follows a link planted at the path (POSIX), and replaces only a plain
  // file: a folder or anything else there fails.
  static DWORD Create(const NativePath& path, bool replace, std::uint32_t attributes,
                      std::unique_ptr<OutputFile>* file);
  // Writes all `count` bytes or fails: a short write is never success.
  DWORD Write(const std::uint8_t* bytes, std::uint32_t count);
  // Closes the file and reports a failure to flush it.
  DWORD Close();

 private:
  OutputFile() = default;
#ifdef _WIN32
  void* handle = nullptr;
#else
  int fd = -1;
#endif
};

// Creates one folder; 0 also when a folder is there already.
DWORD MakeDirectory(const NativePath& path);
// True when anything (file, folder, link) is at `path`.
bool PathExists(const NativePath& path);
// What the file at `path` is, whatever name reached it (POSIX: device and
// inode; Windows: volume serial and file index): two names of one file have
// the same identity. False when nothing is there or the system cannot say.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator<(const FileIdentity& other) const {
    return volume != other.volume ? volume < other.volume : index < other.index;
  }
};
bool IdentityOf(const NativePath& path, FileIdentity* identity);
// The absolute form of `path`. (On Windows the functions above switch to the
// long "\\?\" form themselves for absolute paths that need it.)
NativePath FullPath(const NativePath& path);
// The longest name one folder entry may have, fitted by cutting the stem:
// 255 UTF-8 bytes on POSIX, 255 UTF-16 units on Windows.
std::u16string FitComponent(const std::u16string& name);
