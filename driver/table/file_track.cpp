#include "driver/table/file_track.h"

#include <cstring>
#include <new>

#include "driver/base/driver_pool.h"
#include "driver/base/resource_lock.h"
#include "platform/nt/delay.h"
#include "platform/nt/irql.h"
#include "platform/nt/pool.h"

namespace {

// The lookaside lists of records and entries: made once and kept for the life of the system,
// like the driver's other static objects.
struct TrackLists {
  TrackLists() {
    ExInitializeNPagedLookasideList(&records, nullptr, nullptr, 0, sizeof(FileTrack),
                                    kDriverPoolTag, 0);
    ExInitializeNPagedLookasideList(&entries, nullptr, nullptr, 0, sizeof(FileObjectEntry),
                                    kDriverPoolTag, 0);
  }
  NPAGED_LOOKASIDE_LIST records;
  NPAGED_LOOKASIDE_LIST entries;
};

TrackLists& Lists() {
  static TrackLists lists;
  return lists;
}

void WaitBriefly() {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) return;
  LARGE_INTEGER one_millisecond;
  one_millisecond.QuadPart = -10'000;
  KeDelayExecutionThread(KernelMode, FALSE, &one_millisecond);
}

// A zeroed block of the list; a failed allocation is retried, as for all driver memory.
PVOID AllocateFrom(NPAGED_LOOKASIDE_LIST* list) {
  for (;;) {
    PVOID block = ExAllocateFromNPagedLookasideList(list);
    if (block != nullptr) {
      std::memset(block, 0, list->Size);
      return block;
    }
    WaitBriefly();
  }
}

// REQUIRES: track->lock held.
FileObjectEntry* FindEntry(FileTrack* track, PFILE_OBJECT fileObject) {
  for (LIST_ENTRY* link = track->fileObjects.Flink; link != &track->fileObjects;
       link = link->Flink) {
    auto* entry = CONTAINING_RECORD(link, FileObjectEntry, link);
    if (entry->fileObject == fileObject) return entry;
  }
  return nullptr;
}

}  // namespace

FileTrack* AllocateFileTrack() {
  auto* track = new (AllocateFrom(&Lists().records)) FileTrack{};
  track->refCount = 1;
  InitializeListHead(&track->fileObjects);
  KeInitializeSpinLock(&track->lock);
  return track;
}

void FreeFileTrack(FileTrack* track) {
  DriverFreeString(&track->name);
  while (!IsListEmpty(&track->fileObjects)) {
    LIST_ENTRY* link = RemoveHeadList(&track->fileObjects);
    ExFreeToNPagedLookasideList(&Lists().entries, CONTAINING_RECORD(link, FileObjectEntry, link));
  }
  ExFreeToNPagedLookasideList(&Lists().records, track);
}

namespace {

// Marks a registered file object created when asked. False when the record does not hold it.
// REQUIRES: track->lock held.
bool UpdateEntry(FileTrack* track, PFILE_OBJECT fileObject, bool created) {
  FileObjectEntry* entry = FindEntry(track, fileObject);
  if (entry == nullptr) return false;
  if (created && entry->created == 0) {
    entry->created = 1;
    ++track->openCount;
  }
  return true;
}

}  // namespace

void RegisterFileObject(FileTrack* track, PFILE_OBJECT fileObject, bool created) {
  {
    SpinLockGuard guard(&track->lock);
    if (UpdateEntry(track, fileObject, created)) return;
  }
  // Allocated outside the spin lock, where the pool retry may wait.
  auto* fresh = static_cast<FileObjectEntry*>(AllocateFrom(&Lists().entries));
  {
    SpinLockGuard guard(&track->lock);
    if (!UpdateEntry(track, fileObject, created)) {
      fresh->fileObject = fileObject;
      fresh->created = created ? 1 : 0;
      InsertTailList(&track->fileObjects, &fresh->link);
      ++track->fileObjectCount;
      if (created) ++track->openCount;
      return;
    }
  }
  ExFreeToNPagedLookasideList(&Lists().entries, fresh);
}

bool RemoveFileObject(FileTrack* track, PFILE_OBJECT fileObject) {
  for (;;) {
    FileObjectEntry* removed = nullptr;
    {
      SpinLockGuard guard(&track->lock);
      FileObjectEntry* entry = FindEntry(track, fileObject);
      if (entry == nullptr) return false;
      if (entry->pins == 0) {
        RemoveEntryList(&entry->link);
        --track->fileObjectCount;
        if (entry->created != 0) --track->openCount;
        removed = entry;
      }
    }
    if (removed != nullptr) {
      ExFreeToNPagedLookasideList(&Lists().entries, removed);
      return true;
    }
    WaitBriefly();
  }
}

bool HoldsCreated(FileTrack* track, PFILE_OBJECT fileObject) {
  SpinLockGuard guard(&track->lock);
  FileObjectEntry* entry = FindEntry(track, fileObject);
  return entry != nullptr && entry->created != 0;
}

bool ClearCreated(FileTrack* track, PFILE_OBJECT fileObject) {
  SpinLockGuard guard(&track->lock);
  FileObjectEntry* entry = FindEntry(track, fileObject);
  if (entry == nullptr || entry->created == 0) return false;
  entry->created = 0;
  --track->openCount;
  return true;
}

bool HasFileObjects(FileTrack* track) {
  SpinLockGuard guard(&track->lock);
  return track->fileObjectCount != 0;
}

FileObjectEntry* PinFirstFileObject(FileTrack* track) {
  SpinLockGuard guard(&track->lock);
  for (LIST_ENTRY* link = track->fileObjects.Flink; link != &track->fileObjects;
       link = link->Flink) {
    auto* entry = CONTAINING_RECORD(link, FileObjectEntry, link);
    if (entry->closing == 0) {
      ++entry->pins;
      return entry;
    }
  }
  return nullptr;
}

void UnpinFileObject(FileTrack* track, FileObjectEntry* entry) {
  SpinLockGuard guard(&track->lock);
  --entry->pins;
}

void BeginClose(FileTrack* track, PFILE_OBJECT fileObject) {
  for (;;) {
    {
      SpinLockGuard guard(&track->lock);
      FileObjectEntry* entry = FindEntry(track, fileObject);
      if (entry == nullptr) return;
      entry->closing = 1;
      if (entry->pins == 0) return;
    }
    WaitBriefly();
  }
}
