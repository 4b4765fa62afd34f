// Recovery without a window: the output path of a row, names made safe, the
// folder chain, and the content streamed from the volume into the new file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ntfs/NTFSDrive.h"
#include "platform/Types.h"

// A name from the disk made safe to create inside a folder: \ / : * ? " < >
// | and control characters become '_', trailing dots and spaces become '_',
// reserved device names (CON, NUL, COM1, LPT1, ... with any extension) get a
// leading '_', an empty name becomes "_", and the name is cut to what one
// folder entry may hold. The result never leaves the folder and never names
// an alternate stream.
std::u16string SafeName(const std::u16string& name);

// The folders of a "Path" cell below the destination: the prefix (a drive
// text such as "C:\" or "?\") is dropped up to its first backslash, the rest
// split at backslashes, empty parts passed over, each folder made safe.
std::vector<std::u16string> FoldersOfPath(const std::u16string& pathCell);

// Where a row's file goes: `destination`, the folders of its path, its name.
struct RecoveryTarget {
  std::vector<std::u16string> folders;  // each one step deeper, from the first below the destination
  std::u16string file;
};
RecoveryTarget TargetFor(const std::u16string& destination, const std::u16string& pathCell,
                         const std::u16string& name);

// Creates every folder of `target` in turn. Failures are not reported here:
// a folder that could not be made shows as the failure to create the file.
void CreateDirectoryChain(const RecoveryTarget& target);

enum class RecoveryStep { ReadingRecord, CreatingFile, Copying };

struct RecoveredFile {
  std::u16string path;
  std::uint64_t bytes = 0;
  bool existed = false;                            // the output was there already and was kept
  RecoveryStep step = RecoveryStep::ReadingRecord;  // where a failure happened
};

// Recovers record `recordIndex` below `destination` as its row says (the
// path cell; the name and attributes come from the record). The content is
// streamed in chunks of at most 1 MiB. An existing file is kept (80, with
// `existed` set) unless `replace`.
DWORD RecoverRecord(CNTFSDrive& drive, std::uint32_t recordIndex, const std::u16string& destination,
                    const std::u16string& pathCell, bool replace, RecoveredFile* result);
