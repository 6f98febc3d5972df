#include "framework/w_system.h"

#include <vector>

#include "platform/win32/process_api.h"
#include "platform/win32/process_local.h"
#include "platform/win32/registry_api.h"
#include "platform/win32/security_api.h"
#include "platform/win32/system_info.h"
#include "platform/win32/win_error.h"
#include "platform/win32/file_api.h"

namespace {

struct Version {
  Version() {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (GetVersionExW(&info)) {
      platform = info.dwPlatformId;
      major = info.dwMajorVersion;
      minor = info.dwMinorVersion;
    }
  }
  DWORD platform = 0;
  DWORD major = 0;
  DWORD minor = 0;
};

ProcessLocal<Version> version;

struct MountedValue {
  DWORD type = 0;
  std::vector<BYTE> data;
};

bool ReadMounted(HKEY key, const WCHAR* name, MountedValue* value) {
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &value->type, nullptr, &size) != ERROR_SUCCESS) {
    return false;
  }
  value->data.resize(size);
  return RegQueryValueExW(key, name, nullptr, &value->type, value->data.data(), &size) ==
         ERROR_SUCCESS;
}

}  // namespace

DWORD WSystem::platformId() const { return version->platform; }
DWORD WSystem::majorVersion() const { return version->major; }
DWORD WSystem::minorVersion() const { return version->minor; }

bool WSystem::IsNT() const { return platformId() == VER_PLATFORM_WIN32_NT; }

bool WSystem::IsWin2000OrLater() const { return IsNT() && majorVersion() >= 5; }

// Major at least 5 and minor at least 1, as the programs have always tested it: a 6.0 system
// does not count, and the machine offers none.
bool WSystem::IsWinXPOrLater() const {
  return IsNT() && majorVersion() >= 5 && minorVersion() >= 1;
}

bool WSystem::EnableShutdownPrivilege() const {
  if (!IsNT()) return true;
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return false;
  }
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!LookupPrivilegeValueW(nullptr, u"SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
    CloseHandle(token);
    return false;
  }
  AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  const DWORD error = GetLastError();
  CloseHandle(token);
  SetLastError(error);
  return error == ERROR_SUCCESS;
}

bool WSystem::SwapDriveLetters(WCHAR first, WCHAR second) const {
  if (!IsWin2000OrLater()) return false;
  HKEY key;
  LSTATUS error =
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\MountedDevices", 0, KEY_ALL_ACCESS, &key);
  if (error != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(error));
    return false;
  }
  WCHAR first_name[] = u"\\DosDevices\\?:";
  WCHAR second_name[] = u"\\DosDevices\\?:";
  first_name[12] = first;
  second_name[12] = second;
  MountedValue first_value;
  MountedValue second_value;
  if (!ReadMounted(key, first_name, &first_value) ||
      !ReadMounted(key, second_name, &second_value)) {
    RegCloseKey(key);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  const LSTATUS first_write =
      RegSetValueExW(key, second_name, 0, first_value.type, first_value.data.data(),
                     static_cast<DWORD>(first_value.data.size()));
  const LSTATUS second_write =
      RegSetValueExW(key, first_name, 0, second_value.type, second_value.data.data(),
                     static_cast<DWORD>(second_value.data.size()));
  RegFlushKey(key);
  RegCloseKey(key);
  if (first_write != ERROR_SUCCESS || second_write != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(first_write != ERROR_SUCCESS ? first_write : second_write));
    return false;
  }
  return true;
}
