// User mode's entries for reading, writing and asking about open files, and flushing them.
// Each checks what user mode must (a handle of the calling process, the rights the handle was
// granted for the request) and then issues the request as file_requests.h describes:
// STATUS_ACCESS_DENIED when the handle lacks the right, STATUS_OBJECT_TYPE_MISMATCH when it is
// not a file.
// REQUIRES: PASSIVE_LEVEL.
#pragma once

#include "platform/nt/file_information.h"
#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"

// Needs FILE_READ_DATA.
NTSTATUS NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine, PVOID apc_context,
                    PIO_STATUS_BLOCK io_status, PVOID buffer, ULONG length,
                    PLARGE_INTEGER offset, PULONG key);
// Needs FILE_WRITE_DATA or FILE_APPEND_DATA.
NTSTATUS NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine, PVOID apc_context,
                     PIO_STATUS_BLOCK io_status, PVOID buffer, ULONG length,
                     PLARGE_INTEGER offset, PULONG key);
// FileBasicInformation and FileNetworkOpenInformation need FILE_READ_ATTRIBUTES.
NTSTATUS NtQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK io_status, PVOID buffer,
                                ULONG length, FILE_INFORMATION_CLASS information_class);
// FileBasicInformation needs FILE_WRITE_ATTRIBUTES; renames and dispositions DELETE; sizes
// FILE_WRITE_DATA.
NTSTATUS NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io_status, PVOID buffer,
                              ULONG length, FILE_INFORMATION_CLASS information_class);
// Needs FILE_LIST_DIRECTORY.
NTSTATUS NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine,
                              PVOID apc_context, PIO_STATUS_BLOCK io_status, PVOID buffer,
                              ULONG length, FILE_INFORMATION_CLASS information_class,
                              BOOLEAN single_entry, PUNICODE_STRING file_name, BOOLEAN restart);
NTSTATUS NtQueryVolumeInformationFile(HANDLE file, PIO_STATUS_BLOCK io_status, PVOID buffer,
                                      ULONG length, FS_INFORMATION_CLASS information_class);

// Sends IRP_MJ_FLUSH_BUFFERS for the file and waits for it. The Nt form needs FILE_WRITE_DATA
// or FILE_APPEND_DATA.
NTSTATUS ZwFlushBuffersFile(HANDLE file, PIO_STATUS_BLOCK io_status);
NTSTATUS NtFlushBuffersFile(HANDLE file, PIO_STATUS_BLOCK io_status);
