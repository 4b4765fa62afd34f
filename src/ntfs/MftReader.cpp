#include "ntfs/MftReader.h"

#include <algorithm>

#include "ntfs/AttributeList.h"

CMftReader::CMftReader() = default;
CMftReader::~CMftReader() = default;

DWORD CMftReader::Map(DiskReader* diskReader, const NtfsGeometry& given, std::uint32_t chunkBytes) {
  recordCount = 0;
  chunk.reset();
  chunkCapacity = chunkFirst = chunkCount = 0;
  chunkLost.clear();
  DWORD result = CheckGeometry(given);
  if (result != code::Success) return result;
  disk = diskReader;
  reads.Attach(disk);
  geometry = given;
  clusters = geometry.Clusters(disk);
  clusters.reads = &reads;
  const std::uint32_t recordSize = geometry.recordSize, clusterSize = geometry.clusterSize;
  ByteBuffer first = AllocateZeroed(recordSize);
  if (!first) return code::NotEnoughMemory;
  if (geometry.mftCluster > (UINT64_MAX - geometry.partitionOffset) / clusterSize) return code::InvalidParameter;
  std::uint32_t got = 0;
  result = reads.Read(geometry.partitionOffset + geometry.mftCluster * clusterSize, first.get(), recordSize, &got,
                      nullptr);
  if (result != code::Success) return result;
  if (got < recordSize) return code::InvalidParameter;
  CMFTRecord record;
  result = Parse(first.get(), &record);
  if (result != code::Success) return result;

  static const char16_t mftName[] = u"$MFT";
  const std::uint8_t* name = record.FileName() + ntfs::FnName;
  for (int i = 0; i < 4; ++i) {
    const char16_t unit = static_cast<char16_t>(name[2 * i] | (name[2 * i + 1] << 8));
    if (unit != mftName[i]) return code::BadDevice;
  }
  result = MapRuns(record);
  if (result == code::Success) result = ProbeFarthestCluster();
  if (result == code::Success) {
    chunkCapacity = std::max<std::uint32_t>(1, std::min(chunkBytes / recordSize, std::max<std::uint32_t>(recordCount, 1)));
    chunk = AllocateZeroed(std::size_t{chunkCapacity} * recordSize);
    if (!chunk) result = code::NotEnoughMemory;
  }
  if (result != code::Success) recordCount = 0;
  return result;
}

DWORD CMftReader::MapRuns(CMFTRecord& record) {
  const AttributeSpan data = record.DataAttribute();
  if (data.length == 0 || record.DataIsResident()) return code::InvalidParameter;
  // The $MFT lies inside its volume and is never sparse: records past the
  // volume's end or in a hole cannot be real, however far a damaged record 0
  // says it reaches. An unset sector count sets no bound.
  const std::uint64_t limit = geometry.volumeBytes != 0 ? geometry.volumeBytes : UINT64_MAX;
  const std::uint32_t recordSize = geometry.recordSize;
  auto offered = [&] { return static_cast<std::uint32_t>(std::min<std::uint64_t>(mft.Size() / recordSize, UINT32_MAX)); };
  mft.Reset(clusters);
  DWORD result = mft.AddPiece(ByteReader(record.Bytes() + data.offset, data.length), RunListCheck::Strict);
  if (result != code::Success) return result;
  mft.Finish(Pieces::OneAttribute, Holes::EndValue, limit);
  if (record.AttributeList().length != 0) {
    // Its extension records lie in the part record 0 maps itself.
    recordCount = offered();
    CAttributeListWalk lists(*this);
    result = lists.Follow(ntfs::MftRecord, record, ListNames::Skip, &mft, RunListCheck::Strict);
    // Without an extension record that maps it, the rest of the $MFT is not found.
    if (result == code::Success) result = lists.Unreadable();
    if (result != code::Success) return result;
    mft.Finish(Pieces::FromList, Holes::EndValue, limit);
  }
  recordCount = offered();
  return code::Success;
}

DWORD CMftReader::ProbeFarthestCluster() {
  const std::uint32_t clusterSize = geometry.clusterSize;
  const std::uint64_t usedClusters = (std::uint64_t{recordCount} * geometry.recordSize + clusterSize - 1) / clusterSize;
  std::uint64_t farthest = 0;
  for (const StreamRun& run : mft.Runs()) {
    if (run.vcn >= usedClusters) break;
    if (!run.sparse) farthest = std::max(farthest, run.lcn + std::min(run.length, usedClusters - run.vcn));
  }
  if (farthest == 0) return code::Success;
  std::uint32_t probe = 1;
  std::uint8_t byte = 0;
  const DWORD result = ReadVolumeClusters(clusters, farthest - 1, clusterSize - 1, &byte, &probe);
  // A bad sector there still shows that the disk reaches it.
  return IsUnreadable(result) ? code::Success : result;
}

DWORD CMftReader::Prepare(CMFTRecord* record) const {
  record->SetDiskHandle(disk);
  return record->SetGeometry(geometry.recordSize, geometry.clusterSize, geometry.partitionOffset);
}

DWORD CMftReader::Parse(std::uint8_t* bytes, CMFTRecord* record) const {
  const DWORD result = Prepare(record);
  return result != code::Success ? result : record->ParseSummary(bytes, geometry.recordSize);
}

DWORD CMftReader::ReadRecords(std::uint32_t first, std::uint32_t count, std::uint8_t* destination,
                              std::vector<std::uint32_t>* lost, DWORD* why) {
  const std::uint32_t recordSize = geometry.recordSize;
  loss.Clear();
  const DWORD result = mft.Read(std::uint64_t{first} * recordSize, count * recordSize, destination, Zeroed::No, &loss);
  if (result != code::Success || loss.Empty()) return result;
  // A record with any byte lost is lost whole: the rest of it cannot be trusted.
  *why = loss.Code();
  try {
    for (const ReadLoss::Range& range : loss.Ranges()) {
      const auto from = static_cast<std::uint32_t>(range.at / recordSize);
      const auto to = static_cast<std::uint32_t>((range.at + range.length - 1) / recordSize);
      for (std::uint32_t record = from; record <= to; ++record) {
        if (lost->empty() || lost->back() < first + record) lost->push_back(first + record);
      }
    }
  } catch (const std::bad_alloc&) {
    return code::NotEnoughMemory;
  }
  return code::Success;
}

DWORD CMftReader::LostInChunk(std::uint32_t index) const {
  if (chunkLost.empty() || !std::binary_search(chunkLost.begin(), chunkLost.end(), index)) return code::Success;
  return chunkLostCode;
}

DWORD CMftReader::Locate(std::uint32_t index, MftRead access, std::uint8_t** bytes) {
  if (index >= recordCount) return code::NoMoreFiles;
  if (chunkCount == 0 || index < chunkFirst || index - chunkFirst >= chunkCount) {
    if (access != MftRead::Sequential || !chunk) return code::NoMoreFiles;
    const std::uint32_t count = std::min(chunkCapacity, recordCount - index);
    chunkCount = 0;
    chunkLost.clear();
    const DWORD result = ReadRecords(index, count, chunk.get(), &chunkLost, &chunkLostCode);
    if (result != code::Success) return result;
    chunkFirst = index;
    chunkCount = count;
  }
  const DWORD lost = LostInChunk(index);
  if (lost != code::Success) return lost;
  *bytes = chunk.get() + std::size_t{index - chunkFirst} * geometry.recordSize;
  return code::Success;
}

DWORD CMftReader::Fetch(std::uint32_t index, MftRead access, std::uint8_t* buffer) {
  if (index >= recordCount) return code::NoMoreFiles;
  std::uint8_t* held = nullptr;
  const DWORD located = Locate(index, access, &held);
  if (IsUnreadable(located)) return located;  // read once already
  if (located != code::Success || held == nullptr) {
    std::vector<std::uint32_t> lost;
    DWORD why = code::Success;
    const DWORD result = ReadRecords(index, 1, buffer, &lost, &why);
    return result != code::Success ? result : lost.empty() ? code::Success : why;
  }
  std::memcpy(buffer, held, geometry.recordSize);
  return code::Success;
}

std::uint32_t CMftReader::SkipFilesInUse(std::uint32_t index) {
  std::uint8_t* held = nullptr;
  if (Locate(index, MftRead::Sequential, &held) != code::Success) return index;
  // A record that could not be read stops the walk: the caller counts it.
  auto nextLost = std::lower_bound(chunkLost.begin(), chunkLost.end(), index);
  const std::uint32_t end = nextLost != chunkLost.end() ? *nextLost : chunkFirst + chunkCount;
  const std::uint32_t recordSize = geometry.recordSize;
  while (index < end && IsInUseFile(held, recordSize)) {
    ++index;
    held += recordSize;
  }
  return index;
}
