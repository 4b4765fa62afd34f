// CMFTRecord: one FILE record of the master file table, parsed once.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "ntfs/DataStream.h"
#include "ntfs/NtfsLayout.h"
#include "platform/Disk.h"
#include "platform/Types.h"
#include "util/ByteBuffer.h"
#include "util/ByteReader.h"

// Where an attribute lies inside the parsed record: offset and length.
struct AttributeSpan {
  std::uint32_t offset = 0;
  std::uint32_t length = 0;  // 0: there is none
};

// The value of a resident attribute (`attribute` spans exactly it), where it
// lies. code::InvalidParameter when it leaves the attribute.
DWORD ResidentValueOf(const ByteReader& attribute, const std::uint8_t** value, std::uint32_t* length);
// True when the attribute's name is `name` (UTF-16 units, compared exactly).
bool AttributeNamed(const ByteReader& attribute, std::u16string_view name);

// True when a reference's sequence number `referenced` still names a record
// whose sequence number is now `current`: equal, or, when the record may have
// been freed since (`freedSince`), one more (a delete increments it, skipping
// 0). A reference with sequence number 0 names any.
bool SequenceFollows(std::uint16_t referenced, std::uint16_t current, bool freedSince);

class CMFTRecord {
 public:
  CMFTRecord();
  virtual ~CMFTRecord();
  CMFTRecord(const CMFTRecord&) = delete;
  CMFTRecord& operator=(const CMFTRecord&) = delete;

  void SetDiskHandle(DiskReader* diskReader);
  // code::InvalidParameter if the record size is not a multiple of 512 from
  // 512 to 65536, or the cluster size is 0 or odd (nothing is stored); else
  // stores all three.
  DWORD SetGeometry(std::uint32_t recordBytes, std::uint32_t clusterBytes,
                    std::uint64_t partitionByteOffset);

  // Applies the update sequence to `bytes` in place, checks the signature and
  // walks every attribute, keeping what a summary needs: the times, the name,
  // the attribute list, the first unnamed $DATA with its runs (a run list
  // with a fault keeps the runs before it), the first reparse point and the
  // first $DATA stream named as system compression names its own. code::InvalidParameter for a
  // refused geometry, fewer bytes than a record, an update sequence that
  // does not fit the record size or whose entries do not carry its number (a
  // torn write), no "FILE" signature, an attribute shorter than any
  // attribute header, or any offset or length that leaves the record or its
  // value; a disk read failure (a non-resident name) passes its code up.
  DWORD ParseSummary(std::uint8_t* bytes, std::uint32_t length);
  // The first steps of ParseSummary only: the update sequence, the signature
  // and the header's fields; nothing of the attributes is kept.
  DWORD ParseHeader(std::uint8_t* bytes, std::uint32_t length);
  // Calls `visit` with each attribute of the record parsed last (`attribute`
  // spans exactly it), in record order, up to the end marker, an index
  // attribute or a length of 0. code::InvalidParameter for an attribute that
  // leaves the record or is shorter than any header; a failure from `visit`
  // ends the walk and is returned.
  using AttributeVisitor = std::function<DWORD(std::uint32_t type, const ByteReader& attribute)>;
  DWORD ForEachAttribute(const AttributeVisitor& visit);

  // Reads the value of the attribute at the current attribute offset
  // (`attribute` spans exactly that attribute) into a new zero-filled
  // buffer, at most its first `limit` bytes. code::NotEnoughMemory when the
  // value cannot be held whole.
  DWORD ReadAttributeValue(const ByteReader& attribute, ByteBuffer* value,
                           std::uint64_t* valueSize, std::uint64_t limit = UINT64_MAX);

  // What the parse kept.
  const std::uint8_t* StandardInformation() const { return standardInformation; }
  // Bytes of the $STANDARD_INFORMATION value kept (0 when there was none).
  std::uint32_t StandardInformationLength() const { return standardInformationLength; }
  // The $FILE_NAME value kept: a Win32 name before a POSIX one, either
  // before the short DOS one, the last of equals. Zero when there is none.
  const std::uint8_t* FileName() const { return fileName; }
  // True when the name kept is a Win32 one: no other name is preferred.
  bool HasWin32Name() const {
    return fileNameNamespace == ntfs::FnNamespaceWin32 || fileNameNamespace == ntfs::FnNamespaceWin32AndDos;
  }
  // Offers another record's $FILE_NAME attribute (an extension record's) by
  // the same rule. code::InvalidParameter for a bad attribute.
  DWORD OfferFileName(const ByteReader& attribute);
  bool InUse() const { return inUse; }
  bool IsDirectory() const { return isDirectory; }
  std::uint16_t SequenceNumber() const { return sequenceNumber; }
  std::uint64_t LogSequenceNumber() const { return logSequenceNumber; }
  // The base record's reference when this is an extension record, else 0.
  std::uint64_t BaseReference() const { return baseReference; }
  // The $ATTRIBUTE_LIST and the first unnamed $DATA of this record, if any.
  AttributeSpan AttributeList() const { return attributeList; }
  AttributeSpan DataAttribute() const { return dataAttribute; }
  AttributeSpan ReparsePoint() const { return reparsePoint; }
  AttributeSpan WofData() const { return wofData; }
  // An attribute the parse found, as a reader over exactly its bytes.
  ByteReader Attribute(AttributeSpan span) const { return ByteReader(recordBytes + span.offset, span.length); }
  // The value of the first unnamed $DATA: its size (what can be read), and
  // for a non-resident one the runs and flags.
  std::uint64_t DataSize() const { return dataSize; }
  const DataStream& Stream() const { return stream; }
  bool DataIsResident() const { return dataAttribute.length != 0 && !dataNonResident; }
  // The value of a resident unnamed $DATA, inside the record's bytes.
  DWORD ResidentData(const std::uint8_t** value, std::uint32_t* length) const;
  // True when the content is encrypted: by the $DATA's flags (`dataFlags`)
  // or the file's attributes.
  bool Encrypted(std::uint16_t dataFlags) const;
  // The record's bytes, update sequence applied; valid while the caller's
  // buffer is.
  const std::uint8_t* Bytes() const { return recordBytes; }
  // Puts the update sequence number back at the end of every stride of the
  // bytes last parsed, when parsing restored them: they read as on the
  // disk again, and the record's attributes must not be looked at any more.
  void RevertUpdateSequence();

 private:
  static constexpr int NoName = -1;
  DWORD ReadResidentValue(const ByteReader& attribute, const std::uint8_t** value,
                          std::uint32_t* length) const;
  DWORD ApplyUpdateSequence(std::uint8_t* bytes) const;
  // Copies at most `capacity` bytes of an attribute's value to
  // `destination`; `*copied` receives how many.
  DWORD CopyValue(const ByteReader& attribute, std::uint8_t* destination, std::uint32_t capacity,
                  std::uint32_t* copied);
  // Keeps the first unnamed $DATA: its resident length, or its runs.
  DWORD KeepData(const ByteReader& attribute);
  VolumeGeometry Geometry() const { return {disk, clusterSize, partitionOffset}; }

  DiskReader* disk = nullptr;                 // not owned
  std::uint8_t* recordBytes = nullptr;        // the caller's record
  bool sequenceApplied = false;               // its strides' last bytes are restored
  std::uint32_t recordSize = 0;
  std::uint16_t attributeOffset = 0;
  std::uint32_t clusterSize = 0;
  std::uint64_t partitionOffset = 0;
  std::uint8_t standardInformation[ntfs::StandardInformationKept];
  std::uint32_t standardInformationLength = 0;
  std::uint8_t fileName[ntfs::FileNameArea];  // zero past the value: the name ends in a zero unit
  std::uint32_t fileNameLength = 0;           // fileName is zero from here on
  int fileNameNamespace = NoName;
  AttributeSpan attributeList, dataAttribute, reparsePoint, wofData;
  bool dataNonResident = false;
  DataStream stream;
  std::uint64_t dataSize = 0;
  bool inUse = false;
  bool isDirectory = false;
  std::uint16_t sequenceNumber = 0;
  std::uint64_t logSequenceNumber = 0;
  std::uint64_t baseReference = 0;
};
