// The memory manager, as far as files go: data sections over files and views of them mapped
// into a process.
//
// A section over a file is a view-able image of the file's stream; the stream's
// SECTION_OBJECT_POINTERS::DataSectionObject holds its control area, which keeps the file object
// of the first section referenced for as long as a section, a view or unwritten data needs it.
// A view is plain memory filled from the file (what the cache holds is written out first); a
// program changes the file by writing into it. The modified-page writer, which runs with the
// cache's lazy writer every second of the machine clock, compares each view's pages with what
// the file holds and writes the changed ones as paging, non-cached writes (IRP_PAGING_IO |
// IRP_NOCACHE) through the control area's file object to the top of the volume's stack, with
// the top-level IRP FSRTL_MOD_WRITE_TOP_LEVEL_IRP; pages changed in a view that was unmapped
// meanwhile are written too, so data reaches the file even after the last handle to the file
// and to the section was closed. Such a write replaces what the cache held of those pages.
#pragma once

#include "platform/nt/cache_manager.h"
#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/objects.h"

constexpr ULONG PAGE_READONLY = 0x02;
constexpr ULONG PAGE_READWRITE = 0x04;
constexpr ULONG SEC_COMMIT = 0x08000000;
constexpr ULONG SEC_IMAGE = 0x01000000;

constexpr ACCESS_MASK SECTION_QUERY = 0x0001;
constexpr ACCESS_MASK SECTION_MAP_WRITE = 0x0002;
constexpr ACCESS_MASK SECTION_MAP_READ = 0x0004;
constexpr ACCESS_MASK SECTION_ALL_ACCESS = 0x000F001F;

enum SECTION_INHERIT { ViewShare = 1, ViewUnmap = 2 };
enum MMFLUSH_TYPE { MmFlushForDelete = 0, MmFlushForWrite = 1 };

extern POBJECT_TYPE* MmSectionObjectType;

inline HANDLE NtCurrentProcess() { return reinterpret_cast<HANDLE>(-1); }

// Creates a data section (SEC_COMMIT, or 0) over the file of `file` (a handle with read access,
// and write access for PAGE_READWRITE) and returns a handle to it. `maximum_size` (optional)
// may not exceed the file's size: STATUS_SECTION_TOO_BIG; an empty file cannot be mapped:
// STATUS_MAPPED_FILE_SIZE_ZERO. Image sections and sections without a file are not modelled:
// STATUS_INVALID_PARAMETER. STATUS_INVALID_PAGE_PROTECTION for a protection other than
// PAGE_READONLY or PAGE_READWRITE; STATUS_INVALID_FILE_FOR_SECTION for a file on a device
// without section object pointers.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS ZwCreateSection(PHANDLE section, ACCESS_MASK desired_access,
                         POBJECT_ATTRIBUTES attributes, PLARGE_INTEGER maximum_size,
                         ULONG page_protection, ULONG allocation_attributes, HANDLE file);
// Maps a view of the section into the current process (`process` must be NtCurrentProcess()):
// from *section_offset (page aligned; null for 0) for *view_size bytes (0: to the end of the
// section); *base_address (must be null on entry) and *view_size receive the view.
// STATUS_INVALID_VIEW_SIZE for a view past the section's end.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS ZwMapViewOfSection(HANDLE section, HANDLE process, PVOID* base_address,
                            ULONG_PTR zero_bits, SIZE_T commit_size,
                            PLARGE_INTEGER section_offset, SIZE_T* view_size,
                            SECTION_INHERIT inherit, ULONG allocation_type, ULONG protect);
// Unmaps the view at `base_address`; its changed pages are written by the modified-page
// writer. STATUS_NOT_MAPPED_VIEW when no view starts there.
NTSTATUS ZwUnmapViewOfSection(HANDLE process, PVOID base_address);

// Whether the file may be cut to `new_size`: FALSE while a view maps it.
BOOLEAN MmCanFileBeTruncated(PSECTION_OBJECT_POINTERS section, PLARGE_INTEGER new_size);
// Whether the file has no image section (the model makes none), so that it may be written or
// deleted.
BOOLEAN MmFlushImageSection(PSECTION_OBJECT_POINTERS section, MMFLUSH_TYPE flush_type);

namespace nt {

// Internal to the kernel model: one pass of the modified-page writer, and at the machine's
// shutdown the last pass, after which every control area goes.
void WriteModifiedPages();
void StopMemoryManager();

}  // namespace nt
