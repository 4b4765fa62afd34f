// A file's content as the reader hands it out: the value of its unnamed
// $DATA, resident in a record or gathered through its runs from every piece
// its attribute list names, with sparse runs, LZNT1 compression units and
// the valid data length applied; or, for a system-compressed file, its
// XPRESS or LZX chunks decoded from the named stream that holds them.
// Encrypted content, and files whose bytes lie elsewhere (a cloud provider,
// a deduplication store), are never handed out.
//
// Each way of decoding content is one source behind Size and Read; Stream
// and ReadWhole serve them all.
#pragma once

#include <cstdint>

#include "ntfs/AttributeList.h"
#include "ntfs/DataStream.h"
#include "ntfs/MFTRecord.h"
#include "ntfs/WofStream.h"
#include "platform/Types.h"
#include "util/ByteBuffer.h"

class CMftReader;

// Receives a file's content in order, in bounded chunks. A failure ends the
// read and is passed up unchanged.
class ContentSink {
 public:
  virtual ~ContentSink() = default;
  virtual DWORD Write(const std::uint8_t* bytes, std::uint32_t count) = 0;
};

// What a row knows of its record, to tell the file it showed from a later
// use of the same record: a record freed again raises its sequence number,
// any change moves its $LogFile sequence number.
struct RecordIdentity {
  std::uint32_t record = 0;
  std::uint16_t sequence = 0;
  std::uint64_t logSequenceNumber = 0;
  bool inUse = false;  // the file was in use when the row was made: a found volume lists those too
};

// What a read of a file's content could not deliver. The bytes delivered
// are the file's first ones; `missingBytes` follow them and are not there to
// read (pieces or runs its records no longer hold, chunks past the end of
// its compressed stream). `unreadableBytes` were delivered as zeros: sectors
// the disk could not read. Either makes the copy something less than the
// file, which its caller must say.
struct ContentReport {
  std::uint64_t missingBytes = 0;
  std::uint64_t unreadableBytes = 0;
};

// How a file's bytes are held, as its records say.
enum class ContentKind {
  None,       // no unnamed $DATA
  Resident,   // in a record
  Runs,       // in the unnamed $DATA's runs
  Wof,        // in the chunks of its WofCompressedData stream
  Elsewhere,  // not on this disk: a reparse point stands for bytes kept elsewhere
};

// What decides a file's ContentKind.
struct ContentLayout {
  bool dataResident = false;
  const DataStream* data = nullptr;  // the unnamed $DATA's runs; null when resident or absent
  bool hasReparse = false;
  const std::uint8_t* reparse = nullptr;  // the start of the reparse point's value
  std::uint32_t reparseLength = 0;
  bool hasWofStream = false;
};

// The kind of a file's content, and for Wof the algorithm its reparse point
// names. A reparse point whose tag is a cloud placeholder's or
// deduplication's, and whose unnamed $DATA has any hole, stands for bytes
// elsewhere; so does any other reparse point (a system compression point
// that cannot be used included) whose unnamed $DATA holds no byte on the
// disk. An empty value is never elsewhere: it is no file to list.
ContentKind KindOfContent(const ContentLayout& layout, wof::Algorithm* algorithm);

class CFileContent {
 public:
  // Reads records through `records` and gathers pieces through `lists` (not owned).
  CFileContent(CMftReader& records, CAttributeListWalk& lists);
  CFileContent(const CFileContent&) = delete;
  CFileContent& operator=(const CFileContent&) = delete;

  // Opens the content of record `index`. With `identity` (a deleted file's),
  // code::RecordReused when the record is in use or its sequence number or
  // $LogFile sequence number is not the one given (it was used again). code::FileEncrypted when the
  // content is encrypted; code::FileOffline when its bytes lie elsewhere; a
  // run list with a fault is code::InvalidParameter; a system-compressed
  // file whose chunk table cannot fit its stream code::FileCorrupt;
  // otherwise the codes of reading and parsing the record (code::NoMoreFiles
  // past the last record) and of the attribute-list walk.
  DWORD Open(std::uint32_t index, const RecordIdentity* identity = nullptr);
  // True when the record has an unnamed $DATA (or system-compressed content).
  bool HasValue() const { return hasValue; }
  ContentKind Kind() const { return kind; }
  // Bytes that can be read; a system-compressed file's chunks are found
  // missing only as they are read.
  std::uint64_t Size() const;
  // The file's size as its records give it.
  std::uint64_t FullSize() const;
  // Bytes [offset, offset + count) into `buffer`, inside Size(): as
  // DataStream::Read (with `loss`, runs on sectors that cannot be read are
  // zeros); a system-compressed file's chunks as CWofStream::Read,
  // code::HandleEof for one that lies past the end of its stream's runs.
  DWORD Read(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer, Zeroed zeroed = Zeroed::No,
             ReadLoss* loss = nullptr);
  // Delivers the file's bytes from the first on to `sink` in chunks of at
  // most DataStream::MaxReadBytes, as many as there are: `*delivered`
  // counts them and `*report` says what the rest is, and how many of them
  // are zeros for sectors that could not be read. Succeeds when what is
  // delivered is all there is to read; otherwise the code of the failed
  // read or of the sink, with what came before it delivered.
  DWORD Stream(ContentSink* sink, std::uint64_t* delivered, ContentReport* report);
  // The whole file in a new buffer the caller owns. code::NotEnoughMemory
  // when it cannot be held whole; code::FileCorrupt when any of it is
  // missing; or the code of the failed read.
  DWORD ReadWhole(ByteBuffer* data, std::uint32_t* size);

 private:
  // The compressed stream as the chunk decoder reads it; a read past what
  // its runs reach is noted, so that it counts as missing, not as damage.
  class StreamSource : public WofSource {
   public:
    DWORD ReadAt(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer) override;
    DataValue* value = nullptr;
    bool pastEnd = false;
  };

  CMftReader& records;
  CAttributeListWalk& lists;
  ByteBuffer recordBytes;
  std::uint32_t recordSize = 0;
  CMFTRecord record;
  FileParts parts;
  ContentKind kind = ContentKind::None;
  wof::Algorithm algorithm = wof::Algorithm::Xpress4K;
  StreamSource wofSource;
  CWofStream wofStream;
  bool hasValue = false;
};
