#include "driver/base/driver_pool.h"
#include "driver/replication/mirror_file.h"
#include "platform/nt/kernel.h"

namespace {

constexpr ULONG kChunk = 65536;
constexpr LONGLONG kSameTime = 20'000'000;  // 2 seconds, in 100 ns units

}  // namespace

NTSTATUS CopyIfDifferent(MirrorFile& source, MirrorFile& mirror) {
  FILE_STANDARD_INFORMATION sourceStandard{};
  FILE_STANDARD_INFORMATION mirrorStandard{};
  NTSTATUS status =
      source.QueryInfo(FileStandardInformation, &sourceStandard, sizeof(sourceStandard));
  if (!NT_SUCCESS(status)) return status;
  status = mirror.QueryInfo(FileStandardInformation, &mirrorStandard, sizeof(mirrorStandard));
  if (!NT_SUCCESS(status)) return status;
  const LONGLONG size = sourceStandard.EndOfFile.QuadPart;
  if (size == 0) {
    if (mirrorStandard.EndOfFile.QuadPart == 0) return STATUS_SUCCESS;
    FILE_END_OF_FILE_INFORMATION empty{};
    return mirror.SetInfo(FileEndOfFileInformation, &empty, sizeof(empty));
  }
  FILE_BASIC_INFORMATION sourceBasic{};
  status = source.QueryInfo(FileBasicInformation, &sourceBasic, sizeof(sourceBasic));
  if (!NT_SUCCESS(status)) return status;
  if ((sourceBasic.FileAttributes &
       (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_SPARSE_FILE)) != 0) {
    return STATUS_UNSUCCESSFUL;
  }
  FILE_POSITION_INFORMATION position{};
  status = source.QueryInfo(FilePositionInformation, &position, sizeof(position));
  if (!NT_SUCCESS(status)) return status;
  if (size == mirrorStandard.EndOfFile.QuadPart) {
    FILE_BASIC_INFORMATION mirrorBasic{};
    if (NT_SUCCESS(mirror.QueryInfo(FileBasicInformation, &mirrorBasic, sizeof(mirrorBasic)))) {
      const LONGLONG difference =
          sourceBasic.LastWriteTime.QuadPart - mirrorBasic.LastWriteTime.QuadPart;
      if (difference <= kSameTime && difference >= -kSameTime) return STATUS_SUCCESS;
    }
  }
  FILE_ALLOCATION_INFORMATION allocation{};
  allocation.AllocationSize.QuadPart = size;
  status = mirror.SetInfo(FileAllocationInformation, &allocation, sizeof(allocation));
  if (!NT_SUCCESS(status)) return status;

  auto* buffer = DriverAllocate(kChunk);
  PMDL mdl = IoAllocateMdl(buffer, kChunk, FALSE, FALSE, nullptr);
  if (mdl == nullptr) {
    DriverFree(buffer);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  MmBuildMdlForNonPagedPool(mdl);
  for (LONGLONG offset = 0; offset < size && NT_SUCCESS(status);) {
    const LONGLONG remaining = size - offset;
    ULONG length = remaining <= kChunk ? static_cast<ULONG>(remaining) : kChunk;
    status = source.Read(mdl, buffer, &length, offset, false);
    if (!NT_SUCCESS(status)) break;
    if (length == 0) {  // the source shrank meanwhile: what it still holds is copied
      break;
    }
    ULONG written = length;
    status = mirror.Write(mdl, buffer, &written, offset, false);
    offset += length;
  }
  IoFreeMdl(mdl);
  DriverFree(buffer);
  if (NT_SUCCESS(status)) {
    FILE_END_OF_FILE_INFORMATION end{};
    end.EndOfFile.QuadPart = size;
    status = mirror.SetInfo(FileEndOfFileInformation, &end, sizeof(end));
  }
  if (NT_SUCCESS(status)) {
    status = mirror.SetInfo(FileBasicInformation, &sourceBasic, sizeof(sourceBasic));
  }
  const NTSTATUS restored = source.SetInfo(FilePositionInformation, &position, sizeof(position));
  return NT_SUCCESS(status) ? restored : status;
}
