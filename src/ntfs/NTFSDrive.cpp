#include "ntfs/NTFSDrive.h"

#include <algorithm>
#include <cstring>

#include "ntfs/NtfsLayout.h"
#include "util/ByteReader.h"

namespace {

// Cluster size from the boot sector. A sectors-per-cluster byte above 0x80
// is a negative power of two (2^(256 - n) sectors), as large-cluster volumes
// write it; taking it as a plain count would read the wrong clusters.
std::uint32_t ClusterBytes(std::uint16_t bytesPerSector, std::uint8_t sectorsPerCluster) {
  if (sectorsPerCluster <= 0x80) return static_cast<std::uint32_t>(bytesPerSector) * sectorsPerCluster;
  const unsigned shift = 256u - sectorsPerCluster;
  return shift > 15 ? 0 : static_cast<std::uint32_t>(bytesPerSector) << shift;
}

// FILE record size from the boot sector's clusters-per-record byte: n > 0
// counts clusters, n < 0 means 2^-n bytes. 0 unless it is a power of two
// from 512 to 65536: anything else would be a guess.
std::uint32_t RecordBytes(std::uint8_t raw, std::uint32_t clusterSize) {
  const auto value = static_cast<std::int8_t>(raw);
  std::uint64_t bytes = 0;
  if (value > 0) bytes = std::uint64_t{static_cast<std::uint8_t>(value)} * clusterSize;
  if (value < 0 && value > -32) bytes = std::uint64_t{1} << -value;
  if (bytes < ntfs::MinRecordSize || bytes > ntfs::MaxRecordSize || (bytes & (bytes - 1)) != 0) return 0;
  return static_cast<std::uint32_t>(bytes);
}

// True when the raw slot is a FILE record in use that is not a directory:
// the scan needs nothing more of it, so it is neither copied nor parsed. The
// signature and flags lie before the first place the update sequence
// restores, so the raw bytes answer exactly.
bool IsInUseFile(const std::uint8_t* slot, std::uint32_t size, bool anyKind) {
  const ByteReader record(slot, size);
  std::uint8_t flags = 0;
  return std::memcmp(slot + ntfs::RecordSignature, "FILE", 4) == 0 && record.U8(ntfs::RecordFlags, &flags) &&
         (flags & ntfs::RecordInUse) != 0 && (anyKind || (flags & ntfs::RecordIsDirectory) == 0);
}

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

bool IsDamage(DWORD result) {
  return result == code::InvalidParameter || result == code::HandleEof || result == code::NoMoreFiles;
}

}  // namespace

bool SequenceFollows(std::uint16_t referenced, std::uint16_t current, bool freedSince) {
  if (referenced == 0 || referenced == current) return true;
  if (!freedSince) return false;
  std::uint16_t next = static_cast<std::uint16_t>(referenced + 1);
  if (next == 0) next = 1;  // a freed record's number skips 0
  return next == current;
}

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
  return clusterSize;
}

std::uint32_t CNTFSDrive::RecordSize() {
  LockHolder hold(lock);
  return recordSize;
}

std::uint64_t CNTFSDrive::ClusterCount() {
  LockHolder hold(lock);
  return clusterSize == 0 ? 0 : volumeBytes / clusterSize;
}

DWORD CNTFSDrive::Initialize() {
  LockHolder hold(lock);
  initialised = false;  // a failed Initialize leaves the drive not initialised
  if (disk == nullptr) return code::InvalidHandle;
  std::uint8_t boot[ntfs::BootSectorSize] = {};
  std::uint32_t got = 0;
  DWORD result = disk->ReadAt(PartitionByteOffset(), boot, sizeof boot, &got);
  if (result != code::Success) return result;
  if (got < sizeof boot) return code::HandleEof;
  if (std::memcmp(boot + ntfs::BootOemId, "NTFS", 4) != 0) return code::InvalidDrive;
  const ByteReader bootSector(boot, sizeof boot);
  std::uint16_t bytesPerSector = 0;
  std::uint8_t sectorsPerCluster = 0, clustersPerRecord = 0;
  std::uint64_t mftCluster = 0, totalSectors = 0;
  bootSector.U16(ntfs::BootBytesPerSector, &bytesPerSector);
  bootSector.U8(ntfs::BootSectorsPerCluster, &sectorsPerCluster);
  bootSector.U8(ntfs::BootClustersPerRecord, &clustersPerRecord);
  bootSector.U64(ntfs::BootMftCluster, &mftCluster);
  bootSector.U64(ntfs::BootTotalSectors, &totalSectors);
  clusterSize = ClusterBytes(bytesPerSector, sectorsPerCluster);
  volumeBytes = SaturatingMultiply(totalSectors, bytesPerSector);
  recordSize = RecordBytes(clustersPerRecord, clusterSize);
  if (clusterSize == 0 || recordSize == 0) return code::InvalidParameter;

  recordBuffer = AllocateZeroed(recordSize);
  extensionBuffer = AllocateZeroed(recordSize);
  if (!recordBuffer || !extensionBuffer) return code::NotEnoughMemory;
  chunk.reset();
  chunkCount = chunkFirst = 0;
  recordCount = 0;
  bitmapState = code::InvalidAccess;
  for (BitmapPiece& piece : pieces) piece = BitmapPiece{};
  result = MapMft(mftCluster);
  if (result != code::Success) return result;
  chunkCapacity = std::max<std::uint32_t>(1, std::min(chunkBytes / recordSize, std::max<std::uint32_t>(recordCount, 1)));
  chunk = AllocateZeroed(std::size_t{chunkCapacity} * recordSize);
  if (!chunk) return code::NotEnoughMemory;
  initialised = true;
  return code::Success;
}

DWORD CNTFSDrive::PrepareRecord(CMFTRecord* record) const {
  record->SetDiskHandle(disk);
  return record->SetGeometry(recordSize, clusterSize, PartitionByteOffset());
}

DWORD CNTFSDrive::ParseWhole(std::uint8_t* bytes, CMFTRecord* record) const {
  const DWORD result = PrepareRecord(record);
  return result != code::Success ? result : record->ParseSummary(bytes, recordSize);
}

DWORD CNTFSDrive::MapMft(std::uint64_t mftCluster) {
  if (mftCluster > (UINT64_MAX - PartitionByteOffset()) / clusterSize) return code::InvalidParameter;
  std::uint32_t got = 0;
  DWORD result = disk->ReadAt(PartitionByteOffset() + mftCluster * clusterSize, recordBuffer.get(), recordSize, &got);
  if (result != code::Success) return result;
  if (got < recordSize) return code::InvalidParameter;
  CMFTRecord record;
  result = ParseWhole(recordBuffer.get(), &record);
  if (result != code::Success) return result;

  static const char16_t mftName[] = u"$MFT";
  const std::uint8_t* name = record.FileName() + ntfs::FnName;
  for (int i = 0; i < 4; ++i) {
    const char16_t unit = static_cast<char16_t>(name[2 * i] | (name[2 * i + 1] << 8));
    if (unit != mftName[i]) return code::BadDevice;
  }
  const AttributeSpan data = record.DataAttribute();
  if (data.length == 0 || record.DataIsResident()) return code::InvalidParameter;
  // The $MFT lies inside its volume and is never sparse: records past the
  // volume's end or in a hole cannot be real, however far a damaged record 0
  // says it reaches. An unset sector count sets no bound.
  const std::uint64_t limit = volumeBytes != 0 ? volumeBytes : UINT64_MAX;
  mft.Reset(Geometry());
  result = mft.AddPiece(ByteReader(record.Bytes() + data.offset, data.length), true);
  if (result != code::Success) return result;
  mft.Finish(false, true, limit);
  if (record.AttributeList().length != 0) {
    // Its extension records lie in the part record 0 maps itself.
    recordCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(mft.Size() / recordSize, UINT32_MAX));
    result = FollowAttributeList(ntfs::MftRecord, record, false, &mft, true);
    if (result != code::Success) return result;
    mft.Finish(true, true, limit);
  }
  recordCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(mft.Size() / recordSize, UINT32_MAX));

  // A record 0 whose runs leave the disk fails here, clearly, rather than
  // in the middle of a scan: the farthest cluster the records use is read.
  const std::uint64_t usedClusters = (std::uint64_t{recordCount} * recordSize + clusterSize - 1) / clusterSize;
  std::uint64_t farthest = 0;
  for (const StreamRun& run : mft.Runs()) {
    if (run.vcn >= usedClusters) break;
    if (!run.sparse) farthest = std::max(farthest, run.lcn + std::min(run.length, usedClusters - run.vcn));
  }
  if (farthest != 0) {
    std::uint32_t probe = 1;
    std::uint8_t byte = 0;
    result = ReadVolumeClusters(Geometry(), farthest - 1, clusterSize - 1, &byte, &probe);
    if (result != code::Success) return result;
  }
  return code::Success;
}

std::uint32_t CNTFSDrive::RecordCount() {
  LockHolder hold(lock);
  return recordCount;
}

DWORD CNTFSDrive::LocateRecord(std::uint32_t index, bool sequential, const std::uint8_t** bytes) {
  if (index >= recordCount) return code::NoMoreFiles;
  if (chunkCount == 0 || index < chunkFirst || index - chunkFirst >= chunkCount) {
    if (!sequential || !chunk) return code::NoMoreFiles;
    const std::uint32_t count = std::min(chunkCapacity, recordCount - index);
    chunkCount = 0;
    const DWORD result = mft.Read(std::uint64_t{index} * recordSize, count * recordSize, chunk.get());
    if (result != code::Success) return result;
    chunkFirst = index;
    chunkCount = count;
  }
  *bytes = chunk.get() + std::size_t{index - chunkFirst} * recordSize;
  return code::Success;
}

DWORD CNTFSDrive::FetchRecord(std::uint32_t index, bool sequential, std::uint8_t* buffer) {
  if (index >= recordCount) return code::NoMoreFiles;
  const std::uint8_t* held = nullptr;
  if (LocateRecord(index, sequential, &held) != code::Success || held == nullptr) {
    return mft.Read(std::uint64_t{index} * recordSize, recordSize, buffer);
  }
  std::memcpy(buffer, held, recordSize);
  return code::Success;
}

DWORD CNTFSDrive::FollowAttributeList(std::uint32_t index, CMFTRecord& base, bool names, DataStream* stream,
                                      bool strict) {
  const AttributeSpan span = base.AttributeList();
  if (span.length == 0) return code::Success;
  ByteBuffer value;
  std::uint64_t size = 0;
  DWORD result = base.ReadAttributeValue(ByteReader(base.Bytes() + span.offset, span.length), &value, &size,
                                         ntfs::MaxAttributeList + 1);
  if (result != code::Success) return result;
  if (size > ntfs::MaxAttributeList) return code::InvalidParameter;
  const ByteReader list(value.get(), static_cast<std::size_t>(size));
  std::vector<std::uint64_t> visited;  // each extension record is read once
  CMFTRecord extension;
  for (std::size_t at = 0; list.Holds(at, ntfs::AleMinimumLength);) {
    std::uint32_t type = 0;
    std::uint16_t length = 0;
    std::uint8_t nameLength = 0;
    std::uint64_t reference = 0;
    list.U32(at + ntfs::AleType, &type);
    list.U16(at + ntfs::AleLength, &length);
    list.U8(at + ntfs::AleNameLength, &nameLength);
    list.U64(at + ntfs::AleReference, &reference);
    if (length < ntfs::AleMinimumLength || !list.Holds(at, length)) break;  // the rest cannot be bounded
    at += length;
    const bool wanted = (names && type == ntfs::TypeFileName) || (stream != nullptr && type == ntfs::TypeData && nameLength == 0);
    const std::uint64_t number = reference & ntfs::RecordNumberMask;
    if (!wanted || number == index || number > UINT32_MAX ||
        std::find(visited.begin(), visited.end(), number) != visited.end()) {
      continue;
    }
    visited.push_back(number);
    result = FetchRecord(static_cast<std::uint32_t>(number), false, extensionBuffer.get());
    if (result == code::Success) result = PrepareRecord(&extension);
    if (result == code::Success) result = extension.ParseHeader(extensionBuffer.get(), recordSize);
    if (IsDamage(result)) continue;  // its pieces are missing
    if (result != code::Success) return result;
    // The extension must still belong to this record: it names it as its
    // base, and is in use exactly when the base is. A freed base's numbers
    // may each have moved by the one step a delete makes.
    const std::uint64_t owner = extension.BaseReference();
    const auto ownerSequence = static_cast<std::uint16_t>(owner >> ntfs::ReferenceSequenceShift);
    const auto listedSequence = static_cast<std::uint16_t>(reference >> ntfs::ReferenceSequenceShift);
    const bool freed = !base.InUse();
    if ((owner & ntfs::RecordNumberMask) != index || extension.InUse() == freed ||
        !SequenceFollows(ownerSequence, base.SequenceNumber(), freed) ||
        !SequenceFollows(listedSequence, extension.SequenceNumber(), freed)) {
      continue;
    }
    result = extension.ForEachAttribute([&](std::uint32_t kind, const ByteReader& attribute) -> DWORD {
      std::uint8_t unnamed = 0;
      attribute.U8(ntfs::AttrNameLength, &unnamed);
      if (names && kind == ntfs::TypeFileName) base.OfferFileName(attribute);
      if (stream != nullptr && kind == ntfs::TypeData && unnamed == 0) {
        std::uint8_t nonResident = 0;
        attribute.U8(ntfs::AttrNonResident, &nonResident);
        if (nonResident != 0) return stream->AddPiece(attribute, strict);
      }
      return code::Success;
    });
    if (result != code::Success && (strict || !IsDamage(result))) return result;
  }
  return code::Success;
}

DWORD CNTFSDrive::GatherData(std::uint32_t index, CMFTRecord& record, DataStream* stream, bool strict) {
  stream->Reset(Geometry());
  const AttributeSpan data = record.DataAttribute();
  if (data.length != 0) {
    const DWORD result = stream->AddPiece(ByteReader(record.Bytes() + data.offset, data.length), strict);
    if (result != code::Success) return result;
  }
  const bool fromList = record.AttributeList().length != 0;
  if (fromList) {
    const bool names = !record.HasWin32Name();
    const DWORD result = FollowAttributeList(index, record, names, stream, strict);
    if (result != code::Success) return result;
  }
  stream->Finish(fromList);
  return code::Success;
}

DWORD CNTFSDrive::ReadFacts(std::uint32_t index, bool sequential, bool directoriesOnly, RecordFacts* facts,
                            std::vector<StreamRun>* runs) {
  if (runs != nullptr) runs->clear();
  if (!initialised) return code::InvalidAccess;
  // Most records are files in use: they are answered from the chunk, with
  // nothing copied and only the header's facts set.
  const std::uint8_t* held = nullptr;
  DWORD result = sequential ? LocateRecord(index, true, &held) : code::NoMoreFiles;
  if (result != code::Success && result != code::NoMoreFiles) return result;
  if (held != nullptr && !directoriesOnly && IsInUseFile(held, recordSize, false)) {
    facts->inUse = true;
    facts->isDirectory = facts->isExtension = false;
    facts->info.deleted = false;
    return code::Success;
  }
  *facts = RecordFacts{};
  // A record of the chunk is parsed where it lies, and its strides put back
  // as read when it is done: nothing is copied, and any later look at the
  // chunk sees the disk's bytes. Nothing reloads the chunk meanwhile.
  std::uint8_t* bytes = recordBuffer.get();
  if (held != nullptr) {
    bytes = chunk.get() + std::size_t{index - chunkFirst} * recordSize;
  } else {
    result = FetchRecord(index, false, bytes);
    if (result != code::Success) return result;
  }
  if (!directoriesOnly && IsInUseFile(bytes, recordSize, false)) {
    facts->inUse = true;
    return code::Success;
  }
  CMFTRecord& record = scanRecord;
  struct Revert {
    CMFTRecord& record;
    ~Revert() { record.RevertUpdateSequence(); }
  } revert{record};
  result = ParseWhole(bytes, &record);
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
      result = GatherData(index, record, &content, false);
      stream = &content;
    } else if (!record.HasWin32Name()) {
      result = FollowAttributeList(index, record, true, nullptr, false);
    }
    if (result != code::Success && !IsDamage(result)) return result;
  }
  std::uint64_t dataSize = record.DataSize();
  if (stream != nullptr) {
    dataSize = stream->Size();
    facts->incomplete = stream->Incomplete();
    facts->missingClusters = stream->MissingClusters();
    facts->dataClusters = stream->DataClusters();
    facts->compressed = stream->Compressed();
    facts->encrypted = stream->Encrypted();
    if (runs != nullptr && !record.IsDirectory()) *runs = stream->Runs();
  }
  facts->encrypted = facts->encrypted || record.Encrypted(0);
  FillInfo(record, dataSize, &facts->info);
  // Whatever marks it, the summary says the content is encrypted.
  if (facts->encrypted) facts->info.fileAttributes |= ntfs::FileAttributeEncrypted;
  facts->hasName = record.HasFileName();
  facts->parentSequence = ParentSequence(record);
  return code::Success;
}

std::uint32_t CNTFSDrive::SkipFilesInUse(std::uint32_t index) {
  LockHolder hold(lock);
  const std::uint8_t* held = nullptr;
  if (!initialised || LocateRecord(index, true, &held) != code::Success) return index;
  const std::uint32_t end = chunkFirst + chunkCount;
  while (index < end && IsInUseFile(chunk.get() + std::size_t{index - chunkFirst} * recordSize, recordSize, false)) {
    ++index;
  }
  return index;
}

DWORD CNTFSDrive::ReadRecordFacts(std::uint32_t index, bool sequential, RecordFacts* facts,
                                  std::vector<StreamRun>* runs) {
  LockHolder hold(lock);
  return ReadFacts(index, sequential, false, facts, runs);
}

DWORD CNTFSDrive::ReadRecordSummary(std::uint32_t index, bool directoriesOnly, MFTFileInfo* info) {
  LockHolder hold(lock);
  RecordFacts facts;
  const DWORD result = ReadFacts(index, false, directoriesOnly, &facts, nullptr);
  if (result != code::Success) return result;
  // In use and not asked as a directory: the summary says only that.
  if (!directoriesOnly && facts.inUse) {
    std::memset(info, 0, sizeof *info);
    return code::Success;
  }
  *info = facts.info;
  return code::Success;
}

DWORD CNTFSDrive::OpenContent(std::uint32_t index, CMFTRecord* record, const std::uint8_t** resident,
                              std::uint32_t* residentLength) {
  *resident = nullptr;
  *residentLength = 0;
  if (!initialised) return code::InvalidAccess;
  DWORD result = FetchRecord(index, false, recordBuffer.get());
  if (result == code::Success) result = ParseWhole(recordBuffer.get(), record);
  if (result != code::Success) return result;
  if (record->DataIsResident()) {
    std::uint16_t flags = 0;
    const AttributeSpan data = record->DataAttribute();
    ByteReader(record->Bytes() + data.offset, data.length).U16(ntfs::AttrFlags, &flags);
    // Encrypted content is ciphertext: never handed out as the file.
    if (record->Encrypted(flags)) return code::FileEncrypted;
    return record->ResidentData(resident, residentLength);
  }
  result = GatherData(index, *record, &content, true);
  if (result != code::Success) return result;
  if (content.Encrypted() || record->Encrypted(0)) return code::FileEncrypted;
  return code::Success;
}

DWORD CNTFSDrive::ReadRecordData(std::uint32_t index, ByteBuffer* data, std::uint32_t* size) {
  LockHolder hold(lock);
  CMFTRecord record;
  const std::uint8_t* resident = nullptr;
  std::uint32_t residentLength = 0;
  DWORD result = OpenContent(index, &record, &resident, &residentLength);
  if (result != code::Success) return result;
  if (resident == nullptr && record.DataAttribute().length == 0 && record.AttributeList().length == 0) {
    data->reset();  // no $DATA at all
    *size = 0;
    return code::Success;
  }
  const std::uint64_t length = resident != nullptr ? residentLength : content.Size();
  if (length > CMFTRecord::MaxWholeValue || length > SIZE_MAX) return code::NotEnoughMemory;
  ByteBuffer buffer = AllocateZeroed(static_cast<std::size_t>(length));
  if (!buffer) return code::NotEnoughMemory;
  if (resident != nullptr) {
    std::memcpy(buffer.get(), resident, residentLength);
  } else {
    result = content.Read(0, static_cast<std::uint32_t>(length), buffer.get(), true);
    if (result != code::Success) return result;
    if (content.Incomplete()) return code::FileCorrupt;
  }
  *data = std::move(buffer);
  *size = static_cast<std::uint32_t>(length);
  return code::Success;
}

DWORD CNTFSDrive::ReadRecordContent(std::uint32_t index, ContentSink* sink, std::uint64_t* size) {
  LockHolder hold(lock);
  CMFTRecord record;
  const std::uint8_t* resident = nullptr;
  std::uint32_t residentLength = 0;
  DWORD result = OpenContent(index, &record, &resident, &residentLength);
  if (result != code::Success) return result;
  if (resident != nullptr) {
    if (residentLength != 0) result = sink->Write(resident, residentLength);
    if (result == code::Success) *size = residentLength;
    return result;
  }
  result = content.Stream(sink);
  if (result != code::Success) return result;
  *size = content.Size();
  // What could be read is out; the rest of the file is not there to read.
  return content.Incomplete() ? code::FileCorrupt : code::Success;
}

DWORD CNTFSDrive::LoadBitmap() {
  if (bitmapState != code::InvalidAccess) return bitmapState;
  CMFTRecord record;
  DWORD result = FetchRecord(ntfs::BitmapRecord, false, recordBuffer.get());
  if (result == code::Success) result = ParseWhole(recordBuffer.get(), &record);
  if (result == code::Success && (record.DataAttribute().length == 0 || record.DataIsResident())) {
    result = code::InvalidParameter;
  }
  if (result == code::Success) result = GatherData(ntfs::BitmapRecord, record, &bitmap, true);
  bitmapState = result;
  return result;
}

DWORD CNTFSDrive::CountClustersInUse(std::uint64_t first, std::uint64_t count, std::uint64_t* inUse) {
  LockHolder hold(lock);
  *inUse = 0;
  if (!initialised) return code::InvalidAccess;
  DWORD result = LoadBitmap();
  if (result != code::Success) return result;
  const std::uint64_t bits = SaturatingMultiply(bitmap.Size(), 8);
  if (first > bits || count > bits - first) return code::InvalidParameter;
  std::uint64_t total = 0;
  for (std::uint64_t bit = first; bit < first + count;) {
    const std::uint64_t byte = bit / 8;
    const std::uint64_t pieceIndex = byte / BitmapPieceBytes;
    BitmapPiece* piece = std::find_if(std::begin(pieces), std::end(pieces),
                                      [&](const BitmapPiece& p) { return p.index == pieceIndex; });
    if (piece == std::end(pieces)) {
      piece = std::min_element(std::begin(pieces), std::end(pieces),
                               [](const BitmapPiece& a, const BitmapPiece& b) { return a.lastUse < b.lastUse; });
      if (!piece->data) piece->data = AllocateZeroed(BitmapPieceBytes);
      if (!piece->data) return code::NotEnoughMemory;
      const std::uint64_t start = pieceIndex * BitmapPieceBytes;
      piece->index = UINT64_MAX;
      piece->bytes = static_cast<std::uint32_t>(std::min<std::uint64_t>(BitmapPieceBytes, bitmap.Size() - start));
      result = bitmap.Read(start, piece->bytes, piece->data.get());
      if (result != code::Success) return result;
      piece->index = pieceIndex;
    }
    piece->lastUse = ++pieceClock;
    // Whole bytes where the range allows, single bits at its ends.
    const std::uint64_t pieceEndBit = (pieceIndex * BitmapPieceBytes + piece->bytes) * 8;
    const std::uint64_t stop = std::min(first + count, pieceEndBit);
    const std::uint8_t* bytes = piece->data.get();
    const std::uint64_t base = pieceIndex * BitmapPieceBytes * 8;  // the piece's first bit
    auto one = [&](std::uint64_t at) { return (bytes[(at - base) / 8] >> (at % 8)) & 1u; };
    for (; bit < stop && bit % 8 != 0; ++bit) total += one(bit);
    for (; stop - bit >= 8; bit += 8) total += static_cast<unsigned>(__builtin_popcount(bytes[(bit - base) / 8]));
    for (; bit < stop; ++bit) total += one(bit);
  }
  *inUse = total;
  return code::Success;
}
