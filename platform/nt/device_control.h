// Device and file-system control requests. A control code names the device type, the function,
// the buffering method and the access the caller's handle needs. The machine's I/O manager
// supports METHOD_BUFFERED, with one system buffer of max(input, output) bytes that starts with
// a copy of the input (see file_io.h for how output comes back); other methods fail with
// STATUS_NOT_IMPLEMENTED.
#pragma once

#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/event.h"

constexpr ULONG METHOD_BUFFERED = 0;
constexpr ULONG METHOD_IN_DIRECT = 1;
constexpr ULONG METHOD_OUT_DIRECT = 2;
constexpr ULONG METHOD_NEITHER = 3;

constexpr ULONG FILE_ANY_ACCESS = 0;
constexpr ULONG FILE_SPECIAL_ACCESS = FILE_ANY_ACCESS;
constexpr ULONG FILE_READ_ACCESS = 0x0001;
constexpr ULONG FILE_WRITE_ACCESS = 0x0002;

constexpr ULONG CTL_CODE(ULONG device_type, ULONG function, ULONG method, ULONG access) {
  return (device_type << 16) | (access << 14) | (function << 2) | method;
}
constexpr ULONG METHOD_FROM_CTL_CODE(ULONG code) { return code & 3; }
constexpr ULONG DEVICE_TYPE_FROM_CTL_CODE(ULONG code) { return (code >> 16) & 0xFFFF; }

// Sends IRP_MJ_DEVICE_CONTROL (IRP_MJ_FILE_SYSTEM_CONTROL with IRP_MN_USER_FS_REQUEST) for the
// file to the top of its device stack. A device control first goes to the driver's fast I/O
// entry, when it has one that takes it. On a synchronous file object the call waits for the
// request and returns its final status; otherwise it returns STATUS_PENDING for a pending
// request, and the event (when given; its handle needs EVENT_MODIFY_STATE) is signalled and the
// status block filled when the request completes. From user mode (Nt), the handle must have
// FILE_READ_DATA or FILE_WRITE_DATA when the code asks for read or write access.
// STATUS_NOT_IMPLEMENTED for a method other than METHOD_BUFFERED or an APC routine;
// STATUS_ACCESS_VIOLATION for a missing status block or a missing buffer of nonzero length.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS ZwDeviceIoControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine,
                               PVOID apc_context, PIO_STATUS_BLOCK io_status, ULONG control_code,
                               PVOID input, ULONG input_length, PVOID output,
                               ULONG output_length);
NTSTATUS NtDeviceIoControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine,
                               PVOID apc_context, PIO_STATUS_BLOCK io_status, ULONG control_code,
                               PVOID input, ULONG input_length, PVOID output,
                               ULONG output_length);
NTSTATUS ZwFsControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine,
                         PVOID apc_context, PIO_STATUS_BLOCK io_status, ULONG control_code,
                         PVOID input, ULONG input_length, PVOID output, ULONG output_length);
NTSTATUS NtFsControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine,
                         PVOID apc_context, PIO_STATUS_BLOCK io_status, ULONG control_code,
                         PVOID input, ULONG input_length, PVOID output, ULONG output_length);

// A device-control IRP for `device`, owned by the calling thread: send it with IoCallDriver,
// wait on `event` when that returns STATUS_PENDING, then read `io_status`. The I/O manager
// frees it when it completes. Null when the pool fails or the method is not METHOD_BUFFERED.
// REQUIRES: PASSIVE_LEVEL.
PIRP IoBuildDeviceIoControlRequest(ULONG control_code, PDEVICE_OBJECT device, PVOID input,
                                   ULONG input_length, PVOID output, ULONG output_length,
                                   BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK io_status);
// The same for IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_FLUSH_BUFFERS or IRP_MJ_SHUTDOWN. Reads and
// writes are buffered for a DO_BUFFERED_IO device and pass the buffer as it is otherwise; a
// DO_DIRECT_IO device gets null (no memory descriptors here yet).
// REQUIRES: IRQL <= APC_LEVEL.
PIRP IoBuildSynchronousFsdRequest(ULONG major_function, PDEVICE_OBJECT device, PVOID buffer,
                                  ULONG length, PLARGE_INTEGER offset, PKEVENT event,
                                  PIO_STATUS_BLOCK io_status);
