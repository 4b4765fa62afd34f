#include "ntfs/MftReader.h"

#include <algorithm>

#include "ntfs/AttributeList.h"
#include "ntfs/RecordSignatures.h"

CMftReader::CMftReader() = default;
CMftReader::~CMftReader() = default;

namespace {

bool NamedMft(const CMFTRecord& record) {
  static const char16_t mftName[] = u"$MFT";
  const std::uint8_t* name = record.FileName() + ntfs::FnName;
  for (int i = 0; i < 4; ++i) {
    const char16_t unit = static_cast<char16_t>(name[2 * i] | (name[2 * i + 1] << 8));
    if (unit != mftName[i]) return false;
  }
  return true;
}

// True when record 0's $DATA starts at the cluster it was read from: a copy
// of another volume's record 0, or a stale one, maps another $MFT.
bool MapsItself(const CMFTRecord& record, std::uint64_t cluster) {
  if (record.DataAttribute().length == 0 || record.DataIsResident()) return false;
  const std::vector<StreamRun>& runs = record.Stream().Runs();
  return !runs.empty() && runs.front().vcn == 0 && !runs.front().sparse && runs.front().lcn == cluster;
}

void PutLittleEndian(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint64_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Bytes a field needs: unsigned lengths keep their top bit clear, as signed offsets do their sign.
unsigned FieldBytes(std::int64_t value) {
  unsigned width = 1;
  while (width < 8 && (value < -(std::int64_t{1} << (8 * width - 1)) || value >= (std::int64_t{1} << (8 * width - 1)))) {
    ++width;
  }
  return width;
}

// The map as the unnamed $DATA attribute record 0 would hold for it, so that
// the $MFT is read through the same stream as any other.
bool MapAttribute(const std::vector<StreamRun>& map, std::vector<std::uint8_t>* attribute) {
  constexpr std::size_t runsAt = 0x40;
  std::vector<std::uint8_t>& bytes = *attribute;
  bytes.assign(runsAt, 0);
  std::uint64_t vcn = 0;
  std::int64_t previous = 0;
  for (const StreamRun& run : map) {
    if (run.vcn != vcn || run.length == 0 || run.length > static_cast<std::uint64_t>(INT64_MAX) ||
        run.lcn > static_cast<std::uint64_t>(INT64_MAX)) {
      return false;
    }
    const unsigned lengthBytes = FieldBytes(static_cast<std::int64_t>(run.length));
    const std::int64_t delta = static_cast<std::int64_t>(run.lcn) - previous;
    const unsigned offsetBytes = run.sparse ? 0 : FieldBytes(delta);
    const std::size_t at = bytes.size();
    bytes.resize(at + 1 + lengthBytes + offsetBytes);
    bytes[at] = static_cast<std::uint8_t>(offsetBytes << 4 | lengthBytes);
    PutLittleEndian(bytes, at + 1, run.length, lengthBytes);
    if (!run.sparse) {
      PutLittleEndian(bytes, at + 1 + lengthBytes, static_cast<std::uint64_t>(delta), offsetBytes);
      previous = static_cast<std::int64_t>(run.lcn);
    }
    vcn += run.length;
  }
  if (vcn == 0 || vcn > (UINT64_MAX >> 10)) return false;
  bytes.push_back(0);
  bytes.resize((bytes.size() + 7) / 8 * 8, 0);
  const std::uint64_t size = vcn * ntfs::UsaSectorSize;
  PutLittleEndian(bytes, ntfs::AttrType, ntfs::TypeData, 4);
  PutLittleEndian(bytes, ntfs::AttrLength, bytes.size(), 4);
  bytes[ntfs::AttrNonResident] = 1;
  PutLittleEndian(bytes, ntfs::AttrLastVcn, vcn - 1, 8);
  PutLittleEndian(bytes, ntfs::AttrRunListOffset, runsAt, 2);
  PutLittleEndian(bytes, ntfs::AttrAllocatedSize, size, 8);
  PutLittleEndian(bytes, ntfs::AttrRealSize, size, 8);
  PutLittleEndian(bytes, ntfs::AttrInitializedSize, size, 8);
  return true;
}

}  // namespace

void CMftReader::Forget() {
  recordCount = 0;
  chunk.reset();
  chunkCapacity = chunkFirst = chunkCount = 0;
  chunkLost.clear();
  mirrored = 0;
}

DWORD CMftReader::MakeChunk(std::uint32_t chunkBytes) {
  const std::uint32_t recordSize = geometry.recordSize;
  chunkCapacity = std::max<std::uint32_t>(1, std::min(chunkBytes / recordSize, std::max<std::uint32_t>(recordCount, 1)));
  chunk = AllocateZeroed(std::size_t{chunkCapacity} * recordSize);
  return chunk ? code::Success : code::NotEnoughMemory;
}

DWORD CMftReader::Start(DiskReader* diskReader, const NtfsGeometry& given) {
  Forget();
  const DWORD result = CheckGeometry(given);
  if (result != code::Success) return result;
  disk = diskReader;
  reads.Attach(disk);
  geometry = given;
  clusters = geometry.Clusters(disk);
  clusters.reads = &reads;
  return code::Success;
}

DWORD CMftReader::Map(DiskReader* diskReader, const NtfsGeometry& given, std::uint32_t chunkBytes) {
  DWORD result = Start(diskReader, given);
  if (result != code::Success) return result;
  const std::uint32_t recordSize = geometry.recordSize, clusterSize = geometry.clusterSize;
  ByteBuffer first = AllocateZeroed(recordSize), copy = AllocateZeroed(recordSize);
  if (!first || !copy) return code::NotEnoughMemory;
  // Record 0 where the geometry puts it, or its copy in $MFTMirr.
  auto readRecord0 = [&](std::uint64_t cluster, std::uint8_t* bytes, CMFTRecord* record) {
    if (cluster > (UINT64_MAX - geometry.partitionOffset) / clusterSize) return code::InvalidParameter;
    std::uint32_t got = 0;
    DWORD read = reads.Read(geometry.partitionOffset + cluster * clusterSize, bytes, recordSize, &got, nullptr);
    if (read == code::Success && got < recordSize) read = code::InvalidParameter;
    if (read == code::Success) read = Parse(bytes, record);
    if (read == code::Success && !NamedMft(*record)) read = code::BadDevice;
    return read;
  };
  CMFTRecord live, mirror;
  CMFTRecord* record = &live;
  result = readRecord0(geometry.mftCluster, first.get(), &live);
  const bool haveMirror = geometry.mftMirrorCluster != 0 && geometry.mftMirrorCluster != geometry.mftCluster;
  const bool liveFails = result == code::InvalidParameter || result == code::BadDevice || IsUnreadable(result);
  if (haveMirror && (liveFails || (result == code::Success && !MapsItself(live, geometry.mftCluster)))) {
    if (readRecord0(geometry.mftMirrorCluster, copy.get(), &mirror) == code::Success &&
        (liveFails || MapsItself(mirror, geometry.mftCluster))) {
      record = &mirror;
      result = code::Success;
      mirrored = 1u << ntfs::MftRecord;
    }
  }
  if (result != code::Success) return result;
  mapUnit = clusterSize;
  result = MapRuns(*record);
  if (result == code::Success) result = ProbeFarthestCluster();
  if (result == code::Success) result = MakeChunk(chunkBytes);
  if (result != code::Success) recordCount = 0;
  return result;
}

DWORD CMftReader::MapGiven(DiskReader* diskReader, const NtfsGeometry& given, std::uint32_t chunkBytes,
                           const std::vector<StreamRun>& map) {
  DWORD result = Start(diskReader, given);
  if (result != code::Success) return result;
  std::vector<std::uint8_t> attribute;
  try {
    if (!MapAttribute(map, &attribute)) return code::InvalidParameter;
  } catch (const std::bad_alloc&) {
    return code::NotEnoughMemory;
  }
  // The map counts 512-byte units of the disk, whatever the volume's clusters.
  const VolumeGeometry units{disk, ntfs::UsaSectorSize, 0, &reads};
  mapUnit = ntfs::UsaSectorSize;
  mft.Reset(units);
  result = mft.AddPiece(ByteReader(attribute.data(), attribute.size()), RunListCheck::Strict);
  if (result != code::Success) return result;
  mft.Finish(Pieces::OneAttribute, Holes::ReadAsZeros);
  recordCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(mft.Size() / geometry.recordSize, UINT32_MAX));
  // The farthest unit the map reaches must be on the disk, as for any $MFT.
  std::uint64_t farthest = 0;
  for (const StreamRun& run : mft.Runs()) {
    if (!run.sparse) farthest = std::max(farthest, run.lcn + run.length);
  }
  if (farthest != 0) {
    std::uint32_t probe = 1;
    std::uint8_t byte = 0;
    result = ReadVolumeClusters(units, farthest - 1, ntfs::UsaSectorSize - 1, &byte, &probe);
    if (IsUnreadable(result)) result = code::Success;
  }
  if (result == code::Success) result = MakeChunk(chunkBytes);
  if (result != code::Success) recordCount = 0;
  return result;
}

DWORD CMftReader::CheckNumber(const std::uint8_t* bytes, std::uint32_t index) const {
  if (numbers != RecordNumbers::Checked || std::memcmp(bytes + ntfs::RecordSignature, "FILE", 4) != 0) {
    return code::Success;
  }
  const ByteReader header(bytes, ntfs::RecordNumber + 4);
  std::uint16_t usaOffset = 0;
  std::uint32_t number = 0;
  header.U16(ntfs::RecordUsaOffset, &usaOffset);
  header.U32(ntfs::RecordNumber, &number);
  return usaOffset < ntfs::RecordNumberedUsa || number == index ? code::Success : code::InvalidParameter;
}

bool CMftReader::ReadMirrored(std::uint32_t index, std::uint8_t* buffer) {
  const std::uint32_t recordSize = geometry.recordSize, clusterSize = geometry.clusterSize;
  const std::uint64_t cluster = geometry.mftMirrorCluster;
  if (index >= ntfs::MirroredRecords || cluster == 0 || cluster == geometry.mftCluster ||
      cluster > (UINT64_MAX - geometry.partitionOffset - ntfs::MirroredRecords * ntfs::MaxRecordSize) / clusterSize) {
    return false;
  }
  ByteBuffer copy = AllocateZeroed(recordSize);
  std::uint32_t got = 0;
  if (!copy || reads.Read(geometry.partitionOffset + cluster * clusterSize + std::uint64_t{index} * recordSize,
                          copy.get(), recordSize, &got, nullptr) != code::Success ||
      got < recordSize || !IsWholeRecord(copy.get(), recordSize) || CheckNumber(copy.get(), index) != code::Success) {
    return false;
  }
  std::memcpy(buffer, copy.get(), recordSize);
  mirrored |= 1u << index;
  return true;
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
  std::uint8_t* held = chunk.get() + std::size_t{index - chunkFirst} * geometry.recordSize;
  const DWORD numbered = CheckNumber(held, index);
  if (numbered != code::Success) return numbered;
  *bytes = held;
  return code::Success;
}

DWORD CMftReader::Fetch(std::uint32_t index, MftRead access, std::uint8_t* buffer) {
  if (index >= recordCount) return code::NoMoreFiles;
  std::uint8_t* held = nullptr;
  DWORD result = Locate(index, access, &held);
  if (result == code::Success && held != nullptr) {
    std::memcpy(buffer, held, geometry.recordSize);
  } else if (!IsUnreadable(result) && result != code::InvalidParameter) {  // else read once already
    std::vector<std::uint32_t> lost;
    DWORD why = code::Success;
    result = ReadRecords(index, 1, buffer, &lost, &why);
    if (result == code::Success && !lost.empty()) result = why;
    if (result == code::Success) result = CheckNumber(buffer, index);
  }
  // The first records have copies: one that is damaged or lost is read there.
  if (index < ntfs::MirroredRecords && (result != code::Success || !IsWholeRecord(buffer, geometry.recordSize)) &&
      (result == code::Success || result == code::InvalidParameter || IsUnreadable(result)) &&
      ReadMirrored(index, buffer)) {
    result = code::Success;
  }
  return result;
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

std::uint32_t CMftReader::SkipEmptySlots(std::uint32_t index) {
  // A given map's gaps hold no record: passed over without a read.
  const std::vector<StreamRun>& runs = mft.Runs();
  const std::uint64_t vcn = std::uint64_t{index} * geometry.recordSize / std::max<std::uint32_t>(mapUnit, 1);
  auto run = std::upper_bound(runs.begin(), runs.end(), vcn, [](std::uint64_t at, const StreamRun& r) { return at < r.vcn; });
  if (run != runs.begin() && (run - 1)->sparse && vcn < (run - 1)->vcn + (run - 1)->length) {
    const std::uint64_t end = ((run - 1)->vcn + (run - 1)->length) * mapUnit / geometry.recordSize;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(end, recordCount));
  }
  std::uint8_t* held = nullptr;
  if (Locate(index, MftRead::Sequential, &held) != code::Success) return index;
  auto nextLost = std::lower_bound(chunkLost.begin(), chunkLost.end(), index);
  const std::uint32_t end = nextLost != chunkLost.end() ? *nextLost : chunkFirst + chunkCount;
  const std::uint32_t recordSize = geometry.recordSize;
  while (index < end && std::memcmp(held + ntfs::RecordSignature, "FILE", 4) != 0) {
    ++index;
    held += recordSize;
  }
  return index;
}
