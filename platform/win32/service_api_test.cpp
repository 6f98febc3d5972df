#include "platform/win32/service_api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/nt/driver.h"
#include "platform/nt/module_registry.h"
#include "platform/nt/ntstatus.h"
#include "platform/win32/file_api.h"
#include "platform/win32/module.h"
#include "platform/win32/registry_api.h"
#include "platform/win32/security_api.h"
#include "platform/win32/synch.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/win_error.h"

namespace {

// What the test service saw; machine-wide, as the service runs in its own process.
struct Seen {
  std::atomic<int> runs{0};
  std::atomic<DWORD> lastControl{0};
  std::atomic<DWORD> argc{0};
  std::atomic<bool> shutdown{false};
};
Seen seen;

SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status{};
HANDLE stopEvent = nullptr;

void Report(DWORD state) {
  status.dwCurrentState = state;
  SetServiceStatus(statusHandle, &status);
}

void Handler(DWORD control) {
  seen.lastControl = control;
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    seen.shutdown = control == SERVICE_CONTROL_SHUTDOWN;
    Report(SERVICE_STOP_PENDING);
    SetEvent(stopEvent);
  }
}

void ServiceMain(DWORD argc, LPWSTR*) {
  seen.argc = argc;
  statusHandle = RegisterServiceCtrlHandlerW(u"testsvc", Handler);
  status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING,
                          SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0, 0, 0, 0};
  stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ++seen.runs;
  Report(SERVICE_RUNNING);
  WaitForSingleObject(stopEvent, INFINITE);
  CloseHandle(stopEvent);
  Report(SERVICE_STOPPED);
}

int TestServiceProgram(int, WCHAR**) {
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(u"testsvc"), ServiceMain},
                                  {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}

int ProgramThatNeverConnects(int, WCHAR**) { return 0; }

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

class ServiceApiTest : public Win32Machine {
 protected:
  ServiceApiTest() {
    seen.runs = 0;
    seen.lastControl = 0;
    seen.shutdown = false;
    win32::UserModules::Install(
        {u"testsvc.exe", u"C:\\WINDOWS\\system32\\testsvc.exe", {}, nullptr,
         TestServiceProgram});
    win32::UserModules::Install(
        {u"silent.exe", u"C:\\WINDOWS\\system32\\silent.exe", {}, nullptr,
         ProgramThatNeverConnects});
    nt::ModuleRegistry::Register(u"testdrv.sys", TestDriverEntry);
    manager_ = OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS);
    EXPECT_NE(manager_, nullptr);
  }
  ~ServiceApiTest() override {
    CloseServiceHandle(manager_);
    win32::ServiceControl::ShutdownServices();
  }

  SC_HANDLE Create(const char16_t* name, const char16_t* path,
                   DWORD type = SERVICE_WIN32_OWN_PROCESS, DWORD start = SERVICE_DEMAND_START) {
    return CreateServiceW(manager_, name, u"Test service", SERVICE_ALL_ACCESS, type, start,
                          SERVICE_ERROR_NORMAL, path, nullptr, nullptr, nullptr, nullptr,
                          nullptr);
  }

  static DWORD State(SC_HANDLE service) {
    SERVICE_STATUS now{};
    return QueryServiceStatus(service, &now) ? now.dwCurrentState : 0;
  }

  // The service runs on threads of its own: waits (in host time, bounded) for it to get there.
  static bool Reaches(SC_HANDLE service, DWORD state) {
    for (int i = 0; i < 2000; ++i) {
      if (State(service) == state) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  static bool KeyExists(const std::u16string& name) {
    HKEY key;
    const std::u16string path = u"SYSTEM\\CurrentControlSet\\Services\\" + name;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return false;
    }
    RegCloseKey(key);
    return true;
  }

  SC_HANDLE manager_ = nullptr;
};

TEST_F(ServiceApiTest, AServiceIsInstalledStartedControlledStoppedAndRemoved) {
  SC_HANDLE service = Create(u"testsvc", u"%SystemRoot%\\system32\\testsvc.exe");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(State(service), SERVICE_STOPPED);

  LPCWSTR arguments[] = {u"-x"};
  ASSERT_TRUE(StartServiceW(service, 1, arguments));
  ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));
  EXPECT_EQ(seen.argc.load(), 2u);  // the service's name and the one argument
  EXPECT_FALSE(StartServiceW(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);

  SERVICE_STATUS reported{};
  ASSERT_TRUE(ControlService(service, 200, &reported));
  EXPECT_EQ(seen.lastControl.load(), 200u);
  EXPECT_EQ(reported.dwCurrentState, SERVICE_RUNNING);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_PAUSE, &reported));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL);

  // The service may already have stopped when the manager reads the status after the handler.
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &reported));
  EXPECT_TRUE(reported.dwCurrentState == SERVICE_STOP_PENDING ||
              reported.dwCurrentState == SERVICE_STOPPED);
  ASSERT_TRUE(Reaches(service, SERVICE_STOPPED));
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &reported));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);

  ASSERT_TRUE(DeleteService(service));
  EXPECT_FALSE(DeleteService(service));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_TRUE(KeyExists(u"testsvc"));  // until the last handle closes
  ASSERT_TRUE(CloseServiceHandle(service));
  EXPECT_FALSE(KeyExists(u"testsvc"));
  EXPECT_EQ(OpenServiceW(manager_, u"testsvc", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(seen.runs.load(), 1);
}

TEST_F(ServiceApiTest, TheDatabaseKeepsTheServicesConfiguration) {
  SC_HANDLE service = Create(u"testsvc", u"%SystemRoot%\\system32\\testsvc.exe");
  ASSERT_NE(service, nullptr);
  SERVICE_DESCRIPTIONW description{const_cast<LPWSTR>(u"Mirrors folders")};
  ASSERT_TRUE(ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description));
  EXPECT_FALSE(ChangeServiceConfig2W(service, 2, &description));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_LEVEL);

  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\testsvc", 0,
                          KEY_READ, &key),
            ERROR_SUCCESS);
  WCHAR text[64];
  DWORD size = sizeof(text);
  DWORD type = 0;
  ASSERT_EQ(RegQueryValueExW(key, u"ImagePath", nullptr, &type, reinterpret_cast<LPBYTE>(text),
                             &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(std::u16string(text), u"%SystemRoot%\\system32\\testsvc.exe");
  size = sizeof(text);
  ASSERT_EQ(RegQueryValueExW(key, u"Description", nullptr, nullptr,
                             reinterpret_cast<LPBYTE>(text), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(text), u"Mirrors folders");
  RegCloseKey(key);
  CloseServiceHandle(service);
}

TEST_F(ServiceApiTest, RequestsTheManagerRefuses) {
  SC_HANDLE service = Create(u"testsvc", u"%SystemRoot%\\system32\\testsvc.exe");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(Create(u"testsvc", u"x.exe"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);
  EXPECT_EQ(Create(u"bad\\name", u"x.exe"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_SHUTDOWN, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(ControlService(service, 200, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_FALSE(CloseServiceHandle(reinterpret_cast<SC_HANDLE>(&status)));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(QueryServiceStatus(manager_, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  SC_HANDLE disabled = Create(u"off", u"testsvc.exe", SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DISABLED);
  EXPECT_FALSE(StartServiceW(disabled, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DISABLED);
  SC_HANDLE silent = Create(u"silent", u"C:\\WINDOWS\\system32\\silent.exe");
  EXPECT_FALSE(StartServiceW(silent, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_REQUEST_TIMEOUT);
  EXPECT_EQ(State(silent), SERVICE_STOPPED);

  // A program the manager did not start cannot connect as a service.
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(u"testsvc"), ServiceMain},
                                  {nullptr, nullptr}};
  EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  for (SC_HANDLE each : {service, disabled, silent}) CloseServiceHandle(each);
}

TEST_F(ServiceApiTest, AccountsOtherThanAdministratorsOnlyQueryAndControl) {
  SC_HANDLE service = Create(u"testsvc", u"%SystemRoot%\\system32\\testsvc.exe");
  CloseServiceHandle(service);
  win32::AccountControl::AddAccount(u"ann", u"pw");
  win32::AccountControl::AddAccount(u"root", u"pw");
  win32::AccountControl::SetAdministrator(u"root", true);
  RunIn(NewProcess(u"user.exe", u"ann"), [] {
    EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(OpenServiceW(manager, u"testsvc", SERVICE_START), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    SC_HANDLE service = OpenServiceW(manager, u"testsvc", SERVICE_QUERY_STATUS |
                                                              SERVICE_USER_DEFINED_CONTROL);
    EXPECT_NE(service, nullptr);
    EXPECT_FALSE(DeleteService(service));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
  });
  RunIn(NewProcess(u"admin.exe", u"root"), [] {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    EXPECT_NE(manager, nullptr);
    CloseServiceHandle(manager);
  });
}

TEST_F(ServiceApiTest, AutomaticServicesStartAtBootAndHearTheShutdown) {
  SC_HANDLE service = Create(u"testsvc", u"%SystemRoot%\\system32\\testsvc.exe",
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START);
  ASSERT_NE(service, nullptr);
  win32::ServiceControl::StartAutomaticServices();
  ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));
  win32::ServiceControl::ShutdownServices();
  EXPECT_TRUE(seen.shutdown.load());
  EXPECT_TRUE(Reaches(service, SERVICE_STOPPED));
  CloseServiceHandle(service);
}

TEST_F(ServiceApiTest, AKernelDriverServiceLoadsAndUnloadsItsDriver) {
  SC_HANDLE service = Create(u"testdrv", u"System32\\drivers\\testdrv.sys",
                             SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START);
  ASSERT_NE(service, nullptr);
  ASSERT_TRUE(StartServiceW(service, 0, nullptr));
  EXPECT_NE(nt::DriverControl::Find(u"testdrv"), nullptr);
  EXPECT_EQ(State(service), SERVICE_RUNNING);
  SERVICE_STATUS reported{};
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &reported));
  EXPECT_EQ(reported.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(nt::DriverControl::Find(u"testdrv"), nullptr);
  CloseServiceHandle(service);
}

}  // namespace
