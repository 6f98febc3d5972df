// Drives and volumes as user mode sees them (kernel32): the drive letters of the namespace's
// "\??" links and of the calling account's network connections (network_api.h), their
// targets, substituted drives, and what a volume says about itself.
#pragma once

#include "platform/win32/windows_types.h"

constexpr DWORD DRIVE_UNKNOWN = 0;
constexpr DWORD DRIVE_NO_ROOT_DIR = 1;
constexpr DWORD DRIVE_REMOVABLE = 2;
constexpr DWORD DRIVE_FIXED = 3;
constexpr DWORD DRIVE_REMOTE = 4;
constexpr DWORD DRIVE_CDROM = 5;

constexpr DWORD DDD_RAW_TARGET_PATH = 0x00000001;
constexpr DWORD DDD_REMOVE_DEFINITION = 0x00000002;
constexpr DWORD DDD_EXACT_MATCH_ON_REMOVE = 0x00000004;
constexpr DWORD DDD_NO_BROADCAST_SYSTEM = 0x00000008;

// "A:\<NUL>C:\<NUL>...<NUL>" for every drive letter, in letter order. Returns the characters
// written without the last NUL, or the size needed with it when `size` is too small.
DWORD GetLogicalDriveStringsW(DWORD size, LPWSTR buffer);
// The same drives as a bit mask: bit 0 for A: up to bit 25 for Z:.
DWORD GetLogicalDrives();
// By the device a drive leads to: DRIVE_FIXED for a disk volume, DRIVE_REMOTE for the
// redirector, DRIVE_CDROM and DRIVE_REMOVABLE by device name, a substituted drive as the
// drive it lies on; DRIVE_NO_ROOT_DIR for a letter that is no drive or a path that is no
// root ("C:\" and "\\server\share\" are roots). A null path is the current directory's root.
UINT GetDriveTypeW(LPCWSTR root_path_name);
// The target of the name `device_name` ("C:", "KvDrv") in "\??", followed by two NULs; returns
// the characters stored with both, 0 on failure (ERROR_FILE_NOT_FOUND for a name that is not
// defined, ERROR_INSUFFICIENT_BUFFER when it does not fit). A null name lists every name
// defined in "\??" and the caller's network drives, in order without case, each followed by
// a NUL and the last by a second one (ERROR_INSUFFICIENT_BUFFER when the list does not fit).
DWORD QueryDosDeviceW(LPCWSTR device_name, LPWSTR target_path, DWORD max);
// Defines "\??\<device_name>" to lead to `target_path` (a Win32 path, such as "C:\data" for a
// substituted drive, or with DDD_RAW_TARGET_PATH a kernel name), or with
// DDD_REMOVE_DEFINITION removes it (with DDD_EXACT_MATCH_ON_REMOVE only when its target is
// `target_path`, else ERROR_FILE_NOT_FOUND). A name that is defined already, network drives of
// the caller included, is ERROR_ALREADY_EXISTS: a definition never hides another one.
BOOL DefineDosDeviceW(DWORD flags, LPCWSTR device_name, LPCWSTR target_path);
// The label, serial, longest component, file-system attributes and file-system name of the
// volume whose root is `root_path_name` ("C:\", "\\server\share\"; null: the current
// directory's root); each output is optional.
// ERROR_INVALID_NAME for a path that is no root (it must end in a backslash), ERROR_MORE_DATA
// when a name does not fit its buffer.
BOOL GetVolumeInformationW(LPCWSTR root_path_name, LPWSTR volume_name, DWORD volume_name_size,
                           LPDWORD serial_number, LPDWORD maximum_component_length,
                           LPDWORD file_system_flags, LPWSTR file_system_name,
                           DWORD file_system_name_size);
