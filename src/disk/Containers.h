// The readers behind OpenDiskImage, one per container. Each checks what it
// reads before it uses it; on failure `problem` says what is wrong.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "disk/DiskImage.h"
#include "disk/ImageFile.h"

// The bytes of `file` as they are; `format` is Raw or SplitRaw.
DWORD OpenRaw(std::unique_ptr<ImageFile> file, ImageFormat format, std::unique_ptr<DiskImage>* image);

// Whether `path` names a numbered piece (ends in ".NNN"): its number.
bool PieceNumber(const std::string& path, unsigned* number);
// The numbered pieces `path` belongs to, from NAME.001 to the first number
// missing, joined into one file.
DWORD OpenPieces(ImageFiles& files, const std::string& path, std::unique_ptr<ImageFile>* joined,
                 std::string* problem);

// A VHD (footer at the end, or its copy at 0 in a dynamic disk).
DWORD OpenVhd(std::unique_ptr<ImageFile> file, std::unique_ptr<DiskImage>* image, std::string* problem);

// A VHDX, fixed or dynamic, cleanly closed.
DWORD OpenVhdx(std::unique_ptr<ImageFile> file, std::unique_ptr<DiskImage>* image, std::string* problem);

// The EWF segments `path` belongs to (NAME.E01, NAME.E02, ...).
DWORD OpenEwf(ImageFiles& files, const std::string& path, std::unique_ptr<DiskImage>* image, std::string* problem);

// A read of `wanted` bytes at `offset` split at the image's block boundaries:
// `readBlock(block, within, out, take)` reads each part (a block-mapped
// container's blocks are anywhere in its file, or nowhere).
template <typename ReadBlock>
DWORD ReadByBlocks(std::uint64_t offset, std::uint32_t wanted, std::uint32_t blockSize, std::uint8_t* out,
                   std::uint32_t* delivered, ReadBlock readBlock) {
  while (*delivered < wanted) {
    const std::uint64_t at = offset + *delivered;
    const std::uint32_t within = static_cast<std::uint32_t>(at % blockSize);
    const std::uint32_t take = std::min(wanted - *delivered, blockSize - within);
    const DWORD result = readBlock(at / blockSize, within, out + *delivered, take);
    if (result != code::Success) return result;
    *delivered += take;
  }
  return code::Success;
}
