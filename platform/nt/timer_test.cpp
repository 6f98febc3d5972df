#include "platform/nt/timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/nt/clock.h"
#include "platform/nt/device.h"
#include "platform/nt/driver.h"
#include "platform/nt/driver_loader.h"
#include "platform/nt/irql.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/module_registry.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/process.h"
#include "platform/nt/work_queue.h"

namespace {

using nt::SystemClock;
constexpr LONGLONG kSecond = nt::kTicksPerSecond;

struct Tick {
  LONGLONG time;
  KIRQL irql;
  PETHREAD thread;
};

struct Ticks {
  std::mutex lock;
  std::vector<Tick> seen;
  WORK_QUEUE_ITEM work;
  bool queue_work = false;
  KIRQL work_irql = HIGH_LEVEL_FOR_TEST;
  PEPROCESS work_process = nullptr;
  static constexpr KIRQL HIGH_LEVEL_FOR_TEST = 31;
} ticks;

void RunWork(PVOID) {
  ticks.work_irql = KeGetCurrentIrql();
  ticks.work_process = PsGetCurrentProcess();
}

void OnTick(PDEVICE_OBJECT, PVOID) {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  std::lock_guard guard(ticks.lock);
  ticks.seen.push_back({now.QuadPart, KeGetCurrentIrql(), PsGetCurrentThread()});
  if (ticks.queue_work) {
    ticks.queue_work = false;
    ExInitializeWorkItem(&ticks.work, RunWork, nullptr);
    ExQueueWorkItem(&ticks.work, CriticalWorkQueue);
  }
}

PDRIVER_OBJECT timer_driver = nullptr;

NTSTATUS TimerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  timer_driver = driver;
  return STATUS_SUCCESS;
}

class DeviceTimer : public testing::Test {
 protected:
  DeviceTimer() {
    SystemClock::Set(nt::kVirtualClockStart);
    ticks.seen.clear();
    ticks.queue_work = false;
    start_ = SystemClock::Now();
    nt::ModuleRegistry::Register(u"timer.sys", TimerEntry);
    nt::DriverControl::InstallService(u"timer", u"timer.sys", SERVICE_DEMAND_START);
    EXPECT_EQ(nt::DriverControl::Load(u"timer"), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateDevice(timer_driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
              STATUS_SUCCESS);
    EXPECT_EQ(IoInitializeTimer(device_, OnTick, nullptr), STATUS_SUCCESS);
  }
  ~DeviceTimer() override { SystemClock::Set(nt::kVirtualClockStart); }

  size_t Count() {
    std::lock_guard guard(ticks.lock);
    return ticks.seen.size();
  }

  // The fixture sets the clock after the kernel started, so the seconds count from start_.
  nt::Kernel kernel_;
  LONGLONG start_;
  PDEVICE_OBJECT device_ = nullptr;
};

TEST_F(DeviceTimer, AdvancingTheClockTicksOncePerSecondInOrderAtDispatchLevel) {
  EXPECT_EQ(IoInitializeTimer(device_, OnTick, nullptr), STATUS_INVALID_PARAMETER);
  IoStartTimer(device_);
  SystemClock::Advance(60 * kSecond);
  ASSERT_EQ(Count(), 60u);
  for (size_t i = 0; i < 60; ++i) {
    EXPECT_EQ(ticks.seen[i].time, start_ + static_cast<LONGLONG>(i + 1) * kSecond);
    EXPECT_EQ(ticks.seen[i].irql, DISPATCH_LEVEL);
    EXPECT_EQ(ticks.seen[i].thread, PsGetCurrentThread());
  }
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  IoStopTimer(device_);
  SystemClock::Advance(10 * kSecond);
  EXPECT_EQ(Count(), 60u);
}

TEST_F(DeviceTimer, TimersTickOnTheWholeSecondsOfTheMachine) {
  SystemClock::Advance(kSecond / 2);
  IoStartTimer(device_);
  SystemClock::Advance(kSecond / 2);
  ASSERT_EQ(Count(), 1u);
  EXPECT_EQ(ticks.seen[0].time, start_ + kSecond);
  SystemClock::Advance(kSecond / 2);
  EXPECT_EQ(Count(), 1u);
}

TEST_F(DeviceTimer, SettingTheClockPassesNoTime) {
  IoStartTimer(device_);
  const LONGLONG later = start_ + 3600 * kSecond;
  SystemClock::Set(later);
  EXPECT_EQ(Count(), 0u);
  SystemClock::Advance(kSecond);
  ASSERT_EQ(Count(), 1u);
  EXPECT_EQ(ticks.seen[0].time, later + kSecond);
}

TEST_F(DeviceTimer, ATimerRoutineQueuesWorkThatRunsAtPassiveLevelInTheSystemProcess) {
  ticks.queue_work = true;
  IoStartTimer(device_);
  SystemClock::Advance(kSecond);
  nt::WorkQueueControl::WaitIdle();
  EXPECT_EQ(ticks.work_irql, PASSIVE_LEVEL);
  EXPECT_EQ(ticks.work_process, nt::ProcessControl::System());
}

TEST_F(DeviceTimer, ADeletedDevicesTimerNoLongerTicks) {
  IoStartTimer(device_);
  IoDeleteDevice(device_);
  SystemClock::Advance(5 * kSecond);
  EXPECT_EQ(Count(), 0u);
}

TEST_F(DeviceTimer, OnTheHostClockAThreadOfTheKernelTicks) {
  IoStartTimer(device_);
  SystemClock::FollowHost();
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (Count() < 1 && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  SystemClock::Set(nt::kVirtualClockStart);
  std::lock_guard guard(ticks.lock);
  ASSERT_GE(ticks.seen.size(), 1u);
  EXPECT_NE(ticks.seen[0].thread, PsGetCurrentThread());
  EXPECT_EQ(ticks.seen[0].irql, DISPATCH_LEVEL);
}

}  // namespace
