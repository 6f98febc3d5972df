// Scoped holds of an executive resource. Each enters a critical region first, as the platform
// requires of anyone who holds a resource, and leaves it after the release.
#pragma once

#include "platform/nt/eresource.h"
#include "platform/nt/irql.h"
#include "platform/nt/spin_lock.h"

class SharedResourceLock {
 public:
  explicit SharedResourceLock(ERESOURCE* resource) : resource_(resource) {
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(resource_, TRUE);
  }
  ~SharedResourceLock() {
    ExReleaseResourceLite(resource_);
    KeLeaveCriticalRegion();
  }
  SharedResourceLock(const SharedResourceLock&) = delete;
  SharedResourceLock& operator=(const SharedResourceLock&) = delete;

 private:
  ERESOURCE* resource_;
};

class ExclusiveResourceLock {
 public:
  explicit ExclusiveResourceLock(ERESOURCE* resource) : resource_(resource) {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(resource_, TRUE);
  }
  ~ExclusiveResourceLock() {
    ExReleaseResourceLite(resource_);
    KeLeaveCriticalRegion();
  }
  ExclusiveResourceLock(const ExclusiveResourceLock&) = delete;
  ExclusiveResourceLock& operator=(const ExclusiveResourceLock&) = delete;

 private:
  ERESOURCE* resource_;
};

// A spin lock held for a scope; the thread runs at DISPATCH_LEVEL meanwhile.
class SpinLockGuard {
 public:
  explicit SpinLockGuard(KSPIN_LOCK* lock) : lock_(lock) { KeAcquireSpinLock(lock_, &old_irql_); }
  ~SpinLockGuard() { KeReleaseSpinLock(lock_, old_irql_); }
  SpinLockGuard(const SpinLockGuard&) = delete;
  SpinLockGuard& operator=(const SpinLockGuard&) = delete;

 private:
  KSPIN_LOCK* lock_;
  KIRQL old_irql_;
};
