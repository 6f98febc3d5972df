// What tests and the desktop user look at: the windows that exist and the recorded beeps.
#include <functional>

#include "platform/win32/user_state.h"

BOOL MessageBeep(UINT type) {
  std::lock_guard guard(win32::user::Lock());
  win32::user::Get().beeps.push_back(type);
  return TRUE;
}

namespace win32 {

std::vector<UINT> UserControl::TakeBeeps() {
  std::lock_guard guard(user::Lock());
  std::vector<UINT> beeps;
  beeps.swap(user::Get().beeps);
  return beeps;
}

std::vector<HWND> UserControl::AllWindows() {
  std::lock_guard guard(user::Lock());
  std::vector<HWND> windows;
  std::function<void(HWND)> add = [&](HWND handle) {
    windows.push_back(handle);
    for (HWND child : user::Find(handle)->children) add(child);
  };
  for (HWND handle : user::Get().top_level) add(handle);
  for (HWND handle : user::Get().message_windows) add(handle);
  return windows;
}

std::u16string UserControl::TextOf(HWND window) {
  std::lock_guard guard(user::Lock());
  user::Window* found = user::Find(window);
  return found != nullptr ? found->text : std::u16string();
}

std::u16string UserControl::ClassOf(HWND window) {
  std::lock_guard guard(user::Lock());
  user::Window* found = user::Find(window);
  return found != nullptr ? found->window_class->name : std::u16string();
}

size_t UserControl::PostedCount(DWORD thread_id) {
  std::lock_guard guard(user::Lock());
  user::Queue* queue = user::QueueOf(thread_id);
  return queue != nullptr ? queue->posted.size() : 0;
}

}  // namespace win32
