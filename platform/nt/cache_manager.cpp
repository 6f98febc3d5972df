#include "platform/nt/cache_manager.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "platform/nt/clock.h"
#include "platform/nt/clock_internal.h"
#include "platform/nt/device.h"
#include "platform/nt/file_object.h"
#include "platform/nt/io_internal.h"
#include "platform/nt/irp.h"
#include "platform/nt/memory_manager.h"
#include "platform/nt/memory_views.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"
#include "platform/nt/work_queue.h"

namespace {

constexpr LONGLONG kPageSize = 4096;

struct Page {
  std::vector<UCHAR> bytes = std::vector<UCHAR>(kPageSize, 0);
  bool dirty = false;
  LONGLONG dirtied_at = 0;
};

struct SharedCacheMap {
  PSECTION_OBJECT_POINTERS section = nullptr;
  PFILE_OBJECT file = nullptr;  // referenced: the paging I/O goes through it
  LONGLONG file_size = 0;
  LONGLONG valid_data = 0;  // below it the file holds data; past it, pages start as zeros
  std::set<PFILE_OBJECT> private_maps;  // the file objects with a private cache map
  CACHE_MANAGER_CALLBACKS callbacks{};
  PVOID context = nullptr;
  std::map<LONGLONG, Page> pages;  // by page number
  int transfers = 0;  // paging transfers under way without the lock; the map stays while any is
};

// Guards every shared cache map; never held while a request is under way.
std::mutex cache_lock;
std::set<SharedCacheMap*> maps;

thread_local PIRP top_level_irp = nullptr;

// Lets go of the cache lock for a paging transfer of `map`, keeping the map alive meanwhile.
class TransferWindow {
 public:
  TransferWindow(SharedCacheMap* map, std::unique_lock<std::mutex>& lock)
      : map_(map), lock_(lock) {
    ++map_->transfers;
    lock_.unlock();
  }
  ~TransferWindow() {
    lock_.lock();
    --map_->transfers;
  }
  TransferWindow(const TransferWindow&) = delete;
  TransferWindow& operator=(const TransferWindow&) = delete;

 private:
  SharedCacheMap* map_;
  std::unique_lock<std::mutex>& lock_;
};

SharedCacheMap* MapOf(PSECTION_OBJECT_POINTERS section) {
  return section == nullptr ? nullptr : static_cast<SharedCacheMap*>(section->SharedCacheMap);
}

// One paging transfer of a page through the stream file object.
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

// Makes the pages of [first, last] present, reading the missing ones. Returns with the lock
// held; an error of a paging read stops it.
NTSTATUS LoadPages(SharedCacheMap* map, LONGLONG first, LONGLONG last,
                   std::unique_lock<std::mutex>& lock) {
  for (LONGLONG page = first; page <= last; ++page) {
    if (map->pages.contains(page)) continue;
    if (page * kPageSize >= std::min(map->file_size, map->valid_data)) {
      map->pages.emplace(page, Page{});
      continue;
    }
    Page loaded;
    NTSTATUS status;
    {
      TransferWindow window(map, lock);
      status = PagingIo(map->file, IRP_MJ_READ, page, loaded.bytes.data());
    }
    if (!NT_SUCCESS(status) && status != STATUS_END_OF_FILE) return status;
    map->pages.emplace(page, std::move(loaded));  // a write meanwhile keeps its page
  }
  return STATUS_SUCCESS;
}

struct DirtyPage {
  LONGLONG number;
  std::vector<UCHAR> bytes;
};

// Writes the pages of `map` that are dirty in [first, last] and, when `older_than` is given,
// were dirtied at or before it. A page whose write fails stays dirty.
NTSTATUS WriteDirty(SharedCacheMap* map, LONGLONG first, LONGLONG last, LONGLONG older_than,
                    std::unique_lock<std::mutex>& lock) {
  std::vector<DirtyPage> dirty;
  for (auto it = map->pages.lower_bound(first); it != map->pages.end() && it->first <= last;
       ++it) {
    Page& page = it->second;
    if (!page.dirty || page.dirtied_at > older_than) continue;
    page.dirty = false;
    dirty.push_back({it->first, page.bytes});
  }
  if (dirty.empty()) return STATUS_SUCCESS;
  NTSTATUS result = STATUS_SUCCESS;
  std::vector<LONGLONG> failed;
  {
    TransferWindow window(map, lock);
    const CACHE_MANAGER_CALLBACKS& callbacks = map->callbacks;
    if (callbacks.AcquireForLazyWrite != nullptr) {
      callbacks.AcquireForLazyWrite(map->context, TRUE);
    }
    for (DirtyPage& page : dirty) {
      const NTSTATUS status = PagingIo(map->file, IRP_MJ_WRITE, page.number, page.bytes.data());
      if (!NT_SUCCESS(status)) {
        result = status;
        failed.push_back(page.number);
      }
    }
    if (callbacks.ReleaseFromLazyWrite != nullptr) callbacks.ReleaseFromLazyWrite(map->context);
  }
  for (const DirtyPage& page : dirty) {
    if (std::find(failed.begin(), failed.end(), page.number) != failed.end()) {
      auto it = map->pages.find(page.number);
      if (it != map->pages.end()) it->second.dirty = true;
    } else {
      map->valid_data =
          std::max(map->valid_data, std::min(map->file_size, (page.number + 1) * kPageSize));
    }
  }
  return result;
}

// Lets go of the streams nobody caches and nothing is dirty in; with `all`, of every stream
// that no transfer is under way on. Called without the lock.
void ReleaseMaps(bool all) {
  std::vector<PFILE_OBJECT> released;
  {
    std::lock_guard guard(cache_lock);
    for (auto it = maps.begin(); it != maps.end();) {
      SharedCacheMap* map = *it;
      const bool dirty = std::any_of(map->pages.begin(), map->pages.end(),
                                     [](const auto& entry) { return entry.second.dirty; });
      if (map->transfers != 0 || (!all && (!map->private_maps.empty() || dirty))) {
        ++it;
        continue;
      }
      map->section->SharedCacheMap = nullptr;
      for (PFILE_OBJECT file : map->private_maps) file->PrivateCacheMap = nullptr;
      released.push_back(map->file);
      delete map;
      it = maps.erase(it);
    }
  }
  for (PFILE_OBJECT file : released) ObfDereferenceObject(file);
}

// Writes what is dirty (for at least `older_than`, when given) in every stream.
void WriteAllDirty(LONGLONG older_than) {
  std::unique_lock lock(cache_lock);
  std::set<SharedCacheMap*> done;
  for (;;) {
    auto next = std::find_if(maps.begin(), maps.end(),
                             [&](SharedCacheMap* map) { return !done.contains(map); });
    if (next == maps.end()) break;
    done.insert(*next);
    WriteDirty(*next, 0, std::numeric_limits<LONGLONG>::max(), older_than, lock);
  }
}

void LazyWritePass(PVOID);

// Wakes the lazy writer every second of the machine clock.
class LazyWriter final : public nt::clock_internal::Listener {
 public:
  LazyWriter() : next_(nt::SystemClock::Now() + nt::kTicksPerSecond) {
    ExInitializeWorkItem(&item_, LazyWritePass, this);
    nt::clock_internal::AddListener(this);
  }
  ~LazyWriter() { nt::clock_internal::RemoveListener(this); }

  LONGLONG NextDue() override { return next_.load(); }
  void Fire(LONGLONG now) override {
    next_.store(now + nt::kTicksPerSecond);
    due_.store(now);
    if (!queued_.exchange(true)) ExQueueWorkItem(&item_, DelayedWorkQueue);
  }
  void Reset(LONGLONG now) override { next_.store(now + nt::kTicksPerSecond); }
  void Moved() override {}

  void Run() {
    queued_.store(false);
    PIRP former = IoGetTopLevelIrp();
    IoSetTopLevelIrp(reinterpret_cast<PIRP>(FSRTL_CACHE_TOP_LEVEL_IRP));
    WriteAllDirty(due_.load() - nt::kTicksPerSecond);
    IoSetTopLevelIrp(former);
    nt::WriteModifiedPages();
    ReleaseMaps(false);
  }

 private:
  std::atomic<LONGLONG> next_;
  std::atomic<LONGLONG> due_{0};
  std::atomic<bool> queued_{false};
  WORK_QUEUE_ITEM item_{};
};

void LazyWritePass(PVOID context) { static_cast<LazyWriter*>(context)->Run(); }

LazyWriter* lazy_writer = nullptr;

}  // namespace

void IoSetTopLevelIrp(PIRP irp) { top_level_irp = irp; }

PIRP IoGetTopLevelIrp() { return top_level_irp; }

PFILE_OBJECT IoCreateStreamFileObject(PFILE_OBJECT file, PDEVICE_OBJECT device) {
  auto* stream =
      static_cast<PFILE_OBJECT>(nt::CreateObject(*IoFileObjectType, sizeof(FILE_OBJECT)));
  if (stream == nullptr) return nullptr;
  stream->Type = IO_TYPE_FILE;
  stream->Size = sizeof(FILE_OBJECT);
  stream->DeviceObject = file != nullptr ? file->DeviceObject : device;
  stream->Vpb = file != nullptr ? file->Vpb : device->Vpb;
  stream->SectionObjectPointer = file != nullptr ? file->SectionObjectPointer : nullptr;
  stream->Flags = FO_STREAM_FILE | FO_FILE_OPEN | FO_HANDLE_CREATED;
  KeInitializeEvent(&stream->Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&stream->Event, NotificationEvent, FALSE);
  ObfReferenceObject(stream->DeviceObject);
  std::atomic_ref<LONG>(stream->DeviceObject->ReferenceCount).fetch_add(1);
  nt::HeaderOf(stream)->flags.fetch_or(nt::kFileOpened);
  if (stream->Vpb != nullptr) {
    std::atomic_ref<ULONG>(stream->Vpb->ReferenceCount).fetch_add(1);
    nt::HeaderOf(stream)->flags.fetch_or(nt::kFileVpbReferenced);
  }
  ULONG_PTR information;
  nt::SendFileRequest(stream, IRP_MJ_CLEANUP, IRP_CLOSE_OPERATION, true,
                      [](PIRP, PIO_STACK_LOCATION) {}, &information);
  std::atomic_ref<ULONG>(stream->Flags).fetch_or(FO_CLEANUP_COMPLETE);
  return stream;
}

void CcInitializeCacheMap(PFILE_OBJECT file, PCC_FILE_SIZES sizes, BOOLEAN /*pin_access*/,
                          PCACHE_MANAGER_CALLBACKS callbacks, PVOID lazy_write_context) {
  std::lock_guard guard(cache_lock);
  SharedCacheMap* map = MapOf(file->SectionObjectPointer);
  if (map == nullptr) {
    map = new SharedCacheMap;
    map->section = file->SectionObjectPointer;
    map->file = file;
    ObfReferenceObject(file);
    if (callbacks != nullptr) map->callbacks = *callbacks;
    map->context = lazy_write_context;
    map->valid_data = sizes->ValidDataLength.QuadPart;
    file->SectionObjectPointer->SharedCacheMap = map;
    maps.insert(map);
  }
  map->file_size = sizes->FileSize.QuadPart;
  if (file->PrivateCacheMap == nullptr) {
    file->PrivateCacheMap = map;
    map->private_maps.insert(file);
  }
}

BOOLEAN CcUninitializeCacheMap(PFILE_OBJECT file, PLARGE_INTEGER truncate_size,
                               PVOID /*event*/) {
  std::lock_guard guard(cache_lock);
  auto* map = static_cast<SharedCacheMap*>(file->PrivateCacheMap);
  if (map == nullptr) return FALSE;
  if (truncate_size != nullptr) {
    map->file_size = std::min(map->file_size, truncate_size->QuadPart);
    map->valid_data = std::min(map->valid_data, map->file_size);
    map->pages.erase(map->pages.lower_bound((map->file_size + kPageSize - 1) / kPageSize),
                     map->pages.end());
  }
  file->PrivateCacheMap = nullptr;
  map->private_maps.erase(file);
  return TRUE;
}

BOOLEAN CcCopyRead(PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length, BOOLEAN wait,
                   PVOID buffer, PIO_STATUS_BLOCK status) {
  std::unique_lock lock(cache_lock);
  SharedCacheMap* map = MapOf(file->SectionObjectPointer);
  status->Information = 0;
  status->Status = map == nullptr ? STATUS_FILE_CLOSED : STATUS_SUCCESS;
  if (length == 0 || map == nullptr) return TRUE;
  const LONGLONG start = offset->QuadPart;
  const LONGLONG first = start / kPageSize;
  const LONGLONG last = (start + length - 1) / kPageSize;
  for (LONGLONG page = first; page <= last; ++page) {
    if (!wait && !map->pages.contains(page)) return FALSE;
  }
  const NTSTATUS loaded = LoadPages(map, first, last, lock);
  if (!NT_SUCCESS(loaded)) {
    status->Status = loaded;
    return TRUE;
  }
  auto* out = static_cast<UCHAR*>(buffer);
  for (LONGLONG at = start; at < start + length;) {
    const LONGLONG page = at / kPageSize;
    const LONGLONG within = at % kPageSize;
    const LONGLONG count = std::min<LONGLONG>(kPageSize - within, start + length - at);
    std::memcpy(out + (at - start), map->pages[page].bytes.data() + within, size_t(count));
    at += count;
  }
  status->Information = length;
  return TRUE;
}

BOOLEAN CcCopyWrite(PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length, BOOLEAN wait,
                    PVOID buffer) {
  std::unique_lock lock(cache_lock);
  SharedCacheMap* map = MapOf(file->SectionObjectPointer);
  if (map == nullptr) return FALSE;
  if (length == 0) return TRUE;
  const LONGLONG start = offset->QuadPart;
  const LONGLONG first = start / kPageSize;
  const LONGLONG last = (start + length - 1) / kPageSize;
  for (LONGLONG page = first; page <= last; ++page) {
    if (!wait && !map->pages.contains(page)) return FALSE;
  }
  // Pages the write covers only in part are read first; a failed read leaves zeros there.
  LoadPages(map, first, last, lock);
  const LONGLONG now = nt::SystemClock::Now();
  const auto* in = static_cast<const UCHAR*>(buffer);
  for (LONGLONG at = start; at < start + length;) {
    const LONGLONG number = at / kPageSize;
    const LONGLONG within = at % kPageSize;
    const LONGLONG count = std::min<LONGLONG>(kPageSize - within, start + length - at);
    Page& page = map->pages[number];
    std::memcpy(page.bytes.data() + within, in + (at - start), size_t(count));
    if (!page.dirty) {
      page.dirty = true;
      page.dirtied_at = now;
    }
    at += count;
  }
  map->file_size = std::max(map->file_size, start + LONGLONG(length));
  return TRUE;
}

void CcSetFileSizes(PFILE_OBJECT file, PCC_FILE_SIZES sizes) {
  std::lock_guard guard(cache_lock);
  SharedCacheMap* map = MapOf(file->SectionObjectPointer);
  if (map == nullptr) return;
  const LONGLONG size = sizes->FileSize.QuadPart;
  if (size < map->file_size) {
    const LONGLONG kept = (size + kPageSize - 1) / kPageSize;
    map->pages.erase(map->pages.lower_bound(kept), map->pages.end());
    if (size % kPageSize != 0) {
      auto it = map->pages.find(size / kPageSize);
      if (it != map->pages.end()) {
        std::fill(it->second.bytes.begin() + size % kPageSize, it->second.bytes.end(), 0);
      }
    }
  }
  map->file_size = size;
  map->valid_data = std::min(map->valid_data, size);
}

void CcFlushCache(PSECTION_OBJECT_POINTERS section, PLARGE_INTEGER offset, ULONG length,
                  PIO_STATUS_BLOCK status) {
  LONGLONG first = 0;
  LONGLONG last = std::numeric_limits<LONGLONG>::max();
  if (offset != nullptr) {
    first = offset->QuadPart / kPageSize;
    last = length == 0 ? first - 1 : (offset->QuadPart + length - 1) / kPageSize;
  }
  // Pages a program changed through a view are the stream's changed pages as much as the
  // cache's are.
  NTSTATUS result = nt::FlushMappedPages(section, first, last);
  std::unique_lock lock(cache_lock);
  SharedCacheMap* map = MapOf(section);
  if (map != nullptr) {
    const NTSTATUS written =
        WriteDirty(map, first, last, std::numeric_limits<LONGLONG>::max(), lock);
    if (NT_SUCCESS(result)) result = written;
  }
  if (status != nullptr) {
    status->Status = result;
    status->Information = 0;
  }
}

BOOLEAN CcPurgeCacheSection(PSECTION_OBJECT_POINTERS section, PLARGE_INTEGER offset,
                            ULONG length, BOOLEAN /*uninitialize_cache_maps*/) {
  std::lock_guard guard(cache_lock);
  SharedCacheMap* map = MapOf(section);
  if (map == nullptr) return FALSE;
  if (offset == nullptr) {
    map->pages.clear();
    return TRUE;
  }
  const LONGLONG first = offset->QuadPart / kPageSize;
  const LONGLONG end = (offset->QuadPart + length + kPageSize - 1) / kPageSize;
  map->pages.erase(map->pages.lower_bound(first), map->pages.lower_bound(end));
  return TRUE;
}

PFILE_OBJECT CcGetFileObjectFromSectionPtrs(PSECTION_OBJECT_POINTERS section) {
  std::lock_guard guard(cache_lock);
  SharedCacheMap* map = MapOf(section);
  return map == nullptr ? nullptr : map->file;
}

namespace nt {

void OverlayCachedData(PSECTION_OBJECT_POINTERS section, std::string* data) {
  std::lock_guard guard(cache_lock);
  SharedCacheMap* map = MapOf(section);
  if (map == nullptr) return;
  data->resize(size_t(map->file_size), '\0');
  for (const auto& [number, page] : map->pages) {
    const LONGLONG at = number * kPageSize;
    if (at >= map->file_size) break;
    const LONGLONG count = std::min<LONGLONG>(kPageSize, map->file_size - at);
    std::memcpy(data->data() + at, page.bytes.data(), size_t(count));
  }
}

void StartCacheManager() { lazy_writer = new LazyWriter; }

void FlushAllCaches() {
  WriteModifiedPages();
  WriteAllDirty(std::numeric_limits<LONGLONG>::max());
}

void StopCacheManager() {
  delete lazy_writer;
  lazy_writer = nullptr;
  WorkQueueControl::WaitIdle();
  StopMemoryManager();
  WriteAllDirty(std::numeric_limits<LONGLONG>::max());
  // The machine goes down: what could not be written is lost with it.
  ReleaseMaps(true);
}

}  // namespace nt
