#include "driver/frame/kv_driver.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/protocol.h"
#include "common/registry_names.h"
#include "driver/base/driver_pool.h"
#include "driver/base/kernel_routines.h"
#include "driver/frame/volume_filter.h"
#include "driver/table/mirror_table.h"
#include "platform/nt/fs_registration.h"
#include "platform/nt/delay.h"
#include "platform/nt/device.h"
#include "platform/nt/driver.h"
#include "platform/nt/driver_loader.h"
#include "platform/nt/handles.h"
#include "platform/nt/interlocked.h"
#include "platform/nt/irp.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/access_rights.h"
#include "platform/nt/objects.h"
#include "platform/nt/registry.h"
#include "platform/nt/shutdown.h"
#include "platform/nt/timer.h"
#include "platform/nt/version.h"
#include "platform/nt/work_queue.h"

namespace {

KvDriver* instance = nullptr;
DriverHooks configuredHooks{};

struct TickWork {
  WORK_QUEUE_ITEM item;
  KvDriver* driver;
};

// Reads a REG_DWORD of the driver's Parameters key; `fallback` when absent or of another type.
ULONG ReadParameter(PUNICODE_STRING registryPath, PCWSTR name, ULONG fallback) {
  const std::u16string_view path = View(*registryPath);
  const std::u16string_view subkey = kKvDriverParametersKey;
  const SIZE_T characters = path.size() + 1 + subkey.size();
  auto* text = static_cast<WCHAR*>(DriverAllocate(characters * sizeof(WCHAR)));
  WCHAR* at = std::copy(path.begin(), path.end(), text);
  *at++ = u'\\';
  std::copy(subkey.begin(), subkey.end(), at);
  UNICODE_STRING keyName{static_cast<USHORT>(characters * sizeof(WCHAR)),
                         static_cast<USHORT>(characters * sizeof(WCHAR)), text};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  HANDLE key = nullptr;
  ULONG value = fallback;
  if (NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    alignas(8) UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    ULONG length = 0;
    if (NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info,
                                   sizeof buffer, &length)) &&
        info->Type == REG_DWORD && info->DataLength == sizeof(ULONG)) {
      std::memcpy(&value, info->Data, sizeof(ULONG));
    }
    ZwClose(key);
  }
  DriverFree(text);
  return value;
}

}  // namespace

KvDriver* KvDriver::Instance() { return instance; }

void KvDriver::SetHooks(const DriverHooks& hooks) { configuredHooks = hooks; }

KvDriver::KvDriver(PDRIVER_OBJECT driver, MirrorTable* table)
    : driver_(driver), table_(table), hooks_(configuredHooks) {}

KvDriver::~KvDriver() = default;

NTSTATUS KvDriver::CreateDevices() {
  LookUpKernelRoutines();
  PsGetVersion(&majorVersion_, &minorVersion_, nullptr, nullptr);
  // The redirector of NT 4 does not register as a file system: the timer looks for it.
  if (majorVersion_ == 4 && hooks_.control.probeRedirector == nullptr) {
    hooks_.control.probeRedirector = FileSystemFilters::ProbeRedirector;
  }
  PCWSTR name = majorVersion_ > 4 && minorVersion_ != 0 ? kKvDeviceNameFilters : kKvDeviceName;
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, name);
  ControlDevice* control = nullptr;
  NTSTATUS status = KvDevice::Create(driver_, &deviceName, FILE_DEVICE_DISK_FILE_SYSTEM, &control,
                                     table_, &hooks_.control);
  if (!NT_SUCCESS(status)) return STATUS_UNSUCCESSFUL;
  control->device()->Flags |= DO_BUFFERED_IO;
  control_ = control;
  status = control->CreateLink(kKvDosDeviceName, name);
  if (!NT_SUCCESS(status)) return status;
  control->device()->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS KvDriver::Register(PUNICODE_STRING registryPath) {
  driver_->FastIoDispatch = FilterFastIoTable();
  NTSTATUS status = IoRegisterShutdownNotification(control_->device());
  if (!NT_SUCCESS(status)) return status;
  status = IoRegisterFsRegistrationChange(driver_, FileSystemFilters::FileSystemChanged);
  if (!NT_SUCCESS(status)) return status;
  fsNotificationRegistered_ = true;
  status = IoInitializeTimer(control_->device(), OnTimer, this);
  if (!NT_SUCCESS(status)) return status;
  IoStartTimer(control_->device());
  IoRegisterDriverReinitialization(driver_, OnReinitialize, this);
  control_->setAdminOnly(ReadParameter(registryPath, kKvValueAdminOnly, 0));
  return STATUS_SUCCESS;
}

void KvDriver::Reinitialize() {
  if (hooks_.prepareTable != nullptr) hooks_.prepareTable(*table_);
  if (hooks_.ensureLoaded != nullptr) hooks_.ensureLoaded(*table_);
}

void KvDriver::Unload() {
  if (fsNotificationRegistered_) {
    IoUnregisterFsRegistrationChange(driver_, FileSystemFilters::FileSystemChanged);
    fsNotificationRegistered_ = false;
  }
  // This build detaches its filters on unload rather than leave them without a driver.
  FileSystemFilters::DestroyAll();
  if (control_ != nullptr) {
    IoStopTimer(control_->device());
    IoUnregisterShutdownNotification(control_->device());
    // A tick already queued must not outlive the device it works on.
    while (tickWorkInFlight_ != 0) {
      LARGE_INTEGER interval;
      interval.QuadPart = -10'000;
      KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    control_->Destroy();
    control_ = nullptr;
  }
}

void KvDriver::OnTimer(PDEVICE_OBJECT device, PVOID context) {
  auto* self = static_cast<KvDriver*>(context);
  KvDevice* object = KvDevice::FromDevice(device);
  if (object == nullptr) return;
  if (object->TimerInline()) {
    object->TimerTick();
    return;
  }
  auto* work = DriverAllocateRecord<TickWork>();
  work->driver = self;
  InterlockedIncrement(&self->tickWorkInFlight_);
  ExInitializeWorkItem(&work->item, RunTimerTick, work);
  ExQueueWorkItem(&work->item, CriticalWorkQueue);
}

void KvDriver::RunTimerTick(PVOID parameter) {
  auto* work = static_cast<TickWork*>(parameter);
  KvDriver* self = work->driver;
  DriverFree(work);
  self->control_->TimerTick();
  InterlockedDecrement(&self->tickWorkInFlight_);
}

void KvDriver::OnReinitialize(PDRIVER_OBJECT, PVOID context, ULONG) {
  static_cast<KvDriver*>(context)->Reinitialize();
}

NTSTATUS KvDriver::CommonDispatch(PDEVICE_OBJECT device, PIRP irp) {
  KvDevice* object = KvDevice::FromDevice(device);
  if (object == nullptr) {
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_UNSUCCESSFUL;
  }
  return object->Dispatch(irp);
}

void KvDriver::OnUnload(PDRIVER_OBJECT) {
  KvDriver* self = instance;
  self->Unload();
  MirrorTable* table = self->table_;
  self->~KvDriver();
  DriverFree(self);
  table->~MirrorTable();
  DriverFree(table);
  FileSystemFilters::Release();
  instance = nullptr;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  // The driver's static objects, made anew for each load of the driver.
  FileSystemFilters::Initialize(driver);
  auto* table = new (DriverAllocate(sizeof(MirrorTable))) MirrorTable();
  instance = new (DriverAllocate(sizeof(KvDriver))) KvDriver(driver, table);
  driver->DriverUnload = KvDriver::OnUnload;

  NTSTATUS status = instance->CreateDevices();
  if (NT_SUCCESS(status)) {
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
      driver->MajorFunction[major] = KvDriver::CommonDispatch;
    }
    status = instance->Register(registryPath);
  }
  if (!NT_SUCCESS(status)) KvDriver::OnUnload(driver);
  return status;
}
