// The on-disk layouts the reader uses: offsets are in bytes, all values
// little-endian. Every number the parser needs is named here.
#pragma once

#include <cstdint>

namespace ntfs {

// Boot sector, the first 512 bytes of the partition.
constexpr std::uint32_t BootSectorSize = 512;
constexpr std::uint32_t BootOemId = 0x03;              // 8 bytes; the first four are "NTFS"
constexpr std::uint32_t BootBytesPerSector = 0x0B;     // u16
constexpr std::uint32_t BootSectorsPerCluster = 0x0D;  // u8, a plain count
constexpr std::uint32_t BootTotalSectors = 0x28;       // u64, sectors of the volume
constexpr std::uint32_t BootMftCluster = 0x30;         // u64, cluster of record 0
constexpr std::uint32_t BootSerialLow = 0x48;          // u32, low half of the volume serial

// Partition starts are always counted in 512-byte sectors.
constexpr std::uint32_t PartitionSectorSize = 512;

// FILE record.
constexpr std::uint32_t RecordSize = 1024;             // every record, whatever the boot sector says
constexpr std::uint32_t RecordSignature = 0x00;        // "FILE"
constexpr std::uint32_t RecordUsaOffset = 0x04;        // u16, update sequence array offset
constexpr std::uint32_t RecordFirstAttribute = 0x14;   // u16
constexpr std::uint32_t RecordFlags = 0x16;            // low byte of u16 flags
constexpr std::uint8_t RecordInUse = 0x01;
constexpr std::uint8_t RecordIsDirectory = 0x02;
constexpr std::uint32_t UsaSectorSize = 512;           // one fix-up entry per 512 bytes
constexpr std::uint32_t UsaFixedSectors = 2;           // entries 1 and 2 restore bytes 510 and 1022
constexpr std::uint32_t UsaBytes = 2 * (1 + UsaFixedSectors);  // number + two entries

// Attribute header, from the attribute's start.
constexpr std::uint32_t AttrType = 0x00;               // u32
constexpr std::uint32_t AttrLength = 0x04;             // u32, the whole attribute
constexpr std::uint32_t AttrNonResident = 0x08;        // u8, 0 = resident
constexpr std::uint32_t AttrValueLength = 0x10;        // resident: u32
constexpr std::uint32_t AttrValueOffset = 0x14;        // resident: u16, from the attribute's start
constexpr std::uint32_t AttrResidentHeader = 0x18;     // resident header size
constexpr std::uint32_t AttrMinimumLength = AttrResidentHeader;  // no attribute is shorter
constexpr std::uint32_t AttrFirstVcn = 0x10;           // non-resident: u64
constexpr std::uint32_t AttrLastVcn = 0x18;            // non-resident: u64
constexpr std::uint32_t AttrRunListOffset = 0x20;      // non-resident: u16, from the attribute's start
constexpr std::uint32_t AttrAllocatedSize = 0x28;      // non-resident: u64, bytes
constexpr std::uint32_t AttrRealSize = 0x30;           // non-resident: u64, bytes
constexpr std::uint32_t AttrNonResidentHeader = 0x38;  // bytes up to and including the real size

// Attribute types.
constexpr std::uint32_t TypeStandardInformation = 0x10;
constexpr std::uint32_t TypeFileName = 0x30;
constexpr std::uint32_t TypeData = 0x80;
constexpr std::uint32_t TypeIndexRoot = 0x90;
constexpr std::uint32_t TypeIndexAllocation = 0xA0;
constexpr std::uint32_t TypeEnd = 0xFFFFFFFF;

// $STANDARD_INFORMATION value: four FILETIMEs (100 ns since 1601, UTC).
constexpr std::uint32_t StandardInformationKept = 40;  // bytes kept of the value
constexpr std::uint32_t SiCreationTime = 0x00;
constexpr std::uint32_t SiModificationTime = 0x08;
constexpr std::uint32_t SiMftChangeTime = 0x10;
constexpr std::uint32_t SiAccessTime = 0x18;
constexpr std::uint32_t SiFileAttributes = 0x20;      // u32; kept current, unlike $FILE_NAME's copy

// $FILE_NAME value.
constexpr std::uint32_t FnParentReference = 0x00;      // u64; low 48 bits are the record number
constexpr std::uint32_t FnFlags = 0x38;                // u32, file attributes
constexpr std::uint32_t FnName = 0x42;                 // UTF-16 units to the value's end
constexpr std::uint32_t FileNameArea = 1090;           // fixed part + 512 units of name
constexpr std::uint64_t RecordNumberMask = 0x0000FFFFFFFFFFFFull;

// Run list: header byte, low nibble = length-field bytes, high nibble =
// offset-field bytes; 0 ends the list. An offset field of 0 bytes is sparse.
constexpr std::uint32_t RunFieldMax = 8;

// Record numbers.
constexpr std::uint32_t MftRecord = 0;

}  // namespace ntfs
