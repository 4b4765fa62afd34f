#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/Volumes.h"

bool SystemVolumes::RootForSerial(std::uint32_t, std::u16string*) { return false; }

namespace {

constexpr std::uint64_t SysfsSectorBytes = 512;  // sysfs counts `start` and `size` in these, whatever the device's
constexpr std::uint64_t Unbounded = UINT64_MAX;
constexpr unsigned MaxDepth = 8;                 // devices stacked on devices; a loop among them ends here

// Bytes of a whole block device or of a regular file.
struct Extent {
  bool file = false;
  std::uint64_t device = 0;  // the block device; for a file, the device that holds it
  std::uint64_t inode = 0;   // a file's; 0 for a block device
  std::uint64_t begin = 0;   // bytes, `end` excluded
  std::uint64_t end = 0;
};

std::uint64_t Add(std::uint64_t a, std::uint64_t b) { return a > Unbounded - b ? Unbounded : a + b; }

bool Overlap(const Extent& a, const Extent& b) {
  return a.file == b.file && a.device == b.device && a.inode == b.inode && a.begin < b.end && b.begin < a.end;
}

class SystemTables {
 public:
  SystemTables(const std::string& sysfs, const std::string& mountinfo) : sysfs(sysfs), mountinfo(mountinfo) {}

  // What writing into the file system on `device` reaches: the device's
  // bytes, and where they in turn lie.
  void WrittenThrough(std::uint64_t device, unsigned depth, std::vector<Extent>* out) const {
    if (depth > MaxDepth) return;
    if (Exists(BlockFolder(device))) {
      Block(device, 0, Unbounded, true, depth, out);
      return;
    }
    // No block device of its own (FUSE, btrfs and the like): the mount's
    // source says what it reads.
    std::string source;
    if (!MountSource(device, &source)) return;
    struct stat info {};
    if (stat(source.c_str(), &info) != 0) return;
    if (S_ISBLK(info.st_mode)) {
      Block(info.st_rdev, 0, Unbounded, true, depth + 1, out);
    } else if (S_ISREG(info.st_mode)) {
      out->push_back({true, info.st_dev, info.st_ino, 0, Unbounded});
      WrittenThrough(info.st_dev, depth + 1, out);
    }
  }

  // The bytes [begin, end) of block device `device` as those of the whole
  // device they are part of and, for a loop device, of its file; when
  // `hosts`, also what holds those in turn (the file system the loop
  // device's file lies on, the devices below a mapped one).
  void Block(std::uint64_t device, std::uint64_t begin, std::uint64_t end, bool hosts, unsigned depth,
             std::vector<Extent>* out) const {
    if (depth > MaxDepth) return;
    const std::string folder = BlockFolder(device);
    std::uint64_t start = 0, size = 0, parent = 0;
    if (Exists(folder + "/partition")) {
      if (!Number(folder + "/start", &start) || !Number(folder + "/size", &size) ||
          !DeviceNumber(folder + "/../dev", &parent)) {
        return;
      }
      if (start > Unbounded / SysfsSectorBytes || size > Unbounded / SysfsSectorBytes) return;
      const std::uint64_t first = start * SysfsSectorBytes, bytes = size * SysfsSectorBytes;
      if (begin >= bytes) return;
      Block(parent, Add(first, begin), Add(first, std::min(end, bytes)), hosts, depth + 1, out);
      return;
    }
    out->push_back({false, device, 0, begin, end});
    std::string backing;
    if (Text(folder + "/loop/backing_file", &backing)) {
      std::uint64_t offset = 0, limit = 0;
      Number(folder + "/loop/offset", &offset);
      Number(folder + "/loop/sizelimit", &limit);
      struct stat info {};
      if (stat(backing.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        const std::uint64_t last = limit != 0 ? std::min(end, limit) : end;
        if (begin < last) out->push_back({true, info.st_dev, info.st_ino, Add(offset, begin), Add(offset, last)});
        if (hosts) WrittenThrough(info.st_dev, depth + 1, out);
      }
    }
    if (!hosts) return;
    // A mapped device (LVM, dm-crypt, RAID) lies somewhere on each device
    // below it: all of each counts.
    for (const std::string& below : Entries(folder + "/slaves")) {
      std::uint64_t lower = 0;
      if (DeviceNumber(folder + "/slaves/" + below + "/dev", &lower)) Block(lower, 0, Unbounded, true, depth + 1, out);
    }
  }

 private:
  std::string BlockFolder(std::uint64_t device) const {
    return sysfs + "/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  }
  static bool Exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
  }
  // The first line of a small file, without its line end.
  static bool Text(const std::string& path, std::string* text) {
    std::ifstream in(path);
    if (!in || !std::getline(in, *text)) return false;
    return !text->empty();
  }
  static bool Number(const std::string& path, std::uint64_t* value) {
    std::string text;
    if (!Text(path, &text) || text.size() > 20) return false;
    std::uint64_t result = 0;
    for (char c : text) {
      if (c < '0' || c > '9' || result > (Unbounded - static_cast<unsigned>(c - '0')) / 10) return false;
      result = result * 10 + static_cast<unsigned>(c - '0');
    }
    *value = result;
    return true;
  }
  // "MAJ:MIN" as a device number.
  static bool ParseDevice(const std::string& text, std::uint64_t* device) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size() || colon > 10 ||
        text.size() - colon > 11) {
      return false;
    }
    unsigned long high = 0, low = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (i == colon) continue;
      const char c = text[i];
      if (c < '0' || c > '9') return false;
      unsigned long& part = i < colon ? high : low;
      part = part * 10 + static_cast<unsigned>(c - '0');
    }
    if (high > 0xFFFFFFFFul || low > 0xFFFFFFFFul) return false;
    *device = makedev(static_cast<unsigned>(high), static_cast<unsigned>(low));
    return true;
  }
  static bool DeviceNumber(const std::string& path, std::uint64_t* device) {
    std::string text;
    return Text(path, &text) && ParseDevice(text, device);
  }
  // The names in a folder but "." and "..".
  static std::vector<std::string> Entries(const std::string& path) {
    std::vector<std::string> names;
    DIR* folder = opendir(path.c_str());
    if (folder == nullptr) return names;
    while (const dirent* entry = readdir(folder)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(folder);
    return names;
  }

  // The source of the first mount of `device` that names a path.
  bool MountSource(std::uint64_t device, std::string* source) const {
    std::ifstream in(mountinfo);
    std::string line;
    while (std::getline(in, line)) {
      // "36 35 98:0 /root /mnt opts... - fstype source superopts"
      std::istringstream fields(line);
      std::string id, parentId, number;
      std::uint64_t mounted = 0;
      if (!(fields >> id >> parentId >> number) || !ParseDevice(number, &mounted) || mounted != device) continue;
      const std::size_t dash = line.find(" - ");
      if (dash == std::string::npos) continue;
      std::istringstream tail(line.substr(dash + 3));
      std::string type, text;
      if (!(tail >> type >> text) || text.empty() || text[0] != '/') continue;
      *source = Unescape(text);
      return true;
    }
    return false;
  }
  // The mount table writes space, tab, newline and backslash as \ooo.
  static std::string Unescape(const std::string& text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\\' && text.size() - i > 3 && text[i + 1] >= '0' && text[i + 1] <= '3' && text[i + 2] >= '0' &&
          text[i + 2] <= '7' && text[i + 3] >= '0' && text[i + 3] <= '7') {
        plain += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
        i += 3;
      } else {
        plain += text[i];
      }
    }
    return plain;
  }

  std::string sysfs;
  std::string mountinfo;
};

}  // namespace

bool IsOnScannedPartition(const NativePath& folder, const ScannedPartition& partition) {
  try {
    const SystemTables tables("/sys", "/proc/self/mountinfo");
    // The folder's device: its own, or that of its nearest existing parent.
    NativePath path = FullPath(folder);
    struct stat info {};
    while (stat(path.c_str(), &info) != 0) {
      if (errno != ENOENT && errno != ENOTDIR) return false;
      while (path.size() > 1 && path.back() == '/') path.pop_back();
      const std::size_t slash = path.rfind('/');
      if (slash == std::string::npos || path == "/") return false;
      path.erase(slash == 0 ? 1 : slash);
    }
    std::vector<Extent> written;
    tables.WrittenThrough(info.st_dev, 0, &written);

    // The scanned bytes, as the whole device and, for a loop device, the
    // file behind it.
    struct stat disk {};
    if (stat(partition.disk.c_str(), &disk) != 0) return false;
    const std::uint64_t end = partition.length != 0 ? Add(partition.start, partition.length) : Unbounded;
    std::vector<Extent> scanned;
    if (S_ISBLK(disk.st_mode)) {
      tables.Block(disk.st_rdev, partition.start, end, false, 0, &scanned);
    } else if (S_ISREG(disk.st_mode)) {
      scanned.push_back({true, disk.st_dev, disk.st_ino, partition.start, end});
    }
    for (const Extent& a : written) {
      for (const Extent& b : scanned) {
        if (Overlap(a, b)) return true;
      }
    }
    return false;
  } catch (const std::exception&) {
    return false;
  }
}
