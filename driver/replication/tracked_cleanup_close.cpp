// Cleanups and closes of tracked sources: the last cleanup writes the cache out and ends
// tracking; closes take their file objects off the record and free it when none remain.
#include "driver/base/resource_lock.h"
#include "driver/frame/forwarding.h"
#include "driver/replication/file_tracking.h"
#include "driver/replication/mirror_file.h"
#include "driver/replication/tracked_requests.h"
#include "platform/nt/cache_manager.h"
#include "platform/nt/kernel.h"

namespace {

// Reads the source's basic information into the record, through the device below the filter.
void RefreshBasic(FileTrack* track, PFILE_OBJECT file) {
  MirrorFile source;
  source.device = track->device;
  source.fileObject = file;
  FILE_BASIC_INFORMATION basic{};
  const NTSTATUS status = source.QueryInfo(FileBasicInformation, &basic, sizeof(basic));
  source.fileObject = nullptr;
  if (!NT_SUCCESS(status)) return;
  SpinLockGuard guard(&track->lock);
  track->basic = basic;
}

}  // namespace

NTSTATUS PreCleanup(VolumeFilter& filter, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (filter.alias() == nullptr) return PassThrough(filter.lower(), irp);
  FileTrack* track = FileTracks::Lookup(file, false);
  if (track == nullptr) return PassThrough(filter.lower(), irp);
  if (!HoldsCreated(track, file)) {
    FileTracks::Release(track);
    return PassThrough(filter.lower(), irp);
  }
  bool last, deletePending, timesChanged;
  {
    SpinLockGuard guard(&track->lock);
    last = track->openCount < 2;
    deletePending = track->deletePending != 0;
    timesChanged = track->timesChanged != 0;
  }
  NTSTATUS result = last ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  if (track->isDirectory == 0 && !deletePending && last) {
    // Cached data reaches the mirrors as the paging writes of this flush. A file that a user
    // view maps cannot be flushed: tracking goes on until a later cleanup or the sweep.
    const NTSTATUS flushed = FlushSource(file);
    if (!NT_SUCCESS(flushed)) result = flushed;
  }
  if (timesChanged && !deletePending && file->DeletePending == 0) RefreshBasic(track, file);
  ClearCreated(track, file);
  if (!NT_SUCCESS(result)) {
    FileTracks::Release(track);
    return PassThrough(filter.lower(), irp);
  }
  return ForwardWithHook(&filter, filter.lower(), irp, track);
}

void PostCleanup(VolumeFilter&, PIRP irp, PVOID context) {
  auto* track = static_cast<FileTrack*>(context);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (!NT_SUCCESS(irp->IoStatus.Status)) {
    FileTracks::Release(track);
    return;
  }
  // Until the mirror files are closed, a new create of the stream waits to open them again.
  // A create that joined the record since the pre-cleanup did so under this lock and keeps
  // the record: this file object's own mark was cleared, so any open left is another one.
  ExclusiveResourceLock starting(FileTracks::StartLock(track->key));
  bool reopened, refresh;
  {
    SpinLockGuard guard(&track->lock);
    reopened = track->openCount != 0;
    refresh = track->timesChanged != 0 && track->deletePending == 0;
  }
  if (reopened) {
    FileTracks::Release(track);
    return;
  }
  // The file system's cleanup may have moved the times once more, and a paging write may have
  // been repeated since the pre-cleanup looked at timesChanged. Taken also when the record
  // stays (still in use), so that whoever finishes it later sets the source's times.
  if (refresh) RefreshBasic(track, file);
  if (!FileTracks::Remove(track)) {
    FileTracks::Release(track);
    return;
  }
  FileTracks::Destroy(track);
}

NTSTATUS PreClose(VolumeFilter& filter, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (filter.alias() == nullptr) return PassThrough(filter.lower(), irp);
  FileTrack* track = FileTracks::Lookup(file, false);
  if (track == nullptr) return PassThrough(filter.lower(), irp);
  BeginClose(track, file);
  bool keepCache;
  {
    SpinLockGuard guard(&track->lock);
    keepCache = track->active != 0 && track->deletePending == 0 && track->isDirectory == 0;
  }
  if (keepCache && file->SectionObjectPointer != nullptr) {
    // The cache may still write the file out after this close: its own file object keeps the
    // record alive until the cache lets go of it.
    PFILE_OBJECT cacheFile = CcGetFileObjectFromSectionPtrs(file->SectionObjectPointer);
    if (cacheFile != nullptr && cacheFile != file) RegisterFileObject(track, cacheFile, false);
  }
  return ForwardWithHook(&filter, filter.lower(), irp, track);
}

void PostClose(VolumeFilter&, PIRP irp, PVOID context) {
  auto* track = static_cast<FileTrack*>(context);
  RemoveFileObject(track, IoGetCurrentIrpStackLocation(irp)->FileObject);
  bool done;
  LONG openCount;
  {
    SpinLockGuard guard(&track->lock);
    done = track->deletePending != 0 || track->fileObjectCount == 0;
    openCount = track->openCount;
  }
  if (done) {
    FileTracks::DismantleUnlessJoined(track, openCount);
  } else {
    FileTracks::Release(track);
  }
}

NTSTATUS RegisterFile(VolumeFilter& filter, PIRP irp) {
  FileTrack* track = FileTracks::Lookup(IoGetCurrentIrpStackLocation(irp)->FileObject, false);
  if (track != nullptr) FileTracks::Release(track);
  return PassThrough(filter.lower(), irp);
}
