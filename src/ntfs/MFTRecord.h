// CMFTRecord: one FILE record of the master file table, parsed once.
#pragma once

#include <cstdint>

#include "util/ByteBuffer.h"
#include "util/ByteReader.h"
#include "ntfs/NtfsLayout.h"
#include "platform/Disk.h"
#include "platform/Types.h"

// Receives a value's content in order, in bounded chunks. A non-zero code
// ends the read and is passed up unchanged.
class ContentSink {
 public:
  virtual ~ContentSink() = default;
  virtual DWORD Write(const std::uint8_t* bytes, std::uint32_t count) = 0;
};

class CMFTRecord {
 public:
  // Largest disk read in one call: whole clusters, at most this many bytes.
  static constexpr std::uint32_t MaxReadBytes = 1u << 20;
  // Largest value read whole into memory; larger ones are refused with 8.
  static constexpr std::uint64_t MaxWholeValue = 0xFFFFFFFFu;

  CMFTRecord();
  virtual ~CMFTRecord();
  CMFTRecord(const CMFTRecord&) = delete;
  CMFTRecord& operator=(const CMFTRecord&) = delete;

  void SetDiskHandle(DiskReader* diskReader);
  // 87 if a size is 0 or odd (nothing is stored), else stores all three.
  DWORD SetGeometry(std::uint32_t recordBytes, std::uint32_t clusterBytes,
                    std::uint64_t partitionByteOffset);
  // When set, the first $DATA's content goes to `sink` instead of a buffer.
  void SetContentSink(ContentSink* sink) { contentSink = sink; }
  // The first $DATA counts at most this many bytes, whatever its sizes say.
  void SetDataLimit(std::uint64_t bytes) { dataLimit = bytes; }
  // When set, a value ends at its first sparse run (for values never sparse).
  void SetValueEndsAtHole(bool ends) { valueEndsAtHole = ends; }

  // Applies the update sequence to `bytes` in place, checks the signature and
  // walks the attributes. 87 for a refused geometry, fewer bytes than a
  // record, no "FILE" signature, an attribute shorter than any attribute
  // header, or any offset, length or run list that leaves the record or its
  // value; a disk read failure passes its code up.
  DWORD ParseRecord(std::uint8_t* bytes, std::uint32_t length, bool skipContent,
                    bool directoriesOnly);

  // Reads the value of the attribute at the current attribute offset
  // (`attribute` spans exactly that attribute) into a new zero-filled
  // buffer, at most its first `limit` bytes. 8 when the value cannot be
  // held whole.
  DWORD ReadAttributeValue(const ByteReader& attribute, ByteBuffer* value,
                           std::uint64_t* valueSize, std::uint64_t limit = UINT64_MAX);

  // Reads clusters from `cluster` on into `destination` until `*byteCount`
  // bytes have arrived (the last cluster may be partly used); on return
  // `*byteCount` holds the bytes delivered. 38 if the disk ends first.
  DWORD ReadClusters(std::uint64_t cluster, std::uint8_t* destination, std::uint32_t* byteCount);

  // What the parse kept.
  const std::uint8_t* StandardInformation() const { return standardInformation; }
  // Bytes of the $STANDARD_INFORMATION value kept (0 when there was none).
  std::uint32_t StandardInformationLength() const { return standardInformationLength; }
  const std::uint8_t* FileName() const { return fileName; }
  bool InUse() const { return inUse; }
  std::uint64_t DataSize() const { return dataSize; }
  const std::uint8_t* Data() const { return data.get(); }
  // Hands the content buffer to the caller; the record no longer holds it.
  ByteBuffer TakeData() { return std::move(data); }

 private:
  // Size of an attribute's value, never beyond what its allocated size and
  // its runs map. With `strict` a bad run list is 87; otherwise only the runs
  // before the fault count.
  DWORD ValueSize(const ByteReader& attribute, bool strict, std::uint64_t* size) const;
  // Delivers `size` bytes of a non-resident value, run by run, either into
  // `buffer` or, when it is null, through `sink`.
  DWORD ReadRuns(const ByteReader& attribute, std::uint64_t size, std::uint8_t* buffer,
                 ContentSink* sink);
  DWORD ReadResidentValue(const ByteReader& attribute, const std::uint8_t** value,
                          std::uint32_t* length) const;
  DWORD ReadData(const ByteReader& attribute, bool skipContent);

  DiskReader* disk = nullptr;                 // not owned
  std::uint8_t* recordBytes = nullptr;        // the caller's record
  std::uint32_t recordSize = 0;
  std::uint16_t attributeOffset = 0;
  std::uint32_t clusterSize = 0;
  std::uint64_t partitionOffset = 0;
  std::uint8_t standardInformation[ntfs::StandardInformationKept];
  std::uint32_t standardInformationLength = 0;
  std::uint8_t fileName[ntfs::FileNameArea];  // zero past the value: the name ends in a zero unit
  ByteBuffer data;
  std::uint64_t dataSize = 0;
  bool inUse = false;
  ContentSink* contentSink = nullptr;         // not owned
  std::uint64_t dataLimit = UINT64_MAX;
  bool valueEndsAtHole = false;
};
