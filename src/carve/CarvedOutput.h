// What becomes of carved files: the names they are shown and written under
// (Carved\<type>\f<first cluster>.<ext>), the types a user asks for, and the
// byte-exact copy into a destination folder, written as recovery writes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "carve/FreeSpace.h"
#include "platform/Files.h"

namespace carve {

// "Carved\JPEG\" for people and rows; the folders below a destination are
// the same two.
std::u16string CarvedFolder(const FileType& type);
// "f12345.jpg"
std::u16string CarvedName(const CarvedFile& file);
// "Carved" or "Carved, damaged"
const char* CarvedState(const Carving& carving);

// Which files a list of type words asks for: a family's usual extension or
// name ("jpg", "JPEG", "tiff") asks for the whole family; another extension
// a family gives its files ("docx", "cr2") for those files only.
struct TypeChoice {
  std::uint32_t families = 0;            // what is parsed: bit (1 << Family)
  std::uint32_t wholeFamilies = 0;       // what is kept whatever its extension
  std::vector<std::string> extensions;   // what is kept of the other families
  bool Keeps(const CarvedFile& file) const;
};
// False, with the word not known in `*unknown`, when a word names no type.
// No words ask for every type.
bool ChooseTypes(const std::vector<std::string>& words, TypeChoice* choice, std::string* unknown);

// Writes carved files below a destination, each under a temporary name and
// published whole; links are never followed (POSIX). Files there before are
// kept (code::FileExists) unless `replace`.
class CarvedWriter {
 public:
  CarvedWriter(const NativePath& destination, bool replace);
  // Copies `file` from `volume`; `*written` receives its path. A copy that
  // fails leaves nothing behind.
  DWORD Write(const VolumeSpan& volume, const CarvedFile& file, NativePath* written);

 private:
  DWORD FolderFor(const FileType& type, const OutputFolder** folder);

  NativePath destination;
  bool replace;
  std::unique_ptr<OutputFolder> root, carved;
  std::map<const FileType*, std::unique_ptr<OutputFolder>> folders;
};

}  // namespace carve
