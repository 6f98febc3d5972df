#include "platform/nt/event.h"

#include "platform/nt/access_rights.h"
#include "platform/nt/handles.h"
#include "platform/nt/irql.h"
#include "platform/nt/kernel_internal.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/pool.h"

namespace {

OBJECT_TYPE event_type{u"Event",
                       PoolTag('E', 'v', 'e', 'n'),
                       {STANDARD_RIGHTS_READ | EVENT_QUERY_STATE,
                        STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE,
                        STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, EVENT_ALL_ACCESS},
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr,
                       false};
POBJECT_TYPE event_type_pointer = &event_type;

void CheckIrql(PRKEVENT event) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(event), KeGetCurrentIrql(),
                 0, 0);
  }
}

void RequirePassive(PVOID detail) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(detail), KeGetCurrentIrql(),
                 0, 0);
  }
}

NTSTATUS CreateEvent(PHANDLE handle, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                     EVENT_TYPE type, BOOLEAN initial_state, KPROCESSOR_MODE mode) {
  nt::kernel_internal::RequireKernel("ZwCreateEvent");
  RequirePassive(handle);
  if (handle == nullptr || (type != NotificationEvent && type != SynchronizationEvent)) {
    return STATUS_INVALID_PARAMETER;
  }
  PVOID event = nt::CreateObject(&event_type, sizeof(KEVENT));
  if (event == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  KeInitializeEvent(static_cast<PRKEVENT>(event), type, initial_state);
  NTSTATUS status = STATUS_SUCCESS;
  const ULONG flags = attributes != nullptr ? attributes->Attributes : 0;
  if (attributes != nullptr && attributes->ObjectName != nullptr) {
    PVOID root = nullptr;
    if (attributes->RootDirectory != nullptr) {
      status = ObReferenceObjectByHandle(attributes->RootDirectory, 0, nullptr, mode, &root,
                                         nullptr);
      if (!NT_SUCCESS(status)) {
        ObfDereferenceObject(event);
        return status;
      }
    }
    const UNICODE_STRING& name = *attributes->ObjectName;
    PVOID existing = nullptr;
    status = nt::InsertObjectName(
        event, std::u16string_view(name.Buffer, name.Length / sizeof(WCHAR)), root, flags,
        &existing);
    if (root != nullptr) ObfDereferenceObject(root);
    if (status == STATUS_OBJECT_NAME_EXISTS) {
      ObfDereferenceObject(event);
      event = existing;
    } else if (!NT_SUCCESS(status)) {
      ObfDereferenceObject(event);
      return status;
    }
  }
  const NTSTATUS handle_status = nt::CreateHandle(
      event, nt::MapAccess(&event_type, desired_access), flags, mode, handle);
  if (!NT_SUCCESS(handle_status)) {
    if (nt::HeaderOf(event)->handle_count.load() == 0) nt::ReleaseTemporaryName(event);
    status = handle_status;
  }
  ObfDereferenceObject(event);
  return status;
}

PKEVENT CreateNamedEvent(PUNICODE_STRING name, PHANDLE handle, EVENT_TYPE type) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, name, OBJ_OPENIF, nullptr, nullptr);
  HANDLE created;
  if (!NT_SUCCESS(ZwCreateEvent(&created, EVENT_ALL_ACCESS, &attributes, type, TRUE))) {
    return nullptr;
  }
  PVOID event;
  if (!NT_SUCCESS(ObReferenceObjectByHandle(created, 0, &event_type, KernelMode, &event,
                                            nullptr))) {
    ZwClose(created);
    return nullptr;
  }
  ObfDereferenceObject(event);  // the handle keeps it
  *handle = created;
  return static_cast<PKEVENT>(event);
}

}  // namespace

POBJECT_TYPE* ExEventObjectType = &event_type_pointer;

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  event->Header.Type = type == NotificationEvent ? EventNotificationObject
                                                 : EventSynchronizationObject;
  event->Header.Absolute = 0;
  event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  event->Header.Inserted = 0;
  event->Header.SignalState = state ? 1 : 0;
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN) {
  CheckIrql(event);
  std::lock_guard guard(nt::DispatcherLock());
  const LONG old = event->Header.SignalState;
  event->Header.SignalState = 1;
  nt::WakeWaiters();
  return old;
}

LONG KeResetEvent(PRKEVENT event) {
  CheckIrql(event);
  std::lock_guard guard(nt::DispatcherLock());
  const LONG old = event->Header.SignalState;
  event->Header.SignalState = 0;
  return old;
}

void KeClearEvent(PRKEVENT event) { KeResetEvent(event); }

LONG KeReadStateEvent(PRKEVENT event) {
  CheckIrql(event);
  std::lock_guard guard(nt::DispatcherLock());
  return event->Header.SignalState;
}

NTSTATUS ZwCreateEvent(PHANDLE handle, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                       EVENT_TYPE type, BOOLEAN initial_state) {
  return CreateEvent(handle, desired_access, attributes, type, initial_state, KernelMode);
}

NTSTATUS NtCreateEvent(PHANDLE handle, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                       EVENT_TYPE type, BOOLEAN initial_state) {
  return CreateEvent(handle, desired_access, attributes, type, initial_state, UserMode);
}

PKEVENT IoCreateSynchronizationEvent(PUNICODE_STRING name, PHANDLE handle) {
  return CreateNamedEvent(name, handle, SynchronizationEvent);
}

PKEVENT IoCreateNotificationEvent(PUNICODE_STRING name, PHANDLE handle) {
  return CreateNamedEvent(name, handle, NotificationEvent);
}
