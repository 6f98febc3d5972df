// Starting and stopping the system worker threads. Internal to the kernel model.
#pragma once

namespace nt {

// Starts the worker threads (in the System process). Called by nt::Kernel.
void StartWorkQueues();
// Runs what is queued, then stops the threads; later items are not run. Called by the
// machine's shutdown and by nt::Kernel.
void StopWorkQueues();
// Stops the threads if they run and forgets the queues. Called by nt::Kernel.
void DestroyWorkQueues();

}  // namespace nt
