#include "platform/nt/driver.h"

#include <cstring>

#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/pool.h"

namespace {

OBJECT_TYPE driver_type{u"Driver",
                        PoolTag('D', 'r', 'i', 'v'),
                        {STANDARD_RIGHTS_READ | 0x1, STANDARD_RIGHTS_WRITE,
                         STANDARD_RIGHTS_EXECUTE | 0x1, STANDARD_RIGHTS_REQUIRED | 0x1},
                        nullptr,
                        nullptr,
                        nullptr,
                        nullptr,
                        false};
POBJECT_TYPE driver_type_pointer = &driver_type;

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

// Points `string` at a copy of `text` kept at `buffer`.
void Keep(std::u16string_view text, WCHAR* buffer, UNICODE_STRING* string) {
  std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
  buffer[text.size()] = 0;
  string->Buffer = buffer;
  string->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  string->MaximumLength = static_cast<USHORT>(string->Length + sizeof(WCHAR));
}

}  // namespace

POBJECT_TYPE* IoDriverObjectType = &driver_type_pointer;

namespace nt {

NTSTATUS CreateDriverObject(std::u16string_view name, std::u16string_view service_name,
                            PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver_out) {
  if (name.size() > 0x7FFE || service_name.size() > 0x7FFE) return STATUS_NAME_TOO_LONG;
  const SIZE_T names = (name.size() + 1 + service_name.size() + 1) * sizeof(WCHAR);
  PVOID body = CreateObject(&driver_type, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION) + names);
  if (body == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto* driver = static_cast<PDRIVER_OBJECT>(body);
  auto* extension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);
  auto* text = reinterpret_cast<WCHAR*>(extension + 1);
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = extension;
  driver->DriverInit = entry;
  extension->DriverObject = driver;
  Keep(name, text, &driver->DriverName);
  Keep(service_name, text + name.size() + 1, &extension->ServiceKeyName);
  for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) dispatch = InvalidDeviceRequest;
  PVOID existing = nullptr;
  const NTSTATUS status = InsertObjectName(driver, name, nullptr, OBJ_PERMANENT, &existing);
  if (!NT_SUCCESS(status)) {
    ObfDereferenceObject(driver);
    return status;
  }
  *driver_out = driver;
  return STATUS_SUCCESS;
}

}  // namespace nt
