// Window classes and registered message numbers.
#include <algorithm>

#include "platform/nt/wide_char.h"
#include "platform/win32/user_state.h"
#include "platform/win32/win_error.h"

namespace {

// The most extra bytes a class may ask for, per class and per window.
constexpr int kMaxExtraBytes = 40;

}  // namespace

ATOM RegisterClassExW(const WNDCLASSEXW* window_class) {
  if (window_class == nullptr || window_class->cbSize != sizeof(WNDCLASSEXW) ||
      window_class->lpfnWndProc == nullptr || window_class->lpszClassName == nullptr ||
      IS_INTRESOURCE(window_class->lpszClassName) || window_class->lpszClassName[0] == u'\0' ||
      window_class->cbClsExtra < 0 || window_class->cbClsExtra > kMaxExtraBytes ||
      window_class->cbWndExtra < 0 || window_class->cbWndExtra > kMaxExtraBytes) {
    win32::FailWith(ERROR_INVALID_PARAMETER);
    return 0;
  }
  using namespace win32::user;
  std::lock_guard guard(Lock());
  const ULONG process = CurrentProcess();
  for (const auto& entry : Get().classes) {
    if (entry->process == process && ClassMatches(*entry, window_class->lpszClassName)) {
      win32::FailWith(ERROR_CLASS_ALREADY_EXISTS);
      return 0;
    }
  }
  auto entry = std::make_shared<WindowClass>();
  entry->name = window_class->lpszClassName;
  entry->atom = AtomOf(entry->name, true);
  if (entry->atom == 0) {
    win32::FailWith(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  entry->process = process;
  entry->info = *window_class;
  // The caller's strings need not outlive the call.
  entry->info.lpszMenuName = nullptr;
  entry->info.lpszClassName = nullptr;
  Get().classes.push_back(entry);
  return entry->atom;
}

BOOL UnregisterClassW(LPCWSTR class_name, HINSTANCE) {
  using namespace win32::user;
  std::lock_guard guard(Lock());
  const ULONG process = CurrentProcess();
  auto& classes = Get().classes;
  auto found = std::find_if(classes.begin(), classes.end(), [&](const auto& entry) {
    return entry->process == process && class_name != nullptr &&
           ClassMatches(*entry, class_name);
  });
  if (found == classes.end()) return win32::FailWith(ERROR_CLASS_DOES_NOT_EXIST);
  if ((*found)->windows > 0) return win32::FailWith(ERROR_CLASS_HAS_WINDOWS);
  classes.erase(found);
  return TRUE;
}

BOOL GetClassInfoExW(HINSTANCE, LPCWSTR class_name, WNDCLASSEXW* window_class) {
  if (window_class == nullptr) return win32::FailWith(ERROR_INVALID_PARAMETER);
  using namespace win32::user;
  std::lock_guard guard(Lock());
  std::shared_ptr<WindowClass> found = FindClass(class_name, CurrentProcess());
  if (found == nullptr) return win32::FailWith(ERROR_CLASS_DOES_NOT_EXIST);
  *window_class = found->info;
  window_class->lpszClassName = class_name;
  return static_cast<BOOL>(found->atom);
}

int GetClassNameW(HWND window, LPWSTR buffer, int size) {
  using namespace win32::user;
  std::lock_guard guard(Lock());
  Window* found = Find(window);
  if (found == nullptr) {
    win32::FailWith(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (buffer == nullptr || size <= 0) {
    win32::FailWith(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  const std::u16string& name = found->window_class->name;
  const size_t count = std::min(name.size(), static_cast<size_t>(size - 1));
  std::copy_n(name.begin(), count, buffer);
  buffer[count] = u'\0';
  return static_cast<int>(count);
}

UINT RegisterWindowMessageW(LPCWSTR name) {
  if (name == nullptr || name[0] == u'\0') {
    win32::FailWith(ERROR_INVALID_PARAMETER);
    return 0;
  }
  using namespace win32::user;
  std::lock_guard guard(Lock());
  const ATOM atom = AtomOf(name, true);
  if (atom == 0) win32::FailWith(ERROR_NOT_ENOUGH_MEMORY);
  return atom;
}
