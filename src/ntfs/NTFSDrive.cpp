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

void CNTFSDrive::SetPartitionLength(std::uint64_t sectors) {
  LockHolder hold(lock);
  partitionSectors = sectors;
}

void CNTFSDrive::SetKind(VolumeKind volumeKind) {
  LockHolder hold(lock);
  kind = volumeKind;
}

VolumeKind CNTFSDrive::Kind() {
  LockHolder hold(lock);
  return kind;
}

void CNTFSDrive::SetClusterUse(ClusterUse* use) {
  LockHolder hold(lock);
  clusterUse = use;
}

bool CNTFSDrive::OwnClusterUse() {
  LockHolder hold(lock);
  return clusterUse == nullptr;
}

VolumeRepairs CNTFSDrive::Repairs() {
  LockHolder hold(lock);
  VolumeRepairs now = repairs;
  now.mirroredRecords = initialised ? mft.MirroredRecords() : 0;
  return now;
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
  repairs = VolumeRepairs{};
  NtfsGeometry found;
  DWORD result = ReadBootSector(*disk, PartitionByteOffset(), &found);
  // A boot sector that fails its checks has a backup after the volume's end.
  if (result == code::InvalidDrive || result == code::InvalidParameter) {
    std::uint64_t backupOffset = 0;
    if (ReadBackupBootSector(*disk, PartitionByteOffset(), SaturatingMultiply(partitionSectors, sectorSize), &found,
                             &backupOffset) == code::Success) {
      result = code::Success;
      repairs.backupBootSector = true;
      repairs.backupBootOffset = backupOffset;
    }
  }
  return result != code::Success ? result : Open(found);
}

DWORD CNTFSDrive::Initialize(const NtfsGeometry& given) {
  LockHolder hold(lock);
  initialised = false;
  if (disk == nullptr) return code::InvalidHandle;
  repairs = VolumeRepairs{};
  const DWORD result = CheckGeometry(given);
  return result != code::Success ? result : Open(given);
}

DWORD CNTFSDrive::Initialize(const NtfsGeometry& given, const std::vector<StreamRun>& mftMap) {
  LockHolder hold(lock);
  initialised = false;
  if (disk == nullptr) return code::InvalidHandle;
  repairs = VolumeRepairs{};
  const DWORD result = CheckGeometry(given);
  return result != code::Success ? result : Open(given, &mftMap);
}

DWORD CNTFSDrive::Open(const NtfsGeometry& found, const std::vector<StreamRun>* mftMap) {
  geometry = found;
  recordBuffer = AllocateZeroed(geometry.recordSize);
  if (!recordBuffer) return code::NotEnoughMemory;
  bitmap.Reset();
  mft.SetRecordNumbers(kind == VolumeKind::Found ? RecordNumbers::Checked : RecordNumbers::Unchecked);
  const DWORD result =
      mftMap != nullptr ? mft.MapGiven(disk, geometry, chunkBytes, *mftMap) : mft.Map(disk, geometry, chunkBytes);
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
  // A found volume's files in use are its files like any other.
  const bool everyFile = kind == VolumeKind::Found;
  if (held != nullptr && !directoriesOnly && !everyFile && IsInUseFile(held, recordSize)) {
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
  if (!directoriesOnly && !everyFile && IsInUseFile(bytes, recordSize)) {
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
  if (record.InUse() && !record.IsDirectory() && !everyFile) return code::Success;
  if (directoriesOnly && !record.IsDirectory()) return code::Success;

  // Directories need their names only; deleted files their content too.
  const bool fromList = record.AttributeList().length != 0 && !facts->isExtension;
  ContentLayout layout;
  layout.dataResident = record.DataIsResident();
  layout.data = record.DataIsResident() || record.DataAttribute().length == 0 ? nullptr : &record.Stream();
  std::uint64_t residentSize = record.DataSize();
  if (fromList && !record.IsDirectory()) {
    // Pieces, a resident value and the reparse point may lie in any of its records.
    result = lists.GatherParts(index, record, &gathered, RunListCheck::Lenient);
    if (result != code::Success && !IsDamage(result)) return result;
    const DataValue& data = gathered.data;
    layout.dataResident = data.Found() && data.Resident();
    layout.data = data.Found() && !data.Resident() ? &data.Stream() : nullptr;
    residentSize = data.ResidentLength();
    layout.hasReparse = gathered.hasReparse;
    layout.reparse = gathered.reparse;
    layout.reparseLength = gathered.reparseLength;
    layout.hasWofStream = gathered.wof.Found();
  } else {
    if (fromList && !record.HasWin32Name()) {
      result = lists.Follow(index, record, ListNames::Offer, nullptr, RunListCheck::Lenient);
      if (result != code::Success && !IsDamage(result)) return result;
    }
    // Files in use never get here, and a deleted file seldom has a reparse
    // point: the usual record costs one look at a span.
    if (record.ReparsePoint().length != 0 && !record.IsDirectory()) KeepReparsePoint(record, &layout);
  }
  wof::Algorithm algorithm = wof::Algorithm::Xpress4K;
  const ContentKind kind = record.IsDirectory() ? ContentKind::None : KindOfContent(layout, &algorithm);
  // The size is what the records give; the clusters that count are those
  // that hold the bytes: a system-compressed file's are its stream's.
  std::uint64_t dataSize = layout.dataResident ? residentSize : layout.data != nullptr ? layout.data->FullSize() : 0;
  const DataStream* stream = kind == ContentKind::Runs ? layout.data : nullptr;
  if (kind == ContentKind::Wof) stream = gathered.wof.Resident() ? nullptr : &gathered.wof.Stream();
  if (record.IsDirectory()) dataSize = layout.data != nullptr ? layout.data->Size() : record.DataSize();
  bool encrypted = record.Encrypted(0) || (layout.data != nullptr && layout.data->Encrypted());
  if (stream != nullptr) {
    facts->missingClusters = stream->MissingClusters();
    facts->dataClusters = stream->DataClusters();
    if (runs != nullptr) *runs = stream->Runs();
  }
  facts->elsewhere = kind == ContentKind::Elsewhere;
  FillInfo(record, dataSize, &facts->info);
  facts->info.contentElsewhere = facts->elsewhere;
  // Whatever marks it, the summary says the content is encrypted.
  if (encrypted) facts->info.fileAttributes |= ntfs::FileAttributeEncrypted;
  facts->parentSequence = ParentSequence(record);
  return code::Success;
}

void CNTFSDrive::KeepReparsePoint(CMFTRecord& record, ContentLayout* layout) {
  gathered.Reset(mft.Clusters());
  gathered.hasReparse = true;
  ByteBuffer value;
  std::uint64_t size = 0;
  if (record.ReadAttributeValue(record.Attribute(record.ReparsePoint()), &value, &size, ntfs::ReparseKept) ==
      code::Success) {
    std::memcpy(gathered.reparse, value.get(), static_cast<std::size_t>(size));
    gathered.reparseLength = static_cast<std::uint32_t>(size);
  }
  if (record.WofData().length != 0) {
    // A fault in its run list keeps the runs before it, as for any value a summary shows.
    gathered.wof.Add(record.Attribute(record.WofData()), RunListCheck::Lenient, ValueCopy::InPlace);
    gathered.wof.Finish(Pieces::OneAttribute);
  }
  layout->hasReparse = true;
  layout->reparse = gathered.reparse;
  layout->reparseLength = gathered.reparseLength;
  layout->hasWofStream = gathered.wof.Found();
}

void CNTFSDrive::DropHeldRecords() {
  LockHolder hold(lock);
  mft.DropChunk();
}

std::uint32_t CNTFSDrive::SkipFilesInUse(std::uint32_t index) {
  LockHolder hold(lock);
  if (!initialised) return index;
  return kind == VolumeKind::Found ? mft.SkipEmptySlots(index) : mft.SkipFilesInUse(index);
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
  // In use and not asked as a directory: the summary says only that (a
  // found volume's files in use are read whole).
  if (!directoriesOnly && facts.inUse && kind != VolumeKind::Found) {
    std::memset(info, 0, sizeof *info);
    return code::Success;
  }
  *info = facts.info;
  return code::Success;
}

DWORD CNTFSDrive::ReadRecordSummary(const RecordIdentity& identity, MFTFileInfo* info) {
  LockHolder hold(lock);
  RecordFacts facts;
  const DWORD result = ReadFacts(identity.record, MftRead::OnDemand, false, &facts, nullptr);
  if (result != code::Success) return result;
  if (facts.inUse != identity.inUse || facts.sequence != identity.sequence || facts.logSequenceNumber != identity.logSequenceNumber) {
    return code::RecordReused;
  }
  *info = facts.info;
  return code::Success;
}

DWORD CNTFSDrive::ReadData(std::uint32_t index, const RecordIdentity* identity, ByteBuffer* data,
                           std::uint32_t* size) {
  if (!initialised) return code::InvalidAccess;
  const DWORD result = content.Open(index, identity);
  if (result != code::Success) return result;
  if (!content.HasValue()) {
    data->reset();  // no $DATA at all
    *size = 0;
    return code::Success;
  }
  return content.ReadWhole(data, size);
}

DWORD CNTFSDrive::ReadContent(std::uint32_t index, const RecordIdentity* identity, ContentSink* sink,
                              std::uint64_t* size, ContentReport* report) {
  *size = 0;
  if (!initialised) return code::InvalidAccess;
  ContentReport found;
  DWORD result = content.Open(index, identity);
  if (result == code::Success) result = content.Stream(sink, size, &found);
  if (result != code::Success) return result;
  if (report != nullptr) {
    *report = found;
    return code::Success;
  }
  // What could be read is out; the rest of the file is not there to read,
  // or some of what is out is zeros for sectors that could not be read.
  if (found.missingBytes != 0) return code::FileCorrupt;
  return found.unreadableBytes != 0 ? code::Crc : code::Success;
}

DWORD CNTFSDrive::ReadRecordData(std::uint32_t index, ByteBuffer* data, std::uint32_t* size) {
  LockHolder hold(lock);
  return ReadData(index, nullptr, data, size);
}

DWORD CNTFSDrive::ReadRecordData(const RecordIdentity& identity, ByteBuffer* data, std::uint32_t* size) {
  LockHolder hold(lock);
  return ReadData(identity.record, &identity, data, size);
}

DWORD CNTFSDrive::ReadRecordContent(std::uint32_t index, ContentSink* sink, std::uint64_t* size,
                                    ContentReport* report) {
  LockHolder hold(lock);
  return ReadContent(index, nullptr, sink, size, report);
}

DWORD CNTFSDrive::ReadRecordContent(const RecordIdentity& identity, ContentSink* sink, std::uint64_t* size,
                                    ContentReport* report) {
  LockHolder hold(lock);
  return ReadContent(identity.record, &identity, sink, size, report);
}

DWORD CNTFSDrive::CountClustersInUse(std::uint64_t first, std::uint64_t count, std::uint64_t* inUse) {
  LockHolder hold(lock);
  *inUse = 0;
  if (!initialised) return code::InvalidAccess;
  return clusterUse != nullptr ? clusterUse->CountInUse(first, count, inUse) : bitmap.CountInUse(first, count, inUse);
}
