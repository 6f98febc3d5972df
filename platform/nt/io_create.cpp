#include <atomic>
#include <cstring>

#include "platform/nt/access_rights.h"
#include "platform/nt/device.h"
#include "platform/nt/file_io.h"
#include "platform/nt/file_object.h"
#include "platform/nt/file_requests.h"
#include "platform/nt/fs_registration.h"
#include "platform/nt/handles.h"
#include "platform/nt/io_internal.h"
#include "platform/nt/irql.h"
#include "platform/nt/kernel_internal.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"
#include "platform/nt/pool.h"

namespace {

constexpr ULONG kFileNameTag = PoolTag('I', 'o', 'N', 'm');

// What a create asks of the device that parses the rest of its name.
struct OpenPacket {
  ACCESS_MASK desired_access;
  ULONG file_attributes;
  ULONG share_access;
  ULONG disposition;
  ULONG options;
  PLARGE_INTEGER allocation_size;
  PVOID ea_buffer;
  ULONG ea_length;
  ULONG_PTR information;  // out: the driver's Information
  bool target_directory;  // open the folder that would hold the name (renames and links)
  PVOID security_descriptor;  // for a file the create makes
};

ULONG FileFlagsFor(ULONG options, ULONG attributes) {
  ULONG flags = 0;
  if ((options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0) {
    flags |= FO_SYNCHRONOUS_IO;
  }
  if ((options & FILE_SYNCHRONOUS_IO_ALERT) != 0) flags |= FO_ALERTABLE_IO;
  if ((options & FILE_NO_INTERMEDIATE_BUFFERING) != 0) flags |= FO_NO_INTERMEDIATE_BUFFERING;
  if ((options & FILE_WRITE_THROUGH) != 0) flags |= FO_WRITE_THROUGH;
  if ((options & FILE_SEQUENTIAL_ONLY) != 0) flags |= FO_SEQUENTIAL_ONLY;
  if ((options & FILE_RANDOM_ACCESS) != 0) flags |= FO_RANDOM_ACCESS;
  if ((attributes & OBJ_CASE_INSENSITIVE) == 0) flags |= FO_OPENED_CASE_SENSITIVE;
  return flags;
}

// A file object for an open of `device` (with the mounted `vpb`, if any) that its create has
// not reached yet. Null when the pool fails.
PFILE_OBJECT NewFileObject(PDEVICE_OBJECT device, PVPB vpb, std::u16string_view name,
                           PFILE_OBJECT related, ULONG flags) {
  auto* file = static_cast<PFILE_OBJECT>(nt::CreateObject(*IoFileObjectType, sizeof(FILE_OBJECT)));
  if (file == nullptr) return nullptr;
  file->Type = IO_TYPE_FILE;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  ObfReferenceObject(device);
  file->Vpb = vpb;
  file->Flags = flags;
  KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
  if (related != nullptr) {
    file->RelatedFileObject = related;
    ObfReferenceObject(related);
  }
  if (!name.empty()) {
    const SIZE_T bytes = name.size() * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(NonPagedPool, bytes + sizeof(WCHAR), kFileNameTag));
    if (buffer == nullptr) {
      ObfDereferenceObject(file);
      return nullptr;
    }
    std::memcpy(buffer, name.data(), bytes);
    buffer[name.size()] = 0;
    file->FileName = UNICODE_STRING{static_cast<USHORT>(bytes),
                                    static_cast<USHORT>(bytes + sizeof(WCHAR)), buffer};
  }
  return file;
}

// Opens `remaining` below `device` (relative to `related` when given): IopParseDevice.
NTSTATUS OpenOnDevice(PDEVICE_OBJECT device, PVPB related_vpb, std::u16string_view remaining,
                      PFILE_OBJECT related, nt::ParseContext* context, PVOID* result,
                      std::u16string* reparse) {
  auto* packet = static_cast<OpenPacket*>(context->open_packet);
  if (packet == nullptr) return STATUS_OBJECT_TYPE_MISMATCH;
  if (remaining.size() * sizeof(WCHAR) > 0xFFFC) return STATUS_OBJECT_NAME_INVALID;
  // Drivers and deletions change these flags while opens run.
  const ULONG device_flags = std::atomic_ref<ULONG>(device->Flags).load();
  if ((device_flags & DO_DEVICE_INITIALIZING) != 0 ||
      (std::atomic_ref<ULONG>(device->DeviceObjectExtension->ExtensionFlags).load() &
       DOE_DELETE_PENDING) != 0) {
    return STATUS_NO_SUCH_DEVICE;
  }
  if (related == nullptr && (device_flags & DO_EXCLUSIVE) != 0 &&
      std::atomic_ref<LONG>(device->ReferenceCount).load() != 0) {
    return STATUS_ACCESS_DENIED;
  }
  PVPB vpb = related_vpb;
  if (related == nullptr && device->Vpb != nullptr) {
    // The first access to a storage device mounts a file system on it.
    const NTSTATUS mounted = nt::MountVolume(device);
    if (!NT_SUCCESS(mounted)) return mounted;
    vpb = device->Vpb;
  }
  PFILE_OBJECT file = NewFileObject(device, vpb, remaining, related,
                                    FileFlagsFor(packet->options, context->attributes));
  if (file == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  ACCESS_STATE access{};
  access.OriginalDesiredAccess = packet->desired_access;
  access.RemainingDesiredAccess = packet->desired_access;
  access.SecurityDescriptor = packet->security_descriptor;
  SeCaptureSubjectContext(&access.SubjectSecurityContext);
  IO_SECURITY_CONTEXT security{nullptr, &access, packet->desired_access, packet->options};
  ULONG_PTR information = 0;
  const NTSTATUS status = nt::SendFileRequest(
      file, IRP_MJ_CREATE, IRP_CREATE_OPERATION | IRP_DEFER_IO_COMPLETION, false,
      [&](PIRP irp, PIO_STACK_LOCATION stack) {
        irp->RequestorMode = context->mode;
        irp->Overlay.AllocationSize.QuadPart =
            packet->allocation_size != nullptr ? packet->allocation_size->QuadPart : 0;
        irp->AssociatedIrp.SystemBuffer = packet->ea_buffer;
        if ((context->attributes & OBJ_CASE_INSENSITIVE) == 0) stack->Flags |= SL_CASE_SENSITIVE;
        if (packet->target_directory) stack->Flags |= SL_OPEN_TARGET_DIRECTORY;
        stack->Parameters.Create.SecurityContext = &security;
        stack->Parameters.Create.Options =
            (packet->disposition << 24) | (packet->options & FILE_VALID_OPTION_FLAGS);
        stack->Parameters.Create.FileAttributes = static_cast<USHORT>(packet->file_attributes);
        stack->Parameters.Create.ShareAccess = static_cast<USHORT>(packet->share_access);
        stack->Parameters.Create.EaLength = packet->ea_length;
      },
      &information);
  SeReleaseSubjectContext(&access.SubjectSecurityContext);
  packet->information = information;
  if (status == STATUS_REPARSE) {
    reparse->assign(file->FileName.Buffer != nullptr ? file->FileName.Buffer : u"",
                    file->FileName.Length / sizeof(WCHAR));
    ObfDereferenceObject(file);
    return STATUS_REPARSE;
  }
  if (!NT_SUCCESS(status)) {
    ObfDereferenceObject(file);
    return status;
  }
  nt::HeaderOf(file)->flags.fetch_or(nt::kFileOpened);
  file->Flags |= FO_FILE_OPEN;
  std::atomic_ref<LONG>(device->ReferenceCount).fetch_add(1);
  if (vpb != nullptr) {
    std::atomic_ref<ULONG>(vpb->ReferenceCount).fetch_add(1);
    nt::HeaderOf(file)->flags.fetch_or(nt::kFileVpbReferenced);
  }
  *result = file;
  return status;
}

NTSTATUS CreateFile(PHANDLE handle, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                    PIO_STATUS_BLOCK io_status, PLARGE_INTEGER allocation_size,
                    ULONG file_attributes, ULONG share_access, ULONG disposition, ULONG options,
                    PVOID ea_buffer, ULONG ea_length, KPROCESSOR_MODE mode,
                    bool target_directory = false, PVOID root_object = nullptr) {
  nt::kernel_internal::RequireKernel("ZwCreateFile");
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(handle), KeGetCurrentIrql(),
                 0, 0);
  }
  if (handle == nullptr || io_status == nullptr || attributes == nullptr ||
      attributes->ObjectName == nullptr) {
    return STATUS_ACCESS_VIOLATION;
  }
  const ULONG synchronous = options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT);
  const ACCESS_MASK access = nt::MapAccess(*IoFileObjectType, desired_access);
  if (disposition > FILE_MAXIMUM_DISPOSITION || (options & ~FILE_VALID_OPTION_FLAGS) != 0 ||
      synchronous == (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT) ||
      (synchronous != 0 && (access & SYNCHRONIZE) == 0) ||
      (options & (FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE)) ==
          (FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE) ||
      (share_access & ~FILE_SHARE_VALID_FLAGS) != 0 || (ea_length != 0 && ea_buffer == nullptr)) {
    return STATUS_INVALID_PARAMETER;
  }
  PVOID root = root_object;
  if (root != nullptr) ObfReferenceObject(root);
  if (root == nullptr && attributes->RootDirectory != nullptr) {
    const NTSTATUS status =
        ObReferenceObjectByHandle(attributes->RootDirectory, 0, nullptr, mode, &root, nullptr);
    if (!NT_SUCCESS(status)) return status;
  }
  OpenPacket packet{access,          file_attributes, share_access, disposition, options,
                    allocation_size, ea_buffer,       ea_length,    0,
                    target_directory, attributes->SecurityDescriptor};
  nt::ParseContext context;
  context.mode = mode;
  context.attributes = attributes->Attributes;
  context.expected_type = *IoFileObjectType;
  context.open_packet = &packet;
  const UNICODE_STRING& name = *attributes->ObjectName;
  PVOID file = nullptr;
  NTSTATUS status = nt::LookupObject(
      std::u16string_view(name.Buffer, name.Length / sizeof(WCHAR)), root, &context, &file);
  if (root != nullptr) ObfDereferenceObject(root);
  if (NT_SUCCESS(status)) {
    std::atomic_ref<ULONG> flags(static_cast<PFILE_OBJECT>(file)->Flags);
    flags.fetch_or(FO_HANDLE_CREATED);
    const NTSTATUS handle_status =
        nt::CreateHandle(file, access, attributes->Attributes, mode, handle);
    if (!NT_SUCCESS(handle_status)) {
      flags.fetch_and(~FO_HANDLE_CREATED);
      status = handle_status;
      packet.information = 0;
    }
    ObfDereferenceObject(file);
  }
  io_status->Status = status;
  io_status->Information = packet.information;
  return status;
}

}  // namespace

NTSTATUS ZwCreateFile(PHANDLE handle, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                      PIO_STATUS_BLOCK io_status, PLARGE_INTEGER allocation_size,
                      ULONG file_attributes, ULONG share_access, ULONG disposition,
                      ULONG options, PVOID ea_buffer, ULONG ea_length) {
  return CreateFile(handle, desired_access, attributes, io_status, allocation_size,
                    file_attributes, share_access, disposition, options, ea_buffer, ea_length,
                    KernelMode);
}

NTSTATUS NtCreateFile(PHANDLE handle, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                      PIO_STATUS_BLOCK io_status, PLARGE_INTEGER allocation_size,
                      ULONG file_attributes, ULONG share_access, ULONG disposition,
                      ULONG options, PVOID ea_buffer, ULONG ea_length) {
  return CreateFile(handle, desired_access, attributes, io_status, allocation_size,
                    file_attributes, share_access, disposition, options, ea_buffer, ea_length,
                    UserMode);
}

NTSTATUS ZwOpenFile(PHANDLE handle, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                    PIO_STATUS_BLOCK io_status, ULONG share_access, ULONG options) {
  return ZwCreateFile(handle, desired_access, attributes, io_status, nullptr, 0, share_access,
                      FILE_OPEN, options, nullptr, 0);
}

NTSTATUS NtOpenFile(PHANDLE handle, ACCESS_MASK desired_access, POBJECT_ATTRIBUTES attributes,
                    PIO_STATUS_BLOCK io_status, ULONG share_access, ULONG options) {
  return NtCreateFile(handle, desired_access, attributes, io_status, nullptr, 0, share_access,
                      FILE_OPEN, options, nullptr, 0);
}

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING name, ACCESS_MASK desired_access,
                                  PFILE_OBJECT* file_out, PDEVICE_OBJECT* device_out) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle;
  IO_STATUS_BLOCK io_status;
  NTSTATUS status = ZwOpenFile(&handle, desired_access, &attributes, &io_status, 0,
                               FILE_NON_DIRECTORY_FILE);
  if (!NT_SUCCESS(status)) return status;
  PVOID file;
  status = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &file, nullptr);
  if (NT_SUCCESS(status)) {
    *file_out = static_cast<PFILE_OBJECT>(file);
    *device_out = IoGetRelatedDeviceObject(*file_out);
  }
  ZwClose(handle);
  return status;
}

namespace nt {

NTSTATUS OpenTargetDirectory(std::u16string_view name, PFILE_OBJECT root, PHANDLE handle,
                             PFILE_OBJECT* directory, bool* exists) {
  UNICODE_STRING text{static_cast<USHORT>(name.size() * sizeof(WCHAR)),
                      static_cast<USHORT>(name.size() * sizeof(WCHAR)),
                      const_cast<PWSTR>(name.data())};
  if (name.size() * sizeof(WCHAR) > 0xFFFC) return STATUS_OBJECT_NAME_INVALID;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  IO_STATUS_BLOCK io_status{};
  NTSTATUS status = CreateFile(handle, FILE_WRITE_DATA | SYNCHRONIZE, &attributes, &io_status,
                               nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                               FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0, KernelMode, true, root);
  if (!NT_SUCCESS(status)) return status;
  PVOID object;
  status = ObReferenceObjectByHandle(*handle, 0, *IoFileObjectType, KernelMode, &object, nullptr);
  if (!NT_SUCCESS(status)) {
    ZwClose(*handle);
    return status;
  }
  *directory = static_cast<PFILE_OBJECT>(object);
  *exists = io_status.Information == FILE_EXISTS;
  return STATUS_SUCCESS;
}

NTSTATUS ParseDevice(PVOID device, std::u16string_view remaining, ParseContext* context,
                     PVOID* result, std::u16string* reparse) {
  return OpenOnDevice(static_cast<PDEVICE_OBJECT>(device), nullptr, remaining, nullptr, context,
                      result, reparse);
}

NTSTATUS ParseFile(PVOID object, std::u16string_view remaining, ParseContext* context,
                   PVOID* result, std::u16string* reparse) {
  auto* related = static_cast<PFILE_OBJECT>(object);
  return OpenOnDevice(related->DeviceObject, related->Vpb, remaining, related, context, result,
                      reparse);
}

}  // namespace nt
