#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/resource.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <tuple>

#include "platform/Files.h"
#include "platform/Text.h"
#include "recover/Recovery.h"
#include "support/TestVolumes.h"

namespace {

TEST(SafeNames, NamesNeverLeaveTheFolderOrNameAStream) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"report.txt", u"report.txt"},
      {u"a:b*c?.txt", u"a_b_c_.txt"},
      {u"x\\..\\y/z", u"x_.._y_z"},
      {u"<pipe>|\"q\"", u"_pipe___q_"},
      {u"tab\there\x01", u"tab_here_"},
      {u"..", u"__"},
      {u".", u"_"},
      {u"trailing. .", u"trailing___"},
      {u"", u"_"},
      {u"CON", u"_CON"},
      {u"con.txt", u"_con.txt"},
      {u"Nul", u"_Nul"},
      {u"COM1.log", u"_COM1.log"},
      {u"lpt9", u"_lpt9"},
      {u"COM\u00B9", u"_COM\u00B9"},
      {u"CONSOLE", u"CONSOLE"},
      {u"COM10", u"COM10"},
      {u"r\u00E9sum\u00E9 \U0001F600.txt", u"r\u00E9sum\u00E9 \U0001F600.txt"},
  };
  for (const auto& [name, safe] : cases) EXPECT_EQ(SafeName(name), safe) << Utf8FromUtf16(name);
}

TEST(SafeNames, LongNamesFitOneFolderEntry) {
  // 255 two-byte characters are 510 UTF-8 bytes: cut, keeping the extension.
  const std::u16string name = std::u16string(250, u'\u00E9') + u".docx";
  const std::u16string safe = SafeName(name);
  EXPECT_LE(Utf8FromUtf16(safe).size(), 255u);
  EXPECT_EQ(safe.substr(safe.size() - 5), u".docx");
  // A surrogate pair is never split.
  std::u16string emoji;
  for (int i = 0; i < 100; ++i) emoji += u"\U0001F600";
  const std::string cut = Utf8FromUtf16(SafeName(emoji));
  EXPECT_LE(cut.size(), 255u);
  EXPECT_EQ(cut.size() % 4, 0u);
  // Found by fuzzing: the cut itself may end the name in a dot or a blank.
  for (char16_t end : {u'.', u' '}) {
    const std::u16string cutAtEnd = SafeName(std::u16string(254, u'x') + end + std::u16string(40, u'y'));
    EXPECT_EQ(cutAtEnd, std::u16string(254, u'x') + u'_');
  }
  // A reserved name keeps its guard when the cut shortens it.
  const std::u16string reserved = SafeName(u"con." + std::u16string(300, u'z'));
  EXPECT_EQ(reserved.substr(0, 5), u"_con.");
  EXPECT_LE(Utf8FromUtf16(reserved).size(), 255u);
}

TEST(RecoveryPaths, PrefixesAreDroppedAndFoldersMadeSafe) {
  const std::string sep(1, static_cast<char>(PathSeparator));
  struct Case {
    std::u16string pathCell;
    std::vector<std::u16string> folders;
  };
  const Case cases[] = {
      {u"E:\\Docs\\Old\\", {u"Docs", u"Old"}},
      {u"?\\Old\\", {u"Old"}},
      {u"C:\\", {}},
      {u"Disk 0 NTFS 1\\a\\", {u"a"}},
      {u"C:\\..\\..\\etc\\", {u"__", u"__", u"etc"}},
      {u"C:\\a\\\\b\\", {u"a", u"b"}},
      {u"C:\\con\\x:y\\", {u"_con", u"x_y"}},
      {u"nothing", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(FoldersOfPath(c.pathCell), c.folders) << Utf8FromUtf16(c.pathCell);

  const RecoveryTarget target = TargetFor("/out", u"E:\\Docs\\Old\\", u"a?.txt");
  EXPECT_EQ(target.folders, (std::vector<NativePath>{"/out" + sep + "Docs", "/out" + sep + "Docs" + sep + "Old"}));
  EXPECT_EQ(target.file, "/out" + sep + "Docs" + sep + "Old" + sep + "a_.txt");
  // A destination given with its trailing separator is not doubled.
  EXPECT_EQ(TargetFor("/out/", u"C:\\", u"b").file, "/out/b");
}

TEST(RecoveryPaths, ClashNamesKeepTheExtensionLastAndFit) {
  const std::tuple<std::u16string, std::uint32_t, unsigned, std::u16string> cases[] = {
      {u"report.docx", 1234, 1, u"report (record 1234).docx"},
      {u"report.docx", 1234, 2, u"report (record 1234) (2).docx"},
      {u"README", 7, 1, u"README (record 7)"},
      {u".profile", 7, 1, u".profile (record 7)"},
      {u"archive.tar.gz", 4294967295u, 1, u"archive.tar (record 4294967295).gz"},
      {u"x." + std::u16string(20, u'e'), 5, 1, u"x." + std::u16string(20, u'e') + u" (record 5)"},
  };
  for (const auto& [name, record, attempt, expected] : cases) {
    EXPECT_EQ(ClashName(name, record, attempt), expected) << Utf8FromUtf16(name);
  }
  // A name that fills a folder entry gives up the end of its stem, never a
  // half of a surrogate pair, and stays safe.
  for (const std::u16string& stem : {std::u16string(300, u'x'), std::u16string(130, u'\u00E9'),
                                     [] { std::u16string e; for (int i = 0; i < 70; ++i) e += u"\U0001F600"; return e; }()}) {
    const std::u16string safe = SafeName(stem + u".docx");
    const std::u16string clash = ClashName(safe, 1234, 3);
    EXPECT_LE(Utf8FromUtf16(clash).size(), 255u);
    EXPECT_EQ(Utf16FromUtf8(Utf8FromUtf16(clash)), clash) << "a surrogate pair was split";
    EXPECT_EQ(clash.substr(clash.size() - 23), u" (record 1234) (3).docx");
    EXPECT_EQ(SafeName(clash), clash);
  }
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class RecoverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CraftedVolume volume;
    // Deleted files from 32 on: names given more than once, a second
    // notes:1.txt that is not read-only.
    const std::pair<const char16_t*, const char*> deleted[] = {
        {u"report.docx", "one"},  {u"report.docx", "two"},  {u"report.docx", "three"},
        {u"report (record 36).docx", "four"}, {u"report.docx", "five"}, {u"notes:1.txt", "new"},
        {u"alias.txt", "six"},
    };
    for (std::uint32_t i = 1; i < 32 + std::size(deleted); ++i) {
      if (i >= 32) {
        const std::string content = deleted[i - 32].second;
        volume.records.push_back(RecordBuilder(0)
                                     .StandardInformation(1, 2)
                                     .FileName(5, 0x20, deleted[i - 32].first)
                                     .ResidentData(Bytes(content.begin(), content.end()))
                                     .End()
                                     .Build());
      } else if (i == 30) {
        volume.records.push_back(RecordBuilder(0)
                                     .StandardInformation(1, 2, 3, 4, 0x21)
                                     .FileName(5, 0x20, u"notes:1.txt")
                                     .ResidentData(Bytes{'h', 'e', 'l', 'l', 'o'})
                                     .End()
                                     .Build());
      } else {
        volume.records.push_back(RecordBuilder(ntfs::RecordInUse).FileName(5, 0, u"inuse").End().Build());
      }
    }
    // Record 39: 3 MiB and 5 bytes, sparse, streamed in four chunks.
    const std::uint64_t clusters = (SparseSize + 4095) / 4096;
    volume.records.push_back(RecordBuilder(0)
                                 .FileName(5, 0x20, u"sparse.bin")
                                 .NonResidentData(MakeRunList({{clusters, 0, 0}}), SparseSize, clusters * 4096, 0,
                                                  clusters - 1)
                                 .End()
                                 .Build());
    // Record 40: a sparse MiB and more, then clusters past the disk's end.
    volume.records.push_back(RecordBuilder(0)
                                 .FileName(5, 0x20, u"torn.bin")
                                 .NonResidentData(MakeRunList({{300, 0, 0}, {10, 1 << 30, 4}}), 310 * 4096, 310 * 4096,
                                                  0, 309)
                                 .End()
                                 .Build());
    volume.WriteTo(disk);
    drive.AttachDisk(&disk);
    drive.SetPartitionStart(volume.partitionStart);
    ASSERT_EQ(drive.Initialize(), code::Success);
  }

  static constexpr std::uint64_t SparseSize = (3u << 20) + 5;
  MemoryDisk disk;
  CNTFSDrive drive;
  TempDir dir;
};

// Names in a folder and below it, for "nothing was left behind".
std::vector<std::string> Entries(const std::string& folder) {
  std::string listing;
  RunCommand("cd '" + folder + "' && find . -mindepth 1 | sort", &listing);
  std::vector<std::string> names;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) names.push_back(line);
  return names;
}

// Records what it is told; says stop at call `stopAt` (counted from 0) and
// runs `meanwhile` at the second call, while the file is being written.
class CountingObserver : public RecoveryObserver {
 public:
  explicit CountingObserver(std::size_t stopAt, std::function<void()> meanwhile = {})
      : stopAt(stopAt), meanwhile(std::move(meanwhile)) {}
  bool Progress(std::uint64_t written, std::uint64_t total) override {
    calls.push_back({written, total});
    if (calls.size() == 2 && meanwhile) meanwhile();
    return calls.size() - 1 != stopAt;
  }
  std::size_t stopAt;
  std::function<void()> meanwhile;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
};

// The observer hears every chunk and can stop at any point, the last one
// included; a stopped file leaves nothing, and the batch goes on.
TEST_F(RecoverTest, AnObserverFollowsEachChunkAndCanCancel) {
  const std::size_t never = SIZE_MAX;
  for (std::size_t stopAt : {never, std::size_t{0}, std::size_t{1}, std::size_t{4}}) {
    SCOPED_TRACE(stopAt);
    const std::string destination = dir.Path() + "/" + std::to_string(stopAt);
    ASSERT_EQ(MakeDirectory(destination), code::Success);
    RecoveryBatch batch(destination, ExistingFiles::Skip);
    CountingObserver observer(stopAt);
    RecoveredFile file;
    const DWORD result = batch.Recover(drive, 39, u"C:\\Folder\\", &file, &observer);
    EXPECT_EQ(result, stopAt == never ? code::Success : code::Cancelled);
    ASSERT_FALSE(observer.calls.empty());
    EXPECT_EQ(observer.calls.front().first, 0u);
    for (std::size_t i = 0; i < observer.calls.size(); ++i) {
      EXPECT_EQ(observer.calls[i].second, SparseSize);
      if (i > 0) {
        EXPECT_LE(observer.calls[i].first - observer.calls[i - 1].first, 1u << 20);
      }
    }
    if (stopAt == never) {
      EXPECT_EQ(observer.calls.size(), 5u);
      EXPECT_EQ(observer.calls.back().first, SparseSize);
      EXPECT_EQ(Entries(destination), (std::vector<std::string>{"./Folder", "./Folder/sparse.bin"}));
    } else {
      EXPECT_EQ(observer.calls.size(), stopAt + 1);
      EXPECT_EQ(Entries(destination), std::vector<std::string>{"./Folder"});
      // A stopped file does not stop the batch, nor take its name.
      EXPECT_EQ(batch.Recover(drive, 39, u"C:\\Folder\\", &file), code::Success);
      EXPECT_EQ(file.file, destination + "/Folder/sparse.bin");
    }
  }
}

// However a copy fails, nothing is left under its name or a temporary one,
// and a second run writes the file instead of passing it over as there.
TEST_F(RecoverTest, AFailedCopyLeavesNothingBehind) {
  struct Case {
    const char* what;
    std::uint32_t record;
    DWORD expected;
    bool child;  // run in a child process whose files may not grow past 1 MiB
  };
  const Case cases[] = {
      {"the volume cannot be read", 40, code::HandleEof, false},
      {"the destination takes no more", 39, code::FileTooLarge, true},
      {"cancelled", 39, code::Cancelled, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string destination = dir.Path() + "/" + std::to_string(&c - cases);
    ASSERT_EQ(MakeDirectory(destination), code::Success);
    auto recover = [&]() {
      RecoveryBatch batch(destination, ExistingFiles::Skip);
      CountingObserver observer(c.expected == code::Cancelled ? 2 : SIZE_MAX);
      RecoveredFile file;
      const DWORD result = batch.Recover(drive, c.record, u"C:\\Folder\\", &file, &observer);
      return result == c.expected && observer.calls.size() >= 2 && !file.existed ? 0 : 1;
    };
    if (c.child) {
      const pid_t child = fork();
      if (child == 0) {
        const rlimit limit{1u << 20, 1u << 20};
        signal(SIGXFSZ, SIG_IGN);
        _exit(setrlimit(RLIMIT_FSIZE, &limit) == 0 ? recover() : 2);
      }
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    } else {
      EXPECT_EQ(recover(), 0);
    }
    EXPECT_EQ(Entries(destination), std::vector<std::string>{"./Folder"});
    if (c.record == 39) {
      RecoveryBatch again(destination, ExistingFiles::Skip);
      RecoveredFile file;
      EXPECT_EQ(again.Recover(drive, 39, u"C:\\Folder\\", &file), code::Success);
      EXPECT_EQ(file.bytes, SparseSize);
    }
  }
}

// A file that was there before the batch, or that appears while the copy
// runs, is kept (Skip), replaced (Replace, read-only as it is) or left alone
// while the new file takes the next clash name (Rename). Nothing else stays.
TEST_F(RecoverTest, FilesThatAreThereAreSkippedReplacedOrKeptBesideTheNewOne) {
  struct Case {
    ExistingFiles existing;
    bool late;  // the file appears while the new one is written
    DWORD expected;
    const char* written;  // where the new file goes
  };
  const Case cases[] = {
      {ExistingFiles::Skip, false, code::FileExists, "sparse.bin"},
      {ExistingFiles::Skip, true, code::FileExists, "sparse.bin"},
      {ExistingFiles::Replace, false, code::Success, "sparse.bin"},
      {ExistingFiles::Replace, true, code::Success, "sparse.bin"},
      {ExistingFiles::Rename, false, code::Success, "sparse (record 39).bin"},
      {ExistingFiles::Rename, true, code::Success, "sparse (record 39).bin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(&c - cases));
    const std::string destination = dir.Path() + "/" + std::to_string(&c - cases);
    ASSERT_EQ(MakeDirectory(destination), code::Success);
    ASSERT_EQ(MakeDirectory(destination + "/Folder"), code::Success);
    const std::string before = destination + "/Folder/sparse.bin";
    auto plant = [&]() {
      std::ofstream(before) << "there before";
      chmod(before.c_str(), 0444);
    };
    if (!c.late) plant();
    RecoveryBatch batch(destination, c.existing);
    CountingObserver observer(SIZE_MAX, c.late ? std::function<void()>(plant) : nullptr);
    RecoveredFile file;
    EXPECT_EQ(batch.Recover(drive, 39, u"C:\\Folder\\", &file, &observer), c.expected);
    EXPECT_EQ(file.existed, c.expected == code::FileExists);
    EXPECT_EQ(file.file, destination + "/Folder/" + c.written);
    std::vector<std::string> expected = {"./Folder", "./Folder/sparse.bin"};
    if (c.existing == ExistingFiles::Rename) expected.insert(expected.begin() + 1, "./Folder/sparse (record 39).bin");
    EXPECT_EQ(Entries(destination), expected);
    const std::string zeros(SparseSize, '\0');
    EXPECT_TRUE(ReadAll(before) == (c.existing == ExistingFiles::Replace ? zeros : "there before"));
    if (c.existing == ExistingFiles::Rename) {
      EXPECT_TRUE(ReadAll(file.file) == zeros);
    }
  }
}

// Inside the destination no link is followed: a link at a folder's place
// fails the file, one at the file's place is kept, refused or passed by, as
// the batch treats what is there. The destination itself may be a link.
TEST_F(RecoverTest, LinksInsideTheDestinationAreNeverFollowed) {
  const std::string outside = dir.Path() + "/outside", real = dir.Path() + "/real", given = dir.Path() + "/given";
  ASSERT_EQ(MakeDirectory(outside), code::Success);
  ASSERT_EQ(MakeDirectory(real), code::Success);
  ASSERT_EQ(symlink(real.c_str(), given.c_str()), 0);
  std::ofstream(outside + "/notes_1.txt") << "keep me";
  struct Case {
    const char* link;    // below the destination
    const char* target;  // what it points to
    ExistingFiles existing;
    DWORD expected;
    const char* written;  // below the destination; empty when nothing is
  };
  const Case cases[] = {
      {"Docs", "outside", ExistingFiles::Skip, code::StoppedOnSymlink, ""},
      {"Docs", "outside", ExistingFiles::Rename, code::StoppedOnSymlink, ""},
      {"Docs/notes_1.txt", "outside/notes_1.txt", ExistingFiles::Skip, code::FileExists, ""},
      {"Docs/notes_1.txt", "outside/notes_1.txt", ExistingFiles::Replace, code::StoppedOnSymlink, ""},
      {"Docs/notes_1.txt", "outside/new.txt", ExistingFiles::Replace, code::StoppedOnSymlink, ""},
      {"Docs/notes_1.txt", "outside/notes_1.txt", ExistingFiles::Rename, code::Success, "Docs/notes_1 (record 30).txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(&c - cases));
    RunCommand("rm -rf '" + real + "'/*");
    if (c.link != std::string("Docs")) {
      ASSERT_EQ(MakeDirectory(real + "/Docs"), code::Success);
    }
    ASSERT_EQ(symlink((dir.Path() + "/" + c.target).c_str(), (real + "/" + c.link).c_str()), 0);
    RecoveryBatch batch(given, c.existing);
    RecoveredFile file;
    EXPECT_EQ(batch.Recover(drive, 30, u"C:\\Docs\\", &file), c.expected);
    EXPECT_EQ(Entries(outside), std::vector<std::string>{"./notes_1.txt"});
    EXPECT_EQ(ReadAll(outside + "/notes_1.txt"), "keep me");
    if (*c.written != '\0') {
      EXPECT_EQ(ReadAll(real + "/" + c.written), "hello");
    }
  }
}

TEST_F(RecoverTest, WritesTheFileBelowItsFoldersWithItsAttributes) {
  const std::u16string destination = Utf16FromUtf8(dir.Path());
  RecoveredFile file;
  ASSERT_EQ(RecoverRecord(drive, 30, destination, u"C:\\Docs\\..\\", false, &file), code::Success);
  const std::string expected = dir.Path() + "/Docs/__/notes_1.txt";
  EXPECT_EQ(Utf8FromUtf16(file.path), expected);
  EXPECT_EQ(file.bytes, 5u);
  EXPECT_EQ(ReadAll(expected), "hello");
  struct stat info {};
  ASSERT_EQ(stat(expected.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0222, 0u);  // read-only, as recorded

  // An existing file is kept unless replacing is asked for.
  RecoveredFile again;
  EXPECT_EQ(RecoverRecord(drive, 30, destination, u"C:\\Docs\\..\\", false, &again), code::FileExists);
  EXPECT_TRUE(again.existed);
  chmod(expected.c_str(), 0644);
  std::ofstream(expected) << "something else entirely";
  ASSERT_EQ(RecoverRecord(drive, 30, destination, u"C:\\Docs\\..\\", true, &again), code::Success);
  EXPECT_EQ(ReadAll(expected), "hello");
}

// Within a batch a name is given once; what was there before keeps today's
// rules (kept, or replaced when asked).
TEST_F(RecoverTest, ABatchNeverReplacesItsOwnFiles) {
  struct Step {
    std::uint32_t record;
    const char* file;
    const char* content;
  };
  const Step steps[] = {
      {32, "report.docx", "one"},
      {33, "report (record 33).docx", "two"},
      {34, "report (record 34).docx", "three"},
      {35, "report (record 36).docx", "four"},
      {36, "report (record 36) (2).docx", "five"},  // its first clash name is taken too
  };
  for (bool replace : {false, true}) {
    SCOPED_TRACE(replace ? "replacing" : "keeping");
    const NativePath destination = dir.Path() + (replace ? "/replace" : "/keep");
    ASSERT_EQ(MakeDirectory(destination), code::Success);
    std::ofstream(destination + "/report.docx") << "there before";
    RecoveryBatch batch(destination, replace ? ExistingFiles::Replace : ExistingFiles::Skip);
    for (const Step& step : steps) {
      RecoveredFile file;
      const bool kept = step.record == 32 && !replace;
      EXPECT_EQ(batch.Recover(drive, step.record, u"C:\\", &file), kept ? code::FileExists : code::Success);
      EXPECT_EQ(file.existed, kept);
      EXPECT_EQ(file.file, destination + "/" + step.file);
      EXPECT_EQ(ReadAll(file.file), kept ? "there before" : step.content);
    }
    // A second name for a file of the batch (a hard link here; a file system
    // that ignores case does the same) is a clash too, even when replacing.
    ASSERT_EQ(link((destination + "/report (record 33).docx").c_str(), (destination + "/alias.txt").c_str()), 0);
    RecoveredFile alias;
    EXPECT_EQ(batch.Recover(drive, 38, u"C:\\", &alias), code::Success);
    EXPECT_EQ(alias.file, destination + "/alias (record 38).txt");
    EXPECT_EQ(ReadAll(destination + "/alias.txt"), "two");
  }
}

// Replacing makes a new file in the old one's place: a read-only file that
// an earlier recovery wrote is replaced by a user who may not write to it,
// and the new file has its own attributes.
TEST_F(RecoverTest, ReplacingTakesTheOldFilesPlaceWhateverItsAttributes) {
  const std::u16string destination = Utf16FromUtf8(dir.Path());
  const std::string path = dir.Path() + "/notes_1.txt";
  RecoveredFile file;
  ASSERT_EQ(RecoverRecord(drive, 30, destination, u"C:\\", false, &file), code::Success);
  if (geteuid() == 0) {
    // Root writes to any file: an ordinary user shows what the attribute does.
    ASSERT_EQ(chown(dir.Path().c_str(), 65534, 65534), 0);
    const pid_t child = fork();
    if (child == 0) {
      RecoveredFile again;
      _exit(setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0 &&
                    RecoverRecord(drive, 30, destination, u"C:\\", true, &again) == code::Success
                ? 0
                : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  } else {
    EXPECT_EQ(RecoverRecord(drive, 30, destination, u"C:\\", true, &file), code::Success);
  }
  EXPECT_EQ(ReadAll(path), "hello");
  ASSERT_EQ(RecoverRecord(drive, 37, destination, u"C:\\", true, &file), code::Success);
  EXPECT_EQ(ReadAll(path), "new");
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_NE(info.st_mode & 0200, 0u) << "the old file's read-only attribute stayed";
}

TEST_F(RecoverTest, RefusesRecordsThatAreNotDeletedFilesAndFoldersThatCannotBeMade) {
  const std::u16string destination = Utf16FromUtf8(dir.Path());
  RecoveredFile file;
  EXPECT_EQ(RecoverRecord(drive, 31, destination, u"C:\\", false, &file), code::FileNotFound);
  EXPECT_EQ(RecoverRecord(drive, 99, destination, u"C:\\", false, &file), code::NoMoreFiles);
  // A folder that cannot be made fails before anything is written.
  std::ofstream(dir.Path() + "/blocker") << "a file, not a folder";
  EXPECT_EQ(RecoverRecord(drive, 30, destination, u"C:\\blocker\\", false, &file), code::AlreadyExists);
}

}  // namespace
