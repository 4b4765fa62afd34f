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
constexpr std::uint32_t BootMftMirrorCluster = 0x38;   // u64, cluster of $MFTMirr: copies of records 0 to 3
constexpr std::uint32_t BootClustersPerRecord = 0x40; // i8: n > 0 clusters, n < 0 means 2^-n bytes
constexpr std::uint32_t BootSerialLow = 0x48;          // u32, low half of the volume serial
constexpr std::uint32_t BootEndMarker = 0x1FE;         // u16, 0xAA55: the sector is a boot sector
constexpr std::uint16_t BootEndMarkerValue = 0xAA55;
// Bytes per sector a volume may give: 512, 1024, 2048 or 4096, a power of two.
constexpr std::uint32_t MinBytesPerSector = 512;
constexpr std::uint32_t MaxBytesPerSector = 4096;
// The largest cluster a volume may have: anything larger is damage, and
// would ask for buffers of that size.
constexpr std::uint32_t MaxClusterSize = 2u << 20;

// Partition starts are counted in the disk's logical sectors: 512 bytes
// unless the disk says otherwise.
constexpr std::uint32_t PartitionSectorSize = 512;

// FILE record.
constexpr std::uint32_t RecordSize = 1024;             // the usual record; the boot sector gives the volume's
constexpr std::uint32_t MinRecordSize = 512;           // accepted record sizes: powers of two in this range
constexpr std::uint32_t MaxRecordSize = 65536;
constexpr std::uint32_t RecordSignature = 0x00;        // "FILE"
constexpr std::uint32_t RecordUsaOffset = 0x04;        // u16, update sequence array offset
constexpr std::uint32_t RecordUsaCount = 0x06;         // u16, entries including the sequence number
constexpr std::uint32_t RecordLsn = 0x08;              // u64, $LogFile sequence number of the last change
constexpr std::uint32_t RecordSequence = 0x10;         // u16, incremented when the record is freed
constexpr std::uint32_t RecordFirstAttribute = 0x14;   // u16
constexpr std::uint32_t RecordFlags = 0x16;            // low byte of u16 flags
constexpr std::uint32_t RecordBaseReference = 0x20;    // u64 file reference; 0 in a base record
constexpr std::uint32_t RecordBytesInUse = 0x18;       // u32, bytes the attributes use, the end marker included
constexpr std::uint32_t RecordBytesAllocated = 0x1C;   // u32, the record's size
constexpr std::uint32_t RecordNumber = 0x2C;           // u32, the record's own number (NTFS 3.1)
constexpr std::uint32_t RecordNumberedUsa = 0x30;      // where the update sequence starts in a record that has its number
constexpr std::uint32_t RecordOldUsa = 0x2A;           // where it starts in an NTFS 3.0 record, which has none
constexpr std::uint32_t MirroredRecords = 4;           // records 0 to 3 have copies in $MFTMirr
constexpr std::uint8_t RecordInUse = 0x01;
constexpr std::uint8_t RecordIsDirectory = 0x02;
constexpr std::uint32_t UsaSectorSize = 512;           // one fix-up entry per 512-byte stride

// Index block ("INDX"), a folder's $INDEX_ALLOCATION in blocks; update sequence as a FILE record's.
constexpr std::uint32_t IndexVcn = 0x10;               // u64, the block's VCN in its attribute
constexpr std::uint32_t IndexHeader = 0x18;            // the node header; its offsets count from here
constexpr std::uint32_t IndexEntriesOffset = 0x00;     // u32, from the node header, to the first entry
constexpr std::uint32_t IndexAllocatedSize = 0x08;     // u32, from the node header: the block size less IndexHeader
// An index entry: file reference (u64), entry length (u16), key length (u16), flags (u16), then the key.
constexpr std::uint32_t IndexEntryLength = 0x08;
constexpr std::uint32_t IndexEntryKeyLength = 0x0A;
constexpr std::uint32_t IndexEntryFlags = 0x0C;
constexpr std::uint32_t IndexEntryKey = 0x10;
constexpr std::uint16_t IndexEntryLast = 0x02;         // the end entry: it has no key
// $INDEX_ROOT value: the attribute type indexed (u32), collation (u32), then the block size in bytes.
constexpr std::uint32_t IndexRootBlockSize = 0x08;     // u32
constexpr std::uint32_t IndexVcnUnit = 512;            // a block's VCN counts these when blocks are smaller than clusters

// Attribute header, from the attribute's start.
constexpr std::uint32_t AttrType = 0x00;               // u32
constexpr std::uint32_t AttrLength = 0x04;             // u32, the whole attribute
constexpr std::uint32_t AttrNonResident = 0x08;        // u8, 0 = resident
constexpr std::uint32_t AttrNameLength = 0x09;         // u8, UTF-16 units; 0 for the unnamed stream
constexpr std::uint32_t AttrNameOffset = 0x0A;         // u16, from the attribute's start
constexpr std::uint32_t AttrFlags = 0x0C;              // u16, below
constexpr std::uint32_t AttrValueLength = 0x10;        // resident: u32
constexpr std::uint32_t AttrValueOffset = 0x14;        // resident: u16, from the attribute's start
constexpr std::uint32_t AttrResidentHeader = 0x18;     // resident header size
constexpr std::uint32_t AttrMinimumLength = AttrResidentHeader;  // no attribute is shorter
constexpr std::uint32_t AttrFirstVcn = 0x10;           // non-resident: u64
constexpr std::uint32_t AttrLastVcn = 0x18;            // non-resident: u64
constexpr std::uint32_t AttrRunListOffset = 0x20;      // non-resident: u16, from the attribute's start
constexpr std::uint32_t AttrCompressionUnit = 0x22;    // non-resident: u8, log2 of clusters per unit
constexpr std::uint32_t AttrAllocatedSize = 0x28;      // non-resident: u64, bytes
constexpr std::uint32_t AttrRealSize = 0x30;           // non-resident: u64, bytes
constexpr std::uint32_t AttrInitializedSize = 0x38;    // non-resident: u64, bytes holding written data
constexpr std::uint32_t AttrNonResidentHeader = 0x38;  // bytes up to and including the real size
// Sizes count only in the piece whose first VCN is 0.

// Attribute flags.
constexpr std::uint16_t AttrFlagCompressed = 0x0001;
constexpr std::uint16_t AttrFlagEncrypted = 0x4000;
constexpr std::uint16_t AttrFlagSparse = 0x8000;
constexpr std::uint32_t MaxCompressionUnitBytes = 1u << 20;  // 16 clusters of at most 64 KiB

// Attribute types.
constexpr std::uint32_t TypeStandardInformation = 0x10;
constexpr std::uint32_t TypeAttributeList = 0x20;
constexpr std::uint32_t TypeFileName = 0x30;
constexpr std::uint32_t TypeData = 0x80;
constexpr std::uint32_t TypeIndexRoot = 0x90;
constexpr std::uint32_t TypeIndexAllocation = 0xA0;
constexpr std::uint32_t TypeReparsePoint = 0xC0;
constexpr std::uint32_t TypeEnd = 0xFFFFFFFF;

// $STANDARD_INFORMATION value: four FILETIMEs (100 ns since 1601, UTC).
constexpr std::uint32_t StandardInformationKept = 40;  // bytes kept of the value
constexpr std::uint32_t SiCreationTime = 0x00;
constexpr std::uint32_t SiModificationTime = 0x08;
constexpr std::uint32_t SiMftChangeTime = 0x10;
constexpr std::uint32_t SiAccessTime = 0x18;
constexpr std::uint32_t SiFileAttributes = 0x20;      // u32; kept current, unlike $FILE_NAME's copy
constexpr std::uint32_t FileAttributeEncrypted = 0x4000;

// $ATTRIBUTE_LIST entries, each 8-byte aligned.
constexpr std::uint32_t AleType = 0x00;                // u32
constexpr std::uint32_t AleLength = 0x04;              // u16, the whole entry
constexpr std::uint32_t AleNameLength = 0x06;          // u8, UTF-16 units
constexpr std::uint32_t AleNameOffset = 0x07;          // u8, from the entry's start
constexpr std::uint32_t AleFirstVcn = 0x08;            // u64
constexpr std::uint32_t AleReference = 0x10;           // u64 file reference of the record holding it
constexpr std::uint32_t AleMinimumLength = 0x1A;       // through the attribute id
constexpr std::uint32_t MaxAttributeList = 256u << 10; // larger lists are damage

// $FILE_NAME value.
constexpr std::uint32_t FnParentReference = 0x00;      // u64; low 48 bits are the record number
constexpr std::uint32_t FnFlags = 0x38;                // u32, file attributes
constexpr std::uint32_t FnNamespace = 0x41;            // u8: 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
constexpr std::uint8_t FnNamespaceWin32 = 1;
constexpr std::uint8_t FnNamespaceDos = 2;             // the short name, taken only when there is no other
constexpr std::uint8_t FnNamespaceWin32AndDos = 3;
constexpr std::uint32_t FnName = 0x42;                 // UTF-16 units to the value's end
constexpr std::uint32_t FileNameArea = 1090;           // fixed part + 512 units of name

// $REPARSE_POINT value: tag (u32), data length (u16), reserved (u16), then
// the data. The tags of files whose bytes lie elsewhere:
constexpr std::uint32_t ReparseTagDedup = 0x80000013;   // in the volume's deduplication chunk store
constexpr std::uint32_t ReparseTagCloud = 0x9000001A;   // a cloud-files placeholder; 0x9000x01A alike
constexpr std::uint32_t ReparseTagCloudMask = 0xFFFF0FFF;
constexpr std::uint32_t ReparseKept = 32;              // bytes kept of the value: the tag and a WOF point

// File references (parents, attribute lists, base records): the record
// number in the low 48 bits, its sequence number in the high 16.
constexpr std::uint64_t RecordNumberMask = 0x0000FFFFFFFFFFFFull;
constexpr unsigned ReferenceSequenceShift = 48;

// Run list: header byte, low nibble = length-field bytes, high nibble =
// offset-field bytes; 0 ends the list. An offset field of 0 bytes is sparse.
constexpr std::uint32_t RunFieldMax = 8;

// Record numbers.
constexpr std::uint32_t MftRecord = 0;
constexpr std::uint32_t MftMirrorRecord = 1;          // $MFTMirr
constexpr std::uint32_t BitmapRecord = 6;             // $Bitmap: bit i set = cluster i in use
constexpr std::uint32_t FirstUserRecord = 16;          // 0 to 15 are the volume's own metadata

}  // namespace ntfs
