#include "framework/w_system.h"

#include <gtest/gtest.h>

#include "framework/w_module.h"
#include "framework/w_reg_key.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/process.h"
#include "platform/nt/token.h"
#include "platform/win32/security_api.h"
#include "platform/win32/system_info.h"
#include "platform/win32/win_error.h"

namespace {

class System : public ::testing::Test {
 protected:
  // Runs `body` in a new process, as a program that starts on the machine as it is now.
  void InProgram(const char16_t* account, std::function<void()> body) {
    PACCESS_TOKEN token = nt::TokenControl::CreateToken(account);
    PEPROCESS process = nt::ProcessControl::Create(u"kvagent.exe", token);
    ObDereferenceObject(token);
    nt::ProcessControl::RunIn(process, std::move(body));
    nt::ProcessControl::Terminate(process);
    ObDereferenceObject(process);
  }

  nt::Kernel kernel_;
};

int Twice(int value) { return value * 2; }

}  // namespace

TEST_F(System, VersionTestsFollowTheMachinesWindows) {
  struct Case {
    const char* name;
    win32::WindowsVersion version;
    bool nt;
    bool win2000;
    bool xp;
  };
  constexpr Case kCases[] = {
      {"95", win32::WindowsVersion::k95, false, false, false},
      {"98", win32::WindowsVersion::k98, false, false, false},
      {"Me", win32::WindowsVersion::kMe, false, false, false},
      {"NT 4", win32::WindowsVersion::kNT4, true, false, false},
      {"2000", win32::WindowsVersion::k2000, true, true, false},
      {"XP", win32::WindowsVersion::kXP, true, true, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    win32::SystemControl::SetWindows(c.version);
    InProgram(u"ann", [&] {
      const WSystem system;
      EXPECT_EQ(system.IsNT(), c.nt);
      EXPECT_EQ(system.IsWin2000OrLater(), c.win2000);
      EXPECT_EQ(system.IsWinXPOrLater(), c.xp);
    });
  }
  // The test asks for a minor version of at least 1, so 6.0 does not pass it.
  nt::MachineControl::SetVersion(6, 0);
  InProgram(u"ann", [] { EXPECT_FALSE(WSystem().IsWinXPOrLater()); });
}

TEST_F(System, ShutdownPrivilegeDependsOnTheAccount) {
  win32::AccountControl::AddAccount(u"ann", u"pw", {u"SeShutdownPrivilege"});
  win32::AccountControl::AddAccount(u"bob", u"pw");
  InProgram(u"ann", [] { EXPECT_TRUE(WSystem().EnableShutdownPrivilege()); });
  InProgram(u"bob", [] {
    EXPECT_FALSE(WSystem().EnableShutdownPrivilege());
    EXPECT_EQ(GetLastError(), ERROR_NOT_ALL_ASSIGNED);
  });
  win32::SystemControl::SetWindows(win32::WindowsVersion::k98);
  InProgram(u"bob", [] { EXPECT_TRUE(WSystem().EnableShutdownPrivilege()); });
}

TEST_F(System, SwapDriveLettersExchangesTheMountedDeviceValues) {
  WRegKey mounted;
  ASSERT_TRUE(mounted.Open(u"SYSTEM\\MountedDevices", KEY_ALL_ACCESS, true));
  const BYTE c_volume[] = {1, 2, 3};
  const BYTE d_volume[] = {4, 5, 6, 7};
  ASSERT_TRUE(mounted.SetValue(u"\\DosDevices\\C:", REG_BINARY, c_volume, sizeof c_volume));
  ASSERT_TRUE(mounted.SetValue(u"\\DosDevices\\D:", REG_BINARY, d_volume, sizeof d_volume));
  InProgram(u"SYSTEM", [] {
    const WSystem system;
    EXPECT_TRUE(system.SwapDriveLetters(u'C', u'D'));
    EXPECT_FALSE(system.SwapDriveLetters(u'C', u'E'));
  });
  BYTE data[8];
  EXPECT_EQ(mounted.QueryValue(u"\\DosDevices\\C:", data, sizeof data), 4u);
  EXPECT_EQ(data[0], 4);
  EXPECT_EQ(mounted.QueryValue(u"\\DosDevices\\D:", data, sizeof data), 3u);
  EXPECT_EQ(data[0], 1);
  win32::SystemControl::SetWindows(win32::WindowsVersion::kNT4);
  InProgram(u"SYSTEM", [] { EXPECT_FALSE(WSystem().SwapDriveLetters(u'C', u'D')); });
}

TEST_F(System, LibraryFindsItsRoutinesAndNamesItsFile) {
  win32::UserModules::Install(ModuleImage{u"kvpack8.dll",
                                          u"C:\\Program Files\\Korvane\\kvpack8.dll",
                                          {{"Pack", 2, reinterpret_cast<FARPROC>(&Twice)}},
                                          nullptr,
                                          nullptr,
                                          nullptr});
  {
    WLibrary library(u"kvpack8.dll");
    ASSERT_TRUE(library.loaded());
    EXPECT_EQ(library.fileName.Get(), u"C:\\Program Files\\Korvane\\kvpack8.dll");
    library.fileName.Set(u"other");
    EXPECT_EQ(library.fileName.Get(), u"C:\\Program Files\\Korvane\\kvpack8.dll");
    FARPROC by_ordinal = nullptr;
    FARPROC by_name = nullptr;
    EXPECT_TRUE(library.GetProc(MAKEINTRESOURCEA(2), &by_ordinal));
    EXPECT_TRUE(library.GetProc("Pack", &by_name));
    EXPECT_EQ(by_ordinal, by_name);
    EXPECT_EQ(reinterpret_cast<int (*)(int)>(by_name)(4), 8);
  }
  EXPECT_EQ(GetModuleHandleW(u"kvpack8.dll"), nullptr);
  WLibrary missing(u"kvnone.dll");
  FARPROC proc;
  EXPECT_FALSE(missing.GetProc("Pack", &proc));
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  win32::UserModules::Uninstall(u"kvpack8.dll");
}
