#include "platform/win32/file_mapping.h"

#include <mutex>
#include <set>

#include "platform/nt/file_information.h"
#include "platform/nt/file_records.h"
#include "platform/nt/file_object.h"
#include "platform/nt/handles.h"
#include "platform/nt/memory_views.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/user_file_requests.h"
#include "platform/win32/process_local.h"
#include "platform/win32/user_objects.h"
#include "platform/win32/win_error.h"

namespace {

// Views start on the platform's allocation granularity.
constexpr ULONGLONG kAllocationGranularity = 64 * 1024;

constexpr ACCESS_MASK kReadOnlyMapping =
    STANDARD_RIGHTS_REQUIRED | SECTION_QUERY | SECTION_MAP_READ;

// The views a process mapped: only it unmaps them, and those it leaves go when it ends.
class ProcessViews {
 public:
  ProcessViews() = default;
  ProcessViews(const ProcessViews&) = delete;
  ProcessViews& operator=(const ProcessViews&) = delete;
  ~ProcessViews() {
    for (PVOID base : views_) ZwUnmapViewOfSection(NtCurrentProcess(), base);
  }

  void Add(PVOID base) {
    std::lock_guard guard(lock_);
    views_.insert(base);
  }
  // False when `base` is no view of this process.
  bool Remove(PVOID base) {
    std::lock_guard guard(lock_);
    return views_.erase(base) != 0;
  }

 private:
  std::mutex lock_;
  std::set<PVOID> views_;  // guarded by lock_
};

ProcessLocal<ProcessViews> process_views;

HANDLE FailMapping(DWORD error) {
  SetLastError(error);
  return nullptr;
}

HANDLE FailMappingStatus(NTSTATUS status) {
  win32::FailWithStatus(status);
  return nullptr;
}

// Extends the file to `size` bytes when it is shorter, as a writable mapping of that size
// needs.
NTSTATUS ExtendTo(HANDLE file, LONGLONG size) {
  FILE_STANDARD_INFORMATION standard{};
  IO_STATUS_BLOCK io{};
  NTSTATUS status =
      NtQueryInformationFile(file, &io, &standard, sizeof(standard), FileStandardInformation);
  if (!NT_SUCCESS(status) || standard.EndOfFile.QuadPart >= size) return status;
  FILE_END_OF_FILE_INFORMATION end{};
  end.EndOfFile.QuadPart = size;
  return NtSetInformationFile(file, &io, &end, sizeof(end), FileEndOfFileInformation);
}

}  // namespace

HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect,
                          DWORD maximum_size_high, DWORD maximum_size_low, LPCWSTR name) {
  const ULONG page_protection = protect & ~SEC_COMMIT;
  if (file == INVALID_HANDLE_VALUE || file == nullptr ||
      (page_protection != PAGE_READONLY && page_protection != PAGE_READWRITE)) {
    return FailMapping(ERROR_INVALID_PARAMETER);
  }
  const BOOL inherit = attributes != nullptr && attributes->bInheritHandle;
  LARGE_INTEGER maximum;
  maximum.QuadPart = static_cast<LONGLONG>((ULONGLONG(maximum_size_high) << 32) |
                                           maximum_size_low);
  if (maximum.QuadPart < 0) return FailMapping(ERROR_INVALID_PARAMETER);
  // The file's handle is the caller's: check it as user mode before the section is made.
  PVOID file_object = win32::ReferenceHandle(file, 0, *IoFileObjectType);
  if (file_object == nullptr) return nullptr;
  ObfDereferenceObject(file_object);
  if (page_protection == PAGE_READWRITE && maximum.QuadPart != 0) {
    const NTSTATUS status = ExtendTo(file, maximum.QuadPart);
    if (!NT_SUCCESS(status)) return FailMappingStatus(status);
  }
  const ACCESS_MASK access =
      page_protection == PAGE_READWRITE ? SECTION_ALL_ACCESS : kReadOnlyMapping;
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, nullptr, inherit ? OBJ_INHERIT : 0, nullptr, nullptr);
  HANDLE section = nullptr;
  NTSTATUS status = ZwCreateSection(&section, access, &object,
                                    maximum.QuadPart != 0 ? &maximum : nullptr, page_protection,
                                    SEC_COMMIT, file);
  if (!NT_SUCCESS(status)) return FailMappingStatus(status);
  if (name == nullptr || name[0] == u'\0') {
    SetLastError(ERROR_SUCCESS);
    return section;
  }
  // A named mapping: the name goes on the section, or leads to the one that has it.
  PVOID body = win32::ReferenceHandle(section, 0, *MmSectionObjectType);
  NtClose(section);
  if (body == nullptr) return nullptr;
  bool existed = false;
  HANDLE named = win32::InsertObject(body, access, name, inherit, &existed);
  if (named == nullptr) return nullptr;
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return named;
}

HANDLE OpenFileMappingW(DWORD desired_access, BOOL inherit_handle, LPCWSTR name) {
  return win32::OpenNamedObject(*MmSectionObjectType, desired_access, inherit_handle, name);
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD desired_access, DWORD file_offset_high,
                     DWORD file_offset_low, SIZE_T bytes) {
  const bool write = (desired_access & FILE_MAP_WRITE) != 0;
  // FILE_MAP_COPY is a copy only alone: its bit is SECTION_QUERY, part of the other forms.
  if (desired_access == FILE_MAP_COPY ||
      (desired_access & (FILE_MAP_READ | FILE_MAP_WRITE)) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const ULONGLONG offset = (ULONGLONG(file_offset_high) << 32) | file_offset_low;
  if (offset % kAllocationGranularity != 0) {
    SetLastError(ERROR_MAPPED_ALIGNMENT);
    return nullptr;
  }
  PVOID section = win32::ReferenceHandle(
      mapping, SECTION_MAP_READ | (write ? SECTION_MAP_WRITE : 0), *MmSectionObjectType);
  if (section == nullptr) return nullptr;
  ObfDereferenceObject(section);
  LARGE_INTEGER section_offset;
  section_offset.QuadPart = static_cast<LONGLONG>(offset);
  PVOID base = nullptr;
  SIZE_T size = bytes;
  const NTSTATUS status =
      ZwMapViewOfSection(mapping, NtCurrentProcess(), &base, 0, 0, &section_offset, &size,
                         ViewShare, 0, write ? PAGE_READWRITE : PAGE_READONLY);
  if (!NT_SUCCESS(status)) {
    win32::FailWithStatus(status);
    return nullptr;
  }
  process_views->Add(base);
  return base;
}

BOOL UnmapViewOfFile(LPCVOID base) {
  PVOID view = const_cast<PVOID>(base);
  if (!process_views->Remove(view)) return win32::FailWith(ERROR_INVALID_ADDRESS);
  const NTSTATUS status = ZwUnmapViewOfSection(NtCurrentProcess(), view);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}

BOOL FlushViewOfFile(LPCVOID base, SIZE_T bytes) {
  PVOID address = const_cast<PVOID>(base);
  SIZE_T size = bytes;
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = NtFlushVirtualMemory(NtCurrentProcess(), &address, &size, &io);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}
