// What the parts of the I/O manager share. Internal to the kernel model.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

#include "platform/nt/io_types.h"
#include "platform/nt/irp.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/object_namespace.h"

namespace nt {

// Precedes every IRP from IoAllocateIrp.
struct alignas(16) IrpTracking {
  // The owner's reference, plus one for each canceller looking at the IRP.
  std::atomic<LONG> references{1};
  ULONG flags = 0;
  ULONG output_length = 0;  // bytes the requestor's output buffer holds
};

constexpr ULONG kIrpTracked = 0x1;          // on the list of pending requests
constexpr ULONG kIrpEventReferenced = 0x2;  // the IRP holds a reference to UserEvent
constexpr ULONG kIrpFileReferenced = 0x4;   // the IRP holds a reference to OriginalFileObject

// REQUIRES: `irp` came from IoAllocateIrp.
IrpTracking* TrackingOf(PIRP irp);
// Drops a reference; the last frees the IRP.
void ReleaseIrp(PIRP irp);

// Makes the current thread the requestor of `irp`: its status block and event (either may be
// null) receive the outcome.
void SetRequestor(PIRP irp, KPROCESSOR_MODE mode, PIO_STATUS_BLOCK io_status, PKEVENT event);
// Puts an issued IRP on the list that cancels look through; it leaves when it completes.
void TrackIrp(PIRP irp);
// Cancels the pending requests on `file`, of `thread` only when it is given.
void CancelFileIrps(PFILE_OBJECT file, PETHREAD thread);
// The I/O manager's end of completion (see file_io.h).
// REQUIRES: the IRP has a requestor (else DRIVER_VERIFIER_IOMANAGER_VIOLATION).
void CompleteToRequestor(PIRP irp);

// Sends a request the I/O manager makes for `file` (cleanup, close, a name query) to the top
// of its stack and waits for it; `prepare` fills the stack location and the IRP's buffers.
// Returns the final status and, in *information, IoStatus.Information. With `must_succeed`,
// waits for the pool rather than fail for want of an IRP.
// REQUIRES: PASSIVE_LEVEL (APC_LEVEL for a close).
NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR major, ULONG irp_flags, bool must_succeed,
                         const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare,
                         ULONG_PTR* information);

// Clears DO_DEVICE_INITIALIZING on the driver's devices: the I/O manager's part once
// DriverEntry returned.
void FinishInitializingDevices(PDRIVER_OBJECT driver);

// IoGetRelatedDeviceObject with a reference on the device.
PDEVICE_OBJECT RelatedDeviceReference(PFILE_OBJECT file);

// Serialize the requests of a synchronous file object.
void AcquireFileLock(PFILE_OBJECT file);
void ReleaseFileLock(PFILE_OBJECT file);

// Object header flag of a file object whose create succeeded: it gets a close request.
constexpr ULONG kFileOpened = 0x1;
// ... and its create counted a reference on the volume parameter block (drivers may set or clear
// Vpb later; only the counted reference is given back).
constexpr ULONG kFileVpbReferenced = 0x2;

// The parse procedures of devices and files (relative opens), and the file type's
// procedures.
NTSTATUS ParseDevice(PVOID device, std::u16string_view remaining, ParseContext* context,
                     PVOID* result, std::u16string* reparse);
NTSTATUS ParseFile(PVOID file, std::u16string_view remaining, ParseContext* context,
                   PVOID* result, std::u16string* reparse);

// The access a handle needs to set information of this class (0: none checked).
ACCESS_MASK SetInformationAccess(FILE_INFORMATION_CLASS information_class);

// The completion event a caller of a file request named by handle (none without a handle),
// referenced and cleared; the caller dereferences it.
NTSTATUS ReferenceRequestEvent(HANDLE event_handle, KPROCESSOR_MODE mode, PKEVENT* event);

}  // namespace nt
