// Simulated processes and the threads that belong to them. All processes of the machine live
// in one host process. A process has a name, a primary token, a handle table and per-process
// data. The System process exists from the kernel's start; every host thread belongs to
// exactly one process: System unless it was started in another one by nt::Thread (which
// inherits the starting thread's process by default) or nt::ProcessControl::RunIn.
#pragma once

#include <functional>
#include <string_view>
#include <thread>

#include "platform/nt/nt_types.h"
#include "platform/nt/objects.h"
#include "platform/nt/security.h"

struct EPROCESS;
using PEPROCESS = EPROCESS*;

extern POBJECT_TYPE* PsProcessType;

// The current thread's process. REQUIRES: a running kernel.
PEPROCESS PsGetCurrentProcess();
PEPROCESS IoGetCurrentProcess();
HANDLE PsGetCurrentProcessId();

namespace nt {

class ProcessControl {
 public:
  // A new process named `name` ("kvsyncsvc.exe") acting with `token` (the process takes a
  // reference; null: the SYSTEM token). Returns it with one reference for the caller. Null
  // when the pool fails. REQUIRES: a running kernel.
  static PEPROCESS Create(std::u16string_view name, PACCESS_TOKEN token);
  // The System process, owned by the kernel. REQUIRES: a running kernel.
  static PEPROCESS System();
  // Ends `process`: closes every handle it holds (files get their cleanup and close requests)
  // and destroys its per-process data. Threads still running in it keep running but can open
  // no more handles. The System process ends with the kernel.
  // REQUIRES: PASSIVE_LEVEL; `process` is not System.
  static void Terminate(PEPROCESS process);
  // Runs `body` on a new thread of `process` and waits for it to return.
  static void RunIn(PEPROCESS process, std::function<void()> body);

  static std::u16string_view NameOf(PEPROCESS process);
  static ULONG IdOf(PEPROCESS process);
  static ULONG HandleCount(PEPROCESS process);
};

// A host thread of the machine that belongs to `process`, or to the process of the thread that
// starts it. The destructor waits for the thread to end.
class Thread {
 public:
  explicit Thread(std::function<void()> body);
  Thread(PEPROCESS process, std::function<void()> body);
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  void Join();

 private:
  std::thread thread_;
};

// Per-process data: the value kept under `key` for the current process, made by `create` on
// the first call in that process. `destroy` runs on it when the process ends (or, for a value
// made after that, when the process object goes). Values of one process are destroyed in the
// reverse order of their creation. Thread-safe; `create` may itself ask for other keys.
// REQUIRES: a running kernel.
PVOID ProcessData(const void* key, PVOID (*create)(), void (*destroy)(PVOID));

}  // namespace nt
