// Files, folders and their attributes, times and names on the machine's volumes (kernel32).
// Paths are Win32 paths, full or relative to the current directory (file_api.h); each routine
// opens what it needs through the I/O manager, so the file systems and their filters see
// every request. Errors through the last error, with NT statuses mapped as the platform maps
// them.
#pragma once

#include "platform/nt/file_io.h"
#include "platform/win32/windows_types.h"

constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;

constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;

constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x00000001;
constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x00000002;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x00000008;

constexpr DWORD COPY_FILE_FAIL_IF_EXISTS = 0x00000001;
constexpr DWORD PROGRESS_CONTINUE = 0;
constexpr DWORD PROGRESS_CANCEL = 1;
constexpr DWORD PROGRESS_STOP = 2;
constexpr DWORD PROGRESS_QUIET = 3;
constexpr DWORD CALLBACK_CHUNK_FINISHED = 0x00000000;
constexpr DWORD CALLBACK_STREAM_SWITCH = 0x00000001;

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
};
using LPWIN32_FIND_DATAW = WIN32_FIND_DATAW*;

enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard };

struct WIN32_FILE_ATTRIBUTE_DATA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
};

// CopyFileExW's progress routine: PROGRESS_CONTINUE goes on, PROGRESS_CANCEL stops and deletes
// the copy, PROGRESS_STOP stops and keeps what was copied, PROGRESS_QUIET goes on without
// further calls.
using LPPROGRESS_ROUTINE = DWORD (*)(LARGE_INTEGER total_size, LARGE_INTEGER transferred,
                                     LARGE_INTEGER stream_size, LARGE_INTEGER stream_transferred,
                                     DWORD stream_number, DWORD reason, HANDLE source,
                                     HANDLE destination, LPVOID data);

// Positions and sizes of an open file.
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER new_position,
                      DWORD move_method);
// The low part of the new position (INVALID_SET_FILE_POINTER with the last error set on
// failure; 0 otherwise, as a real position may look the same); `distance_high` is the high
// part in and out when given.
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD move_method);
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
// The low part of the size, the high part in *size_high (optional). INVALID_FILE_SIZE with the
// last error set on failure; on success the last error is 0, as a real size may look the
// same.
DWORD GetFileSize(HANDLE file, LPDWORD size_high);
// The file's end becomes its current position.
BOOL SetEndOfFile(HANDLE file);
BOOL FlushFileBuffers(HANDLE file);
BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME last_access,
                 LPFILETIME last_write);
// Null times stay unchanged.
BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* last_access,
                 const FILETIME* last_write);

// Attributes by name; a folder reports FILE_ATTRIBUTE_DIRECTORY.
DWORD GetFileAttributesW(LPCWSTR file_name);
BOOL GetFileAttributesExW(LPCWSTR file_name, GET_FILEEX_INFO_LEVELS level, LPVOID information);
// FILE_ATTRIBUTE_NORMAL alone clears the others; the directory bit cannot be set.
BOOL SetFileAttributesW(LPCWSTR file_name, DWORD attributes);

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security_attributes);
// ERROR_DIR_NOT_EMPTY for a folder with entries; ERROR_DIRECTORY for a file.
BOOL RemoveDirectoryW(LPCWSTR path);
// ERROR_ACCESS_DENIED for a read-only file or a folder.
BOOL DeleteFileW(LPCWSTR file_name);
// Renames a file or folder on its volume. Across volumes, MOVEFILE_COPY_ALLOWED moves a file
// by copying it (data, attributes, times) and deleting the source; without it, and for
// folders, ERROR_NOT_SAME_DEVICE. An existing target is ERROR_ALREADY_EXISTS unless
// MOVEFILE_REPLACE_EXISTING lets a file replace a file. A null target deletes the source.
BOOL MoveFileExW(LPCWSTR existing, LPCWSTR new_name, DWORD flags);
// MoveFileExW with MOVEFILE_COPY_ALLOWED: files move across volumes, folders only within one.
BOOL MoveFileW(LPCWSTR existing, LPCWSTR new_name);
// Copies a file's data, attributes and times, calling `progress` once before the first chunk
// (CALLBACK_STREAM_SWITCH) and after each chunk of 64 KB (CALLBACK_CHUNK_FINISHED). A set
// `*cancel` or a PROGRESS_CANCEL stops the copy and deletes the partial target
// (ERROR_REQUEST_ABORTED); PROGRESS_STOP stops it and keeps the partial target
// (ERROR_REQUEST_ABORTED). COPY_FILE_FAIL_IF_EXISTS: ERROR_FILE_EXISTS for an existing target.
// An existing read-only or hidden target is ERROR_ACCESS_DENIED.
BOOL CopyFileExW(LPCWSTR existing, LPCWSTR new_name, LPPROGRESS_ROUTINE progress, LPVOID data,
                 LPBOOL cancel, DWORD flags);
BOOL CopyFileW(LPCWSTR existing, LPCWSTR new_name, BOOL fail_if_exists);

// Lists the entries of a folder matching the last component of `pattern` (with * and ?),
// without "." and "..". ERROR_FILE_NOT_FOUND when nothing matches, ERROR_PATH_NOT_FOUND when
// the folder does not exist. cAlternateFileName holds the 8.3 name of an entry whose name is
// not one (else it is empty).
HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW find_data);
// ERROR_NO_MORE_FILES after the last entry.
BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW find_data);
BOOL FindClose(HANDLE find);

// The path with each component in its long (or short) form, as the volume names it; each
// component must exist (ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND). Returns the characters
// written without the terminator, or the size needed with it when `size` is too small, 0 on
// failure.
DWORD GetLongPathNameW(LPCWSTR short_path, LPWSTR long_path, DWORD size);
DWORD GetShortPathNameW(LPCWSTR long_path, LPWSTR short_path, DWORD size);
// The full form of `file_name` (win32::FullPathOf), relative names resolved against the
// current directory; *file_part (optional) points at the last component in `buffer`, or is
// null when the name ends in a separator. ERROR_INVALID_NAME for a name that climbs above its
// root. Same return as above.
DWORD GetFullPathNameW(LPCWSTR file_name, DWORD size, LPWSTR buffer, LPWSTR* file_part);
