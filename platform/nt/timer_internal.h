// The timer service of the running kernel. Internal to the kernel model.
#pragma once

#include "platform/nt/io_types.h"

namespace nt {

// Removes the device's timer, waiting for a tick that runs it. Called by IoDeleteDevice.
void RemoveDeviceTimer(PDEVICE_OBJECT device);

// Start the ticks, stop them for good (the machine's shutdown), and forget every timer.
// Called by nt::Kernel and the machine's shutdown.
void StartTimers();
void HaltTimers();
void StopTimers();

}  // namespace nt
