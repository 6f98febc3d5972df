// Security descriptors of files and folders (advapi32), kept by their file systems and reached
// through the I/O manager (IRP_MJ_QUERY_SECURITY, IRP_MJ_SET_SECURITY), so that filters see
// them. NTFS keeps a descriptor per file; FAT keeps none: its files read as owned by Everyone
// with a null DACL and take any descriptor without keeping it. Rights and privileges are not
// checked beyond the handle: SACL_SECURITY_INFORMATION needs no SeSecurityPrivilege here.
#pragma once

#include "platform/nt/file_security.h"
#include "platform/nt/security_descriptor.h"
#include "platform/win32/security_api.h"
#include "platform/win32/windows_types.h"

using PSID = PVOID;

enum SE_OBJECT_TYPE { SE_UNKNOWN_OBJECT_TYPE = 0, SE_FILE_OBJECT = 1 };

// Copies the parts `requested` names (owner, group, DACL, SACL; other bits are ignored) of the
// descriptor of `file_name` into `descriptor` (self-relative). *length_needed receives its
// size; when it exceeds `length`, nothing is copied and the call fails with
// ERROR_INSUFFICIENT_BUFFER. The path errors of the file routines otherwise.
BOOL GetFileSecurityW(LPCWSTR file_name, SECURITY_INFORMATION requested,
                      PSECURITY_DESCRIPTOR descriptor, DWORD length, LPDWORD length_needed);
// Replaces the parts `information` names of the descriptor of `file_name` by those of
// `descriptor` (absolute or self-relative); the other parts stay. PROTECTED_DACL_ and
// PROTECTED_SACL_SECURITY_INFORMATION protect the ACL from inheritance, the UNPROTECTED_
// forms clear that; both forms together copy the protection `descriptor` has.
// ERROR_INVALID_SECURITY_DESCR for a malformed descriptor.
BOOL SetFileSecurityW(LPCWSTR file_name, SECURITY_INFORMATION information,
                      PSECURITY_DESCRIPTOR descriptor);

// The parts `information` names of the descriptor of the file or folder `object_name`, as a
// self-relative descriptor allocated for the caller (free it with LocalFree) in
// *security_descriptor (optional), and pointers into it for each part asked for (each
// optional; null for a part the descriptor lacks and for a null DACL). Returns ERROR_SUCCESS
// or the error: ERROR_INVALID_PARAMETER for an object that is no file or when every output is
// null, the path errors of the file routines otherwise. The last error is left as it was.
DWORD GetNamedSecurityInfoW(LPCWSTR object_name, SE_OBJECT_TYPE object_type,
                            SECURITY_INFORMATION information, PSID* owner, PSID* group,
                            PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* security_descriptor);
// Sets the parts `information` names on the file or folder `object_name`, as SetFileSecurityW
// does with a descriptor holding them; a null `dacl` with DACL_SECURITY_INFORMATION is a null
// DACL. The ACLs are set as given: inheritable entries do not reach the folder's children.
// Returns ERROR_SUCCESS or the error.
DWORD SetNamedSecurityInfoW(LPWSTR object_name, SE_OBJECT_TYPE object_type,
                            SECURITY_INFORMATION information, PSID owner, PSID group, PACL dacl,
                            PACL sacl);
