// File carving: one validating parser per file type. The carver reads free
// clusters in big windows and, at each cluster start, asks Identify whether
// the bytes there can begin a file; Carve then walks that file's own
// structure from the start and says where it truly ends, reading what it
// needs through a ByteSource, so that a file larger than any window (a
// video of gigabytes) is never held in memory.
//
// A carved file's extent covers everything it embeds (an EXIF thumbnail in
// a JPEG, the pictures in a DOCX): the carver resumes past `length`, so a
// nested file is never reported on its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Types.h"

namespace carve {

class SourceReader;

// The bytes from a candidate start onward: the carver's window first, then
// the volume's free space after it. Offsets count from the candidate start.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Copies up to `count` bytes from `offset` into `buffer` and sets `*got`
  // to how many: fewer than `count` only where the source ends. A failed
  // read returns its system error code; the parser then treats the source
  // as ending at `offset`.
  virtual DWORD Read(std::uint64_t offset, std::size_t count, std::uint8_t* buffer, std::size_t* got) = 0;
  // The bytes from `offset` where the source holds them in memory already,
  // valid while the carving lasts, and how many (`*available`); nullptr to
  // have them read. Spares the copy of every byte the carver has read.
  virtual const std::uint8_t* View(std::uint64_t offset, std::size_t* available) {
    (void)offset;
    *available = 0;
    return nullptr;
  }
};

// A source over bytes in memory; the bytes must outlive it.
class MemorySource : public ByteSource {
 public:
  MemorySource(const std::uint8_t* bytes, std::size_t size) : data(bytes), length(size) {}
  DWORD Read(std::uint64_t offset, std::size_t count, std::uint8_t* buffer, std::size_t* got) override;
  const std::uint8_t* View(std::uint64_t offset, std::size_t* available) override;

 private:
  const std::uint8_t* data;
  std::size_t length;
};

constexpr std::size_t MinWindowBytes = 4096;  // no parser asks for more at once

struct Limits {
  // Where a format states no length of its own (a JPEG's entropy-coded
  // scans, PDF up to its %%EOF, an MP3 frame walk, a ZIP entry whose size
  // only its data descriptor gives), the most bytes followed from the start
  // before the file is called damaged (Damage::Unbounded). A cautious bound,
  // not a format fact: the carver may set it to what its volume can hold.
  std::uint64_t unstatedBytes = std::uint64_t{1} << 30;
  // Bytes asked of the source at a time, and held; at least MinWindowBytes.
  std::size_t windowBytes = std::size_t{256} << 10;
};

enum class Verdict : std::uint8_t {
  NotThisType,  // the bytes are not a file of the type asked
  Carved,       // validated from its start to its end
  Damaged,      // a file of the type, cut short or failing partway
};

enum class Damage : std::uint8_t {
  None,
  CutShort,   // the source ended, or a read failed, before the file did
  Invalid,    // a structure or checksum failed partway
  Unbounded,  // the end is not stated where it would be (an unset size, encrypted
              // headers) or Limits::unstatedBytes was reached
};

// A date a file carries about itself.
struct Timestamp {
  std::uint64_t fileTime = 0;  // 100 ns since 1601; 0 when the file carries none
  bool localClock = false;     // the writer's wall clock in an unknown zone (EXIF, ZIP); else UTC
};

struct Carving {
  Verdict verdict = Verdict::NotThisType;
  Damage damage = Damage::None;
  // Carved: the file's bytes. Damaged: up to the last byte that was checked
  // and held (a chunk whose checksum failed is not counted), never passed
  // off as the whole file. NotThisType: 0.
  std::uint64_t length = 0;
  const char* extension = "";  // without the dot, from the content where it tells ("docx", "cr2")
  const char* subtype = "";    // for people: "JPEG (EXIF)", "Word document", "Canon CR2"
  Timestamp created;           // EXIF DateTimeOriginal, PDF /CreationDate, MP4 mvhd, PE link time
  Timestamp modified;          // EXIF DateTime, PDF /ModDate, the latest ZIP entry, PNG tIME, GZIP MTIME
  DWORD readError = code::Success;  // the first read that failed, if any
};

enum class Family : std::uint8_t {
  Jpeg, Png, Gif, Bmp, Tiff, Pdf, Zip, IsoMedia, Riff, Mp3, Sqlite, SevenZip, Rar, Gzip, Pe,
};

// Bytes the carver should offer Identify at a candidate start (fewer only at
// the end of the free space).
constexpr std::size_t ProbeBytes = 512;

struct FileType {
  Family family;
  const char* name;       // "JPEG"
  const char* extension;  // the usual one; a carving may name another
  const char* signature;  // for people: "FF D8 FF"
  // The signature and what of the header the first bytes hold: cheap, so
  // that every cluster can be asked.
  bool (*Matches)(const std::uint8_t* bytes, std::size_t available);
  void (*Parse)(SourceReader& reader, const Limits& limits, Carving* result);
};

// Every type, in the order Identify tries them (the weak MP3 frame sync last).
const FileType* Types(std::size_t* count);
const FileType* TypeOf(Family family);

// The first type whose Matches accepts the bytes, or nullptr.
const FileType* Identify(const std::uint8_t* bytes, std::size_t available);

// Walks a file of `type` from offset 0 of `source` and fills `*result`.
// Returns code::Success, or code::NotEnoughMemory when the window cannot be
// allocated; read failures are part of the result, never returned.
DWORD Carve(const FileType& type, ByteSource& source, const Limits& limits, Carving* result);

}  // namespace carve
