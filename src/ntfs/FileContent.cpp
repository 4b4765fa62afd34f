#include "ntfs/FileContent.h"

#include <algorithm>
#include <cstring>

#include "ntfs/AttributeList.h"
#include "ntfs/MftReader.h"
#include "ntfs/NtfsLayout.h"

CFileContent::CFileContent(CMftReader& reader, CAttributeListWalk& walk) : records(reader), lists(walk) {}

DWORD CFileContent::Open(std::uint32_t index) {
  source = Source::Runs;
  resident = nullptr;
  residentLength = 0;
  hasValue = false;
  stream.Reset(records.Clusters());
  if (recordSize != records.RecordSize()) {
    recordBytes = AllocateZeroed(records.RecordSize());
    if (!recordBytes) return code::NotEnoughMemory;
    recordSize = records.RecordSize();
  }
  DWORD result = records.Fetch(index, MftRead::OnDemand, recordBytes.get());
  if (result == code::Success) result = records.Parse(recordBytes.get(), &record);
  if (result != code::Success) return result;
  hasValue = record.DataAttribute().length != 0 || record.AttributeList().length != 0;
  if (record.DataIsResident()) {
    std::uint16_t flags = 0;
    const AttributeSpan data = record.DataAttribute();
    ByteReader(record.Bytes() + data.offset, data.length).U16(ntfs::AttrFlags, &flags);
    // Encrypted content is ciphertext: never handed out as the file.
    if (record.Encrypted(flags)) return code::FileEncrypted;
    source = Source::Resident;
    return record.ResidentData(&resident, &residentLength);
  }
  result = lists.GatherData(index, record, &stream, RunListCheck::Strict);
  if (result != code::Success) return result;
  if (stream.Encrypted() || record.Encrypted(0)) return code::FileEncrypted;
  return code::Success;
}

std::uint64_t CFileContent::Size() const {
  return source == Source::Resident ? residentLength : stream.Size();
}

DWORD CFileContent::Read(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer, Zeroed zeroed) {
  if (source == Source::Runs) return stream.Read(offset, count, buffer, zeroed);
  if (offset > residentLength || count > residentLength - offset) return code::InvalidParameter;
  if (count != 0) std::memcpy(buffer, resident + offset, count);
  return code::Success;
}

DWORD CFileContent::Stream(ContentSink* sink) {
  // A resident value is one chunk, straight from the record.
  if (source == Source::Resident) return residentLength == 0 ? code::Success : sink->Write(resident, residentLength);
  const std::uint64_t size = Size();
  if (size == 0) return code::Success;
  const std::uint32_t clusterSize = std::max<std::uint32_t>(records.Clusters().clusterSize, 1);
  const std::uint32_t chunk = std::max(clusterSize, DataStream::MaxReadBytes / clusterSize * clusterSize);
  ByteBuffer scratch = AllocateZeroed(static_cast<std::size_t>(std::min<std::uint64_t>(chunk, size)));
  if (!scratch) return code::NotEnoughMemory;
  for (std::uint64_t position = 0; position < size;) {
    const auto take = static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk, size - position));
    DWORD result = Read(position, take, scratch.get());
    if (result == code::Success) result = sink->Write(scratch.get(), take);
    if (result != code::Success) return result;
    position += take;
  }
  return code::Success;
}

DWORD CFileContent::ReadWhole(ByteBuffer* data, std::uint32_t* size) {
  const std::uint64_t length = Size();
  if (length > DataStream::MaxWholeValue || length > SIZE_MAX) return code::NotEnoughMemory;
  ByteBuffer buffer = AllocateZeroed(static_cast<std::size_t>(length));
  if (!buffer) return code::NotEnoughMemory;
  const DWORD result = Read(0, static_cast<std::uint32_t>(length), buffer.get(), Zeroed::Yes);
  if (result != code::Success) return result;
  if (Incomplete()) return code::FileCorrupt;
  *data = std::move(buffer);
  *size = static_cast<std::uint32_t>(length);
  return code::Success;
}
