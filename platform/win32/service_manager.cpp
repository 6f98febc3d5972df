#include <string>
#include <vector>

#include "platform/nt/access_rights.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/process.h"
#include "platform/win32/file_api.h"
#include "platform/win32/process_api.h"
#include "platform/win32/registry_api.h"
#include "platform/win32/security_api.h"
#include "platform/win32/service_database.h"
#include "platform/win32/synch.h"
#include "platform/win32/system_info.h"
#include "platform/win32/win_error.h"

// An open handle of the manager (service null) or of a service.
struct ServiceControlHandle {
  win32::services::ServiceState* service;
  DWORD access;
};

namespace win32::services {

namespace {

constexpr char16_t kServicesKey[] = u"SYSTEM\\CurrentControlSet\\Services";
constexpr DWORD RPC_S_SERVER_UNAVAILABLE = 1722;

// What GENERIC_* rights mean for the manager and for services, and what accounts other than
// the administrators are granted.
struct AccessMapping {
  DWORD read, write, execute, all, ordinaryUser;
};
constexpr AccessMapping kManagerAccess{
    STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS,
    STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG,
    STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK, SC_MANAGER_ALL_ACCESS,
    READ_CONTROL | SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE |
        SC_MANAGER_QUERY_LOCK_STATUS};
constexpr AccessMapping kServiceAccess{
    STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
        SERVICE_ENUMERATE_DEPENDENTS,
    STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG,
    STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
        SERVICE_USER_DEFINED_CONTROL,
    SERVICE_ALL_ACCESS,
    READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
        SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL};

// The rights granted for `desired`, or false when some are refused.
bool Grant(DWORD desired, const AccessMapping& mapping, DWORD* granted) {
  const DWORD allowed = CallerIsAdministrator() ? mapping.all : mapping.ordinaryUser;
  DWORD wanted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL |
                             MAXIMUM_ALLOWED);
  if ((desired & GENERIC_READ) != 0) wanted |= mapping.read;
  if ((desired & GENERIC_WRITE) != 0) wanted |= mapping.write;
  if ((desired & GENERIC_EXECUTE) != 0) wanted |= mapping.execute;
  if ((desired & GENERIC_ALL) != 0) wanted |= mapping.all;
  if ((desired & MAXIMUM_ALLOWED) != 0) wanted |= allowed;
  if ((wanted & ~allowed) != 0) return false;
  *granted = wanted;
  return true;
}

// One service's key in the database.
class ServiceKey {
 public:
  ServiceKey() = default;
  ~ServiceKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  ServiceKey(const ServiceKey&) = delete;
  ServiceKey& operator=(const ServiceKey&) = delete;

  bool Open(std::u16string_view name) {
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, Path(name).c_str(), 0, KEY_ALL_ACCESS, &key_) ==
           ERROR_SUCCESS;
  }
  bool Create(std::u16string_view name) {
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, Path(name).c_str(), 0, nullptr, 0,
                           KEY_ALL_ACCESS, nullptr, &key_, nullptr) == ERROR_SUCCESS;
  }

  DWORD Dword(LPCWSTR value, DWORD fallback) const {
    DWORD data = 0;
    DWORD size = sizeof(data);
    DWORD type = 0;
    if (RegQueryValueExW(key_, value, nullptr, &type, reinterpret_cast<LPBYTE>(&data), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(data)) {
      return fallback;
    }
    return data;
  }
  std::u16string String(LPCWSTR value) const {
    DWORD size = 0;
    if (RegQueryValueExW(key_, value, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) {
      return u"";
    }
    std::u16string text(size / sizeof(WCHAR), u'\0');
    if (RegQueryValueExW(key_, value, nullptr, nullptr, reinterpret_cast<LPBYTE>(text.data()),
                         &size) != ERROR_SUCCESS) {
      return u"";
    }
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return text;
  }
  void SetDword(LPCWSTR value, DWORD data) {
    RegSetValueExW(key_, value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                   sizeof(data));
  }
  void SetString(LPCWSTR value, std::u16string_view text, DWORD type = REG_SZ) {
    const std::u16string stored(text);
    RegSetValueExW(key_, value, 0, type, reinterpret_cast<const BYTE*>(stored.c_str()),
                   static_cast<DWORD>((stored.size() + 1) * sizeof(WCHAR)));
  }
  void DeleteValue(LPCWSTR value) { RegDeleteValueW(key_, value); }

  static std::u16string Path(std::u16string_view name) {
    std::u16string path(kServicesKey);
    path += u'\\';
    path += name;
    return path;
  }

 private:
  HKEY key_ = nullptr;
};

// Deletes a key with everything below it.
void DeleteKeyTree(HKEY parent, const std::u16string& name) {
  HKEY key;
  if (RegOpenKeyExW(parent, name.c_str(), 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    WCHAR child[256];
    while (RegEnumKeyW(key, 0, child, 256) == ERROR_SUCCESS) DeleteKeyTree(key, child);
    RegCloseKey(key);
  }
  RegDeleteKeyW(parent, name.c_str());
}

bool IsDriver(DWORD type) {
  return (type & (SERVICE_KERNEL_DRIVER | SERVICE_FILE_SYSTEM_DRIVER)) != 0;
}

// Deletes a service marked for deletion once it is stopped and no handle holds it: its key goes
// from the registry; its state goes too once its program has ended.
// REQUIRES: db.lock held.
void RemoveIfDone(Database& db, ServiceState& state) {
  if (!state.markedForDelete || state.handles != 0 ||
      state.status.dwCurrentState != SERVICE_STOPPED ||
      nt::DriverControl::Find(state.name) != nullptr) {
    return;
  }
  DeleteKeyTree(HKEY_LOCAL_MACHINE, ServiceKey::Path(state.name));
  if (state.processId == 0) db.services.erase(nt::FoldName(state.name));
}

SC_HANDLE NewHandle(Database& db, ServiceState* service, DWORD access) {
  auto* handle = new ServiceControlHandle{service, access};
  std::lock_guard guard(db.lock);
  db.handles.insert(handle);
  if (service != nullptr) ++service->handles;
  return handle;
}

// The handle when it is open and of the kind asked for (a manager's or a service's), with
// `access`; null with the last error set otherwise. REQUIRES: db.lock held.
ServiceControlHandle* Check(Database& db, SC_HANDLE handle, bool manager, DWORD access) {
  if (!db.handles.contains(handle) || (handle->service == nullptr) != manager) {
    FailWith(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if ((handle->access & access) != access) {
    FailWith(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return handle;
}

bool IsThisComputer(std::u16string_view machine) {
  while (machine.starts_with(u'\\')) machine.remove_prefix(1);
  WCHAR name[64];
  DWORD size = 64;
  return GetComputerNameW(name, &size) && nt::FoldName(machine) == nt::FoldName(name);
}

bool ValidServiceName(LPCWSTR name) {
  if (name == nullptr || *name == 0) return false;
  const std::u16string_view text(name);
  return text.size() <= 256 && text.find_first_of(u"/\\") == std::u16string_view::npos;
}

// The program of an ImagePath: the quoted part, else everything up to and including ".exe".
std::u16string ProgramOf(const std::u16string& command_line) {
  if (command_line.starts_with(u'"')) {
    const size_t end = command_line.find(u'"', 1);
    return command_line.substr(1, end == std::u16string::npos ? end : end - 1);
  }
  const size_t exe = nt::FoldName(command_line).find(u".EXE");
  return exe == std::u16string::npos ? command_line : command_line.substr(0, exe + 4);
}

std::u16string Expand(const std::u16string& text) {
  const DWORD size = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
  if (size == 0) return text;
  std::u16string expanded(size, u'\0');
  ExpandEnvironmentStringsW(text.c_str(), expanded.data(), size);
  expanded.resize(size - 1);
  return expanded;
}

struct ProcessWatch {
  Database* db;
  std::u16string service;  // folded
  HANDLE process;          // in services.exe
};

// Runs in services.exe for each service program: once the program ended, the service is
// stopped whatever it last reported.
DWORD WatchServiceProcess(LPVOID parameter) {
  std::unique_ptr<ProcessWatch> watch(static_cast<ProcessWatch*>(parameter));
  WaitForSingleObject(watch->process, INFINITE);
  CloseHandle(watch->process);
  Database& db = *watch->db;
  std::lock_guard guard(db.lock);
  auto it = db.services.find(watch->service);
  if (it == db.services.end()) return 0;
  ServiceState& state = *it->second;
  state.processId = 0;
  state.dispatcherConnected = false;
  state.handler = nullptr;
  state.handlerEx = nullptr;
  if (state.status.dwCurrentState != SERVICE_STOPPED) {
    state.status.dwCurrentState = SERVICE_STOPPED;
    state.status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
  }
  for (PendingControl* control : state.controls) control->done = true;
  state.controls.clear();
  db.changed.notify_all();
  RemoveIfDone(db, state);
  return 0;
}

// Starts the program of an own-process service as a SYSTEM process and waits until its main
// runs or the program ended without connecting.
BOOL StartServiceProgram(Database& db, ServiceState& state, const std::u16string& image_path,
                         DWORD argc, LPCWSTR* argv) {
  const std::u16string folded = nt::FoldName(state.name);
  {
    std::lock_guard guard(db.lock);
    if (state.status.dwCurrentState != SERVICE_STOPPED || state.processId != 0) {
      return FailWith(ERROR_SERVICE_ALREADY_RUNNING);
    }
    state.status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
    state.mainStarted = false;
    state.arguments.assign(1, state.name);
    for (DWORD i = 0; i < argc; ++i) state.arguments.emplace_back(argv[i] != nullptr ? argv[i] : u"");
    state.argumentPointers.clear();
    for (std::u16string& argument : state.arguments) state.argumentPointers.push_back(argument.data());
    state.argumentPointers.push_back(nullptr);
  }
  const std::u16string command_line = Expand(image_path);
  DWORD error = ERROR_SUCCESS;
  nt::ProcessControl::RunIn(db.process, [&] {
    std::u16string program = ProgramOf(command_line);
    std::u16string line = command_line;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                        nullptr, nullptr, &startup, &started)) {
      error = GetLastError();
      return;
    }
    {
      std::lock_guard guard(db.lock);
      state.processId = started.dwProcessId;
    }
    HANDLE watcher = CreateThread(nullptr, 0, WatchServiceProcess,
                                  new ProcessWatch{&db, folded, started.hProcess}, 0, nullptr);
    if (watcher != nullptr) CloseHandle(watcher);
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);
  });
  std::unique_lock lock(db.lock);
  if (error != ERROR_SUCCESS) {
    state.status.dwCurrentState = SERVICE_STOPPED;
    return FailWith(error);
  }
  db.changed.wait(lock, [&] { return state.mainStarted || state.processId == 0; });
  return state.mainStarted ? TRUE : FailWith(ERROR_SERVICE_REQUEST_TIMEOUT);
}

// Hands a control to the service's handler and waits for the handler to return.
BOOL DeliverControl(Database& db, ServiceState& state, DWORD code, LPSERVICE_STATUS status) {
  std::unique_lock lock(db.lock);
  const DWORD current = state.status.dwCurrentState;
  const DWORD accepted = state.status.dwControlsAccepted;
  if (current == SERVICE_STOPPED) return FailWith(ERROR_SERVICE_NOT_ACTIVE);
  if (current == SERVICE_START_PENDING || current == SERVICE_STOP_PENDING ||
      !state.dispatcherConnected || (state.handler == nullptr && state.handlerEx == nullptr)) {
    return FailWith(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  }
  const bool refused =
      (code == SERVICE_CONTROL_STOP && (accepted & SERVICE_ACCEPT_STOP) == 0) ||
      ((code == SERVICE_CONTROL_PAUSE || code == SERVICE_CONTROL_CONTINUE) &&
       (accepted & SERVICE_ACCEPT_PAUSE_CONTINUE) == 0) ||
      (code == SERVICE_CONTROL_SHUTDOWN && (accepted & SERVICE_ACCEPT_SHUTDOWN) == 0);
  if (refused) return FailWith(ERROR_INVALID_SERVICE_CONTROL);
  PendingControl control{code};
  state.controls.push_back(&control);
  db.changed.notify_all();
  db.changed.wait(lock, [&] { return control.done; });
  if (status != nullptr) *status = state.status;
  return control.delivered ? TRUE : FailWith(ERROR_SERVICE_NOT_ACTIVE);
}

// The status of a kernel-driver service: running while its driver is loaded.
SERVICE_STATUS DriverStatus(const ServiceState& state, DWORD type) {
  const bool loaded = nt::DriverControl::Find(state.name) != nullptr;
  return SERVICE_STATUS{type, loaded ? SERVICE_RUNNING : SERVICE_STOPPED,
                        loaded ? SERVICE_ACCEPT_STOP : 0, 0, 0, 0, 0};
}

// The rights ControlService needs for `code`, or 0 for a code it does not send.
DWORD RightsForControl(DWORD code) {
  switch (code) {
    case SERVICE_CONTROL_STOP:
      return SERVICE_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      return SERVICE_PAUSE_CONTINUE;
    case SERVICE_CONTROL_INTERROGATE:
      return SERVICE_INTERROGATE;
    default:
      if (code >= SERVICE_CONTROL_PARAMCHANGE && code <= SERVICE_CONTROL_NETBINDENABLE) {
        return SERVICE_PAUSE_CONTINUE;
      }
      return code >= 128 && code <= 255 ? SERVICE_USER_DEFINED_CONTROL : 0;
  }
}

}  // namespace

namespace {

// The database of the running kernel; it goes with services.exe when the kernel ends.
std::mutex current_lock;
Database* current = nullptr;
const int kDatabaseKey = 0;

PVOID CreateDatabase() { return new Database; }

void DestroyDatabase(PVOID data) {
  auto* db = static_cast<Database*>(data);
  {
    std::lock_guard guard(current_lock);
    if (current == db) current = nullptr;
  }
  for (ServiceControlHandle* handle : db->handles) delete handle;
  delete db;
}

}  // namespace

Database& Database::Get() {
  std::lock_guard guard(current_lock);
  if (current == nullptr) {
    PEPROCESS process = nt::ProcessControl::Create(u"services.exe", nullptr);
    nt::ProcessControl::RunIn(process, [] {
      current = static_cast<Database*>(nt::ProcessData(&kDatabaseKey, CreateDatabase,
                                                       DestroyDatabase));
    });
    current->process = process;
    ObDereferenceObject(process);
  }
  return *current;
}

ServiceState& Database::StateOf(std::u16string_view name) {
  std::unique_ptr<ServiceState>& state = services[nt::FoldName(name)];
  if (state == nullptr) {
    state = std::make_unique<ServiceState>();
    state->name = name;
  }
  return *state;
}

ServiceState* Database::FindStatusHandle(SERVICE_STATUS_HANDLE handle) {
  for (auto& [name, state] : services) {
    if (reinterpret_cast<SERVICE_STATUS_HANDLE>(state.get()) == handle) return state.get();
  }
  return nullptr;
}

}  // namespace win32::services

using win32::FailWith;
using win32::services::Database;
using win32::services::ServiceKey;
using win32::services::ServiceState;

SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access) {
  if (machine != nullptr && *machine != 0 && !win32::services::IsThisComputer(machine)) {
    FailWith(win32::services::RPC_S_SERVER_UNAVAILABLE);
    return nullptr;
  }
  if (database != nullptr && nt::FoldName(database) != nt::FoldName(SERVICES_ACTIVE_DATABASEW)) {
    FailWith(ERROR_INVALID_NAME);
    return nullptr;
  }
  DWORD granted;
  if (!win32::services::Grant(access | SC_MANAGER_CONNECT, win32::services::kManagerAccess,
                              &granted)) {
    FailWith(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return win32::services::NewHandle(Database::Get(), nullptr, granted);
}

SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR name, LPCWSTR display_name, DWORD access,
                         DWORD service_type, DWORD start_type, DWORD error_control,
                         LPCWSTR binary_path, LPCWSTR load_order_group, LPDWORD tag, LPCWSTR,
                         LPCWSTR account, LPCWSTR) {
  Database& db = Database::Get();
  {
    std::lock_guard guard(db.lock);
    if (win32::services::Check(db, manager, true, SC_MANAGER_CREATE_SERVICE) == nullptr) {
      return nullptr;
    }
  }
  if (!win32::services::ValidServiceName(name)) {
    FailWith(ERROR_INVALID_NAME);
    return nullptr;
  }
  const DWORD kind = service_type & ~SERVICE_INTERACTIVE_PROCESS;
  const bool driver = win32::services::IsDriver(kind);
  const bool program = kind == SERVICE_WIN32_OWN_PROCESS || kind == SERVICE_WIN32_SHARE_PROCESS;
  if ((!driver && !program) || (driver && service_type != kind) ||
      start_type > SERVICE_DISABLED || (!driver && start_type < SERVICE_AUTO_START) ||
      error_control > SERVICE_ERROR_CRITICAL || binary_path == nullptr || *binary_path == 0 ||
      tag != nullptr) {
    FailWith(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DWORD granted;
  if (!win32::services::Grant(access, win32::services::kServiceAccess, &granted)) {
    FailWith(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  ServiceState* state;
  {
    std::lock_guard guard(db.lock);
    ServiceKey existing;
    if (existing.Open(name)) {
      auto it = db.services.find(nt::FoldName(name));
      FailWith(it != db.services.end() && it->second->markedForDelete
                   ? ERROR_SERVICE_MARKED_FOR_DELETE
                   : ERROR_SERVICE_EXISTS);
      return nullptr;
    }
    ServiceKey key;
    if (!key.Create(name)) {
      FailWith(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    key.SetDword(u"Type", service_type);
    key.SetDword(u"Start", start_type);
    key.SetDword(u"ErrorControl", error_control);
    key.SetString(u"ImagePath", binary_path, REG_EXPAND_SZ);
    key.SetString(u"DisplayName", display_name != nullptr ? display_name : name);
    if (program) key.SetString(u"ObjectName", account != nullptr ? account : u"LocalSystem");
    if (load_order_group != nullptr && *load_order_group != 0) {
      key.SetString(u"Group", load_order_group);
    }
    state = &db.StateOf(name);
    state->markedForDelete = false;
  }
  return win32::services::NewHandle(db, state, granted);
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) {
  Database& db = Database::Get();
  DWORD granted;
  ServiceState* state;
  {
    std::lock_guard guard(db.lock);
    if (win32::services::Check(db, manager, true, SC_MANAGER_CONNECT) == nullptr) return nullptr;
    if (!win32::services::ValidServiceName(name)) {
      FailWith(ERROR_INVALID_NAME);
      return nullptr;
    }
    ServiceKey key;
    if (!key.Open(name)) {
      FailWith(ERROR_SERVICE_DOES_NOT_EXIST);
      return nullptr;
    }
    if (!win32::services::Grant(access, win32::services::kServiceAccess, &granted)) {
      FailWith(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    state = &db.StateOf(name);
  }
  return win32::services::NewHandle(db, state, granted);
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  Database& db = Database::Get();
  std::lock_guard guard(db.lock);
  if (!db.handles.contains(handle)) return FailWith(ERROR_INVALID_HANDLE);
  db.handles.erase(handle);
  ServiceState* state = handle->service;
  delete handle;
  if (state != nullptr) {
    --state->handles;
    win32::services::RemoveIfDone(db, *state);
  }
  return TRUE;
}

BOOL DeleteService(SC_HANDLE service) {
  Database& db = Database::Get();
  std::lock_guard guard(db.lock);
  ServiceControlHandle* handle = win32::services::Check(db, service, false, DELETE);
  if (handle == nullptr) return FALSE;
  if (handle->service->markedForDelete) return FailWith(ERROR_SERVICE_MARKED_FOR_DELETE);
  handle->service->markedForDelete = true;
  ServiceKey key;
  if (key.Open(handle->service->name)) key.SetDword(u"DeleteFlag", 1);
  return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
  if (status == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  Database& db = Database::Get();
  std::lock_guard guard(db.lock);
  ServiceControlHandle* handle =
      win32::services::Check(db, service, false, SERVICE_QUERY_STATUS);
  if (handle == nullptr) return FALSE;
  ServiceKey key;
  const DWORD type = key.Open(handle->service->name) ? key.Dword(u"Type", 0) : 0;
  *status = win32::services::IsDriver(type) ? win32::services::DriverStatus(*handle->service, type)
                                            : handle->service->status;
  return TRUE;
}

BOOL ChangeServiceConfig2W(SC_HANDLE service, DWORD info_level, LPVOID info) {
  Database& db = Database::Get();
  std::lock_guard guard(db.lock);
  ServiceControlHandle* handle =
      win32::services::Check(db, service, false, SERVICE_CHANGE_CONFIG);
  if (handle == nullptr) return FALSE;
  if (info_level != SERVICE_CONFIG_DESCRIPTION) return FailWith(ERROR_INVALID_LEVEL);
  if (info == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (handle->service->markedForDelete) return FailWith(ERROR_SERVICE_MARKED_FOR_DELETE);
  ServiceKey key;
  if (!key.Open(handle->service->name)) return FailWith(ERROR_SERVICE_DOES_NOT_EXIST);
  const LPWSTR description = static_cast<SERVICE_DESCRIPTIONW*>(info)->lpDescription;
  if (description == nullptr || *description == 0) {
    key.DeleteValue(u"Description");
  } else {
    key.SetString(u"Description", description);
  }
  return TRUE;
}

BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv) {
  Database& db = Database::Get();
  ServiceState* state;
  DWORD type;
  DWORD start;
  std::u16string image_path;
  {
    std::lock_guard guard(db.lock);
    ServiceControlHandle* handle = win32::services::Check(db, service, false, SERVICE_START);
    if (handle == nullptr) return FALSE;
    state = handle->service;
    if (state->markedForDelete) return FailWith(ERROR_SERVICE_MARKED_FOR_DELETE);
    ServiceKey key;
    if (!key.Open(state->name)) return FailWith(ERROR_SERVICE_DOES_NOT_EXIST);
    type = key.Dword(u"Type", 0);
    start = key.Dword(u"Start", SERVICE_DISABLED);
    image_path = key.String(u"ImagePath");
  }
  if (start == SERVICE_DISABLED) return FailWith(ERROR_SERVICE_DISABLED);
  if (win32::services::IsDriver(type)) {
    const NTSTATUS status = nt::DriverControl::Load(state->name);
    if (status == STATUS_IMAGE_ALREADY_LOADED) return FailWith(ERROR_SERVICE_ALREADY_RUNNING);
    return NT_SUCCESS(status) ? TRUE : win32::FailWithStatus(status);
  }
  return win32::services::StartServiceProgram(db, *state, image_path, argc, argv);
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
  const DWORD rights = win32::services::RightsForControl(control);
  if (rights == 0) return FailWith(ERROR_INVALID_PARAMETER);
  Database& db = Database::Get();
  ServiceState* state;
  DWORD type;
  {
    std::lock_guard guard(db.lock);
    ServiceControlHandle* handle = win32::services::Check(db, service, false, rights);
    if (handle == nullptr) return FALSE;
    state = handle->service;
    ServiceKey key;
    type = key.Open(state->name) ? key.Dword(u"Type", 0) : 0;
  }
  if (!win32::services::IsDriver(type)) {
    return win32::services::DeliverControl(db, *state, control, status);
  }
  if (nt::DriverControl::Find(state->name) == nullptr) return FailWith(ERROR_SERVICE_NOT_ACTIVE);
  if (control == SERVICE_CONTROL_STOP &&
      !NT_SUCCESS(nt::DriverControl::Unload(state->name))) {
    return FailWith(ERROR_INVALID_SERVICE_CONTROL);
  }
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_INTERROGATE) {
    return FailWith(ERROR_INVALID_SERVICE_CONTROL);
  }
  if (status != nullptr) *status = win32::services::DriverStatus(*state, type);
  return TRUE;
}

namespace win32 {

void ServiceControl::StartAutomaticServices() {
  Database& db = Database::Get();
  HKEY services;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, services::kServicesKey, 0, KEY_READ, &services) !=
      ERROR_SUCCESS) {
    return;
  }
  std::vector<std::u16string> names;
  WCHAR name[257];
  for (DWORD i = 0; RegEnumKeyW(services, i, name, 257) == ERROR_SUCCESS; ++i) {
    names.emplace_back(name);
  }
  RegCloseKey(services);
  for (const std::u16string& each : names) {
    ServiceKey key;
    if (!key.Open(each)) continue;
    const DWORD type = key.Dword(u"Type", 0) & ~SERVICE_INTERACTIVE_PROCESS;
    if ((type != SERVICE_WIN32_OWN_PROCESS && type != SERVICE_WIN32_SHARE_PROCESS) ||
        key.Dword(u"Start", SERVICE_DISABLED) != SERVICE_AUTO_START ||
        key.Dword(u"DeleteFlag", 0) != 0) {
      continue;
    }
    ServiceState* state;
    {
      std::lock_guard guard(db.lock);
      state = &db.StateOf(each);
    }
    services::StartServiceProgram(db, *state, key.String(u"ImagePath"), 0, nullptr);
  }
}

void ServiceControl::ShutdownServices() {
  Database& db = Database::Get();
  // Each service is held as by an open handle while its handler runs.
  std::vector<ServiceState*> running;
  {
    std::lock_guard guard(db.lock);
    for (auto& [name, state] : db.services) {
      if (state->dispatcherConnected &&
          (state->status.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN) != 0) {
        ++state->handles;
        running.push_back(state.get());
      }
    }
  }
  for (ServiceState* state : running) {
    services::DeliverControl(db, *state, SERVICE_CONTROL_SHUTDOWN, nullptr);
    std::lock_guard guard(db.lock);
    --state->handles;
    services::RemoveIfDone(db, *state);
  }
  std::unique_lock lock(db.lock);
  db.changed.wait(lock, [&] {
    for (auto& [name, state] : db.services) {
      if (state->processId != 0) return false;
    }
    return true;
  });
}

}  // namespace win32
