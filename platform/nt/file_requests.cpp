#include "platform/nt/file_requests.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>

#include "platform/nt/access_rights.h"
#include "platform/nt/device.h"
#include "platform/nt/driver.h"
#include "platform/nt/event.h"
#include "platform/nt/fast_io.h"
#include "platform/nt/file_io.h"
#include "platform/nt/file_object.h"
#include "platform/nt/file_records.h"
#include "platform/nt/handles.h"
#include "platform/nt/io_internal.h"
#include "platform/nt/irql.h"
#include "platform/nt/kernel_internal.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/pool.h"

NTSTATUS nt::ReferenceRequestEvent(HANDLE event_handle, KPROCESSOR_MODE mode, PKEVENT* event) {
  *event = nullptr;
  if (event_handle == nullptr) return STATUS_SUCCESS;
  PVOID event_object;
  const NTSTATUS status = ObReferenceObjectByHandle(event_handle, EVENT_MODIFY_STATE,
                                                    *ExEventObjectType, mode, &event_object,
                                                    nullptr);
  if (!NT_SUCCESS(status)) return status;
  *event = static_cast<PKEVENT>(event_object);
  KeClearEvent(*event);
  return STATUS_SUCCESS;
}

namespace {

constexpr ULONG kSystemBufferTag = PoolTag('I', 'o', 'S', 'b');

// What one call asks of the file's drivers.
struct Request {
  UCHAR major = 0;
  UCHAR minor = 0;
  ACCESS_MASK needed = 0;  // rights the handle must have (user mode only)
  PVOID input = nullptr;   // copied into the system buffer
  ULONG input_length = 0;
  PVOID output = nullptr;  // receives the system buffer's first Information bytes
  ULONG output_length = 0;
  PVOID user_buffer = nullptr;  // reads and writes: the caller's buffer as it is
  ULONG irp_flags = 0;
  std::function<void(PIRP, PFILE_OBJECT, PIO_STACK_LOCATION)> fill;
  // Reads and writes: where and how much, for fast I/O.
  bool transfer = false;
  PLARGE_INTEGER offset = nullptr;
  ULONG length = 0;
  ULONG key = 0;
};

// A cached read or write first goes to the fast I/O entry of the file's top driver: when it
// serves the call, no IRP is sent. Returns whether it did, with its outcome in *status.
bool TryFastIo(PFILE_OBJECT file, const Request& request, bool wait, PIO_STATUS_BLOCK io_status,
               PKEVENT event, NTSTATUS* status) {
  const ULONG flags = std::atomic_ref<ULONG>(file->Flags).load();
  if (!request.transfer || file->PrivateCacheMap == nullptr ||
      (flags & FO_NO_INTERMEDIATE_BUFFERING) != 0) {
    return false;
  }
  LARGE_INTEGER at = file->CurrentByteOffset;
  if (request.offset != nullptr && request.offset->QuadPart != FILE_USE_FILE_POINTER_POSITION) {
    at = *request.offset;
  }
  PDEVICE_OBJECT device = nt::RelatedDeviceReference(file);
  const FAST_IO_DISPATCH* table = device->DriverObject->FastIoDispatch;
  const auto entry = request.major == IRP_MJ_READ ? &FAST_IO_DISPATCH::FastIoRead
                                                  : &FAST_IO_DISPATCH::FastIoWrite;
  IO_STATUS_BLOCK result{};
  const bool served =
      FastIoEntryPresent(table, entry) &&
      (table->*entry)(file, &at, request.length, wait, request.key, request.user_buffer, &result,
                      device) != FALSE;
  ObfDereferenceObject(device);
  if (!served) return false;
  *io_status = result;
  if (event != nullptr) KeSetEvent(event, 0, FALSE);
  *status = result.Status;
  return true;
}

bool SetUpBuffers(PIRP irp, const Request& request) {
  if (request.user_buffer != nullptr) {
    irp->UserBuffer = request.user_buffer;
    return true;
  }
  const ULONG size = std::max(request.input_length, request.output_length);
  irp->UserBuffer = request.output;
  if (size == 0) return true;
  PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, size, kSystemBufferTag);
  if (buffer == nullptr) return false;
  std::memset(buffer, 0, size);
  if (request.input_length != 0) std::memcpy(buffer, request.input, request.input_length);
  irp->AssociatedIrp.SystemBuffer = buffer;
  irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
  if (request.output_length != 0) irp->Flags |= IRP_INPUT_OPERATION;
  nt::TrackingOf(irp)->output_length = request.output_length;
  return true;
}

NTSTATUS Issue(HANDLE handle, HANDLE event_handle, PIO_STATUS_BLOCK io_status,
               KPROCESSOR_MODE mode, const Request& request) {
  nt::kernel_internal::RequireKernel("file request");
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(handle), KeGetCurrentIrql(),
                 0, 0);
  }
  if (io_status == nullptr) return STATUS_ACCESS_VIOLATION;
  PVOID object;
  OBJECT_HANDLE_INFORMATION information{};
  NTSTATUS status =
      ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, mode, &object, &information);
  if (!NT_SUCCESS(status)) return status;
  auto* file = static_cast<PFILE_OBJECT>(object);
  if (mode == UserMode && (information.GrantedAccess & request.needed) != request.needed) {
    ObfDereferenceObject(file);
    return STATUS_ACCESS_DENIED;
  }
  PKEVENT event = nullptr;
  status = nt::ReferenceRequestEvent(event_handle, mode, &event);
  if (!NT_SUCCESS(status)) {
    ObfDereferenceObject(file);
    return status;
  }
  const bool synchronous = (std::atomic_ref<ULONG>(file->Flags).load() & FO_SYNCHRONOUS_IO) != 0;
  // The waiter below still needs the file after the request dropped its reference.
  ObfReferenceObject(file);
  if (synchronous) {
    nt::AcquireFileLock(file);
    KeClearEvent(&file->Event);
  }
  if (TryFastIo(file, request, synchronous, io_status, event, &status)) {
    if (event != nullptr) ObfDereferenceObject(event);
    if (synchronous) nt::ReleaseFileLock(file);
    ObfDereferenceObject(file);
    ObfDereferenceObject(file);
    return status;
  }
  PDEVICE_OBJECT device = nt::RelatedDeviceReference(file);
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  if (irp == nullptr || !SetUpBuffers(irp, request)) {
    if (irp != nullptr) IoFreeIrp(irp);
    if (event != nullptr) ObfDereferenceObject(event);
    ObfDereferenceObject(file);
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    nt::SetRequestor(irp, mode, io_status, event);
    irp->Flags |= request.irp_flags | (synchronous ? IRP_SYNCHRONOUS_API : 0);
    irp->Tail.Overlay.OriginalFileObject = file;
    nt::TrackingOf(irp)->flags |=
        nt::kIrpFileReferenced | (event != nullptr ? nt::kIrpEventReferenced : 0);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = request.major;
    stack->MinorFunction = request.minor;
    stack->FileObject = file;
    request.fill(irp, file, stack);
    nt::TrackIrp(irp);
    status = IoCallDriver(device, irp);
    if (synchronous && status == STATUS_PENDING) {
      KeWaitForSingleObject(&file->Event, Executive, mode, FALSE, nullptr);
      status = file->FinalStatus;
    }
  }
  ObfDereferenceObject(device);
  if (synchronous) nt::ReleaseFileLock(file);
  ObfDereferenceObject(file);
  return status;
}

NTSTATUS Transfer(UCHAR major, HANDLE handle, HANDLE event, PIO_APC_ROUTINE apc,
                  PIO_STATUS_BLOCK io_status, PVOID buffer, ULONG length, PLARGE_INTEGER offset,
                  PULONG key, KPROCESSOR_MODE mode) {
  if (apc != nullptr) return STATUS_NOT_IMPLEMENTED;
  if (length != 0 && buffer == nullptr) return STATUS_ACCESS_VIOLATION;
  Request request;
  request.major = major;
  request.needed = major == IRP_MJ_READ ? FILE_READ_DATA : FILE_WRITE_DATA;
  // A zero-length transfer still passes a buffer address the driver may look at.
  request.user_buffer = buffer != nullptr ? buffer : static_cast<PVOID>(io_status);
  request.irp_flags = major == IRP_MJ_READ ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
  request.transfer = true;
  request.offset = offset;
  request.length = length;
  request.key = key != nullptr ? *key : 0;
  request.fill = [&](PIRP irp, PFILE_OBJECT file, PIO_STACK_LOCATION stack) {
    LARGE_INTEGER at;
    if (offset == nullptr || offset->QuadPart == FILE_USE_FILE_POINTER_POSITION) {
      at = file->CurrentByteOffset;
    } else {
      at = *offset;
    }
    if ((file->Flags & FO_NO_INTERMEDIATE_BUFFERING) != 0) irp->Flags |= IRP_NOCACHE;
    stack->Parameters.Read.Length = length;
    stack->Parameters.Read.Key = key != nullptr ? *key : 0;
    stack->Parameters.Read.ByteOffset = at;
  };
  return Issue(handle, event, io_status, mode, request);
}

// The fixed part of each class's record: shorter buffers are refused before any driver sees
// them.
ULONG MinimumLength(FILE_INFORMATION_CLASS information_class) {
  switch (information_class) {
    case FileBasicInformation:
      return sizeof(FILE_BASIC_INFORMATION);
    case FileStandardInformation:
      return sizeof(FILE_STANDARD_INFORMATION);
    case FileInternalInformation:
      return sizeof(FILE_INTERNAL_INFORMATION);
    case FilePositionInformation:
      return sizeof(FILE_POSITION_INFORMATION);
    case FileNameInformation:
      return offsetof(FILE_NAME_INFORMATION, FileName);
    case FileRenameInformation:
    case FileLinkInformation:
      return offsetof(FILE_RENAME_INFORMATION, FileName);
    case FileDispositionInformation:
      return sizeof(FILE_DISPOSITION_INFORMATION);
    case FileAllocationInformation:
      return sizeof(FILE_ALLOCATION_INFORMATION);
    case FileEndOfFileInformation:
      return sizeof(FILE_END_OF_FILE_INFORMATION);
    case FileNetworkOpenInformation:
      return sizeof(FILE_NETWORK_OPEN_INFORMATION);
    case FileDirectoryInformation:
      return offsetof(FILE_DIRECTORY_INFORMATION, FileName);
    case FileBothDirectoryInformation:
      return offsetof(FILE_BOTH_DIR_INFORMATION, FileName);
    default:
      return 1;
  }
}

ULONG MinimumVolumeLength(FS_INFORMATION_CLASS information_class) {
  switch (information_class) {
    case FileFsVolumeInformation:
      return offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel);
    case FileFsAttributeInformation:
      return offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
    case FileFsSizeInformation:
      return sizeof(FILE_FS_SIZE_INFORMATION);
    default:
      return 1;
  }
}


NTSTATUS QueryInformation(HANDLE handle, PIO_STATUS_BLOCK io_status, PVOID buffer, ULONG length,
                          FILE_INFORMATION_CLASS information_class, KPROCESSOR_MODE mode) {
  if (buffer == nullptr) return STATUS_ACCESS_VIOLATION;
  if (length < MinimumLength(information_class)) return STATUS_INFO_LENGTH_MISMATCH;
  Request request;
  request.major = IRP_MJ_QUERY_INFORMATION;
  request.output = buffer;
  request.output_length = length;
  request.fill = [&](PIRP, PFILE_OBJECT, PIO_STACK_LOCATION stack) {
    stack->Parameters.QueryFile.Length = length;
    stack->Parameters.QueryFile.FileInformationClass = information_class;
  };
  return Issue(handle, nullptr, io_status, mode, request);
}

// A rename or link to a full path (or one relative to the record's root directory) names a
// folder the I/O manager opens first; a bare name stays in the file's own folder.
NTSTATUS SetInformation(HANDLE handle, PIO_STATUS_BLOCK io_status, PVOID buffer, ULONG length,
                        FILE_INFORMATION_CLASS information_class, KPROCESSOR_MODE mode) {
  if (buffer == nullptr) return STATUS_ACCESS_VIOLATION;
  if (length < MinimumLength(information_class)) return STATUS_INFO_LENGTH_MISMATCH;
  PFILE_OBJECT target = nullptr;
  HANDLE target_handle = nullptr;
  bool target_exists = false;
  BOOLEAN replace = FALSE;
  if (information_class == FileRenameInformation || information_class == FileLinkInformation) {
    const auto* rename = static_cast<const FILE_RENAME_INFORMATION*>(buffer);
    const ULONG name_offset = offsetof(FILE_RENAME_INFORMATION, FileName);
    if (rename->FileNameLength % sizeof(WCHAR) != 0 ||
        rename->FileNameLength > length - name_offset || rename->FileNameLength == 0) {
      return STATUS_INVALID_PARAMETER;
    }
    replace = rename->ReplaceIfExists;
    const std::u16string_view name(rename->FileName, rename->FileNameLength / sizeof(WCHAR));
    PFILE_OBJECT root = nullptr;
    if (rename->RootDirectory != nullptr) {
      PVOID object;
      const NTSTATUS status = ObReferenceObjectByHandle(rename->RootDirectory, 0,
                                                        *IoFileObjectType, mode, &object, nullptr);
      if (!NT_SUCCESS(status)) return status;
      root = static_cast<PFILE_OBJECT>(object);
    }
    if (root != nullptr || name.front() == u'\\') {
      const NTSTATUS status =
          nt::OpenTargetDirectory(name, root, &target_handle, &target, &target_exists);
      if (root != nullptr) ObfDereferenceObject(root);
      if (!NT_SUCCESS(status)) return status;
      PVOID object;
      if (!NT_SUCCESS(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, mode, &object,
                                                nullptr))) {
        ObfDereferenceObject(target);
        ZwClose(target_handle);
        return STATUS_INVALID_HANDLE;
      }
      const bool same_volume = IoGetRelatedDeviceObject(static_cast<PFILE_OBJECT>(object)) ==
                               IoGetRelatedDeviceObject(target);
      ObfDereferenceObject(object);
      if (!same_volume) {
        ObfDereferenceObject(target);
        ZwClose(target_handle);
        return STATUS_NOT_SAME_DEVICE;
      }
    }
  }
  Request request;
  request.major = IRP_MJ_SET_INFORMATION;
  request.needed = nt::SetInformationAccess(information_class);
  request.input = buffer;
  request.input_length = length;
  request.fill = [&](PIRP, PFILE_OBJECT, PIO_STACK_LOCATION stack) {
    stack->Parameters.SetFile.Length = length;
    stack->Parameters.SetFile.FileInformationClass = information_class;
    stack->Parameters.SetFile.FileObject = target;
    if (target != nullptr) {
      stack->Parameters.SetFile.ReplaceIfExists = replace;
      stack->Parameters.SetFile.AdvanceOnly = FALSE;
    }
  };
  const NTSTATUS status = Issue(handle, nullptr, io_status, mode, request);
  if (target != nullptr) {
    ObfDereferenceObject(target);
    ZwClose(target_handle);
  }
  return status;
}

NTSTATUS QueryDirectory(HANDLE handle, HANDLE event, PIO_APC_ROUTINE apc,
                        PIO_STATUS_BLOCK io_status, PVOID buffer, ULONG length,
                        FILE_INFORMATION_CLASS information_class, BOOLEAN single_entry,
                        PUNICODE_STRING file_name, BOOLEAN restart, KPROCESSOR_MODE mode) {
  if (apc != nullptr) return STATUS_NOT_IMPLEMENTED;
  if (buffer == nullptr) return STATUS_ACCESS_VIOLATION;
  if (information_class != FileDirectoryInformation &&
      information_class != FileBothDirectoryInformation) {
    return STATUS_INVALID_INFO_CLASS;
  }
  if (length < MinimumLength(information_class)) return STATUS_INFO_LENGTH_MISMATCH;
  Request request;
  request.major = IRP_MJ_DIRECTORY_CONTROL;
  request.minor = IRP_MN_QUERY_DIRECTORY;
  request.needed = FILE_LIST_DIRECTORY;
  request.output = buffer;
  request.output_length = length;
  request.fill = [&](PIRP, PFILE_OBJECT, PIO_STACK_LOCATION stack) {
    stack->Parameters.QueryDirectory.Length = length;
    stack->Parameters.QueryDirectory.FileName = file_name;
    stack->Parameters.QueryDirectory.FileInformationClass = information_class;
    if (restart) stack->Flags |= SL_RESTART_SCAN;
    if (single_entry) stack->Flags |= SL_RETURN_SINGLE_ENTRY;
  };
  return Issue(handle, event, io_status, mode, request);
}

NTSTATUS QueryVolume(HANDLE handle, PIO_STATUS_BLOCK io_status, PVOID buffer, ULONG length,
                     FS_INFORMATION_CLASS information_class, KPROCESSOR_MODE mode) {
  if (buffer == nullptr) return STATUS_ACCESS_VIOLATION;
  if (length < MinimumVolumeLength(information_class)) return STATUS_INFO_LENGTH_MISMATCH;
  Request request;
  request.major = IRP_MJ_QUERY_VOLUME_INFORMATION;
  request.output = buffer;
  request.output_length = length;
  request.fill = [&](PIRP, PFILE_OBJECT, PIO_STACK_LOCATION stack) {
    stack->Parameters.QueryVolume.Length = length;
    stack->Parameters.QueryVolume.FsInformationClass = information_class;
  };
  return Issue(handle, nullptr, io_status, mode, request);
}

}  // namespace

NTSTATUS ZwReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine, PVOID /*apc_context*/,
                    PIO_STATUS_BLOCK io_status, PVOID buffer, ULONG length,
                    PLARGE_INTEGER offset, PULONG key) {
  return Transfer(IRP_MJ_READ, file, event, apc_routine, io_status, buffer, length, offset, key,
                  KernelMode);
}

NTSTATUS ZwWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine,
                     PVOID /*apc_context*/, PIO_STATUS_BLOCK io_status, PVOID buffer,
                     ULONG length, PLARGE_INTEGER offset, PULONG key) {
  return Transfer(IRP_MJ_WRITE, file, event, apc_routine, io_status, buffer, length, offset, key,
                  KernelMode);
}

NTSTATUS ZwQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK io_status, PVOID buffer,
                                ULONG length, FILE_INFORMATION_CLASS information_class) {
  return QueryInformation(file, io_status, buffer, length, information_class, KernelMode);
}

NTSTATUS ZwSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io_status, PVOID buffer,
                              ULONG length, FILE_INFORMATION_CLASS information_class) {
  return SetInformation(file, io_status, buffer, length, information_class, KernelMode);
}

NTSTATUS ZwQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine,
                              PVOID /*apc_context*/, PIO_STATUS_BLOCK io_status, PVOID buffer,
                              ULONG length, FILE_INFORMATION_CLASS information_class,
                              BOOLEAN single_entry, PUNICODE_STRING file_name, BOOLEAN restart) {
  return QueryDirectory(file, event, apc_routine, io_status, buffer, length, information_class,
                        single_entry, file_name, restart, KernelMode);
}

NTSTATUS ZwQueryVolumeInformationFile(HANDLE file, PIO_STATUS_BLOCK io_status, PVOID buffer,
                                      ULONG length, FS_INFORMATION_CLASS information_class) {
  return QueryVolume(file, io_status, buffer, length, information_class, KernelMode);
}

namespace nt {

ACCESS_MASK SetInformationAccess(FILE_INFORMATION_CLASS information_class) {
  switch (information_class) {
    case FileBasicInformation:
      return FILE_WRITE_ATTRIBUTES;
    case FileDispositionInformation:
    case FileRenameInformation:
      return DELETE;
    case FileAllocationInformation:
    case FileEndOfFileInformation:
      return FILE_WRITE_DATA;
    default:
      return 0;
  }
}

}  // namespace nt
