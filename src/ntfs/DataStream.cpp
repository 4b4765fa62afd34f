#include "ntfs/DataStream.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "ntfs/Lznt1.h"
#include "ntfs/NtfsLayout.h"
#include "ntfs/RunList.h"

DWORD ReadVolumeClusters(const VolumeGeometry& volume, std::uint64_t cluster, std::uint32_t skip,
                         std::uint8_t* destination, std::uint32_t* count, ReadLoss* loss) {
  const std::uint32_t wanted = *count;
  *count = 0;
  const std::uint32_t clusterSize = volume.clusterSize;
  if (volume.disk == nullptr || clusterSize == 0) return code::InvalidParameter;
  if (cluster > (UINT64_MAX - volume.partitionOffset) / clusterSize) return code::InvalidParameter;
  const std::uint64_t base = volume.partitionOffset + cluster * clusterSize;
  if (UINT64_MAX - base < std::uint64_t{skip} + wanted + clusterSize) return code::InvalidParameter;
  const std::uint32_t chunk = std::max(clusterSize, DataStream::MaxReadBytes / clusterSize * clusterSize);
  ByteBuffer bounce;  // for clusters only partly wanted
  ReadLoss lost;      // of one read
  ReadLoss* const salvage = loss != nullptr && volume.reads != nullptr ? &lost : nullptr;
  const auto read = [&](std::uint64_t at, std::uint8_t* into, std::uint32_t bytes, std::uint32_t* got) {
    lost.Clear();
    return volume.reads != nullptr ? volume.reads->Read(at, into, bytes, got, salvage)
                                   : volume.disk->ReadAt(at, into, bytes, got);
  };
  std::uint32_t delivered = 0;
  while (delivered < wanted) {
    const std::uint64_t position = base + skip + delivered;
    const std::uint32_t within = static_cast<std::uint32_t>((std::uint64_t{skip} + delivered) % clusterSize);
    const std::uint32_t remaining = wanted - delivered;
    std::uint32_t got = 0;
    if (within == 0 && remaining >= clusterSize) {
      const std::uint32_t take = std::min(remaining / clusterSize * clusterSize, chunk);
      const DWORD result = read(position, destination + delivered, take, &got);
      if (result != code::Success) return result;
      if (salvage != nullptr && !loss->Append(lost, 0, got, delivered)) return code::NotEnoughMemory;
    } else {
      if (!bounce) bounce = AllocateZeroed(clusterSize);
      if (!bounce) return code::NotEnoughMemory;
      std::uint32_t whole = 0;
      const DWORD result = read(position - within, bounce.get(), clusterSize, &whole);
      if (result != code::Success) return result;
      got = whole > within ? std::min(whole - within, remaining) : 0;
      std::memcpy(destination + delivered, bounce.get() + within, got);
      if (salvage != nullptr && !loss->Append(lost, within, got, delivered)) return code::NotEnoughMemory;
    }
    if (got == 0) return code::HandleEof;
    delivered += got;
    *count = delivered;
  }
  return code::Success;
}

void DataStream::Reset(const VolumeGeometry& geometry) {
  volume = geometry;
  runs.clear();
  readableRuns = 0;
  sizesSeen = false;
  realSize = allocatedSize = initializedSize = firstPieceClusters = declaredEnd = 0;
  flags = 0;
  unitClusters = 0;
  readable = claimed = fullSize = missingClusters = 0;
  incomplete = false;
  loadedUnit = UINT64_MAX;
}

DWORD DataStream::AddPiece(const ByteReader& attribute, RunListCheck check) {
  const bool strict = check == RunListCheck::Strict;
  std::uint8_t nonResident = 0;
  std::uint64_t firstVcn = 0, lastVcn = 0;
  std::uint16_t listOffset = 0;
  if (!attribute.U8(ntfs::AttrNonResident, &nonResident) || nonResident == 0 ||
      !attribute.U64(ntfs::AttrFirstVcn, &firstVcn) || !attribute.U64(ntfs::AttrLastVcn, &lastVcn) ||
      !attribute.U16(ntfs::AttrRunListOffset, &listOffset) || !attribute.Holds(0, ntfs::AttrNonResidentHeader)) {
    return code::InvalidParameter;
  }
  if (firstVcn == 0) {
    if (sizesSeen) return strict ? code::InvalidParameter : code::Success;  // a second first piece
    sizesSeen = true;
    attribute.U64(ntfs::AttrAllocatedSize, &allocatedSize);
    attribute.U64(ntfs::AttrRealSize, &realSize);
    if (!attribute.U64(ntfs::AttrInitializedSize, &initializedSize)) initializedSize = realSize;
    attribute.U16(ntfs::AttrFlags, &flags);
    std::uint8_t unit = 0;
    attribute.U8(ntfs::AttrCompressionUnit, &unit);
    // A unit of 2^0 clusters means the value is not compressed after all.
    unitClusters = (flags & ntfs::AttrFlagCompressed) != 0 && unit != 0 ? (unit < 31 ? 1u << unit : 0x80000000u) : 0;
    // An empty attribute has last VCN = first VCN - 1; VCNs never exceed 63 bits.
    const auto last = static_cast<std::int64_t>(lastVcn);
    firstPieceClusters = last < 0 ? 0 : static_cast<std::uint64_t>(last) + 1;
  }
  // Where the piece says its runs reach: clusters the runs leave out of
  // that are missing, not holes.
  if (static_cast<std::int64_t>(lastVcn) >= 0) declaredEnd = std::max(declaredEnd, lastVcn + 1);
  try {
    std::uint64_t vcn = firstVcn;
    RunListCursor cursor(attribute, listOffset);
    for (;;) {
      DataRun run;
      bool more = false;
      const DWORD result = cursor.Next(&run, &more);
      if (result != code::Success) return strict ? result : code::Success;
      if (!more) return code::Success;
      if (run.length == 0) continue;
      if (run.length > UINT64_MAX - vcn) return strict ? code::InvalidParameter : code::Success;
      runs.push_back({vcn, run.length, static_cast<std::uint64_t>(run.lcn), run.sparse});
      vcn += run.length;
    }
  } catch (const std::bad_alloc&) {
    return code::NotEnoughMemory;
  }
}

void DataStream::Finish(Pieces, Holes holes, std::uint64_t limit) {
  const bool endsAtHole = holes == Holes::EndValue;
  std::stable_sort(runs.begin(), runs.end(),
                   [](const StreamRun& a, const StreamRun& b) { return a.vcn < b.vcn; });
  // What can be read ends at the first gap, overlap or (for values never
  // sparse) hole; the runs after it still say where the rest lies.
  std::uint64_t covered = 0;
  readableRuns = 0;
  for (const StreamRun& run : runs) {
    if (run.vcn != covered || (endsAtHole && run.sparse)) break;
    covered += run.length;
    ++readableRuns;
  }
  if (endsAtHole) runs.resize(readableRuns);
  const std::uint32_t clusterSize = volume.clusterSize;
  const std::uint64_t capacity =
      allocatedSize != 0 ? allocatedSize : SaturatingMultiply(firstPieceClusters, clusterSize);
  fullSize = sizesSeen ? std::min(realSize, limit) : 0;
  claimed = std::min(fullSize, capacity);
  // A compressed value's run list may leave out the sparse tail of its
  // last unit, and no more: whatever else the runs do not reach is missing.
  if (unitClusters != 0 && clusterSize != 0 && readableRuns == runs.size()) {
    const std::uint64_t unitBytes = SaturatingMultiply(unitClusters, clusterSize);
    const std::uint64_t sized = SaturatingMultiply(claimed / unitBytes + (claimed % unitBytes != 0 ? 1 : 0), unitClusters);
    const std::uint64_t reach = std::max(declaredEnd, sized);
    const std::uint64_t end = reach % unitClusters == 0 || reach > UINT64_MAX - unitClusters
                                  ? reach
                                  : reach - reach % unitClusters + unitClusters;
    if (end > covered && end - covered <= unitClusters) {
      try {
        runs.push_back({covered, end - covered, 0, true});
        ++readableRuns;
        covered = end;
      } catch (const std::bad_alloc&) {
      }
    }
  }
  // Compressed data reads whole units or nothing.
  if (unitClusters != 0) covered = covered / unitClusters * unitClusters;
  readable = std::min(claimed, SaturatingMultiply(covered, clusterSize));
  initializedSize = std::min(initializedSize, realSize);
  // Pieces missing from an attribute list, or runs that stop short of what
  // their pieces or the size say.
  incomplete = readable < fullSize;
  // The clusters no run maps: what the missing pieces or runs held.
  missingClusters = 0;
  if (incomplete && clusterSize != 0) {
    std::uint64_t mapped = 0, reach = 0;
    const std::uint64_t claimedClusters = fullSize / clusterSize + (fullSize % clusterSize != 0 ? 1 : 0);
    for (const StreamRun& run : runs) {
      const std::uint64_t from = std::max(run.vcn, reach);
      const std::uint64_t to = std::min(run.vcn + run.length, claimedClusters);
      if (to > from) mapped += to - from;
      reach = std::max(reach, run.vcn + run.length);
    }
    missingClusters = claimedClusters > mapped ? claimedClusters - mapped : 0;
  }
  loadedUnit = UINT64_MAX;
}

std::uint64_t DataStream::DataClusters() const {
  if (volume.clusterSize == 0) return 0;
  const std::uint64_t step = unitClusters != 0 ? std::uint64_t{unitClusters} * volume.clusterSize : volume.clusterSize;
  const std::uint64_t steps = claimed / step + (claimed % step != 0 ? 1 : 0);
  return steps * (unitClusters != 0 ? unitClusters : 1);
}

bool DataStream::HoldsNoData() const {
  if (initializedSize == 0) return true;
  const std::uint64_t clusters = DataClusters();
  for (const StreamRun& run : runs) {
    if (run.vcn >= clusters) break;
    if (!run.sparse) return false;
  }
  return true;
}

bool DataStream::HasHoles() const {
  if (incomplete || initializedSize < realSize) return true;
  const std::uint64_t clusters = DataClusters();
  for (const StreamRun& run : runs) {
    if (run.vcn >= clusters) break;
    if (run.sparse) return true;
  }
  return false;
}

std::size_t DataStream::RunAt(std::uint64_t vcn) const {
  const auto end = runs.begin() + static_cast<std::ptrdiff_t>(readableRuns);
  auto after = std::upper_bound(runs.begin(), end, vcn,
                                [](std::uint64_t value, const StreamRun& run) { return value < run.vcn; });
  if (after == runs.begin()) return readableRuns;
  const std::size_t index = static_cast<std::size_t>(after - runs.begin()) - 1;
  return vcn - runs[index].vcn < runs[index].length ? index : readableRuns;
}

DWORD DataStream::Read(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer, Zeroed zeroed,
                       ReadLoss* loss) {
  if (count == 0) return code::Success;
  if (offset > readable || count > readable - offset) return code::InvalidParameter;
  // Past the initialised size nothing was written: the disk may hold
  // another file's old bytes there, so they read as zeros.
  const std::uint64_t written = std::min(initializedSize, readable);
  const std::uint32_t fromDisk =
      offset < written ? static_cast<std::uint32_t>(std::min<std::uint64_t>(count, written - offset)) : 0;
  if (zeroed == Zeroed::No) std::memset(buffer + fromDisk, 0, count - fromDisk);
  if (fromDisk == 0) return code::Success;
  return unitClusters != 0 ? ReadCompressed(offset, fromDisk, buffer, zeroed, loss)
                           : ReadPlain(offset, fromDisk, buffer, zeroed, loss);
}

DWORD DataStream::ReadPlain(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer, Zeroed zeroed,
                            ReadLoss* loss) {
  const std::uint32_t clusterSize = volume.clusterSize;
  std::uint32_t done = 0;
  std::size_t index = RunAt(offset / clusterSize);
  while (done < count) {
    if (index >= readableRuns) return code::InvalidParameter;
    const StreamRun& run = runs[index++];
    const std::uint64_t position = offset + done;
    const std::uint64_t vcn = position / clusterSize;
    const std::uint64_t runEnd = SaturatingMultiply(run.vcn + run.length, clusterSize);
    std::uint32_t take = static_cast<std::uint32_t>(std::min<std::uint64_t>(runEnd - position, count - done));
    if (run.sparse) {
      if (zeroed == Zeroed::No) std::memset(buffer + done, 0, take);
    } else {
      const std::uint64_t into = vcn - run.vcn;
      if (into > UINT64_MAX - run.lcn) return code::InvalidParameter;
      ReadLoss lost;
      const DWORD result = ReadVolumeClusters(volume, run.lcn + into, static_cast<std::uint32_t>(position % clusterSize),
                                              buffer + done, &take, loss != nullptr ? &lost : nullptr);
      if (result != code::Success) return result;
      if (loss != nullptr && !loss->Append(lost, 0, take, done)) return code::NotEnoughMemory;
    }
    done += take;
  }
  return code::Success;
}

DWORD DataStream::ReadCompressed(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer, Zeroed zeroed,
                                 ReadLoss* loss) {
  const std::uint64_t unitSize = std::uint64_t{unitClusters} * volume.clusterSize;
  if (unitSize > ntfs::MaxCompressionUnitBytes) return code::FileCorrupt;
  std::uint32_t done = 0;
  while (done < count) {
    const std::uint64_t position = offset + done;
    const DWORD result = LoadUnit(position / unitSize, loss != nullptr);
    if (result != code::Success) return result;
    const std::uint64_t within = position % unitSize;
    const auto take = static_cast<std::uint32_t>(std::min<std::uint64_t>(unitSize - within, count - done));
    // A unit salvaged for an earlier read fails a read that takes no loss.
    if (!unitLoss.Empty() && loss == nullptr) return unitLoss.Code();
    if (!unitLoss.Empty() && !loss->Append(unitLoss, within, take, done)) return code::NotEnoughMemory;
    if (zeroed == Zeroed::No || !loadedZeros) std::memcpy(buffer + done, unitBytes.get() + within, take);
    done += take;
  }
  return code::Success;
}

DWORD DataStream::LoadUnit(std::uint64_t unit, bool salvage) {
  if (unit == loadedUnit) return code::Success;
  const std::uint32_t clusterSize = volume.clusterSize;
  const auto unitSize = static_cast<std::uint32_t>(unitClusters * clusterSize);
  if (!unitBytes) unitBytes = AllocateZeroed(unitSize);
  if (!packedBytes) packedBytes = AllocateZeroed(unitSize);
  if (!unitBytes || !packedBytes) return code::NotEnoughMemory;
  loadedUnit = UINT64_MAX;
  loadedZeros = false;
  unitLoss.Clear();
  // The unit's mapped clusters, in VCN order: all of them is a raw unit,
  // none is zeros, anything between holds LZNT1 data.
  const std::uint64_t first = unit * unitClusters;
  std::uint32_t mapped = 0;
  for (std::uint64_t vcn = first; vcn < first + unitClusters;) {
    const std::size_t index = RunAt(vcn);
    if (index >= readableRuns) return code::FileCorrupt;  // Size() keeps reads inside whole units
    const StreamRun& run = runs[index];
    const std::uint64_t into = vcn - run.vcn;
    auto take = static_cast<std::uint32_t>(std::min<std::uint64_t>(run.length - into, first + unitClusters - vcn));
    if (!run.sparse) {
      if (into > UINT64_MAX - run.lcn) return code::InvalidParameter;
      std::uint32_t bytes = take * clusterSize;
      ReadLoss lost;
      const DWORD result = ReadVolumeClusters(volume, run.lcn + into, 0,
                                              packedBytes.get() + std::size_t{mapped} * clusterSize, &bytes,
                                              salvage ? &lost : nullptr);
      if (result != code::Success) return result;
      if (!unitLoss.Append(lost, 0, bytes, std::uint64_t{mapped} * clusterSize)) return code::NotEnoughMemory;
      mapped += take;
    }
    vcn += take;
  }
  if (mapped == unitClusters) {
    // Stored raw: what was lost lies where it was read.
    std::memcpy(unitBytes.get(), packedBytes.get(), unitSize);
  } else if (!unitLoss.Empty()) {
    // Compressed data with a hole in it decodes to nothing that can be trusted.
    const DWORD why = unitLoss.Code();
    unitLoss.Clear();
    if (!unitLoss.Add(0, unitSize, why)) return code::NotEnoughMemory;
    std::memset(unitBytes.get(), 0, unitSize);
  } else if (mapped == 0) {
    std::memset(unitBytes.get(), 0, unitSize);
    loadedZeros = true;
  } else {
    std::size_t produced = 0;
    const DWORD result = lznt1::Decompress(packedBytes.get(), std::size_t{mapped} * clusterSize, unitBytes.get(),
                                           unitSize, &produced);
    if (result != code::Success) return result;
    std::memset(unitBytes.get() + produced, 0, unitSize - produced);
  }
  loadedUnit = unit;
  return code::Success;
}
