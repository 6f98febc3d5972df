// Creates on filtered volumes: which belong to a pair, the mirror files opened or created
// beside a source, and the refusal of writers inside protected mirrors.
#include "driver/base/driver_pool.h"
#include "driver/base/resource_lock.h"
#include "driver/frame/forwarding.h"
#include "driver/frame/kv_driver.h"
#include "driver/naming/path_naming.h"
#include "driver/naming/volume_identity.h"
#include "driver/replication/file_tracking.h"
#include "driver/replication/mirror_handle.h"
#include "driver/replication/tracked_requests.h"
#include "driver/table/path_text.h"
#include "platform/nt/kernel.h"

namespace {

constexpr ACCESS_MASK kAclAccess = WRITE_DAC | WRITE_OWNER;
constexpr ACCESS_MASK kMirrorFileAccess = 0x1F0196;
constexpr ACCESS_MASK kMirrorDirectoryAccess = 0x1F0191;
constexpr ULONG kMirrorFileOptions =
    FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_RANDOM_ACCESS;
constexpr ULONG kMirrorDirectoryOptions = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
constexpr ULONG kAllSharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Whether the create can change the file, its attributes, security or name.
bool MayModify(VolumeFilter& filter, ULONG disposition, ACCESS_MASK access) {
  if (disposition != FILE_OPEN || (access & kModifyingAccess) != 0) return true;
  if ((access & kAclAccess) == 0) return false;
  return (VolumeAttributes(filter) & FILE_PERSISTENT_ACLS) != 0;
}

// A source file open again with a new file object while tracked: an overwrite empties every
// mirror file, a delete-on-close marks them for deletion.
void UpdateActive(FileTrack* track, ULONG_PTR information, ULONG options) {
  const bool overwritten = information != FILE_OPENED && track->isDirectory == 0;
  const bool deleteOnClose = (options & FILE_DELETE_ON_CLOSE) != 0;
  bool deleteFailed[kMaxTrackedMirrors] = {};
  for (int i = 0; i < track->mirrorCount; ++i) {
    MirrorHandle* handle = track->mirrors[i];
    if (overwritten) {
      FILE_END_OF_FILE_INFORMATION end{};
      if (!NT_SUCCESS(handle->SetInfo(FileEndOfFileInformation, &end, sizeof(end)))) {
        MarkMirrorOutOfDate(KvDriver::Instance()->table(), handle->mirrorId);
      }
    }
    if (deleteOnClose && handle->propagateDeletes != 0) {
      deleteFailed[i] = !NT_SUCCESS(handle->Delete(true));
    }
  }
  // Other creates of the same stream may update the record at the same time.
  SpinLockGuard guard(&track->lock);
  for (int i = 0; i < track->mirrorCount; ++i) {
    if (deleteFailed[i]) track->mirrors[i]->deleteFailed = 1;
  }
  if (overwritten) track->timesChanged = 1;
  if (deleteOnClose) track->deletePending = 1;
  track->lastActivity = CurrentTime();
}

// How the mirror files of one source are opened.
struct MirrorCreate {
  ACCESS_MASK access;
  ULONG disposition;
  ULONG options;
  ULONG attributes;
  ULONG sharing;
  PSECURITY_DESCRIPTOR descriptor;
  LONGLONG allocationSize;
};

MirrorCreate PrepareMirrorCreate(PIRP irp, bool isDirectory, bool isStream) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const bool opened = irp->IoStatus.Information == FILE_OPENED;
  MirrorCreate create{};
  create.attributes = stack->Parameters.Create.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
  if (isDirectory) {
    create.access = kMirrorDirectoryAccess;
    create.options = kMirrorDirectoryOptions;
    create.sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
    create.disposition = FILE_OPEN_IF;
    if (KvDriver::Instance()->majorVersion() < 5) {
      create.disposition = opened ? FILE_OPEN : FILE_CREATE;
    }
  } else {
    create.access = kMirrorFileAccess;
    create.options = kMirrorFileOptions;
    create.sharing = isStream ? kAllSharing : FILE_SHARE_READ;
    create.disposition = opened ? FILE_OPEN_IF : FILE_OVERWRITE_IF;
  }
  PIO_SECURITY_CONTEXT security = stack->Parameters.Create.SecurityContext;
  if (security != nullptr && security->AccessState != nullptr) {
    create.descriptor = security->AccessState->SecurityDescriptor;
  }
  create.allocationSize = irp->Overlay.AllocationSize.QuadPart;
  return create;
}

// Opens or creates the mirror file of the source on one mirror, and brings an existing file's
// content up to date. Null on failure. REQUIRES: table lock held shared.
MirrorHandle* OpenMirror(MirrorTable& table, PathNode* mirror, const FileTrack& track,
                         std::u16string_view name, const MirrorCreate& prepared, bool copy,
                         MirrorFile& source) {
  DriverString path;
  BypassAlias* alias = nullptr;
  if (!NT_SUCCESS(MirrorPath(mirror, &path, &alias))) return nullptr;
  if (track.atRoot == 0) path.Append(name.substr(track.relOffset));
  const ULONG flags = mirror->flags;
  MirrorCreate create = prepared;
  const bool deleteOnClose =
      (create.options & FILE_DELETE_ON_CLOSE) != 0 && (flags & KV_FLAG_KEEP_DELETED) == 0;
  if ((flags & KV_FLAG_KEEP_DELETED) != 0) create.options &= ~FILE_DELETE_ON_CLOSE;
  MirrorHandle* handle = AllocateMirrorHandle(alias, mirror->id, flags);
  const bool impersonating = table.Impersonate(mirror);
  NTSTATUS status = handle->OpenOrCreate(path.view(), create.access, create.disposition,
                                         create.options, create.attributes, create.sharing,
                                         create.descriptor, create.allocationSize);
  if (NT_SUCCESS(status) && copy && !deleteOnClose) status = CopyIfDifferent(source, *handle);
  if (impersonating) PsRevertToSelf();
  if (NT_SUCCESS(status)) return handle;
  FreeMirrorHandle(handle);
  return nullptr;
}

// Opens the mirror files of a classified record; the slots then hold the open handles.
// REQUIRES: table lock held shared.
void OpenMirrors(MirrorTable& table, FileTrack* track, std::u16string_view name, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  MirrorCreate create = PrepareMirrorCreate(irp, track->isDirectory != 0, track->isStream != 0);
  const ULONG requested = stack->Parameters.Create.Options & 0x00FFFFFF;
  if ((requested & FILE_DELETE_ON_CLOSE) != 0) create.options |= FILE_DELETE_ON_CLOSE;
  const bool copy = irp->IoStatus.Information == FILE_OPENED && track->isDirectory == 0;
  MirrorFile source;
  source.device = track->device;
  source.fileObject = stack->FileObject;
  int opened = 0;
  for (int i = 0; i < track->mirrorCount; ++i) {
    PathNode* mirror = track->mirrorNodes[i];
    MirrorHandle* handle = OpenMirror(table, mirror, *track, name, create, copy, source);
    if (handle == nullptr) {
      MarkMirrorOutOfDate(table, mirror);
      continue;
    }
    track->mirrors[opened++] = handle;
  }
  source.fileObject = nullptr;  // the user's own: not released here
  for (int i = 0; i < kMaxTrackedMirrors; ++i) track->mirrorNodes[i] = nullptr;
  track->mirrorCount = static_cast<CHAR>(opened);
}

// A record found for a new file object: true when the create is fully handled by it.
bool UseExisting(FileTrack* found, PFILE_OBJECT file, std::u16string_view name, PIRP irp) {
  bool active;
  {
    SpinLockGuard guard(&found->lock);
    active = found->active != 0;
  }
  const bool sameName = EqualsNoCase(View(found->name), name);
  if (active && sameName) {
    const ULONG options = IoGetCurrentIrpStackLocation(irp)->Parameters.Create.Options;
    UpdateActive(found, irp->IoStatus.Information, options);
    FileTracks::Release(found);
    return true;
  }
  // A stale record: the new file object is tracked by a new record.
  RemoveFileObject(found, file);
  if (!sameName || found->refCount.load() < 2) {
    FileTracks::Dismantle(found);
  } else {
    FileTracks::Release(found);
  }
  return false;
}

}  // namespace

NTSTATUS PreCreate(VolumeFilter& filter, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PFILE_OBJECT file = stack->FileObject;
  KvDriver* driver = KvDriver::Instance();
  if (filter.alias() == nullptr || driver == nullptr || file == nullptr ||
      (stack->Flags & (SL_OPEN_PAGING_FILE | SL_OPEN_TARGET_DIRECTORY)) != 0 ||
      file->FileName.Length == 0) {
    return PassThrough(filter.lower(), irp);
  }
  PIO_SECURITY_CONTEXT security = stack->Parameters.Create.SecurityContext;
  const ULONG disposition = stack->Parameters.Create.Options >> 24;
  const ULONG options = stack->Parameters.Create.Options & 0x00FFFFFF;
  if (security == nullptr || !MayModify(filter, disposition, security->DesiredAccess)) {
    return PassThrough(filter.lower(), irp);
  }
  MirrorTable& table = driver->table();
  RunTableLoadHook(table);

  ULONG flags = KV_FLAG_SOURCE;  // an open by id is taken for a source; named after the open
  if ((options & FILE_OPEN_BY_FILE_ID) == 0) {
    DriverString name;
    if (!NT_SUCCESS(CreateName(irp, filter, &name)) ||
        name.view().find(u'*') != std::u16string_view::npos) {
      return PassThrough(filter.lower(), irp);
    }
    bool isDirectory;
    if ((options & FILE_DIRECTORY_FILE) != 0) {
      isDirectory = true;
    } else if ((options & FILE_NON_DIRECTORY_FILE) != 0) {
      isDirectory = false;
    } else {
      isDirectory = IsDirectory(name.view(), filter.alias());
    }
    flags = 0;
    if (name.size() > kVolumePrefixLength) {
      SharedResourceLock guard(table.lock());
      flags = table.Classify(name.view(), isDirectory, nullptr, nullptr, false);
    }
  }
  if (flags == 0) return PassThrough(filter.lower(), irp);
  if ((flags & KV_FLAG_MIRROR) != 0 && (flags & KV_FLAG_SCHEDULED) == 0 &&
      (flags & KV_FLAG_PROTECT) != 0) {
    return Complete(irp, STATUS_ACCESS_DENIED);
  }
  security->DesiredAccess |= FILE_READ_ATTRIBUTES;
  return ForwardWithHook(&filter, filter.lower(), irp, nullptr);
}

void PostCreate(VolumeFilter& filter, PIRP irp, PVOID) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PFILE_OBJECT file = stack->FileObject;
  KvDriver* driver = KvDriver::Instance();
  BypassAlias* alias = filter.alias();
  if (driver == nullptr || alias == nullptr) return;
  DriverString name;
  bool isStream = false;
  if (!NT_SUCCESS(OpenFileName(file, alias, &name, &isStream)) || file->FsContext == nullptr) {
    return;
  }
  ExclusiveResourceLock starting(FileTracks::StartLock(file->FsContext));
  FileTrack* found = FileTracks::Lookup(file, true);
  if (found != nullptr && UseExisting(found, file, name.view(), irp)) return;

  MirrorFile source;
  source.device = alias;
  source.fileObject = file;
  FILE_BASIC_INFORMATION basic{};
  const NTSTATUS queried = source.QueryInfo(FileBasicInformation, &basic, sizeof(basic));
  source.fileObject = nullptr;
  if (!NT_SUCCESS(queried)) return;
  const bool isDirectory = (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;

  MirrorTable& table = driver->table();
  FileTrack* track = nullptr;
  {
    SharedResourceLock guard(table.lock());
    const ULONG flags = table.Classify(name.view(), isDirectory, &track, nullptr, false);
    if (track == nullptr) return;
    if ((flags & KV_FLAG_MIRROR) != 0) {
      // Written inside a mirror that admits it: synchronization has to look at it again.
      MarkMirrorOutOfDate(table, track->mirrorNodes[0]);
      track->mirrorNodes[0] = nullptr;
      FreeFileTrack(track);
      return;
    }
    track->isStream = isStream ? 1 : 0;
    track->device = alias;
    OpenMirrors(table, track, name.view(), irp);
  }
  if (track->mirrorCount == 0 || !NT_SUCCESS(DriverCopyString(name.view(), &track->name))) {
    FileTracks::Destroy(track);
    return;
  }
  track->key = file->FsContext;
  track->basic = basic;
  track->lastActivity = CurrentTime();
  track->active = 1;
  RegisterFileObject(track, file, true);
  FileTracks::Insert(track);
}
