#include "platform/nt/timer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "platform/nt/clock.h"
#include "platform/nt/clock_internal.h"
#include "platform/nt/device.h"
#include "platform/nt/irql.h"
#include "platform/nt/kernel_internal.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/pool.h"
#include "platform/nt/process_internal.h"
#include "platform/nt/timer_internal.h"

struct IO_TIMER {
  PDEVICE_OBJECT device;
  PIO_TIMER_ROUTINE routine;
  PVOID context;
  std::atomic<bool> active{false};
};

namespace {

constexpr ULONG kTimerTag = PoolTag('I', 'o', 'T', 'i');

void FreeTimer(IO_TIMER* timer) {
  timer->device->Timer = nullptr;
  timer->~IO_TIMER();
  ExFreePoolWithTag(timer, kTimerTag);
}

// Ticks every second of the machine clock: on the advancing thread for a virtual clock, on a
// thread of its own for the host's.
class TimerService final : public nt::clock_internal::Listener {
 public:
  TimerService() : next_tick_(nt::SystemClock::Now() + nt::kTicksPerSecond) {
    PEPROCESS system = nt::ProcessControl::System();
    ObfReferenceObject(system);
    ticker_ = std::thread([this, system] {
      nt::BindCurrentThread(system);
      ObfDereferenceObject(system);
      TickWithHost();
    });
    nt::clock_internal::AddListener(this);
  }

  ~TimerService() {
    Halt();
    for (IO_TIMER* timer : timers_) FreeTimer(timer);
  }

  // Stops the ticks for good; the timers stay until the service goes.
  void Halt() {
    if (!ticker_.joinable()) return;
    nt::clock_internal::RemoveListener(this);
    {
      std::lock_guard guard(ticker_lock_);
      stopping_ = true;
      ticker_wake_.notify_all();
    }
    ticker_.join();
  }

  void Add(IO_TIMER* timer) {
    std::lock_guard guard(tick_lock_);
    timers_.push_back(timer);
  }

  void Remove(IO_TIMER* timer) {
    std::lock_guard guard(tick_lock_);
    std::erase(timers_, timer);
  }

  LONGLONG NextDue() override { return next_tick_.load(); }
  void Fire(LONGLONG now) override { Tick(now); }
  void Reset(LONGLONG now) override {
    next_tick_.store(now + nt::kTicksPerSecond);
    std::lock_guard guard(ticker_lock_);
    ticker_wake_.notify_all();
  }
  void Moved() override {}

 private:
  // Runs the tick due at `due`, unless another thread ran it already.
  void Tick(LONGLONG due) {
    std::lock_guard guard(tick_lock_);
    if (due < next_tick_.load()) return;
    next_tick_.store(due + nt::kTicksPerSecond);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (IO_TIMER* timer : timers_) {
      if (timer->active.load()) timer->routine(timer->device, timer->context);
    }
    KeLowerIrql(old);
  }

  void TickWithHost() {
    std::unique_lock lock(ticker_lock_);
    while (!stopping_) {
      if (!nt::SystemClock::FollowsHost()) {
        ticker_wake_.wait(lock);
        continue;
      }
      const LONGLONG due = next_tick_.load();
      const LONGLONG now = nt::SystemClock::Now();
      if (now < due) {
        ticker_wake_.wait_for(lock, std::chrono::microseconds((due - now) / 10 + 1));
        continue;
      }
      lock.unlock();
      Tick(due);
      lock.lock();
    }
  }

  std::atomic<LONGLONG> next_tick_;
  // Serializes ticks with changes of the timer list, so that a removed timer never runs.
  std::mutex tick_lock_;
  std::vector<IO_TIMER*> timers_;
  std::mutex ticker_lock_;
  std::condition_variable ticker_wake_;
  bool stopping_ = false;
  std::thread ticker_;
};

// Exists while a kernel runs; written only while no other thread uses the kernel.
TimerService* service = nullptr;

}  // namespace

NTSTATUS IoInitializeTimer(PDEVICE_OBJECT device, PIO_TIMER_ROUTINE routine, PVOID context) {
  nt::kernel_internal::RequireKernel("IoInitializeTimer");
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(device), KeGetCurrentIrql(),
                 0, 0);
  }
  if (device->Timer != nullptr || routine == nullptr) return STATUS_INVALID_PARAMETER;
  void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(IO_TIMER), kTimerTag);
  if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto* timer = new (block) IO_TIMER;
  timer->device = device;
  timer->routine = routine;
  timer->context = context;
  device->Timer = timer;
  service->Add(timer);
  return STATUS_SUCCESS;
}

void IoStartTimer(PDEVICE_OBJECT device) { device->Timer->active.store(true); }

void IoStopTimer(PDEVICE_OBJECT device) { device->Timer->active.store(false); }

namespace nt {

void RemoveDeviceTimer(PDEVICE_OBJECT device) {
  IO_TIMER* timer = device->Timer;
  if (timer == nullptr) return;
  if (service != nullptr) service->Remove(timer);
  FreeTimer(timer);
}

void StartTimers() { service = new TimerService; }

void HaltTimers() { service->Halt(); }

void StopTimers() {
  delete service;
  service = nullptr;
}

}  // namespace nt
