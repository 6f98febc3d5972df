// The machine's kernel as one object. A test builds a fresh kernel in a few milliseconds and
// tears it down at the end; the runnable machine builds one for its whole run. The platform
// routines reach the running kernel's state through globals, so only one kernel exists at a
// time, and tests that each build their own do not see each other's state.
//
// A new kernel has: the object namespace with its standard directories; the System process;
// the registry with \Registry\Machine (SYSTEM\CurrentControlSet\Services and SOFTWARE) and
// \Registry\User; system worker threads; the one-second device timer on the machine clock;
// machine version 5.1 (build 2600) with every routine of the routine table visible.
#pragma once

#include <string_view>

#include "platform/nt/nt_types.h"

namespace nt {

class Kernel {
 public:
  // REQUIRES: no other Kernel exists.
  Kernel();
  // Ends the machine without a shutdown: terminates every process (their handles close, the
  // System process's kernel handles too), unloads the drivers that can be unloaded and deletes
  // the devices drivers left, stops the worker threads and the timer, and drops the namespace
  // and the registry. Objects still referenced elsewhere outlive it unnamed.
  // REQUIRES: no thread but the caller and the kernel's own runs machine code.
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;
};

// The machine's controls over its kernel, for tests and the runnable machine. Each setting
// lasts until the kernel ends.
class MachineControl {
 public:
  // The version PsGetVersion reports, and by which MmGetSystemRoutineAddress finds routines:
  // 4.0 (build 1381), 5.0 (build 2195) or 5.1 (build 2600); other versions report build 0.
  static void SetVersion(ULONG major, ULONG minor, std::u16string_view service_pack = u"");
  // Makes MmGetSystemRoutineAddress not find the routine `name`.
  static void HideRoutine(std::u16string_view name);
  // Shuts the machine down: sends IRP_MJ_SHUTDOWN to every device registered for it, in the
  // calling thread, newest registration first, waiting for each; then stops the one-second
  // timer, runs the work items queued so far and stops the worker threads. Work queued later
  // never runs. Only the first call acts.
  // REQUIRES: a running kernel; PASSIVE_LEVEL; not called from a worker thread.
  static void Shutdown();
};

}  // namespace nt
