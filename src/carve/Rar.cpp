// RAR archives, versions 4 and 5: a walk over the blocks, each header
// checked against its CRC, each block's data passed by its stated size, to
// the end-of-archive block.
#include "carve/Crc32.h"
#include "carve/Parsers.h"

namespace carve {

namespace {

constexpr std::size_t Rar4MarkerBytes = 7;   // "Rar!" 1A 07 00: itself a block of 7 bytes
constexpr std::size_t Rar5MarkerBytes = 8;   // "Rar!" 1A 07 01 00

// RAR 4 block header: u16 CRC (the low half of the CRC-32 of the header
// from the type on), u8 type, u16 flags, u16 header size, then u32 data
// size where the flags or the type say so.
constexpr std::size_t Rar4HeaderMin = 7;
constexpr std::size_t Rar4Type = 2, Rar4Flags = 3, Rar4Size = 5, Rar4DataSize = 7;
constexpr std::size_t Rar4HighDataSize = 32;  // file blocks with the large flag: the size's high u32
constexpr std::uint16_t Rar4LongBlock = 0x8000;
constexpr std::uint16_t Rar4Large = 0x0100;
constexpr std::uint16_t Rar4EncryptedHeaders = 0x0080;  // in the main header: the headers after it are encrypted
constexpr std::uint8_t Rar4Main = 0x73, Rar4File = 0x74, Rar4Service = 0x7A, Rar4End = 0x7B;
constexpr std::uint8_t Rar4FirstType = 0x73, Rar4LastType = 0x7B;

// RAR 5 block: u32 CRC-32 of what follows it in the header, header size
// (a variable-length integer, seven bits a byte, low first), then the
// header: type, flags, extra area size and data size where the flags say.
constexpr std::uint64_t Rar5MaxHeader = (1u << 21) - 1;  // at most three bytes of size
constexpr std::size_t Rar5MaxVint = 10;
constexpr std::uint64_t Rar5HasExtra = 0x0001, Rar5HasData = 0x0002;
constexpr std::uint64_t Rar5Main = 1, Rar5Encryption = 4, Rar5End = 5;

bool Marker4(const std::uint8_t* b, std::size_t available) {
  return available >= Rar4MarkerBytes && b[0] == 'R' && b[1] == 'a' && b[2] == 'r' && b[3] == '!' && b[4] == 0x1A &&
         b[5] == 0x07 && b[6] == 0x00;
}

bool Marker5(const std::uint8_t* b, std::size_t available) {
  return available >= Rar5MarkerBytes && b[0] == 'R' && b[1] == 'a' && b[2] == 'r' && b[3] == '!' && b[4] == 0x1A &&
         b[5] == 0x07 && b[6] == 0x01 && b[7] == 0x00;
}

void Walk4(SourceReader& reader, Carving* result) {
  std::uint64_t pos = Rar4MarkerBytes;
  bool first = true;
  // Each block consumes its header (7 bytes at least).
  for (;;) {
    const std::uint8_t* h = reader.Get(pos, Rar4HeaderMin);
    if (h == nullptr) return SetDamaged(result, pos, Damage::CutShort);
    const std::uint16_t crc = Le16(h);
    const std::uint8_t type = h[Rar4Type];
    const std::uint16_t flags = Le16(h + Rar4Flags), size = Le16(h + Rar4Size);
    if (type < Rar4FirstType || type > Rar4LastType || size < Rar4HeaderMin || (first && type != Rar4Main))
      return first ? SetNotThisType(result) : SetDamaged(result, pos, Damage::Invalid);
    std::uint32_t actual = 0;
    if (!Crc32Of(reader, pos + Rar4Type, size - Rar4Type, &actual)) return SetDamaged(result, pos, Damage::CutShort);
    if ((actual & 0xFFFF) != crc) return first ? SetNotThisType(result) : SetDamaged(result, pos, Damage::Invalid);
    std::uint64_t data = 0;
    if ((flags & Rar4LongBlock) || type == Rar4File || type == Rar4Service) {
      std::uint32_t low = 0, high = 0;
      if (size < Rar4DataSize + 4 || !reader.U32(pos + Rar4DataSize, &low)) return SetDamaged(result, pos, Damage::Invalid);
      if ((type == Rar4File || type == Rar4Service) && (flags & Rar4Large)) {
        if (size < Rar4HighDataSize + 4 || !reader.U32(pos + Rar4HighDataSize, &high))
          return SetDamaged(result, pos, Damage::Invalid);
      }
      data = (std::uint64_t{high} << 32) | low;
    }
    const std::uint64_t end = pos + size + data;
    if (type == Rar4End) return SetCarved(result, pos + size);
    if (type == Rar4Main && (flags & Rar4EncryptedHeaders)) return SetDamaged(result, end, Damage::Unbounded);
    const std::uint64_t available = reader.Available(end);
    if (available < end) return SetDamaged(result, pos, Damage::CutShort);
    pos = end;
    first = false;
  }
}

// A variable-length integer at `*pos`, which moves past it.
bool Vint(SourceReader& reader, std::uint64_t* pos, std::uint64_t* value) {
  std::uint64_t result = 0;
  for (std::size_t i = 0; i < Rar5MaxVint; ++i) {
    std::uint8_t byte = 0;
    if (!reader.U8(*pos, &byte)) return false;
    ++*pos;
    if (i == Rar5MaxVint - 1 && byte > 1) return false;  // past 64 bits
    result |= std::uint64_t{byte & 0x7Fu} << (7 * i);
    if ((byte & 0x80) == 0) {
      *value = result;
      return true;
    }
  }
  return false;
}

void Walk5(SourceReader& reader, Carving* result) {
  std::uint64_t pos = Rar5MarkerBytes;
  bool first = true;
  // Each block consumes its CRC and header at least.
  for (;;) {
    std::uint32_t crc = 0;
    std::uint64_t at = pos + 4, headerSize = 0;
    if (!reader.U32(pos, &crc) || !Vint(reader, &at, &headerSize)) return SetDamaged(result, pos, Damage::CutShort);
    if (headerSize == 0 || headerSize > Rar5MaxHeader)
      return first ? SetNotThisType(result) : SetDamaged(result, pos, Damage::Invalid);
    const std::uint64_t headerEnd = at + headerSize;
    std::uint32_t actual = 0;
    if (!Crc32Of(reader, pos + 4, headerEnd - pos - 4, &actual)) return SetDamaged(result, pos, Damage::CutShort);
    if (actual != crc) return first ? SetNotThisType(result) : SetDamaged(result, pos, Damage::Invalid);
    std::uint64_t type = 0, flags = 0, extra = 0, data = 0;
    if (!Vint(reader, &at, &type) || !Vint(reader, &at, &flags) ||
        ((flags & Rar5HasExtra) && !Vint(reader, &at, &extra)) || ((flags & Rar5HasData) && !Vint(reader, &at, &data)) ||
        at > headerEnd || extra > headerEnd - at)
      return SetDamaged(result, pos, Damage::Invalid);
    if (first && type != Rar5Main && type != Rar5Encryption) return SetNotThisType(result);
    if (type == Rar5End) return SetCarved(result, headerEnd);
    if (type == Rar5Encryption) return SetDamaged(result, headerEnd, Damage::Unbounded);
    if (data > UINT64_MAX - headerEnd) return SetDamaged(result, pos, Damage::Invalid);
    const std::uint64_t end = headerEnd + data;
    if (reader.Available(end) < end) return SetDamaged(result, pos, Damage::CutShort);
    pos = end;
    first = false;
  }
}

}  // namespace

bool MatchesRar(const std::uint8_t* bytes, std::size_t available) {
  return Marker4(bytes, available) || Marker5(bytes, available);
}

void ParseRar(SourceReader& reader, const Limits&, Carving* result) {
  const std::uint8_t* head = reader.Get(0, Rar5MarkerBytes);
  if (head == nullptr) return SetNotThisType(result);
  result->extension = "rar";
  if (Marker5(head, Rar5MarkerBytes)) {
    result->subtype = "RAR 5 archive";
    return Walk5(reader, result);
  }
  if (!Marker4(head, Rar5MarkerBytes)) return SetNotThisType(result);
  result->subtype = "RAR 4 archive";
  Walk4(reader, result);
}

}  // namespace carve
