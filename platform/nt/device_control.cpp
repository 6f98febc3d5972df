#include "platform/nt/device_control.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/nt/access_rights.h"
#include "platform/nt/device.h"
#include "platform/nt/driver.h"
#include "platform/nt/fast_io.h"
#include "platform/nt/file_io.h"
#include "platform/nt/file_object.h"
#include "platform/nt/handles.h"
#include "platform/nt/io_internal.h"
#include "platform/nt/irql.h"
#include "platform/nt/kernel_internal.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/pool.h"

namespace {

constexpr ULONG kSystemBufferTag = PoolTag('I', 'o', 'S', 'b');

void RequirePassive(PVOID detail) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(detail), KeGetCurrentIrql(),
                 0, 0);
  }
}

// Gives a buffered request its system buffer: max(input, output) bytes starting with the input.
bool SetUpBuffered(PIRP irp, PVOID input, ULONG input_length, PVOID output,
                   ULONG output_length) {
  const ULONG size = std::max(input_length, output_length);
  irp->UserBuffer = output;
  if (size == 0) return true;
  PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, size, kSystemBufferTag);
  if (buffer == nullptr) return false;
  if (input_length != 0) std::memcpy(buffer, input, input_length);
  irp->AssociatedIrp.SystemBuffer = buffer;
  irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
  if (output_length != 0) irp->Flags |= IRP_INPUT_OPERATION;
  nt::TrackingOf(irp)->output_length = output_length;
  return true;
}

// Asks the driver's fast I/O entry for a device control; true when it served the call.
bool TryFastDeviceControl(PDEVICE_OBJECT device, PFILE_OBJECT file, PVOID input,
                          ULONG input_length, PVOID output, ULONG output_length, ULONG code,
                          PIO_STATUS_BLOCK io_status) {
  const FAST_IO_DISPATCH* table = device->DriverObject->FastIoDispatch;
  if (!FastIoEntryPresent(table, &FAST_IO_DISPATCH::FastIoDeviceControl)) return false;
  return table->FastIoDeviceControl(file, TRUE, input, input_length, output, output_length, code,
                                    io_status, device) != FALSE;
}

NTSTATUS ControlFile(UCHAR major, HANDLE handle, HANDLE event_handle, PIO_APC_ROUTINE apc,
                     PVOID apc_context, PIO_STATUS_BLOCK io_status, ULONG code, PVOID input,
                     ULONG input_length, PVOID output, ULONG output_length,
                     KPROCESSOR_MODE mode) {
  nt::kernel_internal::RequireKernel("ZwDeviceIoControlFile");
  RequirePassive(handle);
  if (io_status == nullptr || (input_length != 0 && input == nullptr) ||
      (output_length != 0 && output == nullptr)) {
    return STATUS_ACCESS_VIOLATION;
  }
  if (apc != nullptr || METHOD_FROM_CTL_CODE(code) != METHOD_BUFFERED) {
    return STATUS_NOT_IMPLEMENTED;
  }
  PVOID object;
  OBJECT_HANDLE_INFORMATION information{};
  NTSTATUS status =
      ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, mode, &object, &information);
  if (!NT_SUCCESS(status)) return status;
  auto* file = static_cast<PFILE_OBJECT>(object);
  const ULONG required = (code >> 14) & 3;
  if (mode == UserMode &&
      (((required & FILE_READ_ACCESS) != 0 && (information.GrantedAccess & FILE_READ_DATA) == 0) ||
       ((required & FILE_WRITE_ACCESS) != 0 &&
        (information.GrantedAccess & FILE_WRITE_DATA) == 0))) {
    ObfDereferenceObject(file);
    return STATUS_ACCESS_DENIED;
  }
  PKEVENT event = nullptr;
  status = nt::ReferenceRequestEvent(event_handle, mode, &event);
  if (!NT_SUCCESS(status)) {
    ObfDereferenceObject(file);
    return status;
  }
  const bool synchronous = (std::atomic_ref<ULONG>(file->Flags).load() & FO_SYNCHRONOUS_IO) != 0;
  // The waiter below still needs the file after the request dropped its reference.
  ObfReferenceObject(file);
  if (synchronous) {
    nt::AcquireFileLock(file);
    KeClearEvent(&file->Event);
  }
  PDEVICE_OBJECT device = nt::RelatedDeviceReference(file);
  PIRP irp = nullptr;
  IO_STATUS_BLOCK fast_status{};
  if (major == IRP_MJ_DEVICE_CONTROL &&
      TryFastDeviceControl(device, file, input, input_length, output, output_length, code,
                           &fast_status)) {
    *io_status = fast_status;
    if (event != nullptr) {
      KeSetEvent(event, 0, FALSE);
      ObfDereferenceObject(event);
    }
    ObfDereferenceObject(file);
    status = fast_status.Status;
  } else if ((irp = IoAllocateIrp(device->StackSize, FALSE)) == nullptr ||
             !SetUpBuffered(irp, input, input_length, output, output_length)) {
    if (irp != nullptr) IoFreeIrp(irp);
    if (event != nullptr) ObfDereferenceObject(event);
    ObfDereferenceObject(file);
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    nt::SetRequestor(irp, mode, io_status, event);
    irp->Overlay.AsynchronousParameters.UserApcContext = apc_context;
    irp->Tail.Overlay.OriginalFileObject = file;
    nt::TrackingOf(irp)->flags |=
        nt::kIrpFileReferenced | (event != nullptr ? nt::kIrpEventReferenced : 0);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = major == IRP_MJ_FILE_SYSTEM_CONTROL ? IRP_MN_USER_FS_REQUEST : 0;
    stack->FileObject = file;
    stack->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    stack->Parameters.DeviceIoControl.InputBufferLength = input_length;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.Type3InputBuffer = input;
    nt::TrackIrp(irp);
    status = IoCallDriver(device, irp);
    if (synchronous && status == STATUS_PENDING) {
      KeWaitForSingleObject(&file->Event, Executive, mode, FALSE, nullptr);
      status = file->FinalStatus;
    }
  }
  ObfDereferenceObject(device);
  if (synchronous) nt::ReleaseFileLock(file);
  ObfDereferenceObject(file);
  return status;
}

// A request for `device` that the calling thread will wait for.
PIRP BuildThreadedIrp(PDEVICE_OBJECT device, UCHAR major, PKEVENT event,
                      PIO_STATUS_BLOCK io_status) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  nt::SetRequestor(irp, KernelMode, io_status, event);
  IoGetNextIrpStackLocation(irp)->MajorFunction = major;
  return irp;
}

}  // namespace

NTSTATUS ZwDeviceIoControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine,
                               PVOID apc_context, PIO_STATUS_BLOCK io_status, ULONG code,
                               PVOID input, ULONG input_length, PVOID output,
                               ULONG output_length) {
  return ControlFile(IRP_MJ_DEVICE_CONTROL, file, event, apc_routine, apc_context, io_status,
                     code, input, input_length, output, output_length, KernelMode);
}

NTSTATUS NtDeviceIoControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine,
                               PVOID apc_context, PIO_STATUS_BLOCK io_status, ULONG code,
                               PVOID input, ULONG input_length, PVOID output,
                               ULONG output_length) {
  return ControlFile(IRP_MJ_DEVICE_CONTROL, file, event, apc_routine, apc_context, io_status,
                     code, input, input_length, output, output_length, UserMode);
}

NTSTATUS ZwFsControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine,
                         PVOID apc_context, PIO_STATUS_BLOCK io_status, ULONG code, PVOID input,
                         ULONG input_length, PVOID output, ULONG output_length) {
  return ControlFile(IRP_MJ_FILE_SYSTEM_CONTROL, file, event, apc_routine, apc_context,
                     io_status, code, input, input_length, output, output_length, KernelMode);
}

NTSTATUS NtFsControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine,
                         PVOID apc_context, PIO_STATUS_BLOCK io_status, ULONG code, PVOID input,
                         ULONG input_length, PVOID output, ULONG output_length) {
  return ControlFile(IRP_MJ_FILE_SYSTEM_CONTROL, file, event, apc_routine, apc_context,
                     io_status, code, input, input_length, output, output_length, UserMode);
}

NTSTATUS NtCancelIoFile(HANDLE handle, PIO_STATUS_BLOCK io_status) {
  nt::kernel_internal::RequireKernel("NtCancelIoFile");
  RequirePassive(handle);
  PVOID file;
  const NTSTATUS status =
      ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, UserMode, &file, nullptr);
  if (!NT_SUCCESS(status)) return status;
  nt::CancelFileIrps(static_cast<PFILE_OBJECT>(file), PsGetCurrentThread());
  ObfDereferenceObject(file);
  if (io_status != nullptr) *io_status = IO_STATUS_BLOCK{{STATUS_SUCCESS}, 0};
  return STATUS_SUCCESS;
}

PIRP IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input,
                                   ULONG input_length, PVOID output, ULONG output_length,
                                   BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK io_status) {
  RequirePassive(device);
  if (METHOD_FROM_CTL_CODE(code) != METHOD_BUFFERED) return nullptr;
  PIRP irp = BuildThreadedIrp(
      device, internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL, event,
      io_status);
  if (irp == nullptr) return nullptr;
  if (!SetUpBuffered(irp, input, input_length, output, output_length)) {
    IoFreeIrp(irp);
    return nullptr;
  }
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.DeviceIoControl.OutputBufferLength = output_length;
  stack->Parameters.DeviceIoControl.InputBufferLength = input_length;
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  stack->Parameters.DeviceIoControl.Type3InputBuffer = input;
  nt::TrackIrp(irp);
  return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID buffer,
                                  ULONG length, PLARGE_INTEGER offset, PKEVENT event,
                                  PIO_STATUS_BLOCK io_status) {
  if (KeGetCurrentIrql() > APC_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(device), KeGetCurrentIrql(),
                 0, 0);
  }
  const bool transfer = major == IRP_MJ_READ || major == IRP_MJ_WRITE;
  if (!transfer && major != IRP_MJ_FLUSH_BUFFERS && major != IRP_MJ_SHUTDOWN) return nullptr;
  if (transfer && (device->Flags & DO_DIRECT_IO) != 0) return nullptr;
  PIRP irp = BuildThreadedIrp(device, static_cast<UCHAR>(major), event, io_status);
  if (irp == nullptr) return nullptr;
  if (transfer) {
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.Read.Length = length;
    stack->Parameters.Read.ByteOffset.QuadPart = offset != nullptr ? offset->QuadPart : 0;
    const bool reading = major == IRP_MJ_READ;
    if ((device->Flags & DO_BUFFERED_IO) != 0) {
      if (!SetUpBuffered(irp, reading ? nullptr : buffer, reading ? 0 : length,
                         reading ? buffer : nullptr, reading ? length : 0)) {
        IoFreeIrp(irp);
        return nullptr;
      }
    } else {
      irp->UserBuffer = buffer;
    }
  }
  nt::TrackIrp(irp);
  return irp;
}
