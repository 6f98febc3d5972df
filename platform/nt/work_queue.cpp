#include "platform/nt/work_queue.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/nt/irql.h"
#include "platform/nt/kernel_internal.h"
#include "platform/nt/objects.h"
#include "platform/nt/process_internal.h"
#include "platform/nt/thread_state.h"
#include "platform/nt/work_queue_internal.h"

namespace {

constexpr int kQueues = 3;
constexpr int kThreadsPerQueue[kQueues] = {5, 3, 1};

// Parameter 1 of WORKER_INVALID for an item queued while it waits in a queue.
constexpr ULONG_PTR kAlreadyQueued = 0;

struct WorkQueues {
  std::mutex lock;
  std::condition_variable work[kQueues];
  std::condition_variable idle;
  LIST_ENTRY items[kQueues];
  ULONG pending = 0;  // queued or running
  bool accepting = true;
  bool stopping = false;
  std::vector<std::thread> threads;
};

// Exists while a kernel runs; written only while no other thread uses the kernel.
WorkQueues* queues = nullptr;

void CheckReturnState(PWORKER_THREAD_ROUTINE routine, PWORK_QUEUE_ITEM item) {
  const KTHREAD* thread = nt::CurrentThread();
  if (thread->irql != PASSIVE_LEVEL) {
    KeBugCheckEx(WORKER_THREAD_RETURNED_AT_BAD_IRQL, reinterpret_cast<ULONG_PTR>(routine),
                 thread->irql, reinterpret_cast<ULONG_PTR>(item), 0);
  }
  if (thread->critical_region_depth != 0) {
    KeBugCheckEx(APC_INDEX_MISMATCH, reinterpret_cast<ULONG_PTR>(routine), 0,
                 thread->critical_region_depth, 0);
  }
}

// `system` comes with a reference for the thread to drop once bound.
void Serve(WorkQueues* owner, int queue, PEPROCESS system) {
  nt::BindCurrentThread(system);
  ObfDereferenceObject(system);
  std::unique_lock lock(owner->lock);
  for (;;) {
    owner->work[queue].wait(lock, [&] {
      return owner->stopping || !IsListEmpty(&owner->items[queue]);
    });
    if (IsListEmpty(&owner->items[queue])) return;
    auto* item = CONTAINING_RECORD(RemoveHeadList(&owner->items[queue]), WORK_QUEUE_ITEM, List);
    lock.unlock();
    // The routine may queue the item again, or free it.
    PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
    PVOID parameter = item->Parameter;
    item->List.Flink = nullptr;
    routine(parameter);
    CheckReturnState(routine, item);
    lock.lock();
    if (--owner->pending == 0) owner->idle.notify_all();
  }
}

}  // namespace

void ExQueueWorkItem(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE queue) {
  nt::kernel_internal::RequireKernel("ExQueueWorkItem");
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(item), KeGetCurrentIrql(),
                 0, 0);
  }
  if (item->List.Flink != nullptr || queue < CriticalWorkQueue || queue > HyperCriticalWorkQueue) {
    KeBugCheckEx(WORKER_INVALID, kAlreadyQueued, reinterpret_cast<ULONG_PTR>(item), queue, 0);
  }
  nt::TryQueueWorkItem(item, queue);
}

namespace nt {

bool TryQueueWorkItem(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE queue) {
  WorkQueues* owner = queues;
  if (owner == nullptr) return false;
  std::lock_guard guard(owner->lock);
  if (!owner->accepting) return false;
  InsertTailList(&owner->items[queue], &item->List);
  ++owner->pending;
  owner->work[queue].notify_one();
  return true;
}

void WorkQueueControl::WaitIdle() {
  kernel_internal::RequireKernel("WorkQueueControl::WaitIdle");
  WorkQueues* owner = queues;
  std::unique_lock lock(owner->lock);
  owner->idle.wait(lock, [owner] { return owner->pending == 0; });
}

void StartWorkQueues() {
  queues = new WorkQueues;
  for (LIST_ENTRY& head : queues->items) InitializeListHead(&head);
  PEPROCESS system = ProcessControl::System();
  for (int queue = 0; queue < kQueues; ++queue) {
    for (int i = 0; i < kThreadsPerQueue[queue]; ++i) {
      ObfReferenceObject(system);
      queues->threads.emplace_back(Serve, queues, queue, system);
    }
  }
}

void StopWorkQueues() {
  if (queues == nullptr || queues->stopping) return;
  WorkQueueControl::WaitIdle();
  {
    std::lock_guard guard(queues->lock);
    queues->accepting = false;
    queues->stopping = true;
    for (auto& work : queues->work) work.notify_all();
  }
  for (std::thread& thread : queues->threads) thread.join();
}

void DestroyWorkQueues() {
  StopWorkQueues();
  delete queues;
  queues = nullptr;
}

}  // namespace nt
