// The volume's cluster bitmap ($Bitmap, record 6: bit i set means cluster i
// is in use), read a piece at a time as it is asked for, never whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ntfs/DataStream.h"
#include "platform/Types.h"
#include "util/ByteBuffer.h"

class CMftReader;
class CAttributeListWalk;

class CClusterBitmap {
 public:
  // Finds $Bitmap through `records` and `lists` (not owned) when first asked.
  CClusterBitmap(CMftReader& records, CAttributeListWalk& lists);
  CClusterBitmap(const CClusterBitmap&) = delete;
  CClusterBitmap& operator=(const CClusterBitmap&) = delete;

  // Forgets the bitmap and its pieces: a newly mapped volume's is read anew.
  void Reset();
  // How many of the clusters [first, first + count) the bitmap marks in
  // use, into `*inUse`. code::InvalidParameter when the range lies past the
  // bitmap or $Bitmap has no non-resident $DATA; code::NotEnoughMemory; or
  // the code of the failed read: the bitmap cannot tell.
  DWORD CountInUse(std::uint64_t first, std::uint64_t count, std::uint64_t* inUse);

 private:
  struct Piece {
    std::uint64_t index = UINT64_MAX;  // which piece of the bitmap
    std::uint32_t bytes = 0;
    std::uint64_t lastUse = 0;
    ByteBuffer data;
  };
  static constexpr std::uint32_t PieceBytes = 64u << 10;
  static constexpr std::size_t PieceCount = 8;

  DWORD Load();
  // The piece `index`, read into the least recently used slot when it is not held.
  DWORD PieceAt(std::uint64_t index, Piece** piece);

  CMftReader& records;
  CAttributeListWalk& lists;
  DataStream bitmap;
  DWORD state = code::InvalidAccess;  // code::Success once loaded, else why not
  Piece pieces[PieceCount];
  std::uint64_t clock = 0;
};
