#include <windows.h>
#include <winioctl.h>

#include <cwchar>
#include <new>

#include "platform/Disk.h"
#include "platform/Text.h"

namespace {

DWORD OpenReadOnly(const wchar_t* name, void** handle, std::uint32_t* sectorBytes) {
  HANDLE opened = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return GetLastError();
  *handle = opened;
  // A disk says its geometry; an image file does not, and stays at 0.
  DISK_GEOMETRY_EX geometry;
  DWORD returned = 0;
  if (DeviceIoControl(opened, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry, sizeof geometry,
                      &returned, nullptr) &&
      returned >= sizeof geometry.Geometry && IsSectorSize(geometry.Geometry.BytesPerSector)) {
    *sectorBytes = geometry.Geometry.BytesPerSector;
  }
  return ERROR_SUCCESS;
}

// Whether the disk still reads its first sectors. Some drivers (Wine's,
// over a file whose sectors fail with EIO) say "not ready" for a bad sector:
// a disk that answers elsewhere is not gone, and only that read failed.
bool StillAnswers(HANDLE handle) {
  LONG high = 0;
  if (SetFilePointer(handle, 0, &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
    return false;
  }
  unsigned char first[4096];  // a whole sector of any size a disk has
  DWORD got = 0;
  return ReadFile(handle, first, sizeof first, &got, nullptr) && got != 0;
}

}  // namespace

DiskDevice::~DiskDevice() {
  if (handle != nullptr) CloseHandle(handle);
}

DWORD DiskDevice::OpenNumber(unsigned number, std::unique_ptr<DiskDevice>* disk) {
  wchar_t name[64];
  swprintf(name, 64, L"\\\\.\\PhysicalDrive%u", number);
  std::unique_ptr<DiskDevice> opened(new (std::nothrow) DiskDevice);
  if (!opened) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD result = OpenReadOnly(name, &opened->handle, &opened->sectorBytes);
  if (result == ERROR_SUCCESS) *disk = std::move(opened);
  return result;
}

DWORD DiskDevice::OpenPath(const std::string& path, std::unique_ptr<DiskDevice>* disk) {
  std::unique_ptr<DiskDevice> opened(new (std::nothrow) DiskDevice);
  if (!opened) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD result = OpenReadOnly(WideFromUtf8(path).c_str(), &opened->handle, &opened->sectorBytes);
  if (result == ERROR_SUCCESS) *disk = std::move(opened);
  return result;
}

DWORD DiskDevice::ReadRaw(std::uint64_t offset, void* destination, std::uint32_t count,
                          std::uint32_t* delivered) {
  *delivered = 0;
  LONG high = static_cast<LONG>(offset >> 32);
  DWORD low = SetFilePointer(handle, static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN);
  // INVALID_SET_FILE_POINTER is also a valid low part: only the error says.
  if (low == INVALID_SET_FILE_POINTER) {
    DWORD error = GetLastError();
    if (error != NO_ERROR) return error;
  }
  auto* out = static_cast<unsigned char*>(destination);
  while (*delivered < count) {
    DWORD got = 0;
    if (!ReadFile(handle, out + *delivered, count - *delivered, &got, nullptr)) {
      const DWORD error = GetLastError();
      return error == ERROR_NOT_READY && StillAnswers(handle) ? ERROR_IO_DEVICE : error;
    }
    if (got == 0) break;  // end of the disk
    *delivered += got;
  }
  return ERROR_SUCCESS;
}

DWORD DiskDevice::Size(std::uint64_t* bytes) {
  LARGE_INTEGER size;
  if (GetFileSizeEx(handle, &size)) {
    *bytes = static_cast<std::uint64_t>(size.QuadPart);
    return ERROR_SUCCESS;
  }
  GET_LENGTH_INFORMATION length;
  DWORD returned = 0;
  if (DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length,
                      &returned, nullptr)) {
    *bytes = static_cast<std::uint64_t>(length.Length.QuadPart);
    return ERROR_SUCCESS;
  }
  return GetLastError();
}
