#include "driver/replication/change_replication.h"

#include <cstring>

#include "common/protocol.h"
#include "driver/base/resource_lock.h"
#include "driver/frame/forwarding.h"
#include "driver/frame/kv_driver.h"
#include "driver/replication/file_tracking.h"
#include "driver/replication/mirror_handle.h"
#include "platform/nt/cache_manager.h"
#include "platform/nt/kernel.h"

namespace {

constexpr ULONG kFsctlSetSparse = 0x900C4;
constexpr ULONG kFsctlSetZeroData = 0x980C8;

bool IsActive(FileTrack* track) {
  SpinLockGuard guard(&track->lock);
  return track->active != 0;
}

void NoteTimesChanged(FileTrack* track) {
  SpinLockGuard guard(&track->lock);
  track->timesChanged = 1;
}

// Repeats a successful non-cached write on every mirror file: the bytes the source took, at the
// request's offset. A mirror that takes fewer is out of date.
//
// Ordering: a write is repeated before its own request completes, so the writes of a writer
// that waits for each one reach the mirrors in the writer's order, and concurrent writes to
// separate ranges all arrive. Concurrent writes to one stream are not serialized beyond that:
// for overlapping ones the source's own outcome is whichever the file system completed last,
// and a mirror may keep another of them; nor is a paging write ordered against a size change
// of the same stream. Serializing them here would deadlock a non-cached write whose file
// system first writes out the cached pages of the same stream.
void ReplicateWrite(PIRP irp, FileTrack* track) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const auto transferred = static_cast<ULONG>(irp->IoStatus.Information);
  if (IsActive(track) && transferred != 0) {
    NoteTimesChanged(track);
    PVOID buffer = irp->MdlAddress != nullptr
                       ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority)
                       : irp->UserBuffer;
    const LONGLONG offset = stack->Parameters.Write.ByteOffset.QuadPart;
    for (int i = 0; i < track->mirrorCount; ++i) {
      MirrorHandle* handle = track->mirrors[i];
      ULONG length = transferred;
      const NTSTATUS status = handle->Write(irp->MdlAddress, buffer, &length, offset, false);
      if (!NT_SUCCESS(status) || length != transferred) {
        MarkMirrorOutOfDate(KvDriver::Instance()->table(), handle->mirrorId);
      }
    }
  }
  {
    SpinLockGuard guard(&track->lock);
    track->lastActivity = CurrentTime();
  }
  FileTracks::Release(track);
}

// Completes a request that came back from the file system with `status`.
NTSTATUS CompleteFromBelow(PIRP irp, NTSTATUS status) {
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void ReplicateBasic(FileTrack* track, const FILE_BASIC_INFORMATION& basic) {
  NTSTATUS last = STATUS_SUCCESS;
  for (int i = 0; i < track->mirrorCount; ++i) {
    FILE_BASIC_INFORMATION copy = basic;
    last = track->mirrors[i]->SetInfo(FileBasicInformation, &copy, sizeof(copy));
  }
  SpinLockGuard guard(&track->lock);
  if (!NT_SUCCESS(last)) track->timesChanged = 1;
  track->basic = basic;
}

void ReplicateDisposition(FileTrack* track, bool deleteFile) {
  bool failed[kMaxTrackedMirrors] = {};
  for (int i = 0; i < track->mirrorCount; ++i) {
    MirrorHandle* handle = track->mirrors[i];
    if (!deleteFile || handle->propagateDeletes != 0) {
      failed[i] = !NT_SUCCESS(handle->Delete(deleteFile));
    }
  }
  SpinLockGuard guard(&track->lock);
  for (int i = 0; i < track->mirrorCount; ++i) {
    if (failed[i]) track->mirrors[i]->deleteFailed = deleteFile ? 1 : 0;
  }
  track->deletePending = deleteFile ? 1 : 0;
}

void ReplicateOnEveryMirror(FileTrack* track, FILE_INFORMATION_CLASS informationClass,
                            PVOID buffer, ULONG length) {
  for (int i = 0; i < track->mirrorCount; ++i) {
    track->mirrors[i]->SetInfo(informationClass, buffer, length);
  }
}

}  // namespace

NTSTATUS PreWrite(VolumeFilter& filter, PIRP irp) {
  if (filter.alias() == nullptr) return PassThrough(filter.lower(), irp);
  FileTrack* track = FileTracks::Lookup(IoGetCurrentIrpStackLocation(irp)->FileObject, false);
  if (track == nullptr) return PassThrough(filter.lower(), irp);
  // Cached writes reach the mirrors later, as the non-cached writes of the cache.
  if ((irp->Flags & IRP_NOCACHE) == 0 || track->isDirectory != 0 || !IsActive(track)) {
    FileTracks::Release(track);
    return PassThrough(filter.lower(), irp);
  }
  if (IoIsOperationSynchronous(irp) && IoGetTopLevelIrp() == nullptr) {
    const NTSTATUS status = ForwardAndWait(filter.lower(), irp);
    if (NT_SUCCESS(status)) {
      ReplicateWrite(irp, track);
    } else {
      FileTracks::Release(track);
    }
    return CompleteFromBelow(irp, status);
  }
  return ForwardWithHook(&filter, filter.lower(), irp, track);
}

void PostWrite(VolumeFilter&, PIRP irp, PVOID context) {
  ReplicateWrite(irp, static_cast<FileTrack*>(context));
}

NTSTATUS PreSetInformation(VolumeFilter& filter, PIRP irp) {
  if (filter.alias() == nullptr) return PassThrough(filter.lower(), irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const FILE_INFORMATION_CLASS informationClass = stack->Parameters.SetFile.FileInformationClass;
  switch (informationClass) {
    case FileRenameInformation:
    case FileLinkInformation:
      return PreRename(filter, irp);
    case FileBasicInformation:
    case FileDispositionInformation:
    case FileAllocationInformation:
    case FileEndOfFileInformation:
      break;
    default:
      return PassThrough(filter.lower(), irp);
  }
  FileTrack* track = FileTracks::Lookup(stack->FileObject, false);
  if (track == nullptr) return PassThrough(filter.lower(), irp);
  if (informationClass == FileEndOfFileInformation &&
      (track->isDirectory != 0 || stack->Parameters.SetFile.AdvanceOnly)) {
    FileTracks::Release(track);
    return PassThrough(filter.lower(), irp);
  }
  return ForwardWithHook(&filter, filter.lower(), irp, track);
}

void PostSetInformation(VolumeFilter& filter, PIRP irp, PVOID context) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const FILE_INFORMATION_CLASS informationClass = stack->Parameters.SetFile.FileInformationClass;
  if (informationClass == FileRenameInformation || informationClass == FileLinkInformation) {
    PostRename(filter, irp, context);
    return;
  }
  auto* track = static_cast<FileTrack*>(context);
  PVOID buffer = irp->AssociatedIrp.SystemBuffer;
  if (IsActive(track)) {
    switch (informationClass) {
      case FileBasicInformation: {
        FILE_BASIC_INFORMATION basic;
        std::memcpy(&basic, buffer, sizeof(basic));
        ReplicateBasic(track, basic);
        break;
      }
      case FileDispositionInformation:
        ReplicateDisposition(track,
                             static_cast<FILE_DISPOSITION_INFORMATION*>(buffer)->DeleteFile != 0);
        break;
      case FileAllocationInformation:
        ReplicateOnEveryMirror(track, FileAllocationInformation, buffer,
                               sizeof(FILE_ALLOCATION_INFORMATION));
        break;
      case FileEndOfFileInformation:
        ReplicateOnEveryMirror(track, FileEndOfFileInformation, buffer,
                               sizeof(FILE_END_OF_FILE_INFORMATION));
        NoteTimesChanged(track);
        break;
      default:
        break;
    }
  }
  FileTracks::Release(track);
}

NTSTATUS SetSecurity(VolumeFilter& filter, PIRP irp) {
  if (filter.alias() == nullptr) return PassThrough(filter.lower(), irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  FileTrack* track = FileTracks::Lookup(stack->FileObject, false);
  if (track == nullptr) return PassThrough(filter.lower(), irp);
  if (!IsActive(track)) {
    FileTracks::Release(track);
    return PassThrough(filter.lower(), irp);
  }
  const SECURITY_INFORMATION information = stack->Parameters.SetSecurity.SecurityInformation;
  PSECURITY_DESCRIPTOR descriptor = stack->Parameters.SetSecurity.SecurityDescriptor;
  const NTSTATUS status = ForwardAndWait(filter.lower(), irp);
  if (NT_SUCCESS(status)) {
    for (int i = 0; i < track->mirrorCount; ++i) {
      MirrorHandle* handle = track->mirrors[i];
      if ((handle->mirrorFlags & KV_FLAG_COPY_ACL) != 0) {
        handle->SetSecurity(information, descriptor);
      }
    }
  }
  FileTracks::Release(track);
  return CompleteFromBelow(irp, status);
}

NTSTATUS PreFsControl(VolumeFilter& filter, PIRP irp) {
  if (filter.alias() == nullptr) return PassThrough(filter.lower(), irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.FileSystemControl.FsControlCode;
  if (code != kFsctlSetSparse && code != kFsctlSetZeroData) {
    return PassThrough(filter.lower(), irp);
  }
  FileTrack* track = FileTracks::Lookup(stack->FileObject, false);
  if (track == nullptr) return PassThrough(filter.lower(), irp);
  return ForwardWithHook(&filter, filter.lower(), irp, track);
}

void PostFsControl(VolumeFilter&, PIRP irp, PVOID context) {
  auto* track = static_cast<FileTrack*>(context);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (IsActive(track)) {
    for (int i = 0; i < track->mirrorCount; ++i) {
      track->mirrors[i]->FsControl(stack->Parameters.FileSystemControl.FsControlCode,
                                   irp->AssociatedIrp.SystemBuffer,
                                   stack->Parameters.FileSystemControl.InputBufferLength);
    }
    NoteTimesChanged(track);
  }
  FileTracks::Release(track);
}
