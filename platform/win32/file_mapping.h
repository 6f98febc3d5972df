// Mapped files (kernel32): a file mapping is a section of the machine's memory manager over a
// file, and a view is memory the program reads and writes. Changes in a writable view reach
// the file as paging writes through the volume's stack: when FlushViewOfFile asks, else with
// the modified-page writer, also after the view was unmapped and every handle to the file and
// the mapping was closed. Mappings backed by the paging file (no file) and copy-on-write views
// are not modelled (ERROR_INVALID_PARAMETER). A view belongs to the process that mapped it:
// only that process unmaps it, and the views it leaves are unmapped when it ends. Each view is
// memory of its own: two views of one mapping do not see each other's writes until they reach
// the file.
#pragma once

#include "platform/nt/memory_manager.h"
#include "platform/win32/windows_types.h"

constexpr DWORD FILE_MAP_COPY = 0x0001;
constexpr DWORD FILE_MAP_WRITE = SECTION_MAP_WRITE;
constexpr DWORD FILE_MAP_READ = SECTION_MAP_READ;
constexpr DWORD FILE_MAP_ALL_ACCESS = SECTION_ALL_ACCESS;
constexpr DWORD PAGE_WRITECOPY = 0x08;

// A mapping of `file` with PAGE_READONLY (the file needs GENERIC_READ) or PAGE_READWRITE
// (GENERIC_READ and GENERIC_WRITE), SEC_COMMIT allowed. A maximum size of 0 maps the whole
// file; a larger one than the file extends a file mapped PAGE_READWRITE and is
// ERROR_NOT_ENOUGH_MEMORY for PAGE_READONLY. An empty file cannot be mapped
// (ERROR_FILE_INVALID). A named mapping lives in \BaseNamedObjects: when the name exists
// already, the existing mapping is opened and the last error is ERROR_ALREADY_EXISTS (0
// otherwise); a name held by another kind of object is ERROR_INVALID_HANDLE. Null on failure.
HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect,
                          DWORD maximum_size_high, DWORD maximum_size_low, LPCWSTR name);
// The named mapping; null with ERROR_FILE_NOT_FOUND when there is none.
HANDLE OpenFileMappingW(DWORD desired_access, BOOL inherit_handle, LPCWSTR name);

// Maps `bytes` (0: to the end of the mapping) from the offset, which must be a multiple of
// 64 KB (ERROR_MAPPED_ALIGNMENT). FILE_MAP_WRITE or FILE_MAP_ALL_ACCESS give a writable view
// (the mapping must be PAGE_READWRITE and its handle allow writing: ERROR_ACCESS_DENIED),
// FILE_MAP_READ a view whose changes never reach the file. A view past the mapping's end is
// ERROR_ACCESS_DENIED. Null on failure.
LPVOID MapViewOfFile(HANDLE mapping, DWORD desired_access, DWORD file_offset_high,
                     DWORD file_offset_low, SIZE_T bytes);
// ERROR_INVALID_ADDRESS when no view of the calling process starts at `base`.
BOOL UnmapViewOfFile(LPCVOID base);
// Writes the changed pages of the view holding `base` from there for `bytes` (0: to the end
// of the view) and waits for them. ERROR_INVALID_ADDRESS when no view holds `base`.
BOOL FlushViewOfFile(LPCVOID base, SIZE_T bytes);
