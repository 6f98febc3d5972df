#include "driver/base/driver_pool.h"

#include <gtest/gtest.h>

#include "platform/nt/ntstatus.h"

TEST(DriverPool, RetriesUntilTheAllocationSucceeds) {
  nt::PoolControl::FailAllocations(kDriverPoolTag, 3);
  void* block = DriverAllocate(64);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(static_cast<unsigned char*>(block)[63], 0);
  DriverFree(block);
  nt::PoolControl::ClearFaults();
}

TEST(DriverPool, CopiesStringsAtTheirExactLength) {
  UNICODE_STRING copy{};
  ASSERT_EQ(DriverCopyString(u"abc", &copy), STATUS_SUCCESS);
  EXPECT_EQ(copy.Length, 6);
  EXPECT_EQ(copy.MaximumLength, 8);
  EXPECT_EQ(copy.Buffer[3], u'\0');
  EXPECT_EQ(View(copy), u"abc");
  DriverFreeString(&copy);
  EXPECT_EQ(copy.Buffer, nullptr);

  const std::u16string tooLong(40000, u'x');
  EXPECT_EQ(DriverCopyString(tooLong, &copy), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(copy.Buffer, nullptr);
}
