#include "ntfs/AttributeList.h"

#include <algorithm>
#include <vector>

#include "ntfs/MftReader.h"
#include "ntfs/NtfsLayout.h"
#include "ntfs/VolumeReads.h"

bool IsDamage(DWORD result) {
  return result == code::InvalidParameter || result == code::HandleEof || result == code::NoMoreFiles;
}

CAttributeListWalk::CAttributeListWalk(CMftReader& reader) : records(reader) {}

DWORD CAttributeListWalk::Follow(std::uint32_t index, CMFTRecord& base, ListNames names, DataStream* stream,
                                 RunListCheck check) {
  unreadable = code::Success;
  const AttributeSpan span = base.AttributeList();
  if (span.length == 0) return code::Success;
  const bool offerNames = names == ListNames::Offer;
  const std::uint32_t recordSize = records.RecordSize();
  if (extensionSize != recordSize) {
    extensionBytes = AllocateZeroed(recordSize);
    if (!extensionBytes) return code::NotEnoughMemory;
    extensionSize = recordSize;
  }
  ByteBuffer value;
  std::uint64_t size = 0;
  DWORD result = base.ReadAttributeValue(ByteReader(base.Bytes() + span.offset, span.length), &value, &size,
                                         ntfs::MaxAttributeList + 1);
  if (result != code::Success) return result;
  if (size > ntfs::MaxAttributeList) return code::InvalidParameter;
  const ByteReader list(value.get(), static_cast<std::size_t>(size));
  std::vector<std::uint64_t> visited;  // each extension record is read once
  CMFTRecord extension;
  for (std::size_t at = 0; list.Holds(at, ntfs::AleMinimumLength);) {
    std::uint32_t type = 0;
    std::uint16_t length = 0;
    std::uint8_t nameLength = 0;
    std::uint64_t reference = 0;
    list.U32(at + ntfs::AleType, &type);
    list.U16(at + ntfs::AleLength, &length);
    list.U8(at + ntfs::AleNameLength, &nameLength);
    list.U64(at + ntfs::AleReference, &reference);
    if (length < ntfs::AleMinimumLength || !list.Holds(at, length)) break;  // the rest cannot be bounded
    at += length;
    const bool wanted =
        (offerNames && type == ntfs::TypeFileName) || (stream != nullptr && type == ntfs::TypeData && nameLength == 0);
    const std::uint64_t number = reference & ntfs::RecordNumberMask;
    if (!wanted || number == index || number > UINT32_MAX ||
        std::find(visited.begin(), visited.end(), number) != visited.end()) {
      continue;
    }
    visited.push_back(number);
    result = records.Fetch(static_cast<std::uint32_t>(number), MftRead::OnDemand, extensionBytes.get());
    if (result == code::Success) result = records.Prepare(&extension);
    if (result == code::Success) result = extension.ParseHeader(extensionBytes.get(), recordSize);
    if (IsUnreadable(result) && unreadable == code::Success) unreadable = result;
    if (IsDamage(result) || IsUnreadable(result)) continue;  // its pieces are missing
    if (result != code::Success) return result;
    // The extension must still belong to this record: it names it as its
    // base, and is in use exactly when the base is. A freed base's numbers
    // may each have moved by the one step a delete makes.
    const std::uint64_t owner = extension.BaseReference();
    const auto ownerSequence = static_cast<std::uint16_t>(owner >> ntfs::ReferenceSequenceShift);
    const auto listedSequence = static_cast<std::uint16_t>(reference >> ntfs::ReferenceSequenceShift);
    const bool freed = !base.InUse();
    if ((owner & ntfs::RecordNumberMask) != index || extension.InUse() == freed ||
        !SequenceFollows(ownerSequence, base.SequenceNumber(), freed) ||
        !SequenceFollows(listedSequence, extension.SequenceNumber(), freed)) {
      continue;
    }
    result = extension.ForEachAttribute([&](std::uint32_t kind, const ByteReader& attribute) -> DWORD {
      std::uint8_t unnamed = 0;
      attribute.U8(ntfs::AttrNameLength, &unnamed);
      if (offerNames && kind == ntfs::TypeFileName) base.OfferFileName(attribute);
      if (stream != nullptr && kind == ntfs::TypeData && unnamed == 0) {
        std::uint8_t nonResident = 0;
        attribute.U8(ntfs::AttrNonResident, &nonResident);
        if (nonResident != 0) return stream->AddPiece(attribute, check);
      }
      return code::Success;
    });
    if (result != code::Success && (check == RunListCheck::Strict || !IsDamage(result))) return result;
  }
  return code::Success;
}

DWORD CAttributeListWalk::GatherData(std::uint32_t index, CMFTRecord& record, DataStream* stream, RunListCheck check) {
  stream->Reset(records.Clusters());
  const AttributeSpan data = record.DataAttribute();
  if (data.length != 0) {
    const DWORD result = stream->AddPiece(ByteReader(record.Bytes() + data.offset, data.length), check);
    if (result != code::Success) return result;
  }
  const bool fromList = record.AttributeList().length != 0;
  if (fromList) {
    const ListNames names = record.HasWin32Name() ? ListNames::Skip : ListNames::Offer;
    const DWORD result = Follow(index, record, names, stream, check);
    if (result != code::Success) return result;
  }
  stream->Finish(fromList ? Pieces::FromList : Pieces::OneAttribute);
  return code::Success;
}
