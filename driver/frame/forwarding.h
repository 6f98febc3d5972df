// How the driver's devices send requests on to the device below them, with or without looking
// at the outcome.
#pragma once

#include "driver/base/device_class.h"
#include "platform/nt/io_types.h"
#include "platform/nt/nt_types.h"

// Sends the request down unchanged (its stack location skipped).
NTSTATUS PassThrough(PDEVICE_OBJECT lower, PIRP irp);

// Copies the stack location to the next one, sets the completion wrapper for success, error and
// cancel, counts the request in flight on `device` and sends it to `lower`. The wrapper calls
// device->Completion(irp, context); unless that returns STATUS_MORE_PROCESSING_REQUIRED, it
// propagates the pending mark and uncounts the request. The request is marked pending and the
// call returns STATUS_PENDING, since its completion may be decided later in a worker thread.
NTSTATUS ForwardWithHook(KvDevice* device, PDEVICE_OBJECT lower, PIRP irp, PVOID context);

// From a completion: queues a work item on the critical work queue that calls
// device->PostProcess(irp, context, extra) in a system thread and then uncounts the request.
// Returns STATUS_MORE_PROCESSING_REQUIRED, which the completion returns; PostProcess completes
// the request. REQUIRES: IRQL <= DISPATCH_LEVEL.
NTSTATUS QueuePostProcessing(KvDevice* device, PIRP irp, PVOID context, PVOID extra);

// Sends the request down with a completion that signals an event and stops completion, waits,
// and returns the request's status; the caller completes the request.
// REQUIRES: PASSIVE_LEVEL.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp);
