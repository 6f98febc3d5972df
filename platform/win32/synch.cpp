#include "platform/win32/synch.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/nt/clock.h"
#include "platform/nt/delay.h"
#include "platform/nt/dispatcher.h"
#include "platform/nt/event.h"
#include "platform/nt/handles.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"
#include "platform/nt/unicode_string.h"
#include "platform/win32/user_objects.h"
#include "platform/win32/win_error.h"

namespace {

class Mutant final : public win32::UserObject {
 public:
  explicit Mutant(DWORD owner) : owner_(owner), recursion_(owner != 0 ? 1 : 0) {}

  bool IsSignalled(DWORD thread_id) const override {
    return owner_ == 0 || owner_ == thread_id;
  }
  bool Acquire(DWORD thread_id) override;
  // False when `thread_id` does not own the mutex. REQUIRES: StateLock() held.
  bool Release(DWORD thread_id);
  // REQUIRES: StateLock() held.
  void Abandon() {
    owner_ = 0;
    recursion_ = 0;
    abandoned_ = true;
  }

 private:
  DWORD owner_;
  ULONG recursion_;
  bool abandoned_ = false;
};

class Semaphore final : public win32::UserObject {
 public:
  Semaphore(LONG count, LONG maximum) : count_(count), maximum_(maximum) {}

  bool IsSignalled(DWORD) const override { return count_ > 0; }
  bool Acquire(DWORD) override {
    --count_;
    return false;
  }
  // REQUIRES: StateLock() held.
  bool Release(LONG count, LONG* previous) {
    if (count <= 0 || count > maximum_ - count_) return false;
    if (previous != nullptr) *previous = count_;
    count_ += count;
    return true;
  }

 private:
  LONG count_;
  LONG maximum_;
};

// The mutexes a thread owns (referenced), so that they are abandoned when it ends.
struct OwnedMutants {
  std::vector<Mutant*> list;
  ~OwnedMutants() { win32::AbandonOwnedMutexes(); }
};
thread_local OwnedMutants owned;

bool Mutant::Acquire(DWORD thread_id) {
  if (owner_ != thread_id) {
    owner_ = thread_id;
    ObfReferenceObject(this);
    owned.list.push_back(this);
  }
  ++recursion_;
  const bool abandoned = abandoned_;
  abandoned_ = false;
  return abandoned;
}

bool Mutant::Release(DWORD thread_id) {
  if (owner_ != thread_id || recursion_ == 0) return false;
  if (--recursion_ == 0) owner_ = 0;
  return true;
}

std::atomic<DWORD> next_thread_id{0x100};
thread_local DWORD current_thread_id = 0;

UNICODE_STRING NameOf(const std::u16string& full) {
  UNICODE_STRING name;
  name.Buffer = const_cast<PWSTR>(full.c_str());
  name.Length = static_cast<USHORT>(full.size() * sizeof(WCHAR));
  name.MaximumLength = name.Length;
  return name;
}

bool ValidName(LPCWSTR name) {
  if (name == nullptr) return true;
  for (LPCWSTR c = name; *c != u'\0'; ++c) {
    if (*c == u'\\') return false;
  }
  return true;
}

// A handle's object for a wait: a kernel event or a waitable user object.
struct WaitTarget {
  PVOID object = nullptr;
  bool is_event = false;
};

bool Satisfiable(const WaitTarget& target, DWORD thread_id) {
  if (target.is_event) {
    return static_cast<PKEVENT>(target.object)->Header.SignalState != 0;
  }
  return static_cast<win32::UserObject*>(target.object)->IsSignalled(thread_id);
}

// Returns true when the object was an abandoned mutex.
bool Take(const WaitTarget& target, DWORD thread_id) {
  if (target.is_event) {
    auto* event = static_cast<PKEVENT>(target.object);
    if (event->Header.Type == EventSynchronizationObject) event->Header.SignalState = 0;
    return false;
  }
  return static_cast<win32::UserObject*>(target.object)->Acquire(thread_id);
}

void Release(std::vector<WaitTarget>* targets) {
  for (WaitTarget& target : *targets) {
    if (target.object != nullptr) ObfDereferenceObject(target.object);
  }
}

LONGLONG TicksOf(DWORD milliseconds) { return static_cast<LONGLONG>(milliseconds) * 10'000; }

DWORD WaitForTargets(const std::vector<WaitTarget>& targets, bool wait_all, DWORD milliseconds) {
  const DWORD thread_id = win32::CurrentThreadId();
  const LONGLONG deadline = milliseconds == INFINITE
                                ? 0
                                : nt::SystemClock::Now() + TicksOf(milliseconds);
  std::unique_lock lock(win32::StateLock());
  for (;;) {
    {
      std::lock_guard dispatcher(nt::DispatcherLock());
      if (wait_all) {
        bool all = true;
        for (const WaitTarget& target : targets) all = all && Satisfiable(target, thread_id);
        if (all) {
          bool abandoned = false;
          for (const WaitTarget& target : targets) abandoned |= Take(target, thread_id);
          return abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0;
        }
      } else {
        for (size_t i = 0; i < targets.size(); ++i) {
          if (!Satisfiable(targets[i], thread_id)) continue;
          const bool abandoned = Take(targets[i], thread_id);
          return static_cast<DWORD>((abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i);
        }
      }
    }
    if (milliseconds == 0) return WAIT_TIMEOUT;
    if (milliseconds != INFINITE && nt::SystemClock::Now() >= deadline) return WAIT_TIMEOUT;
    // User objects notify at once; kernel events and the clock are looked at every
    // millisecond, since the kernel's dispatcher has no hook for waits on several objects.
    win32::StateChanged().wait_for(lock, std::chrono::milliseconds(1));
  }
}

DWORD Wait(DWORD count, const HANDLE* handles, bool wait_all, DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<WaitTarget> targets(count);
  for (DWORD i = 0; i < count; ++i) {
    PVOID object = nullptr;
    const NTSTATUS status = ObReferenceObjectByHandle(handles[i], SYNCHRONIZE, nullptr, UserMode,
                                                      &object, nullptr);
    if (!NT_SUCCESS(status)) {
      Release(&targets);
      win32::FailWithStatus(status);
      return WAIT_FAILED;
    }
    targets[i].object = object;
    POBJECT_TYPE type = nt::TypeOf(object);
    targets[i].is_event = type == *ExEventObjectType;
    if (!targets[i].is_event && !win32::IsUserType(type)) {
      Release(&targets);
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
  }
  // Waiting for all of one object twice would take it twice: the platform refuses it.
  for (DWORD i = 0; wait_all && i < count; ++i) {
    for (DWORD j = i + 1; j < count; ++j) {
      if (targets[i].object != targets[j].object) continue;
      Release(&targets);
      SetLastError(ERROR_INVALID_PARAMETER);
      return WAIT_FAILED;
    }
  }
  DWORD result;
  if (count == 1 && targets[0].is_event) {
    // One event: the kernel's own wait, which wakes exactly when the event is set.
    LARGE_INTEGER timeout;
    timeout.QuadPart = -TicksOf(milliseconds);
    const NTSTATUS status = KeWaitForSingleObject(
        targets[0].object, UserRequest, UserMode, FALSE,
        milliseconds == INFINITE ? nullptr : &timeout);
    result = status == STATUS_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0;
  } else {
    result = WaitForTargets(targets, wait_all, milliseconds);
  }
  Release(&targets);
  return result;
}

}  // namespace

namespace win32 {

DWORD NewThreadId() { return next_thread_id.fetch_add(4); }

DWORD CurrentThreadId() {
  if (current_thread_id == 0) current_thread_id = NewThreadId();
  return current_thread_id;
}

void AdoptThreadId(DWORD id) { current_thread_id = id; }

void AbandonOwnedMutexes() {
  std::vector<Mutant*> mutants;
  {
    std::lock_guard guard(StateLock());
    mutants.swap(owned.list);
    for (Mutant* mutant : mutants) {
      if (!mutant->IsSignalled(0) && mutant->IsSignalled(CurrentThreadId())) mutant->Abandon();
    }
    StateChanged().notify_all();
  }
  for (Mutant* mutant : mutants) ObfDereferenceObject(mutant);
}

}  // namespace win32

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                    LPCWSTR name) {
  if (!ValidName(name)) {
    win32::FailWith(ERROR_INVALID_NAME);
    return nullptr;
  }
  const bool named = name != nullptr && name[0] != u'\0';
  const std::u16string full = named ? win32::BaseNamedObject(name) : std::u16string();
  UNICODE_STRING object_name = NameOf(full);
  OBJECT_ATTRIBUTES object_attributes;
  ULONG flags = OBJ_OPENIF;
  if (attributes != nullptr && attributes->bInheritHandle) flags |= OBJ_INHERIT;
  InitializeObjectAttributes(&object_attributes, named ? &object_name : nullptr, flags, nullptr,
                             nullptr);
  HANDLE handle = nullptr;
  const NTSTATUS status =
      NtCreateEvent(&handle, EVENT_ALL_ACCESS, &object_attributes,
                    manual_reset ? NotificationEvent : SynchronizationEvent,
                    initial_state ? TRUE : FALSE);
  if (status == STATUS_OBJECT_NAME_COLLISION) {
    win32::FailWith(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!NT_SUCCESS(status)) {
    win32::FailWithStatus(status);
    return nullptr;
  }
  SetLastError(status == STATUS_OBJECT_NAME_EXISTS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

HANDLE OpenEventW(DWORD desired_access, BOOL inherit, LPCWSTR name) {
  return win32::OpenNamedObject(*ExEventObjectType, desired_access, inherit, name);
}

BOOL SetEvent(HANDLE event) {
  PVOID object = win32::ReferenceHandle(event, EVENT_MODIFY_STATE, *ExEventObjectType);
  if (object == nullptr) return FALSE;
  KeSetEvent(static_cast<PKEVENT>(object), 0, FALSE);
  ObfDereferenceObject(object);
  std::lock_guard guard(win32::StateLock());
  win32::StateChanged().notify_all();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  PVOID object = win32::ReferenceHandle(event, EVENT_MODIFY_STATE, *ExEventObjectType);
  if (object == nullptr) return FALSE;
  KeResetEvent(static_cast<PKEVENT>(object));
  ObfDereferenceObject(object);
  return TRUE;
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner, LPCWSTR name) {
  if (!ValidName(name)) {
    win32::FailWith(ERROR_INVALID_NAME);
    return nullptr;
  }
  Mutant* mutant = win32::MakeObject<Mutant>(win32::UserType::kMutant, DWORD{0});
  if (mutant == nullptr) {
    win32::FailWith(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  bool existed = false;
  HANDLE handle = win32::InsertObject(mutant, MUTEX_ALL_ACCESS, name,
                                      attributes != nullptr && attributes->bInheritHandle,
                                      &existed);
  if (handle == nullptr) return nullptr;
  // An existing mutex is opened, never taken: its owner keeps it.
  if (initial_owner && !existed) {
    std::lock_guard guard(win32::StateLock());
    mutant->Acquire(win32::CurrentThreadId());
  }
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

HANDLE OpenMutexW(DWORD desired_access, BOOL inherit, LPCWSTR name) {
  return win32::OpenNamedObject(win32::TypeOf(win32::UserType::kMutant), desired_access, inherit,
                                name);
}

BOOL ReleaseMutex(HANDLE mutex) {
  auto* mutant = static_cast<Mutant*>(win32::ReferenceHandle(
      mutex, MUTEX_MODIFY_STATE, win32::TypeOf(win32::UserType::kMutant)));
  if (mutant == nullptr) return FALSE;
  bool released;
  bool free_now = false;
  {
    std::lock_guard guard(win32::StateLock());
    released = mutant->Release(win32::CurrentThreadId());
    if (released && mutant->IsSignalled(0)) {
      for (auto it = owned.list.begin(); it != owned.list.end(); ++it) {
        if (*it == mutant) {
          owned.list.erase(it);
          free_now = true;
          break;
        }
      }
    }
    win32::StateChanged().notify_all();
  }
  if (free_now) ObfDereferenceObject(mutant);
  ObfDereferenceObject(mutant);
  return released ? TRUE : win32::FailWith(ERROR_NOT_OWNER);
}

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initial_count, LONG maximum_count,
                        LPCWSTR name) {
  if (initial_count < 0 || maximum_count < 1 || initial_count > maximum_count) {
    win32::FailWith(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!ValidName(name)) {
    win32::FailWith(ERROR_INVALID_NAME);
    return nullptr;
  }
  Semaphore* semaphore =
      win32::MakeObject<Semaphore>(win32::UserType::kSemaphore, initial_count, maximum_count);
  if (semaphore == nullptr) {
    win32::FailWith(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  bool existed = false;
  HANDLE handle = win32::InsertObject(semaphore, SEMAPHORE_ALL_ACCESS, name,
                                      attributes != nullptr && attributes->bInheritHandle,
                                      &existed);
  if (handle == nullptr) return nullptr;
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

HANDLE OpenSemaphoreW(DWORD desired_access, BOOL inherit, LPCWSTR name) {
  return win32::OpenNamedObject(win32::TypeOf(win32::UserType::kSemaphore), desired_access,
                                inherit, name);
}

BOOL ReleaseSemaphore(HANDLE semaphore, LONG release_count, LPLONG previous_count) {
  auto* body = static_cast<Semaphore*>(win32::ReferenceHandle(
      semaphore, SEMAPHORE_MODIFY_STATE, win32::TypeOf(win32::UserType::kSemaphore)));
  if (body == nullptr) return FALSE;
  bool released;
  {
    std::lock_guard guard(win32::StateLock());
    released = body->Release(release_count, previous_count);
    win32::StateChanged().notify_all();
  }
  ObfDereferenceObject(body);
  if (released) return TRUE;
  return win32::FailWith(release_count <= 0 ? ERROR_INVALID_PARAMETER : ERROR_TOO_MANY_POSTS);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return Wait(1, &handle, false, milliseconds);
}

DWORD WaitForSingleObjectEx(HANDLE handle, DWORD milliseconds, BOOL) {
  return Wait(1, &handle, false, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD milliseconds) {
  return Wait(count, handles, wait_all != FALSE, milliseconds);
}

void Sleep(DWORD milliseconds) { SleepEx(milliseconds, FALSE); }

DWORD SleepEx(DWORD milliseconds, BOOL) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    return 0;
  }
  LARGE_INTEGER interval;
  interval.QuadPart = -TicksOf(milliseconds);
  KeDelayExecutionThread(UserMode, FALSE, &interval);
  return 0;
}
