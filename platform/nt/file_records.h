// The records file systems answer information classes with, the volume attribute bits, and
// the file-system control codes the system sends, with their platform layouts and values.
#pragma once

#include "platform/nt/device.h"
#include "platform/nt/device_control.h"
#include "platform/nt/file_information.h"
#include "platform/nt/nt_types.h"

struct FILE_BASIC_INFORMATION {
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;  // a time of 0 in a set request leaves that time unchanged
  ULONG FileAttributes;      // 0 in a set request leaves the attributes unchanged
};

struct FILE_STANDARD_INFORMATION {
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  ULONG NumberOfLinks;
  BOOLEAN DeletePending;
  BOOLEAN Directory;
};

struct FILE_INTERNAL_INFORMATION {
  LARGE_INTEGER IndexNumber;  // the file id FILE_OPEN_BY_FILE_ID takes
};

struct FILE_POSITION_INFORMATION {
  LARGE_INTEGER CurrentByteOffset;
};

// FileRenameInformation and FileLinkInformation.
struct FILE_RENAME_INFORMATION {
  BOOLEAN ReplaceIfExists;
  HANDLE RootDirectory;
  ULONG FileNameLength;  // bytes
  WCHAR FileName[1];
};
using FILE_LINK_INFORMATION = FILE_RENAME_INFORMATION;

struct FILE_DISPOSITION_INFORMATION {
  BOOLEAN DeleteFile;
};

struct FILE_ALLOCATION_INFORMATION {
  LARGE_INTEGER AllocationSize;
};

struct FILE_END_OF_FILE_INFORMATION {
  LARGE_INTEGER EndOfFile;
};

struct FILE_NETWORK_OPEN_INFORMATION {
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  ULONG FileAttributes;
};

// Directory entries. Each entry starts on an 8-byte boundary; NextEntryOffset is 0 on the last.
struct FILE_DIRECTORY_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;  // bytes
  WCHAR FileName[1];
};

struct FILE_BOTH_DIR_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;  // bytes
  ULONG EaSize;
  CCHAR ShortNameLength;  // bytes
  WCHAR ShortName[12];
  WCHAR FileName[1];
};

struct FILE_FS_VOLUME_INFORMATION {
  LARGE_INTEGER VolumeCreationTime;
  ULONG VolumeSerialNumber;
  ULONG VolumeLabelLength;  // bytes
  BOOLEAN SupportsObjects;
  WCHAR VolumeLabel[1];
};

struct FILE_FS_ATTRIBUTE_INFORMATION {
  ULONG FileSystemAttributes;
  LONG MaximumComponentNameLength;
  ULONG FileSystemNameLength;  // bytes
  WCHAR FileSystemName[1];
};

struct FILE_FS_SIZE_INFORMATION {
  LARGE_INTEGER TotalAllocationUnits;
  LARGE_INTEGER AvailableAllocationUnits;
  ULONG SectorsPerAllocationUnit;
  ULONG BytesPerSector;
};

// FileSystemAttributes.
constexpr ULONG FILE_CASE_SENSITIVE_SEARCH = 0x00000001;
constexpr ULONG FILE_CASE_PRESERVED_NAMES = 0x00000002;
constexpr ULONG FILE_UNICODE_ON_DISK = 0x00000004;
constexpr ULONG FILE_PERSISTENT_ACLS = 0x00000008;
constexpr ULONG FILE_SUPPORTS_SPARSE_FILES = 0x00000040;
constexpr ULONG FILE_SUPPORTS_REPARSE_POINTS = 0x00000080;
constexpr ULONG FILE_NAMED_STREAMS = 0x00040000;

// File-system control codes.
constexpr ULONG FSCTL_SET_REPARSE_POINT =
    CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 41, METHOD_BUFFERED, FILE_SPECIAL_ACCESS);
constexpr ULONG FSCTL_GET_REPARSE_POINT =
    CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 42, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG FSCTL_SET_SPARSE =
    CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 49, METHOD_BUFFERED, FILE_SPECIAL_ACCESS);
constexpr ULONG FSCTL_SET_ZERO_DATA =
    CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 50, METHOD_BUFFERED, FILE_WRITE_ACCESS);

struct FILE_ZERO_DATA_INFORMATION {
  LARGE_INTEGER FileOffset;
  LARGE_INTEGER BeyondFinalZero;
};

constexpr ULONG IO_REPARSE_TAG_MOUNT_POINT = 0xA0000003;

// The head of a reparse point's data: tag, length of what follows the 8-byte header.
struct REPARSE_DATA_BUFFER_HEADER {
  ULONG ReparseTag;
  USHORT ReparseDataLength;
  USHORT Reserved;
};
// A mount point's (junction's) data after the header: offsets and lengths in bytes into
// PathBuffer.
struct MOUNT_POINT_REPARSE_BUFFER {
  USHORT SubstituteNameOffset;
  USHORT SubstituteNameLength;
  USHORT PrintNameOffset;
  USHORT PrintNameLength;
  WCHAR PathBuffer[1];
};
