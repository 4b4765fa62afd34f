#include "ntfs/ClusterBitmap.h"

#include <algorithm>
#include <iterator>

#include "ntfs/AttributeList.h"
#include "ntfs/MftReader.h"
#include "ntfs/NtfsLayout.h"

CClusterBitmap::CClusterBitmap(CMftReader& reader, CAttributeListWalk& walk) : records(reader), lists(walk) {}

void CClusterBitmap::Reset() {
  state = code::InvalidAccess;
  for (Piece& piece : pieces) piece = Piece{};
}

DWORD CClusterBitmap::Load() {
  if (state != code::InvalidAccess) return state;
  ByteBuffer bytes = AllocateZeroed(records.RecordSize());
  if (!bytes) return code::NotEnoughMemory;
  CMFTRecord record;
  DWORD result = records.Fetch(ntfs::BitmapRecord, MftRead::OnDemand, bytes.get());
  if (result == code::Success) result = records.Parse(bytes.get(), &record);
  if (result == code::Success && (record.DataAttribute().length == 0 || record.DataIsResident())) {
    result = code::InvalidParameter;
  }
  if (result == code::Success) result = lists.GatherData(ntfs::BitmapRecord, record, &bitmap, RunListCheck::Strict);
  state = result;
  return result;
}

DWORD CClusterBitmap::PieceAt(std::uint64_t index, Piece** found) {
  Piece* piece = std::find_if(std::begin(pieces), std::end(pieces), [&](const Piece& p) { return p.index == index; });
  if (piece == std::end(pieces)) {
    piece = std::min_element(std::begin(pieces), std::end(pieces),
                             [](const Piece& a, const Piece& b) { return a.lastUse < b.lastUse; });
    if (!piece->data) piece->data = AllocateZeroed(PieceBytes);
    if (!piece->data) return code::NotEnoughMemory;
    const std::uint64_t start = index * PieceBytes;
    piece->index = UINT64_MAX;
    piece->bytes = static_cast<std::uint32_t>(std::min<std::uint64_t>(PieceBytes, bitmap.Size() - start));
    const DWORD result = bitmap.Read(start, piece->bytes, piece->data.get());
    if (result != code::Success) return result;
    piece->index = index;
  }
  piece->lastUse = ++clock;
  *found = piece;
  return code::Success;
}

DWORD CClusterBitmap::CountInUse(std::uint64_t first, std::uint64_t count, std::uint64_t* inUse) {
  *inUse = 0;
  DWORD result = Load();
  if (result != code::Success) return result;
  const std::uint64_t bits = SaturatingMultiply(bitmap.Size(), 8);
  if (first > bits || count > bits - first) return code::InvalidParameter;
  std::uint64_t total = 0;
  for (std::uint64_t bit = first; bit < first + count;) {
    const std::uint64_t pieceIndex = bit / 8 / PieceBytes;
    Piece* piece = nullptr;
    result = PieceAt(pieceIndex, &piece);
    if (result != code::Success) return result;
    // Whole bytes where the range allows, single bits at its ends.
    const std::uint64_t pieceEndBit = (pieceIndex * PieceBytes + piece->bytes) * 8;
    const std::uint64_t stop = std::min(first + count, pieceEndBit);
    const std::uint8_t* bytes = piece->data.get();
    const std::uint64_t base = pieceIndex * PieceBytes * 8;  // the piece's first bit
    auto one = [&](std::uint64_t at) { return (bytes[(at - base) / 8] >> (at % 8)) & 1u; };
    for (; bit < stop && bit % 8 != 0; ++bit) total += one(bit);
    for (; stop - bit >= 8; bit += 8) total += static_cast<unsigned>(__builtin_popcount(bytes[(bit - base) / 8]));
    for (; bit < stop; ++bit) total += one(bit);
  }
  *inUse = total;
  return code::Success;
}
