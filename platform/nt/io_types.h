// The I/O manager's basic types: the records every request touches, declared together because
// they point at each other. Each record is defined in its own header (irp.h, device.h,
// driver.h, file_object.h).
#pragma once

#include "platform/nt/nt_types.h"
#include "platform/nt/unicode_string.h"

struct IRP;
using PIRP = IRP*;
struct IO_STACK_LOCATION;
using PIO_STACK_LOCATION = IO_STACK_LOCATION*;
struct DEVICE_OBJECT;
using PDEVICE_OBJECT = DEVICE_OBJECT*;
struct DRIVER_OBJECT;
using PDRIVER_OBJECT = DRIVER_OBJECT*;
struct FILE_OBJECT;
using PFILE_OBJECT = FILE_OBJECT*;
struct VPB;
using PVPB = VPB*;
struct MDL;
using PMDL = MDL*;
struct IO_TIMER;
using PIO_TIMER = IO_TIMER*;
struct FAST_IO_DISPATCH;
using PFAST_IO_DISPATCH = FAST_IO_DISPATCH*;
struct SECTION_OBJECT_POINTERS;
using PSECTION_OBJECT_POINTERS = SECTION_OBJECT_POINTERS*;

// The outcome of a request: its status and a request-specific count (bytes moved, or a create
// disposition such as FILE_OPENED).
struct IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;

using PDRIVER_INITIALIZE = NTSTATUS (*)(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);
using PDRIVER_UNLOAD = void (*)(PDRIVER_OBJECT driver);
using PDRIVER_DISPATCH = NTSTATUS (*)(PDEVICE_OBJECT device, PIRP irp);
using PDRIVER_STARTIO = void (*)(PDEVICE_OBJECT device, PIRP irp);
using PDRIVER_ADD_DEVICE = NTSTATUS (*)(PDRIVER_OBJECT driver, PDEVICE_OBJECT device);
using PDRIVER_CANCEL = void (*)(PDEVICE_OBJECT device, PIRP irp);
using PDRIVER_REINITIALIZE = void (*)(PDRIVER_OBJECT driver, PVOID context, ULONG count);
using PIO_COMPLETION_ROUTINE = NTSTATUS (*)(PDEVICE_OBJECT device, PIRP irp, PVOID context);
using PIO_TIMER_ROUTINE = void (*)(PDEVICE_OBJECT device, PVOID context);
using PIO_APC_ROUTINE = void (*)(PVOID context, PIO_STATUS_BLOCK status, ULONG reserved);

// The Type field of the I/O manager's records.
constexpr CSHORT IO_TYPE_DEVICE = 3;
constexpr CSHORT IO_TYPE_DRIVER = 4;
constexpr CSHORT IO_TYPE_FILE = 5;
constexpr CSHORT IO_TYPE_IRP = 6;
constexpr CSHORT IO_TYPE_VPB = 10;
constexpr CSHORT IO_TYPE_DEVICE_OBJECT_EXTENSION = 13;

// Bug checks of the I/O manager.
constexpr ULONG NO_MORE_IRP_STACK_LOCATIONS = 0x35;
constexpr ULONG MULTIPLE_IRP_COMPLETE_REQUESTS = 0x44;
constexpr ULONG CANCEL_STATE_IN_COMPLETED_IRP = 0x48;
// Parameter 1 says what the driver did wrong (the model's own numbering).
constexpr ULONG DRIVER_VERIFIER_IOMANAGER_VIOLATION = 0xC9;
constexpr ULONG_PTR kIrpCompletedWithStatusPending = 0x01;
constexpr ULONG_PTR kIrpCompletedWithCancelRoutine = 0x02;
constexpr ULONG_PTR kIrpCompletedWithoutRequestor = 0x03;
constexpr ULONG_PTR kIrpInformationExceedsBuffer = 0x04;
constexpr ULONG_PTR kIrpFreedButNotAllocated = 0x05;
constexpr ULONG_PTR kIrpBadMajorFunction = 0x06;
