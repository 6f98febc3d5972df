// Security descriptors of open files, kept by their file systems: the I/O manager sends
// IRP_MJ_QUERY_SECURITY or IRP_MJ_SET_SECURITY to the top of the file's stack and waits for it.
// A file system that keeps no descriptors (it fails the request with
// STATUS_INVALID_DEVICE_REQUEST, as FAT does) reads as owned by Everyone with a null DACL, and
// takes any descriptor without keeping it. Only files have descriptors here: other handles
// give STATUS_OBJECT_TYPE_MISMATCH.
// REQUIRES: PASSIVE_LEVEL.
#pragma once

#include "platform/nt/nt_types.h"
#include "platform/nt/security.h"

constexpr ACCESS_MASK ACCESS_SYSTEM_SECURITY = 0x01000000;

// Copies the parts `information` names of the file's descriptor into `descriptor` (length
// bytes, self-relative); *length_needed (optional) receives its size. STATUS_BUFFER_TOO_SMALL
// when it does not fit (nothing copied).
NTSTATUS ZwQuerySecurityObject(HANDLE handle, SECURITY_INFORMATION information,
                               PSECURITY_DESCRIPTOR descriptor, ULONG length,
                               PULONG length_needed);
// As above for a handle of the calling process: owner, group and DACL need READ_CONTROL, the
// SACL ACCESS_SYSTEM_SECURITY (else STATUS_ACCESS_DENIED).
NTSTATUS NtQuerySecurityObject(HANDLE handle, SECURITY_INFORMATION information,
                               PSECURITY_DESCRIPTOR descriptor, ULONG length,
                               PULONG length_needed);
// Replaces the parts `information` names of the file's descriptor by those of `descriptor`
// (self-relative or absolute); the other parts stay. STATUS_INVALID_SECURITY_DESCR for a
// malformed descriptor.
NTSTATUS ZwSetSecurityObject(HANDLE handle, SECURITY_INFORMATION information,
                             PSECURITY_DESCRIPTOR descriptor);
// As above for a handle of the calling process: owner and group need WRITE_OWNER, the DACL
// WRITE_DAC, the SACL ACCESS_SYSTEM_SECURITY.
NTSTATUS NtSetSecurityObject(HANDLE handle, SECURITY_INFORMATION information,
                             PSECURITY_DESCRIPTOR descriptor);
