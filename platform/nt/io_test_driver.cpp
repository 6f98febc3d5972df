#include "platform/nt/io_test_driver.h"

#include <atomic>
#include <cstring>

#include "platform/nt/irp.h"
#include "platform/nt/driver.h"
#include "platform/nt/driver_loader.h"
#include "platform/nt/fast_io.h"
#include "platform/nt/file_io.h"
#include "platform/nt/file_object.h"
#include "platform/nt/module_registry.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/pool.h"
#include "platform/nt/shutdown.h"
#include "platform/nt/spin_lock.h"
#include "platform/nt/symbolic_link.h"
#include "platform/nt/token.h"

namespace iotest {

namespace {

struct Extension {
  KSPIN_LOCK slot_lock;
  PIRP slot;  // the pending request, exchanged atomically
};

PDEVICE_OBJECT device = nullptr;
FAST_IO_DISPATCH fast_io{};
Observations* seen = new Observations;

UNICODE_STRING device_name = RTL_CONSTANT_STRING(u"\\Device\\IoTest");
UNICODE_STRING link_name = RTL_CONSTANT_STRING(u"\\DosDevices\\IoTest");

Extension* ExtensionOf(PDEVICE_OBJECT object) {
  return static_cast<Extension*>(object->DeviceExtension);
}

void Note(const char* event) {
  std::lock_guard guard(seen->lock);
  seen->log.push_back(event);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

PIRP TakeSlot(Extension* extension) {
  return static_cast<PIRP>(
      std::atomic_ref<PIRP>(extension->slot).exchange(nullptr));
}

void CancelPending(PDEVICE_OBJECT object, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Extension* extension = ExtensionOf(object);
  KIRQL irql;
  KeAcquireSpinLock(&extension->slot_lock, &irql);
  PIRP pending = std::atomic_ref<PIRP>(extension->slot).load();
  const bool ours = pending == irp;
  if (ours) std::atomic_ref<PIRP>(extension->slot).store(nullptr);
  KeReleaseSpinLock(&extension->slot_lock, irql);
  if (!ours) return;
  Note("cancel");
  Complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS Pend(PDEVICE_OBJECT object, PIRP irp, bool cancellable) {
  Extension* extension = ExtensionOf(object);
  KIRQL irql;
  KeAcquireSpinLock(&extension->slot_lock, &irql);
  if (std::atomic_ref<PIRP>(extension->slot).load() != nullptr) {
    KeReleaseSpinLock(&extension->slot_lock, irql);
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  }
  IoMarkIrpPending(irp);
  std::atomic_ref<PIRP>(extension->slot).store(irp);
  if (cancellable) {
    IoSetCancelRoutine(irp, CancelPending);
    KIRQL cancel_irql;
    IoAcquireCancelSpinLock(&cancel_irql);
    const bool cancelled = irp->Cancel != FALSE;
    IoReleaseCancelSpinLock(cancel_irql);
    if (cancelled && IoSetCancelRoutine(irp, nullptr) != nullptr) {
      std::atomic_ref<PIRP>(extension->slot).store(nullptr);
      KeReleaseSpinLock(&extension->slot_lock, irql);
      Complete(irp, STATUS_CANCELLED, 0);
      return STATUS_PENDING;
    }
  }
  KeReleaseSpinLock(&extension->slot_lock, irql);
  return STATUS_PENDING;
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PFILE_OBJECT file = stack->FileObject;
  std::u16string name(file->FileName.Buffer != nullptr ? file->FileName.Buffer : u"",
                      file->FileName.Length / sizeof(WCHAR));
  if (name == u"\\moved") {
    // Sends the open to \Device\IoTest\arrived instead.
    static const char16_t kTarget[] = u"\\??\\IoTest\\arrived";
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, sizeof(kTarget),
                                                            PoolTag('T', 'e', 's', 't')));
    std::memcpy(buffer, kTarget, sizeof(kTarget));
    ExFreePool(file->FileName.Buffer);
    file->FileName = UNICODE_STRING{sizeof(kTarget) - sizeof(WCHAR), sizeof(kTarget), buffer};
    return Complete(irp, STATUS_REPARSE, IO_REPARSE);
  }
  {
    std::lock_guard guard(seen->lock);
    seen->log.push_back("create");
    seen->create_name = name;
    seen->create_related = file->RelatedFileObject != nullptr;
    seen->create_options = stack->Parameters.Create.Options;
    seen->create_mode = irp->RequestorMode;
    PACCESS_STATE access = stack->Parameters.Create.SecurityContext->AccessState;
    PACCESS_TOKEN token = access->SubjectSecurityContext.ClientToken != nullptr
                              ? access->SubjectSecurityContext.ClientToken
                              : access->SubjectSecurityContext.PrimaryToken;
    seen->create_account = nt::TokenControl::AccountOf(token);
  }
  if (name == u"\\missing") return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
  return Complete(irp, STATUS_SUCCESS, FILE_OPENED);
}

NTSTATUS DispatchNote(PDEVICE_OBJECT, PIRP irp) {
  const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  if (major == IRP_MJ_CLEANUP) Note("cleanup");
  if (major == IRP_MJ_CLOSE) {
    std::lock_guard guard(seen->lock);
    seen->log.push_back("close");
    seen->close_thread = PsGetCurrentThread();
  }
  if (major == IRP_MJ_SHUTDOWN) {
    std::lock_guard guard(seen->lock);
    seen->log.push_back("shutdown");
    seen->shutdown_thread = PsGetCurrentThread();
  }
  return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchQueryInformation(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.QueryFile.FileInformationClass != FileNameInformation) {
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  }
  const UNICODE_STRING& name = stack->FileObject->FileName;
  const ULONG needed = offsetof(FILE_NAME_INFORMATION, FileName) + name.Length;
  auto* info = static_cast<PFILE_NAME_INFORMATION>(irp->AssociatedIrp.SystemBuffer);
  if (stack->Parameters.QueryFile.Length < needed) {
    return Complete(irp, STATUS_BUFFER_OVERFLOW, 0);
  }
  info->FileNameLength = name.Length;
  std::memcpy(info->FileName, name.Buffer, name.Length);
  return Complete(irp, STATUS_SUCCESS, needed);
}

NTSTATUS DispatchControl(PDEVICE_OBJECT object, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG input_length = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG output_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  {
    std::lock_guard guard(seen->lock);
    ++seen->control_requests;
    seen->control_major = stack->MajorFunction;
    seen->control_minor = stack->MinorFunction;
  }
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case kEcho:
      for (ULONG i = 0; i < output_length; ++i) {
        buffer[i] = i < input_length ? static_cast<UCHAR>(buffer[i] + 1) : 0xEE;
      }
      return Complete(irp, STATUS_SUCCESS, output_length);
    case kPend:
      return Pend(object, irp, true);
    case kPendStubborn:
      return Pend(object, irp, false);
    case kFail:
      return Complete(irp, STATUS_INVALID_PARAMETER, 5);
    case kOverreport:
      return Complete(irp, STATUS_SUCCESS, output_length + 1);
    case kNeedsRead:
      return Complete(irp, STATUS_SUCCESS, 0);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

BOOLEAN FastDeviceControl(PFILE_OBJECT, BOOLEAN, PVOID, ULONG, PVOID output, ULONG output_length,
                          ULONG code, PIO_STATUS_BLOCK status, PDEVICE_OBJECT) {
  if (code != kFast || output_length < 1) return FALSE;
  static_cast<UCHAR*>(output)[0] = 0xFA;
  status->Status = STATUS_SUCCESS;
  status->Information = 1;
  return TRUE;
}

void Reinitialize(PDRIVER_OBJECT driver, PVOID, ULONG count) {
  {
    std::lock_guard guard(seen->lock);
    seen->reinitialization_counts.push_back(count);
  }
  if (count < 2) IoRegisterDriverReinitialization(driver, Reinitialize, nullptr);
}

void Unload(PDRIVER_OBJECT) {
  IoDeleteSymbolicLink(&link_name);
  IoDeleteDevice(device);
  device = nullptr;
}

}  // namespace

void IoTestDriver::Install() {
  nt::ModuleRegistry::Register(u"iotest.sys", DriverEntry);
  nt::DriverControl::InstallService(u"iotest", u"System32\\drivers\\iotest.sys",
                                    SERVICE_DEMAND_START);
}

NTSTATUS IoTestDriver::DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  {
    std::lock_guard guard(seen->lock);
    seen->log.clear();
    seen->create_name.clear();
    seen->reinitialization_counts.clear();
    seen->shutdown_thread = nullptr;
    seen->close_thread = nullptr;
    seen->control_requests = 0;
    seen->registry_path.assign(registry_path->Buffer, registry_path->Length / sizeof(WCHAR));
  }
  NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), &device_name, FILE_DEVICE_UNKNOWN,
                                   0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  device->Flags |= DO_BUFFERED_IO;
  KeInitializeSpinLock(&ExtensionOf(device)->slot_lock);
  status = IoCreateSymbolicLink(&link_name, &device_name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchNote;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchNote;
  driver->MajorFunction[IRP_MJ_SHUTDOWN] = DispatchNote;
  driver->MajorFunction[IRP_MJ_QUERY_INFORMATION] = DispatchQueryInformation;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  driver->MajorFunction[IRP_MJ_FILE_SYSTEM_CONTROL] = DispatchControl;
  fast_io.SizeOfFastIoDispatch = sizeof(FAST_IO_DISPATCH);
  fast_io.FastIoDeviceControl = FastDeviceControl;
  driver->FastIoDispatch = &fast_io;
  driver->DriverUnload = Unload;
  IoRegisterShutdownNotification(device);
  IoRegisterDriverReinitialization(driver, Reinitialize, nullptr);
  return STATUS_SUCCESS;
}

bool IoTestDriver::CompletePending(NTSTATUS status, const std::vector<UCHAR>& output) {
  Extension* extension = ExtensionOf(device);
  KIRQL irql;
  KeAcquireSpinLock(&extension->slot_lock, &irql);
  PIRP irp = TakeSlot(extension);
  if (irp != nullptr && IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl
                                .IoControlCode == kPend &&
      IoSetCancelRoutine(irp, nullptr) == nullptr) {
    // A cancel is taking it: leave it to the cancel routine.
    std::atomic_ref<PIRP>(extension->slot).store(irp);
    irp = nullptr;
  }
  KeReleaseSpinLock(&extension->slot_lock, irql);
  if (irp == nullptr) return false;
  if (!output.empty()) {
    std::memcpy(irp->AssociatedIrp.SystemBuffer, output.data(), output.size());
  }
  Note("complete");
  Complete(irp, status, output.size());
  return true;
}

bool IoTestDriver::HasPending() {
  return device != nullptr &&
         std::atomic_ref<PIRP>(ExtensionOf(device)->slot).load() != nullptr;
}

Observations& IoTestDriver::Seen() { return *seen; }

std::vector<std::string> IoTestDriver::Log() {
  std::lock_guard guard(seen->lock);
  return seen->log;
}

PDEVICE_OBJECT IoTestDriver::Device() { return device; }

}  // namespace iotest
