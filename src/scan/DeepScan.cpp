#include "scan/DeepScan.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "ntfs/NtfsLayout.h"
#include "ntfs/RecordSignatures.h"
#include "ntfs/VolumeReads.h"
#include "util/ByteBuffer.h"

namespace {

// Every structure looked for starts on a 512-byte boundary of its volume,
// and volumes start on sector boundaries.
constexpr std::uint32_t Step = ntfs::UsaSectorSize;
constexpr std::uint32_t MinChunkBytes = 64u << 10;
constexpr std::uint32_t MaxChunkBytes = 64u << 20;
constexpr auto ProgressEvery = std::chrono::milliseconds(250);

std::uint8_t Log2(std::uint32_t value) {
  std::uint8_t bits = 0;
  while (value > 1) {
    value >>= 1;
    ++bits;
  }
  return bits;
}

// Looks at each boundary of the bytes read; keeps what it finds.
class Pass {
 public:
  Pass(DeepFindings& found, std::uint8_t* scratchBytes) : findings(found), scratch(scratchBytes) {}

  // Looks at the structure that may start at `bytes` (disk position
  // `position`, `left` bytes read from there). NeedMore when its checks need
  // bytes not read yet; else `*step` is how far the next may start.
  Recognised Look(const std::uint8_t* bytes, std::size_t left, std::uint64_t position, std::uint32_t* step) {
    *step = Step;
    if (left < 4) return Recognised::No;
    std::uint32_t needed = 0;
    if (std::memcmp(bytes, "FILE", 4) == 0 || std::memcmp(bytes, "BAAD", 4) == 0) {
      RecordHeader header;
      const Recognised seen = RecogniseRecord(bytes, left, &header, &needed);
      if (seen == Recognised::Yes) {
        AddRecord(bytes, header, position);
        // A record whose strides all carry its number is whole: nothing starts inside it.
        if (header.kind == RecordKind::File) *step = header.size;
      }
      return seen;
    }
    if (std::memcmp(bytes, "INDX", 4) == 0) {
      IndexBlock block;
      const Recognised seen = RecogniseIndexBlock(bytes, left, &block, &needed, scratch);
      if (seen == Recognised::Yes) {
        findings.indexes.push_back({position, block.vcn, block.owner});
        *step = block.size;
      }
      return seen;
    }
    if (bytes[ntfs::BootOemId] == 'N' && left >= ntfs::BootSectorSize) {
      NtfsGeometry geometry;
      if (RecogniseBootSector(bytes, position, &geometry)) findings.boots.push_back(geometry);
    }
    return Recognised::No;
  }

 private:
  void AddRecord(const std::uint8_t* bytes, const RecordHeader& header, std::uint64_t position) {
    FoundRecord record{};
    record.position = position;
    record.number = header.number;
    record.sequence = header.sequence;
    record.sizeLog2 = Log2(header.size);
    record.flags = static_cast<std::uint8_t>(
        ((header.flags & ntfs::RecordInUse) != 0 ? FoundRecord::InUse : 0) |
        ((header.flags & ntfs::RecordIsDirectory) != 0 ? FoundRecord::Directory : 0) |
        (header.hasNumber ? FoundRecord::HasNumber : 0) | (header.baseReference != 0 ? FoundRecord::Extension : 0) |
        (header.kind == RecordKind::Bad ? FoundRecord::Bad : 0));
    const auto index = static_cast<std::uint32_t>(findings.records.size());
    if (header.kind == RecordKind::File) {
      std::memcpy(scratch, bytes, header.size);
      ApplyStrides(scratch, header.size);
      RecordHints hints;
      ReadRecordHints(scratch, header.size, &hints);
      record.clusterLog2 = hints.clusterLog2;
      if ((record.flags & FoundRecord::Directory) != 0 && hints.hasIndexRun) {
        findings.folders.push_back({index, hints.indexBlockSize, hints.indexLcn, hints.indexClusters});
      }
      // Records 0 and 1 and $MFT's extension records map an $MFT and its
      // mirror; record 6 sizes the volume.
      const bool extendsMft = header.baseReference != 0 && (header.baseReference & ntfs::RecordNumberMask) == 0;
      const bool mapping = header.hasNumber && (header.number == ntfs::MftRecord ||
                                                header.number == ntfs::MftMirrorRecord ||
                                                header.number == ntfs::BitmapRecord);
      if (mapping || extendsMft) Keep(index, bytes, header.size);
    }
    findings.records.push_back(record);
  }

  // Kept as the disk holds it: it is parsed later as any record is.
  void Keep(std::uint32_t record, const std::uint8_t* bytes, std::uint32_t size) {
    if (findings.keptBytes.size() + size > MaxKeptBytes) {
      findings.keptAll = false;
      return;
    }
    findings.kept.push_back({record, static_cast<std::uint32_t>(findings.keptBytes.size())});
    findings.keptBytes.insert(findings.keptBytes.end(), bytes, bytes + size);
  }

  DeepFindings& findings;
  std::uint8_t* scratch;  // ntfs::MaxRecordSize bytes
};

std::uint32_t Seconds(std::chrono::steady_clock::duration elapsed) {
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
}

}  // namespace

void DeepFindings::Clear() {
  records.clear();
  indexes.clear();
  folders.clear();
  boots.clear();
  kept.clear();
  keptBytes.clear();
  keptAll = true;
  bytesRead = unreadableBytes = 0;
}

DWORD FindSignatures(DiskReader& disk, const DiskRange& range, const std::atomic<bool>& stopRequested,
                     DeepScanSink& sink, DeepFindings* findings, std::uint32_t chunkBytes) {
  findings->Clear();
  if (range.offset % Step != 0 || chunkBytes % Step != 0 || chunkBytes < MinChunkBytes || chunkBytes > MaxChunkBytes) {
    return code::InvalidParameter;
  }
  // Room before each read for the bytes of the last that a structure
  // starting there still needs.
  const std::uint32_t carryRoom = ntfs::MaxRecordSize;
  ByteBuffer buffer = AllocateZeroed(std::size_t{carryRoom} + chunkBytes);
  ByteBuffer scratch = AllocateZeroed(ntfs::MaxRecordSize);
  if (!buffer || !scratch) return code::NotEnoughMemory;
  CVolumeReads reads;
  reads.Attach(&disk);
  ReadLoss loss;
  Pass pass(*findings, scratch.get());
  const std::uint64_t end = range.offset + std::min(range.bytes, UINT64_MAX - range.offset);
  const auto started = std::chrono::steady_clock::now();
  auto lastReport = started;
  DeepScanProgress progress;
  progress.bytesTotal = end - range.offset;
  auto report = [&](std::chrono::steady_clock::time_point now) {
    progress.bytesDone = findings->bytesRead;
    progress.recordsFound = findings->records.size();
    progress.secondsElapsed = Seconds(now - started);
    const double done = static_cast<double>(progress.bytesDone), total = static_cast<double>(progress.bytesTotal);
    const auto elapsed = std::chrono::duration<double>(now - started).count();
    progress.secondsLeft =
        done > 0 && elapsed >= 1.0 ? static_cast<std::uint32_t>(std::min(elapsed * (total - done) / done, 4e9)) : UINT32_MAX;
    sink.Progress(progress);
    lastReport = now;
  };

  DWORD result = code::Success;
  std::uint64_t position = range.offset;  // of the next read
  std::uint32_t carried = 0;              // bytes before it, at the buffer's front, still to look at
  try {
    while (position < end) {
      if (stopRequested.load()) {
        result = code::Cancelled;
        break;
      }
      const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(chunkBytes, end - position));
      std::uint32_t got = 0;
      loss.Clear();
      result = reads.Read(position, buffer.get() + carried, want, &got, &loss);
      if (result != code::Success) break;
      findings->unreadableBytes += loss.Bytes();
      findings->bytesRead += got;
      const bool last = got < want || got >= end - position;
      const std::uint64_t base = position - carried;
      const std::uint32_t available = carried + got;
      std::uint32_t at = 0;
      while (at < available) {
        std::uint32_t step = Step;
        const Recognised seen = pass.Look(buffer.get() + at, available - at, base + at, &step);
        if (seen == Recognised::NeedMore && !last) break;
        at += step;
      }
      position += got;
      carried = at < available ? available - at : 0;
      if (carried != 0) std::memmove(buffer.get(), buffer.get() + at, carried);
      const auto now = std::chrono::steady_clock::now();
      if (now - lastReport >= ProgressEvery) report(now);
      if (got < want) break;  // the disk ends inside the range
    }
  } catch (const std::bad_alloc&) {
    result = code::NotEnoughMemory;
  }
  report(std::chrono::steady_clock::now());
  return result;
}
