#include "platform/nt/driver_loader.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/nt/access_rights.h"
#include "platform/nt/device.h"
#include "platform/nt/driver.h"
#include "platform/nt/handles.h"
#include "platform/nt/io_internal.h"
#include "platform/nt/irql.h"
#include "platform/nt/kernel_internal.h"
#include "platform/nt/module_registry.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/registry.h"

namespace {

constexpr std::u16string_view kServices =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

struct LoadedDriver {
  std::u16string service;  // folded
  PDRIVER_OBJECT driver;   // referenced
};

struct Reinitialization {
  PDRIVER_OBJECT driver;  // referenced
  PDRIVER_REINITIALIZE routine;
  PVOID context;
};

// The state of the running kernel's drivers; reset when the kernel ends.
std::mutex drivers_lock;
std::vector<LoadedDriver> loaded;
std::deque<Reinitialization> reinitializations;
bool booted = false;

void RequirePassive(PVOID detail) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(detail), KeGetCurrentIrql(),
                 0, 0);
  }
}

std::u16string_view View(PCUNICODE_STRING string) {
  return std::u16string_view(string->Buffer, string->Length / sizeof(WCHAR));
}

std::u16string_view LastComponent(std::u16string_view path) {
  const size_t slash = path.rfind(u'\\');
  return slash == std::u16string_view::npos ? path : path.substr(slash + 1);
}

// A value of the open key `key`: its type and bytes; false when it is missing.
bool ReadValue(HANDLE key, const char16_t* name, ULONG* type, std::vector<UCHAR>* data) {
  UNICODE_STRING value_name;
  RtlInitUnicodeString(&value_name, name);
  ULONG length = 0;
  NTSTATUS status =
      ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, nullptr, 0, &length);
  if (status != STATUS_BUFFER_TOO_SMALL) return false;
  std::vector<UCHAR> buffer(length);
  status = ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, buffer.data(), length,
                           &length);
  if (!NT_SUCCESS(status)) return false;
  const auto* record = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
  *type = record->Type;
  data->assign(record->Data, record->Data + record->DataLength);
  return true;
}

ULONG ReadDword(HANDLE key, const char16_t* name, ULONG fallback) {
  ULONG type;
  std::vector<UCHAR> data;
  if (!ReadValue(key, name, &type, &data) || type != REG_DWORD || data.size() != sizeof(ULONG)) {
    return fallback;
  }
  ULONG value;
  std::memcpy(&value, data.data(), sizeof(value));
  return value;
}

// The module name the service's ImagePath gives, "<service>.sys" without one.
std::u16string ModuleOf(HANDLE key, std::u16string_view service) {
  ULONG type;
  std::vector<UCHAR> data;
  if (ReadValue(key, u"ImagePath", &type, &data) && (type == REG_SZ || type == REG_EXPAND_SZ)) {
    std::u16string path(reinterpret_cast<const char16_t*>(data.data()),
                        data.size() / sizeof(char16_t));
    path.resize(std::char_traits<char16_t>::length(path.c_str()));
    if (!path.empty()) return std::u16string(LastComponent(path));
  }
  return std::u16string(service) + u".sys";
}

PDRIVER_OBJECT FindLoaded(std::u16string_view service) {
  const std::u16string folded = nt::FoldName(service);
  for (const LoadedDriver& driver : loaded) {
    if (driver.service == folded) return driver.driver;
  }
  return nullptr;
}

void ForgetReinitializations(PDRIVER_OBJECT driver) {
  std::vector<PDRIVER_OBJECT> dropped;
  {
    std::lock_guard guard(drivers_lock);
    for (auto it = reinitializations.begin(); it != reinitializations.end();) {
      if (driver == nullptr || it->driver == driver) {
        dropped.push_back(it->driver);
        it = reinitializations.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (PDRIVER_OBJECT object : dropped) ObfDereferenceObject(object);
}

// Takes the driver off the list and out of the namespace.
void Forget(PDRIVER_OBJECT driver) {
  {
    std::lock_guard guard(drivers_lock);
    std::erase_if(loaded, [driver](const LoadedDriver& entry) { return entry.driver == driver; });
  }
  ForgetReinitializations(driver);
  nt::RemoveObjectName(driver);
  ObfDereferenceObject(driver);
}

std::u16string ServiceKey(std::u16string_view service) {
  return std::u16string(kServices) + std::u16string(service);
}

}  // namespace

NTSTATUS ZwLoadDriver(PUNICODE_STRING service_key) {
  nt::kernel_internal::RequireKernel("ZwLoadDriver");
  RequirePassive(service_key);
  if (service_key == nullptr) return STATUS_INVALID_PARAMETER;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, service_key, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  HANDLE key;
  NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
  if (!NT_SUCCESS(status)) return STATUS_OBJECT_NAME_NOT_FOUND;
  const std::u16string service(LastComponent(View(service_key)));
  const std::u16string module = ModuleOf(key, service);
  const ULONG type = ReadDword(key, u"Type", SERVICE_KERNEL_DRIVER);
  ZwClose(key);
  PDRIVER_INITIALIZE entry = nt::ModuleRegistry::DriverEntryOf(module);
  if (entry == nullptr || service.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
  const bool file_system = type == SERVICE_FILE_SYSTEM_DRIVER || type == SERVICE_RECOGNIZER_DRIVER;
  const std::u16string name = (file_system ? u"\\FileSystem\\" : u"\\Driver\\") + service;
  PDRIVER_OBJECT driver;
  {
    std::lock_guard guard(drivers_lock);
    if (FindLoaded(service) != nullptr) return STATUS_IMAGE_ALREADY_LOADED;
    status = nt::CreateDriverObject(name, service, entry, &driver);
    if (!NT_SUCCESS(status)) {
      return status == STATUS_OBJECT_NAME_COLLISION ? STATUS_IMAGE_ALREADY_LOADED : status;
    }
    loaded.push_back(LoadedDriver{nt::FoldName(service), driver});
  }
  std::u16string path(View(service_key));
  UNICODE_STRING registry_path{service_key->Length, service_key->Length, path.data()};
  status = entry(driver, &registry_path);
  if (!NT_SUCCESS(status)) {
    Forget(driver);
    return status;
  }
  nt::FinishInitializingDevices(driver);
  bool run_now;
  {
    std::lock_guard guard(drivers_lock);
    run_now = booted;
  }
  if (run_now) nt::DriverControl::RunReinitialization();
  return STATUS_SUCCESS;
}

NTSTATUS ZwUnloadDriver(PUNICODE_STRING service_key) {
  nt::kernel_internal::RequireKernel("ZwUnloadDriver");
  RequirePassive(service_key);
  if (service_key == nullptr) return STATUS_INVALID_PARAMETER;
  PDRIVER_OBJECT driver;
  {
    std::lock_guard guard(drivers_lock);
    driver = FindLoaded(LastComponent(View(service_key)));
    if (driver == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (driver->DriverUnload == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  }
  driver->DriverUnload(driver);
  Forget(driver);
  return STATUS_SUCCESS;
}

void IoRegisterDriverReinitialization(PDRIVER_OBJECT driver, PDRIVER_REINITIALIZE routine,
                                      PVOID context) {
  RequirePassive(driver);
  ObfReferenceObject(driver);
  std::lock_guard guard(drivers_lock);
  reinitializations.push_back(Reinitialization{driver, routine, context});
}

namespace nt {

NTSTATUS DriverControl::InstallService(std::u16string_view service, std::u16string_view image_path,
                                       ULONG start, ULONG type) {
  const std::u16string key = ServiceKey(service);
  NTSTATUS status = RegistryControl::SetDword(key, u"Type", type);
  if (NT_SUCCESS(status)) status = RegistryControl::SetDword(key, u"Start", start);
  if (NT_SUCCESS(status)) {
    status = RegistryControl::SetDword(key, u"ErrorControl", SERVICE_ERROR_NORMAL);
  }
  if (NT_SUCCESS(status)) {
    status = RegistryControl::SetString(key, u"ImagePath", image_path, REG_EXPAND_SZ);
  }
  return status;
}

NTSTATUS DriverControl::Load(std::u16string_view service) {
  std::u16string key = ServiceKey(service);
  UNICODE_STRING name{static_cast<USHORT>(key.size() * sizeof(WCHAR)),
                      static_cast<USHORT>(key.size() * sizeof(WCHAR)), key.data()};
  return ZwLoadDriver(&name);
}

NTSTATUS DriverControl::Unload(std::u16string_view service) {
  std::u16string key = ServiceKey(service);
  UNICODE_STRING name{static_cast<USHORT>(key.size() * sizeof(WCHAR)),
                      static_cast<USHORT>(key.size() * sizeof(WCHAR)), key.data()};
  return ZwUnloadDriver(&name);
}

PDRIVER_OBJECT DriverControl::Find(std::u16string_view service) {
  kernel_internal::RequireKernel("DriverControl::Find");
  std::lock_guard guard(drivers_lock);
  return FindLoaded(service);
}

void DriverControl::StartBootDrivers() {
  kernel_internal::RequireKernel("DriverControl::StartBootDrivers");
  std::vector<std::u16string> services[2];
  OBJECT_ATTRIBUTES attributes;
  UNICODE_STRING name{static_cast<USHORT>((kServices.size() - 1) * sizeof(WCHAR)),
                      static_cast<USHORT>((kServices.size() - 1) * sizeof(WCHAR)),
                      const_cast<PWSTR>(kServices.data())};
  InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE list;
  if (NT_SUCCESS(ZwOpenKey(&list, KEY_READ, &attributes))) {
    std::vector<UCHAR> buffer(sizeof(KEY_BASIC_INFORMATION) + 512);
    ULONG length;
    for (ULONG index = 0;
         NT_SUCCESS(ZwEnumerateKey(list, index, KeyBasicInformation, buffer.data(),
                                   static_cast<ULONG>(buffer.size()), &length));
         ++index) {
      const auto* record = reinterpret_cast<const KEY_BASIC_INFORMATION*>(buffer.data());
      std::u16string service(record->Name, record->NameLength / sizeof(WCHAR));
      UNICODE_STRING relative{static_cast<USHORT>(record->NameLength),
                              static_cast<USHORT>(record->NameLength), service.data()};
      OBJECT_ATTRIBUTES sub;
      InitializeObjectAttributes(&sub, &relative, OBJ_KERNEL_HANDLE, list, nullptr);
      HANDLE key;
      if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &sub))) continue;
      const ULONG start = ReadDword(key, u"Start", SERVICE_DISABLED);
      ZwClose(key);
      if (start <= SERVICE_SYSTEM_START) services[start].push_back(std::move(service));
    }
    ZwClose(list);
  }
  for (const auto& group : services) {
    for (const std::u16string& service : group) Load(service);
  }
  {
    std::lock_guard guard(drivers_lock);
    booted = true;
  }
  RunReinitialization();
}

void DriverControl::RunReinitialization() {
  kernel_internal::RequireKernel("DriverControl::RunReinitialization");
  for (;;) {
    Reinitialization next;
    {
      std::lock_guard guard(drivers_lock);
      if (reinitializations.empty()) return;
      next = reinitializations.front();
      reinitializations.pop_front();
    }
    const ULONG count = ++next.driver->DriverExtension->Count;
    next.routine(next.driver, next.context, count);
    ObfDereferenceObject(next.driver);
  }
}

void UnloadAllDrivers() {
  for (;;) {
    PDRIVER_OBJECT driver;
    {
      std::lock_guard guard(drivers_lock);
      if (loaded.empty()) break;
      driver = loaded.back().driver;
    }
    if (driver->DriverUnload != nullptr) driver->DriverUnload(driver);
    // The machine takes down what the driver left: its devices go with the kernel.
    while (driver->DeviceObject != nullptr) IoDeleteDevice(driver->DeviceObject);
    Forget(driver);
  }
  ForgetReinitializations(nullptr);
  std::lock_guard guard(drivers_lock);
  booted = false;
}

}  // namespace nt
