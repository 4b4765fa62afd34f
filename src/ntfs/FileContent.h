// A file's content as the reader hands it out: the value of its unnamed
// $DATA, resident in the record or gathered through its runs from every
// piece its attribute list names, with sparse runs, LZNT1 compression units
// and the valid data length applied. Encrypted content is never handed out.
//
// Each way of decoding content is one source behind Size and Read; Stream
// and ReadWhole serve them all. A second decoder (WOF: XPRESS or LZX chunks
// from a named stream) is another source beside the runs.
#pragma once

#include <cstdint>

#include "ntfs/DataStream.h"
#include "ntfs/MFTRecord.h"
#include "platform/Types.h"
#include "util/ByteBuffer.h"

class CMftReader;
class CAttributeListWalk;

// Receives a file's content in order, in bounded chunks. A failure ends the
// read and is passed up unchanged.
class ContentSink {
 public:
  virtual ~ContentSink() = default;
  virtual DWORD Write(const std::uint8_t* bytes, std::uint32_t count) = 0;
};

class CFileContent {
 public:
  // Reads records through `records` and gathers pieces through `lists` (not owned).
  CFileContent(CMftReader& records, CAttributeListWalk& lists);
  CFileContent(const CFileContent&) = delete;
  CFileContent& operator=(const CFileContent&) = delete;

  // Opens the content of record `index`. code::FileEncrypted when it is
  // encrypted; a run list with a fault is code::InvalidParameter; otherwise
  // the codes of reading and parsing the record (code::NoMoreFiles past the
  // last record) and of the attribute-list walk.
  DWORD Open(std::uint32_t index);
  // True when the record has an unnamed $DATA, or an attribute list that may name one.
  bool HasValue() const { return hasValue; }
  // Bytes that can be read.
  std::uint64_t Size() const;
  // Pieces its attribute list names are missing: what follows them cannot be read.
  bool Incomplete() const { return source == Source::Runs && stream.Incomplete(); }
  // Bytes [offset, offset + count) into `buffer`, as DataStream::Read.
  DWORD Read(std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer, Zeroed zeroed = Zeroed::No);
  // Delivers [0, Size()) to `sink` in chunks of at most DataStream::MaxReadBytes.
  DWORD Stream(ContentSink* sink);
  // [0, Size()) in a new buffer the caller owns. code::NotEnoughMemory when
  // it cannot be held whole; code::FileCorrupt when it is Incomplete; or the
  // code of the failed read.
  DWORD ReadWhole(ByteBuffer* data, std::uint32_t* size);

 private:
  enum class Source { Resident, Runs };

  CMftReader& records;
  CAttributeListWalk& lists;
  ByteBuffer recordBytes;
  std::uint32_t recordSize = 0;
  CMFTRecord record;
  Source source = Source::Runs;
  const std::uint8_t* resident = nullptr;  // inside recordBytes
  std::uint32_t residentLength = 0;
  DataStream stream;
  bool hasValue = false;
};
