#include "driver/frame/forwarding.h"

#include "driver/base/driver_pool.h"
#include "platform/nt/event.h"
#include "platform/nt/irp.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/work_queue.h"

namespace {

struct HookContext {
  KvDevice* device;
  PVOID context;
};

struct PostWork {
  WORK_QUEUE_ITEM item;
  KvDevice* device;
  PIRP irp;
  PVOID context;
  PVOID extra;
};

NTSTATUS CompletionWrapper(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* hook = static_cast<HookContext*>(context);
  KvDevice* device = hook->device;
  PVOID own = hook->context;
  // The hook record goes before the device's completion runs: a post-processing work item
  // may complete and free the request at once.
  DriverFree(hook);
  const NTSTATUS status = device->Completion(irp, own);
  if (status == STATUS_MORE_PROCESSING_REQUIRED) return status;
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  device->LeaveFlight();
  return status;
}

void RunPostProcessing(PVOID parameter) {
  auto* work = static_cast<PostWork*>(parameter);
  KvDevice* device = work->device;
  PIRP irp = work->irp;
  PVOID context = work->context;
  PVOID extra = work->extra;
  DriverFree(work);
  device->PostProcess(irp, context, extra);
  device->LeaveFlight();
}

NTSTATUS SignalAndStop(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS PassThrough(PDEVICE_OBJECT lower, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

NTSTATUS ForwardWithHook(KvDevice* device, PDEVICE_OBJECT lower, PIRP irp, PVOID context) {
  auto* hook = DriverAllocateRecord<HookContext>();
  hook->device = device;
  hook->context = context;
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, CompletionWrapper, hook, TRUE, TRUE, TRUE);
  device->EnterFlight();
  // The outcome may be decided in a worker thread after the device below returned.
  IoMarkIrpPending(irp);
  IoCallDriver(lower, irp);
  return STATUS_PENDING;
}

NTSTATUS QueuePostProcessing(KvDevice* device, PIRP irp, PVOID context, PVOID extra) {
  auto* work = DriverAllocateRecord<PostWork>();
  work->device = device;
  work->irp = irp;
  work->context = context;
  work->extra = extra;
  ExInitializeWorkItem(&work->item, RunPostProcessing, work);
  ExQueueWorkItem(&work->item, CriticalWorkQueue);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalAndStop, &event, TRUE, TRUE, TRUE);
  const NTSTATUS status = IoCallDriver(lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  }
  return irp->IoStatus.Status;
}
