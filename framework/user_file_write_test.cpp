// A program's file write through the user-mode routines passes kvdrv's filter on its way to the
// volume, and with replication on reaches every mirror of its source.
#include <gtest/gtest.h>

#include <string>

#include "driver/frame/filtered_machine.h"
#include "driver/frame/volume_filter.h"
#include "driver/replication/replication_fixture.h"
#include "platform/nt/work_queue.h"
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

// kvdrv with replication: c:\Data mirrored to d:\M, e:\M and \\srv\pub\M.
class UserFileReplication : public ReplicationMachine {};

TEST_F(UserFileReplication, AProgramsWriteThroughCreateFileReachesEveryMirror) {
  // The logged-on user's program writes in two calls, then adds to the file through a second
  // handle.
  InClient([] {
    HANDLE file = CreateFileW(u"C:\\Data\\report.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "quarterly ", 10, &written, nullptr));
    EXPECT_TRUE(WriteFile(file, "figures", 7, &written, nullptr));
    EXPECT_TRUE(CloseHandle(file));
    file = CreateFileW(u"c:\\data\\REPORT.TXT", GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_END), 17u);
    EXPECT_TRUE(WriteFile(file, " up", 3, &written, nullptr));
    EXPECT_TRUE(CloseHandle(file));
  });
  nt::WorkQueueControl::WaitIdle();
  EXPECT_EQ(Stored(c_, u"\\Data\\report.txt"), "quarterly figures up");
  for (fs::Volume* volume : Mirrors()) {
    EXPECT_EQ(Stored(volume, u"\\M\\report.txt"), "quarterly figures up");
  }
  ExpectSameBasic(u"\\report.txt");
}

}  // namespace
