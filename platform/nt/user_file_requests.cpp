#include "platform/nt/user_file_requests.h"

#include "platform/nt/access_rights.h"
#include "platform/nt/device.h"
#include "platform/nt/device_control.h"
#include "platform/nt/dispatcher.h"
#include "platform/nt/event.h"
#include "platform/nt/file_object.h"
#include "platform/nt/file_requests.h"
#include "platform/nt/handles.h"
#include "platform/nt/io_internal.h"
#include "platform/nt/irp.h"
#include "platform/nt/ntstatus.h"

namespace {

// STATUS_SUCCESS when `handle` is a file handle of the calling process granted every right of
// `all` and, when `any` is not 0, one of `any`.
NTSTATUS CheckFileHandle(HANDLE handle, ACCESS_MASK all, ACCESS_MASK any) {
  PVOID object;
  OBJECT_HANDLE_INFORMATION information{};
  const NTSTATUS status =
      ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, UserMode, &object, &information);
  if (!NT_SUCCESS(status)) return status;
  ObfDereferenceObject(object);
  if ((information.GrantedAccess & all) != all) return STATUS_ACCESS_DENIED;
  if (any != 0 && (information.GrantedAccess & any) == 0) return STATUS_ACCESS_DENIED;
  return STATUS_SUCCESS;
}

ACCESS_MASK QueryAccessFor(FILE_INFORMATION_CLASS information_class) {
  switch (information_class) {
    case FileBasicInformation:
    case FileNetworkOpenInformation:
      return FILE_READ_ATTRIBUTES;
    default:
      return 0;
  }
}

}  // namespace

NTSTATUS NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine, PVOID apc_context,
                    PIO_STATUS_BLOCK io_status, PVOID buffer, ULONG length,
                    PLARGE_INTEGER offset, PULONG key) {
  const NTSTATUS status = CheckFileHandle(file, FILE_READ_DATA, 0);
  if (!NT_SUCCESS(status)) return status;
  return ZwReadFile(file, event, apc_routine, apc_context, io_status, buffer, length, offset,
                    key);
}

NTSTATUS NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine, PVOID apc_context,
                     PIO_STATUS_BLOCK io_status, PVOID buffer, ULONG length,
                     PLARGE_INTEGER offset, PULONG key) {
  const NTSTATUS status = CheckFileHandle(file, 0, FILE_WRITE_DATA | FILE_APPEND_DATA);
  if (!NT_SUCCESS(status)) return status;
  return ZwWriteFile(file, event, apc_routine, apc_context, io_status, buffer, length, offset,
                     key);
}

NTSTATUS NtQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK io_status, PVOID buffer,
                                ULONG length, FILE_INFORMATION_CLASS information_class) {
  const NTSTATUS status = CheckFileHandle(file, QueryAccessFor(information_class), 0);
  if (!NT_SUCCESS(status)) return status;
  return ZwQueryInformationFile(file, io_status, buffer, length, information_class);
}

NTSTATUS NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io_status, PVOID buffer,
                              ULONG length, FILE_INFORMATION_CLASS information_class) {
  const NTSTATUS status = CheckFileHandle(file, nt::SetInformationAccess(information_class), 0);
  if (!NT_SUCCESS(status)) return status;
  return ZwSetInformationFile(file, io_status, buffer, length, information_class);
}

NTSTATUS NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine,
                              PVOID apc_context, PIO_STATUS_BLOCK io_status, PVOID buffer,
                              ULONG length, FILE_INFORMATION_CLASS information_class,
                              BOOLEAN single_entry, PUNICODE_STRING file_name, BOOLEAN restart) {
  const NTSTATUS status = CheckFileHandle(file, FILE_LIST_DIRECTORY, 0);
  if (!NT_SUCCESS(status)) return status;
  return ZwQueryDirectoryFile(file, event, apc_routine, apc_context, io_status, buffer, length,
                              information_class, single_entry, file_name, restart);
}

NTSTATUS NtQueryVolumeInformationFile(HANDLE file, PIO_STATUS_BLOCK io_status, PVOID buffer,
                                      ULONG length, FS_INFORMATION_CLASS information_class) {
  const NTSTATUS status = CheckFileHandle(file, 0, 0);
  if (!NT_SUCCESS(status)) return status;
  return ZwQueryVolumeInformationFile(file, io_status, buffer, length, information_class);
}

NTSTATUS ZwFlushBuffersFile(HANDLE file, PIO_STATUS_BLOCK io_status) {
  if (io_status == nullptr) return STATUS_ACCESS_VIOLATION;
  PVOID object;
  NTSTATUS status =
      ObReferenceObjectByHandle(file, 0, *IoFileObjectType, KernelMode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  auto* file_object = static_cast<PFILE_OBJECT>(object);
  PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file_object);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device, nullptr, 0, nullptr,
                                          &done, &io);
  if (irp == nullptr) {
    ObfDereferenceObject(file_object);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoGetNextIrpStackLocation(irp)->FileObject = file_object;
  status = IoCallDriver(device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = io.Status;
  }
  ObfDereferenceObject(file_object);
  io_status->Status = status;
  io_status->Information = 0;
  return status;
}

NTSTATUS NtFlushBuffersFile(HANDLE file, PIO_STATUS_BLOCK io_status) {
  const NTSTATUS status = CheckFileHandle(file, 0, FILE_WRITE_DATA | FILE_APPEND_DATA);
  if (!NT_SUCCESS(status)) return status;
  return ZwFlushBuffersFile(file, io_status);
}
