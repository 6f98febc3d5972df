#include "platform/win32/security_api.h"

#include "platform/nt/token.h"
#include "platform/win32/file_api.h"
#include "platform/win32/process_api.h"
#include "platform/win32/registry_api.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/win_error.h"

namespace {

class Security : public Win32Machine {
 protected:
  Security() {
    win32::AccountControl::AddAccount(u"ann", u"secret", {u"SeShutdownPrivilege"});
    win32::AccountControl::AddAccount(u"bob", u"pw");
  }
};

bool CanEnableShutdown() {
  HANDLE token;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                               &token));
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  EXPECT_TRUE(LookupPrivilegeValueW(nullptr, u"SeShutdownPrivilege", &privileges.Privileges[0].Luid));
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
  const bool all = GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return all;
}

}  // namespace

TEST_F(Security, LogonChecksTheMachinesAccounts) {
  struct Case {
    const char* name;
    const char16_t* user;
    const char16_t* domain;
    const char16_t* password;
    bool succeeds;
  };
  constexpr Case kCases[] = {
      {"right password", u"ann", u".", u"secret", true},
      {"no domain", u"ANN", nullptr, u"secret", true},
      {"wrong password", u"ann", u".", u"Secret", false},
      {"unknown account", u"eve", u".", u"secret", false},
      {"other domain", u"ann", u"CORP", u"secret", false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    HANDLE token = nullptr;
    EXPECT_EQ(LogonUserW(c.user, c.domain, c.password, LOGON32_LOGON_NETWORK,
                         LOGON32_PROVIDER_DEFAULT, &token) != FALSE,
              c.succeeds);
    if (c.succeeds) {
      EXPECT_TRUE(CloseHandle(token));
    } else {
      EXPECT_EQ(GetLastError(), ERROR_LOGON_FAILURE);
    }
  }
}

TEST_F(Security, ImpersonationChangesTheThreadsAccountUntilRevert) {
  HANDLE token;
  ASSERT_TRUE(LogonUserW(u"ann", u".", u"secret", LOGON32_LOGON_NETWORK,
                         LOGON32_PROVIDER_DEFAULT, &token));
  HANDLE thread_token;
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread_token));
  EXPECT_EQ(GetLastError(), ERROR_NO_TOKEN);
  ASSERT_TRUE(ImpersonateLoggedOnUser(token));
  EXPECT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread_token));
  CloseHandle(thread_token);
  // HKEY_CURRENT_USER follows the account acted for.
  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_TRUE(RevertToSelf());
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread_token));
  EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, u"ann\\Software", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  CloseHandle(token);
}

TEST_F(Security, PrivilegesAreAssignedOnlyWhenTheAccountHoldsThem) {
  EXPECT_TRUE(CanEnableShutdown());  // SYSTEM
  RunIn(NewProcess(u"kvagent.exe", u"ann"), [] { EXPECT_TRUE(CanEnableShutdown()); });
  RunIn(NewProcess(u"kvagent.exe", u"bob"), [] { EXPECT_FALSE(CanEnableShutdown()); });
  LUID luid;
  EXPECT_FALSE(LookupPrivilegeValueW(nullptr, u"SeMadeUpPrivilege", &luid));
  EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_PRIVILEGE);
  HANDLE token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  TOKEN_PRIVILEGES none{};
  EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &none, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(token);
}
