// Master and extended boot records: a table of four 16-byte entries at byte
// 446 of a boot record's first 512 bytes. GPT: header at LBA 1, entries
// where it says. Every position (LBA) is counted in the disk's logical
// sectors: 512 bytes, or 4096 on disks that say so (and images laid out so).
#pragma once

#include <cstdint>

namespace mbr {

constexpr std::uint32_t SectorSize = 512;         // bytes of a boot record; the usual logical sector
constexpr std::uint32_t LargeSectorSize = 4096;   // the other logical sector size disks use
constexpr std::uint32_t TableOffset = 0x1BE;      // first of four entries
constexpr std::uint32_t EntrySize = 16;
constexpr std::uint32_t EntryCount = 4;
constexpr std::uint32_t EntryChsHead = 1;         // u8
constexpr std::uint32_t EntryChsSector = 2;       // u8: sector bits 0-5, cylinder bits 8-9 in 6-7
constexpr std::uint32_t EntryChsCylinder = 3;     // u8: cylinder bits 0-7
constexpr std::uint32_t EntryType = 4;            // u8
constexpr std::uint32_t EntryFirstSector = 8;     // u32, relative (see the walk)
constexpr std::uint32_t EntrySectorCount = 12;    // u32
constexpr std::uint32_t BootSerialLow = 0x48;     // u32 in a partition's boot sector (NTFS serial)
constexpr std::uint32_t BootOemName = 0x03;       // 8 bytes, "NTFS    " in an NTFS boot sector
constexpr std::uint32_t Signature = 0x1FE;        // 0x55 0xAA ends every boot record
constexpr std::uint32_t MaxExtendedRecords = 50;  // the chain is never followed further

constexpr std::uint8_t TypeEmpty = 0x00;
constexpr std::uint8_t TypeFat12 = 0x01;
constexpr std::uint8_t TypeFat16Small = 0x04;
constexpr std::uint8_t TypeExtended = 0x05;
constexpr std::uint8_t TypeFat16 = 0x06;
constexpr std::uint8_t TypeNtfs = 0x07;
constexpr std::uint8_t TypeFat32 = 0x0B;
constexpr std::uint8_t TypeFat32Lba = 0x0C;
constexpr std::uint8_t TypeFat16Lba = 0x0E;
constexpr std::uint8_t TypeExtendedLba = 0x0F;
constexpr std::uint8_t TypeGptProtective = 0xEE;

}  // namespace mbr

namespace gpt {

constexpr std::uint64_t HeaderLba = 1;            // byte 512 or 4096, by the sector size
constexpr std::uint32_t HeaderSignature = 0;      // "EFI PART"
constexpr std::uint32_t HeaderEntriesLba = 0x48;  // u64
constexpr std::uint32_t HeaderEntryCount = 0x50;  // u32
constexpr std::uint32_t HeaderEntrySize = 0x54;   // u32, at least 128, dividing the sector size
constexpr std::uint32_t EntryTypeGuid = 0x00;     // 16 bytes; all zero = unused
constexpr std::uint32_t EntryFirstLba = 0x20;     // u64
constexpr std::uint32_t EntryLastLba = 0x28;      // u64, inclusive
constexpr std::uint32_t EntryName = 0x38;         // 36 UTF-16 units
constexpr std::uint32_t EntryNameUnits = 36;
constexpr std::uint32_t MinEntrySize = 128;
constexpr std::uint32_t MaxEntries = 1024;        // far more than any real table

}  // namespace gpt
