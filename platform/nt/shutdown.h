// Shutdown notification: a driver registers a device to receive IRP_MJ_SHUTDOWN when the
// machine shuts down (nt::MachineControl::Shutdown). Deleting the device unregisters it.
#pragma once

#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"

// The device gets the request itself (not the top of its stack). Devices registered later get
// theirs first. REQUIRES: PASSIVE_LEVEL.
NTSTATUS IoRegisterShutdownNotification(PDEVICE_OBJECT device);
void IoUnregisterShutdownNotification(PDEVICE_OBJECT device);

namespace nt {

// Internal to the kernel model: sends IRP_MJ_SHUTDOWN to every registered device, in the
// caller's thread, waiting for each (nt::MachineControl::Shutdown); drops the registrations
// when the kernel ends.
void NotifyShutdown();
void ForgetShutdownRegistrations();

}  // namespace nt
