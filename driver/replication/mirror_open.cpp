#include "driver/replication/mirror_file.h"
#include "platform/nt/kernel.h"

namespace {

constexpr ULONG kAllSharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Object attributes of a full path, case-insensitive, for a kernel handle.
struct PathAttributes {
  explicit PathAttributes(std::u16string_view path, PSECURITY_DESCRIPTOR descriptor = nullptr) {
    const SIZE_T bytes = path.size() * sizeof(WCHAR);
    valid = bytes <= 0xFFFE;
    name = UNICODE_STRING{static_cast<USHORT>(valid ? bytes : 0),
                          static_cast<USHORT>(valid ? bytes : 0), const_cast<WCHAR*>(path.data())};
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, descriptor);
  }
  UNICODE_STRING name;
  OBJECT_ATTRIBUTES attributes;
  bool valid;
};

NTSTATUS OpenPath(std::u16string_view path, ACCESS_MASK access, ULONG options, ULONG sharing,
                  HANDLE* handle) {
  PathAttributes object(path);
  if (!object.valid) return STATUS_NAME_TOO_LONG;
  IO_STATUS_BLOCK io{};
  return ZwOpenFile(handle, access, &object.attributes, &io, sharing, options);
}

}  // namespace

NTSTATUS ClearReadOnly(std::u16string_view fullPath) {
  HANDLE handle;
  NTSTATUS status = OpenPath(fullPath, SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                             FILE_SYNCHRONOUS_IO_NONALERT, kAllSharing, &handle);
  if (!NT_SUCCESS(status)) return status;
  FILE_BASIC_INFORMATION basic{};
  IO_STATUS_BLOCK io{};
  status = ZwQueryInformationFile(handle, &io, &basic, sizeof(basic), FileBasicInformation);
  if (NT_SUCCESS(status) && (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    FILE_BASIC_INFORMATION cleared{};
    cleared.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    status = ZwSetInformationFile(handle, &io, &cleared, sizeof(cleared), FileBasicInformation);
  }
  ZwClose(handle);
  return status;
}

NTSTATUS DeleteByPath(std::u16string_view fullPath) {
  HANDLE handle;
  const NTSTATUS status =
      OpenPath(fullPath, DELETE | SYNCHRONIZE, FILE_DELETE_ON_CLOSE | FILE_SYNCHRONOUS_IO_NONALERT,
               kAllSharing, &handle);
  if (NT_SUCCESS(status)) ZwClose(handle);
  return status;
}

NTSTATUS MirrorFile::Open(std::u16string_view fullPath, ACCESS_MASK access, ULONG options,
                          ULONG sharing) {
  HANDLE opened;
  NTSTATUS status = OpenPath(fullPath, access, options, sharing, &opened);
  if (!NT_SUCCESS(status) && (access & kModifyingAccess) != 0 &&
      NT_SUCCESS(ClearReadOnly(fullPath))) {
    status = OpenPath(fullPath, access, options, sharing, &opened);
  }
  if (!NT_SUCCESS(status)) return status;
  PVOID object;
  status = ObReferenceObjectByHandle(opened, access, *IoFileObjectType, KernelMode, &object,
                                     nullptr);
  if (!NT_SUCCESS(status)) {
    ZwClose(opened);
    return status;
  }
  handle = opened;
  fileObject = static_cast<PFILE_OBJECT>(object);
  path = DriverString(fullPath);
  return STATUS_SUCCESS;
}

NTSTATUS MirrorFile::OpenOrCreate(std::u16string_view fullPath, ACCESS_MASK access,
                                  ULONG disposition, ULONG options, ULONG attributes,
                                  ULONG sharing, PSECURITY_DESCRIPTOR descriptor,
                                  LONGLONG allocationSize) {
  PathAttributes object(fullPath, descriptor);
  if (!object.valid) return STATUS_NAME_TOO_LONG;
  LARGE_INTEGER allocation;
  allocation.QuadPart = allocationSize;
  IO_STATUS_BLOCK io{};
  HANDLE opened;
  NTSTATUS status = ZwCreateFile(&opened, access, &object.attributes, &io, &allocation, attributes,
                                 sharing, disposition, options, nullptr, 0);
  if (!NT_SUCCESS(status)) {
    const NTSTATUS cleared = ClearReadOnly(fullPath);
    if (!NT_SUCCESS(cleared)) return cleared;
    status = ZwCreateFile(&opened, access, &object.attributes, &io, &allocation, attributes,
                          sharing, disposition == FILE_CREATE ? FILE_OPEN_IF : disposition,
                          options, nullptr, 0);
    if (!NT_SUCCESS(status)) return status;
  }
  PVOID file;
  status = ObReferenceObjectByHandle(opened, access, *IoFileObjectType, KernelMode, &file, nullptr);
  if (!NT_SUCCESS(status)) {
    ZwClose(opened);
    return status;
  }
  handle = opened;
  fileObject = static_cast<PFILE_OBJECT>(file);
  path = DriverString(fullPath);
  return STATUS_SUCCESS;
}

void MirrorFile::Close() {
  if (fileObject == nullptr) return;
  PFILE_OBJECT file = fileObject;
  fileObject = nullptr;
  if (handle != nullptr) {
    // The alias put the volume's parameter block there for the file system; without it the
    // cleanup and close of the handle come back through the alias, below the filter.
    file->Vpb = nullptr;
    ObDereferenceObject(file);
    ZwClose(handle);
    handle = nullptr;
  } else {
    ObDereferenceObject(file);
  }
}
