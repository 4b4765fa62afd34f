#include <windows.h>

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
