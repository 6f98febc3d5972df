#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/nt/pool.h"

namespace {

using nt::PoolControl;

constexpr SIZE_T kSize = 40;

TEST(Lookaside, CachedBlocksAreReusedAndDoNotCountAsInUse) {
  constexpr ULONG kTag = PoolTag('L', 'k', 'a', '1');
  NPAGED_LOOKASIDE_LIST list;
  ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, kSize, kTag, 2);
  std::vector<PVOID> blocks;
  for (int i = 0; i < 3; ++i) blocks.push_back(ExAllocateFromNPagedLookasideList(&list));
  EXPECT_EQ(PoolControl::BlocksInUse(kTag), 3u);
  EXPECT_EQ(PoolControl::BytesInUse(kTag), 3 * kSize);

  for (PVOID block : blocks) ExFreeToNPagedLookasideList(&list, block);
  EXPECT_EQ(PoolControl::BlocksInUse(kTag), 0u);

  PVOID again = ExAllocateFromNPagedLookasideList(&list);
  EXPECT_TRUE(again == blocks[0] || again == blocks[1]);
  EXPECT_EQ(PoolControl::BlocksInUse(kTag), 1u);
  ExFreeToNPagedLookasideList(&list, again);
  ExDeleteNPagedLookasideList(&list);
  EXPECT_EQ(PoolControl::BlocksInUse(kTag), 0u);
}

std::atomic<int> allocations;
std::atomic<int> frees;

PVOID CountingAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
  ++allocations;
  return ExAllocatePoolWithTag(type, bytes, tag);
}

void CountingFree(PVOID block) {
  ++frees;
  ExFreePool(block);
}

TEST(Lookaside, CallbacksSupplyAndTakeBackWhatTheCacheCannotHold) {
  constexpr ULONG kTag = PoolTag('L', 'k', 'a', '2');
  allocations = 0;
  frees = 0;
  NPAGED_LOOKASIDE_LIST list;
  ExInitializeNPagedLookasideList(&list, CountingAllocate, CountingFree, 0, kSize, kTag, 2);
  std::vector<PVOID> blocks;
  for (int i = 0; i < 3; ++i) blocks.push_back(ExAllocateFromNPagedLookasideList(&list));
  for (PVOID block : blocks) ExFreeToNPagedLookasideList(&list, block);
  EXPECT_EQ(allocations, 3);
  EXPECT_EQ(frees, 1);

  PVOID again = ExAllocateFromNPagedLookasideList(&list);
  EXPECT_EQ(allocations, 3);
  ExFreeToNPagedLookasideList(&list, again);
  ExDeleteNPagedLookasideList(&list);
  EXPECT_EQ(frees, 3);
  EXPECT_EQ(PoolControl::BlocksInUse(kTag), 0u);
}

TEST(Lookaside, InjectedFaultsReachAllocationsServedFromTheCache) {
  constexpr ULONG kTag = PoolTag('L', 'k', 'a', '3');
  NPAGED_LOOKASIDE_LIST list;
  ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, kSize, kTag, 0);
  ExFreeToNPagedLookasideList(&list, ExAllocateFromNPagedLookasideList(&list));

  PoolControl::FailAllocations(kTag, 1);
  EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
  PVOID block = ExAllocateFromNPagedLookasideList(&list);
  EXPECT_NE(block, nullptr);
  ExFreeToNPagedLookasideList(&list, block);
  ExDeleteNPagedLookasideList(&list);
}

TEST(Lookaside, ThreadsShareOneListSafely) {
  constexpr ULONG kTag = PoolTag('L', 'k', 'a', '4');
  NPAGED_LOOKASIDE_LIST list;
  ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, kSize, kTag, 4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&list] {
      for (int i = 0; i < 1000; ++i) {
        PVOID a = ExAllocateFromNPagedLookasideList(&list);
        PVOID b = ExAllocateFromNPagedLookasideList(&list);
        ExFreeToNPagedLookasideList(&list, a);
        ExFreeToNPagedLookasideList(&list, b);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ExDeleteNPagedLookasideList(&list);
  EXPECT_EQ(PoolControl::BlocksInUse(kTag), 0u);
}

}  // namespace
