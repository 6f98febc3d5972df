// Hot keys: key combinations registered machine-wide that post WM_HOTKEY.
#include "platform/win32/synch.h"
#include "platform/win32/user_state.h"
#include "platform/win32/win_error.h"

BOOL RegisterHotKey(HWND window, int id, UINT modifiers, UINT virtual_key) {
  using namespace win32::user;
  std::lock_guard guard(Lock());
  if (window != nullptr) {
    Window* found = Find(window);
    if (found == nullptr) return win32::FailWith(ERROR_INVALID_WINDOW_HANDLE);
    if (found->thread != win32::CurrentThreadId()) {
      return win32::FailWith(ERROR_WINDOW_OF_OTHER_THREAD);
    }
  }
  modifiers &= ~MOD_NOREPEAT;
  State& state = Get();
  for (const HotKey& key : state.hot_keys) {
    if (key.modifiers == modifiers && key.key == virtual_key) {
      return win32::FailWith(ERROR_HOTKEY_ALREADY_REGISTERED);
    }
  }
  const DWORD thread = CurrentQueue().thread;
  state.hot_keys.push_back(HotKey{window, thread, id, modifiers, virtual_key});
  return TRUE;
}

BOOL UnregisterHotKey(HWND window, int id) {
  using namespace win32::user;
  std::lock_guard guard(Lock());
  const DWORD thread = win32::CurrentThreadId();
  const size_t removed = std::erase_if(Get().hot_keys, [&](const HotKey& key) {
    return key.window == window && key.id == id && (window != nullptr || key.thread == thread);
  });
  return removed > 0 ? TRUE : win32::FailWith(ERROR_HOTKEY_NOT_REGISTERED);
}

namespace win32 {

bool UserControl::PressHotKey(UINT modifiers, UINT virtual_key) {
  using namespace win32::user;
  std::lock_guard guard(Lock());
  modifiers &= ~MOD_NOREPEAT;
  for (const HotKey& key : Get().hot_keys) {
    if (key.modifiers != modifiers || key.key != virtual_key) continue;
    Queue* queue = QueueOf(key.thread);
    if (queue == nullptr) return false;
    const MSG message{key.window,
                      WM_HOTKEY,
                      static_cast<WPARAM>(key.id),
                      MAKELPARAM(static_cast<WORD>(modifiers), static_cast<WORD>(virtual_key)),
                      0,
                      POINT{0, 0}};
    Post(*queue, message, modifiers, QS_HOTKEY | QS_ALLPOSTMESSAGE);
    return true;
  }
  return false;
}

}  // namespace win32
