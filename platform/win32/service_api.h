// The service control manager (advapi32). The services database is the machine's registry:
// one key per service under HKLM\SYSTEM\CurrentControlSet\Services, as drivers have theirs.
// The manager itself is the process "services.exe", started with the first call of a kernel's
// life; it starts own-process services as SYSTEM processes of the program their ImagePath
// names, and kernel-driver services by loading their driver.
//
// A service program hands its main thread to StartServiceCtrlDispatcherW, which runs each
// service's main on a thread of its own and the service's control handler on the main thread
// whenever ControlService sends a control; it returns once the service reported
// SERVICE_STOPPED.
#pragma once

#include "platform/nt/driver_loader.h"
#include "platform/win32/windows_types.h"

using SC_HANDLE = struct ServiceControlHandle*;
using SERVICE_STATUS_HANDLE = struct ServiceStatusHandle*;

// Manager access rights.
constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
constexpr DWORD SC_MANAGER_LOCK = 0x0008;
constexpr DWORD SC_MANAGER_QUERY_LOCK_STATUS = 0x0010;
constexpr DWORD SC_MANAGER_MODIFY_BOOT_CONFIG = 0x0020;
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;

// Service access rights.
constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
constexpr DWORD SERVICE_CHANGE_CONFIG = 0x0002;
constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
constexpr DWORD SERVICE_ENUMERATE_DEPENDENTS = 0x0008;
constexpr DWORD SERVICE_START = 0x0010;
constexpr DWORD SERVICE_STOP = 0x0020;
constexpr DWORD SERVICE_PAUSE_CONTINUE = 0x0040;
constexpr DWORD SERVICE_INTERROGATE = 0x0080;
constexpr DWORD SERVICE_USER_DEFINED_CONTROL = 0x0100;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;

constexpr char16_t SERVICES_ACTIVE_DATABASEW[] = u"ServicesActive";

// Service types besides the driver types of the kernel.
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x00000010;
constexpr DWORD SERVICE_WIN32_SHARE_PROCESS = 0x00000020;
constexpr DWORD SERVICE_INTERACTIVE_PROCESS = 0x00000100;

constexpr DWORD SERVICE_ERROR_IGNORE = 0x00000000;
constexpr DWORD SERVICE_ERROR_SEVERE = 0x00000002;
constexpr DWORD SERVICE_ERROR_CRITICAL = 0x00000003;

// States.
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;

// Controls.
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
constexpr DWORD SERVICE_CONTROL_PARAMCHANGE = 6;
constexpr DWORD SERVICE_CONTROL_NETBINDENABLE = 10;

constexpr DWORD SERVICE_ACCEPT_STOP = 0x00000001;
constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x00000002;
constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x00000004;

constexpr DWORD SERVICE_CONFIG_DESCRIPTION = 1;

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;

using LPSERVICE_MAIN_FUNCTIONW = void (*)(DWORD argc, LPWSTR* argv);
using LPHANDLER_FUNCTION = void (*)(DWORD control);
using LPHANDLER_FUNCTION_EX = DWORD (*)(DWORD control, DWORD event_type, LPVOID event_data,
                                        LPVOID context);

struct SERVICE_TABLE_ENTRYW {
  LPWSTR lpServiceName;
  LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
};

struct SERVICE_DESCRIPTIONW {
  LPWSTR lpDescription;
};

// --- The manager's side. ------------------------------------------------------------------

// `machine` null, empty or this computer's name; `database` null or "ServicesActive". Only an
// administrator (or SYSTEM) gets more than connect, enumerate and lock-status access
// (ERROR_ACCESS_DENIED).
SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access);
// Writes the service's key: Type, Start, ErrorControl, ImagePath, DisplayName, ObjectName and
// Group. ERROR_SERVICE_EXISTS when the key exists; ERROR_INVALID_NAME for an empty name or one
// with a slash or backslash.
SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR name, LPCWSTR display_name, DWORD access,
                         DWORD service_type, DWORD start_type, DWORD error_control,
                         LPCWSTR binary_path, LPCWSTR load_order_group, LPDWORD tag,
                         LPCWSTR dependencies, LPCWSTR account, LPCWSTR password);
// ERROR_SERVICE_DOES_NOT_EXIST when the database has no such service.
SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access);
// Marks the service for deletion; its key goes once it is stopped and its last handle closed.
// ERROR_SERVICE_MARKED_FOR_DELETE when it already was.
BOOL DeleteService(SC_HANDLE service);
// Starts the service and returns once its main runs (own process) or its driver loaded.
// ERROR_SERVICE_ALREADY_RUNNING, ERROR_SERVICE_DISABLED, ERROR_SERVICE_MARKED_FOR_DELETE;
// ERROR_SERVICE_REQUEST_TIMEOUT when the program ended without connecting to the manager.
BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv);
// Sends a control and returns once the service's handler ran, with the status it reports
// then. ERROR_SERVICE_NOT_ACTIVE for a stopped service, ERROR_SERVICE_CANNOT_ACCEPT_CTRL
// while it starts or stops, ERROR_INVALID_SERVICE_CONTROL for a control it does not accept;
// ERROR_INVALID_PARAMETER for SERVICE_CONTROL_SHUTDOWN and reserved codes.
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
// SERVICE_CONFIG_DESCRIPTION only (ERROR_INVALID_LEVEL otherwise); a null or empty
// description removes it.
BOOL ChangeServiceConfig2W(SC_HANDLE service, DWORD info_level, LPVOID info);
BOOL CloseServiceHandle(SC_HANDLE handle);

// --- The service's side. ------------------------------------------------------------------

// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT in a process the manager did not start.
BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table);
// Null with ERROR_SERVICE_DOES_NOT_EXIST when `name` is not a service of this process.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR name, LPHANDLER_FUNCTION handler);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR name, LPHANDLER_FUNCTION_EX handler,
                                                    LPVOID context);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);

namespace win32 {

class ServiceControl {
 public:
  // Starts every own-process service whose Start is SERVICE_AUTO_START, in the order of the
  // names; one that fails is skipped. REQUIRES: a booted machine.
  static void StartAutomaticServices();
  // Sends SERVICE_CONTROL_SHUTDOWN to every running service that accepts it, waiting for each
  // handler, then waits until every service program has ended, as the machine goes down. A
  // service that ignores the shutdown holds it up.
  static void ShutdownServices();
};

}  // namespace win32
