// Driver objects: one per loaded driver, named \Driver\<service> (\FileSystem\<service> for a
// file system), holding the driver's dispatch table. Every entry starts out completing the
// request with STATUS_INVALID_DEVICE_REQUEST.
#pragma once

#include <string_view>

#include "platform/nt/io_types.h"
#include "platform/nt/irp.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/objects.h"

struct DRIVER_EXTENSION {
  DRIVER_OBJECT* DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
  ULONG Count;  // reinitialization calls so far
  UNICODE_STRING ServiceKeyName;
};
using PDRIVER_EXTENSION = DRIVER_EXTENSION*;

struct DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;  // the driver's devices, newest first
  ULONG Flags;
  PVOID DriverStart;
  ULONG DriverSize;
  PVOID DriverSection;
  PDRIVER_EXTENSION DriverExtension;
  UNICODE_STRING DriverName;
  PUNICODE_STRING HardwareDatabase;
  PFAST_IO_DISPATCH FastIoDispatch;
  PDRIVER_INITIALIZE DriverInit;
  PDRIVER_STARTIO DriverStartIo;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

extern POBJECT_TYPE* IoDriverObjectType;

namespace nt {

// Internal to the kernel model: creates the permanently named driver object `name` for the
// service `service_name`, with one reference for the caller.
NTSTATUS CreateDriverObject(std::u16string_view name, std::u16string_view service_name,
                            PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver);

}  // namespace nt
