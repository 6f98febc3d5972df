// Reading, writing and asking about open files: the I/O manager builds the request, sends it to
// the top of the file's stack and, on a synchronous file object, waits for it.
//
// Every call takes a handle (kernel handles from Zw), an optional event handle (signalled when
// the request completes; its handle needs EVENT_MODIFY_STATE) and a status block. On a
// synchronous file object the call returns the request's final status; otherwise it returns
// STATUS_PENDING for a pending request and the status block is filled when it completes.
// Query and set requests are buffered: the driver sees a system buffer of the caller's length.
// STATUS_ACCESS_VIOLATION for a missing status block or a missing buffer of nonzero length;
// STATUS_INFO_LENGTH_MISMATCH for a buffer shorter than the class's fixed part.
// REQUIRES: PASSIVE_LEVEL.
#pragma once

#include <string_view>

#include "platform/nt/file_information.h"
#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"

// A byte offset that asks for the file object's current position (synchronous files).
constexpr LONGLONG FILE_USE_FILE_POINTER_POSITION = -2;

// Reads or writes at `offset` (null or FILE_USE_FILE_POINTER_POSITION: the current position of
// a synchronous file object; a file opened without intermediate buffering gets a non-cached
// request). The driver sees the caller's buffer as Irp->UserBuffer. A file object that already
// reads or writes through the cache (it has a private cache map) first tries the FastIoRead or
// FastIoWrite entry of the top driver's fast I/O table; the IRP goes only when the entry is
// missing or declines.
NTSTATUS ZwReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine, PVOID apc_context,
                    PIO_STATUS_BLOCK io_status, PVOID buffer, ULONG length,
                    PLARGE_INTEGER offset, PULONG key);
NTSTATUS ZwWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine, PVOID apc_context,
                     PIO_STATUS_BLOCK io_status, PVOID buffer, ULONG length,
                     PLARGE_INTEGER offset, PULONG key);

NTSTATUS ZwQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK io_status, PVOID buffer,
                                ULONG length, FILE_INFORMATION_CLASS information_class);
// For FileRenameInformation and FileLinkInformation whose name is a full path (or is relative to
// the record's RootDirectory), the I/O manager first opens the target's folder with
// SL_OPEN_TARGET_DIRECTORY and passes that file object in Parameters.SetFile.FileObject, with
// ReplaceIfExists from the record; the folder must be on the same volume
// (STATUS_NOT_SAME_DEVICE).
NTSTATUS ZwSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io_status, PVOID buffer,
                              ULONG length, FILE_INFORMATION_CLASS information_class);
// Lists a directory: `file_name` (may be null) filters the names on the first call of a scan;
// `restart` starts the scan again.
NTSTATUS ZwQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine,
                              PVOID apc_context, PIO_STATUS_BLOCK io_status, PVOID buffer,
                              ULONG length, FILE_INFORMATION_CLASS information_class,
                              BOOLEAN single_entry, PUNICODE_STRING file_name, BOOLEAN restart);
NTSTATUS ZwQueryVolumeInformationFile(HANDLE file, PIO_STATUS_BLOCK io_status, PVOID buffer,
                                      ULONG length, FS_INFORMATION_CLASS information_class);

namespace nt {

// Internal to the kernel model: opens the folder that would hold `name` (relative to `root`
// when given) for a rename or link of a file; the returned file object (referenced) has a
// kernel handle in *handle, and *exists says whether the target itself exists.
NTSTATUS OpenTargetDirectory(std::u16string_view name, PFILE_OBJECT root, PHANDLE handle,
                             PFILE_OBJECT* directory, bool* exists);

}  // namespace nt
