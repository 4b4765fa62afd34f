#include "scan/Scanner.h"

#include <algorithm>
#include <new>
#include <unordered_map>
#include <vector>

#include "ntfs/NtfsLayout.h"
#include "ntfs/VolumeReads.h"
#include "scan/Recoverability.h"

namespace {

// Folders whose files are caches, not documents: their rows are left out.
bool IsFilteredFolder(std::u16string_view name) {
  return name == u"Opera" || name == u"Temporary Internet Files" || name == u"Firefox";
}

// The prefix of a complete path: the drive text up to its first terminator
// and at most MaxDriveText characters, with the separator that joins it to
// the chain when the text has none of its own ("Unknown").
std::u16string Prefix(const std::u16string& driveText) {
  const std::u16string text = driveText.substr(0, std::min(driveText.find(u'\0'), MaxDriveText));
  if (!text.empty() && text.back() == u'\\') return text;
  return text + u"\\";
}

std::uint64_t Reference(std::uint64_t record, std::uint16_t sequence) {
  return record | (std::uint64_t{sequence} << ntfs::ReferenceSequenceShift);
}

// What the path walk needs of the folders: kept compactly, for directories
// only, as the scan meets them or when a walk asks for one it has not met.
class FolderIndex {
 public:
  static constexpr std::uint32_t NoPath = UINT32_MAX;

  FolderIndex(CNTFSDrive& volume, RowTable& rows, const std::u16string& driveText)
      : drive(volume), table(rows), prefix(Prefix(driveText)) {}

  // A record the scan met. False when memory is short.
  bool Add(std::uint32_t record, const RecordFacts& facts) {
    try {
      if (folders.count(record) == 0) folders.emplace(record, Make(facts));
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }

  // The path of the rows of a file whose parent reference is `parent`, or
  // `*skip` when a folder above it is a cache. False when memory is short.
  bool PathFor(std::uint64_t parent, std::uint32_t* path, bool* skip) {
    // Files of one folder tend to follow each other, and what a reference
    // gives never changes once asked.
    if (haveLast && parent == lastParent) {
      *path = lastPath;
      *skip = lastSkip;
      return true;
    }
    if (!FindPath(parent, path, skip)) return false;
    haveLast = true;
    lastParent = parent;
    lastPath = *path;
    lastSkip = *skip;
    return true;
  }

 private:
  bool FindPath(std::uint64_t parent, std::uint32_t* path, bool* skip) {
    try {
      *skip = false;
      Folder* folder = Linked(parent);
      if (folder == nullptr) return Orphan(path);
      Resolve(*folder);
      *skip = folder->skip;
      if (folder->path == NoPath && !MakePaths(*folder)) return false;
      *path = folder->path;
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

  enum class Walk : std::uint8_t { Unknown, Walking, Done };
  struct Folder {
    std::uint64_t parent = 0;   // reference: record number, sequence number above bit 48
    std::uint32_t nameStart = 0;
    std::uint16_t nameLength = 0;
    std::uint16_t sequence = 0;
    bool inUse = false;
    bool isFolder = false;      // false: there is a record, but it is no folder that can be read
    Walk walk = Walk::Unknown;
    bool skip = false;          // it or a folder above it is a cache
    bool complete = false;      // its path goes up to the root, whole
    std::uint32_t path = NoPath;
    std::uint32_t mark = 0;     // the path walk that last met it
  };

  Folder Make(const RecordFacts& facts) {
    Folder folder;
    if (!facts.isDirectory || facts.isExtension) return folder;
    const std::u16string_view name(facts.info.name);
    folder.nameStart = static_cast<std::uint32_t>(names.size());
    folder.nameLength = static_cast<std::uint16_t>(name.size());
    names.insert(names.end(), name.begin(), name.end());
    folder.parent = Reference(facts.info.parentRecordLow | (std::uint64_t{facts.info.parentRecordHigh} << 32),
                              facts.parentSequence);
    folder.sequence = facts.sequence;
    folder.inUse = facts.inUse;
    folder.isFolder = true;
    return folder;
  }

  std::u16string_view Name(const Folder& folder) const {
    return std::u16string_view(names.data() + folder.nameStart, folder.nameLength);
  }
  bool IsRoot(const Folder& folder) const { return Name(folder) == u"."; }

  // The folder a reference names, if it still is that folder: in use with
  // the same sequence number, or deleted since (one more).
  Folder* Linked(std::uint64_t reference) {
    const std::uint64_t number = reference & ntfs::RecordNumberMask;
    if (number > UINT32_MAX) return nullptr;
    auto found = folders.find(static_cast<std::uint32_t>(number));
    if (found == folders.end()) {
      RecordFacts facts;
      const DWORD result = drive.ReadRecordFacts(static_cast<std::uint32_t>(number), MftRead::OnDemand, &facts, nullptr);
      found = folders.emplace(static_cast<std::uint32_t>(number), result == code::Success ? Make(facts) : Folder{}).first;
    }
    Folder& folder = found->second;
    const auto sequence = static_cast<std::uint16_t>(reference >> ntfs::ReferenceSequenceShift);
    if (!folder.isFolder || !SequenceFollows(sequence, folder.sequence, !folder.inUse)) return nullptr;
    return &folder;
  }

  // Sets `skip` of the folder and of those above it, each folder once.
  void Resolve(Folder& start) {
    walked.clear();
    bool skip = false;
    for (Folder* folder = &start; folder != nullptr;) {
      if (folder->walk == Walk::Done) {
        skip = folder->skip;
        break;
      }
      if (folder->walk == Walk::Walking) break;  // a loop
      if (IsRoot(*folder)) {
        folder->walk = Walk::Done;
        break;
      }
      folder->walk = Walk::Walking;
      walked.push_back(folder);
      folder = Linked(folder->parent);
    }
    for (auto at = walked.rbegin(); at != walked.rend(); ++at) {
      skip = skip || IsFilteredFolder(Name(**at));
      (*at)->skip = skip;
      (*at)->walk = Walk::Done;
    }
  }

  // Gives the folder its path, and every folder above it that has none: the
  // prefix and its folders up to the root, or "?\" and the innermost
  // folders that fit when the root is not reached or the whole does not
  // fit. Each path is made once, from its parent's, so that the paths of a
  // deep chain cost what they hold.
  bool MakePaths(Folder& start) {
    walked.clear();
    ++mark;
    Folder* above = nullptr;  // the first folder above the walk that has its path
    for (Folder* folder = &start;;) {
      folder->mark = mark;
      walked.push_back(folder);
      if (IsRoot(*folder)) break;
      Folder* parent = Linked(folder->parent);
      if (parent == nullptr || parent->mark == mark) break;  // the chain breaks, or loops
      if (parent->path != NoPath) {
        above = parent;
        break;
      }
      folder = parent;
    }
    for (auto at = walked.rbegin(); at != walked.rend(); ++at) {
      Folder& folder = **at;
      std::u16string text;
      if (IsRoot(folder)) {
        text = prefix;
        folder.complete = true;
      } else {
        // Its parent's path, made just before it or earlier; none when the
        // chain breaks or loops here.
        const Folder* parent = at == walked.rbegin() ? above : *(at - 1);
        const std::u16string* base = parent != nullptr ? &table.PathText(parent->path) : nullptr;
        const std::size_t head = parent == nullptr ? 0 : parent->complete ? prefix.size() : 2;
        const std::size_t chain = base != nullptr ? base->size() - head : 0;
        const std::size_t length = chain + folder.nameLength + 1;
        folder.complete = parent != nullptr && parent->complete && length <= MaxChainText;
        if (folder.complete) {
          text.reserve(base->size() + folder.nameLength + 1);
          text = *base;
        } else {
          // The innermost folders that fit: whole names, from the outer end.
          std::size_t from = head;
          while (base != nullptr && length - (from - head) > MaxChainText) {
            const std::size_t separator = base->find(u'\\', from);
            from = separator == std::u16string::npos ? base->size() : separator + 1;
          }
          text = u"?\\";
          if (base != nullptr) text.append(*base, from, std::u16string::npos);
        }
        text.append(Name(folder));
        text += u'\\';
      }
      if (!table.AddPath(text, &folder.path)) return false;
    }
    return true;
  }

  bool Orphan(std::uint32_t* path) {
    if (orphanPath == NoPath && !table.AddPath(u"?\\", &orphanPath)) return false;
    *path = orphanPath;
    return true;
  }

  CNTFSDrive& drive;
  RowTable& table;
  std::u16string prefix;
  std::unordered_map<std::uint32_t, Folder> folders;
  std::vector<Folder*> walked;  // kept for its capacity
  std::uint32_t mark = 0;
  std::vector<char16_t> names;
  std::uint32_t orphanPath = NoPath;
  bool haveLast = false;  // a damaged record's reference may be any value
  std::uint64_t lastParent = 0;
  std::uint32_t lastPath = NoPath;
  bool lastSkip = false;
};

}  // namespace

DWORD ScanRecords(CNTFSDrive& drive, const std::u16string& driveText, const std::atomic<bool>& stopRequested,
                  RowSink& sink, ScanTotals* totals, RowTable* table) {
  *totals = ScanTotals{};
  RowTable own;
  RowTable& rows = table != nullptr ? *table : own;
  rows.Clear();
  FolderIndex folders(drive, rows, driveText);
  ClusterClaims claims;
  RecordFacts facts;
  std::vector<StreamRun> runs;
  DWORD result = code::Success;
  const std::uint32_t count = drive.RecordCount();
  const std::uint32_t offered = count > ntfs::FirstUserRecord ? count - ntfs::FirstUserRecord : 0;
  // Room for a deleted file in every fourth record: only what is used is
  // ever touched, and the lists need not be copied as they grow.
  const std::size_t expected = std::min<std::size_t>(offered / 4, 1u << 20);
  rows.Reserve(expected);
  claims.Reserve(expected);
  std::uint32_t nextProgress = 0;
  // A found volume's files in use are rows too; where its own bitmap tells
  // their clusters' use, those clusters are theirs.
  const bool everyFile = drive.Kind() == VolumeKind::Found;
  const bool ownClusters = drive.OwnClusterUse();
  for (std::uint32_t index = ntfs::FirstUserRecord; index < count; ++index) {
    if (stopRequested.load()) break;
    index = drive.SkipFilesInUse(index);
    totals->examined = index - ntfs::FirstUserRecord;
    if (index >= count) break;
    const std::uint32_t examined = index - ntfs::FirstUserRecord;
    if (examined >= nextProgress) {
      sink.Progress(examined, offered);
      nextProgress = (examined | 0xFFF) + 1;
    }
    const DWORD read = drive.ReadRecordFacts(index, MftRead::Sequential, &facts, &runs);
    if (read == code::NoMoreFiles) break;
    // A damaged record is passed over: the records after it may still hold
    // deleted files. A summary reads the disk only for values that a record
    // puts outside itself, so the disk ending there (code::HandleEof) is the
    // record's damage too; other read failures end the scan.
    const bool damaged = read == code::InvalidParameter || read == code::HandleEof;
    // A record on a bad sector costs only itself.
    const bool unreadable = IsUnreadable(read);
    totals->unreadable += unreadable ? 1 : 0;
    if (read != code::Success && !damaged && !unreadable) {
      result = read;
      break;
    }
    totals->examined = examined + 1;
    if (damaged || unreadable || facts.isExtension) continue;
    if (facts.isDirectory) {
      if (!folders.Add(index, facts)) {
        result = code::NotEnoughMemory;
        break;
      }
      continue;
    }
    if ((facts.inUse && !everyFile) || facts.info.dataSize == 0) continue;

    std::uint32_t path = 0;
    bool skip = false;
    const std::uint64_t parent = facts.info.parentRecordLow | (std::uint64_t{facts.info.parentRecordHigh} << 32);
    if (!folders.PathFor(Reference(parent, facts.parentSequence), &path, &skip)) {
      result = code::NotEnoughMemory;
      break;
    }
    if (skip) continue;
    const MFTFileInfo& info = facts.info;
    const std::size_t row = rows.Rows();
    const auto positive = [](std::uint64_t time) { return static_cast<std::int64_t>(time) > 0 ? time : 0; };
    const RecordIdentity identity{index, facts.sequence, facts.logSequenceNumber, facts.inUse};
    bool added = rows.AddRow(identity, path, std::u16string_view(info.name), info.dataSize,
                             positive(info.creationTime), positive(info.modificationTime));
    // A file whose bytes lie elsewhere claims no cluster here: its state is
    // known at once.
    if (added && facts.inUse) rows.SetInUse(row);
    const bool holdsItsOwn = facts.inUse && ownClusters;
    if (added && (facts.elsewhere || holdsItsOwn)) {
      added = rows.SetState(row, {facts.elsewhere ? Recoverability::NotOnDisk : Recoverability::Intact, 0}, {});
    } else if (added) {
      added = claims.Add(static_cast<std::uint32_t>(row), index, facts.logSequenceNumber, info.mftChangeTime, runs,
                         facts.dataClusters, facts.missingClusters);
    }
    if (!added) {
      result = code::NotEnoughMemory;
      break;
    }
    ++totals->rows;
    sink.RowAdded(rows, row);
  }
  const DWORD resolved = claims.Resolve(
      [&](std::uint64_t first, std::uint64_t clusters, std::uint64_t* inUse) {
        return drive.CountClustersInUse(first, clusters, inUse);
      },
      drive.ClusterCount(), rows);
  if (result == code::Success) result = resolved;
  // A preview or recovery reads its row's record anew, not from the scan's
  // last chunk: the record may have been used again since.
  drive.DropHeldRecords();
  sink.StatesReady(rows);
  return result;
}
