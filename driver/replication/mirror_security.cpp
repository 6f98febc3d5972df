#include "driver/replication/mirror_file.h"
#include "platform/nt/kernel.h"

namespace {

struct SecurityRequest {
  SECURITY_INFORMATION information;
  PSECURITY_DESCRIPTOR descriptor;
};

void FillSecurity(PIRP, PIO_STACK_LOCATION stack, PVOID context) {
  const auto* request = static_cast<SecurityRequest*>(context);
  stack->Parameters.SetSecurity.SecurityInformation = request->information;
  stack->Parameters.SetSecurity.SecurityDescriptor = request->descriptor;
}

}  // namespace

NTSTATUS MirrorFile::SetSecurity(SECURITY_INFORMATION information,
                                 PSECURITY_DESCRIPTOR descriptor) {
  SecurityRequest request{information, descriptor};
  return Send(IRP_MJ_SET_SECURITY, FillSecurity, &request);
}
