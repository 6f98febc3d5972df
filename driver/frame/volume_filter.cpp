#include "driver/frame/volume_filter.h"

#include "driver/base/driver_pool.h"
#include "driver/base/driver_string.h"
#include "driver/base/kernel_routines.h"
#include "driver/base/resource_lock.h"
#include "driver/frame/forwarding.h"
#include "driver/frame/kv_driver.h"
#include "driver/table/mirror_table.h"
#include "platform/nt/kernel.h"

namespace {

FilterHooks hooks{};

// A mount on its way down: the filter prepared for the new volume and the volume's storage
// device.
struct MountContext {
  VolumeFilter* prepared;
  PDEVICE_OBJECT realDevice;
};

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS Run(FilterHooks::Pre pre, VolumeFilter& filter, PIRP irp) {
  if (pre != nullptr) return pre(filter, irp);
  return PassThrough(filter.lower(), irp);
}

bool EndsWithMarker(const UNICODE_STRING& name) {
  const std::u16string_view text = View(name);
  if (text.size() < kAliasMarker.size() + 1) return false;
  const std::u16string_view tail = text.substr(text.size() - kAliasMarker.size());
  for (size_t i = 0; i < tail.size(); ++i) {
    if (RtlUpcaseUnicodeChar(tail[i]) != RtlUpcaseUnicodeChar(kAliasMarker[i])) return false;
  }
  return true;
}

}  // namespace

void SetFilterHooks(const FilterHooks& newHooks) { hooks = newHooks; }

// --- VolumeFilter ---------------------------------------------------------------------------

VolumeFilter::VolumeFilter(PDEVICE_OBJECT device, PDRIVER_OBJECT driver)
    : KvDevice(kMagic, device, driver) {}

VolumeFilter::~VolumeFilter() = default;

NTSTATUS VolumeFilter::Make(PDRIVER_OBJECT driver, DEVICE_TYPE type, VolumeFilter** filter) {
  return KvDevice::Create(driver, nullptr, type, filter);
}

bool VolumeFilter::isNetwork() const {
  return lower_ != nullptr && lower_->DeviceType == FILE_DEVICE_NETWORK_FILE_SYSTEM;
}

void VolumeFilter::setFsAttributes(ULONG attributes) {
  fsAttributes_ = attributes;
  attributesKnown_ = 1;
}

// The filter dispatch table.
NTSTATUS VolumeFilter::Dispatch(PIRP irp) {
  if (lower_ == nullptr || !attached()) return CompleteWith(irp, STATUS_UNSUCCESSFUL);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
      return Run(hooks.preCreate, *this, irp);
    case IRP_MJ_CLOSE:
      return Run(hooks.preClose, *this, irp);
    case IRP_MJ_CLEANUP:
      return Run(hooks.preCleanup, *this, irp);
    case IRP_MJ_READ:
    case IRP_MJ_QUERY_INFORMATION:
    case IRP_MJ_SET_EA:
      return Run(hooks.registerFile, *this, irp);
    case IRP_MJ_WRITE:
      return Run(hooks.preWrite, *this, irp);
    case IRP_MJ_SET_INFORMATION:
      return Run(hooks.preSetInformation, *this, irp);
    case IRP_MJ_SET_SECURITY:
      return Run(hooks.setSecurity, *this, irp);
    case IRP_MJ_FILE_SYSTEM_CONTROL:
      switch (stack->MinorFunction) {
        case IRP_MN_USER_FS_REQUEST:
          return Run(hooks.preFsControl, *this, irp);
        case IRP_MN_MOUNT_VOLUME:
          return PreMount(irp);
        case IRP_MN_LOAD_FILE_SYSTEM:
          return PreLoad(irp);
        default:
          return PassThrough(lower_, irp);
      }
    default:
      return PassThrough(lower_, irp);
  }
}

NTSTATUS VolumeFilter::Completion(PIRP irp, PVOID context) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const NTSTATUS status = irp->IoStatus.Status;
  const bool passive = KeGetCurrentIrql() == PASSIVE_LEVEL;
  bool post = false;
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
      post = NT_SUCCESS(status) && status != STATUS_REPARSE;
      break;
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      post = true;
      break;
    case IRP_MJ_WRITE:
    case IRP_MJ_SET_INFORMATION:
      post = NT_SUCCESS(status);
      break;
    case IRP_MJ_FILE_SYSTEM_CONTROL:
      if (stack->MinorFunction == IRP_MN_MOUNT_VOLUME) {
        if (!passive) return QueuePostProcessing(this, irp, context, nullptr);
        PostMount(irp, context);
        return STATUS_SUCCESS;
      }
      if (stack->MinorFunction == IRP_MN_LOAD_FILE_SYSTEM) {
        if (!passive) return QueuePostProcessing(this, irp, context, nullptr);
        PostLoad(irp);
        return STATUS_SUCCESS;
      }
      post = NT_SUCCESS(status);
      break;
    default:
      break;
  }
  if (post) return QueuePostProcessing(this, irp, context, nullptr);
  if (hooks.release != nullptr && context != nullptr) hooks.release(irp, context);
  return STATUS_SUCCESS;
}

void VolumeFilter::PostProcess(PIRP irp, PVOID context, PVOID) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  FilterHooks::Post post = nullptr;
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
      post = hooks.postCreate;
      break;
    case IRP_MJ_CLOSE:
      post = hooks.postClose;
      break;
    case IRP_MJ_CLEANUP:
      post = hooks.postCleanup;
      break;
    case IRP_MJ_WRITE:
      post = hooks.postWrite;
      break;
    case IRP_MJ_SET_INFORMATION:
      post = hooks.postSetInformation;
      break;
    case IRP_MJ_FILE_SYSTEM_CONTROL:
      if (stack->MinorFunction == IRP_MN_MOUNT_VOLUME) {
        PostMount(irp, context);
      } else if (stack->MinorFunction == IRP_MN_LOAD_FILE_SYSTEM) {
        PostLoad(irp);
      } else {
        post = hooks.postFsControl;
      }
      break;
    default:
      break;
  }
  if (post != nullptr) {
    post(*this, irp, context);
  } else if (hooks.release != nullptr && context != nullptr &&
             stack->MajorFunction != IRP_MJ_FILE_SYSTEM_CONTROL) {
    hooks.release(irp, context);
  }
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS VolumeFilter::PreMount(PIRP irp) {
  VolumeFilter* prepared = FileSystemFilters::TakeRecycled();
  if (prepared == nullptr &&
      !NT_SUCCESS(Make(FileSystemFilters::driver(), device()->DeviceType, &prepared))) {
    return PassThrough(lower_, irp);
  }
  auto* context = DriverAllocateRecord<MountContext>();
  context->prepared = prepared;
  context->realDevice = IoGetCurrentIrpStackLocation(irp)->Parameters.MountVolume.Vpb->RealDevice;
  return ForwardWithHook(this, lower_, irp, context);
}

void VolumeFilter::PostMount(PIRP irp, PVOID parameter) {
  auto* context = static_cast<MountContext*>(parameter);
  VolumeFilter* prepared = context->prepared;
  PDEVICE_OBJECT real = context->realDevice;
  DriverFree(context);
  PVPB vpb = real->Vpb;
  if (!NT_SUCCESS(irp->IoStatus.Status) || vpb == nullptr || vpb->DeviceObject == nullptr) {
    prepared->DestroyFilter();
    return;
  }
  PDEVICE_OBJECT volume = vpb->DeviceObject;
  VolumeFilter* existing = FileSystemFilters::FilterAbove(volume);
  if (existing != nullptr) {  // a remount: the volume keeps its filter and alias
    {
      ExclusiveResourceLock guard(FileSystemFilters::attachLock());
      existing->realDevice_ = real;
      existing->volumeSerial_ = vpb->SerialNumber;
      existing->attributesKnown_ = 0;
    }
    if (existing->alias_ == nullptr) existing->MakeAlias();
    prepared->DestroyFilter();
    return;
  }
  prepared->realDevice_ = real;
  prepared->volumeSerial_ = vpb->SerialNumber;
  if (!NT_SUCCESS(prepared->Attach(volume, true))) prepared->DestroyFilter();
}

NTSTATUS VolumeFilter::PreLoad(PIRP irp) {
  PDEVICE_OBJECT lower = lower_;
  Detach();
  return ForwardWithHook(this, lower, irp, nullptr);
}

void VolumeFilter::PostLoad(PIRP irp) {
  if (!NT_SUCCESS(irp->IoStatus.Status)) {
    Attach(lower_, false);
  } else {
    FileSystemFilters::Recycle(this);
  }
}

NTSTATUS VolumeFilter::MakeAlias() {
  DriverString text(u"\\Device\\mirrorvol");
  AppendDecimal(text, static_cast<ULONG>(FileSystemFilters::NextAliasNumber()));
  UNICODE_STRING name{};
  NTSTATUS status = DriverCopyString(text.view(), &name);
  if (!NT_SUCCESS(status)) return status;
  BypassAlias* alias = nullptr;
  const DEVICE_TYPE type = lower_ != nullptr ? lower_->DeviceType : device()->DeviceType;
  status = KvDevice::Create(driver(), &name, type, &alias, this, name);
  if (!NT_SUCCESS(status)) {
    DriverFreeString(&name);
    return status;
  }
  alias_ = alias;
  FileSystemFilters::AddAlias(alias);
  if (attached()) {
    ExclusiveResourceLock guard(FileSystemFilters::attachLock());
    alias->device()->Flags |= device()->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    alias->device()->StackSize = device()->StackSize;
    alias->device()->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  return STATUS_SUCCESS;
}

NTSTATUS VolumeFilter::Attach(PDEVICE_OBJECT target, bool makeAlias) {
  if (attached()) return STATUS_SUCCESS;
  if (makeAlias && alias_ == nullptr) {
    lower_ = target;  // the alias takes the target's type
    const NTSTATUS status = MakeAlias();
    if (!NT_SUCCESS(status)) return status;
  }
  ExclusiveResourceLock guard(FileSystemFilters::attachLock());
  PDEVICE_OBJECT attachedTo = nullptr;
  NTSTATUS status;
  if (OptionalRoutines().attachDeviceToDeviceStackSafe != nullptr) {
    status = OptionalRoutines().attachDeviceToDeviceStackSafe(device(), target, &attachedTo);
  } else {
    attachedTo = IoAttachDeviceToDeviceStack(device(), target);
    status = attachedTo != nullptr ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
  }
  if (!NT_SUCCESS(status)) return status;
  lower_ = attachedTo;
  const ULONG ioFlags = attachedTo->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
  device()->Flags |= ioFlags;
  device()->Flags &= ~DO_DEVICE_INITIALIZING;
  if (alias_ != nullptr) {
    alias_->device()->Flags |= ioFlags;
    alias_->device()->StackSize = device()->StackSize;
    alias_->device()->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  attached_ = 1;
  return STATUS_SUCCESS;
}

void VolumeFilter::Detach() {
  ExclusiveResourceLock guard(FileSystemFilters::attachLock());
  if (!attached()) return;
  IoDetachDevice(lower_);
  device()->Flags |= DO_DEVICE_INITIALIZING;
  attached_ = 0;
}

void VolumeFilter::DestroyFilter() {
  Detach();
  if (alias_ != nullptr) {
    FileSystemFilters::RemoveAlias(alias_);
    alias_->Destroy();
    alias_ = nullptr;
  }
  Destroy();
}

// --- BypassAlias ----------------------------------------------------------------------------

BypassAlias::BypassAlias(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, VolumeFilter* owner,
                         UNICODE_STRING name)
    : KvDevice(kMagic, device, driver), owner_(owner), name_(name) {}

BypassAlias::~BypassAlias() { DriverFreeString(&name_); }

NTSTATUS BypassAlias::Dispatch(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const UCHAR major = stack->MajorFunction;
  if (major != IRP_MJ_CREATE && major != IRP_MJ_CLOSE && major != IRP_MJ_CLEANUP) {
    return CompleteWith(irp, STATUS_ACCESS_DENIED);
  }
  PFILE_OBJECT file = stack->FileObject;
  if (major == IRP_MJ_CREATE && file != nullptr && EndsWithMarker(file->FileName)) {
    file->FileName.Length =
        static_cast<USHORT>(file->FileName.Length - kAliasMarker.size() * sizeof(WCHAR));
    stack->Flags |= SL_OPEN_TARGET_DIRECTORY;
  }
  PDEVICE_OBJECT real = owner_->realDevice();
  if (file != nullptr && file->Vpb == nullptr && real != nullptr) file->Vpb = real->Vpb;
  if (major == IRP_MJ_CLEANUP) return ForwardWithHook(this, owner_->lower(), irp, nullptr);
  return PassThrough(owner_->lower(), irp);
}

NTSTATUS BypassAlias::Completion(PIRP irp, PVOID) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (file != nullptr) file->Vpb = nullptr;
  return STATUS_SUCCESS;
}

// --- FileSystemFilters -----------------------------------------------------------------------

namespace {

struct FilterState {
  PDRIVER_OBJECT driver = nullptr;
  ERESOURCE attachLock;
  ERESOURCE aliasLock;
  BypassAlias* aliases = nullptr;
  ULONG aliasCount = 0;
  VolumeFilter* recycle = nullptr;
  KSPIN_LOCK recycleLock = 0;
  LONG aliasCounter = 0;
  UCHAR redirectorAttached = 0;
};

FilterState* state = nullptr;

bool IsRecognizer(PDEVICE_OBJECT device) {
  const std::u16string_view name = View(device->DriverObject->DriverName);
  constexpr std::u16string_view kRecognizer = u"\\FileSystem\\Fs_Rec";
  if (name.size() != kRecognizer.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (RtlUpcaseUnicodeChar(name[i]) != RtlUpcaseUnicodeChar(kRecognizer[i])) return false;
  }
  return true;
}

}  // namespace

void FileSystemFilters::Initialize(PDRIVER_OBJECT driver) {
  state = new (DriverAllocate(sizeof(FilterState))) FilterState();
  state->driver = driver;
  ExInitializeResourceLite(&state->attachLock);
  ExInitializeResourceLite(&state->aliasLock);
  KeInitializeSpinLock(&state->recycleLock);
}

void FileSystemFilters::Release() {
  if (state == nullptr) return;
  ExDeleteResourceLite(&state->attachLock);
  ExDeleteResourceLite(&state->aliasLock);
  state->~FilterState();
  DriverFree(state);
  state = nullptr;
}

void FileSystemFilters::DestroyAll() {
  for (;;) {
    VolumeFilter* found = nullptr;
    for (PDEVICE_OBJECT device = state->driver->DeviceObject; device != nullptr;
         device = device->NextDevice) {
      found = static_cast<VolumeFilter*>(KvDevice::FromDevice(device, VolumeFilter::kMagic));
      if (found != nullptr) break;
    }
    if (found == nullptr) return;
    {
      SpinLockGuard guard(&state->recycleLock);
      for (VolumeFilter** link = &state->recycle; *link != nullptr;
           link = &(*link)->nextRecycled) {
        if (*link == found) {
          *link = found->nextRecycled;
          break;
        }
      }
    }
    found->DestroyFilter();
  }
}

PDRIVER_OBJECT FileSystemFilters::driver() { return state->driver; }
ERESOURCE* FileSystemFilters::attachLock() { return &state->attachLock; }
ERESOURCE* FileSystemFilters::aliasLock() { return &state->aliasLock; }
BypassAlias* FileSystemFilters::firstAlias() { return state->aliases; }
ULONG FileSystemFilters::aliasCount() { return state->aliasCount; }
LONG FileSystemFilters::NextAliasNumber() {
  return InterlockedIncrement(&state->aliasCounter) - 1;
}

VolumeFilter* FileSystemFilters::FilterAbove(PDEVICE_OBJECT device) {
  SharedResourceLock guard(&state->attachLock);
  for (PDEVICE_OBJECT above = device->AttachedDevice; above != nullptr;
       above = above->AttachedDevice) {
    if (above->DriverObject != state->driver) continue;
    KvDevice* object = KvDevice::FromDevice(above, VolumeFilter::kMagic);
    if (object != nullptr) return static_cast<VolumeFilter*>(object);
  }
  return nullptr;
}

void FileSystemFilters::FileSystemChanged(PDEVICE_OBJECT device, BOOLEAN active) {
  const DEVICE_TYPE type = device->DeviceType;
  if (type != FILE_DEVICE_CD_ROM_FILE_SYSTEM && type != FILE_DEVICE_DISK_FILE_SYSTEM &&
      type != FILE_DEVICE_NETWORK_FILE_SYSTEM) {
    return;
  }
  if (!active) {
    if (VolumeFilter* filter = FilterAbove(device)) filter->DestroyFilter();
    return;
  }
  if (FilterAbove(device) != nullptr || IsRecognizer(device)) return;
  VolumeFilter* filter = nullptr;
  if (!NT_SUCCESS(VolumeFilter::Make(state->driver, type, &filter))) return;
  // A redirector serves all its shares through this one device: it gets the alias.
  const bool network = type == FILE_DEVICE_NETWORK_FILE_SYSTEM;
  if (!NT_SUCCESS(filter->Attach(device, network))) {
    filter->DestroyFilter();
    return;
  }
  if (network) state->redirectorAttached = 1;
}

bool FileSystemFilters::ProbeRedirector() {
  if (state->redirectorAttached != 0) return true;
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\LanmanRedirector");
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT top = nullptr;
  if (!NT_SUCCESS(IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &top))) {
    return false;
  }
  PDEVICE_OBJECT redirector = file->DeviceObject;
  FileSystemChanged(redirector, TRUE);
  ObDereferenceObject(file);
  return state->redirectorAttached != 0;
}

void FileSystemFilters::Recycle(VolumeFilter* filter) {
  SpinLockGuard guard(&state->recycleLock);
  VolumeFilter** link = &state->recycle;
  while (*link != nullptr) link = &(*link)->nextRecycled;
  filter->nextRecycled = nullptr;
  *link = filter;
}

VolumeFilter* FileSystemFilters::TakeRecycled() {
  SpinLockGuard guard(&state->recycleLock);
  VolumeFilter* filter = state->recycle;
  if (filter == nullptr || filter->device()->ReferenceCount != 0) return nullptr;
  state->recycle = filter->nextRecycled;
  filter->nextRecycled = nullptr;
  return filter;
}

void FileSystemFilters::AddAlias(BypassAlias* alias) {
  ExclusiveResourceLock guard(&state->aliasLock);
  BypassAlias** link = &state->aliases;
  while (*link != nullptr) link = &(*link)->nextAlias;
  alias->nextAlias = nullptr;
  *link = alias;
  ++state->aliasCount;
}

void FileSystemFilters::RemoveAlias(BypassAlias* alias) {
  {
    ExclusiveResourceLock guard(&state->aliasLock);
    for (BypassAlias** link = &state->aliases; *link != nullptr; link = &(*link)->nextAlias) {
      if (*link == alias) {
        *link = alias->nextAlias;
        --state->aliasCount;
        break;
      }
    }
  }
  if (KvDriver* driver = KvDriver::Instance()) {
    ExclusiveResourceLock guard(driver->table().lock());
    driver->table().ForgetAlias(alias->device());
  }
}
