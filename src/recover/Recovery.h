// Recovery without a window: the output path of a row, names made safe, the
// folder chain, names kept apart within one batch, and the content streamed
// from the volume into the new file.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ntfs/NTFSDrive.h"
#include "platform/Files.h"
#include "platform/Types.h"

// A name from the disk made safe to create inside a folder: \ / : * ? " < >
// | and control characters become '_', trailing dots and spaces become '_',
// reserved device names (CON, NUL, COM1, LPT1, ... with any extension) get a
// leading '_', an empty name becomes "_", and the name is cut to what one
// folder entry may hold. The result never leaves the folder and never names
// an alternate stream.
std::u16string SafeName(const std::u16string& name);

// The name a file gets when its own is already given in the same batch:
// "report (record 1234).docx" for `attempt` 1, "report (record 1234)
// (2).docx" for 2, and so on. The extension (the part from the last dot, at
// most 16 characters, not a leading dot) stays last; the stem is cut so that
// the whole still fits one folder entry. `safeName` is a SafeName result,
// and so is the answer.
std::u16string ClashName(const std::u16string& safeName, std::uint32_t recordIndex, unsigned attempt);

// The folders of a "Path" cell below the destination: the prefix (a drive
// text such as "C:\" or "?\") is dropped up to its first backslash, the rest
// split at backslashes, empty parts passed over, each folder made safe.
std::vector<std::u16string> FoldersOfPath(const std::u16string& pathCell);

// Where a row's file goes: `destination`, the folders of its path, its name.
struct RecoveryTarget {
  std::vector<NativePath> folders;  // each one step deeper, from the first below the destination
  NativePath file;
};
RecoveryTarget TargetFor(const NativePath& destination, const std::u16string& pathCell, const std::u16string& name);

enum class RecoveryStep { ReadingRecord, CreatingFile, Copying };

struct RecoveredFile {
  NativePath file;                                 // where it went; empty when the record could not be read
  std::u16string path;                             // the same in UTF-16
  std::uint64_t bytes = 0;
  bool existed = false;                            // the output was there already and was kept
  RecoveryStep step = RecoveryStep::ReadingRecord;  // where a failure happened
  // A copy that is not the whole file: the bytes after its end that are not
  // there to read, and the zeros written where sectors could not be read.
  // Such a copy keeps its name (`published`), but the recovery fails all
  // the same, so that nobody takes it for the file.
  std::uint64_t missingBytes = 0;
  std::uint64_t unreadableBytes = 0;
  bool published = false;  // the copy is under `file`: always on success, on a failure only for such a copy
};

// Told how the current file of a recovery is going; its answer can stop it.
class RecoveryObserver {
 public:
  virtual ~RecoveryObserver() = default;
  // `written` of the file's `total` readable bytes are written: called once
  // before the first byte and after every chunk (at most 1 MiB). False
  // cancels the file: nothing is left under its name or any other.
  virtual bool Progress(std::uint64_t written, std::uint64_t total) = 0;
};

// What a batch does with a file that was in the destination before it.
enum class ExistingFiles {
  Skip,     // kept; the recovery fails with code::FileExists and `existed` set
  Replace,  // replaced, whatever its read-only, hidden or system attributes
  Rename,   // kept; the recovered file takes the next free ClashName
};

// One recovery of several files into one destination, file by file. Within
// a batch a file never replaces another file of the same batch: a name
// already given in this batch (compared as the file system compares names,
// and also when the file system itself takes two names for one file) is
// given the next free ClashName. Files that were there before the batch are
// treated as `existing` says.
class RecoveryBatch {
 public:
  RecoveryBatch(const NativePath& destination, ExistingFiles existing);

  // Recovers the file of the row whose record is `identity` as the row says
  // (the path cell; the name and attributes come from the record), streamed
  // in chunks of at most 1 MiB. code::RecordReused, before anything is
  // written, when the record is no longer the row's; code::FileEncrypted and
  // code::FileOffline (bytes elsewhere) likewise; code::FileNotFound when the record is no
  // longer a deleted file, code::NotEnoughMemory when the batch cannot hold another name, code::Cancelled
  // when `observer` cancelled, else the volume's or the system's code. A
  // failed or cancelled copy leaves nothing behind, with one exception: a
  // copy of all there is that is still not the whole file (bytes missing at
  // its end, or sectors that could not be read) keeps its name and fails
  // with code::FileCorrupt (code::Crc when only unreadable sectors are
  // lost), `result` saying how many bytes.
  DWORD Recover(CNTFSDrive& drive, const RecordIdentity& identity, const std::u16string& pathCell,
                RecoveredFile* result, RecoveryObserver* observer = nullptr);
  // The same for a record known only by its index: whatever file the record
  // holds now. Callers with a row use the identity.
  DWORD Recover(CNTFSDrive& drive, std::uint32_t recordIndex, const std::u16string& pathCell, RecoveredFile* result,
                RecoveryObserver* observer = nullptr);

 private:
  // `identity` is checked when `checked` is not null (it is then &identity).
  DWORD RecoverFile(CNTFSDrive& drive, const RecordIdentity& identity, const RecordIdentity* checked,
                    const std::u16string& pathCell, RecoveredFile* result, RecoveryObserver* observer);
  // The name the next file in `folder` gets, unique within the batch (and,
  // for Rename, among what is there); the name is then taken.
  std::u16string Claim(const OutputFolder& folder, const std::u16string& name, std::uint32_t recordIndex);
  DWORD Publish(OutputFile& file, const OutputFolder& folder, const std::u16string& recordName,
                std::uint32_t recordIndex, std::u16string* name, RecoveredFile* result);

  NativePath destination;
  ExistingFiles existing;
  std::unique_ptr<OutputFolder> root;   // opened at the first file
  std::set<NativePath> taken;           // ComparablePath of every file and folder given out
  std::set<FileIdentity> written;       // the files this batch created
};

// One file on its own: a batch of one into `destination` (UTF-16).
DWORD RecoverRecord(CNTFSDrive& drive, std::uint32_t recordIndex, const std::u16string& destination,
                    const std::u16string& pathCell, bool replace, RecoveredFile* result);
