#include <windows.h>
#include <winioctl.h>

#include <cstddef>
#include <cstring>
#include <exception>
#include <vector>

#include "platform/Text.h"
#include "platform/Volumes.h"

bool SystemVolumes::RootForSerial(std::uint32_t serial, std::u16string* root) {
  const DWORD present = GetLogicalDrives();
  for (int letter = 1; letter <= 25; ++letter) {  // B: to Z:; A: is never matched
    if ((present & (1u << letter)) == 0) continue;
    const wchar_t path[4] = {static_cast<wchar_t>(L'A' + letter), L':', L'\\', 0};
    DWORD volumeSerial = 0;
    if (GetVolumeInformationW(path, nullptr, 0, &volumeSerial, nullptr, nullptr, nullptr, 0) &&
        volumeSerial == serial) {
      *root = std::u16string(path, path + 3);
      return true;
    }
  }
  return false;
}

namespace {

// The volume's extents on its disks; false where the system cannot say
// (Wine, virtual volumes).
bool VolumeExtents(const std::wstring& root, std::vector<DISK_EXTENT>* extents) {
  wchar_t name[64] = {};
  if (!GetVolumeNameForVolumeMountPointW(root.c_str(), name, sizeof name / sizeof name[0])) return false;
  // "\\?\Volume{...}\" without its last backslash opens the volume itself;
  // no access to its content is asked.
  std::wstring device(name);
  if (!device.empty() && device.back() == L'\\') device.pop_back();
  HANDLE volume = CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (volume == INVALID_HANDLE_VALUE) return false;
  // A volume spans a few extents at most; grow once if it spans more.
  std::vector<std::uint8_t> buffer(sizeof(VOLUME_DISK_EXTENTS) + 15 * sizeof(DISK_EXTENT));
  DWORD got = 0;
  BOOL done = DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, buffer.data(),
                              static_cast<DWORD>(buffer.size()), &got, nullptr);
  if (!done && GetLastError() == ERROR_MORE_DATA && got >= sizeof(DWORD)) {
    DWORD count = 0;
    std::memcpy(&count, buffer.data(), sizeof count);
    if (count <= 4096) {
      buffer.resize(sizeof(VOLUME_DISK_EXTENTS) + count * sizeof(DISK_EXTENT));
      done = DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, buffer.data(),
                             static_cast<DWORD>(buffer.size()), &got, nullptr);
    }
  }
  CloseHandle(volume);
  if (!done || got < offsetof(VOLUME_DISK_EXTENTS, Extents)) return false;
  DWORD count = 0;
  std::memcpy(&count, buffer.data(), sizeof count);
  // Only the extents the system filled in are read.
  const std::size_t room = (got - offsetof(VOLUME_DISK_EXTENTS, Extents)) / sizeof(DISK_EXTENT);
  for (DWORD i = 0; i < count && i < room; ++i) {
    DISK_EXTENT extent;
    std::memcpy(&extent, buffer.data() + offsetof(VOLUME_DISK_EXTENTS, Extents) + i * sizeof(DISK_EXTENT),
                sizeof extent);
    extents->push_back(extent);
  }
  // Wine answers with no extents at all: that says nothing.
  return !extents->empty();
}

}  // namespace

bool IsOnScannedPartition(const NativePath& folder, const ScannedPartition& partition) {
  // An image file's bytes are no volume's: writing elsewhere never changes them.
  if (partition.diskNumber == ScannedPartition::NoDiskNumber) return false;
  try {
    const std::wstring path = WideFromUtf16(FullPath(folder));
    wchar_t root[MAX_PATH + 1] = {};
    // Works for folders not made yet: the path is taken apart, not opened.
    if (!GetVolumePathNameW(path.c_str(), root, MAX_PATH)) return false;
    std::vector<DISK_EXTENT> extents;
    if (VolumeExtents(root, &extents)) {
      const std::uint64_t end =
          partition.length != 0 && partition.length <= UINT64_MAX - partition.start ? partition.start + partition.length
                                                                                     : UINT64_MAX;
      for (const DISK_EXTENT& extent : extents) {
        const std::uint64_t first = static_cast<std::uint64_t>(extent.StartingOffset.QuadPart);
        const std::uint64_t bytes = static_cast<std::uint64_t>(extent.ExtentLength.QuadPart);
        const std::uint64_t last = bytes <= UINT64_MAX - first ? first + bytes : UINT64_MAX;
        if (extent.DiskNumber == partition.diskNumber && first < end && partition.start < last) return true;
      }
      return false;
    }
    // The serial is all there is to go by.
    DWORD serial = 0;
    return partition.serial != 0 &&
           GetVolumeInformationW(root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0) && serial == partition.serial;
  } catch (const std::exception&) {
    return false;
  }
}
