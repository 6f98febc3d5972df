// Internal to platform/win32: the running state of the service control manager, shared by the
// manager's routines and the dispatcher of service programs. It lives as long as the process
// "services.exe" of the running kernel.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/nt/process.h"
#include "platform/win32/service_api.h"

namespace win32::services {

// A control on its way to a service's handler.
struct PendingControl {
  DWORD code;
  bool done = false;
  bool delivered = false;
};

struct ServiceState {
  std::u16string name;  // as the database spells it
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
  bool markedForDelete = false;
  int handles = 0;
  // While the service's program runs: its process, whether its dispatcher connected, and the
  // handler it registered.
  DWORD processId = 0;
  bool dispatcherConnected = false;
  bool mainStarted = false;
  LPHANDLER_FUNCTION handler = nullptr;
  LPHANDLER_FUNCTION_EX handlerEx = nullptr;
  LPVOID handlerContext = nullptr;
  std::deque<PendingControl*> controls;
  // The arguments of the last start; the service's main gets pointers into them.
  std::vector<std::u16string> arguments;
  std::vector<WCHAR*> argumentPointers;
};

class Database {
 public:
  // The database of the running kernel, made (with services.exe) on first use.
  static Database& Get();

  std::mutex lock;
  std::condition_variable changed;
  // By folded name.
  std::map<std::u16string, std::unique_ptr<ServiceState>> services;
  std::set<ServiceControlHandle*> handles;
  PEPROCESS process = nullptr;  // services.exe

  // The state of the service `name`, made on first use. REQUIRES: lock held.
  ServiceState& StateOf(std::u16string_view name);
  // The state behind a status handle, or null. REQUIRES: lock held.
  ServiceState* FindStatusHandle(SERVICE_STATUS_HANDLE handle);
};

}  // namespace win32::services
