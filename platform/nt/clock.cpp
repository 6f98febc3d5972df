#include "platform/nt/clock.h"

#include <atomic>
#include <chrono>
#include <limits>

namespace {

// 100 ns units from 1601-01-01 to 1970-01-01, the host clock's epoch.
constexpr LONGLONG kUnixEpoch = 116'444'736'000'000'000;

// The virtual time, or kFollowHost. One word, so that switching and reading never tear.
constexpr LONGLONG kFollowHost = std::numeric_limits<LONGLONG>::min();
std::atomic<LONGLONG> clock_value{nt::kVirtualClockStart};

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

void SystemClock::Set(LONGLONG time) { clock_value.store(time); }

void SystemClock::Advance(LONGLONG delta) {
  LONGLONG current = clock_value.load();
  LONGLONG next;
  do {
    next = (current == kFollowHost ? HostNow() : current) + delta;
  } while (!clock_value.compare_exchange_weak(current, next));
}

void SystemClock::FollowHost() { clock_value.store(kFollowHost); }

LONGLONG SystemClock::Now() {
  LONGLONG value = clock_value.load();
  return value == kFollowHost ? HostNow() : value;
}

}  // namespace nt
