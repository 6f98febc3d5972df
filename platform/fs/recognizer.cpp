// The file-system recognizer: stands in for the FAT file system until a FAT volume needs it.
#include "platform/fs/file_systems.h"
#include "platform/fs/file_systems_internal.h"

namespace fs::internal {
namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS RecognizerDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction != IRP_MJ_FILE_SYSTEM_CONTROL) {
    return Complete(irp, stack->MajorFunction == IRP_MJ_CREATE ||
                                 stack->MajorFunction == IRP_MJ_CLEANUP ||
                                 stack->MajorFunction == IRP_MJ_CLOSE
                             ? STATUS_SUCCESS
                             : STATUS_INVALID_DEVICE_REQUEST);
  }
  if (stack->MinorFunction == IRP_MN_MOUNT_VOLUME) {
    UCHAR sector[kSectorSize];
    const NTSTATUS status = ReadBootSector(stack->Parameters.MountVolume.DeviceObject, sector);
    if (!NT_SUCCESS(status)) return Complete(irp, status);
    Format format;
    const bool fat = FormatOfBootSector(sector, &format) && format != Format::kNtfs;
    return Complete(irp, fat ? STATUS_FS_DRIVER_REQUIRED : STATUS_UNRECOGNIZED_VOLUME);
  }
  if (stack->MinorFunction == IRP_MN_LOAD_FILE_SYSTEM) {
    NTSTATUS status = nt::DriverControl::Load(kFatService);
    if (status == STATUS_IMAGE_ALREADY_LOADED) status = STATUS_SUCCESS;
    // The loaded file system recognizes its volumes itself from now on.
    if (NT_SUCCESS(status)) IoUnregisterFileSystem(device);
    return Complete(irp, status);
  }
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

void RecognizerUnload(PDRIVER_OBJECT driver) {
  while (driver->DeviceObject != nullptr) {
    IoUnregisterFileSystem(driver->DeviceObject);
    IoDeleteDevice(driver->DeviceObject);
  }
}

}  // namespace

NTSTATUS RecognizerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& entry : driver->MajorFunction) entry = RecognizerDispatch;
  driver->DriverUnload = RecognizerUnload;
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\FileSystem\\FatDiskRecognizer");
  PDEVICE_OBJECT device;
  const NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_DISK_FILE_SYSTEM, 0,
                                         FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  IoRegisterFileSystem(device);
  return STATUS_SUCCESS;
}

}  // namespace fs::internal
