// The event channel of the control device: at most one waiting KV_IOCTL_WAIT_EVENT request and
// a queue of events nobody waited for. Posting and cancelling race for the waiting request;
// both take it out of the slot and its cancel routine by atomic exchange, so only one of them
// completes it.
#include "common/message_record.h"
#include "driver/base/driver_pool.h"
#include "driver/base/resource_lock.h"
#include "driver/control/control_device.h"
#include "driver/table/mirror_table.h"
#include "platform/nt/interlocked.h"
#include "platform/nt/irp.h"
#include "platform/nt/ntstatus.h"

NTSTATUS ControlDevice::WaitEvent(ControlRequest& request) {
  // An event that nobody waited for is answered at once.
  QueuedEvent* event = nullptr;
  {
    SpinLockGuard guard(&queueLock_);
    if (!IsListEmpty(&queue_)) {
      event = CONTAINING_RECORD(RemoveHeadList(&queue_), QueuedEvent, link);
      InterlockedDecrement(&queued_);
    }
  }
  if (event != nullptr) {
    EncodeMessageRecord(MessageRecord{event->code, event->parameter, event->id}, request.output);
    request.information = kMessageRecordSize;
    DriverFree(event);
    return STATUS_SUCCESS;
  }

  PIRP irp = request.irp;
  SpinLockGuard guard(&lock_);
  if (pendingWait_ != nullptr) return STATUS_INVALID_PARAMETER;
  IoSetCancelRoutine(irp, CancelWait);
  // The I/O manager sets Cancel under the cancel lock; read it atomically without that lock.
  const bool cancelled = __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) != 0;
  if (cancelled && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    // Cancelled before it could wait, and its cancel routine will not run.
    return STATUS_CANCELLED;
  }
  // Its cancel routine may be running already: it finds the request in the slot.
  IoMarkIrpPending(irp);
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&pendingWait_), irp);
  return STATUS_PENDING;
}

void ControlDevice::CancelWait(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto* self = static_cast<ControlDevice*>(KvDevice::FromDevice(device, kMagic));
  bool mine = false;
  {
    SpinLockGuard guard(&self->lock_);
    if (self->pendingWait_ == irp) {
      self->pendingWait_ = nullptr;
      mine = true;
    }
  }
  if (!mine) return;
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void ControlDevice::PostEvent(ULONG code, ULONG parameter, ULONG id) {
  if (table_->disabled()) return;
  PIRP irp;
  {
    SpinLockGuard guard(&lock_);
    irp = static_cast<PIRP>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&pendingWait_), nullptr));
    if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) == nullptr) {
      // Being cancelled: the cancel routine completes it and must find it where it was.
      pendingWait_ = irp;
      irp = nullptr;
    }
  }
  if (irp != nullptr) {
    CompleteWithEvent(irp, code, parameter, id);
    return;
  }
  auto* event = DriverAllocateRecord<QueuedEvent>();
  event->code = code;
  event->parameter = parameter;
  event->id = id;
  SpinLockGuard guard(&queueLock_);
  InsertTailList(&queue_, &event->link);
  InterlockedIncrement(&queued_);
}

void ControlDevice::CompleteWithEvent(PIRP irp, ULONG code, ULONG parameter, ULONG id) {
  EncodeMessageRecord(MessageRecord{code, parameter, id}, irp->AssociatedIrp.SystemBuffer);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = kMessageRecordSize;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}
