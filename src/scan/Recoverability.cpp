#include "scan/Recoverability.h"

#include <algorithm>
#include <new>
#include <queue>
#include <utility>

namespace {

constexpr std::uint32_t PrefetchAhead = 8;  // extents: far enough to hide a miss

// A heap of extent numbers whose members can be walked.
template <typename Compare>
class ExtentHeap : public std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, Compare> {
 public:
  explicit ExtentHeap(Compare compare) : std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, Compare>(compare) {}
  const std::vector<std::uint32_t>& Container() const { return this->c; }
};

}  // namespace

FileState StateOf(std::uint64_t clusters, std::uint64_t overwritten, bool unknown) {
  if (clusters == 0 || overwritten == 0) return {unknown ? Recoverability::Unknown : Recoverability::Intact, 0};
  if (overwritten >= clusters) return {Recoverability::Overwritten, 100};
  if (unknown) return {Recoverability::Unknown, 0};
  // Whole percent rounded down, but never 0 or 100 in this state.
  const std::uint64_t share = overwritten > UINT64_MAX / 100 ? overwritten / (clusters / 100) : overwritten * 100 / clusters;
  return {Recoverability::Partial, static_cast<std::uint8_t>(std::clamp<std::uint64_t>(share, 1, 99))};
}

bool ClusterClaims::Add(std::uint32_t row, std::uint32_t record, std::uint64_t logSequenceNumber,
                        std::uint64_t changeTime, const std::vector<StreamRun>& runs, std::uint64_t dataClusters,
                        std::uint64_t missingClusters) {
  const std::size_t extentsBefore = extents.size();
  try {
    const auto file = static_cast<std::uint32_t>(files.size());
    own.clear();
    for (const StreamRun& run : runs) {
      if (run.vcn >= dataClusters) break;
      const std::uint64_t length = std::min({run.length, dataClusters - run.vcn, UINT64_MAX - run.lcn});
      if (!run.sparse && length != 0) own.push_back({run.lcn, length, file});
    }
    // The file's own runs, merged, so that it never claims a cluster twice.
    if (own.size() > 1) {
      std::sort(own.begin(), own.end(), [](const Extent& a, const Extent& b) { return a.start < b.start; });
    }
    std::uint64_t clusters = missingClusters;
    for (const Extent& extent : own) {
      if (extents.size() > extentsBefore && extent.start <= extents.back().start + extents.back().length) {
        Extent& last = extents.back();
        const std::uint64_t end = std::max(last.start + last.length, extent.start + extent.length);
        clusters += end - (last.start + last.length);
        last.length = end - last.start;
      } else {
        extents.push_back(extent);
        clusters += extent.length;
      }
    }
    files.push_back({row, record, logSequenceNumber, changeTime, clusters, missingClusters, false, 0});
  } catch (const std::bad_alloc&) {
    extents.resize(extentsBefore);
    return false;
  }
  return true;
}

void ClusterClaims::Reserve(std::size_t count) {
  try {
    files.reserve(count);
    extents.reserve(count + count / 4);
  } catch (const std::bad_alloc&) {
    // The lists grow as they must instead.
  }
}

bool ClusterClaims::Newer(std::uint32_t a, std::uint32_t b) const {
  const File& x = files[a];
  const File& y = files[b];
  if (x.logSequenceNumber != y.logSequenceNumber) return x.logSequenceNumber > y.logSequenceNumber;
  if (x.changeTime != y.changeTime) return x.changeTime > y.changeTime;
  return x.record > y.record;
}

void ClusterClaims::Overwrites(std::uint32_t newer, std::uint32_t older) {
  File& file = files[older];
  const std::uint32_t record = files[newer].record;
  if (file.overwriters >= MaxOverwriters) return;
  by.emplace_back(older, record);  // duplicates go at the end
  ++file.overwriters;
}

DWORD ClusterClaims::Resolve(const ClustersInUse& inUse, std::uint64_t clusterCount, RowTable& table) {
  try {
    // Clusters past the volume's end were never this file's to keep.
    if (clusterCount != 0) {
      for (Extent& extent : extents) {
        const std::uint64_t end = extent.start + extent.length;
        if (end <= clusterCount) continue;
        const std::uint64_t outside = end - std::max(extent.start, clusterCount);
        files[extent.file].overwritten += outside;
        extent.length -= outside;
      }
    }
    std::sort(extents.begin(), extents.end(), [](const Extent& a, const Extent& b) { return a.start < b.start; });

    // A sweep over the clusters: wherever deleted files overlap, the newest
    // holds the clusters and every other one has lost them. Extents end in
    // the order of a heap of their ends; the newest active one is the top
    // of a heap by age (extents that ended are dropped from it lazily).
    const std::uint32_t none = UINT32_MAX;
    BulkVector<std::uint64_t> lostSince(extents.size(), UINT64_MAX);  // UINT64_MAX: holds its clusters
    BulkVector<std::uint8_t> ended(extents.size(), 0);
    std::vector<Extent> lost;  // (start, length, extent) of clusters a newer file claims
    auto laterEnd = [&](std::uint32_t a, std::uint32_t b) {
      return extents[a].start + extents[a].length > extents[b].start + extents[b].length;
    };
    auto older = [&](std::uint32_t a, std::uint32_t b) { return Newer(extents[b].file, extents[a].file); };
    ExtentHeap<decltype(laterEnd)> ends(laterEnd);
    ExtentHeap<decltype(older)> ages(older);
    auto newest = [&]() {
      while (!ages.empty() && ended[ages.top()]) ages.pop();
      return ages.empty() ? none : ages.top();
    };
    auto close = [&](std::uint32_t extent, std::uint64_t at) {
      if (lostSince[extent] != UINT64_MAX && at > lostSince[extent]) {
        lost.push_back({lostSince[extent], at - lostSince[extent], extent});
      }
      lostSince[extent] = UINT64_MAX;
    };
    // Damaged volumes may pile many files on the same clusters: the states
    // stay exact, only the lists of who wrote over whom stop growing.
    std::uint64_t budget = 1u << 22;
    for (std::uint32_t i = 0; i <= extents.size(); ++i) {
      const std::uint64_t start = i < extents.size() ? extents[i].start : UINT64_MAX;
      while (!ends.empty() && extents[ends.top()].start + extents[ends.top()].length <= start) {
        const std::uint32_t done = ends.top();
        const std::uint64_t end = extents[done].start + extents[done].length;
        ends.pop();
        const bool wasNewest = newest() == done;
        close(done, end);
        ended[done] = true;
        const std::uint32_t next = wasNewest ? newest() : none;
        if (next != none) close(next, end);  // the next one holds them now
      }
      if (i == extents.size()) break;
      if (extents[i].length == 0) continue;
      const std::uint32_t top = newest();
      if (top != none && Newer(extents[i].file, extents[top].file)) {
        // The newcomer writes over everything here from now on.
        lostSince[top] = start;
        for (std::uint32_t other : ends.Container()) {
          if (budget == 0) break;
          --budget;
          Overwrites(extents[i].file, extents[other].file);
        }
      } else if (top != none) {
        lostSince[i] = start;
        Overwrites(extents[top].file, extents[i].file);
      }
      ends.push(i);
      ages.push(i);
    }

    // What nobody newer claims is asked of the bitmap, in cluster order.
    std::sort(lost.begin(), lost.end(), [](const Extent& a, const Extent& b) {
      return a.file != b.file ? a.file < b.file : a.start < b.start;
    });
    std::size_t next = 0;
    for (std::uint32_t i = 0; i < extents.size(); ++i) {
      const Extent& extent = extents[i];
      // Files lie in record order, extents in cluster order: fetch ahead.
      if (i + PrefetchAhead < extents.size()) __builtin_prefetch(&files[extents[i + PrefetchAhead].file]);
      File& file = files[extent.file];
      std::uint64_t at = extent.start;
      const std::uint64_t end = extent.start + extent.length;
      auto ask = [&](std::uint64_t first, std::uint64_t count) {
        if (count == 0 || file.unknown) return;
        std::uint64_t used = 0;
        if (inUse(first, count, &used) == code::Success) {
          file.overwritten += used;
        } else {
          file.unknown = true;
        }
      };
      for (; next < lost.size() && lost[next].file == i; ++next) {
        ask(at, lost[next].start - at);
        file.overwritten += lost[next].length;
        at = lost[next].start + lost[next].length;
      }
      ask(at, end - at);
    }
    std::sort(by.begin(), by.end());
    by.erase(std::unique(by.begin(), by.end()), by.end());
    std::vector<std::uint32_t> records;
    std::size_t at = 0;
    for (std::uint32_t i = 0; i < files.size(); ++i) {
      records.clear();
      for (; at < by.size() && by[at].first == i; ++at) records.push_back(by[at].second);
      const File& file = files[i];
      if (!table.SetState(file.row, StateOf(file.clusters, file.overwritten, file.unknown), records)) {
        return code::NotEnoughMemory;
      }
    }
  } catch (const std::bad_alloc&) {
    return code::NotEnoughMemory;
  }
  return code::Success;
}
