// More of the memory manager's views (memory_manager.h), as user mode's mapped files use them:
// a view of a section made PAGE_READONLY cannot be mapped PAGE_READWRITE
// (STATUS_SECTION_PROTECTION from ZwMapViewOfSection), only writable views carry a program's
// changes back to the file, and a program can write a view's changed pages out at once.
#pragma once

#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"

constexpr NTSTATUS STATUS_SECTION_PROTECTION = static_cast<NTSTATUS>(0xC000004E);

// Writes the changed pages of the view of the current process that holds *base_address, from
// that page for *region_size bytes (0: to the view's end), as paging writes, and waits for
// them. *base_address and *region_size receive the page-aligned range written; `io_status`
// the outcome. STATUS_NOT_MAPPED_VIEW when no view holds the address.
// REQUIRES: PASSIVE_LEVEL; `process` is NtCurrentProcess().
NTSTATUS ZwFlushVirtualMemory(HANDLE process, PVOID* base_address, SIZE_T* region_size,
                              PIO_STATUS_BLOCK io_status);
NTSTATUS NtFlushVirtualMemory(HANDLE process, PVOID* base_address, SIZE_T* region_size,
                              PIO_STATUS_BLOCK io_status);

namespace nt {

// Internal to the kernel model, for the cache manager's flush: writes the stream's changed
// mapped pages from page `first` to page `last` as paging writes, as a flush of the stream
// writes every changed page of it, mapped or cached. The first failure's status, or success.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS FlushMappedPages(PSECTION_OBJECT_POINTERS section, LONGLONG first, LONGLONG last);

}  // namespace nt
