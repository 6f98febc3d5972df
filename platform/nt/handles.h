// Handles: per-process references to objects. A handle made with OBJ_KERNEL_HANDLE by kernel
// code lives in the System process's table and works in every process's context; any other
// handle belongs to the process that made it. Closing the last handle of an object lets its
// type act (a file object gets its cleanup request) and removes a temporary name.
#pragma once

#include "platform/nt/nt_types.h"
#include "platform/nt/objects.h"

struct OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
};
using POBJECT_HANDLE_INFORMATION = OBJECT_HANDLE_INFORMATION*;

// Returns the handle's object referenced. STATUS_INVALID_HANDLE for an unknown handle (or a
// kernel handle asked for from user mode), STATUS_OBJECT_TYPE_MISMATCH when `type` is given and
// differs, and from user mode STATUS_ACCESS_DENIED when the handle lacks `desired_access`.
// REQUIRES: IRQL <= APC_LEVEL.
NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desired_access, POBJECT_TYPE type,
                                   KPROCESSOR_MODE access_mode, PVOID* object,
                                   POBJECT_HANDLE_INFORMATION handle_information);

// Close a handle of the current process, or a kernel handle (ZwClose only). STATUS_INVALID_HANDLE
// for an unknown handle. The last handle of a file object sends its cleanup request (after
// cancelling its pending requests); its last reference sends the close request.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS ZwClose(HANDLE handle);
NTSTATUS NtClose(HANDLE handle);

namespace nt {

// Internal to the kernel model.

// Makes a handle to `object` in the current process, or in the System process for
// OBJ_KERNEL_HANDLE from kernel mode. The handle takes a reference of its own.
NTSTATUS CreateHandle(PVOID object, ACCESS_MASK granted, ULONG attributes, KPROCESSOR_MODE mode,
                      HANDLE* handle);
// Finishes the close of a handle taken out of a table: the type's close procedure, the
// temporary name, the handle's reference.
void CloseObjectHandle(PVOID object);

}  // namespace nt
