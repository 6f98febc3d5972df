#include "framework/w_handle.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <vector>

#include "framework/w_wait_map.h"
#include "platform/nt/machine_kernel.h"
#include "platform/nt/process.h"
#include "platform/nt/token.h"
#include "platform/win32/file_api.h"
#include "platform/win32/named_pipe.h"
#include "platform/win32/synch.h"
#include "platform/win32/win32_test_machine.h"
#include "platform/win32/win_error.h"

namespace {

using Handles = Win32Machine;

// The agent's pipe server: each connection's 12-byte record is kept, then the pipe is
// disconnected and listens again.
class Server : public WObject {
 public:
  static void OnConnected(WObject* owner, WPipe& pipe) {
    auto* server = static_cast<Server*>(owner);
    std::array<BYTE, 12> record{};
    DWORD read = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = server->readEvent.handle();
    if (!pipe.Read(record.data(), 12, &read, &overlapped) && GetLastError() == ERROR_IO_PENDING) {
      GetOverlappedResult(pipe.handle(), &overlapped, &read, TRUE);
    }
    if (read == 12) server->records.push_back(record);
    pipe.Disconnect();
    pipe.Listen();
  }

  WSyncEvent readEvent;
  std::vector<std::array<BYTE, 12>> records;
};

void SendRecord(BYTE id) {
  HANDLE client = CreateFileW(u"\\\\.\\pipe\\kvagent1", GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  std::array<BYTE, 12> record{0x69, 0x04, 0, 0, 1, 0, 0, 0, id, 0, 0, 0};
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(client, record.data(), 12, &written, nullptr));
  CloseHandle(client);
}

}  // namespace

TEST_F(Handles, CloseIsIdempotentAndEmptyHandlesDoNotClose) {
  WSyncEvent event;
  EXPECT_FALSE(event.Close());
  ASSERT_TRUE(event.Create(true, false, u"kvtest"));
  // Create again closes the handle held before: the named event is gone with it.
  ASSERT_TRUE(event.Create(true, false));
  EXPECT_NE(event.handle(), nullptr);
  EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, u"kvtest"), nullptr);
  EXPECT_TRUE(event.Close());
  EXPECT_EQ(event.handle(), nullptr);
  EXPECT_FALSE(event.Close());

  WIoHandle io;
  EXPECT_EQ(io.handle(), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(io.Close());
}

TEST_F(Handles, SemaphoreAndMutexWrappersCreateAndOpenByName) {
  WSemaphore semaphore;
  EXPECT_FALSE(semaphore.Open(u"_kvagent_sem", SEMAPHORE_ALL_ACCESS, false));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(semaphore.Create(u"_kvagent_sem", 0, 1));
  WSemaphore other;
  EXPECT_TRUE(other.Open(u"_kvagent_sem", SEMAPHORE_ALL_ACCESS, false));
  WMutex mutex;
  EXPECT_TRUE(mutex.Create(nullptr, true));
  EXPECT_TRUE(ReleaseMutex(mutex.handle()));
}

TEST_F(Handles, PipeServerCycleHandsEachRecordToTheCompletion) {
  PEPROCESS agent = NewProcess(u"kvagent.exe", u"ann");
  PEPROCESS service = NewProcess(u"kvsyncsvc.exe", u"SYSTEM");
  PEPROCESS user = NewProcess(u"kvshell.exe", u"bob");
  std::vector<std::array<BYTE, 12>> received;
  HANDLE listening = nullptr;
  nt::ProcessControl::RunIn(agent,
                            [&] { listening = CreateEventW(nullptr, TRUE, FALSE, u"listening"); });
  nt::Thread agent_thread(agent, [&] {
    WWaitMap map;
    WWaitMap::SetCurrent(&map);
    Server server;
    ASSERT_TRUE(server.readEvent.Create(true, false));
    WPipe pipe;
    pipe.SetName(u"kvagent1");
    pipe.SetCompletion(&Server::OnConnected, &server);
    ASSERT_TRUE(pipe.Create(PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 0, 4096, 0));
    EXPECT_TRUE(pipe.Listen());
    EXPECT_TRUE(pipe.listening());
    EXPECT_TRUE(pipe.pending());
    EXPECT_FALSE(pipe.Listen());  // already listening
    SetEvent(listening);
    while (server.records.size() < 2) ASSERT_TRUE(map.RunOnce(INFINITE));
    received = server.records;
    WWaitMap::SetCurrent(nullptr);
  });
  nt::ProcessControl::RunIn(service, [] {
    HANDLE started = OpenEventW(SYNCHRONIZE, FALSE, u"listening");
    ASSERT_NE(started, nullptr);
    WaitForSingleObject(started, INFINITE);
    CloseHandle(started);
    SendRecord(1);
  });
  // The null DACL lets another account write too.
  nt::ProcessControl::RunIn(user, [] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      HANDLE client = CreateFileW(u"\\\\.\\pipe\\kvagent1", GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
      if (client == INVALID_HANDLE_VALUE) {
        ASSERT_EQ(GetLastError(), ERROR_PIPE_BUSY);
        Sleep(0);
        continue;
      }
      std::array<BYTE, 12> record{0x69, 0x04, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0};
      DWORD written = 0;
      EXPECT_TRUE(WriteFile(client, record.data(), 12, &written, nullptr));
      CloseHandle(client);
      return;
    }
    ADD_FAILURE() << "the pipe never listened again";
  });
  agent_thread.Join();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0][8], 1);
  EXPECT_EQ(received[1][8], 2);
  nt::ProcessControl::RunIn(agent, [&] { CloseHandle(listening); });
}

TEST_F(Handles, ListenReportsAClientThatCameAndWent) {
  WPipe pipe;
  pipe.SetName(u"kvagent1");
  ASSERT_TRUE(pipe.Create(PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, PIPE_TYPE_MESSAGE, 1, 0,
                          0, 0));
  SendRecord(3);
  // Nothing would ever complete: the pipe does not claim to listen.
  EXPECT_FALSE(pipe.Listen());
  EXPECT_EQ(GetLastError(), ERROR_NO_DATA);
  EXPECT_FALSE(pipe.listening());
  EXPECT_TRUE(pipe.Disconnect());
  // Without a wait map the connect is waited for; a client that is there already completes it.
  HANDLE client = CreateFileW(u"\\\\.\\pipe\\kvagent1", GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(client, INVALID_HANDLE_VALUE);  // disconnected: busy until it listens
  nt::Thread connector([] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      HANDLE late = CreateFileW(u"\\\\.\\pipe\\kvagent1", GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
      if (late != INVALID_HANDLE_VALUE) {
        CloseHandle(late);
        return;
      }
      Sleep(0);
    }
    ADD_FAILURE() << "the pipe never listened";
  });
  pipe.SetCompletion([](WObject*, WPipe&) {}, nullptr);
  EXPECT_TRUE(pipe.Listen());
  connector.Join();
  EXPECT_TRUE(pipe.listening());
}
