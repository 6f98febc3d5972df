#include "platform/nt/pool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/nt/irql.h"

namespace {

using nt::PoolControl;

TEST(Pool, BlocksAreAlignedAndCountedUnderTheirTagUntilFreed) {
  constexpr ULONG kTag = PoolTag('T', 'a', 'g', '1');
  constexpr ULONG kOther = PoolTag('T', 'a', 'g', '2');
  PVOID a = ExAllocatePoolWithTag(PagedPool, 1, kTag);
  PVOID b = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
  PVOID c = ExAllocatePoolWithTag(NonPagedPool, 0, kOther);
  for (PVOID block : {a, b, c}) {
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 16, 0u);
  }
  EXPECT_EQ(PoolControl::BytesInUse(kTag), 101u);
  EXPECT_EQ(PoolControl::BlocksInUse(kTag), 2u);
  EXPECT_EQ(PoolControl::BlocksInUse(kOther), 1u);

  ExFreePoolWithTag(a, kTag);
  ExFreePool(b);
  ExFreePoolWithTag(c, kOther);
  EXPECT_EQ(PoolControl::BytesInUse(kTag), 0u);
  EXPECT_EQ(PoolControl::BlocksInUse(kTag), 0u);
  EXPECT_EQ(PoolControl::BlocksInUse(kOther), 0u);
}

TEST(Pool, NonPagedPoolServesDispatchLevel) {
  constexpr ULONG kTag = PoolTag('D', 'p', 'c', ' ');
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_NE(block, nullptr);
  ExFreePoolWithTag(block, kTag);
  KeLowerIrql(old);
}

TEST(Pool, ASizeBeyondAddressSpaceFailsInsteadOfWrapping) {
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, SIZE_MAX, PoolTag('B', 'i', 'g', ' ')), nullptr);
}

constexpr ULONG kFaultTag = PoolTag('F', 'l', 't', 'A');
constexpr ULONG kOtherFaultTag = PoolTag('F', 'l', 't', 'B');

struct FaultCase {
  const char* name;
  ULONG tag;
  ULONG count;
  ULONG skip;
  // One letter per allocation with kFaultTag: S succeeds, F fails.
  const char* outcomes;
};

constexpr FaultCase kFaultCases[] = {
    {"fails the next allocation", kFaultTag, 1, 0, "FSSS"},
    {"lets `skip` succeed first", kFaultTag, 2, 1, "SFFS"},
    {"a zero tag means any tag", 0, 1, 2, "SSFS"},
    {"other tags are not touched", kOtherFaultTag, 3, 0, "SSSS"},
    {"a zero count injects nothing", kFaultTag, 0, 0, "SSSS"},
};

TEST(Pool, InjectedFaultsFailTheChosenAllocations) {
  for (const FaultCase& fault : kFaultCases) {
    SCOPED_TRACE(fault.name);
    PoolControl::FailAllocations(fault.tag, fault.count, fault.skip);
    std::string outcomes;
    for (std::size_t i = 0; i < std::string_view(fault.outcomes).size(); ++i) {
      PVOID block = ExAllocatePoolWithTag(NonPagedPool, 4, kFaultTag);
      outcomes += block != nullptr ? 'S' : 'F';
      if (block != nullptr) ExFreePoolWithTag(block, kFaultTag);
    }
    EXPECT_EQ(outcomes, fault.outcomes);
    PoolControl::ClearFaults();
  }
}

TEST(Pool, ClearingFaultsCancelsThoseStillPending) {
  PoolControl::FailAllocations(kFaultTag, 5, 1);
  PoolControl::ClearFaults();
  PVOID first = ExAllocatePoolWithTag(NonPagedPool, 4, kFaultTag);
  PVOID second = ExAllocatePoolWithTag(NonPagedPool, 4, kFaultTag);
  EXPECT_NE(first, nullptr);
  EXPECT_NE(second, nullptr);
  ExFreePool(first);
  ExFreePool(second);
}

TEST(Pool, CountersStayExactUnderConcurrentUse) {
  constexpr ULONG kTag = PoolTag('C', 'o', 'n', 'c');
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      std::vector<PVOID> blocks;
      for (int i = 0; i < 1000; ++i) blocks.push_back(ExAllocatePoolWithTag(PagedPool, 24, kTag));
      for (PVOID block : blocks) ExFreePoolWithTag(block, kTag);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(PoolControl::BlocksInUse(kTag), 0u);
  EXPECT_EQ(PoolControl::BytesInUse(kTag), 0u);
}

struct Violation {
  const char* name;
  void (*act)();
  const char* stop;
};

constexpr ULONG kDeathTag = PoolTag('D', 'e', 'a', 'd');

constexpr Violation kViolations[] = {
    {"free with another tag",
     [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, kDeathTag), kFaultTag); },
     "STOP 0x000000C2 \\(0x0+A,.*BAD_POOL_CALLER"},
    {"allocate paged pool at dispatch level",
     [] {
       KIRQL old;
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       ExAllocatePoolWithTag(PagedPool, 8, kDeathTag);
     },
     "IRQL_NOT_LESS_OR_EQUAL"},
    {"free paged pool at dispatch level",
     [] {
       PVOID block = ExAllocatePoolWithTag(PagedPool, 8, kDeathTag);
       KIRQL old;
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       ExFreePoolWithTag(block, kDeathTag);
     },
     "IRQL_NOT_LESS_OR_EQUAL"},
    {"free a null block", [] { ExFreePool(nullptr); }, "BAD_POOL_CALLER"},
};

TEST(PoolDeathTest, BreakingARuleStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const Violation& violation : kViolations) {
    SCOPED_TRACE(violation.name);
    EXPECT_DEATH(violation.act(), violation.stop);
  }
}

}  // namespace
