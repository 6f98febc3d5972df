#include "driver/base/kernel_routines.h"

#include "platform/nt/objects.h"
#include "platform/nt/routine_table.h"
#include "platform/nt/unicode_string.h"

namespace {

KernelRoutines routines;

template <typename T>
void LookUp(PCWSTR name, T* routine) {
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, name);
  *routine = reinterpret_cast<T>(MmGetSystemRoutineAddress(&text));
}

}  // namespace

void LookUpKernelRoutines() {
  LookUp(u"IoAttachDeviceToDeviceStackSafe", &routines.attachDeviceToDeviceStackSafe);
  LookUp(u"PsDereferencePrimaryToken", &routines.dereferencePrimaryToken);
  LookUp(u"PsDereferenceImpersonationToken", &routines.dereferenceImpersonationToken);
}

const KernelRoutines& OptionalRoutines() { return routines; }

void DereferenceClientToken(PACCESS_TOKEN token, TOKEN_TYPE type) {
  auto dereference = type == TokenPrimary ? routines.dereferencePrimaryToken
                                          : routines.dereferenceImpersonationToken;
  if (dereference != nullptr) {
    dereference(token);
  } else {
    ObfDereferenceObject(token);
  }
}
