// File objects: one per open of a device or of a file on a volume. The I/O manager creates a
// file object for every successful create and sends IRP_MJ_CLEANUP when the last handle to it
// closes (after cancelling the requests still pending on it) and IRP_MJ_CLOSE when the last
// reference goes. File systems keep their per-stream and per-open state in FsContext and
// FsContext2.
#pragma once

#include "platform/nt/event.h"
#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/objects.h"
#include "platform/nt/unicode_string.h"

constexpr ULONG FO_FILE_OPEN = 0x00000001;
constexpr ULONG FO_SYNCHRONOUS_IO = 0x00000002;
constexpr ULONG FO_ALERTABLE_IO = 0x00000004;
constexpr ULONG FO_NO_INTERMEDIATE_BUFFERING = 0x00000008;
constexpr ULONG FO_WRITE_THROUGH = 0x00000010;
constexpr ULONG FO_SEQUENTIAL_ONLY = 0x00000020;
constexpr ULONG FO_CACHE_SUPPORTED = 0x00000040;
constexpr ULONG FO_NAMED_PIPE = 0x00000080;
constexpr ULONG FO_STREAM_FILE = 0x00000100;
constexpr ULONG FO_MAILSLOT = 0x00000200;
constexpr ULONG FO_DIRECT_DEVICE_OPEN = 0x00000800;
constexpr ULONG FO_FILE_MODIFIED = 0x00001000;
constexpr ULONG FO_FILE_SIZE_CHANGED = 0x00002000;
constexpr ULONG FO_CLEANUP_COMPLETE = 0x00004000;
constexpr ULONG FO_TEMPORARY_FILE = 0x00008000;
constexpr ULONG FO_DELETE_ON_CLOSE = 0x00010000;
constexpr ULONG FO_OPENED_CASE_SENSITIVE = 0x00020000;
constexpr ULONG FO_HANDLE_CREATED = 0x00040000;
constexpr ULONG FO_FILE_FAST_IO_READ = 0x00080000;
constexpr ULONG FO_RANDOM_ACCESS = 0x00100000;
constexpr ULONG FO_VOLUME_OPEN = 0x00400000;

struct FILE_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;  // the device opened (for a volume file, its storage device)
  PVPB Vpb;                     // the mounted volume, for a file on a volume
  PVOID FsContext;
  PVOID FsContext2;
  PSECTION_OBJECT_POINTERS SectionObjectPointer;
  PVOID PrivateCacheMap;
  NTSTATUS FinalStatus;
  FILE_OBJECT* RelatedFileObject;
  BOOLEAN LockOperation;
  BOOLEAN DeletePending;
  BOOLEAN ReadAccess;
  BOOLEAN WriteAccess;
  BOOLEAN DeleteAccess;
  BOOLEAN SharedRead;
  BOOLEAN SharedWrite;
  BOOLEAN SharedDelete;
  ULONG Flags;
  UNICODE_STRING FileName;  // the name below the device, as opened
  LARGE_INTEGER CurrentByteOffset;
  ULONG Waiters;
  ULONG Busy;
  PVOID LastLock;
  KEVENT Lock;   // serializes the synchronous I/O of a synchronous file object
  KEVENT Event;  // signalled when a request on the file completes without an event of its own
};

extern POBJECT_TYPE* IoFileObjectType;
