#include "platform/nt/device.h"

#include <atomic>
#include <mutex>

#include "platform/nt/driver.h"
#include "platform/nt/fast_io.h"
#include "platform/nt/file_object.h"
#include "platform/nt/io_internal.h"
#include "platform/nt/irql.h"
#include "platform/nt/kernel_internal.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/pool.h"
#include "platform/nt/shutdown.h"
#include "platform/nt/timer_internal.h"

namespace {

constexpr ULONG kVpbTag = PoolTag('V', 'p', 'b', ' ');

constexpr SIZE_T RoundUp16(SIZE_T bytes) { return (bytes + 15) & ~static_cast<SIZE_T>(15); }

// Guards the attachment links (AttachedDevice, AttachedTo) and the drivers' device lists.
std::mutex database_lock;

void DeleteDevice(PVOID object) {
  auto* device = static_cast<PDEVICE_OBJECT>(object);
  if (device->Vpb != nullptr) ExFreePoolWithTag(device->Vpb, kVpbTag);
  ObfDereferenceObject(device->DriverObject);
}

OBJECT_TYPE device_type{u"Device",
                        PoolTag('D', 'e', 'v', 'i'),
                        {STANDARD_RIGHTS_READ | 0x89, STANDARD_RIGHTS_WRITE | 0x116,
                         STANDARD_RIGHTS_EXECUTE | 0xA0, STANDARD_RIGHTS_REQUIRED | 0x1FF},
                        DeleteDevice,
                        nullptr,
                        nt::ParseDevice,
                        nullptr,
                        false};
POBJECT_TYPE device_type_pointer = &device_type;

bool HasVolume(DEVICE_TYPE type) {
  return type == FILE_DEVICE_DISK || type == FILE_DEVICE_CD_ROM || type == FILE_DEVICE_TAPE ||
         type == FILE_DEVICE_VIRTUAL_DISK;
}

USHORT SectorSizeOf(DEVICE_TYPE type) {
  if (type == FILE_DEVICE_CD_ROM) return 2048;
  if (type == FILE_DEVICE_DISK || type == FILE_DEVICE_VIRTUAL_DISK) return 512;
  return 0;
}

void RequirePassive(PVOID detail) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(detail), KeGetCurrentIrql(),
                 0, 0);
  }
}

// REQUIRES: database_lock held.
PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

// REQUIRES: database_lock held.
PDEVICE_OBJECT Attach(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
  PDEVICE_OBJECT top = TopOf(target);
  const ULONG going = DOE_DELETE_PENDING | DOE_UNLOAD_PENDING;
  if ((std::atomic_ref<ULONG>(top->DeviceObjectExtension->ExtensionFlags).load() & going) != 0) {
    return nullptr;
  }
  top->AttachedDevice = source;
  source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  source->AlignmentRequirement = top->AlignmentRequirement;
  source->SectorSize = top->SectorSize;
  source->DeviceObjectExtension->AttachedTo = top;
  return top;
}

// The device at the bottom of the stack requests on `file` go to.
PDEVICE_OBJECT BaseDeviceOf(PFILE_OBJECT file) {
  PDEVICE_OBJECT device = file->DeviceObject;
  if (file->Vpb != nullptr && file->Vpb->DeviceObject != nullptr) return file->Vpb->DeviceObject;
  if ((file->Flags & FO_DIRECT_DEVICE_OPEN) == 0 && device->Vpb != nullptr &&
      device->Vpb->DeviceObject != nullptr) {
    return device->Vpb->DeviceObject;
  }
  return device;
}

}  // namespace

POBJECT_TYPE* IoDeviceObjectType = &device_type_pointer;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extension_size, PUNICODE_STRING name,
                        DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* device_out) {
  nt::kernel_internal::RequireKernel("IoCreateDevice");
  RequirePassive(driver);
  const SIZE_T extension_offset = RoundUp16(sizeof(DEVICE_OBJECT));
  const SIZE_T devobj_offset = extension_offset + RoundUp16(extension_size);
  PVOID body = nt::CreateObject(&device_type, devobj_offset + sizeof(DEVOBJ_EXTENSION));
  if (body == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto* device = static_cast<PDEVICE_OBJECT>(body);
  auto* base = static_cast<UCHAR*>(body);
  device->Type = IO_TYPE_DEVICE;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extension_size);
  device->DriverObject = driver;
  ObfReferenceObject(driver);
  device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0) |
                  (name != nullptr ? DO_DEVICE_HAS_NAME : 0);
  device->Characteristics = characteristics;
  device->DeviceExtension = extension_size != 0 ? base + extension_offset : nullptr;
  device->DeviceType = type;
  device->StackSize = 1;
  device->SectorSize = SectorSizeOf(type);
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
  auto* extension = reinterpret_cast<DEVOBJ_EXTENSION*>(base + devobj_offset);
  extension->Type = IO_TYPE_DEVICE_OBJECT_EXTENSION;
  extension->Size = sizeof(DEVOBJ_EXTENSION);
  extension->DeviceObject = device;
  device->DeviceObjectExtension = extension;
  if (HasVolume(type)) {
    auto* vpb = static_cast<PVPB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(VPB), kVpbTag));
    if (vpb == nullptr) {
      ObfDereferenceObject(device);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(vpb, 0, sizeof(VPB));
    vpb->Type = IO_TYPE_VPB;
    vpb->Size = sizeof(VPB);
    vpb->RealDevice = device;
    device->Vpb = vpb;
  }
  if (name != nullptr) {
    PVOID existing = nullptr;
    const NTSTATUS status = nt::InsertObjectName(
        device, std::u16string_view(name->Buffer, name->Length / sizeof(WCHAR)), nullptr,
        OBJ_PERMANENT, &existing);
    if (!NT_SUCCESS(status)) {
      ObfDereferenceObject(device);
      return status;
    }
  }
  {
    std::lock_guard guard(database_lock);
    device->NextDevice = driver->DeviceObject;
    driver->DeviceObject = device;
  }
  *device_out = device;
  return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT device) {
  RequirePassive(device);
  // A driver still attached above hears that its lower device goes (fast I/O DetachDevice).
  PDEVICE_OBJECT above = nullptr;
  {
    std::lock_guard guard(database_lock);
    above = device->AttachedDevice;
  }
  if (above != nullptr) {
    const FAST_IO_DISPATCH* table = above->DriverObject->FastIoDispatch;
    if (FastIoEntryPresent(table, &FAST_IO_DISPATCH::FastIoDetachDevice)) {
      table->FastIoDetachDevice(above, device);
    }
  }
  if ((device->Flags & DO_SHUTDOWN_REGISTERED) != 0) IoUnregisterShutdownNotification(device);
  nt::RemoveDeviceTimer(device);
  nt::RemoveObjectName(device);
  {
    std::lock_guard guard(database_lock);
    std::atomic_ref<ULONG>(device->DeviceObjectExtension->ExtensionFlags)
        .fetch_or(DOE_DELETE_PENDING);
    // A device deleted while still attached leaves its lower device's chain.
    PDEVICE_OBJECT below = device->DeviceObjectExtension->AttachedTo;
    if (below != nullptr && below->AttachedDevice == device) below->AttachedDevice = nullptr;
    device->DeviceObjectExtension->AttachedTo = nullptr;
    for (PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject; *link != nullptr;
         link = &(*link)->NextDevice) {
      if (*link == device) {
        *link = device->NextDevice;
        break;
      }
    }
    device->NextDevice = nullptr;
  }
  ObfDereferenceObject(device);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
  std::lock_guard guard(database_lock);
  return Attach(source, target);
}

NTSTATUS IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT source, PDEVICE_OBJECT target,
                                         PDEVICE_OBJECT* attached_to) {
  std::lock_guard guard(database_lock);
  *attached_to = Attach(source, target);
  return *attached_to != nullptr ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

void IoDetachDevice(PDEVICE_OBJECT target) {
  std::lock_guard guard(database_lock);
  PDEVICE_OBJECT source = target->AttachedDevice;
  if (source == nullptr) return;
  source->DeviceObjectExtension->AttachedTo = nullptr;
  target->AttachedDevice = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT device) {
  std::lock_guard guard(database_lock);
  return TopOf(device);
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT device) {
  std::lock_guard guard(database_lock);
  PDEVICE_OBJECT top = TopOf(device);
  ObfReferenceObject(top);
  return top;
}

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT file) {
  return IoGetAttachedDevice(BaseDeviceOf(file));
}

namespace nt {

void FinishInitializingDevices(PDRIVER_OBJECT driver) {
  std::lock_guard guard(database_lock);
  for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr;
       device = device->NextDevice) {
    std::atomic_ref<ULONG>(device->Flags).fetch_and(~DO_DEVICE_INITIALIZING);
  }
}

PDEVICE_OBJECT RelatedDeviceReference(PFILE_OBJECT file) {
  return IoGetAttachedDeviceReference(BaseDeviceOf(file));
}

}  // namespace nt
