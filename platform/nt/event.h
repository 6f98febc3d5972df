// Events: notification events stay signalled until reset and release every waiter;
// synchronization events release one waiter and reset themselves. A KEVENT may live anywhere
// the caller keeps it; named events are kernel objects in the namespace.
#pragma once

#include "platform/nt/dispatcher.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/objects.h"
#include "platform/nt/unicode_string.h"

enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };

// Header.Type of the two kinds of event.
constexpr UCHAR EventNotificationObject = 0;
constexpr UCHAR EventSynchronizationObject = 1;

struct KEVENT {
  DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;
using PRKEVENT = KEVENT*;
using KPRIORITY = LONG;

extern POBJECT_TYPE* ExEventObjectType;

// All at IRQL <= DISPATCH_LEVEL. Set, Reset and ReadState return the former state (0 or 1).
// `increment` and `wait` only tune the platform's scheduler and are ignored.
void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
LONG KeResetEvent(PRKEVENT event);
void KeClearEvent(PRKEVENT event);
LONG KeReadStateEvent(PRKEVENT event);

// Creates an event object, named when the attributes name it (with OBJ_OPENIF an existing one
// is opened: STATUS_OBJECT_NAME_EXISTS), and a handle to it.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS ZwCreateEvent(PHANDLE handle, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                       EVENT_TYPE type, BOOLEAN initial_state);
NTSTATUS NtCreateEvent(PHANDLE handle, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                       EVENT_TYPE type, BOOLEAN initial_state);

// Open the named event, or create it signalled, with a handle of the current process. The
// event is valid while the handle is open; close it with ZwClose. Null on failure.
// REQUIRES: PASSIVE_LEVEL.
PKEVENT IoCreateSynchronizationEvent(PUNICODE_STRING name, PHANDLE handle);
PKEVENT IoCreateNotificationEvent(PUNICODE_STRING name, PHANDLE handle);
