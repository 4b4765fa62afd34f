#include "recover/Recovery.h"

#include <algorithm>
#include <memory>

#include "platform/Files.h"

namespace {

bool IsReservedDeviceName(const std::u16string& name) {
  // The part before the first dot decides: "con.txt" is CON as well.
  std::u16string stem = name.substr(0, name.find(u'.'));
  while (!stem.empty() && stem.back() == u' ') stem.pop_back();
  for (char16_t& c : stem) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  static const char16_t* const plain[] = {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"};
  for (const char16_t* reserved : plain) {
    if (stem == reserved) return true;
  }
  if (stem.size() == 4 && (stem.compare(0, 3, u"COM") == 0 || stem.compare(0, 3, u"LPT") == 0)) {
    const char16_t digit = stem[3];
    return (digit >= u'0' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' || digit == u'\u00B3';
  }
  return false;
}

class FileSink : public ContentSink {
 public:
  explicit FileSink(OutputFile& out) : file(out) {}
  DWORD Write(const std::uint8_t* bytes, std::uint32_t count) override {
    written += count;
    return file.Write(bytes, count);
  }
  OutputFile& file;
  std::uint64_t written = 0;
};

std::u16string Join(const std::u16string& folder, const std::u16string& name) {
  if (!folder.empty() && (folder.back() == PathSeparator || folder.back() == u'/')) return folder + name;
  return folder + PathSeparator + name;
}

}  // namespace

std::u16string SafeName(const std::u16string& name) {
  std::u16string safe = name.substr(0, name.find(u'\0'));
  for (char16_t& c : safe) {
    if (c < 0x20 || c == 0x7F || std::u16string_view(u"\\/:*?\"<>|").find(c) != std::u16string_view::npos) c = u'_';
  }
  if (IsReservedDeviceName(safe)) safe.insert(0, u"_");
  // Cut before the trailing fix-up: a cut may end the name in a dot or blank.
  safe = FitComponent(safe);
  for (std::size_t i = safe.size(); i > 0 && (safe[i - 1] == u'.' || safe[i - 1] == u' '); --i) safe[i - 1] = u'_';
  if (safe.empty()) safe = u"_";
  return safe;
}

std::vector<std::u16string> FoldersOfPath(const std::u16string& pathCell) {
  std::vector<std::u16string> folders;
  const std::size_t first = pathCell.find(u'\\');
  if (first == std::u16string::npos) return folders;
  std::size_t start = first + 1;
  while (start < pathCell.size()) {
    std::size_t end = pathCell.find(u'\\', start);
    if (end == std::u16string::npos) end = pathCell.size();
    if (end > start) folders.push_back(SafeName(pathCell.substr(start, end - start)));
    start = end + 1;
  }
  return folders;
}

RecoveryTarget TargetFor(const std::u16string& destination, const std::u16string& pathCell,
                         const std::u16string& name) {
  RecoveryTarget target;
  std::u16string folder = destination;
  for (const std::u16string& part : FoldersOfPath(pathCell)) {
    folder = Join(folder, part);
    target.folders.push_back(folder);
  }
  target.file = Join(folder, SafeName(name));
  return target;
}

void CreateDirectoryChain(const RecoveryTarget& target) {
  for (const std::u16string& folder : target.folders) MakeDirectory(folder);
}

DWORD RecoverRecord(CNTFSDrive& drive, std::uint32_t recordIndex, const std::u16string& destination,
                    const std::u16string& pathCell, bool replace, RecoveredFile* result) {
  *result = RecoveredFile{};
  MFTFileInfo info;
  DWORD status = drive.ReadRecordSummary(recordIndex, false, &info);
  if (status != code::Success) return status;
  // A record in use again is no longer the deleted file the row showed.
  if (!info.deleted) return code::FileNotFound;
  const RecoveryTarget target = TargetFor(destination, pathCell, std::u16string(info.name));
  result->path = target.file;
  result->step = RecoveryStep::CreatingFile;
  CreateDirectoryChain(target);
  if (!replace && PathExists(target.file)) {
    result->existed = true;
    return code::FileExists;
  }
  std::unique_ptr<OutputFile> out;
  status = OutputFile::Create(target.file, replace, info.fileAttributes, &out);
  if (status != code::Success) return status;
  FileSink sink(*out);
  result->step = RecoveryStep::Copying;
  std::uint64_t size = 0;
  status = drive.ReadRecordContent(recordIndex, &sink, &size);
  const DWORD closed = out->Close();
  result->bytes = sink.written;
  return status != code::Success ? status : closed;
}
