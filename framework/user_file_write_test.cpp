// A program's file write through the user-mode routines passes kvdrv's filter on its way to the
// volume.
#include <gtest/gtest.h>

#include <string>

#include "driver/frame/filtered_machine.h"
#include "driver/frame/volume_filter.h"
#include "platform/win32/windows.h"

namespace {

class UserFileWrite : public FilteredMachine {};

TEST_F(UserFileWrite, AWriteThroughCreateFileReachesTheVolumeBelowTheFilter) {
  Boot();
  ASSERT_TRUE(NT_SUCCESS(c_->PutDirectory(u"\\source")));
  InClient([] {
    HANDLE file = CreateFileW(u"C:\\source\\report.txt", GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "quarterly", 9, &written, nullptr));
    EXPECT_EQ(written, 9u);
    EXPECT_TRUE(CloseHandle(file));
  });
  VolumeFilter* filter = FileSystemFilters::FilterAbove(VolumeDeviceOf(c_));
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(filter->volumeSerial(), 0x0A1B2C3Du);
  EXPECT_EQ(c_->ReadFile(u"\\source\\report.txt"), "quarterly");
}

}  // namespace
