// Writing recovered files: folders, new files with recorded attributes, and
// writes whose byte count is checked. Paths are UTF-16; POSIX converts them.
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

  // Creates `path`: replaced when `replace`, else refused with 80 when it
  // exists. Never follows a link planted at the path (POSIX). The attributes
  // are masked with RecoverableAttributes.
  static DWORD Create(const std::u16string& path, bool replace, std::uint32_t attributes,
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
DWORD MakeDirectory(const std::u16string& path);
// True when anything (file, folder, link) is at `path`.
bool PathExists(const std::u16string& path);
// The absolute form of `path`. (On Windows the functions above switch to the
// long "\\?\" form themselves for absolute paths that need it.)
std::u16string FullPath(const std::u16string& path);
// The longest name one folder entry may have, fitted by cutting the stem:
// 255 UTF-8 bytes on POSIX, 255 UTF-16 units on Windows.
std::u16string FitComponent(const std::u16string& name);
