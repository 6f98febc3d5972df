#include "platform/nt/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

using nt::SystemClock;

// 100 ns units from 1601-01-01 to 1970-01-01.
constexpr LONGLONG kUnixEpoch = 116'444'736'000'000'000;

class Clock : public testing::Test {
 protected:
  void TearDown() override { SystemClock::Set(nt::kVirtualClockStart); }
};

TEST_F(Clock, TheVirtualStartIsTheFifthOfJanuary2026At0900Utc) {
  constexpr LONGLONG kStartUnixSeconds = 1'767'603'600;  // 2026-01-05 09:00:00 UTC
  EXPECT_EQ(nt::kVirtualClockStart, kUnixEpoch + kStartUnixSeconds * nt::kTicksPerSecond);
}

TEST_F(Clock, AVirtualClockMovesOnlyWhenTold) {
  SystemClock::Set(nt::kVirtualClockStart);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(SystemClock::Now(), nt::kVirtualClockStart);
  SystemClock::Advance(5 * nt::kTicksPerSecond);
  LARGE_INTEGER time;
  KeQuerySystemTime(&time);
  EXPECT_EQ(time.QuadPart, nt::kVirtualClockStart + 5 * nt::kTicksPerSecond);
  SystemClock::Set(42);
  EXPECT_EQ(SystemClock::Now(), 42);
}

TEST_F(Clock, FollowingTheHostGivesTheHostsTimeAsFiletime) {
  SystemClock::FollowHost();
  LONGLONG host = kUnixEpoch + std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                       .count() *
                                   nt::kTicksPerSecond;
  EXPECT_NEAR(static_cast<double>(SystemClock::Now()), static_cast<double>(host),
              5.0 * nt::kTicksPerSecond);
}

TEST_F(Clock, AdvancingTheHostClockFreezesItAhead) {
  SystemClock::FollowHost();
  LONGLONG before = SystemClock::Now();
  SystemClock::Advance(nt::kTicksPerSecond);
  LONGLONG frozen = SystemClock::Now();
  EXPECT_GE(frozen, before + nt::kTicksPerSecond);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(SystemClock::Now(), frozen);
}

TEST_F(Clock, ConcurrentAdvancesAllCount) {
  SystemClock::Set(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 1000; ++i) SystemClock::Advance(1);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(SystemClock::Now(), 4000);
}

}  // namespace
