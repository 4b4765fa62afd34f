// The rows of a scan, held compactly: the facts of each deleted file (its
// record and how to know it again, name, folder path, size, times, state
// and who overwrote it) in one
// small entry, the names in one shared pool, each folder path once for all
// the rows of its folder. How they look is view/'s to say.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ntfs/FileContent.h"
#include "platform/Memory.h"

// Whether a deleted file's clusters still hold it.
enum class Recoverability : std::uint8_t {
  Intact,       // no cluster has been taken since
  Partial,      // some have: `percent` of them, 1 to 99
  Overwritten,  // every cluster has
  Unknown,      // the cluster bitmap cannot tell
  NotOnDisk,    // its bytes lie elsewhere: a reparse point stands for them
  Pending,      // not known until the scan ends
};

struct FileState {
  Recoverability kind = Recoverability::Pending;
  std::uint8_t percent = 0;  // share of clusters overwritten, whole percent rounded down
};

class RowTable {
 public:
  struct Row {
    std::uint64_t size;          // bytes
    std::uint64_t created;       // FILETIME; 0 when the record gives none that is positive
    std::uint64_t modified;
    std::uint64_t logSequenceNumber;  // the record's when scanned, to know it again
    std::uint32_t record;        // absolute record index
    std::uint32_t path;          // index into the paths
    std::uint32_t nameStart;     // into the name pool
    std::uint16_t nameLength;
    std::uint16_t sequence;      // the record's sequence number when scanned
    FileState state;
    bool inUse;                  // the file was in use, not deleted: a found volume lists those too
  };

  std::size_t Rows() const { return rows.size(); }
  std::size_t Paths() const { return paths.size(); }
  const Row& At(std::size_t row) const { return rows[row]; }
  std::u16string_view Name(std::size_t row) const;
  const std::u16string& Path(std::size_t row) const { return paths[rows[row].path]; }
  // Path `id` as AddPath gave it.
  const std::u16string& PathText(std::uint32_t id) const { return paths[id]; }
  // What recovery and preview check the record on the disk against.
  RecordIdentity Identity(std::size_t row) const {
    return {rows[row].record, rows[row].sequence, rows[row].logSequenceNumber, rows[row].inUse};
  }
  // Records of the deleted files whose data went over this row's clusters.
  std::vector<std::uint32_t> OverwrittenBy(std::size_t row) const;

  // Room for about `count` rows, so that the table grows once.
  void Reserve(std::size_t count);
  // Adding rows; each returns false, changing nothing, when memory is short.
  bool AddPath(const std::u16string& path, std::uint32_t* id);
  bool AddRow(const RecordIdentity& identity, std::uint32_t path, std::u16string_view name, std::uint64_t size,
              std::uint64_t created, std::uint64_t modified);
  // A row known only by its record index (sequence numbers 0).
  bool AddRow(std::uint32_t record, std::uint32_t path, std::u16string_view name, std::uint64_t size,
              std::uint64_t created, std::uint64_t modified) {
    return AddRow(RecordIdentity{record, 0, 0}, path, name, size, created, modified);
  }
  bool SetState(std::size_t row, FileState state, const std::vector<std::uint32_t>& overwrittenBy);
  // The row's file was in use when its volume was lost.
  void SetInUse(std::size_t row) { rows[row].inUse = true; }
  // Copies the rows of `source` from `firstRow` on, with the paths this
  // table does not have yet: `source` is a later stage of the same scan.
  bool AppendFrom(const RowTable& source, std::size_t firstRow);
  // Takes the states of `source`'s rows, the same rows in the same order.
  bool CopyStates(const RowTable& source);
  void Clear();

 private:
  BulkVector<Row> rows;
  BulkVector<char16_t> names;
  std::vector<std::u16string> paths;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> overwriters;  // (row, record), by row
};
