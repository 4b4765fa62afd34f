// The on-disk layouts of the disk-image containers: every offset, width,
// magic value and limit the readers use, each once. VHD stores its numbers
// big-endian; VHDX and EWF little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

// VHD: the disk's bytes, then a 512-byte footer. A dynamic disk keeps a
// copy of the footer at 0, a dynamic header, a block allocation table (BAT)
// and blocks, each a sector bitmap followed by the block's data.
namespace vhd {
constexpr std::uint32_t SectorSize = 512;        // the unit of BAT entries and bitmap bits
constexpr std::uint32_t FooterSize = 512;
constexpr char FooterCookie[8] = {'c', 'o', 'n', 'e', 'c', 't', 'i', 'x'};
constexpr std::size_t FooterCookieAt = 0x00;      // 8 bytes
constexpr std::size_t FooterVersion = 0x0C;       // u32: major version in the high 16 bits, 1
constexpr std::size_t FooterDataOffset = 0x10;    // u64: file offset of the dynamic header; all ones when fixed
constexpr std::size_t FooterCurrentSize = 0x30;   // u64: bytes of the virtual disk
constexpr std::size_t FooterDiskType = 0x3C;      // u32: DiskFixed, DiskDynamic or DiskDifferencing
constexpr std::size_t FooterChecksum = 0x40;      // u32: one's complement of the sum of the footer's bytes,
                                                  // this field counted as zeros
constexpr std::uint32_t FooterMajorVersion = 1;
constexpr std::uint32_t DiskFixed = 2;
constexpr std::uint32_t DiskDynamic = 3;
constexpr std::uint32_t DiskDifferencing = 4;

constexpr std::uint32_t HeaderSize = 1024;        // the dynamic header
constexpr char HeaderCookie[8] = {'c', 'x', 's', 'p', 'a', 'r', 's', 'e'};
constexpr std::size_t HeaderCookieAt = 0x00;      // 8 bytes
constexpr std::size_t HeaderTableOffset = 0x10;   // u64: file offset of the BAT
constexpr std::size_t HeaderVersion = 0x18;       // u32: major version in the high 16 bits, 1
constexpr std::size_t HeaderMaxEntries = 0x1C;    // u32: BAT entries
constexpr std::size_t HeaderBlockSize = 0x20;     // u32: bytes of data per block, a power of two
constexpr std::size_t HeaderChecksum = 0x24;      // u32: as the footer's, over the header's 1024 bytes
constexpr std::uint32_t HeaderMajorVersion = 1;

constexpr std::uint32_t BatEntrySize = 4;         // u32: first sector of the block's bitmap; UnusedBlock when none
constexpr std::uint32_t UnusedBlock = 0xFFFFFFFF; // the block reads as zeros
constexpr std::uint32_t MinBlockSize = 4096;      // a sector bitmap of at least one bit per sector of a byte
constexpr std::uint32_t MaxBlockSize = 256u << 20;
// Bitmap bits run from the most significant bit of byte 0: sector 0 of the block.
}  // namespace vhd

// VHDX: 1 MiB of header area (file identifier, two headers, two region
// tables), then regions (the BAT, the metadata) and 1 MiB-aligned blocks.
namespace vhdx {
constexpr std::uint64_t MiB = 1u << 20;
constexpr std::uint64_t HeaderAreaSize = MiB;
constexpr char FileSignature[8] = {'v', 'h', 'd', 'x', 'f', 'i', 'l', 'e'};  // at file offset 0

constexpr std::uint64_t HeaderOffsets[2] = {64u << 10, 128u << 10};
constexpr std::uint32_t HeaderSize = 4096;        // checked by CRC-32C with the checksum field as zeros
constexpr std::uint32_t HeaderSignature = 0x64616568;  // "head"
constexpr std::size_t HeaderSignatureAt = 0;      // u32
constexpr std::size_t HeaderChecksum = 4;         // u32: CRC-32C
constexpr std::size_t HeaderSequence = 8;         // u64: the greater of two valid headers is current
constexpr std::size_t HeaderLogGuid = 48;         // 16 bytes: zero when the log holds nothing to replay
constexpr std::size_t HeaderVersion = 66;         // u16: 1
constexpr std::uint16_t Version = 1;

constexpr std::uint64_t RegionTableOffsets[2] = {192u << 10, 256u << 10};
constexpr std::uint32_t RegionTableSize = 64u << 10;  // checked by CRC-32C over the whole 64 KiB
constexpr std::uint32_t RegionSignature = 0x69676572;  // "regi"
constexpr std::size_t RegionSignatureAt = 0;      // u32
constexpr std::size_t RegionChecksum = 4;         // u32: CRC-32C
constexpr std::size_t RegionEntryCount = 8;       // u32: at most MaxRegionEntries
constexpr std::size_t RegionEntries = 16;         // the first entry
constexpr std::uint32_t RegionEntrySize = 32;
constexpr std::size_t RegionGuid = 0;             // 16 bytes
constexpr std::size_t RegionFileOffset = 16;      // u64: 1 MiB-aligned
constexpr std::size_t RegionLength = 24;          // u32
constexpr std::size_t RegionFlags = 28;           // u32: bit 0, required
constexpr std::uint32_t MaxRegionEntries = 2047;
constexpr std::uint32_t Required = 1;

constexpr std::uint32_t MetadataTableSize = 64u << 10;  // at the start of the metadata region
constexpr char MetadataSignature[8] = {'m', 'e', 't', 'a', 'd', 'a', 't', 'a'};
constexpr std::size_t MetadataEntryCount = 10;    // u16: at most MaxMetadataEntries
constexpr std::size_t MetadataEntries = 32;       // the first entry
constexpr std::uint32_t MetadataEntrySize = 32;
// GUIDs as stored: the first three fields little-endian, then 8 bytes.
using Guid = std::uint8_t[16];
constexpr Guid BatRegion = {0x66, 0x77, 0xC2, 0x2D, 0x23, 0xF6, 0x00, 0x42,  // 2DC27766-F623-4200-
                            0x9D, 0x64, 0x11, 0x5E, 0x9B, 0xFD, 0x4A, 0x08};  // 9D64-115E9BFD4A08
constexpr Guid MetadataRegion = {0x06, 0xA2, 0x7C, 0x8B, 0x90, 0x47, 0x9A, 0x4B,  // 8B7CA206-4790-4B9A-
                                 0xB8, 0xFE, 0x57, 0x5F, 0x05, 0x0F, 0x88, 0x6E};  // B8FE-575F050F886E
constexpr Guid FileParameters = {0x37, 0x67, 0xA1, 0xCA, 0x36, 0xFA, 0x43, 0x4D,  // CAA16737-FA36-4D43-
                                 0xB3, 0xB6, 0x33, 0xF0, 0xAA, 0x44, 0xE7, 0x6B};  // B3B6-33F0AA44E76B
constexpr Guid VirtualDiskSize = {0x24, 0x42, 0xA5, 0x2F, 0x1B, 0xCD, 0x76, 0x48,  // 2FA54224-CD1B-4876-
                                  0xB2, 0x11, 0x5D, 0xBE, 0xD8, 0x3B, 0xF4, 0xB8};  // B211-5DBED83BF4B8
constexpr Guid Page83Data = {0xAB, 0x12, 0xCA, 0xBE, 0xE6, 0xB2, 0x23, 0x45,  // BECA12AB-B2E6-4523-
                             0x93, 0xEF, 0xC3, 0x09, 0xE0, 0x00, 0xC7, 0x46};  // 93EF-C309E000C746
constexpr Guid LogicalSectorSize = {0x1D, 0xBF, 0x41, 0x81, 0x6F, 0xA9, 0x09, 0x47,  // 8141BF1D-A96F-4709-
                                    0xBA, 0x47, 0xF2, 0x33, 0xA8, 0xFA, 0xAB, 0x5F};  // BA47-F233A8FAAB5F
constexpr Guid PhysicalSectorSize = {0xC7, 0x48, 0xA3, 0xCD, 0x5D, 0x44, 0x71, 0x44,  // CDA348C7-445D-4471-
                                     0x9C, 0xC9, 0xE9, 0x88, 0x52, 0x51, 0xC5, 0x56};  // 9CC9-E9885251C556
constexpr Guid ParentLocator = {0x2D, 0x5F, 0xD3, 0xA8, 0x0B, 0xB3, 0x4D, 0x45,  // A8D35F2D-B30B-454D-
                                0xAB, 0xF7, 0xD3, 0xD8, 0x48, 0x34, 0xAB, 0x0C};  // ABF7-D3D84834AB0C
constexpr std::size_t MetadataItemId = 0;         // 16 bytes
constexpr std::size_t MetadataOffset = 16;        // u32: from the region's start, past the table
constexpr std::size_t MetadataLength = 20;        // u32
constexpr std::size_t MetadataFlags = 24;         // u32: bit 2, required
constexpr std::uint32_t MaxMetadataEntries = 2047;
constexpr std::uint32_t MetadataRequired = 4;

// File parameters item: u32 block size (a power of two, 1 to 256 MiB), then
// u32 flags.
constexpr std::size_t ParamBlockSize = 0;
constexpr std::size_t ParamFlags = 4;
constexpr std::uint32_t ParamsSize = 8;
constexpr std::uint32_t LeaveBlocksAllocated = 1;
constexpr std::uint32_t HasParent = 2;            // a differencing disk
constexpr std::uint32_t MinBlockSize = 1u << 20;
constexpr std::uint32_t MaxBlockSize = 256u << 20;
constexpr std::uint64_t MaxDiskSize = 64ull << 40;

// BAT entries, u64: state in bits 0-2, file offset in MiB in bits 20-63.
// Payload entries and sector bitmap entries interleave: after every
// ChunkRatio payload entries, one sector bitmap entry.
constexpr std::uint32_t BatEntrySize = 8;
constexpr std::uint64_t StateMask = 7;
constexpr unsigned OffsetShift = 20;
constexpr std::uint64_t BlockNotPresent = 0;      // these four read as zeros
constexpr std::uint64_t BlockUndefined = 1;
constexpr std::uint64_t BlockZero = 2;
constexpr std::uint64_t BlockUnmapped = 3;
constexpr std::uint64_t BlockFullyPresent = 6;    // the whole block in the file
constexpr std::uint64_t BlockPartiallyPresent = 7;  // sectors whose bitmap bit is set are in the file
constexpr std::uint64_t BitmapPresent = 6;        // a sector bitmap entry's state when its block is in the file
constexpr std::uint64_t BitmapBlockSize = MiB;    // one bit per logical sector, from bit 0 of byte 0
constexpr std::uint64_t SectorsPerBitmap = 1u << 23;
}  // namespace vhdx

// EWF (EnCase 6 style E01): segment files NAME.E01, .E02, ... each a 13-byte
// header, then a chain of sections, each a 76-byte descriptor and its data.
namespace ewf {
constexpr std::uint8_t Signature[8] = {'E', 'V', 'F', 0x09, 0x0D, 0x0A, 0xFF, 0x00};
constexpr std::uint8_t Signature2[8] = {'E', 'V', 'F', '2', 0x0D, 0x0A, 0x81, 0x00};  // Ex01, not read
constexpr std::uint32_t FileHeaderSize = 13;
constexpr std::size_t FieldsStart = 8;            // u8: 1
constexpr std::size_t SegmentNumber = 9;          // u16: 1 for .E01, and so on

constexpr std::uint32_t DescriptorSize = 76;
constexpr std::size_t SectionType = 0;            // 16 bytes of ASCII, zero-padded
constexpr std::size_t SectionTypeSize = 16;
constexpr std::size_t SectionNext = 16;           // u64: file offset of the next descriptor; itself for the last
constexpr std::size_t SectionSize = 24;           // u64: descriptor and data (0 in done and next)
constexpr std::size_t DescriptorChecksum = 72;    // u32: Adler-32 of the 72 bytes before it

// volume, disk and data sections: media values, 1052 bytes (94 in the
// original SMART layout, with a 32-bit sector count).
constexpr std::uint32_t VolumeSize = 1052;
constexpr std::uint32_t SmartVolumeSize = 94;
constexpr std::size_t VolumeChunkCount = 4;       // u32
constexpr std::size_t VolumeSectorsPerChunk = 8;  // u32
constexpr std::size_t VolumeBytesPerSector = 12;  // u32
constexpr std::size_t VolumeSectorCount = 16;     // u64 (u32 in the SMART layout)
constexpr std::size_t VolumeChecksum = 1048;      // u32: Adler-32 of the bytes before it
constexpr std::size_t SmartVolumeChecksum = 90;

// table and table2 sections: a 24-byte header, entries of 4 bytes, then an
// Adler-32 of the entries.
constexpr std::uint32_t TableHeaderSize = 24;
constexpr std::size_t TableEntryCount = 0;        // u32
constexpr std::size_t TableBaseOffset = 8;        // u64: what entries count from
constexpr std::size_t TableHeaderChecksum = 20;   // u32: Adler-32 of the 20 bytes before it
constexpr std::uint32_t TableEntrySize = 4;       // u32: bit 31 compressed, bits 0-30 offset from the base
constexpr std::uint32_t EntryCompressed = 0x80000000u;
constexpr std::uint32_t EntryOffsetMask = 0x7FFFFFFFu;
constexpr std::uint32_t MaxTableEntries = 65536;  // writers start a new table long before

// A stored chunk is its bytes and their Adler-32; a compressed one a zlib
// stream, whose own Adler-32 checks it.
constexpr std::uint32_t ChunkChecksumSize = 4;
constexpr std::uint32_t MaxChunkSize = 64u << 20;

// hash section: MD5 of the media, 16 unknown bytes, Adler-32 of the 32 before.
constexpr std::uint32_t HashSize = 36;
constexpr std::size_t HashChecksum = 32;
// digest section: MD5, SHA-1, padding, Adler-32 of the 76 before.
constexpr std::uint32_t DigestSize = 80;
constexpr std::size_t DigestChecksum = 76;
constexpr std::uint32_t Md5Size = 16;
constexpr unsigned MaxSegments = 14971;           // .E01 to .E99, then .EAA to .ZZZ
}  // namespace ewf
