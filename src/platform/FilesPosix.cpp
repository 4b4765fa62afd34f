#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace {

constexpr std::size_t MaxComponentBytes = 255;
constexpr unsigned MaxTemporaryNames = 1000;  // tries before giving up on a folder full of our names
#ifdef O_PATH
constexpr int FolderAccess = O_PATH;  // a place to work from: no right to list the folder is needed
#else
constexpr int FolderAccess = O_RDONLY;
#endif

std::atomic<unsigned> temporaryCounter{0};

// Renames `from` to `to` in the folder `dir` unless something is at `to`:
// code::FileExists then. Every way here is one step that cannot replace what appeared a
// moment before, but for file systems that offer neither a rename that
// refuses to replace nor hard links.
DWORD RenameWithoutReplacing(int dir, const char* from, const char* to) {
#ifdef RENAME_NOREPLACE
  if (renameat2(dir, from, dir, to, RENAME_NOREPLACE) == 0) return code::Success;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP && errno != EOPNOTSUPP) return CodeFromErrno(errno);
#endif
  if (linkat(dir, from, dir, to, 0) == 0) {
    unlinkat(dir, from, 0);
    return code::Success;
  }
  if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != EMLINK) return CodeFromErrno(errno);
  struct stat info {};
  if (fstatat(dir, to, &info, AT_SYMLINK_NOFOLLOW) == 0) return code::FileExists;
  return renameat(dir, from, dir, to) == 0 ? code::Success : CodeFromErrno(errno);
}

// Closes `*fd` unless it is closed already (a failure to flush fails the
// file), then gives the file at `temporary` the name `name`.
DWORD PublishAs(int dir, const std::string& temporary, const std::string& name, bool replace, int* fd) {
  if (*fd >= 0) {
    const int closing = *fd;
    *fd = -1;
    if (close(closing) != 0) return CodeFromErrno(errno);
  }
  if (!replace) return RenameWithoutReplacing(dir, temporary.c_str(), name.c_str());
  struct stat info {};
  if (fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    // Only a plain file is replaced; a rename takes its place without
    // opening it, so its missing write bits do not stand in the way.
    if (S_ISLNK(info.st_mode)) return code::StoppedOnSymlink;
    if (!S_ISREG(info.st_mode)) return code::AccessDenied;
  } else if (errno != ENOENT) {
    return CodeFromErrno(errno);
  }
  return renameat(dir, temporary.c_str(), dir, name.c_str()) == 0 ? code::Success : CodeFromErrno(errno);
}

}  // namespace

OutputFolder::~OutputFolder() {
  if (fd >= 0) close(fd);
}

DWORD OutputFolder::Open(const NativePath& path, std::unique_ptr<OutputFolder>* folder) {
  const int opened = open(path.c_str(), FolderAccess | O_DIRECTORY | O_CLOEXEC);
  if (opened < 0) return CodeFromErrno(errno);
  std::unique_ptr<OutputFolder> result(new (std::nothrow) OutputFolder);
  if (!result) {
    close(opened);
    return code::NotEnoughMemory;
  }
  result->fd = opened;
  result->path = path;
  *folder = std::move(result);
  return code::Success;
}

DWORD OutputFolder::Enter(const std::u16string& name, std::unique_ptr<OutputFolder>* folder) const {
  const std::string entry = Utf8FromUtf16(name);
  if (mkdirat(fd, entry.c_str(), 0777) != 0 && errno != EEXIST) return CodeFromErrno(errno);
  // Whatever stands at the name, a link is never entered.
  const int opened = openat(fd, entry.c_str(), FolderAccess | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (opened < 0) {
    const int err = errno;
    struct stat info {};
    if (fstatat(fd, entry.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISLNK(info.st_mode)) return code::StoppedOnSymlink;
      if (!S_ISDIR(info.st_mode)) return code::AlreadyExists;
    }
    return CodeFromErrno(err);
  }
  std::unique_ptr<OutputFolder> result(new (std::nothrow) OutputFolder);
  if (!result) {
    close(opened);
    return code::NotEnoughMemory;
  }
  result->fd = opened;
  result->path = JoinPath(path, name);
  *folder = std::move(result);
  return code::Success;
}

bool OutputFolder::Has(const std::u16string& name) const {
  struct stat info {};
  return fstatat(fd, Utf8FromUtf16(name).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

bool OutputFolder::IdentityOf(const std::u16string& name, FileIdentity* identity) const {
  struct stat info {};
  if (fstatat(fd, Utf8FromUtf16(name).c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  identity->volume = static_cast<std::uint64_t>(info.st_dev);
  identity->index = static_cast<std::uint64_t>(info.st_ino);
  return true;
}

DWORD OutputFolder::NewFile(std::uint32_t attributes, std::unique_ptr<OutputFile>* file) const {
  std::unique_ptr<OutputFile> result(new (std::nothrow) OutputFile);
  if (!result) return code::NotEnoughMemory;
  result->folderFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (result->folderFd < 0) return CodeFromErrno(errno);
  // The read-only attribute is the mode; the descriptor writes all the same.
  const mode_t mode = (attributes & AttributeReadOnly) != 0 ? 0444 : 0666;
  for (unsigned attempt = 0; attempt < MaxTemporaryNames; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof name, ".pelmora-%ld-%u.tmp", static_cast<long>(getpid()), temporaryCounter++);
    const int opened = openat(fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (opened >= 0) {
      result->fd = opened;
      result->temporary = name;
      *file = std::move(result);
      return code::Success;
    }
    if (errno != EEXIST) return CodeFromErrno(errno);
  }
  return code::FileExists;
}

OutputFile::~OutputFile() {
  if (!published) Discard();
  if (folderFd >= 0) close(folderFd);
}

void OutputFile::Discard() {
  if (fd >= 0) close(fd);
  fd = -1;
  if (!temporary.empty()) unlinkat(folderFd, temporary.c_str(), 0);
  temporary.clear();
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

DWORD OutputFile::Publish(const std::u16string& name, bool replace) {
  const DWORD result = PublishAs(folderFd, temporary, Utf8FromUtf16(name), replace, &fd);
  published = result == code::Success;
  return result;
}

DWORD MakeDirectory(const NativePath& path) {
  if (mkdir(path.c_str(), 0777) == 0) return code::Success;
  const int err = errno;
  struct stat info {};
  if (err == EEXIST && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return code::Success;
  return err == EEXIST ? code::AlreadyExists : CodeFromErrno(err);
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
