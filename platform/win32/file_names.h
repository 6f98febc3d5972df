// How user mode names files for the kernel, shared by the file routines of this library.
#pragma once

#include <string>
#include <string_view>

#include "platform/win32/windows_types.h"

namespace win32 {

// The full form of a Win32 path: "C:\a\.\b\..\c" and "C:/a/c" become "C:\a\c";
// "\\server\share\..." likewise below the share. Relative names resolve against the calling
// process's current directory (current_directory.h): "a.txt" and "..\x" below it, "\x" below
// its root, "D:x" below drive D's current directory. "\\?\" and "\\.\" names stay as they
// are. Empty for an empty name or one that climbs above its root.
std::u16string FullPathOf(std::u16string_view path);

// The kernel's name of a Win32 path: "\\.\X" and "\\?\X" give "\??\X", "\\server\share\..."
// gives "\??\UNC\server\share\...", "C:\..." gives "\??\C:\...", and a network drive of the
// calling account gives its redirector name. Empty for a name it cannot translate.
std::u16string KernelNameOf(std::u16string_view path);

// Opens `path` through NtCreateFile: the status, the handle in *handle and the create's
// Information in *information (optional).
NTSTATUS OpenPath(std::u16string_view path, ACCESS_MASK access, ULONG share, ULONG disposition,
                  ULONG options, ULONG attributes, HANDLE* handle,
                  ULONG_PTR* information = nullptr);

}  // namespace win32
