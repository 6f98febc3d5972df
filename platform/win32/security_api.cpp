#include "platform/win32/security_api.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/nt/handles.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/process_internal.h"
#include "platform/nt/registry.h"
#include "platform/nt/token.h"
#include "platform/win32/named_pipe.h"
#include "platform/win32/process_api.h"
#include "platform/win32/win_error.h"

namespace {

constexpr std::u16string_view kAccountsKey = u"\\Registry\\Machine\\SAM\\Accounts";

struct Privilege {
  const char16_t* name;
  DWORD luid;
};

constexpr Privilege kPrivileges[] = {
    {u"SeCreateTokenPrivilege", 2},     {u"SeLockMemoryPrivilege", 4},
    {u"SeTcbPrivilege", 7},             {u"SeSecurityPrivilege", 8},
    {u"SeTakeOwnershipPrivilege", 9},   {u"SeLoadDriverPrivilege", 10},
    {u"SeSystemtimePrivilege", 12},     {u"SeBackupPrivilege", 17},
    {u"SeRestorePrivilege", 18},        {u"SeShutdownPrivilege", 19},
    {u"SeDebugPrivilege", 20},          {u"SeChangeNotifyPrivilege", 23},
    {u"SeRemoteShutdownPrivilege", 24},
};

std::u16string AccountKey(std::u16string_view name) {
  std::u16string key(kAccountsKey);
  key += u"\\";
  key += name;
  return key;
}

bool ReadAccountString(std::u16string_view account, std::u16string_view value,
                       std::u16string* text) {
  ULONG type;
  std::vector<UCHAR> data;
  if (!nt::RegistryControl::QueryValue(AccountKey(account), value, &type, &data)) return false;
  text->assign(data.size() / sizeof(WCHAR), u'\0');
  if (!text->empty()) std::memcpy(text->data(), data.data(), text->size() * sizeof(WCHAR));
  return true;
}

// Whether `account` holds the privilege numbered `luid`.
bool Holds(std::u16string_view account, DWORD luid) {
  if (nt::FoldName(account) == u"SYSTEM") return true;
  std::u16string list;
  if (!ReadAccountString(account, u"Privileges", &list)) return false;
  // NUL-separated names.
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find(u'\0', start);
    if (end == std::u16string::npos) end = list.size();
    const std::u16string name = list.substr(start, end - start);
    for (const Privilege& privilege : kPrivileges) {
      if (privilege.luid == luid && nt::FoldName(privilege.name) == nt::FoldName(name)) {
        return true;
      }
    }
    start = end + 1;
  }
  return false;
}

bool IsToken(PVOID object) { return std::u16string_view(nt::TypeOf(object)->name) == u"Token"; }

BOOL HandleToToken(PACCESS_TOKEN token, DWORD access, PHANDLE handle) {
  const NTSTATUS status =
      nt::CreateHandle(token, nt::MapAccess(nt::TypeOf(token), access), 0, UserMode, handle);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}

// The token of `handle`, referenced; null with the last error set.
PACCESS_TOKEN ReferenceToken(HANDLE handle, ACCESS_MASK access) {
  PVOID object = nullptr;
  const NTSTATUS status =
      ObReferenceObjectByHandle(handle, access, nullptr, UserMode, &object, nullptr);
  if (!NT_SUCCESS(status)) {
    win32::FailWithStatus(status);
    return nullptr;
  }
  if (!IsToken(object)) {
    ObfDereferenceObject(object);
    win32::FailWith(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return static_cast<PACCESS_TOKEN>(object);
}

}  // namespace

BOOL LogonUserW(LPCWSTR user, LPCWSTR domain, LPCWSTR password, DWORD, DWORD, PHANDLE token) {
  if (user == nullptr || token == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER);
  const bool local = domain == nullptr || std::u16string_view(domain) == u".";
  std::u16string stored;
  if (!local || !ReadAccountString(user, u"Password", &stored)) {
    return win32::FailWith(ERROR_LOGON_FAILURE);
  }
  while (!stored.empty() && stored.back() == u'\0') stored.pop_back();
  if (stored != (password != nullptr ? std::u16string_view(password) : u"")) {
    return win32::FailWith(ERROR_LOGON_FAILURE);
  }
  PACCESS_TOKEN created = nt::TokenControl::CreateToken(user);
  if (created == nullptr) return win32::FailWith(ERROR_NOT_ENOUGH_MEMORY);
  const BOOL result = HandleToToken(created, TOKEN_ALL_ACCESS, token);
  ObDereferenceObject(created);
  return result;
}

BOOL ImpersonateLoggedOnUser(HANDLE token) {
  PACCESS_TOKEN object = ReferenceToken(token, TOKEN_QUERY | TOKEN_DUPLICATE);
  if (object == nullptr) return FALSE;
  SECURITY_CLIENT_CONTEXT context{};
  context.SecurityQos.Length = sizeof(SECURITY_QUALITY_OF_SERVICE);
  context.SecurityQos.ImpersonationLevel = SecurityImpersonation;
  context.ClientToken = object;
  context.TokenType = TokenImpersonation;
  const NTSTATUS status = SeImpersonateClientEx(&context, nullptr);
  ObDereferenceObject(object);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  return TRUE;
}

BOOL RevertToSelf() {
  PsRevertToSelf();
  return TRUE;
}

BOOL OpenProcessToken(HANDLE process, DWORD desired_access, PHANDLE token) {
  if (token == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER);
  PVOID object = win32::ReferenceProcess(process);
  if (object == nullptr) return FALSE;
  const BOOL result =
      HandleToToken(static_cast<PEPROCESS>(object)->token, desired_access, token);
  ObDereferenceObject(object);
  return result;
}

BOOL OpenThreadToken(HANDLE thread, DWORD desired_access, BOOL, PHANDLE token) {
  if (token == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER);
  if (thread != GetCurrentThread()) return win32::FailWith(ERROR_INVALID_HANDLE);
  BOOLEAN copy_on_open;
  BOOLEAN effective_only;
  SECURITY_IMPERSONATION_LEVEL level;
  PACCESS_TOKEN impersonation = PsReferenceImpersonationToken(
      PsGetCurrentThread(), &copy_on_open, &effective_only, &level);
  if (impersonation == nullptr) return win32::FailWith(ERROR_NO_TOKEN);
  const BOOL result = HandleToToken(impersonation, desired_access, token);
  PsDereferenceImpersonationToken(impersonation);
  return result;
}

BOOL LookupPrivilegeValueW(LPCWSTR, LPCWSTR name, PLUID luid) {
  if (name == nullptr || luid == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER);
  for (const Privilege& privilege : kPrivileges) {
    if (nt::FoldName(privilege.name) == nt::FoldName(name)) {
      luid->LowPart = privilege.luid;
      luid->HighPart = 0;
      return TRUE;
    }
  }
  return win32::FailWith(ERROR_NO_SUCH_PRIVILEGE);
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, PTOKEN_PRIVILEGES new_state, DWORD,
                           PTOKEN_PRIVILEGES previous_state, PDWORD return_length) {
  PACCESS_TOKEN object = ReferenceToken(token, TOKEN_ADJUST_PRIVILEGES);
  if (object == nullptr) return FALSE;
  const std::u16string account = nt::TokenControl::AccountOf(object);
  ObDereferenceObject(object);
  if (!disable_all && new_state == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER);
  bool all_held = true;
  if (!disable_all) {
    for (DWORD i = 0; i < new_state->PrivilegeCount; ++i) {
      const LUID& luid = new_state->Privileges[i].Luid;
      if (luid.HighPart != 0 || !Holds(account, luid.LowPart)) all_held = false;
    }
  }
  if (previous_state != nullptr) previous_state->PrivilegeCount = 0;
  if (return_length != nullptr) *return_length = sizeof(DWORD);
  SetLastError(all_held ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
  return TRUE;
}

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
  if (descriptor == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER);
  if (revision != SECURITY_DESCRIPTOR_REVISION) return win32::FailWith(ERROR_UNKNOWN_REVISION);
  *static_cast<SECURITY_DESCRIPTOR*>(descriptor) =
      SECURITY_DESCRIPTOR{SECURITY_DESCRIPTOR_REVISION, 0, 0, nullptr, nullptr, nullptr, nullptr};
  return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL dacl_present, PACL dacl,
                               BOOL dacl_defaulted) {
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
  if (sd == nullptr || sd->Revision != SECURITY_DESCRIPTOR_REVISION) {
    return win32::FailWith(ERROR_INVALID_PARAMETER);
  }
  sd->Control = static_cast<WORD>(sd->Control & ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
  if (dacl_present) {
    sd->Control |= SE_DACL_PRESENT;
    if (dacl_defaulted) sd->Control |= SE_DACL_DEFAULTED;
    sd->Dacl = dacl;
  } else {
    sd->Dacl = nullptr;
  }
  return TRUE;
}

BOOL SetUserObjectSecurity(HANDLE object, SECURITY_INFORMATION* information,
                           PSECURITY_DESCRIPTOR descriptor) {
  if (information == nullptr || descriptor == nullptr) {
    return win32::FailWith(ERROR_INVALID_PARAMETER);
  }
  PVOID body = nullptr;
  const NTSTATUS status =
      ObReferenceObjectByHandle(object, WRITE_DAC, nullptr, UserMode, &body, nullptr);
  if (!NT_SUCCESS(status)) return win32::FailWithStatus(status);
  const auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(descriptor);
  if ((*information & DACL_SECURITY_INFORMATION) != 0 && win32::IsPipe(body)) {
    win32::SetPipeDacl(body, (sd->Control & SE_DACL_PRESENT) != 0 && sd->Dacl == nullptr);
  }
  ObfDereferenceObject(body);
  return TRUE;
}

namespace win32 {

void AccountControl::AddAccount(std::u16string_view name, std::u16string_view password,
                                std::initializer_list<std::u16string_view> privileges) {
  const std::u16string key = AccountKey(name);
  nt::RegistryControl::CreateKey(key);
  nt::RegistryControl::SetString(key, u"Password", password);
  std::u16string list;
  for (std::u16string_view privilege : privileges) {
    list += privilege;
    list += u'\0';
  }
  nt::RegistryControl::SetValue(key, u"Privileges", REG_MULTI_SZ, list.data(),
                                static_cast<ULONG>(list.size() * sizeof(WCHAR)));
}

void AccountControl::SetAdministrator(std::u16string_view name, bool administrator) {
  nt::RegistryControl::SetDword(AccountKey(name), u"Administrator", administrator ? 1 : 0);
}

bool CallerIsAdministrator() {
  SECURITY_SUBJECT_CONTEXT subject;
  SeCaptureSubjectContext(&subject);
  const std::u16string account = nt::TokenControl::AccountOf(
      subject.ClientToken != nullptr ? subject.ClientToken : subject.PrimaryToken);
  SeReleaseSubjectContext(&subject);
  if (nt::FoldName(account) == u"SYSTEM") return true;
  ULONG type;
  std::vector<UCHAR> data;
  DWORD administrator = 0;
  if (nt::RegistryControl::QueryValue(AccountKey(account), u"Administrator", &type, &data) &&
      type == REG_DWORD && data.size() == sizeof(administrator)) {
    std::memcpy(&administrator, data.data(), sizeof(administrator));
  }
  return administrator != 0;
}

}  // namespace win32
