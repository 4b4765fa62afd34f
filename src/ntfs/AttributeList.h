// The attribute-list walk: a record whose attributes do not fit it names, in
// its $ATTRIBUTE_LIST, the extension records that hold the rest. Only
// extension records that still belong to it count.
#pragma once

#include <cstdint>

#include "ntfs/DataStream.h"
#include "ntfs/MFTRecord.h"
#include "platform/Types.h"
#include "util/ByteBuffer.h"

class CMftReader;

// Whether the walk offers the extension records' $FILE_NAMEs to the base.
enum class ListNames { Skip, Offer };

// True for the codes a damaged record gives (code::InvalidParameter,
// code::HandleEof, code::NoMoreFiles): what it held is missing, the rest of
// the volume can still be read.
bool IsDamage(DWORD result);

class CAttributeListWalk {
 public:
  // Reads extension records through `records` (not owned).
  explicit CAttributeListWalk(CMftReader& records);
  CAttributeListWalk(const CAttributeListWalk&) = delete;
  CAttributeListWalk& operator=(const CAttributeListWalk&) = delete;

  // Follows the attribute list of `base`, the parsed record `index`: its
  // extension records that name it as their base, are in use exactly when
  // it is and whose sequence numbers follow its own offer their $FILE_NAMEs
  // to `base` (`names` Offer) and their pieces of the unnamed $DATA to
  // `stream` (when not null). Each extension record is read once; one that
  // is damaged or on sectors that cannot be read (Unreadable then says so)
  // is passed over, its pieces missing. code::InvalidParameter
  // for a list larger than ntfs::MaxAttributeList; a piece's failure, when
  // `check` is Strict or it is no damage; code::NotEnoughMemory; or the code
  // of a failed read.
  DWORD Follow(std::uint32_t index, CMFTRecord& base, ListNames names, DataStream* stream, RunListCheck check);

  // The unnamed $DATA of the parsed `record` (index `index`) as one stream:
  // its own piece and those its attribute list names, whose $FILE_NAMEs are
  // offered to `record` when it has no Win32 name. Codes as Follow.
  DWORD GatherData(std::uint32_t index, CMFTRecord& record, DataStream* stream, RunListCheck check);

  // The disk's code for the first extension record of the last walk that
  // could not be read; code::Success when every one was.
  DWORD Unreadable() const { return unreadable; }

 private:
  CMftReader& records;
  ByteBuffer extensionBytes;  // one record, for each extension record in turn
  std::uint32_t extensionSize = 0;
  DWORD unreadable = code::Success;
};
