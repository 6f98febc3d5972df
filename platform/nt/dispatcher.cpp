#include "platform/nt/dispatcher.h"

#include <chrono>
#include <condition_variable>

#include "platform/nt/access_rights.h"
#include "platform/nt/clock.h"
#include "platform/nt/clock_internal.h"
#include "platform/nt/event.h"
#include "platform/nt/handles.h"
#include "platform/nt/irql.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"

namespace {

// Never destroyed: static objects may signal events while the process exits.
struct Dispatcher {
  std::mutex lock;
  std::condition_variable changed;
};

Dispatcher& TheDispatcher() {
  static Dispatcher* const dispatcher = new Dispatcher;
  return *dispatcher;
}

// Wakes timed waits whenever the machine clock moves.
class ClockWaker final : public nt::clock_internal::Listener {
 public:
  LONGLONG NextDue() override { return nt::clock_internal::kNever; }
  void Fire(LONGLONG) override {}
  void Reset(LONGLONG) override { Wake(); }
  void Moved() override { Wake(); }

 private:
  static void Wake() {
    std::lock_guard guard(TheDispatcher().lock);
    TheDispatcher().changed.notify_all();
  }
};

void WatchClock() {
  static ClockWaker* const waker = [] {
    auto* listener = new ClockWaker;
    nt::clock_internal::AddListener(listener);
    return listener;
  }();
  (void)waker;
}

// Parameter 1 of DRIVER_VERIFIER_DETECTED_VIOLATION for a wait on something not waitable.
constexpr ULONG_PTR kNotADispatcherObject = 0x1000;

// REQUIRES: the dispatcher lock held.
bool TrySatisfy(DISPATCHER_HEADER* header) {
  switch (header->Type) {
    case EventNotificationObject:
      return header->SignalState != 0;
    case EventSynchronizationObject:
      if (header->SignalState == 0) return false;
      header->SignalState = 0;
      return true;
    default:
      KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, kNotADispatcherObject,
                   reinterpret_cast<ULONG_PTR>(header), header->Type, 0);
  }
}

LONGLONG DeadlineOf(PLARGE_INTEGER timeout) {
  if (timeout == nullptr) return nt::clock_internal::kNever;
  const LONGLONG value = timeout->QuadPart;
  if (value >= 0) return value;
  const LONGLONG now = nt::SystemClock::Now();
  return -value > nt::clock_internal::kNever - now ? nt::clock_internal::kNever : now - value;
}

NTSTATUS WaitForHandle(HANDLE handle, PLARGE_INTEGER timeout, KPROCESSOR_MODE mode) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(handle), KeGetCurrentIrql(),
                 0, 0);
  }
  PVOID object;
  NTSTATUS status = ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, mode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  if (nt::TypeOf(object) != *ExEventObjectType) {
    ObfDereferenceObject(object);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  status = KeWaitForSingleObject(object, UserRequest, mode, FALSE, timeout);
  ObfDereferenceObject(object);
  return status;
}

}  // namespace

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER timeout) {
  const KIRQL irql = KeGetCurrentIrql();
  const bool test_only = timeout != nullptr && timeout->QuadPart == 0;
  if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !test_only)) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(object), irql, 0, 0);
  }
  const LONGLONG deadline = DeadlineOf(timeout);
  if (timeout != nullptr) WatchClock();
  auto* header = static_cast<DISPATCHER_HEADER*>(object);
  Dispatcher& dispatcher = TheDispatcher();
  std::unique_lock lock(dispatcher.lock);
  for (;;) {
    if (TrySatisfy(header)) return STATUS_SUCCESS;
    if (timeout == nullptr) {
      dispatcher.changed.wait(lock);
      continue;
    }
    const LONGLONG now = nt::SystemClock::Now();
    if (test_only || now >= deadline) return STATUS_TIMEOUT;
    if (nt::SystemClock::FollowsHost()) {
      dispatcher.changed.wait_for(lock, std::chrono::microseconds((deadline - now) / 10 + 1));
    } else {
      dispatcher.changed.wait(lock);
    }
  }
}

NTSTATUS ZwWaitForSingleObject(HANDLE handle, BOOLEAN, PLARGE_INTEGER timeout) {
  return WaitForHandle(handle, timeout, KernelMode);
}

NTSTATUS NtWaitForSingleObject(HANDLE handle, BOOLEAN, PLARGE_INTEGER timeout) {
  return WaitForHandle(handle, timeout, UserMode);
}

namespace nt {

std::mutex& DispatcherLock() { return TheDispatcher().lock; }

void WakeWaiters() { TheDispatcher().changed.notify_all(); }

}  // namespace nt
