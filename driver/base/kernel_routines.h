// Kernel routines the driver looks up by name at start, because older systems lack them.
#pragma once

#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"
#include "platform/nt/security.h"

struct KernelRoutines {
  NTSTATUS (*attachDeviceToDeviceStackSafe)(PDEVICE_OBJECT source, PDEVICE_OBJECT target,
                                            PDEVICE_OBJECT* attachedTo);
  void (*dereferencePrimaryToken)(PACCESS_TOKEN token);
  void (*dereferenceImpersonationToken)(PACCESS_TOKEN token);
};

// Looks the routines up with MmGetSystemRoutineAddress; a missing one stays null.
// REQUIRES: PASSIVE_LEVEL.
void LookUpKernelRoutines();
const KernelRoutines& OptionalRoutines();

// Releases a client token: with the dereference routine of its type when the system has it,
// else as a plain object reference.
void DereferenceClientToken(PACCESS_TOKEN token, TOKEN_TYPE type);
