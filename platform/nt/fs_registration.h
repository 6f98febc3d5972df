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

// A file system's mount answer for a volume it recognizes but whose own driver is not loaded
// yet (a recognizer's): the I/O manager then sends IRP_MN_LOAD_FILE_SYSTEM to the same device
// and, once that succeeded, offers the volume to the file systems again.

namespace nt {

// Internal to the kernel model: mounts a file system on the storage device `storage` unless
// one is mounted. Offers the volume (IRP_MJ_FILE_SYSTEM_CONTROL, IRP_MN_MOUNT_VOLUME, to the
// top of each file system's stack, newest registration first) to the active file systems of
// the device's kind until one mounts it: that one sets Vpb->DeviceObject, and the I/O manager
// marks the VPB mounted. STATUS_UNRECOGNIZED_VOLUME when none does. Mounts are serialized.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS MountVolume(PDEVICE_OBJECT storage);

// Internal to the kernel model: drops every registration. Called by nt::Kernel.
void ForgetFileSystemRegistrations();

}  // namespace nt
