// Resources of modules (user32 and kernel32): dialog templates and string tables that the
// resource compiler (tools/) made from a script and the module links as its resource table
// (ModuleImage::resources). Resources are named by number only.
#pragma once

#include "platform/win32/module.h"
#include "platform/win32/windows_types.h"

using HRSRC = struct ResourceInfo*;
using HGLOBAL = void*;

// A resource number where a name is expected.
inline LPCWSTR MAKEINTRESOURCEW(WORD id) {
  return reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(id));
}

// Resource types.
constexpr WORD RT_ICON_ID = 3;
constexpr WORD RT_DIALOG_ID = 5;
constexpr WORD RT_STRING_ID = 6;
constexpr WORD RT_GROUP_ICON_ID = 14;
constexpr WORD RT_MANIFEST_ID = 24;
inline LPCWSTR const RT_DIALOG = MAKEINTRESOURCEW(RT_DIALOG_ID);
inline LPCWSTR const RT_STRING = MAKEINTRESOURCEW(RT_STRING_ID);

constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;

// The resource of that type and number in the module (null: the program). Null with
// ERROR_MOD_NOT_FOUND for a module the process has not loaded, ERROR_RESOURCE_TYPE_NOT_FOUND
// when the module has no resource of the type, ERROR_RESOURCE_NAME_NOT_FOUND when it has none
// of that number; a name that is not a number is never found.
HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
// The resource's bytes; they stay for as long as the program runs.
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
LPVOID LockResource(HGLOBAL data);
DWORD SizeofResource(HMODULE module, HRSRC resource);
// String `id` of the module's string table, cut to size - 1 characters and NUL-terminated.
// The characters copied; with size 0, *buffer becomes a pointer to the string in the table
// (not terminated) and its length is returned. 0 with ERROR_RESOURCE_NAME_NOT_FOUND for no
// such string.
int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int size);
