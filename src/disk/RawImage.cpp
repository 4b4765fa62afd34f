// Raw images, whole or in numbered pieces.
#include <algorithm>
#include <cstdio>
#include <new>
#include <vector>

#include "disk/Containers.h"

namespace {

class RawImage : public DiskImage {
 public:
  RawImage(std::unique_ptr<ImageFile> file, ImageFormat format) : file(std::move(file)), format(format) {}
  ImageFormat Format() const override { return format; }
  DWORD Size(std::uint64_t* bytes) override { return file->Size(bytes); }
  std::uint32_t LogicalSectorSize() override { return file->LogicalSectorSize(); }
  DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered) override {
    return file->ReadAt(offset, destination, count, delivered);
  }

 private:
  std::unique_ptr<ImageFile> file;
  ImageFormat format;
};

constexpr unsigned DigitsInNumber = 3;  // NAME.001 to NAME.999
constexpr unsigned LastPiece = 999;

// The pieces one after another: piece i covers [starts[i], starts[i + 1]).
class JoinedPieces : public ImageFile {
 public:
  explicit JoinedPieces(ImageFiles& files) : set(files) {}

  DWORD Add(const std::string& name, std::unique_ptr<ImageFile> file) {
    const DWORD result = set.Add(name, std::move(file));
    if (result != code::Success) return result;
    const std::uint64_t size = set.Size(set.Count() - 1);
    if (size > UINT64_MAX - total) return code::FileTooLarge;
    try {
      starts.push_back(total);
    } catch (const std::bad_alloc&) {
      return code::NotEnoughMemory;
    }
    total += size;
    return code::Success;
  }

  DWORD Size(std::uint64_t* bytes) override {
    *bytes = total;
    return code::Success;
  }

  DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered) override {
    *delivered = 0;
    auto* out = static_cast<std::uint8_t*>(destination);
    while (*delivered < count && offset + *delivered < total) {
      const std::uint64_t at = offset + *delivered;
      // The last piece starting at or before `at` (empty pieces are passed over).
      const std::size_t piece =
          static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), at) - starts.begin()) - 1;
      const std::uint64_t within = at - starts[piece];
      if (within >= set.Size(piece)) return code::DiskCorrupt;  // never: the next piece would start here
      const std::uint64_t left = set.Size(piece) - within;
      const std::uint32_t want = static_cast<std::uint32_t>(std::min<std::uint64_t>(count - *delivered, left));
      ImageFile* file = nullptr;
      DWORD result = set.File(piece, &file);
      if (result != code::Success) return result;
      result = ReadExact(*file, within, out + *delivered, want);
      if (result != code::Success) return result;  // a piece shorter than it was
      *delivered += want;
    }
    return code::Success;
  }

 private:
  FileSet set;
  std::vector<std::uint64_t> starts;
  std::uint64_t total = 0;
};

std::string PieceName(const std::string& base, unsigned number) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%03u", number);
  return base + digits;
}

}  // namespace

DWORD OpenRaw(std::unique_ptr<ImageFile> file, ImageFormat format, std::unique_ptr<DiskImage>* image) {
  image->reset(new (std::nothrow) RawImage(std::move(file), format));
  return *image ? code::Success : code::NotEnoughMemory;
}

bool PieceNumber(const std::string& path, unsigned* number) {
  if (path.size() < DigitsInNumber + 2 || path[path.size() - DigitsInNumber - 1] != '.') return false;
  unsigned value = 0;
  for (std::size_t i = path.size() - DigitsInNumber; i < path.size(); ++i) {
    if (path[i] < '0' || path[i] > '9') return false;
    value = value * 10 + static_cast<unsigned>(path[i] - '0');
  }
  const char before = path[path.size() - DigitsInNumber - 2];
  if (value == 0 || before == '/' || before == '\\') return false;  // ".000" is no piece; "dir/.001" no name
  *number = value;
  return true;
}

DWORD OpenPieces(ImageFiles& files, const std::string& path, std::unique_ptr<ImageFile>* joined,
                 std::string* problem) {
  unsigned given = 0;
  if (!PieceNumber(path, &given)) return code::InvalidParameter;
  const std::string base = path.substr(0, path.size() - DigitsInNumber);
  std::unique_ptr<JoinedPieces> pieces(new (std::nothrow) JoinedPieces(files));
  if (!pieces) return code::NotEnoughMemory;
  unsigned number = 1;
  for (; number <= LastPiece; ++number) {
    std::unique_ptr<ImageFile> file;
    const std::string name = PieceName(base, number);
    DWORD result = files.Open(name, &file);
    if (result == code::FileNotFound || result == code::PathNotFound) break;
    if (result == code::Success) result = pieces->Add(name, std::move(file));
    if (result != code::Success) {
      *problem = name;
      return result;
    }
  }
  if (given >= number) {
    *problem = PieceName(base, number) + " is missing, so the set of pieces ends before " + path;
    return code::FileNotFound;
  }
  *joined = std::move(pieces);
  return code::Success;
}
