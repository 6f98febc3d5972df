// System broadcasts to the windows of every program, and the terminal-services library's
// session notifications.
#include "platform/win32/broadcast_api.h"

#include <algorithm>

#include "platform/win32/user_state.h"
#include "platform/win32/win_error.h"

namespace {

std::vector<HWND> TopLevelWindows() {
  std::lock_guard guard(win32::user::Lock());
  return win32::user::Get().top_level;
}

BOOL RegisterSessionNotification(HWND window, DWORD flags) {
  if (flags != NOTIFY_FOR_THIS_SESSION && flags != NOTIFY_FOR_ALL_SESSIONS) {
    return win32::FailWith(ERROR_INVALID_PARAMETER);
  }
  std::lock_guard guard(win32::user::Lock());
  if (win32::user::Find(window) == nullptr) return win32::FailWith(ERROR_INVALID_WINDOW_HANDLE);
  auto& windows = win32::user::Get().session_windows;
  for (auto& entry : windows) {
    if (entry.first != window) continue;
    entry.second = flags;
    return TRUE;
  }
  windows.emplace_back(window, flags);
  return TRUE;
}

BOOL UnregisterSessionNotification(HWND window) {
  std::lock_guard guard(win32::user::Lock());
  const size_t removed = std::erase_if(
      win32::user::Get().session_windows,
      [window](const auto& entry) { return entry.first == window; });
  return removed > 0 ? TRUE : win32::FailWith(ERROR_INVALID_PARAMETER);
}

}  // namespace

namespace win32 {

ModuleImage SessionLibrary() {
  return ModuleImage{u"wtsapi32.dll",
                     u"C:\\WINDOWS\\system32\\wtsapi32.dll",
                     {
                         {"WTSRegisterSessionNotification", 1,
                          reinterpret_cast<FARPROC>(&RegisterSessionNotification)},
                         {"WTSUnRegisterSessionNotification", 2,
                          reinterpret_cast<FARPROC>(&UnregisterSessionNotification)},
                     },
                     nullptr,
                     nullptr,
                     nullptr};
}

void UserControl::BroadcastVolumeChange(bool arrived, DWORD drive_mask, WORD flags) {
  DEV_BROADCAST_VOLUME volume{sizeof(DEV_BROADCAST_VOLUME), DBT_DEVTYP_VOLUME, 0, drive_mask,
                              flags};
  const WPARAM event = arrived ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
  for (HWND window : TopLevelWindows()) {
    SendMessageW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&volume));
  }
}

bool UserControl::EndSession(LPARAM reason) {
  std::vector<HWND> agreed;
  bool ending = true;
  for (HWND window : TopLevelWindows()) {
    if (!IsWindow(window)) continue;
    if (SendMessageW(window, WM_QUERYENDSESSION, 0, reason) == FALSE) {
      ending = false;
      break;
    }
    agreed.push_back(window);
  }
  for (HWND window : agreed) SendMessageW(window, WM_ENDSESSION, ending ? TRUE : FALSE, reason);
  return ending;
}

void UserControl::SessionChange(WPARAM event, DWORD session_id) {
  std::lock_guard guard(user::Lock());
  for (const auto& [window, flags] : user::Get().session_windows) {
    user::Window* found = user::Find(window);
    if (found == nullptr) continue;
    if (user::Queue* queue = user::QueueOf(found->thread)) {
      const MSG message{window, WM_WTSSESSION_CHANGE, event, static_cast<LPARAM>(session_id), 0,
                        POINT{0, 0}};
      user::Post(*queue, message, 0, QS_POSTMESSAGE | QS_ALLPOSTMESSAGE);
    }
  }
}

}  // namespace win32
