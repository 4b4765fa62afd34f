#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace {

constexpr std::size_t MaxComponentBytes = 255;

}  // namespace

OutputFile::~OutputFile() {
  if (fd >= 0) close(fd);
}

DWORD OutputFile::Create(const NativePath& path, bool replace, std::uint32_t attributes,
                         std::unique_ptr<OutputFile>* file) {
  if (replace) {
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
      // Only a plain file is replaced; a link is never followed.
      if (!S_ISREG(info.st_mode)) return code::AccessDenied;
      // A new file takes the old one's place: the old file's missing write
      // bits (its read-only attribute) do not stand in the way, and the new
      // file has the attributes it is created with.
      if (unlink(path.c_str()) != 0 && errno != ENOENT) return CodeFromErrno(errno);
    } else if (errno != ENOENT) {
      return CodeFromErrno(errno);
    }
  }
  const mode_t mode = (attributes & AttributeReadOnly) != 0 ? 0444 : 0666;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) return CodeFromErrno(errno);
  std::unique_ptr<OutputFile> opened(new (std::nothrow) OutputFile);
  if (!opened) {
    close(fd);
    return code::NotEnoughMemory;
  }
  opened->fd = fd;
  *file = std::move(opened);
  return code::Success;
}

DWORD OutputFile::Write(const std::uint8_t* bytes, std::uint32_t count) {
  std::uint32_t done = 0;
  while (done < count) {
    const ssize_t wrote = write(fd, bytes + done, count - done);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return CodeFromErrno(errno);
    }
    if (wrote == 0) return code::DiskFull;
    done += static_cast<std::uint32_t>(wrote);
  }
  return code::Success;
}

DWORD OutputFile::Close() {
  const int closing = fd;
  fd = -1;
  return close(closing) == 0 ? code::Success : CodeFromErrno(errno);
}

DWORD MakeDirectory(const NativePath& path) {
  if (mkdir(path.c_str(), 0777) == 0) return code::Success;
  const int err = errno;
  struct stat info {};
  if (err == EEXIST && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return code::Success;
  return err == EEXIST ? code::AlreadyExists : CodeFromErrno(err);
}

bool PathExists(const NativePath& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

bool IdentityOf(const NativePath& path, FileIdentity* identity) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return false;
  identity->volume = static_cast<std::uint64_t>(info.st_dev);
  identity->index = static_cast<std::uint64_t>(info.st_ino);
  return true;
}

NativePath FullPath(const NativePath& path) {
  if (!path.empty() && path[0] == '/') return path;
  char here[PATH_MAX];
  if (getcwd(here, sizeof here) == nullptr) return path;
  return std::string(here) + "/" + path;
}

NativePath PathFromArgument(const std::string& argument) { return argument; }

NativePath NativeFromUtf16(const std::u16string& path) { return Utf8FromUtf16(path); }

std::u16string Utf16FromNative(const NativePath& path) { return Utf16FromUtf8(path); }

std::string PathText(const NativePath& path) { return path; }

NativePath JoinPath(const NativePath& folder, const std::u16string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + Utf8FromUtf16(name);
  return folder + "/" + Utf8FromUtf16(name);
}

NativePath ComparablePath(const NativePath& path) { return path; }

std::u16string FitComponent(const std::u16string& name) {
  if (Utf8FromUtf16(name).size() <= MaxComponentBytes) return name;
  // Keep a short extension, cut the stem at a character boundary.
  const std::size_t dot = name.rfind(u'.');
  const std::u16string extension =
      dot != std::u16string::npos && dot > 0 && name.size() - dot <= 16 ? name.substr(dot) : u"";
  const std::size_t budget = MaxComponentBytes - Utf8FromUtf16(extension).size();
  const std::size_t stemUnits = name.size() - extension.size();
  std::size_t kept = 0, bytes = 0;
  while (kept < stemUnits) {
    const char16_t unit = name[kept];
    const bool pair = unit >= 0xD800 && unit <= 0xDBFF && kept + 1 < stemUnits && name[kept + 1] >= 0xDC00 &&
                      name[kept + 1] <= 0xDFFF;
    // UTF-8 bytes of this character; a lone surrogate becomes U+FFFD.
    const std::size_t width = pair ? 4 : unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
    if (bytes + width > budget) break;
    bytes += width;
    kept += pair ? 2 : 1;
  }
  return name.substr(0, kept) + extension;
}
