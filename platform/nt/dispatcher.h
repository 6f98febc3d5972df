// Dispatcher objects and waits. A thread waits until an object is signalled or a timeout on the
// machine clock passes: on a virtual clock, only advancing the clock ends a timed wait. Waiting
// where the platform forbids it stops the machine.
#pragma once

#include <mutex>

#include "platform/nt/nt_types.h"

// The part every waitable object starts with. Type says what kind of object it is (see
// event.h); SignalState is guarded by the dispatcher lock.
struct DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;
  LONG SignalState;
};

enum KWAIT_REASON { Executive = 0, FreePage = 1, PageIn = 2, UserRequest = 6, WrExecutive = 7 };

// Waits for `object` (a KEVENT) to be signalled; consumes the signal of a synchronization
// event. `timeout`: null waits for ever, 0 only tests, a negative value is relative and a
// positive one an absolute system time. Returns STATUS_SUCCESS or STATUS_TIMEOUT.
// REQUIRES: IRQL <= APC_LEVEL, or DISPATCH_LEVEL with a zero timeout (else
// IRQL_NOT_LESS_OR_EQUAL).
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON wait_reason, KPROCESSOR_MODE wait_mode,
                               BOOLEAN alertable, PLARGE_INTEGER timeout);

// The same for the object of a handle (an event), which needs SYNCHRONIZE access from user
// mode. STATUS_OBJECT_TYPE_MISMATCH for an object one cannot wait for.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);
NTSTATUS NtWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);

namespace nt {

// Internal to the kernel model: the lock that guards every dispatcher object's state. A change
// that may satisfy a wait calls WakeWaiters with it held.
std::mutex& DispatcherLock();
void WakeWaiters();

}  // namespace nt
