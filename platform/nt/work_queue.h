// System worker threads. Work items queued with ExQueueWorkItem run on worker threads of the
// System process, at PASSIVE_LEVEL, in the order queued within each queue. The critical queue
// has five threads, the delayed queue three and the hypercritical queue one, so that items of
// one queue may wait for each other as they may on the platform.
#pragma once

#include "platform/nt/list_entry.h"
#include "platform/nt/nt_types.h"

enum WORK_QUEUE_TYPE { CriticalWorkQueue = 0, DelayedWorkQueue = 1, HyperCriticalWorkQueue = 2 };

using PWORKER_THREAD_ROUTINE = void (*)(PVOID parameter);

// The caller owns the item; the queue uses List while the item waits. The item may be freed
// or queued again by its own routine.
struct WORK_QUEUE_ITEM {
  LIST_ENTRY List;
  PWORKER_THREAD_ROUTINE WorkerRoutine;
  PVOID Parameter;
};
using PWORK_QUEUE_ITEM = WORK_QUEUE_ITEM*;

inline void ExInitializeWorkItem(PWORK_QUEUE_ITEM item, PWORKER_THREAD_ROUTINE routine,
                                 PVOID parameter) {
  item->WorkerRoutine = routine;
  item->Parameter = parameter;
  item->List.Flink = nullptr;
}

// REQUIRES: IRQL <= DISPATCH_LEVEL; a running nt::Kernel; the item initialized and not
// already queued (else WORKER_INVALID). The routine must return at PASSIVE_LEVEL outside any
// critical region (else WORKER_THREAD_RETURNED_AT_BAD_IRQL or APC_INDEX_MISMATCH). Items
// queued after the machine shut down never run.
void ExQueueWorkItem(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE queue);

constexpr ULONG WORKER_THREAD_RETURNED_AT_BAD_IRQL = 0xE1;
constexpr ULONG WORKER_INVALID = 0xE4;

namespace nt {

class WorkQueueControl {
 public:
  // Blocks until every queue is empty and no item runs, items queued by items included.
  // REQUIRES: not called from a worker thread.
  static void WaitIdle();
};

// Queues `item` when worker threads run; false when none do (no kernel, or shut down).
// Internal to the kernel model.
bool TryQueueWorkItem(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE queue);

}  // namespace nt
