#include "platform/nt/shutdown.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/nt/cache_manager.h"
#include "platform/nt/device.h"
#include "platform/nt/device_control.h"
#include "platform/nt/irp.h"
#include "platform/nt/irql.h"
#include "platform/nt/kernel_internal.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/timer_internal.h"
#include "platform/nt/work_queue_internal.h"
#include "platform/nt/ntstatus.h"

namespace {

// The registered devices, each referenced, oldest first, and whether the running kernel shut
// down.
std::mutex registrations_lock;
std::vector<PDEVICE_OBJECT> registrations;
bool shut_down = false;

void RequirePassive(PVOID detail) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(detail), KeGetCurrentIrql(),
                 0, 0);
  }
}

}  // namespace

NTSTATUS IoRegisterShutdownNotification(PDEVICE_OBJECT device) {
  nt::kernel_internal::RequireKernel("IoRegisterShutdownNotification");
  RequirePassive(device);
  ObfReferenceObject(device);
  std::lock_guard guard(registrations_lock);
  registrations.push_back(device);
  device->Flags |= DO_SHUTDOWN_REGISTERED;
  return STATUS_SUCCESS;
}

void IoUnregisterShutdownNotification(PDEVICE_OBJECT device) {
  RequirePassive(device);
  size_t removed;
  {
    std::lock_guard guard(registrations_lock);
    removed = std::erase(registrations, device);
    device->Flags &= ~DO_SHUTDOWN_REGISTERED;
  }
  for (size_t i = 0; i < removed; ++i) ObfDereferenceObject(device);
}

namespace nt {

void NotifyShutdown() {
  std::vector<PDEVICE_OBJECT> devices;
  {
    std::lock_guard guard(registrations_lock);
    devices.assign(registrations.rbegin(), registrations.rend());
    for (PDEVICE_OBJECT device : devices) ObfReferenceObject(device);
  }
  for (PDEVICE_OBJECT device : devices) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io_status{};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_SHUTDOWN, device, nullptr, 0, nullptr, &event,
                                            &io_status);
    if (irp != nullptr && IoCallDriver(device, irp) == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    ObfDereferenceObject(device);
  }
}

void ForgetShutdownRegistrations() {
  std::vector<PDEVICE_OBJECT> devices;
  {
    std::lock_guard guard(registrations_lock);
    devices.swap(registrations);
    shut_down = false;
  }
  for (PDEVICE_OBJECT device : devices) ObfDereferenceObject(device);
}

void MachineControl::Shutdown() {
  kernel_internal::RequireKernel("MachineControl::Shutdown");
  RequirePassive(nullptr);
  {
    std::lock_guard guard(registrations_lock);
    if (shut_down) return;
    shut_down = true;
  }
  FlushAllCaches();
  NotifyShutdown();
  HaltTimers();
  StopWorkQueues();
}

}  // namespace nt
