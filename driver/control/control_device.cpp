#include "driver/control/control_device.h"

#include "driver/base/driver_pool.h"
#include "driver/control/control_codes.h"
#include "driver/table/mirror_table.h"
#include "platform/nt/interlocked.h"
#include "platform/nt/irp.h"
#include "platform/nt/ntstatus.h"

namespace {

constexpr ULONG_PTR FILE_OPENED = 1;

}  // namespace

ControlDevice::ControlDevice(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, MirrorTable* table,
                             const ControlHooks* hooks)
    : KvDevice(kMagic, device, driver), table_(table), hooks_(hooks) {
  KeInitializeSpinLock(&lock_);
  KeInitializeSpinLock(&queueLock_);
  InitializeListHead(&queue_);
}

ControlDevice::~ControlDevice() {
  while (!IsListEmpty(&queue_)) {
    DriverFree(CONTAINING_RECORD(RemoveHeadList(&queue_), QueuedEvent, link));
  }
}

NTSTATUS ControlDevice::Dispatch(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
      information = FILE_OPENED;
      break;
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
    case IRP_MJ_DEVICE_CHANGE:
      break;
    case IRP_MJ_SHUTDOWN:
      SaveIfNeeded();
      break;
    case IRP_MJ_DEVICE_CONTROL:
      status = RunControlCode(*this, irp, stack->Parameters.DeviceIoControl.IoControlCode,
                              static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer),
                              stack->Parameters.DeviceIoControl.InputBufferLength,
                              stack->Parameters.DeviceIoControl.OutputBufferLength,
                              &information);
      break;
    default:
      status = STATUS_NOT_SUPPORTED;
      break;
  }
  if (status == STATUS_PENDING) return status;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void ControlDevice::SaveIfNeeded() {
  if (table_->dirty() && !table_->savingDisabled() && hooks_->saveTable != nullptr) {
    hooks_->saveTable(*table_);
  }
}

void ControlDevice::TimerTick() {
  if (!redirectorFound_.load() && hooks_->probeRedirector != nullptr &&
      hooks_->probeRedirector()) {
    redirectorFound_.store(true);
  }
  // Ticks queued together may run on several worker threads at once: each takes its own
  // number, counted within the minute.
  const ULONG tick = static_cast<ULONG>(InterlockedIncrement(&ticks_)) % 60;
  if (tick == 0) SaveIfNeeded();
  if (tick % 10 == 1 && hooks_->sweepFileTracks != nullptr) hooks_->sweepFileTracks();
}
