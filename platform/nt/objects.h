// Kernel objects: every device, driver, file, event, process, token, directory, symbolic link
// and registry key of the machine is a body behind an object header that records its type and
// its reference and handle counts. An object lives while it is referenced; the last reference
// runs its type's delete procedure and frees it. Objects do not depend on a running kernel, so
// one that outlives its nt::Kernel is still released safely.
#pragma once

#include "platform/nt/nt_types.h"
#include "platform/nt/unicode_string.h"

struct OBJECT_TYPE;
using POBJECT_TYPE = OBJECT_TYPE*;

// Attributes of OBJECT_ATTRIBUTES and of handles.
constexpr ULONG OBJ_INHERIT = 0x00000002;
constexpr ULONG OBJ_PERMANENT = 0x00000010;
constexpr ULONG OBJ_EXCLUSIVE = 0x00000020;
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x00000040;
constexpr ULONG OBJ_OPENIF = 0x00000080;
constexpr ULONG OBJ_OPENLINK = 0x00000100;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x00000200;

// Names an object for an open or create: ObjectName is absolute ("\Device\X"), or relative to
// RootDirectory (a handle to a directory, a file or a registry key).
struct OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};
using POBJECT_ATTRIBUTES = OBJECT_ATTRIBUTES*;

inline void InitializeObjectAttributes(POBJECT_ATTRIBUTES attributes, PUNICODE_STRING name,
                                       ULONG flags, HANDLE root, PVOID security_descriptor) {
  attributes->Length = sizeof(OBJECT_ATTRIBUTES);
  attributes->RootDirectory = root;
  attributes->ObjectName = name;
  attributes->Attributes = flags;
  attributes->SecurityDescriptor = security_descriptor;
  attributes->SecurityQualityOfService = nullptr;
}

// Reference counting. Any IRQL up to DISPATCH_LEVEL. When the last reference of an object
// whose deletion sends requests (a file object) goes at DISPATCH_LEVEL, the deletion runs
// later on a worker thread, as on the platform. Dropping a reference that was never taken
// stops the machine (REFERENCE_BY_POINTER). Both return the new count.
LONG_PTR ObfReferenceObject(PVOID object);
LONG_PTR ObfDereferenceObject(PVOID object);
inline void ObReferenceObject(PVOID object) { ObfReferenceObject(object); }
void ObDereferenceObject(PVOID object);

// Takes a reference when `object` is of `type`, else STATUS_OBJECT_TYPE_MISMATCH. Rights are
// not checked for a pointer the caller already holds.
NTSTATUS ObReferenceObjectByPointer(PVOID object, ACCESS_MASK desired_access, POBJECT_TYPE type,
                                    KPROCESSOR_MODE access_mode);

constexpr ULONG REFERENCE_BY_POINTER = 0x18;
