#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "carve/FreeSpace.h"
#include "platform/Types.h"
#include "ui/WindowRules.h"
#include "ui/resource.h"

namespace {

bool operator==(const ControlRect& a, const ControlRect& b) {
  return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

TEST(MainWindowLayout, ControlsKeepTheirOffsetsFromTheEdges) {
  const MainLayout normal = LayoutFor(800, 600);
  EXPECT_TRUE(normal.statusBar == (ControlRect{0, 582, 800, 18}));
  EXPECT_TRUE(normal.driveTree == (ControlRect{0, 42, 98, 510}));
  EXPECT_TRUE(normal.fileList == (ControlRect{102, 42, 698, 540}));
  EXPECT_TRUE(normal.scanButton == (ControlRect{5, 554, 93, 26}));
  // Below 90 pixels of height the tree would be negative: it is empty instead.
  const MainLayout tiny = LayoutFor(50, 60);
  EXPECT_EQ(tiny.driveTree.height, 0);
  EXPECT_EQ(tiny.fileList.width, 0);
  EXPECT_EQ(tiny.fileList.height, 0);
  EXPECT_EQ(tiny.statusBar.y, 42);
}

TEST(MainWindowMenus, ItemsFollowTheirFlagsOrTheWindowsCommands) {
  const CommandFlags beforeScan{false, false, false, true, false, false};
  const CommandFlags scanning{false, false, true, false, true, true};
  struct Case {
    unsigned command;
    bool before, during;
  };
  const Case cases[] = {
      {IDM_SCAN, true, false},          {IDM_RECOVER, false, false},      {IDM_IMAGE_PREVIEW, false, false},
      {IDM_STOP_SCAN, false, true},     {IDM_FIND, false, true},          {IDM_FIND_NEXT, false, true},
      {IDM_EXIT, true, true},           {IDM_FIND_NEXT_VIEW, true, true}, {IDM_ABOUT, true, true},
      {IDM_VISIT_SITE, true, true},     {IDM_OPEN_IMAGE, true, true},     {12345, false, false},
  };
  for (const Case& c : cases) {
    for (const auto& [flags, expected] : {std::pair{beforeScan, c.before}, std::pair{scanning, c.during}}) {
      bool enabled = false;
      if (!CommandRule(c.command, flags, &enabled)) enabled = MainWindowHandles(c.command);
      EXPECT_EQ(enabled, expected) << c.command;
    }
  }
}

}  // namespace

namespace {

TEST(FileListRules, SortCompareFoldsOnlyAsciiLetters) {
  EXPECT_EQ(CompareCellText(u"Report.txt", u"report.TXT"), 0);
  EXPECT_LT(CompareCellText(u"abc", u"abd"), 0);
  EXPECT_LT(CompareCellText(u"ab", u"abc"), 0);  // a prefix sorts first
  EXPECT_GT(CompareCellText(u"\u00E9t\u00E9", u"zebra"), 0);  // accented letters by code unit
  EXPECT_LT(CompareCellText(u"10 KB", u"2 KB"), 0);  // text order, not by value
  EXPECT_EQ(CompareCellText(u"", u""), 0);
}

TEST(FileListRules, FindMatchesFoldedNamesWithoutTrailingSpace) {
  struct Case {
    const char16_t* name;
    const char16_t* find;
    bool match;
  };
  const Case cases[] = {
      {u"Holiday.BMP", u"holiday", true}, {u"holiday.bmp", u"HOLIDAY", true},
      {u"\u00C9t\u00E9.txt", u"\u00E9t\u00E9", false},  // only A to Z fold
      {u"notes \t", u"notes ", false},  // the name's trailing space is gone, the text's is not
      {u"   ", u" ", false},              {u"", u"", false},
      {u"a b", u"a b", true},              {u"abc", u"", true},
  };
  for (const Case& c : cases) {
    std::u16string find = c.find;
    EXPECT_EQ(NameMatches(c.name, &find), c.match);
  }
  std::u16string find = u"MiXeD";
  NameMatches(u"x", &find);
  EXPECT_EQ(find, u"mixed");  // kept lowered, as the Find box shows it next time
}

TEST(FileListRules, SelectionCounts) {
  EXPECT_EQ(SelectionCountText(1), u"Selected 1 file");
  EXPECT_EQ(SelectionCountText(0), u"Selected 0 files");
  EXPECT_EQ(SelectionCountText(2), u"Selected 2 files");
}

}  // namespace

namespace {

TEST(ScanRules, EachPhaseHasItsCaptionClickAndFlags) {
  struct Case {
    ScanPhase phase;
    bool recovering;
    const char16_t* caption;
    bool enabled;
    ScanClick click;
  };
  const Case cases[] = {
      {ScanPhase::Idle, false, u"Scan", true, ScanClick::Start},
      {ScanPhase::Running, false, u"Stop Scanning", true, ScanClick::Stop},
      {ScanPhase::Stopping, false, u"Stopping...", false, ScanClick::Nothing},  // no second worker, no second stop
      {ScanPhase::Idle, true, u"Scan", false, ScanClick::Nothing},  // no scan while a recovery runs
  };
  for (const Case& c : cases) {
    const ScanButton button = ScanButtonFor(c.phase, c.recovering);
    EXPECT_EQ(std::u16string(button.caption), c.caption);
    EXPECT_EQ(button.enabled, c.enabled);
    EXPECT_EQ(ScanClickAction(c.phase, c.recovering), c.click);
    EXPECT_EQ(ToolbarEnabled(IDM_SCAN, FlagsBeforeScan(), c.phase, c.recovering), c.enabled);
  }
  // Flags as {recover, preview, stop, scan, find, find next} through a scan's life.
  auto same = [](const CommandFlags& a, const CommandFlags& b) {
    return a.canRecover == b.canRecover && a.canPreview == b.canPreview && a.canStop == b.canStop &&
           a.canScan == b.canScan && a.canFind == b.canFind && a.canFindNext == b.canFindNext;
  };
  const CommandFlags start = FlagsAtScanStart();
  EXPECT_TRUE(same(FlagsBeforeScan(), {false, false, false, true, false, false}));
  EXPECT_TRUE(same(start, {false, false, true, false, true, true}));
  // Rows during a scan can be previewed, not recovered: a recovery waits for the scan's end.
  EXPECT_TRUE(same(FlagsWithRows(start), {false, true, true, false, true, true}));
  EXPECT_TRUE(same(FlagsAtStop(FlagsWithRows(start)), {false, true, false, true, true, true}));
  EXPECT_TRUE(same(FlagsAtScanEnd(start), {true, true, false, true, true, true}));
  EXPECT_TRUE(same(FlagsAtScanEnd(FlagsBeforeScan()), {true, true, false, true, false, false}));
  const CommandFlags recovering = FlagsAtRecoveryStart(FlagsAtScanEnd(start));
  EXPECT_TRUE(same(recovering, {false, true, false, false, true, true}));
  EXPECT_TRUE(same(FlagsAtRecoveryEnd(recovering), FlagsAtScanEnd(start)));
}

TEST(ScanRules, RecoverStartsOnlyWhenNothingElseRuns) {
  const CommandFlags ended = FlagsAtScanEnd(FlagsAtScanStart());
  const CommandFlags scanning = FlagsWithRows(FlagsAtScanStart());
  struct Case {
    ScanPhase phase;
    bool recovering;
    CommandFlags flags;
    int selected;
    bool starts;
  };
  const Case cases[] = {
      {ScanPhase::Idle, false, ended, 2, true},
      {ScanPhase::Idle, false, ended, 0, false},
      {ScanPhase::Running, false, scanning, 1, false},
      {ScanPhase::Stopping, false, FlagsAtStop(scanning), 1, false},
      {ScanPhase::Idle, true, FlagsAtRecoveryStart(ended), 1, false},
      {ScanPhase::Idle, true, ended, 1, false},  // a posted command during a recovery
      {ScanPhase::Idle, false, FlagsBeforeScan(), 1, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CanStartRecovery(c.phase, c.recovering, c.flags, c.selected), c.starts);
    EXPECT_EQ(ToolbarEnabled(IDM_RECOVER, c.flags, c.phase, c.recovering), c.flags.canRecover);
  }
  EXPECT_TRUE(ToolbarEnabled(IDM_FIND, FlagsBeforeScan(), ScanPhase::Idle, true));
}

TEST(ProgressRules, TextsForFilesBytesAndTimeLeft) {
  EXPECT_EQ(ProgressFileText(0, 5, u"a.txt"), u"File 1 of 5: a.txt");
  const std::uint64_t KiB = 1024, MiB = KiB * KiB, GiB = MiB * KiB;
  struct Bytes {
    std::uint64_t bytes;
    const char16_t* text;
  };
  const Bytes sizes[] = {
      {0, u"0 bytes"},          {1, u"1 byte"},          {1023, u"1023 bytes"},       {KiB, u"1.00 KB"},
      {KiB * 3 / 2, u"1.50 KB"}, {10 * KiB - 1, u"9.99 KB"}, {99 * KiB + 1000, u"99.9 KB"}, {1000 * KiB, u"1000 KB"},
      {MiB, u"1.00 MB"},        {2 * GiB, u"2.00 GB"},   {5000 * GiB, u"4.88 TB"},
  };
  for (const Bytes& c : sizes) EXPECT_EQ(ByteCountText(c.bytes), c.text) << c.bytes;  // cut, never rounded up
  EXPECT_EQ(ProgressBytesText(512 * MiB, 2 * GiB), u"512 MB of 2.00 GB");
  struct Left {
    std::uint64_t done, total, elapsedMs;
    const char16_t* text;
  };
  const Left estimates[] = {
      {0, 100, 10000, u""},                  // nothing done yet: no rate
      {50, 100, 1999, u""},                  // too early to tell
      {100, 100, 5000, u""},                 // done
      {50, 100, 2000, u"About 5 seconds left"},
      {10, 100, 2000, u"About 20 seconds left"},    // 18 s, rounded up to 5
      {1, 100, 2000, u"About 4 minutes left"},      // 198 s
      {1, 10000, 2000, u"About 5 hours 34 minutes left"},
      {1, 1000, 3600, u"About 1 hour 0 minutes left"},   // 3596.4 s: 60 minutes
      {1, 20, 3000, u"About 1 minute left"},             // 57 s, rounded up to a minute
      {1, 19, 3000, u"About 55 seconds left"},           // 54 s
      {1024 * GiB, 5 * 1024 * GiB, 10000000, u"About 11 hours 7 minutes left"},  // bytes x ms past 64 bits
  };
  for (const Left& c : estimates) EXPECT_EQ(TimeLeftText(c.done, c.total, c.elapsedMs), c.text) << c.done;
  EXPECT_EQ(ProgressPosition(0, 0), ProgressSteps);  // nothing to copy is done
  EXPECT_EQ(ProgressPosition(1, 3), ProgressSteps / 3);
  EXPECT_EQ(ProgressPosition(std::uint64_t{1} << 62, std::uint64_t{1} << 63), ProgressSteps / 2);
}

TEST(ProgressRules, SummaryCountsWhatWasRecovered) {
  EXPECT_EQ(RecoverySummaryText(5, 5, 0, false, u"D:\\Saved"), u"Recovered 5 of 5 files to D:\\Saved.");
  EXPECT_EQ(RecoverySummaryText(1, 1, 0, false, u"D:\\"), u"Recovered 1 of 1 file to D:\\.");
  EXPECT_EQ(RecoverySummaryText(2, 3, 1, false, u"D:\\"),
            u"Recovered 2 of 3 files to D:\\.\r\n1 file could not be recovered:");
  EXPECT_EQ(RecoverySummaryText(1, 9, 2, true, u"D:\\"),
            u"Cancelled: recovered 1 of 9 files to D:\\.\r\n2 files could not be recovered:");
}

TEST(ProgressRules, SummaryTellsWhyEachFileIsNotWhole) {
  const std::u16string out = u"D:\\Saved\\a.txt";
  const std::u16string system = u"Access is denied.";
  struct Case {
    std::uint32_t code;
    bool creating;
    std::uint64_t missing, unreadable;
    bool published;
    std::u16string expected;
  };
  const Case cases[] = {
      {code::Crc, false, 0, 4096, true, u"4096 bytes unreadable (written as zeros); the copy is kept as " + out},
      {code::FileCorrupt, false, 512, 0, true, u"512 bytes missing; the copy is kept as " + out},
      {code::FileCorrupt, false, 512, 4096, true,
       u"512 bytes missing, 4096 bytes unreadable (written as zeros); the copy is kept as " + out},
      // A refusal is told in the window's words, whatever was about to be created.
      {code::RecordReused, false, 0, 0, false, u"The file's record was reused after the scan; scan again."},
      {code::FileOffline, true, 0, 0, false,
       u"Not on this disk: its bytes are kept elsewhere (a cloud provider or a deduplication store)."},
      {code::AccessDenied, true, 0, 0, false, u"cannot create " + out + u": " + system},
      // A copy removed again (not published) is no kept copy, whatever was counted.
      {code::Crc, false, 0, 4096, false, system},
      {code::AccessDenied, false, 0, 0, false, system},
  };
  for (const Case& c : cases) {
    RecoveryFailureFacts facts;
    facts.code = c.code;
    facts.creatingFile = c.creating;
    facts.output = out;
    facts.missingBytes = c.missing;
    facts.unreadableBytes = c.unreadable;
    facts.published = c.published;
    EXPECT_EQ(RecoveryFailureText(facts, system), c.expected) << c.code;
  }
  EXPECT_EQ(RefusalText(code::Crc), u"");
  EXPECT_EQ(UnreadableRecordsText(0), u"");
  EXPECT_EQ(UnreadableRecordsText(1), u"1 record could not be read");
  EXPECT_EQ(UnreadableRecordsText(4), u"4 records could not be read");
}

TEST(DeepScanRules, ExcludesScansAndRecoveriesAndNamesWhatItFinds) {
  // Deep scan, Scan and Recover exclude each other: one runs at a time.
  EXPECT_TRUE(DeepScanEnabled(ScanPhase::Idle, false, true));
  EXPECT_FALSE(DeepScanEnabled(ScanPhase::Idle, false, false));  // the tree's root
  EXPECT_FALSE(DeepScanEnabled(ScanPhase::Idle, true, true));
  EXPECT_FALSE(DeepScanEnabled(ScanPhase::Running, false, true));
  EXPECT_FALSE(DeepScanEnabled(ScanPhase::Stopping, false, true));
  EXPECT_EQ(DeepProgressText(0, 100 << 20, 5000), u"Deep scan: 0 bytes of 100 MB");
  EXPECT_EQ(DeepProgressText(25 << 20, 100 << 20, 5000), u"Deep scan: 25.0 MB of 100 MB. About 15 seconds left");
  EXPECT_EQ(DeepEndText(0, false), u"Deep scan: no lost volume found");
  EXPECT_EQ(DeepEndText(1, true), u"Deep scan stopped: 1 volume found");
  EXPECT_EQ(DeepEndText(2, false), u"Deep scan: 2 volumes found");
  EXPECT_EQ(FoundVolumeText(2048, 96ull << 20), u"Found NTFS volume at sector 2048 (96 MB)");
  EXPECT_EQ(FoundVolumeText(0, (1ull << 20) - 512), u"Found NTFS volume at sector 0 (1023 KB)");
  EXPECT_EQ(FoundVolumeText(4294969344ull, 3ull << 30), u"Found NTFS volume at sector 4294969344 (3.00 GB)");
  EXPECT_EQ(FoundVolumeDriveText(1), u"Found volume 1\\");
  EXPECT_EQ(std::u16string(StateCellPrefix(true)) + u"Intact", u"In use; Intact");
  EXPECT_EQ(std::u16string(StateCellPrefix(false)), u"");
  EXPECT_TRUE(MainWindowHandles(IDM_DEEP_SCAN));
}

TEST(CarveRules, ExcludesTheOtherJobsAndSaysWhatItCarved) {
  // Carving needs a scanned volume (its rows' runs are left out) and nothing else running.
  struct Case {
    ScanPhase phase;
    bool recovering, scanned, enabled;
  };
  const Case cases[] = {
      {ScanPhase::Idle, false, true, true},     {ScanPhase::Idle, false, false, false},
      {ScanPhase::Idle, true, true, false},     {ScanPhase::Running, false, true, false},
      {ScanPhase::Stopping, false, true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CarveEnabled(c.phase, c.recovering, c.scanned), c.enabled) << static_cast<int>(c.phase) << c.recovering;
  }
  const CommandFlags during = FlagsAtCarveStart(FlagsAtScanEnd(FlagsAtScanStart()));
  EXPECT_FALSE(during.canRecover);
  EXPECT_FALSE(during.canScan);
  EXPECT_TRUE(during.canStop);
  EXPECT_TRUE(during.canPreview && during.canFind);
  EXPECT_TRUE(MainWindowHandles(IDM_CARVE));
  EXPECT_EQ(CarveProgressText(25 << 20, 100 << 20, 5000),
            u"Carving free space: 25.0 MB of 100 MB. About 15 seconds left");
  EXPECT_EQ(CarveEndText(0, 0, false), u"Carving: no file found");
  EXPECT_EQ(CarveEndText(0, 0, true), u"Carving stopped: no file found");
  EXPECT_EQ(CarveEndText(1, 0, true), u"Carving stopped: 1 file carved");
  EXPECT_EQ(CarveEndText(3, 1, false), u"Carved 3 files (1 damaged)");
}

carve::CarvedFile Carved(carve::Family family, std::uint64_t first, std::uint64_t length, const char* extension,
                         bool damaged, std::vector<carve::CarvedPiece> pieces, std::uint64_t modified = 0) {
  carve::CarvedFile file;
  file.type = carve::TypeOf(family);
  file.firstCluster = first;
  file.carving.verdict = damaged ? carve::Verdict::Damaged : carve::Verdict::Carved;
  file.carving.length = length;
  file.carving.extension = extension;
  file.carving.modified.fileTime = modified;
  file.pieces = std::move(pieces);
  return file;
}

TEST(CarvedTableRules, KeepsEachFileWholeAndShowsItAsTheCliListsIt) {
  // 2021-03-04 05:06 UTC in 100 ns since 1601.
  const std::uint64_t march = 132593079600000000ull;
  const carve::CarvedFile files[] = {
      Carved(carve::Family::Jpeg, 123, 5000, "jpg", false, {{123, 5000}}, march),
      // In pieces, damaged, an extension longer than the type's.
      Carved(carve::Family::Gzip, 4294967296ull, 9000, "tar.gz", true, {{4294967296ull, 8192}, {77, 808}}),
      Carved(carve::Family::Zip, 9, 100, "docx", false, {{9, 100}}),
  };
  CarvedTable table;
  for (const carve::CarvedFile& file : files) ASSERT_TRUE(table.Add(file));
  carve::CarvedFile nameless = files[0];
  nameless.type = nullptr;
  EXPECT_FALSE(table.Add(nameless));
  ASSERT_EQ(table.Count(), 3u);
  struct Cells {
    std::size_t file;
    std::u16string name, path, size, modified, state;
  };
  const Cells cells[] = {
      {0, u"f123.jpg", u"Carved\\JPEG\\", u"4 KB", u"04.03.2021 05:06", u"Carved"},
      {1, u"f4294967296.tar.gz", u"Carved\\GZIP\\", u"8 KB", u"", u"Carved, damaged"},
      {2, u"f9.docx", u"Carved\\ZIP\\", u"1 KB", u"", u"Carved"},
  };
  // The same table again, appended from another (pieces renumbered): the window's copy of the worker's.
  CarvedTable copy;
  ASSERT_TRUE(copy.Add(files[2]));
  ASSERT_TRUE(copy.AppendFrom(table, 0));
  for (const Cells& c : cells) {
    for (const auto& [shown, index] : {std::pair{&table, c.file}, std::pair{&copy, c.file + 1}}) {
      EXPECT_EQ(shown->Cell(index, ColumnName), c.name);
      EXPECT_EQ(shown->Cell(index, ColumnPath), c.path);
      EXPECT_EQ(shown->Cell(index, ColumnSize), c.size);
      EXPECT_EQ(shown->Cell(index, ColumnCreated), u"");
      EXPECT_EQ(shown->Cell(index, ColumnModified), c.modified);
      EXPECT_EQ(shown->Cell(index, ColumnRecord), u"");
      EXPECT_EQ(shown->Cell(index, ColumnState), c.state);
      carve::CarvedFile back;
      ASSERT_TRUE(shown->File(index, &back));
      const carve::CarvedFile& file = files[c.file];
      EXPECT_EQ(back.type, file.type);
      EXPECT_EQ(back.firstCluster, file.firstCluster);
      EXPECT_EQ(back.carving.length, file.carving.length);
      EXPECT_EQ(back.carving.verdict, file.carving.verdict);
      EXPECT_STREQ(back.carving.extension, file.carving.extension);
      ASSERT_EQ(back.pieces.size(), file.pieces.size());
      for (std::size_t p = 0; p < file.pieces.size(); ++p) {
        EXPECT_EQ(back.pieces[p].cluster, file.pieces[p].cluster);
        EXPECT_EQ(back.pieces[p].bytes, file.pieces[p].bytes);
      }
    }
  }
  table.Clear();
  EXPECT_EQ(table.Count(), 0u);
}

TEST(CarvedTableRules, CarvedRowsSortAmongRecordRowsAndAfterThemByState) {
  RowTable table;
  std::uint32_t path = 0;
  ASSERT_TRUE(table.AddPath(u"C:\\", &path));
  ASSERT_TRUE(table.AddRow(40, path, u"g.txt", 100, 0, 0));
  ASSERT_TRUE(table.SetState(0, {Recoverability::Unknown, 0}, {}));
  ASSERT_TRUE(table.AddRow(41, path, u"a.txt", 100, 0, 0));
  ASSERT_TRUE(table.SetState(1, {Recoverability::Intact, 0}, {}));
  CarvedTable carved;
  ASSERT_TRUE(carved.Add(Carved(carve::Family::Png, 50, 10, "png", true, {{50, 10}})));
  ASSERT_TRUE(carved.Add(Carved(carve::Family::Jpeg, 7, 10, "jpg", false, {{7, 10}})));
  const std::uint32_t damagedPng = CarvedRow, jpeg = CarvedRow + 1;
  struct Case {
    Column column;
    bool ascending;
    std::vector<std::uint32_t> order;
  };
  const Case cases[] = {
      {ColumnName, true, {1, damagedPng, jpeg, 0}},           // a.txt f50.png f7.jpg g.txt
      {ColumnState, true, {1, 0, jpeg, damagedPng}},         // Intact, Unknown, Carved, Carved damaged
      {ColumnState, false, {damagedPng, jpeg, 0, 1}},
      {ColumnPath, true, {0, 1, jpeg, damagedPng}},          // C:\ before Carved\JPEG\ before Carved\PNG\ .
  };
  for (const Case& c : cases) {
    std::vector<std::uint32_t> order = {0, 1, damagedPng, jpeg};
    SortRows(table, c.column, c.ascending, &order, &carved);
    EXPECT_EQ(order, c.order) << c.column << (c.ascending ? " ascending" : " descending");
  }
}

TEST(FileListRules, SortsByTextOrStateBothWaysKeepingTies) {
  RowTable table;
  std::uint32_t path = 0;
  ASSERT_TRUE(table.AddPath(u"C:\\", &path));
  struct Row {
    const char16_t* name;
    std::uint64_t size;
    FileState state;
  };
  const Row input[] = {
      {u"b.txt", 2048, {Recoverability::Overwritten, 0}}, {u"A.txt", 10240, {Recoverability::Partial, 37}},
      {u"c.txt", 1024, {Recoverability::Intact, 0}},      {u"a.txt", 2048, {Recoverability::Unknown, 0}},
      {u"d.txt", 512, {Recoverability::Partial, 5}},      {u"e.txt", 700, {Recoverability::Intact, 0}},
  };
  for (std::size_t i = 0; i < std::size(input); ++i) {
    ASSERT_TRUE(table.AddRow(static_cast<std::uint32_t>(40 + i), path, input[i].name, input[i].size, 0, 0));
    ASSERT_TRUE(table.SetState(i, input[i].state, {}));
  }
  struct Case {
    Column column;
    bool ascending;
    std::vector<std::uint32_t> order;
  };
  const Case cases[] = {
      // A and a fold together and keep their order; "10 KB" sorts as text, before "2 KB".
      {ColumnName, true, {1, 3, 0, 2, 4, 5}},
      {ColumnName, false, {5, 4, 2, 0, 1, 3}},
      {ColumnSize, true, {2, 4, 5, 1, 0, 3}},
      // Intact first, then by share, Overwritten, then Unknown; reversed as a whole.
      {ColumnState, true, {2, 5, 4, 1, 0, 3}},
      {ColumnState, false, {3, 0, 1, 4, 2, 5}},
  };
  for (const Case& c : cases) {
    std::vector<std::uint32_t> order = {0, 1, 2, 3, 4, 5};
    SortRows(table, c.column, c.ascending, &order);
    EXPECT_EQ(order, c.order) << c.column << (c.ascending ? " ascending" : " descending");
  }
  // Pending rows, before the scan has ended, sort after every state.
  const FileState order[] = {{Recoverability::Intact, 0},   {Recoverability::Partial, 1},
                             {Recoverability::Partial, 99}, {Recoverability::Overwritten, 100},
                             {Recoverability::Unknown, 0},  {}};
  for (std::size_t i = 1; i < std::size(order); ++i) EXPECT_LT(StateOrder(order[i - 1]), StateOrder(order[i])) << i;
  // Rows added after a sort are appended; a later sort takes them in.
  std::vector<std::uint32_t> part = {4, 2};
  SortRows(table, ColumnName, true, &part);
  EXPECT_EQ(part, (std::vector<std::uint32_t>{2, 4}));
}

}  // namespace

namespace {

TEST(DiskImageRules, TheOpenDialogOffersEveryKindAndAllOfThem) {
  // Pairs of a name and its patterns, each ending in a null character, and one more.
  const std::u16string filter = ImageFileFilter();
  ASSERT_GE(filter.size(), 2u);
  EXPECT_EQ(filter.substr(filter.size() - 2), std::u16string(2, u'\0'));
  std::vector<std::u16string> parts;
  for (std::size_t at = 0; at < filter.size() - 1;) {
    const std::size_t end = filter.find(u'\0', at);
    parts.push_back(filter.substr(at, end - at));
    at = end + 1;
  }
  const std::vector<std::u16string> expected = {
      u"All disk images (*.img;*.dd;*.raw;*.bin;*.001;*.vhd;*.vhdx;*.E01)",
      u"*.img;*.dd;*.raw;*.bin;*.001;*.vhd;*.vhdx;*.E01",
      u"Raw disk images (*.img;*.dd;*.raw;*.bin)", u"*.img;*.dd;*.raw;*.bin",
      u"Numbered raw pieces (*.001)", u"*.001",
      u"VHD (*.vhd)", u"*.vhd",
      u"VHDX (*.vhdx)", u"*.vhdx",
      u"EnCase images (*.E01)", u"*.E01",
      u"All files (*.*)", u"*.*",
  };
  EXPECT_EQ(parts, expected);
  // The first, where the dialog starts, takes every pattern of the kinds.
  for (std::size_t kind = 3; kind + 2 < parts.size(); kind += 2) {
    for (std::size_t at = 0; at <= parts[kind].size();) {
      const std::size_t end = std::min(parts[kind].find(u';', at), parts[kind].size());
      EXPECT_NE(parts[1].find(parts[kind].substr(at, end - at)), std::u16string::npos);
      at = end + 1;
    }
  }
}

TEST(DiskImageRules, TreeTextsNameTheImageAndItsPartitions) {
  EXPECT_EQ(ImageItemText(1, u"C:\\Cases\\disk.vhdx"), u"Image 1: disk.vhdx");
  EXPECT_EQ(ImageItemText(12, u"Z:/work/set.E01"), u"Image 12: set.E01");
  EXPECT_EQ(ImageItemText(3, u"plain.img"), u"Image 3: plain.img");
  EXPECT_EQ(ImagePartitionText(2, 5), u"Image 2 NTFS 5\\");
  // Distinct across images and partitions, so that rows and items tell them apart.
  EXPECT_NE(ImagePartitionText(1, 11), ImagePartitionText(11, 1));
}

TEST(DiskImageRules, FailuresSayWhatIsWrongWithTheImage) {
  struct Case {
    std::u16string lead;
    std::string problem;
    std::u16string text;
  };
  const Case cases[] = {
      {u"Z:\\dirty.vhdx", "the VHDX was not closed cleanly: its log holds writes not yet applied",
       u"Z:\\dirty.vhdx\n\nThe VHDX was not closed cleanly: its log holds writes not yet applied.\n\n"
       u"The request is not supported."},
      {u"Z:\\gone.E01", "", u"Z:\\gone.E01\n\nThe request is not supported."},
      {u"", "segment 3 (set.E03) is missing", u"Segment 3 (set.E03) is missing.\n\nThe request is not supported."},
      {u"", "", u"The request is not supported."},
      {u"", "an Ex01 (EWF version 2) image.", u"An Ex01 (EWF version 2) image.\n\nThe request is not supported."},
      {u"", "\xc3\xa9t\xc3\xa9 cut short", u"\u00e9t\u00e9 cut short.\n\nThe request is not supported."},
  };
  for (const Case& c : cases) EXPECT_EQ(ImageFailureText(c.lead, c.problem, u"The request is not supported."), c.text);
}

}  // namespace
