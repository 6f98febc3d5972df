// What the clock tells the parts of the kernel that depend on time. Internal to the kernel
// model.
#pragma once

#include <limits>

#include "platform/nt/nt_types.h"

namespace nt::clock_internal {

constexpr LONGLONG kNever = std::numeric_limits<LONGLONG>::max();

// Every call comes with the clock's own lock held: a listener must not set or advance the
// clock, and must not hold a lock that a thread setting the clock may wait for.
class Listener {
 public:
  // The earliest time at which the listener must fire, or kNever.
  virtual LONGLONG NextDue() = 0;
  // The virtual clock advanced to `now`, a time NextDue asked for; runs on the thread that
  // advances the clock. Must move NextDue past `now`.
  virtual void Fire(LONGLONG now) = 0;
  // The clock jumped to `now` without time passing (set, or switched between virtual and host
  // time).
  virtual void Reset(LONGLONG now) = 0;
  // The time moved; waits on the machine clock should look again.
  virtual void Moved() = 0;

 protected:
  ~Listener() = default;
};

void AddListener(Listener* listener);
// Returns once no call into the listener runs.
void RemoveListener(Listener* listener);

}  // namespace nt::clock_internal
