#include "platform/nt/routine_table.h"

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/nt/clock.h"
#include "platform/nt/delay.h"
#include "platform/nt/device.h"
#include "platform/nt/device_control.h"
#include "platform/nt/driver_loader.h"
#include "platform/nt/eresource.h"
#include "platform/nt/event.h"
#include "platform/nt/file_io.h"
#include "platform/nt/fs_registration.h"
#include "platform/nt/handles.h"
#include "platform/nt/irp.h"
#include "platform/nt/irql.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/pool.h"
#include "platform/nt/process.h"
#include "platform/nt/registry.h"
#include "platform/nt/security.h"
#include "platform/nt/shutdown.h"
#include "platform/nt/symbolic_link.h"
#include "platform/nt/timer.h"
#include "platform/nt/version.h"
#include "platform/nt/work_queue.h"

namespace {

struct Routine {
  std::u16string_view name;
  PVOID address;
  ULONG major;  // the first version that exports it
  ULONG minor;
};

template <typename Function>
PVOID AddressOf(Function* function) {
  return reinterpret_cast<PVOID>(function);
}

#define KV_ROUTINE(name, major, minor) \
  Routine { u## #name, AddressOf(&name), major, minor }

const std::vector<Routine>& Routines() {
  static const std::vector<Routine> routines = {
      KV_ROUTINE(ExAllocatePoolWithTag, 4, 0),
      KV_ROUTINE(ExFreePool, 4, 0),
      KV_ROUTINE(ExFreePoolWithTag, 5, 0),
      KV_ROUTINE(ExInitializeNPagedLookasideList, 4, 0),
      KV_ROUTINE(ExDeleteNPagedLookasideList, 4, 0),
      KV_ROUTINE(ExInitializeResourceLite, 4, 0),
      KV_ROUTINE(ExDeleteResourceLite, 4, 0),
      KV_ROUTINE(ExAcquireResourceSharedLite, 4, 0),
      KV_ROUTINE(ExAcquireResourceExclusiveLite, 4, 0),
      KV_ROUTINE(ExReleaseResourceLite, 4, 0),
      KV_ROUTINE(ExQueueWorkItem, 4, 0),
      KV_ROUTINE(IoAcquireCancelSpinLock, 4, 0),
      KV_ROUTINE(IoAllocateIrp, 4, 0),
      KV_ROUTINE(IoAttachDeviceToDeviceStack, 4, 0),
      KV_ROUTINE(IoAttachDeviceToDeviceStackSafe, 5, 1),
      KV_ROUTINE(IoBuildDeviceIoControlRequest, 4, 0),
      KV_ROUTINE(IoBuildSynchronousFsdRequest, 4, 0),
      KV_ROUTINE(IoCancelIrp, 4, 0),
      KV_ROUTINE(IoCreateDevice, 4, 0),
      KV_ROUTINE(IoCreateNotificationEvent, 5, 0),
      KV_ROUTINE(IoCreateSymbolicLink, 4, 0),
      KV_ROUTINE(IoCreateSynchronizationEvent, 5, 0),
      KV_ROUTINE(IoDeleteDevice, 4, 0),
      KV_ROUTINE(IoDeleteSymbolicLink, 4, 0),
      KV_ROUTINE(IoDetachDevice, 4, 0),
      KV_ROUTINE(IoFreeIrp, 4, 0),
      KV_ROUTINE(IoGetAttachedDevice, 4, 0),
      KV_ROUTINE(IoGetAttachedDeviceReference, 5, 0),
      KV_ROUTINE(IoGetCurrentProcess, 4, 0),
      KV_ROUTINE(IoGetDeviceObjectPointer, 4, 0),
      KV_ROUTINE(IoGetRelatedDeviceObject, 4, 0),
      KV_ROUTINE(IoInitializeIrp, 4, 0),
      KV_ROUTINE(IoInitializeTimer, 4, 0),
      KV_ROUTINE(IoRegisterDriverReinitialization, 4, 0),
      KV_ROUTINE(IoRegisterFileSystem, 4, 0),
      KV_ROUTINE(IoRegisterFsRegistrationChange, 4, 0),
      KV_ROUTINE(IoRegisterShutdownNotification, 4, 0),
      KV_ROUTINE(IoReleaseCancelSpinLock, 4, 0),
      KV_ROUTINE(IoStartTimer, 4, 0),
      KV_ROUTINE(IoStopTimer, 4, 0),
      KV_ROUTINE(IoUnregisterFileSystem, 4, 0),
      KV_ROUTINE(IoUnregisterFsRegistrationChange, 4, 0),
      KV_ROUTINE(IoUnregisterShutdownNotification, 4, 0),
      KV_ROUTINE(IofCallDriver, 4, 0),
      KV_ROUTINE(IofCompleteRequest, 4, 0),
      KV_ROUTINE(KeBugCheckEx, 4, 0),
      KV_ROUTINE(KeClearEvent, 4, 0),
      KV_ROUTINE(KeDelayExecutionThread, 4, 0),
      KV_ROUTINE(KeEnterCriticalRegion, 4, 0),
      KV_ROUTINE(KeInitializeEvent, 4, 0),
      KV_ROUTINE(KeLeaveCriticalRegion, 4, 0),
      KV_ROUTINE(KeQuerySystemTime, 4, 0),
      KV_ROUTINE(KeReadStateEvent, 4, 0),
      KV_ROUTINE(KeResetEvent, 4, 0),
      KV_ROUTINE(KeSetEvent, 4, 0),
      KV_ROUTINE(KeWaitForSingleObject, 4, 0),
      KV_ROUTINE(MmGetSystemRoutineAddress, 5, 0),
      KV_ROUTINE(ObDereferenceObject, 5, 1),
      KV_ROUTINE(ObQueryNameString, 4, 0),
      KV_ROUTINE(ObReferenceObjectByHandle, 4, 0),
      KV_ROUTINE(ObReferenceObjectByPointer, 4, 0),
      KV_ROUTINE(ObfDereferenceObject, 4, 0),
      KV_ROUTINE(ObfReferenceObject, 4, 0),
      KV_ROUTINE(PsDereferenceImpersonationToken, 5, 0),
      KV_ROUTINE(PsDereferencePrimaryToken, 5, 0),
      KV_ROUTINE(PsGetCurrentProcessId, 4, 0),
      KV_ROUTINE(PsGetVersion, 4, 0),
      KV_ROUTINE(PsReferenceImpersonationToken, 4, 0),
      KV_ROUTINE(PsRevertToSelf, 5, 0),
      KV_ROUTINE(RtlAppendUnicodeStringToString, 4, 0),
      KV_ROUTINE(RtlAppendUnicodeToString, 4, 0),
      KV_ROUTINE(RtlCompareUnicodeString, 4, 0),
      KV_ROUTINE(RtlCopyUnicodeString, 4, 0),
      KV_ROUTINE(RtlEqualUnicodeString, 4, 0),
      KV_ROUTINE(RtlInitUnicodeString, 4, 0),
      KV_ROUTINE(RtlPrefixUnicodeString, 4, 0),
      KV_ROUTINE(RtlUpcaseUnicodeChar, 4, 0),
      KV_ROUTINE(SeCaptureSubjectContext, 4, 0),
      KV_ROUTINE(SeCreateClientSecurity, 4, 0),
      KV_ROUTINE(SeImpersonateClientEx, 5, 0),
      KV_ROUTINE(SeReleaseSubjectContext, 4, 0),
      KV_ROUTINE(ZwClose, 4, 0),
      KV_ROUTINE(ZwCreateEvent, 4, 0),
      KV_ROUTINE(ZwCreateFile, 4, 0),
      KV_ROUTINE(ZwCreateKey, 4, 0),
      KV_ROUTINE(ZwDeleteKey, 4, 0),
      KV_ROUTINE(ZwDeleteValueKey, 4, 0),
      KV_ROUTINE(ZwDeviceIoControlFile, 4, 0),
      KV_ROUTINE(ZwEnumerateKey, 4, 0),
      KV_ROUTINE(ZwEnumerateValueKey, 4, 0),
      KV_ROUTINE(ZwFsControlFile, 4, 0),
      KV_ROUTINE(ZwLoadDriver, 4, 0),
      KV_ROUTINE(ZwOpenFile, 4, 0),
      KV_ROUTINE(ZwOpenKey, 4, 0),
      KV_ROUTINE(ZwQueryValueKey, 4, 0),
      KV_ROUTINE(ZwSetValueKey, 4, 0),
      KV_ROUTINE(ZwUnloadDriver, 4, 0),
      KV_ROUTINE(ZwWaitForSingleObject, 4, 0),
  };
  return routines;
}

#undef KV_ROUTINE

std::mutex hidden_lock;
std::set<std::u16string, std::less<>> hidden;

}  // namespace

PVOID MmGetSystemRoutineAddress(PUNICODE_STRING name) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(name), KeGetCurrentIrql(),
                 0, 0);
  }
  if (name == nullptr || name->Buffer == nullptr) return nullptr;
  const std::u16string_view wanted(name->Buffer, name->Length / sizeof(WCHAR));
  const nt::MachineVersion version = nt::CurrentVersion();
  {
    std::lock_guard guard(hidden_lock);
    if (hidden.find(wanted) != hidden.end()) return nullptr;
  }
  for (const Routine& routine : Routines()) {
    if (routine.name != wanted) continue;
    const bool present = version.major > routine.major ||
                         (version.major == routine.major && version.minor >= routine.minor);
    return present ? routine.address : nullptr;
  }
  return nullptr;
}

namespace nt {

void ResetRoutineTable() {
  std::lock_guard guard(hidden_lock);
  hidden.clear();
}

void MachineControl::HideRoutine(std::u16string_view name) {
  std::lock_guard guard(hidden_lock);
  hidden.emplace(name);
}

}  // namespace nt
