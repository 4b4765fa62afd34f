#include "ntfs/NTFSDrive.h"

#include <algorithm>
#include <cstring>

#include "ntfs/NtfsLayout.h"
#include "util/ByteReader.h"

namespace {

// `info` holds zeros: what the record does not give stays 0.
void FillInfo(const CMFTRecord& record, std::uint64_t dataSize, MFTFileInfo* info) {
  const ByteReader fileName(record.FileName(), ntfs::FileNameArea);
  constexpr std::size_t nameUnits = std::min<std::size_t>(sizeof info->name / sizeof info->name[0] - 1,
                                                          (ntfs::FileNameArea - ntfs::FnName) / 2);
  const std::uint8_t* name = record.FileName() + ntfs::FnName;
  for (std::size_t i = 0; i < nameUnits; ++i) {
    const auto unit = static_cast<char16_t>(name[2 * i] | (name[2 * i + 1] << 8));
    if (unit == 0) break;
    info->name[i] = unit;
  }
  const ByteReader standard(record.StandardInformation(), ntfs::StandardInformationKept);
  standard.U64(ntfs::SiCreationTime, &info->creationTime);
  standard.U64(ntfs::SiModificationTime, &info->modificationTime);
  standard.U64(ntfs::SiMftChangeTime, &info->mftChangeTime);
  standard.U64(ntfs::SiAccessTime, &info->accessTime);
  // $FILE_NAME's copy of the attributes is only brought up to date when the
  // name changes, so a file made read-only later would lose the flag.
  if (record.StandardInformationLength() >= ntfs::SiFileAttributes + 4) {
    standard.U32(ntfs::SiFileAttributes, &info->fileAttributes);
  } else {
    fileName.U32(ntfs::FnFlags, &info->fileAttributes);
  }
  info->deleted = !record.InUse();
  info->dataSize = dataSize;
  std::uint64_t parent = 0;
  fileName.U64(ntfs::FnParentReference, &parent);
  parent &= ntfs::RecordNumberMask;
  info->parentRecordLow = static_cast<std::uint32_t>(parent);
  info->parentRecordHigh = static_cast<std::uint32_t>(parent >> 32);
}

std::uint16_t ParentSequence(const CMFTRecord& record) {
  std::uint64_t parent = 0;
  ByteReader(record.FileName(), ntfs::FileNameArea).U64(ntfs::FnParentReference, &parent);
  return static_cast<std::uint16_t>(parent >> ntfs::ReferenceSequenceShift);
}

}  // namespace

CNTFSDrive::CNTFSDrive() = default;
CNTFSDrive::~CNTFSDrive() = default;

void CNTFSDrive::AttachDisk(DiskReader* diskReader) {
  LockHolder hold(lock);
  disk = diskReader;
  initialised = false;
}

void CNTFSDrive::SetPartitionStart(std::uint64_t startSector, std::uint32_t sectorBytes) {
  LockHolder hold(lock);
  partitionStart = startSector;
  sectorSize = sectorBytes == 0 ? ntfs::PartitionSectorSize : sectorBytes;
}

void CNTFSDrive::SetChunkBytes(std::uint32_t bytes) {
  LockHolder hold(lock);
  chunkBytes = bytes;
}

std::uint64_t CNTFSDrive::PartitionByteOffset() const { return SaturatingMultiply(partitionStart, sectorSize); }

std::uint32_t CNTFSDrive::ClusterSize() {
  LockHolder hold(lock);
  return geometry.clusterSize;
}

std::uint32_t CNTFSDrive::RecordSize() {
  LockHolder hold(lock);
  return geometry.recordSize;
}

std::uint64_t CNTFSDrive::ClusterCount() {
  LockHolder hold(lock);
  return geometry.ClusterCount();
}

std::uint32_t CNTFSDrive::RecordCount() {
  LockHolder hold(lock);
  return mft.RecordCount();
}

DWORD CNTFSDrive::Initialize() {
  LockHolder hold(lock);
  initialised = false;  // a failed Initialize leaves the drive not initialised
  if (disk == nullptr) return code::InvalidHandle;
  NtfsGeometry found;
  const DWORD result = ReadBootSector(*disk, PartitionByteOffset(), &found);
  return result != code::Success ? result : Open(found);
}

DWORD CNTFSDrive::Initialize(const NtfsGeometry& given) {
  LockHolder hold(lock);
  initialised = false;
  if (disk == nullptr) return code::InvalidHandle;
  const DWORD result = CheckGeometry(given);
  return result != code::Success ? result : Open(given);
}

DWORD CNTFSDrive::Open(const NtfsGeometry& found) {
  geometry = found;
  recordBuffer = AllocateZeroed(geometry.recordSize);
  if (!recordBuffer) return code::NotEnoughMemory;
  bitmap.Reset();
  const DWORD result = mft.Map(disk, geometry, chunkBytes);
  if (result != code::Success) return result;
  initialised = true;
  return code::Success;
}

DWORD CNTFSDrive::ReadFacts(std::uint32_t index, MftRead access, bool directoriesOnly, RecordFacts* facts,
                            std::vector<StreamRun>* runs) {
  if (runs != nullptr) runs->clear();
  if (!initialised) return code::InvalidAccess;
  const std::uint32_t recordSize = geometry.recordSize;
  // Most records are files in use: they are answered from the chunk, with
  // nothing copied and only the header's facts set.
  std::uint8_t* held = nullptr;
  DWORD result = access == MftRead::Sequential ? mft.Locate(index, MftRead::Sequential, &held) : code::NoMoreFiles;
  if (result != code::Success && result != code::NoMoreFiles) return result;
  if (held != nullptr && !directoriesOnly && IsInUseFile(held, recordSize)) {
    facts->inUse = true;
    facts->isDirectory = facts->isExtension = false;
    facts->info.deleted = false;
    return code::Success;
  }
  *facts = RecordFacts{};
  // A record of the chunk is parsed where it lies, and its strides put back
  // as read when it is done: nothing is copied, and any later look at the
  // chunk sees the disk's bytes. Nothing reloads the chunk meanwhile.
  std::uint8_t* bytes = held;
  if (bytes == nullptr) {
    bytes = recordBuffer.get();
    result = mft.Fetch(index, MftRead::OnDemand, bytes);
    if (result != code::Success) return result;
  }
  if (!directoriesOnly && IsInUseFile(bytes, recordSize)) {
    facts->inUse = true;
    return code::Success;
  }
  CMFTRecord& record = scanRecord;
  struct Revert {
    CMFTRecord& record;
    ~Revert() { record.RevertUpdateSequence(); }
  } revert{record};
  result = mft.Parse(bytes, &record);
  if (result != code::Success) return result;
  facts->inUse = record.InUse();
  facts->isDirectory = record.IsDirectory();
  facts->isExtension = record.BaseReference() != 0;
  facts->sequence = record.SequenceNumber();
  facts->logSequenceNumber = record.LogSequenceNumber();
  facts->info.deleted = !record.InUse();
  if (record.InUse() && !record.IsDirectory()) return code::Success;
  if (directoriesOnly && !record.IsDirectory()) return code::Success;

  // Directories need their names only; deleted files their data too.
  const bool wantData = !record.IsDirectory() && !record.DataIsResident();
  const DataStream* stream = record.DataIsResident() || record.DataAttribute().length == 0 ? nullptr : &record.Stream();
  if (record.AttributeList().length != 0 && !facts->isExtension) {
    if (wantData) {
      result = lists.GatherData(index, record, &gathered, RunListCheck::Lenient);
      stream = &gathered;
    } else if (!record.HasWin32Name()) {
      result = lists.Follow(index, record, ListNames::Offer, nullptr, RunListCheck::Lenient);
    }
    if (result != code::Success && !IsDamage(result)) return result;
  }
  std::uint64_t dataSize = record.DataSize();
  bool encrypted = record.Encrypted(0);
  if (stream != nullptr) {
    dataSize = stream->Size();
    facts->missingClusters = stream->MissingClusters();
    facts->dataClusters = stream->DataClusters();
    encrypted = encrypted || stream->Encrypted();
    if (runs != nullptr && !record.IsDirectory()) *runs = stream->Runs();
  }
  FillInfo(record, dataSize, &facts->info);
  // Whatever marks it, the summary says the content is encrypted.
  if (encrypted) facts->info.fileAttributes |= ntfs::FileAttributeEncrypted;
  facts->parentSequence = ParentSequence(record);
  return code::Success;
}

std::uint32_t CNTFSDrive::SkipFilesInUse(std::uint32_t index) {
  LockHolder hold(lock);
  return initialised ? mft.SkipFilesInUse(index) : index;
}

DWORD CNTFSDrive::ReadRecordFacts(std::uint32_t index, MftRead access, RecordFacts* facts,
                                  std::vector<StreamRun>* runs) {
  LockHolder hold(lock);
  return ReadFacts(index, access, false, facts, runs);
}

DWORD CNTFSDrive::ReadRecordSummary(std::uint32_t index, bool directoriesOnly, MFTFileInfo* info) {
  LockHolder hold(lock);
  RecordFacts facts;
  const DWORD result = ReadFacts(index, MftRead::OnDemand, directoriesOnly, &facts, nullptr);
  if (result != code::Success) return result;
  // In use and not asked as a directory: the summary says only that.
  if (!directoriesOnly && facts.inUse) {
    std::memset(info, 0, sizeof *info);
    return code::Success;
  }
  *info = facts.info;
  return code::Success;
}

DWORD CNTFSDrive::ReadRecordData(std::uint32_t index, ByteBuffer* data, std::uint32_t* size) {
  LockHolder hold(lock);
  if (!initialised) return code::InvalidAccess;
  const DWORD result = content.Open(index);
  if (result != code::Success) return result;
  if (!content.HasValue()) {
    data->reset();  // no $DATA at all
    *size = 0;
    return code::Success;
  }
  return content.ReadWhole(data, size);
}

DWORD CNTFSDrive::ReadRecordContent(std::uint32_t index, ContentSink* sink, std::uint64_t* size) {
  LockHolder hold(lock);
  if (!initialised) return code::InvalidAccess;
  DWORD result = content.Open(index);
  if (result == code::Success) result = content.Stream(sink);
  if (result != code::Success) return result;
  *size = content.Size();
  // What could be read is out; the rest of the file is not there to read.
  return content.Incomplete() ? code::FileCorrupt : code::Success;
}

DWORD CNTFSDrive::CountClustersInUse(std::uint64_t first, std::uint64_t count, std::uint64_t* inUse) {
  LockHolder hold(lock);
  *inUse = 0;
  if (!initialised) return code::InvalidAccess;
  return bitmap.CountInUse(first, count, inUse);
}
