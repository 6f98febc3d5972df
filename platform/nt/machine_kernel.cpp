#include "platform/nt/machine_kernel.h"

#include <atomic>
#include <cstdio>

#include "platform/nt/cache_manager.h"
#include "platform/nt/driver_loader.h"
#include "platform/nt/fs_registration.h"
#include "platform/nt/irql.h"
#include "platform/nt/kernel_internal.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/process_internal.h"
#include "platform/nt/registry.h"
#include "platform/nt/routine_table.h"
#include "platform/nt/shutdown.h"
#include "platform/nt/symbolic_link.h"
#include "platform/nt/timer_internal.h"
#include "platform/nt/version.h"
#include "platform/nt/work_queue.h"
#include "platform/nt/work_queue_internal.h"

namespace {

std::atomic<ULONG> running_epoch{0};
ULONG last_epoch = 0;

constexpr const char16_t* kStandardDirectories[] = {
    u"\\Device", u"\\Driver", u"\\FileSystem", u"\\FileSystem\\Filters", u"\\??",
    u"\\BaseNamedObjects"};

void BuildNamespace() {
  nt::StartNamespace();
  for (const char16_t* name : kStandardDirectories) nt::CreateObjectDirectory(name);
  UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\DosDevices");
  UNICODE_STRING target = RTL_CONSTANT_STRING(u"\\??");
  IoCreateSymbolicLink(&link, &target);
}

}  // namespace

namespace nt {

namespace kernel_internal {

ULONG Epoch() { return running_epoch.load(); }

void RequireKernel(const char* routine) {
  if (Epoch() != 0) return;
  std::fprintf(stderr, "%s needs a running nt::Kernel\n", routine);
  KeBugCheckEx(PHASE0_INITIALIZATION_FAILED, 0, 0, 0, 0);
}

}  // namespace kernel_internal

Kernel::Kernel() {
  if (running_epoch.load() != 0) {
    std::fprintf(stderr, "a second nt::Kernel while one runs\n");
    KeBugCheckEx(kernel_internal::PHASE0_INITIALIZATION_FAILED, 1, 0, 0, 0);
  }
  running_epoch.store(++last_epoch);
  ResetVersion();
  ResetRoutineTable();
  StartProcesses();
  BuildNamespace();
  StartRegistry();
  StartWorkQueues();
  StartTimers();
  StartCacheManager();
}

Kernel::~Kernel() {
  // Processes end first, so that their files close while every driver still runs; then the
  // drivers go, and the kernel's own machinery after them.
  TerminateUserProcesses();
  WorkQueueControl::WaitIdle();
  EndSystemProcess();
  StopCacheManager();
  UnloadAllDrivers();
  ForgetFileSystemRegistrations();
  HaltTimers();
  DestroyWorkQueues();
  ForgetShutdownRegistrations();
  StopTimers();
  StopNamespace();
  StopRegistry();
  ReleaseSystemProcess();
  running_epoch.store(0);
}

}  // namespace nt
