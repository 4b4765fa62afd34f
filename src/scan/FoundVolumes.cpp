#include "scan/FoundVolumes.h"

#include <algorithm>
#include <map>
#include <new>
#include <utility>

#include "ntfs/MFTRecord.h"
#include "ntfs/NtfsLayout.h"
#include "ntfs/RecordSignatures.h"
#include "util/ByteReader.h"

namespace {

constexpr std::uint32_t NoVolume = UINT32_MAX;
constexpr std::size_t NoGroup = SIZE_MAX;
// The index block size when a folder's $INDEX_ROOT does not say: NTFS's own.
constexpr std::uint32_t UsualIndexBlock = 4096;

bool Multiply(std::uint64_t a, std::uint64_t b, std::uint64_t* product) {
  if (a != 0 && b > UINT64_MAX / a) return false;
  *product = a * b;
  return true;
}

bool Sum(std::uint64_t a, std::uint64_t b, std::uint64_t* sum) {
  if (a > UINT64_MAX - b) return false;
  *sum = a + b;
  return true;
}

bool IsClusterSize(std::uint64_t bytes) {
  return bytes >= ntfs::MinBytesPerSector && bytes <= ntfs::MaxClusterSize && (bytes & (bytes - 1)) == 0;
}

// Where a record's group puts record 0: its position less its number times
// its size. False for a record without its number, or whose number cannot
// fit before it.
bool ImpliedStart(const FoundRecord& record, std::uint64_t* start) {
  if ((record.flags & FoundRecord::HasNumber) == 0) return false;
  const std::uint64_t before = std::uint64_t{record.number} << record.sizeLog2;
  if (before > record.position) return false;
  *start = record.position - before;
  return true;
}

// Records of one size that imply one $MFT start, in `order` by number.
struct Group {
  std::uint8_t sizeLog2;
  std::uint64_t start;
  std::uint32_t first, last;
};

template <typename T>
std::size_t FindKey(const std::vector<T>& sorted, std::uint8_t sizeLog2, std::uint64_t start) {
  const auto at = std::lower_bound(sorted.begin(), sorted.end(), std::make_pair(sizeLog2, start),
                                   [](const T& item, const std::pair<std::uint8_t, std::uint64_t>& key) {
                                     return item.sizeLog2 != key.first ? item.sizeLog2 < key.first
                                                                       : item.start < key.second;
                                   });
  return at != sorted.end() && at->sizeLog2 == sizeLog2 && at->start == start
             ? static_cast<std::size_t>(at - sorted.begin())
             : NoGroup;
}

// An $MFT whose record 0, or the mirror's copy of it, was found: the volume
// it maps.
struct MappedMft {
  std::uint64_t start = 0;       // the volume's cluster 0
  std::uint32_t clusterSize = 0;
  std::uint8_t sizeLog2 = 0;
  std::uint64_t mftCluster = 0;
  std::uint64_t mirrorCluster = 0;
  std::uint64_t mftStart = 0;    // where its VCN 0 puts record 0
  std::uint64_t records = 0;     // its $MFT's size in records
  std::uint64_t bitmapBytes = 0; // $Bitmap's size, when its record was found
  bool fromMirror = false;
  std::vector<StreamRun> runs;
  std::uint32_t owned = 0, userRecords = 0;
  std::uint64_t reach = 0;       // one past the farthest record of it found
  bool live = false;
};

// A group's records that no mapped $MFT holds: a fragment of what some
// volume no longer holds.
struct Leftover {
  std::uint8_t sizeLog2 = 0;
  std::uint64_t start = 0;
  std::uint32_t first = 0, last = 0;  // in `loose`, by number
  std::uint32_t minNumber = 0, maxNumber = 0, userRecords = 0;
  std::uint64_t reach = 0;
  std::uint32_t clusterVote = 0;      // the cluster size most of its records' values give; 0 when none does
  bool placed = false;
  std::uint64_t volumeStart = 0;
  std::uint32_t clusterSize = 0;
  GeometryFrom from = GeometryFrom::Inferred;
  NtfsGeometry boot;                  // the boot sector that agrees, when one does

  std::uint32_t Count() const { return last - first; }
};

// The values of the unnamed $DATA piece an attribute holds.
struct Piece {
  std::uint64_t firstVcn = 0, lastVcn = 0, allocated = 0, realSize = 0;
};

bool ReadPiece(const ByteReader& attribute, Piece* piece) {
  std::uint8_t nonResident = 0;
  return attribute.U8(ntfs::AttrNonResident, &nonResident) && nonResident != 0 &&
         attribute.U64(ntfs::AttrFirstVcn, &piece->firstVcn) && attribute.U64(ntfs::AttrLastVcn, &piece->lastVcn) &&
         attribute.U64(ntfs::AttrAllocatedSize, &piece->allocated) &&
         attribute.U64(ntfs::AttrRealSize, &piece->realSize);
}

bool NamedMft(const CMFTRecord& record) {
  const std::uint8_t* name = record.FileName() + ntfs::FnName;
  static const char16_t mft[] = u"$MFT";
  for (int i = 0; i < 5; ++i) {
    if (static_cast<char16_t>(name[2 * i] | name[2 * i + 1] << 8) != mft[i]) return false;
  }
  return true;
}

// Clusters of [from, to) not inside any of `taken` (sorted by start, which
// may overlap), appended to `pieces`.
void Subtract(std::uint64_t from, std::uint64_t to, const std::vector<std::pair<std::uint64_t, std::uint64_t>>& taken,
              std::vector<std::pair<std::uint64_t, std::uint64_t>>* pieces) {
  std::uint64_t at = from;
  for (const auto& range : taken) {
    if (range.second <= at) continue;
    if (range.first >= to) break;
    if (range.first > at) pieces->push_back({at, range.first});
    at = std::max(at, range.second);
    if (at >= to) return;
  }
  if (at < to) pieces->push_back({at, to});
}

bool Overlaps(std::uint64_t aOffset, std::uint64_t aBytes, std::uint64_t bOffset, std::uint64_t bBytes) {
  const std::uint64_t aEnd = aOffset + std::min(aBytes, UINT64_MAX - aOffset);
  const std::uint64_t bEnd = bOffset + std::min(bBytes, UINT64_MAX - bOffset);
  return aOffset < bEnd && bOffset < aEnd;
}

}  // namespace

const char* GeometryFromName(GeometryFrom from) {
  switch (from) {
    case GeometryFrom::BootSector:
      return "boot sector";
    case GeometryFrom::BackupBootSector:
      return "backup boot sector";
    case GeometryFrom::Record0:
      return "record 0";
    case GeometryFrom::Mirror:
      return "mirror";
    case GeometryFrom::Inferred:
      break;
  }
  return "inferred";
}

// Tells a found volume's clusters' use from the volumes that now cover its
// place on the disk, whatever their cluster size.
class CFoundVolumes::Covering : public ClusterUse {
 public:
  Covering(std::uint64_t offset, std::uint32_t clusterSize) : volumeOffset(offset), clusterBytes(clusterSize) {}

  void Add(const Cover& cover) { covers.push_back(cover); }
  bool Empty() const { return covers.empty(); }

  // code::InvalidParameter when no covering volume holds the whole range:
  // nothing can tell (Unknown).
  DWORD CountInUse(std::uint64_t first, std::uint64_t count, std::uint64_t* inUse) override {
    *inUse = 0;
    if (count == 0) return code::Success;
    std::uint64_t from = 0, length = 0, to = 0;
    if (!Multiply(first, clusterBytes, &from) || !Sum(from, volumeOffset, &from) ||
        !Multiply(count, clusterBytes, &length) || !Sum(from, length, &to)) {
      return code::InvalidParameter;
    }
    for (const Cover& cover : covers) {
      const std::uint64_t end = cover.offset + std::min(cover.bytes, UINT64_MAX - cover.offset);
      if (from < cover.offset || to > end) continue;
      return CountIn(cover, from, count, inUse);
    }
    return code::InvalidParameter;
  }

 private:
  DWORD CountIn(const Cover& cover, std::uint64_t from, std::uint64_t count, std::uint64_t* inUse) {
    const std::uint32_t size = cover.clusterSize;
    const std::uint64_t within = from - cover.offset;
    if (size == clusterBytes && within % size == 0) {
      return cover.drive->CountClustersInUse(within / size, count, inUse);
    }
    // Clusters of other sizes, or shifted: the covering clusters of the
    // whole range tell at once when all or none are in use.
    const std::uint64_t firstCover = within / size;
    const std::uint64_t endCover = (within + count * clusterBytes + size - 1) / size;
    std::uint64_t used = 0;
    DWORD result = cover.drive->CountClustersInUse(firstCover, endCover - firstCover, &used);
    if (result != code::Success) return result;
    if (used == 0 || used == endCover - firstCover) {
      *inUse = used == 0 ? 0 : count;
      return code::Success;
    }
    // One of ours is in use when any covering cluster of it is.
    std::uint64_t total = 0;
    for (std::uint64_t k = 0; k < count; ++k) {
      const std::uint64_t at = within + k * clusterBytes;
      const std::uint64_t a = at / size, b = (at + clusterBytes + size - 1) / size;
      result = cover.drive->CountClustersInUse(a, b - a, &used);
      if (result != code::Success) return result;
      total += used != 0 ? 1 : 0;
    }
    *inUse = total;
    return code::Success;
  }

  std::uint64_t volumeOffset;
  std::uint32_t clusterBytes;
  std::vector<Cover> covers;
};

CFoundVolumes::CFoundVolumes() = default;
CFoundVolumes::~CFoundVolumes() = default;

DWORD CFoundVolumes::Build(DiskReader& diskReader, const DeepFindings& findings, const std::vector<KnownVolume>& known) {
  disk = &diskReader;
  volumes.clear();
  coverings.clear();
  foundDrives.clear();
  knownCovers.clear();
  knownDrives.clear();
  report = FoundVolumesReport{};
  const BulkVector<FoundRecord>& records = findings.records;
  report.recordsFound = records.size();
  report.unreadableBytes = findings.unreadableBytes;
  report.keptAll = findings.keptAll;
  try {
    // The volumes the partition table gives, opened as a scan opens them.
    for (const KnownVolume& volume : known) {
      if (volume.offset % ntfs::PartitionSectorSize != 0) continue;
      auto drive = std::make_unique<CNTFSDrive>();
      drive->AttachDisk(disk);
      drive->SetPartitionStart(volume.offset / ntfs::PartitionSectorSize, ntfs::PartitionSectorSize);
      drive->SetPartitionLength(volume.bytes / ntfs::PartitionSectorSize);
      if (drive->Initialize() != code::Success) continue;
      const VolumeRepairs repairs = drive->Repairs();
      NtfsGeometry geometry;
      std::uint64_t backup = 0;
      if (repairs.backupBootSector) {
        ReadBackupBootSector(*disk, volume.offset, volume.bytes, &geometry, &backup);
      } else {
        ReadBootSector(*disk, volume.offset, &geometry);
      }
      Cover cover;
      cover.offset = volume.offset;
      cover.bytes = geometry.volumeBytes != 0 ? geometry.volumeBytes : volume.bytes;
      cover.clusterSize = drive->ClusterSize();
      cover.mftCluster = geometry.mftCluster;
      cover.drive = drive.get();
      // One that opens only with a repair is found too: what it needs is said.
      cover.repaired = repairs.backupBootSector || repairs.mirroredRecords != 0;
      knownCovers.push_back(cover);
      knownDrives.push_back(std::move(drive));
    }

    // Records by the $MFT start they imply, then by number.
    std::vector<std::uint32_t> order;
    order.reserve(records.size());
    for (std::uint32_t i = 0; i < records.size(); ++i) {
      std::uint64_t start = 0;
      if ((records[i].flags & FoundRecord::HasNumber) == 0) {
        ++report.recordsWithoutNumber;
      } else if (!ImpliedStart(records[i], &start)) {
        ++report.recordsWithoutGeometry;
      } else {
        order.push_back(i);
      }
    }
    auto startOf = [&](std::uint32_t i) {
      std::uint64_t start = 0;
      ImpliedStart(records[i], &start);
      return start;
    };
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      const FoundRecord &x = records[a], &y = records[b];
      if (x.sizeLog2 != y.sizeLog2) return x.sizeLog2 < y.sizeLog2;
      const std::uint64_t sa = startOf(a), sb = startOf(b);
      return sa != sb ? sa < sb : x.number < y.number;
    });
    std::vector<Group> groups;
    for (std::uint32_t k = 0; k < order.size();) {
      const std::uint8_t sizeLog2 = records[order[k]].sizeLog2;
      const std::uint64_t start = startOf(order[k]);
      std::uint32_t end = k + 1;
      while (end < order.size() && records[order[end]].sizeLog2 == sizeLog2 && startOf(order[end]) == start) ++end;
      groups.push_back({sizeLog2, start, k, end});
      k = end;
    }
    auto numberAt = [&](std::uint32_t k) { return records[order[k]].number; };
    auto groupOf = [&](const FoundRecord& record) {
      std::uint64_t start = 0;
      return ImpliedStart(record, &start) ? FindKey(groups, record.sizeLog2, start) : NoGroup;
    };
    // The cluster size most of a run of records' values give.
    auto vote = [&](const std::vector<std::uint32_t>& list, std::uint32_t first, std::uint32_t last) {
      std::uint32_t counts[32] = {};
      for (std::uint32_t k = first; k < last; ++k) ++counts[records[list[k]].clusterLog2 & 31];
      std::uint32_t best = 0;
      for (std::uint32_t log2 = 1; log2 < 32; ++log2) {
        if (counts[log2] > counts[best] || (best == 0 && counts[log2] != 0)) best = log2;
      }
      return best == 0 ? 0u : 1u << best;
    };

    // Every $MFT a record 0 (or a mirror's copy) maps.
    std::vector<MappedMft> mapped;
    // A kept record parsed in a copy of its bytes, which must outlive what is read of it.
    auto parseKept = [&](const KeptRecord& kept, std::vector<std::uint8_t>* bytes, CMFTRecord* record) {
      const std::uint32_t size = records[kept.record].Size();
      bytes->assign(findings.keptBytes.begin() + kept.offset, findings.keptBytes.begin() + kept.offset + size);
      return record->SetGeometry(size, ntfs::MinBytesPerSector, 0) == code::Success &&
             record->ParseSummary(bytes->data(), size) == code::Success;
    };
    // The first run of the unnamed $DATA of the kept record `number` in group `group`.
    auto keptDataOf = [&](std::size_t group, std::uint32_t number, StreamRun* run, Piece* piece) {
      for (const KeptRecord& kept : findings.kept) {
        const FoundRecord& found = records[kept.record];
        if (found.number != number || (found.flags & FoundRecord::Extension) != 0 || groupOf(found) != group) continue;
        CMFTRecord record;
        std::vector<std::uint8_t> bytes;
        if (!parseKept(kept, &bytes, &record) || record.DataAttribute().length == 0 || record.DataIsResident()) continue;
        if (!ReadPiece(record.Attribute(record.DataAttribute()), piece)) continue;
        const std::vector<StreamRun>& runs = record.Stream().Runs();
        if (runs.empty() || runs.front().sparse) continue;
        *run = runs.front();
        return true;
      }
      return false;
    };
    for (const KeptRecord& kept : findings.kept) {
      const FoundRecord& found = records[kept.record];
      if (found.number != ntfs::MftRecord || (found.flags & (FoundRecord::Extension | FoundRecord::Bad)) != 0) continue;
      const std::size_t g = groupOf(found);
      CMFTRecord record;
      Piece piece;
      std::vector<std::uint8_t> bytes;
      if (g == NoGroup || !parseKept(kept, &bytes, &record) || !NamedMft(record) || record.DataAttribute().length == 0 ||
          record.DataIsResident() || !ReadPiece(record.Attribute(record.DataAttribute()), &piece) || piece.firstVcn != 0) {
        continue;
      }
      // Its runs, and those of the extension records its list names that were found beside it.
      DataStream stream;
      stream.Reset(VolumeGeometry{nullptr, ntfs::MinBytesPerSector, 0, nullptr});
      if (stream.AddPiece(record.Attribute(record.DataAttribute()), RunListCheck::Strict) != code::Success) continue;
      std::uint64_t end = piece.lastVcn + 1;
      const bool hasList = record.AttributeList().length != 0;
      for (std::size_t m = 0; hasList && m < findings.kept.size(); ++m) {
        const FoundRecord& extension = records[findings.kept[m].record];
        if ((extension.flags & FoundRecord::Extension) == 0 || groupOf(extension) != g) continue;
        CMFTRecord part;
        Piece other;
        std::vector<std::uint8_t> partBytes;
        if (parseKept(findings.kept[m], &partBytes, &part) && part.DataAttribute().length != 0 &&
            !part.DataIsResident() && ReadPiece(part.Attribute(part.DataAttribute()), &other) && other.firstVcn != 0 &&
            other.lastVcn < UINT64_MAX && stream.AddPiece(part.Attribute(part.DataAttribute()), RunListCheck::Lenient) == code::Success) {
          end = std::max(end, other.lastVcn + 1);
        }
      }
      stream.Finish(Pieces::FromList, Holes::EndValue);
      MappedMft mft;
      mft.runs = stream.Runs();
      if (mft.runs.empty() || mft.runs.front().sparse || end == 0) continue;
      // Allocated bytes are whole clusters: one per VCN of every piece.
      mft.clusterSize = piece.allocated % end == 0 && IsClusterSize(piece.allocated / end)
                            ? static_cast<std::uint32_t>(piece.allocated / end)
                            : vote(order, groups[g].first, groups[g].last);
      if (mft.clusterSize == 0) continue;
      mft.sizeLog2 = found.sizeLog2;
      mft.records = piece.realSize >> found.sizeLog2;
      mft.mftCluster = mft.runs.front().lcn;
      StreamRun run;
      Piece other;
      if (keptDataOf(g, ntfs::MftMirrorRecord, &run, &other)) mft.mirrorCluster = run.lcn;
      if (keptDataOf(g, ntfs::BitmapRecord, &run, &other)) mft.bitmapBytes = other.realSize;
      const Group& group = groups[g];
      std::uint64_t mftOffset = 0, mirrorOffset = 0;
      if (!Multiply(mft.mftCluster, mft.clusterSize, &mftOffset)) continue;
      // A few records (0 to 3, or a cluster's worth) whose $MFTMirr run puts
      // the volume where its $MFT run finds the records are the mirror's copies.
      bool placed = false;
      const std::uint64_t copies = std::max<std::uint64_t>(ntfs::MirroredRecords, mft.clusterSize >> found.sizeLog2);
      if (numberAt(group.last - 1) < copies && mft.mirrorCluster != 0 &&
          mft.mirrorCluster != mft.mftCluster && Multiply(mft.mirrorCluster, mft.clusterSize, &mirrorOffset) &&
          mirrorOffset <= group.start) {
        const std::uint64_t start = group.start - mirrorOffset;
        std::uint64_t target = 0;
        const std::size_t live = Sum(start, mftOffset, &target) ? FindKey(groups, found.sizeLog2, target) : NoGroup;
        if (live != NoGroup && live != g) {
          mft.start = start;
          mft.mftStart = target;
          mft.fromMirror = true;
          placed = true;
        }
      }
      if (!placed) {
        if (mftOffset > group.start) continue;
        mft.start = group.start - mftOffset;
        mft.mftStart = group.start;
      }
      // The same $MFT seen through its record 0 and through its copy: the record's own is kept.
      auto same = std::find_if(mapped.begin(), mapped.end(), [&](const MappedMft& other) {
        return other.start == mft.start && other.clusterSize == mft.clusterSize && other.sizeLog2 == mft.sizeLog2 &&
               other.mftCluster == mft.mftCluster;
      });
      if (same == mapped.end()) {
        mapped.push_back(std::move(mft));
      } else if (same->fromMirror && !mft.fromMirror) {
        *same = std::move(mft);
      }
    }

    // The records each mapped $MFT holds are its own; where its runs lie is
    // no other's.
    std::vector<std::uint32_t> ownerOf(records.size(), NoVolume);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> mftExtents;
    // Where each mapped $MFT's records lie, up to its size, and its mirror:
    // records there that carry other numbers (slots formatted and never
    // used, copies) are its too.
    struct Claimed {
      std::uint64_t from, to;
      std::uint32_t volume;
    };
    std::vector<Claimed> claimed;
    for (std::uint32_t v = 0; v < mapped.size(); ++v) {
      MappedMft& mft = mapped[v];
      const std::uint64_t size = std::uint64_t{1} << mft.sizeLog2;
      for (const StreamRun& run : mft.runs) {
        std::uint64_t disk = 0, vcnBytes = 0, lengthBytes = 0;
        if (run.sparse || !Multiply(run.lcn, mft.clusterSize, &disk) || !Sum(disk, mft.start, &disk) ||
            !Multiply(run.vcn, mft.clusterSize, &vcnBytes) || !Multiply(run.length, mft.clusterSize, &lengthBytes) ||
            disk < vcnBytes || vcnBytes > UINT64_MAX - lengthBytes) {
          continue;
        }
        const std::uint64_t fragment = disk - vcnBytes;
        const std::uint64_t firstRecord = (vcnBytes + size - 1) / size;
        const std::uint64_t endRecord = std::min((vcnBytes + lengthBytes) / size, mft.records);
        if (firstRecord >= endRecord) continue;
        mftExtents.push_back({fragment + firstRecord * size, fragment + endRecord * size});
        claimed.push_back({fragment + firstRecord * size, fragment + endRecord * size, v});
        const std::size_t g = FindKey(groups, mft.sizeLog2, fragment);
        if (g == NoGroup) continue;
        const auto begin = order.begin() + groups[g].first, finish = order.begin() + groups[g].last;
        auto at = std::lower_bound(begin, finish, firstRecord,
                                   [&](std::uint32_t i, std::uint64_t number) { return records[i].number < number; });
        for (; at != finish && records[*at].number < endRecord; ++at) {
          if (ownerOf[*at] != NoVolume) continue;
          ownerOf[*at] = v;
          ++mft.owned;
          mft.userRecords += records[*at].number >= ntfs::FirstUserRecord ? 1 : 0;
          mft.reach = std::max(mft.reach, records[*at].position + size);
        }
      }
      for (const Cover& cover : knownCovers) {
        mft.live = mft.live || (!cover.repaired && cover.offset == mft.start && cover.mftCluster == mft.mftCluster &&
                                cover.clusterSize == mft.clusterSize);
      }
      if (mft.live) report.recordsOfKnownVolumes += mft.owned;
    }
    std::sort(mftExtents.begin(), mftExtents.end());
    for (std::uint32_t v = 0; v < mapped.size(); ++v) {
      const MappedMft& mft = mapped[v];
      std::uint64_t mirror = 0;
      const std::uint64_t copies = std::max<std::uint64_t>(ntfs::MirroredRecords << mft.sizeLog2, mft.clusterSize);
      if (mft.mirrorCluster != 0 && Multiply(mft.mirrorCluster, mft.clusterSize, &mirror) &&
          Sum(mirror, mft.start, &mirror) && mirror <= UINT64_MAX - copies) {
        claimed.push_back({mirror, mirror + copies, v});
      }
    }
    std::sort(claimed.begin(), claimed.end(), [](const Claimed& a, const Claimed& b) { return a.from < b.from; });
    for (std::uint32_t i = 0; i < records.size() && !claimed.empty(); ++i) {
      if (ownerOf[i] != NoVolume) continue;
      const std::uint64_t position = records[i].position;
      auto after = std::upper_bound(claimed.begin(), claimed.end(), position,
                                    [](std::uint64_t at, const Claimed& range) { return at < range.from; });
      // Ranges may nest: the few before it are looked at.
      for (auto at = after; at != claimed.begin() && after - at < 16;) {
        --at;
        if (position >= at->from && position < at->to) {
          ownerOf[i] = at->volume;
          if (mapped[at->volume].live) ++report.recordsOfKnownVolumes;
          break;
        }
      }
    }

    // What no mapped $MFT holds, group by group.
    std::vector<std::uint32_t> loose;
    std::vector<Leftover> leftovers;
    for (const Group& group : groups) {
      Leftover left;
      left.sizeLog2 = group.sizeLog2;
      left.start = group.start;
      left.first = static_cast<std::uint32_t>(loose.size());
      for (std::uint32_t k = group.first; k < group.last; ++k) {
        if (ownerOf[order[k]] == NoVolume) loose.push_back(order[k]);
      }
      left.last = static_cast<std::uint32_t>(loose.size());
      if (left.first == left.last) continue;
      left.minNumber = records[loose[left.first]].number;
      left.maxNumber = records[loose[left.last - 1]].number;
      for (std::uint32_t k = left.first; k < left.last; ++k) {
        left.userRecords += records[loose[k]].number >= ntfs::FirstUserRecord ? 1 : 0;
        left.reach = std::max(left.reach, records[loose[k]].position + records[loose[k]].Size());
      }
      left.clusterVote = vote(loose, left.first, left.last);
      leftovers.push_back(left);
    }

    // Their folders, and the index blocks by the folder they name.
    std::vector<std::pair<std::size_t, std::uint32_t>> foldersOf;  // (leftover, folder)
    for (std::uint32_t f = 0; f < findings.folders.size(); ++f) {
      const FoundRecord& folder = records[findings.folders[f].record];
      std::uint64_t start = 0;
      if (ownerOf[findings.folders[f].record] != NoVolume || !ImpliedStart(folder, &start)) continue;
      const std::size_t left = FindKey(leftovers, folder.sizeLog2, start);
      if (left != NoGroup) foldersOf.push_back({left, f});
    }
    std::sort(foldersOf.begin(), foldersOf.end());
    std::vector<std::pair<std::uint64_t, std::uint32_t>> byOwner;  // (folder's number, index block)
    byOwner.reserve(findings.indexes.size());
    for (std::uint32_t i = 0; i < findings.indexes.size(); ++i) {
      if (findings.indexes[i].owner != IndexBlock::NoOwner) {
        byOwner.push_back({findings.indexes[i].owner & ntfs::RecordNumberMask, i});
      }
    }
    std::sort(byOwner.begin(), byOwner.end());

    for (std::size_t l = 0; l < leftovers.size(); ++l) {
      Leftover& left = leftovers[l];
      const std::uint32_t size = 1u << left.sizeLog2;
      // A boot sector whose $MFT cluster lands on the fragment's start: the
      // primary where it starts the volume, or the backup at its end.
      for (int backup = 0; backup < 2 && !left.placed; ++backup) {
        for (const NtfsGeometry& boot : findings.boots) {
          std::uint64_t start = boot.partitionOffset, mft = 0, at = 0;
          if (backup != 0) {
            if (boot.volumeBytes > start) continue;
            start -= boot.volumeBytes;
          }
          if (boot.recordSize != size || (left.clusterVote != 0 && boot.clusterSize != left.clusterVote) ||
              !Multiply(boot.mftCluster, boot.clusterSize, &mft) || !Sum(start, mft, &at) || at != left.start) {
            continue;
          }
          left.placed = true;
          left.volumeStart = start;
          left.clusterSize = boot.clusterSize;
          left.from = backup != 0 ? GeometryFrom::BackupBootSector : GeometryFrom::BootSector;
          left.boot = boot;
          left.boot.partitionOffset = start;
          break;
        }
      }
      if (left.placed) continue;
      // Else where the folders' index runs land on the index blocks found:
      // under the right cluster size they all agree on where the volume starts.
      std::map<std::pair<std::uint32_t, std::uint64_t>, std::uint32_t> votes;
      auto folders = std::equal_range(foldersOf.begin(), foldersOf.end(), std::make_pair(l, 0u),
                                      [](const std::pair<std::size_t, std::uint32_t>& a,
                                         const std::pair<std::size_t, std::uint32_t>& b) { return a.first < b.first; });
      for (auto item = folders.first; item != folders.second; ++item) {
        const FoundFolder& folder = findings.folders[item->second];
        const FoundRecord& owner = records[folder.record];
        for (auto block = std::lower_bound(byOwner.begin(), byOwner.end(), std::make_pair(std::uint64_t{owner.number}, 0u));
             block != byOwner.end() && block->first == owner.number; ++block) {
          const FoundIndex& index = findings.indexes[block->second];
          const auto referenced = static_cast<std::uint16_t>(index.owner >> ntfs::ReferenceSequenceShift);
          if (!SequenceFollows(referenced, owner.sequence, (owner.flags & FoundRecord::InUse) == 0)) continue;
          for (std::uint32_t cluster = ntfs::MinBytesPerSector; cluster <= ntfs::MaxClusterSize; cluster *= 2) {
            if (left.clusterVote != 0 && cluster != left.clusterVote) continue;
            const std::uint32_t blockSize = folder.blockSize != 0 ? folder.blockSize : UsualIndexBlock;
            const std::uint32_t unit = blockSize >= cluster ? cluster : ntfs::IndexVcnUnit;
            std::uint64_t offset = 0, lcnBytes = 0;
            if (!Multiply(index.vcn, unit, &offset) || offset / cluster >= folder.clusters ||
                !Multiply(folder.lcn + offset / cluster, cluster, &lcnBytes) || folder.lcn > UINT64_MAX - offset / cluster ||
                !Sum(lcnBytes, offset % cluster, &lcnBytes) || lcnBytes > index.position) {
              continue;
            }
            const std::uint64_t start = index.position - lcnBytes;
            if (start > left.start || (left.start - start) % cluster != 0) continue;
            ++votes[{cluster, start}];
          }
        }
      }
      std::pair<std::uint32_t, std::uint64_t> best{};
      std::uint32_t bestVotes = 0, runnerUp = 0;
      for (const auto& entry : votes) {
        if (entry.second > bestVotes) {
          runnerUp = bestVotes;
          bestVotes = entry.second;
          best = entry.first;
        } else {
          runnerUp = std::max(runnerUp, entry.second);
        }
      }
      // One block's word alone counts only when the records' values agree on the cluster size.
      if (bestVotes > runnerUp && (bestVotes >= 2 || (left.clusterVote != 0 && votes.size() == 1))) {
        left.placed = true;
        left.clusterSize = best.first;
        left.volumeStart = best.second;
        continue;
      }
      // Else the volume whose $MFT now lies at the same place, when its clusters agree.
      for (const MappedMft& mft : mapped) {
        if (mft.sizeLog2 != left.sizeLog2 || (left.clusterVote != 0 && mft.clusterSize != left.clusterVote) ||
            left.start < mft.start || (left.start - mft.start) % mft.clusterSize != 0) {
          continue;
        }
        const bool samePlace = std::any_of(mft.runs.begin(), mft.runs.end(), [&](const StreamRun& run) {
          std::uint64_t disk = 0, vcnBytes = 0;
          return !run.sparse && Multiply(run.lcn, mft.clusterSize, &disk) && Sum(disk, mft.start, &disk) &&
                 Multiply(run.vcn, mft.clusterSize, &vcnBytes) && disk >= vcnBytes && disk - vcnBytes == left.start;
        });
        if (!samePlace) continue;
        left.placed = true;
        left.clusterSize = mft.clusterSize;
        left.volumeStart = mft.start;
        break;
      }
      if (left.placed) continue;
      // Else it was formatted over and the partition kept: the nearest boot
      // sector whose volume holds it gives where it starts, its records'
      // values the cluster size (else the newer volume's).
      std::uint64_t bestStart = 0;
      std::uint32_t bestCluster = 0;
      auto consider = [&](std::uint64_t start, std::uint64_t bytes, std::uint32_t cluster) {
        const std::uint32_t clusterSize = left.clusterVote != 0 ? left.clusterVote : cluster;
        if (start > left.start || left.start - start >= bytes || (left.start - start) % clusterSize != 0 ||
            (bestCluster != 0 && start <= bestStart)) {
          return;
        }
        bestStart = start;
        bestCluster = clusterSize;
      };
      for (const NtfsGeometry& boot : findings.boots) {
        consider(boot.partitionOffset, boot.volumeBytes, boot.clusterSize);
        if (boot.volumeBytes <= boot.partitionOffset) {
          consider(boot.partitionOffset - boot.volumeBytes, boot.volumeBytes, boot.clusterSize);
        }
      }
      if (bestCluster != 0) {
        left.placed = true;
        left.clusterSize = bestCluster;
        left.volumeStart = bestStart;
      }
    }
    // A fragment nothing else places, inside a placed volume whose size is
    // known, on its clusters and of its cluster size, is one more piece of
    // its $MFT (record 0 is what would join them).
    for (Leftover& left : leftovers) {
      for (const Leftover& volume : leftovers) {
        if (left.placed || !volume.placed || volume.boot.volumeBytes == 0 || volume.sizeLog2 != left.sizeLog2 ||
            (left.clusterVote != 0 && left.clusterVote != volume.clusterSize) || left.start < volume.volumeStart ||
            (left.start - volume.volumeStart) % volume.clusterSize != 0 ||
            left.reach - volume.volumeStart > volume.boot.volumeBytes) {
          continue;
        }
        left.placed = true;
        left.volumeStart = volume.volumeStart;
        left.clusterSize = volume.clusterSize;
        left.from = volume.from;
        left.boot = volume.boot;
      }
    }
    for (const Leftover& left : leftovers) {
      if (!left.placed) {
        ++report.groupsWithoutGeometry;
        report.recordsWithoutGeometry += left.Count();
      }
    }

    // The mapped $MFTs no partition gives are found volumes.
    for (const MappedMft& mft : mapped) {
      if (mft.live) continue;
      if (mft.userRecords == 0) {
        ++report.volumesWithoutFiles;
        continue;
      }
      FoundVolume volume;
      volume.offset = mft.start;
      volume.records = mft.owned;
      volume.mftStart = mft.mftStart;
      volume.mappedByRecord0 = true;
      volume.from = mft.fromMirror ? GeometryFrom::Mirror : GeometryFrom::Record0;
      NtfsGeometry& geometry = volume.geometry;
      geometry.partitionOffset = mft.start;
      geometry.clusterSize = mft.clusterSize;
      geometry.recordSize = 1u << mft.sizeLog2;
      geometry.mftCluster = mft.mftCluster;
      geometry.mftMirrorCluster = mft.mirrorCluster;
      for (int backup = 0; backup < 2 && volume.from != GeometryFrom::BootSector; ++backup) {
        for (const NtfsGeometry& boot : findings.boots) {
          if (backup != 0 && boot.volumeBytes > boot.partitionOffset) continue;
          const std::uint64_t start = backup != 0 ? boot.partitionOffset - boot.volumeBytes : boot.partitionOffset;
          if (start != mft.start || boot.mftCluster != mft.mftCluster || boot.clusterSize != mft.clusterSize ||
              boot.recordSize != geometry.recordSize) {
            continue;
          }
          volume.from = backup != 0 ? GeometryFrom::BackupBootSector : GeometryFrom::BootSector;
          geometry.volumeBytes = boot.volumeBytes;
          if (geometry.mftMirrorCluster == 0) geometry.mftMirrorCluster = boot.mftMirrorCluster;
          break;
        }
      }
      volume.sizeKnown = geometry.volumeBytes != 0;
      // Else at least as far as its records, and at most as far as its $Bitmap counts clusters.
      std::uint64_t bitmapped = 0;
      if (!Multiply(mft.bitmapBytes, 8, &bitmapped) || !Multiply(bitmapped, mft.clusterSize, &bitmapped)) bitmapped = 0;
      volume.bytes = volume.sizeKnown ? geometry.volumeBytes : std::max(mft.reach - mft.start, bitmapped);
      volumes.push_back(std::move(volume));
    }

    // Fragments placed alike are one volume's: joined where their numbers do
    // not clash, the largest first.
    std::vector<std::size_t> placed;
    for (std::size_t l = 0; l < leftovers.size(); ++l) {
      if (leftovers[l].placed) placed.push_back(l);
    }
    std::sort(placed.begin(), placed.end(), [&](std::size_t a, std::size_t b) {
      const Leftover &x = leftovers[a], &y = leftovers[b];
      if (x.volumeStart != y.volumeStart) return x.volumeStart < y.volumeStart;
      if (x.clusterSize != y.clusterSize) return x.clusterSize < y.clusterSize;
      if (x.sizeLog2 != y.sizeLog2) return x.sizeLog2 < y.sizeLog2;
      return x.Count() != y.Count() ? x.Count() > y.Count() : x.start < y.start;
    });
    for (std::size_t k = 0; k < placed.size();) {
      const Leftover& head = leftovers[placed[k]];
      std::size_t end = k + 1;
      while (end < placed.size() && leftovers[placed[end]].volumeStart == head.volumeStart &&
             leftovers[placed[end]].clusterSize == head.clusterSize && leftovers[placed[end]].sizeLog2 == head.sizeLog2) {
        ++end;
      }
      std::vector<const Leftover*> members;
      for (std::size_t m = k; m < end; ++m) {
        const Leftover& candidate = leftovers[placed[m]];
        const bool clashes = std::any_of(members.begin(), members.end(), [&](const Leftover* member) {
          return candidate.minNumber <= member->maxNumber && member->minNumber <= candidate.maxNumber;
        });
        if (clashes) {
          report.recordsOverlapping += candidate.Count();
        } else {
          members.push_back(&candidate);
        }
      }
      k = end;
      std::uint32_t userRecords = 0, count = 0;
      std::uint64_t reach = 0;
      const Leftover* lowest = members.front();
      for (const Leftover* member : members) {
        userRecords += member->userRecords;
        count += member->Count();
        reach = std::max(reach, member->reach);
        if (member->minNumber < lowest->minNumber) lowest = member;
      }
      if (userRecords == 0) {
        ++report.volumesWithoutFiles;
        continue;
      }
      // Where its records lie: each fragment from its first record found to
      // its last, less what a mapped $MFT holds, in 512-byte units.
      const std::uint64_t size = std::uint64_t{1} << head.sizeLog2;
      struct Span {
        std::uint64_t first, end, disk;  // records [first, end) from disk position `disk`
      };
      std::vector<Span> spans;
      std::vector<std::pair<std::uint64_t, std::uint64_t>> pieces;
      for (const Leftover* member : members) {
        pieces.clear();
        Subtract(member->start + member->minNumber * size, member->start + (std::uint64_t{member->maxNumber} + 1) * size,
                 mftExtents, &pieces);
        for (const auto& piece : pieces) {
          const std::uint64_t first = (piece.first - member->start + size - 1) / size;
          const std::uint64_t end = (piece.second - member->start) / size;
          if (first < end) spans.push_back({first, end, member->start + first * size});
        }
      }
      if (spans.empty()) continue;
      std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.first < b.first; });
      FoundVolume volume;
      const std::uint64_t units = size / ntfs::UsaSectorSize;
      std::uint64_t vcn = 0;
      for (const Span& span : spans) {
        if (span.first * units > vcn) volume.map.push_back({vcn, span.first * units - vcn, 0, true});
        volume.map.push_back({span.first * units, (span.end - span.first) * units, span.disk / ntfs::UsaSectorSize, false});
        vcn = span.end * units;
      }
      volume.offset = head.volumeStart;
      volume.records = count;
      volume.mftStart = lowest->start;
      volume.mappedByRecord0 = false;
      volume.from = GeometryFrom::Inferred;
      NtfsGeometry& geometry = volume.geometry;
      geometry.partitionOffset = head.volumeStart;
      geometry.clusterSize = head.clusterSize;
      geometry.recordSize = static_cast<std::uint32_t>(size);
      geometry.mftCluster = (lowest->start - head.volumeStart) / head.clusterSize;
      for (const Leftover* member : members) {
        if (member->from == GeometryFrom::BootSector ||
            (member->from == GeometryFrom::BackupBootSector && volume.from == GeometryFrom::Inferred)) {
          volume.from = member->from;
          geometry.volumeBytes = member->boot.volumeBytes;
          geometry.mftMirrorCluster = member->boot.mftMirrorCluster;
        }
      }
      volume.sizeKnown = geometry.volumeBytes != 0;
      volume.bytes = volume.sizeKnown ? geometry.volumeBytes : reach - head.volumeStart;
      // A volume formatted over it at the same place most likely kept its size.
      for (const NtfsGeometry& boot : findings.boots) {
        const bool here = boot.partitionOffset == head.volumeStart ||
                          (boot.volumeBytes <= boot.partitionOffset && boot.partitionOffset - boot.volumeBytes == head.volumeStart);
        if (!volume.sizeKnown && here) volume.bytes = std::max(volume.bytes, boot.volumeBytes + ntfs::BootSectorSize);
      }
      volumes.push_back(std::move(volume));
    }

    std::sort(volumes.begin(), volumes.end(), [](const FoundVolume& a, const FoundVolume& b) {
      if (a.offset != b.offset) return a.offset < b.offset;
      return a.mftStart != b.mftStart ? a.mftStart < b.mftStart : a.records > b.records;
    });
    coverings.resize(volumes.size());
    foundDrives.resize(volumes.size());
  } catch (const std::bad_alloc&) {
    volumes.clear();
    return code::NotEnoughMemory;
  }
  return code::Success;
}

DWORD CFoundVolumes::Open(std::size_t index, CNTFSDrive* drive) {
  if (index >= volumes.size() || disk == nullptr) return code::InvalidParameter;
  const FoundVolume& volume = volumes[index];
  try {
    auto covering = std::make_unique<Covering>(volume.offset, volume.geometry.clusterSize);
    // What covers its place now: the volumes the partition table gives, but
    // itself; and for what a volume no longer holds, the found volumes whose
    // record 0 maps that place.
    for (const Cover& cover : knownCovers) {
      // A volume the table gives that needs a repair is found too: its own bitmap is its.
      const bool itself = volume.mappedByRecord0 && cover.offset == volume.offset &&
                          cover.mftCluster == volume.geometry.mftCluster &&
                          cover.clusterSize == volume.geometry.clusterSize;
      if (!itself && Overlaps(cover.offset, cover.bytes, volume.offset, volume.bytes)) covering->Add(cover);
    }
    for (std::size_t other = 0; other < volumes.size() && !volume.mappedByRecord0; ++other) {
      const FoundVolume& mapped = volumes[other];
      if (other == index || !mapped.mappedByRecord0 ||
          !Overlaps(mapped.offset, mapped.bytes, volume.offset, volume.bytes)) {
        continue;
      }
      if (!foundDrives[other]) {
        auto opened = std::make_unique<CNTFSDrive>();
        opened->AttachDisk(disk);
        if (opened->Initialize(mapped.geometry) != code::Success) continue;
        foundDrives[other] = std::move(opened);
      }
      Cover cover;
      cover.offset = mapped.offset;
      cover.bytes = mapped.bytes;
      cover.clusterSize = mapped.geometry.clusterSize;
      cover.mftCluster = mapped.geometry.mftCluster;
      cover.drive = foundDrives[other].get();
      covering->Add(cover);
    }
    drive->AttachDisk(disk);
    drive->SetKind(VolumeKind::Found);
    // With nothing over it, a volume whose record 0 maps it is the one there:
    // its own bitmap tells. Records no record 0 maps have no bitmap of their own.
    drive->SetClusterUse(!covering->Empty() || !volume.mappedByRecord0 ? covering.get() : nullptr);
    coverings[index] = std::move(covering);
  } catch (const std::bad_alloc&) {
    return code::NotEnoughMemory;
  }
  return volume.mappedByRecord0 ? drive->Initialize(volume.geometry) : drive->Initialize(volume.geometry, volume.map);
}

DWORD DeepScan(DiskReader& disk, const DiskRange& range, const std::vector<KnownVolume>& known,
               const std::atomic<bool>& stopRequested, DeepScanSink& sink, CFoundVolumes* volumes,
               std::uint32_t chunkBytes) {
  DeepFindings findings;
  const DWORD found = FindSignatures(disk, range, stopRequested, sink, &findings, chunkBytes);
  if (found != code::Success && found != code::Cancelled) return found;
  const DWORD built = volumes->Build(disk, findings, known);
  return built != code::Success ? built : found;
}
