#include "platform/nt/spin_lock.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/nt/irql.h"
#include "platform/nt/list_entry.h"

namespace {

TEST(SpinLock, HoldingALockRunsAtDispatchLevelAndReleasingRestoresTheLevel) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL apc;
  KeRaiseIrql(APC_LEVEL, &apc);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, APC_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
  KeLowerIrql(apc);
}

TEST(SpinLock, ExcludesOtherThreadsInBothForms) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;
  constexpr int kThreads = 4;
  constexpr int kRounds = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&lock, &counter, t] {
      for (int i = 0; i < kRounds; ++i) {
        KIRQL old;
        if (t % 2 == 0) {
          KeAcquireSpinLock(&lock, &old);
          ++counter;
          KeReleaseSpinLock(&lock, old);
        } else {
          KeRaiseIrql(DISPATCH_LEVEL, &old);
          KeAcquireSpinLockAtDpcLevel(&lock);
          ++counter;
          KeReleaseSpinLockFromDpcLevel(&lock);
          KeLowerIrql(old);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, kThreads * kRounds);
}

struct Item {
  int value;
  LIST_ENTRY link;
};

TEST(InterlockedList, InsertsReportTheFormerHeadAndRemovalsEmptyTheList) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  LIST_ENTRY head;
  InitializeListHead(&head);
  Item first{1, {}};
  Item second{2, {}};
  Item third{3, {}};

  EXPECT_EQ(ExInterlockedInsertTailList(&head, &second.link, &lock), nullptr);
  EXPECT_EQ(ExInterlockedInsertHeadList(&head, &first.link, &lock), &second.link);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &third.link, &lock), &first.link);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  for (int expected = 1; expected <= 3; ++expected) {
    PLIST_ENTRY entry = ExInterlockedRemoveHeadList(&head, &lock);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(CONTAINING_RECORD(entry, Item, link)->value, expected);
  }
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
  EXPECT_TRUE(IsListEmpty(&head));
}

TEST(InterlockedList, ProducersAndAConsumerLoseNoEntry) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  LIST_ENTRY head;
  InitializeListHead(&head);
  constexpr int kPerProducer = 2000;
  std::vector<Item> items(2 * kPerProducer);
  auto produce = [&](int from) {
    for (int i = from; i < from + kPerProducer; ++i) {
      ExInterlockedInsertTailList(&head, &items[i].link, &lock);
    }
  };
  std::thread a(produce, 0);
  std::thread b(produce, kPerProducer);
  int taken = 0;
  while (taken < 2 * kPerProducer) {
    if (ExInterlockedRemoveHeadList(&head, &lock) != nullptr) ++taken;
  }
  a.join();
  b.join();
  EXPECT_TRUE(IsListEmpty(&head));
}

struct Violation {
  const char* name;
  void (*act)(PKSPIN_LOCK lock);
  const char* stop;
};

constexpr Violation kViolations[] = {
    {"acquire a lock the thread holds",
     [](PKSPIN_LOCK lock) {
       KIRQL old;
       KeAcquireSpinLock(lock, &old);
       KeAcquireSpinLockAtDpcLevel(lock);
     },
     "SPIN_LOCK_ALREADY_OWNED"},
    {"release a lock nobody holds",
     [](PKSPIN_LOCK lock) {
       KIRQL old;
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       KeReleaseSpinLock(lock, old);
     },
     "SPIN_LOCK_NOT_OWNED"},
    {"use the DPC-level form at passive level",
     [](PKSPIN_LOCK lock) { KeAcquireSpinLockAtDpcLevel(lock); }, "IRQL_NOT_GREATER_OR_EQUAL"},
};

TEST(SpinLockDeathTest, MisuseStopsTheMachineInsteadOfHangingIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const Violation& violation : kViolations) {
    SCOPED_TRACE(violation.name);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(violation.act(&lock), violation.stop);
  }
}

}  // namespace
