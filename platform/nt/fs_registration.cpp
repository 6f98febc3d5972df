#include "platform/nt/fs_registration.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/nt/device.h"
#include "platform/nt/io_internal.h"
#include "platform/nt/driver.h"
#include "platform/nt/irql.h"
#include "platform/nt/kernel_internal.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_namespace.h"

namespace {

struct Notification {
  PDRIVER_OBJECT driver;  // referenced
  PDRIVER_FS_NOTIFICATION routine;
};

// Guards both lists and serializes the notifications; recursive so that a notification may
// register a file system or a routine itself.
std::recursive_mutex registrations_lock;
std::vector<PDEVICE_OBJECT> file_systems;  // referenced, in the order they registered
std::vector<Notification> notifications;

void RequirePassive(PVOID detail) {
  nt::kernel_internal::RequireKernel("file-system registration");
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(detail), KeGetCurrentIrql(),
                 0, 0);
  }
}

bool IsRaw(PDEVICE_OBJECT device) {
  const UNICODE_STRING& name = device->DriverObject->DriverName;
  return nt::FoldName(std::u16string_view(name.Buffer, name.Length / sizeof(WCHAR))) ==
         u"\\FILESYSTEM\\RAW";
}

DEVICE_TYPE FileSystemTypeFor(DEVICE_TYPE storage_type) {
  switch (storage_type) {
    case FILE_DEVICE_CD_ROM:
      return FILE_DEVICE_CD_ROM_FILE_SYSTEM;
    case FILE_DEVICE_TAPE:
      return FILE_DEVICE_TAPE_FILE_SYSTEM;
    default:
      return FILE_DEVICE_DISK_FILE_SYSTEM;
  }
}

// Sends a mount or load request to the top of `file_system`'s stack and waits for it.
NTSTATUS SendMountRequest(PDEVICE_OBJECT file_system, UCHAR minor, PDEVICE_OBJECT storage) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file_system);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) {
    ObfDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io_status{};
  nt::SetRequestor(irp, KernelMode, &io_status, &event);
  irp->Flags = IRP_MOUNT_COMPLETION | IRP_SYNCHRONOUS_PAGING_IO;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_FILE_SYSTEM_CONTROL;
  stack->MinorFunction = minor;
  stack->Parameters.MountVolume.Vpb = minor == IRP_MN_MOUNT_VOLUME ? storage->Vpb : nullptr;
  stack->Parameters.MountVolume.DeviceObject = minor == IRP_MN_MOUNT_VOLUME ? storage : nullptr;
  NTSTATUS status = IoCallDriver(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = io_status.Status;
  }
  ObfDereferenceObject(top);
  return status;
}

void Notify(PDEVICE_OBJECT device, BOOLEAN active) {
  const std::vector<Notification> routines = notifications;
  for (const Notification& notification : routines) notification.routine(device, active);
}

}  // namespace

void IoRegisterFileSystem(PDEVICE_OBJECT device) {
  RequirePassive(device);
  std::lock_guard guard(registrations_lock);
  ObfReferenceObject(device);
  file_systems.push_back(device);
  Notify(device, TRUE);
}

void IoUnregisterFileSystem(PDEVICE_OBJECT device) {
  RequirePassive(device);
  std::lock_guard guard(registrations_lock);
  auto it = std::find(file_systems.begin(), file_systems.end(), device);
  if (it == file_systems.end()) return;
  file_systems.erase(it);
  Notify(device, FALSE);
  ObfDereferenceObject(device);
}

NTSTATUS IoRegisterFsRegistrationChange(PDRIVER_OBJECT driver, PDRIVER_FS_NOTIFICATION routine) {
  RequirePassive(driver);
  std::lock_guard guard(registrations_lock);
  if (!notifications.empty() && notifications.back().driver == driver &&
      notifications.back().routine == routine) {
    return STATUS_DEVICE_ALREADY_ATTACHED;
  }
  ObfReferenceObject(driver);
  notifications.push_back(Notification{driver, routine});
  const std::vector<PDEVICE_OBJECT> active = file_systems;
  for (PDEVICE_OBJECT device : active) {
    if (!IsRaw(device)) routine(device, TRUE);
  }
  return STATUS_SUCCESS;
}

void IoUnregisterFsRegistrationChange(PDRIVER_OBJECT driver, PDRIVER_FS_NOTIFICATION routine) {
  RequirePassive(driver);
  std::lock_guard guard(registrations_lock);
  auto it = std::find_if(notifications.begin(), notifications.end(),
                         [&](const Notification& n) {
                           return n.driver == driver && n.routine == routine;
                         });
  if (it == notifications.end()) return;
  notifications.erase(it);
  ObfDereferenceObject(driver);
}

namespace nt {

NTSTATUS MountVolume(PDEVICE_OBJECT storage) {
  std::lock_guard guard(registrations_lock);
  PVPB vpb = storage->Vpb;
  if ((vpb->Flags & VPB_MOUNTED) != 0) return STATUS_SUCCESS;
  const DEVICE_TYPE wanted = FileSystemTypeFor(storage->DeviceType);
  // Each load changes the list; a recognizer that keeps asking for loads stops after a few.
  for (int round = 0; round < 4; ++round) {
    std::vector<PDEVICE_OBJECT> candidates;
    for (auto it = file_systems.rbegin(); it != file_systems.rend(); ++it) {
      if ((*it)->DeviceType == wanted) {
        ObfReferenceObject(*it);
        candidates.push_back(*it);
      }
    }
    bool loaded = false;
    NTSTATUS status = STATUS_UNRECOGNIZED_VOLUME;
    for (PDEVICE_OBJECT file_system : candidates) {
      // Only "not mine" lets the next file system try; the device's own error (not ready, no
      // media) ends the mount with that error.
      if (loaded || status != STATUS_UNRECOGNIZED_VOLUME) break;
      status = SendMountRequest(file_system, IRP_MN_MOUNT_VOLUME, storage);
      if (status == STATUS_FS_DRIVER_REQUIRED) {
        loaded = NT_SUCCESS(SendMountRequest(file_system, IRP_MN_LOAD_FILE_SYSTEM, storage));
        status = STATUS_UNRECOGNIZED_VOLUME;
      }
    }
    for (PDEVICE_OBJECT file_system : candidates) ObfDereferenceObject(file_system);
    if (NT_SUCCESS(status) && vpb->DeviceObject != nullptr) {
      vpb->Flags |= VPB_MOUNTED;
      return STATUS_SUCCESS;
    }
    if (status != STATUS_UNRECOGNIZED_VOLUME) return status;
    if (!loaded) return STATUS_UNRECOGNIZED_VOLUME;
  }
  return STATUS_UNRECOGNIZED_VOLUME;
}

void ForgetFileSystemRegistrations() {
  std::vector<PDEVICE_OBJECT> devices;
  std::vector<Notification> routines;
  {
    std::lock_guard guard(registrations_lock);
    devices.swap(file_systems);
    routines.swap(notifications);
  }
  for (PDEVICE_OBJECT device : devices) ObfDereferenceObject(device);
  for (const Notification& notification : routines) ObfDereferenceObject(notification.driver);
}

}  // namespace nt
