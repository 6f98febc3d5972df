// The storage driver and the disk file systems.
#include <cstring>

#include "platform/fs/file_systems_internal.h"
#include "platform/fs/volume_requests.h"

namespace fs::internal {
namespace {

// Extension of a disk file system's devices: its control device, or a mounted volume.
struct FsDevice {
  bool control;
  bool fat;  // the file system serves FAT volumes (else NTFS)
  Volume* volume;
};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Storage devices answer sector reads; files left on them by a dismount are only cleaned up.
NTSTATUS DiskDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Disk* disk = DiskOfStorage(device);
  if (disk == nullptr) return Complete(irp, STATUS_NO_SUCH_DEVICE);
  PFILE_OBJECT file = stack->FileObject;
  if (file != nullptr && file->FsContext2 != nullptr) {
    if (stack->MajorFunction == IRP_MJ_CLEANUP || stack->MajorFunction == IRP_MJ_CLOSE) {
      return ServeVolumeRequest(VolumeView{disk->volume.get(), u""}, irp);
    }
    return Complete(irp, STATUS_VOLUME_DISMOUNTED);
  }
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_READ: {
      const ULONG length = stack->Parameters.Read.Length;
      const LONGLONG offset = stack->Parameters.Read.ByteOffset.QuadPart;
      if (offset < 0 || offset % kSectorSize != 0 || length % kSectorSize != 0 ||
          irp->UserBuffer == nullptr) {
        return Complete(irp, STATUS_INVALID_PARAMETER);
      }
      if (disk->volume->gone()) return Complete(irp, STATUS_DEVICE_NOT_READY);
      auto* out = static_cast<UCHAR*>(irp->UserBuffer);
      std::memset(out, 0, length);
      if (offset == 0 && length != 0) {
        const std::vector<UCHAR> boot = disk->volume->BootSector();
        std::memcpy(out, boot.data(), kSectorSize);
      }
      return Complete(irp, STATUS_SUCCESS, length);
    }
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS Mount(PDEVICE_OBJECT control, PIRP irp, PIO_STACK_LOCATION stack) {
  const auto* self = static_cast<const FsDevice*>(control->DeviceExtension);
  PVPB vpb = stack->Parameters.MountVolume.Vpb;
  PDEVICE_OBJECT storage = stack->Parameters.MountVolume.DeviceObject;
  UCHAR sector[kSectorSize];
  NTSTATUS status = ReadBootSector(storage, sector);
  if (!NT_SUCCESS(status)) return Complete(irp, status);
  Format format;
  if (!FormatOfBootSector(sector, &format) || (format != Format::kNtfs) != self->fat) {
    return Complete(irp, STATUS_UNRECOGNIZED_VOLUME);
  }
  Disk* disk = DiskOfStorage(storage);
  if (disk == nullptr) return Complete(irp, STATUS_UNRECOGNIZED_VOLUME);
  // A remount of a volume this file system knows takes its volume device again.
  PDEVICE_OBJECT volume_device = disk->volume_device;
  if (volume_device == nullptr) {
    status = IoCreateDevice(control->DriverObject, sizeof(FsDevice), nullptr,
                            FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &volume_device);
    if (!NT_SUCCESS(status)) return Complete(irp, status);
    *static_cast<FsDevice*>(volume_device->DeviceExtension) =
        FsDevice{false, self->fat, disk->volume.get()};
    volume_device->StackSize = static_cast<CCHAR>(storage->StackSize + 1);
    volume_device->Flags &= ~DO_DEVICE_INITIALIZING;
    disk->volume_device = volume_device;
  }
  ULONG serial;
  std::memcpy(&serial, sector + SerialOffsetOf(format), sizeof(serial));
  vpb->SerialNumber = serial;
  const std::u16string label = disk->volume->label();
  const size_t characters = std::min<size_t>(label.size(), MAXIMUM_VOLUME_LABEL_LENGTH / 2);
  std::memcpy(vpb->VolumeLabel, label.data(), characters * sizeof(WCHAR));
  vpb->VolumeLabelLength = static_cast<USHORT>(characters * sizeof(WCHAR));
  vpb->DeviceObject = volume_device;
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS FsDispatch(PDEVICE_OBJECT device, PIRP irp) {
  const auto* self = static_cast<const FsDevice*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (!self->control) return ServeVolumeRequest(VolumeView{self->volume, u""}, irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_FILE_SYSTEM_CONTROL:
      if (stack->MinorFunction == IRP_MN_MOUNT_VOLUME) return Mount(device, irp, stack);
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

// Fast I/O: cached reads and writes of a mounted volume's files, without an IRP.
BOOLEAN FastTransferOn(PDEVICE_OBJECT device, PFILE_OBJECT file, bool write,
                       PLARGE_INTEGER offset, ULONG length, BOOLEAN wait, PVOID buffer,
                       PIO_STATUS_BLOCK status) {
  const auto* self = static_cast<const FsDevice*>(device->DeviceExtension);
  if (self->control || !wait) return FALSE;
  return FastTransfer(*self->volume, file, write, offset, length, buffer, status);
}

BOOLEAN FastIoRead(PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length, BOOLEAN wait,
                   ULONG /*lock_key*/, PVOID buffer, PIO_STATUS_BLOCK status,
                   PDEVICE_OBJECT device) {
  return FastTransferOn(device, file, false, offset, length, wait, buffer, status);
}

BOOLEAN FastIoWrite(PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length, BOOLEAN wait,
                    ULONG /*lock_key*/, PVOID buffer, PIO_STATUS_BLOCK status,
                    PDEVICE_OBJECT device) {
  return FastTransferOn(device, file, true, offset, length, wait, buffer, status);
}

FAST_IO_DISPATCH MakeFastIo() {
  FAST_IO_DISPATCH table{};
  table.SizeOfFastIoDispatch = sizeof(FAST_IO_DISPATCH);
  table.FastIoRead = FastIoRead;
  table.FastIoWrite = FastIoWrite;
  return table;
}

FAST_IO_DISPATCH fast_io = MakeFastIo();

void FsUnload(PDRIVER_OBJECT driver) {
  for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr;) {
    PDEVICE_OBJECT next = device->NextDevice;
    if (static_cast<FsDevice*>(device->DeviceExtension)->control) {
      IoUnregisterFileSystem(device);
    } else {
      std::lock_guard guard(TheState().lock);
      for (auto& disk : TheState().disks) {
        if (disk->volume_device == device) disk->volume_device = nullptr;
      }
    }
    IoDeleteDevice(device);
    device = next;
  }
}

NTSTATUS StartFileSystem(PDRIVER_OBJECT driver, const char16_t* device_name, bool fat) {
  for (auto& entry : driver->MajorFunction) entry = FsDispatch;
  driver->DriverUnload = FsUnload;
  driver->FastIoDispatch = &fast_io;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, device_name);
  PDEVICE_OBJECT control;
  const NTSTATUS status = IoCreateDevice(driver, sizeof(FsDevice), &name,
                                         FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &control);
  if (!NT_SUCCESS(status)) return status;
  *static_cast<FsDevice*>(control->DeviceExtension) = FsDevice{true, fat, nullptr};
  control->Flags &= ~DO_DEVICE_INITIALIZING;
  IoRegisterFileSystem(control);
  return STATUS_SUCCESS;
}

void DiskUnload(PDRIVER_OBJECT driver) {
  while (driver->DeviceObject != nullptr) IoDeleteDevice(driver->DeviceObject);
}

}  // namespace

NTSTATUS ReadBootSector(PDEVICE_OBJECT storage, UCHAR* sector) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io_status{};
  LARGE_INTEGER offset{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, storage, sector, kSectorSize, &offset,
                                          &event, &io_status);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = IoCallDriver(storage, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = io_status.Status;
  }
  return status;
}

bool FormatOfBootSector(const UCHAR* sector, Format* format) {
  if (std::memcmp(sector + 3, "NTFS    ", 8) == 0) {
    *format = Format::kNtfs;
  } else if (std::memcmp(sector + 82, "FAT32   ", 8) == 0) {
    *format = Format::kFat32;
  } else if (std::memcmp(sector + 54, "FAT16   ", 8) == 0) {
    *format = Format::kFat;
  } else {
    return false;
  }
  return true;
}

NTSTATUS DiskEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& entry : driver->MajorFunction) entry = DiskDispatch;
  driver->DriverUnload = DiskUnload;
  return STATUS_SUCCESS;
}

NTSTATUS NtfsEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  return StartFileSystem(driver, u"\\Ntfs", false);
}

NTSTATUS FatEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  return StartFileSystem(driver, u"\\Fat", true);
}

}  // namespace fs::internal
