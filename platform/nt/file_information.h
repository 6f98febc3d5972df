// Information classes of files and volumes, with their platform values, and the records the
// I/O manager itself reads. File systems answer the classes with their records.
#pragma once

#include "platform/nt/nt_types.h"

enum FILE_INFORMATION_CLASS {
  FileDirectoryInformation = 1,
  FileFullDirectoryInformation = 2,
  FileBothDirectoryInformation = 3,
  FileBasicInformation = 4,
  FileStandardInformation = 5,
  FileInternalInformation = 6,
  FileEaInformation = 7,
  FileAccessInformation = 8,
  FileNameInformation = 9,
  FileRenameInformation = 10,
  FileLinkInformation = 11,
  FileNamesInformation = 12,
  FileDispositionInformation = 13,
  FilePositionInformation = 14,
  FileFullEaInformation = 15,
  FileModeInformation = 16,
  FileAlignmentInformation = 17,
  FileAllInformation = 18,
  FileAllocationInformation = 19,
  FileEndOfFileInformation = 20,
  FileAlternateNameInformation = 21,
  FileStreamInformation = 22,
  FileNetworkOpenInformation = 34,
  FileAttributeTagInformation = 35,
};

enum FS_INFORMATION_CLASS {
  FileFsVolumeInformation = 1,
  FileFsLabelInformation = 2,
  FileFsSizeInformation = 3,
  FileFsDeviceInformation = 4,
  FileFsAttributeInformation = 5,
  FileFsControlInformation = 6,
  FileFsFullSizeInformation = 7,
};

// FileNameInformation: the path of the file on its volume, not terminated.
struct FILE_NAME_INFORMATION {
  ULONG FileNameLength;  // bytes
  WCHAR FileName[1];
};
using PFILE_NAME_INFORMATION = FILE_NAME_INFORMATION*;

// Records the fast-I/O entries name; file_records.h defines them.
struct FILE_BASIC_INFORMATION;
struct FILE_STANDARD_INFORMATION;
struct FILE_NETWORK_OPEN_INFORMATION;
struct COMPRESSED_DATA_INFO;
