#include "platform/nt/irp.h"

#include "platform/nt/irql.h"
#include "platform/nt/spin_lock.h"

namespace {

KSPIN_LOCK cancel_lock = 0;

}  // namespace

void IoAcquireCancelSpinLock(PKIRQL irql) { KeAcquireSpinLock(&cancel_lock, irql); }

void IoReleaseCancelSpinLock(KIRQL irql) { KeReleaseSpinLock(&cancel_lock, irql); }

BOOLEAN IoCancelIrp(PIRP irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  std::atomic_ref<BOOLEAN>(irp->Cancel).store(TRUE);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  if (irp->CurrentLocation > irp->StackCount) {
    KeBugCheckEx(CANCEL_STATE_IN_COMPLETED_IRP, reinterpret_cast<ULONG_PTR>(irp),
                 reinterpret_cast<ULONG_PTR>(routine), 0, 0);
  }
  irp->CancelIrql = irql;
  routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
  return TRUE;
}
