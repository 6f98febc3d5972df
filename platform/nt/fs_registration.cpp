#include "platform/nt/fs_registration.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/nt/device.h"
#include "platform/nt/driver.h"
#include "platform/nt/irql.h"
#include "platform/nt/kernel_internal.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_namespace.h"

namespace {

struct Notification {
  PDRIVER_OBJECT driver;  // referenced
  PDRIVER_FS_NOTIFICATION routine;
};

// Guards both lists and serializes the notifications; recursive so that a notification may
// register a file system or a routine itself.
std::recursive_mutex registrations_lock;
std::vector<PDEVICE_OBJECT> file_systems;  // referenced, in the order they registered
std::vector<Notification> notifications;

void RequirePassive(PVOID detail) {
  nt::kernel_internal::RequireKernel("file-system registration");
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(detail), KeGetCurrentIrql(),
                 0, 0);
  }
}

bool IsRaw(PDEVICE_OBJECT device) {
  const UNICODE_STRING& name = device->DriverObject->DriverName;
  return nt::FoldName(std::u16string_view(name.Buffer, name.Length / sizeof(WCHAR))) ==
         u"\\FILESYSTEM\\RAW";
}

void Notify(PDEVICE_OBJECT device, BOOLEAN active) {
  const std::vector<Notification> routines = notifications;
  for (const Notification& notification : routines) notification.routine(device, active);
}

}  // namespace

void IoRegisterFileSystem(PDEVICE_OBJECT device) {
  RequirePassive(device);
  std::lock_guard guard(registrations_lock);
  ObfReferenceObject(device);
  file_systems.push_back(device);
  Notify(device, TRUE);
}

void IoUnregisterFileSystem(PDEVICE_OBJECT device) {
  RequirePassive(device);
  std::lock_guard guard(registrations_lock);
  auto it = std::find(file_systems.begin(), file_systems.end(), device);
  if (it == file_systems.end()) return;
  file_systems.erase(it);
  Notify(device, FALSE);
  ObfDereferenceObject(device);
}

NTSTATUS IoRegisterFsRegistrationChange(PDRIVER_OBJECT driver, PDRIVER_FS_NOTIFICATION routine) {
  RequirePassive(driver);
  std::lock_guard guard(registrations_lock);
  if (!notifications.empty() && notifications.back().driver == driver &&
      notifications.back().routine == routine) {
    return STATUS_DEVICE_ALREADY_ATTACHED;
  }
  ObfReferenceObject(driver);
  notifications.push_back(Notification{driver, routine});
  const std::vector<PDEVICE_OBJECT> active = file_systems;
  for (PDEVICE_OBJECT device : active) {
    if (!IsRaw(device)) routine(device, TRUE);
  }
  return STATUS_SUCCESS;
}

void IoUnregisterFsRegistrationChange(PDRIVER_OBJECT driver, PDRIVER_FS_NOTIFICATION routine) {
  RequirePassive(driver);
  std::lock_guard guard(registrations_lock);
  auto it = std::find_if(notifications.begin(), notifications.end(),
                         [&](const Notification& n) {
                           return n.driver == driver && n.routine == routine;
                         });
  if (it == notifications.end()) return;
  notifications.erase(it);
  ObfDereferenceObject(driver);
}

namespace nt {

void ForgetFileSystemRegistrations() {
  std::vector<PDEVICE_OBJECT> devices;
  std::vector<Notification> routines;
  {
    std::lock_guard guard(registrations_lock);
    devices.swap(file_systems);
    routines.swap(notifications);
  }
  for (PDEVICE_OBJECT device : devices) ObfDereferenceObject(device);
  for (const Notification& notification : routines) ObfDereferenceObject(notification.driver);
}

}  // namespace nt
