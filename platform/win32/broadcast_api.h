// What the system tells every program's windows: volumes that arrive or leave
// (WM_DEVICECHANGE), the end of the session (WM_QUERYENDSESSION, WM_ENDSESSION) and, for
// windows registered through the terminal-services library, session changes
// (WM_WTSSESSION_CHANGE). The machine raises them through win32::UserControl (message_api.h).
#pragma once

#include "platform/win32/module.h"
#include "platform/win32/window_api.h"

// WM_DEVICECHANGE.
constexpr WPARAM DBT_DEVICEARRIVAL = 0x8000;
constexpr WPARAM DBT_DEVICEREMOVECOMPLETE = 0x8004;
constexpr DWORD DBT_DEVTYP_VOLUME = 0x00000002;
constexpr WORD DBTF_MEDIA = 0x0001;
constexpr WORD DBTF_NET = 0x0002;

struct DEV_BROADCAST_HDR {
  DWORD dbch_size;
  DWORD dbch_devicetype;
  DWORD dbch_reserved;
};
using PDEV_BROADCAST_HDR = DEV_BROADCAST_HDR*;

struct DEV_BROADCAST_VOLUME {
  DWORD dbcv_size;
  DWORD dbcv_devicetype;
  DWORD dbcv_reserved;
  DWORD dbcv_unitmask;  // bit 0 for A:, bit 1 for B:, ...
  WORD dbcv_flags;
};
using PDEV_BROADCAST_VOLUME = DEV_BROADCAST_VOLUME*;

// lParam of WM_QUERYENDSESSION and WM_ENDSESSION: 0 for a shutdown or restart.
constexpr LPARAM ENDSESSION_CLOSEAPP = 0x00000001;
constexpr LPARAM ENDSESSION_LOGOFF = static_cast<LPARAM>(0x80000000);

// WM_WTSSESSION_CHANGE's wParam; lParam is the session id.
constexpr WPARAM WTS_CONSOLE_CONNECT = 0x1;
constexpr WPARAM WTS_CONSOLE_DISCONNECT = 0x2;
constexpr WPARAM WTS_REMOTE_CONNECT = 0x3;
constexpr WPARAM WTS_REMOTE_DISCONNECT = 0x4;
constexpr WPARAM WTS_SESSION_LOGON = 0x5;
constexpr WPARAM WTS_SESSION_LOGOFF = 0x6;
constexpr WPARAM WTS_SESSION_LOCK = 0x7;
constexpr WPARAM WTS_SESSION_UNLOCK = 0x8;

constexpr DWORD NOTIFY_FOR_THIS_SESSION = 0;
constexpr DWORD NOTIFY_FOR_ALL_SESSIONS = 1;

using PWTSREGISTERSESSIONNOTIFICATION = BOOL (*)(HWND window, DWORD flags);
using PWTSUNREGISTERSESSIONNOTIFICATION = BOOL (*)(HWND window);

namespace win32 {

// The terminal-services library "wtsapi32.dll" with WTSRegisterSessionNotification and
// WTSUnRegisterSessionNotification, which programs look up at run time: the machine installs
// it (win32::UserModules::Install) where the platform has it: XP and later. A window registers once
// (ERROR_INVALID_WINDOW_HANDLE for no window, ERROR_INVALID_PARAMETER for other flags);
// unregistering a window that is not registered fails with ERROR_INVALID_PARAMETER. Windows
// leave the list when they are destroyed.
ModuleImage SessionLibrary();

}  // namespace win32
