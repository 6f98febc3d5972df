#include "platform/nt/irql.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(Irql, RaisingAndLoweringMoveTheCurrentThreadsLevel) {
  ASSERT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  KIRQL older;
  KeRaiseIrql(DISPATCH_LEVEL, &older);
  EXPECT_EQ(older, APC_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(older);
  KeLowerIrql(old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(Irql, EachThreadHasItsOwnLevel) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KIRQL seen = DISPATCH_LEVEL;
  std::thread([&seen] { seen = KeGetCurrentIrql(); }).join();
  KeLowerIrql(old);
  EXPECT_EQ(seen, PASSIVE_LEVEL);
}

TEST(CriticalRegion, RegionsNestAndDisableApcsUntilTheLastIsLeft) {
  EXPECT_FALSE(KeAreApcsDisabled());
  KeEnterCriticalRegion();
  KeEnterCriticalRegion();
  KeLeaveCriticalRegion();
  EXPECT_TRUE(KeAreApcsDisabled());
  BOOLEAN other_thread = TRUE;
  std::thread([&other_thread] { other_thread = KeAreApcsDisabled(); }).join();
  EXPECT_FALSE(other_thread);
  KeLeaveCriticalRegion();
  EXPECT_FALSE(KeAreApcsDisabled());
}

TEST(CriticalRegion, ApcLevelDisablesApcsWithoutARegion) {
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  EXPECT_TRUE(KeAreApcsDisabled());
  KeLowerIrql(old);
  EXPECT_FALSE(KeAreApcsDisabled());
}

struct Violation {
  const char* name;
  void (*act)();
  const char* stop;
};

constexpr Violation kViolations[] = {
    {"raise below the current level",
     [] {
       KIRQL old;
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       KeRaiseIrql(APC_LEVEL, &old);
     },
     "STOP 0x00000009 .*IRQL_NOT_GREATER_OR_EQUAL"},
    {"lower above the current level", [] { KeLowerIrql(APC_LEVEL); },
     "STOP 0x0000000A .*IRQL_NOT_LESS_OR_EQUAL"},
    {"leave a region never entered", [] { KeLeaveCriticalRegion(); },
     "STOP 0x00000001 .*APC_INDEX_MISMATCH"},
    {"bug check", [] { KeBugCheckEx(0xDEAD, 1, 2, 3, 4); },
     "\\*\\*\\* STOP 0x0000DEAD \\(0x0+1,0x0+2,0x0+3,0x0+4\\)"},
};

TEST(IrqlDeathTest, BreakingARuleStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const Violation& violation : kViolations) {
    SCOPED_TRACE(violation.name);
    EXPECT_DEATH(violation.act(), violation.stop);
  }
}

}  // namespace
