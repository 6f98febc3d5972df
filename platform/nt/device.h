// Device objects: what requests are sent to. A driver creates them (named or not) with an
// extension of the size it asks for, and may attach one on top of another's device, which
// then receives every request sent to the stack. Attaching and detaching are serialized with
// walks of the attachment chains by one machine-wide lock.
#pragma once

#include "platform/nt/event.h"
#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/objects.h"
#include "platform/nt/unicode_string.h"

constexpr DEVICE_TYPE FILE_DEVICE_CD_ROM = 0x02;
constexpr DEVICE_TYPE FILE_DEVICE_CD_ROM_FILE_SYSTEM = 0x03;
constexpr DEVICE_TYPE FILE_DEVICE_DISK = 0x07;
constexpr DEVICE_TYPE FILE_DEVICE_DISK_FILE_SYSTEM = 0x08;
constexpr DEVICE_TYPE FILE_DEVICE_FILE_SYSTEM = 0x09;
constexpr DEVICE_TYPE FILE_DEVICE_NETWORK = 0x12;
constexpr DEVICE_TYPE FILE_DEVICE_NETWORK_FILE_SYSTEM = 0x14;
constexpr DEVICE_TYPE FILE_DEVICE_NULL = 0x15;
constexpr DEVICE_TYPE FILE_DEVICE_TAPE = 0x1F;
constexpr DEVICE_TYPE FILE_DEVICE_TAPE_FILE_SYSTEM = 0x20;
constexpr DEVICE_TYPE FILE_DEVICE_UNKNOWN = 0x22;
constexpr DEVICE_TYPE FILE_DEVICE_VIRTUAL_DISK = 0x24;
constexpr DEVICE_TYPE FILE_DEVICE_NETWORK_REDIRECTOR = 0x28;

// Characteristics.
constexpr ULONG FILE_REMOVABLE_MEDIA = 0x00000001;
constexpr ULONG FILE_READ_ONLY_DEVICE = 0x00000002;
constexpr ULONG FILE_FLOPPY_DISKETTE = 0x00000004;
constexpr ULONG FILE_WRITE_ONCE_MEDIA = 0x00000008;
constexpr ULONG FILE_REMOTE_DEVICE = 0x00000010;
constexpr ULONG FILE_DEVICE_IS_MOUNTED = 0x00000020;
constexpr ULONG FILE_VIRTUAL_VOLUME = 0x00000040;
constexpr ULONG FILE_DEVICE_SECURE_OPEN = 0x00000100;

// Flags.
constexpr ULONG DO_VERIFY_VOLUME = 0x00000002;
constexpr ULONG DO_BUFFERED_IO = 0x00000004;
constexpr ULONG DO_EXCLUSIVE = 0x00000008;
constexpr ULONG DO_DIRECT_IO = 0x00000010;
constexpr ULONG DO_MAP_IO_BUFFER = 0x00000020;
constexpr ULONG DO_DEVICE_HAS_NAME = 0x00000040;
constexpr ULONG DO_DEVICE_INITIALIZING = 0x00000080;
constexpr ULONG DO_SYSTEM_BOOT_PARTITION = 0x00000100;
constexpr ULONG DO_SHUTDOWN_REGISTERED = 0x00000800;

// Volume parameter block flags.
constexpr USHORT VPB_MOUNTED = 0x0001;
constexpr USHORT VPB_LOCKED = 0x0002;
constexpr USHORT VPB_PERSISTENT = 0x0004;
constexpr USHORT VPB_REMOVE_PENDING = 0x0008;
constexpr USHORT VPB_RAW_MOUNT = 0x0010;
constexpr ULONG MAXIMUM_VOLUME_LABEL_LENGTH = 32 * sizeof(WCHAR);

// Links a storage device (RealDevice) with the file system's volume device mounted on it
// (DeviceObject, null until a file system mounts the volume). Disk, CD-ROM, tape and virtual
// disk devices get one when they are created.
struct VPB {
  CSHORT Type;
  CSHORT Size;
  USHORT Flags;
  USHORT VolumeLabelLength;  // bytes
  PDEVICE_OBJECT DeviceObject;
  PDEVICE_OBJECT RealDevice;
  ULONG SerialNumber;
  ULONG ReferenceCount;
  WCHAR VolumeLabel[MAXIMUM_VOLUME_LABEL_LENGTH / sizeof(WCHAR)];
};

// ExtensionFlags.
constexpr ULONG DOE_UNLOAD_PENDING = 0x00000001;
constexpr ULONG DOE_DELETE_PENDING = 0x00000002;

struct DEVOBJ_EXTENSION {
  CSHORT Type;
  USHORT Size;
  PDEVICE_OBJECT DeviceObject;
  ULONG ExtensionFlags;
  PDEVICE_OBJECT AttachedTo;  // the device this one is attached on top of, or null
};

struct DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;  // open file objects on the device
  PDRIVER_OBJECT DriverObject;
  DEVICE_OBJECT* NextDevice;      // the driver's next device
  DEVICE_OBJECT* AttachedDevice;  // the device attached on top of this one, or null
  PIRP CurrentIrp;
  PIO_TIMER Timer;
  ULONG Flags;
  ULONG Characteristics;
  PVPB Vpb;
  PVOID DeviceExtension;  // 16-byte aligned, zero-filled, as large as asked
  DEVICE_TYPE DeviceType;
  CCHAR StackSize;  // stack locations a request sent to this device needs
  ULONG AlignmentRequirement;
  KEVENT DeviceLock;
  USHORT SectorSize;
  USHORT Spare1;
  DEVOBJ_EXTENSION* DeviceObjectExtension;
  PVOID Reserved;
};

extern POBJECT_TYPE* IoDeviceObjectType;

// Creates a device of `driver`, linked into the driver's list, named when `name` is given
// (STATUS_OBJECT_NAME_COLLISION when taken). The device starts with DO_DEVICE_INITIALIZING
// set, which the I/O manager clears for devices created in DriverEntry; a driver clears it for
// devices it creates later. Opens of an initializing device fail.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extension_size, PUNICODE_STRING name,
                        DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* device);
// Removes the device's name, its shutdown registration and timer, and unlinks it from its
// driver; the memory goes with the last reference (open files hold one). A device still
// attached above it first gets its driver's fast I/O DetachDevice call, when it has one.
// REQUIRES: PASSIVE_LEVEL.
void IoDeleteDevice(PDEVICE_OBJECT device);

// Attach `source` on top of the highest device in `target`'s chain; `source` gets that
// device's stack size plus one. Return the device attached to, or null (NO_SUCH_DEVICE) when
// it is being deleted. The Safe form stores the device before anyone can see the attachment.
// REQUIRES: IRQL <= DISPATCH_LEVEL.
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
NTSTATUS IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT source, PDEVICE_OBJECT target,
                                         PDEVICE_OBJECT* attached_to);
// Detaches whatever device is attached on top of `target`.
void IoDetachDevice(PDEVICE_OBJECT target);
// The highest device in the chain above `device` (itself when none); the Reference form takes
// a reference on it.
PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT device);
PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT device);
// The device requests on `file` go to: the top of the mounted volume's stack for a file on a
// volume, else of the stack of the device it was opened on.
PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT file);
