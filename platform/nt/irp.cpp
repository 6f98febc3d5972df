#include "platform/nt/irp.h"

#include <new>

#include "platform/nt/device.h"
#include "platform/nt/driver.h"
#include "platform/nt/file_object.h"
#include "platform/nt/io_internal.h"
#include "platform/nt/irql.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/pool.h"

namespace {

constexpr ULONG kIrpTag = PoolTag('I', 'r', 'p', ' ');

ULONG_PTR Address(const void* p) { return reinterpret_cast<ULONG_PTR>(p); }

void CheckIrql(PIRP irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, Address(irp), KeGetCurrentIrql(), 0, 0);
  }
}

bool ShouldInvoke(UCHAR control, NTSTATUS status, bool cancelled) {
  return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
         (cancelled && (control & SL_INVOKE_ON_CANCEL) != 0);
}

}  // namespace

USHORT IoSizeOfIrp(CCHAR stack_size) {
  return static_cast<USHORT>(sizeof(IRP) + stack_size * sizeof(IO_STACK_LOCATION));
}

PIRP IoAllocateIrp(CCHAR stack_size, BOOLEAN) {
  CheckIrql(nullptr);
  if (stack_size < 1) return nullptr;
  const USHORT size = IoSizeOfIrp(stack_size);
  void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(nt::IrpTracking) + size, kIrpTag);
  if (block == nullptr) return nullptr;
  auto* tracking = new (block) nt::IrpTracking;
  auto* irp = reinterpret_cast<PIRP>(tracking + 1);
  IoInitializeIrp(irp, size, stack_size);
  irp->AllocationFlags = IRP_ALLOCATED_FIXED_SIZE;
  return irp;
}

void IoInitializeIrp(PIRP irp, USHORT packet_size, CCHAR stack_size) {
  std::memset(static_cast<void*>(irp), 0, packet_size);
  irp->Type = IO_TYPE_IRP;
  irp->Size = packet_size;
  irp->StackCount = stack_size;
  irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation =
      reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stack_size;
}

void IoFreeIrp(PIRP irp) {
  if ((irp->AllocationFlags & IRP_ALLOCATED_FIXED_SIZE) == 0) {
    KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIrpFreedButNotAllocated, Address(irp), 0,
                 0);
  }
  nt::ReleaseIrp(irp);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp) {
  CheckIrql(irp);
  --irp->CurrentLocation;
  if (irp->CurrentLocation <= 0) {
    KeBugCheckEx(NO_MORE_IRP_STACK_LOCATIONS, Address(irp), 0, 0, 0);
  }
  PIO_STACK_LOCATION stack = --irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = device;
  if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
    KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIrpBadMajorFunction, Address(irp),
                 stack->MajorFunction, 0);
  }
  return device->DriverObject->MajorFunction[stack->MajorFunction](device, irp);
}

void IofCompleteRequest(PIRP irp, CCHAR) {
  CheckIrql(irp);
  if (irp->CurrentLocation > irp->StackCount + 1) {
    KeBugCheckEx(MULTIPLE_IRP_COMPLETE_REQUESTS, Address(irp), 0, 0, 0);
  }
  if (irp->IoStatus.Status == STATUS_PENDING) {
    KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIrpCompletedWithStatusPending,
                 Address(irp), 0, 0);
  }
  if (std::atomic_ref<PDRIVER_CANCEL>(irp->CancelRoutine).load() != nullptr) {
    KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIrpCompletedWithCancelRoutine,
                 Address(irp), Address(reinterpret_cast<void*>(irp->CancelRoutine)), 0);
  }
  // Each pass leaves the location of the driver that completed, and makes the location of the
  // driver above it current: the completion routine that driver set is in the one it leaves.
  for (PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
       irp->CurrentLocation <= irp->StackCount; ++stack) {
    ++irp->CurrentLocation;
    ++irp->Tail.Overlay.CurrentStackLocation;
    irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    const bool cancelled = std::atomic_ref<BOOLEAN>(irp->Cancel).load() != FALSE;
    const PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    const PVOID context = stack->Context;
    const bool invoke = routine != nullptr &&
                        ShouldInvoke(stack->Control, irp->IoStatus.Status, cancelled);
    stack->Control = 0;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
    const bool at_top = irp->CurrentLocation > irp->StackCount;
    if (invoke) {
      PDEVICE_OBJECT device = at_top ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
      if (routine(device, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (irp->PendingReturned && !at_top) {
      IoMarkIrpPending(irp);
    }
  }
  nt::CompleteToRequestor(irp);
}

BOOLEAN IoIsOperationSynchronous(PIRP irp) {
  const ULONG flags = irp->Flags;
  const bool paging = (flags & IRP_PAGING_IO) != 0;
  const bool synchronousPaging = (flags & IRP_SYNCHRONOUS_PAGING_IO) != 0;
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  const bool synchronousFile = file != nullptr && (file->Flags & FO_SYNCHRONOUS_IO) != 0;
  if (((flags & IRP_SYNCHRONOUS_API) != 0 || synchronousFile) && (!paging || synchronousPaging)) {
    return TRUE;
  }
  return paging && synchronousPaging;
}
