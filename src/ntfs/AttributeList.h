// The attribute-list walk: a record whose attributes do not fit it names, in
// its $ATTRIBUTE_LIST, the extension records that hold the rest. Only
// extension records that still belong to it count. A file's values are
// gathered from every record that holds a piece of them, the base included.
#pragma once

#include <cstdint>
#include <functional>

#include "ntfs/DataStream.h"
#include "ntfs/MFTRecord.h"
#include "ntfs/NtfsLayout.h"
#include "platform/Types.h"
#include "util/ByteBuffer.h"

class CMftReader;

// Whether the walk offers the extension records' $FILE_NAMEs to the base.
enum class ListNames { Skip, Offer };
// Whether a resident value is taken where it lies (its record's bytes stay
// valid while it is used) or copied (the record's buffer is reused).
enum class ValueCopy { InPlace, Copy };

// True for the codes a damaged record gives (code::InvalidParameter,
// code::HandleEof, code::NoMoreFiles): what it held is missing, the rest of
// the volume can still be read.
bool IsDamage(DWORD result);

// One $DATA value of a file, from its pieces wherever they lie: resident in
// one record, or the runs of its non-resident pieces in VCN order.
class DataValue {
 public:
  void Reset(const VolumeGeometry& volume);
  // Adds an attribute of the value (`attribute` spans exactly it): a
  // non-resident piece as DataStream::AddPiece takes it, or the resident
  // value (only the first is kept). The first attribute added says whether
  // the value is resident, as a record's first unnamed $DATA says it for a
  // summary. code::InvalidParameter for a resident value that leaves its
  // attribute; code::NotEnoughMemory.
  DWORD Add(const ByteReader& attribute, RunListCheck check, ValueCopy copy);
  // Orders the pieces.
  void Finish(Pieces pieces);

  bool Found() const { return found; }
  bool Resident() const { return resident; }
  const std::uint8_t* ResidentBytes() const { return residentBytes; }
  std::uint32_t ResidentLength() const { return residentLength; }
  // The resident attribute's flags (encryption).
  std::uint16_t ResidentFlags() const { return residentFlags; }
  const DataStream& Stream() const { return stream; }
  // Bytes that can be read, and the size the attribute gives.
  std::uint64_t Size() const { return resident ? residentLength : stream.Size(); }
  std::uint64_t FullSize() const { return resident ? residentLength : stream.FullSize(); }
  // Bytes [offset, offset + count) of the value, inside Size(): as
  // DataStream::Read (with `loss` for sectors that cannot be read).
  DWORD Read(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer, Zeroed zeroed = Zeroed::No,
             ReadLoss* loss = nullptr);

 private:
  DataStream stream;
  bool found = false, resident = false, residentSeen = false;
  const std::uint8_t* residentBytes = nullptr;  // in its record, or in `copied`
  std::uint32_t residentLength = 0;
  std::uint16_t residentFlags = 0;
  ByteBuffer copied;
};

// What a file's records hold of its content: its unnamed $DATA, the start
// of its reparse point, and the $DATA stream system compression keeps its
// chunks in.
struct FileParts {
  DataValue data;
  DataValue wof;
  bool hasReparse = false;
  std::uint8_t reparse[ntfs::ReparseKept] = {};
  std::uint32_t reparseLength = 0;  // bytes kept: 0 when the value could not be read

  void Reset(const VolumeGeometry& volume);
};

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
  // the non-resident pieces it holds itself and those its attribute list
  // names, whose $FILE_NAMEs are offered to `record` when it has no Win32
  // name. Codes as Follow.
  DWORD GatherData(std::uint32_t index, CMFTRecord& record, DataStream* stream, RunListCheck check);

  // Everything of the parsed `record` (index `index`) that `parts` holds,
  // from the record itself and every extension record its attribute list
  // names; the $FILE_NAMEs are offered as GatherData offers them. A
  // resident value in an extension record is copied. Codes as Follow.
  DWORD GatherParts(std::uint32_t index, CMFTRecord& record, FileParts* parts, RunListCheck check);

  // The disk's code for the first extension record of the last walk that
  // could not be read; code::Success when every one was.
  DWORD Unreadable() const { return unreadable; }

 private:
  // Which list entries make an extension record worth reading, beyond names.
  enum class Wanted { Nothing, UnnamedData, Parts };
  using Take = std::function<DWORD(CMFTRecord& owner, std::uint32_t type, const ByteReader& attribute)>;

  // Reads each extension record the list names for what `wanted` asks
  // (once, however often it is named) and hands each of its attributes to
  // `take`. Codes as Follow.
  DWORD Walk(std::uint32_t index, CMFTRecord& base, ListNames names, Wanted wanted, RunListCheck check,
             const Take& take);

  CMftReader& records;
  ByteBuffer extensionBytes;  // one record, for each extension record in turn
  std::uint32_t extensionSize = 0;
  DWORD unreadable = code::Success;
};
