// KvDevice: the object every device the driver creates carries in its device extension. The
// I/O manager hands the driver a device object; the driver finds the object in its extension
// and lets it handle the request. A class magic tells the three kinds apart.
#pragma once

#include <new>
#include <utility>

#include "platform/nt/device.h"
#include "platform/nt/io_types.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/unicode_string.h"

class KvDevice {
 public:
  KvDevice(const KvDevice&) = delete;
  KvDevice& operator=(const KvDevice&) = delete;

  // Creates a device with room for T in its extension and constructs T there with
  // (device, driver, args...). The device keeps DO_DEVICE_INITIALIZING until the caller clears
  // it. REQUIRES: PASSIVE_LEVEL.
  template <typename T, typename... Args>
  static NTSTATUS Create(PDRIVER_OBJECT driver, PUNICODE_STRING name, DEVICE_TYPE type, T** out,
                         Args&&... args);

  // The object in the device's extension, when it is one of ours (and, with a magic, of that
  // class); else null.
  static KvDevice* FromDevice(PDEVICE_OBJECT device, ULONG magic = 0);

  // Runs the object's destructor, deletes its symbolic link and deletes the device object.
  // REQUIRES: PASSIVE_LEVEL; no request of the device in flight.
  void Destroy();

  // Gives the device, named deviceName, a symbolic link that is deleted with it.
  NTSTATUS CreateLink(PCWSTR linkName, PCWSTR deviceName);

  // Handles a request sent to the device; completes it or returns STATUS_PENDING.
  virtual NTSTATUS Dispatch(PIRP irp) = 0;
  // A forwarded request came back; STATUS_MORE_PROCESSING_REQUIRED stops its completion.
  virtual NTSTATUS Completion(PIRP irp, PVOID context);
  // Post-processing of a request in a system worker thread.
  virtual void PostProcess(PIRP irp, PVOID context, PVOID extra);
  // Whether the one-second timer work runs in the timer routine itself (else it is queued).
  virtual bool TimerInline();
  // The one-second timer work.
  virtual void TimerTick();

  // Counts a request sent down with a completion or post-processing hook, and uncounts it.
  void EnterFlight();
  void LeaveFlight();
  LONG inFlight() const;

  PDEVICE_OBJECT device() const { return device_; }
  PDRIVER_OBJECT driver() const { return driver_; }
  ULONG magic() const { return magic_; }

 protected:
  KvDevice(ULONG magic, PDEVICE_OBJECT device, PDRIVER_OBJECT driver);
  virtual ~KvDevice();

  // Requests of this device in flight with a completion or post-processing hook.
  LONG inFlight_ = 0;

 private:
  static NTSTATUS CreateDeviceObject(PDRIVER_OBJECT driver, ULONG extensionSize,
                                     PUNICODE_STRING name, DEVICE_TYPE type,
                                     PDEVICE_OBJECT* device);

  ULONG magic_;
  PDEVICE_OBJECT device_;
  UNICODE_STRING linkName_{};
  PDRIVER_OBJECT driver_;
};

template <typename T, typename... Args>
NTSTATUS KvDevice::Create(PDRIVER_OBJECT driver, PUNICODE_STRING name, DEVICE_TYPE type, T** out,
                          Args&&... args) {
  PDEVICE_OBJECT device = nullptr;
  const NTSTATUS status = CreateDeviceObject(driver, sizeof(T), name, type, &device);
  if (!NT_SUCCESS(status)) return status;
  *out = new (device->DeviceExtension) T(device, driver, std::forward<Args>(args)...);
  return STATUS_SUCCESS;
}
