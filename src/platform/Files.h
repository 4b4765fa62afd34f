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

// What a file is, whatever name reached it (POSIX: device and inode;
// Windows: volume serial and file index): two names of one file have the
// same identity.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator<(const FileIdentity& other) const {
    return volume != other.volume ? volume < other.volume : index < other.index;
  }
};

class OutputFile;

// A folder of a recovery's destination, held open so that whatever is made
// below it stays there. POSIX: an open descriptor, and every folder and file
// below it is reached from it without following a link; Windows: its path.
class OutputFolder {
 public:
  ~OutputFolder();
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  // Opens the folder at `path`, which must exist (a link the user gave as
  // the destination is followed).
  static DWORD Open(const NativePath& path, std::unique_ptr<OutputFolder>* folder);
  // Makes the folder `name` in this one unless it is there, and opens it.
  // code::StoppedOnSymlink when a link stands in its place (POSIX), code::AlreadyExists when something else
  // that is not a folder does.
  DWORD Enter(const std::u16string& name, std::unique_ptr<OutputFolder>* folder) const;
  // True when anything (file, folder, link) is at `name` in this folder.
  bool Has(const std::u16string& name) const;
  // The identity of what is at `name`; false when nothing is there or the
  // system cannot say. A link is not followed.
  bool IdentityOf(const std::u16string& name, FileIdentity* identity) const;
  // Creates an empty file under a temporary name of its own in this folder;
  // it gets `attributes` (masked with RecoverableAttributes) and its real
  // name when published, and is removed if it never is.
  DWORD NewFile(std::uint32_t attributes, std::unique_ptr<OutputFile>* file) const;
  const NativePath& Path() const { return path; }

 private:
  OutputFolder() = default;
  NativePath path;
#ifndef _WIN32
  int fd = -1;
#endif
};

// A new file being written: nobody sees it under a real name until it is
// whole.
class OutputFile {
 public:
  // Removes the file unless it was published.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Writes all `count` bytes or fails: a short write is never success.
  DWORD Write(const std::uint8_t* bytes, std::uint32_t count);
  // Closes the file, gives it its attributes and then the name `name` in its
  // folder, in one step. Something already at `name` is kept (code::FileExists) unless
  // `replace`; replacing takes the old file's place whatever its read-only,
  // hidden or system attributes, never writes to it, and replaces only a
  // plain file: a link there fails with code::StoppedOnSymlink (POSIX), a folder with code::AccessDenied.
  // After a failure the file is still unnamed and may be published again.
  DWORD Publish(const std::u16string& name, bool replace);

 private:
  friend class OutputFolder;
  OutputFile() = default;
  void Discard();
  NativePath folder;        // Windows: the folder's path
  NativePath temporary;     // the name it is written under
  bool published = false;
#ifdef _WIN32
  std::uint32_t attributes = 0;  // set on the file before it is named
  void* handle = nullptr;
#else
  int folderFd = -1;        // its own duplicate of the folder's descriptor
  int fd = -1;
#endif
};

// Creates one folder; 0 also when a folder is there already.
DWORD MakeDirectory(const NativePath& path);
// The absolute form of `path`. (On Windows the functions above switch to the
// long "\\?\" form themselves for absolute paths that need it.)
NativePath FullPath(const NativePath& path);
// The longest name one folder entry may have, fitted by cutting the stem:
// 255 UTF-8 bytes on POSIX, 255 UTF-16 units on Windows.
std::u16string FitComponent(const std::u16string& name);
