// Timers of windows and threads on the machine clock; their WM_TIMER messages are made when
// the thread takes its messages (message_queue.cpp).
#include <algorithm>

#include "platform/nt/clock.h"
#include "platform/win32/synch.h"
#include "platform/win32/user_state.h"
#include "platform/win32/win_error.h"

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC routine) {
  using namespace win32::user;
  std::lock_guard guard(Lock());
  if (window != nullptr) {
    Window* found = Find(window);
    if (found == nullptr) {
      win32::FailWith(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (found->thread != win32::CurrentThreadId()) {
      win32::FailWith(ERROR_WINDOW_OF_OTHER_THREAD);
      return 0;
    }
  }
  Queue& queue = CurrentQueue();
  elapse = std::clamp(elapse, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
  const LONGLONG due = nt::SystemClock::Now() + static_cast<LONGLONG>(elapse) * 10'000;
  for (Timer& timer : queue.timers) {
    if (timer.window == window && timer.id == id) {
      timer.elapse = elapse;
      timer.routine = routine;
      timer.due = due;
      return window != nullptr && id == 0 ? 1 : id;
    }
  }
  if (window == nullptr) {
    // A thread's timer gets an id of its own, unless it names one of the thread's timers.
    State& state = Get();
    do {
      id = state.next_timer++;
    } while (id == 0 || std::any_of(queue.timers.begin(), queue.timers.end(),
                                    [id](const Timer& timer) {
                                      return timer.window == nullptr && timer.id == id;
                                    }));
  }
  queue.timers.push_back(Timer{window, id, elapse, routine, due});
  Changed().notify_all();
  return window != nullptr && id == 0 ? 1 : id;
}

BOOL KillTimer(HWND window, UINT_PTR id) {
  using namespace win32::user;
  std::lock_guard guard(Lock());
  Queue* queue = QueueOf(win32::CurrentThreadId());
  if (queue == nullptr ||
      std::erase_if(queue->timers, [window, id](const Timer& timer) {
        return timer.window == window && timer.id == id;
      }) == 0) {
    return win32::FailWith(ERROR_INVALID_PARAMETER);
  }
  return TRUE;
}
