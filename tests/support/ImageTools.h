// Disk images in containers, made from a raw image by the real tools
// (qemu-img, ewfacquire, split), for the readers' tests.
#pragma once

#include <string>
#include <vector>

#include "disk/DiskImage.h"

struct ContainerKind {
  const char* name;
  ImageFormat format;
  const char* command;  // %RAW% and %OUT% (a path without extension) replaced
  const char* open;     // appended to %OUT%: the file to open
};

// vhd-fixed, vhd-dynamic, vhdx-fixed, vhdx-dynamic (1 MiB blocks), ewf-best
// (one segment), ewf-fast and ewf-stored (1 MiB segments), pieces (of
// 1 MiB + 7 bytes, opened by the second).
const std::vector<ContainerKind>& ContainerKinds();

// Whether qemu-img, ewfacquire and split are here.
bool ContainerToolsPresent();

// Makes `kind` of `raw` as `dir`/`kind.name`...; returns the path to open,
// empty on failure (with the tool's output in `log`).
std::string MakeContainer(const ContainerKind& kind, const std::string& raw, const std::string& dir,
                          std::string* log);

// An EWF segment's sections, in order, and the first of a type.
struct EwfSectionAt {
  std::string type;
  std::uint64_t at, size;
};
std::vector<EwfSectionAt> EwfSections(const std::string& path);
EwfSectionAt EwfSection(const std::string& path, const std::string& type);

// Bytes of a file, and writes over some of them in place.
std::vector<std::uint8_t> FileBytes(const std::string& path, std::uint64_t offset, std::size_t count);
void PatchFile(const std::string& path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes);
