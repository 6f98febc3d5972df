#include "platform/win32/synch.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/nt/clock.h"
#include "platform/nt/process.h"
#include "platform/win32/file_api.h"
#include "platform/win32/process_api.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/win_error.h"

namespace {

class Synch : public Win32Machine {};

DWORD TakeMutexAndEnd(LPVOID mutex) {
  EXPECT_EQ(WaitForSingleObject(static_cast<HANDLE>(mutex), 0), WAIT_OBJECT_0);
  return 5;
}

}  // namespace

TEST_F(Synch, NamedObjectsAreSharedBetweenProcessesAndKindsDoNotMix) {
  PEPROCESS first = NewProcess(u"kvagent.exe", u"ann");
  PEPROCESS second = NewProcess(u"kvagent.exe", u"ann");
  HANDLE semaphore = nullptr;
  RunIn(first, [&] {
    semaphore = CreateSemaphoreW(nullptr, 0, 1, u"_kvagent_sem");
    ASSERT_NE(semaphore, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  });
  RunIn(second, [] {
    HANDLE again = CreateSemaphoreW(nullptr, 0, 1, u"_kvagent_sem");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    HANDLE opened = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, u"_kvagent_sem");
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(ReleaseSemaphore(opened, 1, nullptr));
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, u"_kvagent_sem"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, u"missing"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    CloseHandle(again);
    CloseHandle(opened);
  });
  RunIn(first, [&] {
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);
    CloseHandle(semaphore);
  });
}

TEST_F(Synch, SemaphoreRefusesCountsPastItsMaximum) {
  HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 2, nullptr);
  LONG previous = -1;
  EXPECT_TRUE(ReleaseSemaphore(semaphore, 1, &previous));
  EXPECT_EQ(previous, 1);
  EXPECT_FALSE(ReleaseSemaphore(semaphore, 1, &previous));
  EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
  EXPECT_EQ(CreateSemaphoreW(nullptr, 3, 2, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  CloseHandle(semaphore);
}

TEST_F(Synch, MutexIsOwnedRecursivelyAndReleasedOnlyByItsOwner) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  nt::Thread([&] {
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  }).Join();
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));
  nt::Thread([&] { EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0); }).Join();
  CloseHandle(mutex);
}

TEST_F(Synch, MutexOfAThreadThatEndedIsAbandoned) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, TakeMutexAndEnd, mutex, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 5u);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_ABANDONED);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // now plainly owned
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(thread);
  CloseHandle(mutex);
}

TEST_F(Synch, WaitForMultipleObjectsTakesAnyOrAll) {
  HANDLE auto_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE manual_event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  HANDLE semaphore = CreateSemaphoreW(nullptr, 0, 5, nullptr);
  HANDLE handles[] = {auto_event, manual_event, semaphore};
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(3, handles, TRUE, 0), WAIT_TIMEOUT);
  SetEvent(auto_event);
  ReleaseSemaphore(semaphore, 1, nullptr);
  EXPECT_EQ(WaitForMultipleObjects(3, handles, TRUE, 0), WAIT_OBJECT_0);
  // Wait-all took the auto-reset event and the semaphore's count.
  EXPECT_EQ(WaitForSingleObject(auto_event, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForMultipleObjects(0, handles, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // One semaphore twice in a wait for all would take its one count twice.
  ReleaseSemaphore(semaphore, 1, nullptr);
  HANDLE twice[] = {semaphore, semaphore};
  EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0);
  for (HANDLE handle : handles) CloseHandle(handle);
  EXPECT_EQ(WaitForSingleObject(auto_event, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Synch, TimedWaitsEndWhenTheMachineClockPassesTheirTimeout) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE semaphore = CreateSemaphoreW(nullptr, 0, 1, nullptr);
  std::atomic<DWORD> single{0xFFu};
  std::atomic<DWORD> multiple{0xFFu};
  nt::Thread waiter([&] { single = WaitForSingleObject(event, 1000); });
  nt::Thread multi_waiter([&] {
    HANDLE handles[] = {event, semaphore};
    multiple = WaitForMultipleObjects(2, handles, FALSE, 1000);
  });
  // The clock moves while they wait; the waits see it (and only it: without the clock
  // moving, they would wait for ever).
  while (single.load() == 0xFFu || multiple.load() == 0xFFu) {
    nt::SystemClock::Advance(100 * 10'000);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  waiter.Join();
  multi_waiter.Join();
  EXPECT_EQ(single.load(), WAIT_TIMEOUT);
  EXPECT_EQ(multiple.load(), WAIT_TIMEOUT);
  CloseHandle(event);
  CloseHandle(semaphore);
}
