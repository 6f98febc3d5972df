// Opening devices and files from a process, and what the I/O manager does with a request once
// the drivers completed it.
//
// A create parses its name through the namespace (following links such as \??\KvDrv), makes a
// file object and sends IRP_MJ_CREATE to the top of the device's stack (for a file on a
// mounted volume, of the volume's stack), waiting for it. A driver may answer STATUS_REPARSE
// with a new full name in the file object's FileName: the I/O manager then opens that name
// instead. On success the caller gets a handle in its process.
//
// When the last driver completes a request the I/O manager issued for a requestor (a create,
// a device control, an IRP from IoBuildDeviceIoControlRequest or IoBuildSynchronousFsdRequest):
//   - buffered I/O: on a status that is not an error, the first IoStatus.Information bytes of
//     the system buffer go back to the output buffer (more than the output buffer holds stops
//     the machine: DRIVER_VERIFIER_IOMANAGER_VIOLATION); the system buffer is freed;
//   - unless the request failed without being pended (an error status and PendingReturned
//     clear), the requestor's I/O status block receives IoStatus and its event is signalled
//     (the file object's event too, for a synchronous file object or when there is no event);
//     a request that failed without pending only returns its status to the caller;
//   - the IRP and its references are released; when the request held the last reference to
//     its file object, the file's close request comes from a system worker thread, not from
//     the driver that completed the request.
// This runs on the thread that completed the request, at its IRQL.
#pragma once

#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/objects.h"

// Share access.
constexpr ULONG FILE_SHARE_READ = 0x00000001;
constexpr ULONG FILE_SHARE_WRITE = 0x00000002;
constexpr ULONG FILE_SHARE_DELETE = 0x00000004;
constexpr ULONG FILE_SHARE_VALID_FLAGS = 0x00000007;

// Create dispositions.
constexpr ULONG FILE_SUPERSEDE = 0x00000000;
constexpr ULONG FILE_OPEN = 0x00000001;
constexpr ULONG FILE_CREATE = 0x00000002;
constexpr ULONG FILE_OPEN_IF = 0x00000003;
constexpr ULONG FILE_OVERWRITE = 0x00000004;
constexpr ULONG FILE_OVERWRITE_IF = 0x00000005;
constexpr ULONG FILE_MAXIMUM_DISPOSITION = 0x00000005;

// Create options.
constexpr ULONG FILE_DIRECTORY_FILE = 0x00000001;
constexpr ULONG FILE_WRITE_THROUGH = 0x00000002;
constexpr ULONG FILE_SEQUENTIAL_ONLY = 0x00000004;
constexpr ULONG FILE_NO_INTERMEDIATE_BUFFERING = 0x00000008;
constexpr ULONG FILE_SYNCHRONOUS_IO_ALERT = 0x00000010;
constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x00000020;
constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x00000040;
constexpr ULONG FILE_CREATE_TREE_CONNECTION = 0x00000080;
constexpr ULONG FILE_COMPLETE_IF_OPLOCKED = 0x00000100;
constexpr ULONG FILE_NO_EA_KNOWLEDGE = 0x00000200;
constexpr ULONG FILE_OPEN_FOR_RECOVERY = 0x00000400;
constexpr ULONG FILE_RANDOM_ACCESS = 0x00000800;
constexpr ULONG FILE_DELETE_ON_CLOSE = 0x00001000;
constexpr ULONG FILE_OPEN_BY_FILE_ID = 0x00002000;
constexpr ULONG FILE_OPEN_FOR_BACKUP_INTENT = 0x00004000;
constexpr ULONG FILE_NO_COMPRESSION = 0x00008000;
constexpr ULONG FILE_RESERVE_OPFILTER = 0x00100000;
constexpr ULONG FILE_OPEN_REPARSE_POINT = 0x00200000;
constexpr ULONG FILE_OPEN_NO_RECALL = 0x00400000;
constexpr ULONG FILE_VALID_OPTION_FLAGS = 0x00FFFFFF;

// IoStatus.Information of a create.
constexpr ULONG_PTR FILE_SUPERSEDED = 0;
constexpr ULONG_PTR FILE_OPENED = 1;
constexpr ULONG_PTR FILE_CREATED = 2;
constexpr ULONG_PTR FILE_OVERWRITTEN = 3;
constexpr ULONG_PTR FILE_EXISTS = 4;
constexpr ULONG_PTR FILE_DOES_NOT_EXIST = 5;
// IoStatus.Information with STATUS_REPARSE: FileName holds the name to open instead.
constexpr ULONG_PTR IO_REPARSE = 0;

// File attributes.
constexpr ULONG FILE_ATTRIBUTE_READONLY = 0x00000001;
constexpr ULONG FILE_ATTRIBUTE_HIDDEN = 0x00000002;
constexpr ULONG FILE_ATTRIBUTE_SYSTEM = 0x00000004;
constexpr ULONG FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
constexpr ULONG FILE_ATTRIBUTE_ARCHIVE = 0x00000020;
constexpr ULONG FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr ULONG FILE_ATTRIBUTE_TEMPORARY = 0x00000100;
constexpr ULONG FILE_ATTRIBUTE_SPARSE_FILE = 0x00000200;
constexpr ULONG FILE_ATTRIBUTE_REPARSE_POINT = 0x00000400;
constexpr ULONG FILE_ATTRIBUTE_COMPRESSED = 0x00000800;

// Opens or creates a file or device. Zw is the kernel's entry (no access checks; with
// OBJ_KERNEL_HANDLE the handle is a kernel handle); Nt is user mode's. Statuses beyond the
// namespace's and the drivers': STATUS_INVALID_PARAMETER for a bad disposition, unknown
// options, both synchronous options, synchronous I/O without SYNCHRONIZE access, or both the
// directory and non-directory options; STATUS_ACCESS_VIOLATION for a missing handle, status
// block or name; STATUS_NO_SUCH_DEVICE for a device still initializing
// or being deleted; STATUS_ACCESS_DENIED for a second open of an exclusive device. The status
// block receives the status and the driver's Information (FILE_OPENED, ...).
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS ZwCreateFile(PHANDLE handle, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                      PIO_STATUS_BLOCK io_status, PLARGE_INTEGER allocation_size,
                      ULONG file_attributes, ULONG share_access, ULONG disposition,
                      ULONG options, PVOID ea_buffer, ULONG ea_length);
NTSTATUS NtCreateFile(PHANDLE handle, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                      PIO_STATUS_BLOCK io_status, PLARGE_INTEGER allocation_size,
                      ULONG file_attributes, ULONG share_access, ULONG disposition,
                      ULONG options, PVOID ea_buffer, ULONG ea_length);
// ZwCreateFile with FILE_OPEN.
NTSTATUS ZwOpenFile(PHANDLE handle, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                    PIO_STATUS_BLOCK io_status, ULONG share_access, ULONG options);
NTSTATUS NtOpenFile(PHANDLE handle, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                    PIO_STATUS_BLOCK io_status, ULONG share_access, ULONG options);

// Opens `name` (a device, or a file below one) and returns the file object (referenced; the
// caller dereferences it when done, which closes it) and the top device of its stack. The
// handle used on the way is closed again.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING name, ACCESS_MASK desired_access,
                                  PFILE_OBJECT* file, PDEVICE_OBJECT* device);

// Cancels the calling thread's pending requests on the file. Does not wait for them: each
// completes as its driver completes it.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS NtCancelIoFile(HANDLE file, PIO_STATUS_BLOCK io_status);
