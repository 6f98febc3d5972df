// I/O request packets. An IRP carries one request down a stack of devices: each device's
// driver works on its own stack location, fills the next one for the device below, and sends
// the IRP on with IoCallDriver. Completion runs back up: IoCompleteRequest calls the completion
// routine each upper driver set (on success, error or cancel, as it asked), propagates the
// pending mark, stops at STATUS_MORE_PROCESSING_REQUIRED, and at the top hands the request back
// to whoever issued it (see file_io.h for what the I/O manager then does).
//
// Cancelling: a driver that holds an IRP pending sets a cancel routine; IoCancelIrp marks the
// IRP cancelled and, when it takes a cancel routine out (atomic exchange with null), calls it
// with the system cancel spin lock held. The routine releases that lock
// (IoReleaseCancelSpinLock(Irp->CancelIrql)) and completes the IRP. A driver that completes
// the IRP itself first takes the routine out with IoSetCancelRoutine(irp, nullptr); a null
// result means a cancel is under way and the cancel routine will complete the IRP.
#pragma once

#include <atomic>
#include <cstring>

#include "platform/nt/event.h"
#include "platform/nt/file_information.h"
#include "platform/nt/io_types.h"
#include "platform/nt/list_entry.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/security.h"

constexpr UCHAR IRP_MJ_CREATE = 0x00;
constexpr UCHAR IRP_MJ_CREATE_NAMED_PIPE = 0x01;
constexpr UCHAR IRP_MJ_CLOSE = 0x02;
constexpr UCHAR IRP_MJ_READ = 0x03;
constexpr UCHAR IRP_MJ_WRITE = 0x04;
constexpr UCHAR IRP_MJ_QUERY_INFORMATION = 0x05;
constexpr UCHAR IRP_MJ_SET_INFORMATION = 0x06;
constexpr UCHAR IRP_MJ_QUERY_EA = 0x07;
constexpr UCHAR IRP_MJ_SET_EA = 0x08;
constexpr UCHAR IRP_MJ_FLUSH_BUFFERS = 0x09;
constexpr UCHAR IRP_MJ_QUERY_VOLUME_INFORMATION = 0x0A;
constexpr UCHAR IRP_MJ_SET_VOLUME_INFORMATION = 0x0B;
constexpr UCHAR IRP_MJ_DIRECTORY_CONTROL = 0x0C;
constexpr UCHAR IRP_MJ_FILE_SYSTEM_CONTROL = 0x0D;
constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
constexpr UCHAR IRP_MJ_SHUTDOWN = 0x10;
constexpr UCHAR IRP_MJ_LOCK_CONTROL = 0x11;
constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
constexpr UCHAR IRP_MJ_CREATE_MAILSLOT = 0x13;
constexpr UCHAR IRP_MJ_QUERY_SECURITY = 0x14;
constexpr UCHAR IRP_MJ_SET_SECURITY = 0x15;
constexpr UCHAR IRP_MJ_POWER = 0x16;
constexpr UCHAR IRP_MJ_SYSTEM_CONTROL = 0x17;
constexpr UCHAR IRP_MJ_DEVICE_CHANGE = 0x18;
constexpr UCHAR IRP_MJ_QUERY_QUOTA = 0x19;
constexpr UCHAR IRP_MJ_SET_QUOTA = 0x1A;
constexpr UCHAR IRP_MJ_PNP = 0x1B;
constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

// Minor functions of IRP_MJ_FILE_SYSTEM_CONTROL and IRP_MJ_DIRECTORY_CONTROL.
constexpr UCHAR IRP_MN_USER_FS_REQUEST = 0x00;
constexpr UCHAR IRP_MN_MOUNT_VOLUME = 0x01;
constexpr UCHAR IRP_MN_VERIFY_VOLUME = 0x02;
constexpr UCHAR IRP_MN_LOAD_FILE_SYSTEM = 0x03;
constexpr UCHAR IRP_MN_QUERY_DIRECTORY = 0x01;
constexpr UCHAR IRP_MN_NOTIFY_CHANGE_DIRECTORY = 0x02;

// IRP Flags.
constexpr ULONG IRP_NOCACHE = 0x00000001;
constexpr ULONG IRP_PAGING_IO = 0x00000002;
constexpr ULONG IRP_MOUNT_COMPLETION = 0x00000002;
constexpr ULONG IRP_SYNCHRONOUS_API = 0x00000004;
constexpr ULONG IRP_ASSOCIATED_IRP = 0x00000008;
constexpr ULONG IRP_BUFFERED_IO = 0x00000010;
constexpr ULONG IRP_DEALLOCATE_BUFFER = 0x00000020;
constexpr ULONG IRP_INPUT_OPERATION = 0x00000040;
constexpr ULONG IRP_SYNCHRONOUS_PAGING_IO = 0x00000040;
constexpr ULONG IRP_CREATE_OPERATION = 0x00000080;
constexpr ULONG IRP_READ_OPERATION = 0x00000100;
constexpr ULONG IRP_WRITE_OPERATION = 0x00000200;
constexpr ULONG IRP_CLOSE_OPERATION = 0x00000400;
constexpr ULONG IRP_DEFER_IO_COMPLETION = 0x00000800;

// IRP AllocationFlags. IoAllocateIrp marks its packets IRP_ALLOCATED_FIXED_SIZE.
constexpr UCHAR IRP_QUOTA_CHARGED = 0x01;
constexpr UCHAR IRP_ALLOCATED_FIXED_SIZE = 0x04;

// Stack location Control.
constexpr UCHAR SL_PENDING_RETURNED = 0x01;
constexpr UCHAR SL_ERROR_RETURNED = 0x02;
constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

// Stack location Flags of a create, and of directory queries.
constexpr UCHAR SL_FORCE_ACCESS_CHECK = 0x01;
constexpr UCHAR SL_OPEN_PAGING_FILE = 0x02;
constexpr UCHAR SL_OPEN_TARGET_DIRECTORY = 0x04;
constexpr UCHAR SL_CASE_SENSITIVE = 0x80;
constexpr UCHAR SL_RESTART_SCAN = 0x01;
constexpr UCHAR SL_RETURN_SINGLE_ENTRY = 0x02;
constexpr UCHAR SL_INDEX_SPECIFIED = 0x04;

constexpr CCHAR IO_NO_INCREMENT = 0;

// The security side of a create: the access state and the access asked for.
struct IO_SECURITY_CONTEXT {
  PSECURITY_QUALITY_OF_SERVICE SecurityQos;
  PACCESS_STATE AccessState;
  ACCESS_MASK DesiredAccess;
  ULONG FullCreateOptions;
};
using PIO_SECURITY_CONTEXT = IO_SECURITY_CONTEXT*;

struct IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      PIO_SECURITY_CONTEXT SecurityContext;
      ULONG Options;  // create disposition in the top 8 bits, create options below
      USHORT FileAttributes;
      USHORT ShareAccess;
      ULONG EaLength;
    } Create;
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Read;
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Write;
    struct {
      ULONG Length;
      PUNICODE_STRING FileName;
      FILE_INFORMATION_CLASS FileInformationClass;
      ULONG FileIndex;
    } QueryDirectory;
    struct {
      ULONG Length;
      ULONG CompletionFilter;
    } NotifyDirectory;
    struct {
      ULONG Length;
      FILE_INFORMATION_CLASS FileInformationClass;
    } QueryFile;
    struct {
      ULONG Length;
      FILE_INFORMATION_CLASS FileInformationClass;
      PFILE_OBJECT FileObject;
      union {
        struct {
          BOOLEAN ReplaceIfExists;
          BOOLEAN AdvanceOnly;
        };
        ULONG ClusterCount;
        HANDLE DeleteHandle;
      };
    } SetFile;
    struct {
      ULONG Length;
      FS_INFORMATION_CLASS FsInformationClass;
    } QueryVolume;
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG FsControlCode;
      PVOID Type3InputBuffer;
    } FileSystemControl;
    struct {
      PLARGE_INTEGER Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } LockControl;
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      SECURITY_INFORMATION SecurityInformation;
      ULONG Length;
    } QuerySecurity;
    struct {
      SECURITY_INFORMATION SecurityInformation;
      PSECURITY_DESCRIPTOR SecurityDescriptor;
    } SetSecurity;
    struct {
      PVPB Vpb;
      PDEVICE_OBJECT DeviceObject;
    } MountVolume;
    struct {
      PVPB Vpb;
      PDEVICE_OBJECT DeviceObject;
    } VerifyVolume;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
};

struct IRP {
  CSHORT Type;
  USHORT Size;
  PMDL MdlAddress;
  ULONG Flags;
  union {
    IRP* MasterIrp;
    LONG IrpCount;
    PVOID SystemBuffer;  // buffered I/O: one buffer for input and output
  } AssociatedIrp;
  LIST_ENTRY ThreadListEntry;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;  // StackCount + 1 before the first IoCallDriver
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  CCHAR ApcEnvironment;
  UCHAR AllocationFlags;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  union {
    struct {
      PIO_APC_ROUTINE UserApcRoutine;
      PVOID UserApcContext;
    } AsynchronousParameters;
    LARGE_INTEGER AllocationSize;
  } Overlay;
  // Exchanged atomically, with IoSetCancelRoutine only.
  PDRIVER_CANCEL CancelRoutine;
  PVOID UserBuffer;
  union {
    struct {
      PVOID DriverContext[4];
      PETHREAD Thread;  // the requestor's thread
      PCHAR AuxiliaryBuffer;
      LIST_ENTRY ListEntry;  // free for the driver that owns the IRP
      IO_STACK_LOCATION* CurrentStackLocation;
      PFILE_OBJECT OriginalFileObject;
    } Overlay;
    PVOID CompletionKey;
  } Tail;
};

// Bytes of an IRP with `stack_size` stack locations.
USHORT IoSizeOfIrp(CCHAR stack_size);
// An IRP with `stack_size` locations from non-paged pool, or null. Free it with IoFreeIrp (or
// let the I/O manager do it, for an IRP it completes to a requestor).
// REQUIRES: IRQL <= DISPATCH_LEVEL.
PIRP IoAllocateIrp(CCHAR stack_size, BOOLEAN charge_quota);
// Prepares memory the caller owns (IoSizeOfIrp bytes) as an IRP; not for IoAllocateIrp's.
void IoInitializeIrp(PIRP irp, USHORT packet_size, CCHAR stack_size);
// REQUIRES: `irp` came from IoAllocateIrp (else DRIVER_VERIFIER_IOMANAGER_VIOLATION).
void IoFreeIrp(PIRP irp);

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) {
  return irp->Tail.Overlay.CurrentStackLocation;
}
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) {
  return irp->Tail.Overlay.CurrentStackLocation - 1;
}
// Lets the device below work on the current stack location as it is.
inline void IoSkipCurrentIrpStackLocation(PIRP irp) {
  ++irp->CurrentLocation;
  ++irp->Tail.Overlay.CurrentStackLocation;
}
inline void IoSetNextIrpStackLocation(PIRP irp) {
  --irp->CurrentLocation;
  --irp->Tail.Overlay.CurrentStackLocation;
}
// Copies the current location to the next one, without a completion routine.
inline void IoCopyCurrentIrpStackLocationToNext(PIRP irp) {
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  std::memcpy(static_cast<void*>(next), current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
}
inline void IoMarkIrpPending(PIRP irp) {
  IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
}
// Whether the caller waits for the request: a synchronous call, a file object opened for
// synchronous I/O (unless the request is asynchronous paging I/O), or synchronous paging I/O.
BOOLEAN IoIsOperationSynchronous(PIRP irp);
// Sets the routine the I/O manager calls, for the outcomes asked for, once the device below
// completed the IRP.
inline void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                                   BOOLEAN on_success, BOOLEAN on_error, BOOLEAN on_cancel) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->CompletionRoutine = routine;
  next->Context = context;
  next->Control = 0;
  if (on_success) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (on_error) next->Control |= SL_INVOKE_ON_ERROR;
  if (on_cancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

// Moves to the next stack location and calls the device's driver for its major function.
// Returns what the dispatch routine returns.
// REQUIRES: IRQL <= DISPATCH_LEVEL; a stack location left (else NO_MORE_IRP_STACK_LOCATIONS).
NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp);
inline NTSTATUS IoCallDriver(PDEVICE_OBJECT device, PIRP irp) { return IofCallDriver(device, irp); }

// Completes the IRP from the current stack location upwards. For each location it passes,
// Irp->PendingReturned takes that location's pending mark; the completion routine found there
// runs when the status succeeds and the routine asked for success, fails and it asked for
// errors, or the IRP was cancelled and it asked for cancel. Where no routine runs, a pending
// mark moves up to the next location. A routine returning STATUS_MORE_PROCESSING_REQUIRED
// stops the walk; the owner may complete the IRP again later to continue it. Past the top, the
// I/O manager finishes the request for its requestor.
// REQUIRES: IRQL <= DISPATCH_LEVEL; IoStatus.Status is not STATUS_PENDING; no cancel routine
// set; the IRP not completed already (else bug checks).
void IofCompleteRequest(PIRP irp, CCHAR priority_boost);
inline void IoCompleteRequest(PIRP irp, CCHAR priority_boost) {
  IofCompleteRequest(irp, priority_boost);
}

// The system cancel spin lock. Raises to DISPATCH_LEVEL.
void IoAcquireCancelSpinLock(PKIRQL irql);
void IoReleaseCancelSpinLock(KIRQL irql);

// Returns the former routine. Any IRQL up to DISPATCH_LEVEL.
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine) {
  return std::atomic_ref<PDRIVER_CANCEL>(irp->CancelRoutine).exchange(routine);
}

// Marks the IRP cancelled and calls its cancel routine, if one is set; returns whether one
// was. Irp->Cancel is written under the cancel spin lock.
// REQUIRES: IRQL <= DISPATCH_LEVEL; the IRP not yet completed (else
// CANCEL_STATE_IN_COMPLETED_IRP when it still has a cancel routine).
BOOLEAN IoCancelIrp(PIRP irp);
