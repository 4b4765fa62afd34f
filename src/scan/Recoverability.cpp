#include "scan/Recoverability.h"

#include <algorithm>
#include <new>
#include <set>
#include <utility>

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
    std::vector<Extent> own;
    for (const StreamRun& run : runs) {
      if (run.vcn >= dataClusters) break;
      const std::uint64_t length = std::min({run.length, dataClusters - run.vcn, UINT64_MAX - run.lcn});
      if (!run.sparse && length != 0) own.push_back({run.lcn, length, file});
    }
    // The file's own runs, merged, so that it never claims a cluster twice.
    std::sort(own.begin(), own.end(), [](const Extent& a, const Extent& b) { return a.start < b.start; });
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
    files.push_back({row, record, logSequenceNumber, changeTime, clusters, missingClusters, false, {}});
  } catch (const std::bad_alloc&) {
    extents.resize(extentsBefore);
    return false;
  }
  return true;
}

bool ClusterClaims::Newer(std::uint32_t a, std::uint32_t b) const {
  const File& x = files[a];
  const File& y = files[b];
  if (x.logSequenceNumber != y.logSequenceNumber) return x.logSequenceNumber > y.logSequenceNumber;
  if (x.changeTime != y.changeTime) return x.changeTime > y.changeTime;
  return x.record > y.record;
}

void ClusterClaims::Overwrites(std::uint32_t newer, std::uint32_t older) {
  std::vector<std::uint32_t>& by = files[older].by;
  const std::uint32_t record = files[newer].record;
  if (by.size() < MaxOverwriters && std::find(by.begin(), by.end(), record) == by.end()) by.push_back(record);
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
    // holds the clusters and every other one has lost them. Each extent's
    // lost stretches are noted as (extent, start, length).
    struct Event {
      std::uint64_t at;
      bool end;
      std::uint32_t extent;
    };
    std::vector<Event> events;
    events.reserve(2 * extents.size());
    for (std::uint32_t i = 0; i < extents.size(); ++i) {
      if (extents[i].length == 0) continue;
      events.push_back({extents[i].start, false, i});
      events.push_back({extents[i].start + extents[i].length, true, i});
    }
    std::sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
      return a.at != b.at ? a.at < b.at : a.end > b.end;  // ends first: touching extents do not overlap
    });
    auto older = [&](std::uint32_t a, std::uint32_t b) { return Newer(extents[b].file, extents[a].file); };
    std::set<std::uint32_t, decltype(older)> active(older);  // oldest first, newest last
    std::vector<std::uint64_t> lostSince(extents.size(), UINT64_MAX);
    std::vector<Extent> lost;  // `file` holds the extent's index here
    // Damaged volumes may pile many files on the same clusters: the states
    // stay exact, only the lists of who wrote over whom stop growing.
    std::uint64_t budget = 1u << 22;
    auto close = [&](std::uint32_t extent, std::uint64_t at) {
      if (lostSince[extent] == UINT64_MAX) return;
      if (at > lostSince[extent]) lost.push_back({lostSince[extent], at - lostSince[extent], extent});
      lostSince[extent] = UINT64_MAX;
    };
    for (const Event& event : events) {
      if (event.end) {
        const bool wasNewest = !active.empty() && *active.rbegin() == event.extent;
        active.erase(event.extent);
        close(event.extent, event.at);
        if (wasNewest && !active.empty()) close(*active.rbegin(), event.at);  // the next one holds them now
        continue;
      }
      if (!active.empty()) {
        const std::uint32_t newest = *active.rbegin();
        if (Newer(extents[event.extent].file, extents[newest].file)) {
          // The newcomer writes over everything here from now on.
          lostSince[newest] = event.at;
          for (std::uint32_t other : active) {
            if (budget == 0) break;
            --budget;
            Overwrites(extents[event.extent].file, extents[other].file);
          }
        } else {
          lostSince[event.extent] = event.at;
          Overwrites(extents[newest].file, extents[event.extent].file);
        }
      }
      active.insert(event.extent);
    }

    // What nobody newer claims is asked of the bitmap, in cluster order.
    std::sort(lost.begin(), lost.end(), [](const Extent& a, const Extent& b) {
      return a.file != b.file ? a.file < b.file : a.start < b.start;
    });
    std::size_t next = 0;
    for (std::uint32_t i = 0; i < extents.size(); ++i) {
      const Extent& extent = extents[i];
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
    for (const File& file : files) {
      std::vector<std::uint32_t> by = file.by;
      std::sort(by.begin(), by.end());
      if (!table.SetState(file.row, StateOf(file.clusters, file.overwritten, file.unknown), by)) {
        return code::NotEnoughMemory;
      }
    }
  } catch (const std::bad_alloc&) {
    return code::NotEnoughMemory;
  }
  return code::Success;
}

void ClusterClaims::Clear() {
  files.clear();
  extents.clear();
}
