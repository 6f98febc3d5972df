#include "platform/nt/handles.h"

#include "platform/nt/irql.h"
#include "platform/nt/kernel_internal.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/process_internal.h"

namespace {

// Kernel handles carry these bits, as on the platform's 64-bit systems.
constexpr ULONG_PTR kKernelHandleBits = ~static_cast<ULONG_PTR>(0x7FFFFFFF);

bool IsKernelHandle(HANDLE handle) {
  return (reinterpret_cast<ULONG_PTR>(handle) & kKernelHandleBits) == kKernelHandleBits;
}

ULONG ValueOf(HANDLE handle) {
  const ULONG_PTR value = reinterpret_cast<ULONG_PTR>(handle);
  if (IsKernelHandle(handle)) return static_cast<ULONG>(value & 0x7FFFFFFF);
  return value > 0x7FFFFFFF ? 0 : static_cast<ULONG>(value);
}

// The process whose table holds `handle`, or null when `mode` may not use it.
PEPROCESS OwnerOf(HANDLE handle, KPROCESSOR_MODE mode) {
  if (IsKernelHandle(handle)) return mode == KernelMode ? nt::ProcessControl::System() : nullptr;
  return nt::CurrentProcess();
}

NTSTATUS Close(HANDLE handle, KPROCESSOR_MODE mode) {
  nt::kernel_internal::RequireKernel("ZwClose");
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(handle), KeGetCurrentIrql(),
                 0, 0);
  }
  PEPROCESS owner = OwnerOf(handle, mode);
  if (owner == nullptr) return STATUS_INVALID_HANDLE;
  PVOID object;
  const NTSTATUS status = owner->handles.Remove(ValueOf(handle), &object);
  if (!NT_SUCCESS(status)) return status;
  nt::CloseObjectHandle(object);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desired_access, POBJECT_TYPE type,
                                   KPROCESSOR_MODE access_mode, PVOID* object,
                                   POBJECT_HANDLE_INFORMATION handle_information) {
  nt::kernel_internal::RequireKernel("ObReferenceObjectByHandle");
  if (KeGetCurrentIrql() > APC_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(handle), KeGetCurrentIrql(),
                 0, 0);
  }
  PEPROCESS owner = OwnerOf(handle, access_mode);
  if (owner == nullptr) return STATUS_INVALID_HANDLE;
  PVOID found;
  ACCESS_MASK granted;
  ULONG attributes;
  const NTSTATUS status = owner->handles.Reference(ValueOf(handle), &found, &granted, &attributes);
  if (!NT_SUCCESS(status)) return status;
  if (type != nullptr && nt::TypeOf(found) != type) {
    ObfDereferenceObject(found);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  if (access_mode == UserMode) {
    const ACCESS_MASK wanted = nt::MapAccess(nt::TypeOf(found), desired_access);
    if ((granted & wanted) != wanted) {
      ObfDereferenceObject(found);
      return STATUS_ACCESS_DENIED;
    }
  }
  if (handle_information != nullptr) {
    handle_information->HandleAttributes = attributes;
    handle_information->GrantedAccess = granted;
  }
  *object = found;
  return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE handle) { return Close(handle, KernelMode); }

NTSTATUS NtClose(HANDLE handle) { return Close(handle, UserMode); }

namespace nt {

NTSTATUS CreateHandle(PVOID object, ACCESS_MASK granted, ULONG attributes, KPROCESSOR_MODE mode,
                      HANDLE* handle) {
  const bool kernel = (attributes & OBJ_KERNEL_HANDLE) != 0 && mode == KernelMode;
  PEPROCESS owner = kernel ? ProcessControl::System() : CurrentProcess();
  ULONG value;
  const NTSTATUS status =
      owner->handles.Insert(object, granted, attributes & (OBJ_INHERIT | OBJ_KERNEL_HANDLE), &value);
  if (!NT_SUCCESS(status)) return status;
  ULONG_PTR bits = value;
  if (kernel) bits |= kKernelHandleBits;
  *handle = reinterpret_cast<HANDLE>(bits);
  return STATUS_SUCCESS;
}

void CloseObjectHandle(PVOID object) {
  ObjectHeader* header = HeaderOf(object);
  const LONG remaining = header->handle_count.fetch_sub(1) - 1;
  if (header->type->close_procedure != nullptr) {
    header->type->close_procedure(object, static_cast<ULONG>(remaining));
  }
  if (remaining == 0) ReleaseTemporaryName(object);
  ObfDereferenceObject(object);
}

}  // namespace nt
