// Crafted records for what decides where a file's bytes are, beyond what the
// volumes made here show: values whose pieces lie in any record an
// attribute list names, reparse points that stand for bytes elsewhere, a
// compressed run list cut short, and a row's record used again after the
// scan.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <random>

#include "ntfs/NTFSDrive.h"
#include "platform/Errors.h"
#include "platform/Text.h"
#include "recover/Recovery.h"
#include "scan/Scanner.h"
#include "support/Lznt1Encoder.h"
#include "support/TestVolumes.h"
#include "support/WimCompress.h"

namespace {

constexpr std::uint8_t Deleted = 0;
constexpr std::uint8_t InUse = ntfs::RecordInUse;
constexpr std::uint8_t Directory = ntfs::RecordIsDirectory;
constexpr std::uint64_t Root = 5 | (5ull << 48);
constexpr std::uint32_t Cluster = 4096;
const std::u16string WofName = wof::StreamName;

std::uint64_t Ref(std::uint64_t record, std::uint16_t sequence) { return record | (std::uint64_t{sequence} << 48); }

Bytes Pattern(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  Bytes bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

Bytes Text(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>("clusters of text, "[i % 18]);
  return bytes;
}

// A system compression point's data: version, provider, version, algorithm.
Bytes WofPoint(std::uint32_t algorithm, std::uint32_t provider = wof::FileProvider) {
  Bytes data(wof::ReparseWofDataLength, 0);
  PutLE(data, 0, wof::WofVersion, 4);
  PutLE(data, 4, provider, 4);
  PutLE(data, 8, wof::FileProviderVersion, 4);
  PutLE(data, 12, algorithm, 4);
  return data;
}

NonResidentOptions Sparse(std::uint64_t initialized = 0) {
  NonResidentOptions options;
  options.flags = ntfs::AttrFlagSparse;
  options.initializedSize = initialized;
  return options;
}

NonResidentOptions Named(const std::u16string& name) {
  NonResidentOptions options;
  options.name = name;
  return options;
}

class RowsSink : public RowSink {};

// A crafted volume on a memory disk; records are given by index (1 on) and
// file data by cluster.
class ContentFormsTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void Reset() {
    volume.records.clear();
    disk = MemoryDisk{};
    Record(5, RecordBuilder(InUse | Directory).Sequence(5).FileName(Root, 0x10000000, u".").End().Build());
  }
  void Record(std::uint32_t index, Bytes bytes) {
    if (volume.records.size() < index) volume.records.resize(index, RecordBuilder(InUse).End().Build());
    volume.records[index - 1] = std::move(bytes);
  }
  void Clusters(std::uint64_t lcn, const Bytes& bytes) { disk.Write(volume.ClusterOffset(lcn), bytes); }
  DWORD Open() {
    volume.WriteTo(disk);
    drive.AttachDisk(&disk);
    drive.SetPartitionStart(volume.partitionStart);
    return drive.Initialize();
  }
  RowTable Scan() {
    const std::atomic<bool> stop{false};
    RowsSink sink;
    ScanTotals totals;
    RowTable rows;
    EXPECT_EQ(ScanRecords(drive, u"C:\\", stop, sink, &totals, &rows), code::Success);
    return rows;
  }
  // The whole read and the stream of record `index`: their codes and bytes.
  void Read(std::uint32_t index, DWORD* whole, Bytes* wholeBytes, DWORD* streamed, Bytes* streamedBytes) {
    ReadBothWays(drive, index, whole, wholeBytes, streamed, streamedBytes);
  }

  CraftedVolume volume;
  MemoryDisk disk;
  CNTFSDrive drive;
};

// Record 30's value, whichever records hold its pieces: read whole and
// streamed, listed with its size, its clusters those that hold its bytes.
TEST_F(ContentFormsTest, ValuesAreReadFromEveryRecordThatHoldsAPiece) {
  const Bytes six = Pattern(6 * Cluster, 9);
  Bytes packed = Text(Cluster);
  const Bytes noise = Pattern(Cluster, 4), tail = Text(3000);
  packed.insert(packed.end(), noise.begin(), noise.end());
  packed.insert(packed.end(), tail.begin(), tail.end());
  const Bytes stream = WofCompressedStream(wof::Algorithm::Xpress4K, packed);
  ASSERT_GT(stream.size(), Cluster);
  ASSERT_LE(stream.size(), 2 * Cluster);
  Bytes streamClusters = stream;
  streamClusters.resize(2 * Cluster, 0);
  struct Case {
    const char* what;
    std::function<void()> make;
    Bytes content;
    std::vector<std::uint64_t> clusters;  // the LCNs the state counts
  };
  const Case cases[] = {
      {"a resident $DATA in an extension record",
       [&] {
         Record(30, RecordBuilder(Deleted)
                          .Sequence(5)
                          .StandardInformation(1, 2)
                          .AttributeList({{ntfs::TypeFileName, 0, Ref(31, 4)}, {ntfs::TypeData, 0, Ref(31, 4)}})
                          .End()
                          .Build());
         Record(31, RecordBuilder(Deleted).Sequence(5).BaseReference(Ref(30, 4)).FileName(Root, 0x20, u"small.txt")
                          .ResidentData(Pattern(700, 3)).End().Build());
       },
       Pattern(700, 3), {}},
      {"pieces in the base record before and after an extension's",
       [&] {
         Clusters(200, six);
         Record(30, RecordBuilder(Deleted)
                          .Sequence(5)
                          .StandardInformation(1, 2)
                          .FileName(Root, 0x20, u"split.bin")
                          .AttributeList({{ntfs::TypeData, 0, Ref(30, 4)},
                                          {ntfs::TypeData, 2, Ref(31, 4)},
                                          {ntfs::TypeData, 4, Ref(30, 4)}})
                          .NonResidentData(MakeRunList({{2, 200, 2}}), 6 * Cluster - 100, 6 * Cluster, 0, 1)
                          .NonResidentData(MakeRunList({{2, 204, 2}}), 0, 0, 4, 5)
                          .End()
                          .Build());
         Record(31, RecordBuilder(Deleted).Sequence(5).BaseReference(Ref(30, 4))
                          .NonResidentData(MakeRunList({{2, 202, 2}}), 0, 0, 2, 3).End().Build());
       },
       Bytes(six.begin(), six.end() - 100), {200, 201, 202, 203, 204, 205}},
      {"a system-compressed file: its reparse point in one extension, its chunks in another and in the base",
       [&] {
         Clusters(300, streamClusters);
         const std::u16string name = wof::StreamName;
         Record(30, RecordBuilder(Deleted)
                          .Sequence(5)
                          .StandardInformation(1, 2)
                          .AttributeList({{ntfs::TypeFileName, 0, Ref(31, 4)},
                                          {ntfs::TypeData, 0, Ref(30, 4)},
                                          {ntfs::TypeData, 0, Ref(32, 4), 0, name},
                                          {ntfs::TypeData, 1, Ref(30, 4), 0, name},
                                          {ntfs::TypeReparsePoint, 0, Ref(31, 4)}})
                          .NonResident(MakeRunList({{3, 0, 0}}), packed.size(), 3 * Cluster, 0, 2, Sparse())
                          .NonResident(MakeRunList({{1, 301, 2}}), 0, 0, 1, 1, Named(name))
                          .End()
                          .Build());
         Record(31, RecordBuilder(Deleted).Sequence(5).BaseReference(Ref(30, 4)).FileName(Root, 0x20, u"packed.exe")
                          .ReparsePoint(wof::ReparseTag, WofPoint(0)).End().Build());
         Record(32, RecordBuilder(Deleted).Sequence(5).BaseReference(Ref(30, 4))
                          .NonResident(MakeRunList({{1, 300, 2}}), stream.size(), 2 * Cluster, 0, 0, Named(name))
                          .End().Build());
       },
       packed, {300, 301}},
      {"a system-compressed file held whole in its record",
       [&] {
         const Bytes small = Text(2500);
         Record(30, RecordBuilder(Deleted)
                          .StandardInformation(1, 2)
                          .FileName(Root, 0x20, u"tiny.exe")
                          .NonResident(MakeRunList({{1, 0, 0}}), small.size(), Cluster, 0, 0, Sparse())
                          .ResidentData(WofCompressedStream(wof::Algorithm::Lzx, small), "WofCompressedData")
                          .ReparsePoint(wof::ReparseTag, WofPoint(1))
                          .End()
                          .Build());
       },
       Text(2500), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    c.make();
    ASSERT_EQ(Open(), code::Success);
    DWORD whole = 0, streamed = 0;
    Bytes wholeBytes, streamedBytes;
    Read(30, &whole, &wholeBytes, &streamed, &streamedBytes);
    EXPECT_EQ(whole, code::Success);
    EXPECT_EQ(streamed, code::Success);
    EXPECT_TRUE(wholeBytes == c.content);
    EXPECT_TRUE(streamedBytes == c.content);
    RecordFacts facts;
    std::vector<StreamRun> runs;
    ASSERT_EQ(drive.ReadRecordFacts(30, MftRead::OnDemand, &facts, &runs), code::Success);
    EXPECT_EQ(facts.info.dataSize, c.content.size());
    EXPECT_EQ(facts.missingClusters, 0u);
    std::vector<std::uint64_t> clusters;
    for (const StreamRun& run : runs) {
      for (std::uint64_t i = 0; i < run.length && !run.sparse; ++i) clusters.push_back(run.lcn + i);
    }
    EXPECT_EQ(clusters, c.clusters);
    const RowTable rows = Scan();
    ASSERT_EQ(rows.Rows(), 1u);
    EXPECT_EQ(rows.At(0).size, c.content.size());
  }
}

// A reparse point whose tag says the bytes lie elsewhere, or whose $DATA
// holds none of them: listed, never read as the file.
TEST_F(ContentFormsTest, ReparsePointsThatStandForBytesElsewhere) {
  const Bytes data = Pattern(3 * Cluster, 5);
  struct Case {
    const char* what;
    std::uint32_t tag;
    Bytes point;
    Bytes runs;               // three clusters of unnamed $DATA
    std::uint64_t initialized;
    bool wofStream;           // a WofCompressedData stream beside it
    bool elsewhere;           // else read from the runs
  };
  const Bytes sparse = MakeRunList({{3, 0, 0}}), hydrated = MakeRunList({{3, 100, 1}});
  const Bytes partly = MakeRunList({{1, 100, 1}, {2, 0, 0}});
  const std::uint64_t all = 3 * Cluster;
  const Case cases[] = {
      {"a cloud placeholder", ntfs::ReparseTagCloud, {}, sparse, 0, false, true},
      {"a cloud placeholder of another provider", 0x9000701A, {}, sparse, 0, false, true},
      {"a cloud file partly there", ntfs::ReparseTagCloud, {}, partly, all, false, true},
      {"a cloud file whose bytes were never written", ntfs::ReparseTagCloud, {}, hydrated, 0, false, true},
      {"a cloud file all there", ntfs::ReparseTagCloud, {}, hydrated, all, false, false},
      {"a deduplicated file", ntfs::ReparseTagDedup, {}, sparse, 0, false, true},
      {"another tag over no bytes", 0x80000021, {}, sparse, 0, false, true},
      {"another tag over its bytes", 0x80000021, {}, hydrated, all, false, false},
      {"system compression of an unknown algorithm", wof::ReparseTag, WofPoint(7), sparse, 0, true, true},
      {"system compression from a WIM file", wof::ReparseTag, WofPoint(0, 1), sparse, 0, true, true},
      {"system compression without its stream", wof::ReparseTag, WofPoint(0), sparse, 0, false, true},
      {"a system compression point cut short", wof::ReparseTag, Bytes(6, 0), sparse, 0, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    Clusters(100, data);
    NonResidentOptions options = Sparse(c.initialized);
    RecordBuilder record(Deleted);
    record.StandardInformation(1, 2)
        .FileName(Root, 0x20, u"away.docx")
        .NonResident(c.runs, all, all, 0, 2, options);
    if (c.wofStream) record.ResidentData(Text(100), "WofCompressedData");
    Record(30, record.ReparsePoint(c.tag, c.point).End().Build());
    ASSERT_EQ(Open(), code::Success);
    const RowTable rows = Scan();
    ASSERT_EQ(rows.Rows(), 1u);
    EXPECT_EQ(rows.At(0).size, all);
    EXPECT_EQ(rows.At(0).state.kind == Recoverability::NotOnDisk, c.elsewhere);
    DWORD whole = 0, streamed = 0;
    Bytes wholeBytes, streamedBytes;
    Read(30, &whole, &wholeBytes, &streamed, &streamedBytes);
    EXPECT_EQ(whole, c.elsewhere ? code::FileOffline : code::Success);
    EXPECT_EQ(streamed, whole);
    if (!c.elsewhere) {
      EXPECT_TRUE(wholeBytes == data);
      continue;
    }
    EXPECT_TRUE(wholeBytes.empty() && streamedBytes.empty());
    // Recovery says why before it creates anything.
    TempDir out;
    RecoveryBatch batch(NativeFromUtf16(Utf16FromUtf8(out.Path())), ExistingFiles::Skip);
    RecoveredFile file;
    EXPECT_EQ(batch.Recover(drive, rows.Identity(0), rows.Path(0), &file), code::FileOffline);
    EXPECT_TRUE(std::filesystem::is_empty(out.Path()));
  }
  // A link with no $DATA is no file to list.
  Reset();
  Record(30, RecordBuilder(Deleted).FileName(Root, 0x20, u"link").ReparsePoint(0xA000000C, Bytes(20, 1)).End().Build());
  ASSERT_EQ(Open(), code::Success);
  EXPECT_EQ(Scan().Rows(), 0u);
}

// A compressed run list may leave out the sparse tail of its last unit,
// and no more: beyond that the rest is missing, never zeros.
TEST_F(ContentFormsTest, ACompressedRunListCutShortLeavesTheRestMissing) {
  volume.sectorsPerCluster = 1;  // 512-byte clusters, 16 to a unit of 8 KiB
  const std::size_t unit = 8192;
  const Bytes text = Text(unit), packedText = Lznt1Compress(text);
  const std::uint64_t packedClusters = (packedText.size() + 511) / 512;
  ASSERT_LT(packedClusters, 16u);
  struct Case {
    const char* what;
    std::vector<RunSpec> runs;
    std::uint64_t lastVcn;
    std::uint64_t readable;
  };
  const Case cases[] = {
      {"every unit mapped", {{packedClusters, 200, 2}, {16 - packedClusters, 0, 0}, {packedClusters, 0, 2}, {16 - packedClusters, 0, 0}, {packedClusters, 0, 2}, {16 - packedClusters, 0, 0}}, 47, 3 * unit},
      {"the last unit's sparse tail left out", {{packedClusters, 200, 2}, {16 - packedClusters, 0, 0}, {packedClusters, 0, 2}, {16 - packedClusters, 0, 0}, {packedClusters, 0, 2}}, 47, 3 * unit},
      {"the list stops after the first unit", {{packedClusters, 200, 2}, {16 - packedClusters, 0, 0}}, 47, unit},
      {"the list stops inside the first unit", {{packedClusters, 200, 2}}, 47, 0},
  };
  Clusters(200, packedText);
  Clusters(300, Bytes(512, 0));
  Bytes three = text;
  three.insert(three.end(), text.begin(), text.end());
  three.insert(three.end(), text.begin(), text.end());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NonResidentOptions options;
    options.flags = ntfs::AttrFlagCompressed;
    options.compressionUnit = 4;
    Record(30, RecordBuilder(Deleted)
                   .FileName(Root, 0x20, u"packed.txt")
                   .NonResident(MakeRunList(c.runs), 3 * unit, 3 * unit, 0, c.lastVcn, options)
                   .End()
                   .Build());
    ASSERT_EQ(Open(), code::Success);
    RecordFacts facts;
    ASSERT_EQ(drive.ReadRecordFacts(30, MftRead::OnDemand, &facts, nullptr), code::Success);
    EXPECT_EQ(facts.info.dataSize, 3 * unit);
    CollectingSink sink;
    std::uint64_t delivered = 0;
    ContentReport report;
    ASSERT_EQ(drive.ReadRecordContent(30, &sink, &delivered, &report), code::Success);
    EXPECT_TRUE(sink.received == Bytes(three.begin(), three.begin() + static_cast<std::ptrdiff_t>(c.readable)));
    EXPECT_EQ(report.missingBytes, 3 * unit - c.readable);
    EXPECT_EQ(facts.missingClusters != 0, c.readable < 3 * unit);
  }
}

// An attribute list as long as one may be, naming thousands of records and
// one of them over and over: each record is read once, and the file comes
// out whole.
TEST_F(ContentFormsTest, ALongAttributeListIsWalkedOnceForEachRecord) {
  const Bytes content = Pattern(4 * Cluster, 6);
  Clusters(200, content);
  std::vector<ListEntry> entries = {{ntfs::TypeData, 0, Ref(30, 4)}};
  for (std::uint32_t i = 1; entries.size() < ntfs::MaxAttributeList / 32; ++i) {
    // Records past the $MFT, and the one extension record that belongs.
    entries.push_back({ntfs::TypeData, 2, i % 2 == 0 ? Ref(31, 4) : Ref(1000 + i, 4)});
  }
  const Bytes list = AttributeListValue(entries);
  ASSERT_LE(list.size(), ntfs::MaxAttributeList);
  ASSERT_GT(list.size(), ntfs::MaxAttributeList - 64);
  const std::uint64_t listClusters = (list.size() + Cluster - 1) / Cluster;
  Clusters(400, list);
  NonResidentOptions asList;
  asList.type = ntfs::TypeAttributeList;
  Record(30, RecordBuilder(Deleted)
                 .Sequence(5)
                 .StandardInformation(1, 2)
                 .FileName(Root, 0x20, u"long.bin")
                 .NonResident(MakeRunList({{listClusters, 400, 2}}), list.size(), listClusters * Cluster, 0,
                              listClusters - 1, asList)
                 .NonResidentData(MakeRunList({{2, 200, 2}}), content.size(), content.size(), 0, 1)
                 .End()
                 .Build());
  Record(31, RecordBuilder(Deleted).Sequence(5).BaseReference(Ref(30, 4))
                 .NonResidentData(MakeRunList({{2, 202, 2}}), 0, 0, 2, 3).End().Build());
  ASSERT_EQ(Open(), code::Success);
  const std::size_t before = disk.reads;
  DWORD whole = 0, streamed = 0;
  Bytes wholeBytes, streamedBytes;
  Read(30, &whole, &wholeBytes, &streamed, &streamedBytes);
  EXPECT_EQ(whole, code::Success);
  EXPECT_EQ(streamed, code::Success);
  EXPECT_TRUE(wholeBytes == content);
  EXPECT_TRUE(streamedBytes == content);
  // Two reads, each: the base, its list, record 31 once, the data.
  EXPECT_LE(disk.reads - before, 2u * 6u);
  const RowTable rows = Scan();
  ASSERT_EQ(rows.Rows(), 1u);
  EXPECT_EQ(rows.At(0).size, content.size());
}

// Recovery and preview check the row's record before they read: a record
// used again since the scan gives nobody else's bytes under the row's name.
TEST_F(ContentFormsTest, ARecordUsedAgainAfterTheScanIsRefused) {
  const auto file = [](std::uint8_t flags, std::uint16_t sequence, std::uint64_t lsn, const char16_t* name,
                       std::uint8_t fill) {
    return RecordBuilder(flags)
        .Sequence(sequence)
        .LogSequenceNumber(lsn)
        .StandardInformation(1, 2)
        .FileName(Root, 0x20, name)
        .ResidentData(Bytes(300, fill))
        .End()
        .Build();
  };
  Record(30, file(Deleted, 4, 1000, u"letter.txt", 'a'));
  ASSERT_EQ(Open(), code::Success);
  const RowTable rows = Scan();
  ASSERT_EQ(rows.Rows(), 1u);
  const RecordIdentity identity = rows.Identity(0);
  EXPECT_EQ(identity.record, 30u);
  EXPECT_EQ(identity.sequence, 4u);
  EXPECT_EQ(identity.logSequenceNumber, 1000u);
  struct Case {
    const char* what;
    Bytes now;
    DWORD result;
  };
  const Case cases[] = {
      {"the record as scanned", file(Deleted, 4, 1000, u"letter.txt", 'a'), code::Success},
      {"taken by a new file", file(InUse, 4, 1200, u"new.txt", 'b'), code::RecordReused},
      {"taken and deleted again", file(Deleted, 5, 1300, u"new.txt", 'b'), code::RecordReused},
      {"changed under the same sequence number", file(Deleted, 4, 1400, u"letter.txt", 'c'), code::RecordReused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Record(30, c.now);
    volume.WriteTo(disk);  // under the drive as the scan left it
    ByteBuffer data;
    std::uint32_t size = 0;
    EXPECT_EQ(drive.ReadRecordData(identity, &data, &size), c.result);
    CollectingSink sink;
    std::uint64_t delivered = 0;
    EXPECT_EQ(drive.ReadRecordContent(identity, &sink, &delivered), c.result);
    TempDir out;
    RecoveryBatch batch(NativeFromUtf16(Utf16FromUtf8(out.Path())), ExistingFiles::Skip);
    RecoveredFile recovered;
    EXPECT_EQ(batch.Recover(drive, identity, rows.Path(0), &recovered), c.result);
    EXPECT_EQ(std::filesystem::is_empty(out.Path()), c.result != code::Success);
    EXPECT_EQ(sink.received == Bytes(300, 'a'), c.result == code::Success);
  }
  EXPECT_EQ(ErrorMessage(code::RecordReused), "The file's record was reused after the scan; scan again.");
}

}  // namespace
