#include "ntfs/AttributeList.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_set>

#include "ntfs/MftReader.h"
#include "ntfs/VolumeReads.h"
#include "ntfs/WofStream.h"

bool IsDamage(DWORD result) {
  return result == code::InvalidParameter || result == code::HandleEof || result == code::NoMoreFiles;
}

void DataValue::Reset(const VolumeGeometry& volume) {
  stream.Reset(volume);
  found = resident = residentSeen = false;
  residentBytes = nullptr;
  residentLength = 0;
  residentFlags = 0;
}

DWORD DataValue::Add(const ByteReader& attribute, RunListCheck check, ValueCopy copy) {
  std::uint8_t nonResident = 0;
  if (!attribute.U8(ntfs::AttrNonResident, &nonResident)) return code::InvalidParameter;
  if (!found) resident = nonResident == 0;
  found = true;
  if (nonResident != 0) return stream.AddPiece(attribute, check);
  if (residentSeen) return code::Success;
  const std::uint8_t* value = nullptr;
  std::uint32_t length = 0;
  const DWORD result = ResidentValueOf(attribute, &value, &length);
  if (result != code::Success) return result;
  if (copy == ValueCopy::Copy) {
    copied = AllocateZeroed(length);
    if (!copied) return code::NotEnoughMemory;
    if (length != 0) std::memcpy(copied.get(), value, length);
    value = copied.get();
  }
  residentSeen = true;
  residentBytes = value;
  residentLength = length;
  attribute.U16(ntfs::AttrFlags, &residentFlags);
  return code::Success;
}

void DataValue::Finish(Pieces pieces) { stream.Finish(pieces); }

DWORD DataValue::Read(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer, Zeroed zeroed,
                      ReadLoss* loss) {
  if (!resident) return stream.Read(offset, count, buffer, zeroed, loss);
  if (offset > residentLength || count > residentLength - offset) return code::InvalidParameter;
  if (count != 0) std::memcpy(buffer, residentBytes + offset, count);
  return code::Success;
}

void FileParts::Reset(const VolumeGeometry& volume) {
  data.Reset(volume);
  wof.Reset(volume);
  hasReparse = false;
  reparseLength = 0;
}

CAttributeListWalk::CAttributeListWalk(CMftReader& reader) : records(reader) {}

DWORD CAttributeListWalk::Walk(std::uint32_t index, CMFTRecord& base, ListNames names, Wanted wanted,
                               RunListCheck check, const Take& take) {
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
  DWORD result = base.ReadAttributeValue(base.Attribute(span), &value, &size, ntfs::MaxAttributeList + 1);
  if (result != code::Success) return result;
  if (size > ntfs::MaxAttributeList) return code::InvalidParameter;
  const ByteReader list(value.get(), static_cast<std::size_t>(size));
  std::unordered_set<std::uint64_t> visited;  // each extension record is read once, however often it is named
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
    const std::size_t entry = at;
    at += length;
    bool wantedEntry = offerNames && type == ntfs::TypeFileName;
    if (wanted == Wanted::UnnamedData) wantedEntry = wantedEntry || (type == ntfs::TypeData && nameLength == 0);
    if (wanted == Wanted::Parts && (type == ntfs::TypeData || type == ntfs::TypeReparsePoint)) {
      // Named streams other than the one system compression uses hold
      // nothing the file's content needs.
      std::uint8_t nameOffset = 0;
      list.U8(entry + ntfs::AleNameOffset, &nameOffset);
      const std::u16string_view wofName(wof::StreamName);
      bool named = nameLength == wofName.size() && list.Holds(entry + nameOffset, 2u * nameLength) &&
                   nameOffset + 2u * nameLength <= length;
      for (std::size_t i = 0; named && i < wofName.size(); ++i) {
        std::uint16_t unit = 0;
        list.U16(entry + nameOffset + 2 * i, &unit);
        named = unit == wofName[i];
      }
      wantedEntry = wantedEntry || type == ntfs::TypeReparsePoint || nameLength == 0 || named;
    }
    const std::uint64_t number = reference & ntfs::RecordNumberMask;
    if (!wantedEntry || number == index || number > UINT32_MAX) continue;
    try {
      if (!visited.insert(number).second) continue;
    } catch (const std::bad_alloc&) {
      return code::NotEnoughMemory;
    }
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
      if (offerNames && kind == ntfs::TypeFileName) base.OfferFileName(attribute);
      return take(extension, kind, attribute);
    });
    if (result != code::Success && (check == RunListCheck::Strict || !IsDamage(result))) return result;
  }
  return code::Success;
}

DWORD CAttributeListWalk::Follow(std::uint32_t index, CMFTRecord& base, ListNames names, DataStream* stream,
                                 RunListCheck check) {
  const Wanted wanted = stream != nullptr ? Wanted::UnnamedData : Wanted::Nothing;
  return Walk(index, base, names, wanted, check, [&](CMFTRecord&, std::uint32_t type, const ByteReader& attribute) {
    std::uint8_t unnamed = 0, nonResident = 0;
    attribute.U8(ntfs::AttrNameLength, &unnamed);
    attribute.U8(ntfs::AttrNonResident, &nonResident);
    if (stream == nullptr || type != ntfs::TypeData || unnamed != 0 || nonResident == 0) return code::Success;
    return stream->AddPiece(attribute, check);
  });
}

DWORD CAttributeListWalk::GatherData(std::uint32_t index, CMFTRecord& record, DataStream* stream, RunListCheck check) {
  stream->Reset(records.Clusters());
  // Every piece the record holds itself, not only its first: an attribute
  // list may put pieces of other records between them.
  DWORD result = record.ForEachAttribute([&](std::uint32_t type, const ByteReader& attribute) -> DWORD {
    std::uint8_t unnamed = 0, nonResident = 0;
    attribute.U8(ntfs::AttrNameLength, &unnamed);
    attribute.U8(ntfs::AttrNonResident, &nonResident);
    if (type != ntfs::TypeData || unnamed != 0 || nonResident == 0) return code::Success;
    return stream->AddPiece(attribute, check);
  });
  if (result != code::Success) return result;
  const bool fromList = record.AttributeList().length != 0;
  if (fromList) {
    const ListNames names = record.HasWin32Name() ? ListNames::Skip : ListNames::Offer;
    result = Follow(index, record, names, stream, check);
    if (result != code::Success) return result;
  }
  stream->Finish(fromList ? Pieces::FromList : Pieces::OneAttribute);
  return code::Success;
}

DWORD CAttributeListWalk::GatherParts(std::uint32_t index, CMFTRecord& record, FileParts* parts, RunListCheck check) {
  parts->Reset(records.Clusters());
  auto take = [&](CMFTRecord& owner, std::uint32_t type, const ByteReader& attribute) -> DWORD {
    const ValueCopy copy = &owner == &record ? ValueCopy::InPlace : ValueCopy::Copy;
    if (type == ntfs::TypeData) {
      std::uint8_t nameLength = 0;
      attribute.U8(ntfs::AttrNameLength, &nameLength);
      if (nameLength == 0) return parts->data.Add(attribute, check, copy);
      if (AttributeNamed(attribute, wof::StreamName)) return parts->wof.Add(attribute, check, copy);
      return code::Success;
    }
    if (type != ntfs::TypeReparsePoint || parts->hasReparse) return code::Success;
    // A reparse point that cannot be read still says the bytes may lie
    // elsewhere: it is kept, with nothing of its value.
    parts->hasReparse = true;
    ByteBuffer value;
    std::uint64_t size = 0;
    if (owner.ReadAttributeValue(attribute, &value, &size, ntfs::ReparseKept) == code::Success) {
      std::memcpy(parts->reparse, value.get(), static_cast<std::size_t>(size));
      parts->reparseLength = static_cast<std::uint32_t>(size);
    }
    return code::Success;
  };
  DWORD result = record.ForEachAttribute(
      [&](std::uint32_t type, const ByteReader& attribute) -> DWORD { return take(record, type, attribute); });
  if (result != code::Success && (check == RunListCheck::Strict || !IsDamage(result))) return result;
  const bool fromList = record.AttributeList().length != 0;
  if (fromList) {
    const ListNames names = record.HasWin32Name() ? ListNames::Skip : ListNames::Offer;
    result = Walk(index, record, names, Wanted::Parts, check, take);
    if (result != code::Success) return result;
  }
  const Pieces pieces = fromList ? Pieces::FromList : Pieces::OneAttribute;
  parts->data.Finish(pieces);
  parts->wof.Finish(pieces);
  return code::Success;
}
