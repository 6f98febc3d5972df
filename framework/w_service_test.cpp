#include "framework/w_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/nt/machine_kernel.h"
#include "platform/nt/registry.h"
#include "platform/win32/file_api.h"
#include "platform/win32/process_api.h"
#include "platform/win32/registry_api.h"
#include "platform/win32/synch.h"
#include "platform/win32/win_error.h"

namespace {

// What the test service saw, machine-wide: it runs in a process of its own.
struct Seen {
  std::atomic<DWORD> userControl{0};
  std::atomic<DWORD> stateAtStop{0};
  std::atomic<bool> failInit{false};
  std::u16string name;
};
Seen seen;

class TestService : public WService {
 public:
  TestService() { stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  ~TestService() override { CloseHandle(stop_); }

  bool Init() override {
    if (!seen.failInit) return true;
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  int Run() override {
    WaitForSingleObject(stop_, INFINITE);
    return 0;
  }
  void OnStop() override {
    seen.stateAtStop = status().dwCurrentState;
    SetEvent(stop_);
  }
  bool OnUserControl(DWORD code) override {
    seen.userControl = code;
    return true;
  }

 private:
  HANDLE stop_;
};

// The service program: options are handled as the command line says, else it runs as the
// service.
int ServiceProgram(int argc, WCHAR** argv) {
  TestService service;
  seen.name = service.name();
  service.SetArguments(argc, argv);
  if (argc > 1) return service.ProcessCommandLine() ? 0 : 1;
  return service.Dispatch() ? 0 : 2;
}

class ServiceFrameworkTest : public ::testing::Test {
 protected:
  ServiceFrameworkTest() {
    seen.userControl = 0;
    seen.stateAtStop = 0;
    seen.failInit = false;
    Install(u"C:\\WINDOWS\\system32\\kvtestsvc.exe");
  }
  ~ServiceFrameworkTest() override { win32::ServiceControl::ShutdownServices(); }

  static void Install(const char16_t* path) {
    const std::u16string text(path);
    win32::UserModules::Install(
        {text.substr(text.rfind(u'\\') + 1), text, {}, nullptr, ServiceProgram});
  }

  // Runs the program with `arguments` and returns its exit code.
  static DWORD RunProgram(const char16_t* program, const char16_t* arguments) {
    std::u16string line = std::u16string(program) + u" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    EXPECT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &started));
    WaitForSingleObject(started.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(started.hProcess, &code);
    CloseHandle(started.hProcess);
    CloseHandle(started.hThread);
    return code;
  }

  static std::u16string ServiceValue(const char16_t* value) {
    ULONG type;
    std::vector<UCHAR> data;
    if (!nt::RegistryControl::QueryValue(
            u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\kvtestsvc", value, &type,
            &data)) {
      return u"(none)";
    }
    std::u16string text(data.size() / 2, u'\0');
    std::memcpy(text.data(), data.data(), text.size() * 2);
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return text;
  }

  // The service runs on threads of its own: waits (in host time, bounded) for its state.
  static bool Reaches(WServiceCtrlMgr& manager, DWORD state) {
    for (int i = 0; i < 2000; ++i) {
      SERVICE_STATUS now{};
      if (manager.QueryStatus(&now) && now.dwCurrentState == state) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  nt::Kernel kernel_;
};

TEST_F(ServiceFrameworkTest, TheServiceIsNamedAfterItsProgramUpToTheFirstDot) {
  struct Case {
    const char16_t* path;
    const char16_t* name;
  };
  constexpr Case kCases[] = {{u"C:\\Program Files\\Korvane\\kvsyncsvc.exe", u"kvsyncsvc"},
                             {u"C:\\tools\\a.b.exe", u"a"}};
  for (const Case& each : kCases) {
    Install(each.path);
    const std::u16string path(each.path);
    RunProgram(path.substr(path.rfind(u'\\') + 1).c_str(), u"/x");
    EXPECT_EQ(seen.name, each.name);
  }
}

TEST_F(ServiceFrameworkTest, InstallingStoresAProgramInTheWindowsFolderRelativeToItsRoot) {
  nt::RegistryControl::SetString(
      u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", u"SystemRoot",
      u"C:\\Windows");
  EXPECT_EQ(RunProgram(u"kvtestsvc.exe", u"-i:D \"Test service\""), 0u);
  EXPECT_EQ(ServiceValue(u"ImagePath"), u"%SystemRoot%\\system32\\kvtestsvc.exe");
  EXPECT_EQ(ServiceValue(u"DisplayName"), u"Test service");
  EXPECT_EQ(RunProgram(u"kvtestsvc.exe", u"-i"), 1u);  // installed already
  EXPECT_EQ(RunProgram(u"kvtestsvc.exe", u"-u"), 0u);
  EXPECT_EQ(ServiceValue(u"ImagePath"), u"(none)");
  EXPECT_EQ(RunProgram(u"kvtestsvc.exe", u"x"), 1u);  // no option
}

TEST_F(ServiceFrameworkTest, ControlsReachTheVirtualOperationsAndAStopIsReportedAtOnce) {
  ASSERT_EQ(RunProgram(u"kvtestsvc.exe", u"-i:d"), 0u);
  WServiceCtrlMgr manager(SC_MANAGER_ALL_ACCESS);
  ASSERT_TRUE(manager.Open(u"kvtestsvc", SERVICE_ALL_ACCESS));
  ASSERT_TRUE(StartServiceW(manager.service(), 0, nullptr));
  ASSERT_TRUE(Reaches(manager, SERVICE_RUNNING));

  SERVICE_STATUS status{};
  ASSERT_TRUE(manager.Control(200, &status));
  EXPECT_EQ(seen.userControl.load(), 200u);
  ASSERT_TRUE(manager.Control(SERVICE_CONTROL_PARAMCHANGE, &status));  // ignored, reported
  EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);

  ASSERT_TRUE(manager.Control(SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(seen.stateAtStop.load(), SERVICE_STOP_PENDING);
  EXPECT_TRUE(Reaches(manager, SERVICE_STOPPED));
}

TEST_F(ServiceFrameworkTest, AFailingInitLeavesTheServiceStoppedWithTheLastError) {
  ASSERT_EQ(RunProgram(u"kvtestsvc.exe", u"-i:d"), 0u);
  seen.failInit = true;
  WServiceCtrlMgr manager(SC_MANAGER_ALL_ACCESS);
  ASSERT_TRUE(manager.Open(u"kvtestsvc", SERVICE_ALL_ACCESS));
  ASSERT_TRUE(StartServiceW(manager.service(), 0, nullptr));
  ASSERT_TRUE(Reaches(manager, SERVICE_STOPPED));
  SERVICE_STATUS status{};
  ASSERT_TRUE(manager.QueryStatus(&status));
  EXPECT_EQ(status.dwWin32ExitCode, ERROR_ACCESS_DENIED);
}

TEST_F(ServiceFrameworkTest, EveryOperationFailsWithoutTheHandleItNeeds) {
  WServiceCtrlMgr manager(SC_MANAGER_ALL_ACCESS, u"NoSuchDatabase");
  EXPECT_EQ(manager.manager(), nullptr);
  SERVICE_STATUS status{};
  EXPECT_FALSE(manager.Open(u"kvtestsvc", SERVICE_ALL_ACCESS));
  EXPECT_FALSE(manager.QueryStatus(&status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  WServiceCtrlMgr connected(SC_MANAGER_ALL_ACCESS);
  EXPECT_FALSE(connected.Delete());
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
