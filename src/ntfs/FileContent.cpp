#include "ntfs/FileContent.h"

#include <algorithm>
#include <cstring>

#include "ntfs/MftReader.h"
#include "ntfs/NtfsLayout.h"

ContentKind KindOfContent(const ContentLayout& layout, wof::Algorithm* algorithm) {
  if (layout.hasReparse) {
    const ByteReader point(layout.reparse, layout.reparseLength);
    bool isWof = false;
    if (wof::ParseReparsePoint(point, &isWof, algorithm) == code::Success && isWof && layout.hasWofStream) {
      return ContentKind::Wof;
    }
    const DataStream* data = layout.data;
    if (!layout.dataResident && data != nullptr && data->FullSize() != 0) {
      // A placeholder's $DATA may hold some of its bytes, but never
      // certainly all: a hole there is no run of zeros.
      std::uint32_t tag = 0;
      const bool placeholder = point.U32(wof::ReparseTagOffset, &tag) &&
                               (tag == ntfs::ReparseTagDedup || (tag & ntfs::ReparseTagCloudMask) == ntfs::ReparseTagCloud);
      if (placeholder ? data->HasHoles() : data->HoldsNoData()) return ContentKind::Elsewhere;
    }
  }
  if (layout.dataResident) return ContentKind::Resident;
  return layout.data != nullptr ? ContentKind::Runs : ContentKind::None;
}

DWORD CFileContent::StreamSource::ReadAt(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer) {
  const std::uint64_t size = value->Size();
  if (offset > size || count > size - offset) {
    pastEnd = true;
    return code::HandleEof;
  }
  return value->Read(offset, count, buffer);
}

CFileContent::CFileContent(CMftReader& reader, CAttributeListWalk& walk) : records(reader), lists(walk) {}

DWORD CFileContent::Open(std::uint32_t index, const RecordIdentity* identity) {
  kind = ContentKind::None;
  hasValue = false;
  wofSource.value = &parts.wof;
  wofSource.pastEnd = false;
  parts.Reset(records.Clusters());
  if (recordSize != records.RecordSize()) {
    recordBytes = AllocateZeroed(records.RecordSize());
    if (!recordBytes) return code::NotEnoughMemory;
    recordSize = records.RecordSize();
  }
  DWORD result = records.Fetch(index, MftRead::OnDemand, recordBytes.get());
  if (result == code::Success) result = records.Parse(recordBytes.get(), &record);
  if (result != code::Success) return result;
  // Whatever the record holds now, it is not the deleted file a row showed.
  // A record taken again keeps its sequence number while in use, and a
  // driver may leave the $LogFile sequence number as it was.
  if (identity != nullptr && (record.InUse() != identity->inUse || record.SequenceNumber() != identity->sequence ||
                              record.LogSequenceNumber() != identity->logSequenceNumber)) {
    return code::RecordReused;
  }
  result = lists.GatherParts(index, record, &parts, RunListCheck::Strict);
  if (result != code::Success) return result;
  const DataValue& data = parts.data;
  hasValue = data.Found();
  // Encrypted content is ciphertext: never handed out as the file.
  const bool encrypted = data.Resident() ? (data.ResidentFlags() & ntfs::AttrFlagEncrypted) != 0 : data.Stream().Encrypted();
  if (encrypted || record.Encrypted(0)) return code::FileEncrypted;
  ContentLayout layout;
  layout.dataResident = data.Found() && data.Resident();
  layout.data = data.Found() && !data.Resident() ? &data.Stream() : nullptr;
  layout.hasReparse = parts.hasReparse;
  layout.reparse = parts.reparse;
  layout.reparseLength = parts.reparseLength;
  layout.hasWofStream = parts.wof.Found();
  kind = KindOfContent(layout, &algorithm);
  if (kind == ContentKind::Elsewhere) return code::FileOffline;
  if (kind != ContentKind::Wof) return code::Success;
  hasValue = true;
  return wofStream.Open(&wofSource, parts.wof.FullSize(), parts.data.FullSize(), algorithm);
}

std::uint64_t CFileContent::Size() const {
  switch (kind) {
    case ContentKind::Resident:
    case ContentKind::Runs: return parts.data.Size();
    case ContentKind::Wof: return wofStream.Size();
    default: return 0;
  }
}

std::uint64_t CFileContent::FullSize() const {
  return kind == ContentKind::Runs ? parts.data.FullSize() : Size();
}

DWORD CFileContent::Read(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer, Zeroed zeroed,
                         ReadLoss* loss) {
  switch (kind) {
    case ContentKind::Resident:
    case ContentKind::Runs: return parts.data.Read(offset, count, buffer, zeroed, loss);
    case ContentKind::Wof: return wofStream.Read(offset, count, buffer);
    default: return count == 0 && offset == 0 ? code::Success : code::InvalidParameter;
  }
}

DWORD CFileContent::Stream(ContentSink* sink, std::uint64_t* delivered, ContentReport* report) {
  *delivered = 0;
  *report = ContentReport{};
  const std::uint64_t size = Size();
  // What the runs do not reach follows what they do.
  report->missingBytes = FullSize() - size;
  if (size == 0) return code::Success;
  // A resident value is one chunk, straight from the record.
  if (kind == ContentKind::Resident) {
    const DWORD result = sink->Write(parts.data.ResidentBytes(), parts.data.ResidentLength());
    if (result == code::Success) *delivered = size;
    return result;
  }
  const std::uint32_t clusterSize = std::max<std::uint32_t>(records.Clusters().clusterSize, 1);
  const std::uint32_t chunk = std::max(clusterSize, DataStream::MaxReadBytes / clusterSize * clusterSize);
  // Compressed chunks are read one at a time, so that those before a
  // damaged or missing one are delivered.
  const std::uint32_t step = kind == ContentKind::Wof ? wof::ChunkBytes(algorithm) : chunk;
  ByteBuffer scratch = AllocateZeroed(static_cast<std::size_t>(std::min<std::uint64_t>(chunk, size)));
  if (!scratch) return code::NotEnoughMemory;
  ReadLoss lost;  // of one read: sectors the disk could not read, zeros in the copy
  for (std::uint64_t position = 0; position < size;) {
    const auto take = static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk, size - position));
    std::uint32_t filled = 0;
    DWORD result = code::Success;
    while (filled < take && result == code::Success) {
      const std::uint32_t piece = std::min(step, take - filled);
      lost.Clear();
      result = Read(position + filled, piece, scratch.get() + filled, Zeroed::No, &lost);
      if (result == code::Success) filled += piece;
      report->unreadableBytes += lost.Bytes();
    }
    if (filled != 0) {
      const DWORD written = sink->Write(scratch.get(), filled);
      if (written != code::Success) return written;
      *delivered += filled;
    }
    if (result != code::Success) {
      if (kind != ContentKind::Wof || !wofSource.pastEnd) return result;
      report->missingBytes = size - *delivered;
      return code::Success;
    }
    position += take;
  }
  return code::Success;
}

DWORD CFileContent::ReadWhole(ByteBuffer* data, std::uint32_t* size) {
  const std::uint64_t length = Size();
  if (length < FullSize()) return code::FileCorrupt;
  if (length > DataStream::MaxWholeValue || length > SIZE_MAX) return code::NotEnoughMemory;
  ByteBuffer buffer = AllocateZeroed(static_cast<std::size_t>(length));
  if (!buffer) return code::NotEnoughMemory;
  DWORD result = Read(0, static_cast<std::uint32_t>(length), buffer.get(), Zeroed::Yes);
  if (result != code::Success && kind == ContentKind::Wof && wofSource.pastEnd) result = code::FileCorrupt;
  if (result != code::Success) return result;
  *data = std::move(buffer);
  *size = static_cast<std::uint32_t>(length);
  return code::Success;
}
