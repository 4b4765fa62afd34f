#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#ifdef __linux__
#include <linux/fs.h>
#endif

#include "platform/Disk.h"
#include "platform/Errors.h"

DiskDevice::~DiskDevice() {
  if (fd >= 0) close(fd);
}

DWORD DiskDevice::OpenNumber(unsigned, std::unique_ptr<DiskDevice>*) {
  return code::FileNotFound;
}

DWORD DiskDevice::OpenPath(const std::string& path, std::unique_ptr<DiskDevice>* disk) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return CodeFromErrno(errno);
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    const int err = errno;
    close(fd);
    return CodeFromErrno(err);
  }
  if (S_ISDIR(info.st_mode)) {
    close(fd);
    return code::AccessDenied;
  }
  std::unique_ptr<DiskDevice> opened(new (std::nothrow) DiskDevice);
  if (!opened) {
    close(fd);
    return code::NotEnoughMemory;
  }
  opened->fd = fd;
#ifdef BLKSSZGET
  int logical = 0;
  if (S_ISBLK(info.st_mode) && ioctl(fd, BLKSSZGET, &logical) == 0 && logical > 0 &&
      IsSectorSize(static_cast<std::uint32_t>(logical))) {
    opened->sectorBytes = static_cast<std::uint32_t>(logical);
  }
#endif
  *disk = std::move(opened);
  return code::Success;
}

DWORD DiskDevice::ReadRaw(std::uint64_t offset, void* destination, std::uint32_t count,
                          std::uint32_t* delivered) {
  *delivered = 0;
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return code::InvalidParameter;
  auto* out = static_cast<unsigned char*>(destination);
  while (*delivered < count) {
    ssize_t got = pread(fd, out + *delivered, count - *delivered,
                        static_cast<off_t>(offset + *delivered));
    if (got < 0) {
      if (errno == EINTR) continue;
      return CodeFromErrno(errno);
    }
    if (got == 0) break;  // end of the disk
    *delivered += static_cast<std::uint32_t>(got);
  }
  return code::Success;
}

DWORD DiskDevice::Size(std::uint64_t* bytes) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return CodeFromErrno(errno);
#ifdef BLKGETSIZE64
  if (S_ISBLK(info.st_mode)) {
    std::uint64_t size = 0;
    if (ioctl(fd, BLKGETSIZE64, &size) != 0) return CodeFromErrno(errno);
    *bytes = size;
    return code::Success;
  }
#endif
  *bytes = static_cast<std::uint64_t>(info.st_size);
  return code::Success;
}
