#include "carve/CarvedOutput.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/Text.h"

namespace carve {

namespace {

constexpr char16_t CarvedRoot[] = u"Carved";

// Extensions a family gives some of its files, and other names of a family.
struct TypeWord {
  const char* word;
  Family family;
  bool whole;  // the word asks for the whole family
};
const TypeWord TypeWords[] = {
    {"jpeg", Family::Jpeg, true},     {"tiff", Family::Tiff, true},      {"gzip", Family::Gzip, true},
    {"cr2", Family::Tiff, false},     {"nef", Family::Tiff, false},      {"arw", Family::Tiff, false},
    {"dng", Family::Tiff, false},     {"docx", Family::Zip, false},      {"xlsx", Family::Zip, false},
    {"pptx", Family::Zip, false},     {"odt", Family::Zip, false},       {"ods", Family::Zip, false},
    {"odp", Family::Zip, false},      {"odg", Family::Zip, false},       {"epub", Family::Zip, false},
    {"jar", Family::Zip, false},      {"apk", Family::Zip, false},       {"mov", Family::IsoMedia, false},
    {"m4a", Family::IsoMedia, false}, {"m4b", Family::IsoMedia, false},  {"m4v", Family::IsoMedia, false},
    {"3gp", Family::IsoMedia, false}, {"3g2", Family::IsoMedia, false},  {"heic", Family::IsoMedia, false},
    {"heif", Family::IsoMedia, false}, {"avif", Family::IsoMedia, false}, {"cr3", Family::IsoMedia, false},
    {"f4v", Family::IsoMedia, false}, {"wav", Family::Riff, false},      {"avi", Family::Riff, false},
    {"webp", Family::Riff, false},    {"mid", Family::Riff, false},      {"ani", Family::Riff, false},
    {"dll", Family::Pe, false},       {"sys", Family::Pe, false},        {"mp2", Family::Mp3, false},
};

std::string Lower(const std::string& text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
  return lower;
}

std::uint32_t Bit(Family family) { return std::uint32_t{1} << static_cast<unsigned>(family); }

}  // namespace

std::u16string CarvedFolder(const FileType& type) {
  return std::u16string(CarvedRoot) + u"\\" + Utf16FromUtf8(type.name) + u"\\";
}

std::u16string CarvedName(const CarvedFile& file) {
  return Utf16FromUtf8("f" + std::to_string(file.firstCluster) + "." + file.carving.extension);
}

const char* CarvedState(const Carving& carving) {
  return carving.verdict == Verdict::Damaged ? "Carved, damaged" : "Carved";
}

bool TypeChoice::Keeps(const CarvedFile& file) const {
  if ((wholeFamilies & Bit(file.type->family)) != 0) return true;
  return std::find(extensions.begin(), extensions.end(), file.carving.extension) != extensions.end();
}

bool ChooseTypes(const std::vector<std::string>& words, TypeChoice* choice, std::string* unknown) {
  *choice = TypeChoice();
  if (words.empty()) {
    choice->families = choice->wholeFamilies = UINT32_MAX;
    return true;
  }
  std::size_t count = 0;
  const FileType* types = Types(&count);
  for (const std::string& word : words) {
    const std::string lower = Lower(word);
    bool known = false;
    for (std::size_t t = 0; t < count; ++t) {
      if (lower == types[t].extension || lower == Lower(types[t].name)) {
        choice->families |= Bit(types[t].family);
        choice->wholeFamilies |= Bit(types[t].family);
        known = true;
      }
    }
    for (const TypeWord& entry : TypeWords) {
      if (lower != entry.word) continue;
      choice->families |= Bit(entry.family);
      if (entry.whole) choice->wholeFamilies |= Bit(entry.family);
      else choice->extensions.push_back(lower);
      known = true;
    }
    if (!known) {
      *unknown = word;
      return false;
    }
  }
  return true;
}

CarvedWriter::CarvedWriter(const NativePath& folder, bool replaceExisting)
    : destination(folder), replace(replaceExisting) {}

DWORD CarvedWriter::FolderFor(const FileType& type, const OutputFolder** folder) {
  DWORD result = code::Success;
  if (root == nullptr && (result = OutputFolder::Open(destination, &root)) != code::Success) return result;
  if (carved == nullptr && (result = root->Enter(CarvedRoot, &carved)) != code::Success) return result;
  std::unique_ptr<OutputFolder>& held = folders[&type];
  if (held == nullptr && (result = carved->Enter(Utf16FromUtf8(type.name), &held)) != code::Success) return result;
  *folder = held.get();
  return code::Success;
}

DWORD CarvedWriter::Write(const VolumeSpan& volume, const CarvedFile& file, NativePath* written) {
  const OutputFolder* folder = nullptr;
  DWORD result = FolderFor(*file.type, &folder);
  if (result != code::Success) return result;
  const std::u16string name = CarvedName(file);
  *written = JoinPath(folder->Path(), name);
  if (!replace && folder->Has(name)) return code::FileExists;
  std::unique_ptr<OutputFile> output;
  result = folder->NewFile(0, &output);
  if (result != code::Success) return result;
  result = ReadCarved(volume, file, [&output](const std::uint8_t* bytes, std::uint32_t count) {
    return output->Write(bytes, count);
  });
  if (result != code::Success) return result;  // the temporary file goes with `output`
  return output->Publish(name, replace);
}

}  // namespace carve
