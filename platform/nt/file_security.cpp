#include "platform/nt/file_security.h"

#include <cstring>
#include <vector>

#include "platform/nt/access_rights.h"
#include "platform/nt/file_object.h"
#include "platform/nt/handles.h"
#include "platform/nt/io_internal.h"
#include "platform/nt/irp.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/security_descriptor.h"

namespace {

constexpr SECURITY_INFORMATION kOwnerOrGroup =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;

// The descriptor a file system without descriptors reads as: Everyone (S-1-1-0) owns the file
// and its DACL is null.
std::vector<UCHAR> WorldDescriptor(SECURITY_INFORMATION information) {
  static constexpr UCHAR kEveryone[] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  nt::SecurityParts parts;
  parts.control = SE_DACL_PRESENT;
  parts.owner.assign(std::begin(kEveryone), std::end(kEveryone));
  parts.group = parts.owner;
  return nt::WriteSelfRelative(nt::SelectParts(parts, information));
}

NTSTATUS ReferenceFile(HANDLE handle, KPROCESSOR_MODE mode, ACCESS_MASK needed,
                       PFILE_OBJECT* file) {
  PVOID object;
  OBJECT_HANDLE_INFORMATION information{};
  const NTSTATUS status =
      ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, mode, &object, &information);
  if (!NT_SUCCESS(status)) return status;
  if (mode == UserMode && (information.GrantedAccess & needed) != needed) {
    ObfDereferenceObject(object);
    return STATUS_ACCESS_DENIED;
  }
  *file = static_cast<PFILE_OBJECT>(object);
  return STATUS_SUCCESS;
}

ACCESS_MASK QueryAccessFor(SECURITY_INFORMATION information) {
  ACCESS_MASK access = 0;
  if ((information & (kOwnerOrGroup | DACL_SECURITY_INFORMATION)) != 0) access |= READ_CONTROL;
  if ((information & SACL_SECURITY_INFORMATION) != 0) access |= ACCESS_SYSTEM_SECURITY;
  return access;
}

ACCESS_MASK SetAccessFor(SECURITY_INFORMATION information) {
  ACCESS_MASK access = 0;
  if ((information & kOwnerOrGroup) != 0) access |= WRITE_OWNER;
  if ((information & DACL_SECURITY_INFORMATION) != 0) access |= WRITE_DAC;
  if ((information & SACL_SECURITY_INFORMATION) != 0) access |= ACCESS_SYSTEM_SECURITY;
  return access;
}

NTSTATUS QuerySecurity(HANDLE handle, KPROCESSOR_MODE mode, SECURITY_INFORMATION information,
                       PSECURITY_DESCRIPTOR descriptor, ULONG length, PULONG length_needed) {
  if (descriptor == nullptr && length != 0) return STATUS_ACCESS_VIOLATION;
  PFILE_OBJECT file;
  NTSTATUS status = ReferenceFile(handle, mode, QueryAccessFor(information), &file);
  if (!NT_SUCCESS(status)) return status;
  ULONG_PTR information_out = 0;
  status = nt::SendFileRequest(
      file, IRP_MJ_QUERY_SECURITY, 0, false,
      [&](PIRP irp, PIO_STACK_LOCATION stack) {
        irp->UserBuffer = descriptor;
        stack->Parameters.QuerySecurity.SecurityInformation = information;
        stack->Parameters.QuerySecurity.Length = length;
      },
      &information_out);
  ObfDereferenceObject(file);
  ULONG needed = static_cast<ULONG>(information_out);
  if (status == STATUS_INVALID_DEVICE_REQUEST) {
    const std::vector<UCHAR> world = WorldDescriptor(information);
    needed = static_cast<ULONG>(world.size());
    status = STATUS_SUCCESS;
    if (length < needed) {
      status = STATUS_BUFFER_OVERFLOW;
    } else {
      std::memcpy(descriptor, world.data(), world.size());
    }
  }
  if (status == STATUS_BUFFER_OVERFLOW) status = STATUS_BUFFER_TOO_SMALL;
  if (length_needed != nullptr && (NT_SUCCESS(status) || status == STATUS_BUFFER_TOO_SMALL)) {
    *length_needed = needed;
  }
  return status;
}

NTSTATUS SetSecurity(HANDLE handle, KPROCESSOR_MODE mode, SECURITY_INFORMATION information,
                     PSECURITY_DESCRIPTOR descriptor) {
  // The file system gets the descriptor in the self-relative form, whatever the caller built.
  nt::SecurityParts parts;
  if (!nt::ReadDescriptor(descriptor, 0xFFFF, &parts)) return STATUS_INVALID_SECURITY_DESCR;
  std::vector<UCHAR> relative = nt::WriteSelfRelative(parts);
  PFILE_OBJECT file;
  NTSTATUS status = ReferenceFile(handle, mode, SetAccessFor(information), &file);
  if (!NT_SUCCESS(status)) return status;
  ULONG_PTR information_out = 0;
  status = nt::SendFileRequest(
      file, IRP_MJ_SET_SECURITY, 0, false,
      [&](PIRP, PIO_STACK_LOCATION stack) {
        stack->Parameters.SetSecurity.SecurityInformation = information;
        stack->Parameters.SetSecurity.SecurityDescriptor = relative.data();
      },
      &information_out);
  ObfDereferenceObject(file);
  if (status == STATUS_INVALID_DEVICE_REQUEST) return STATUS_SUCCESS;
  return status;
}

}  // namespace

NTSTATUS ZwQuerySecurityObject(HANDLE handle, SECURITY_INFORMATION information,
                               PSECURITY_DESCRIPTOR descriptor, ULONG length,
                               PULONG length_needed) {
  return QuerySecurity(handle, KernelMode, information, descriptor, length, length_needed);
}

NTSTATUS NtQuerySecurityObject(HANDLE handle, SECURITY_INFORMATION information,
                               PSECURITY_DESCRIPTOR descriptor, ULONG length,
                               PULONG length_needed) {
  return QuerySecurity(handle, UserMode, information, descriptor, length, length_needed);
}

NTSTATUS ZwSetSecurityObject(HANDLE handle, SECURITY_INFORMATION information,
                             PSECURITY_DESCRIPTOR descriptor) {
  return SetSecurity(handle, KernelMode, information, descriptor);
}

NTSTATUS NtSetSecurityObject(HANDLE handle, SECURITY_INFORMATION information,
                             PSECURITY_DESCRIPTOR descriptor) {
  return SetSecurity(handle, UserMode, information, descriptor);
}
