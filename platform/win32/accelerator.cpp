// Accelerator tables, the keyboard state of threads, and typed keys.
#include <vector>

#include "platform/win32/synch.h"
#include "platform/win32/system_info.h"
#include "platform/win32/user_state.h"
#include "platform/win32/win_error.h"

namespace {

constexpr int kMaxEntries = 32767;
// lParam of a key message: the alt key was down.
constexpr LPARAM kAltDown = LPARAM{1} << 29;

bool Has(BYTE flags, BYTE flag) { return (flags & flag) != 0; }

// Whether the entry translates the message, taken with `modifiers` down.
bool EntryMatches(const ACCEL& entry, const MSG& message, UINT modifiers) {
  const bool alt = (modifiers & MOD_ALT) != 0 || (message.lParam & kAltDown) != 0;
  if (Has(entry.fVirt, FALT) != alt) return false;
  if (message.wParam != entry.key) return false;
  if (Has(entry.fVirt, FVIRTKEY)) {
    if (message.message != WM_KEYDOWN && message.message != WM_SYSKEYDOWN) return false;
    return Has(entry.fVirt, FSHIFT) == ((modifiers & MOD_SHIFT) != 0) &&
           Has(entry.fVirt, FCONTROL) == ((modifiers & MOD_CONTROL) != 0);
  }
  return message.message == WM_CHAR || message.message == WM_SYSCHAR;
}

}  // namespace

HACCEL CreateAcceleratorTableW(LPACCEL entries, int count) {
  if (entries == nullptr || count <= 0 || count > kMaxEntries) {
    win32::FailWith(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  using namespace win32::user;
  std::lock_guard guard(Lock());
  State& state = Get();
  auto table = reinterpret_cast<HACCEL>(state.next_accelerator);
  state.next_accelerator += 4;
  state.accelerators[table].assign(entries, entries + count);
  return table;
}

BOOL DestroyAcceleratorTable(HACCEL table) {
  using namespace win32::user;
  std::lock_guard guard(Lock());
  return Get().accelerators.erase(table) > 0 ? TRUE
                                             : win32::FailWith(ERROR_INVALID_ACCEL_HANDLE);
}

int TranslateAcceleratorW(HWND window, HACCEL table, LPMSG message) {
  if (message == nullptr) return 0;
  WORD command = 0;
  bool found = false;
  {
    using namespace win32::user;
    std::lock_guard guard(Lock());
    auto entries = Get().accelerators.find(table);
    if (entries == Get().accelerators.end()) {
      win32::FailWith(ERROR_INVALID_ACCEL_HANDLE);
      return 0;
    }
    if (Find(window) == nullptr) {
      win32::FailWith(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    const UINT modifiers = CurrentQueue().modifiers;
    for (const ACCEL& entry : entries->second) {
      if (!EntryMatches(entry, *message, modifiers)) continue;
      command = entry.cmd;
      found = true;
      break;
    }
  }
  if (!found) return 0;
  SendMessageW(window, WM_COMMAND, MAKEWPARAM(command, 1), 0);
  return 1;
}

SHORT GetKeyState(int virtual_key) {
  using namespace win32::user;
  std::lock_guard guard(Lock());
  const UINT modifiers = CurrentQueue().modifiers;
  UINT modifier = 0;
  switch (virtual_key) {
    case VK_SHIFT: modifier = MOD_SHIFT; break;
    case VK_CONTROL: modifier = MOD_CONTROL; break;
    case VK_MENU: modifier = MOD_ALT; break;
    default: return 0;
  }
  return (modifiers & modifier) != 0 ? static_cast<SHORT>(0x8000) : SHORT{0};
}

namespace win32 {

bool UserControl::TypeKey(HWND window, UINT modifiers, UINT virtual_key) {
  using namespace win32::user;
  std::lock_guard guard(Lock());
  Window* found = Find(window);
  if (found == nullptr) return false;
  Queue* queue = QueueOf(found->thread);
  if (queue == nullptr) return false;
  const bool alt = (modifiers & MOD_ALT) != 0;
  const LPARAM context = alt ? kAltDown : 0;
  const WPARAM key = virtual_key;
  const DWORD time = GetTickCount();
  Post(*queue, MSG{window, alt ? WM_SYSKEYDOWN : WM_KEYDOWN, key, 1 | context, time, {}},
       modifiers, QS_KEY);
  Post(*queue,
       MSG{window, alt ? WM_SYSKEYUP : WM_KEYUP, key,
           1 | context | (LPARAM{1} << 30) | (LPARAM{1} << 31), time, {}},
       modifiers, QS_KEY);
  return true;
}

}  // namespace win32
