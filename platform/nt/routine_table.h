// Finding kernel routines by name at run time. The machine's routine table lists the exported
// routines of the model with the first version that has them; a routine the configured
// version lacks (IoAttachDeviceToDeviceStackSafe before 5.1, PsDereferencePrimaryToken before
// 5.0), or one a test hid with nt::MachineControl::HideRoutine, is not found.
#pragma once

#include "platform/nt/nt_types.h"
#include "platform/nt/unicode_string.h"

// The routine's address, or null. Names are compared with case, as exports are.
// REQUIRES: PASSIVE_LEVEL.
PVOID MmGetSystemRoutineAddress(PUNICODE_STRING name);

namespace nt {

// Internal to the kernel model: shows every routine again. Called by nt::Kernel.
void ResetRoutineTable();

}  // namespace nt
