// The few Windows types and system error codes the portable core needs,
// without <windows.h>.
#pragma once

#include <cstdint>

#ifdef _WIN32
typedef unsigned long DWORD;  // identical to the Windows headers' typedef
#else
typedef std::uint32_t DWORD;
#endif

// Windows system error codes (0 = success). The core uses only these names.
namespace code {
constexpr DWORD Success = 0;
constexpr DWORD FileNotFound = 2;
constexpr DWORD PathNotFound = 3;
constexpr DWORD TooManyOpenFiles = 4;
constexpr DWORD AccessDenied = 5;
constexpr DWORD InvalidHandle = 6;
constexpr DWORD NotEnoughMemory = 8;    // a value too large to hold whole
constexpr DWORD InvalidAccess = 12;     // volume not initialised
constexpr DWORD InvalidDrive = 15;      // not an NTFS volume
constexpr DWORD NotSameDevice = 17;
constexpr DWORD NoMoreFiles = 18;       // record index past the last record
constexpr DWORD WriteProtect = 19;
constexpr DWORD NotReady = 21;
constexpr DWORD Crc = 23;               // I/O error: a sector that cannot be read
constexpr DWORD Seek = 25;              // a sector that cannot be found
constexpr DWORD SectorNotFound = 27;
constexpr DWORD ReadFault = 30;         // short read of an extended boot record
constexpr DWORD GenFailure = 31;
constexpr DWORD SharingViolation = 32;
constexpr DWORD HandleEof = 38;         // the disk ended before the read did
constexpr DWORD NotSupported = 50;      // a kind of disk image that is not read (differencing, a log to replay)
constexpr DWORD DevNotExist = 55;       // the disk is gone
constexpr DWORD FileExists = 80;
constexpr DWORD InvalidParameter = 87;  // bad record, run list or geometry
constexpr DWORD DiskFull = 112;
constexpr DWORD InvalidName = 123;
constexpr DWORD DirNotEmpty = 145;
constexpr DWORD Busy = 170;
constexpr DWORD AlreadyExists = 183;
constexpr DWORD FilenameTooLong = 206;
constexpr DWORD FileTooLarge = 223;
constexpr DWORD DirectoryInvalid = 267;
constexpr DWORD StoppedOnSymlink = 681;  // a link inside the destination where a folder or file goes
constexpr DWORD MediaChanged = 1110;
constexpr DWORD NoMediaInDrive = 1112;
constexpr DWORD IoDevice = 1117;        // a sector that cannot be read, as some drivers say it
constexpr DWORD DeviceNotConnected = 1167;
constexpr DWORD BadDevice = 1200;       // the record at the $MFT cluster is not $MFT
constexpr DWORD Cancelled = 1223;       // the user stopped the operation
constexpr DWORD FileCorrupt = 1392;     // compressed data or an attribute list's pieces that cannot be read
constexpr DWORD DiskCorrupt = 1393;     // a disk image's own structure is damaged
constexpr DWORD FileOffline = 4350;     // the file's bytes lie elsewhere (a cloud provider, a deduplication store)
constexpr DWORD FileEncrypted = 6002;   // encrypted content: never written out as the file
// Codes of our own carry bit 29, which no system code has; their texts
// come from the same place as the system's (ErrorMessage).
constexpr DWORD RecordReused = 0x20000001;  // a row's record was used again after the scan
}  // namespace code
