#include "platform/nt/clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <mutex>
#include <vector>

#include "platform/nt/clock_internal.h"

namespace {

using nt::clock_internal::Listener;

// 100 ns units from 1601-01-01 to 1970-01-01, the host clock's epoch.
constexpr LONGLONG kUnixEpoch = 116'444'736'000'000'000;

// The virtual time, or kFollowHost. One word, so that reading never tears and needs no lock.
constexpr LONGLONG kFollowHost = std::numeric_limits<LONGLONG>::min();
std::atomic<LONGLONG> clock_value{nt::kVirtualClockStart};

// Serializes changes of the clock with the calls into its listeners. Never destroyed: static
// objects may use the clock while the process exits.
struct Changes {
  std::mutex mutex;
  std::vector<Listener*> listeners;
};

Changes& TheChanges() {
  static Changes* const changes = new Changes;
  return *changes;
}

LONGLONG HostNow() {
  auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpoch +
         std::chrono::duration_cast<std::chrono::duration<LONGLONG, std::ratio<1, 10'000'000>>>(
             since_epoch)
             .count();
}

}  // namespace

void KeQuerySystemTime(PLARGE_INTEGER current_time) {
  current_time->QuadPart = nt::SystemClock::Now();
}

namespace nt {

void SystemClock::Set(LONGLONG time) {
  Changes& changes = TheChanges();
  std::lock_guard guard(changes.mutex);
  clock_value.store(time);
  for (Listener* listener : changes.listeners) listener->Reset(time);
  for (Listener* listener : changes.listeners) listener->Moved();
}

void SystemClock::Advance(LONGLONG delta) {
  Changes& changes = TheChanges();
  std::lock_guard guard(changes.mutex);
  LONGLONG now = clock_value.load();
  if (now == kFollowHost) {
    now = HostNow();
    clock_value.store(now);
    for (Listener* listener : changes.listeners) listener->Reset(now);
  }
  const LONGLONG target = now + delta;
  for (;;) {
    LONGLONG due = clock_internal::kNever;
    for (Listener* listener : changes.listeners) due = std::min(due, listener->NextDue());
    if (due > target) break;
    now = std::max(due, now);
    clock_value.store(now);
    for (Listener* listener : changes.listeners) {
      if (listener->NextDue() <= now) listener->Fire(now);
    }
  }
  clock_value.store(target);
  for (Listener* listener : changes.listeners) listener->Moved();
}

void SystemClock::FollowHost() {
  Changes& changes = TheChanges();
  std::lock_guard guard(changes.mutex);
  clock_value.store(kFollowHost);
  const LONGLONG now = HostNow();
  for (Listener* listener : changes.listeners) listener->Reset(now);
  for (Listener* listener : changes.listeners) listener->Moved();
}

bool SystemClock::FollowsHost() { return clock_value.load() == kFollowHost; }

LONGLONG SystemClock::Now() {
  LONGLONG value = clock_value.load();
  return value == kFollowHost ? HostNow() : value;
}

namespace clock_internal {

void AddListener(Listener* listener) {
  Changes& changes = TheChanges();
  std::lock_guard guard(changes.mutex);
  changes.listeners.push_back(listener);
}

void RemoveListener(Listener* listener) {
  Changes& changes = TheChanges();
  std::lock_guard guard(changes.mutex);
  std::erase(changes.listeners, listener);
}

}  // namespace clock_internal

}  // namespace nt
