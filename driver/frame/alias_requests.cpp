#include "driver/frame/alias_requests.h"

#include "platform/nt/kernel.h"

namespace {

struct Waiter {
  KEVENT event;
  IO_STATUS_BLOCK status;
};

// Copies the outcome for the waiting caller, frees the request and stops its completion.
NTSTATUS Finished(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* waiter = static_cast<Waiter*>(context);
  waiter->status = irp->IoStatus;
  IoFreeIrp(irp);
  KeSetEvent(&waiter->event, 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

struct InformationRequest {
  FILE_INFORMATION_CLASS informationClass;
  PVOID buffer;
  ULONG length;
  PFILE_OBJECT target;
};

void FillQuery(PIRP irp, PIO_STACK_LOCATION stack, PVOID context) {
  const auto* request = static_cast<InformationRequest*>(context);
  irp->AssociatedIrp.SystemBuffer = request->buffer;
  irp->Flags |= IRP_BUFFERED_IO | IRP_DEFER_IO_COMPLETION;
  stack->Parameters.QueryFile.Length = request->length;
  stack->Parameters.QueryFile.FileInformationClass = request->informationClass;
}

void FillSet(PIRP irp, PIO_STACK_LOCATION stack, PVOID context) {
  const auto* request = static_cast<InformationRequest*>(context);
  irp->AssociatedIrp.SystemBuffer = request->buffer;
  irp->Flags |= IRP_BUFFERED_IO | IRP_DEFER_IO_COMPLETION;
  stack->Parameters.SetFile.Length = request->length;
  stack->Parameters.SetFile.FileInformationClass = request->informationClass;
  stack->Parameters.SetFile.FileObject = request->target;
  stack->Parameters.SetFile.ReplaceIfExists = FALSE;
  stack->Parameters.SetFile.AdvanceOnly = FALSE;
}

}  // namespace

NTSTATUS SendAliasRequest(BypassAlias* alias, PFILE_OBJECT file, UCHAR major, FillRequest fill,
                          PVOID context, ULONG_PTR* information) {
  PDEVICE_OBJECT lower = alias->owner()->lower();
  if (lower == nullptr) return STATUS_NO_SUCH_DEVICE;
  PIRP irp;
  while ((irp = IoAllocateIrp(alias->device()->StackSize, FALSE)) == nullptr) {
    LARGE_INTEGER pause;
    pause.QuadPart = -10'000;  // 1 ms, as the pool allocator waits
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
  }
  irp->RequestorMode = KernelMode;
  irp->Flags = IRP_SYNCHRONOUS_API;
  irp->Tail.Overlay.OriginalFileObject = file;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->FileObject = file;
  stack->DeviceObject = alias->device();
  fill(irp, stack, context);
  Waiter waiter{};
  KeInitializeEvent(&waiter.event, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, Finished, &waiter, TRUE, TRUE, TRUE);
  IoCallDriver(lower, irp);
  KeWaitForSingleObject(&waiter.event, Executive, KernelMode, FALSE, nullptr);
  if (information != nullptr) *information = waiter.status.Information;
  return waiter.status.Status;
}

NTSTATUS QueryAliasInformation(BypassAlias* alias, PFILE_OBJECT file,
                               FILE_INFORMATION_CLASS informationClass, PVOID buffer,
                               ULONG length, ULONG_PTR* information) {
  InformationRequest request{informationClass, buffer, length, nullptr};
  return SendAliasRequest(alias, file, IRP_MJ_QUERY_INFORMATION, FillQuery, &request,
                          information);
}

NTSTATUS SetAliasInformation(BypassAlias* alias, PFILE_OBJECT file,
                             FILE_INFORMATION_CLASS informationClass, PVOID buffer, ULONG length,
                             PFILE_OBJECT targetDirectory) {
  InformationRequest request{informationClass, buffer, length, targetDirectory};
  return SendAliasRequest(alias, file, IRP_MJ_SET_INFORMATION, FillSet, &request);
}
