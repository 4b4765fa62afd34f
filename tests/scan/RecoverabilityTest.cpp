// Recoverability from crafted runs and a bitmap: which share of a deleted
// file's clusters another file, live or deleted since, has taken.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "scan/Recoverability.h"

namespace {

struct FileSpec {
  std::uint64_t lsn, changeTime;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> extents;  // (first cluster, count)
  std::uint64_t missing = 0;
};

struct Expected {
  Recoverability kind;
  int percent;
  std::vector<std::uint32_t> by;  // records that wrote over it
};

// Files get records 100, 101, ...; the bitmap marks `used` in use and cannot
// be read from cluster `unreadable` on.
std::vector<Expected> Resolve(const std::vector<FileSpec>& files, const std::set<std::uint64_t>& used,
                              std::uint64_t clusterCount = 0, std::uint64_t unreadable = UINT64_MAX) {
  ClusterClaims claims;
  RowTable table;
  for (std::uint32_t i = 0; i < files.size(); ++i) {
    std::vector<StreamRun> runs;
    std::uint64_t vcn = 0;
    for (const auto& [first, count] : files[i].extents) {
      runs.push_back({vcn, count, first, false});
      vcn += count;
    }
    runs.push_back({vcn, 5, 0, true});  // sparse clusters hold nothing to lose
    vcn += 5;
    EXPECT_TRUE(table.AddRow(100 + i, 0, u"f", 1, 0, 0));
    EXPECT_TRUE(claims.Add(i, 100 + i, files[i].lsn, files[i].changeTime, runs, vcn, files[i].missing));
  }
  const ClustersInUse inUse = [&](std::uint64_t first, std::uint64_t count, std::uint64_t* result) -> DWORD {
    if (first + count > unreadable) return code::Crc;
    *result = 0;
    for (std::uint64_t c = first; c < first + count; ++c) *result += used.count(c);
    return code::Success;
  };
  EXPECT_EQ(claims.Resolve(inUse, clusterCount, table), code::Success);
  std::vector<Expected> states;
  for (std::size_t i = 0; i < files.size(); ++i) {
    states.push_back({table.At(i).state.kind, table.At(i).state.percent, table.OverwrittenBy(i)});
  }
  return states;
}

void ExpectStates(const std::vector<Expected>& got, const std::vector<Expected>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(got[i].kind, want[i].kind);
    if (want[i].kind == Recoverability::Partial) {
      EXPECT_EQ(got[i].percent, want[i].percent);
    }
    EXPECT_EQ(got[i].by, want[i].by);
  }
}

std::set<std::uint64_t> Range(std::uint64_t first, std::uint64_t count) {
  std::set<std::uint64_t> clusters;
  for (std::uint64_t c = first; c < first + count; ++c) clusters.insert(c);
  return clusters;
}

TEST(Recoverability, TheBitmapAlone) {
  const auto I = Recoverability::Intact, P = Recoverability::Partial, O = Recoverability::Overwritten,
             U = Recoverability::Unknown;
  std::set<std::uint64_t> used = Range(13, 3);  // 3 of file 1's 10
  used.insert(2000);                            // 1 of file 2's 1000
  for (std::uint64_t c : Range(5000, 999)) used.insert(c);  // 999 of file 3's 1000
  for (std::uint64_t c : Range(6100, 4)) used.insert(c);    // all of file 4
  ExpectStates(Resolve({{1, 0, {{100, 4}, {300, 2}}},      // intact, in two runs
                        {1, 0, {{10, 10}}},                 // 30 %
                        {1, 0, {{2000, 1000}}},             // 0.1 %: still 1 %
                        {1, 0, {{5000, 1000}}},             // 99.9 %: still 99 %
                        {1, 0, {{6100, 4}}},                // every cluster
                        {1, 0, {}},                         // resident: nothing to lose
                        {1, 0, {{400, 4}}, 4},              // a missing piece: half of it
                        {1, 0, {{7000, 10}}}},              // past where the bitmap can be read
                       used, 0, 7005),
               {{I, 0, {}}, {P, 30, {}}, {P, 1, {}}, {P, 99, {}}, {O, 100, {}}, {I, 0, {}}, {P, 50, {}}, {U, 0, {}}});
}

TEST(Recoverability, DeletedFilesThatClaimTheSameClusters) {
  const auto I = Recoverability::Intact, P = Recoverability::Partial, O = Recoverability::Overwritten;
  // The record that changed later wrote over the other: LSN first, then the
  // MFT change time.
  ExpectStates(Resolve({{10, 0, {{100, 10}}}, {20, 0, {{105, 10}}}}, {}), {{P, 50, {101}}, {I, 0, {}}});
  ExpectStates(Resolve({{30, 9, {{100, 10}}}, {30, 8, {{100, 10}}}}, {}), {{I, 0, {}}, {O, 100, {100}}});
  // Three at once: the newest keeps the middle, the oldest loses to both;
  // a live file took two more of the middle one's.
  ExpectStates(Resolve({{1, 0, {{100, 20}}}, {2, 0, {{110, 20}}}, {3, 0, {{115, 10}}}}, Range(126, 2)),
               {{P, 50, {101, 102}}, {P, 60, {102}}, {I, 0, {}}});
  // Touching is not overlapping.
  ExpectStates(Resolve({{1, 0, {{100, 10}}}, {2, 0, {{110, 10}}}}, {}), {{I, 0, {}}, {I, 0, {}}});
  // A damaged volume piling thousands of records on the same clusters ends,
  // and only the newest keeps them.
  std::vector<FileSpec> pile(20000, FileSpec{0, 0, {{100, 10}}});
  for (std::uint64_t i = 0; i < pile.size(); ++i) pile[i].lsn = i;
  const std::vector<Expected> piled = Resolve(pile, {});
  EXPECT_EQ(piled.back().kind, I);
  EXPECT_TRUE(std::all_of(piled.begin(), piled.end() - 1, [](const Expected& e) { return e.kind == O && e.by.size() <= ClusterClaims::MaxOverwriters; }));
}

TEST(Recoverability, ClustersPastTheVolumeAreOverwrittenNeverRead) {
  const auto P = Recoverability::Partial, O = Recoverability::Overwritten;
  ExpectStates(Resolve({{1, 0, {{998, 4}}}, {1, 0, {{5000, 3}}}}, {}, 1000, 1000),
               {{P, 50, {}}, {O, 100, {}}});
}

}  // namespace
