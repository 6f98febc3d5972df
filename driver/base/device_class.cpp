#include "driver/base/device_class.h"

#include "driver/base/driver_pool.h"
#include "platform/nt/interlocked.h"
#include "platform/nt/irp.h"
#include "platform/nt/symbolic_link.h"
#include "platform/nt/unicode_string.h"

KvDevice::KvDevice(ULONG magic, PDEVICE_OBJECT device, PDRIVER_OBJECT driver)
    : magic_(magic), device_(device), driver_(driver) {}

KvDevice::~KvDevice() = default;

NTSTATUS KvDevice::CreateDeviceObject(PDRIVER_OBJECT driver, ULONG extensionSize,
                                      PUNICODE_STRING name, DEVICE_TYPE type,
                                      PDEVICE_OBJECT* device) {
  return IoCreateDevice(driver, extensionSize, name, type, 0, FALSE, device);
}

KvDevice* KvDevice::FromDevice(PDEVICE_OBJECT device, ULONG magic) {
  if (device == nullptr || device->DeviceExtension == nullptr) return nullptr;
  // Only devices of this driver hold one of our objects.
  auto* object = static_cast<KvDevice*>(device->DeviceExtension);
  if (object->device_ != device || (magic != 0 && object->magic_ != magic)) return nullptr;
  return object;
}

void KvDevice::Destroy() {
  PDEVICE_OBJECT device = device_;
  if (linkName_.Buffer != nullptr) {
    IoDeleteSymbolicLink(&linkName_);
    DriverFreeString(&linkName_);
  }
  this->~KvDevice();
  IoDeleteDevice(device);
}

NTSTATUS KvDevice::CreateLink(PCWSTR linkName, PCWSTR deviceName) {
  UNICODE_STRING link;
  UNICODE_STRING target;
  RtlInitUnicodeString(&link, linkName);
  RtlInitUnicodeString(&target, deviceName);
  const NTSTATUS status = IoCreateSymbolicLink(&link, &target);
  if (NT_SUCCESS(status)) DriverCopyString(View(link), &linkName_);
  return status;
}

NTSTATUS KvDevice::Completion(PIRP, PVOID) { return STATUS_SUCCESS; }

void KvDevice::PostProcess(PIRP, PVOID, PVOID) {}

bool KvDevice::TimerInline() { return false; }

void KvDevice::TimerTick() {}

void KvDevice::EnterFlight() { InterlockedIncrement(&inFlight_); }

void KvDevice::LeaveFlight() { InterlockedDecrement(&inFlight_); }

LONG KvDevice::inFlight() const { return InterlockedCompareExchange(const_cast<LONG*>(&inFlight_), 0, 0); }
