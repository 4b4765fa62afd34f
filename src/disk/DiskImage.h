// A disk read from an image file, whatever holds it: raw (any name), numbered
// raw pieces (NAME.001, NAME.002, ...), VHD (fixed, dynamic), VHDX (fixed,
// dynamic) and EWF (E01 segments). The one entry point for the command line
// and the window. Images are opened read-only and never written.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "disk/ImageFile.h"
#include "platform/Disk.h"
#include "platform/Types.h"

enum class ImageFormat { Raw, SplitRaw, Vhd, Vhdx, Ewf };

// "raw", "numbered raw pieces", "VHD", "VHDX", "EWF".
const char* FormatName(ImageFormat format);

// The virtual disk of an image. Reads follow DiskReader::ReadAt: short at
// the disk's end, nothing past it. Containers keep bounded caches (a few
// table pages, a sector bitmap, one decompressed chunk), so that reading a
// disk in order decodes each piece once; like DiskDevice, one thread at a
// time.
class DiskImage : public DiskReader {
 public:
  virtual ImageFormat Format() const = 0;
  // Bytes of the virtual disk.
  virtual DWORD Size(std::uint64_t* bytes) = 0;
  // The container's logical sector size (VHDX, EWF); 0 when it does not
  // say one, and the disk's own for a device.
  std::uint32_t LogicalSectorSize() override { return 0; }
  // The MD5 of the disk the image stores (EWF's hash or digest section).
  virtual bool StoredMd5(std::uint8_t /*digest*/[16]) const { return false; }
  // What the last failed read found wrong, in words; empty when it was the
  // system's failure or nothing failed.
  const std::string& Problem() const { return problem; }

 protected:
  DWORD Fail(DWORD error, const std::string& what);
  std::string problem;
};

// Opens `path`: the format by content (a VHDX or EWF signature at the
// start, a VHD footer at the end), numbered raw pieces by name (any piece
// of a set reaches the whole set, from NAME.001 to the first number
// missing), anything else raw, devices included. On failure `problem` says
// what is wrong with the image, when words help the code (empty otherwise).
DWORD OpenDiskImage(const std::string& path, std::unique_ptr<DiskImage>* image, std::string* problem);
// The same over `files`, which must outlive the image.
DWORD OpenDiskImage(ImageFiles& files, const std::string& path, std::unique_ptr<DiskImage>* image,
                    std::string* problem);

// Reads the whole disk in order and gives its MD5 in `digest`. `progress`
// is told the bytes done and the total after each piece, and stops the
// work (code::Cancelled) by returning false. A failed read returns its code, with the
// image's Problem() and the position in `problem`.
DWORD HashDisk(DiskImage& image, const std::function<bool(std::uint64_t done, std::uint64_t total)>& progress,
               std::uint8_t digest[16], std::string* problem);
