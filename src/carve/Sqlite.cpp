// SQLite 3 databases: the page size times the page count of the header,
// used only where the header says that count is valid (nonzero, and the
// change counter equals the version-valid-for number).
#include "carve/Parsers.h"
#include "util/ByteReader.h"

namespace carve {

namespace {

constexpr std::size_t HeaderBytes = 100;
constexpr std::size_t PageSize = 16;           // u16 big-endian, a power of two from 512 to 32768; 1 means 65536
constexpr std::size_t WriteVersion = 18;       // 1 legacy, 2 WAL
constexpr std::size_t ReadVersion = 19;
constexpr std::size_t MaxPayload = 21;         // fixed at 64
constexpr std::size_t MinPayload = 22;         // fixed at 32
constexpr std::size_t LeafPayload = 23;        // fixed at 32
constexpr std::size_t ChangeCounter = 24;      // u32 big-endian
constexpr std::size_t PageCount = 28;          // u32 big-endian: the in-header database size
constexpr std::size_t VersionValidFor = 92;    // u32 big-endian
constexpr std::uint32_t PageSize65536 = 1;
constexpr std::uint8_t TableLeaf = 0x0D, TableInterior = 0x05;  // page 1's b-tree page after the header

std::uint32_t PageBytes(const std::uint8_t* h) {
  const std::uint32_t size = (std::uint32_t{h[PageSize]} << 8) | h[PageSize + 1];
  if (size == PageSize65536) return 65536;
  if (size < 512 || (size & (size - 1)) != 0) return 0;
  return size;
}

}  // namespace

bool MatchesSqlite(const std::uint8_t* bytes, std::size_t available) {
  if (available < HeaderBytes || !HasText(bytes, available, 0, "SQLite format 3\0")) return false;
  const std::uint8_t write = bytes[WriteVersion], read = bytes[ReadVersion];
  return PageBytes(bytes) != 0 && write >= 1 && write <= 2 && read >= 1 && read <= 2 && bytes[MaxPayload] == 64 &&
         bytes[MinPayload] == 32 && bytes[LeafPayload] == 32 &&
         (bytes[HeaderBytes] == TableLeaf || bytes[HeaderBytes] == TableInterior);
}

void ParseSqlite(SourceReader& reader, const Limits&, Carving* result) {
  const std::uint8_t* h = reader.Get(0, HeaderBytes + 1);
  if (h == nullptr || !MatchesSqlite(h, HeaderBytes + 1)) return SetNotThisType(result);
  const std::uint32_t page = PageBytes(h);
  const std::uint32_t pages = Be32(h + PageCount);
  result->extension = "sqlite";
  result->subtype = "SQLite 3 database";
  if (pages == 0 || Be32(h + ChangeCounter) != Be32(h + VersionValidFor)) {
    // Written by a version before 3.7.0, which kept no count: no stated end.
    // The first page is what the header vouches for.
    return SetDamaged(result, reader.Available(page), Damage::Unbounded);
  }
  const std::uint64_t end = std::uint64_t{page} * pages;
  const std::uint64_t available = reader.Available(end);
  if (available < end) return SetDamaged(result, available, Damage::CutShort);
  SetCarved(result, end);
}

}  // namespace carve
