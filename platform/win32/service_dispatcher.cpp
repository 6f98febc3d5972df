#include <memory>

#include "platform/nt/object_namespace.h"
#include "platform/win32/file_api.h"
#include "platform/win32/process_api.h"
#include "platform/win32/service_database.h"
#include "platform/win32/synch.h"
#include "platform/win32/win_error.h"

using win32::FailWith;
using win32::services::Database;
using win32::services::PendingControl;
using win32::services::ServiceState;

namespace {

struct MainCall {
  LPSERVICE_MAIN_FUNCTIONW main;
  DWORD argc;
  LPWSTR* argv;
};

DWORD RunServiceMain(LPVOID parameter) {
  const std::unique_ptr<MainCall> call(static_cast<MainCall*>(parameter));
  call->main(call->argc, call->argv);
  return 0;
}

// The service of the calling process that `name` names. REQUIRES: db.lock held.
ServiceState* OwnService(Database& db, LPCWSTR name) {
  auto it = db.services.find(nt::FoldName(name));
  if (it == db.services.end() || it->second->processId != GetCurrentProcessId()) return nullptr;
  return it->second.get();
}

// Makes one of the two handler forms the service's handler.
SERVICE_STATUS_HANDLE RegisterHandler(LPCWSTR name, LPHANDLER_FUNCTION handler,
                                      LPHANDLER_FUNCTION_EX handlerEx, LPVOID context) {
  if (name == nullptr || (handler == nullptr && handlerEx == nullptr)) {
    FailWith(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Database& db = Database::Get();
  std::lock_guard guard(db.lock);
  ServiceState* state = OwnService(db, name);
  if (state == nullptr) {
    FailWith(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  state->handler = handler;
  state->handlerEx = handlerEx;
  state->handlerContext = context;
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(state);
}

}  // namespace

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
  if (table == nullptr || table[0].lpServiceName == nullptr || table[0].lpServiceProc == nullptr) {
    return FailWith(ERROR_INVALID_PARAMETER);
  }
  Database& db = Database::Get();
  std::unique_lock lock(db.lock);
  ServiceState* state = nullptr;
  for (auto& [name, each] : db.services) {
    if (each->processId == GetCurrentProcessId() && !each->dispatcherConnected) {
      state = each.get();
    }
  }
  if (state == nullptr) return FailWith(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  // An own-process service runs the table's first entry unless another one names it.
  const SERVICE_TABLE_ENTRYW* entry = table;
  for (const SERVICE_TABLE_ENTRYW* each = table; each->lpServiceName != nullptr; ++each) {
    if (nt::FoldName(each->lpServiceName) == nt::FoldName(state->name)) entry = each;
  }
  state->dispatcherConnected = true;
  auto* call = new MainCall{entry->lpServiceProc,
                            static_cast<DWORD>(state->argumentPointers.size() - 1),
                            state->argumentPointers.data()};
  HANDLE thread = CreateThread(nullptr, 0, RunServiceMain, call, 0, nullptr);
  if (thread == nullptr) {
    delete call;
    state->dispatcherConnected = false;
    return FALSE;
  }
  CloseHandle(thread);
  state->mainStarted = true;
  db.changed.notify_all();

  // The handler runs here, on the program's main thread, one control at a time.
  for (;;) {
    db.changed.wait(lock, [&] {
      return !state->controls.empty() || state->status.dwCurrentState == SERVICE_STOPPED;
    });
    if (state->controls.empty()) break;
    PendingControl* control = state->controls.front();
    state->controls.pop_front();
    const LPHANDLER_FUNCTION handler = state->handler;
    const LPHANDLER_FUNCTION_EX handlerEx = state->handlerEx;
    const LPVOID context = state->handlerContext;
    lock.unlock();
    if (handlerEx != nullptr) {
      handlerEx(control->code, 0, nullptr, context);
    } else if (handler != nullptr) {
      handler(control->code);
    }
    lock.lock();
    control->delivered = true;
    control->done = true;
    db.changed.notify_all();
  }
  state->dispatcherConnected = false;
  db.changed.notify_all();
  return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR name, LPHANDLER_FUNCTION_EX handler,
                                                    LPVOID context) {
  return RegisterHandler(name, nullptr, handler, context);
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR name, LPHANDLER_FUNCTION handler) {
  return RegisterHandler(name, handler, nullptr, nullptr);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
  if (status == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > SERVICE_PAUSED) {
    return FailWith(ERROR_INVALID_DATA);
  }
  Database& db = Database::Get();
  std::lock_guard guard(db.lock);
  ServiceState* state = db.FindStatusHandle(handle);
  if (state == nullptr || state->processId != GetCurrentProcessId()) {
    return FailWith(ERROR_INVALID_HANDLE);
  }
  state->status = *status;
  db.changed.notify_all();
  return TRUE;
}
