// The one-second device timer. A driver gives a device one timer routine; once started, it runs
// every second of the machine clock at DISPATCH_LEVEL, as the platform's timer DPC would: all
// devices' timers tick together, on the whole seconds since the kernel started (or since the
// clock was last set). On a virtual clock the ticks run on the thread that advances the clock,
// one per second passed, in order; on the host's clock a thread of the kernel runs them.
#pragma once

#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"

// REQUIRES: PASSIVE_LEVEL; the device has no timer yet (else STATUS_INVALID_PARAMETER).
NTSTATUS IoInitializeTimer(PDEVICE_OBJECT device, PIO_TIMER_ROUTINE routine, PVOID context);
// Any IRQL up to DISPATCH_LEVEL, from a timer routine too.
void IoStartTimer(PDEVICE_OBJECT device);
void IoStopTimer(PDEVICE_OBJECT device);
