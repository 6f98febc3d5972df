// The machine's clock. System time is FILETIME: 100 ns units since 1601-01-01 UTC. In tests the
// clock is virtual and moves only when told; the runnable machine follows the host's clock.
// Timers of the running kernel fire as the clock passes their time: Advance runs them on the
// advancing thread, one due time after the other, with the clock standing at each.
#pragma once

#include "platform/nt/nt_types.h"

void KeQuerySystemTime(PLARGE_INTEGER current_time);

namespace nt {

// 100 ns units per second.
constexpr LONGLONG kTicksPerSecond = 10'000'000;

// Where the virtual clock stands when the machine starts: 2026-01-05 09:00:00 UTC.
constexpr LONGLONG kVirtualClockStart = 134'120'772'000'000'000;

// Machine-wide and thread-safe. The clock starts virtual, at kVirtualClockStart.
class SystemClock {
 public:
  // Switches to a virtual clock that stands at `time` until set or advanced. The jump passes
  // no time: no timer fires for it.
  // REQUIRES: time >= 0.
  static void Set(LONGLONG time);
  // Moves the virtual clock, firing the timers that fall due on the way, in order; on the
  // host's clock, first switches to a virtual one that stands at the host's time.
  // REQUIRES: not called from a timer routine.
  static void Advance(LONGLONG delta);
  // Switches to the host's clock.
  static void FollowHost();
  static bool FollowsHost();
  static LONGLONG Now();
};

}  // namespace nt
