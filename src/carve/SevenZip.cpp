// 7z archives: the signature header states where the next header lies and
// how long it is, with CRC-32s of both; the archive ends after it.
#include "carve/Crc32.h"
#include "carve/Parsers.h"
#include "util/ByteReader.h"

namespace carve {

namespace {

constexpr std::size_t SignatureHeaderBytes = 32;  // signature 6, version 2, start header CRC 4, start header 20
constexpr std::size_t MajorVersion = 6;           // 0 for every archive so far
constexpr std::size_t StartHeaderCrc = 8;         // u32: CRC-32 of the 20 bytes after it
constexpr std::size_t StartHeader = 12;
constexpr std::size_t StartHeaderBytes = 20;
constexpr std::size_t NextHeaderOffset = 12;      // u64, from the end of the signature header
constexpr std::size_t NextHeaderSize = 20;        // u64
constexpr std::size_t NextHeaderCrc = 28;         // u32
constexpr std::uint8_t PropertyHeader = 0x01, PropertyEncodedHeader = 0x17;  // the next header's first byte
constexpr std::uint8_t Signature[] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};

}  // namespace

bool MatchesSevenZip(const std::uint8_t* bytes, std::size_t available) {
  if (available < SignatureHeaderBytes) return false;
  for (std::size_t i = 0; i < sizeof(Signature); ++i)
    if (bytes[i] != Signature[i]) return false;
  const ByteReader in(bytes, available);
  std::uint32_t crc = 0;
  return bytes[MajorVersion] == 0 && in.U32(StartHeaderCrc, &crc) &&
         crc == Crc32Of(bytes + StartHeader, StartHeaderBytes);
}

void ParseSevenZip(SourceReader& reader, const Limits&, Carving* result) {
  const std::uint8_t* h = reader.Get(0, SignatureHeaderBytes);
  if (h == nullptr || !MatchesSevenZip(h, SignatureHeaderBytes)) return SetNotThisType(result);
  const ByteReader in(h, SignatureHeaderBytes);
  std::uint64_t offset = 0, size = 0;
  std::uint32_t crc = 0;
  in.U64(NextHeaderOffset, &offset);
  in.U64(NextHeaderSize, &size);
  in.U32(NextHeaderCrc, &crc);
  result->extension = "7z";
  result->subtype = "7z archive";
  const std::uint64_t next = SaturatingAdd(SignatureHeaderBytes, offset);
  const std::uint64_t end = SaturatingAdd(next, size);
  if (size == 0) {
    // An empty archive has no next header at all.
    if (offset != 0) return SetDamaged(result, SignatureHeaderBytes, Damage::Invalid);
    return SetCarved(result, SignatureHeaderBytes);
  }
  std::uint8_t first = 0;
  std::uint32_t actual = 0;
  if (!reader.U8(next, &first) || !Crc32Of(reader, next, size, &actual))
    return SetDamaged(result, reader.Available(next), Damage::CutShort);
  if (actual != crc || (first != PropertyHeader && first != PropertyEncodedHeader))
    return SetDamaged(result, next, Damage::Invalid);
  SetCarved(result, end);
}

}  // namespace carve
