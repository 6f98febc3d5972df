#include "platform/nt/symbolic_link_query.h"

#include <cstring>
#include <string>
#include <string_view>

#include "platform/nt/handles.h"
#include "platform/nt/irql.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/pool.h"
#include "platform/nt/symbolic_link_internal.h"

namespace {

using nt::LinkOf;

std::u16string_view View(PCUNICODE_STRING string) {
  return std::u16string_view(string->Buffer, string->Length / sizeof(WCHAR));
}

void RequirePassive(PVOID detail) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(detail), KeGetCurrentIrql(),
                 0, 0);
  }
}

NTSTATUS CreateLink(PHANDLE handle, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                    PUNICODE_STRING target, KPROCESSOR_MODE mode) {
  RequirePassive(handle);
  if (handle == nullptr || attributes == nullptr || attributes->ObjectName == nullptr ||
      target == nullptr) {
    return STATUS_ACCESS_VIOLATION;
  }
  if (attributes->RootDirectory != nullptr) return STATUS_INVALID_PARAMETER;
  PVOID link = nt::NewSymbolicLink(View(target), false);
  if (link == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PVOID existing = nullptr;
  NTSTATUS status = nt::InsertObjectName(link, View(attributes->ObjectName), nullptr,
                                         attributes->Attributes & OBJ_PERMANENT, &existing);
  if (NT_SUCCESS(status)) {
    status = nt::CreateHandle(link, nt::MapAccess(nt::SymbolicLinkType(), desired_access),
                              attributes->Attributes, mode, handle);
    if (!NT_SUCCESS(status)) nt::RemoveObjectName(link);
  }
  ObfDereferenceObject(link);
  return status;
}

NTSTATUS FindLink(std::u16string_view name, KPROCESSOR_MODE mode, PVOID* link) {
  nt::ParseContext context;
  context.mode = mode;
  context.attributes = OBJ_OPENLINK;
  context.expected_type = nt::SymbolicLinkType();
  return nt::LookupObject(name, nullptr, &context, link);
}

NTSTATUS OpenLink(PHANDLE handle, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                  KPROCESSOR_MODE mode) {
  RequirePassive(handle);
  if (handle == nullptr || attributes == nullptr || attributes->ObjectName == nullptr) {
    return STATUS_ACCESS_VIOLATION;
  }
  if (attributes->RootDirectory != nullptr) return STATUS_INVALID_PARAMETER;
  PVOID link;
  NTSTATUS status = FindLink(View(attributes->ObjectName), mode, &link);
  if (!NT_SUCCESS(status)) return status;
  status = nt::CreateHandle(link, nt::MapAccess(nt::SymbolicLinkType(), desired_access),
                            attributes->Attributes & ~OBJ_PERMANENT, mode, handle);
  ObfDereferenceObject(link);
  return status;
}

NTSTATUS QueryLink(HANDLE handle, PUNICODE_STRING target, PULONG returned_length,
                   KPROCESSOR_MODE mode) {
  if (target == nullptr) return STATUS_ACCESS_VIOLATION;
  PVOID link;
  const NTSTATUS status = ObReferenceObjectByHandle(handle, SYMBOLIC_LINK_QUERY,
                                                    nt::SymbolicLinkType(), mode, &link, nullptr);
  if (!NT_SUCCESS(status)) return status;
  const std::u16string name = LinkOf(link)->target;
  ObfDereferenceObject(link);
  const ULONG bytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
  if (returned_length != nullptr) *returned_length = bytes;
  if (bytes > target->MaximumLength || (bytes != 0 && target->Buffer == nullptr)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (bytes != 0) std::memcpy(target->Buffer, name.data(), bytes);
  target->Length = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

NTSTATUS MakeTemporary(HANDLE handle, KPROCESSOR_MODE mode) {
  PVOID link;
  const NTSTATUS status =
      ObReferenceObjectByHandle(handle, DELETE, nt::SymbolicLinkType(), mode, &link, nullptr);
  if (!NT_SUCCESS(status)) return status;
  if (LinkOf(link)->fromDriver) {
    ObfDereferenceObject(link);
    return STATUS_ACCESS_DENIED;
  }
  nt::HeaderOf(link)->flags.fetch_and(~nt::kObjectPermanent);
  nt::RemoveObjectName(link);
  ObfDereferenceObject(link);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ZwCreateSymbolicLinkObject(PHANDLE link, ACCESS_MASK desired_access,
                                    POBJECT_ATTRIBUTES attributes, PUNICODE_STRING target) {
  return CreateLink(link, desired_access, attributes, target, KernelMode);
}

NTSTATUS NtCreateSymbolicLinkObject(PHANDLE link, ACCESS_MASK desired_access,
                                    POBJECT_ATTRIBUTES attributes, PUNICODE_STRING target) {
  return CreateLink(link, desired_access, attributes, target, UserMode);
}

NTSTATUS ZwOpenSymbolicLinkObject(PHANDLE link, ACCESS_MASK desired_access,
                                  POBJECT_ATTRIBUTES attributes) {
  return OpenLink(link, desired_access, attributes, KernelMode);
}

NTSTATUS NtOpenSymbolicLinkObject(PHANDLE link, ACCESS_MASK desired_access,
                                  POBJECT_ATTRIBUTES attributes) {
  return OpenLink(link, desired_access, attributes, UserMode);
}

NTSTATUS ZwQuerySymbolicLinkObject(HANDLE link, PUNICODE_STRING target, PULONG returned_length) {
  return QueryLink(link, target, returned_length, KernelMode);
}

NTSTATUS NtQuerySymbolicLinkObject(HANDLE link, PUNICODE_STRING target, PULONG returned_length) {
  return QueryLink(link, target, returned_length, UserMode);
}

NTSTATUS ZwMakeTemporaryObject(HANDLE link) { return MakeTemporary(link, KernelMode); }

NTSTATUS NtMakeTemporaryObject(HANDLE link) { return MakeTemporary(link, UserMode); }
