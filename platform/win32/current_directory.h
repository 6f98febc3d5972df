// The current directory of each process, against which relative names resolve ("a.txt",
// "..\x", "\dir" on the current drive or share, "D:x" on drive D's own current directory). A
// process starts in its creator's current directory, or in the one CreateProcessW names; the
// first process starts at the root of the Windows directory's drive. Each drive also
// remembers the last current directory the process had on it, for "D:x" names.
#pragma once

#include <string>
#include <string_view>

#include "platform/win32/windows_types.h"

// Copies the current directory ("C:\dir", "C:\" for a root, "\\srv\pub\dir") into `buffer`;
// returns its length without the NUL, or when `size` cannot hold it with the NUL the size
// needed with it (nothing copied).
DWORD GetCurrentDirectoryW(DWORD size, LPWSTR buffer);
// Makes the folder `path` (full or relative) the current directory: ERROR_FILE_NOT_FOUND or
// ERROR_PATH_NOT_FOUND when it does not exist, ERROR_DIRECTORY for a file,
// ERROR_FILENAME_EXCED_RANGE when it is longer than MAX_PATH - 2 characters without its
// trailing backslash, ERROR_INVALID_NAME for a device name ("\\.\X", "\\?\X").
BOOL SetCurrentDirectoryW(LPCWSTR path);

namespace win32 {

// Internal to platform/win32.

// The calling process's current directory: a full path, with a trailing backslash only at a
// root.
std::u16string CurrentDirectory();
// The root of the current directory: "C:\" or "\\server\share\".
std::u16string CurrentRoot();
// The current directory the process has on drive `letter` (upper or lower case): the current
// directory when it is on that drive, else the last one it had there, else the drive's root.
std::u16string DriveDirectory(WCHAR letter);
// The current directory a process started by CreateProcessW gets: `requested` (a folder that
// must exist; ERROR_DIRECTORY otherwise) or, when null, the caller's. Empty with the last
// error set on failure.
std::u16string ChildDirectory(LPCWSTR requested);
// Sets the calling process's current directory to `directory` (from ChildDirectory), at the
// start of the process.
void StartInDirectory(std::u16string directory);

}  // namespace win32
