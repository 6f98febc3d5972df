#include "platform/win32/file_security.h"

#include <cstdlib>
#include <cstring>

#include "platform/nt/access_rights.h"
#include "platform/nt/file_io.h"
#include "platform/nt/handles.h"
#include "platform/nt/ntstatus.h"
#include "platform/win32/file_names.h"
#include "platform/win32/win_error.h"

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr SECURITY_INFORMATION kParts = OWNER_SECURITY_INFORMATION |
                                        GROUP_SECURITY_INFORMATION |
                                        DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

// Opens a file or folder by name with `access` for a security request.
NTSTATUS OpenForSecurity(LPCWSTR file_name, ACCESS_MASK access, HANDLE* handle) {
  if (file_name == nullptr || file_name[0] == u'\0') return STATUS_OBJECT_PATH_NOT_FOUND;
  return win32::OpenPath(file_name, access, kShareAll, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT, 0,
                         handle);
}

}  // namespace

BOOL GetFileSecurityW(LPCWSTR file_name, SECURITY_INFORMATION requested,
                      PSECURITY_DESCRIPTOR descriptor, DWORD length, LPDWORD length_needed) {
  if (length_needed == nullptr || (descriptor == nullptr && length != 0)) {
    return win32::FailWith(ERROR_INVALID_PARAMETER);
  }
  requested &= kParts;
  ACCESS_MASK access = 0;
  if ((requested & ~SACL_SECURITY_INFORMATION) != 0) access |= READ_CONTROL;
  if ((requested & SACL_SECURITY_INFORMATION) != 0) access |= ACCESS_SYSTEM_SECURITY;
  HANDLE handle;
  NTSTATUS status = OpenForSecurity(file_name, access, &handle);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  ULONG needed = 0;
  status = NtQuerySecurityObject(handle, requested, descriptor, length, &needed);
  NtClose(handle);
  if (NT_SUCCESS(status) || status == STATUS_BUFFER_TOO_SMALL) *length_needed = needed;
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}

BOOL SetFileSecurityW(LPCWSTR file_name, SECURITY_INFORMATION information,
                      PSECURITY_DESCRIPTOR descriptor) {
  if (descriptor == nullptr) return win32::FailWith(ERROR_INVALID_SECURITY_DESCR);
  ACCESS_MASK access = 0;
  if ((information & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) != 0) {
    access |= WRITE_OWNER;
  }
  if ((information & (DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION |
                      UNPROTECTED_DACL_SECURITY_INFORMATION)) != 0) {
    access |= WRITE_DAC;
  }
  if ((information & (SACL_SECURITY_INFORMATION | PROTECTED_SACL_SECURITY_INFORMATION |
                      UNPROTECTED_SACL_SECURITY_INFORMATION)) != 0) {
    access |= ACCESS_SYSTEM_SECURITY;
  }
  HANDLE handle;
  NTSTATUS status = OpenForSecurity(file_name, access, &handle);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  status = NtSetSecurityObject(handle, information, descriptor);
  NtClose(handle);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}

DWORD GetNamedSecurityInfoW(LPCWSTR object_name, SE_OBJECT_TYPE object_type,
                            SECURITY_INFORMATION information, PSID* owner, PSID* group,
                            PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* security_descriptor) {
  if (object_type != SE_FILE_OBJECT ||
      (owner == nullptr && group == nullptr && dacl == nullptr && sacl == nullptr &&
       security_descriptor == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  const DWORD saved_error = GetLastError();
  DWORD needed = 0;
  DWORD error = ERROR_SUCCESS;
  UCHAR* bytes = nullptr;
  // The descriptor may change between asking for its size and reading it: ask again then.
  for (DWORD size = 256; error == ERROR_SUCCESS;) {
    bytes = static_cast<UCHAR*>(std::malloc(size));
    if (bytes == nullptr) {
      error = ERROR_NOT_ENOUGH_MEMORY;
      break;
    }
    if (GetFileSecurityW(object_name, information, bytes, size, &needed)) break;
    error = GetLastError();
    std::free(bytes);
    bytes = nullptr;
    if (error == ERROR_INSUFFICIENT_BUFFER) {
      error = ERROR_SUCCESS;
      size = needed;
    }
  }
  SetLastError(saved_error);
  if (error != ERROR_SUCCESS) return error;
  // A self-relative descriptor: revision, control, then the offsets of owner, group, SACL and
  // DACL, each 0 when the part is absent.
  auto part = [bytes](int slot) -> PVOID {
    ULONG offset;
    std::memcpy(&offset, bytes + 4 + 4 * slot, sizeof(offset));
    return offset == 0 ? nullptr : bytes + offset;
  };
  if (owner != nullptr) *owner = part(0);
  if (group != nullptr) *group = part(1);
  if (sacl != nullptr) *sacl = static_cast<PACL>(part(2));
  if (dacl != nullptr) *dacl = static_cast<PACL>(part(3));
  if (security_descriptor != nullptr) {
    *security_descriptor = bytes;
  } else {
    std::free(bytes);
  }
  return ERROR_SUCCESS;
}

DWORD SetNamedSecurityInfoW(LPWSTR object_name, SE_OBJECT_TYPE object_type,
                            SECURITY_INFORMATION information, PSID owner, PSID group, PACL dacl,
                            PACL sacl) {
  if (object_type != SE_FILE_OBJECT) return ERROR_INVALID_PARAMETER;
  SECURITY_DESCRIPTOR descriptor{};
  descriptor.Revision = SECURITY_DESCRIPTOR_REVISION;
  descriptor.Owner = owner;
  descriptor.Group = group;
  descriptor.Sacl = sacl;
  descriptor.Dacl = dacl;
  if ((information & DACL_SECURITY_INFORMATION) != 0) descriptor.Control |= SE_DACL_PRESENT;
  if ((information & SACL_SECURITY_INFORMATION) != 0) descriptor.Control |= SE_SACL_PRESENT;
  const DWORD saved_error = GetLastError();
  const DWORD error =
      SetFileSecurityW(object_name, information, &descriptor) ? ERROR_SUCCESS : GetLastError();
  SetLastError(saved_error);
  return error;
}
