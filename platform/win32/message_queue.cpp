// Per-thread message queues: posting, sending, taking and dispatching messages, and the waits
// for input.
#include <chrono>

#include "platform/nt/clock.h"
#include "platform/win32/synch.h"
#include "platform/win32/system_info.h"
#include "platform/win32/user_state.h"
#include "platform/win32/win_error.h"

namespace {

using win32::user::Find;
using win32::user::Get;
using win32::user::Lock;
using win32::user::Queue;
using win32::user::Window;

constexpr size_t kMaxPosted = 10000;
constexpr LONGLONG kTicksPerMillisecond = 10'000;
const HWND kThreadMessages = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

bool IsChildOf(HWND parent, HWND handle) {
  for (Window* window = Find(handle); window != nullptr && window->parent != nullptr;
       window = Find(window->parent)) {
    if (window->parent == parent) return true;
  }
  return false;
}

bool Matches(HWND window, UINT message, HWND filter, UINT first, UINT last) {
  if ((first != 0 || last != 0) && (message < first || message > last)) return false;
  if (filter == nullptr) return true;
  if (filter == kThreadMessages) return window == nullptr;
  return window == filter || IsChildOf(filter, window);
}

bool IsKeyMessage(UINT message) {
  return message == WM_KEYDOWN || message == WM_KEYUP || message == WM_SYSKEYDOWN ||
         message == WM_SYSKEYUP;
}

MSG MakeMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return MSG{window, message, wparam, lparam, GetTickCount(), POINT{0, 0}};
}

// A timer that fell due since the thread last looked at its queue.
bool TimerNewlyDue(const Queue& queue, LONGLONG now) {
  for (const win32::user::Timer& timer : queue.timers) {
    if (timer.due <= now && timer.due > queue.seen_time) return true;
  }
  return false;
}

// Input of the kinds of `mask` that came since the thread last looked.
bool HasNewInput(const Queue& queue, DWORD mask) {
  if ((mask & QS_SENDMESSAGE) != 0 && !queue.sent.empty()) return true;
  if (queue.arrived != queue.seen && (queue.arrived_kinds & mask) != 0) return true;
  return (mask & QS_TIMER) != 0 && TimerNewlyDue(queue, nt::SystemClock::Now());
}

// Takes the first message that matches, after handling the messages sent to the thread.
// REQUIRES: Lock() held through `lock`.
bool PeekLocked(std::unique_lock<std::mutex>& lock, MSG* message, HWND filter, UINT first,
                UINT last, bool remove) {
  while (win32::user::HandleOneSent(lock)) {
  }
  Queue& queue = win32::user::CurrentQueue();
  const LONGLONG now = nt::SystemClock::Now();
  queue.seen = queue.arrived;
  queue.arrived_kinds = 0;
  queue.seen_time = now;
  for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
    if (!Matches(it->message.hwnd, it->message.message, filter, first, last)) continue;
    *message = it->message;
    if (IsKeyMessage(message->message)) queue.modifiers = it->modifiers;
    if (remove) queue.posted.erase(it);
    return true;
  }
  if (queue.quit) {
    *message = MakeMessage(nullptr, WM_QUIT, static_cast<WPARAM>(queue.quit_code), 0);
    if (remove) queue.quit = false;
    return true;
  }
  for (win32::user::Timer& timer : queue.timers) {
    if (timer.due > now || !Matches(timer.window, WM_TIMER, filter, first, last)) continue;
    *message = MakeMessage(timer.window, WM_TIMER, timer.id,
                           reinterpret_cast<LPARAM>(timer.routine));
    if (remove) timer.due = now + timer.elapse * kTicksPerMillisecond;
    return true;
  }
  return false;
}

// Waits until the thread has new input of the kinds of `mask`. The queue's timers and a
// deadline need the machine clock, which is looked at every millisecond.
// REQUIRES: Lock() held through `lock`.
void WaitForInput(std::unique_lock<std::mutex>& lock, DWORD mask) {
  for (;;) {
    Queue& queue = win32::user::CurrentQueue();
    if (HasNewInput(queue, mask)) return;
    if (queue.timers.empty()) {
      win32::user::Changed().wait(lock);
    } else {
      win32::user::Changed().wait_for(lock, std::chrono::milliseconds(1));
    }
  }
}

BOOL PostTo(Queue& queue, const MSG& message) {
  if (queue.posted.size() >= kMaxPosted) return win32::FailWith(ERROR_NOT_ENOUGH_QUOTA);
  const DWORD kind = message.message == WM_HOTKEY ? QS_HOTKEY : QS_POSTMESSAGE;
  win32::user::Post(queue, message, 0, kind | QS_ALLPOSTMESSAGE);
  return TRUE;
}

std::vector<HWND> BroadcastTargets() { return Get().top_level; }

// The routine of a WM_TIMER message when it is the routine of one of the thread's timers.
TIMERPROC TimerRoutine(const MSG& message) {
  std::lock_guard guard(Lock());
  Queue* queue = win32::user::QueueOf(win32::CurrentThreadId());
  if (queue == nullptr) return nullptr;
  for (const win32::user::Timer& timer : queue->timers) {
    if (timer.window == message.hwnd && timer.id == message.wParam &&
        reinterpret_cast<LPARAM>(timer.routine) == message.lParam) {
      return timer.routine;
    }
  }
  return nullptr;
}

// The character a key types, or 0.
WCHAR CharacterOf(UINT key, UINT modifiers) {
  const bool shift = (modifiers & MOD_SHIFT) != 0;
  if (key >= 'A' && key <= 'Z') {
    if ((modifiers & MOD_CONTROL) != 0) return static_cast<WCHAR>(key - 'A' + 1);
    return static_cast<WCHAR>(shift ? key : key - 'A' + 'a');
  }
  if (key >= '0' && key <= '9') return static_cast<WCHAR>(key);
  switch (key) {
    case VK_SPACE: return u' ';
    case VK_RETURN: return u'\r';
    case VK_ESCAPE: return 0x1B;
    case VK_BACK: return 0x08;
    case VK_TAB: return u'\t';
    default: return 0;
  }
}

}  // namespace

BOOL PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  std::lock_guard guard(Lock());
  if (window == nullptr) {
    return PostTo(win32::user::CurrentQueue(), MakeMessage(nullptr, message, wparam, lparam));
  }
  if (window == HWND_BROADCAST) {
    for (HWND target : BroadcastTargets()) {
      if (Queue* queue = win32::user::QueueOf(Find(target)->thread)) {
        PostTo(*queue, MakeMessage(target, message, wparam, lparam));
      }
    }
    return TRUE;
  }
  Window* found = Find(window);
  if (found == nullptr) return win32::FailWith(ERROR_INVALID_WINDOW_HANDLE);
  Queue* queue = win32::user::QueueOf(found->thread);
  if (queue == nullptr) return win32::FailWith(ERROR_INVALID_WINDOW_HANDLE);
  return PostTo(*queue, MakeMessage(window, message, wparam, lparam));
}

BOOL PostThreadMessageW(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam) {
  std::lock_guard guard(Lock());
  Queue* queue = win32::user::QueueOf(thread_id);
  if (queue == nullptr) return win32::FailWith(ERROR_INVALID_THREAD_ID);
  return PostTo(*queue, MakeMessage(nullptr, message, wparam, lparam));
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  std::unique_lock lock(Lock());
  if (window == HWND_BROADCAST) {
    const std::vector<HWND> targets = BroadcastTargets();
    lock.unlock();
    for (HWND target : targets) SendMessageW(target, message, wparam, lparam);
    return 0;
  }
  Window* found = Find(window);
  if (found == nullptr) {
    win32::FailWith(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (found->thread == win32::CurrentThreadId()) {
    WNDPROC procedure = found->procedure;
    lock.unlock();
    return procedure(window, message, wparam, lparam);
  }
  Queue* target = win32::user::QueueOf(found->thread);
  if (target == nullptr) return 0;
  auto sent = std::make_shared<win32::user::SentMessage>(
      win32::user::SentMessage{window, message, wparam, lparam});
  target->sent.push_back(sent);
  ++target->arrived;
  target->arrived_kinds |= QS_SENDMESSAGE;
  win32::user::Changed().notify_all();
  win32::user::CurrentQueue();
  while (!sent->done) {
    if (win32::user::HandleOneSent(lock)) continue;
    win32::user::Changed().wait(lock);
  }
  return sent->result;
}

BOOL GetMessageW(LPMSG message, HWND window, UINT first, UINT last) {
  if (message == nullptr) return win32::FailWith(ERROR_NOACCESS);
  std::unique_lock lock(Lock());
  if (window != nullptr && window != kThreadMessages && Find(window) == nullptr) {
    win32::FailWith(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  while (!PeekLocked(lock, message, window, first, last, true)) WaitForInput(lock, QS_ALLINPUT);
  return message->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessageW(LPMSG message, HWND window, UINT first, UINT last, UINT remove) {
  if (message == nullptr) return win32::FailWith(ERROR_NOACCESS);
  std::unique_lock lock(Lock());
  if (window != nullptr && window != kThreadMessages && Find(window) == nullptr) {
    return win32::FailWith(ERROR_INVALID_WINDOW_HANDLE);
  }
  return PeekLocked(lock, message, window, first, last, (remove & PM_REMOVE) != 0) ? TRUE
                                                                                   : FALSE;
}

BOOL TranslateMessage(const MSG* message) {
  if (message == nullptr || !IsKeyMessage(message->message)) return FALSE;
  if (message->message == WM_KEYUP || message->message == WM_SYSKEYUP) return TRUE;
  std::lock_guard guard(Lock());
  Queue& queue = win32::user::CurrentQueue();
  const WCHAR character = CharacterOf(static_cast<UINT>(message->wParam), queue.modifiers);
  if (character == 0) return TRUE;
  const UINT kind = message->message == WM_SYSKEYDOWN ? WM_SYSCHAR : WM_CHAR;
  // The character is the next message the thread reads.
  queue.posted.push_front(win32::user::Posted{
      MakeMessage(message->hwnd, kind, character, message->lParam), queue.modifiers});
  ++queue.arrived;
  queue.arrived_kinds |= QS_POSTMESSAGE;
  return TRUE;
}

LRESULT DispatchMessageW(const MSG* message) {
  if (message == nullptr) return 0;
  if (message->message == WM_TIMER && message->lParam != 0) {
    if (TIMERPROC routine = TimerRoutine(*message)) {
      routine(message->hwnd, WM_TIMER, message->wParam, GetTickCount());
      return 0;
    }
  }
  if (message->hwnd == nullptr) return 0;
  WNDPROC procedure;
  {
    std::lock_guard guard(Lock());
    Window* found = Find(message->hwnd);
    if (found == nullptr) {
      win32::FailWith(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (found->thread != win32::CurrentThreadId()) {
      win32::FailWith(ERROR_WINDOW_OF_OTHER_THREAD);
      return 0;
    }
    procedure = found->procedure;
  }
  return procedure(message->hwnd, message->message, message->wParam, message->lParam);
}

void PostQuitMessage(int exit_code) {
  std::lock_guard guard(Lock());
  Queue& queue = win32::user::CurrentQueue();
  queue.quit = true;
  queue.quit_code = exit_code;
  ++queue.arrived;
  queue.arrived_kinds |= QS_POSTMESSAGE;
  win32::user::Changed().notify_all();
}

BOOL WaitMessage() {
  std::unique_lock lock(Lock());
  WaitForInput(lock, QS_ALLINPUT);
  return TRUE;
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                                DWORD milliseconds, DWORD wake_mask) {
  if (count >= MAXIMUM_WAIT_OBJECTS || (count > 0 && handles == nullptr)) {
    win32::FailWith(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  const LONGLONG deadline =
      milliseconds == INFINITE
          ? 0
          : nt::SystemClock::Now() + static_cast<LONGLONG>(milliseconds) * kTicksPerMillisecond;
  std::unique_lock lock(Lock());
  for (;;) {
    if (HasNewInput(win32::user::CurrentQueue(), wake_mask)) return WAIT_OBJECT_0 + count;
    if (count > 0) {
      lock.unlock();
      const DWORD result = WaitForMultipleObjects(count, handles, wait_all, 0);
      if (result != WAIT_TIMEOUT) return result;
      lock.lock();
      if (HasNewInput(win32::user::CurrentQueue(), wake_mask)) return WAIT_OBJECT_0 + count;
    }
    if (milliseconds != INFINITE && nt::SystemClock::Now() >= deadline) return WAIT_TIMEOUT;
    if (count == 0 && milliseconds == INFINITE && win32::user::CurrentQueue().timers.empty()) {
      win32::user::Changed().wait(lock);
    } else {
      win32::user::Changed().wait_for(lock, std::chrono::milliseconds(1));
    }
  }
}
