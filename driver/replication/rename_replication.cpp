// Renames and hard links on filtered volumes: which are refused, and how the mirror files and
// the mirror table follow the ones that succeed.
#include <new>

#include "common/protocol.h"
#include "driver/base/driver_pool.h"
#include "driver/base/resource_lock.h"
#include "driver/frame/forwarding.h"
#include "driver/frame/kv_driver.h"
#include "driver/naming/path_naming.h"
#include "driver/naming/volume_identity.h"
#include "driver/replication/change_replication.h"
#include "driver/replication/file_tracking.h"
#include "driver/replication/mirror_handle.h"
#include "driver/table/path_text.h"
#include "platform/nt/kernel.h"

namespace {

constexpr ULONG kPairFlags = KV_FLAG_SOURCE | KV_FLAG_MIRROR;

// What the pre-rename step learned, for the post-rename step. Mirror nodes are kept by id and
// found again under the table lock, since the table may change while the rename is under way.
struct RenameRecord {
  ULONG attributes = 0;
  ULONG flagsOld = 0;
  ULONG flagsNew = 0;
  FileTrack* trackOld = nullptr;
  FileTrack* trackNew = nullptr;
  bool isDirectory = false;
  UCHAR ancestor = 0;
  DriverString oldName;
  DriverString newName;
  ULONG newMirrorIds[kMaxTrackedMirrors] = {};
  int newMirrorCount = 0;
};

RenameRecord* NewRenameRecord() {
  return new (DriverAllocate(sizeof(RenameRecord))) RenameRecord;
}

void FreeRenameRecord(RenameRecord* record) {
  if (record->trackOld != nullptr) FreeFileTrack(record->trackOld);
  if (record->trackNew != nullptr) FreeFileTrack(record->trackNew);
  record->~RenameRecord();
  DriverFree(record);
}

MirrorTable& Table() { return KvDriver::Instance()->table(); }

bool IsActive(FileTrack* track) {
  SpinLockGuard guard(&track->lock);
  return track->active != 0;
}

bool SameSourcePair(const RenameRecord& record) {
  return (record.flagsOld & KV_FLAG_SOURCE) != 0 && (record.flagsNew & KV_FLAG_SOURCE) != 0 &&
         record.trackOld->pairId == record.trackNew->pairId;
}

NTSTATUS Refuse(PIRP irp, RenameRecord* record, NTSTATUS status) {
  FreeRenameRecord(record);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// A name inside a mirror (not the mirror folder itself): refused when the mirror is protected,
// else the mirror is out of date. REQUIRES: table lock held.
bool InsideMirrorAllowed(ULONG flags, FileTrack* track) {
  if ((flags & KV_FLAG_MIRROR) == 0 || track->atRoot != 0) return true;
  if ((flags & KV_FLAG_PROTECT) != 0) return false;
  MarkMirrorOutOfDate(Table(), track->mirrorNodes[0]);
  return true;
}

// Renames each open mirror file of the stream to its place under the new name.
void RenameMirrorFiles(PFILE_OBJECT file, BypassAlias* alias, FileTrack* renamed,
                       const RenameRecord& record) {
  MirrorTable& table = Table();
  {
    SharedResourceLock guard(table.lock());
    for (int i = 0; i < renamed->mirrorCount; ++i) {
      MirrorHandle* handle = renamed->mirrors[i];
      for (int m = 0; m < record.newMirrorCount; ++m) {
        PathNode* mirror = table.FindById(record.newMirrorIds[m]);
        DriverString target;
        BypassAlias* mirrorAlias = nullptr;
        if (mirror == nullptr || !NT_SUCCESS(MirrorPath(mirror, &target, &mirrorAlias)) ||
            mirrorAlias != handle->device) {
          continue;
        }
        if (record.trackNew->atRoot == 0) {
          target.Append(record.newName.view().substr(record.trackNew->relOffset));
        }
        const bool impersonating = table.Impersonate(mirror);
        handle->Rename(target.view());
        if (impersonating) PsRevertToSelf();
        break;
      }
    }
  }
  DriverString name;
  bool stream = false;
  UNICODE_STRING copy{};
  if (NT_SUCCESS(OpenFileName(file, alias, &name, &stream)) &&
      NT_SUCCESS(DriverCopyString(name.view(), &copy))) {
    {
      SpinLockGuard guard(&renamed->lock);
      std::swap(renamed->name, copy);
    }
    DriverFreeString(&copy);
  }
}

// The item left its pair: its mirror copies go (from the mirrors that propagate deletions).
void DeleteMirrorCopies(FileTrack* track, bool isDirectory) {
  MirrorTable& table = Table();
  if (isDirectory) FileTracks::Finish(track);
  for (int i = 0; i < track->mirrorCount; ++i) {
    MirrorHandle* handle = track->mirrors[i];
    if (handle->propagateDeletes == 0) continue;
    if (isDirectory) {
      SharedResourceLock guard(table.lock());
      PathNode* mirror = table.FindById(handle->mirrorId);
      const bool impersonating = mirror != nullptr && table.Impersonate(mirror);
      DeleteTree(handle->device, handle->path.view());
      if (impersonating) PsRevertToSelf();
      continue;
    }
    if (NT_SUCCESS(handle->Delete(true))) continue;
    FILE_BASIC_INFORMATION basic;
    {
      SpinLockGuard guard(&track->lock);
      track->basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
      basic = track->basic;
    }
    handle->SetInfo(FileBasicInformation, &basic, sizeof(basic));
    if (!NT_SUCCESS(handle->Delete(true))) {
      SpinLockGuard guard(&track->lock);
      handle->deleteFailed = 1;
    }
  }
  FileTracks::Finish(track);
  FileTracks::Dismantle(track);
}

// A folder moved into a source: its mirrors catch up by synchronization of the whole source.
void MarkSourceOutOfDate(const RenameRecord& record) {
  MirrorTable& table = Table();
  {
    ExclusiveResourceLock guard(table.lock());
    for (int m = 0; m < record.newMirrorCount; ++m) {
      PathNode* mirror = table.FindById(record.newMirrorIds[m]);
      if (mirror != nullptr) MarkMirrorOutOfDate(table, mirror);
    }
  }
  if (record.newMirrorCount > 0) {
    KvDriver::Instance()->control()->PostEvent(KV_EVENT_SYNC_SOURCE, 0, record.trackNew->pairId);
  }
}

}  // namespace

NTSTATUS PreRename(VolumeFilter& filter, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  FileTrack* found = FileTracks::Lookup(stack->FileObject, false);
  if (found != nullptr) FileTracks::Release(found);
  RenameNames names;
  if (!NT_SUCCESS(RenameTarget(irp, filter.alias(), &names)) ||
      EqualsNoCase(names.oldName.view(), names.newName.view())) {
    return PassThrough(filter.lower(), irp);
  }
  RenameRecord* record = NewRenameRecord();
  record->attributes = names.attributes;
  record->isDirectory = (names.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  record->oldName = std::move(names.oldName);
  record->newName = std::move(names.newName);
  const bool link = stack->Parameters.SetFile.FileInformationClass == FileLinkInformation;

  MirrorTable& table = Table();
  NTSTATUS refusal = STATUS_SUCCESS;
  {
    SharedResourceLock guard(table.lock());
    record->flagsOld = table.Classify(record->oldName.view(), record->isDirectory,
                                      &record->trackOld, &record->ancestor, true);
    record->flagsNew = table.Classify(record->newName.view(), record->isDirectory,
                                      &record->trackNew, nullptr, false);
    if (record->trackNew != nullptr && (record->flagsNew & KV_FLAG_SOURCE) != 0) {
      record->newMirrorCount = record->trackNew->mirrorCount;
      for (int m = 0; m < record->newMirrorCount; ++m) {
        record->newMirrorIds[m] = record->trackNew->mirrorNodes[m]->id;
      }
    }
    const bool touchesPair = record->flagsOld != 0 || record->flagsNew != 0;
    if (link) {
      if (touchesPair && !SameSourcePair(*record)) refusal = STATUS_ACCESS_DENIED;
    } else if (!touchesPair && record->ancestor == 0) {
      // Nothing of a pair is concerned.
    } else if (record->isDirectory && record->trackOld != nullptr &&
               record->trackOld->atRoot != 0 && (record->flagsNew & kPairFlags) != 0) {
      refusal = STATUS_ACCESS_DENIED;  // a pair folder may not move into a pair
    } else if (!InsideMirrorAllowed(record->flagsOld, record->trackOld) ||
               !InsideMirrorAllowed(record->flagsNew, record->trackNew)) {
      refusal = STATUS_ACCESS_DENIED;
    } else if (!record->isDirectory && (record->flagsNew & KV_FLAG_SOURCE) != 0 &&
               !SameSourcePair(*record)) {
      // The caller copies the file instead, and the copy is mirrored as any new file.
      refusal = STATUS_NOT_SAME_DEVICE;
    } else {
      return ForwardWithHook(&filter, filter.lower(), irp, record);
    }
  }
  if (refusal != STATUS_SUCCESS) return Refuse(irp, record, refusal);
  FreeRenameRecord(record);
  return PassThrough(filter.lower(), irp);
}

void PostRename(VolumeFilter& filter, PIRP irp, PVOID context) {
  auto* record = static_cast<RenameRecord*>(context);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  MirrorTable& table = Table();
  if (record->isDirectory &&
      (record->ancestor != 0 || (record->trackOld != nullptr && record->trackOld->atRoot != 0))) {
    // The pairs inside (or the pair folder itself) move with it.
    ExclusiveResourceLock guard(table.lock());
    table.MoveNode(record->oldName.view(), record->newName.view());
  } else if (SameSourcePair(*record)) {
    if (record->newMirrorCount > 0) {
      FileTrack* renamed = FileTracks::Lookup(file, false);
      FileTrack* replaced = FileTracks::FindByName(record->newName.view());
      if (replaced != nullptr && replaced != renamed) {
        FileTracks::Dismantle(replaced);
      } else if (replaced != nullptr) {
        FileTracks::Release(replaced);
      }
      if (renamed != nullptr) {
        if (IsActive(renamed)) RenameMirrorFiles(file, filter.alias(), renamed, *record);
        FileTracks::Release(renamed);
      }
    }
  } else {
    if ((record->flagsOld & KV_FLAG_SOURCE) != 0) {
      FileTrack* track = FileTracks::Lookup(file, false);
      if (track != nullptr && (record->isDirectory || IsActive(track))) {
        DeleteMirrorCopies(track, record->isDirectory);
      } else if (track != nullptr) {
        FileTracks::Release(track);
      }
    }
    if ((record->flagsNew & KV_FLAG_SOURCE) != 0) MarkSourceOutOfDate(*record);
  }
  FreeRenameRecord(record);
}

void ReleaseChangeContext(PIRP irp, PVOID context) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_SET_INFORMATION &&
      (stack->Parameters.SetFile.FileInformationClass == FileRenameInformation ||
       stack->Parameters.SetFile.FileInformationClass == FileLinkInformation)) {
    FreeRenameRecord(static_cast<RenameRecord*>(context));
    return;
  }
  FileTracks::Release(static_cast<FileTrack*>(context));
}
