#include "platform/nt/work_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/nt/event.h"
#include "platform/nt/irql.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/process.h"

namespace {

class WorkQueue : public testing::Test {
 protected:
  nt::Kernel kernel_;
};

struct Chain {
  WORK_QUEUE_ITEM item;
  int remaining;
  std::atomic<int> runs{0};
  std::atomic<bool> wrong_context{false};
};

void RunLink(PVOID parameter) {
  auto* chain = static_cast<Chain*>(parameter);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL ||
      PsGetCurrentProcess() != nt::ProcessControl::System()) {
    chain->wrong_context = true;
  }
  ++chain->runs;
  if (--chain->remaining > 0) {
    ExInitializeWorkItem(&chain->item, RunLink, chain);
    ExQueueWorkItem(&chain->item, CriticalWorkQueue);
  }
}

TEST_F(WorkQueue, ItemsRunOnSystemWorkersAndIdleWaitsForItemsQueuedByItems) {
  Chain chain;
  chain.remaining = 10;
  ExInitializeWorkItem(&chain.item, RunLink, &chain);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ExQueueWorkItem(&chain.item, CriticalWorkQueue);
  KeLowerIrql(old);
  nt::WorkQueueControl::WaitIdle();
  EXPECT_EQ(chain.runs.load(), 10);
  EXPECT_FALSE(chain.wrong_context.load());
}

struct Recorder {
  std::mutex lock;
  std::vector<int> order;
};

struct Numbered {
  WORK_QUEUE_ITEM item;
  Recorder* recorder;
  int number;
};

void Record(PVOID parameter) {
  auto* numbered = static_cast<Numbered*>(parameter);
  std::lock_guard guard(numbered->recorder->lock);
  numbered->recorder->order.push_back(numbered->number);
}

TEST_F(WorkQueue, TheHypercriticalQueueRunsItsItemsInTheOrderQueued) {
  Recorder recorder;
  std::vector<Numbered> items(20);
  for (int i = 0; i < 20; ++i) {
    items[i].recorder = &recorder;
    items[i].number = i;
    ExInitializeWorkItem(&items[i].item, Record, &items[i]);
    ExQueueWorkItem(&items[i].item, HyperCriticalWorkQueue);
  }
  nt::WorkQueueControl::WaitIdle();
  ASSERT_EQ(recorder.order.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(recorder.order[i], i);
}

void ReturnAtDispatch(PVOID) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
}

void Block(PVOID event) {
  KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
}

void Nothing(PVOID) {}

TEST(WorkQueueDeathTest, BrokenItemsStopTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        nt::Kernel kernel;
        WORK_QUEUE_ITEM item;
        ExInitializeWorkItem(&item, ReturnAtDispatch, nullptr);
        ExQueueWorkItem(&item, DelayedWorkQueue);
        nt::WorkQueueControl::WaitIdle();
      },
      "STOP 0x000000E1 .*WORKER_THREAD_RETURNED_AT_BAD_IRQL");
  EXPECT_DEATH(
      {
        nt::Kernel kernel;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        WORK_QUEUE_ITEM blocker;
        ExInitializeWorkItem(&blocker, Block, &event);
        ExQueueWorkItem(&blocker, HyperCriticalWorkQueue);
        WORK_QUEUE_ITEM item;
        ExInitializeWorkItem(&item, Nothing, nullptr);
        ExQueueWorkItem(&item, HyperCriticalWorkQueue);
        ExQueueWorkItem(&item, HyperCriticalWorkQueue);
      },
      "STOP 0x000000E4 .*WORKER_INVALID");
  EXPECT_DEATH(
      {
        WORK_QUEUE_ITEM item;
        ExInitializeWorkItem(&item, Nothing, nullptr);
        ExQueueWorkItem(&item, DelayedWorkQueue);
      },
      "ExQueueWorkItem needs a running nt::Kernel");
}

}  // namespace
