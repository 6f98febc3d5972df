#include "driver/replication/mirror_file.h"
#include "platform/nt/kernel.h"

namespace {

struct ControlRequest {
  ULONG code;
  PVOID input;
  ULONG inputLength;
};

void FillControl(PIRP irp, PIO_STACK_LOCATION stack, PVOID context) {
  const auto* request = static_cast<ControlRequest*>(context);
  stack->MinorFunction = IRP_MN_USER_FS_REQUEST;
  irp->AssociatedIrp.SystemBuffer = request->input;
  irp->Flags |= IRP_BUFFERED_IO;
  stack->Parameters.FileSystemControl.FsControlCode = request->code;
  stack->Parameters.FileSystemControl.InputBufferLength = request->inputLength;
  stack->Parameters.FileSystemControl.OutputBufferLength = 0;
}

}  // namespace

NTSTATUS MirrorFile::FsControl(ULONG code, PVOID input, ULONG inputLength) {
  ControlRequest request{code, input, inputLength};
  return Send(IRP_MJ_FILE_SYSTEM_CONTROL, FillControl, &request);
}
