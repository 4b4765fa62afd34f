#include "recover/Recovery.h"

#include <algorithm>
#include <memory>
#include <new>

#include "ntfs/NtfsLayout.h"
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

// Writes each chunk and tells the observer; its "stop" ends the read with code::Cancelled.
class FileSink : public ContentSink {
 public:
  FileSink(OutputFile& out, RecoveryObserver* observer, std::uint64_t total)
      : file(out), observer(observer), total(total) {}
  DWORD Write(const std::uint8_t* bytes, std::uint32_t count) override {
    const DWORD result = file.Write(bytes, count);
    if (result != code::Success) return result;
    written += count;
    return Continue() ? code::Success : code::Cancelled;
  }
  bool Continue() { return observer == nullptr || observer->Progress(written, total); }
  OutputFile& file;
  RecoveryObserver* observer;
  std::uint64_t total;
  std::uint64_t written = 0;
};

// Names that appear at a file's place while it is copied, one after another,
// before a batch that renames gives up on that file.
constexpr unsigned MaxLateClashes = 100;

// Splits a safe name into its stem and an extension of at most 16 units
// that is not the whole name (".profile" has none).
void SplitExtension(const std::u16string& name, std::u16string* stem, std::u16string* extension) {
  const std::size_t dot = name.rfind(u'.');
  if (dot == std::u16string::npos || dot == 0 || name.size() - dot > 16) {
    *stem = name;
    extension->clear();
  } else {
    *stem = name.substr(0, dot);
    *extension = name.substr(dot);
  }
}

std::u16string Decimal(std::uint64_t value) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return digits;
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

std::u16string ClashName(const std::u16string& safeName, std::uint32_t recordIndex, unsigned attempt) {
  std::u16string stem, extension;
  SplitExtension(safeName, &stem, &extension);
  std::u16string tag = u" (record " + Decimal(recordIndex) + u")";
  if (attempt > 1) tag += u" (" + Decimal(attempt) + u")";
  // Keep the longest start of the stem with which the whole fits (the tag
  // and extension alone always do), never half of a surrogate pair.
  auto fits = [&](std::size_t kept) {
    const std::u16string name = stem.substr(0, kept) + tag + extension;
    return FitComponent(name).size() == name.size();
  };
  std::size_t kept = stem.size();
  if (!fits(kept)) {
    std::size_t fitting = 0;
    while (kept - fitting > 1) {
      const std::size_t middle = fitting + (kept - fitting) / 2;
      (fits(middle) ? fitting : kept) = middle;
    }
    kept = fitting;
    if (kept > 0 && stem[kept - 1] >= 0xD800 && stem[kept - 1] <= 0xDBFF && stem[kept] >= 0xDC00 &&
        stem[kept] <= 0xDFFF) {
      --kept;
    }
  }
  return stem.substr(0, kept) + tag + extension;
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

RecoveryTarget TargetFor(const NativePath& destination, const std::u16string& pathCell, const std::u16string& name) {
  RecoveryTarget target;
  NativePath folder = destination;
  for (const std::u16string& part : FoldersOfPath(pathCell)) {
    folder = JoinPath(folder, part);
    target.folders.push_back(folder);
  }
  target.file = JoinPath(folder, SafeName(name));
  return target;
}

RecoveryBatch::RecoveryBatch(const NativePath& destination, ExistingFiles existing)
    : destination(destination), existing(existing) {}

std::u16string RecoveryBatch::Claim(const OutputFolder& folder, const std::u16string& name,
                                    std::uint32_t recordIndex) {
  const std::u16string safe = SafeName(name);
  std::u16string candidate = safe;
  // Each attempt gives a name not tried before, and every name given out,
  // written or found can stop at most one: the loop ends.
  for (unsigned attempt = 1;; ++attempt) {
    const NativePath key = ComparablePath(JoinPath(folder.Path(), candidate));
    // A file system that takes two names for one file (case, normalisation)
    // shows a name of this batch as an existing file: that too is a clash.
    FileIdentity identity;
    const bool ours = !written.empty() && folder.IdentityOf(candidate, &identity) && written.count(identity) != 0;
    if (taken.count(key) == 0 && !ours && (existing != ExistingFiles::Rename || !folder.Has(candidate))) {
      taken.insert(key);
      return candidate;
    }
    candidate = ClashName(safe, recordIndex, attempt);
  }
}

// Gives the whole file its name. With Rename a name taken meanwhile sends it
// to the next free one; `*name` is the name it got.
DWORD RecoveryBatch::Publish(OutputFile& file, const OutputFolder& folder, const std::u16string& recordName,
                             std::uint32_t recordIndex, std::u16string* name, RecoveredFile* result) {
  for (unsigned tries = 0;; ++tries) {
    const DWORD status = file.Publish(*name, existing == ExistingFiles::Replace);
    if (status != code::FileExists || existing != ExistingFiles::Rename || tries >= MaxLateClashes) {
      result->existed = status == code::FileExists && existing == ExistingFiles::Skip;
      return status;
    }
    const std::u16string next = Claim(folder, recordName, recordIndex);
    taken.erase(ComparablePath(JoinPath(folder.Path(), *name)));
    *name = next;
    result->file = JoinPath(folder.Path(), *name);
    result->path = Utf16FromNative(result->file);
  }
}

DWORD RecoveryBatch::Recover(CNTFSDrive& drive, const RecordIdentity& identity, const std::u16string& pathCell,
                             RecoveredFile* result, RecoveryObserver* observer) {
  *result = RecoveredFile{};
  try {
    return RecoverFile(drive, identity, &identity, pathCell, result, observer);
  } catch (const std::bad_alloc&) {
    // Whatever was being written is removed with its OutputFile.
    return code::NotEnoughMemory;
  }
}

DWORD RecoveryBatch::Recover(CNTFSDrive& drive, std::uint32_t recordIndex, const std::u16string& pathCell,
                             RecoveredFile* result, RecoveryObserver* observer) {
  *result = RecoveredFile{};
  try {
    return RecoverFile(drive, RecordIdentity{recordIndex, 0, 0}, nullptr, pathCell, result, observer);
  } catch (const std::bad_alloc&) {
    return code::NotEnoughMemory;
  }
}

DWORD RecoveryBatch::RecoverFile(CNTFSDrive& drive, const RecordIdentity& identity, const RecordIdentity* checked,
                                 const std::u16string& pathCell, RecoveredFile* result, RecoveryObserver* observer) {
  const std::uint32_t recordIndex = identity.record;
  MFTFileInfo info;
  DWORD status = checked != nullptr ? drive.ReadRecordSummary(*checked, &info)
                                    : drive.ReadRecordSummary(recordIndex, false, &info);
  if (status != code::Success) return status;
  // A record in use again is no longer the deleted file the row showed (a
  // found volume's rows show files that were in use too).
  if (!info.deleted && !identity.inUse) return code::FileNotFound;
  // Encrypted content is ciphertext, and a placeholder's bytes are not
  // here: refused before anything is written.
  if ((info.fileAttributes & ntfs::FileAttributeEncrypted) != 0) return code::FileEncrypted;
  if (info.contentElsewhere) return code::FileOffline;
  const std::u16string recordName(info.name);
  result->file = TargetFor(destination, pathCell, recordName).file;
  result->path = Utf16FromNative(result->file);
  result->step = RecoveryStep::CreatingFile;
  if (!root) {
    status = OutputFolder::Open(destination, &root);
    if (status != code::Success) return status;
  }
  // Each folder is entered from the one above it, never through a link.
  std::unique_ptr<OutputFolder> below;
  const OutputFolder* folder = root.get();
  for (const std::u16string& part : FoldersOfPath(pathCell)) {
    std::unique_ptr<OutputFolder> next;
    status = folder->Enter(part, &next);
    if (status != code::Success) return status;
    // A file named as a folder of this batch clashes with it as well.
    taken.insert(ComparablePath(next->Path()));
    below = std::move(next);
    folder = below.get();
  }
  std::u16string name = Claim(*folder, recordName, recordIndex);
  result->file = JoinPath(folder->Path(), name);
  result->path = Utf16FromNative(result->file);
  if (existing == ExistingFiles::Skip && folder->Has(name)) {
    result->existed = true;
    return code::FileExists;
  }
  std::unique_ptr<OutputFile> out;
  status = folder->NewFile(info.fileAttributes, &out);
  if (status == code::Success) {
    FileSink sink(*out, observer, info.dataSize);
    result->step = RecoveryStep::Copying;
    std::uint64_t size = 0;
    ContentReport report;
    if (!sink.Continue()) {
      status = code::Cancelled;
    } else {
      status = checked != nullptr ? drive.ReadRecordContent(*checked, &sink, &size, &report)
                                  : drive.ReadRecordContent(recordIndex, &sink, &size, &report);
    }
    result->bytes = sink.written;
    result->missingBytes = report.missingBytes;
    result->unreadableBytes = report.unreadableBytes;
    if (status == code::Success) status = Publish(*out, *folder, recordName, recordIndex, &name, result);
  }
  if (status != code::Success) {
    // Nothing has the name: a later file of the batch may take it.
    if (!result->existed) taken.erase(ComparablePath(result->file));
    return status;
  }
  result->published = true;
  FileIdentity made;
  try {
    if (folder->IdentityOf(name, &made)) written.insert(made);
  } catch (const std::bad_alloc&) {
    // Only the guard against a file system's own name folding is lost.
  }
  // All there is, but not the whole file: kept, and reported as a failure.
  if (result->missingBytes != 0) return code::FileCorrupt;
  if (result->unreadableBytes != 0) return code::Crc;
  return code::Success;
}

DWORD RecoverRecord(CNTFSDrive& drive, std::uint32_t recordIndex, const std::u16string& destination,
                    const std::u16string& pathCell, bool replace, RecoveredFile* result) {
  *result = RecoveredFile{};
  try {
    RecoveryBatch batch(NativeFromUtf16(destination), replace ? ExistingFiles::Replace : ExistingFiles::Skip);
    return batch.Recover(drive, recordIndex, pathCell, result);
  } catch (const std::bad_alloc&) {
    return code::NotEnoughMemory;
  }
}
