// VHD: fixed (the disk, then the footer) and dynamic (a BAT of blocks, each
// a sector bitmap and the block's data). Differencing disks are refused.
#include <algorithm>
#include <cstring>
#include <new>

#include "disk/Checksums.h"
#include "disk/ContainerLayout.h"
#include "disk/Containers.h"
#include "disk/PageCache.h"
#include "util/ByteReader.h"

namespace {

constexpr std::uint32_t BatPageBytes = 4096;
constexpr unsigned BatPagesKept = 4;

// A footer or header checks when its cookie, its byte sum and its major
// version agree.
bool Checks(const std::uint8_t* bytes, std::size_t size, const char (&cookie)[8], std::size_t checksumAt,
            std::size_t versionAt, std::uint32_t major) {
  ByteReader reader(bytes, size);
  std::uint32_t stored = 0, version = 0;
  if (std::memcmp(bytes, cookie, sizeof cookie) != 0 || !reader.U32BE(checksumAt, &stored) ||
      !reader.U32BE(versionAt, &version) || version >> 16 != major) {
    return false;
  }
  std::uint8_t copy[vhd::HeaderSize];
  std::memcpy(copy, bytes, size);
  std::memset(copy + checksumAt, 0, 4);
  return ByteSumComplement(copy, size) == stored;
}

class VhdImage : public DiskImage {
 public:
  VhdImage(std::unique_ptr<ImageFile> file, std::uint64_t fileSize)
      : file(std::move(file)), fileSize(fileSize), batPages(BatPageBytes, BatPagesKept), bitmap(1, 1) {}

  ImageFormat Format() const override { return ImageFormat::Vhd; }
  DWORD Size(std::uint64_t* bytes) override {
    *bytes = diskSize;
    return code::Success;
  }

  DWORD Open(std::string* problem);
  DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered) override;

 private:
  DWORD OpenDynamic(std::uint64_t headerOffset, std::string* problem);
  DWORD BlockStart(std::uint64_t block, std::uint64_t* start, bool* present);
  DWORD ReadBlock(std::uint64_t block, std::uint32_t within, std::uint8_t* out, std::uint32_t count);

  std::unique_ptr<ImageFile> file;
  std::uint64_t fileSize;
  std::uint64_t diskSize = 0;
  bool fixed = false;
  // Dynamic disks: the BAT at [tableOffset, tableEnd), blocks from dataFrom
  // to dataEnd (the footer at the end).
  std::uint64_t tableOffset = 0, tableEnd = 0, dataFrom = 0, dataEnd = 0;
  std::uint32_t entries = 0;
  std::uint32_t blockSize = 0;
  std::uint32_t bitmapBytes = 0;  // a bit per sector, whole sectors of them
  PageCache batPages;
  PageCache bitmap;  // the last block's bitmap
};

DWORD VhdImage::Open(std::string* problem) {
  std::uint8_t footer[vhd::FooterSize];
  DWORD result = ReadExact(*file, fileSize - vhd::FooterSize, footer, sizeof footer);
  if (result != code::Success) return result;
  bool atEnd = Checks(footer, sizeof footer, vhd::FooterCookie, vhd::FooterChecksum, vhd::FooterVersion,
                      vhd::FooterMajorVersion);
  if (!atEnd) {
    // A dynamic disk's copy at the start stands in for a damaged footer.
    result = ReadExact(*file, 0, footer, sizeof footer);
    if (result != code::Success) return result;
    if (!Checks(footer, sizeof footer, vhd::FooterCookie, vhd::FooterChecksum, vhd::FooterVersion,
                vhd::FooterMajorVersion)) {
      *problem = "the VHD footer is damaged (its checksum or version does not check)";
      return code::DiskCorrupt;
    }
  }
  ByteReader reader(footer, sizeof footer);
  std::uint32_t type = 0;
  std::uint64_t dataOffset = 0;
  reader.U32BE(vhd::FooterDiskType, &type);
  reader.U64BE(vhd::FooterCurrentSize, &diskSize);
  reader.U64BE(vhd::FooterDataOffset, &dataOffset);
  if (type == vhd::DiskDifferencing) {
    *problem = "a differencing VHD: the rest of its disk is in its parent, which is not read";
    return code::NotSupported;
  }
  if (type == vhd::DiskFixed && atEnd) {
    fixed = true;
    if (diskSize > fileSize - vhd::FooterSize) {
      *problem = "the fixed VHD is shorter than the disk its footer gives";
      return code::DiskCorrupt;
    }
    return code::Success;
  }
  if (type != vhd::DiskDynamic) {
    *problem = atEnd ? "the VHD footer gives an unknown disk type " + std::to_string(type)
                     : "the VHD footer is damaged (its checksum or version does not check)";
    return code::DiskCorrupt;
  }
  return OpenDynamic(dataOffset, problem);
}

DWORD VhdImage::OpenDynamic(std::uint64_t headerOffset, std::string* problem) {
  std::uint8_t header[vhd::HeaderSize];
  // Both footers (at 0 and at the end) stay clear of everything else.
  if (headerOffset < vhd::FooterSize || headerOffset > fileSize - vhd::FooterSize ||
      fileSize - vhd::FooterSize - headerOffset < sizeof header) {
    *problem = "the VHD's dynamic header lies outside the file";
    return code::DiskCorrupt;
  }
  DWORD result = ReadExact(*file, headerOffset, header, sizeof header);
  if (result != code::Success) return result;
  if (!Checks(header, sizeof header, vhd::HeaderCookie, vhd::HeaderChecksum, vhd::HeaderVersion,
              vhd::HeaderMajorVersion)) {
    *problem = "the VHD's dynamic header is damaged (its cookie, checksum or version does not check)";
    return code::DiskCorrupt;
  }
  ByteReader reader(header, sizeof header);
  reader.U64BE(vhd::HeaderTableOffset, &tableOffset);
  reader.U32BE(vhd::HeaderMaxEntries, &entries);
  reader.U32BE(vhd::HeaderBlockSize, &blockSize);
  if (blockSize < vhd::MinBlockSize || blockSize > vhd::MaxBlockSize || (blockSize & (blockSize - 1)) != 0) {
    *problem = "the VHD's block size " + std::to_string(blockSize) + " is not a power of two from 4 KiB to 256 MiB";
    return code::DiskCorrupt;
  }
  if (diskSize / blockSize + (diskSize % blockSize != 0 ? 1 : 0) > entries) {
    *problem = "the VHD's block table has fewer entries than its disk has blocks";
    return code::DiskCorrupt;
  }
  const std::uint64_t tableBytes = std::uint64_t{entries} * vhd::BatEntrySize;
  dataEnd = fileSize - vhd::FooterSize;
  if (tableOffset < vhd::FooterSize || tableOffset > dataEnd || dataEnd - tableOffset < tableBytes) {
    *problem = "the VHD's block table lies outside the file";
    return code::DiskCorrupt;
  }
  tableEnd = tableOffset + tableBytes;
  dataFrom = std::max<std::uint64_t>(headerOffset + sizeof header, vhd::FooterSize);
  bitmapBytes = (blockSize / vhd::SectorSize / 8 + vhd::SectorSize - 1) / vhd::SectorSize * vhd::SectorSize;
  bitmap = PageCache(bitmapBytes, 1);
  return code::Success;
}

// The file offset of a block's bitmap, or !present for a block never written.
DWORD VhdImage::BlockStart(std::uint64_t block, std::uint64_t* start, bool* present) {
  if (block >= entries) return Fail(code::DiskCorrupt, "a block past the VHD's block table");
  const std::uint64_t page = block / (BatPageBytes / vhd::BatEntrySize);
  const std::uint8_t* bytes = nullptr;
  DWORD result = batPages.Get(
      page,
      [&](std::uint8_t* into) {
        const std::uint64_t from = tableOffset + page * BatPageBytes;
        const std::uint32_t take = static_cast<std::uint32_t>(std::min<std::uint64_t>(BatPageBytes, tableEnd - from));
        std::memset(into, 0xFF, BatPageBytes);
        return ReadExact(*file, from, into, take);
      },
      &bytes);
  if (result != code::Success) return Fail(result, "the VHD's block table cannot be read");
  std::uint32_t sector = 0;
  ByteReader(bytes, BatPageBytes).U32BE(block % (BatPageBytes / vhd::BatEntrySize) * vhd::BatEntrySize, &sector);
  *present = sector != vhd::UnusedBlock;
  if (!*present) return code::Success;
  *start = std::uint64_t{sector} * vhd::SectorSize;
  // A block lies between the headers and the footer, clear of the table.
  const std::uint64_t span = std::uint64_t{bitmapBytes} + blockSize;
  const bool inside = *start >= dataFrom && *start <= dataEnd && dataEnd - *start >= span;
  const bool clearOfTable = *start >= tableEnd || *start + span <= tableOffset;
  if (!inside || !clearOfTable) {
    return Fail(code::DiskCorrupt, "the VHD's block table entry " + std::to_string(block) +
                                       " points outside the blocks of the file");
  }
  return code::Success;
}

DWORD VhdImage::ReadBlock(std::uint64_t block, std::uint32_t within, std::uint8_t* out, std::uint32_t count) {
  std::uint64_t start = 0;
  bool present = false;
  DWORD result = BlockStart(block, &start, &present);
  if (result != code::Success) return result;
  if (!present) {
    std::memset(out, 0, count);
    return code::Success;
  }
  const std::uint8_t* bits = nullptr;
  result = bitmap.Get(block, [&](std::uint8_t* into) { return ReadExact(*file, start, into, bitmapBytes); }, &bits);
  if (result != code::Success) return Fail(result, "the sector bitmap of VHD block " + std::to_string(block) +
                                                       " cannot be read");
  // Runs of sectors in the file (bit set) and of sectors never written.
  auto inFile = [&](std::uint32_t sector) { return ((bits[sector / 8] >> (7 - sector % 8)) & 1) != 0; };
  for (std::uint32_t done = 0; done < count;) {
    const std::uint32_t at = within + done;
    const bool set = inFile(at / vhd::SectorSize);
    std::uint32_t runEnd = (at / vhd::SectorSize + 1) * vhd::SectorSize;
    while (runEnd < within + count && inFile(runEnd / vhd::SectorSize) == set) runEnd += vhd::SectorSize;
    const std::uint32_t take = std::min(runEnd, within + count) - at;
    if (set) {
      result = ReadExact(*file, start + bitmapBytes + at, out + done, take);
      if (result != code::Success) return Fail(result, "VHD block " + std::to_string(block) + " cannot be read");
    } else {
      std::memset(out + done, 0, take);
    }
    done += take;
  }
  return code::Success;
}

DWORD VhdImage::ReadAt(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered) {
  *delivered = 0;
  if (offset >= diskSize) return code::Success;
  const std::uint32_t wanted = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, diskSize - offset));
  auto* out = static_cast<std::uint8_t*>(destination);
  if (fixed) {
    const DWORD result = ReadExact(*file, offset, out, wanted);
    if (result != code::Success) return Fail(result, "the fixed VHD cannot be read");
    *delivered = wanted;
    return code::Success;
  }
  return ReadByBlocks(offset, wanted, blockSize, out, delivered,
                      [this](std::uint64_t block, std::uint32_t within, std::uint8_t* to, std::uint32_t take) {
                        return ReadBlock(block, within, to, take);
                      });
}

}  // namespace

DWORD OpenVhd(std::unique_ptr<ImageFile> file, std::unique_ptr<DiskImage>* image, std::string* problem) {
  std::uint64_t size = 0;
  DWORD result = file->Size(&size);
  if (result != code::Success) return result;
  if (size < vhd::FooterSize) {
    *problem = "the VHD is shorter than its footer";
    return code::DiskCorrupt;
  }
  std::unique_ptr<VhdImage> vhd(new (std::nothrow) VhdImage(std::move(file), size));
  if (!vhd) return code::NotEnoughMemory;
  result = vhd->Open(problem);
  if (result != code::Success) return result;
  *image = std::move(vhd);
  return code::Success;
}
