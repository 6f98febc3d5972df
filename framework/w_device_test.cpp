#include "framework/w_handle.h"

#include <cstring>

#include "common/message_record.h"
#include "driver/frame/loaded_driver.h"
#include "platform/win32/file_api.h"
#include "platform/win32/synch.h"
#include "platform/win32/system_info.h"
#include "platform/win32/win_error.h"

namespace {

class Device : public LoadedDriver {
 protected:
  void SetUp() override { Load(); }
  static void Post(ULONG id) {
    KvDriver::Instance()->control()->PostEvent(KV_EVENT_SYNC_SOURCE, 0, id);
  }
};

}  // namespace

TEST_F(Device, OverlappedWaitEventCompletesWhenTheDriverPosts) {
  InClient([] {
    HANDLE device = CreateFileW(u"\\\\.\\kvdrv", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    UCHAR record[12] = {};
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(device, KV_IOCTL_WAIT_EVENT, nullptr, 0, record, sizeof record,
                                 &returned, &overlapped));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(device, &overlapped, &returned, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    Post(42);
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(device, &overlapped, &returned, TRUE));
    EXPECT_EQ(returned, 12u);
    MessageRecord message{};
    DecodeMessageRecord(record, sizeof record, &message);
    EXPECT_EQ(message.message, KV_EVENT_SYNC_SOURCE);
    EXPECT_EQ(message.lParam, 42u);
    CloseHandle(event);
    CloseHandle(device);
  });
}

TEST_F(Device, CancelIoEndsThePendingWaitWithOperationAborted) {
  InClient([] {
    WDevice device;
    ASSERT_TRUE(device.Open(u"\\\\.\\kvdrv", FILE_FLAG_OVERLAPPED, 0));
    EXPECT_TRUE(device.overlapped());
    WSyncEvent event;
    ASSERT_TRUE(event.Create(true, false));
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.handle();
    UCHAR record[12];
    EXPECT_FALSE(device.IoControl(KV_IOCTL_WAIT_EVENT, nullptr, 0, record, sizeof record,
                                  nullptr, &overlapped));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_TRUE(device.CancelIo());
    EXPECT_EQ(WaitForSingleObject(event.handle(), INFINITE), WAIT_OBJECT_0);
    DWORD returned = 0;
    EXPECT_FALSE(GetOverlappedResult(device.handle(), &overlapped, &returned, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    // The event channel takes a new wait after the cancel, and a posted event completes it.
    Post(7);
    UCHAR next[12] = {};
    EXPECT_TRUE(device.IoControl(KV_IOCTL_WAIT_EVENT, nullptr, 0, next, sizeof next));
    EXPECT_EQ(next[8], 7);
  });
}

TEST_F(Device, SynchronousControlOnAnOverlappedHandleWaitsForThePendingRequest) {
  InClient([] {
    WDevice device;
    ASSERT_TRUE(device.Open(u"\\\\.\\KVDRV", FILE_FLAG_OVERLAPPED, 0));
    UCHAR version[8] = {};
    DWORD returned = 0;
    EXPECT_TRUE(device.IoControl(KV_IOCTL_GET_VERSION, nullptr, 0, version, sizeof version,
                                 &returned));
    EXPECT_EQ(returned, 8u);
    // A pending wait completed from another thread.
    nt::Thread poster([] { Post(9); });
    UCHAR record[12] = {};
    EXPECT_TRUE(device.IoControl(KV_IOCTL_WAIT_EVENT, nullptr, 0, record, sizeof record,
                                 &returned));
    EXPECT_EQ(record[8], 9);
    poster.Join();
  });
}

TEST_F(Device, OpeningAMissingDriverTriesTheVxdNameThenFails) {
  InClient([] {
    WDevice device;
    EXPECT_FALSE(device.Open(u"\\\\.\\kvmissing", 0, GENERIC_READ));
    // The retry of the 9x form asks for creation disposition 0, which NT refuses.
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_FALSE(device.Close());
    // A name too long for the retry buffer is not retried.
    EXPECT_FALSE(device.Open(u"\\\\.\\a-device-name-of-30-chars", 0, GENERIC_READ));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(device.Read(nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  });
}

TEST_F(Device, CancelIoFailsWhereTheSystemLacksIt) {
  win32::SystemControl::SetWindows(win32::WindowsVersion::k95);
  InClient([] {
    WDevice device;
    ASSERT_TRUE(device.Open(u"\\\\.\\kvdrv", FILE_FLAG_OVERLAPPED, 0));
    EXPECT_FALSE(device.CancelIo());
  });
}
