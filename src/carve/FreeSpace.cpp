#include "carve/FreeSpace.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <new>

#include "carve/Crc32.h"
#include "carve/Parsers.h"
#include "ntfs/NTFSDrive.h"
#include "scan/RowTable.h"

namespace carve {

namespace {

constexpr std::size_t MaxSpans = std::size_t{1} << 16;      // free ranges mapped ahead of the carver at most
constexpr std::uint32_t MaxDiskRead = std::uint32_t{1} << 20;  // bytes of one read, and of one piece to a sink
constexpr std::uint64_t BitmapSectorClusters = 4096;  // a 512-byte sector of the bitmap

struct Span {
  std::uint64_t logical;  // the stream's byte at the span's first cluster
  std::uint64_t first;    // clusters [first, first + count)
  std::uint64_t count;
};

// The free clusters as one stream of bytes, mapped a free range at a time
// as reads reach them; ranges behind the carver are forgotten, so that the
// map stays small however large the volume.
class FreeStream {
 public:
  FreeStream(const VolumeSpan& span, FreeClusters& clusters) : volume(span), free(clusters) {}

  // Up to `count` bytes from `offset` of the stream; fewer only where it
  // ends (or more ranges than the map holds lie between). The disk's code
  // when a read fails, code::NotEnoughMemory.
  DWORD Read(std::uint64_t offset, std::size_t count, std::uint8_t* buffer, std::size_t* got) {
    *got = 0;
    while (*got < count) {
      std::size_t index = 0;
      const DWORD found = Locate(offset + *got, &index);
      if (found != code::Success) return found;
      if (index == spans.size()) break;
      const Span& s = spans[index];
      const std::uint64_t within = offset + *got - s.logical;
      const std::uint64_t left = s.count * volume.clusterSize - within;
      const std::uint32_t want =
          static_cast<std::uint32_t>(std::min<std::uint64_t>({count - *got, left, MaxDiskRead}));
      std::uint32_t delivered = 0;
      const DWORD result =
          volume.disk->ReadAt(volume.offset + s.first * volume.clusterSize + within, buffer + *got, want, &delivered);
      if (result != code::Success) return result;
      *got += std::min(delivered, want);
      if (delivered < want) break;  // the disk ends
    }
    return code::Success;
  }

  // The span holding stream byte `logical` (spans.size() past the stream's end).
  DWORD Locate(std::uint64_t logical, std::size_t* index) {
    while (spans.empty() || logical >= End(spans.back())) {
      if (ended || spans.size() >= MaxSpans) {
        *index = spans.size();
        return code::Success;
      }
      const DWORD result = Extend();
      if (result != code::Success) return result;
    }
    if (logical < spans.front().logical) {  // dropped: never asked by the carver
      *index = spans.size();
      return code::Success;
    }
    auto after = std::upper_bound(spans.begin(), spans.end(), logical,
                                  [](std::uint64_t value, const Span& s) { return value < s.logical; });
    *index = static_cast<std::size_t>(after - spans.begin()) - 1;
    return code::Success;
  }

  // Forgets the spans that end at or before `logical`.
  void Drop(std::uint64_t logical) {
    while (!spans.empty() && End(spans.front()) <= logical) spans.pop_front();
  }

  // The volume's pieces of stream bytes [offset, offset + length).
  DWORD Pieces(std::uint64_t offset, std::uint64_t length, std::vector<CarvedPiece>* pieces) {
    pieces->clear();
    while (length > 0) {
      std::size_t index = 0;
      const DWORD result = Locate(offset, &index);
      if (result != code::Success) return result;
      if (index == spans.size()) return code::InvalidParameter;  // never: the parser read these bytes
      const Span& s = spans[index];
      const std::uint64_t within = offset - s.logical;
      const std::uint64_t take = std::min(length, s.count * volume.clusterSize - within);
      pieces->push_back({s.first + within / volume.clusterSize, take});
      offset += take;
      length -= take;
    }
    return code::Success;
  }

  std::uint64_t ClusterAt(std::uint64_t logical) {
    std::size_t index = 0;
    if (Locate(logical, &index) != code::Success || index == spans.size()) return 0;
    return spans[index].first + (logical - spans[index].logical) / volume.clusterSize;
  }

 private:
  std::uint64_t End(const Span& s) const { return s.logical + s.count * volume.clusterSize; }

  DWORD Extend() {
    ClusterRange range;
    const DWORD result = free.Next(next, &range);
    if (result != code::Success) return result;
    if (volume.clusterCount != 0 && range.count != 0) {
      range.count = range.first >= volume.clusterCount ? 0 : std::min(range.count, volume.clusterCount - range.first);
    }
    if (range.count == 0 || range.first < next) {
      ended = true;
      return code::Success;
    }
    next = range.first + range.count;
    if (!spans.empty() && spans.back().first + spans.back().count == range.first) {
      spans.back().count += range.count;
    } else {
      const std::uint64_t logical = spans.empty() ? mappedEnd : End(spans.back());
      try {
        spans.push_back({logical, range.first, range.count});
      } catch (const std::bad_alloc&) {
        return code::NotEnoughMemory;
      }
    }
    mappedEnd = End(spans.back());
    return code::Success;
  }

  const VolumeSpan& volume;
  FreeClusters& free;
  std::deque<Span> spans;
  std::uint64_t next = 0;       // the cluster the next free range is asked from
  std::uint64_t mappedEnd = 0;  // the stream's bytes mapped so far
  bool ended = false;
};

// A candidate's bytes: the carver's window where it holds them, else the
// stream after it.
class CandidateSource : public ByteSource {
 public:
  CandidateSource(FreeStream& freeStream, const std::uint8_t* bytes, std::uint64_t base, std::size_t length,
                  std::uint64_t start)
      : stream(freeStream), window(bytes), windowBase(base), windowLength(length), candidate(start) {}

  DWORD Read(std::uint64_t offset, std::size_t count, std::uint8_t* buffer, std::size_t* got) override {
    *got = 0;
    if (offset > UINT64_MAX - candidate) return code::Success;
    const std::uint64_t at = candidate + offset;
    if (at >= windowBase && at - windowBase < windowLength) {
      const std::size_t within = static_cast<std::size_t>(at - windowBase);
      const std::size_t take = std::min(count, windowLength - within);
      std::memcpy(buffer, window + within, take);
      *got = take;
      if (take == count) return code::Success;
    }
    std::size_t more = 0;
    const DWORD result = stream.Read(at + *got, count - *got, buffer + *got, &more);
    *got += more;
    return result;
  }

  const std::uint8_t* View(std::uint64_t offset, std::size_t* available) override {
    *available = 0;
    if (offset > UINT64_MAX - candidate) return nullptr;
    const std::uint64_t at = candidate + offset;
    if (at < windowBase || at - windowBase >= windowLength) return nullptr;
    const std::size_t within = static_cast<std::size_t>(at - windowBase);
    *available = windowLength - within;
    return window + within;
  }

 private:
  FreeStream& stream;
  const std::uint8_t* window;
  std::uint64_t windowBase;
  std::size_t windowLength;
  std::uint64_t candidate;
};

std::uint64_t RoundUp(std::uint64_t value, std::uint32_t unit) {
  const std::uint64_t rest = value % unit;
  return rest == 0 ? value : SaturatingAdd(value, unit - rest);
}

// A candidate's bytes up to `at`, then those of `tail` from `tailAt`: a
// file whose next piece lies past free clusters not its own (the same
// source further on) or before its first (the volume's own bytes).
class SplicedSource : public ByteSource {
 public:
  SplicedSource(ByteSource& source, std::uint64_t breakAt, ByteSource& rest, std::uint64_t restAt)
      : whole(source), tail(rest), at(breakAt), tailAt(restAt) {}

  DWORD Read(std::uint64_t offset, std::size_t count, std::uint8_t* buffer, std::size_t* got) override {
    *got = 0;
    if (offset < at) {
      const std::size_t first = static_cast<std::size_t>(std::min<std::uint64_t>(count, at - offset));
      const DWORD result = whole.Read(offset, first, buffer, got);
      if (result != code::Success || *got < first || first == count) return result;
      offset = at;
    }
    if (offset - at > UINT64_MAX - tailAt) return code::Success;
    std::size_t more = 0;
    const DWORD result = tail.Read(offset - at + tailAt, count - *got, buffer + *got, &more);
    *got += more;
    return result;
  }

  const std::uint8_t* View(std::uint64_t offset, std::size_t* available) override {
    if (offset < at) {
      const std::uint8_t* bytes = whole.View(offset, available);
      *available = static_cast<std::size_t>(std::min<std::uint64_t>(*available, at - offset));
      return bytes;
    }
    *available = 0;
    return offset - at > UINT64_MAX - tailAt ? nullptr : tail.View(offset - at + tailAt, available);
  }

 private:
  ByteSource& whole;
  ByteSource& tail;
  std::uint64_t at, tailAt;
};

// The volume's bytes of clusters [first, end), in use or not.
class VolumeBytes : public ByteSource {
 public:
  VolumeBytes(const VolumeSpan& span, std::uint64_t first, std::uint64_t end)
      : volume(span), cluster(first), endCluster(std::min(end, span.clusterCount)) {}

  DWORD Read(std::uint64_t offset, std::size_t count, std::uint8_t* buffer, std::size_t* got) override {
    *got = 0;
    const std::uint64_t size = (endCluster - std::min(cluster, endCluster)) * volume.clusterSize;
    if (offset >= size) return code::Success;
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, size - offset));
    while (*got < count) {
      const std::uint32_t want = static_cast<std::uint32_t>(std::min<std::size_t>(count - *got, MaxDiskRead));
      std::uint32_t delivered = 0;
      const DWORD result = volume.disk->ReadAt(volume.offset + cluster * volume.clusterSize + offset + *got,
                                               buffer + *got, want, &delivered);
      if (result != code::Success) return result;
      *got += std::min(delivered, want);
      if (delivered < want) break;
    }
    return code::Success;
  }

 private:
  const VolumeSpan& volume;
  std::uint64_t cluster, endCluster;
};

// Where a file in pieces is looked for: each break at a cluster boundary at
// most MaxBreakClusters past the last byte the walk held (a deflate stream
// fails within a few hundred bytes of foreign data; a PNG chunk is mostly 8
// to 64 KiB), the next piece at most MaxGapClusters of free space past it:
// an allocator filling the holes of a busy volume puts other files' pieces
// between, and those are free again once they are deleted too. For each
// gap the structure after the failing one must first begin where it should
// (a 30-byte read), so that only a few joins are walked whole. A join is
// kept where the structure across it then validates (a chunk's or an
// entry's CRC-32); the file is taken only when it validates whole.
constexpr std::uint64_t MaxBreakClusters = 16;
constexpr std::uint64_t MaxGapClusters = 4096;
constexpr std::size_t MaxPieces = 8;

struct PieceRules {
  Family family;
  std::uint64_t (*RestOf)(const std::uint8_t* before, std::size_t beforeCount, const std::uint8_t* after);
  bool (*Begins)(const std::uint8_t* bytes);
  // Whether the structure [from, to) of a join validates on its own, so
  // that the whole file is walked only then; nullptr to walk it at once.
  bool (*Holds)(ByteSource& source, std::uint64_t from, std::uint64_t to);
};

// A PNG chunk's CRC-32: of its type and data, stored after them.
bool PngChunkHolds(ByteSource& source, std::uint64_t from, std::uint64_t to) {
  constexpr std::uint64_t LengthBytes = 4, CrcBytes = 4;
  if (to - from < LengthBytes + CrcBytes) return false;
  std::uint8_t buffer[4096];
  Crc32 crc;
  for (std::uint64_t at = from + LengthBytes; at < to - CrcBytes;) {
    std::size_t got = 0;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, to - CrcBytes - at));
    if (source.Read(at, want, buffer, &got) != code::Success || got != want) return false;
    crc.Update(buffer, got);
    at += got;
  }
  std::size_t got = 0;
  return source.Read(to - CrcBytes, CrcBytes, buffer, &got) == code::Success && got == CrcBytes &&
         Be32(buffer) == crc.Value();
}

const PieceRules PieceTypes[] = {
    {Family::Png, PngRestOfChunk, PngChunkBegins, PngChunkHolds},
    {Family::Zip, ZipRestOfEntry, ZipRecordBegins, nullptr},
};

// A file's bytes [breakAt, ...) lie `gapBytes` further on than those
// before, or, `back`, at the volume's cluster `cluster` before the file.
struct Join {
  std::uint64_t breakAt = 0;
  std::uint64_t gapBytes = 0;
  bool back = false;
  std::uint64_t cluster = 0;
};

// Whether cluster `cluster` is free and claimed by no listed file.
bool IsFree(FreeClusters& free, std::uint64_t cluster) {
  ClusterRange range;
  return free.Next(cluster, &range) == code::Success && range.count != 0 && range.first == cluster;
}

// The one join past `carving` (damaged where its checks stopped) that
// carries the walk past the failing structure, in `*join` with the walk's
// result in `*joined`; join->breakAt 0 when there is none.
DWORD FindJoin(const FileType& type, const PieceRules& rules, ByteSource& source, const Limits& limits,
               const VolumeSpan& volume, FreeClusters& free, std::uint64_t firstCluster, const Carving& carving,
               Join* join, Carving* joined) {
  const std::uint32_t cs = volume.clusterSize;
  *join = Join();
  const std::uint64_t good = carving.length;
  const std::uint64_t firstBreak = RoundUp(good, cs);
  if (firstBreak == 0 || firstBreak > UINT64_MAX - (MaxBreakClusters + MaxGapClusters + 1) * cs) return code::Success;
  std::uint8_t before[StructureBeforeBytes], head[StructureHeadBytes], next[StructureHeadBytes];
  const std::size_t beforeCount = static_cast<std::size_t>(std::min<std::uint64_t>(good, StructureBeforeBytes));
  std::size_t got = 0;
  if (source.Read(good - beforeCount, beforeCount, before, &got) != code::Success || got != beforeCount) {
    return code::Success;
  }
  // Where the failing structure ends when its head lies before the break.
  std::uint64_t end = 0;
  if (source.Read(good, StructureHeadBytes, head, &got) == code::Success && got == StructureHeadBytes) {
    const std::uint64_t rest = rules.RestOf(before, beforeCount, head);
    if (rest != 0 && rest <= UINT64_MAX / 2) end = good + rest;
  }
  for (std::uint64_t g = 1; g <= MaxGapClusters; ++g) {
    const std::uint64_t gap = g * cs;
    for (std::uint64_t k = 0; k < MaxBreakClusters; ++k) {
      const std::uint64_t b = firstBreak + k * cs;
      std::uint64_t structureEnd = end;
      if (b < good + StructureHeadBytes) {
        // The head itself may lie past the break.
        SplicedSource spliced(source, b, source, b + gap);
        if (spliced.Read(good, StructureHeadBytes, head, &got) != code::Success || got != StructureHeadBytes) break;
        const std::uint64_t rest = rules.RestOf(before, beforeCount, head);
        structureEnd = rest != 0 && rest <= UINT64_MAX / 2 ? good + rest : 0;
      } else if (k > 0 && b - cs >= good + StructureHeadBytes) {
        // The head before the break: the next structure's place is the
        // same for every later break, and was asked for already.
        break;
      }
      if (structureEnd == 0) continue;
      if (structureEnd <= b) break;  // the failing structure would lie before the break
      if (source.Read(structureEnd + gap, StructureHeadBytes, next, &got) != code::Success || got != StructureHeadBytes ||
          !rules.Begins(next))
        continue;
      // The next structure is where it should be: walk each break up to it.
      for (std::uint64_t at = b; at < structureEnd && at < firstBreak + MaxBreakClusters * cs; at += cs) {
        SplicedSource spliced(source, at, source, at + gap);
        if (rules.Holds != nullptr && !rules.Holds(spliced, good, structureEnd)) continue;
        Carving walked;
        const DWORD result = Carve(type, spliced, limits, &walked);
        if (result != code::Success) return result;
        if (walked.verdict == Verdict::Carved || (walked.verdict == Verdict::Damaged && walked.length > structureEnd)) {
          *join = {at, gap};
          *joined = walked;
          return code::Success;
        }
      }
      break;
    }
  }
  // Before the file's first cluster: an allocator filling holes puts a
  // later piece in whichever comes first. Only where the failing
  // structure's head lies before the break: the next one's place in a
  // piece that begins at cluster c for a break b then depends on c less b
  // alone, so that each place is read once.
  if (end <= firstBreak) return code::Success;
  VolumeBytes all(volume, 0, firstCluster);
  const std::uint64_t placeWithin = end - firstBreak;
  for (std::uint64_t back = 1; back <= MaxGapClusters + MaxBreakClusters && back <= firstCluster; ++back) {
    const std::uint64_t place = firstCluster - back;  // a piece's cluster less the clusters past the first break
    if (all.Read(place * cs + placeWithin, StructureHeadBytes, next, &got) != code::Success ||
        got != StructureHeadBytes || !rules.Begins(next))
      continue;
    for (std::uint64_t k = 0; k < MaxBreakClusters && place + k < firstCluster; ++k) {
      const std::uint64_t b = firstBreak + k * cs, cluster = place + k;
      if (b < good + StructureHeadBytes || firstCluster - cluster > MaxGapClusters) continue;
      if (b >= end) break;
      if (!IsFree(free, cluster)) continue;
      VolumeBytes piece(volume, cluster, firstCluster);  // never into the file's own first piece
      SplicedSource spliced(source, b, piece, 0);
      if (rules.Holds != nullptr && !rules.Holds(spliced, good, end)) continue;
      Carving walked;
      const DWORD result = Carve(type, spliced, limits, &walked);
      if (result != code::Success) return result;
      if (walked.verdict == Verdict::Carved || (walked.verdict == Verdict::Damaged && walked.length > end)) {
        *join = {b, 0, true, cluster};
        *joined = walked;
        return code::Success;
      }
    }
  }
  return code::Success;
}

// For a PNG or ZIP that fails partway (`*carving`, from the volume's
// cluster `firstCluster`): the joins that make it whole, in file order, and
// the carving made whole; none when there are not.
DWORD FindPieces(const FileType& type, ByteSource& source, const Limits& limits, const VolumeSpan& volume,
                 FreeClusters& free, std::uint64_t firstCluster, Carving* carving, std::vector<Join>* joins) {
  joins->clear();
  const PieceRules* rules = nullptr;
  for (const PieceRules& r : PieceTypes)
    if (r.family == type.family) rules = &r;
  if (rules == nullptr) return code::Success;
  // Each join's source wraps the one before.
  std::vector<std::unique_ptr<ByteSource>> sources;
  ByteSource* current = &source;
  Carving walked = *carving;
  while (walked.verdict == Verdict::Damaged && walked.damage == Damage::Invalid && joins->size() + 1 < MaxPieces) {
    Join join;
    Carving next;
    const DWORD result = FindJoin(type, *rules, *current, limits, volume, free, firstCluster, walked, &join, &next);
    if (result != code::Success) return result;
    if (join.breakAt == 0) break;
    try {
      ByteSource* tail = current;
      std::uint64_t tailAt = join.breakAt + join.gapBytes;
      if (join.back) {
        sources.emplace_back(new VolumeBytes(volume, join.cluster, firstCluster));
        tail = sources.back().get();
        tailAt = 0;
      }
      sources.emplace_back(new SplicedSource(*current, join.breakAt, *tail, tailAt));
      current = sources.back().get();
      joins->push_back(join);
    } catch (const std::bad_alloc&) {
      return code::NotEnoughMemory;
    }
    walked = next;
  }
  // Pieces found before the file must not share a cluster.
  std::vector<ClusterRange> before;  // first: volume byte, count: bytes
  std::uint64_t shift = 0;
  bool onVolume = false;
  for (std::size_t j = 0; j < joins->size() && walked.verdict == Verdict::Carved; ++j) {
    const std::uint64_t from = (*joins)[j].breakAt;
    const std::uint64_t to = j + 1 < joins->size() ? (*joins)[j + 1].breakAt : walked.length;
    if ((*joins)[j].back) {
      onVolume = true;
      shift = (*joins)[j].cluster * volume.clusterSize - from;
    } else {
      shift += (*joins)[j].gapBytes;
    }
    if (!onVolume) continue;
    const ClusterRange piece{from + shift, RoundUp(to - from, volume.clusterSize)};
    for (const ClusterRange& other : before)
      if (piece.first < other.first + other.count && other.first < piece.first + piece.count) walked = Carving();
    try {
      before.push_back(piece);
    } catch (const std::bad_alloc&) {
      return code::NotEnoughMemory;
    }
  }
  if (walked.verdict == Verdict::Carved) *carving = walked;
  else joins->clear();  // in pieces but not whole: kept as the damaged first piece
  return code::Success;
}

// The first type of `families` that carves the bytes at stream offset `at`
// whole (Carved), or nullptr.
DWORD WholeFileAt(FreeStream& stream, const std::uint8_t* window, std::uint64_t base, std::size_t length,
                  std::uint64_t at, const CarveOptions& options, const FileType** found) {
  *found = nullptr;
  std::uint8_t probe[ProbeBytes];
  std::size_t got = 0;
  CandidateSource source(stream, window, base, length, at);
  if (source.Read(0, ProbeBytes, probe, &got) != code::Success || got == 0) return code::Success;
  std::size_t count = 0;
  const FileType* types = Types(&count);
  for (std::size_t t = 0; t < count; ++t) {
    if ((options.families >> static_cast<unsigned>(types[t].family) & 1) == 0 || !types[t].Matches(probe, got)) continue;
    Carving carving;
    const DWORD result = Carve(types[t], source, options.limits, &carving);
    if (result != code::Success) return result;
    if (carving.verdict == Verdict::Carved) {
      *found = &types[t];
      return code::Success;
    }
  }
  return code::Success;
}

}  // namespace

BitmapFreeClusters::BitmapFreeClusters(InUseCount counter, std::uint64_t clusterCount)
    : inUse(std::move(counter)), clusters(clusterCount) {}

bool BitmapFreeClusters::Claim(std::uint64_t first, std::uint64_t count) {
  if (count == 0 || first >= clusters) return true;
  try {
    claims.push_back({first, std::min(count, clusters - first)});
  } catch (const std::bad_alloc&) {
    return false;
  }
  sorted = false;
  return true;
}

void BitmapFreeClusters::Mark(std::uint64_t first, std::uint64_t count) {
  std::uint64_t taken = 0;
  const DWORD result = inUse ? inUse(first, count, &taken) : code::NotSupported;
  if (result != code::Success) {
    // The bitmap fails a sector at a time: narrow down to that, then read as free.
    if (count <= BitmapSectorClusters) {
      unknown += count;
      return;
    }
    for (std::uint64_t at = first; at < first + count;) {
      const std::uint64_t end = std::min(first + count, (at / BitmapSectorClusters + 1) * BitmapSectorClusters);
      Mark(at, end - at);
      at = end;
    }
    return;
  }
  if (taken == 0) return;
  if (taken >= count || count == 1) {
    const std::uint64_t base = block * BlockClusters;
    for (std::uint64_t c = first; c < first + count; ++c) used[(c - base) / 64] |= std::uint64_t{1} << ((c - base) % 64);
    return;
  }
  Mark(first, count / 2);
  Mark(first + count / 2, count - count / 2);
}

DWORD BitmapFreeClusters::LoadBlock(std::uint64_t wanted) {
  if (wanted == block) return code::Success;
  try {
    used.assign(BlockClusters / 64, 0);
  } catch (const std::bad_alloc&) {
    return code::NotEnoughMemory;
  }
  block = wanted;
  const std::uint64_t first = wanted * BlockClusters;
  Mark(first, std::min(BlockClusters, clusters - first));
  return code::Success;
}

bool BitmapFreeClusters::Used(std::uint64_t cluster) const {
  const std::uint64_t at = cluster - block * BlockClusters;
  return (used[at / 64] >> (at % 64) & 1) != 0;
}

DWORD BitmapFreeClusters::Next(std::uint64_t from, ClusterRange* range) {
  *range = ClusterRange();
  if (!sorted) {
    std::sort(claims.begin(), claims.end(),
              [](const ClusterRange& a, const ClusterRange& b) { return a.first < b.first; });
    std::size_t kept = 0;
    for (const ClusterRange& claim : claims) {
      if (kept > 0 && claim.first <= claims[kept - 1].first + claims[kept - 1].count) {
        const std::uint64_t end = std::max(claims[kept - 1].first + claims[kept - 1].count, claim.first + claim.count);
        claims[kept - 1].count = end - claims[kept - 1].first;
      } else {
        claims[kept++] = claim;
      }
    }
    claims.resize(kept);
    sorted = true;
  }
  std::uint64_t c = from;
  while (c < clusters) {
    // The first claim that ends after c.
    auto claim = std::upper_bound(claims.begin(), claims.end(), c, [](std::uint64_t value, const ClusterRange& r) {
      return value < r.first + r.count;
    });
    if (claim != claims.end() && claim->first <= c) {
      c = claim->first + claim->count;
      continue;
    }
    const std::uint64_t claimed = claim == claims.end() ? clusters : claim->first;
    const DWORD result = LoadBlock(c / BlockClusters);
    if (result != code::Success) return result;
    const std::uint64_t blockEnd = std::min(clusters, (block + 1) * BlockClusters);
    const std::uint64_t stop = std::min(blockEnd, claimed);
    // Whole words of in-use clusters are passed at once.
    while (c < stop && Used(c)) {
      const std::uint64_t at = c - block * BlockClusters;
      if (at % 64 == 0 && c + 64 <= stop && used[at / 64] == UINT64_MAX) c += 64;
      else ++c;
    }
    if (c == stop) continue;
    const std::uint64_t first = c;
    while (c < stop && !Used(c)) {
      const std::uint64_t at = c - block * BlockClusters;
      if (at % 64 == 0 && c + 64 <= stop && used[at / 64] == 0) c += 64;
      else ++c;
    }
    range->first = first;
    range->count = c - first;
    return code::Success;
  }
  return code::Success;
}

DWORD CarveFreeSpace(const VolumeSpan& volume, FreeClusters& free, const CarveOptions& options,
                     CarveObserver& observer, CarveTotals* totals) {
  *totals = CarveTotals();
  const std::uint32_t cs = volume.clusterSize;
  if (volume.disk == nullptr || cs == 0) return code::InvalidParameter;
  // Whole clusters, at least one, so that every window starts at a cluster.
  const std::size_t readBytes = std::max<std::size_t>(cs, options.readBytes / cs * cs);
  std::unique_ptr<std::uint8_t[]> window(new (std::nothrow) std::uint8_t[readBytes]);
  if (window == nullptr) return code::NotEnoughMemory;
  FreeStream stream(volume, free);
  std::size_t typeCount = 0;
  const FileType* types = Types(&typeCount);
  CarvedFile file;

  std::uint64_t pos = 0, base = 0;
  std::size_t length = 0;
  // Stream bytes of the later pieces of files already carved, in order:
  // passed over when reached.
  std::vector<ClusterRange> taken;  // first: stream byte, count: bytes
  std::vector<Join> joins;
  std::vector<CarvedPiece> more;
  for (;;) {
    if (pos >= base + length) {
      stream.Drop(pos);
      base = pos;
      length = 0;
      DWORD result = stream.Read(base, readBytes, window.get(), &length);
      if (result == code::NotEnoughMemory) return result;
      if (result != code::Success) {
        // One bad sector fails the whole read: take the clusters before it.
        for (length = 0; length < readBytes; length += cs) {
          std::size_t got = 0;
          result = stream.Read(base + length, cs, window.get() + length, &got);
          if (result == code::NotEnoughMemory) return result;
          if (result != code::Success || got < cs) break;
        }
        if (length == 0 && result != code::Success) {
          ++totals->unreadableClusters;
          pos += cs;
          continue;
        }
      }
      if (!observer.Progress(stream.ClusterAt(base), volume.clusterCount)) {
        totals->stopped = true;
        break;
      }
      if (length == 0) break;  // the free space ends
    }
    const std::size_t within = static_cast<std::size_t>(pos - base);
    const std::size_t probe = std::min(ProbeBytes, length - within);
    std::uint64_t next = pos + cs;
    for (std::size_t t = 0; t < typeCount; ++t) {
      const FileType& type = types[t];
      if ((options.families >> static_cast<unsigned>(type.family) & 1) == 0) continue;
      if (!type.Matches(window.get() + within, probe)) continue;
      CandidateSource source(stream, window.get(), base, length, pos);
      const DWORD result = Carve(type, source, options.limits, &file.carving);
      if (result != code::Success) return result;
      if (file.carving.verdict == Verdict::NotThisType || file.carving.length == 0) continue;
      joins.clear();
      if (file.carving.verdict == Verdict::Damaged) {
        const DWORD searched =
            FindPieces(type, source, options.limits, volume, free, stream.ClusterAt(pos), &file.carving, &joins);
        if (searched != code::Success) return searched;
      }
      if (file.carving.verdict == Verdict::Damaged) {
        // A damaged file's checks may run on into what follows it (entropy
        // data takes any bytes): it ends where a whole file starts.
        for (std::uint64_t at = pos + cs; at < pos + file.carving.length; at += cs) {
          const FileType* whole = nullptr;
          const DWORD probed = WholeFileAt(stream, window.get(), base, length, at, options, &whole);
          if (probed != code::Success) return probed;
          if (whole != nullptr) {
            file.carving.length = at - pos;
            break;
          }
        }
      }
      file.type = &type;
      file.firstCluster = stream.ClusterAt(pos);
      DWORD mapped = stream.Pieces(pos, joins.empty() ? file.carving.length : joins[0].breakAt, &file.pieces);
      // A file byte x past a join lies at stream byte x + shift, or, once a
      // piece lay before the file, at volume byte x + shift.
      std::uint64_t shift = pos;
      bool onVolume = false;
      for (std::size_t j = 0; j < joins.size() && mapped == code::Success; ++j) {
        const std::uint64_t from = joins[j].breakAt;
        const std::uint64_t to = j + 1 < joins.size() ? joins[j + 1].breakAt : file.carving.length;
        if (joins[j].back) {
          onVolume = true;
          shift = joins[j].cluster * cs - from;
        } else {
          shift += joins[j].gapBytes;
        }
        try {
          if (onVolume) {
            more.assign(1, {(from + shift) / cs, to - from});
          } else {
            mapped = stream.Pieces(from + shift, to - from, &more);
            const ClusterRange piece{from + shift, RoundUp(to - from, cs)};
            taken.insert(std::upper_bound(taken.begin(), taken.end(), piece,
                                          [](const ClusterRange& a, const ClusterRange& b) { return a.first < b.first; }),
                         piece);
          }
          file.pieces.insert(file.pieces.end(), more.begin(), more.end());
        } catch (const std::bad_alloc&) {
          return code::NotEnoughMemory;
        }
      }
      if (mapped == code::NotEnoughMemory) return mapped;
      if (mapped != code::Success) continue;
      ++totals->files;
      totals->damaged += file.carving.verdict == Verdict::Damaged ? 1 : 0;
      if (!observer.Found(file)) {
        totals->stopped = true;
        totals->clustersRead = pos / cs - totals->unreadableClusters;
        return code::Success;
      }
      // The clusters between pieces are carved on.
      next = joins.empty() ? std::max(next, RoundUp(pos + file.carving.length, cs)) : pos + joins[0].breakAt;
      break;
    }
    pos = next;
    while (!taken.empty() && pos >= taken.front().first) {
      if (pos < taken.front().first + taken.front().count) pos = taken.front().first + taken.front().count;
      taken.erase(taken.begin());
    }
  }
  const std::uint64_t passed = std::min(pos, base + length) / cs;
  totals->clustersRead = passed - std::min(passed, totals->unreadableClusters);
  return code::Success;
}

DWORD FreeClustersOf(CNTFSDrive& drive, const RowTable& rows, std::uint64_t clusterCount,
                     std::unique_ptr<BitmapFreeClusters>* free) {
  free->reset(new (std::nothrow) BitmapFreeClusters(
      [&drive](std::uint64_t first, std::uint64_t count, std::uint64_t* inUse) {
        return drive.CountClustersInUse(first, count, inUse);
      },
      clusterCount));
  if (*free == nullptr) return code::NotEnoughMemory;
  RecordFacts facts;
  std::vector<StreamRun> runs;
  for (std::size_t row = 0; row < rows.Rows(); ++row) {
    // A record that cannot be read now claims nothing: its clusters are carved.
    if (drive.ReadRecordFacts(rows.At(row).record, MftRead::OnDemand, &facts, &runs) != code::Success) continue;
    for (const StreamRun& run : runs) {
      if (!run.sparse && !(*free)->Claim(run.lcn, run.length)) return code::NotEnoughMemory;
    }
  }
  return code::Success;
}

DWORD ReadCarved(const VolumeSpan& volume, const CarvedFile& file, const CarvedSink& sink) {
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[MaxDiskRead]);
  if (buffer == nullptr) return code::NotEnoughMemory;
  for (const CarvedPiece& piece : file.pieces) {
    for (std::uint64_t done = 0; done < piece.bytes;) {
      const std::uint32_t want = static_cast<std::uint32_t>(std::min<std::uint64_t>(MaxDiskRead, piece.bytes - done));
      std::uint32_t got = 0;
      DWORD result =
          volume.disk->ReadAt(volume.offset + piece.cluster * volume.clusterSize + done, buffer.get(), want, &got);
      if (result != code::Success) return result;
      if (got < want) return code::HandleEof;
      result = sink(buffer.get(), want);
      if (result != code::Success) return result;
      done += want;
    }
  }
  return code::Success;
}

}  // namespace carve
