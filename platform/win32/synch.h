// Events, mutexes and semaphores, named (in \BaseNamedObjects) and unnamed, and the waits on
// them and on threads, processes and the events of overlapped requests. Waits run on the
// machine clock: with a virtual clock, a timed wait ends only when the clock is advanced.
#pragma once

#include "platform/win32/windows_types.h"

// With a name that exists, the Create routines open the object and set ERROR_ALREADY_EXISTS
// (else the last error is 0); a name held by an object of another kind fails with
// ERROR_INVALID_HANDLE. Null on failure.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                    LPCWSTR name);
HANDLE OpenEventW(DWORD desired_access, BOOL inherit, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner, LPCWSTR name);
HANDLE OpenMutexW(DWORD desired_access, BOOL inherit, LPCWSTR name);
// ERROR_NOT_OWNER when the calling thread does not own the mutex.
BOOL ReleaseMutex(HANDLE mutex);

// ERROR_INVALID_PARAMETER for a negative initial count, a maximum below 1 or an initial count
// above the maximum.
HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initial_count, LONG maximum_count,
                        LPCWSTR name);
HANDLE OpenSemaphoreW(DWORD desired_access, BOOL inherit, LPCWSTR name);
// ERROR_TOO_MANY_POSTS when the count would pass the maximum (nothing changes).
BOOL ReleaseSemaphore(HANDLE semaphore, LONG release_count, LPLONG previous_count);

// WAIT_OBJECT_0 (+ index), WAIT_ABANDONED (+ index) for a mutex whose owner ended without
// releasing it, WAIT_TIMEOUT, or WAIT_FAILED with the last error set (ERROR_INVALID_HANDLE for
// a handle one cannot wait for, ERROR_INVALID_PARAMETER for 0 or more than
// MAXIMUM_WAIT_OBJECTS handles, or for one object given twice to a wait for all).
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForSingleObjectEx(HANDLE handle, DWORD milliseconds, BOOL alertable);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD milliseconds);

// Sleeps on the machine clock; Sleep(0) gives up the rest of the time slice. The machine has
// no user APCs, so SleepEx never returns WAIT_IO_COMPLETION.
void Sleep(DWORD milliseconds);
DWORD SleepEx(DWORD milliseconds, BOOL alertable);

namespace win32 {

// The calling thread's id (unique among the machine's threads, never 0).
DWORD CurrentThreadId();
// A fresh id, for a thread about to start; the thread takes it with AdoptThreadId.
DWORD NewThreadId();
void AdoptThreadId(DWORD id);
// Gives up the mutexes the calling thread owns, marking them abandoned. Called when a thread
// started by CreateThread ends.
void AbandonOwnedMutexes();

}  // namespace win32
