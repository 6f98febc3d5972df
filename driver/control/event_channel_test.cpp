#include <thread>

#include "common/message_record.h"
#include "driver/frame/loaded_driver.h"
#include "platform/nt/dispatcher.h"

namespace {

// One overlapped KV_IOCTL_WAIT_EVENT with its own event and buffers.
struct Wait {
  HANDLE event = nullptr;
  IO_STATUS_BLOCK io{};
  UCHAR record[12] = {};
  NTSTATUS issued = STATUS_UNSUCCESSFUL;

  explicit Wait(HANDLE control, ULONG outputLength = 12) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, 0, nullptr, nullptr);
    EXPECT_EQ(NtCreateEvent(&event, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE),
              STATUS_SUCCESS);
    issued = NtDeviceIoControlFile(control, event, nullptr, nullptr, &io, KV_IOCTL_WAIT_EVENT,
                                   nullptr, 0, record, outputLength);
  }
  ~Wait() { NtClose(event); }

  bool Done() {
    LARGE_INTEGER zero{};
    return NtWaitForSingleObject(event, FALSE, &zero) == STATUS_SUCCESS;
  }
  MessageRecord Record() const {
    MessageRecord message{};
    DecodeMessageRecord(record, sizeof record, &message);
    return message;
  }
};

class EventChannel : public LoadedDriver {
 protected:
  void SetUp() override { Load(); }
  static void Post(ULONG id) {
    KvDriver::Instance()->control()->PostEvent(KV_EVENT_SYNC_SOURCE, 0, id);
  }
};

}  // namespace

TEST_F(EventChannel, PostCompletesTheWaitingRequestAndASecondWaitIsRefused) {
  InClient([] {
    HANDLE control;
    ASSERT_EQ(OpenControl(&control, 0), STATUS_SUCCESS);
    Wait first(control);
    ASSERT_EQ(first.issued, STATUS_PENDING);
    Wait second(control);
    EXPECT_EQ(second.issued, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(first.Done());

    Post(42);
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.io.Status, STATUS_SUCCESS);
    EXPECT_EQ(first.io.Information, 12u);
    EXPECT_EQ(first.Record().message, KV_EVENT_SYNC_SOURCE);
    EXPECT_EQ(first.Record().wParam, 0u);
    EXPECT_EQ(first.Record().lParam, 42u);
    NtClose(control);
  });
}

TEST_F(EventChannel, EventsNobodyWaitedForComeOldestFirst) {
  Post(1);
  Post(2);
  InClient([] {
    HANDLE control;
    ASSERT_EQ(OpenControl(&control, 0), STATUS_SUCCESS);
    Wait first(control);
    EXPECT_EQ(first.issued, STATUS_SUCCESS);
    EXPECT_EQ(first.Record().lParam, 1u);
    Wait second(control);
    EXPECT_EQ(second.issued, STATUS_SUCCESS);
    EXPECT_EQ(second.Record().lParam, 2u);
    Wait third(control);
    EXPECT_EQ(third.issued, STATUS_PENDING);
    NtClose(control);
  });
}

TEST_F(EventChannel, ShortOutputIsRefused) {
  InClient([] {
    HANDLE control;
    ASSERT_EQ(OpenControl(&control, 0), STATUS_SUCCESS);
    Wait wait(control, 8);
    EXPECT_EQ(wait.issued, STATUS_INVALID_PARAMETER);
    NtClose(control);
  });
}

TEST_F(EventChannel, CancelledWaitCompletesCancelledAndLaterPostsQueue) {
  InClient([] {
    HANDLE control;
    ASSERT_EQ(OpenControl(&control, 0), STATUS_SUCCESS);
    Wait wait(control);
    ASSERT_EQ(wait.issued, STATUS_PENDING);
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(NtCancelIoFile(control, &io), STATUS_SUCCESS);
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.io.Status, STATUS_CANCELLED);

    Post(7);
    Wait next(control);
    EXPECT_EQ(next.issued, STATUS_SUCCESS);
    EXPECT_EQ(next.Record().lParam, 7u);
    NtClose(control);
  });
}

TEST_F(EventChannel, ClosingTheHandleCancelsTheWait) {
  InClient([] {
    HANDLE control;
    ASSERT_EQ(OpenControl(&control, 0), STATUS_SUCCESS);
    Wait wait(control);
    ASSERT_EQ(wait.issued, STATUS_PENDING);
    NtClose(control);
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.io.Status, STATUS_CANCELLED);
  });
}

TEST_F(EventChannel, DisabledDriverPostsNothing) {
  Table().Disable();
  Post(9);
  InClient([] {
    HANDLE control;
    ASSERT_EQ(OpenControl(&control, 0), STATUS_SUCCESS);
    Wait wait(control);
    EXPECT_EQ(wait.issued, STATUS_PENDING);
    NtClose(control);
  });
}

TEST_F(EventChannel, PostAndCancelRacingDeliverEachEventExactlyOnce) {
  InClient([] {
    HANDLE control;
    ASSERT_EQ(OpenControl(&control, 0), STATUS_SUCCESS);
    for (ULONG round = 1; round <= 300; ++round) {
      Wait wait(control);
      ASSERT_EQ(wait.issued, STATUS_PENDING);
      std::thread poster([round] { Post(round); });
      IO_STATUS_BLOCK io{};
      NtCancelIoFile(control, &io);
      poster.join();
      ASSERT_TRUE(wait.Done());
      if (wait.io.Status == STATUS_SUCCESS) {
        ASSERT_EQ(wait.Record().lParam, round);
        continue;
      }
      // The wait lost to the cancel: the event waits in the queue.
      ASSERT_EQ(wait.io.Status, STATUS_CANCELLED);
      Wait next(control);
      ASSERT_EQ(next.issued, STATUS_SUCCESS);
      ASSERT_EQ(next.Record().lParam, round);
    }
    NtClose(control);
  });
}

TEST_F(EventChannel, AWaitAndAPostThatRaceNeverMissEachOther) {
  InClient([] {
    HANDLE control;
    ASSERT_EQ(OpenControl(&control, 0), STATUS_SUCCESS);
    for (ULONG round = 1; round <= 300; ++round) {
      nt::Thread poster([round] { Post(round); });
      Wait wait(control);
      poster.Join();
      // Whichever came first, once the post returned the wait has its event.
      ASSERT_TRUE(wait.issued == STATUS_SUCCESS || wait.Done()) << "round " << round;
      ASSERT_EQ(wait.Record().lParam, round);
    }
    NtClose(control);
  });
}
