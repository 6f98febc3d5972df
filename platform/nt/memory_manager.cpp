#include "platform/nt/memory_manager.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "platform/nt/file_records.h"
#include "platform/nt/file_object.h"
#include "platform/nt/handles.h"
#include "platform/nt/io_internal.h"
#include "platform/nt/irp.h"
#include "platform/nt/irql.h"
#include "platform/nt/kernel_internal.h"
#include "platform/nt/memory_views.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"
#include "platform/nt/pool.h"

namespace {

constexpr LONGLONG kPageSize = 4096;

struct View;

// What the memory manager keeps of one mapped stream.
struct ControlArea {
  PSECTION_OBJECT_POINTERS pointers = nullptr;
  PFILE_OBJECT file = nullptr;  // referenced: the paging writes go through it
  ULONG sections = 0;
  std::set<View*> views;
  std::map<LONGLONG, std::vector<UCHAR>> pending;  // changed pages not yet written, by number
  ULONG writing = 0;  // pages taken from `pending` whose writes are under way
};

struct SectionBody {
  ControlArea* area;
  LONGLONG size;
  ULONG protection;  // PAGE_READONLY or PAGE_READWRITE
};

struct View {
  ControlArea* area;
  LONGLONG first_page;
  bool writable;              // only a writable view's changes reach the file
  std::vector<UCHAR> memory;  // what the program sees and writes
  std::vector<UCHAR> stored;  // what the file holds of it, as last read or written
};

// Guards the control areas and views; never held while a request is under way.
std::mutex mm_lock;
std::map<PVOID, View*> views;  // by base address
std::set<ControlArea*> areas;

void DeleteSection(PVOID object) {
  std::lock_guard guard(mm_lock);
  --static_cast<SectionBody*>(object)->area->sections;
}

OBJECT_TYPE section_type{u"Section",
                         PoolTag('M', 'm', 'S', 't'),
                         {STANDARD_RIGHTS_READ | SECTION_QUERY | SECTION_MAP_READ,
                          STANDARD_RIGHTS_WRITE | SECTION_MAP_WRITE,
                          STANDARD_RIGHTS_EXECUTE | SECTION_MAP_READ,
                          SECTION_ALL_ACCESS},
                         DeleteSection,
                         nullptr,
                         nullptr,
                         nullptr,
                         false};
POBJECT_TYPE section_type_pointer = &section_type;

NTSTATUS PagingIo(PFILE_OBJECT file, UCHAR major, LONGLONG page, UCHAR* bytes) {
  ULONG_PTR information = 0;
  return nt::SendFileRequest(
      file, major,
      IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO |
          (major == IRP_MJ_READ ? IRP_READ_OPERATION : IRP_WRITE_OPERATION),
      true,
      [&](PIRP irp, PIO_STACK_LOCATION stack) {
        irp->UserBuffer = bytes;
        stack->Parameters.Read.Length = ULONG(kPageSize);
        stack->Parameters.Read.ByteOffset.QuadPart = page * kPageSize;
      },
      &information);
}

NTSTATUS QueryFileSize(PFILE_OBJECT file, LONGLONG* size) {
  FILE_STANDARD_INFORMATION standard{};
  ULONG_PTR information = 0;
  const NTSTATUS status = nt::SendFileRequest(
      file, IRP_MJ_QUERY_INFORMATION, 0, false,
      [&](PIRP irp, PIO_STACK_LOCATION stack) {
        irp->AssociatedIrp.SystemBuffer = &standard;
        stack->Parameters.QueryFile.Length = sizeof(standard);
        stack->Parameters.QueryFile.FileInformationClass = FileStandardInformation;
      },
      &information);
  *size = standard.EndOfFile.QuadPart;
  return status;
}

// Moves the changed pages of `view` from byte `from` to byte `to` to its control area's pending
// writes.
// REQUIRES: mm_lock held.
void CollectChanges(View* view, size_t from = 0, size_t to = SIZE_MAX) {
  if (!view->writable) return;
  to = std::min(to, view->memory.size());
  for (size_t at = from; at < to; at += size_t(kPageSize)) {
    if (std::memcmp(view->memory.data() + at, view->stored.data() + at, size_t(kPageSize)) == 0) {
      continue;
    }
    std::memcpy(view->stored.data() + at, view->memory.data() + at, size_t(kPageSize));
    view->area->pending[view->first_page + LONGLONG(at) / kPageSize].assign(
        view->memory.begin() + LONGLONG(at), view->memory.begin() + LONGLONG(at) + kPageSize);
  }
}

// Lets go of the control areas nothing needs any more (with `all`, of every one).
void ReleaseAreas(bool all) {
  std::vector<PFILE_OBJECT> released;
  {
    std::lock_guard guard(mm_lock);
    for (auto it = areas.begin(); it != areas.end();) {
      ControlArea* area = *it;
      if (!all && (area->sections != 0 || !area->views.empty() || !area->pending.empty() ||
                   area->writing != 0)) {
        ++it;
        continue;
      }
      for (View* view : area->views) {
        views.erase(view->memory.data());
        delete view;
      }
      area->pointers->DataSectionObject = nullptr;
      released.push_back(area->file);
      delete area;
      it = areas.erase(it);
    }
  }
  for (PFILE_OBJECT file : released) ObfDereferenceObject(file);
}

}  // namespace

POBJECT_TYPE* MmSectionObjectType = &section_type_pointer;

NTSTATUS ZwCreateSection(PHANDLE section, ACCESS_MASK desired_access,
                         POBJECT_ATTRIBUTES attributes, PLARGE_INTEGER maximum_size,
                         ULONG page_protection, ULONG allocation_attributes, HANDLE file) {
  nt::kernel_internal::RequireKernel("ZwCreateSection");
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(section),
                 KeGetCurrentIrql(), 0, 0);
  }
  if (section == nullptr) return STATUS_ACCESS_VIOLATION;
  if (page_protection != PAGE_READONLY && page_protection != PAGE_READWRITE) {
    return STATUS_INVALID_PAGE_PROTECTION;
  }
  if ((allocation_attributes & ~SEC_COMMIT) != 0 || file == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  PVOID object;
  OBJECT_HANDLE_INFORMATION information{};
  NTSTATUS status =
      ObReferenceObjectByHandle(file, 0, *IoFileObjectType, KernelMode, &object, &information);
  if (!NT_SUCCESS(status)) return status;
  auto* file_object = static_cast<PFILE_OBJECT>(object);
  const ACCESS_MASK needed =
      FILE_READ_DATA | (page_protection == PAGE_READWRITE ? FILE_WRITE_DATA : 0);
  LONGLONG size = 0;
  if ((information.GrantedAccess & needed) != needed) {
    status = STATUS_ACCESS_DENIED;
  } else if (file_object->SectionObjectPointer == nullptr) {
    status = STATUS_INVALID_FILE_FOR_SECTION;
  } else {
    status = QueryFileSize(file_object, &size);
  }
  if (NT_SUCCESS(status) && size == 0) status = STATUS_MAPPED_FILE_SIZE_ZERO;
  if (NT_SUCCESS(status) && maximum_size != nullptr && maximum_size->QuadPart != 0) {
    if (maximum_size->QuadPart > size) {
      status = STATUS_SECTION_TOO_BIG;
    } else {
      size = maximum_size->QuadPart;
    }
  }
  auto* body = NT_SUCCESS(status) ? static_cast<SectionBody*>(nt::CreateObject(
                                        *MmSectionObjectType, sizeof(SectionBody)))
                                  : nullptr;
  if (NT_SUCCESS(status) && body == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
  if (!NT_SUCCESS(status)) {
    ObfDereferenceObject(file_object);
    return status;
  }
  {
    std::lock_guard guard(mm_lock);
    PSECTION_OBJECT_POINTERS pointers = file_object->SectionObjectPointer;
    auto* area = static_cast<ControlArea*>(pointers->DataSectionObject);
    if (area == nullptr) {
      area = new ControlArea;
      area->pointers = pointers;
      area->file = file_object;
      ObfReferenceObject(file_object);
      pointers->DataSectionObject = area;
      areas.insert(area);
    }
    ++area->sections;
    body->area = area;
    body->size = size;
    body->protection = page_protection;
  }
  ObfDereferenceObject(file_object);
  const ULONG handle_attributes =
      attributes != nullptr ? attributes->Attributes : OBJ_KERNEL_HANDLE;
  status = nt::CreateHandle(body, nt::MapAccess(*MmSectionObjectType, desired_access),
                            handle_attributes, KernelMode, section);
  ObfDereferenceObject(body);
  return status;
}

NTSTATUS ZwMapViewOfSection(HANDLE section, HANDLE process, PVOID* base_address,
                            ULONG_PTR /*zero_bits*/, SIZE_T /*commit_size*/,
                            PLARGE_INTEGER section_offset, SIZE_T* view_size,
                            SECTION_INHERIT /*inherit*/, ULONG /*allocation_type*/,
                            ULONG protect) {
  nt::kernel_internal::RequireKernel("ZwMapViewOfSection");
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(section),
                 KeGetCurrentIrql(), 0, 0);
  }
  if (base_address == nullptr || view_size == nullptr) return STATUS_ACCESS_VIOLATION;
  if (process != NtCurrentProcess() || *base_address != nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  if (protect != PAGE_READONLY && protect != PAGE_READWRITE) {
    return STATUS_INVALID_PAGE_PROTECTION;
  }
  const LONGLONG offset = section_offset != nullptr ? section_offset->QuadPart : 0;
  if (offset < 0 || offset % kPageSize != 0) return STATUS_INVALID_PARAMETER;
  PVOID object;
  NTSTATUS status = ObReferenceObjectByHandle(section, SECTION_MAP_READ, *MmSectionObjectType,
                                              KernelMode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  auto* body = static_cast<SectionBody*>(object);
  ControlArea* area = body->area;
  if (protect == PAGE_READWRITE && body->protection != PAGE_READWRITE) {
    ObfDereferenceObject(body);
    return STATUS_SECTION_PROTECTION;
  }
  const LONGLONG size = *view_size != 0 ? LONGLONG(*view_size) : body->size - offset;
  if (offset >= body->size || size <= 0 || size > body->size - offset) {
    ObfDereferenceObject(body);
    return STATUS_INVALID_VIEW_SIZE;
  }
  auto view = std::make_unique<View>();
  view->area = area;
  view->first_page = offset / kPageSize;
  view->writable = protect == PAGE_READWRITE;
  view->memory.assign(size_t((size + kPageSize - 1) / kPageSize * kPageSize), 0);
  // The view starts from the file as a reader sees it: the cache's dirty pages go out first.
  IO_STATUS_BLOCK flushed{};
  CcFlushCache(area->pointers, nullptr, 0, &flushed);
  status = flushed.Status;
  for (size_t at = 0; NT_SUCCESS(status) && at < view->memory.size(); at += size_t(kPageSize)) {
    status = PagingIo(area->file, IRP_MJ_READ, view->first_page + LONGLONG(at) / kPageSize,
                      view->memory.data() + at);
    if (status == STATUS_END_OF_FILE) status = STATUS_SUCCESS;
  }
  if (NT_SUCCESS(status)) {
    view->stored = view->memory;
    *base_address = view->memory.data();
    *view_size = SIZE_T(size);
    std::lock_guard guard(mm_lock);
    area->views.insert(view.get());
    views.emplace(view->memory.data(), view.get());
    view.release();
  }
  ObfDereferenceObject(body);
  return status;
}

NTSTATUS ZwUnmapViewOfSection(HANDLE process, PVOID base_address) {
  if (process != NtCurrentProcess()) return STATUS_INVALID_PARAMETER;
  std::lock_guard guard(mm_lock);
  auto it = views.find(base_address);
  if (it == views.end()) return STATUS_NOT_MAPPED_VIEW;
  View* view = it->second;
  CollectChanges(view);
  view->area->views.erase(view);
  views.erase(it);
  delete view;
  return STATUS_SUCCESS;
}

BOOLEAN MmCanFileBeTruncated(PSECTION_OBJECT_POINTERS section, PLARGE_INTEGER /*new_size*/) {
  if (section == nullptr) return TRUE;
  std::lock_guard guard(mm_lock);
  const auto* area = static_cast<const ControlArea*>(section->DataSectionObject);
  return area == nullptr || area->views.empty();
}

BOOLEAN MmFlushImageSection(PSECTION_OBJECT_POINTERS section, MMFLUSH_TYPE /*flush_type*/) {
  return section == nullptr || section->ImageSectionObject == nullptr;
}

namespace {

struct PageWrite {
  ControlArea* area;
  PFILE_OBJECT file;  // referenced for the write
  LONGLONG page;
  std::vector<UCHAR> bytes;
};

// Takes the pending pages of `area` from `first` to `last` for writing.
// REQUIRES: mm_lock held.
void TakePending(ControlArea* area, LONGLONG first, LONGLONG last,
                 std::vector<PageWrite>* writes) {
  for (auto it = area->pending.lower_bound(first); it != area->pending.end() && it->first <= last;
       it = area->pending.erase(it)) {
    ObfReferenceObject(area->file);
    ++area->writing;
    writes->push_back({area, area->file, it->first, std::move(it->second)});
  }
}

// Writes the pages as the modified-page writer does; the first failure's status, or success.
// Each taken page keeps its control area (`writing`) until its write is done.
NTSTATUS WritePages(std::vector<PageWrite>& writes) {
  NTSTATUS result = STATUS_SUCCESS;
  PIRP former = IoGetTopLevelIrp();
  IoSetTopLevelIrp(reinterpret_cast<PIRP>(FSRTL_MOD_WRITE_TOP_LEVEL_IRP));
  for (PageWrite& write : writes) {
    const NTSTATUS status = PagingIo(write.file, IRP_MJ_WRITE, write.page, write.bytes.data());
    if (NT_SUCCESS(status)) {
      LARGE_INTEGER at;
      at.QuadPart = write.page * kPageSize;
      CcPurgeCacheSection(write.area->pointers, &at, ULONG(kPageSize), FALSE);
    } else if (NT_SUCCESS(result)) {
      result = status;
    }
    {
      std::lock_guard guard(mm_lock);
      // A failed write stays pending, unless a newer change of the page took its place.
      if (!NT_SUCCESS(status)) write.area->pending.try_emplace(write.page, std::move(write.bytes));
      --write.area->writing;
    }
    ObfDereferenceObject(write.file);
  }
  IoSetTopLevelIrp(former);
  return result;
}

NTSTATUS FlushView(HANDLE process, PVOID* base_address, SIZE_T* region_size,
                   PIO_STATUS_BLOCK io_status) {
  if (base_address == nullptr || region_size == nullptr || io_status == nullptr) {
    return STATUS_ACCESS_VIOLATION;
  }
  if (process != NtCurrentProcess()) return STATUS_INVALID_PARAMETER;
  std::vector<PageWrite> writes;
  {
    std::lock_guard guard(mm_lock);
    const auto* address = static_cast<const UCHAR*>(*base_address);
    auto it = views.upper_bound(*base_address);
    if (it == views.begin()) return STATUS_NOT_MAPPED_VIEW;
    View* view = std::prev(it)->second;
    const UCHAR* start = view->memory.data();
    if (address < start || address >= start + view->memory.size()) return STATUS_NOT_MAPPED_VIEW;
    const size_t from = size_t(address - start) / size_t(kPageSize) * size_t(kPageSize);
    size_t to = view->memory.size();
    if (*region_size != 0) {
      const size_t end = size_t(address - start) + std::min(*region_size, to);
      to = std::min(to, (end + size_t(kPageSize) - 1) / size_t(kPageSize) * size_t(kPageSize));
    }
    CollectChanges(view, from, to);
    TakePending(view->area, view->first_page + LONGLONG(from) / kPageSize,
                view->first_page + LONGLONG(to) / kPageSize - 1, &writes);
    *base_address = view->memory.data() + from;
    *region_size = to - from;
  }
  const NTSTATUS status = WritePages(writes);
  io_status->Status = status;
  io_status->Information = 0;
  return status;
}

}  // namespace

NTSTATUS ZwFlushVirtualMemory(HANDLE process, PVOID* base_address, SIZE_T* region_size,
                              PIO_STATUS_BLOCK io_status) {
  nt::kernel_internal::RequireKernel("ZwFlushVirtualMemory");
  return FlushView(process, base_address, region_size, io_status);
}

NTSTATUS NtFlushVirtualMemory(HANDLE process, PVOID* base_address, SIZE_T* region_size,
                              PIO_STATUS_BLOCK io_status) {
  return ZwFlushVirtualMemory(process, base_address, region_size, io_status);
}

namespace nt {

NTSTATUS FlushMappedPages(PSECTION_OBJECT_POINTERS section, LONGLONG first, LONGLONG last) {
  std::vector<PageWrite> writes;
  {
    std::lock_guard guard(mm_lock);
    for (ControlArea* area : areas) {
      if (area->pointers != section) continue;
      for (View* view : area->views) CollectChanges(view);
      TakePending(area, first, last, &writes);
    }
  }
  return writes.empty() ? STATUS_SUCCESS : WritePages(writes);
}

void WriteModifiedPages() {
  std::vector<PageWrite> writes;
  {
    std::lock_guard guard(mm_lock);
    for (auto& [base, view] : views) CollectChanges(view);
    for (ControlArea* area : areas) TakePending(area, 0, LLONG_MAX, &writes);
  }
  if (!writes.empty()) WritePages(writes);
  ReleaseAreas(false);
}

void StopMemoryManager() {
  WriteModifiedPages();
  // The machine goes down: what could not be written is lost with it.
  ReleaseAreas(true);
}

}  // namespace nt
