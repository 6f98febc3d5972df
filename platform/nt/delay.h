// Putting the current thread to sleep for an interval.
#pragma once

#include "platform/nt/nt_types.h"

// A negative interval is relative, in 100 ns units; a positive one is an absolute system time.
// REQUIRES: IRQL <= APC_LEVEL.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE wait_mode, BOOLEAN alertable,
                                PLARGE_INTEGER interval);
