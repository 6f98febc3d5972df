#include "platform/nt/eresource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/nt/irql.h"
#include "platform/nt/ntstatus.h"

namespace {

// Runs `body` on a thread of its own inside a critical region, as resource users must.
template <typename Body>
std::thread InRegion(Body body) {
  return std::thread([body] {
    KeEnterCriticalRegion();
    body();
    KeLeaveCriticalRegion();
  });
}

class Resource : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ExInitializeResourceLite(&resource_), STATUS_SUCCESS);
    KeEnterCriticalRegion();
  }
  void TearDown() override {
    KeLeaveCriticalRegion();
    EXPECT_EQ(ExDeleteResourceLite(&resource_), STATUS_SUCCESS);
  }

  // Returns true once another thread waits for exclusive access: from then on, threads that do
  // not already own the resource cannot share it. False when that never happens.
  bool AwaitExclusiveWaiter() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      BOOLEAN shared = FALSE;
      InRegion([this, &shared] {
        shared = ExAcquireResourceSharedLite(&resource_, FALSE);
        if (shared) ExReleaseResourceLite(&resource_);
      }).join();
      if (!shared) return true;
      std::this_thread::yield();
    }
    return false;
  }

  ERESOURCE resource_;
};

TEST_F(Resource, SharedOwnersHoldItTogetherAndShutOutAWriter) {
  ASSERT_TRUE(ExAcquireResourceSharedLite(&resource_, TRUE));
  BOOLEAN shared = FALSE;
  BOOLEAN exclusive = TRUE;
  ULONG count = 0;
  InRegion([&] {
    exclusive = ExAcquireResourceExclusiveLite(&resource_, FALSE);
    shared = ExAcquireResourceSharedLite(&resource_, FALSE);
    count = ExIsResourceAcquiredSharedLite(&resource_);
    if (shared) ExReleaseResourceLite(&resource_);
  }).join();
  EXPECT_FALSE(exclusive);
  EXPECT_TRUE(shared);
  EXPECT_EQ(count, 1u);
  ExReleaseResourceLite(&resource_);
}

TEST_F(Resource, AnExclusiveOwnerShutsOutOthersUntilItReleases) {
  ASSERT_TRUE(ExAcquireResourceExclusiveLite(&resource_, TRUE));
  BOOLEAN tried_shared = TRUE;
  BOOLEAN tried_exclusive = TRUE;
  InRegion([&] {
    tried_shared = ExAcquireResourceSharedLite(&resource_, FALSE);
    tried_exclusive = ExAcquireResourceExclusiveLite(&resource_, FALSE);
  }).join();
  EXPECT_FALSE(tried_shared);
  EXPECT_FALSE(tried_exclusive);

  std::atomic<bool> acquired{false};
  std::thread waiter = InRegion([&] {
    ExAcquireResourceExclusiveLite(&resource_, TRUE);
    acquired = true;
    ExReleaseResourceLite(&resource_);
  });
  std::this_thread::yield();
  EXPECT_FALSE(acquired);
  ExReleaseResourceLite(&resource_);
  waiter.join();
  EXPECT_TRUE(acquired);
}

TEST_F(Resource, OwnersAcquireRecursivelyAndReleaseAsOften) {
  ASSERT_TRUE(ExAcquireResourceExclusiveLite(&resource_, TRUE));
  EXPECT_TRUE(ExAcquireResourceExclusiveLite(&resource_, FALSE));
  EXPECT_TRUE(ExAcquireResourceSharedLite(&resource_, FALSE));
  EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&resource_));
  EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource_), 3u);
  for (int i = 0; i < 3; ++i) ExReleaseResourceLite(&resource_);
  EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&resource_));
  EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource_), 0u);

  ASSERT_TRUE(ExAcquireResourceSharedLite(&resource_, TRUE));
  EXPECT_TRUE(ExAcquireResourceSharedLite(&resource_, TRUE));
  EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&resource_));
  EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource_), 2u);
  ExReleaseResourceLite(&resource_);
  ExReleaseResourceLite(&resource_);
  EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource_), 0u);
}

TEST_F(Resource, AWaitingWriterHoldsBackNewReadersButNotASharedOwner) {
  ASSERT_TRUE(ExAcquireResourceSharedLite(&resource_, TRUE));
  std::thread writer = InRegion([this] {
    ExAcquireResourceExclusiveLite(&resource_, TRUE);
    ExReleaseResourceLite(&resource_);
  });
  EXPECT_TRUE(AwaitExclusiveWaiter());
  EXPECT_TRUE(ExAcquireResourceSharedLite(&resource_, FALSE));
  ExReleaseResourceLite(&resource_);
  ExReleaseResourceLite(&resource_);
  writer.join();
}

TEST_F(Resource, ReadersAndWritersNeverOverlap) {
  std::atomic<int> readers{0};
  std::atomic<int> writers{0};
  std::atomic<int> overlaps{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.push_back(InRegion([&, t] {
      for (int i = 0; i < 500; ++i) {
        if ((t + i) % 3 == 0) {
          ExAcquireResourceExclusiveLite(&resource_, TRUE);
          if (writers.fetch_add(1) != 0 || readers.load() != 0) ++overlaps;
          writers.fetch_sub(1);
        } else {
          ExAcquireResourceSharedLite(&resource_, TRUE);
          readers.fetch_add(1);
          if (writers.load() != 0) ++overlaps;
          readers.fetch_sub(1);
        }
        ExReleaseResourceLite(&resource_);
      }
    }));
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(overlaps.load(), 0);
}

struct Violation {
  const char* name;
  void (*act)(PERESOURCE resource);
  const char* stop;
};

constexpr Violation kViolations[] = {
    {"release a resource the thread does not own",
     [](PERESOURCE resource) { ExReleaseResourceLite(resource); }, "RESOURCE_NOT_OWNED"},
    {"ask for exclusive while holding shared",
     [](PERESOURCE resource) {
       ExAcquireResourceSharedLite(resource, TRUE);
       ExAcquireResourceExclusiveLite(resource, TRUE);
     },
     "STOP 0x000000C4 \\(0x0+2,"},
    {"acquire with APCs enabled",
     [](PERESOURCE resource) {
       KeLeaveCriticalRegion();
       ExAcquireResourceSharedLite(resource, TRUE);
     },
     "STOP 0x000000C4 \\(0x0+1,"},
    {"acquire at dispatch level",
     [](PERESOURCE resource) {
       KIRQL old;
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       ExAcquireResourceExclusiveLite(resource, FALSE);
     },
     "IRQL_NOT_LESS_OR_EQUAL"},
};

using ResourceDeathTest = Resource;

TEST_F(ResourceDeathTest, BreakingARuleStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const Violation& violation : kViolations) {
    SCOPED_TRACE(violation.name);
    EXPECT_DEATH(violation.act(&resource_), violation.stop);
  }
}

}  // namespace
