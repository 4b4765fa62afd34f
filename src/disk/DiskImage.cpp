#include "disk/DiskImage.h"

#include <cstring>

#include "disk/Checksums.h"
#include "disk/ContainerLayout.h"
#include "disk/Containers.h"
#include "util/ByteBuffer.h"

const char* FormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::Raw: return "raw";
    case ImageFormat::SplitRaw: return "numbered raw pieces";
    case ImageFormat::Vhd: return "VHD";
    case ImageFormat::Vhdx: return "VHDX";
    case ImageFormat::Ewf: return "EWF";
  }
  return "unknown";
}

DWORD DiskImage::Fail(DWORD error, const std::string& what) {
  problem = what;
  return error;
}

DWORD OpenDiskImage(const std::string& path, std::unique_ptr<DiskImage>* image, std::string* problem) {
  return OpenDiskImage(SystemImageFiles(), path, image, problem);
}

DWORD OpenDiskImage(ImageFiles& files, const std::string& path, std::unique_ptr<DiskImage>* image,
                    std::string* problem) {
  problem->clear();
  std::unique_ptr<ImageFile> file;
  unsigned piece = 0;
  const bool pieces = PieceNumber(path, &piece);
  DWORD result = pieces ? OpenPieces(files, path, &file, problem) : files.Open(path, &file);
  if (result != code::Success) return result;
  const ImageFormat plain = pieces ? ImageFormat::SplitRaw : ImageFormat::Raw;
  // A device or file that cannot tell its size is read as it is.
  std::uint64_t size = 0;
  if (file->Size(&size) != code::Success) return OpenRaw(std::move(file), plain, image);

  std::uint8_t start[8] = {};
  if (size >= sizeof start) {
    result = ReadExact(*file, 0, start, sizeof start);
    if (result != code::Success) return result;
  }
  if (std::memcmp(start, vhdx::FileSignature, sizeof start) == 0) return OpenVhdx(std::move(file), image, problem);
  if (std::memcmp(start, ewf::Signature, sizeof start) == 0) {
    if (!pieces) return OpenEwf(files, path, image, problem);
    *problem = "an EWF segment cut into numbered pieces: join them into NAME.E01 first";
    return code::NotSupported;
  }
  if (std::memcmp(start, ewf::Signature2, sizeof start) == 0) {
    *problem = "an Ex01 (EWF version 2) image: convert it to E01 first (ewfexport -f encase6)";
    return code::NotSupported;
  }
  // A VHD's footer ends the file; a dynamic VHD also starts with its copy.
  if (std::memcmp(start, vhd::FooterCookie, sizeof start) == 0) return OpenVhd(std::move(file), image, problem);
  if (size >= vhd::FooterSize) {
    std::uint8_t cookie[sizeof vhd::FooterCookie];
    result = ReadExact(*file, size - vhd::FooterSize + vhd::FooterCookieAt, cookie, sizeof cookie);
    if (result != code::Success) return result;
    if (std::memcmp(cookie, vhd::FooterCookie, sizeof cookie) == 0) return OpenVhd(std::move(file), image, problem);
  }
  return OpenRaw(std::move(file), plain, image);
}

DWORD HashDisk(DiskImage& image, const std::function<bool(std::uint64_t done, std::uint64_t total)>& progress,
               std::uint8_t digest[16], std::string* problem) {
  problem->clear();
  constexpr std::uint32_t Piece = 1u << 20;
  std::uint64_t total = 0;
  DWORD result = image.Size(&total);
  if (result != code::Success) return result;
  ByteBuffer buffer = AllocateZeroed(Piece);
  if (!buffer) return code::NotEnoughMemory;
  Md5 md5;
  for (std::uint64_t done = 0; done < total;) {
    std::uint32_t got = 0;
    result = image.ReadAt(done, buffer.get(), Piece, &got);
    if (result == code::Success && got == 0) result = code::HandleEof;
    if (result != code::Success) {
      *problem = "at byte " + std::to_string(done) + (image.Problem().empty() ? "" : ": " + image.Problem());
      return result;
    }
    md5.Update(buffer.get(), got);
    done += got;
    if (!progress(done, total)) return code::Cancelled;
  }
  md5.Final(digest);
  return code::Success;
}
