// The kernel objects user mode adds to the machine's kernel: mutexes, semaphores, threads,
// processes as user mode sees them, and named-pipe ends. They live behind kernel object headers
// like the kernel's own, so that handles, CloseHandle, names in \BaseNamedObjects and reference
// counting work the same for all. Internal to platform/win32.
//
// Every waitable object's state is guarded by StateLock(); a change that may satisfy a wait
// notifies StateChanged().
#pragma once

#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "platform/nt/objects.h"
#include "platform/win32/windows_types.h"

namespace win32 {

std::mutex& StateLock();
std::condition_variable& StateChanged();

// The body of every object of this module. Created with MakeObject, destroyed with the
// object's last reference.
class UserObject {
 public:
  UserObject() = default;
  UserObject(const UserObject&) = delete;
  UserObject& operator=(const UserObject&) = delete;
  virtual ~UserObject() = default;

  // Whether a wait by thread `thread_id` is satisfied now, and taking it (a semaphore's count,
  // a mutex's ownership). Acquire returns true when the object was abandoned.
  // REQUIRES: StateLock() held.
  virtual bool IsSignalled(DWORD thread_id) const { (void)thread_id; return false; }
  virtual bool Acquire(DWORD thread_id) { (void)thread_id; return false; }
  // The last handle to the object closed.
  virtual void OnLastHandleClosed() {}
};

enum class UserType { kMutant, kSemaphore, kThread, kProcess, kPipe };

POBJECT_TYPE TypeOf(UserType type);
// Whether `type` is one of this module's types (whose bodies are UserObjects).
bool IsUserType(POBJECT_TYPE type);

PVOID AllocateBody(POBJECT_TYPE type, SIZE_T size);

// A new object of `type` holding a T built from `args`, with one reference for the caller.
// Null when the pool fails.
template <typename T, typename... Args>
T* MakeObject(UserType type, Args&&... args) {
  PVOID body = AllocateBody(TypeOf(type), sizeof(T));
  if (body == nullptr) return nullptr;
  return new (body) T(std::forward<Args>(args)...);
}

// A handle of the current process to `object` (which keeps the caller's reference). With a
// name, the object is named in \BaseNamedObjects first; an existing object of the same type
// and name is used instead (*existed set), one of another type fails with
// ERROR_INVALID_HANDLE. Returns null with the last error set on failure; the caller's
// reference is dropped in every case.
HANDLE InsertObject(PVOID object, ACCESS_MASK access, LPCWSTR name, BOOL inherit,
                    bool* existed);
// A handle to the object of `type` named `name` in \BaseNamedObjects; null with the last error
// (ERROR_FILE_NOT_FOUND) when there is none.
HANDLE OpenNamedObject(POBJECT_TYPE type, ACCESS_MASK access, BOOL inherit, LPCWSTR name);
// The object of `handle` when it is of `type` (referenced), else null with the last error set.
PVOID ReferenceHandle(HANDLE handle, ACCESS_MASK access, POBJECT_TYPE type);

// The full name of a named object.
std::u16string BaseNamedObject(std::u16string_view name);

}  // namespace win32
