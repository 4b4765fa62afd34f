#include "support/ImageTools.h"

#include <algorithm>
#include <fstream>

#include "support/TestVolumes.h"
#include "util/ByteReader.h"

const std::vector<ContainerKind>& ContainerKinds() {
  static const std::vector<ContainerKind> kinds = {
      {"vhd-fixed", ImageFormat::Vhd, "qemu-img convert -q -f raw -O vpc -o subformat=fixed,force_size=on %RAW% %OUT%.vhd",
       ".vhd"},
      {"vhd-dynamic", ImageFormat::Vhd,
       "qemu-img convert -q -f raw -O vpc -o subformat=dynamic,force_size=on %RAW% %OUT%.vhd", ".vhd"},
      {"vhdx-fixed", ImageFormat::Vhdx, "qemu-img convert -q -f raw -O vhdx -o subformat=fixed %RAW% %OUT%.vhdx",
       ".vhdx"},
      {"vhdx-dynamic", ImageFormat::Vhdx,
       "qemu-img convert -q -f raw -O vhdx -o subformat=dynamic,block_size=1M %RAW% %OUT%.vhdx", ".vhdx"},
      {"ewf-best", ImageFormat::Ewf, "ewfacquire -u -q -t %OUT% -f encase6 -c best %RAW%", ".E01"},
      {"ewf-fast", ImageFormat::Ewf, "ewfacquire -u -q -t %OUT% -f encase6 -c fast -S 1MiB %RAW%", ".E01"},
      {"ewf-stored", ImageFormat::Ewf, "ewfacquire -u -q -t %OUT% -f encase6 -c none -S 1MiB %RAW%", ".E02"},
      {"pieces", ImageFormat::SplitRaw, "split -d -a 3 --numeric-suffixes=1 -b 1048583 %RAW% %OUT%.", ".002"},
  };
  return kinds;
}

bool ContainerToolsPresent() {
  return RunCommand("command -v qemu-img && command -v ewfacquire && command -v split") == 0;
}

std::string MakeContainer(const ContainerKind& kind, const std::string& raw, const std::string& dir,
                          std::string* log) {
  const std::string out = dir + "/" + kind.name;
  std::string command = kind.command;
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"%RAW%", raw}, {"%OUT%", out}}) {
    for (std::size_t at; (at = command.find(key)) != std::string::npos;) command.replace(at, key.size(), value);
  }
  if (RunCommand(command + " </dev/null 2>&1", log) != 0) return "";
  return out + kind.open;
}

std::vector<std::uint8_t> FileBytes(const std::string& path, std::uint64_t offset, std::size_t count) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<std::uint8_t> bytes(count);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

void PatchFile(const std::string& path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<EwfSectionAt> EwfSections(const std::string& path) {
  std::vector<EwfSectionAt> sections;
  for (std::uint64_t at = 13;;) {
    const std::vector<std::uint8_t> descriptor = FileBytes(path, at, 76);
    ByteReader reader(descriptor.data(), descriptor.size());
    std::uint64_t next = 0, size = 0;
    if (!reader.U64(16, &next) || !reader.U64(24, &size)) return sections;
    sections.push_back({std::string(descriptor.begin(), std::find(descriptor.begin(), descriptor.begin() + 16, 0)), at, size});
    if (next <= at) return sections;
    at = next;
  }
}

EwfSectionAt EwfSection(const std::string& path, const std::string& type) {
  for (const EwfSectionAt& section : EwfSections(path)) {
    if (section.type == type) return section;
  }
  return {"", 0, 0};
}
