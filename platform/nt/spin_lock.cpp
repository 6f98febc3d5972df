#include "platform/nt/spin_lock.h"

#include <atomic>
#include <thread>

#include "platform/nt/irql.h"
#include "platform/nt/thread_state.h"

// The lock word holds the owning thread's object (0 when free), so that a thread that takes a
// lock it already holds, or releases one it does not hold, stops the machine instead of
// hanging it.

namespace {

ULONG_PTR Self() { return reinterpret_cast<ULONG_PTR>(nt::CurrentThread()); }

void RequireDispatchLevel(PKSPIN_LOCK lock) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql < DISPATCH_LEVEL) {
    KeBugCheckEx(IRQL_NOT_GREATER_OR_EQUAL, reinterpret_cast<ULONG_PTR>(lock), irql, 0, 0);
  }
  if (irql > DISPATCH_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(lock), irql, 0, 0);
  }
}

void Take(PKSPIN_LOCK lock) {
  std::atomic_ref<ULONG_PTR> word(*lock);
  const ULONG_PTR self = Self();
  for (;;) {
    ULONG_PTR owner = word.load(std::memory_order_relaxed);
    if (owner == self) {
      KeBugCheckEx(SPIN_LOCK_ALREADY_OWNED, reinterpret_cast<ULONG_PTR>(lock), 0, 0, 0);
    }
    if (owner == 0 && word.compare_exchange_weak(owner, self, std::memory_order_acquire)) return;
    std::this_thread::yield();
  }
}

void Give(PKSPIN_LOCK lock) {
  std::atomic_ref<ULONG_PTR> word(*lock);
  ULONG_PTR owner = Self();
  if (!word.compare_exchange_strong(owner, 0, std::memory_order_release)) {
    KeBugCheckEx(SPIN_LOCK_NOT_OWNED, reinterpret_cast<ULONG_PTR>(lock), owner, 0, 0);
  }
}

}  // namespace

void KeInitializeSpinLock(PKSPIN_LOCK lock) {
  std::atomic_ref<ULONG_PTR>(*lock).store(0, std::memory_order_relaxed);
}

void KeAcquireSpinLock(PKSPIN_LOCK lock, KIRQL* old_irql) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(lock), irql, 0, 0);
  }
  KeRaiseIrql(DISPATCH_LEVEL, old_irql);
  Take(lock);
}

void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL old_irql) {
  RequireDispatchLevel(lock);
  Give(lock);
  KeLowerIrql(old_irql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
  RequireDispatchLevel(lock);
  Take(lock);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) {
  RequireDispatchLevel(lock);
  Give(lock);
}
