// Mounted volumes, looked up by serial number to name partitions by drive
// root. Windows asks GetLogicalDrives and GetVolumeInformationW anew on each
// call; elsewhere no volume ever matches.
#pragma once

#include <cstdint>
#include <string>

class VolumeLookup {
 public:
  virtual ~VolumeLookup() = default;
  // The first root from "B:\" to "Z:\" whose volume serial is `serial`.
  virtual bool RootForSerial(std::uint32_t serial, std::u16string* root) = 0;
};

class SystemVolumes : public VolumeLookup {
 public:
  bool RootForSerial(std::uint32_t serial, std::u16string* root) override;
};
