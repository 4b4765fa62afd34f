#include "disk/ImageFile.h"

#include <new>

#include "platform/Disk.h"

namespace {

class DeviceFile : public ImageFile {
 public:
  explicit DeviceFile(std::unique_ptr<DiskDevice> device) : device(std::move(device)) {}
  DWORD ReadAt(std::uint64_t offset, void* destination, std::uint32_t count, std::uint32_t* delivered) override {
    return device->ReadAt(offset, destination, count, delivered);
  }
  DWORD Size(std::uint64_t* bytes) override { return device->Size(bytes); }
  std::uint32_t LogicalSectorSize() const override { return device->LogicalSectorSize(); }

 private:
  std::unique_ptr<DiskDevice> device;
};

class SystemFiles : public ImageFiles {
 public:
  DWORD Open(const std::string& name, std::unique_ptr<ImageFile>* file) override {
    std::unique_ptr<DiskDevice> device;
    const DWORD result = DiskDevice::OpenPath(name, &device);
    if (result != code::Success) return result;
    file->reset(new (std::nothrow) DeviceFile(std::move(device)));
    return *file ? code::Success : code::NotEnoughMemory;
  }
};

}  // namespace

ImageFiles& SystemImageFiles() {
  static SystemFiles files;
  return files;
}

DWORD ReadExact(ImageFile& file, std::uint64_t offset, void* destination, std::uint32_t count) {
  std::uint32_t got = 0;
  const DWORD result = file.ReadAt(offset, destination, count, &got);
  if (result != code::Success) return result;
  return got == count ? code::Success : code::HandleEof;
}

DWORD FileSet::Add(const std::string& name, std::unique_ptr<ImageFile> file) {
  std::uint64_t size = 0;
  const DWORD result = file->Size(&size);
  if (result != code::Success) return result;
  try {
    members.push_back({name, size});
  } catch (const std::bad_alloc&) {
    return code::NotEnoughMemory;
  }
  Keep(FreeSlot(), members.size() - 1, std::move(file));
  return code::Success;
}

// An empty slot, else the least recently used one, closed.
FileSet::Slot& FileSet::FreeSlot() {
  Slot* oldest = &slots[0];
  for (Slot& slot : slots) {
    if (!slot.file) return slot;
    if (slot.lastUse < oldest->lastUse) oldest = &slot;
  }
  oldest->file.reset();
  return *oldest;
}

void FileSet::Keep(Slot& slot, std::size_t index, std::unique_ptr<ImageFile> file) {
  slot.index = index;
  slot.lastUse = ++uses;
  slot.file = std::move(file);
}

DWORD FileSet::File(std::size_t index, ImageFile** file) {
  for (Slot& slot : slots) {
    if (slot.file && slot.index == index) {
      slot.lastUse = ++uses;
      *file = slot.file.get();
      return code::Success;
    }
  }
  // Closed first, so that no more than KeptOpen files are ever open.
  Slot& slot = FreeSlot();
  std::unique_ptr<ImageFile> opened;
  DWORD result = files.Open(members[index].name, &opened);
  if (result != code::Success) return result;
  // Offsets found in the file at first are only good for the same file.
  std::uint64_t size = 0;
  result = opened->Size(&size);
  if (result != code::Success) return result;
  if (size != members[index].size) return code::DiskCorrupt;
  *file = opened.get();
  Keep(slot, index, std::move(opened));
  return code::Success;
}
