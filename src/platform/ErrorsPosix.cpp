#include <cerrno>
#include <cstdio>

#include "platform/Errors.h"

DWORD CodeFromErrno(int err) {
  switch (err) {
    case 0: return code::Success;
    case ENOENT: return code::FileNotFound;
    case ENOTDIR: return code::PathNotFound;
    case EMFILE:
    case ENFILE: return code::TooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR: return code::AccessDenied;
    case EBADF: return code::InvalidHandle;
    case ENOMEM: return code::NotEnoughMemory;
    case EXDEV: return code::NotSameDevice;
    case EROFS: return code::WriteProtect;
    case ENXIO:
    case ENODEV: return code::NotReady;
    case EIO: return code::Crc;
    case EEXIST: return code::FileExists;
    case EINVAL: return code::InvalidParameter;
    case ENOSPC: return code::DiskFull;
    case EILSEQ: return code::InvalidName;
    case ENOTEMPTY: return code::DirNotEmpty;
    case EBUSY: return code::Busy;
    case ELOOP: return code::StoppedOnSymlink;
    case ENAMETOOLONG: return code::FilenameTooLong;
    case EFBIG:
    case EOVERFLOW: return code::FileTooLarge;
    default: return code::GenFailure;
  }
}

std::string ErrorMessage(DWORD errorCode) {
  if (const char* own = OwnErrorText(errorCode)) return own;
  switch (errorCode) {
    case code::Success: return "The operation completed successfully.";
    case code::FileNotFound: return "The system cannot find the file specified.";
    case code::PathNotFound: return "The system cannot find the path specified.";
    case code::TooManyOpenFiles: return "The system cannot open the file.";
    case code::AccessDenied: return "Access is denied.";
    case code::InvalidHandle: return "The handle is invalid.";
    case code::NotEnoughMemory:
      return "Not enough memory resources are available to process this command.";
    case code::InvalidAccess: return "The access code is invalid.";
    case code::InvalidDrive: return "The system cannot find the drive specified.";
    case code::NotSameDevice: return "The system cannot move the file to a different disk drive.";
    case code::NoMoreFiles: return "There are no more files.";
    case code::WriteProtect: return "The media is write protected.";
    case code::NotReady: return "The device is not ready.";
    case code::Crc: return "Data error (cyclic redundancy check).";
    case code::ReadFault: return "The system cannot read from the specified device.";
    case code::GenFailure: return "A device attached to the system is not functioning.";
    case code::SharingViolation:
      return "The process cannot access the file because it is being used by another process.";
    case code::HandleEof: return "Reached the end of the file.";
    case code::NotSupported: return "The request is not supported.";
    case code::FileExists: return "The file exists.";
    case code::InvalidParameter: return "The parameter is incorrect.";
    case code::DiskFull: return "There is not enough space on the disk.";
    case code::InvalidName: return "The filename, directory name, or volume label syntax is incorrect.";
    case code::DirNotEmpty: return "The directory is not empty.";
    case code::Busy: return "The requested resource is in use.";
    case code::AlreadyExists: return "Cannot create a file when that file already exists.";
    case code::FilenameTooLong: return "The filename or extension is too long.";
    case code::FileTooLarge: return "The file size exceeds the limit allowed and cannot be saved.";
    case code::DirectoryInvalid: return "The directory name is invalid.";
    case code::StoppedOnSymlink: return "The create operation stopped after reaching a symbolic link.";
    case code::BadDevice: return "The specified device name is invalid.";
    case code::Cancelled: return "The operation was canceled by the user.";
    case code::FileCorrupt: return "The file or directory is corrupted and unreadable.";
    case code::DiskCorrupt: return "The disk structure is corrupted and unreadable.";
    case code::FileEncrypted:
      return "The specified file is encrypted and the user does not have the ability to decrypt it.";
    case code::FileOffline: return "The file is currently not available for use on this computer.";
    default: {
      char text[48];
      std::snprintf(text, sizeof text, "Unknown error %lu.", static_cast<unsigned long>(errorCode));
      return text;
    }
  }
}
