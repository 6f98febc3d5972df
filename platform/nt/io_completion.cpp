#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/nt/irp.h"
#include "platform/nt/delay.h"
#include "platform/nt/device.h"
#include "platform/nt/file_object.h"
#include "platform/nt/io_internal.h"
#include "platform/nt/irql.h"
#include "platform/nt/object_header.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/pool.h"

namespace {

// Guards the list of pending requests the I/O manager issued (linked through
// ThreadListEntry) and the kIrpTracked flag.
std::mutex tracker_lock;
LIST_ENTRY tracked_irps{&tracked_irps, &tracked_irps};

ULONG_PTR Address(const void* p) { return reinterpret_cast<ULONG_PTR>(p); }

void Untrack(PIRP irp) {
  nt::IrpTracking* tracking = nt::TrackingOf(irp);
  std::lock_guard guard(tracker_lock);
  if ((tracking->flags & nt::kIrpTracked) == 0) return;
  RemoveEntryList(&irp->ThreadListEntry);
  InitializeListHead(&irp->ThreadListEntry);
  tracking->flags &= ~nt::kIrpTracked;
}

// Copies the output of a buffered request back and frees its system buffer.
void FinishBuffers(PIRP irp, const nt::IrpTracking* tracking) {
  if ((irp->Flags & IRP_BUFFERED_IO) == 0) return;
  const ULONG_PTR information = irp->IoStatus.Information;
  if ((irp->Flags & IRP_INPUT_OPERATION) != 0 && !NT_ERROR(irp->IoStatus.Status) &&
      information != 0) {
    if (information > tracking->output_length) {
      KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIrpInformationExceedsBuffer,
                   Address(irp), information, tracking->output_length);
    }
    std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, information);
  }
  if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0 && irp->AssociatedIrp.SystemBuffer != nullptr) {
    ExFreePool(irp->AssociatedIrp.SystemBuffer);
    irp->AssociatedIrp.SystemBuffer = nullptr;
  }
}

// Writes a request's outcome into its requester's status block. A user-mode requester may poll
// the status without waiting for the event (GetOverlappedResult), so the byte count must be in
// place before the status leaves STATUS_PENDING: it is written first and the status released
// after it.
void PublishStatus(PIO_STATUS_BLOCK target, const IO_STATUS_BLOCK& outcome) {
  target->Information = outcome.Information;
  const auto status = static_cast<ULONG_PTR>(static_cast<ULONG>(outcome.Status));
  std::atomic_ref<PVOID>(target->Pointer)
      .store(reinterpret_cast<PVOID>(status), std::memory_order_release);
}

}  // namespace

namespace nt {

IrpTracking* TrackingOf(PIRP irp) { return reinterpret_cast<IrpTracking*>(irp) - 1; }

void ReleaseIrp(PIRP irp) {
  IrpTracking* tracking = TrackingOf(irp);
  if (tracking->references.fetch_sub(1) != 1) return;
  tracking->~IrpTracking();
  ExFreePool(tracking);
}

void SetRequestor(PIRP irp, KPROCESSOR_MODE mode, PIO_STATUS_BLOCK io_status, PKEVENT event) {
  irp->RequestorMode = mode;
  irp->UserIosb = io_status;
  irp->UserEvent = event;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
}

void TrackIrp(PIRP irp) {
  std::lock_guard guard(tracker_lock);
  InsertTailList(&tracked_irps, &irp->ThreadListEntry);
  TrackingOf(irp)->flags |= kIrpTracked;
}

void CancelFileIrps(PFILE_OBJECT file, PETHREAD thread) {
  std::vector<PIRP> found;
  {
    std::lock_guard guard(tracker_lock);
    for (PLIST_ENTRY entry = tracked_irps.Flink; entry != &tracked_irps; entry = entry->Flink) {
      PIRP irp = CONTAINING_RECORD(entry, IRP, ThreadListEntry);
      if (irp->Tail.Overlay.OriginalFileObject != file) continue;
      if (thread != nullptr && irp->Tail.Overlay.Thread != thread) continue;
      TrackingOf(irp)->references.fetch_add(1);
      found.push_back(irp);
    }
  }
  for (PIRP irp : found) {
    IoCancelIrp(irp);
    ReleaseIrp(irp);
  }
}

void CompleteToRequestor(PIRP irp) {
  if ((irp->AllocationFlags & IRP_ALLOCATED_FIXED_SIZE) == 0 ||
      irp->Tail.Overlay.Thread == nullptr) {
    KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIrpCompletedWithoutRequestor,
                 Address(irp), 0, 0);
  }
  IrpTracking* tracking = TrackingOf(irp);
  FinishBuffers(irp, tracking);
  const NTSTATUS status = irp->IoStatus.Status;
  PFILE_OBJECT file = irp->Tail.Overlay.OriginalFileObject;
  PKEVENT event = irp->UserEvent;
  if (!NT_ERROR(status) || irp->PendingReturned) {
    if (irp->UserIosb != nullptr) PublishStatus(irp->UserIosb, irp->IoStatus);
    const bool synchronous_file =
        file != nullptr && (std::atomic_ref<ULONG>(file->Flags).load() & FO_SYNCHRONOUS_IO) != 0;
    if (file != nullptr && (event == nullptr || synchronous_file)) {
      file->FinalStatus = status;
      KeSetEvent(&file->Event, 0, FALSE);
    }
    if (event != nullptr) KeSetEvent(event, 0, FALSE);
  }
  if ((tracking->flags & kIrpEventReferenced) != 0) ObfDereferenceObject(event);
  Untrack(irp);
  if ((tracking->flags & kIrpFileReferenced) != 0) DereferenceObjectLater(file);
  ReleaseIrp(irp);
}

NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR major, ULONG irp_flags, bool must_succeed,
                         const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare,
                         ULONG_PTR* information) {
  PDEVICE_OBJECT device = RelatedDeviceReference(file);
  PIRP irp;
  while ((irp = IoAllocateIrp(device->StackSize, FALSE)) == nullptr) {
    if (!must_succeed) {
      ObfDereferenceObject(device);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    LARGE_INTEGER pause;
    pause.QuadPart = -10'000;  // 1 ms
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
  }
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io_status{};
  SetRequestor(irp, KernelMode, &io_status, &event);
  irp->Flags = irp_flags | IRP_SYNCHRONOUS_API;
  irp->Tail.Overlay.OriginalFileObject = file;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->FileObject = file;
  prepare(irp, stack);
  NTSTATUS status = IoCallDriver(device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = io_status.Status;
  }
  *information = io_status.Information;
  ObfDereferenceObject(device);
  return status;
}

}  // namespace nt
