// The registry of user mode (advapi32) over the kernel's registry. The predefined keys are
// HKEY_LOCAL_MACHINE (\Registry\Machine), HKEY_USERS (\Registry\User), HKEY_CURRENT_USER (the
// key of the account the calling thread acts for, \Registry\User\<account>, made on first use
// as a logon would load it) and HKEY_CLASSES_ROOT (\Registry\Machine\Software\Classes).
// Predefined keys need no opening and are never closed. The routines return a system error
// code (ERROR_SUCCESS on success) and leave the last error alone.
#pragma once

#include "platform/nt/registry.h"
#include "platform/win32/windows_types.h"

using HKEY = struct RegistryKey*;
using PHKEY = HKEY*;
using REGSAM = ACCESS_MASK;
using LSTATUS = LONG;

inline const HKEY HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(ULONG_PTR{0x80000000});
inline const HKEY HKEY_CURRENT_USER = reinterpret_cast<HKEY>(ULONG_PTR{0x80000001});
inline const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(ULONG_PTR{0x80000002});
inline const HKEY HKEY_USERS = reinterpret_cast<HKEY>(ULONG_PTR{0x80000003});

// Opens `sub_key` below `key` (null or empty: `key` itself, with a new handle).
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM desired, PHKEY result);
// Opens or creates `sub_key` and the missing keys on its way; *disposition (optional) says
// REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY for the last one.
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR sub_key, DWORD reserved, LPWSTR key_class,
                        DWORD options, REGSAM desired, LPSECURITY_ATTRIBUTES security,
                        PHKEY result, LPDWORD disposition);
LSTATUS RegCloseKey(HKEY key);
// Reads a value. With `data` null, *data_size receives the size the value takes. When
// *data_size is too small: ERROR_MORE_DATA, *data_size set to the size needed, nothing
// copied. `type` and `data_size` may be null (data_size only with data null).
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD reserved, LPDWORD type,
                         LPBYTE data, LPDWORD data_size);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR value_name, DWORD reserved, DWORD type,
                       const BYTE* data, DWORD data_size);
LSTATUS RegDeleteValueW(HKEY key, LPCWSTR value_name);
// Deletes a key without subkeys (ERROR_ACCESS_DENIED for a key that has some).
LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR sub_key);
// The name of the index-th subkey, NUL-terminated; ERROR_MORE_DATA when `name_size`
// characters cannot hold it with its NUL, ERROR_NO_MORE_ITEMS past the last one.
LSTATUS RegEnumKeyW(HKEY key, DWORD index, LPWSTR name, DWORD name_size);
// Writes the key's changes to disk: the machine's registry is kept whole in memory and
// persisted by the machine, so this only checks the key.
LSTATUS RegFlushKey(HKEY key);
// The default value of `sub_key` (a REG_SZ) into `data`; `data_size` in bytes, in and out.
LSTATUS RegQueryValueW(HKEY key, LPCWSTR sub_key, LPWSTR data, PLONG data_size);
