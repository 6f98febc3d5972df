#include "platform/nt/eresource.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "platform/nt/irql.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/thread_state.h"

// A thread that owns the resource exclusive counts every acquisition (shared ones too) in
// exclusive_count; a thread that owns it shared counts in shared_counts. A thread is never in
// both.
struct ResourceState {
  std::mutex mutex;
  // Signalled whenever the resource may have become available to a waiter.
  std::condition_variable released;
  KTHREAD* exclusive_owner = nullptr;
  ULONG exclusive_count = 0;
  // Few threads share a resource at a time: a list whose storage stays when they leave, so
  // that taking the resource shared again does not allocate.
  std::vector<std::pair<KTHREAD*, ULONG>> shared_counts;
  // Threads blocked in an exclusive acquisition; while there are any, threads that do not
  // already own the resource wait before sharing it, so that writers do not starve.
  ULONG exclusive_waiters = 0;
};

namespace {

// Parameter 1 of DRIVER_VERIFIER_DETECTED_VIOLATION for the resource rules.
constexpr ULONG_PTR kApcsEnabled = 1;
constexpr ULONG_PTR kSharedToExclusive = 2;
constexpr ULONG_PTR kDeletedWhileOwned = 3;

ULONG_PTR Address(const void* p) { return reinterpret_cast<ULONG_PTR>(p); }

void CheckAcquireContext(PERESOURCE resource) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql >= DISPATCH_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, Address(resource), irql, 0, 0);
  }
  if (!KeAreApcsDisabled()) {
    KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, kApcsEnabled, Address(resource), 0, 0);
  }
}

std::vector<std::pair<KTHREAD*, ULONG>>::iterator FindShared(ResourceState& state,
                                                             KTHREAD* thread) {
  return std::find_if(state.shared_counts.begin(), state.shared_counts.end(),
                      [thread](const auto& owner) { return owner.first == thread; });
}

bool SharedBy(ResourceState& state, KTHREAD* thread) {
  return FindShared(state, thread) != state.shared_counts.end();
}

}  // namespace

NTSTATUS ExInitializeResourceLite(PERESOURCE resource) {
  resource->state = new (std::nothrow) ResourceState;
  return resource->state != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS ExDeleteResourceLite(PERESOURCE resource) {
  ResourceState* state = resource->state;
  {
    std::lock_guard guard(state->mutex);
    if (state->exclusive_owner != nullptr || !state->shared_counts.empty() ||
        state->exclusive_waiters != 0) {
      KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, kDeletedWhileOwned, Address(resource), 0,
                   0);
    }
  }
  delete state;
  resource->state = nullptr;
  return STATUS_SUCCESS;
}

BOOLEAN ExAcquireResourceSharedLite(PERESOURCE resource, BOOLEAN wait) {
  CheckAcquireContext(resource);
  ResourceState& state = *resource->state;
  KTHREAD* self = nt::CurrentThread();
  std::unique_lock lock(state.mutex);
  if (state.exclusive_owner == self) {
    ++state.exclusive_count;
    return TRUE;
  }
  auto held = FindShared(state, self);
  if (held != state.shared_counts.end()) {
    ++held->second;
    return TRUE;
  }
  auto available = [&state] {
    return state.exclusive_owner == nullptr && state.exclusive_waiters == 0;
  };
  if (!available()) {
    if (!wait) return FALSE;
    state.released.wait(lock, available);
  }
  state.shared_counts.emplace_back(self, 1);
  return TRUE;
}

BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE resource, BOOLEAN wait) {
  CheckAcquireContext(resource);
  ResourceState& state = *resource->state;
  KTHREAD* self = nt::CurrentThread();
  std::unique_lock lock(state.mutex);
  if (state.exclusive_owner == self) {
    ++state.exclusive_count;
    return TRUE;
  }
  if (SharedBy(state, self)) {
    KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, kSharedToExclusive, Address(resource),
                 Address(self), 0);
  }
  auto available = [&state] {
    return state.exclusive_owner == nullptr && state.shared_counts.empty();
  };
  if (!available()) {
    if (!wait) return FALSE;
    ++state.exclusive_waiters;
    state.released.wait(lock, available);
    // Shared waiters held back by this one now wait for its release: nothing to signal.
    --state.exclusive_waiters;
  }
  state.exclusive_owner = self;
  state.exclusive_count = 1;
  return TRUE;
}

void ExReleaseResourceLite(PERESOURCE resource) {
  ResourceState& state = *resource->state;
  KTHREAD* self = nt::CurrentThread();
  std::unique_lock lock(state.mutex);
  if (state.exclusive_owner == self) {
    if (--state.exclusive_count == 0) {
      state.exclusive_owner = nullptr;
      state.released.notify_all();
    }
    return;
  }
  auto held = FindShared(state, self);
  if (held == state.shared_counts.end()) {
    KeBugCheckEx(RESOURCE_NOT_OWNED, Address(resource), Address(self), 0, 0);
  }
  if (--held->second == 0) {
    *held = state.shared_counts.back();
    state.shared_counts.pop_back();
    if (state.shared_counts.empty()) state.released.notify_all();
  }
}

BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE resource) {
  ResourceState& state = *resource->state;
  std::lock_guard guard(state.mutex);
  return state.exclusive_owner == nt::CurrentThread();
}

ULONG ExIsResourceAcquiredSharedLite(PERESOURCE resource) {
  ResourceState& state = *resource->state;
  KTHREAD* self = nt::CurrentThread();
  std::lock_guard guard(state.mutex);
  if (state.exclusive_owner == self) return state.exclusive_count;
  auto held = FindShared(state, self);
  return held != state.shared_counts.end() ? held->second : 0;
}
