// A program that runs as a Windows service of its own process (WService), and one connection
// to the service control manager with one service handle (WServiceCtrlMgr).
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "framework/w_module.h"
#include "platform/win32/service_api.h"

class WService : public WModule {
 public:
  // Records the object as its process's service. Without a name, the program's file name up to
  // its first "." names the service.
  explicit WService(LPCWSTR name = nullptr);
  ~WService() override;

  // The service of the calling process, or null.
  static WService* instance();

  // The program's arguments, for ProcessCommandLine.
  void SetArguments(int argc, WCHAR** argv) {
    argumentCount_ = argc;
    argumentVector_ = argv;
  }
  const std::u16string& name() const { return name_; }
  bool running() const { return running_.load() != 0; }
  // The status last stored.
  SERVICE_STATUS status() const {
    std::lock_guard guard(statusLock_);
    return status_;
  }

  // Stores the state and checkpoint and reports the whole status.
  void SetStatus(DWORD state, DWORD checkpoint);
  // Reports the whole status as it is stored.
  void ReportStatus();
  // Hands the calling (main) thread to the control dispatcher until the service stopped.
  bool Dispatch();
  // Whether the service is installed; its current state in *state when asked.
  bool QueryState(DWORD* state = nullptr);
  // Installs the program as an own-process service; a path in the Windows directory is stored
  // relative to %SystemRoot%.
  bool Install(LPCWSTR displayName, DWORD startType);
  // Asks the service to stop (without waiting) and deletes it.
  bool Remove();
  // "-i[:d] [display name]" installs, "-u" removes, any other "-x" or "/x" goes to
  // OnCommandLine. False without such an argument.
  bool ProcessCommandLine();

  virtual int Run() = 0;
  virtual bool Init() { return true; }
  virtual void OnStop() {}
  virtual void OnInterrogate() {}
  virtual void OnPause() {}
  virtual void OnContinue() {}
  virtual void OnShutdown() {}
  virtual bool OnUserControl(DWORD) { return false; }
  virtual bool OnInstall() { return true; }
  virtual bool OnUninstall() { return true; }
  virtual bool OnCommandLine(int, WCHAR**) { return true; }

 protected:
  int argumentCount_ = 0;
  WCHAR** argumentVector_ = nullptr;
  std::u16string name_;
  std::atomic<LONG> running_{0};
  SERVICE_STATUS_HANDLE statusHandle_ = nullptr;
  // The control handler (main thread) and the service's own thread both change the status.
  mutable std::mutex statusLock_;
  SERVICE_STATUS status_{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED,
                         SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE |
                             SERVICE_ACCEPT_SHUTDOWN,
                         0, 0, 0, 0};

 private:
  // Sets the exit code, checkpoint and wait hint.
  void SetCompletion(DWORD exitCode);
  static void ServiceMain(DWORD argc, LPWSTR* argv);
  static void Handler(DWORD control);
};

class WServiceCtrlMgr : public WObject {
 public:
  WServiceCtrlMgr(DWORD access, LPCWSTR database = nullptr, LPCWSTR machine = nullptr);
  ~WServiceCtrlMgr() override;
  WServiceCtrlMgr(const WServiceCtrlMgr&) = delete;
  WServiceCtrlMgr& operator=(const WServiceCtrlMgr&) = delete;

  bool DeleteService(LPCWSTR name);
  bool Create(LPCWSTR name, LPCWSTR displayName, LPCWSTR binaryPath,
              DWORD serviceType = SERVICE_WIN32_OWN_PROCESS,
              DWORD startType = SERVICE_DEMAND_START, LPCWSTR group = nullptr,
              DWORD access = SERVICE_ALL_ACCESS, DWORD errorControl = SERVICE_ERROR_NORMAL,
              LPDWORD tag = nullptr, LPCWSTR dependencies = nullptr, LPCWSTR account = nullptr,
              LPCWSTR password = nullptr);
  bool Open(LPCWSTR name, DWORD access);
  bool Delete();
  bool QueryStatus(SERVICE_STATUS* status);
  bool Control(DWORD code, SERVICE_STATUS* status);

  SC_HANDLE manager() const { return manager_; }
  SC_HANDLE service() const { return service_; }

 private:
  void CloseService();
  // False with ERROR_INVALID_HANDLE when the handle is 0.
  static bool Require(SC_HANDLE handle);

  SC_HANDLE manager_ = nullptr;
  SC_HANDLE service_ = nullptr;
};
