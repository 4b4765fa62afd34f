#include "ntfs/RunList.h"

#include "ntfs/NtfsLayout.h"

DWORD RunListCursor::Next(DataRun* run, bool* more) {
  *more = false;
  std::uint8_t header = 0;
  if (!bytes.U8(position, &header)) return code::InvalidParameter;
  if (header == 0) return code::Success;
  const std::uint32_t lengthBytes = header & 0x0F;
  const std::uint32_t offsetBytes = header >> 4;
  if (lengthBytes > ntfs::RunFieldMax || offsetBytes > ntfs::RunFieldMax) {
    return code::InvalidParameter;
  }
  std::uint64_t length = 0;
  std::int64_t delta = 0;
  if (!bytes.Unsigned(position + 1, lengthBytes, &length) ||
      !bytes.Signed(position + 1 + lengthBytes, offsetBytes, &delta)) {
    return code::InvalidParameter;
  }
  position += 1 + lengthBytes + offsetBytes;

  run->length = length;
  run->sparse = offsetBytes == 0;
  if (!run->sparse) {
    // Overflow-free: both operands are checked before the sum.
    if ((delta > 0 && currentLcn > INT64_MAX - delta) ||
        (delta < 0 && currentLcn < INT64_MIN - delta)) {
      return code::InvalidParameter;
    }
    currentLcn += delta;
    if (currentLcn < 0) return code::InvalidParameter;
  }
  run->lcn = run->sparse ? 0 : currentLcn;
  *more = true;
  return code::Success;
}
