// What the parts of the kernel model know about the running nt::Kernel. Internal to the
// kernel model.
#pragma once

#include "platform/nt/nt_types.h"

namespace nt::kernel_internal {

// The running kernel's number (1 for the first of the program, then 2, ...), or 0 when no
// nt::Kernel exists. Threads compare it with the number they saw last to notice a new kernel.
ULONG Epoch();

// Stops the machine (PHASE0_INITIALIZATION_FAILED) when no kernel runs, naming `routine`:
// the routines that need the kernel's state call it first.
void RequireKernel(const char* routine);

constexpr ULONG PHASE0_INITIALIZATION_FAILED = 0x31;

}  // namespace nt::kernel_internal
