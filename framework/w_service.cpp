#include "framework/w_service.h"

#include "platform/nt/access_rights.h"
#include "platform/win32/process_local.h"
#include "platform/nt/wide_char.h"
#include "platform/win32/system_info.h"
#include "platform/win32/win_error.h"

namespace {

// The one service object of each process.
ProcessLocal<WService*> current;

constexpr DWORD kFirstUserControl = 128;

}  // namespace

WService::WService(LPCWSTR name) : WModule(GetModuleHandleW(nullptr)) {
  if (name != nullptr) {
    name_ = name;
  } else {
    const std::u16string& path = fileName.Get();
    const size_t slash = path.rfind(u'\\');
    name_ = path.substr(slash == std::u16string::npos ? 0 : slash + 1);
    name_ = name_.substr(0, name_.find(u'.'));
  }
  current.Get() = this;
}

WService::~WService() {
  if (current.Get() == this) current.Get() = nullptr;
}

WService* WService::instance() { return current.Get(); }

void WService::SetStatus(DWORD state, DWORD checkpoint) {
  SERVICE_STATUS reported;
  {
    std::lock_guard guard(statusLock_);
    status_.dwCurrentState = state;
    status_.dwCheckPoint = checkpoint;
    reported = status_;
  }
  SetServiceStatus(statusHandle_, &reported);
}

void WService::ReportStatus() {
  SERVICE_STATUS reported = status();
  SetServiceStatus(statusHandle_, &reported);
}

void WService::SetCompletion(DWORD exitCode) {
  std::lock_guard guard(statusLock_);
  status_.dwWin32ExitCode = exitCode;
  status_.dwCheckPoint = 0;
  status_.dwWaitHint = 0;
}

bool WService::Dispatch() {
  SERVICE_TABLE_ENTRYW table[] = {{name_.data(), &WService::ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) != FALSE;
}

bool WService::QueryState(DWORD* state) {
  WServiceCtrlMgr manager(SC_MANAGER_ALL_ACCESS, SERVICES_ACTIVE_DATABASEW);
  if (!manager.Open(name_.c_str(), SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)) return false;
  if (state != nullptr) {
    SERVICE_STATUS now{};
    if (manager.QueryStatus(&now)) *state = now.dwCurrentState;
  }
  return true;
}

bool WService::Install(LPCWSTR displayName, DWORD startType) {
  std::u16string path = fileName.Get().substr(0, MAX_PATH);
  WCHAR windows[MAX_PATH];
  const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
  if (length != 0 && length < MAX_PATH && path.size() > length && path[length] == u'\\' &&
      _wcsnicmp(path.c_str(), windows, length) == 0) {
    path = u"%SystemRoot%" + path.substr(length);
  }
  WServiceCtrlMgr manager(SC_MANAGER_ALL_ACCESS, SERVICES_ACTIVE_DATABASEW);
  return manager.Create(name_.c_str(), displayName, path.c_str(), SERVICE_WIN32_OWN_PROCESS,
                        startType, nullptr, SERVICE_ALL_ACCESS, SERVICE_ERROR_NORMAL);
}

bool WService::Remove() {
  WServiceCtrlMgr manager(SC_MANAGER_ALL_ACCESS, SERVICES_ACTIVE_DATABASEW);
  if (!manager.Open(name_.c_str(), DELETE | SERVICE_STOP)) return false;
  SERVICE_STATUS ignored;
  manager.Control(SERVICE_CONTROL_STOP, &ignored);
  return manager.Delete();
}

bool WService::ProcessCommandLine() {
  if (argumentCount_ < 2 || argumentVector_ == nullptr) return false;
  const WCHAR* option = argumentVector_[1];
  if (option[0] != u'-' && option[0] != u'/') return false;
  switch (option[1]) {
    case u'i':
    case u'I': {
      if (QueryState()) return false;
      const bool demand = option[2] == u':' && (option[3] == u'd' || option[3] == u'D');
      const WCHAR* displayName = argumentCount_ > 2 ? argumentVector_[2] : name_.c_str();
      if (!Install(displayName, demand ? SERVICE_DEMAND_START : SERVICE_AUTO_START)) {
        return false;
      }
      const bool installed = OnInstall();
      if (!installed) Remove();
      return installed;
    }
    case u'u':
    case u'U':
      return OnUninstall() && Remove();
    default:
      return OnCommandLine(argumentCount_, argumentVector_);
  }
}

void WService::ServiceMain(DWORD, LPWSTR*) {
  WService* service = instance();
  {
    std::lock_guard guard(service->statusLock_);
    service->status_.dwCurrentState = SERVICE_START_PENDING;
  }
  service->statusHandle_ =
      RegisterServiceCtrlHandlerW(service->name_.c_str(), &WService::Handler);
  if (service->statusHandle_ == nullptr) return;
  service->SetStatus(SERVICE_START_PENDING, 0);
  const bool started = service->Init();
  service->SetCompletion(GetLastError());
  // Once it is reported stopped, the dispatcher returns and the program may end with the
  // object: a failed start reports it only once, and nothing touches the object after.
  service->SetStatus(started ? SERVICE_RUNNING : SERVICE_STOPPED, 0);
  if (!started) return;
  service->SetCompletion(0);
  service->running_ = 1;
  service->Run();
  service->SetStatus(SERVICE_STOPPED, 0);
}

void WService::Handler(DWORD control) {
  WService* service = instance();
  switch (control) {
    case SERVICE_CONTROL_STOP:
      service->SetStatus(SERVICE_STOP_PENDING, 0);
      service->OnStop();
      service->running_ = 0;
      break;
    case SERVICE_CONTROL_PAUSE:
      service->OnPause();
      break;
    case SERVICE_CONTROL_CONTINUE:
      service->OnContinue();
      break;
    case SERVICE_CONTROL_INTERROGATE:
      service->OnInterrogate();
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      service->OnShutdown();
      break;
    default:
      if (control >= kFirstUserControl) service->OnUserControl(control);
      break;
  }
  service->ReportStatus();
}

WServiceCtrlMgr::WServiceCtrlMgr(DWORD access, LPCWSTR database, LPCWSTR machine)
    : manager_(OpenSCManagerW(machine, database, access)) {}

WServiceCtrlMgr::~WServiceCtrlMgr() {
  CloseService();
  if (manager_ != nullptr) CloseServiceHandle(manager_);
}

void WServiceCtrlMgr::CloseService() {
  if (service_ != nullptr) CloseServiceHandle(service_);
  service_ = nullptr;
}

bool WServiceCtrlMgr::Require(SC_HANDLE handle) {
  if (handle != nullptr) return true;
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

bool WServiceCtrlMgr::DeleteService(LPCWSTR name) {
  if (!Require(manager_)) return false;
  SC_HANDLE service = OpenServiceW(manager_, name, DELETE);
  if (service == nullptr) return false;
  const bool deleted = ::DeleteService(service) != FALSE;
  CloseServiceHandle(service);
  return deleted;
}

bool WServiceCtrlMgr::Create(LPCWSTR name, LPCWSTR displayName, LPCWSTR binaryPath,
                             DWORD serviceType, DWORD startType, LPCWSTR group, DWORD access,
                             DWORD errorControl, LPDWORD tag, LPCWSTR dependencies,
                             LPCWSTR account, LPCWSTR password) {
  if (!Require(manager_)) return false;
  CloseService();
  service_ = CreateServiceW(manager_, name, displayName, access, serviceType, startType,
                            errorControl, binaryPath, group, tag, dependencies, account,
                            password);
  return service_ != nullptr;
}

bool WServiceCtrlMgr::Open(LPCWSTR name, DWORD access) {
  if (!Require(manager_)) return false;
  CloseService();
  service_ = OpenServiceW(manager_, name, access);
  return service_ != nullptr;
}

bool WServiceCtrlMgr::Delete() { return Require(service_) && ::DeleteService(service_) != FALSE; }

bool WServiceCtrlMgr::QueryStatus(SERVICE_STATUS* status) {
  return Require(service_) && QueryServiceStatus(service_, status) != FALSE;
}

bool WServiceCtrlMgr::Control(DWORD code, SERVICE_STATUS* status) {
  return Require(service_) && ControlService(service_, code, status) != FALSE;
}
