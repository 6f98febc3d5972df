// File-system registration: a file system registers its control device as active, and file
// system filters register a notification routine that hears of every file system registering
// or unregistering. Notifications run in the thread of the registering call, one at a time.
#pragma once

#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"

using PDRIVER_FS_NOTIFICATION = void (*)(PDEVICE_OBJECT device, BOOLEAN active);

// Adds the file system's control device to the active file systems and notifies every
// registered routine with `active` TRUE. REQUIRES: PASSIVE_LEVEL.
void IoRegisterFileSystem(PDEVICE_OBJECT device);
// Removes it and notifies every routine with `active` FALSE. REQUIRES: PASSIVE_LEVEL.
void IoUnregisterFileSystem(PDEVICE_OBJECT device);

// Registers `routine` and, before returning, calls it for every file system already active
// (except the RAW file system's devices, \FileSystem\RAW). The driver object stays referenced
// until the routine is unregistered. STATUS_DEVICE_ALREADY_ATTACHED when the same driver and
// routine are the most recent registration. REQUIRES: PASSIVE_LEVEL.
NTSTATUS IoRegisterFsRegistrationChange(PDRIVER_OBJECT driver, PDRIVER_FS_NOTIFICATION routine);
void IoUnregisterFsRegistrationChange(PDRIVER_OBJECT driver, PDRIVER_FS_NOTIFICATION routine);

namespace nt {

// Internal to the kernel model: drops every registration. Called by nt::Kernel.
void ForgetFileSystemRegistrations();

}  // namespace nt
