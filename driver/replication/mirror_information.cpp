#include <cstring>

#include "driver/replication/mirror_file.h"
#include "platform/nt/kernel.h"

NTSTATUS MirrorFile::Send(UCHAR major, FillRequest fill, PVOID context, ULONG_PTR* information) {
  if (device == nullptr || fileObject == nullptr) return STATUS_INVALID_HANDLE;
  return SendAliasRequest(device, fileObject, major, fill, context, information);
}

NTSTATUS MirrorFile::QueryInfo(FILE_INFORMATION_CLASS informationClass, PVOID buffer,
                               ULONG length) {
  if (device == nullptr || fileObject == nullptr) return STATUS_INVALID_HANDLE;
  return QueryAliasInformation(device, fileObject, informationClass, buffer, length);
}

NTSTATUS MirrorFile::SetInfo(FILE_INFORMATION_CLASS informationClass, PVOID buffer, ULONG length,
                             PFILE_OBJECT targetDirectory) {
  if (device == nullptr || fileObject == nullptr) return STATUS_INVALID_HANDLE;
  return SetAliasInformation(device, fileObject, informationClass, buffer, length,
                             targetDirectory);
}

NTSTATUS MirrorFile::Delete(bool deleteFile) {
  FILE_DISPOSITION_INFORMATION disposition{static_cast<BOOLEAN>(deleteFile)};
  NTSTATUS status = SetInfo(FileDispositionInformation, &disposition, sizeof(disposition));
  if (NT_SUCCESS(status)) return status;
  FILE_BASIC_INFORMATION basic{};
  basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (!NT_SUCCESS(SetInfo(FileBasicInformation, &basic, sizeof(basic)))) return status;
  return SetInfo(FileDispositionInformation, &disposition, sizeof(disposition));
}

ULONGLONG MirrorFile::QuerySize() {
  FILE_STANDARD_INFORMATION standard{};
  if (!NT_SUCCESS(QueryInfo(FileStandardInformation, &standard, sizeof(standard)))) {
    return ~0ULL;
  }
  return static_cast<ULONGLONG>(standard.EndOfFile.QuadPart);
}
