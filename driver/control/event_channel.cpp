// The event channel of the control device: at most one waiting KV_IOCTL_WAIT_EVENT request and
// a queue of events nobody waited for. Posting and cancelling race for the waiting request;
// both take it out of the slot and its cancel routine by atomic exchange, so only one of them
// completes it. A wait and a post never miss each other: each decides between the slot and the
// queue under the channel's lock.
#include "common/message_record.h"
#include "driver/base/driver_pool.h"
#include "driver/base/resource_lock.h"
#include "driver/control/control_device.h"
#include "driver/table/mirror_table.h"
#include "platform/nt/interlocked.h"
#include "platform/nt/irp.h"
#include "platform/nt/ntstatus.h"

NTSTATUS ControlDevice::WaitEvent(ControlRequest& request) {
  PIRP irp = request.irp;
  QueuedEvent* event = nullptr;
  {
    // The queue is looked at and the request put in the slot under one lock, so that an event
    // posted meanwhile either lands in the queue before the look or finds the request waiting.
    SpinLockGuard guard(&lock_);
    {
      SpinLockGuard queueGuard(&queueLock_);
      if (!IsListEmpty(&queue_)) {
        event = CONTAINING_RECORD(RemoveHeadList(&queue_), QueuedEvent, link);
        InterlockedDecrement(&queued_);
      }
    }
    if (event == nullptr) {
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
  }
  // An event that nobody waited for is answered at once.
  EncodeMessageRecord(MessageRecord{event->code, event->parameter, event->id}, request.output);
  request.information = kMessageRecordSize;
  DriverFree(event);
  return STATUS_SUCCESS;
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
  // Made before the lock: the pool is not waited for under a spin lock.
  auto* event = DriverAllocateRecord<QueuedEvent>();
  event->code = code;
  event->parameter = parameter;
  event->id = id;
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
    if (irp == nullptr) {
      SpinLockGuard queueGuard(&queueLock_);
      InsertTailList(&queue_, &event->link);
      InterlockedIncrement(&queued_);
      return;
    }
  }
  DriverFree(event);
  CompleteWithEvent(irp, code, parameter, id);
}

void ControlDevice::CompleteWithEvent(PIRP irp, ULONG code, ULONG parameter, ULONG id) {
  EncodeMessageRecord(MessageRecord{code, parameter, id}, irp->AssociatedIrp.SystemBuffer);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = kMessageRecordSize;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}
