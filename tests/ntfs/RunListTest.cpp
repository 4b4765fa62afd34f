#include <gtest/gtest.h>

#include <vector>

#include "ntfs/RunList.h"
#include "support/RecordBuilder.h"

namespace {

// Decodes a run list given as raw bytes; returns the code of the first
// failure (or 0) and the runs decoded before it.
DWORD Decode(const Bytes& list, std::vector<DataRun>* runs) {
  ByteReader attribute(list.data(), list.size());
  RunListCursor cursor(attribute, 0);
  for (;;) {
    DataRun run;
    bool more = false;
    DWORD result = cursor.Next(&run, &more);
    if (result != code::Success || !more) return result;
    runs->push_back(run);
  }
}

TEST(RunList, DecodesRelativeRunsSparseRunsAndSignedOffsets) {
  struct Case {
    const char* what;
    Bytes list;
    std::vector<std::pair<std::uint64_t, std::int64_t>> runs;  // length, lcn (-1: sparse)
  };
  const Case cases[] = {
      {"one run of 24 clusters at 0x5634", {0x21, 0x18, 0x34, 0x56, 0x00}, {{24, 22068}}},
      {"second run 16 clusters back", {0x21, 0x18, 0x34, 0x56, 0x11, 0x10, 0xF0, 0x00},
       {{24, 22068}, {16, 22052}}},
      {"3-byte offset 0x7F0000 is positive", {0x31, 0x01, 0x00, 0x00, 0x7F, 0x00}, {{1, 8323072}}},
      {"3-byte offset 0x800000 is negative",
       {0x41, 0x01, 0x00, 0x00, 0x00, 0x01, 0x31, 0x01, 0x00, 0x00, 0x80, 0x00},
       {{1, 16777216}, {1, 16777216 - 8388608}}},
      {"a sparse run keeps the base of the next run",
       {0x11, 0x04, 0x10, 0x01, 0x08, 0x11, 0x02, 0x04, 0x00}, {{4, 16}, {8, -1}, {2, 20}}},
      {"8-byte fields", {0x88, 1, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0x00}, {{1, 5}}},
      {"empty list", {0x00}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<DataRun> runs;
    ASSERT_EQ(Decode(c.list, &runs), code::Success);
    ASSERT_EQ(runs.size(), c.runs.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
      EXPECT_EQ(runs[i].length, c.runs[i].first);
      EXPECT_EQ(runs[i].sparse, c.runs[i].second < 0);
      if (c.runs[i].second >= 0) {
        EXPECT_EQ(runs[i].lcn, c.runs[i].second);
      }
    }
  }
}

TEST(RunList, RefusesListsThatLeaveTheAttributeOrTheVolume) {
  const std::pair<const char*, Bytes> cases[] = {
      {"length nibble above 8", {0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x00}},
      {"offset nibble above 8", {0x91, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x00}},
      {"length field past the end", {0x04, 0x01, 0x02}},
      {"offset field past the end", {0x21, 0x18, 0x34}},
      {"no terminating zero", {0x11, 0x01, 0x02}},
      {"start cluster below zero", {0x11, 0x01, 0xFF, 0x00}},
      {"second run moves below zero", {0x11, 0x01, 0x10, 0x11, 0x01, 0xE0, 0x00}},
      {"start cluster overflows 63 bits",
       {0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x11, 0x01, 0x01, 0x00}},
  };
  for (const auto& [what, list] : cases) {
    SCOPED_TRACE(what);
    std::vector<DataRun> runs;
    EXPECT_EQ(Decode(list, &runs), code::InvalidParameter);
  }
}

TEST(RunList, StartsAtTheGivenOffsetWithinTheAttribute) {
  Bytes attribute(0x40, 0xEE);
  Bytes list = MakeRunList({{3, 100, 2}});
  attribute.insert(attribute.end(), list.begin(), list.end());
  ByteReader reader(attribute.data(), attribute.size());
  RunListCursor cursor(reader, 0x40);
  DataRun run;
  bool more = false;
  ASSERT_EQ(cursor.Next(&run, &more), code::Success);
  EXPECT_TRUE(more);
  EXPECT_EQ(run.length, 3u);
  EXPECT_EQ(run.lcn, 100);
  // A list offset past the attribute is refused, not read.
  RunListCursor outside(reader, static_cast<std::uint32_t>(attribute.size()));
  EXPECT_EQ(outside.Next(&run, &more), code::InvalidParameter);
}

}  // namespace
