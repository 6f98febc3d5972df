#include "driver/base/driver_pool.h"
#include "driver/base/resource_lock.h"
#include "driver/replication/file_tracking.h"
#include "driver/replication/mirror_handle.h"
#include "driver/table/path_text.h"
#include "platform/nt/clock.h"
#include "platform/nt/file_object.h"

namespace {

constexpr ULONG kBuckets = 251;
constexpr ULONG kStartLocks = 31;

struct TrackTable {
  ERESOURCE lock;
  FileTrack* buckets[kBuckets];
  ULONG count;
  ERESOURCE startLocks[kStartLocks];
};

TrackTable* table = nullptr;

ULONG BucketOf(PVOID key) {
  const auto low = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(key));
  return ((low >> 6) * 197u) % kBuckets;
}

// Frees a record of a machine that is gone, without asking its kernel anything.
void Forget(FileTrack* track) {
  for (int i = 0; i < kMaxTrackedMirrors; ++i) {
    MirrorHandle* handle = track->mirrors[i];
    if (handle == nullptr) continue;
    handle->fileObject = nullptr;
    handle->handle = nullptr;
    FreeMirrorHandle(handle);
    track->mirrors[i] = nullptr;
  }
  FreeFileTrack(track);
}

}  // namespace

void FileTracks::Reset() {
  if (table != nullptr) {
    for (FileTrack*& head : table->buckets) {
      while (head != nullptr) {
        FileTrack* track = head;
        head = track->hashNext;
        Forget(track);
      }
    }
    ExDeleteResourceLite(&table->lock);
    for (ERESOURCE& lock : table->startLocks) ExDeleteResourceLite(&lock);
    DriverFree(table);
  }
  table = static_cast<TrackTable*>(DriverAllocate(sizeof(TrackTable)));
  ExInitializeResourceLite(&table->lock);
  for (ERESOURCE& lock : table->startLocks) ExInitializeResourceLite(&lock);
}

ERESOURCE* FileTracks::StartLock(PVOID key) {
  return &table->startLocks[BucketOf(key) % kStartLocks];
}

FileTrack* FileTracks::Lookup(PFILE_OBJECT fileObject, bool created) {
  if (table == nullptr || fileObject == nullptr || fileObject->FsContext == nullptr) {
    return nullptr;
  }
  PVOID key = fileObject->FsContext;
  FileTrack* found = nullptr;
  {
    SharedResourceLock guard(&table->lock);
    for (FileTrack* track = table->buckets[BucketOf(key)]; track != nullptr;
         track = track->hashNext) {
      if (track->key == key) {
        track->refCount.fetch_add(1);
        found = track;
        break;
      }
    }
  }
  if (found != nullptr) RegisterFileObject(found, fileObject, created);
  return found;
}

void FileTracks::Release(FileTrack* track) { track->refCount.fetch_sub(1); }

void FileTracks::Insert(FileTrack* track) {
  {
    ExclusiveResourceLock guard(&table->lock);
    FileTrack*& head = table->buckets[BucketOf(track->key)];
    track->hashNext = head;
    head = track;
    ++table->count;
  }
  Release(track);
}

bool FileTracks::Remove(FileTrack* track) {
  ExclusiveResourceLock guard(&table->lock);
  if (track->refCount.load() > 1) return false;
  for (FileTrack** link = &table->buckets[BucketOf(track->key)]; *link != nullptr;
       link = &(*link)->hashNext) {
    if (*link == track) {
      *link = track->hashNext;
      track->hashNext = nullptr;
      --table->count;
      return true;
    }
  }
  return false;
}

void FileTracks::Dismantle(FileTrack* track) {
  // Until the mirror files are closed, a new create of the stream waits to open them again.
  ExclusiveResourceLock starting(StartLock(track->key));
  if (Remove(track)) {
    Destroy(track);
  } else {
    Release(track);
  }
}

void FileTracks::DismantleUnlessJoined(FileTrack* track, LONG openCount) {
  ExclusiveResourceLock starting(StartLock(track->key));
  bool joined;
  {
    SpinLockGuard guard(&track->lock);
    joined = track->openCount > openCount;
  }
  if (!joined && Remove(track)) {
    Destroy(track);
  } else {
    Release(track);
  }
}

void FileTracks::Destroy(FileTrack* track) {
  Finish(track);
  for (int i = 0; i < kMaxTrackedMirrors; ++i) {
    if (track->mirrors[i] != nullptr) FreeMirrorHandle(track->mirrors[i]);
    track->mirrors[i] = nullptr;
  }
  FreeFileTrack(track);
}

namespace {

// One step of a walk over the table: the record after `current` (or the first), with a
// reference. `current` must be referenced, so that it is still in the table.
FileTrack* NextRecord(ULONG* bucket, FileTrack* current) {
  SharedResourceLock guard(&table->lock);
  FileTrack* next = current != nullptr ? current->hashNext : table->buckets[*bucket];
  while (next == nullptr && *bucket + 1 < kBuckets) next = table->buckets[++*bucket];
  if (next != nullptr) next->refCount.fetch_add(1);
  return next;
}

}  // namespace

FileTrack* FileTracks::FindByName(std::u16string_view name) {
  if (table == nullptr) return nullptr;
  ULONG bucket = 0;
  for (FileTrack* track = NextRecord(&bucket, nullptr); track != nullptr;) {
    bool same;
    {
      // A rename replaces the name under the record's lock.
      SpinLockGuard guard(&track->lock);
      same = EqualsNoCase(View(track->name), name);
    }
    if (same) return track;
    FileTrack* next = NextRecord(&bucket, track);
    Release(track);
    track = next;
  }
  return nullptr;
}

ULONG FileTracks::Count() {
  if (table == nullptr) return 0;
  SharedResourceLock guard(&table->lock);
  return table->count;
}

namespace {

constexpr LONGLONG kDirectoryIdle = 50'000'000;
constexpr LONGLONG kFileIdle = 100'000'000;

// Whether the sweep may end tracking of the record, and the tracked opens it saw.
// REQUIRES: a reference on the record.
bool IsStale(FileTrack* track, LONGLONG now, LONG* openCount) {
  if (track->refCount.load() > 1) return false;
  bool directory, active, deletePending, hasFiles;
  LONGLONG idle;
  {
    SpinLockGuard guard(&track->lock);
    directory = track->isDirectory != 0;
    active = track->active != 0;
    deletePending = track->deletePending != 0;
    hasFiles = track->fileObjectCount != 0;
    *openCount = track->openCount;
    idle = now - track->lastActivity;
  }
  if (deletePending || !hasFiles || !active) return true;
  if (directory) return *openCount < 2 && idle > kDirectoryIdle;
  if (*openCount != 0 || idle <= kFileIdle) return false;
  FileObjectEntry* entry = PinFirstFileObject(track);
  if (entry == nullptr) return true;
  const NTSTATUS status = FlushSource(entry->fileObject);
  UnpinFileObject(track, entry);
  return NT_SUCCESS(status) || status == STATUS_FILE_CLOSED;
}

}  // namespace

void FileTracks::Sweep() {
  if (table == nullptr) return;
  const LONGLONG now = CurrentTime();
  ULONG bucket = 0;
  for (FileTrack* track = NextRecord(&bucket, nullptr); track != nullptr;) {
    FileTrack* next = NextRecord(&bucket, track);
    LONG openCount = 0;
    if (IsStale(track, now, &openCount)) {
      DismantleUnlessJoined(track, openCount);
    } else {
      Release(track);
    }
    track = next;
  }
}

LONGLONG CurrentTime() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart;
}
