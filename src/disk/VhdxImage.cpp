// VHDX, fixed and dynamic: the current header (two, chosen by sequence
// number, each checked by CRC-32C), the region table, the metadata items,
// and the BAT read a page at a time. Differencing disks and files whose log
// still holds writes are refused.
#include <algorithm>
#include <cstring>
#include <new>

#include "disk/Checksums.h"
#include "disk/ContainerLayout.h"
#include "disk/Containers.h"
#include "disk/PageCache.h"
#include "util/ByteBuffer.h"
#include "util/ByteReader.h"

namespace {

constexpr std::uint32_t BatPageBytes = 4096;
constexpr unsigned BatPagesKept = 4;
constexpr std::uint32_t BitmapPageBytes = 4096;
constexpr unsigned BitmapPagesKept = 2;

// A structure whose CRC-32C, taken with its checksum field as zeros, is the
// one stored in that field.
bool CrcChecks(std::uint8_t* bytes, std::size_t size, std::size_t checksumAt) {
  std::uint32_t stored = 0;
  if (!ByteReader(bytes, size).U32(checksumAt, &stored)) return false;
  std::uint8_t saved[4];
  std::memcpy(saved, bytes + checksumAt, 4);
  std::memset(bytes + checksumAt, 0, 4);
  const bool checks = Crc32c(bytes, size) == stored;
  std::memcpy(bytes + checksumAt, saved, 4);
  return checks;
}

bool SameGuid(const std::uint8_t* bytes, const vhdx::Guid& guid) { return std::memcmp(bytes, guid, 16) == 0; }

// A region or item at [offset, offset + length) inside [0, limit).
bool Inside(std::uint64_t offset, std::uint64_t length, std::uint64_t limit) {
  return offset <= limit && length <= limit - offset;
}

bool Overlap(std::uint64_t a, std::uint64_t aLength, std::uint64_t b, std::uint64_t bLength) {
  return a < b + bLength && b < a + aLength;
}

class VhdxImage : public DiskImage {
 public:
  VhdxImage(std::unique_ptr<ImageFile> file, std::uint64_t fileSize)
      : file(std::move(file)),
        fileSize(fileSize),
        batPages(BatPageBytes, BatPagesKept),
        bitmapPages(BitmapPageBytes, BitmapPagesKept) {}

  ImageFormat Format() const override { return ImageFormat::Vhdx; }
  DWORD Size(std::uint64_t* bytes) override {
    *bytes = diskSize;
    return code::Success;
  }
  std::uint32_t LogicalSectorSize() override { return sectorBytes; }

  DWORD Open(std::string* problem);
  DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered) override;

 private:
  DWORD ChooseHeader(std::string* problem);
  DWORD ReadRegions(std::string* problem);
  DWORD ReadMetadata(std::string* problem);
  DWORD Entry(std::uint64_t index, std::uint64_t* entry);
  DWORD BlockOffset(std::uint64_t block, std::uint64_t entry, std::uint64_t end, std::uint64_t* offset);
  DWORD SectorInFile(std::uint64_t bitmapOffset, std::uint64_t sector, bool* inFile);
  DWORD ReadBlock(std::uint64_t block, std::uint32_t within, std::uint8_t* out, std::uint32_t count);

  std::unique_ptr<ImageFile> file;
  std::uint64_t fileSize;
  std::uint64_t diskSize = 0;
  std::uint32_t blockSize = 0;
  std::uint32_t sectorBytes = 0;  // logical sector size
  std::uint64_t chunkRatio = 0;   // payload blocks per sector bitmap block
  std::uint64_t batOffset = 0, batLength = 0;
  std::uint64_t metaOffset = 0, metaLength = 0;
  PageCache batPages;
  PageCache bitmapPages;
};

DWORD VhdxImage::ChooseHeader(std::string* problem) {
  std::uint8_t headers[2][vhdx::HeaderSize];
  int current = -1;
  std::uint64_t best = 0;
  for (int i = 0; i < 2; ++i) {
    const DWORD result = ReadExact(*file, vhdx::HeaderOffsets[i], headers[i], vhdx::HeaderSize);
    if (result != code::Success) return result;
    ByteReader reader(headers[i], vhdx::HeaderSize);
    std::uint32_t signature = 0;
    std::uint64_t sequence = 0;
    reader.U32(vhdx::HeaderSignatureAt, &signature);
    reader.U64(vhdx::HeaderSequence, &sequence);
    if (signature != vhdx::HeaderSignature || !CrcChecks(headers[i], vhdx::HeaderSize, vhdx::HeaderChecksum)) continue;
    if (current < 0 || sequence > best) {
      current = i;
      best = sequence;
    }
  }
  if (current < 0) {
    *problem = "both VHDX headers are damaged (neither checksum checks)";
    return code::DiskCorrupt;
  }
  ByteReader reader(headers[current], vhdx::HeaderSize);
  std::uint16_t version = 0;
  reader.U16(vhdx::HeaderVersion, &version);
  if (version != vhdx::Version) {
    *problem = "a VHDX of version " + std::to_string(version) + ", not 1";
    return code::NotSupported;
  }
  static const std::uint8_t noLog[16] = {};
  if (std::memcmp(headers[current] + vhdx::HeaderLogGuid, noLog, sizeof noLog) != 0) {
    *problem = "the VHDX was not closed cleanly: its log holds writes not yet applied "
               "(attach it once in Windows or Hyper-V, which replays them)";
    return code::NotSupported;
  }
  return code::Success;
}

DWORD VhdxImage::ReadRegions(std::string* problem) {
  ByteBuffer table = AllocateZeroed(vhdx::RegionTableSize);
  if (!table) return code::NotEnoughMemory;
  ByteReader reader(table.get(), vhdx::RegionTableSize);
  bool valid = false;
  std::uint32_t count = 0;
  for (std::uint64_t at : vhdx::RegionTableOffsets) {
    const DWORD result = ReadExact(*file, at, table.get(), vhdx::RegionTableSize);
    if (result != code::Success) return result;
    std::uint32_t signature = 0;
    reader.U32(vhdx::RegionSignatureAt, &signature);
    reader.U32(vhdx::RegionEntryCount, &count);
    if (signature == vhdx::RegionSignature && count <= vhdx::MaxRegionEntries &&
        CrcChecks(table.get(), vhdx::RegionTableSize, vhdx::RegionChecksum)) {
      valid = true;
      break;
    }
  }
  if (!valid) {
    *problem = "both VHDX region tables are damaged (neither checksum checks)";
    return code::DiskCorrupt;
  }
  bool haveBat = false, haveMeta = false;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t entry = vhdx::RegionEntries + std::size_t{i} * vhdx::RegionEntrySize;
    std::uint64_t offset = 0;
    std::uint32_t length = 0, flags = 0;
    reader.U64(entry + vhdx::RegionFileOffset, &offset);
    reader.U32(entry + vhdx::RegionLength, &length);
    reader.U32(entry + vhdx::RegionFlags, &flags);
    const std::uint8_t* guid = table.get() + entry + vhdx::RegionGuid;
    const bool bat = SameGuid(guid, vhdx::BatRegion), meta = SameGuid(guid, vhdx::MetadataRegion);
    if (!bat && !meta) {
      if ((flags & vhdx::Required) == 0) continue;
      *problem = "the VHDX needs a kind of region this program does not know";
      return code::NotSupported;
    }
    if ((bat && haveBat) || (meta && haveMeta) || offset < vhdx::HeaderAreaSize || length == 0 ||
        !Inside(offset, length, fileSize)) {
      *problem = std::string("the VHDX's ") + (bat ? "BAT" : "metadata") + " region lies outside the file";
      return code::DiskCorrupt;
    }
    (bat ? batOffset : metaOffset) = offset;
    (bat ? batLength : metaLength) = length;
    (bat ? haveBat : haveMeta) = true;
  }
  if (!haveBat || !haveMeta) {
    *problem = "the VHDX's region table has no BAT or no metadata region";
    return code::DiskCorrupt;
  }
  if (Overlap(batOffset, batLength, metaOffset, metaLength)) {
    *problem = "the VHDX's BAT and metadata regions overlap";
    return code::DiskCorrupt;
  }
  return code::Success;
}

DWORD VhdxImage::ReadMetadata(std::string* problem) {
  if (metaLength < vhdx::MetadataTableSize) {
    *problem = "the VHDX's metadata region is smaller than its table";
    return code::DiskCorrupt;
  }
  ByteBuffer table = AllocateZeroed(vhdx::MetadataTableSize);
  if (!table) return code::NotEnoughMemory;
  DWORD result = ReadExact(*file, metaOffset, table.get(), vhdx::MetadataTableSize);
  if (result != code::Success) return result;
  ByteReader reader(table.get(), vhdx::MetadataTableSize);
  std::uint16_t count = 0;
  reader.U16(vhdx::MetadataEntryCount, &count);
  if (std::memcmp(table.get(), vhdx::MetadataSignature, sizeof vhdx::MetadataSignature) != 0 ||
      count > vhdx::MaxMetadataEntries) {
    *problem = "the VHDX's metadata table is damaged";
    return code::DiskCorrupt;
  }
  std::uint8_t params[vhdx::ParamsSize] = {}, size[8] = {}, sector[4] = {};
  bool haveParams = false, haveSize = false, haveSector = false;
  for (std::uint16_t i = 0; i < count; ++i) {
    const std::size_t entry = vhdx::MetadataEntries + std::size_t{i} * vhdx::MetadataEntrySize;
    std::uint32_t offset = 0, length = 0, flags = 0;
    reader.U32(entry + vhdx::MetadataOffset, &offset);
    reader.U32(entry + vhdx::MetadataLength, &length);
    reader.U32(entry + vhdx::MetadataFlags, &flags);
    const std::uint8_t* id = table.get() + entry + vhdx::MetadataItemId;
    if (SameGuid(id, vhdx::ParentLocator)) {
      *problem = "a differencing VHDX: the rest of its disk is in its parent, which is not read";
      return code::NotSupported;
    }
    std::uint8_t* value = nullptr;
    std::uint32_t wanted = 0;
    bool* have = nullptr;
    if (SameGuid(id, vhdx::FileParameters)) {
      value = params, wanted = sizeof params, have = &haveParams;
    } else if (SameGuid(id, vhdx::VirtualDiskSize)) {
      value = size, wanted = sizeof size, have = &haveSize;
    } else if (SameGuid(id, vhdx::LogicalSectorSize)) {
      value = sector, wanted = sizeof sector, have = &haveSector;
    } else if (!SameGuid(id, vhdx::PhysicalSectorSize) && !SameGuid(id, vhdx::Page83Data) &&
               (flags & vhdx::MetadataRequired) != 0) {
      *problem = "the VHDX needs a kind of metadata this program does not know";
      return code::NotSupported;
    }
    if (value == nullptr) continue;
    if (offset < vhdx::MetadataTableSize || length < wanted || !Inside(offset, length, metaLength)) {
      *problem = "a VHDX metadata item lies outside its region";
      return code::DiskCorrupt;
    }
    result = ReadExact(*file, metaOffset + offset, value, wanted);
    if (result != code::Success) return result;
    *have = true;
  }
  if (!haveParams || !haveSize || !haveSector) {
    *problem = "the VHDX's metadata lacks its block size, disk size or sector size";
    return code::DiskCorrupt;
  }
  std::uint32_t flags = 0;
  ByteReader(params, sizeof params).U32(vhdx::ParamBlockSize, &blockSize);
  ByteReader(params, sizeof params).U32(vhdx::ParamFlags, &flags);
  ByteReader(size, sizeof size).U64(0, &diskSize);
  ByteReader(sector, sizeof sector).U32(0, &sectorBytes);
  if ((flags & vhdx::HasParent) != 0) {
    *problem = "a differencing VHDX: the rest of its disk is in its parent, which is not read";
    return code::NotSupported;
  }
  if (blockSize < vhdx::MinBlockSize || blockSize > vhdx::MaxBlockSize || (blockSize & (blockSize - 1)) != 0 ||
      (sectorBytes != 512 && sectorBytes != 4096) || diskSize > vhdx::MaxDiskSize || diskSize % sectorBytes != 0) {
    *problem = "the VHDX's block size, sector size or disk size cannot be";
    return code::DiskCorrupt;
  }
  return code::Success;
}

DWORD VhdxImage::Open(std::string* problem) {
  if (fileSize < vhdx::HeaderAreaSize) {
    *problem = "the VHDX is shorter than its header area";
    return code::DiskCorrupt;
  }
  DWORD result = ChooseHeader(problem);
  if (result == code::Success) result = ReadRegions(problem);
  if (result == code::Success) result = ReadMetadata(problem);
  if (result != code::Success) return result;
  chunkRatio = vhdx::SectorsPerBitmap * sectorBytes / blockSize;
  const std::uint64_t blocks = diskSize / blockSize + (diskSize % blockSize != 0 ? 1 : 0);
  const std::uint64_t entries = blocks == 0 ? 0 : blocks + (blocks - 1) / chunkRatio;
  if (batLength / vhdx::BatEntrySize < entries) {
    *problem = "the VHDX's BAT region is too small for its disk";
    return code::DiskCorrupt;
  }
  return code::Success;
}

DWORD VhdxImage::Entry(std::uint64_t index, std::uint64_t* entry) {
  if (index >= batLength / vhdx::BatEntrySize) return Fail(code::DiskCorrupt, "an entry past the VHDX's BAT");
  const std::uint64_t page = index / (BatPageBytes / vhdx::BatEntrySize);
  const std::uint8_t* bytes = nullptr;
  const DWORD result = batPages.Get(
      page,
      [&](std::uint8_t* into) {
        const std::uint64_t from = page * BatPageBytes;
        const std::uint32_t take = static_cast<std::uint32_t>(std::min<std::uint64_t>(BatPageBytes, batLength - from));
        std::memset(into, 0, BatPageBytes);
        return ReadExact(*file, batOffset + from, into, take);
      },
      &bytes);
  if (result != code::Success) return Fail(result, "the VHDX's BAT cannot be read");
  ByteReader(bytes, BatPageBytes).U64(index % (BatPageBytes / vhdx::BatEntrySize) * vhdx::BatEntrySize, entry);
  return code::Success;
}

// The file offset of a present block, whose bytes up to `end` must lie in
// the file, clear of the header area and the regions.
DWORD VhdxImage::BlockOffset(std::uint64_t block, std::uint64_t entry, std::uint64_t end, std::uint64_t* offset) {
  *offset = (entry >> vhdx::OffsetShift) * vhdx::MiB;
  if (*offset < vhdx::HeaderAreaSize || !Inside(*offset, end, fileSize) ||
      Overlap(*offset, blockSize, batOffset, batLength) || Overlap(*offset, blockSize, metaOffset, metaLength)) {
    return Fail(code::DiskCorrupt,
                "the VHDX's BAT entry for block " + std::to_string(block) + " points outside the blocks of the file");
  }
  return code::Success;
}

// Whether logical sector `sector` of its chunk is in the file, from the
// sector bitmap block at `bitmapOffset`: bit 0 of byte 0 is the chunk's first.
DWORD VhdxImage::SectorInFile(std::uint64_t bitmapOffset, std::uint64_t sector, bool* inFile) {
  const std::uint64_t page = bitmapOffset + sector / 8 / BitmapPageBytes * BitmapPageBytes;
  const std::uint8_t* bytes = nullptr;
  const DWORD result = bitmapPages.Get(
      page, [&](std::uint8_t* into) { return ReadExact(*file, page, into, BitmapPageBytes); }, &bytes);
  if (result != code::Success) return Fail(result, "a VHDX sector bitmap cannot be read");
  *inFile = ((bytes[sector / 8 % BitmapPageBytes] >> (sector % 8)) & 1) != 0;
  return code::Success;
}

DWORD VhdxImage::ReadBlock(std::uint64_t block, std::uint32_t within, std::uint8_t* out, std::uint32_t count) {
  std::uint64_t entry = 0;
  DWORD result = Entry(block + block / chunkRatio, &entry);
  if (result != code::Success) return result;
  const std::uint64_t state = entry & vhdx::StateMask;
  if (state == vhdx::BlockNotPresent || state == vhdx::BlockUndefined || state == vhdx::BlockZero ||
      state == vhdx::BlockUnmapped) {
    std::memset(out, 0, count);
    return code::Success;
  }
  if (state != vhdx::BlockFullyPresent && state != vhdx::BlockPartiallyPresent) {
    return Fail(code::DiskCorrupt, "the VHDX's BAT gives block " + std::to_string(block) + " an unknown state");
  }
  std::uint64_t offset = 0;
  result = BlockOffset(block, entry, std::uint64_t{within} + count, &offset);
  if (result != code::Success) return result;
  if (state == vhdx::BlockFullyPresent) {
    result = ReadExact(*file, offset + within, out, count);
    return result == code::Success ? result : Fail(result, "VHDX block " + std::to_string(block) + " cannot be read");
  }
  // Partly present: the chunk's sector bitmap says which sectors are here.
  std::uint64_t bitmapEntry = 0;
  result = Entry(block / chunkRatio * (chunkRatio + 1) + chunkRatio, &bitmapEntry);
  if (result != code::Success) return result;
  const std::uint64_t bitmapOffset = (bitmapEntry >> vhdx::OffsetShift) * vhdx::MiB;
  if ((bitmapEntry & vhdx::StateMask) != vhdx::BitmapPresent || bitmapOffset < vhdx::HeaderAreaSize ||
      !Inside(bitmapOffset, vhdx::BitmapBlockSize, fileSize)) {
    return Fail(code::DiskCorrupt, "the sector bitmap of VHDX block " + std::to_string(block) + " is missing");
  }
  const std::uint64_t firstSector = block % chunkRatio * (blockSize / sectorBytes);
  for (std::uint32_t done = 0; done < count;) {
    const std::uint32_t at = within + done;
    bool set = false, next = false;
    result = SectorInFile(bitmapOffset, firstSector + at / sectorBytes, &set);
    if (result != code::Success) return result;
    std::uint32_t runEnd = (at / sectorBytes + 1) * sectorBytes;
    while (runEnd < within + count) {
      result = SectorInFile(bitmapOffset, firstSector + runEnd / sectorBytes, &next);
      if (result != code::Success) return result;
      if (next != set) break;
      runEnd += sectorBytes;
    }
    const std::uint32_t take = std::min(runEnd, within + count) - at;
    if (set) {
      result = ReadExact(*file, offset + at, out + done, take);
      if (result != code::Success) return Fail(result, "VHDX block " + std::to_string(block) + " cannot be read");
    } else {
      std::memset(out + done, 0, take);
    }
    done += take;
  }
  return code::Success;
}

DWORD VhdxImage::ReadAt(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered) {
  *delivered = 0;
  if (offset >= diskSize) return code::Success;
  const std::uint32_t wanted = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, diskSize - offset));
  auto* out = static_cast<std::uint8_t*>(destination);
  return ReadByBlocks(offset, wanted, blockSize, out, delivered,
                      [this](std::uint64_t block, std::uint32_t within, std::uint8_t* to, std::uint32_t take) {
                        return ReadBlock(block, within, to, take);
                      });
}

}  // namespace

DWORD OpenVhdx(std::unique_ptr<ImageFile> file, std::unique_ptr<DiskImage>* image, std::string* problem) {
  std::uint64_t size = 0;
  DWORD result = file->Size(&size);
  if (result != code::Success) return result;
  std::unique_ptr<VhdxImage> vhdx(new (std::nothrow) VhdxImage(std::move(file), size));
  if (!vhdx) return code::NotEnoughMemory;
  result = vhdx->Open(problem);
  if (result != code::Success) return result;
  *image = std::move(vhdx);
  return code::Success;
}
