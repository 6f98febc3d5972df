// Windows: creation and destruction, texts, states, window data, properties and finding.
#include <algorithm>
#include <cstring>
#include <functional>

#include "platform/nt/wide_char.h"
#include "platform/win32/synch.h"
#include "platform/win32/user_state.h"
#include "platform/win32/win_error.h"

namespace {

using win32::user::Find;
using win32::user::Get;
using win32::user::Lock;
using win32::user::Window;

const HWND kDesktop = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x10010));

Window* FindOrFail(HWND handle) {
  Window* window = Find(handle);
  if (window == nullptr) win32::FailWith(ERROR_INVALID_WINDOW_HANDLE);
  return window;
}

// The top-level window above `handle` (itself for a top-level window).
HWND RootOf(HWND handle) {
  Window* window = Find(handle);
  while (window != nullptr && window->parent != nullptr) window = Find(window->parent);
  return window != nullptr ? window->handle : nullptr;
}

bool TextMatches(const std::u16string& text, LPCWSTR wanted) {
  return wanted == nullptr || _wcsicmp(text.c_str(), wanted) == 0;
}

// The windows among which FindWindowExW and GetWindow search.
const std::vector<HWND>* SiblingsOf(HWND parent) {
  if (parent == nullptr || parent == kDesktop) return &Get().top_level;
  if (parent == HWND_MESSAGE) return &Get().message_windows;
  Window* window = Find(parent);
  return window != nullptr ? &window->children : nullptr;
}

// Destroys `handle` and its children: WM_DESTROY top-down, WM_NCDESTROY bottom-up.
void DestroyTree(HWND handle) {
  std::vector<HWND> children;
  {
    std::lock_guard guard(Lock());
    Window* window = Find(handle);
    if (window == nullptr) return;
    window->destroying = true;
    window->style &= ~WS_VISIBLE;
    children = window->children;
  }
  SendMessageW(handle, WM_DESTROY, 0, 0);
  for (HWND child : children) DestroyTree(child);
  SendMessageW(handle, WM_NCDESTROY, 0, 0);
  std::lock_guard guard(Lock());
  win32::user::Remove(handle);
}

bool ExtraFits(const Window& window, int index, size_t size) {
  return index >= 0 && static_cast<size_t>(index) + size <= window.extra.size();
}

// Reads one window-data entry; false with the last error set for an index that is not one.
bool ReadLong(HWND handle, int index, bool wide, LONG_PTR* value) {
  std::lock_guard guard(Lock());
  Window* window = FindOrFail(handle);
  if (window == nullptr) return false;
  switch (index) {
    case GWL_STYLE: *value = static_cast<LONG>(window->style); return true;
    case GWL_EXSTYLE: *value = static_cast<LONG>(window->ex_style); return true;
    case GWL_ID: *value = window->id; return true;
    case GWL_USERDATA: *value = window->user_data; return true;
    case GWLP_WNDPROC:
      if (!wide) break;
      *value = reinterpret_cast<LONG_PTR>(window->procedure);
      return true;
    case GWLP_HINSTANCE:
      if (!wide) break;
      *value = reinterpret_cast<LONG_PTR>(window->instance);
      return true;
    case GWLP_HWNDPARENT:
      if (!wide) break;
      *value = reinterpret_cast<LONG_PTR>(window->parent != nullptr ? window->parent
                                                                    : window->owner);
      return true;
    default: {
      const size_t size = wide ? sizeof(LONG_PTR) : sizeof(LONG);
      if (!ExtraFits(*window, index, size)) break;
      if (wide) {
        std::memcpy(value, window->extra.data() + index, size);
      } else {
        LONG narrow;
        std::memcpy(&narrow, window->extra.data() + index, size);
        *value = narrow;
      }
      return true;
    }
  }
  win32::FailWith(ERROR_INVALID_INDEX);
  return false;
}

bool WriteLong(HWND handle, int index, bool wide, LONG_PTR value, LONG_PTR* previous) {
  std::lock_guard guard(Lock());
  Window* window = FindOrFail(handle);
  if (window == nullptr) return false;
  if (window->process != win32::user::CurrentProcess()) {
    win32::FailWith(ERROR_ACCESS_DENIED);
    return false;
  }
  switch (index) {
    case GWL_STYLE:
      *previous = static_cast<LONG>(window->style);
      window->style = static_cast<DWORD>(value);
      return true;
    case GWL_EXSTYLE:
      *previous = static_cast<LONG>(window->ex_style);
      window->ex_style = static_cast<DWORD>(value);
      return true;
    case GWL_ID:
      *previous = window->id;
      window->id = value;
      return true;
    case GWL_USERDATA:
      *previous = window->user_data;
      window->user_data = value;
      return true;
    case GWLP_WNDPROC:
      if (!wide || value == 0) break;
      *previous = reinterpret_cast<LONG_PTR>(window->procedure);
      window->procedure = reinterpret_cast<WNDPROC>(value);
      return true;
    default: {
      const size_t size = wide ? sizeof(LONG_PTR) : sizeof(LONG);
      if (!ExtraFits(*window, index, size)) break;
      BYTE* place = window->extra.data() + index;
      if (wide) {
        std::memcpy(previous, place, size);
        std::memcpy(place, &value, size);
      } else {
        LONG narrow;
        std::memcpy(&narrow, place, size);
        *previous = narrow;
        narrow = static_cast<LONG>(value);
        std::memcpy(place, &narrow, size);
      }
      return true;
    }
  }
  win32::FailWith(ERROR_INVALID_INDEX);
  return false;
}

// The property's atom: a given atom, or the name's (made when `add`).
ATOM PropertyAtom(LPCWSTR name, bool add) {
  if (name == nullptr) return 0;
  if (IS_INTRESOURCE(name)) return static_cast<ATOM>(reinterpret_cast<ULONG_PTR>(name));
  return win32::user::AtomOf(name, add);
}

int CopyText(const std::u16string& text, LPWSTR buffer, size_t size) {
  if (buffer == nullptr || size == 0) return 0;
  const size_t count = std::min(text.size(), size - 1);
  std::copy_n(text.begin(), count, buffer);
  buffer[count] = u'\0';
  return static_cast<int>(count);
}

}  // namespace

HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR window_name, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID parameter) {
  HWND handle;
  {
    std::lock_guard guard(Lock());
    const ULONG process = win32::user::CurrentProcess();
    std::shared_ptr<win32::user::WindowClass> window_class =
        win32::user::FindClass(class_name, process);
    if (window_class == nullptr) {
      win32::FailWith(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    const bool child = (style & WS_CHILD) != 0;
    const bool message_only = !child && parent == HWND_MESSAGE;
    if (child && (parent == nullptr || parent == HWND_MESSAGE)) {
      win32::FailWith(ERROR_TLW_WITH_WSCHILD);
      return nullptr;
    }
    if (parent != nullptr && !message_only && Find(parent) == nullptr) {
      win32::FailWith(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    win32::user::Queue& queue = win32::user::CurrentQueue();
    win32::user::State& state = Get();
    auto window = std::make_unique<Window>();
    handle = reinterpret_cast<HWND>(state.next_window);
    state.next_window += 4;
    window->handle = handle;
    window->process = process;
    window->thread = queue.thread;
    window->window_class = window_class;
    window->style = style & ~WS_VISIBLE;
    window->ex_style = ex_style;
    window->message_only = message_only;
    window->procedure = window_class->info.lpfnWndProc;
    window->instance = instance;
    window->extra.assign(static_cast<size_t>(window_class->info.cbWndExtra), 0);
    if (child) {
      window->parent = parent;
      window->id = reinterpret_cast<LONG_PTR>(menu);
      Find(parent)->children.insert(Find(parent)->children.begin(), handle);
    } else {
      if (!message_only && parent != nullptr) window->owner = RootOf(parent);
      std::vector<HWND>& siblings = message_only ? state.message_windows : state.top_level;
      siblings.insert(siblings.begin(), handle);
    }
    ++window_class->windows;
    state.windows[handle] = std::move(window);
  }
  CREATESTRUCTW create{parameter, instance, menu, parent, height, width, y, x,
                       static_cast<LONG>(style), window_name, class_name, ex_style};
  const LPARAM create_parameter = reinterpret_cast<LPARAM>(&create);
  if (SendMessageW(handle, WM_NCCREATE, 0, create_parameter) == 0) {
    SendMessageW(handle, WM_NCDESTROY, 0, 0);
    std::lock_guard guard(Lock());
    win32::user::Remove(handle);
    return nullptr;
  }
  if (SendMessageW(handle, WM_CREATE, 0, create_parameter) == -1) {
    DestroyWindow(handle);
    return nullptr;
  }
  if (!IsWindow(handle)) return nullptr;
  if ((style & WS_VISIBLE) != 0) ShowWindow(handle, SW_SHOW);
  return handle;
}

BOOL DestroyWindow(HWND window) {
  std::vector<HWND> owned;
  {
    std::lock_guard guard(Lock());
    Window* found = FindOrFail(window);
    if (found == nullptr) return FALSE;
    if (found->thread != win32::CurrentThreadId()) return win32::FailWith(ERROR_ACCESS_DENIED);
    if (found->destroying) return TRUE;
    for (const auto& [handle, other] : Get().windows) {
      if (other->owner == window && other->thread == found->thread) owned.push_back(handle);
    }
  }
  for (HWND handle : owned) DestroyWindow(handle);
  DestroyTree(window);
  return TRUE;
}

BOOL IsWindow(HWND window) {
  if (window == kDesktop) return TRUE;
  std::lock_guard guard(Lock());
  return Find(window) != nullptr ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND window) {
  std::lock_guard guard(Lock());
  for (Window* found = Find(window); found != nullptr; found = Find(found->parent)) {
    if ((found->style & WS_VISIBLE) == 0) return FALSE;
    if (found->parent == nullptr) return TRUE;
  }
  return FALSE;
}

BOOL IsWindowEnabled(HWND window) {
  std::lock_guard guard(Lock());
  Window* found = Find(window);
  return found != nullptr && (found->style & WS_DISABLED) == 0 ? TRUE : FALSE;
}

BOOL ShowWindow(HWND window, int command) {
  bool was_visible;
  bool visible = command != SW_HIDE;
  {
    std::lock_guard guard(Lock());
    Window* found = FindOrFail(window);
    if (found == nullptr) return FALSE;
    was_visible = (found->style & WS_VISIBLE) != 0;
    if (visible) {
      found->style |= WS_VISIBLE;
    } else {
      found->style &= ~WS_VISIBLE;
    }
    switch (command) {
      case SW_SHOWMINIMIZED:
      case SW_MINIMIZE:
      case SW_SHOWMINNOACTIVE:
        found->style = (found->style | WS_MINIMIZE) & ~WS_MAXIMIZE;
        break;
      case SW_SHOWMAXIMIZED:
        found->style = (found->style | WS_MAXIMIZE) & ~WS_MINIMIZE;
        break;
      case SW_SHOWNORMAL:
      case SW_RESTORE:
        found->style &= ~(WS_MINIMIZE | WS_MAXIMIZE);
        break;
      default:
        break;
    }
  }
  if (was_visible != visible) SendMessageW(window, WM_SHOWWINDOW, visible ? TRUE : FALSE, 0);
  return was_visible ? TRUE : FALSE;
}

BOOL UpdateWindow(HWND window) {
  std::lock_guard guard(Lock());
  return FindOrFail(window) != nullptr ? TRUE : FALSE;
}

BOOL EnableWindow(HWND window, BOOL enable) {
  bool was_disabled;
  {
    std::lock_guard guard(Lock());
    Window* found = FindOrFail(window);
    if (found == nullptr) return FALSE;
    was_disabled = (found->style & WS_DISABLED) != 0;
    if (enable) {
      found->style &= ~WS_DISABLED;
    } else {
      found->style |= WS_DISABLED;
    }
  }
  if (was_disabled == (enable != FALSE)) SendMessageW(window, WM_ENABLE, enable ? TRUE : FALSE, 0);
  return was_disabled ? TRUE : FALSE;
}

BOOL SetWindowTextW(HWND window, LPCWSTR text) {
  if (!IsWindow(window)) return win32::FailWith(ERROR_INVALID_WINDOW_HANDLE);
  return SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) != 0 ? TRUE : FALSE;
}

int GetWindowTextW(HWND window, LPWSTR buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  {
    std::lock_guard guard(Lock());
    Window* found = FindOrFail(window);
    if (found == nullptr) {
      buffer[0] = u'\0';
      return 0;
    }
    if (found->process != win32::user::CurrentProcess()) {
      return CopyText(found->text, buffer, static_cast<size_t>(size));
    }
  }
  return static_cast<int>(SendMessageW(window, WM_GETTEXT, static_cast<WPARAM>(size),
                                       reinterpret_cast<LPARAM>(buffer)));
}

int GetWindowTextLengthW(HWND window) {
  {
    std::lock_guard guard(Lock());
    Window* found = FindOrFail(window);
    if (found == nullptr) return 0;
    if (found->process != win32::user::CurrentProcess()) {
      return static_cast<int>(found->text.size());
    }
  }
  return static_cast<int>(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0));
}

LONG GetWindowLongW(HWND window, int index) {
  LONG_PTR value = 0;
  return ReadLong(window, index, false, &value) ? static_cast<LONG>(value) : 0;
}

LONG SetWindowLongW(HWND window, int index, LONG value) {
  LONG_PTR previous = 0;
  return WriteLong(window, index, false, value, &previous) ? static_cast<LONG>(previous) : 0;
}

LONG_PTR GetWindowLongPtrW(HWND window, int index) {
  LONG_PTR value = 0;
  return ReadLong(window, index, true, &value) ? value : 0;
}

LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value) {
  LONG_PTR previous = 0;
  return WriteLong(window, index, true, value, &previous) ? previous : 0;
}

BOOL SetPropW(HWND window, LPCWSTR name, HANDLE value) {
  std::lock_guard guard(Lock());
  Window* found = FindOrFail(window);
  if (found == nullptr) return FALSE;
  const ATOM atom = PropertyAtom(name, true);
  if (atom == 0) return win32::FailWith(ERROR_INVALID_PARAMETER);
  for (win32::user::Property& property : found->properties) {
    if (property.atom == atom) {
      property.value = value;
      return TRUE;
    }
  }
  found->properties.push_back(win32::user::Property{atom, value});
  return TRUE;
}

HANDLE GetPropW(HWND window, LPCWSTR name) {
  std::lock_guard guard(Lock());
  Window* found = Find(window);
  const ATOM atom = PropertyAtom(name, false);
  if (found == nullptr || atom == 0) return nullptr;
  for (const win32::user::Property& property : found->properties) {
    if (property.atom == atom) return property.value;
  }
  return nullptr;
}

HANDLE RemovePropW(HWND window, LPCWSTR name) {
  std::lock_guard guard(Lock());
  Window* found = Find(window);
  const ATOM atom = PropertyAtom(name, false);
  if (found == nullptr || atom == 0) return nullptr;
  auto& properties = found->properties;
  for (auto it = properties.begin(); it != properties.end(); ++it) {
    if (it->atom != atom) continue;
    HANDLE value = it->value;
    properties.erase(it);
    return value;
  }
  return nullptr;
}

HWND FindWindowExW(HWND parent, HWND child_after, LPCWSTR class_name, LPCWSTR window_name) {
  std::lock_guard guard(Lock());
  const std::vector<HWND>* siblings = SiblingsOf(parent);
  if (siblings == nullptr) {
    win32::FailWith(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  auto it = siblings->begin();
  if (child_after != nullptr) {
    it = std::find(siblings->begin(), siblings->end(), child_after);
    if (it == siblings->end()) return nullptr;
    ++it;
  }
  for (; it != siblings->end(); ++it) {
    Window* window = Find(*it);
    if (window == nullptr) continue;
    if (class_name != nullptr && !win32::user::ClassMatches(*window->window_class, class_name)) {
      continue;
    }
    if (TextMatches(window->text, window_name)) return *it;
  }
  return nullptr;
}

HWND FindWindowW(LPCWSTR class_name, LPCWSTR window_name) {
  return FindWindowExW(nullptr, nullptr, class_name, window_name);
}

HWND GetDesktopWindow() { return kDesktop; }

BOOL SetForegroundWindow(HWND window) {
  std::lock_guard guard(Lock());
  HWND root = RootOf(window);
  if (root == nullptr) return FALSE;
  Get().foreground = root;
  return TRUE;
}

HWND GetForegroundWindow() {
  std::lock_guard guard(Lock());
  return Get().foreground;
}

HWND GetParent(HWND window) {
  std::lock_guard guard(Lock());
  Window* found = FindOrFail(window);
  if (found == nullptr) return nullptr;
  if ((found->style & WS_CHILD) != 0) return found->parent;
  if ((found->style & WS_POPUP) != 0) return found->owner;
  return nullptr;
}

HWND GetWindow(HWND window, UINT command) {
  std::lock_guard guard(Lock());
  if (window == kDesktop) {
    if (command != GW_CHILD) return nullptr;
    const auto& top = Get().top_level;
    return top.empty() ? nullptr : top.front();
  }
  Window* found = FindOrFail(window);
  if (found == nullptr) return nullptr;
  if (command == GW_OWNER) return found->owner;
  if (command == GW_CHILD) return found->children.empty() ? nullptr : found->children.front();
  const std::vector<HWND>& siblings = found->parent != nullptr ? Find(found->parent)->children
                                      : found->message_only     ? Get().message_windows
                                                                : Get().top_level;
  auto it = std::find(siblings.begin(), siblings.end(), window);
  switch (command) {
    case GW_HWNDFIRST: return siblings.front();
    case GW_HWNDLAST: return siblings.back();
    case GW_HWNDNEXT: return it + 1 != siblings.end() ? *(it + 1) : nullptr;
    case GW_HWNDPREV: return it != siblings.begin() ? *(it - 1) : nullptr;
    default: win32::FailWith(ERROR_INVALID_PARAMETER); return nullptr;
  }
}

BOOL IsChild(HWND parent, HWND window) {
  std::lock_guard guard(Lock());
  for (Window* found = Find(window); found != nullptr && found->parent != nullptr;
       found = Find(found->parent)) {
    if (found->parent == parent) return TRUE;
  }
  return FALSE;
}

HWND GetDlgItem(HWND dialog, int id) {
  std::lock_guard guard(Lock());
  Window* found = FindOrFail(dialog);
  if (found == nullptr) return nullptr;
  for (HWND child : found->children) {
    if (Find(child)->id == id) return child;
  }
  win32::FailWith(ERROR_CONTROL_ID_NOT_FOUND);
  return nullptr;
}

int GetDlgCtrlID(HWND window) {
  std::lock_guard guard(Lock());
  Window* found = FindOrFail(window);
  return found != nullptr ? static_cast<int>(found->id) : 0;
}

DWORD GetWindowThreadProcessId(HWND window, LPDWORD process_id) {
  std::lock_guard guard(Lock());
  Window* found = FindOrFail(window);
  if (found == nullptr) return 0;
  if (process_id != nullptr) *process_id = found->process;
  return found->thread;
}

BOOL EnumWindows(WNDENUMPROC routine, LPARAM parameter) {
  std::vector<HWND> windows;
  {
    std::lock_guard guard(Lock());
    windows = Get().top_level;
  }
  for (HWND handle : windows) {
    if (IsWindow(handle) && !routine(handle, parameter)) return FALSE;
  }
  return TRUE;
}

BOOL EnumChildWindows(HWND parent, WNDENUMPROC routine, LPARAM parameter) {
  std::vector<HWND> windows;
  {
    std::lock_guard guard(Lock());
    std::function<void(HWND)> collect = [&](HWND handle) {
      Window* window = Find(handle);
      if (window == nullptr) return;
      for (HWND child : window->children) {
        windows.push_back(child);
        collect(child);
      }
    };
    collect(parent);
  }
  for (HWND handle : windows) {
    if (IsWindow(handle) && !routine(handle, parameter)) return FALSE;
  }
  return TRUE;
}

LRESULT CallWindowProcW(WNDPROC procedure, HWND window, UINT message, WPARAM wparam,
                        LPARAM lparam) {
  if (procedure == nullptr) return 0;
  return procedure(window, message, wparam, lparam);
}

LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_NCCREATE: {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
      std::lock_guard guard(Lock());
      Window* found = Find(window);
      if (found == nullptr) return FALSE;
      if (create != nullptr && create->lpszName != nullptr && !IS_INTRESOURCE(create->lpszName)) {
        found->text = create->lpszName;
      }
      return TRUE;
    }
    case WM_SETTEXT: {
      std::lock_guard guard(Lock());
      Window* found = Find(window);
      if (found == nullptr) return FALSE;
      const auto* text = reinterpret_cast<LPCWSTR>(lparam);
      found->text = text != nullptr ? text : u"";
      return TRUE;
    }
    case WM_GETTEXT: {
      std::lock_guard guard(Lock());
      Window* found = Find(window);
      if (found == nullptr) return 0;
      return CopyText(found->text, reinterpret_cast<LPWSTR>(lparam), wparam);
    }
    case WM_GETTEXTLENGTH: {
      std::lock_guard guard(Lock());
      Window* found = Find(window);
      return found != nullptr ? static_cast<LRESULT>(found->text.size()) : 0;
    }
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_SYSCOMMAND:
      if ((wparam & 0xFFF0) == SC_CLOSE) SendMessageW(window, WM_CLOSE, 0, 0);
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    default:
      return 0;
  }
}
