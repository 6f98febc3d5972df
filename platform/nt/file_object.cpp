#include "platform/nt/file_object.h"

#include <atomic>
#include <string>
#include <vector>

#include "platform/nt/device.h"
#include "platform/nt/io_internal.h"
#include "platform/nt/irp.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_header.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/pool.h"

namespace {

constexpr ULONG kNameQueryTag = PoolTag('I', 'o', 'N', 'q');
constexpr ULONG kFirstNameQuery = 512;
constexpr ULONG kLongestNameQuery = sizeof(FILE_NAME_INFORMATION) + 0x10000;

bool Opened(PFILE_OBJECT file) {
  return (nt::HeaderOf(file)->flags.load() & nt::kFileOpened) != 0;
}

// The last handle went: cancel what is pending on the file, then let its drivers clean up.
void CloseFile(PVOID object, ULONG remaining) {
  auto* file = static_cast<PFILE_OBJECT>(object);
  if (remaining != 0 || !Opened(file)) return;
  nt::CancelFileIrps(file, nullptr);
  ULONG_PTR information;
  nt::SendFileRequest(file, IRP_MJ_CLEANUP, IRP_CLOSE_OPERATION, true,
                      [](PIRP, PIO_STACK_LOCATION) {}, &information);
  std::atomic_ref<ULONG>(file->Flags).fetch_or(FO_CLEANUP_COMPLETE);
}

// The last reference went: let its drivers close it, then release what it holds.
void DeleteFile(PVOID object) {
  auto* file = static_cast<PFILE_OBJECT>(object);
  if (Opened(file)) {
    ULONG_PTR information;
    nt::SendFileRequest(file, IRP_MJ_CLOSE, IRP_CLOSE_OPERATION, true,
                        [](PIRP, PIO_STACK_LOCATION) {}, &information);
    std::atomic_ref<LONG>(file->DeviceObject->ReferenceCount).fetch_sub(1);
    if (file->Vpb != nullptr && (nt::HeaderOf(file)->flags.load() & nt::kFileVpbReferenced) != 0) {
      std::atomic_ref<ULONG>(file->Vpb->ReferenceCount).fetch_sub(1);
    }
  }
  if (file->FileName.Buffer != nullptr) ExFreePool(file->FileName.Buffer);
  if (file->RelatedFileObject != nullptr) ObfDereferenceObject(file->RelatedFileObject);
  ObfDereferenceObject(file->DeviceObject);
}

// Asks the file's drivers for its path on the volume.
NTSTATUS QueryPath(PFILE_OBJECT file, std::u16string* path) {
  for (ULONG length = kFirstNameQuery; length <= kLongestNameQuery; length *= 2) {
    auto* buffer = static_cast<PFILE_NAME_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPool, length, kNameQueryTag));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG_PTR information = 0;
    const NTSTATUS status = nt::SendFileRequest(
        file, IRP_MJ_QUERY_INFORMATION, 0, false,
        [buffer, length](PIRP irp, PIO_STACK_LOCATION stack) {
          irp->AssociatedIrp.SystemBuffer = buffer;
          stack->Parameters.QueryFile.Length = length;
          stack->Parameters.QueryFile.FileInformationClass = FileNameInformation;
        },
        &information);
    if (NT_SUCCESS(status)) {
      const ULONG bytes = buffer->FileNameLength;
      const ULONG room = length - offsetof(FILE_NAME_INFORMATION, FileName);
      if (bytes <= room && information <= length) {
        path->assign(buffer->FileName, bytes / sizeof(WCHAR));
        ExFreePoolWithTag(buffer, kNameQueryTag);
        return STATUS_SUCCESS;
      }
    }
    ExFreePoolWithTag(buffer, kNameQueryTag);
    if (NT_SUCCESS(status)) return STATUS_INVALID_PARAMETER;
    if (status != STATUS_BUFFER_OVERFLOW) return status;
  }
  return STATUS_NAME_TOO_LONG;
}

NTSTATUS QueryFileName(PVOID object, std::u16string* name) {
  auto* file = static_cast<PFILE_OBJECT>(object);
  *name = nt::FullNameOf(file->DeviceObject);
  if (file->FileName.Length == 0 && file->RelatedFileObject == nullptr) return STATUS_SUCCESS;
  std::u16string path;
  const NTSTATUS status = QueryPath(file, &path);
  if (!NT_SUCCESS(status)) return status;
  name->append(path);
  return STATUS_SUCCESS;
}

OBJECT_TYPE file_type{u"File",
                      PoolTag('F', 'i', 'l', 'e'),
                      {STANDARD_RIGHTS_READ | 0x89 | SYNCHRONIZE,
                       STANDARD_RIGHTS_WRITE | 0x116 | SYNCHRONIZE,
                       STANDARD_RIGHTS_EXECUTE | 0xA0 | SYNCHRONIZE,
                       STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF},
                      DeleteFile,
                      CloseFile,
                      nt::ParseFile,
                      QueryFileName,
                      true};
POBJECT_TYPE file_type_pointer = &file_type;

}  // namespace

POBJECT_TYPE* IoFileObjectType = &file_type_pointer;

namespace nt {

void AcquireFileLock(PFILE_OBJECT file) {
  std::atomic_ref<ULONG> busy(file->Busy);
  std::atomic_ref<ULONG> waiters(file->Waiters);
  for (;;) {
    if (busy.exchange(TRUE) == FALSE) return;
    waiters.fetch_add(1);
    if (busy.exchange(TRUE) == FALSE) {
      waiters.fetch_sub(1);
      return;
    }
    KeWaitForSingleObject(&file->Lock, Executive, KernelMode, FALSE, nullptr);
    waiters.fetch_sub(1);
  }
}

void ReleaseFileLock(PFILE_OBJECT file) {
  std::atomic_ref<ULONG>(file->Busy).store(FALSE);
  if (std::atomic_ref<ULONG>(file->Waiters).load() != 0) KeSetEvent(&file->Lock, 0, FALSE);
}

}  // namespace nt
