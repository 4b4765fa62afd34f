// The files a disk image is stored in, read-only, behind a small interface:
// the system's files in the programs, memory in tests and fuzzers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Types.h"

// One read-only file of an image, or a device.
class ImageFile {
 public:
  virtual ~ImageFile() = default;
  // As DiskReader::ReadAt: 0 and fewer bytes than asked at the end, none
  // past it; else a system error code.
  virtual DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count,
                       std::uint32_t* delivered) = 0;
  // Bytes in the file or device, when the system tells them.
  virtual DWORD Size(std::uint64_t* bytes) = 0;
  // A device's logical sector size; 0 for a file.
  virtual std::uint32_t LogicalSectorSize() const { return 0; }
};

// Opens an image's files by name (UTF-8 paths; a segment's name is made
// from the first one's).
class ImageFiles {
 public:
  virtual ~ImageFiles() = default;
  // 0 and the file, or a system error code: code::FileNotFound when there is no such file.
  virtual DWORD Open(const std::string& name, std::unique_ptr<ImageFile>* file) = 0;
};

// The system's files and devices, opened read-only through DiskDevice.
ImageFiles& SystemImageFiles();

// Reads exactly `count` bytes at `offset`; code::HandleEof when the file ends first.
DWORD ReadExact(ImageFile& file, std::uint64_t offset, void* destination, std::uint32_t count);

// The files of a set (numbered pieces, EWF segments) by index, opened when
// first read and kept open a few at a time, so that a set of thousands of
// files needs few handles. `files` must outlive the set.
class FileSet {
 public:
  explicit FileSet(ImageFiles& files) : files(files) {}

  // Adds the file `name`, open, as the next member, with its size now.
  // Returns 0, code::NotEnoughMemory, or the file's failure to tell its size.
  DWORD Add(const std::string& name, std::unique_ptr<ImageFile> file);
  ImageFiles& Files() { return files; }
  std::size_t Count() const { return members.size(); }
  const std::string& Name(std::size_t index) const { return members[index].name; }
  std::uint64_t Size(std::size_t index) const { return members[index].size; }
  // The member's file, opened again if it was closed; `*file` stays valid
  // until the next call. An opened file whose size changed fails with code::DiskCorrupt.
  DWORD File(std::size_t index, ImageFile** file);

 private:
  static constexpr std::size_t KeptOpen = 8;
  struct Member {
    std::string name;
    std::uint64_t size;
  };
  struct Slot {
    std::size_t index = 0;
    std::uint64_t lastUse = 0;
    std::unique_ptr<ImageFile> file;
  };
  Slot& FreeSlot();
  void Keep(Slot& slot, std::size_t index, std::unique_ptr<ImageFile> file);

  ImageFiles& files;
  std::vector<Member> members;
  Slot slots[KeptOpen];
  std::uint64_t uses = 0;
};
