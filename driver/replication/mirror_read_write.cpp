#include "driver/replication/mirror_file.h"
#include "platform/nt/kernel.h"

namespace {

constexpr ULONG kSector = 512;

struct Transfer {
  PMDL mdl;
  PVOID buffer;
  ULONG length;
  LONGLONG offset;
  ULONG flags;
};

void FillTransfer(PIRP irp, PIO_STACK_LOCATION stack, PVOID context) {
  const auto* transfer = static_cast<Transfer*>(context);
  irp->MdlAddress = transfer->mdl;
  irp->UserBuffer = transfer->buffer;
  irp->Flags |= transfer->flags;
  stack->Parameters.Read.Length = transfer->length;
  stack->Parameters.Read.Key = 0;
  stack->Parameters.Read.ByteOffset.QuadPart = transfer->offset;
}

ULONG RoundUp(ULONG length) { return (length + kSector - 1) & ~(kSector - 1); }

}  // namespace

NTSTATUS MirrorFile::Read(PMDL mdl, PVOID buffer, ULONG* length, LONGLONG offset, bool cached) {
  const ULONG wanted = *length;
  Transfer transfer{mdl, buffer, cached ? wanted : RoundUp(wanted), offset,
                    IRP_READ_OPERATION | (cached ? 0u : IRP_NOCACHE)};
  ULONG_PTR information = 0;
  const NTSTATUS status = Send(IRP_MJ_READ, FillTransfer, &transfer, &information);
  *length = NT_SUCCESS(status) ? static_cast<ULONG>(information < wanted ? information : wanted)
                               : 0;
  return status;
}

NTSTATUS MirrorFile::Write(PMDL mdl, PVOID buffer, ULONG* length, LONGLONG offset, bool cached) {
  const ULONG wanted = *length;
  const bool rounded = !cached && wanted % kSector != 0;
  // A rounded transfer may move the end of file past the caller's bytes: remember it.
  const ULONGLONG sizeBefore = rounded ? QuerySize() : 0;
  if (rounded && sizeBefore == ~0ULL) return STATUS_UNSUCCESSFUL;
  Transfer transfer{mdl, buffer, cached ? wanted : RoundUp(wanted), offset,
                    IRP_WRITE_OPERATION | (cached ? 0u : IRP_NOCACHE)};
  ULONG_PTR information = 0;
  NTSTATUS status = Send(IRP_MJ_WRITE, FillTransfer, &transfer, &information);
  if (!NT_SUCCESS(status)) {
    *length = 0;
    return status;
  }
  *length = static_cast<ULONG>(information < wanted ? information : wanted);
  if (rounded) {
    const LONGLONG end = offset + wanted;
    FILE_END_OF_FILE_INFORMATION eof{};
    eof.EndOfFile.QuadPart =
        end > static_cast<LONGLONG>(sizeBefore) ? end : static_cast<LONGLONG>(sizeBefore);
    status = SetInfo(FileEndOfFileInformation, &eof, sizeof(eof));
  }
  return status;
}
