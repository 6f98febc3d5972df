// Logon, tokens, impersonation and privileges of user mode (advapi32), over the kernel's
// tokens. The machine's accounts are kept in its registry (made with win32::AccountControl);
// SYSTEM holds every privilege, an account those it was given.
#pragma once

#include <initializer_list>
#include <string_view>

#include "platform/nt/security.h"
#include "platform/nt/security_descriptor.h"
#include "platform/win32/windows_types.h"

constexpr DWORD LOGON32_LOGON_INTERACTIVE = 2;
constexpr DWORD LOGON32_LOGON_NETWORK = 3;
constexpr DWORD LOGON32_LOGON_BATCH = 4;
constexpr DWORD LOGON32_LOGON_SERVICE = 5;
constexpr DWORD LOGON32_PROVIDER_DEFAULT = 0;

constexpr DWORD TOKEN_ASSIGN_PRIMARY = 0x0001;
constexpr DWORD TOKEN_DUPLICATE = 0x0002;
constexpr DWORD TOKEN_IMPERSONATE = 0x0004;
constexpr DWORD TOKEN_QUERY = 0x0008;
constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
constexpr DWORD TOKEN_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | 0x01FF;

constexpr DWORD SE_PRIVILEGE_ENABLED = 0x00000002;
constexpr DWORD ERROR_UNKNOWN_REVISION = 1305;

struct LUID {
  DWORD LowPart;
  LONG HighPart;
};
using PLUID = LUID*;

struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
};

struct TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];
};
using PTOKEN_PRIVILEGES = TOKEN_PRIVILEGES*;

// Logs the account on: a token handle in *token, FALSE with ERROR_LOGON_FAILURE for an unknown
// account, a wrong password or a domain other than the machine's ("." and null name it).
BOOL LogonUserW(LPCWSTR user, LPCWSTR domain, LPCWSTR password, DWORD logon_type,
                DWORD logon_provider, PHANDLE token);
// The calling thread acts for the token's account until RevertToSelf.
BOOL ImpersonateLoggedOnUser(HANDLE token);
BOOL RevertToSelf();
// A handle to the process's primary token.
BOOL OpenProcessToken(HANDLE process, DWORD desired_access, PHANDLE token);
// The calling thread's impersonation token (only GetCurrentThread() is accepted);
// ERROR_NO_TOKEN when it does not impersonate.
BOOL OpenThreadToken(HANDLE thread, DWORD desired_access, BOOL open_as_self, PHANDLE token);

// ERROR_NO_SUCH_PRIVILEGE for an unknown name ("SeShutdownPrivilege", ...).
BOOL LookupPrivilegeValueW(LPCWSTR system_name, LPCWSTR name, PLUID luid);
// Succeeds when the handle has TOKEN_ADJUST_PRIVILEGES; the last error is then
// ERROR_NOT_ALL_ASSIGNED when the account does not hold every privilege named, else 0.
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, PTOKEN_PRIVILEGES new_state,
                           DWORD buffer_length, PTOKEN_PRIVILEGES previous_state,
                           PDWORD return_length);

// Security descriptors, as far as the programs build them: a DACL that is present and null
// grants every account everything.
// The control bits and SECURITY_INFORMATION values are the kernel's (security_descriptor.h).
constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;

struct ACL;
using PACL = ACL*;

struct SECURITY_DESCRIPTOR {
  BYTE Revision;
  BYTE Sbz1;
  WORD Control;
  PVOID Owner;
  PVOID Group;
  PACL Sacl;
  PACL Dacl;
};

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL dacl_present, PACL dacl,
                               BOOL dacl_defaulted);
// Applies the descriptor's DACL to the object of the handle, which needs WRITE_DAC. A named
// pipe given a null DACL lets every account open it; other objects keep no DACL here.
BOOL SetUserObjectSecurity(HANDLE object, SECURITY_INFORMATION* information,
                           PSECURITY_DESCRIPTOR descriptor);

namespace win32 {

// The machine's accounts. REQUIRES: a running kernel.
class AccountControl {
 public:
  static void AddAccount(std::u16string_view name, std::u16string_view password,
                         std::initializer_list<std::u16string_view> privileges = {});
  // Makes the account a member of the administrators, or not.
  static void SetAdministrator(std::u16string_view name, bool administrator);
};

// Whether the calling thread acts for SYSTEM or for an administrator.
bool CallerIsAdministrator();

}  // namespace win32
