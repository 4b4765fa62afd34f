#include "platform/Volumes.h"

bool SystemVolumes::RootForSerial(std::uint32_t, std::u16string*) { return false; }
