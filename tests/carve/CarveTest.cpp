// The carving parsers on real files made at test time by real tools
// (tests/carve/mkcarvefiles.py): each file whole, followed by other bytes,
// cut short, failing a read, and corrupted partway; then what real files
// cannot show, made from them by changing a field.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>

#include "carve/Carve.h"
#include "support/TestVolumes.h"

namespace {

using carve::Carving;
using carve::Damage;
using carve::FileType;
using carve::Verdict;

struct File {
  std::string name;
  const FileType* type = nullptr;
  std::string extension, subtype, created, modified;
  std::uint64_t corruptAt = 0;
  Bytes corruptWith;
  std::uint64_t prefix = 0;  // a whole file's length at its start, shorter than this one
  Bytes bytes;
};

const FileType* TypeNamed(const std::string& name) {
  std::size_t count = 0;
  const FileType* types = carve::Types(&count);
  for (std::size_t i = 0; i < count; ++i)
    if (name == types[i].name) return &types[i];
  return nullptr;
}

Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

// "YYYY-MM-DD HH:MM:SS" and L for the writer's clock, as the manifest writes it.
carve::Timestamp Expected(const std::string& text) {
  if (text.empty()) return {};
  int y, mo, d, h, mi, s;
  EXPECT_EQ(std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s), 6) << text;
  return {FileTimeUtc(y, mo, d, h, mi, s), text.back() == 'L'};
}

// A source over bytes whose reads fail from `failAt` on, as a bad sector does.
class FailingSource : public carve::ByteSource {
 public:
  FailingSource(const Bytes& bytes, std::uint64_t failAt) : data(bytes), fail(failAt) {}
  DWORD Read(std::uint64_t offset, std::size_t count, std::uint8_t* buffer, std::size_t* got) override {
    *got = 0;
    if (offset + count > fail) return code::Crc;
    const std::size_t take = offset >= data.size() ? 0 : std::min<std::size_t>(count, data.size() - offset);
    std::memcpy(buffer, data.data() + offset, take);
    *got = take;
    return code::Success;
  }

 private:
  const Bytes& data;
  std::uint64_t fail;
};

Carving Carve(const FileType& type, const Bytes& bytes, carve::Limits limits = {}) {
  carve::MemorySource source(bytes.data(), bytes.size());
  Carving result;
  EXPECT_EQ(carve::Carve(type, source, limits, &result), code::Success);
  return result;
}

Bytes Joined(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Noise(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  Bytes bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

std::string Describe(const Carving& c) {
  static const char* const verdicts[] = {"not this type", "carved", "damaged"};
  static const char* const damages[] = {"", " (cut short)", " (invalid)", " (unbounded)"};
  return std::string(verdicts[static_cast<int>(c.verdict)]) + damages[static_cast<int>(c.damage)] + ", " +
         std::to_string(c.length) + " bytes, " + c.extension + ", " + c.subtype;
}

class CarveFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder = new TempDir;
    std::string log;
    const std::string script = std::string(PELMORA_SOURCE_DIR) + "/tests/carve/mkcarvefiles.py";
    ASSERT_EQ(RunCommand("python3 " + script + " " + folder->Path() + " 2>&1", &log), 0) << log;
    files = new std::vector<File>;
    for (auto& row : ReadTsv(folder->Path() + "/manifest.tsv")) {
      File file;
      file.name = row["name"];
      file.type = TypeNamed(row["type"]);
      ASSERT_NE(file.type, nullptr) << row["type"];
      file.extension = row["extension"], file.subtype = row["subtype"];
      file.created = row["created"], file.modified = row["modified"];
      file.corruptAt = row["corrupt_at"].empty() ? 0 : std::stoull(row["corrupt_at"]);
      file.corruptWith = FromHex(row["corrupt_hex"]);
      file.prefix = row["prefix"].empty() ? 0 : std::stoull(row["prefix"]);
      std::ifstream in(folder->Path() + "/" + file.name, std::ios::binary);
      file.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      ASSERT_FALSE(file.bytes.empty()) << file.name;
      files->push_back(std::move(file));
    }
  }
  static void TearDownTestSuite() {
    delete files;
    delete folder;
  }
  static const File& Named(const std::string& name) {
    for (const File& file : *files)
      if (file.name == name) return file;
    ADD_FAILURE() << "no fixture " << name;
    return files->front();
  }

  static TempDir* folder;
  static std::vector<File>* files;
};

TempDir* CarveFiles::folder = nullptr;
std::vector<File>* CarveFiles::files = nullptr;

TEST_F(CarveFiles, WholeFilesAreFoundAndCarvedToTheirEndWithTheirNamesAndDates) {
  ASSERT_GE(files->size(), 40u);
  // Free space is mostly zeros: no type begins there.
  const Bytes zeros(carve::ProbeBytes, 0);
  EXPECT_EQ(carve::Identify(zeros.data(), zeros.size()), nullptr);
  for (const File& file : *files) {
    SCOPED_TRACE(file.name);
    const std::size_t probe = std::min(file.bytes.size(), carve::ProbeBytes);
    EXPECT_EQ(carve::Identify(file.bytes.data(), probe), file.type);
    const Carving c = Carve(*file.type, file.bytes);
    EXPECT_EQ(c.verdict, Verdict::Carved) << Describe(c);
    EXPECT_EQ(c.length, file.bytes.size());
    EXPECT_EQ(c.extension, file.extension);
    EXPECT_EQ(c.subtype, file.subtype);
    const carve::Timestamp created = Expected(file.created), modified = Expected(file.modified);
    EXPECT_EQ(c.created.fileTime, created.fileTime);
    EXPECT_EQ(c.created.localClock, created.localClock);
    EXPECT_EQ(c.modified.fileTime, modified.fileTime);
    EXPECT_EQ(c.modified.localClock, modified.localClock);
    // The smallest window the reader allows walks to the same end.
    carve::Limits narrow;
    narrow.windowBytes = carve::MinWindowBytes;
    const Carving n = Carve(*file.type, file.bytes, narrow);
    EXPECT_EQ(Describe(n), Describe(c));
  }
}

TEST_F(CarveFiles, EachStopsAtItsOwnEndWhateverFollows) {
  const Bytes followers[] = {Noise(65536, 1), Bytes(65536, 0), Bytes(65536, 0xFF)};
  for (const File& file : *files) {
    for (const Bytes& after : followers) {
      SCOPED_TRACE(file.name + " followed by " + std::to_string(after[0]));
      const Carving c = Carve(*file.type, Joined(file.bytes, after));
      EXPECT_EQ(c.verdict, Verdict::Carved) << Describe(c);
      EXPECT_EQ(c.length, file.bytes.size());
    }
  }
}

TEST_F(CarveFiles, FilesCutShortOrUnreadablePartwayAreDamagedUpToWhatHeld) {
  for (const File& file : *files) {
    const std::uint64_t size = file.bytes.size();
    for (std::uint64_t cut : {size / 3, size * 2 / 3, size - 2}) {
      const Bytes head(file.bytes.begin(), file.bytes.begin() + static_cast<std::ptrdiff_t>(cut));
      std::vector<std::pair<std::string, Carving>> carvings = {{"cut", Carve(*file.type, head)}};
      // A bad sector where the cut is, with the file's bytes after it: reads
      // fail whole over it, so only a file that reaches past its first
      // sector can show.
      const std::uint64_t sector = cut / 512 * 512;
      if (sector >= 1024) {
        FailingSource failing(file.bytes, sector);
        Carving c;
        ASSERT_EQ(carve::Carve(*file.type, failing, {}, &c), code::Success);
        EXPECT_EQ(c.readError, code::Crc) << file.name;
        carvings.push_back({"unreadable", c});
      }
      for (const auto& [how, c] : carvings) {
        SCOPED_TRACE(file.name + " " + how + " at " + std::to_string(cut));
        if (file.prefix != 0 && file.prefix <= cut) {
          // A shorter file that is whole on its own.
          EXPECT_EQ(c.verdict, Verdict::Carved) << Describe(c);
          EXPECT_EQ(c.length, file.prefix);
          continue;
        }
        EXPECT_EQ(c.verdict, Verdict::Damaged) << Describe(c);
        EXPECT_EQ(c.damage, Damage::CutShort);
        EXPECT_LE(c.length, cut);
      }
    }
  }
}

TEST_F(CarveFiles, FilesCorruptedPartwayKeepTheirValidStartAndAreDamaged) {
  unsigned corrupted = 0;
  for (const File& file : *files) {
    if (file.corruptWith.empty()) continue;
    SCOPED_TRACE(file.name + " corrupted at " + std::to_string(file.corruptAt));
    ++corrupted;
    Bytes bytes = file.bytes;
    ASSERT_LE(file.corruptAt + file.corruptWith.size(), bytes.size());
    std::copy(file.corruptWith.begin(), file.corruptWith.end(), bytes.begin() + static_cast<std::ptrdiff_t>(file.corruptAt));
    const Carving c = Carve(*file.type, Joined(bytes, Noise(4096, 2)));
    if (file.prefix != 0) {
      // The revision before the corruption is whole; the one after it is not.
      EXPECT_EQ(c.verdict, Verdict::Damaged) << Describe(c);
      EXPECT_EQ(c.length, file.prefix);
      continue;
    }
    EXPECT_EQ(c.verdict, Verdict::Damaged) << Describe(c);
    EXPECT_EQ(c.damage, Damage::Invalid);
    EXPECT_LE(c.length, file.corruptAt);
    EXPECT_GT(c.length, 0u);
  }
  EXPECT_GE(corrupted, 20u);
}

TEST_F(CarveFiles, FilesInsideOthersLieWithinTheirContainersExtent) {
  // An EXIF thumbnail in a JPEG, and a JPEG stored in a DOCX: each is a
  // file at its own offset, and inside the carved extent the carver skips.
  struct Case {
    const char* container;
    const char* inner;
  } cases[] = {{"exif.jpg", "thumb.jpg"}, {"report.docx", "plain.jpg"}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.container);
    const Bytes& outer = Named(test.container).bytes;
    std::ifstream in(folder->Path() + "/" + test.inner, std::ios::binary);
    const Bytes inner((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto at = std::search(outer.begin() + 1, outer.end(), inner.begin(), inner.end());
    ASSERT_NE(at, outer.end());
    const std::size_t offset = static_cast<std::size_t>(at - outer.begin());
    EXPECT_EQ(carve::Identify(&outer[offset], outer.size() - offset), TypeNamed("JPEG"));
    const Carving c = Carve(*Named(test.container).type, outer);
    EXPECT_GE(c.length, offset + inner.size());
  }
}

TEST_F(CarveFiles, FieldsNoRealFileHereHasAreHeldToTheFormat) {
  auto put32 = [](Bytes& b, std::size_t at, std::uint32_t v, bool big) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (big ? 24 - 8 * i : 8 * i));
  };
  auto find = [](const Bytes& b, const std::string& text) {
    return static_cast<std::size_t>(std::search(b.begin(), b.end(), text.begin(), text.end()) - b.begin());
  };
  struct Case {
    const char* what;
    const char* file;
    std::function<void(Bytes&, carve::Limits&)> change;
    Verdict verdict;
    Damage damage;
    std::function<std::uint64_t(const Bytes&)> length;  // expected, from the changed bytes
  };
  const Case cases[] = {
      {"a database whose page count the header does not vouch for (version-valid-for differs)", "notes.sqlite",
       [&](Bytes& b, carve::Limits&) { put32(b, 92, 1234567, true); }, Verdict::Damaged, Damage::Unbounded,
       [](const Bytes& b) { return std::uint64_t{b[16]} << 8 | b[17]; }},
      {"a JPEG's scan longer than the bound on unstated lengths", "exif.jpg",
       [](Bytes&, carve::Limits& l) { l.unstatedBytes = 2000; }, Verdict::Damaged, Damage::Unbounded,
       [](const Bytes&) { return std::uint64_t{2000}; }},
      {"an mdat box that runs to the end of the file (size 0)", "movie.mp4",
       [&](Bytes& b, carve::Limits&) { put32(b, find(b, "mdat") - 4, 0, true); }, Verdict::Damaged, Damage::Unbounded,
       [&](const Bytes& b) { return std::uint64_t{find(b, "mdat") + 4}; }},
      {"a TIFF whose last IFD leads back to the first", "pages.tif",
       [&](Bytes& b, carve::Limits&) {
         std::uint32_t first = b[4] | b[5] << 8 | b[6] << 16 | std::uint32_t{b[7]} << 24, at = first, next = first;
         while (next != 0) {
           at = next;
           const std::uint32_t count = b[at] | b[at + 1] << 8;
           next = b[at + 2 + 12 * count] | b[at + 3 + 12 * count] << 8 | b[at + 4 + 12 * count] << 16 |
                  std::uint32_t{b[at + 5 + 12 * count]} << 24;
           if (next == 0) put32(b, at + 2 + 12 * count, first, false);
         }
       },
       Verdict::Carved, Damage::None, [](const Bytes& b) { return std::uint64_t{b.size()}; }},
      {"a BMP whose file size lies far past its pixels", "v3.bmp",
       [&](Bytes& b, carve::Limits&) { put32(b, 2, 0x7FFFFFF0, false); }, Verdict::NotThisType, Damage::None,
       [](const Bytes&) { return std::uint64_t{0}; }},
      {"a ZIP whose end record counts one entry more than its directory", "plain.zip",
       [&](Bytes& b, carve::Limits&) { ++b[find(b, "PK\x05\x06") + 10]; }, Verdict::Damaged, Damage::Invalid,
       [&](const Bytes& b) {
         const std::size_t end = find(b, "PK\x05\x06");
         const std::uint32_t directory = b[end + 16] | b[end + 17] << 8 | b[end + 18] << 16 | std::uint32_t{b[end + 19]} << 24;
         return std::uint64_t{directory};
       }},
      {"two GZIP members, one after the other, are one file", "a.txt.gz",
       [](Bytes& b, carve::Limits&) { b = Joined(b, b); }, Verdict::Carved, Damage::None,
       [](const Bytes& b) { return std::uint64_t{b.size()}; }},
      {"a PDF whose last startxref points nowhere, with no earlier revision", "xrefstream.pdf",
       [&](Bytes& b, carve::Limits&) { b[b.size() - 10] = '9'; }, Verdict::Damaged, Damage::Invalid,
       [&](const Bytes& b) { return std::uint64_t{find(b, "endobj\nstartxref") + 6}; }},
      {"an MP3 whose Info frame states more frames than follow", "tagged.mp3",
       [&](Bytes& b, carve::Limits&) {
         const std::size_t info = find(b, "Info");
         put32(b, info + 8, (b[info + 8] << 24 | b[info + 9] << 16 | b[info + 10] << 8 | b[info + 11]) + 1, true);
       },
       Verdict::Damaged, Damage::Invalid, [&](const Bytes& b) { return std::uint64_t{find(b, "TAG")}; }},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    Bytes bytes = Named(test.file).bytes;
    carve::Limits limits;
    test.change(bytes, limits);
    const Carving c = Carve(*Named(test.file).type, bytes, limits);
    EXPECT_EQ(c.verdict, test.verdict) << Describe(c);
    EXPECT_EQ(c.damage, test.damage);
    EXPECT_EQ(c.length, test.length(bytes));
  }
}

}  // namespace
