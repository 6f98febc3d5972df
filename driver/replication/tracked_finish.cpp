// Ending the tracking of a source: the mirrors get the source's times and attributes, and the
// mirror files are closed.
#include "driver/base/resource_lock.h"
#include "driver/frame/kv_driver.h"
#include "driver/replication/file_tracking.h"
#include "driver/replication/mirror_handle.h"

namespace {

// Runs `work` as the pair's account when the mirror lies on a network share.
template <typename Work>
NTSTATUS AsMirrorAccount(ULONG mirrorId, Work work) {
  KvDriver* driver = KvDriver::Instance();
  if (driver == nullptr) return work();
  MirrorTable& table = driver->table();
  SharedResourceLock guard(table.lock());
  const PathNode* mirror = table.FindById(mirrorId);
  const bool impersonating = mirror != nullptr && table.Impersonate(mirror);
  const NTSTATUS status = work();
  if (impersonating) PsRevertToSelf();
  return status;
}

}  // namespace

void MarkMirrorOutOfDate(MirrorTable& table, PathNode* mirror) {
  if ((mirror->flags.fetch_or(KV_FLAG_NEEDS_SYNC) & KV_FLAG_NEEDS_SYNC) == 0) table.MarkDirty();
}

void MarkMirrorOutOfDate(MirrorTable& table, ULONG mirrorId) {
  SharedResourceLock guard(table.lock());
  PathNode* mirror = table.FindById(mirrorId);
  if (mirror != nullptr) MarkMirrorOutOfDate(table, mirror);
}

void FileTracks::Finish(FileTrack* track) {
  bool timesChanged, deletePending;
  FILE_BASIC_INFORMATION basic;
  {
    SpinLockGuard guard(&track->lock);
    if (track->active == 0) return;
    track->active = 0;
    timesChanged = track->timesChanged != 0;
    deletePending = track->deletePending != 0;
    basic = track->basic;
    track->timesChanged = 0;
  }
  for (int i = 0; i < track->mirrorCount; ++i) {
    MirrorHandle* handle = track->mirrors[i];
    if (handle == nullptr) continue;
    bool deleteStillFails = false;
    if (handle->deleteFailed != 0) {
      deleteStillFails = !NT_SUCCESS(handle->Delete(true));
    } else if (timesChanged) {
      if (!deletePending) handle->SetInfo(FileBasicInformation, &basic, sizeof(basic));
      if (handle->renameFailed) {
        AsMirrorAccount(handle->mirrorId,
                        [handle] { return handle->Rename(handle->path.view()); });
      }
    }
    handle->Close();
    if (deleteStillFails) {
      AsMirrorAccount(handle->mirrorId, [handle] { return DeleteByPath(handle->path.view()); });
    }
  }
}
