// Test volumes: crafted ones in memory, and real ones made by the project's
// own maker (mkntfs + ntfs-3g) in a temporary folder.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ntfs/NTFSDrive.h"
#include "support/MemoryDisk.h"
#include "support/RecordBuilder.h"
#include "support/Sha256.h"

// A content sink that hashes what it is given and counts it.
class HashingSink : public ContentSink {
 public:
  DWORD Write(const std::uint8_t* bytes, std::uint32_t count) override {
    hash.Update(bytes, count);
    total += count;
    return code::Success;
  }
  Sha256 hash;
  std::uint64_t total = 0;
};

// A content sink that keeps what it is given.
class CollectingSink : public ContentSink {
 public:
  DWORD Write(const std::uint8_t* bytes, std::uint32_t count) override {
    received.insert(received.end(), bytes, bytes + count);
    return code::Success;
  }
  std::vector<std::uint8_t> received;
};

// Record `index` read whole and streamed: each way's code and bytes.
inline void ReadBothWays(CNTFSDrive& drive, std::uint32_t index, DWORD* whole, std::vector<std::uint8_t>* wholeBytes,
                         DWORD* streamed, std::vector<std::uint8_t>* streamedBytes) {
  ByteBuffer data;
  std::uint32_t size = 0;
  *whole = drive.ReadRecordData(index, &data, &size);
  wholeBytes->assign(data.get(), data.get() + (data ? size : 0));
  CollectingSink sink;
  std::uint64_t total = 0;
  *streamed = drive.ReadRecordContent(index, &sink, &total);
  *streamedBytes = sink.received;
}

// A small NTFS volume written into a MemoryDisk: boot sector, and an $MFT
// whose record 0 maps every record given.
struct CraftedVolume {
  std::uint32_t partitionStart = 63;      // 512-byte sectors
  std::uint16_t bytesPerSector = 512;
  std::uint8_t sectorsPerCluster = 8;
  std::uint8_t clustersPerRecord = 0xF6;  // 2^10: 1024-byte records
  std::uint32_t recordBytes = ntfs::RecordSize;  // how the records given are laid out
  std::uint64_t mftCluster = 4;
  std::string oem = "NTFS    ";
  std::u16string mftName = u"$MFT";
  std::vector<Bytes> records;             // records 1, 2, ...; record 0 is made here
  std::uint64_t mftRealSize = 0;          // 0: every record given, whole
  std::uint64_t mftSparseClusters = 0;    // a sparse run after the records, counted in the sizes
  std::uint64_t totalSectors = 0;         // the boot sector's count; 0 leaves it unset
  bool mftFragmented = false;             // every cluster of the $MFT a run of its own, laid out backwards

  std::uint32_t ClusterSize() const;
  std::uint64_t PartitionOffset() const { return std::uint64_t{partitionStart} * 512; }
  // Byte position on the disk of a cluster of this volume.
  std::uint64_t ClusterOffset(std::uint64_t cluster) const {
    return PartitionOffset() + cluster * ClusterSize();
  }
  void WriteTo(MemoryDisk& disk) const;
  // Writes the volume to `disk` and initialises `drive` on it.
  DWORD Open(MemoryDisk& disk, CNTFSDrive& drive) const;
};

// Times FILETIME for a UTC date, for readable fixtures.
std::uint64_t FileTimeUtc(int year, int month, int day, int hour, int minute, int second);

// Runs a command through the shell; returns its exit status and stdout.
int RunCommand(const std::string& command, std::string* output = nullptr);

// A temporary folder removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path; }

 private:
  std::string path;
};

// A tab-separated file with a header line, as rows of named fields.
std::vector<std::map<std::string, std::string>> ReadTsv(const std::string& path);
