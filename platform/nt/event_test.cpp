#include "platform/nt/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/nt/clock.h"
#include "platform/nt/handles.h"
#include "platform/nt/irql.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/ntstatus.h"

namespace {

using namespace std::chrono_literals;

LARGE_INTEGER Relative(LONGLONG seconds) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -seconds * nt::kTicksPerSecond;
  return timeout;
}

TEST(Event, SetResetAndReadReportTheFormerState) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);
  EXPECT_EQ(KeResetEvent(&event), 1);
  KeClearEvent(&event);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Event, ANotificationEventReleasesEveryWaiterAndStaysSet) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::vector<std::thread> waiters;
  std::atomic<int> released{0};
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                STATUS_SUCCESS);
      ++released;
    });
  }
  KeSetEvent(&event, 0, FALSE);
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(released.load(), 3);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST(Event, ASynchronizationEventReleasesOneWaiterPerSignal) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      ++released;
    });
  }
  KeSetEvent(&event, 0, FALSE);
  while (released.load() == 0) std::this_thread::yield();
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(released.load(), 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  KeSetEvent(&event, 0, FALSE);
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(released.load(), 2);
}

class TimedWait : public testing::Test {
 protected:
  void TearDown() override { nt::SystemClock::Set(nt::kVirtualClockStart); }
};

TEST_F(TimedWait, ATimeoutEndsOnlyWhenTheVirtualClockPassesIt) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  auto waited = std::async(std::launch::async, [&event] {
    LARGE_INTEGER timeout = Relative(5);
    return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
  });
  EXPECT_EQ(waited.wait_for(20ms), std::future_status::timeout);
  nt::SystemClock::Advance(4 * nt::kTicksPerSecond);
  EXPECT_EQ(waited.wait_for(20ms), std::future_status::timeout);
  nt::SystemClock::Advance(1 * nt::kTicksPerSecond);
  EXPECT_EQ(waited.get(), STATUS_TIMEOUT);
}

TEST_F(TimedWait, AnAbsoluteTimeoutAndATestWithZeroTimeoutReturnAtOnceWhenDue) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  LARGE_INTEGER past;
  past.QuadPart = nt::SystemClock::Now() - 1;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
  LARGE_INTEGER zero{};
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeSetEvent(&event, 0, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  KeLowerIrql(old);
}

TEST_F(TimedWait, OnTheHostClockATimeoutPassesByItself) {
  nt::SystemClock::FollowHost();
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10 * 10'000;  // 10 ms
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
            STATUS_TIMEOUT);
}

TEST(EventDeathTest, WaitingAtDispatchLevelStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        LARGE_INTEGER timeout = Relative(1);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
      },
      "STOP 0x0000000A .*IRQL_NOT_LESS_OR_EQUAL");
}

class NamedEvent : public testing::Test {
 protected:
  nt::Kernel kernel_;
};

TEST_F(NamedEvent, ASynchronizationEventIsCreatedSignalledAndOpenedByItsName) {
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\shpath_event");
  HANDLE first;
  PKEVENT event = IoCreateSynchronizationEvent(&name, &first);
  ASSERT_NE(event, nullptr);
  HANDLE second;
  EXPECT_EQ(IoCreateSynchronizationEvent(&name, &second), event);
  EXPECT_EQ(ZwWaitForSingleObject(second, FALSE, nullptr), STATUS_SUCCESS);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  ZwClose(first);
  ZwClose(second);
  HANDLE third;
  PKEVENT fresh = IoCreateNotificationEvent(&name, &third);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(KeReadStateEvent(fresh), 1);
  ZwClose(third);
}

}  // namespace
