// The cache manager: cached I/O through one cache per stream. Every file object of a stream
// points at the stream's SECTION_OBJECT_POINTERS, whose SharedCacheMap the first
// CcInitializeCacheMap creates; that call's file object (a stream file object, as the file
// systems use) is the one the cache reads and writes the stream through, and the cache holds a
// reference to it until it lets go of the stream. Every other file object that reads or writes
// cached gets a private cache map (FILE_OBJECT::PrivateCacheMap) until CcUninitializeCacheMap.
//
// The cache keeps 4096-byte pages. A page missing from the cache is read with a paging read;
// dirty pages go out as paging, non-cached writes (IRP_PAGING_IO | IRP_NOCACHE) sent to the top
// of the volume's stack through the stream file object: by the lazy writer, a system worker that
// the machine clock wakes every second and that writes the pages dirty for a second or more, and
// by CcFlushCache. The lazy writer marks itself with IoSetTopLevelIrp(FSRTL_CACHE_TOP_LEVEL_IRP)
// while it writes. Once no private cache map is left and nothing is dirty, the lazy writer lets
// go of the stream: SharedCacheMap goes back to null and the stream file object's reference is
// dropped (its close reaches the file system then).
#pragma once

#include <string>

#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"

struct SECTION_OBJECT_POINTERS {
  PVOID DataSectionObject;
  PVOID SharedCacheMap;
  PVOID ImageSectionObject;
};

struct CC_FILE_SIZES {
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER FileSize;
  LARGE_INTEGER ValidDataLength;
};
using PCC_FILE_SIZES = CC_FILE_SIZES*;

using PACQUIRE_FOR_LAZY_WRITE = BOOLEAN (*)(PVOID context, BOOLEAN wait);
using PRELEASE_FROM_LAZY_WRITE = void (*)(PVOID context);
using PACQUIRE_FOR_READ_AHEAD = BOOLEAN (*)(PVOID context, BOOLEAN wait);
using PRELEASE_FROM_READ_AHEAD = void (*)(PVOID context);

// What the cache calls around its writes and read-ahead. Entries may be null.
struct CACHE_MANAGER_CALLBACKS {
  PACQUIRE_FOR_LAZY_WRITE AcquireForLazyWrite;
  PRELEASE_FROM_LAZY_WRITE ReleaseFromLazyWrite;
  PACQUIRE_FOR_READ_AHEAD AcquireForReadAhead;
  PRELEASE_FROM_READ_AHEAD ReleaseFromReadAhead;
};
using PCACHE_MANAGER_CALLBACKS = CACHE_MANAGER_CALLBACKS*;

// The top-level IRP of the current thread: a file system's own request, or one of these marks
// of the cache and memory managers.
constexpr ULONG_PTR FSRTL_FSP_TOP_LEVEL_IRP = 0x01;
constexpr ULONG_PTR FSRTL_CACHE_TOP_LEVEL_IRP = 0x02;
constexpr ULONG_PTR FSRTL_MOD_WRITE_TOP_LEVEL_IRP = 0x03;
constexpr ULONG_PTR FSRTL_FAST_IO_TOP_LEVEL_IRP = 0x04;
void IoSetTopLevelIrp(PIRP irp);
PIRP IoGetTopLevelIrp();

// A file object for the stream of `file` (same device, volume and section object pointers),
// flagged FO_STREAM_FILE, for a file system to do its cached I/O through; without `file`, a
// file object on `device`'s volume. Like a handle opened and closed at once, the file system
// receives its cleanup before the call returns. Returns it referenced, or null when the pool
// fails.
// REQUIRES: PASSIVE_LEVEL.
PFILE_OBJECT IoCreateStreamFileObject(PFILE_OBJECT file, PDEVICE_OBJECT device);

// Caches the stream of `file` (its SectionObjectPointer must be set): creates the shared cache
// map on the first call, with `file` as the file object for paging I/O, and gives `file` a
// private cache map. Later calls update the sizes.
// REQUIRES: PASSIVE_LEVEL.
void CcInitializeCacheMap(PFILE_OBJECT file, PCC_FILE_SIZES sizes, BOOLEAN pin_access,
                          PCACHE_MANAGER_CALLBACKS callbacks, PVOID lazy_write_context);
// Takes the private cache map of `file` away; with `truncate_size`, first cuts the cached
// stream there. Returns whether `file` had one. `event` is not used: the stream is let go of by
// the lazy writer.
BOOLEAN CcUninitializeCacheMap(PFILE_OBJECT file, PLARGE_INTEGER truncate_size, PVOID event);
// Copies from the cache, reading missing pages from the file. FALSE (nothing copied) when the
// pages are missing and `wait` is FALSE. A failed paging read fills `status` with its error;
// a stream the cache let go of meanwhile, STATUS_FILE_CLOSED.
// REQUIRES: PASSIVE_LEVEL.
BOOLEAN CcCopyRead(PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length, BOOLEAN wait,
                   PVOID buffer, PIO_STATUS_BLOCK status);
// Copies into the cache and marks the pages dirty. The caller (the file system) has set the
// file size to cover the range. FALSE as for CcCopyRead, and for a stream the cache let go of.
BOOLEAN CcCopyWrite(PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length, BOOLEAN wait,
                    PVOID buffer);
// The stream's new sizes; cached data past the file size is dropped.
void CcSetFileSizes(PFILE_OBJECT file, PCC_FILE_SIZES sizes);
// Writes the stream's dirty pages in the range (the whole stream without `offset`) now.
void CcFlushCache(PSECTION_OBJECT_POINTERS section, PLARGE_INTEGER offset, ULONG length,
                  PIO_STATUS_BLOCK status);
// Drops the range's pages (the whole stream without `offset`), dirty or not. FALSE when the
// stream has no cache.
BOOLEAN CcPurgeCacheSection(PSECTION_OBJECT_POINTERS section, PLARGE_INTEGER offset,
                            ULONG length, BOOLEAN uninitialize_cache_maps);
// The file object the cache does the stream's paging I/O through, or null when not cached.
PFILE_OBJECT CcGetFileObjectFromSectionPtrs(PSECTION_OBJECT_POINTERS section);

namespace nt {

// Internal to the machine: copies what the cache holds of the stream over `data` (the stream as
// stored), growing it to the cached file size, so that a look at a volume from outside sees what
// a reader of the file would. Does no I/O.
void OverlayCachedData(PSECTION_OBJECT_POINTERS section, std::string* data);

// Internal to the kernel model: the lazy writer's start (each of its passes also runs the
// memory manager's modified-page writer), and at the machine's shutdown the writing of every
// dirty and modified page and the letting go of every stream.
void StartCacheManager();
void StopCacheManager();
// Writes every modified and dirty page now: the machine's shutdown, before the file systems
// hear of it.
void FlushAllCaches();

}  // namespace nt
